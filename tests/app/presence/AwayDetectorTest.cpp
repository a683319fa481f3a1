#include <atomic>
#include <chrono>
#include <memory>

#include <gtest/gtest.h>

#include "app/presence/AwayDetector.h"
#include "app/state/AppState.h"
#include "platform/runtime/ManualExecutor.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Mode = AppState::Mode;

class FakeFaceDetector final : public FaceDetector {
  public:
    bool containsFace(const PixelBuffer& /*frame*/) override {
        ++calls;
        return faceVisible.load();
    }
    std::atomic<int> calls{0};
    std::atomic<bool> faceVisible{true};
};

// The detector over virtual time: `main` runs ticks and frame counting, `vision` runs detections
// only when the test says so.
class AwayDetectorTest : public ::testing::Test {
  protected:
    AwayDetectorTest() {
        state.autoAwayEnabled = true;
        state.autoAwaySeconds = 1.0;
        state.manualOverride = false;
        state.mode = Mode::live;
        modeWrites = state.mode.subscribe([this](const Mode&) { ++writes; });
        writes = 0;
    }

    void sendFrames(int count) {
        for (int i = 0; i < count; ++i) {
            detector->processFrame(frame);
        }
        main.runUntilIdle();
    }
    // Ten frames, the detection and its result on the main thread.
    void seeFace(bool visible = true) {
        faces->faceVisible = visible;
        sendFrames(10);
        vision.runUntilIdle();
        main.runUntilIdle();
    }

    ManualExecutor main;
    ManualExecutor vision;
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    std::shared_ptr<FakeFaceDetector> faces = std::make_shared<FakeFaceDetector>();
    std::unique_ptr<AwayDetector> detector =
        std::make_unique<AwayDetector>(state, faces, main, main.hostClock(), vision);
    PixelBufferRef frame = PixelBuffer::create(64, 36);
    Handle modeWrites;
    int writes = 0;
};

TEST_F(AwayDetectorTest, FirstTickWithAutoAwayOnIsAwayUntilAFaceIsSeen) {
    detector->start();
    main.advance(99ms);
    EXPECT_EQ(state.mode.get(), Mode::live) << "nothing happens before the first tick";
    main.advance(1ms);
    EXPECT_EQ(state.mode.get(), Mode::away);

    seeFace();
    EXPECT_EQ(faces->calls.load(), 1);
    EXPECT_EQ(state.mode.get(), Mode::away) << "the mode only changes on a tick";
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::live);
    EXPECT_EQ(writes, 2) << "the mode is written only when it changes";
}

TEST_F(AwayDetectorTest, WithoutAFaceModelAutoAwayNeverSwitchesToAwayButForceAwayDoes) {
    detector = std::make_unique<AwayDetector>(state, nullptr, main, main.hostClock(), vision);
    EXPECT_FALSE(detector->autoAwayAvailable());
    detector->start();
    sendFrames(30);
    EXPECT_EQ(vision.runUntilIdle(), 0U);
    main.advance(60s);
    EXPECT_EQ(state.mode.get(), Mode::live);
    state.manualOverride = true;
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::away);
}

TEST_F(AwayDetectorTest, ElapsedExactlyAtThresholdStaysLiveAndZeroOrLessMeansFiveSeconds) {
    for (const auto& [setting, threshold] :
         {std::pair{1.0, 1000ms}, {0.0, 5000ms}, {-2.0, 5000ms}}) {
        state.autoAwaySeconds = setting;
        detector->start();
        main.advance(100ms);
        seeFace();  // seen exactly on a tick
        main.advance(threshold);
        EXPECT_EQ(state.mode.get(), Mode::live) << "exactly the threshold without a face";
        main.advance(100ms);
        EXPECT_EQ(state.mode.get(), Mode::away) << setting;
    }

    // A detection that finds no face does not refresh the face time.
    seeFace(false);
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::away);
}

TEST_F(AwayDetectorTest, ForceAwayWinsAndReleasingItReturnsToTheRuleWithinOneTick) {
    detector->start();
    seeFace();
    state.manualOverride = true;
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::away) << "a face was just seen, yet force away wins";

    state.autoAwayEnabled = false;
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::away) << "auto-away off does not lift force away";

    state.manualOverride = false;
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::live);
}

TEST_F(AwayDetectorTest, AutoAwayOffForcesLiveAndIgnoresFrames) {
    state.autoAwayEnabled = false;
    detector->start();
    state.mode = Mode::away;  // written by someone else
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::live);

    sendFrames(30);
    vision.runUntilIdle();
    EXPECT_EQ(detector->faceFrameSkip(), 0) << "frames are not counted while auto-away is off";
    EXPECT_EQ(faces->calls.load(), 0);

    // Switched on again: no face seen yet, so the next tick goes away at once; the switch reaches
    // the capture side on that tick, and frames count from then on.
    state.autoAwayEnabled = true;
    sendFrames(10);
    EXPECT_EQ(faces->calls.load(), 0);
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::away);
    seeFace();
    main.advance(100ms);
    EXPECT_EQ(state.mode.get(), Mode::live);
}

TEST_F(AwayDetectorTest, OneDetectionInFlightDropsTheDueFrameAndRestartsTheCounter) {
    detector->start();
    sendFrames(9);
    EXPECT_EQ(detector->faceFrameSkip(), 9);
    EXPECT_FALSE(detector->visionInFlight());
    sendFrames(1);
    EXPECT_EQ(detector->faceFrameSkip(), 0);
    EXPECT_TRUE(detector->visionInFlight());

    sendFrames(10);  // due while the first detection still waits on the vision queue
    EXPECT_EQ(detector->faceFrameSkip(), 0) << "the counter restarts although nothing started";
    sendFrames(3);
    EXPECT_EQ(detector->faceFrameSkip(), 3);

    vision.runUntilIdle();
    main.runUntilIdle();
    EXPECT_EQ(faces->calls.load(), 1) << "the dropped frame was never analysed";
    EXPECT_FALSE(detector->visionInFlight());

    sendFrames(6);
    EXPECT_FALSE(detector->visionInFlight()) << "the next chance is ten counted frames later";
    sendFrames(1);
    EXPECT_TRUE(detector->visionInFlight());
    vision.runUntilIdle();
    main.runUntilIdle();
    EXPECT_EQ(faces->calls.load(), 2);
}

TEST_F(AwayDetectorTest, ResultOfADetectionOutlivingTheDetectorIsDropped) {
    detector->start();
    sendFrames(10);
    detector.reset();
    vision.runUntilIdle();
    main.runUntilIdle();
    main.advance(1s);
    EXPECT_EQ(faces->calls.load(), 1);
    EXPECT_EQ(writes, 0) << "no tick after destruction";
}

}  // namespace
}  // namespace kestrel
