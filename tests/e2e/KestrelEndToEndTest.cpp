// The whole system end to end: a private PipeWire and WirePlumber, the camera daemon, and kestrel
// over its test pattern, controlled through its command-line wrappers on the private session bus
// of the dbus-run-session this test runs under. A pipewiresrc reader of "Kestrel" tells sharp
// frames (pattern or loop) from the blurred freeze of a swap; kestrel's status counters tell loop
// frames from live ones. Every wait is bounded; every process is ended by its pid.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <optional>

#include "platform/runtime/WorkerThread.h"
#include "tests/support/CameraLink.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PipeWire.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::GstFrame;
using testing::Redirect;
using testing::tail;
using testing::waitFor;

// Large enough that the freeze's blur (radius 18 at 1280 wide) still shows.
constexpr int kReadWidth = 160;
constexpr int kReadHeight = 90;
// The freeze the settings ask for.
constexpr auto kFreeze = 2s;

// The value after "key": in a flat JSON object, as text ("12", "true", "\"live\"").
std::string jsonField(const std::string& json, const std::string& key) {
    const std::string marker = "\"" + key + "\":";
    const auto at = json.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + marker.size();
    auto end = start;
    if (json[start] == '"') {
        end = json.find('"', start + 1) + 1;
    } else {
        end = json.find_first_of(",}", start);
    }
    return json.substr(start, end - start);
}

double jsonNumber(const std::string& json, const std::string& key) {
    const std::string text = jsonField(json, key);
    return text.empty() ? -1 : std::atof(text.c_str());
}

class KestrelEndToEnd : public testing::PrivatePipeWire {
  protected:
    void SetUp() override {
        PrivatePipeWire::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            prepareEnvironment();
        }
    }

    void prepareEnvironment() {
        env.push_back("XDG_DATA_HOME=" + (runtime.path() / "data").string());
        env.push_back("HOME=" + (runtime.path() / "home").string());
        env.push_back("DISPLAY=");
        std::filesystem::create_directories(runtime.path() / "home");
    }

    // Runs `kestrel args...` to its end and returns its stdout; `status` gets the exit status.
    std::string kestrel(const std::vector<std::string>& args, int* status = nullptr) {
        std::vector<std::string> argv = {KESTREL_APP_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto out = runtime.path() / "command.out";
        std::filesystem::remove(out);
        const int exit =
            testing::runToEnd(argv, env, Redirect{out.string(), log("commands"), -1, false});
        if (status != nullptr) {
            *status = exit;
        }
        return tail(out);
    }
    std::string status() { return kestrel({"--status"}); }

    // What the settings hold after the extension service and a finished first run.
    void writeSettings(const std::string& extra = {}) {
        testing::writeFile(runtime.path() / "config" / "corvid" / "kestrel.conf",
                           "[General]\nkestrel.extensionInstalled=true\n"
                           "kestrel.hasSeenOnboarding=true\n" +
                               extra);
    }

    // Frames keep arriving on the capture's own thread while the test waits or runs a command.
    static bool readUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return waitFor(done, timeout);
    }
    static void readFor(std::chrono::milliseconds duration) {
        std::this_thread::sleep_for(duration);
    }
    std::vector<GstFrame> frames() const { return capture->frames(); }

    // PipeWire, WirePlumber, the daemon and kestrel over its test pattern, with onboarding seen,
    // the daemon installed and `settings` (lines of the settings file) added.
    void startSystem(const std::string& settings) {
        ASSERT_TRUE(startPipeWire());
        ASSERT_TRUE(startDaemon({"--no-v4l2"}));
        ASSERT_TRUE(nodePublished());
        writeSettings(settings);
        app = ChildProcess({KESTREL_APP_PATH, "--headless", "--camera", "pattern"}, env,
                           Redirect{log("kestrel"), log("kestrel"), -1, false});
        ASSERT_TRUE(waitFor([&] { return jsonField(status(), "engineStarted") == "true"; }, 15s))
            << diagnostics();
    }
    void stopSystem() {
        const int appStatus = app.stop();
        EXPECT_TRUE(WIFEXITED(appStatus) && WEXITSTATUS(appStatus) == 0) << diagnostics();
        stopAll();
    }

    ChildProcess app;
};

