#pragma once

// What the virtual-camera sink needs of the camera link, as a narrow seam: the object tree
// (device list, names, identifiers, streams, directions), the device-list listener, the sink
// stream's queue and stream start and stop. `LinkClientPort` is the real one over
// link::LinkClient; tests script a fake object tree behind the same interface.
//
// Statuses carry the camera link's meaning: 0 is success, anything else a failure.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/link/Wire.h"
#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

namespace link {
class LinkClient;
class SinkQueue;
}  // namespace link

// The bounded queue of a sink stream: one writer (the sink), one reader (the daemon).
class SinkQueuePort {
  public:
    virtual ~SinkQueuePort() = default;
    virtual std::int32_t count() const = 0;
    virtual std::int32_t capacity() const = 0;
    // Copies the frame into the queue without waiting; a non-zero status means it was not taken.
    virtual link::Status enqueue(const PixelBuffer& frame, MediaTime presentationTime,
                                 MediaTime duration) = 0;
};

class CameraLinkPort {
  public:
    virtual ~CameraLinkPort() = default;
    virtual link::Status setProperty(link::ObjectId object, std::uint32_t selector,
                                     std::uint32_t value) = 0;
    virtual link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                                     std::string& value) = 0;
    virtual link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                                     std::uint32_t& value) = 0;
    virtual link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                                     std::vector<std::uint32_t>& value) = 0;
    // `listener` runs on the caller's executor whenever the device list may have changed, until
    // `registration` is released.
    virtual link::Status addDevicesListener(std::function<void()> listener,
                                            Handle& registration) = 0;
    // `altered` runs on the caller's executor whenever the reader freed room in the queue.
    virtual link::Status copyBufferQueue(link::ObjectId stream, std::function<void()> altered,
                                         std::shared_ptr<SinkQueuePort>& queue) = 0;
    virtual link::Status startStream(link::ObjectId device, link::ObjectId stream) = 0;
    virtual link::Status stopStream(link::ObjectId device, link::ObjectId stream) = 0;
};

// The camera link client behind the seam. The client must outlive the port.
class LinkClientPort final : public CameraLinkPort {
  public:
    explicit LinkClientPort(link::LinkClient& client) : client_(client) {}

    link::Status setProperty(link::ObjectId object, std::uint32_t selector,
                             std::uint32_t value) override;
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             std::string& value) override;
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             std::uint32_t& value) override;
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             std::vector<std::uint32_t>& value) override;
    link::Status addDevicesListener(std::function<void()> listener, Handle& registration) override;
    link::Status copyBufferQueue(link::ObjectId stream, std::function<void()> altered,
                                 std::shared_ptr<SinkQueuePort>& queue) override;
    link::Status startStream(link::ObjectId device, link::ObjectId stream) override;
    link::Status stopStream(link::ObjectId device, link::ObjectId stream) override;

  private:
    link::LinkClient& client_;
};

// A camera link client on a thread of its own ("dev.corvid.kestrel.link"): a daemon that does not
// answer holds up that thread, never the application's main thread. `port()` is for use on
// `executor()` only. Destruction ends the client on its thread, after the tasks queued there.
class LinkClientThread {
  public:
    LinkClientThread();
    ~LinkClientThread();
    LinkClientThread(const LinkClientThread&) = delete;
    LinkClientThread& operator=(const LinkClientThread&) = delete;

    Executor& executor() { return *worker_; }
    CameraLinkPort& port() { return *port_; }

  private:
    std::unique_ptr<WorkerThread> worker_;
    std::unique_ptr<link::LinkClient> client_;
    std::unique_ptr<LinkClientPort> port_;
};

}  // namespace kestrel
