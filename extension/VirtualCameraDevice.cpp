#include "extension/VirtualCameraDevice.h"

#include <atomic>
#include <cstring>

namespace kestrel::camera {

namespace {

// Every 60th drained buffer, every 300th empty consume, every 30th skipped buffer is logged.
constexpr std::int64_t kDrainLogEvery = 60;
constexpr std::int64_t kEmptyLogEvery = 300;
constexpr std::int64_t kInvalidTimeLogEvery = 30;

}  // namespace

std::string_view toString(RelayState state) {
    switch (state) {
        case RelayState::idle:
            return "Idle";
        case RelayState::black:
            return "Black";
        case RelayState::relay:
            return "Relay";
        case RelayState::drainOnly:
            return "Drain only";
    }
    return "?";
}

VirtualCameraDevice::VirtualCameraDevice(Private, Executor& consumeQueue, const HostClock& clock)
    : consumeQueue_(consumeQueue), clock_(clock) {}

std::shared_ptr<VirtualCameraDevice> VirtualCameraDevice::create(Executor& consumeQueue,
                                                                 const HostClock& clock,
                                                                 std::string* fatal) {
    auto fail = [fatal](const char* why) -> std::shared_ptr<VirtualCameraDevice> {
        providerLog().error("device construction failed: %{public}@", why);
        if (fatal != nullptr) {
            *fatal = why;
        }
        return nullptr;
    };
    // 1. Relay state at its initial values; the consume queue is the caller's.
    auto device = std::make_shared<VirtualCameraDevice>(Private{}, consumeQueue, clock);
    // 2, 3. The one format: 1920x1080 'BGRA', frame duration 1/30 s at both bounds.
    device->formatDescription_ =
        VideoFormat{CameraIPC::pixelFormat, static_cast<std::int32_t>(CameraIPC::frameWidth),
                    static_cast<std::int32_t>(CameraIPC::frameHeight)};
    const StreamFormat format{device->formatDescription_, CameraIPC::frameDuration,
                              CameraIPC::frameDuration};
    // 4. The source stream has the one format; the sink also takes the same frames as 4:2:0
    //    planes, which spare the relay a conversion. No callbacks yet.
    device->sourceStreamSource_ =
        std::make_unique<SourceStreamSource>(std::vector<StreamFormat>{format});
    StreamFormat planar = format;
    planar.description.pixelFormat = link::kI420;
    device->sinkStreamSource_ =
        std::make_unique<SinkStreamSource>(std::vector<StreamFormat>{format, planar});
    // 5, 6. The device identifier: the first candidate that parses.
    auto deviceId = CameraIPC::deriveDeviceIdentifier();
    if (!deviceId) {
        return fail("no device identifier parses");
    }
    device->deviceIdentifier_ = *deviceId;
    // 7, 8. The stream identifiers.
    auto sourceId = Uuid::parse(CameraIPC::sourceStreamIdentifier);
    auto sinkId = Uuid::parse(CameraIPC::sinkStreamIdentifier);
    if (!sourceId || !sinkId) {
        return fail("a stream identifier does not parse");
    }
    device->sourceStreamIdentifier_ = *sourceId;
    device->sinkStreamIdentifier_ = *sinkId;
    // 9. The pool of black frames.
    device->blackPool_ = PixelBufferPool::create(static_cast<int>(CameraIPC::frameWidth),
                                                 static_cast<int>(CameraIPC::frameHeight));
    if (!device->blackPool_) {
        return fail("no black-frame pool");
    }
    // 12. The callbacks, each holding the device weakly.
    device->wireCallbacks();
    return device;
}

void VirtualCameraDevice::wireCallbacks() {
    std::weak_ptr<VirtualCameraDevice> weak = weak_from_this();
    Executor& queue = consumeQueue_;
    // Each hops to the consume queue, where the relay state lives.
    sourceStreamSource_->onStart = [weak, &queue] {
        queue.post([weak] {
            if (auto device = weak.lock()) {
                device->sourceStarted();
            }
        });
    };
    sourceStreamSource_->onStop = [weak, &queue] {
        queue.post([weak] {
            if (auto device = weak.lock()) {
                device->sourceStopped();
            }
        });
    };
    sinkStreamSource_->onStart = [weak, &queue](const Client& client) {
        queue.post([weak, client] {
            if (auto device = weak.lock()) {
                device->sinkStarted(client);
            }
        });
    };
    sinkStreamSource_->onStop = [weak, &queue] {
        queue.post([weak] {
            if (auto device = weak.lock()) {
                device->sinkStopped();
            }
        });
    };
}

void VirtualCameraDevice::attachStreams(SinkStreamPort* sink, SourceStreamPort* source) {
    sinkStream_ = sink;
    sourceStream_ = source;
    std::weak_ptr<VirtualCameraDevice> weak = weak_from_this();
    sinkWatched_ = sink != nullptr && sink->watchQueuedFrames([weak] {
        if (auto device = weak.lock()) {
            device->consumeTick();
        }
    });
}

void VirtualCameraDevice::shutdown() {
    consumeTimer_.reset();
    blackTimer_.reset();
    sinkStream_ = nullptr;
    sourceStream_ = nullptr;
}

RelayState VirtualCameraDevice::state() const {
    if (sinkActive_) {
        return sourceClients_ > 0 ? RelayState::relay : RelayState::drainOnly;
    }
    return sourceClients_ > 0 ? RelayState::black : RelayState::idle;
}

Handle VirtualCameraDevice::startTimerNow(Nanos interval, Nanos leeway,
                                          void (VirtualCameraDevice::*tick)()) {
    // `live` lets the first, posted run see a cancellation that comes before it.
    auto live = std::make_shared<std::atomic<bool>>(true);
    std::weak_ptr<VirtualCameraDevice> weak = weak_from_this();
    auto run = [weak, live, tick] {
        if (!live->load()) {
            return;
        }
        if (auto device = weak.lock()) {
            ((*device).*tick)();
        }
    };
    consumeQueue_.post(run);
    auto timer = std::make_shared<Handle>(consumeQueue_.startTimer(interval, run, leeway));
    return Handle([live, timer] {
        live->store(false);
        timer->reset();
    });
}

void VirtualCameraDevice::sourceStarted() {
    ++sourceClients_;
    providerLog().info("source stream client count -> %d", sourceClients_);
    startBlackIfNeeded();
}

void VirtualCameraDevice::sourceStopped() {
    sourceClients_ = sourceClients_ > 0 ? sourceClients_ - 1 : 0;
    providerLog().info("source stream client count -> %d", sourceClients_);
    if (sourceClients_ == 0) {
        // The consume timer is untouched: the sink keeps being drained with no one watching.
        blackTimer_.reset();
    }
}

void VirtualCameraDevice::sinkStarted(const Client& client) {
    sinkClient_ = client;
    sinkActive_ = true;
    blackTimer_.reset();
    providerLog().info("sink stream started — consume loop active");
    // A second start without a stop in between must not leave the earlier timer running: the
    // assignment releases (cancels) it before the new one is stored.
    consumeTimer_.reset();
    consumeTimer_ = startTimerNow(sinkWatched_ ? kConsumeBackstop : kConsumeInterval,
                                  kConsumeLeeway, &VirtualCameraDevice::consumeTick);
}

void VirtualCameraDevice::sinkStopped() {
    sinkActive_ = false;
    sinkClient_.reset();
    consumeTimer_.reset();
    providerLog().info("sink stream stopped");
    startBlackIfNeeded();
}

void VirtualCameraDevice::startBlackIfNeeded() {
    if (blackTimer_ || sourceClients_ <= 0 || sinkActive_) {
        return;
    }
    blackTimer_ = startTimerNow(kBlackInterval, Nanos{0}, &VirtualCameraDevice::blackTick);
    providerLog().info("black fallback started");
}

void VirtualCameraDevice::consumeTick() {
    if (!sinkActive_ || !sinkClient_ || sinkStream_ == nullptr) {
        return;
    }
    const std::int64_t clients = sinkStream_->streamingClientCount();
    if (clients != pumpLastClientsCount_) {
        providerLog().info("streaming clients changed: %d", clients);
        pumpLastClientsCount_ = clients;
    }
    std::weak_ptr<VirtualCameraDevice> weak = weak_from_this();
    Executor& queue = consumeQueue_;
    // A copy: the completion may run before the call returns and may stop the sink client.
    const Client client = *sinkClient_;
    sinkStream_->consumeSampleBuffer(client, [weak, &queue](ConsumeResult result) {
        // Completions may come from anywhere; the relay state is the consume queue's.
        if (queue.isCurrent()) {
            if (auto device = weak.lock()) {
                device->consumeCompleted(std::move(result));
            }
            return;
        }
        queue.post([weak, result = std::move(result)]() mutable {
            if (auto device = weak.lock()) {
                device->consumeCompleted(std::move(result));
            }
        });
    });
}

void VirtualCameraDevice::consumeCompleted(ConsumeResult result) {
    if (result.error) {
        providerLog().error("consumeSampleBuffer error: %{public}@", *result.error);
        return;
    }
    if (!result.buffer) {
        ++pumpEmptys_;
        if (pumpEmptys_ % kEmptyLogEvery == 0) {
            providerLog().info("pump empty count=%d drained=%d srcClients=%d clients=%d",
                               pumpEmptys_, pumpDrains_, sourceClients_, pumpLastClientsCount_);
        }
        return;
    }
    ++pumpDrains_;
    const std::uint64_t now = clock_.nowNanos();
    const auto frameHostTime = CameraIPC::hostTimeNanos(result.buffer->presentationTime);
    if (!frameHostTime) {
        // A time that cannot become a host time: the frame is skipped, but its slot is still
        // acknowledged so that the queue does not fill up, and the relay keeps running.
        ++invalidTimeSkips_;
        if (invalidTimeSkips_ % kInvalidTimeLogEvery == 1) {
            providerLog().error("consumed buffer with invalid time skipped count=%d",
                                invalidTimeSkips_);
        }
    } else if (sourceClients_ > 0 && sourceStream_ != nullptr) {
        sourceStream_->send(*result.buffer, *frameHostTime);
    }
    if (pumpDrains_ % kDrainLogEvery == 0) {
        providerLog().info("pump drain count=%d empty=%d srcClients=%d", pumpDrains_, pumpEmptys_,
                           sourceClients_);
    }
    if (sinkStream_ != nullptr) {
        sinkStream_->notifyScheduledOutputChanged(result.sequence, now);
    }
}

void VirtualCameraDevice::blackTick() {
    // design.md: filling a 1920x1080 frame costs 0.2 ms, so it is filled once and the same buffer
    // is sent at every tick (outputs copy what they send; nobody writes into it).
    if (!blackFrame_) {
        blackFrame_ = blackPool_->acquire();
        if (!blackFrame_) {
            return;  // no buffer: this tick is skipped
        }
        std::memset(blackFrame_->data(), 0, blackFrame_->byteSize());
    }
    if (sourceStream_ == nullptr) {
        return;
    }
    const std::uint64_t hostTime = clock_.nowNanos();
    SampleBuffer sample;
    sample.pixels = blackFrame_->data();
    sample.width = static_cast<std::uint32_t>(blackFrame_->width());
    sample.height = static_cast<std::uint32_t>(blackFrame_->height());
    sample.stride = static_cast<std::uint32_t>(blackFrame_->stride());
    sample.presentationTime = MediaTime::fromNanos(hostTime);
    sample.duration = CameraIPC::frameDuration;
    sample.contentId = kBlackContentId;
    sample.owner = blackFrame_;
    sourceStream_->send(sample, hostTime);
}

}  // namespace kestrel::camera
