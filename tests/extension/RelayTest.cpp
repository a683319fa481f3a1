#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "extension/VirtualCameraDevice.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/extension/RelayFakes.h"

namespace kestrel::camera {
namespace {

using std::chrono::milliseconds;
using testing::FakeSinkPort;
using testing::FakeSourcePort;

class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device = VirtualCameraDevice::create(exec, exec.hostClock());
        ASSERT_TRUE(device);
        device->attachStreams(&sink, &source);
    }
    void startSource() {
        device->sourceStreamSource().startStream();
        exec.runUntilIdle();
    }
    void stopSource() {
        device->sourceStreamSource().stopStream();
        exec.runUntilIdle();
    }
    void startSink(Client client = Client{7, 4242}) {
        device->sinkStreamSource().authorizedToStartStream(client);
        device->sinkStreamSource().startStream();
        exec.runUntilIdle();
    }
    void stopSink() {
        device->sinkStreamSource().stopStream();
        exec.runUntilIdle();
    }
    std::vector<std::string> log() const { return captured->messages("Provider"); }
    std::size_t count(std::string_view text) const { return captured->count(text); }

    testing::LogCapture captured;
    ManualExecutor exec;
    FakeSinkPort sink;
    FakeSourcePort source;
    std::shared_ptr<VirtualCameraDevice> device;
};

