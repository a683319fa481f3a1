#pragma once

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "app/presence/Permissions.h"
#include "app/state/AppState.h"
#include "platform/runtime/Handle.h"

class QLabel;
class QPushButton;
class QStackedWidget;

namespace kestrel::ui {

enum class OnboardingStep { welcome, camera, ext, done };
inline constexpr std::array kOnboardingSteps{OnboardingStep::welcome, OnboardingStep::camera,
                                             OnboardingStep::ext, OnboardingStep::done};

// What the camera page shows for a permission status: the status line and the button, if any.
struct CameraAccessLook {
    QString status;
    QString button;  // empty: none
};
CameraAccessLook cameraAccessLook(PermissionStatus status);

// The first-run window "Welcome to Kestrel": what Kestrel does, camera access, the camera service.
// "Open Kestrel" records onboarding as seen and closes it; closing it any other way records
// nothing, so it comes back at the next launch. Main thread.
class OnboardingWindow final : public QWidget {
  public:
    static constexpr const char* kTitle = "Welcome to Kestrel";

    // `permissions` may be null (no camera page actions); `activateExtension` submits the camera
    // service's activation.
    OnboardingWindow(AppState& state, std::shared_ptr<Permissions> permissions,
                     std::function<void()> activateExtension, QWidget* parent = nullptr);
    ~OnboardingWindow() override;

    OnboardingStep step() const { return step_; }
    void next();
    void back();
    void finish();

    // Children, for tests and screenshots.
    QPushButton* backButton() const { return back_; }
    QPushButton* primaryButton() const { return primary_; }
    QPushButton* cameraButton() const { return cameraButton_; }
    QLabel* cameraStatus() const { return cameraStatus_; }
    QPushButton* approveButton() const { return approve_; }
    QWidget* approvedNote() const { return approved_; }
    int litDots() const;

  private:
    void showStep(OnboardingStep step);
    QWidget* buildWelcome();
    QWidget* buildCamera();
    QWidget* buildExt();
    QWidget* buildDone();
    void refreshCamera();
    void refreshExt();

    AppState& state_;
    std::shared_ptr<Permissions> permissions_;
    std::function<void()> activateExtension_;
    OnboardingStep step_ = OnboardingStep::welcome;

    std::vector<QLabel*> dots_;
    QStackedWidget* pages_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* primary_ = nullptr;
    QLabel* cameraStatus_ = nullptr;
    QPushButton* cameraButton_ = nullptr;
    QWidget* instructions_ = nullptr;
    QWidget* approved_ = nullptr;
    QPushButton* approve_ = nullptr;
    std::vector<Handle> observers_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::ui
