#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/hotkey/HotKeysController.h"
#include "app/hotkey/X11HotKeyBackend.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/ManualExecutor.h"
#include "platform/runtime/UniqueFd.h"
#include "tests/support/LogCapture.h"

extern char** environ;

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// Upper bound for the X server and xdotool; the wait returns as soon as they are done.
constexpr int kProcessTimeoutMs = 10'000;

pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnv,
            posix_spawn_file_actions_t* actions = nullptr) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment(extraEnv);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    return pid;
}

// A private Xvfb that picks a free display itself and reports it through a pipe once it accepts
// connections; killed at the end of the test.
class Xvfb {
  public:
    Xvfb() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        UniqueFd readEnd(fds[0]);
        UniqueFd writeEnd(fds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // The child's fd 3 is the pipe's write end, without close-on-exec.
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_ = spawn({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                     {}, &actions);
        posix_spawn_file_actions_destroy(&actions);
        writeEnd = UniqueFd();
        if (pid_ <= 0) {
            return;
        }
        std::string number;
        pollfd poller{readEnd.get(), POLLIN, 0};
        while (poll(&poller, 1, kProcessTimeoutMs) == 1) {
            char buffer[16];
            const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            number.append(buffer, static_cast<std::size_t>(got));
            if (number.find('\n') != std::string::npos) {
                break;
            }
        }
        if (!number.empty() && number.back() == '\n') {
            number.pop_back();
            display_ = ":" + number;
        }
    }
    ~Xvfb() { stop(); }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

bool runXdotool(const std::string& display, const std::vector<std::string>& commands) {
    std::vector<std::string> arguments{"xdotool"};
    arguments.insert(arguments.end(), commands.begin(), commands.end());
    const pid_t pid = spawn(arguments, {"DISPLAY=" + display});
    if (pid <= 0) {
        return false;
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runXdotool(const std::string& display, const std::string& keys) {
    return runXdotool(display, {"key", keys});
}

class X11HotKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (xvfb.display().empty()) {
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
        backend = std::make_shared<X11HotKeyBackend>(main, xvfb.display());
        ASSERT_TRUE(backend->connected());
        controller = std::make_shared<HotKeysController>(backend);
        hotKey = HotKey::create(
            controller, Key::a, modifier::kCommand | modifier::kShift, [this] { ++presses; },
            [this] { ++releases; });
    }

    Xvfb xvfb;
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

    ASSERT_TRUE(runXdotool(xvfb.display(), "shift+a"));
    ASSERT_TRUE(runXdotool(xvfb.display(), "super+shift+a"));
    deliverEvents();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);

    // With Num Lock on, the combination still fires.
    ASSERT_TRUE(runXdotool(xvfb.display(), "Num_Lock"));
    ASSERT_TRUE(runXdotool(xvfb.display(), "super+shift+a"));
    presses = 0;
    releases = 0;
    deliverEvents();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);

    // Another client cannot take the combination while it is held, and can once it is released.
    const KeyCombo combo(Key::a, modifier::kCommand | modifier::kShift);
    auto other = std::make_shared<X11HotKeyBackend>(main, xvfb.display());
    EXPECT_FALSE(other->registerHotKey(combo, HotKeysController::kHotKeySignature, 7));
    hotKey.reset();
    EXPECT_TRUE(other->registerHotKey(combo, HotKeysController::kHotKeySignature, 7));
    other->unregisterHotKey(7);
}

TEST_F(X11HotKeyTest, AHeldCombinationIsOnePressAndOneRelease) {
    grabCommandShiftA();
    ASSERT_FALSE(HasFatalFailure());
    // Held past the server's repeat delay (660 ms), the key repeats.
    ASSERT_TRUE(runXdotool(xvfb.display(), {"keydown", "super+shift+a", "sleep", "1", "keyup", "a",
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

    xvfb.stop();
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
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::a), 0x61U);
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::z), 0x7aU);
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::nine), 0x39U);
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::f20), 0xffd1U);
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::keypad7), 0xffb7U);
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::pageUp), 0xff55U);
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::delete_), 0xff08U) << "delete is backspace";
    EXPECT_EQ(X11HotKeyBackend::keySymbol(Key::function), 0U);
}

}  // namespace
}  // namespace kestrel
