#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "platform/runtime/Log.h"
#include "platform/runtime/WorkerThread.h"
#include "tests/app/engine/EngineFakes.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::EngineRig;
using testing::pixelAt;
using testing::solidFrame;
using Mode = AppState::Mode;

class CameraEngineTest : public ::testing::Test {
  protected:
    PixelBufferRef camera(std::uint8_t grey = 100, int width = 1280, int height = 720) {
        return solidFrame(width, height, grey, grey, grey);
    }
    void startWithLoop() {
        rig.state.activeLoop = std::filesystem::path("/loops/Loop 1.mov");
        rig.engine->start();
    }

    testing::LogCapture logs;
    EngineRig rig;
};

TEST_F(CameraEngineTest,
       StartRunsItsStepsInOrderSurvivesAWebcamFailureAndLiveFramesGoOutUntouched) {
    rig.webcam->startError = Error{"WebcamCapture", 1, "No camera available"};
    rig.sink().connectSucceeds = false;
    startWithLoop();
    const testing::CallLog expected = {
        "bridge.activate",   "detector.start", "wake.observe",           "bridge.probe",
        "webcam.setOnFrame", "webcam.start",   "loop.setUrl Loop 1.mov", "loop.open Loop 1.mov"};
    EXPECT_EQ(*rig.calls, expected);
    EXPECT_EQ(rig.sink().connectCalls, 1);  // between activation and the detector
    EXPECT_EQ(logs->count("webcam start failed: No camera available"), 1U);
    EXPECT_EQ(logs->count("loaded loop: Loop 1.mov"), 1U);

    // Live frames go out untouched. Each frame that finds the sink disconnected makes one
    // connect attempt, and is still handed on (the sink drops it while it has no connection).
    auto first = camera();
    auto second = camera(120);
    EXPECT_EQ(rig.frame(first), first);
    EXPECT_EQ(rig.frame(second), second);
    EXPECT_EQ(pixelAt(*first, 5, 5)[0], 100);
    EXPECT_EQ(rig.sink().connectCalls, 3);
    EXPECT_EQ(rig.sink().frames.size(), 2U);
    EXPECT_EQ(rig.engine->dispatchCount(), 2);
    EXPECT_EQ(rig.engine->dispatchAwayCount(), 0);
}

TEST_F(CameraEngineTest, AwayFramesCarryTheLoopInASeparateBufferAndLeaveTheCameraFrameAlone) {
    startWithLoop();
    rig.state.mode = Mode::away;
    for (int i = 0; i < 3; ++i) {
        auto cam = camera();
        auto out = rig.frame(cam);
        ASSERT_NE(out, nullptr);
        EXPECT_NE(out, cam);
        EXPECT_EQ(out->width(), 1280);
        EXPECT_EQ(out->height(), 720);
        // The loop image (its frame number in blue) fills the output; the camera frame, which
        // the detector and recorder share, still holds the camera image.
        EXPECT_EQ(pixelAt(*out, 640, 360),
                  (std::array<std::uint8_t, 4>{static_cast<std::uint8_t>(i), 0, 200, 255}));
        EXPECT_EQ(pixelAt(*out, 0, 0)[2], 200);
        EXPECT_EQ(pixelAt(*cam, 640, 360)[0], 100);
        EXPECT_EQ(rig.detector->seen.back(), cam);
    }
    EXPECT_EQ(rig.engine->dispatchAwayCount(), 3);
    EXPECT_EQ(rig.engine->dispatchAwayLoopMissCount(), 0);

    // The loop is asked for the camera's size; frames of that size go out as they are.
    ASSERT_FALSE(rig.loop->requestedSizes.empty());
    EXPECT_EQ(rig.loop->requestedSizes.back(), std::make_pair(1280, 720));
    rig.loop->width = 1280;
    rig.loop->height = 720;
    const std::size_t asked = rig.loop->requestedSizes.size();
    auto cam = camera();
    auto out = rig.frame(cam);
    ASSERT_NE(out, nullptr);
    EXPECT_NE(out, cam);
    EXPECT_EQ(pixelAt(*out, 640, 360)[2], 200);  // the loop's image, not the camera's
    EXPECT_EQ(rig.sink().frames.back(), out);
    EXPECT_EQ(rig.loop->requestedSizes.size(), asked);  // nothing more to ask
}

