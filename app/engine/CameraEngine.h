#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/engine/FramePorts.h"
#include "app/state/AppState.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// The collaborators the engine owns. The recorder is shared so that an append queued for the main
// thread can hold it weakly; `wake` may be absent where the platform reports no wake-ups.
struct EngineParts {
    std::unique_ptr<WebcamSource> webcam;
    std::shared_ptr<FrameRecorder> recorder;
    std::unique_ptr<LoopSource> loop;
    std::unique_ptr<FrameDetector> detector;
    std::unique_ptr<CameraBridge> bridge;
    std::unique_ptr<WakeSource> wake;
};

// Decides, for every camera frame, what the virtual camera shows: the live frame, the next frame of
// the loop, or the frozen and blurred frame of the last swap. Away never shows the live frame:
// while the loop's next frame is not decoded its previous one goes out again, and while no loop
// plays at all a still is held (the freeze image of the swap, else the last frame sent before it).
// Paced by the camera: one output frame per camera frame, no timer of its own.
//
// Threads: everything runs on the main thread (the `main` executor); the camera's capture thread
// only posts each frame there, holding no reference that could make it the engine's last owner.
// Live frames outside a freeze go to the sink untouched; loop and freeze images are composed into
// output buffers from a pool of the camera frame's size, so the detector and the recorder, which
// may still read the camera buffer, always see the camera image.
class CameraEngine : public std::enable_shared_from_this<CameraEngine> {
  public:
    using Mode = AppState::Mode;

    static std::shared_ptr<CameraEngine> create(AppState& state, EngineParts parts, Executor& main,
                                                const HostClock& hostClock,
                                                const WallClock& wallClock);
    ~CameraEngine();
    CameraEngine(const CameraEngine&) = delete;
    CameraEngine& operator=(const CameraEngine&) = delete;

    // Starts the link, the detector, the wake observer, the health probe, the camera and the
    // active-loop subscription, in that order. Called once, by the start gate.
    void start();

    // Main thread, once per camera frame: hands the frame to the detector and, while recording,
    // to the recorder, then dispatches it.
    void handleFrame(const PixelBufferRef& frame, MediaTime presentationTime);

    // Main thread: the per-frame decision for one camera frame.
    void dispatch(const PixelBufferRef& frame);

    // Renders `source` into `dest` scaled to fill (uniform scale, centred, cropped).
    static void composeInto(const PixelBuffer& source, PixelBuffer& dest);

    void loadActiveLoop(const std::optional<std::filesystem::path>& url);
    void adoptRecordedLoop(const std::optional<std::filesystem::path>& url);
    void resetVirtualCamera();
    void probeExtensionHealth() { bridge_->probeExtensionHealth(); }
    void handleWake();

    // Swap transitions. False when no freeze could be made for this swap.
    bool beginFreeze(const PixelBufferRef& frame);
    void ensureFreezePool(int width, int height);
    static void blurInto(const PixelBuffer& source, PixelBuffer& dest, double radius);
    // Freeze window for a setting in seconds: 0.2 to 3.0 s, 3.0 s for a value that is no number.
    static std::uint64_t freezeLengthNanos(double seconds);

    // Counters; they only grow.
    std::int64_t dispatchCount() const { return dispatchCount_; }
    std::int64_t dispatchAwayCount() const { return dispatchAwayCount_; }
    // Away frames with no loop frame at all (no loop, or one that never played): a still went out.
    std::int64_t dispatchAwayLoopMissCount() const { return dispatchAwayLoopMissCount_; }
    // Away frames asked for before the loop's next frame was decoded: its previous frame went out
    // again.
    std::int64_t dispatchAwayLoopRepeatCount() const { return dispatchAwayLoopRepeatCount_; }
    // Away or freeze frames dropped because no output buffer could be had.
    std::int64_t dispatchDropCount() const { return dispatchDropCount_; }

    // What the last away frame showed: the loop, or a still because no loop could play.
    enum class AwayShows { loop, still };
    std::optional<AwayShows> awayShows() const { return awayShows_; }
    // Why the active loop cannot play: the player's message from the last failed load, none once a
    // load succeeds.
    const std::optional<std::string>& loopError() const { return loopError_; }
    // Whether the detector can decide auto-away (it cannot without a face model).
    bool autoAwayAvailable() const { return detector_->autoAwayAvailable(); }

    Mode lastDispatchedMode() const { return lastDispatchedMode_; }
    std::uint64_t freezeUntilHost() const { return freezeUntilHost_; }
    bool freezeActive() const { return freezeBuffer_ != nullptr; }
    std::pair<int, int> freezePoolDims() const {
        return freezePool_ ? std::make_pair(freezePool_->width(), freezePool_->height())
                           : std::make_pair(0, 0);
    }
    const std::optional<std::filesystem::path>& loadedLoopURL() const { return loadedLoopURL_; }

    WebcamSource& webcam() { return *webcam_; }
    LoopSource& loop() { return *loop_; }
    CameraBridge& bridge() { return *bridge_; }
    FrameRecorder& recorder() { return *recorder_; }

    struct Private {};
    CameraEngine(Private, AppState& state, EngineParts parts, Executor& main,
                 const HostClock& hostClock, const WallClock& wallClock);

  private:
    // A buffer of the camera frame's size with `image` composed into it; nullptr if none could be
    // had.
    PixelBufferRef composeOutput(const PixelBuffer& image, const PixelBuffer& cameraFrame);
    // `image` as it is at the camera frame's size, else composed into an output buffer.
    PixelBufferRef fitted(const PixelBufferRef& image, const PixelBuffer& cameraFrame);
    // The image away holds while no loop plays: the freeze image of this swap, else a copy of the
    // last frame that went out before it (the incoming frame when none did).
    void takeStill(const PixelBufferRef& frame, bool froze);
    // The away frame for `frame`: the loop's next frame, its previous one, or the still.
    PixelBufferRef awayFrame(const PixelBufferRef& frame);
    void logStatus(Mode mode, bool frozen) const;

    AppState& state_;
    Executor& main_;
    const HostClock& hostClock_;
    const WallClock& wallClock_;

    std::unique_ptr<WebcamSource> webcam_;
    std::shared_ptr<FrameRecorder> recorder_;
    std::unique_ptr<LoopSource> loop_;
    std::unique_ptr<FrameDetector> detector_;
    std::unique_ptr<CameraBridge> bridge_;
    std::unique_ptr<WakeSource> wakeSource_;

    Handle activeLoopObserver_;
    std::optional<std::filesystem::path> loadedLoopURL_;
    Handle wakeObserver_;

    std::int64_t dispatchCount_ = 0;
    std::int64_t dispatchAwayCount_ = 0;
    std::int64_t dispatchAwayLoopMissCount_ = 0;
    std::int64_t dispatchAwayLoopRepeatCount_ = 0;
    std::int64_t dispatchDropCount_ = 0;
    Mode lastDispatchedMode_ = Mode::live;

    std::uint64_t freezeUntilHost_ = 0;
    PixelBufferRef freezeBuffer_;
    PixelBufferPoolRef freezePool_;

    PixelBufferPoolRef outputPool_;

    PixelBufferRef lastSent_;  // the last frame sent, while transitions are off
    PixelBufferRef lastLoopFrame_;
    PixelBufferRef still_;
    std::optional<AwayShows> awayShows_;
    std::optional<std::string> loopError_;

    Log log_{std::string(kAppLogSubsystem), "Engine"};
};

}  // namespace kestrel
