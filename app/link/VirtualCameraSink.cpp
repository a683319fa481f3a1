#include "app/link/VirtualCameraSink.h"

#include "shared/CameraIPC.h"

namespace kestrel {

namespace {

constexpr std::uint32_t kDirectionSink = static_cast<std::uint32_t>(StreamDirection::sink);
constexpr std::uint32_t kAllowScreenCaptureDevices = 1;

std::uint64_t formatKey(const PixelBuffer& frame) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(frame.width())) << 32U) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(frame.height()));
}

const char* yesNo(bool value) {
    return value ? "y" : "n";
}

}  // namespace

VirtualCameraSink::VirtualCameraSink(CameraLinkPort& link, Executor& executor,
                                     const HostClock& hostClock)
    : link_(link), executor_(executor), hostClock_(hostClock) {}

VirtualCameraSink::~VirtualCameraSink() {
    // Tasks and notifications still queued find no sink. The stream itself is left running: the
    // daemon notices the link going away.
    alive_.reset();
}

std::weak_ptr<VirtualCameraSink> VirtualCameraSink::weakSelf() const {
    return std::shared_ptr<VirtualCameraSink>(alive_, const_cast<VirtualCameraSink*>(this));
}

bool VirtualCameraSink::tryConnect() {
    if (connected_) {
        return true;
    }
    link_.setProperty(link::kSystemObject, link::property::allowScreenCapture,
                      kAllowScreenCaptureDevices);
    installDevicesListener();
    const std::vector<CandidateDevice> candidates = findCandidateDevices(kDeviceName);

    const CandidateDevice* chosen = nullptr;
    for (const CandidateDevice& candidate : candidates) {
        std::string uid;
        if (link_.getProperty(candidate.deviceID, link::property::deviceUID, uid) !=
            link::status::ok) {
            uid.clear();
        }
        if (uid == CameraIPC::deviceUID && candidate.streams.size() > 1) {
            chosen = &candidate;
            break;
        }
    }
    if (chosen == nullptr) {
        for (const CandidateDevice& candidate : candidates) {
            if (candidate.streams.size() >= 2) {
                chosen = &candidate;
                break;
            }
        }
    }
    if (chosen == nullptr) {
        const std::uint64_t now = hostClock_.nowNanos();
        const auto window = static_cast<std::uint64_t>(kNotFoundLogWindow.count());
        if (!lastFailedLogAt_ || now - *lastFailedLogAt_ > window) {
            lastFailedLogAt_ = now;
            log_.error(
                "no Kestrel device with sink found (%d candidates) — waiting for device-list "
                "change",
                static_cast<int>(candidates.size()));
        }
        return false;
    }
    deviceID_ = chosen->deviceID;

    std::optional<std::uint32_t> sinkStream;
    for (std::uint32_t stream : chosen->streams) {
        std::uint32_t direction = 0;
        if (link_.getProperty(stream, link::property::direction, direction) != link::status::ok) {
            direction = 0;  // an unreadable direction counts as the sink's
        }
        if (direction == kDirectionSink) {
            sinkStream = stream;
            break;
        }
    }
    if (!sinkStream) {
        log_.error("no sink-direction stream on device %u", deviceID_);
        return false;
    }
    sinkStreamID_ = *sinkStream;

    std::shared_ptr<SinkQueuePort> queue = copySinkQueue(sinkStreamID_);
    if (!queue) {
        log_.error("CMIOStreamCopyBufferQueue failed for sink stream");
        return false;
    }
    sinkQueue_ = std::move(queue);

    const link::Status started = link_.startStream(deviceID_, sinkStreamID_);
    if (started != link::status::ok) {
        log_.error("CMIODeviceStartStream failed: %d", started);
        return false;
    }
    connected_ = true;
    log_.info("sink stream connected: device=%u stream=%u", deviceID_, sinkStreamID_);
    return true;
}

void VirtualCameraSink::disconnect() {
    if (connected_) {
        link_.stopStream(deviceID_, sinkStreamID_);
        sinkQueue_.reset();
        connected_ = false;
    }
}

std::vector<CandidateDevice> VirtualCameraSink::findCandidateDevices(std::string_view name) {
    std::vector<CandidateDevice> found;
    std::vector<std::uint32_t> devices;
    if (link_.getProperty(link::kSystemObject, link::property::devices, devices) !=
        link::status::ok) {
        return found;
    }
    for (std::uint32_t device : devices) {
        std::string deviceName;
        if (link_.getProperty(device, link::property::name, deviceName) != link::status::ok ||
            deviceName != name) {
            continue;
        }
        CandidateDevice candidate;
        candidate.deviceID = device;
        if (link_.getProperty(device, link::property::streams, candidate.streams) !=
            link::status::ok) {
            candidate.streams.clear();
        }
        found.push_back(std::move(candidate));
    }
    return found;
}

void VirtualCameraSink::installDevicesListener() {
    if (devicesListener_) {
        return;
    }
    std::weak_ptr<VirtualCameraSink> weak = weakSelf();
    Executor& executor = executor_;
    const link::Status status = link_.addDevicesListener(
        [weak, &executor] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->log_.info("kCMIOHardwarePropertyDevices changed — retrying connect");
            executor.post([weak] {
                if (auto sink = weak.lock()) {
                    sink->tryConnect();
                }
            });
        },
        devicesListener_);
    if (status != link::status::ok) {
        log_.error("CMIOObjectAddPropertyListenerBlock failed: %d", status);
        devicesListener_.reset();
    }
}