TEST_F(CameraEngineTest,
       AwayWithoutAPlayableLoopHoldsTheLastFrameSentOrTheFreezeImageNeverALiveOne) {
    // No loop chosen, and a chosen loop that fails to load: both hold the last live frame sent.
    for (const bool damagedLoop : {false, true}) {
        SCOPED_TRACE(damagedLoop);
        EngineRig run;
        if (damagedLoop) {
            run.loop->failOpens = 1;
            run.state.activeLoop = std::filesystem::path("/loops/Damaged.mov");
        }
        run.engine->start();
        run.frame(camera(40));
        run.state.mode = Mode::away;
        for (const std::uint8_t grey : {41, 42, 43}) {
            auto cam = camera(grey);
            auto out = run.frame(cam);
            ASSERT_NE(out, nullptr);
            EXPECT_NE(out, cam);
            EXPECT_EQ(pixelAt(*out, 640, 360)[0], 40);
        }
        EXPECT_EQ(run.engine->dispatchAwayLoopMissCount(), 3);
        EXPECT_EQ(run.engine->awayShows(), CameraEngine::AwayShows::still);
        EXPECT_EQ(run.engine->loopError().has_value(), damagedLoop);
        run.state.mode = Mode::live;
        auto cam = camera(50);
        EXPECT_EQ(run.frame(cam), cam);
        EXPECT_FALSE(run.engine->awayShows());
    }
    EXPECT_EQ(logs->count("away has no playable loop (no loop): holding a still frame"), 1U);
    EXPECT_EQ(logs->count("away has no playable loop (startReading failed)"), 1U);

    // With transitions on, the freeze image is held past its window instead.
    rig.state.realisticTransitions = true;
    rig.engine->start();
    rig.frame(camera(10));
    rig.state.mode = Mode::away;
    auto frozen = rig.frame(camera(100));
    rig.main.advance(5s);
    auto cam = camera(30);
    EXPECT_EQ(rig.frame(cam), frozen);
    EXPECT_FALSE(rig.engine->freezeActive());
    EXPECT_EQ(rig.engine->dispatchAwayLoopMissCount(), 1);
}

TEST_F(CameraEngineTest,
       ALateLoopFrameRepeatsThePreviousOneAndTheStatusLineComesEverySixtiethFrame) {
    startWithLoop();
    rig.state.mode = Mode::away;
    rig.frame(camera());  // loop frame 0
    rig.loop->late = 2;
    for (int i = 0; i < 2; ++i) {
        auto out = rig.frame(camera());
        EXPECT_EQ(pixelAt(*out, 640, 360)[0], 0);
        EXPECT_EQ(pixelAt(*out, 640, 360)[2], 200);
    }
    EXPECT_EQ(pixelAt(*rig.frame(camera()), 640, 360)[0], 1);
    EXPECT_EQ(rig.engine->dispatchAwayLoopRepeatCount(), 2);
    EXPECT_EQ(rig.engine->dispatchAwayLoopMissCount(), 0);
    EXPECT_EQ(rig.engine->awayShows(), CameraEngine::AwayShows::loop);

    // The status line comes every sixtieth frame.
    for (int i = 5; i <= 120; ++i) {
        rig.frame(camera());
        EXPECT_EQ(logs->count("dispatch mode="), static_cast<std::size_t>(i / 60)) << i;
    }
    EXPECT_EQ(logs->count("dispatch mode=away total=60 away=60 loopMiss=0 "
                          "activeLoop=Loop 1.mov freeze=n"),
              1U);
}

