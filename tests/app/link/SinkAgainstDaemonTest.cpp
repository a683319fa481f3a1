// The sink feeding the real camera daemon, started as its own process with a private runtime
// folder, while a source-stream reader watches what the daemon relays.

#include <gtest/gtest.h>

#include <thread>

#include "app/link/VirtualCameraSink.h"
#include "platform/link/LinkClient.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/extension/LinkTestSupport.h"
#include "tests/extension/ProcessSupport.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::SeenFrame;
using testing::TempFolder;
using testing::waitFor;

TEST(VirtualCameraSinkWithDaemon, FramesReachASourceReaderAcrossADaemonRestart) {
    TempFolder runtime;
    ASSERT_FALSE(runtime.path().empty());
    const auto folder = runtime.path() / "dev.corvid.kestrel";
    struct CapturedLog {
        std::shared_ptr<LogSink> previous = Log::sink();
        std::shared_ptr<CaptureLogSink> sink = std::make_shared<CaptureLogSink>();
        CapturedLog() { Log::setSink(sink); }
        ~CapturedLog() { Log::setSink(previous); }
        CapturedLog(const CapturedLog&) = delete;
        CapturedLog& operator=(const CapturedLog&) = delete;
    } captured;
    auto& capture = captured.sink;

    // The sink's executor is driven by hand; its clocks still read virtual time, so the frames
    // it stamps carry virtual host times.
    ManualExecutor exec;
    link::LinkClient sinkClient(exec);
    sinkClient.setFolderForTesting(folder);
    LinkClientPort port(sinkClient);
    VirtualCameraSink sink(port, exec, exec.hostClock());
    auto frame = PixelBuffer::create(1280, 720, PixelStorage::sharedMemory);
    frame->fill(10, 20, 200, 255);

    // No daemon yet: the frame is dropped and the not-found line written.
    sink.enqueue(frame);
    EXPECT_FALSE(sink.connected());
    EXPECT_EQ(capture->count("no Kestrel device with sink found (0 candidates)"), 1U);

    ChildProcess daemon({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"},
                        {"XDG_RUNTIME_DIR=" + runtime.path().string(), "KESTREL_LOG=stderr"});
    ASSERT_GT(daemon.pid(), 0);
    ASSERT_TRUE(waitFor(
        [&] { return std::filesystem::exists(folder / link::kCameraProviderSocket); }, 5000ms))
        << "the daemon did not publish its socket";

    link::LinkClient readerClient(exec);
    readerClient.setFolderForTesting(folder);
    const auto camera = testing::findKestrel(readerClient);
    ASSERT_TRUE(camera.has_value());
    std::vector<SeenFrame> seen;
    std::unique_ptr<link::SourceReader> reader;
    ASSERT_EQ(readerClient.openSourceReader(
                  camera->device, camera->source,
                  [&seen](const link::SourceFrame& f) { seen.push_back(testing::summarise(f, 0)); },
                  reader),
              link::status::ok);

    // The engine's rhythm: a frame every 66 ms of virtual time; the next frame connects.
    std::vector<std::uint64_t> stamps;
    auto pump = [&] {
        exec.pollFds();
        exec.runUntilIdle();
        std::this_thread::sleep_for(2ms);  // the daemon runs in real time
    };
    // One camera frame: virtual time moves on only when the sink took the frame, so a daemon
    // that is slow to consume (a sanitizer build on a busy machine) never looks stuck.
    auto feed = [&] {
        const std::int64_t before = sink.enqueueCount();
        sink.enqueue(frame);
        if (sink.enqueueCount() == before) {
            return false;
        }
        exec.advance(66ms);
        return true;
    };
    auto fed = [&] {
        return std::count_if(seen.begin(), seen.end(), [](const SeenFrame& f) {
            return f.width == 1280 && f.height == 720 && f.uniform && f.b == 10 && f.g == 20 &&
                   f.r == 200;
        });
    };
    // The next frame goes once the reader has the last: the daemon drops a frame for a reader
    // that still holds every slot, and a loaded machine can leave this reader that far behind.
    ASSERT_TRUE(waitFor(
        [&] {
            if (sink.connected() && stamps.size() < 5 &&
                static_cast<std::size_t>(fed()) == stamps.size()) {
                const std::uint64_t now = exec.nowNanos();
                if (feed()) {
                    stamps.push_back(now);
                }
            } else if (!sink.connected()) {
                sink.enqueue(frame);
            }
            return fed() >= 5;
        },
        5000ms, pump))
        << "frames enqueued by the sink did not reach the reader";
    EXPECT_EQ(capture->count("sink stream connected: device="), 1U);
    EXPECT_EQ(capture->count("format added: 1280x720"), 1U);
    EXPECT_EQ(sink.enqueueErrCount(), 0);
    std::vector<std::uint64_t> relayed;
    for (const auto& f : seen) {
        if (f.width == 1280) {
            relayed.push_back(f.hostTime);
        }
    }
    EXPECT_EQ(relayed, stamps);  // each frame keeps the host time the sink stamped

    // The daemon dies: the next frames notice, the not-found line comes, and a new daemon is
    // taken up again.
    reader.reset();
    daemon.stop();
    exec.advance(6s);
    ASSERT_TRUE(waitFor(
        [&] {
            sink.enqueue(frame);
            exec.advance(66ms);
            return !sink.connected() &&
                   capture->count("no Kestrel device with sink found (0 candidates)") == 2U;
        },
        5000ms, pump))
        << "the sink did not notice the daemon going away";
    EXPECT_EQ(capture->count("sink queue lost its daemon — reconnecting"), 1U);

    ChildProcess second({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"},
                        {"XDG_RUNTIME_DIR=" + runtime.path().string(), "KESTREL_LOG=stderr"});
    ASSERT_GT(second.pid(), 0);
    ASSERT_TRUE(waitFor(
        [&] {
            sink.enqueue(frame);
            exec.advance(66ms);
            return sink.connected();
        },
        5000ms, pump))
        << "the sink did not take up the new daemon";
    EXPECT_EQ(capture->count("sink stream connected: device="), 2U);
    link::LinkClient secondReaderClient(exec);
    secondReaderClient.setFolderForTesting(folder);
    const auto again = testing::findKestrel(secondReaderClient);
    ASSERT_TRUE(again.has_value());
    seen.clear();
    // Declared after its client: a reader must not outlive the client it came from.
    std::unique_ptr<link::SourceReader> secondReader;
    ASSERT_EQ(secondReaderClient.openSourceReader(
                  again->device, again->source,
                  [&seen](const link::SourceFrame& f) { seen.push_back(testing::summarise(f, 0)); },
                  secondReader),
              link::status::ok);
    ASSERT_TRUE(waitFor(
        [&] {
            feed();
            return fed() >= 3;
        },
        5000ms, pump))
        << "frames did not reach the new daemon's reader";
}

}  // namespace
}  // namespace kestrel
