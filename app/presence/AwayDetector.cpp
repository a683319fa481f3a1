#include "app/presence/AwayDetector.h"

#include <limits>
#include <utility>

namespace kestrel {

AwayDetector::AwayDetector(AppState& state, std::shared_ptr<FaceDetector> faceDetector,
                           Executor& main, const HostClock& clock, Executor& visionQueue)
    : state_(state),
      faceDetector_(std::move(faceDetector)),
      main_(main),
      clock_(clock),
      visionQueue_(visionQueue) {}

AwayDetector::AwayDetector(AppState& state, std::shared_ptr<FaceDetector> faceDetector,
                           Executor& main, const HostClock& clock)
    : state_(state),
      faceDetector_(std::move(faceDetector)),
      main_(main),
      clock_(clock),
      ownedVisionQueue_(std::make_unique<WorkerThread>(kVisionQueueLabel, clock)),
      visionQueue_(*ownedVisionQueue_) {}

AwayDetector::~AwayDetector() {
    // Results of a detection still running are dropped from here on.
    alive_.reset();
    timer_ = Handle{};
}

void AwayDetector::start() {
    autoAwayFlag_ = autoAwayAvailable() && state_.autoAwayEnabled.get();
    std::weak_ptr<bool> alive = alive_;
    timer_ = main_.startTimer(kTickInterval, [this, alive] {
        if (alive.lock()) {
            tick();
        }
    });
}

void AwayDetector::tick() {
    const bool autoAway = autoAwayAvailable() && state_.autoAwayEnabled.get();
    autoAwayFlag_ = autoAway;

    double elapsed = std::numeric_limits<double>::infinity();
    if (lastFaceSeenAt_) {
        const std::uint64_t now = clock_.nowNanos();
        elapsed = now >= *lastFaceSeenAt_ ? static_cast<double>(now - *lastFaceSeenAt_) / 1e9 : 0.0;
    }
    const double setting = state_.autoAwaySeconds.get();
    const double threshold = setting > 0 ? setting : faceMissingThresholdSeconds;

    AppState::Mode desired = AppState::Mode::live;
    if (state_.manualOverride.get()) {
        desired = AppState::Mode::away;
    } else if (autoAway && elapsed > threshold) {
        // A comparison with an undefined number is false, so it stays live.
        desired = AppState::Mode::away;
    }
    if (state_.mode.get() != desired) {
        state_.mode = desired;
    }
}

void AwayDetector::processFrame(const PixelBufferRef& frame) {
    if (!autoAwayFlag_ || !frame) {
        return;
    }
    ++faceFrameSkip_;
    if (faceFrameSkip_ < kFramesPerDetection) {
        return;
    }
    faceFrameSkip_ = 0;
    if (visionInFlight_) {
        return;
    }
    visionInFlight_ = true;
    std::weak_ptr<bool> alive = alive_;
    visionQueue_.post([this, alive, frame, faces = faceDetector_, &main = main_] {
        const bool found = faces->containsFace(*frame);
        main.post([this, alive, found] {
            if (alive.lock()) {
                detectionFinished(found);
            }
        });
    });
}

void AwayDetector::detectionFinished(bool faceFound) {
    visionInFlight_ = false;
    if (faceFound) {
        const std::uint64_t now = clock_.nowNanos();
        if (!lastFaceSeenAt_ || now > *lastFaceSeenAt_) {
            lastFaceSeenAt_ = now;
        }
    }
}

}  // namespace kestrel
