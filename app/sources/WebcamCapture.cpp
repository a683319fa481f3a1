#include "app/sources/WebcamCapture.h"

#include <algorithm>
#include <utility>

namespace kestrel {

// Receives the session's frames and events. Shared with the backend (which holds it weakly), so
// that a frame being delivered while the capture object goes away still finds it alive; anything
// that must reach the capture object hops to the main thread and checks the liveness token there.
class WebcamCapture::Receiver final : public CaptureDelegate {
  public:
    Receiver(WebcamCapture& owner, Executor& main, std::weak_ptr<bool> alive)
        : owner_(owner),
          main_(main),
          alive_(std::move(alive)),
          log_(std::string(kAppLogSubsystem), "Webcam") {}

    void setOnFrame(FrameHandler onFrame) {
        std::lock_guard lock(handlerMutex_);
        onFrame_ = onFrame ? std::make_shared<const FrameHandler>(std::move(onFrame)) : nullptr;
    }

    std::int64_t frameCount() const { return frameCount_.load(std::memory_order_relaxed); }

    void captureOutput(const PixelBufferRef& frame, MediaTime presentationTime) override {
        if (!frame) {
            return;  // a sample without an image is neither counted nor delivered
        }
        // Only the capture queue writes the count; the atomic lets tests and stats read it.
        const std::int64_t before = frameCount_.load(std::memory_order_relaxed);
        const std::int64_t count = before + 1;
        frameCount_.store(count, std::memory_order_relaxed);
        if (before == 0 || count % kFrameLogInterval == 0) {
            log_.info("captureOutput frame count=%d", count);
        }
        // A shared handle, so a frame costs no copy of the handler and its captures.
        std::shared_ptr<const FrameHandler> handler;
        {
            std::lock_guard lock(handlerMutex_);
            handler = onFrame_;
        }
        if (handler) {
            (*handler)(frame, presentationTime);
        }
    }

    void sessionInterrupted(const std::string& info) override {
        log_.info("AVCaptureSession interrupted: %{public}@", info.empty() ? "{}" : info);
    }

    void sessionInterruptionEnded() override {
        log_.info("AVCaptureSession interruption ended — resuming");
        onMain([](WebcamCapture& owner) {
            if (!owner.backend_->isRunning()) {
                owner.backend_->startRunning([](bool /*running*/) {});
            }
        });
    }

    void sessionRuntimeError(const std::optional<Error>& error) override {
        log_.error("AVCaptureSession runtime error: %{public}@", describe(error));
        onMain([](WebcamCapture& owner) { owner.restart(); });
    }

  private:
    static std::string describe(const std::optional<Error>& error) {
        if (!error) {
            return "nil";
        }
        return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" +
               error->description + "\"";
    }

    // Runs `task` on the main thread if the capture object still lives by then.
    template <class F>
    void onMain(F task) {
        main_.post([owner = &owner_, alive = alive_, task = std::move(task)] {
            if (alive.lock()) {
                task(*owner);
            }
        });
    }

    WebcamCapture& owner_;
    Executor& main_;
    std::weak_ptr<bool> alive_;
    Log log_;
    std::mutex handlerMutex_;  // the handler is set on the main thread, read on the capture queue
    std::shared_ptr<const FrameHandler> onFrame_;
    std::atomic<std::int64_t> frameCount_{0};
};

WebcamCapture::WebcamCapture(std::shared_ptr<CaptureBackend> backend, Executor& main,
                             CaptureSettings settings)
    : backend_(std::move(backend)),
      main_(main),
      settings_(settings),
      log_(std::string(kAppLogSubsystem), "Webcam"),
      receiver_(std::make_shared<Receiver>(*this, main, alive_)) {}

WebcamCapture::~WebcamCapture() {
    // Pending restarts and runtime-error hops see the token gone and do nothing.
    alive_.reset();
    backend_->unconfigure();
    backend_->stopRunning();
}

void WebcamCapture::setOnFrame(FrameHandler onFrame) {
    receiver_->setOnFrame(std::move(onFrame));
}

std::int64_t WebcamCapture::frameCount() const {
    return receiver_->frameCount();
}

bool WebcamCapture::isExcluded(const CaptureDevice& device) {
    if (device.kind != CaptureDeviceKind::external) {
        return false;
    }
    return std::any_of(kExcludedNames.begin(), kExcludedNames.end(), [&](std::string_view name) {
        return device.name.find(name) != std::string::npos;
    });
}

std::optional<CaptureDevice> WebcamCapture::chooseDevice(
    const std::vector<CaptureDevice>& devices,
    const std::function<std::optional<CaptureDevice>()>& fallback) {
    std::vector<CaptureDevice> usable;
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(usable),
                 [](const CaptureDevice& device) { return !isExcluded(device); });
    const auto builtIn = std::find_if(usable.begin(), usable.end(), [](const CaptureDevice& d) {
        return d.kind == CaptureDeviceKind::builtIn;
    });
    if (builtIn != usable.end()) {
        return *builtIn;
    }
    if (!usable.empty()) {
        return usable.front();
    }
    return fallback ? fallback() : std::nullopt;
}

MaybeError WebcamCapture::start() {
    if (backend_->isRunning()) {
        return std::nullopt;
    }
    if (!notificationsInstalled_) {
        notificationsInstalled_ = true;
        backend_->setDelegate(receiver_);
    }

    const auto device =
        chooseDevice(backend_->devices(), [this] { return backend_->defaultDevice(); });
    if (!device) {
        log_.error("no usable camera found");
        return Error{std::string(kErrorDomain), 1, "No camera"};
    }
    log_.info("using device: %{public}@ (type=%{public}@)", device->name, toString(device->kind));

    if (auto failure = backend_->configure(*device, settings_)) {
        switch (failure->kind) {
            case CaptureConfigureError::Kind::platform:
                return failure->error;
            case CaptureConfigureError::Kind::inputRefused:
                return Error{std::string(kErrorDomain), 2, "Cannot add input"};
            case CaptureConfigureError::Kind::outputRefused:
                return Error{std::string(kErrorDomain), 3, "Cannot add output"};
        }
    }

    // The backend starts the device on its capture queue; this call returns at once.
    backend_->startRunning([log = log_](bool running) {
        log.info("session.startRunning returned, running=%{public}@", running ? "y" : "n");
    });
    return std::nullopt;
}

void WebcamCapture::restart() {
    log_.info("restart() requested");
    backend_->unconfigure();
    backend_->stopRunning();
    main_.postAfter(kRestartDelay, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.lock()) {
            return;
        }
        if (auto error = start()) {
            log_.error("restart() start failed: %{public}@", error->description);
        }
    });
}

}  // namespace kestrel
