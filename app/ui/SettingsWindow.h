#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/sources/LoopLibrary.h"
#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "app/ui/SettingsModel.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"

class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QSlider;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace kestrel::ui {

class SegmentedControl;
class Switch;

// What the settings window runs outside the state. Empty parts hide their rows.
struct SettingsActions {
    // Resets the virtual camera (the engine sets `lastResetAt`); "Reset now" only pulses without.
    std::function<void()> resetVirtualCamera;
    // The update checker's button: shown only with both.
    std::function<void()> checkForUpdates;
    Published<bool>* canCheckForUpdates = nullptr;
    // "Start at login": shown only with both; `setStartAtLogin` reports whether it took.
    std::function<bool()> startAtLogin;
    std::function<bool(bool)> setStartAtLogin;
    // The v4l2loopback device for apps that only read /dev/video*, and the privileged command
    // (pkexec first) that sets it up, shown to the user. `runPrivileged` starts the command without
    // waiting; empty where pkexec is missing, and then the command is only shown (with sudo).
    std::filesystem::path loopbackDevice;
    std::vector<std::string> loopbackCommand;
    std::function<bool(const std::vector<std::string>&)> runPrivileged;
    // The camera service row's status, asked whenever the Permissions pane is shown; `done` runs
    // on the main thread.
    std::function<void(std::function<void(CameraServiceStatus)>)> cameraServiceStatus;
    // Ends the lingering copies of kestrel-camera and checks the camera's health again; `done`
    // runs on the main thread with how many were told to go. The stale notice offers it only
    // with this.
    std::function<void(std::function<void(int told)>)> endStaleCopies;
    // The force-away hot key as the desktop shows it.
    QString hotKey = QStringLiteral("Super+Shift+A");
};

// One loop in the Loops pane: select dot, name (a text field while renaming), "ACTIVE", rename or
// save, delete.
class SettingsLoopRow final : public QWidget {
  public:
    SettingsLoopRow(const std::filesystem::path& loop, bool active, QWidget* parent);
    std::function<void()> onSelect;
    std::function<void(const QString&)> onRename;
    std::function<void()> onDelete;

    bool editing() const { return editing_; }
    QToolButton* selectButton() const { return select_; }
    QToolButton* renameButton() const { return rename_; }
    QToolButton* deleteButton() const { return delete_; }
    QLineEdit* nameField() const { return field_; }
    QLabel* nameLabel() const { return name_; }

  private:
    void setEditing(bool editing);
    void commit();

    QString displayed_;
    bool editing_ = false;
    QToolButton* select_;
    QLabel* name_;
    QLineEdit* field_;
    QToolButton* rename_;
    QToolButton* delete_;
};

// The settings window: a sidebar with the three sections and the chosen pane beside it, bound to
// the state. One per process; bring it forward with present(). Main thread.
class SettingsWindow final : public QWidget {
  public:
    SettingsWindow(AppState& state, const LoopLibrary& library,
                   std::shared_ptr<SettingsStore> settings, Executor& main, SettingsActions actions,
                   QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Shows the window, or raises and activates it when already shown.
    void present();
    void showSection(SettingsSection section);
    SettingsSection section() const { return section_; }

    // Children, for tests and screenshots.
    SegmentedControl* modeControl() const { return mode_; }
    Switch* forceAwaySwitch() const { return forceAway_; }
    Switch* autoLoopSwitch() const { return autoLoop_; }
    SegmentedControl* thresholdControl() const { return threshold_; }
    Switch* blipSwitch() const { return blip_; }
    SegmentedControl* freezeControl() const { return freeze_; }
    QSlider* blurSlider() const { return blur_; }
    QPushButton* updateButton() const { return updateButton_; }
    Switch* startAtLoginSwitch() const { return startAtLogin_; }
    QPushButton* sectionButton(SettingsSection section) const;
    QLabel* titleLabel() const { return title_; }
    const std::vector<SettingsLoopRow*>& loopRows() const { return loopRows_; }
    QLabel* emptyLoopsLabel() const { return emptyLoops_; }
    QMessageBox* deleteConfirmation() const { return deleteBox_; }
    QWidget* staleNotice() const { return staleNotice_; }
    QToolButton* hideNoticeButton() const { return hideNotice_; }
    QLabel* cameraBadge() const { return cameraBadge_; }
    QLabel* serviceBadge() const { return serviceBadge_; }
    QLabel* serviceDaemonLabel() const { return serviceDaemon_; }
    QLabel* serviceVisibilityLabel() const { return serviceVisibility_; }
    QPushButton* endStaleButton() const { return endStale_; }
    QLabel* lastResetLabel() const { return lastReset_; }
    QPushButton* cameraButton() const { return cameraButton_; }
    QLabel* loopbackLabel() const { return loopbackText_; }
    QPushButton* loopbackButton() const { return loopbackButton_; }
    QPushButton* resetButton() const { return resetButton_; }
    bool resetPulsing() const { return resetPulsing_; }

  private:
    QWidget* buildSidebar();
    QWidget* buildGeneral();
    QWidget* buildLoops();
    QWidget* buildPermissions();
    void refreshGeneral();
    void rebuildLoops();
    void refreshPermissions();
    void refreshLoopback();
    // Asks for the camera service's status unless an answer is on its way.
    void queryServiceStatus();
    void endStaleCopies();
    void askToDelete(const std::filesystem::path& loop);
    void resetNow();
    void setPulsing(bool pulsing);

    AppState& state_;
    const LoopLibrary& library_;
    std::shared_ptr<SettingsStore> settings_;
    Executor& main_;
    SettingsActions actions_;
    SettingsSection section_ = SettingsSection::general;

    std::vector<QPushButton*> sectionButtons_;
    QLabel* group_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QStackedWidget* panes_ = nullptr;

    SegmentedControl* mode_ = nullptr;
    Switch* forceAway_ = nullptr;
    Switch* autoLoop_ = nullptr;
    SegmentedControl* threshold_ = nullptr;
    Switch* blip_ = nullptr;
    SegmentedControl* freeze_ = nullptr;
    QSlider* blur_ = nullptr;
    QLabel* blurValue_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    Switch* startAtLogin_ = nullptr;

    QVBoxLayout* loopList_ = nullptr;
    QLabel* emptyLoops_ = nullptr;
    std::vector<SettingsLoopRow*> loopRows_;
    std::optional<std::filesystem::path> pendingDelete_;
    QMessageBox* deleteBox_ = nullptr;

    QWidget* staleNotice_ = nullptr;
    QToolButton* hideNotice_ = nullptr;
    QLabel* cameraBadge_ = nullptr;
    QLabel* serviceBadge_ = nullptr;
    QLabel* serviceDaemon_ = nullptr;
    QLabel* serviceVisibility_ = nullptr;
    std::optional<CameraServiceStatus> serviceStatus_;
    bool serviceAsked_ = false;
    QPushButton* endStale_ = nullptr;
    bool ending_ = false;
    QPushButton* cameraButton_ = nullptr;
    QLabel* cameraHint_ = nullptr;
    QLabel* loopbackText_ = nullptr;
    QPushButton* loopbackButton_ = nullptr;
    bool loopbackAsked_ = false;
    QLabel* lastReset_ = nullptr;
    QPushButton* resetButton_ = nullptr;
    bool resetPulsing_ = false;
    int pulseFrame_ = 0;
    Handle pulseTimer_;

    std::vector<Handle> observers_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::ui