TEST_F(CameraEngineTest,
       ActiveLoopLoadsOnceRetriesAfterFailureKeepsPlayingOnNoneAndAdoptsOnlyThen) {
    rig.loop->failOpens = 1;
    startWithLoop();
    EXPECT_EQ(logs->count("loop load failed: startReading failed"), 1U);
    EXPECT_FALSE(rig.engine->loadedLoopURL());

    rig.state.activeLoop = std::filesystem::path("/loops/Loop 1.mov");  // same URL: retried
    EXPECT_EQ(rig.engine->loadedLoopURL(), std::filesystem::path("/loops/Loop 1.mov"));
    const auto opensBefore = rig.calls->size();
    rig.state.activeLoop = std::filesystem::path("/loops/Loop 1.mov");  // loaded: not again
    rig.state.activeLoop = std::nullopt;                                // keeps the old one
    EXPECT_EQ(rig.calls->size(), opensBefore);
    EXPECT_EQ(rig.engine->loadedLoopURL(), std::filesystem::path("/loops/Loop 1.mov"));

    // With none active, a recording becomes the active loop; with one active, it is only listed.
    rig.engine->adoptRecordedLoop(std::nullopt);
    EXPECT_TRUE(rig.state.loops.get().empty());
    rig.engine->adoptRecordedLoop(std::filesystem::path("/loops/A.mov"));
    EXPECT_EQ(rig.state.activeLoop.get(), std::filesystem::path("/loops/A.mov"));
    EXPECT_EQ(rig.engine->loadedLoopURL(), std::filesystem::path("/loops/A.mov"));
    rig.engine->adoptRecordedLoop(std::filesystem::path("/loops/B.mov"));
    EXPECT_EQ(rig.state.loops.get().size(), 2U);
    EXPECT_EQ(rig.state.activeLoop.get(), std::filesystem::path("/loops/A.mov"));

    rig.state.activeLoop = std::filesystem::path("/loops/Loop 2.mov");
    EXPECT_EQ(rig.calls->back(), "loop.open Loop 2.mov");
    EXPECT_EQ(logs->count("loaded loop: Loop 2.mov"), 1U);
}

TEST_F(CameraEngineTest, WakeLeadsToExactlyOneResetHalfASecondLater) {
    rig.engine->start();
    rig.calls->clear();
    rig.wake->wake();
    rig.main.advance(499ms);
    EXPECT_FALSE(rig.state.lastResetAt.get());
    EXPECT_TRUE(rig.calls->empty());

    rig.main.advance(1ms);
    EXPECT_EQ(*rig.calls, (testing::CallLog{"webcam.restart", "bridge.reconnect", "bridge.probe"}));
    ASSERT_TRUE(rig.state.lastResetAt.get());
    EXPECT_EQ(*rig.state.lastResetAt.get(), rig.main.wallClock().now());
    rig.calls->clear();
    rig.main.advance(10s);
    EXPECT_TRUE(rig.calls->empty());
}

TEST_F(CameraEngineTest, FramesFromTheCaptureThreadAreHandledOnTheMainThreadInOrder) {
    rig.engine->start();
    rig.recorder->recording = true;
    std::vector<PixelBufferRef> sent;
    WorkerThread capture("dev.corvid.kestrel.webcam");
    capture.runSync([&] {
        for (int i = 0; i < 3; ++i) {
            sent.push_back(camera(static_cast<std::uint8_t>(i)));
            rig.webcam->deliver(sent.back(), MediaTime{i, 15});
        }
    });
    // The capture thread only queued the frames: had it touched the engine, it could have become
    // its last owner and destroyed it there.
    EXPECT_TRUE(rig.detector->seen.empty());
    EXPECT_TRUE(rig.sink().frames.empty());
    rig.calls->clear();
    rig.main.runUntilIdle();
    EXPECT_EQ(*rig.calls,
              (testing::CallLog{"recorder.append 0", "sink.enqueue", "recorder.append 1",
                                "sink.enqueue", "recorder.append 2", "sink.enqueue"}));
    EXPECT_EQ(rig.detector->seen, sent);
    EXPECT_EQ(rig.sink().frames, sent);
    // One delivered on the main thread is handled at once, not queued again.
    rig.webcam->deliver(sent.front(), MediaTime{3, 15});
    EXPECT_EQ(rig.sink().frames.size(), sent.size() + 1);

    // A frame still queued when the engine goes holds no reference and is neither recorded nor
    // sent.
    capture.runSync([&] { rig.webcam->deliver(camera()); });
    std::weak_ptr<CameraEngine> weak = rig.engine;
    rig.engine.reset();
    EXPECT_TRUE(weak.expired());
    rig.calls->clear();
    rig.main.runUntilIdle();
    EXPECT_TRUE(rig.calls->empty());
}

