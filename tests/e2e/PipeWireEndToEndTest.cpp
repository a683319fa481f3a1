// End to end through PipeWire: a private PipeWire and WirePlumber (own XDG_RUNTIME_DIR, the
// session bus of the dbus-run-session this test runs under), the daemon, and GStreamer's
// pipewiresrc reading the "Kestrel" node. Black first, then the frames a test client puts into
// the sink, then black again once that client disconnects. Every wait is bounded and every
// process this test starts is ended by its pid.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/link/LinkClient.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/e2e/PipeWireSupport.h"
#include "tests/extension/LinkTestSupport.h"
#include "tests/extension/ProcessSupport.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FrameReader;
using testing::GstFrame;
using testing::Redirect;
using testing::tail;
using testing::TempFolder;
using testing::waitFor;

constexpr int kOutWidth = 64;
constexpr int kOutHeight = 36;

TEST(PipeWireEndToEnd, BlackThenSinkFramesThenBlackAgain) {
    if (const auto reason = testing::pipeWireSkipReason(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    TempFolder runtime;
    ASSERT_FALSE(runtime.path().empty());
    const std::string rt = runtime.path().string();
    const auto env = testing::pipeWireEnvironment(runtime.path());
    const auto log = [&rt](const char* name) { return rt + "/" + name + ".log"; };

    ChildProcess pipewire;
    ChildProcess wireplumber;
    ASSERT_TRUE(testing::startPipeWire(runtime.path(), env, runtime.path(), pipewire, wireplumber))
        << "PipeWire did not start:\n"
        << tail(log("pipewire"));
    ChildProcess daemon({KESTREL_CAMERA_PATH, "--no-v4l2"}, env,
                        Redirect{log("daemon"), log("daemon"), -1, false});
    const auto folder = runtime.path() / "dev.corvid.kestrel";
    ASSERT_TRUE(
        waitFor([&] { return std::filesystem::exists(folder / link::kCameraProviderSocket); }, 10s))
        << tail(log("daemon"));

    testing::GstCapture capture(env, log("gst"), kOutWidth, kOutHeight);
    ASSERT_TRUE(capture.started());
    FrameReader& reader = *capture.reader;
    ChildProcess& gst = capture.gst;
    auto diagnostics = [&] {
        return "daemon:\n" + tail(log("daemon")) + "\ngst:\n" + tail(log("gst")) +
               "\nwireplumber:\n" + tail(log("wireplumber"));
    };

    // 1. Black while nobody feeds the camera.
    ASSERT_TRUE(waitFor([&] { return reader.frames.size() >= 5; }, 20s, [&] { reader.poll(50ms); }))
        << "no frames from pipewiresrc\n"
        << diagnostics();
    for (const auto& f : reader.frames) {
        EXPECT_TRUE(f.black()) << f.b << "," << f.g << "," << f.r;
    }

    // 2. A client feeds the sink: its colour comes through.
    constexpr std::uint8_t kB = 40, kG = 160, kR = 220;
    std::size_t colourFrom = 0;
    {
        ManualExecutor exec;
        link::LinkClient client(exec);
        client.setFolderForTesting(folder);
        const auto camera = testing::findKestrel(client);
        ASSERT_TRUE(camera.has_value());
        std::shared_ptr<link::SinkQueue> queue;
        ASSERT_EQ(client.copyBufferQueue(camera->sink, {}, queue), link::status::ok);
        ASSERT_EQ(client.startStream(camera->device, camera->sink), link::status::ok);
        auto frame = PixelBuffer::create(1280, 720);
        frame->fill(kB, kG, kR, 255);
        colourFrom = reader.frames.size();
        bool sawColour = false;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            queue->enqueue(*frame, MediaTime::fromNanos(systemHostClock().nowNanos()),
                           MediaTime{1, 30});
            for (int i = 0; i < 4; ++i) {  // 15 frames per second
                exec.pollFds();
                exec.runUntilIdle();
                reader.poll(16ms);
            }
            sawColour = std::any_of(reader.frames.begin() + static_cast<std::ptrdiff_t>(colourFrom),
                                    reader.frames.end(),
                                    [&](const GstFrame& f) { return f.near(kB, kG, kR); });
            if (sawColour && reader.frames.size() > colourFrom + 10) {
                break;
            }
        }
        ASSERT_TRUE(sawColour) << "the sink's frames did not reach pipewiresrc\n" << diagnostics();
    }  // the client disconnects without stopping the stream

    // 3. Black again once the feeder is gone.
    const std::size_t after = reader.frames.size();
    ASSERT_TRUE(waitFor(
        [&] {
            return reader.frames.size() >= after + 5 && reader.frames.back().black() &&
                   reader.frames[reader.frames.size() - 2].black();
        },
        10s, [&] { reader.poll(50ms); }))
        << "black did not come back\n"
        << diagnostics();

    // The order held: black, then colour, then black.
    bool seenColour = false;
    bool blackAfterColour = false;
    for (std::size_t i = 0; i < reader.frames.size(); ++i) {
        const auto& f = reader.frames[i];
        if (i < colourFrom) {
            EXPECT_TRUE(f.black());
        } else if (f.near(kB, kG, kR)) {
            EXPECT_FALSE(blackAfterColour) << "colour after black came back, frame " << i;
            seenColour = true;
        } else if (seenColour && f.black()) {
            blackAfterColour = true;
        }
    }
    EXPECT_TRUE(seenColour);
    EXPECT_TRUE(blackAfterColour);
    std::printf("pipewiresrc frames: %zu black before the feeder, %zu in all\n", colourFrom,
                reader.frames.size());

    // Clean teardown, consumers first.
    gst.stop();
    const int daemonStatus = daemon.stop();
    EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 0) << diagnostics();
    wireplumber.stop();
    pipewire.stop();
}

