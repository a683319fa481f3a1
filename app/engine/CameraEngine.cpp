#include "app/engine/CameraEngine.h"

#include <chrono>
#include <cmath>
#include <string>

#include "platform/media/ImageOps.h"

namespace kestrel {

namespace {

// One status line per this many dispatched frames: about every 4 s at 15 frames per second.
constexpr std::int64_t kStatusLineEvery = 60;
// After a wake-up the camera and the link need a moment before a reset takes.
constexpr Nanos kWakeResetDelay = std::chrono::milliseconds(500);
constexpr std::uint64_t kMinFreezeNanos = 200'000'000;
constexpr std::uint64_t kMaxFreezeNanos = 3'000'000'000;
// Output buffers in flight at once: the one being composed, the one the sink still copies, and
// one spare for a size change.
constexpr std::size_t kOutputPoolIdle = 3;
constexpr std::size_t kFreezePoolIdle = 2;

}  // namespace

std::shared_ptr<CameraEngine> CameraEngine::create(AppState& state, EngineParts parts,
                                                   Executor& main, const HostClock& hostClock,
                                                   const WallClock& wallClock) {
    return std::make_shared<CameraEngine>(Private{}, state, std::move(parts), main, hostClock,
                                          wallClock);
}

CameraEngine::CameraEngine(Private, AppState& state, EngineParts parts, Executor& main,
                           const HostClock& hostClock, const WallClock& wallClock)
    : state_(state),
      main_(main),
      hostClock_(hostClock),
      wallClock_(wallClock),
      webcam_(std::move(parts.webcam)),
      recorder_(std::move(parts.recorder)),
      loop_(std::move(parts.loop)),
      detector_(std::move(parts.detector)),
      bridge_(std::move(parts.bridge)),
      wakeSource_(std::move(parts.wake)) {}

CameraEngine::~CameraEngine() = default;

void CameraEngine::start() {
    bridge_->activate();
    bridge_->sink().connect();
    detector_->start();
    std::weak_ptr<CameraEngine> weak = weak_from_this();
    if (wakeSource_) {
        wakeObserver_ = wakeSource_->observeWake([weak] {
            if (auto self = weak.lock()) {
                self->handleWake();
            }
        });
    }
    bridge_->probeExtensionHealth();
    // Only a weak reference and the executor reach the capture thread. Were the engine locked
    // there, the main thread's release could leave the capture thread the last owner, and the
    // engine would be destroyed there, joining that very thread. A frame already on the main
    // thread is handled at once, not queued a second time.
    Executor* main = &main_;
    webcam_->setOnFrame([weak, main](const PixelBufferRef& frame, MediaTime time) {
        if (main->isCurrent()) {
            if (auto self = weak.lock()) {
                self->handleFrame(frame, time);
            }
            return;
        }
        main->post([weak, frame, time] {
            if (auto self = weak.lock()) {
                self->handleFrame(frame, time);
            }
        });
    });
    if (auto error = webcam_->start()) {
        log_.error("webcam start failed: %{public}@", error->description);
    }
    activeLoopObserver_ =
        state_.activeLoop.subscribe([weak](const std::optional<std::filesystem::path>& url) {
            if (auto self = weak.lock()) {
                self->loadActiveLoop(url);
            }
        });
}

void CameraEngine::handleFrame(const PixelBufferRef& frame, MediaTime presentationTime) {
    detector_->processFrame(frame);
    if (recorder_->isRecording()) {
        recorder_->append(frame, presentationTime);
    }
    dispatch(frame);
}

void CameraEngine::dispatch(const PixelBufferRef& frame) {
    ++dispatchCount_;
    const Mode mode = state_.mode.get();
    if (mode != lastDispatchedMode_) {
        const bool froze = state_.realisticTransitions.get() && beginFreeze(frame);
        if (mode == Mode::away) {
            takeStill(frame, froze);
        } else {
            still_.reset();
            awayShows_.reset();
        }
    }
    lastDispatchedMode_ = mode;

    const std::uint64_t now = hostClock_.nowNanos();
    PixelBufferRef output = frame;
    bool frozen = false;
    if (now >= freezeUntilHost_) {
        freezeBuffer_.reset();
    } else if (freezeBuffer_) {
        frozen = true;
        // The freeze image is never written after it is made, so at the camera's size it goes
        // out as it is; after a size change it is composed like any other image.
        output = fitted(freezeBuffer_, *frame);
    }
    if (!frozen && mode == Mode::away) {
        ++dispatchAwayCount_;
        output = awayFrame(frame);
    }

    if (dispatchCount_ % kStatusLineEvery == 0) {
        logStatus(mode, frozen);
    }

    FrameSink& sink = bridge_->sink();
    if (!sink.connected()) {
        sink.connect();
    }
    if (!output) {
        // Never fall back to the live image when a loop, still or freeze image was due: the user
        // is away or mid-swap. The virtual camera keeps showing its previous frame.
        ++dispatchDropCount_;
        return;
    }
    // Kept only where a swap to away may need it as its still: with transitions on the freeze
    // image serves, and the camera's buffer goes back to its pool at once.
    lastSent_ = state_.realisticTransitions.get() ? nullptr : output;
    sink.enqueue(output);
}

PixelBufferRef CameraEngine::awayFrame(const PixelBufferRef& frame) {
    if (PixelBufferRef loopFrame = loop_->nextFrame()) {
        // Loop frames are never written once decoded, so one of the camera's size goes out as it
        // is; for any other size the player is asked to decode at the camera's size.
        if (!loopFrame->sameSize(*frame)) {
            loop_->setOutputSize(frame->width(), frame->height());
        }
        lastLoopFrame_ = std::move(loopFrame);
        still_.reset();
        awayShows_ = AwayShows::loop;
        return fitted(lastLoopFrame_, *frame);
    }
    if (lastLoopFrame_) {
        // The next frame is not decoded yet: the loop stands still for a frame.
        ++dispatchAwayLoopRepeatCount_;
        awayShows_ = AwayShows::loop;
        return fitted(lastLoopFrame_, *frame);
    }
    ++dispatchAwayLoopMissCount_;
    if (awayShows_ != AwayShows::still) {
        awayShows_ = AwayShows::still;
        if (loopError_ || !loadedLoopURL_) {
            log_.error("away has no playable loop (%{public}@): holding a still frame",
                       loopError_ ? *loopError_ : std::string("no loop"));
        } else {
            log_.info("away holds a still frame until the loop's first frame is decoded");
        }
    }
    return still_ ? fitted(still_, *frame) : nullptr;
}

void CameraEngine::takeStill(const PixelBufferRef& frame, bool froze) {
    still_.reset();
    if (lastLoopFrame_) {
        return;  // a loop has played: its last frame stands in while the next is decoded
    }
    if (froze) {
        still_ = freezeBuffer_;  // never written once made, like every freeze image
        return;
    }
    ensureFreezePool(frame->width(), frame->height());
    PixelBufferRef buffer = freezePool_ ? freezePool_->acquire() : nullptr;
    if (buffer) {
        composeInto(lastSent_ ? *lastSent_ : *frame, *buffer);
        still_ = std::move(buffer);
    }
}

PixelBufferRef CameraEngine::fitted(const PixelBufferRef& image, const PixelBuffer& cameraFrame) {
    return image->sameSize(cameraFrame) ? image : composeOutput(*image, cameraFrame);
}

PixelBufferRef CameraEngine::composeOutput(const PixelBuffer& image,
                                           const PixelBuffer& cameraFrame) {
    if (!outputPool_ || outputPool_->width() != cameraFrame.width() ||
        outputPool_->height() != cameraFrame.height()) {
        outputPool_ = PixelBufferPool::create(cameraFrame.width(), cameraFrame.height(),
                                              PixelStorage::heap, kOutputPoolIdle);
        if (!outputPool_) {
            return nullptr;
        }
    }
    PixelBufferRef output = outputPool_->acquire();
    if (output) {
        composeInto(image, *output);
    }
    return output;
}

void CameraEngine::composeInto(const PixelBuffer& source, PixelBuffer& dest) {
    image::scaleToFill(source, dest);
}

void CameraEngine::logStatus(Mode mode, bool frozen) const {
    const auto& active = state_.activeLoop.get();
    const std::string loopName = active ? active->filename().string() : std::string("nil");
    log_.info(
        "dispatch mode=%{public}@ total=%d away=%d loopMiss=%d activeLoop=%{public}@ "
        "freeze=%{public}@ loopRepeat=%d",
        AppState::rawValue(mode), dispatchCount_, dispatchAwayCount_, dispatchAwayLoopMissCount_,
        loopName, frozen ? "y" : "n", dispatchAwayLoopRepeatCount_);
}

void CameraEngine::loadActiveLoop(const std::optional<std::filesystem::path>& url) {
    if (!url || url == loadedLoopURL_) {
        return;
    }
    loop_->setUrl(*url);
    if (auto error = loop_->openReader(*url)) {
        log_.error("loop load failed: %{public}@", error->description);
        loopError_ = error->description;
        return;
    }
    loopError_.reset();
    loadedLoopURL_ = url;
    log_.info("loaded loop: %{public}@", url->filename().string());
}

void CameraEngine::adoptRecordedLoop(const std::optional<std::filesystem::path>& url) {
    if (!url) {
        return;
    }
    auto loops = state_.loops.get();
    loops.push_back(*url);
    state_.loops = std::move(loops);
    if (!state_.activeLoop.get()) {
        state_.activeLoop = url;
    }
}

void CameraEngine::resetVirtualCamera() {
    log_.info("resetVirtualCamera()");
    webcam_->restart();
    bridge_->reconnect();
    bridge_->probeExtensionHealth();
    state_.lastResetAt = wallClock_.now();
}

void CameraEngine::handleWake() {
    log_.info("did wake — resetting virtual camera");
    std::weak_ptr<CameraEngine> weak = weak_from_this();
    main_.postAfter(kWakeResetDelay, [weak] {
        if (auto self = weak.lock()) {
            self->resetVirtualCamera();
        }
    });
}

bool CameraEngine::beginFreeze(const PixelBufferRef& frame) {
    ensureFreezePool(frame->width(), frame->height());
    if (!freezePool_) {
        return false;
    }
    PixelBufferRef buffer = freezePool_->acquire();
    if (!buffer) {
        return false;
    }
    blurInto(*frame, *buffer, state_.transitionBlurRadius.get());
    freezeBuffer_ = std::move(buffer);
    freezeUntilHost_ = hostClock_.nowNanos() + freezeLengthNanos(state_.transitionFreezeSeconds);
    return true;
}

void CameraEngine::ensureFreezePool(int width, int height) {
    if (freezePoolDims() == std::make_pair(width, height)) {
        return;
    }
    freezePool_ = PixelBufferPool::create(width, height, PixelStorage::heap, kFreezePoolIdle);
}

void CameraEngine::blurInto(const PixelBuffer& source, PixelBuffer& dest, double radius) {
    image::blurAndTone(source, dest, radius);
}

std::uint64_t CameraEngine::freezeLengthNanos(double seconds) {
    if (seconds < 3.0) {
        return seconds >= 0.2 ? static_cast<std::uint64_t>(std::llround(seconds * 1e9))
                              : kMinFreezeNanos;
    }
    return kMaxFreezeNanos;  // also for a value that is not a number
}

}  // namespace kestrel
