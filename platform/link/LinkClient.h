#pragma once

// The client side of the camera link: what the application's virtual-camera sink and
// tools need from the camera daemon, in the shape of CoreMediaIO's legacy hardware interface.
// Every operation returns a status with CoreMediaIO's meaning (0 success, anything else failure).
//
// Thread affinity: a LinkClient and everything it hands out belong to the thread of the executor
// it was made with; listeners, queue callbacks and frames are delivered there. Calls wait for the
// provider's answer for at most the reply timeout, never longer, so a client that serves the
// application's main thread lives on a thread of its own. A provider that leaves a call
// unanswered is not connected to again before a back-off (kFirstBackoff, doubling up to
// kMaxBackoff) has passed, and only its first timeout in a row is logged.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/link/Transport.h"
#include "platform/link/Wire.h"
#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/Log.h"

namespace kestrel::link {

class ProviderConnection;

// The shared-memory queue of a sink stream: a ring of fixed slots. `enqueue` copies one frame into
// a free slot and tells the provider; the provider's acknowledgement frees the slot again.
class SinkQueue {
  public:
    ~SinkQueue();
    SinkQueue(const SinkQueue&) = delete;
    SinkQueue& operator=(const SinkQueue&) = delete;

    // Slots holding a frame the provider has not acknowledged yet.
    std::int32_t count() const;
    // Slots in all.
    std::int32_t capacity() const;
    // Copies `frame` into a free slot, stamped with `presentationTime` (host time) and `duration`.
    // status::queueFull when no slot is free, status::badPropertySize when the frame does not fit
    // a slot, status::disconnected when the provider is gone.
    Status enqueue(const PixelBuffer& frame, MediaTime presentationTime, MediaTime duration);
    // The same for raw BGRA rows.
    Status enqueue(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                   std::uint32_t stride, MediaTime presentationTime, MediaTime duration);

    // Writes frames with even sides as 'y420' from now on, converted on the way into the slot,
    // for a provider whose sink stream lists that format; BGRA (the default) otherwise.
    void setPixelFormat(std::uint32_t pixelFormat) { pixelFormat_ = pixelFormat; }

    // Frames enqueued and acknowledged so far.
    std::uint64_t acknowledged() const { return acknowledged_; }

  private:
    friend class LinkClient;
    friend class ProviderConnection;
    struct Private {};

  public:
    SinkQueue(Private, std::weak_ptr<ProviderConnection> connection, SlotMemory memory,
              std::function<void()> altered);

  private:
    // A ScheduledOutput from the provider; false when it names no frame of ours.
    bool acknowledge(const ScheduledOutput& output);

    std::weak_ptr<ProviderConnection> connection_;
    SlotMemory memory_;
    std::function<void()> altered_;
    std::vector<std::uint64_t> slotSequence_;  // 0: free
    std::uint64_t nextSequence_ = 1;
    std::uint64_t acknowledged_ = 0;
    std::uint32_t pixelFormat_ = kBGRA;
};

// A frame as a source-stream reader sees it; the pixels are valid during the callback only.
struct SourceFrame {
    const std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint64_t hostTimeNanos = 0;
    MediaTime presentationTime;
    std::uint64_t sequence = 0;
};
using SourceFrameHandler = std::function<void(const SourceFrame&)>;

// Receives the frames of a source stream until released (which stops the stream).
class SourceReader {
  public:
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

  private:
    friend class LinkClient;
    friend class ProviderConnection;
    struct Private {};

  public:
    SourceReader(Private, std::shared_ptr<ProviderConnection> connection, ObjectId remoteDevice,
                 ObjectId remoteStream, SlotMemory memory, SourceFrameHandler onFrame);

  private:
    // A Frame from the provider; false when it does not fit the reader's queue.
    bool deliver(const Frame& frame);

    std::shared_ptr<ProviderConnection> connection_;  // a connection of the reader's own
    ObjectId remoteDevice_;
    ObjectId remoteStream_;
    SlotMemory memory_;
    SourceFrameHandler onFrame_;
    std::uint64_t lastSequence_ = 0;
};

class LinkClient {
  public:
    explicit LinkClient(Executor& executor,
                        std::chrono::milliseconds replyTimeout = std::chrono::milliseconds(1000),
                        const HostClock& clock = systemHostClock());
    ~LinkClient();
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;

    // Object properties (the system object is kSystemObject). The typed forms fail with
    // status::badPropertySize when the value has another type.
    Status getProperty(ObjectId object, std::uint32_t selector, PropertyValue& value);
    Status getProperty(ObjectId object, std::uint32_t selector, std::string& value);
    Status getProperty(ObjectId object, std::uint32_t selector, std::uint32_t& value);
    Status getProperty(ObjectId object, std::uint32_t selector, std::vector<std::uint32_t>& value);
    Status setProperty(ObjectId object, std::uint32_t selector, const PropertyValue& value);
    Status availableProperties(ObjectId object, std::vector<std::uint32_t>& selectors);

    // Calls `listener` on the executor whenever the device list may have changed: a provider
    // socket appeared or went away, or a provider hung up. The handle removes the listener.
    Status addDevicesListener(std::function<void()> listener, Handle& registration);

    // The sink stream's queue; `altered` runs on the executor whenever a slot was freed.
    Status copyBufferQueue(ObjectId stream, std::function<void()> altered,
                           std::shared_ptr<SinkQueue>& queue);
    Status startStream(ObjectId device, ObjectId stream);
    Status stopStream(ObjectId device, ObjectId stream);

    // Opens and starts a source stream; frames arrive on the executor until the reader goes.
    Status openSourceReader(ObjectId device, ObjectId stream, SourceFrameHandler onFrame,
                            std::unique_ptr<SourceReader>& reader);

    // Where provider sockets are looked for; by default linkFolder().
    void setFolderForTesting(std::filesystem::path folder);

    static constexpr std::chrono::nanoseconds kFirstBackoff = std::chrono::milliseconds(200);
    static constexpr std::chrono::nanoseconds kMaxBackoff = std::chrono::milliseconds(500);

  private:
    struct Remote {
        std::shared_ptr<ProviderConnection> connection;
        ObjectId remoteId;
    };
    void refreshProviders();
    void dropDeadProviders();
    std::optional<Remote> resolve(ObjectId local);
    ObjectId localIdFor(const std::shared_ptr<ProviderConnection>& connection, ObjectId remote);
    PropertyValue mapIdsToLocal(const std::shared_ptr<ProviderConnection>& connection,
                                std::uint32_t selector, PropertyValue value);
    void notifyDevicesChanged();
    bool startWatchingFolder();

    // A provider whose last connections went unanswered.
    struct Unanswered {
        int timeouts = 0;
        std::chrono::nanoseconds delay{0};
        std::uint64_t retryAt = 0;  // host clock
    };

    Executor& executor_;
    std::chrono::milliseconds replyTimeout_;
    const HostClock& clock_;
    std::map<std::filesystem::path, Unanswered> unanswered_;
    std::optional<std::filesystem::path> folder_;
    Log log_{std::string(kAppLogSubsystem), "CameraLink"};
    std::map<std::filesystem::path, std::shared_ptr<ProviderConnection>> providers_;
    std::map<ObjectId, Remote> objects_;
    ObjectId nextLocalId_ = kSystemObject + 1;
    UniqueFd inotify_;
    Handle inotifyWatch_;
    std::shared_ptr<std::map<std::uint64_t, std::function<void()>>> listeners_ =
        std::make_shared<std::map<std::uint64_t, std::function<void()>>>();
    std::uint64_t nextListenerId_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::link
