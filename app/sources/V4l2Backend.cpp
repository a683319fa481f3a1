#include "app/sources/V4l2Backend.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>

#include "platform/media/ImageOps.h"

namespace kestrel {

namespace {

constexpr std::string_view kV4l2Domain = "V4L2";
constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
// More intervals or sizes than any camera lists; a driver that never ends its list stops here.
constexpr std::uint32_t kMaxEnumerated = 256;
constexpr std::int64_t kMilli = 1000;

int xioctl(V4l2System& system, int fd, unsigned long request, void* arg) {
    int result = 0;
    do {
        result = system.ioctl(fd, request, arg);
    } while (result == -EINTR);
    return result;
}

Error systemError(const std::string& path, std::string_view what, int error) {
    return Error{std::string(kV4l2Domain), error,
                 path + ": " + std::string(what) + ": " + std::strerror(error)};
}

std::string cardName(const v4l2_capability& caps) {
    const auto* card = reinterpret_cast<const char*>(caps.card);
    return std::string(card, strnlen(card, sizeof caps.card));
}

bool capturesVideo(const v4l2_capability& caps) {
    const std::uint32_t own =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
    return (own & V4L2_CAP_VIDEO_CAPTURE) != 0 && (own & V4L2_CAP_STREAMING) != 0;
}

// The node's number, for its sysfs folder ("/dev/video3" → "video3").
std::string nodeName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<V4l2Interval> frameIntervals(V4l2System& system, int fd, std::uint32_t fourcc,
                                         int width, int height, int wanted) {
    std::vector<V4l2Interval> intervals;
    for (std::uint32_t index = 0; index < kMaxEnumerated; ++index) {
        v4l2_frmivalenum entry{};
        entry.index = index;
        entry.pixel_format = fourcc;
        entry.width = static_cast<std::uint32_t>(width);
        entry.height = static_cast<std::uint32_t>(height);
        if (xioctl(system, fd, VIDIOC_ENUM_FRAMEINTERVALS, &entry) < 0) {
            break;
        }
        if (entry.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            intervals.push_back({entry.discrete.numerator, entry.discrete.denominator});
            continue;
        }
        // A range: the wanted rate when it lies inside, else the end nearest to it.
        const V4l2Interval fastest{entry.stepwise.min.numerator, entry.stepwise.min.denominator};
        const V4l2Interval slowest{entry.stepwise.max.numerator, entry.stepwise.max.denominator};
        const double wantedRate = wanted;
        if (slowest.framesPerSecond() <= wantedRate && wantedRate <= fastest.framesPerSecond()) {
            intervals.push_back({1, static_cast<std::uint32_t>(wanted)});
        } else {
            intervals.push_back(fastest);
            intervals.push_back(slowest);
        }
        break;
    }
    return intervals;
}

std::optional<std::uint32_t> probeFormat(V4l2System& system, int fd,
                                         const CaptureSettings& settings) {
    std::vector<V4l2FormatOffer> offers;
    for (std::uint32_t index = 0; index < kMaxEnumerated; ++index) {
        v4l2_fmtdesc desc{};
        desc.index = index;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(system, fd, VIDIOC_ENUM_FMT, &desc) < 0) {
            break;
        }
        if (desc.pixelformat != V4L2_PIX_FMT_YUYV && desc.pixelformat != V4L2_PIX_FMT_MJPEG) {
            continue;
        }
        V4l2FormatOffer offer{desc.pixelformat, false, 0.0};
        for (std::uint32_t sizeIndex = 0; sizeIndex < kMaxEnumerated; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = desc.pixelformat;
            if (xioctl(system, fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) {
                break;
            }
            const auto w = static_cast<std::uint32_t>(settings.width);
            const auto h = static_cast<std::uint32_t>(settings.height);
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                offer.hasWantedSize |= size.discrete.width == w && size.discrete.height == h;
            } else {
                offer.hasWantedSize |=
                    size.stepwise.min_width <= w && w <= size.stepwise.max_width &&
                    size.stepwise.min_height <= h && h <= size.stepwise.max_height;
                break;
            }
        }
        if (offer.hasWantedSize) {
            for (const auto& interval : frameIntervals(system, fd, desc.pixelformat, settings.width,
                                                       settings.height, settings.framesPerSecond)) {
                offer.maxFramesPerSecond =
                    std::max(offer.maxFramesPerSecond, interval.framesPerSecond());
            }
        }
        offers.push_back(offer);
    }
    return chooseV4l2Format(offers, settings.framesPerSecond);
}

std::uint64_t timestampNanos(const v4l2_buffer& buffer, const HostClock& clock) {
    const bool monotonic =
        (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (monotonic && (buffer.timestamp.tv_sec != 0 || buffer.timestamp.tv_usec != 0)) {
        return static_cast<std::uint64_t>(buffer.timestamp.tv_sec) * 1'000'000'000ULL +
               static_cast<std::uint64_t>(buffer.timestamp.tv_usec) * 1'000ULL;
    }
    return clock.nowNanos();
}

// JPEG frames carry full-range YCbCr. libyuv's one-step MJPGToARGB converts them with the
// studio-range matrix, which over-saturates every colour, so the frame is decoded to planes and
// converted with the full-range (JPEG) matrix instead.
bool decodeMjpeg(const std::uint8_t* data, std::size_t size, int width, int height,
                 PixelBuffer& dest) {
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    const std::size_t lumaBytes = static_cast<std::size_t>(width) * height;
    const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * chromaHeight;
    // Called on the capture queue only; the planes are reused from frame to frame.
    thread_local std::vector<std::uint8_t> planes;
    planes.resize(lumaBytes + 2 * chromaBytes);
    std::uint8_t* y = planes.data();
    std::uint8_t* u = y + lumaBytes;
    std::uint8_t* v = u + chromaBytes;
    return libyuv::MJPGToI420(data, size, y, width, u, chromaWidth, v, chromaWidth, width, height,
                              width, height) == 0 &&
           libyuv::J420ToARGB(y, width, u, chromaWidth, v, chromaWidth, dest.data(), dest.stride(),
                              width, height) == 0;
}

}  // namespace

std::optional<V4l2Interval> chooseFrameInterval(const std::vector<V4l2Interval>& offered,
                                                int wanted) {
    std::optional<V4l2Interval> exact;
    std::optional<V4l2Interval> higher;
    std::optional<V4l2Interval> highest;
    constexpr double kSameRate = 0.01;
    for (const auto& interval : offered) {
        const double rate = interval.framesPerSecond();
        if (rate <= 0.0) {
            continue;
        }
        if (std::abs(rate - wanted) < kSameRate) {
            exact = exact ? exact : interval;
        } else if (rate > wanted && (!higher || rate < higher->framesPerSecond())) {
            higher = interval;
        }
        if (!highest || rate > highest->framesPerSecond()) {
            highest = interval;
        }
    }
    if (exact) {
        return exact;
    }
    return higher ? higher : highest;
}

std::optional<std::uint32_t> chooseV4l2Format(const std::vector<V4l2FormatOffer>& offers,
                                              int wantedFramesPerSecond) {
    auto find = [&](std::uint32_t fourcc, auto&& accept) -> std::optional<std::uint32_t> {
        for (const auto& offer : offers) {
            if (offer.fourcc == fourcc && accept(offer)) {
                return fourcc;
            }
        }
        return std::nullopt;
    };
    // A camera that does not list its rates is taken at its word for the size.
    auto fastEnough = [&](const V4l2FormatOffer& offer) {
        return offer.hasWantedSize && (offer.maxFramesPerSecond == 0.0 ||
                                       offer.maxFramesPerSecond >= wantedFramesPerSecond - 0.01);
    };
    auto hasSize = [](const V4l2FormatOffer& offer) { return offer.hasWantedSize; };
    auto any = [](const V4l2FormatOffer&) { return true; };
    for (auto fourcc : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG}) {
        if (auto found = find(fourcc, fastEnough)) {
            return found;
        }
    }
    for (auto fourcc : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}) {
        if (auto found = find(fourcc, hasSize)) {
            return found;
        }
    }
    for (auto fourcc : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}) {
        if (auto found = find(fourcc, any)) {
            return found;
        }
    }
    return std::nullopt;
}

