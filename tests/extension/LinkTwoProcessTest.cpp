// The daemon as its own process, read and fed through the real socket and shared memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <tuple>

#include "platform/link/LinkClient.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/CameraLink.h"
#include "tests/support/ChildProcess.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::SeenFrame;
using testing::TempFolder;
using testing::waitFor;

TEST(CameraLinkTwoProcess, BlackThenSinkFramesInEitherFormatWithTheirOwnTimes) {
    TempFolder runtime;
    ASSERT_FALSE(runtime.path().empty());
    ChildProcess daemon({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"},
                        {"XDG_RUNTIME_DIR=" + runtime.path().string(), "KESTREL_LOG=stderr"});
    ASSERT_GT(daemon.pid(), 0);
    const auto folder = runtime.path() / "dev.corvid.kestrel";
    ASSERT_TRUE(waitFor(
        [&] { return std::filesystem::exists(folder / link::kCameraProviderSocket); }, 5000ms))
        << "the daemon did not publish its socket";

    ManualExecutor exec;
    auto pump = [&exec] {
        exec.pollFds();
        exec.runUntilIdle();
        std::this_thread::sleep_for(2ms);
    };
    link::LinkClient readerClient(exec);
    readerClient.setFolderForTesting(folder);
    const auto camera = testing::findKestrel(readerClient);
    ASSERT_TRUE(camera.has_value());
    std::string uid;
    EXPECT_EQ(readerClient.getProperty(camera->device, link::property::deviceUID, uid),
              link::status::ok);
    EXPECT_EQ(uid, "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001");

    std::vector<SeenFrame> seen;
    std::unique_ptr<link::SourceReader> reader;
    ASSERT_EQ(readerClient.openSourceReader(
                  camera->device, camera->source,
                  [&seen](const link::SourceFrame& f) {
                      seen.push_back(testing::summarise(f, systemHostClock().nowNanos()));
                  },
                  reader),
              link::status::ok);
    ASSERT_TRUE(waitFor([&] { return seen.size() >= 3; }, 3000ms, pump)) << "no black frames";

    std::vector<std::uint64_t> enqueuedTimes;
    {
        link::LinkClient sinkClient(exec);
        sinkClient.setFolderForTesting(folder);
        const auto sinkCamera = testing::findKestrel(sinkClient);
        ASSERT_TRUE(sinkCamera.has_value());
        int altered = 0;
        std::shared_ptr<link::SinkQueue> queue;
        ASSERT_EQ(sinkClient.copyBufferQueue(
                      sinkCamera->sink, [&altered] { ++altered; }, queue),
                  link::status::ok);
        EXPECT_EQ(std::pair(queue->capacity(), queue->count()), std::pair(4, 0));
        ASSERT_EQ(sinkClient.startStream(sinkCamera->device, sinkCamera->sink), link::status::ok);

        auto frame = PixelBuffer::create(1280, 720);
        frame->fill(10, 20, 200, 255);
        const std::size_t before = seen.size();
        for (int i = 0; i < 5; ++i) {
            // A slot is normally free at once; a daemon slowed by a loaded machine gets time.
            ASSERT_TRUE(waitFor([&] { return queue->count() < queue->capacity(); }, 2000ms, pump));
            // BGRA and 4:2:0 planes in turn: readers get BGRA either way.
            queue->setPixelFormat(i % 2 == 0 ? link::kBGRA : link::kI420);
            const std::uint64_t now = systemHostClock().nowNanos();
            ASSERT_EQ(queue->enqueue(*frame, MediaTime::fromNanos(now), MediaTime{1, 30}),
                      link::status::ok);
            enqueuedTimes.push_back(now);
            waitFor([] { return false; }, 66ms, pump);  // 15 frames per second
        }
        const auto fed = [](const SeenFrame& f) { return f.width == 1280; };
        ASSERT_TRUE(waitFor(
            [&] {
                return std::count_if(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end(),
                                     fed) == 5;
            },
            2000ms, pump));
        std::vector<std::uint64_t> relayedTimes;
        // The fed frames, 66 ms apart, bracket a stretch where a 30 fps black would show: while
        // the sink is started, none comes between them.
        const auto first =
            std::find_if(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end(), fed);
        const auto last = std::find_if(seen.rbegin(), seen.rend(), fed).base();
        EXPECT_TRUE(std::all_of(first, last, fed));
        for (std::size_t i = before; i < seen.size(); ++i) {
            if (fed(seen[i])) {
                // Exact from BGRA, within the rounding of the trip through YUV from planes.
                const int off = relayedTimes.size() % 2 == 0 ? 0 : 3;
                EXPECT_EQ(std::tuple(seen[i].height, seen[i].uniform, seen[i].a),
                          std::tuple(720U, true, 255));
                EXPECT_NEAR(seen[i].b, 10, off);
                EXPECT_NEAR(seen[i].g, 20, off);
                EXPECT_NEAR(seen[i].r, 200, off);
                relayedTimes.push_back(seen[i].hostTime);
            }
        }
        EXPECT_EQ(relayedTimes, enqueuedTimes);  // frames keep their own times
        ASSERT_TRUE(waitFor([&] { return queue->count() == 0 && queue->acknowledged() == 5; },
                            1000ms, pump));
        EXPECT_EQ(altered, 5);
    }  // the feeding client goes away without a stop
    reader.reset();
    const int status = daemon.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(CameraLinkTwoProcess, ASecondDaemonLeavesTheFirstAlone) {
    TempFolder runtime;
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime.path().string(),
                                          "KESTREL_LOG=stderr"};
    ChildProcess first({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"}, env);
    const auto socket = runtime.path() / "dev.corvid.kestrel" / link::kCameraProviderSocket;
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, 5000ms));
    ChildProcess second({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"}, env, true);
    ASSERT_TRUE(waitFor([&] { return !second.running(); }, 5000ms));
    EXPECT_TRUE(first.running());
    EXPECT_TRUE(std::filesystem::exists(socket));
}

}  // namespace
}  // namespace kestrel
