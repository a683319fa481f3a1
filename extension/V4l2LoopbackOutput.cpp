#include "extension/V4l2LoopbackOutput.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

#include "platform/media/PixelBuffer.h"

namespace kestrel::camera {

namespace {

constexpr Nanos kWriteInterval{33'333'333};  // 30 per second, as the format says

std::string cardOf(const v4l2_capability& cap) {
    const auto* card = reinterpret_cast<const char*>(cap.card);
    return std::string(card, strnlen(card, sizeof cap.card));
}

// A YUYV 1920x1080 frame is 3840 bytes a row: exactly the rows of a 960-pixel BGRA buffer, so the
// frames handed to the writer come from a pixel-buffer pool of that size.
PixelBufferPoolRef yuyvPool() {
    static const PixelBufferPoolRef pool =
        PixelBufferPool::create(static_cast<int>(V4l2LoopbackOutput::kBytesPerLine / 4),
                                static_cast<int>(V4l2LoopbackOutput::kHeight));
    return pool;
}

}  // namespace

V4l2LoopbackOutput::V4l2LoopbackOutput(V4l2Device& device, Executor& writer, Executor& main,
                                       SourceStreamSource& sourceStream,
                                       std::shared_ptr<OutputConverter> converter)
    : device_(device),
      writer_(writer),
      main_(main),
      client_(sourceStream),
      converter_(std::move(converter)) {}

V4l2LoopbackOutput::~V4l2LoopbackOutput() {
    *alive_ = false;
    close();
}

void V4l2LoopbackOutput::close() {
    rescanTimer_.reset();
    closeDevice();
}

void V4l2LoopbackOutput::closeDevice() {
    open_.store(false);
    timer_.reset();
    if (fd_ >= 0) {
        device_.close(fd_);
        fd_ = -1;
    }
}

bool V4l2LoopbackOutput::open() {
    if (openFirst(device_.listDevices())) {
        return true;
    }
    providerLog().info(
        "no v4l2loopback device with card label \"Kestrel\" (modprobe v4l2loopback "
        "card_label=Kestrel exclusive_caps=1 creates one)");
    keepLooking();
    return false;
}

void V4l2LoopbackOutput::keepLooking() {
    if (rescanTimer_) {
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    rescanTimer_ = writer_.startTimer(kRescanInterval, [this, alive] {
        if (alive.lock()) {
            rescan();
        }
    });
}

void V4l2LoopbackOutput::rescan() {
    std::vector<std::string> devices = device_.listDevices();
    // Opening every video node again and again would disturb real cameras: only a changed list,
    // or one more try after a failure, is worth it.
    if (devices == scanned_ && !retrySameDevices_) {
        return;
    }
    retrySameDevices_ = false;
    if (openFirst(devices)) {
        rescanTimer_.reset();
    }
}

bool V4l2LoopbackOutput::openFirst(const std::vector<std::string>& devices) {
    scanned_ = devices;
    for (const std::string& path : devices) {
        const int fd = device_.open(path, O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        v4l2_capability cap{};
        if (device_.ioctl(fd, VIDIOC_QUERYCAP, &cap) != 0) {
            device_.close(fd);
            continue;
        }
        const std::uint32_t caps =
            (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
        if (cardOf(cap) != kLoopbackCardLabel || (caps & V4L2_CAP_VIDEO_OUTPUT) == 0) {
            device_.close(fd);
            continue;
        }
        path_ = path;
        if (!setUp(fd)) {
            device_.close(fd);
            path_.clear();
            continue;
        }
        fd_ = fd;
        // Black until the first frame comes: Y 16, U and V 128.
        if (!black_) {
            auto black =
                PixelBuffer::create(static_cast<int>(kBytesPerLine / 4), static_cast<int>(kHeight));
            if (!black) {
                closeDevice();
                return false;
            }
            for (std::uint32_t i = 0; i < kFrameBytes; i += 2) {
                black->data()[i] = 16;
                black->data()[i + 1] = 128;
            }
            black_ = std::move(black);
        }
        latest_ = black_;
        reading_ = false;
        v4l2_event_subscription subscription{};
        subscription.type = kV4l2EventClientUsage;
        subscription.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
        usageEvents_ = device_.ioctl(fd_, VIDIOC_SUBSCRIBE_EVENT, &subscription) == 0;
        providerLog().info("v4l2loopback output: %{public}@ (YUYV %ux%u, readers from %{public}@)",
                           path_, kWidth, kHeight,
                           usageEvents_ ? "client-usage events" : "always read");
        if (!usageEvents_) {
            setReaders(true);
        }
        open_.store(true);
        std::weak_ptr<bool> alive = alive_;
        auto run = [this, alive] {
            if (alive.lock()) {
                tick();
            }
        };
        writer_.post(run);
        timer_ = writer_.startTimer(kWriteInterval, run);
        return true;
    }
    return false;
}

bool V4l2LoopbackOutput::setUp(int fd) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = kWidth;
    format.fmt.pix.height = kHeight;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = kBytesPerLine;
    format.fmt.pix.sizeimage = kFrameBytes;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    if (device_.ioctl(fd, VIDIOC_S_FMT, &format) != 0) {
        providerLog().error("v4l2loopback %{public}@: VIDIOC_S_FMT failed: %{public}@", path_,
                            std::string(std::strerror(errno)));
        return false;
    }
    if (format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV || format.fmt.pix.width != kWidth ||
        format.fmt.pix.height != kHeight) {
        providerLog().error("v4l2loopback %{public}@ refused YUYV %ux%u", path_, kWidth, kHeight);
        return false;
    }
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = 1;
    parm.parm.output.timeperframe.denominator = 30;
    device_.ioctl(fd, VIDIOC_S_PARM, &parm);  // a module that ignores it still works
    return true;
}

void V4l2LoopbackOutput::tick() {
    if (fd_ < 0 || !latest_) {
        return;
    }
    checkEvents();
    const ssize_t wrote = device_.write(fd_, latest_->data(), kFrameBytes);
    if (wrote == static_cast<ssize_t>(kFrameBytes)) {
        ++written_;
        return;
    }
    if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
        fail("write", errno);
        return;
    }
    ++dropped_;  // the device is busy: this write is skipped, the next tick tries again
}

void V4l2LoopbackOutput::checkEvents() {
    if (!usageEvents_) {
        return;
    }
    pollfd p{fd_, POLLPRI, 0};
    if (device_.poll(&p, 1, 0) <= 0 || (p.revents & POLLPRI) == 0) {
        return;
    }
    v4l2_event event{};
    while (device_.ioctl(fd_, VIDIOC_DQEVENT, &event) == 0) {
        if (event.type == kV4l2EventClientUsage) {
            std::uint32_t count = 0;
            std::memcpy(&count, event.u.data, sizeof count);
            setReaders(count > 0);
        }
        event = v4l2_event{};
    }
}

void V4l2LoopbackOutput::setReaders(bool reading) {
    reading_ = reading;
    if (!reading) {
        latest_ = black_;  // the next reader starts from black, never from an old frame
    }
    std::weak_ptr<bool> alive = alive_;
    main_.post([this, alive, reading] {
        if (!alive.lock()) {
            return;
        }
        client_.setReading(reading);
    });
}

void V4l2LoopbackOutput::fail(const char* what, int error) {
    providerLog().error("v4l2loopback %{public}@: %{public}@ failed: %{public}@ — output closed",
                        path_, what, std::string(std::strerror(error)));
    setReaders(false);
    closeDevice();
    retrySameDevices_ = true;
    keepLooking();
}

void V4l2LoopbackOutput::send(const SampleBuffer& buffer, std::uint64_t /*hostTimeNanos*/) {
    // Nobody reads: the device gets black from the writer and the frame needs no conversion.
    if (!open_.load() || !reading_.load() || buffer.pixels == nullptr) {
        return;
    }
    auto frame = yuyvPool()->acquire();
    if (!frame) {
        return;
    }
    const MutableImage out{frame->data(), kWidth, kHeight, kBytesPerLine};
    if (!converter_->convert(imageOf(buffer), OutputConverter::Format::yuy2, out,
                             buffer.contentId)) {
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    std::shared_ptr<const PixelBuffer> handed = std::move(frame);
    writer_.post([this, alive, handed] {
        if (alive.lock() && reading_ && open_.load()) {
            latest_ = handed;
        }
    });
}

}  // namespace kestrel::camera