FrameRateLimiter::FrameRateLimiter(double sourceFramesPerSecond, int targetFramesPerSecond)
    : source_(std::llround(sourceFramesPerSecond * kMilli)),
      target_(static_cast<std::int64_t>(targetFramesPerSecond) * kMilli) {}

bool FrameRateLimiter::admit() {
    if (source_ <= target_ || target_ <= 0) {
        return true;  // the camera is not faster than wanted: every frame counts
    }
    credit_ += target_;
    if (credit_ >= source_) {
        credit_ -= source_;
        return true;
    }
    return false;
}

bool convertToBgra(std::uint32_t fourcc, const std::uint8_t* data, std::size_t bytesUsed, int width,
                   int height, int bytesPerLine, PixelBuffer& dest, PixelBufferRef* scratch) {
    if (width <= 0 || height <= 0) {
        return false;
    }
    PixelBufferRef ownScratch;
    PixelBufferRef& unscaled = scratch != nullptr ? *scratch : ownScratch;
    PixelBuffer* target = &dest;
    if (width != dest.width() || height != dest.height()) {
        if (!unscaled || unscaled->width() != width || unscaled->height() != height) {
            unscaled = PixelBuffer::create(width, height);
            if (!unscaled) {
                return false;
            }
        }
        target = unscaled.get();
    }
    // libyuv's "ARGB" is B, G, R, A in memory: our BGRA.
    bool converted = false;
    if (fourcc == V4L2_PIX_FMT_YUYV) {
        const std::size_t needed = static_cast<std::size_t>(bytesPerLine) * (height - 1) +
                                   static_cast<std::size_t>(width) * 2;
        converted = bytesPerLine >= width * 2 && bytesUsed >= needed &&
                    libyuv::YUY2ToARGB(data, bytesPerLine, target->data(), target->stride(), width,
                                       height) == 0;
    } else if (fourcc == V4L2_PIX_FMT_MJPEG) {
        converted = bytesUsed > 0 && decodeMjpeg(data, bytesUsed, width, height, *target);
    }
    if (converted && target != &dest) {
        image::scaleToFill(*target, dest);
    }
    return converted;
}

