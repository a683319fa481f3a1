// The sink against a scripted object tree, in virtual time.

#include "app/link/VirtualCameraSink.h"

#include <gtest/gtest.h>

#include "platform/runtime/ManualExecutor.h"
#include "shared/CameraIPC.h"
#include "tests/app/link/FakeCameraLink.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeCameraLink;

constexpr const char* kUid = "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001";

class VirtualCameraSinkTest : public ::testing::Test {
  protected:
    std::unique_ptr<VirtualCameraSink> makeSink() {
        return std::make_unique<VirtualCameraSink>(link, executor, executor.hostClock());
    }
    // The usual daemon: one device with a source stream and a sink stream.
    link::ObjectId addKestrel() { return link.addDevice("Kestrel", kUid, {1U, 0U}); }
    std::unique_ptr<VirtualCameraSink> connectedSink() {
        addKestrel();
        auto sink = makeSink();
        EXPECT_TRUE(sink->tryConnect());
        return sink;
    }
    std::size_t lines(std::string_view text) const { return capture->count(text); }
    static PixelBufferRef frame(int width = 1280, int height = 720,
                                PixelStorage storage = PixelStorage::heap) {
        return PixelBuffer::create(width, height, storage);
    }

    kestrel::testing::LogCapture capture;
    ManualExecutor executor;
    FakeCameraLink link;
};

