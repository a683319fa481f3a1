#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "app/engine/FramePorts.h"
#include "app/presence/FaceDetector.h"
#include "app/state/AppState.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

// Decides ten times per second whether the user is present (`live`) or away (`away`) from the
// force-away flag, the auto-away switch and the time since a face was last seen, and writes the
// result into `AppState.mode` when it changes. One camera frame in ten goes to face detection on
// the vision queue, with at most one detection outstanding. Without a face detector (no face
// model) auto-away is unavailable: it never switches the user to away, and only force away does.
class AwayDetector final : public FrameDetector {
  public:
    static constexpr const char* kVisionQueueLabel = "dev.corvid.kestrel.vision";
    static constexpr std::int64_t kFramesPerDetection = 10;
    static constexpr Nanos kTickInterval = std::chrono::milliseconds(100);

    // `main` runs the ticks and owns every field; detections run on `visionQueue`. Both outlive
    // the detector, as does `state`. `faceDetector` may be null: auto-away is then unavailable.
    AwayDetector(AppState& state, std::shared_ptr<FaceDetector> faceDetector, Executor& main,
                 const HostClock& clock, Executor& visionQueue);
    // The same with a vision queue of its own, "dev.corvid.kestrel.vision".
    AwayDetector(AppState& state, std::shared_ptr<FaceDetector> faceDetector, Executor& main,
                 const HostClock& clock);
    ~AwayDetector() override;
    AwayDetector(const AwayDetector&) = delete;
    AwayDetector& operator=(const AwayDetector&) = delete;

    // Main thread: starts the 0.1 s tick (replacing any earlier one).
    void start() override;
    // Main thread, once per camera frame: every tenth frame goes to the vision queue.
    void processFrame(const PixelBufferRef& frame) override;
    // Main thread: the decision step.
    void tick();
    bool autoAwayAvailable() const override { return faceDetector_ != nullptr; }

    double faceMissingThresholdSeconds = 5.0;

    // For tests and diagnostics; main thread.
    bool visionInFlight() const { return visionInFlight_; }
    std::int64_t faceFrameSkip() const { return faceFrameSkip_; }

  private:
    void detectionFinished(bool faceFound);

    AppState& state_;
    std::shared_ptr<FaceDetector> faceDetector_;
    Executor& main_;
    const HostClock& clock_;
    std::unique_ptr<WorkerThread> ownedVisionQueue_;
    Executor& visionQueue_;

    Handle timer_;
    // Host time of the last detection that found a face; none is the distant past.
    std::optional<std::uint64_t> lastFaceSeenAt_;
    bool visionInFlight_ = false;
    std::int64_t faceFrameSkip_ = 0;
    // Auto-away as of the last tick; frames are counted only while it is on.
    bool autoAwayFlag_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
