#include "app/sources/FileCameraBackend.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <variant>

#include "app/sources/MovieReader.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// The playback state lives on the capture queue; the main thread only flips `running`.
struct FileCameraBackend::Player {
    std::atomic<bool> running{false};
    // Capture queue only.
    std::weak_ptr<CaptureDelegate> delegate;
    std::unique_ptr<MovieReader> reader;
    std::shared_ptr<CaptureFramePool> pool;
    Handle timer;
    Log log{std::string(kAppLogSubsystem), "Webcam"};

    // Opens the file afresh at its first frame.
    MaybeError open(const std::filesystem::path& file) {
        auto opened = MovieReader::open(file);
        if (auto* error = std::get_if<Error>(&opened)) {
            return *error;
        }
        reader = std::move(std::get<std::unique_ptr<MovieReader>>(opened));
        return std::nullopt;
    }

    // One timer tick: the next frame of the file, from the start again after its last.
    void tick(const std::filesystem::path& file, const HostClock& hostClock) {
        if (!running.load() || !reader) {
            return;
        }
        PixelBufferRef frame = pool->acquire();
        auto target = delegate.lock();
        if (!frame || !target) {
            return;  // every buffer held downstream, or nobody listening: the frame is skipped
        }
        if (!reader->readFrame(*frame)) {
            MaybeError error = open(file);
            if (!error && !reader->readFrame(*frame)) {
                error = Error{std::string(MovieReader::kErrorDomain), MovieReader::kCannotDecode,
                              file.filename().string() + " has no frames"};
            }
            if (error) {
                running.store(false);
                reader.reset();
                target->sessionRuntimeError(error);
                return;
            }
        }
        target->captureOutput(frame, MediaTime::fromNanos(hostClock.nowNanos()));
    }
};

FileCameraBackend::FileCameraBackend(Executor& capture, const HostClock& hostClock,
                                     std::filesystem::path file)
    : capture_(capture),
      hostClock_(hostClock),
      file_(std::move(file)),
      player_(std::make_shared<Player>()) {}

FileCameraBackend::~FileCameraBackend() {
    unconfigure();
}

CaptureDevice FileCameraBackend::device() const {
    return CaptureDevice{std::string(kIdPrefix) + file_.string(), file_.filename().string(),
                         CaptureDeviceKind::other};
}

std::vector<CaptureDevice> FileCameraBackend::devices() {
    return {device()};
}

std::optional<CaptureDevice> FileCameraBackend::defaultDevice() {
    return device();
}

void FileCameraBackend::setDelegate(std::weak_ptr<CaptureDelegate> delegate) {
    capture_.post(
        [player = player_, delegate = std::move(delegate)] { player->delegate = delegate; });
}

std::optional<CaptureConfigureError> FileCameraBackend::configure(const CaptureDevice& chosen,
                                                                  const CaptureSettings& settings) {
    if (configured_ || chosen.id != device().id) {
        return CaptureConfigureError{CaptureConfigureError::Kind::inputRefused, {}};
    }
    if (::access(file_.c_str(), R_OK) != 0) {
        const int code = errno;
        return CaptureConfigureError{
            CaptureConfigureError::Kind::platform,
            Error{std::string(MovieReader::kErrorDomain), MovieReader::kUnreadable,
                  "cannot read " + file_.filename().string() + ": " + std::strerror(code)}};
    }
    auto pool = CaptureFramePool::create(settings.width, settings.height);
    if (!pool || settings.framesPerSecond <= 0) {
        return CaptureConfigureError{CaptureConfigureError::Kind::outputRefused, {}};
    }
    configured_ = true;
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / settings.framesPerSecond);
    capture_.post([player = player_, pool = std::move(pool), interval, exec = &capture_,
                   host = &hostClock_, file = file_] {
        player->pool = pool;
        std::weak_ptr<Player> weak = player;
        player->timer = exec->startTimer(interval, [weak, host, file] {
            if (auto self = weak.lock()) {
                self->tick(file, *host);
            }
        });
    });
    return std::nullopt;
}

void FileCameraBackend::unconfigure() {
    if (!configured_) {
        return;
    }
    configured_ = false;
    player_->running.store(false);
    capture_.post([player = player_] {
        player->running.store(false);  // also after a start that was still queued
        player->timer.reset();
        player->reader.reset();
    });
}

void FileCameraBackend::startRunning(std::function<void(bool running)> done) {
    if (!configured_) {
        capture_.post([done = std::move(done)] { done(false); });
        return;
    }
    capture_.post([player = player_, file = file_, done = std::move(done)] {
        if (!player->reader) {
            if (auto error = player->open(file)) {
                player->log.error("file camera: %{public}@", error->description);
                done(false);
                return;
            }
        }
        player->running.store(true);
        done(true);
    });
}

void FileCameraBackend::stopRunning() {
    player_->running.store(false);
}

bool FileCameraBackend::isRunning() const {
    return player_->running.load();
}

}  // namespace kestrel