// Frames from `from` on: the length of the first run of blurred frames, and how many sharp frames
// follow it. Blurred and sharp are measured against the pattern's own sharpness.
struct SwapShape {
    std::size_t blurred = 0;
    std::size_t sharpAfter = 0;
    std::size_t other = 0;  // neither clearly blurred nor clearly sharp, after the blur
};

SwapShape swapShape(const std::vector<GstFrame>& frames, std::size_t from, double baseline) {
    SwapShape shape;
    enum { before, inBlur, after } phase = before;
    for (std::size_t i = from; i < frames.size(); ++i) {
        const double s = frames[i].sharpness;
        const bool blurred = s < baseline * 0.25;
        const bool sharp = s > baseline * 0.5;
        if (phase == before && blurred) {
            phase = inBlur;
        } else if (phase == inBlur && !blurred) {
            phase = after;
        }
        if (phase == inBlur) {
            ++shape.blurred;
        } else if (phase == after) {
            ++(sharp ? shape.sharpAfter : shape.other);
        }
    }
    return shape;
}

TEST_F(KestrelEndToEnd, PatternThenRecordedLoopBehindABlurredFreezeAndBackAgain) {
    // A freeze of two seconds stays visible also when a sanitizer build slows the frame path down.
    startSystem("kestrel.transitionFreezeSeconds=2\n");
    ASSERT_FALSE(HasFatalFailure());
    capture.emplace(env, log("gst"), kReadWidth, kReadHeight);
    ASSERT_TRUE(capture->started());

    // 1. The pattern: coloured, sharp frames.
    const auto sharpPattern = [&] {
        const auto all = frames();
        return std::count_if(all.begin(), all.end(), [](const GstFrame& f) {
                   return !f.black() && f.sharpness > 50;
               }) >= 15;
    };
    ASSERT_TRUE(readUntil(sharpPattern, 20s)) << "the pattern did not reach pipewiresrc\n"
                                              << diagnostics();
    std::vector<double> sharpness;
    for (const auto& f : frames()) {
        if (!f.black()) {
            sharpness.push_back(f.sharpness);
        }
    }
    std::sort(sharpness.begin(), sharpness.end());
    const double baseline = sharpness[sharpness.size() / 2];

    // 2. A loop of about three seconds.
    int exit = -1;
    EXPECT_EQ(kestrel({"--record-start"}, &exit), "recording\n");
    ASSERT_EQ(exit, 0) << tail(log("commands"));
    const double recordFrom = jsonNumber(status(), "dispatchCount");
    ASSERT_TRUE(
        readUntil([&] { return jsonNumber(status(), "dispatchCount") >= recordFrom + 45; }, 15s))
        << diagnostics();
    std::string saved = kestrel({"--record-stop"}, &exit);
    ASSERT_EQ(exit, 0) << tail(log("commands"));
    ASSERT_FALSE(saved.empty());
    saved.pop_back();  // the newline
    ASSERT_TRUE(std::filesystem::exists(saved)) << saved;
    EXPECT_GT(std::filesystem::file_size(saved), 1000U);
    EXPECT_EQ(jsonField(status(), "activeLoop"), "\"" + saved + "\"");

    // 3. Force away: a blurred freeze, then the loop's sharp frames, counted as loop frames.
    std::string before = status();
    std::size_t from = capture->count();
    kestrel({"--force-away", "on"}, &exit);
    ASSERT_EQ(exit, 0) << tail(log("commands"));
    readFor(kFreeze + 500ms);
    const double away0 = jsonNumber(before, "dispatchAwayCount");
    const double miss0 = jsonNumber(before, "dispatchAwayLoopMissCount");
    ASSERT_TRUE(
        readUntil([&] { return jsonNumber(status(), "dispatchAwayCount") >= away0 + 30; }, 20s))
        << diagnostics();
    readFor(500ms);
    std::string after = status();
    EXPECT_EQ(jsonField(after, "mode"), "\"away\"");
    const double awayFrames = jsonNumber(after, "dispatchAwayCount") - away0;
    const double loopMisses = jsonNumber(after, "dispatchAwayLoopMissCount") - miss0;
    EXPECT_GE(awayFrames - loopMisses, 25) << "loop frames, not live ones, while away";
    const SwapShape toAway = swapShape(frames(), from, baseline);
    EXPECT_GE(toAway.blurred, 8U) << "the two-second freeze window";
    EXPECT_GE(toAway.sharpAfter, 20U) << "the loop's frames after the freeze";
    EXPECT_LE(toAway.other, 6U);

    // 4. Back: another freeze, then the live pattern; the loop stops.
    before = status();
    from = capture->count();
    kestrel({"--force-away", "off"}, &exit);
    ASSERT_EQ(exit, 0);
    readFor(kFreeze + 500ms);
    const double live0 = jsonNumber(before, "dispatchCount");
    ASSERT_TRUE(
        readUntil([&] { return jsonNumber(status(), "dispatchCount") >= live0 + 60; }, 20s));
    const double awayAfterOff = jsonNumber(status(), "dispatchAwayCount");
    readFor(1s);
    after = status();
    EXPECT_EQ(jsonField(after, "mode"), "\"live\"");
    EXPECT_EQ(jsonNumber(after, "dispatchAwayCount"), awayAfterOff);
    const SwapShape toLive = swapShape(frames(), from, baseline);
    EXPECT_GE(toLive.blurred, 8U);
    EXPECT_GE(toLive.sharpAfter, 20U);
    EXPECT_LE(toLive.other, 6U);

    stopSystem();
}