// One attached camera. Created on the main thread by configure(); from then on its device work
// (negotiation, streaming, dequeuing) runs on the capture queue. The main thread only flips the
// two flags and queues work.
class V4l2Backend::Session final : public std::enable_shared_from_this<Session> {
  public:
    Session(V4l2System& system, Executor& capture, const HostClock& clock, const Log& log,
            std::weak_ptr<CaptureDelegate> delegate, std::string path, CaptureSettings settings,
            std::uint32_t fourcc, V4l2Fd fd, const Options& options,
            std::shared_ptr<std::atomic<std::uint64_t>> lateDrops)
        : system_(system),
          capture_(capture),
          clock_(clock),
          log_(log),
          delegate_(std::move(delegate)),
          path_(std::move(path)),
          settings_(settings),
          fourcc_(fourcc),
          fd_(std::move(fd)),
          busyRetry_(options.busyRetry),
          bufferCount_(options.bufferCount),
          pool_(CaptureFramePool::create(settings.width, settings.height)),
          lateDrops_(std::move(lateDrops)) {}

    ~Session() { release(); }

    std::atomic<bool> running{false};
    std::atomic<bool> detached{false};  // unconfigured: queued work does nothing

    // Capture queue.
    void start(const std::function<void(bool)>& done) {
        if (detached.load() || streaming_) {
            done(streaming_);
            return;
        }
        Error error;
        switch (tryStart(error)) {
            case Attempt::started:
                done(true);
                return;
            case Attempt::busy:
                beginBusyWait();
                done(false);
                return;
            case Attempt::failed:
                log_.error("camera start failed: %{public}@", error.description);
                done(false);
                return;
        }
    }

    // Capture queue: stops streaming; the device stays attached.
    void stop() {
        busyTimer_.reset();
        release();
        running.store(false);
    }

  private:
    enum class Attempt { started, busy, failed };