// A sink that says when a frame is queued has it relayed then, and is polled ten times a second
// in case, instead of ninety.
TEST_F(RelayTest, AnnouncedFramesGoOutAtOnceAndTheSinkIsPolledOnlyAsABackstop) {
    sink.announces = true;
    device = VirtualCameraDevice::create(exec, exec.hostClock());
    device->attachStreams(&sink, &source);
    startSource();
    startSink();
    const std::size_t blackSent = source.sent.size();
    const int polls = sink.requests;
    sink.queueFrame(1, MediaTime::fromNanos(5'000'000'000));
    ASSERT_EQ(source.sent.size(), blackSent + 1);
    EXPECT_EQ(source.sent.back().hostTime, 5'000'000'000U);
    exec.advance(milliseconds(1000));
    EXPECT_EQ(sink.requests - polls, 1 + 10);
}

TEST_F(RelayTest, ReadersBeforeAFeederGetBlackAtThirtyPerSecondUntilTheLastLeaves) {
    startSource();
    startSource();
    EXPECT_EQ(device->sourceClients(), 2);
    ASSERT_EQ(source.sent.size(), 1U);  // the first black frame comes at once, for both readers
    exec.advance(milliseconds(1000));
    EXPECT_EQ(source.sent.size(), 31U);  // then one every 33,333,333 ns
    for (const auto& s : source.sent) {
        EXPECT_EQ(std::tuple(s.width, s.height, s.allZero), std::tuple(1920U, 1080U, true));
        EXPECT_EQ(CameraIPC::hostTimeNanos(s.presentationTime), s.hostTime);
    }
    EXPECT_EQ(source.sent[1].hostTime - source.sent[0].hostTime, 33'333'333U);
    stopSource();
    EXPECT_EQ(device->sourceClients(), 1);
    EXPECT_TRUE(device->blackTimerRunning());
    EXPECT_EQ(device->state(), RelayState::black);
    stopSource();
    EXPECT_EQ(device->sourceClients(), 0);
    EXPECT_FALSE(device->blackTimerRunning());
    EXPECT_EQ(device->state(), RelayState::idle);
    const std::size_t stopped = source.sent.size();
    exec.advance(milliseconds(500));
    EXPECT_EQ(source.sent.size(), stopped);
    stopSource();  // one stop too many: the count stays at zero
    EXPECT_EQ(device->sourceClients(), 0);
    startSource();
    EXPECT_EQ(device->sourceClients(), 1);
}

TEST_F(RelayTest, SinkStartStopsBlackAndRelaysFramesWithTheirOwnTimesUntilItsStopBringsBlackBack) {
    startSource();
    startSink();
    ASSERT_EQ(sink.requestedFor.size(), 1U);  // first poll immediately
    EXPECT_EQ(sink.requestedFor[0], (Client{7, 4242}));

    const std::size_t blackSent = source.sent.size();
    sink.queueFrame(1, MediaTime::fromNanos(5'000'000'000));
    sink.queueFrame(2, MediaTime{151, 30});
    exec.advance(milliseconds(100));
    ASSERT_EQ(source.sent.size(), blackSent + 2);
    const auto& first = source.sent[blackSent];
    EXPECT_EQ(std::tuple(first.hostTime, first.width, first.allZero),
              std::tuple(5'000'000'000U, 16U, false));
    EXPECT_EQ(source.sent[blackSent + 1].hostTime, 5'033'333'333U);
    ASSERT_EQ(sink.acks.size(), 2U);
    EXPECT_EQ(sink.acks[0].first, 1U);
    EXPECT_EQ(sink.acks[1].first, 2U);
    EXPECT_EQ(device->pumpDrains(), 2);
    // No black frame comes while relaying, not even for a reader that joins now.
    startSource();
    exec.advance(milliseconds(1000));
    EXPECT_EQ(source.sent.size(), blackSent + 2);

    stopSink();
    EXPECT_EQ(device->state(), RelayState::black);
    EXPECT_FALSE(device->sinkClient().has_value());
    const int requests = sink.requests;
    const std::size_t sent = source.sent.size();
    exec.advance(milliseconds(500));
    EXPECT_EQ(sink.requests, requests);        // the consume timer is cancelled
    EXPECT_EQ(source.sent.size(), sent + 15);  // black at 30 per second again
}

TEST_F(RelayTest, PollsNinetyTimesPerSecondForTheLatestSinkStartOnly) {
    startSink(Client{1, 100});
    EXPECT_EQ(device->state(), RelayState::drainOnly);
    EXPECT_EQ(sink.requests, 1);  // the immediate first poll
    startSink(Client{2, 200});
    const int before = sink.requests;
    exec.advance(milliseconds(1000));
    EXPECT_EQ(sink.requests - before, 90);  // not 180: the first timer is gone
    EXPECT_EQ(device->pumpEmptys(), 92);
    EXPECT_EQ(sink.requestedFor.back(), (Client{2, 200}));
    EXPECT_EQ(count("streaming clients changed"), 1U);  // on a change only, not every poll
}

TEST_F(RelayTest, DrainOnlyLogsConsumeErrorsAndAcknowledgesFramesButSendsNothing) {
    startSink();
    sink.errors.push_back("boom");
    exec.advance(milliseconds(12));
    EXPECT_EQ(count("consumeSampleBuffer error: boom"), 1U);
    EXPECT_EQ(device->pumpDrains(), 0);
    EXPECT_TRUE(sink.acks.empty());
    sink.queueFrame(1, MediaTime::fromNanos(1'000));
    exec.advance(milliseconds(12));
    EXPECT_TRUE(source.sent.empty());
    EXPECT_EQ(device->pumpDrains(), 1);
    EXPECT_EQ(sink.acks.size(), 1U);
}

TEST_F(RelayTest, SixtyDrainsGiveOneDrainLineAfterTheSixtiethSend) {
    startSource();
    startSink();
    for (std::uint64_t i = 1; i <= 59; ++i) {
        sink.queueFrame(i, MediaTime::fromNanos(i * 1000));
        exec.advance(milliseconds(12));
    }
    EXPECT_EQ(count("pump drain"), 0U);
    sink.queueFrame(60, MediaTime::fromNanos(60'000));
    exec.advance(milliseconds(12));
    EXPECT_EQ(count("pump drain count=60 empty="), 1U);
    const auto lines = log();
    // The drain line follows the 60th send.
    EXPECT_EQ(lines.back().rfind("pump drain count=60", 0), 0U);
    EXPECT_EQ(sink.acks.size(), 60U);
}

TEST_F(RelayTest, ThreeHundredEmptiesGiveOneEmptyLine) {
    startSink();
    exec.advance(milliseconds(3300));  // 1 + 297 polls
    EXPECT_EQ(count("pump empty"), 0U);
    exec.advance(milliseconds(34));  // 300 polls
    EXPECT_EQ(count("pump empty count=300 drained=0 srcClients=0 clients=1"), 1U);
}

TEST_F(RelayTest, InvalidTimeIsSkippedAndTheRelayKeepsRunning) {
    startSource();
    startSink();
    const std::size_t sent = source.sent.size();
    sink.queueFrame(1, MediaTime{});        // invalid
    sink.queueFrame(2, MediaTime{-5, 30});  // negative
    sink.queueFrame(3, MediaTime::fromNanos(77));
    exec.advance(milliseconds(50));
    ASSERT_EQ(source.sent.size(), sent + 1);
    EXPECT_EQ(source.sent.back().hostTime, 77U);
    EXPECT_EQ(sink.acks.size(), 3U);  // every slot is freed
    EXPECT_EQ(device->invalidTimeSkips(), 2);
    EXPECT_EQ(count("consumed buffer with invalid time skipped count=1"), 1U);
    EXPECT_TRUE(device->consumeTimerRunning());
}

TEST_F(RelayTest, SinkStartNeedsAnAuthorisedClientAndUsesTheLastOneEvenAfterAStop) {
    device->sinkStreamSource().startStream();
    exec.runUntilIdle();
    EXPECT_EQ(count("sink startStream with no client?"), 1U);
    EXPECT_FALSE(device->sinkActive());
    EXPECT_EQ(sink.requests, 0);
    device->sinkStreamSource().authorizedToStartStream(Client{3, 33});
    device->sinkStreamSource().authorizedToStartStream(Client{4, 44});
    for (int start = 0; start < 2; ++start) {
        device->sinkStreamSource().startStream();
        exec.runUntilIdle();
        ASSERT_TRUE(device->sinkClient().has_value());
        EXPECT_EQ(device->sinkClient()->id, 4U) << start;
        stopSink();
    }
}

TEST_F(RelayTest, CallbacksAfterTheDeviceIsGoneDoNothing) {
    startSource();
    auto& sourceStream = device->sourceStreamSource();
    auto onStart = sourceStream.onStart;
    const std::size_t sent = source.sent.size();
    device.reset();
    onStart();
    exec.advance(milliseconds(100));  // neither the timer nor the posted handler sends
    EXPECT_EQ(source.sent.size(), sent);
}

TEST_F(RelayTest, EachStateRunsOnlyItsOwnTimers) {
    struct Step {
        std::function<void()> action;
        RelayState state;
        bool black;
        bool consume;
    };
    const Step steps[] = {
        {[this] { startSource(); }, RelayState::black, true, false},
        {[this] { startSink(); }, RelayState::relay, false, true},
        {[this] { stopSource(); }, RelayState::drainOnly, false, true},
        {[this] { stopSink(); }, RelayState::idle, false, false},
    };
    for (const auto& step : steps) {
        step.action();
        EXPECT_EQ(device->state(), step.state) << toString(step.state);
        EXPECT_EQ(device->blackTimerRunning(), step.black) << toString(step.state);
        EXPECT_EQ(device->consumeTimerRunning(), step.consume) << toString(step.state);
    }
}

}  // namespace
}  // namespace kestrel::camera
