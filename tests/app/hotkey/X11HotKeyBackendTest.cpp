#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/hotkey/HotKeysController.h"
#include "app/hotkey/X11HotKeyBackend.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// Upper bound for the X server to deliver events; the wait returns as soon as they came.
constexpr int kProcessTimeoutMs = 10'000;

bool runXdotool(const std::string& display, const std::vector<std::string>& commands) {
    std::vector<std::string> arguments{testing::ChildProcess::which("xdotool")};
    arguments.insert(arguments.end(), commands.begin(), commands.end());
    return testing::runToEnd(arguments, {"DISPLAY=" + display},
                             testing::Redirect{{}, {}, -1, true}) == 0;
}

bool runXdotool(const std::string& display, const std::string& keys) {
    return runXdotool(display, {"key", keys});
}

class X11HotKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (xvfb.line().empty()) {
            GTEST_SKIP() << "Xvfb cannot start here";
        }
    }
    // Lets the executor read the backend's connection until both events came, waiting on its
    // descriptor for at most `kProcessTimeoutMs` in all.
    void deliverEvents() {
        main.pollFds();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kProcessTimeoutMs);
        while ((presses == 0 || releases == 0) && std::chrono::steady_clock::now() < deadline) {
            pollfd poller{backend->fd(), POLLIN, 0};
            if (poll(&poller, 1, 100) == 1) {
                main.pollFds();
            }
        }
    }

    // Command+Shift+A (Super+Shift+A) on the private server, counting presses and releases.
    void grabCommandShiftA() {
        backend = std::make_shared<X11HotKeyBackend>(main, display());
        ASSERT_TRUE(backend->connected());
        controller = std::make_shared<HotKeysController>(backend);
        hotKey = HotKey::create(
            controller, Key::a, modifier::kCommand | modifier::kShift, [this] { ++presses; },
            [this] { ++releases; });
    }

    std::string display() const { return ":" + xvfb.line(); }

    // A private X server that picks a free display itself and reports it once it accepts
    // connections.
    testing::ReadyChild xvfb{{testing::ChildProcess::which("Xvfb"), "-displayfd", "1", "-nolisten",
                              "tcp", "-screen", "0", "640x480x24"}};
    ManualExecutor main;
    int presses = 0;
    int releases = 0;
    std::shared_ptr<X11HotKeyBackend> backend;
    std::shared_ptr<HotKeysController> controller;
    std::shared_ptr<HotKey> hotKey;
};

TEST_F(X11HotKeyTest, CommandShiftAFiresOnSuperShiftAAndNotOnShiftA) {
    grabCommandShiftA();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(controller->idOf(*hotKey));

    // Shift+A alone does not fire; with Num Lock on, the combination still does.
    for (const char* before : {"shift+a", "Num_Lock"}) {
        presses = releases = 0;
        ASSERT_TRUE(runXdotool(display(), before));
        ASSERT_TRUE(runXdotool(display(), "super+shift+a"));
        deliverEvents();
        EXPECT_EQ(presses, 1) << before;
        EXPECT_EQ(releases, 1) << before;
    }

    // Another client cannot take the combination while it is held, and can once it is released.
    const KeyCombo combo(Key::a, modifier::kCommand | modifier::kShift);
    auto other = std::make_shared<X11HotKeyBackend>(main, display());
    EXPECT_FALSE(other->registerHotKey(combo, HotKeysController::kHotKeySignature, 7));
    hotKey.reset();
    EXPECT_TRUE(other->registerHotKey(combo, HotKeysController::kHotKeySignature, 7));
    other->unregisterHotKey(7);
}

TEST_F(X11HotKeyTest, AHeldCombinationIsOnePressAndOneRelease) {
    grabCommandShiftA();
    ASSERT_FALSE(HasFatalFailure());
    // Held past the server's repeat delay (660 ms), the key repeats.
    ASSERT_TRUE(runXdotool(display(), {"keydown", "super+shift+a", "sleep", "1", "keyup", "a",
                                       "keyup", "super+shift"}));
    deliverEvents();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);
}

TEST_F(X11HotKeyTest, ALostServerTurnsHotKeysOffInsteadOfEndingTheProcess) {
    testing::LogCapture sink;
    grabCommandShiftA();
    ASSERT_FALSE(HasFatalFailure());
    const int fd = backend->fd();

    xvfb.process().stop();
    pollfd poller{fd, POLLIN, 0};
    ASSERT_EQ(poll(&poller, 1, kProcessTimeoutMs), 1);
    main.pollFds();
    main.runUntilIdle();
    EXPECT_FALSE(backend->connected());
    EXPECT_EQ(sink->count("lost the X server"), 1U);
    EXPECT_EQ(main.pollFds(), 0U) << "the dead connection is no longer watched";
    EXPECT_FALSE(backend->registerHotKey(KeyCombo(Key::b, modifier::kCommand), 1, 99));
    hotKey.reset();
}

TEST(X11HotKeyNoServer, RegistersNothingAndLogsOnce) {
    testing::LogCapture sink;
    ManualExecutor main;
    auto backend = std::make_shared<X11HotKeyBackend>(main, "/nonexistent/x11-socket:0");
    EXPECT_FALSE(backend->connected());
    auto controller = std::make_shared<HotKeysController>(backend);
    auto first = HotKey::create(controller, Key::a, modifier::kCommand);
    auto second = HotKey::create(controller, Key::b, modifier::kCommand);
    EXPECT_EQ(sink->count("no X server reachable"), 1U);
    EXPECT_EQ(controller->boxCount(), 2U);
}

TEST(X11HotKeySymbols, KeysMapToTheirXSymbols) {
    // Delete is backspace; the function key has no symbol.
    const std::pair<Key, unsigned long> symbols[] = {
        {Key::a, 0x61U},         {Key::z, 0x7aU},         {Key::nine, 0x39U},
        {Key::f20, 0xffd1U},     {Key::keypad7, 0xffb7U}, {Key::pageUp, 0xff55U},
        {Key::delete_, 0xff08U}, {Key::function, 0U}};
    for (const auto& [key, symbol] : symbols) {
        EXPECT_EQ(X11HotKeyBackend::keySymbol(key), symbol) << symbol;
    }
}

}  // namespace
}  // namespace kestrel
