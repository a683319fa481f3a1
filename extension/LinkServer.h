#pragma once

// The provider side of the camera link: the stand-in for the CoreMediaIO extension framework.
// It publishes the device of a VirtualCameraDevice on a Unix socket in the link folder, answers
// the object tree and properties, serves stream start and stop with client authorisation, hands
// out the shared-memory queues, feeds consumed sink frames to the relay (SinkStreamPort) and
// sends the source stream to every camera-link reader (a FrameOutput of the SourceFanout).
//
// Thread affinity: sockets, peers and requests belong to the main executor; the sink port and the
// reader output are called on the consume queue. The two meet only through posted tasks and the
// per-slot atomics of reader queues. Peers that send anything invalid are disconnected and
// logged; a peer's departure counts as a stop of every stream it started.

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "extension/FrameOutputs.h"
#include "extension/VirtualCameraDevice.h"
#include "platform/link/Transport.h"
#include "platform/link/Wire.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"

namespace kestrel::camera {

// Object ids of the published tree.
namespace objects {
inline constexpr link::ObjectId system = link::kSystemObject;
inline constexpr link::ObjectId provider = 2;
inline constexpr link::ObjectId device = 3;
inline constexpr link::ObjectId sourceStream = 4;
inline constexpr link::ObjectId sinkStream = 5;
}  // namespace objects

// Slots of the queues the server hands out: the sink queue a client fills, and each reader's.
inline constexpr std::uint32_t kSinkQueueSlots = 4;
inline constexpr std::uint32_t kReaderQueueSlots = 3;
// One slot holds a 1920x1080 BGRA frame (8,294,400 bytes, a whole number of pages).
inline constexpr std::uint64_t kSlotBytes =
    static_cast<std::uint64_t>(CameraIPC::frameWidth) * CameraIPC::frameHeight * 4;
static_assert(kSlotBytes % 4096 == 0);

class LinkServer final : public SinkStreamPort {
  public:
    LinkServer(Executor& main, Executor& consumeQueue, std::shared_ptr<VirtualCameraDevice> device);
    ~LinkServer() override;
    LinkServer(const LinkServer&) = delete;
    LinkServer& operator=(const LinkServer&) = delete;

    // Binds `folder`/dev.corvid.kestrel.camera.sock and starts accepting. A socket file whose
    // provider is gone is replaced; one with a live provider is left alone (failure). The error
    // text says why it failed.
    bool listen(const std::filesystem::path& folder, std::string* error = nullptr);
    const std::filesystem::path& socketPath() const { return socketPath_; }

    // The output that sends the source stream to camera-link readers; add it to the fan-out.
    std::shared_ptr<FrameOutput> readerOutput() const;

    // SinkStreamPort (consume queue).
    std::int64_t streamingClientCount() override;
    void consumeSampleBuffer(const Client& client, ConsumeCompletion done) override;
    void notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t hostTimeNanos) override;
    bool watchQueuedFrames(std::function<void()> handler) override;

    // Main thread: peers connected now, and peers refused or disconnected for invalid input.
    std::size_t peerCount() const { return peers_.size(); }
    std::uint64_t refusedPeers() const { return refusedPeers_; }
    std::uint64_t invalidPeers() const { return invalidPeers_; }

    // The listen descriptor and the peer-user check, for tests that need another uid.
    void setExpectedUidForTesting(std::uint32_t uid) { expectedUid_ = uid; }

    class ReaderOutput;
    struct Peer;
    struct PendingFrame;

  private:
    void accept();
    void onPeerEvents(const std::shared_ptr<Peer>& peer);
    void handle(const std::shared_ptr<Peer>& peer, const link::Message& message);
    void reply(const std::shared_ptr<Peer>& peer, std::uint32_t requestId, link::Status status,
               std::optional<link::PropertyValue> value = std::nullopt);
    // Takes its own reference: a caller may pass the one held by `peers_`, which this erases.
    void disconnect(std::shared_ptr<Peer> peer, const char* why, bool invalid);
    void streamsStoppedBy(const std::shared_ptr<Peer>& peer);
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             link::PropertyValue& value);
    std::optional<std::vector<std::uint32_t>> availableProperties(link::ObjectId object);
    void startStream(const std::shared_ptr<Peer>& peer, const link::Message& message,
                     const link::StartStream& start);
    void stopStream(const std::shared_ptr<Peer>& peer, const link::Message& message,
                    const link::StopStream& stop);
    void copyBufferQueue(const std::shared_ptr<Peer>& peer, const link::Message& message,
                         const link::CopyBufferQueue& request);
    void enqueue(const std::shared_ptr<Peer>& peer, const link::Enqueue& request);

    Executor& main_;
    Executor& consumeQueue_;
    std::shared_ptr<VirtualCameraDevice> device_;
    std::filesystem::path socketPath_;
    UniqueFd listenFd_;
    Handle listenWatch_;
    std::uint32_t expectedUid_;
    std::map<std::uint64_t, std::shared_ptr<Peer>> peers_;
    std::uint64_t nextPeerId_ = 1;
    std::optional<std::uint64_t> sinkStarter_;  // the peer whose sink start is in force
    std::atomic<std::int64_t> sinkStreamingClients_{0};
    std::uint64_t refusedPeers_ = 0;
    std::uint64_t invalidPeers_ = 0;

    // Consume-queue state: frames enqueued per client, frames consumed and not yet acknowledged.
    // Tasks posted to the consume queue hold it by shared ownership, so none of them can touch
    // a server that is being destroyed.
    struct ConsumeSide {
        std::map<std::uint64_t, std::deque<std::shared_ptr<PendingFrame>>> pending;
        std::map<std::uint64_t, std::shared_ptr<PendingFrame>> inFlight;
        std::uint64_t nextSequence = 1;
        std::shared_ptr<ReaderOutput> readers;
        std::function<void()> frameQueued;
    };
    std::shared_ptr<ConsumeSide> consumeSide_;

    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::camera