// Swap transitions.

class SwapTest : public CameraEngineTest {
  protected:
    void SetUp() override {
        CameraEngineTest::SetUp();
        rig.state.realisticTransitions = true;
        rig.state.transitionFreezeSeconds = 1.0;
        startWithLoop();
    }
    PixelBufferRef frozen;
};

// The very first frame, already away, is a swap too.
TEST_F(SwapTest, SwapToAwayHoldsTheBlurredSwapFrameThenPlaysTheLoopWhereItWas) {
    rig.state.mode = Mode::away;
    auto swapFrame = camera(100);
    frozen = rig.frame(swapFrame);
    ASSERT_NE(frozen, swapFrame);
    EXPECT_TRUE(rig.engine->freezeActive());
    EXPECT_EQ(rig.engine->lastDispatchedMode(), Mode::away);
    // Colour controls applied to the grey camera image: contrast 1.02 around mid-grey.
    EXPECT_NEAR(pixelAt(*frozen, 640, 360)[0], 99, 1);
    EXPECT_EQ(pixelAt(*swapFrame, 640, 360)[0], 100);

    for (int i = 0; i < 14; ++i) {  // the rest of the second at 15 frames per second
        rig.main.advance(66ms);
        auto out = rig.frame(camera(static_cast<std::uint8_t>(10 * i)));
        EXPECT_EQ(pixelAt(*out, 640, 360), pixelAt(*frozen, 640, 360));
    }
    EXPECT_EQ(rig.loop->nextFrameCalls, 0);
    EXPECT_EQ(rig.engine->dispatchAwayCount(), 0);

    rig.main.advance(100ms);
    auto after = rig.frame(camera());
    EXPECT_FALSE(rig.engine->freezeActive());
    EXPECT_EQ(pixelAt(*after, 640, 360)[0], 0);  // the loop's first frame
    EXPECT_EQ(rig.engine->dispatchAwayCount(), 1);
}

TEST_F(SwapTest, SwapBackToLiveFreezesTheIncomingFrameAndEachCameraSizeGetsAFreezePool) {
    rig.state.mode = Mode::away;
    rig.frame(camera(100, 1280, 720));
    EXPECT_EQ(rig.engine->freezePoolDims(), std::make_pair(1280, 720));
    // The camera changes size during the freeze: the frozen image is scaled into the new size.
    EXPECT_EQ(rig.frame(camera(100, 640, 360))->width(), 640);
    rig.main.advance(2s);
    rig.frame(camera(100, 640, 360));
    rig.state.mode = Mode::live;
    auto incoming = camera(200, 640, 360);
    auto out = rig.frame(incoming);
    EXPECT_NE(out, incoming);
    EXPECT_NEAR(pixelAt(*out, 10, 10)[1], 201, 1);
    EXPECT_EQ(rig.engine->freezePoolDims(), std::make_pair(640, 360));
    rig.main.advance(1s);
    auto live = camera(50, 640, 360);
    EXPECT_EQ(rig.frame(live), live);
}

