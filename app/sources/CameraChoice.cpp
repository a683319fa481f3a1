#include "app/sources/CameraChoice.h"

#include <algorithm>

#include "app/sources/FileCameraBackend.h"
#include "app/sources/TestPatternBackend.h"
#include "app/sources/V4l2Backend.h"
#include "app/sources/WebcamCapture.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

namespace {

constexpr std::string_view kCaptureQueueLabel = "dev.corvid.kestrel.webcam";

// Owns the capture queue and the backend next to the capture, and takes them down in order: the
// capture first (it stops the backend), then the backend, then the queue's thread.
class OwnedWebcam final : public WebcamSource {
  public:
    template <class MakeBackend>
    OwnedWebcam(Executor& main, const HostClock& hostClock, MakeBackend&& makeBackend)
        : capture_(std::string(kCaptureQueueLabel), hostClock),
          webcam_(std::make_unique<WebcamCapture>(makeBackend(capture_), main, capture_)) {}

    void setOnFrame(FrameHandler onFrame) override { webcam_->setOnFrame(std::move(onFrame)); }
    MaybeError start() override { return webcam_->start(); }
    void restart() override { webcam_->restart(); }

  private:
    WorkerThread capture_;
    std::unique_ptr<WebcamCapture> webcam_;
};

bool isVideoNode(std::string_view text) {
    constexpr std::string_view kPrefix = "/dev/video";
    if (text.size() <= kPrefix.size() || text.substr(0, kPrefix.size()) != kPrefix) {
        return false;
    }
    const auto digits = text.substr(kPrefix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<CameraChoice> parseCameraChoice(std::string_view text) {
    if (text == "auto") {
        return CameraChoice{CameraChoice::Kind::automatic, {}};
    }
    if (text == "pattern") {
        return CameraChoice{CameraChoice::Kind::pattern, {}};
    }
    if (isVideoNode(text)) {
        return CameraChoice{CameraChoice::Kind::device, std::string(text)};
    }
    constexpr std::string_view kFilePrefix = "file:";
    if (text.size() > kFilePrefix.size() && text.substr(0, kFilePrefix.size()) == kFilePrefix) {
        return CameraChoice{CameraChoice::Kind::file, std::string(text.substr(kFilePrefix.size()))};
    }
    return std::nullopt;
}

std::variant<std::unique_ptr<WebcamSource>, Error> makeWebcam(const CameraChoice& choice,
                                                              Executor& main,
                                                              const HostClock& hostClock,
                                                              const WallClock& wallClock) {
    switch (choice.kind) {
        case CameraChoice::Kind::file:
            return std::make_unique<OwnedWebcam>(main, hostClock, [&](Executor& capture) {
                return std::make_shared<FileCameraBackend>(capture, hostClock, choice.path);
            });
        case CameraChoice::Kind::pattern:
            return std::make_unique<OwnedWebcam>(main, hostClock, [&](Executor& capture) {
                return std::make_shared<TestPatternBackend>(capture, hostClock, wallClock);
            });
        case CameraChoice::Kind::automatic:
        case CameraChoice::Kind::device:
            break;
    }
    V4l2Backend::Options options;
    if (choice.kind == CameraChoice::Kind::device) {
        options.onlyNode = choice.path;
    }
    return std::make_unique<OwnedWebcam>(main, hostClock, [&](Executor& capture) {
        return std::make_shared<V4l2Backend>(systemV4l2(), capture, hostClock, options);
    });
}

}  // namespace kestrel
