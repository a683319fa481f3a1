#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/sources/CaptureBackend.h"
#include "app/sources/V4l2System.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// A frame interval as V4L2 gives it: numerator / denominator seconds per frame.
struct V4l2Interval {
    std::uint32_t numerator = 0;
    std::uint32_t denominator = 0;
    double framesPerSecond() const {
        return numerator == 0 ? 0.0 : static_cast<double>(denominator) / numerator;
    }
    friend bool operator==(const V4l2Interval&, const V4l2Interval&) = default;
};

// The interval to ask for among those a camera offers: exactly `wanted` frames per second when
// offered, else the nearest higher rate (whose surplus frames are dropped), else the highest rate
// there is. Nothing when nothing is offered.
std::optional<V4l2Interval> chooseFrameInterval(const std::vector<V4l2Interval>& offered,
                                                int wanted);

// What a camera offers in one pixel format at the wanted size.
struct V4l2FormatOffer {
    std::uint32_t fourcc = 0;         // V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG
    bool hasWantedSize = false;       // the wanted width x height is among its frame sizes
    double maxFramesPerSecond = 0.0;  // at the wanted size; 0 when the camera does not say
};

// YUYV needs no decoding, so it wins when it reaches the wanted size and rate; many USB cameras
// only reach 720p at a usable rate in MJPEG. Nothing when neither format is offered.
std::optional<std::uint32_t> chooseV4l2Format(const std::vector<V4l2FormatOffer>& offers,
                                              int wantedFramesPerSecond);

// Lets through `target` of every `source` frames, spread evenly (30 → 15 keeps every other one).
class FrameRateLimiter {
  public:
    FrameRateLimiter() = default;
    FrameRateLimiter(double sourceFramesPerSecond, int targetFramesPerSecond);
    bool admit();

  private:
    std::int64_t source_ = 0;  // millihertz
    std::int64_t target_ = 0;
    std::int64_t credit_ = 0;
};

// Converts one captured image to BGRA in `dest`: YUYV (bytesPerLine per row) or MJPEG. A frame of
// another size than `dest` is converted into `*scratch` (kept for the next frame while its size
// holds; a buffer of its own when null) and scaled to fill `dest`. False for a truncated or
// undecodable image.
bool convertToBgra(std::uint32_t fourcc, const std::uint8_t* data, std::size_t bytesUsed, int width,
                   int height, int bytesPerLine, PixelBuffer& dest,
                   PixelBufferRef* scratch = nullptr);

// Cameras through Video4Linux2. Devices are the /dev/video* nodes that capture video; the name is
// the driver's card name. A camera is built-in when the USB port it hangs on is marked "fixed" in
// sysfs (`/sys/class/video4linux/videoN/device/../removable`, which the firmware sets for ports
// wired inside the machine); every other camera is external, loopback devices included, so that
// the excluded names apply to virtual cameras. Frames are read through mapped buffers on the
// capture queue and converted to BGRA; the rate is limited to the wanted one.
//
// An unplugged camera or a failing dequeue is a runtime error. A camera held by another program
// (EBUSY) is an interruption: the backend tries again every `busyRetry` and reports the end of the
// interruption once the camera streams.
class V4l2Backend final : public CaptureBackend {
  public:
    struct Options {
        std::string devRoot = "/dev";
        std::string sysRoot = "/sys";
        // Only this node (`--camera /dev/videoN`), when set.
        std::string onlyNode;
        std::chrono::milliseconds busyRetry{1000};
        // Mapped buffers the driver cycles through.
        std::uint32_t bufferCount = 4;
    };

    V4l2Backend(V4l2System& system, Executor& capture, const HostClock& clock, Options options);
    ~V4l2Backend() override;
    V4l2Backend(const V4l2Backend&) = delete;
    V4l2Backend& operator=(const V4l2Backend&) = delete;

    std::vector<CaptureDevice> devices() override;
    std::optional<CaptureDevice> defaultDevice() override;
    void setDelegate(std::weak_ptr<CaptureDelegate> delegate) override;
    std::optional<CaptureConfigureError> configure(const CaptureDevice& device,
                                                   const CaptureSettings& settings) override;
    void unconfigure() override;
    void startRunning(std::function<void(bool running)> done) override;
    void stopRunning() override;
    bool isRunning() const override;

    // Frames dropped because a newer one was ready when the capture queue got to them, or every
    // frame buffer was still held downstream; any thread.
    std::uint64_t lateFrameDrops() const;

  private:
    class Session;

    V4l2System& system_;
    Executor& capture_;
    const HostClock& clock_;
    Options options_;
    Log log_;
    std::weak_ptr<CaptureDelegate> delegate_;
    std::shared_ptr<Session> session_;  // main thread; its device work runs on `capture_`
    std::shared_ptr<std::atomic<std::uint64_t>> lateDrops_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
};

}  // namespace kestrel