TEST_F(KestrelEndToEnd, ForceAwayWithOnlyADamagedLoopHoldsAStillFrameNeverThePattern) {
    const auto loops = runtime.path() / "data" / "dev.corvid.kestrel" / "loops";
    testing::writeFile(loops / "Loop 1.mov", std::string(65536, 'x'));
    startSystem("kestrel.realisticTransitions=false\n");
    ASSERT_FALSE(HasFatalFailure());
    capture.emplace(env, log("gst"), kReadWidth, kReadHeight);
    ASSERT_TRUE(capture->started());

    // Sharp frames of differing sharpness: the pattern moves. A still keeps one value.
    const auto distinctSharp = [&](std::size_t from) {
        const auto all = frames();
        std::vector<double> values;
        for (std::size_t i = from; i < all.size(); ++i) {
            const GstFrame& f = all[i];
            if (f.black() || f.sharpness <= 50) {
                return std::size_t{0};
            }
            if (std::none_of(values.begin(), values.end(),
                             [&](double v) { return std::abs(v - f.sharpness) < 0.01; })) {
                values.push_back(f.sharpness);
            }
        }
        return values.size();
    };
    const auto liveMoves = [&] {
        const std::size_t count = capture->count();
        return count >= 15 && distinctSharp(count - 15) >= 3;
    };
    ASSERT_TRUE(readUntil(liveMoves, 20s)) << "no moving pattern\n" << diagnostics();

    int exit = -1;
    kestrel({"--force-away", "on"}, &exit);
    ASSERT_EQ(exit, 0) << tail(log("commands"));
    readFor(1s);  // the frames on their way when the mode changed
    const std::size_t from = capture->count();
    readFor(3s);
    ASSERT_GE(capture->count(), from + 30) << diagnostics();
    EXPECT_EQ(distinctSharp(from), 1U) << "one sharp still, no moving pattern";
    const std::string away = status();
    EXPECT_EQ(jsonField(away, "mode"), "\"away\"");
    EXPECT_EQ(jsonField(away, "awayShows"), "\"still\"");
    EXPECT_NE(jsonField(away, "loopError"), "null");
    EXPECT_GE(jsonNumber(away, "dispatchAwayLoopMissCount"), 30);

    stopSystem();
}

