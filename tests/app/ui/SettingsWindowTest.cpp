#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "app/sources/LoopLibrary.h"
#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "app/ui/SettingsWindow.h"
#include "app/ui/Theme.h"
#include "app/ui/Widgets.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/ui/Offscreen.h"
#include "tests/support/TempFolder.h"

namespace kestrel::ui {
namespace {

using namespace std::chrono_literals;

class SettingsWindowTest : public ::testing::Test {
  protected:
    SettingsWindowTest() { application(); }

    SettingsWindow& open(SettingsActions actions = {}) {
        window =
            std::make_unique<SettingsWindow>(state, library, settings, main, std::move(actions));
        window->present();
        return *window;
    }
    std::filesystem::path addLoop(const std::string& name) {
        const auto path = folder.path() / name;
        std::ofstream(path) << "movie";
        return path;
    }
    void clickSegment(SegmentedControl* control, int index) {
        QTest::mouseClick(control, Qt::LeftButton, {}, control->segmentRect(index).center());
    }
    void screenshot(const char* name) {
        if (const char* dir = std::getenv("KESTREL_SCREENSHOT_DIR")) {
            QApplication::sendPostedEvents();  // lays out what was just hidden
            window->grab().save(QStringLiteral("%1/settings-%2.png").arg(dir, name));
        }
    }

    testing::TempFolder folder;
    ManualExecutor main;
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    AppState state{nullptr, settings};
    LoopLibrary library{folder.path(), main.wallClock()};
    std::unique_ptr<SettingsWindow> window;
};

TEST_F(SettingsWindowTest, GeneralControlsWriteTheStateAndGreyOutWithTheirSwitch) {
    Published<bool> canCheck{false};
    int checks = 0;
    SettingsActions actions;
    actions.canCheckForUpdates = &canCheck;
    actions.checkForUpdates = [&] { ++checks; };
    state.autoAwayEnabled = true;
    state.realisticTransitions = true;
    auto& view = open(std::move(actions));
    screenshot("general");

    clickSegment(view.thresholdControl(), 2);
    EXPECT_EQ(state.autoAwaySeconds.get(), 10.0);
    clickSegment(view.freezeControl(), 4);
    EXPECT_EQ(state.transitionFreezeSeconds.get(), 2.0);
    view.blurSlider()->setValue(33);
    EXPECT_EQ(state.transitionBlurRadius.get(), 33.0);
    clickSegment(view.modeControl(), 1);
    EXPECT_EQ(state.mode.get(), AppState::Mode::away);

    QTest::mouseClick(view.autoLoopSwitch(), Qt::LeftButton);
    QTest::mouseClick(view.blipSwitch(), Qt::LeftButton);
    EXPECT_FALSE(state.autoAwayEnabled.get());
    EXPECT_FALSE(view.thresholdControl()->isEnabled());
    EXPECT_FALSE(view.freezeControl()->isEnabled());
    EXPECT_FALSE(view.blurSlider()->isEnabled());
    EXPECT_EQ(state.autoAwaySeconds.get(), 10.0);

    state.autoAwaySeconds = 7.0;  // stored by hand: no segment
    EXPECT_EQ(view.thresholdControl()->selected(), -1);

    // The update button follows the checker.
    EXPECT_FALSE(view.updateButton()->isEnabled());
    canCheck = true;
    QTest::mouseClick(view.updateButton(), Qt::LeftButton);
    EXPECT_EQ(checks, 1);
}

TEST_F(SettingsWindowTest, LoopsRenameSelectAndDeleteOnlyAfterConfirming) {
    auto& view = open();
    view.showSection(SettingsSection::loops);
    EXPECT_TRUE(view.emptyLoopsLabel()->isVisible());
    // Listed in byte order: the recording first.
    const auto first = addLoop("standup.mov");
    const auto second = addLoop("loop-2026-01-02T10-11-12Z.mov");
    library.refreshLoops(state);
    ASSERT_EQ(view.loopRows().size(), 2u);
    EXPECT_FALSE(view.emptyLoopsLabel()->isVisible());
    screenshot("loops");

    // Blank and unchanged names only leave editing.
    SettingsLoopRow* row = view.loopRows()[1];
    for (const char* draft : {"   ", "standup"}) {
        QTest::mouseClick(row->renameButton(), Qt::LeftButton);
        ASSERT_TRUE(row->editing());
        row->nameField()->setText(QString::fromUtf8(draft));
        QTest::keyClick(row->nameField(), Qt::Key_Return);
        EXPECT_FALSE(row->editing());
    }
    // Escape leaves editing without renaming.
    QTest::mouseClick(row->renameButton(), Qt::LeftButton);
    row->nameField()->setText(QStringLiteral("Tuesday"));
    QTest::keyClick(row->nameField(), Qt::Key_Escape);
    EXPECT_FALSE(row->editing());
    EXPECT_TRUE(std::filesystem::exists(first));
    QTest::mouseClick(row->renameButton(), Qt::LeftButton);
    EXPECT_EQ(row->nameField()->text(), QStringLiteral("standup"));
    row->nameField()->setText(QStringLiteral(" Monday "));
    QTest::mouseClick(row->renameButton(), Qt::LeftButton);
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "Monday.mov"));
    EXPECT_EQ(view.loopRows()[1]->nameLabel()->text(), QStringLiteral("Monday"));

