#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Error.h"

// The seam between `WebcamCapture` and whatever produces camera frames: V4L2 devices, the
// test-pattern camera, a video file played as a camera. A backend is a capture session in the
// small: it lists devices, is configured with one of them, starts and stops running, and tells its
// delegate about frames and about interruptions and runtime errors.

namespace kestrel {

// How a device is attached. Only external devices are subject to the excluded-name list when the
// camera is chosen; built-in ones are preferred; `other` (generated or file cameras) is kept
// whatever its name.
enum class CaptureDeviceKind { builtIn, external, other };

inline std::string_view toString(CaptureDeviceKind kind) {
    switch (kind) {
        case CaptureDeviceKind::builtIn:
            return "builtIn";
        case CaptureDeviceKind::external:
            return "external";
        case CaptureDeviceKind::other:
            return "other";
    }
    return "unknown";
}

struct CaptureDevice {
    std::string id;    // stable within the backend: "/dev/video0", "pattern", "file:/a/b.mov"
    std::string name;  // what the user sees (a V4L2 card name); matched against excluded names
    CaptureDeviceKind kind = CaptureDeviceKind::external;
    friend bool operator==(const CaptureDevice&, const CaptureDevice&) = default;
};

// What the capture asks of a device: BGRA frames of this size at this rate.
struct CaptureSettings {
    int width = 1280;
    int height = 720;
    int framesPerSecond = 15;
};

// Receives what a running session produces. Held weakly by the backend: once the delegate is gone
// the backend calls nothing on it.
class CaptureDelegate {
  public:
    virtual ~CaptureDelegate() = default;
    // On the backend's capture queue, once per captured sample. `frame` is a 32-bit BGRA buffer of
    // the configured size, or null for a sample that carried no usable image (for example a
    // compressed frame that did not decode).
    virtual void captureOutput(const PixelBufferRef& frame, MediaTime presentationTime) = 0;
    // Any thread. Delivery stopped for a reason outside our control (the device is held by another
    // program); `info` describes it. The backend watches for the end of it by itself.
    virtual void sessionInterrupted(const std::string& info) = 0;
    // Any thread. The cause of the interruption went away; the session may be started again.
    virtual void sessionInterruptionEnded() = 0;
    // Any thread. The running session failed (device unplugged, dequeue failed) and stopped.
    virtual void sessionRuntimeError(const std::optional<Error>& error) = 0;
};

// Why configure() failed: the platform's own error (passed on unchanged), or the session refused
// the device ("input") or cannot produce our frames from it ("output").
struct CaptureConfigureError {
    enum class Kind { platform, inputRefused, outputRefused };
    Kind kind = Kind::platform;
    Error error;
};

// The frame buffers one capture session fills: a fixed number, reused. A frame that finds every
// buffer still held downstream is dropped (acquire() gives none) instead of a new one being made,
// so a slow consumer costs frames, never memory. The budget covers what holds camera frames at
// once: the one waiting for the main thread and the one it handles, the detector's two, the
// recorder's queue of four, the freeze's last frame and the one being filled.
class CaptureFramePool {
  public:
    static constexpr std::size_t kBufferCount = 10;

    static std::shared_ptr<CaptureFramePool> create(int width, int height) {
        auto pool = PixelBufferPool::create(width, height, PixelStorage::heap, kBufferCount);
        return pool ? std::make_shared<CaptureFramePool>(std::move(pool)) : nullptr;
    }
    explicit CaptureFramePool(PixelBufferPoolRef pool) : pool_(std::move(pool)) {}

    // A free buffer, or none while all kBufferCount are held. From the capture queue only: other
    // threads only give buffers back, so a full pool seen here cannot be wrong the other way.
    PixelBufferRef acquire() {
        if (pool_->idleCount() == 0 && pool_->allocatedCount() >= kBufferCount) {
            return nullptr;
        }
        return pool_->acquire();
    }

  private:
    PixelBufferPoolRef pool_;
};

// A capture session over one kind of device.
//
// Threads: the calls below are made one at a time, in order, on the owner's device executor (never
// the main thread: listing, opening and configuring devices may block). Frames and events come
// from the backend's own capture queue (the serial queue "dev.corvid.kestrel.webcam" it was built
// with); starting streams runs there too.
class CaptureBackend {
  public:
    virtual ~CaptureBackend() = default;

    // Devices in the platform's order.
    virtual std::vector<CaptureDevice> devices() = 0;
    // The device the system would use by default, if any; not filtered in any way.
    virtual std::optional<CaptureDevice> defaultDevice() = 0;

    // Sets the receiver of frames and events; the owner calls it once.
    virtual void setDelegate(std::weak_ptr<CaptureDelegate> delegate) = 0;

    // Attaches `device` and prepares it to deliver frames as `settings` asks. A session that
    // already has a device refuses a second one (inputRefused) until unconfigure().
    virtual std::optional<CaptureConfigureError> configure(const CaptureDevice& device,
                                                           const CaptureSettings& settings) = 0;
    // Detaches the device; the session stops delivering. Safe when nothing is configured.
    virtual void unconfigure() = 0;

    // Starts delivery on the capture queue and calls `done` there with whether the session runs.
    // A session without a device, or whose device is busy, reports false (a busy device is an
    // interruption, reported to the delegate).
    virtual void startRunning(std::function<void(bool running)> done) = 0;
    // Stops delivery; a frame already being delivered on the capture queue may still arrive.
    virtual void stopRunning() = 0;
    // Whether the session runs (delivers or waits for frames); any thread.
    virtual bool isRunning() const = 0;
};

}  // namespace kestrel
