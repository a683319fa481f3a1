#pragma once

// The application's end of the frame path into the camera daemon. It finds the "Kestrel" device
// on the camera link, picks the device's sink-direction stream, obtains that stream's queue,
// starts the stream, and then hands every output frame of the engine to the queue. It heals
// itself: a device-list change, a frame dropped while disconnected, and a queue that stays full
// for more than 1.5 s each lead to a new connection attempt.
//
// Thread affinity: everything runs on the executor's thread (in the application the camera link's
// own thread, behind a LinkThreadSink); the device-list listener and queue notifications are
// delivered there too.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "app/engine/FramePorts.h"
#include "app/link/CameraLinkPort.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/Log.h"

namespace kestrel {

class VirtualCameraSink;

// A device named "Kestrel" as discovery found it.
struct CandidateDevice {
    std::uint32_t deviceID = 0;
    std::vector<std::uint32_t> streams;
};

class VirtualCameraSink final : public FrameSink {
  public:
    // `link`, `executor` and the clocks must outlive the sink. The host clock stamps frames and
    // times the stuck window and the not-found throttle.
    VirtualCameraSink(CameraLinkPort& link, Executor& executor, const HostClock& hostClock);
    ~VirtualCameraSink() override;
    VirtualCameraSink(const VirtualCameraSink&) = delete;
    VirtualCameraSink& operator=(const VirtualCameraSink&) = delete;

    // FrameSink.
    bool connected() const override { return connected_; }
    void connect() override { tryConnect(); }
    void enqueue(const PixelBufferRef& frame) override;

    // True when the sink is (now or already) connected.
    bool tryConnect();
    // Stops the sink stream when connected and forgets the queue; the next frame or connect()
    // starts over with discovery. Used by the bridge's reconnect.
    void disconnect();

    std::uint32_t deviceID() const { return deviceID_; }
    std::uint32_t sinkStreamID() const { return sinkStreamID_; }
    bool hasQueue() const { return sinkQueue_ != nullptr; }
    std::int64_t enqueueCount() const { return enqueueCount_; }
    std::int64_t dropCount() const { return dropCount_; }
    std::int64_t enqueueErrCount() const { return enqueueErrCount_; }
    std::size_t formatCacheSize() const { return formatCache_.size(); }

    static constexpr std::string_view kDeviceName = "Kestrel";
    // A queue full for longer than this is stuck: the daemon stopped consuming.
    static constexpr std::chrono::nanoseconds kStuckWindow = std::chrono::milliseconds(1500);
    // The not-found line repeats at frame rate otherwise; once per this window is enough.
    static constexpr std::chrono::nanoseconds kNotFoundLogWindow = std::chrono::seconds(5);

  private:
    std::vector<CandidateDevice> findCandidateDevices(std::string_view name);
    void installDevicesListener();
    std::shared_ptr<SinkQueuePort> copySinkQueue(std::uint32_t stream);
    // Whether frames of this size can go to the queue; a new size is logged once.
    bool acceptFormat(const PixelBuffer& frame);
    std::weak_ptr<VirtualCameraSink> weakSelf() const;

    CameraLinkPort& link_;
    Executor& executor_;
    const HostClock& hostClock_;
    Log log_{std::string(kAppLogSubsystem), "VirtualCameraSink"};

    std::uint32_t deviceID_ = 0;
    std::uint32_t sinkStreamID_ = 0;
    std::shared_ptr<SinkQueuePort> sinkQueue_;
    Handle devicesListener_;
    // Nothing: the distant past.
    std::optional<std::uint64_t> lastFailedLogAt_;
    std::set<std::uint64_t> formatCache_;  // width << 32 | height of every size seen
    bool connected_ = false;
    std::int64_t enqueueCount_ = 0;
    std::int64_t dropCount_ = 0;
    std::optional<std::uint64_t> stuckSinceFirstFull_;
    std::int64_t enqueueErrCount_ = 0;

    // Liveness token: weak references to the sink expire with it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// The sink as the main thread sees it. The VirtualCameraSink and with it every call on the camera
// link run on the link executor, so a daemon that does not answer holds up that thread and never
// the caller's. At most one frame waits for the link thread: a newer one replaces it, and the
// replaced one is counted. `connected()` is the state the link thread last reported.
class LinkThreadSink final : public FrameSink {
  public:
    // `link` is used on `linkExecutor` only; `link`, `linkExecutor` and `hostClock` must outlive
    // the link thread's last task of this sink.
    LinkThreadSink(CameraLinkPort& link, Executor& linkExecutor, const HostClock& hostClock);
    // The VirtualCameraSink goes on the link thread, after the tasks already queued there.
    ~LinkThreadSink() override;
    LinkThreadSink(const LinkThreadSink&) = delete;
    LinkThreadSink& operator=(const LinkThreadSink&) = delete;

    bool connected() const override;
    // One connection attempt on the link thread, unless one is already waiting there.
    void connect() override;
    void enqueue(const PixelBufferRef& frame) override;
    // Stops the stream when connected, forgets the queue and connects again, on the link thread.
    void reconnect();

    // Frames that a newer frame replaced before the link thread took them.
    std::int64_t replacedCount() const;

  private:
    struct Shared;
    Executor& linkExecutor_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace kestrel