TEST_F(VirtualCameraSinkTest, ChoosesTheExactNameWithASinkStreamPreferringTheIdentifiedDevice) {
    struct Device {
        std::optional<std::string> name;
        std::optional<std::string> uid;
        std::vector<std::optional<std::uint32_t>> directions;
    };
    const struct {
        const char* name;
        std::vector<Device> devices;
        int chosen;  // the device, -1: none
        std::size_t stream;
    } cases[] = {
        // The identified device has a single stream: passed over for the two-stream one.
        {"one stream", {{"Kestrel", kUid, {0U}}, {"Kestrel", "OTHER", {1U, 0U}}}, 1, 1},
        // With two streams the identified device wins over an earlier one whose identifier
        // cannot be read (it counts as empty).
        {"identified", {{"Kestrel", std::nullopt, {0U, 1U}}, {"Kestrel", kUid, {0U, 1U}}}, 1, 0},
        {"names",
         {{"Kestrel Virtual Camera", kUid, {1U, 0U}},
          {"kestrel", kUid, {1U, 0U}},
          {std::nullopt, kUid, {1U, 0U}}},
         -1,
         0},
        {"no sink direction", {{"Kestrel", kUid, {1U, 1U}}}, -1, 0},
        {"unreadable direction counts as 0", {{"Kestrel", kUid, {1U, std::nullopt}}}, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeCameraLink fake;
        std::vector<link::ObjectId> ids;
        for (const auto& d : c.devices) {
            ids.push_back(fake.addDevice(d.name, d.uid, d.directions));
        }
        VirtualCameraSink sink(fake, executor, executor.hostClock());
        EXPECT_EQ(sink.tryConnect(), c.chosen >= 0);
        if (c.chosen < 0) {
            EXPECT_EQ(fake.copyCalls, 0);
            EXPECT_FALSE(sink.hasQueue());
            continue;
        }
        const auto device = ids[static_cast<std::size_t>(c.chosen)];
        EXPECT_EQ(sink.deviceID(), device);
        EXPECT_EQ(sink.sinkStreamID(), fake.stream(device, c.stream));
        EXPECT_EQ(fake.started, (std::vector{std::make_pair(device, sink.sinkStreamID())}));
    }
}

TEST_F(VirtualCameraSinkTest, NotFoundLineAtMostOncePerFiveSecondsAndADropLineEveryThirtiethDrop) {
    link.addDevice("Kestrel", kUid, {0U});  // a candidate, but without a second stream
    auto sink = makeSink();
    for (int i = 0; i < 3; ++i) {
        sink->enqueue(frame());
        executor.advance(1s);
    }
    EXPECT_EQ(sink->dropCount(), 3);
    EXPECT_EQ(link.deviceListReads, 3);  // one full discovery per dropped frame
    EXPECT_EQ(link.allowScreenCaptureWrites, 3);
    EXPECT_EQ(lines("no Kestrel device with sink found (1 candidates)"), 1U);

    // Exactly 5.0 s after the line: still quiet; 5.1 s after it: the next line.
    executor.advance(2s);
    sink->enqueue(frame());
    EXPECT_EQ(lines("no Kestrel device with sink found"), 1U);
    executor.advance(100ms);
    sink->enqueue(frame());
    EXPECT_EQ(lines("no Kestrel device with sink found"), 2U);

    // Every thirtieth dropped frame says so.
    for (int i = 6; i <= 90; ++i) {
        sink->enqueue(frame());
        EXPECT_EQ(lines("enqueue drop:"), static_cast<std::size_t>(i / 30)) << "frame " << i;
    }
    EXPECT_EQ(lines("enqueue drop: connected=n queue=nil"), 3U);
    EXPECT_EQ(sink->dropCount(), 90);
    EXPECT_EQ(sink->enqueueCount(), 0);
}

TEST_F(VirtualCameraSinkTest, DroppedFrameConnectsButIsNotDeliveredAndEachFrameSizeAddsOneFormat) {
    addKestrel();
    auto sink = makeSink();
    sink->enqueue(frame());
    EXPECT_TRUE(sink->connected());
    EXPECT_EQ(sink->dropCount(), 1);
    ASSERT_EQ(link.queues.size(), 1U);
    EXPECT_TRUE(link.queues[0]->frames.empty());

    // Connected: a second connect does nothing at all, not even discovery.
    const int reads = link.deviceListReads;
    EXPECT_TRUE(sink->tryConnect());
    EXPECT_EQ(link.deviceListReads, reads);

    const std::uint64_t before = executor.nowNanos();
    sink->enqueue(frame());
    ASSERT_EQ(link.queues[0]->frames.size(), 1U);
    const auto& sent = link.queues[0]->frames[0];
    EXPECT_EQ(sent.presentationTime.seconds(), static_cast<double>(before) / 1e9);
    EXPECT_EQ(sent.duration, CameraIPC::frameDuration);
    EXPECT_EQ(sink->enqueueCount(), 1);

    // Each frame size adds one format, also sizes that differ in one dimension only.
    for (int i = 0; i < 6; ++i) {
        sink->enqueue(i % 2 == 0 ? frame(1920, 1080) : frame(1280, 720));
    }
    EXPECT_EQ(sink->formatCacheSize(), 2U);
    ASSERT_EQ(link.queues[0]->frames.size(), 7U);
    EXPECT_EQ(link.queues[0]->frames[1].width, 1920);
    EXPECT_EQ(link.queues[0]->frames[2].width, 1280);
    sink->enqueue(frame(720, 1280));
    sink->enqueue(frame(1280, 1080));
    EXPECT_EQ(sink->formatCacheSize(), 4U);
}

TEST_F(VirtualCameraSinkTest, StuckQueueReconnectsOnlyAfterMoreThanOneAndAHalfSecondsWithoutRoom) {
    auto sink = connectedSink();
    const auto device = link.devices.front();
    auto queue = link.queues[0];
    queue->occupancy = queue->slots;
    sink->enqueue(frame());  // t = 0: the window opens
    executor.advance(1200ms);
    queue->occupancy = 0;
    sink->enqueue(frame());  // 1.2 s: room, the window closes
    EXPECT_EQ(queue->frames.size(), 1U);
    queue->occupancy = queue->slots;
    executor.advance(100ms);
    sink->enqueue(frame());  // a new window opens
    executor.advance(1000ms);
    sink->enqueue(frame());  // 1.0 s into it
    executor.advance(500ms);
    sink->enqueue(frame());  // 1.5 s: still inside
    EXPECT_TRUE(link.stopped.empty());
    EXPECT_EQ(link.copyCalls, 1);
    EXPECT_EQ(lines("sink queue stuck"), 0U);
    EXPECT_EQ(sink->enqueueCount(), 1);
    EXPECT_EQ(sink->dropCount(), 0);  // full-queue drops are not disconnection drops

    executor.advance(1ms);
    sink->enqueue(frame());
    EXPECT_EQ(lines("sink queue stuck — reconnecting"), 1U);
    ASSERT_EQ(link.stopped.size(), 1U);
    EXPECT_EQ(link.stopped[0], std::make_pair(device, link.stream(device, 1)));
    // The reconnect ran at once: a new queue, a new start.
    EXPECT_EQ(link.copyCalls, 2);
    EXPECT_EQ(link.started.size(), 2U);
    EXPECT_TRUE(sink->connected());
    EXPECT_EQ(queue->frames.size(), 1U);
}

TEST_F(VirtualCameraSinkTest, AFailedStartOrQueueCopyKeepsTheQueueAndTheNextFrameStartsOver) {
    addKestrel();
    link.startStatus = link::status::notRunning;
    auto sink = makeSink();
    EXPECT_FALSE(sink->tryConnect());
    EXPECT_FALSE(sink->connected());
    EXPECT_TRUE(sink->hasQueue());
    link.copyStatus = link::status::disconnected;
    EXPECT_FALSE(sink->tryConnect());
    EXPECT_TRUE(sink->hasQueue());
    EXPECT_FALSE(sink->connected());

    link.copyStatus = link::status::ok;
    link.startStatus = link::status::ok;
    sink->enqueue(frame());
    EXPECT_EQ(sink->dropCount(), 1);
    EXPECT_EQ(link.copyCalls, 3);  // a complete new attempt: new queue
    ASSERT_EQ(link.queues.size(), 2U);
    EXPECT_TRUE(sink->connected());
    EXPECT_TRUE(link.queues[0]->frames.empty());
    sink->enqueue(frame());
    EXPECT_EQ(link.queues[1]->frames.size(), 1U);
    EXPECT_TRUE(link.queues[0]->frames.empty());
}

TEST_F(VirtualCameraSinkTest,
       SuccessLineEverySixtiethFrameRejectionsEveryThirtiethAndADaemonGoneIsGivenUp) {
    auto sink = connectedSink();
    for (int i = 0; i < 120; ++i) {
        sink->enqueue(frame(1280, 720, PixelStorage::sharedMemory));
    }
    EXPECT_EQ(lines("enqueue ok count=60 memfd=y size=1280x720"), 1U);
    EXPECT_EQ(lines("enqueue ok count=120 memfd=y size=1280x720"), 1U);
    EXPECT_EQ(lines("enqueue ok"), 2U);

    link.queues[0]->enqueueStatus = link::status::badPropertySize;
    for (int i = 0; i < 59; ++i) {
        sink->enqueue(frame());
    }
    EXPECT_EQ(sink->enqueueErrCount(), 59);
    EXPECT_EQ(lines("CMSimpleQueueEnqueue rejected count=30 status=" +
                    std::to_string(link::status::badPropertySize)),
              1U);
    EXPECT_EQ(lines("CMSimpleQueueEnqueue rejected"), 1U);
    EXPECT_TRUE(sink->connected());  // a frame the queue refuses leaves the connection up

    // A queue whose daemon went away is given up.
    const auto device = link.devices.front();
    link.queues[0]->enqueueStatus = link::status::disconnected;
    link.devices.clear();  // the daemon is gone
    sink->enqueue(frame());
    EXPECT_FALSE(sink->connected());
    EXPECT_FALSE(sink->hasQueue());
    EXPECT_TRUE(link.stopped.empty());  // nothing left to stop

    // A new daemon: the device-list change connects again and frames flow.
    link.devices.push_back(device);
    link.fireDevicesChanged();
    executor.runUntilIdle();
    ASSERT_TRUE(sink->connected());
    sink->enqueue(frame());
    ASSERT_EQ(link.queues.size(), 2U);
    EXPECT_EQ(link.queues[1]->frames.size(), 1U);
}

TEST_F(VirtualCameraSinkTest,
       DeviceListListenerInstalledOnceRetriedAfterFailureAndHarmlessAfterTheSink) {
    link.listenerStatus = link::status::unspecified;
    auto sink = makeSink();
    sink->tryConnect();
    link.listenerStatus = link::status::ok;
    sink->tryConnect();
    sink->tryConnect();
    EXPECT_EQ(link.listenerRegistrations, 2);
    ASSERT_EQ(link.listeners.size(), 1U);

    // The daemon appears: the listener logs and connects on a task of its own.
    addKestrel();
    link.fireDevicesChanged();
    EXPECT_FALSE(sink->connected());
    executor.runUntilIdle();
    EXPECT_TRUE(sink->connected());

    // Notices that outlive the sink do nothing.
    link.fireDevicesChanged();  // posts a connect task
    auto altered = link.alteredCallbacks.at(0);
    altered();
    sink.reset();
    link.fireDevicesChanged();
    altered();
    executor.runUntilIdle();
    EXPECT_EQ(link.started.size(), 1U);
}

}  // namespace
}  // namespace kestrel