    Attempt tryStart(Error& error) {
        auto failWith = [&](std::string_view what, int code) {
            release();
            error = systemError(path_, what, code);
            return code == EBUSY ? Attempt::busy : Attempt::failed;
        };
        if (!fd_.valid()) {
            const int fd = system_.open(path_, kOpenFlags);
            if (fd < 0) {
                return failWith("open", -fd);
            }
            fd_ = V4l2Fd(system_, fd);
        }
        if (fourcc_ == 0) {
            fourcc_ = probeFormat(system_, fd_.get(), settings_).value_or(0);
            if (fourcc_ == 0) {
                release();
                error = Error{std::string(kV4l2Domain), EINVAL,
                              path_ + ": offers neither MJPEG nor YUYV"};
                return Attempt::failed;
            }
        }

        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.width = static_cast<std::uint32_t>(settings_.width);
        format.fmt.pix.height = static_cast<std::uint32_t>(settings_.height);
        format.fmt.pix.pixelformat = fourcc_;
        format.fmt.pix.field = V4L2_FIELD_ANY;
        if (int result = xioctl(system_, fd_.get(), VIDIOC_S_FMT, &format); result < 0) {
            return failWith("VIDIOC_S_FMT", -result);
        }
        if (format.fmt.pix.pixelformat != fourcc_) {
            release();
            error = Error{std::string(kV4l2Domain), EINVAL, path_ + ": format not accepted"};
            return Attempt::failed;
        }
        width_ = static_cast<int>(format.fmt.pix.width);
        height_ = static_cast<int>(format.fmt.pix.height);
        bytesPerLine_ = static_cast<int>(format.fmt.pix.bytesperline);
        if (bytesPerLine_ == 0 && fourcc_ == V4L2_PIX_FMT_YUYV) {
            bytesPerLine_ = width_ * 2;
        }
        negotiateRate();

        v4l2_requestbuffers request{};
        request.count = bufferCount_;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (int result = xioctl(system_, fd_.get(), VIDIOC_REQBUFS, &request); result < 0) {
            return failWith("VIDIOC_REQBUFS", -result);
        }
        if (request.count == 0) {
            return failWith("VIDIOC_REQBUFS", ENOMEM);
        }
        buffersRequested_ = true;
        for (std::uint32_t index = 0; index < request.count; ++index) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = index;
            if (int result = xioctl(system_, fd_.get(), VIDIOC_QUERYBUF, &buffer); result < 0) {
                return failWith("VIDIOC_QUERYBUF", -result);
            }
            const auto mapped = system_.mmap(buffer.length, fd_.get(), buffer.m.offset);
            if (mapped.address == nullptr) {
                return failWith("mmap", mapped.error);
            }
            mappings_.emplace_back(system_, mapped.address, buffer.length);
            if (int result = xioctl(system_, fd_.get(), VIDIOC_QBUF, &buffer); result < 0) {
                return failWith("VIDIOC_QBUF", -result);
            }
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (int result = xioctl(system_, fd_.get(), VIDIOC_STREAMON, &type); result < 0) {
            return failWith("VIDIOC_STREAMON", -result);
        }
        streaming_ = true;
        std::weak_ptr<Session> weak = weak_from_this();
        watch_ = capture_.watchFd(fd_.get(), static_cast<unsigned>(FdEvent::readable),
                                  [weak](unsigned events) {
                                      if (auto self = weak.lock()) {
                                          self->onReadable(events);
                                      }
                                  });
        running.store(true);
        log_.info("%{public}@ streams %{public}@ %dx%d at %.2f fps, delivering %d fps", path_,
                  fourcc_ == V4L2_PIX_FMT_MJPEG ? "MJPEG" : "YUYV", width_, height_, deviceRate_,
                  std::min(static_cast<int>(std::lround(deviceRate_)), settings_.framesPerSecond));
        return Attempt::started;
    }

    // Asks for the wanted rate, or the nearest the camera offers; frames above the wanted rate
    // are dropped here. A camera that does not take a rate keeps its own.
    void negotiateRate() {
        const auto intervals =
            frameIntervals(system_, fd_.get(), fourcc_, width_, height_, settings_.framesPerSecond);
        const V4l2Interval wanted =
            chooseFrameInterval(intervals, settings_.framesPerSecond)
                .value_or(V4l2Interval{1, static_cast<std::uint32_t>(settings_.framesPerSecond)});
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe.numerator = wanted.numerator;
        parm.parm.capture.timeperframe.denominator = wanted.denominator;
        double actual = wanted.framesPerSecond();
        if (xioctl(system_, fd_.get(), VIDIOC_S_PARM, &parm) >= 0) {
            const V4l2Interval set{parm.parm.capture.timeperframe.numerator,
                                   parm.parm.capture.timeperframe.denominator};
            if (set.framesPerSecond() > 0.0) {
                actual = set.framesPerSecond();
            }
        }
        limiter_ = FrameRateLimiter(actual, settings_.framesPerSecond);
        deviceRate_ = actual;
    }

    void beginBusyWait() {
        if (busyTimer_) {
            return;
        }
        if (auto delegate = delegate_.lock()) {
            delegate->sessionInterrupted("{reason: " + path_ + " is in use by another program}");
        }
        std::weak_ptr<Session> weak = weak_from_this();
        busyTimer_ = capture_.startTimer(busyRetry_, [weak] {
            if (auto self = weak.lock()) {
                self->retryBusy();
            }
        });
    }

