#include "app/sources/WebcamCapture.h"

#include <algorithm>
#include <string>
#include <utility>

namespace kestrel {

// Receives the session's frames and events. Shared with the backend (which holds it weakly), so
// that a frame being delivered while the capture object goes away still finds it alive; anything
// that must reach the capture object hops to the main thread and checks the liveness token there.
class WebcamCapture::Receiver final : public CaptureDelegate,
                                      public std::enable_shared_from_this<Receiver> {
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
        bool post = false;
        {
            std::lock_guard lock(mailboxMutex_);
            if (waiting_) {
                lateDrops_.fetch_add(1, std::memory_order_relaxed);
            }
            waiting_ = Waiting{frame, presentationTime};
            post = !handing_;
            handing_ = true;
        }
        if (post) {
            postHandOver();
        }
    }

    std::uint64_t lateDrops() const { return lateDrops_.load(std::memory_order_relaxed); }

    void sessionInterrupted(const std::string& info) override {
        log_.info("AVCaptureSession interrupted: %{public}@", info.empty() ? "{}" : info);
    }

    void sessionInterruptionEnded() override {
        log_.info("AVCaptureSession interruption ended — resuming");
        onMain([](WebcamCapture& owner) {
            owner.onDevice([](CaptureBackend& backend) {
                if (!backend.isRunning()) {
                    backend.startRunning([](bool /*running*/) {});
                }
            });
        });
    }

    void sessionRuntimeError(const std::optional<Error>& error) override {
        log_.error("AVCaptureSession runtime error: %{public}@", describe(error));
        onMain([](WebcamCapture& owner) { owner.restart(); });
    }

  private:
    struct Waiting {
        PixelBufferRef frame;
        MediaTime presentationTime;
    };

    void postHandOver() {
        main_.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->handOver();
            }
        });
    }

    // Main thread: the waiting frame to the handler. The next hand-over is posted behind what the
    // handler posted, so a frame it forwarded is handled before another one is taken.
    void handOver() {
        std::optional<Waiting> next;
        {
            std::lock_guard lock(mailboxMutex_);
            next.swap(waiting_);
            if (!next) {
                handing_ = false;
                return;
            }
        }
        // A shared handle, so a frame costs no copy of the handler and its captures.
        std::shared_ptr<const FrameHandler> handler;
        {
            std::lock_guard lock(handlerMutex_);
            handler = onFrame_;
        }
        if (handler) {
            (*handler)(next->frame, next->presentationTime);
        }
        next.reset();
        postHandOver();
    }

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
    std::mutex mailboxMutex_;  // the capture queue puts frames in, the main thread takes them
    std::optional<Waiting> waiting_;
    bool handing_ = false;  // a hand-over is posted to the main thread
    std::atomic<std::uint64_t> lateDrops_{0};
};

// The backend as device work sees it. Device work holds the mutex while it uses the backend, and
// the capture object's destruction takes it to let go of the backend, so queued work that runs
// later does nothing and the backend is torn down and destroyed by its owner, as it was built.
struct WebcamCapture::Device {
    std::mutex mutex;
    CaptureBackend* backend = nullptr;  // none once the capture object is gone
};

WebcamCapture::WebcamCapture(std::shared_ptr<CaptureBackend> backend, Executor& main,
                             Executor& device, CaptureSettings settings)
    : backend_(std::move(backend)),
      device_(std::make_shared<Device>()),
      main_(main),
      deviceExecutor_(device),
      settings_(settings),
      log_(std::string(kAppLogSubsystem), "Webcam"),
      receiver_(std::make_shared<Receiver>(*this, main, alive_)) {
    device_->backend = backend_.get();
}

WebcamCapture::~WebcamCapture() {
    // Pending restarts and runtime-error hops see the token gone and do nothing; so does queued
    // device work. Only device work under way is waited for.
    alive_.reset();
    {
        std::lock_guard lock(device_->mutex);
        device_->backend = nullptr;
    }
    backend_->unconfigure();
    backend_->stopRunning();
}

void WebcamCapture::setOnFrame(FrameHandler onFrame) {
    receiver_->setOnFrame(std::move(onFrame));
}

std::int64_t WebcamCapture::frameCount() const {
    return receiver_->frameCount();
}

std::uint64_t WebcamCapture::lateFrameDrops() const {
    return receiver_->lateDrops();
}

void WebcamCapture::onDevice(std::function<void(CaptureBackend&)> task) {
    deviceExecutor_.post([device = device_, task = std::move(task)] {
        std::lock_guard lock(device->mutex);
        if (device->backend != nullptr) {
            task(*device->backend);
        }
    });
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
    beginStart("start failed: %{public}@");
    return std::nullopt;
}

void WebcamCapture::beginStart(std::string_view failureLine) {
    std::weak_ptr<CaptureDelegate> delegate;
    if (!notificationsInstalled_) {
        notificationsInstalled_ = true;
        delegate = receiver_;
    }
    onDevice([delegate, settings = settings_, log = log_, main = &main_,
              alive = std::weak_ptr<bool>(alive_),
              failureLine = std::string(failureLine)](CaptureBackend& backend) {
        if (!delegate.expired()) {
            backend.setDelegate(delegate);
        }
        if (backend.isRunning()) {
            return;
        }
        if (auto failure = configureAndStart(backend, settings, log)) {
            main->post([alive, log, failureLine, failure] {
                if (alive.lock()) {
                    log.error(failureLine, failure->description);
                }
            });
        }
    });
}

MaybeError WebcamCapture::configureAndStart(CaptureBackend& backend,
                                            const CaptureSettings& settings, const Log& log) {
    const auto device =
        chooseDevice(backend.devices(), [&backend] { return backend.defaultDevice(); });
    if (!device) {
        log.error("no usable camera found");
        return Error{std::string(kErrorDomain), 1, "No camera"};
    }
    log.info("using device: %{public}@ (type=%{public}@)", device->name, toString(device->kind));

    if (auto failure = backend.configure(*device, settings)) {
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
    backend.startRunning([log](bool running) {
        log.info("session.startRunning returned, running=%{public}@", running ? "y" : "n");
    });
    return std::nullopt;
}

void WebcamCapture::restart() {
    log_.info("restart() requested");
    onDevice([](CaptureBackend& backend) {
        backend.unconfigure();
        backend.stopRunning();
    });
    main_.postAfter(kRestartDelay, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) {
            beginStart("restart() start failed: %{public}@");
        }
    });
}

}  // namespace kestrel