// Without PipeWire: the daemon's camera-link readers are enough to see frames flow.
class KestrelWithAStoppedDaemon : public KestrelEndToEnd {
  protected:
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
            GTEST_SKIP() << "no session bus: run this test under dbus-run-session (ctest does)";
        }
        env = testing::pipeWireEnvironment(runtime.path());
        prepareEnvironment();
    }
};

TEST_F(KestrelWithAStoppedDaemon, StatusAnswersAtOnceAndFramesFlowSoonAfterItContinues) {
    ASSERT_TRUE(startDaemon({"--no-pipewire", "--no-v4l2"}));
    writeSettings();
    app = ChildProcess({KESTREL_APP_PATH, "--headless", "--camera", "pattern"}, env,
                       Redirect{log("kestrel"), log("kestrel"), -1, false});
    ASSERT_TRUE(waitFor([&] { return jsonField(status(), "engineStarted") == "true"; }, 15s))
        << diagnostics();

    // A camera-link reader: when the first pattern frame that kestrel sent after `sentAfter`
    // (host time) arrived.
    std::atomic<std::uint64_t> sentAfter{0};
    std::atomic<std::uint64_t> arrived{0};
    WorkerThread readerThread("dev.corvid.kestrel.test-reader");
    std::unique_ptr<link::LinkClient> client;
    std::unique_ptr<link::SourceReader> linkReader;
    readerThread.runSync([&] {
        client = std::make_unique<link::LinkClient>(readerThread);
        client->setFolderForTesting(linkFolder());
        if (const auto camera = testing::findKestrel(*client)) {
            client->openSourceReader(
                camera->device, camera->source,
                [&](const link::SourceFrame& f) {
                    const auto seen = testing::summarise(f, systemHostClock().nowNanos());
                    if (!seen.black() && arrived.load() == 0 &&
                        f.presentationTime.seconds() * 1e9 > static_cast<double>(sentAfter)) {
                        arrived = seen.arrival;
                    }
                },
                linkReader);
        }
    });
    ASSERT_TRUE(waitFor([&] { return arrived.load() != 0; }, 15s)) << diagnostics();

    // Stopped: kestrel's calls go unanswered, yet its control answers.
    ASSERT_EQ(::kill(daemon.pid(), SIGSTOP), 0);
    struct Continue {
        pid_t pid;
        ~Continue() { ::kill(pid, SIGCONT); }
    } continueAtTheEnd{daemon.pid()};
    ASSERT_TRUE(waitFor(
        [&] { return tail(log("kestrel")).find("no answer from") != std::string::npos; }, 15s))
        << diagnostics();
    std::chrono::nanoseconds slowest{0};
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(jsonField(status(), "engineStarted"), "true");
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    }
    std::printf("slowest kestrel --status with the daemon stopped: %.3f s\n",
                std::chrono::duration<double>(slowest).count());
    EXPECT_LT(slowest, 2s) << diagnostics();

    sentAfter = systemHostClock().nowNanos();
    arrived = 0;
    ASSERT_EQ(::kill(daemon.pid(), SIGCONT), 0);
    ASSERT_TRUE(waitFor([&] { return arrived.load() != 0; }, 10s)) << diagnostics();
    const double flowing = static_cast<double>(arrived - sentAfter) / 1e9;
    std::printf("first new frame %.3f s after the daemon continued\n", flowing);
    EXPECT_LT(flowing, 3.0) << diagnostics();
    readerThread.runSync([&] {
        linkReader.reset();
        client.reset();
    });
}

}  // namespace
}  // namespace kestrel