TEST(PipeWireEndToEnd, ADaemonStartedBeforePipeWireGetsItsNodeLater) {
    if (const auto reason = testing::pipeWireSkipReason(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    TempFolder runtime;
    ASSERT_FALSE(runtime.path().empty());
    const std::string rt = runtime.path().string();
    const auto env = testing::pipeWireEnvironment(runtime.path());
    const auto log = [&rt](const char* name) { return rt + "/" + name + ".log"; };
    ChildProcess daemon({KESTREL_CAMERA_PATH, "--no-v4l2"}, env,
                        Redirect{log("daemon"), log("daemon"), -1, false});
    const auto folder = runtime.path() / "dev.corvid.kestrel";
    ASSERT_TRUE(waitFor(
        [&] { return std::filesystem::exists(folder / link::kCameraProviderSocket); }, 10s));
    ASSERT_TRUE(waitFor(
        [&] { return tail(log("daemon")).find("not reachable") != std::string::npos; }, 5s));

    ChildProcess pipewire;
    ChildProcess wireplumber;
    ASSERT_TRUE(testing::startPipeWire(runtime.path(), env, runtime.path(), pipewire, wireplumber));
    ASSERT_TRUE(waitFor(
        [&] {
            return tail(log("daemon")).find("PipeWire node \"Kestrel\" published") !=
                   std::string::npos;
        },
        10s))
        << tail(log("daemon"));

    testing::GstCapture capture(env, log("gst"), kOutWidth, kOutHeight);
    ASSERT_TRUE(capture.started());
    FrameReader& reader = *capture.reader;
    ChildProcess& gst = capture.gst;
    ASSERT_TRUE(waitFor([&] { return reader.frames.size() >= 3; }, 20s, [&] { reader.poll(50ms); }))
        << tail(log("daemon")) << tail(log("gst"));
    EXPECT_TRUE(reader.frames.back().black());
    // Logged once, however many retries it took.
    const std::string daemonLog = tail(log("daemon"));
    EXPECT_EQ(daemonLog.find("not reachable"), daemonLog.rfind("not reachable"));
    gst.stop();
    const int daemonStatus = daemon.stop();
    EXPECT_TRUE(WIFEXITED(daemonStatus) && WEXITSTATUS(daemonStatus) == 0);
    wireplumber.stop();
    pipewire.stop();
}

}  // namespace
}  // namespace kestrel