    QTest::mouseClick(view.loopRows()[0]->selectButton(), Qt::LeftButton);
    EXPECT_EQ(state.activeLoop.get(), second);

    // Cancel keeps the file; Delete removes it.
    for (const bool confirm : {false, true}) {
        QTest::mouseClick(view.loopRows()[0]->deleteButton(), Qt::LeftButton);
        QMessageBox* box = view.deleteConfirmation();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->informativeText(),
                  QStringLiteral("loop-2026-01-02T10-11-12Z.mov will be removed from disk. This "
                                 "can't be undone."));
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == (confirm ? QStringLiteral("Delete") : QStringLiteral("Cancel"))) {
                button->click();
            }
        }
        EXPECT_EQ(std::filesystem::exists(second), !confirm);
        EXPECT_EQ(view.deleteConfirmation(), nullptr);
    }
    EXPECT_EQ(view.loopRows().size(), 1u);
}

TEST_F(SettingsWindowTest, NoticeStaysHiddenOnceDismissedResetPulsesAndLoopbackSetupIsOffered) {
    state.hasStaleSysext = true;
    int resets = 0;
    std::vector<std::vector<std::string>> ran;
    SettingsActions actions;
    actions.resetVirtualCamera = [&] {
        ++resets;
        state.lastResetAt = main.wallClock().now();
    };
    actions.loopbackDevice = folder.path() / "video10";
    actions.loopbackCommand = {"pkexec", "/sbin/modprobe", "v4l2loopback", "video_nr=10"};
    actions.runPrivileged = [&](const std::vector<std::string>& argv) {
        ran.push_back(argv);
        return true;
    };
    auto& view = open(actions);
    view.showSection(SettingsSection::permissions);
    EXPECT_FALSE(view.lastResetLabel()->isVisible());
    EXPECT_EQ(view.serviceBadge()->text(), QStringLiteral("REQUIRED"));
    state.extensionInstalled = true;
    EXPECT_EQ(view.serviceBadge()->text(), QStringLiteral("GRANTED"));
    EXPECT_TRUE(view.staleNotice()->isVisible());
    screenshot("permissions");
    EXPECT_TRUE(view.loopbackLabel()->text().endsWith(
        QStringLiteral("pkexec /sbin/modprobe v4l2loopback video_nr=10")));
    QTest::mouseClick(view.loopbackButton(), Qt::LeftButton);
    EXPECT_EQ(ran, decltype(ran){actions.loopbackCommand});

    QTest::mouseClick(view.hideNoticeButton(), Qt::LeftButton);
    EXPECT_FALSE(view.staleNotice()->isVisible());

    QTest::mouseClick(view.resetButton(), Qt::LeftButton);
    EXPECT_EQ(resets, 1);
    EXPECT_TRUE(view.resetPulsing());
    EXPECT_TRUE(view.lastResetLabel()->isVisible());
    main.advance(999ms);
    EXPECT_TRUE(view.resetPulsing());
    main.advance(1ms);
    EXPECT_FALSE(view.resetPulsing());

    // Another window over the same settings (a restart) keeps the notice hidden. Without pkexec
    // the loopback command is shown for sudo instead of offered; once the device exists, neither.
    actions.runPrivileged = nullptr;
    auto& again = open(actions);
    again.showSection(SettingsSection::permissions);
    EXPECT_FALSE(again.staleNotice()->isVisible());
    EXPECT_TRUE(again.loopbackLabel()->text().contains(
        QStringLiteral("run: sudo /sbin/modprobe v4l2loopback")));
    EXPECT_FALSE(again.loopbackButton()->isVisible());
    actions.runPrivileged = [](const std::vector<std::string>&) { return true; };
    std::ofstream(folder.path() / "video10") << "";
    open(actions).showSection(SettingsSection::permissions);
    EXPECT_FALSE(window->loopbackButton()->isVisible());
}