    void retryBusy() {
        if (detached.load()) {
            busyTimer_.reset();
            return;
        }
        Error error;
        switch (tryStart(error)) {
            case Attempt::busy:
                return;  // still held elsewhere: try again at the next tick
            case Attempt::started:
                busyTimer_.reset();
                if (auto delegate = delegate_.lock()) {
                    delegate->sessionInterruptionEnded();
                }
                return;
            case Attempt::failed:
                busyTimer_.reset();
                fail(error);
                return;
        }
    }

    // Takes every buffer the driver has filled. Only the newest one the rate limit admits is
    // delivered: a consumer that fell behind gets the latest picture, never a backlog, and the
    // older frames count as late drops.
    void onReadable(unsigned events) {
        const bool hangup = (events & static_cast<unsigned>(FdEvent::hangup)) != 0U;
        filled_.clear();
        while (filled_.size() < mappings_.size()) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            const int result = xioctl(system_, fd_.get(), VIDIOC_DQBUF, &buffer);
            if (result == -EAGAIN) {
                break;
            }
            if (result < 0) {
                fail(systemError(path_, "VIDIOC_DQBUF", -result));
                return;
            }
            if (buffer.index >= mappings_.size()) {
                fail(systemError(path_, "VIDIOC_DQBUF", EIO));
                return;
            }
            filled_.push_back(buffer);
        }
        if (filled_.empty()) {
            if (hangup) {
                fail(systemError(path_, "device hung up", ENODEV));
            }
            return;
        }
        const v4l2_buffer* newest = nullptr;
        for (const auto& buffer : filled_) {
            if (limiter_.admit()) {
                if (newest != nullptr) {
                    lateDrops_->fetch_add(1, std::memory_order_relaxed);
                }
                newest = &buffer;
            }
        }
        if (newest != nullptr && running.load()) {
            deliver(*newest);
        }
        if (!streaming_) {
            return;  // stopped from inside the delivery
        }
        for (auto& buffer : filled_) {
            if (int requeued = xioctl(system_, fd_.get(), VIDIOC_QBUF, &buffer); requeued < 0) {
                fail(systemError(path_, "VIDIOC_QBUF", -requeued));
                return;
            }
        }
    }

    void deliver(const v4l2_buffer& buffer) {
        auto delegate = delegate_.lock();
        if (!delegate) {
            return;
        }
        PixelBufferRef frame;
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
            frame = pool_ ? pool_->acquire() : nullptr;
            if (!frame) {
                // Every buffer is still held downstream: the consumer is behind.
                lateDrops_->fetch_add(1, std::memory_order_relaxed);
                return;
            }
            const auto& mapping = mappings_[buffer.index];
            const std::size_t used = std::min<std::size_t>(buffer.bytesused, mapping.length());
            if (!convertToBgra(fourcc_, mapping.data(), used, width_, height_, bytesPerLine_,
                               *frame, &unscaled_)) {
                frame.reset();
            }
        }
        delegate->captureOutput(frame, MediaTime::fromNanos(timestampNanos(buffer, clock_)));
    }

    // A runtime error: the device is let go and the delegate told once.
    void fail(const Error& error) {
        busyTimer_.reset();
        release();
        fd_.reset();
        running.store(false);
        if (auto delegate = delegate_.lock()) {
            delegate->sessionRuntimeError(error);
        }
    }

    // Stops streaming and gives the buffers back; the device stays open.
    void release() {
        watch_.reset();
        if (streaming_ && fd_.valid()) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(system_, fd_.get(), VIDIOC_STREAMOFF, &type);
        }
        streaming_ = false;
        mappings_.clear();
        if (buffersRequested_ && fd_.valid()) {
            v4l2_requestbuffers none{};
            none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            none.memory = V4L2_MEMORY_MMAP;
            xioctl(system_, fd_.get(), VIDIOC_REQBUFS, &none);
        }
        buffersRequested_ = false;
    }

    V4l2System& system_;
    Executor& capture_;
    const HostClock& clock_;
    Log log_;
    std::weak_ptr<CaptureDelegate> delegate_;
    std::string path_;
    CaptureSettings settings_;
    std::uint32_t fourcc_;
    V4l2Fd fd_;
    std::chrono::milliseconds busyRetry_;
    std::uint32_t bufferCount_;
    std::shared_ptr<CaptureFramePool> pool_;
    std::vector<V4l2Mapping> mappings_;
    std::vector<v4l2_buffer> filled_;  // reused by onReadable()
    std::shared_ptr<std::atomic<std::uint64_t>> lateDrops_;
    PixelBufferRef unscaled_;  // a frame of the camera's size before it is scaled; capture queue
    Handle watch_;
    Handle busyTimer_;
    FrameRateLimiter limiter_;
    int width_ = 0;
    int height_ = 0;
    int bytesPerLine_ = 0;
    double deviceRate_ = 0.0;
    bool streaming_ = false;
    bool buffersRequested_ = false;

  public:
    // Capture queue: everything let go, the device closed.
    void close() {
        busyTimer_.reset();
        release();
        fd_.reset();
        running.store(false);
    }
};