std::shared_ptr<SinkQueuePort> VirtualCameraSink::copySinkQueue(std::uint32_t stream) {
    std::shared_ptr<SinkQueuePort> queue;
    // Nothing waits for the queue's notices: a full queue is seen at the next enqueue.
    const link::Status status = link_.copyBufferQueue(
        stream, [] {}, queue);
    if (status != link::status::ok || !queue) {
        return nullptr;
    }
    return queue;
}

bool VirtualCameraSink::acceptFormat(const PixelBuffer& frame) {
    const std::uint64_t key = formatKey(frame);
    if (formatCache_.contains(key)) {
        return true;
    }
    if (frame.width() <= 0 || frame.height() <= 0 ||
        static_cast<std::uint32_t>(frame.width()) > link::kMaxFrameDimension ||
        static_cast<std::uint32_t>(frame.height()) > link::kMaxFrameDimension) {
        return false;
    }
    formatCache_.insert(key);
    log_.info("format added: %dx%d", frame.width(), frame.height());
    return true;
}

// ---- LinkThreadSink

struct LinkThreadSink::Shared {
    Shared(CameraLinkPort& link, Executor& linkExecutor, const HostClock& hostClock)
        : sink(link, linkExecutor, hostClock) {}
    // Link thread only.
    void report() { connected.store(sink.connected()); }

    VirtualCameraSink sink;
    std::mutex mutex;
    PixelBufferRef waiting;    // guarded by mutex
    bool drainQueued = false;  // guarded by mutex
    std::atomic<bool> connectQueued{false};
    std::atomic<bool> connected{false};
    std::atomic<std::int64_t> replaced{0};
};

LinkThreadSink::LinkThreadSink(CameraLinkPort& link, Executor& linkExecutor,
                               const HostClock& hostClock)
    : linkExecutor_(linkExecutor),
      shared_(std::make_shared<Shared>(link, linkExecutor, hostClock)) {}

LinkThreadSink::~LinkThreadSink() {
    if (!linkExecutor_.isCurrent()) {
        linkExecutor_.post([last = std::move(shared_)]() mutable { last.reset(); });
    }
}

bool LinkThreadSink::connected() const {
    return shared_->connected.load();
}

std::int64_t LinkThreadSink::replacedCount() const {
    return shared_->replaced.load();
}

void LinkThreadSink::connect() {
    if (shared_->connectQueued.exchange(true)) {
        return;
    }
    linkExecutor_.post([shared = shared_] {
        shared->connectQueued.store(false);
        shared->sink.tryConnect();
        shared->report();
    });
}

void LinkThreadSink::enqueue(const PixelBufferRef& frame) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->waiting) {
            shared_->replaced.fetch_add(1);
        }
        shared_->waiting = frame;
        if (std::exchange(shared_->drainQueued, true)) {
            return;
        }
    }
    linkExecutor_.post([shared = shared_] {
        PixelBufferRef next;
        {
            std::lock_guard lock(shared->mutex);
            next = std::move(shared->waiting);
            shared->waiting = nullptr;
            shared->drainQueued = false;
        }
        if (!shared->sink.connected()) {
            // A drop: the frame goes back to its pool now, not after a connection attempt that
            // may wait for the daemon.
            next.reset();
        }
        shared->sink.enqueue(next);
        shared->report();
    });
}

void LinkThreadSink::reconnect() {
    linkExecutor_.post([shared = shared_] {
        shared->sink.disconnect();
        shared->sink.tryConnect();
        shared->report();
    });
}

// ---- VirtualCameraSink

void VirtualCameraSink::enqueue(const PixelBufferRef& frame) {
    if (!connected_ || !sinkQueue_) {
        ++dropCount_;
        if (dropCount_ % 30 == 0) {
            log_.info("enqueue drop: connected=%{public}@ queue=%{public}@", yesNo(connected_),
                      sinkQueue_ ? "ok" : "nil");
        }
        tryConnect();
        return;
    }

    const std::uint64_t now = hostClock_.nowNanos();
    if (sinkQueue_->count() >= sinkQueue_->capacity()) {
        if (!stuckSinceFirstFull_) {
            stuckSinceFirstFull_ = now;
            return;
        }
        if (now - *stuckSinceFirstFull_ <= static_cast<std::uint64_t>(kStuckWindow.count())) {
            return;
        }
        log_.info("sink queue stuck — reconnecting");
        disconnect();
        stuckSinceFirstFull_.reset();
        tryConnect();
        return;
    }

    stuckSinceFirstFull_.reset();
    if (!frame) {
        return;
    }
    ++enqueueCount_;
    if (enqueueCount_ % 60 == 0) {
        log_.info("enqueue ok count=%d memfd=%{public}@ size=%dx%d", enqueueCount_,
                  yesNo(frame->storage() == PixelStorage::sharedMemory), frame->width(),
                  frame->height());
    }
    if (!acceptFormat(*frame)) {
        return;
    }
    const link::Status status =
        sinkQueue_->enqueue(*frame, MediaTime::fromNanos(now), CameraIPC::frameDuration);
    if (status != link::status::ok) {
        ++enqueueErrCount_;
        if (enqueueErrCount_ % 30 == 0) {
            log_.error("CMSimpleQueueEnqueue rejected count=%d status=%d", enqueueErrCount_,
                       status);
        }
        if (status == link::status::disconnected) {
            // The daemon went away: its queue will never take a frame again, nor fill up, so
            // neither the stuck window nor the device-list listener (which finds the sink still
            // connected) would ever heal the link. Start over with discovery instead; there is no
            // stream left to stop.
            log_.info("sink queue lost its daemon — reconnecting");
            sinkQueue_.reset();
            connected_ = false;
            stuckSinceFirstFull_.reset();
            tryConnect();
        }
    }
}

}  // namespace kestrel