TEST_F(SettingsWindowTest, ServiceRowAsksWhenShownAndEndingOldCopiesChecksAgain) {
    state.hasStaleSysext = true;
    std::vector<std::function<void(CameraServiceStatus)>> asked;
    std::vector<std::function<void(int)>> ending;
    SettingsActions actions;
    actions.cameraServiceStatus = [&](auto done) { asked.push_back(std::move(done)); };
    actions.endStaleCopies = [&](auto done) { ending.push_back(std::move(done)); };
    auto& view = open(actions);
    EXPECT_TRUE(asked.empty());
    view.showSection(SettingsSection::permissions);
    view.showSection(SettingsSection::permissions);  // one question at a time
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_TRUE(view.serviceDaemonLabel()->text().contains(QStringLiteral("checking")));
    asked.back()({false, CameraVisibility::none});
    EXPECT_TRUE(view.serviceDaemonLabel()->text().endsWith(QStringLiteral("no")));
    EXPECT_TRUE(view.serviceVisibilityLabel()->text().endsWith(QStringLiteral("not visible")));
    EXPECT_TRUE(view.endStaleButton()->isVisible());
    screenshot("permissions-stale");

    QTest::mouseClick(view.endStaleButton(), Qt::LeftButton);
    QTest::mouseClick(view.endStaleButton(), Qt::LeftButton);
    ASSERT_EQ(ending.size(), 1U);
    EXPECT_FALSE(view.endStaleButton()->isEnabled());
    state.hasStaleSysext = false;
    ending.back()(1);
    EXPECT_TRUE(view.endStaleButton()->isEnabled());
    ASSERT_EQ(asked.size(), 2U);
    asked.back()({true, CameraVisibility::pipewire});
    EXPECT_TRUE(view.serviceDaemonLabel()->text().endsWith(QStringLiteral("yes")));
    EXPECT_TRUE(view.serviceVisibilityLabel()->text().contains(QStringLiteral("PipeWire")));
    EXPECT_FALSE(view.staleNotice()->isVisible());
    screenshot("permissions-healthy");

    // Going back to the pane asks again; an answer after the window is gone is dropped.
    view.showSection(SettingsSection::general);
    view.showSection(SettingsSection::permissions);
    ASSERT_EQ(asked.size(), 3U);
    window.reset();
    asked.back()({true, CameraVisibility::v4l2loopback});
}

}  // namespace
}  // namespace kestrel::ui