V4l2Backend::V4l2Backend(V4l2System& system, Executor& capture, const HostClock& clock,
                         Options options)
    : system_(system),
      capture_(capture),
      clock_(clock),
      options_(std::move(options)),
      log_(std::string(kAppLogSubsystem), "Webcam") {}

V4l2Backend::~V4l2Backend() {
    unconfigure();
}

std::vector<CaptureDevice> V4l2Backend::devices() {
    std::vector<CaptureDevice> found;
    for (const auto& path : system_.videoNodes(options_.devRoot)) {
        if (!options_.onlyNode.empty() && path != options_.onlyNode) {
            continue;
        }
        const int fd = system_.open(path, kOpenFlags);
        if (fd < 0) {
            continue;  // not ours to use (no access) or gone meanwhile
        }
        V4l2Fd node(system_, fd);
        v4l2_capability caps{};
        if (xioctl(system_, node.get(), VIDIOC_QUERYCAP, &caps) < 0 || !capturesVideo(caps)) {
            continue;  // metadata and output nodes
        }
        const auto removable = system_.readTextFile(options_.sysRoot + "/class/video4linux/" +
                                                    nodeName(path) + "/device/../removable");
        const auto kind = removable && *removable == "fixed" ? CaptureDeviceKind::builtIn
                                                             : CaptureDeviceKind::external;
        found.push_back(CaptureDevice{path, cardName(caps), kind});
    }
    return found;
}

std::optional<CaptureDevice> V4l2Backend::defaultDevice() {
    auto all = devices();
    if (all.empty()) {
        return std::nullopt;
    }
    return all.front();
}

void V4l2Backend::setDelegate(std::weak_ptr<CaptureDelegate> delegate) {
    delegate_ = std::move(delegate);
}

std::optional<CaptureConfigureError> V4l2Backend::configure(const CaptureDevice& device,
                                                            const CaptureSettings& settings) {
    using Kind = CaptureConfigureError::Kind;
    if (session_) {
        return CaptureConfigureError{Kind::inputRefused, {}};
    }
    V4l2Fd fd;
    std::uint32_t fourcc = 0;
    const int opened = system_.open(device.id, kOpenFlags);
    if (opened >= 0) {
        fd = V4l2Fd(system_, opened);
        v4l2_capability caps{};
        if (int result = xioctl(system_, fd.get(), VIDIOC_QUERYCAP, &caps); result < 0) {
            return CaptureConfigureError{Kind::platform,
                                         systemError(device.id, "VIDIOC_QUERYCAP", -result)};
        }
        if (!capturesVideo(caps)) {
            return CaptureConfigureError{Kind::inputRefused, {}};
        }
        fourcc = probeFormat(system_, fd.get(), settings).value_or(0);
        if (fourcc == 0) {
            return CaptureConfigureError{Kind::outputRefused, {}};
        }
    } else if (opened != -EBUSY) {
        return CaptureConfigureError{Kind::platform, systemError(device.id, "open", -opened)};
    }
    // A busy device is attached all the same: starting it reports the interruption.
    session_ = std::make_shared<Session>(system_, capture_, clock_, log_, delegate_, device.id,
                                         settings, fourcc, std::move(fd), options_, lateDrops_);
    return std::nullopt;
}

void V4l2Backend::unconfigure() {
    if (!session_) {
        return;
    }
    session_->detached.store(true);
    session_->running.store(false);
    capture_.post([session = std::move(session_)] { session->close(); });
    session_.reset();
}

void V4l2Backend::startRunning(std::function<void(bool running)> done) {
    if (!session_) {
        capture_.post([done = std::move(done)] { done(false); });
        return;
    }
    capture_.post([session = session_, done = std::move(done)] { session->start(done); });
}

void V4l2Backend::stopRunning() {
    if (!session_) {
        return;
    }
    session_->running.store(false);
    capture_.post([session = session_] { session->stop(); });
}

bool V4l2Backend::isRunning() const {
    return session_ && session_->running.load();
}

std::uint64_t V4l2Backend::lateFrameDrops() const {
    return lateDrops_->load();
}

}  // namespace kestrel
