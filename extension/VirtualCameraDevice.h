#pragma once

// The virtual camera device and its stream relay: one device "Kestrel"
// with a source stream that readers open and a sink stream that the application fills. The relay
// polls the sink 90 times a second while the sink is started, sends what it takes on the source
// stream with the frame's own time, acknowledges each frame, and sends black 1920x1080 frames 30
// times a second while someone reads and the sink is not started.
//
// Thread affinity: the relay state and both timers belong to the consume queue
// ("dev.corvid.kestrel.consume"); the stream sources' callbacks hop there, so the handlers and
// consume completions all run on it. No lock guards the relay state.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "extension/CameraProvider.h"
#include "extension/StreamPorts.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "shared/CameraIPC.h"

namespace kestrel::camera {

// The consume timer: 90 per second, 2 ms leeway; the black timer: 30 per second. A sink that
// says when a frame is queued is consumed then, and polled only ten times a second in case.
inline constexpr Nanos kConsumeInterval{11'111'111};
inline constexpr Nanos kConsumeBackstop{100'000'000};
inline constexpr Nanos kConsumeLeeway{2'000'000};
inline constexpr Nanos kBlackInterval{33'333'333};
inline constexpr std::string_view kConsumeQueueLabel = "dev.corvid.kestrel.consume";
// The content id of the black filler frame (see SampleBuffer::contentId).
inline constexpr std::uint64_t kBlackContentId = 1;

// Which of the four relay states holds.
enum class RelayState { idle, black, relay, drainOnly };
std::string_view toString(RelayState state);

class VirtualCameraDevice : public std::enable_shared_from_this<VirtualCameraDevice> {
  public:
    // Builds the device in the order the provider expects. Nothing (and the reason in `fatal`) when
    // the format, an identifier or the black pool cannot be made: a start-up failure.
    static std::shared_ptr<VirtualCameraDevice> create(Executor& consumeQueue,
                                                       const HostClock& clock,
                                                       std::string* fatal = nullptr);

    // The framework's streams: where consumed frames come from and where frames go. Set once,
    // before any stream starts; the ports must outlive the device's timers.
    void attachStreams(SinkStreamPort* sink, SourceStreamPort* source);

    // Cancels both timers and forgets the streams; consume queue only, before the ports go.
    void shutdown();

    const Uuid& deviceIdentifier() const { return deviceIdentifier_; }
    const Uuid& sourceStreamIdentifier() const { return sourceStreamIdentifier_; }
    const Uuid& sinkStreamIdentifier() const { return sinkStreamIdentifier_; }
    const VideoFormat& formatDescription() const { return formatDescription_; }
    DeviceSource& deviceSource() { return deviceSource_; }
    SourceStreamSource& sourceStreamSource() { return *sourceStreamSource_; }
    SinkStreamSource& sinkStreamSource() { return *sinkStreamSource_; }

    // The relay handlers; consume queue only.
    void sourceStarted();
    void sourceStopped();
    void sinkStarted(const Client& client);
    void sinkStopped();

    // Relay state for tests and status lines; consume queue only.
    RelayState state() const;
    std::int64_t sourceClients() const { return sourceClients_; }
    bool sinkActive() const { return sinkActive_; }
    const std::optional<Client>& sinkClient() const { return sinkClient_; }
    bool consumeTimerRunning() const { return static_cast<bool>(consumeTimer_); }
    bool blackTimerRunning() const { return static_cast<bool>(blackTimer_); }
    std::int64_t pumpDrains() const { return pumpDrains_; }
    std::int64_t pumpEmptys() const { return pumpEmptys_; }
    std::int64_t pumpLastClientsCount() const { return pumpLastClientsCount_; }
    std::int64_t invalidTimeSkips() const { return invalidTimeSkips_; }

    struct Private {};
    VirtualCameraDevice(Private, Executor& consumeQueue, const HostClock& clock);

  private:
    void startBlackIfNeeded();
    void consumeTick();
    void consumeCompleted(ConsumeResult result);
    void blackTick();
    // A repeating timer on the consume queue whose first run is now.
    Handle startTimerNow(Nanos interval, Nanos leeway, void (VirtualCameraDevice::*tick)());
    void wireCallbacks();

    Executor& consumeQueue_;
    const HostClock& clock_;
    VideoFormat formatDescription_;
    Uuid deviceIdentifier_;
    Uuid sourceStreamIdentifier_;
    Uuid sinkStreamIdentifier_;
    DeviceSource deviceSource_;
    std::unique_ptr<SourceStreamSource> sourceStreamSource_;
    std::unique_ptr<SinkStreamSource> sinkStreamSource_;
    SinkStreamPort* sinkStream_ = nullptr;
    SourceStreamPort* sourceStream_ = nullptr;

    // Relay state.
    std::int64_t sourceClients_ = 0;
    bool sinkActive_ = false;
    std::optional<Client> sinkClient_;
    Handle consumeTimer_;
    bool sinkWatched_ = false;  // the sink says when frames are queued
    Handle blackTimer_;
    PixelBufferPoolRef blackPool_;
    PixelBufferRef blackFrame_;  // taken from the pool and cleared once, then sent every tick
    std::int64_t pumpDrains_ = 0;
    std::int64_t pumpEmptys_ = 0;
    std::int64_t pumpLastClientsCount_ = -1;
    std::int64_t invalidTimeSkips_ = 0;
};

}  // namespace kestrel::camera
