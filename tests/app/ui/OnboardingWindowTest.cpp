#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <memory>

#include "app/presence/Permissions.h"
#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "app/ui/OnboardingWindow.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/ui/Offscreen.h"
#include "tests/support/FakePermissionBackend.h"

namespace kestrel::ui {
namespace {

class OnboardingWindowTest : public ::testing::Test {
  protected:
    OnboardingWindowTest() { application(); }

    OnboardingWindow& open() {
        window = std::make_unique<OnboardingWindow>(state, permissions, [this] { ++activations; });
        window->show();
        return *window;
    }
    void screenshot(const char* name) {
        if (const char* dir = std::getenv("KESTREL_SCREENSHOT_DIR")) {
            window->grab().save(QStringLiteral("%1/wizard-%2.png").arg(dir, name));
        }
    }

    ManualExecutor main;
    std::shared_ptr<testing::FakePermissionBackend> access = [] {
        auto made = std::make_shared<testing::FakePermissionBackend>();
        made->microphone = PermissionStatus::granted;
        made->answer = true;
        return made;
    }();
    std::shared_ptr<Permissions> permissions =
        std::make_shared<Permissions>(access, main, "/nonexistent/help.html");
    AppState state{permissions, std::make_shared<MemorySettingsStore>()};
    int activations = 0;
    std::unique_ptr<OnboardingWindow> window;
};

TEST_F(OnboardingWindowTest, StepsShowTheirButtonsAndDotsAndOnlyFinishingRecordsOnboarding) {
    open().close();  // the window's own close button
    EXPECT_FALSE(state.hasSeenOnboarding.get());
    auto& view = open();
    EXPECT_EQ(view.windowTitle(), QStringLiteral("Welcome to Kestrel"));
    const struct {
        OnboardingStep step;
        bool back;
        const char* primary;
        const char* shot;
    } steps[] = {
        {OnboardingStep::welcome, false, "Next  →", "welcome"},
        {OnboardingStep::camera, true, "Next  →", "camera"},
        {OnboardingStep::ext, true, "Next  →", "ext"},
        {OnboardingStep::done, true, "Open Kestrel", "done"},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(view.step(), s.step);
        screenshot(s.shot);
        EXPECT_EQ(view.litDots(), static_cast<int>(s.step) + 1);
        EXPECT_EQ(view.backButton()->isVisible(), s.back);
        EXPECT_EQ(view.primaryButton()->text(), QString::fromUtf8(s.primary));
        if (s.step != OnboardingStep::done) {
            QTest::mouseClick(view.primaryButton(), Qt::LeftButton);
        }
    }
    // Nothing was asked for or recorded on the way.
    EXPECT_EQ(access->camera, PermissionStatus::notDetermined);
    EXPECT_EQ(activations, 0);
    EXPECT_FALSE(state.hasSeenOnboarding.get());
    QTest::mouseClick(view.backButton(), Qt::LeftButton);
    EXPECT_EQ(view.step(), OnboardingStep::ext);

    view.next();
    QTest::mouseClick(view.primaryButton(), Qt::LeftButton);
    EXPECT_TRUE(state.hasSeenOnboarding.get());
    EXPECT_FALSE(view.isVisible());
    view.finish();  // twice is harmless
    EXPECT_TRUE(state.hasSeenOnboarding.get());
}

TEST_F(OnboardingWindowTest, CameraPageFollowsTheStatusDeniedOpensTheSettingsAndApproveActivates) {
    auto& view = open();
    view.next();
    EXPECT_EQ(view.cameraButton()->text(), QStringLiteral("Request"));
    access->answer = false;
    QTest::mouseClick(view.cameraButton(), Qt::LeftButton);
    main.runUntilIdle();
    EXPECT_EQ(view.cameraStatus()->text(), QStringLiteral("Denied — enable in System Settings"));
    QTest::mouseClick(view.cameraButton(), Qt::LeftButton);
    EXPECT_FALSE(access->launched.empty());

    // Granted in the desktop's settings: coming back to the page shows it.
    access->camera = PermissionStatus::granted;
    view.back();
    view.next();
    main.runUntilIdle();
    EXPECT_EQ(view.cameraStatus()->text(), QStringLiteral("✓ Granted"));
    EXPECT_FALSE(view.cameraButton()->isVisible());

    // Approve activates; the installed service replaces the instructions.
    view.next();
    QTest::mouseClick(view.approveButton(), Qt::LeftButton);
    EXPECT_EQ(activations, 1);
    EXPECT_FALSE(view.approvedNote()->isVisible());
    state.extensionInstalled = true;
    EXPECT_TRUE(view.approvedNote()->isVisible());
    EXPECT_FALSE(view.approveButton()->isVisible());
}

}  // namespace
}  // namespace kestrel::ui
