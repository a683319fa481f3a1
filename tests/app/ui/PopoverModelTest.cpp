#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

#include "app/ui/PopoverModel.h"
#include "app/ui/PopoverPlacement.h"
#include "app/ui/RecordButtonState.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/FakeLoopRecording.h"
#include "tests/support/LogCapture.h"

namespace kestrel::ui {
namespace {

using Mode = AppState::Mode;

// Force away pressed, detector not yet re-evaluated (live with force away): the badge shows at
// once while the status still says live.
TEST(PopoverModel, StatusAndModeFollowTheState) {
    for (const auto& [mode, forceAway] :
         {std::pair{Mode::live, false}, std::pair{Mode::away, false}, std::pair{Mode::away, true},
          std::pair{Mode::live, true}}) {
        PopoverInputs in;
        in.mode = mode;
        in.manualOverride = forceAway;
        in.hotKeyBadge = QStringLiteral("⊞⇧A");
        const auto m = makePopoverModel(in);
        const bool live = mode == Mode::live;
        const QString title = live ? QStringLiteral("Live.") : QStringLiteral("Away.");
        EXPECT_EQ(m.dot, live ? Tone::liveGreen : Tone::awayRed);
        EXPECT_EQ(m.title, title);
        EXPECT_EQ(m.menuStatus, title);
        EXPECT_EQ(m.subtitle,
                  live ? QStringLiteral("You’re on camera.") : QStringLiteral("Loop is rolling."));
        EXPECT_EQ(m.iconName, live ? QStringLiteral("dev.corvid.kestrel-live")
                                   : QStringLiteral("dev.corvid.kestrel-away"));
        EXPECT_EQ(m.badgeVisible, forceAway);
        EXPECT_EQ(m.badge, QStringLiteral("⊞⇧A"));
        EXPECT_EQ(m.autoSelected, !forceAway);
        EXPECT_EQ(m.forceAwaySelected, forceAway);
    }
}

TEST(PopoverModel, LoopPickerAndRecordButtonInTheirStates) {
    PopoverInputs in;
    auto m = makePopoverModel(in);
    EXPECT_FALSE(m.hasLoops);
    EXPECT_EQ(m.noLoopsText, QStringLiteral("No loops yet. Record one below."));

    in.loops = {"/l/a.mov", "/l/b.mov"};
    m = makePopoverModel(in);
    EXPECT_TRUE(m.hasLoops);
    EXPECT_EQ(m.loopLabel, QStringLiteral("—"));
    EXPECT_EQ(m.loopTitles, (QStringList{QStringLiteral("a.mov"), QStringLiteral("b.mov")}));
    EXPECT_EQ(m.activeLoopIndex, -1);

    in.activeLoop = "/l/b.mov";
    m = makePopoverModel(in);
    EXPECT_EQ(m.loopLabel, QStringLiteral("b.mov"));
    EXPECT_EQ(m.activeLoopIndex, 1);

    // The record button in its states.
    m = makePopoverModel(in);
    EXPECT_EQ(m.recordLabel, QStringLiteral("Start · 60s loop"));
    EXPECT_EQ(m.recordHint, QStringLiteral("Stare at the lens like you’re listening hard."));
    EXPECT_EQ(m.recordFill, Tone::ink);
    EXPECT_EQ(m.recordDot, Tone::awayRed);
    EXPECT_TRUE(m.recordProgress.isEmpty());

    in.recording = true;
    in.recordedSeconds = 12;
    m = makePopoverModel(in);
    EXPECT_EQ(m.recordLabel, QStringLiteral("Stop · saving…"));
    EXPECT_EQ(m.recordHint, QStringLiteral("Stay still. Look engaged. Don’t blink twice."));
    EXPECT_EQ(m.recordFill, Tone::awayRed);
    EXPECT_EQ(m.recordDot, Tone::paper);
    EXPECT_EQ(m.recordProgress, QStringLiteral("12 / 60 s"));
    EXPECT_EQ(m.menuRecord, QStringLiteral("Stop · saving…  12 / 60 s"));

    // A start that failed: "stop" without a count.
    in.recordedSeconds.reset();
    EXPECT_EQ(makePopoverModel(in).menuRecord, QStringLiteral("Stop · saving…"));
}

TEST(PopoverPlacement, SitsOnThePanelSideInsideTheAvailableArea) {
    const QSize size(340, 500);
    const QRect screen(0, 0, 1920, 1080);
    struct Case {
        const char* name;
        QRect available;
        QPoint anchor;
        QPoint expected;
    };
    const Case cases[] = {
        {"top panel, mid", {0, 32, 1920, 1048}, {1000, 16}, {830, 32}},
        {"top panel, right corner", {0, 32, 1920, 1048}, {1910, 16}, {1580, 32}},
        {"bottom panel", {0, 0, 1920, 1040}, {1000, 1060}, {830, 540}},
        {"bottom panel, left corner", {0, 0, 1920, 1040}, {5, 1060}, {0, 540}},
        {"left panel", {48, 0, 1872, 1080}, {24, 700}, {48, 450}},
        {"right panel", {0, 0, 1872, 1080}, {1900, 300}, {1532, 50}},
        {"no panel: nearest edge", screen, {1000, 1075}, {830, 575}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(popoverPosition(c.anchor, size, {{screen, c.available}}), c.expected) << c.name;
    }
    // Two screens side by side; the second has its panel at the top.
    const std::vector<ScreenArea> two = {{screen, {0, 0, 1920, 1040}},
                                         {{1920, 0, 2560, 1440}, {1920, 28, 2560, 1412}}};
    EXPECT_EQ(popoverPosition({4470, 14}, size, two), QPoint(4140, 28));
    EXPECT_EQ(popoverPosition({1000, 1060}, size, two), QPoint(830, 540));
}

TEST(RecordButtonState,
     FlagFollowsPressesCountsSecondsReturnsAfterTheAutomaticStopAndFlipsOnAFailedStart) {
    ManualExecutor main;
    auto fake = std::make_shared<testing::FakeLoopRecording>();
    RecordButtonState button(fake, main, main.hostClock());
    int changes = 0;
    auto sub = button.changed.connect([&] { ++changes; });

    button.press();
    EXPECT_TRUE(button.recording());
    main.advance(std::chrono::milliseconds(12'400));
    EXPECT_EQ(button.recordedSeconds(), 12);
    EXPECT_GE(changes, 13);

    // The recorder ends the loop by itself at its length: the button returns to "start".
    main.advance(std::chrono::seconds(48));
    fake->running = false;
    main.advance(std::chrono::seconds(1));
    EXPECT_FALSE(button.recording());
    EXPECT_EQ(fake->stops, 0);

    button.press();
    button.press();
    EXPECT_FALSE(button.recording());
    EXPECT_EQ(fake->starts, 2);
    EXPECT_EQ(fake->stops, 1);

    // A failed start is logged and still flips the button.
    testing::LogCapture capture;
    fake->failStart = true;
    button.press();
    EXPECT_TRUE(button.recording());
    EXPECT_EQ(button.recordedSeconds(), std::nullopt);
    main.advance(std::chrono::seconds(5));
    EXPECT_TRUE(button.recording()) << "a recorder that never ran did not stop by itself";
    EXPECT_EQ(capture->messages("Engine"),
              std::vector<std::string>{"recorder start failed: disk full"});
    button.press();
    EXPECT_FALSE(button.recording());
    EXPECT_EQ(fake->stops, 2);
}

}  // namespace
}  // namespace kestrel::ui