TEST_F(SwapTest, FreezeWindowFollowsTheSettingWithinItsClampAndASecondSwapRestartsIt) {
    const struct {
        double setting;
        std::chrono::milliseconds window;
    } cases[] = {{0.1, 200ms}, {0.8, 800ms}, {5.0, 3000ms}};
    EXPECT_EQ(CameraEngine::freezeLengthNanos(-1.0), 200'000'000U);
    EXPECT_EQ(CameraEngine::freezeLengthNanos(std::numeric_limits<double>::quiet_NaN()),
              3'000'000'000U);
    Mode mode = Mode::live;
    for (const auto& c : cases) {
        rig.state.transitionFreezeSeconds = c.setting;
        mode = mode == Mode::live ? Mode::away : Mode::live;
        rig.state.mode = mode;
        const std::uint64_t swapAt = rig.main.nowNanos();
        rig.frame(camera());
        EXPECT_EQ(rig.engine->freezeUntilHost() - swapAt,
                  static_cast<std::uint64_t>(std::chrono::nanoseconds(c.window).count()));
        rig.main.advance(c.window - 1ms);
        rig.frame(camera());
        EXPECT_TRUE(rig.engine->freezeActive());
        rig.main.advance(1ms);
        rig.frame(camera());
        EXPECT_FALSE(rig.engine->freezeActive());
    }
    // A second swap during a freeze freezes its own frame and restarts the window.
    rig.state.transitionFreezeSeconds = 1.0;
    rig.state.mode = Mode::live;
    auto first = rig.frame(camera(10));
    rig.main.advance(300ms);
    rig.state.mode = Mode::away;
    const std::uint64_t secondSwap = rig.main.nowNanos();
    auto second = rig.frame(camera(240));
    EXPECT_NE(pixelAt(*first, 0, 0)[0], pixelAt(*second, 0, 0)[0]);
    EXPECT_EQ(rig.engine->freezeUntilHost(), secondSwap + 1'000'000'000U);
    rig.main.advance(999ms);
    rig.frame(camera());
    EXPECT_TRUE(rig.engine->freezeActive());
}

TEST_F(SwapTest, HardCutWhenTransitionsAreOffButARunningFreezeEnds) {
    rig.state.mode = Mode::away;
    rig.frame(camera());
    EXPECT_TRUE(rig.engine->freezeActive());
    rig.state.realisticTransitions = false;
    rig.main.advance(200ms);
    rig.state.mode = Mode::live;
    auto cam = camera();
    EXPECT_NE(rig.frame(cam), cam);  // the earlier freeze still runs
    rig.main.advance(800ms);
    EXPECT_EQ(rig.frame(cam), cam);
    rig.state.mode = Mode::away;
    auto out = rig.frame(cam);
    EXPECT_FALSE(rig.engine->freezeActive());
    EXPECT_EQ(pixelAt(*out, 0, 0)[2], 200);  // straight to the loop
}

TEST_F(SwapTest, BlurRadiusBelowHalfAPixelOnlyTones) {
    rig.state.transitionBlurRadius = 0.4;
    auto edge = camera(0);
    for (int y = 0; y < 720; ++y) {
        std::memset(edge->row(y), 255, 640 * 4);  // left half white
    }
    rig.state.mode = Mode::away;
    auto out = rig.frame(edge);
    EXPECT_EQ(pixelAt(*out, 639, 360)[0], 255);  // the edge stays sharp
    EXPECT_LE(pixelAt(*out, 640, 360)[0], 1);
    rig.main.advance(2s);
    rig.state.transitionBlurRadius = 18;
    rig.state.mode = Mode::live;
    auto blurred = rig.frame(edge);
    // A Gaussian of standard deviation 18 spreads the edge over tens of pixels: 10 px either side
    // of it the values are about 29% and 71% of white.
    EXPECT_GT(pixelAt(*blurred, 650, 360)[0], 50);
    EXPECT_LT(pixelAt(*blurred, 630, 360)[0], 230);
}

}  // namespace
}  // namespace kestrel
