// The daemon's "Kestrel" node read through a private PipeWire by GStreamer's pipewiresrc: black
// first, then the frames a camera-link client puts into the sink, then black again once that
// client disconnects.

#include <gtest/gtest.h>

#include "platform/link/LinkClient.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/CameraLink.h"
#include "tests/support/PipeWire.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::GstFrame;
using testing::tail;

constexpr int kOutWidth = 64;
constexpr int kOutHeight = 36;

using PipeWireEndToEnd = testing::PrivatePipeWire;

TEST_F(PipeWireEndToEnd, BlackThenSinkFramesThenBlackAgain) {
    ASSERT_TRUE(startPipeWire());
    ASSERT_TRUE(startDaemon({"--no-v4l2"}));
    ASSERT_TRUE(nodePublished());
    capture.emplace(env, log("gst"), kOutWidth, kOutHeight);
    ASSERT_TRUE(capture->started());

    // 1. Black while nobody feeds the camera.
    ASSERT_TRUE(capture->waitUntil([](const auto& frames) { return frames.size() >= 5; }, 20s))
        << "no frames from pipewiresrc" << diagnostics();
    for (const auto& f : capture->frames()) {
        EXPECT_TRUE(f.black()) << f.b << "," << f.g << "," << f.r;
    }

    // 2. A client feeds the sink: its colour comes through.
    constexpr std::uint8_t kB = 40, kG = 160, kR = 220;
    const auto colour = [](const GstFrame& f) { return f.near(kB, kG, kR); };
    std::size_t colourFrom = 0;
    {
        ManualExecutor exec;
        link::LinkClient client(exec);
        client.setFolderForTesting(linkFolder());
        const auto camera = testing::findKestrel(client);
        ASSERT_TRUE(camera.has_value());
        std::shared_ptr<link::SinkQueue> queue;
        ASSERT_EQ(client.copyBufferQueue(camera->sink, {}, queue), link::status::ok);
        ASSERT_EQ(client.startStream(camera->device, camera->sink), link::status::ok);
        auto frame = PixelBuffer::create(1280, 720);
        frame->fill(kB, kG, kR, 255);
        colourFrom = capture->count();
        // Fed at 15 frames per second until ten coloured frames came through.
        const bool sawColour = testing::waitFor(
            [&] {
                const auto frames = capture->frames();
                return std::count_if(frames.begin() + static_cast<std::ptrdiff_t>(colourFrom),
                                     frames.end(), colour) >= 10;
            },
            10s,
            [&] {
                queue->enqueue(*frame, MediaTime::fromNanos(systemHostClock().nowNanos()),
                               MediaTime{1, 30});
                testing::waitFor([] { return false; }, 66ms,
                                 [&] {
                                     exec.pollFds();
                                     exec.runUntilIdle();
                                     std::this_thread::sleep_for(5ms);
                                 });
            });
        ASSERT_TRUE(sawColour) << "the sink's frames did not reach pipewiresrc" << diagnostics();
    }  // the client disconnects without stopping the stream

    // 3. Black again once the feeder is gone.
    const std::size_t after = capture->count();
    ASSERT_TRUE(capture->waitUntil(
        [after](const auto& frames) {
            return frames.size() >= after + 5 && frames.back().black() &&
                   frames[frames.size() - 2].black();
        },
        10s))
        << "black did not come back" << diagnostics();

    // The order held: black, then colour, then black.
    const auto frames = capture->frames();
    bool seenColour = false;
    bool blackAfterColour = false;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i < colourFrom) {
            EXPECT_TRUE(frames[i].black());
        } else if (colour(frames[i])) {
            EXPECT_FALSE(blackAfterColour) << "colour after black came back, frame " << i;
            seenColour = true;
        } else if (seenColour && frames[i].black()) {
            blackAfterColour = true;
        }
    }
    EXPECT_TRUE(seenColour);
    EXPECT_TRUE(blackAfterColour);
    stopAll();
}

TEST_F(PipeWireEndToEnd, ADaemonStartedBeforePipeWireGetsItsNodeLater) {
    ASSERT_TRUE(startDaemon({"--no-v4l2"}));
    ASSERT_TRUE(testing::waitFor(
        [&] { return tail(log("daemon")).find("not reachable") != std::string::npos; }, 5s));
    ASSERT_TRUE(startPipeWire());
    ASSERT_TRUE(nodePublished());
    capture.emplace(env, log("gst"), kOutWidth, kOutHeight);
    ASSERT_TRUE(capture->waitUntil([](const auto& frames) { return frames.size() >= 3; }, 20s))
        << diagnostics();
    EXPECT_TRUE(capture->frames().back().black());
    // Logged once, however many retries it took.
    const std::string daemonLog = tail(log("daemon"));
    EXPECT_EQ(daemonLog.find("not reachable"), daemonLog.rfind("not reachable"));
    stopAll();
}

}  // namespace
}  // namespace kestrel
