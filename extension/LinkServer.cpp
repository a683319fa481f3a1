#include "extension/LinkServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <libyuv/convert_argb.h>

namespace kestrel::camera {

using namespace link;

namespace {

std::uint64_t slotBytesNeeded(std::uint32_t width, std::uint32_t height) {
    return static_cast<std::uint64_t>(slotStride(width)) * (height - 1) +
           static_cast<std::uint64_t>(width) * 4;
}

}  // namespace

// A frame a sink client put into its queue, waiting for the relay or consumed and waiting for
// its acknowledgement. Holds the queue's memory so the pixels stay mapped while in use.
struct LinkServer::PendingFrame {
    std::uint64_t peerId = 0;
    std::uint64_t generation = 0;
    SlotFrame frame;
    std::shared_ptr<SlotMemory> memory;
};

// A camera-link reader of the source stream: its queue, written on the consume queue and freed
// by the reader's FrameDone on the main thread, slot by slot through atomics.
struct ReaderQueue {
    std::uint64_t peerId = 0;
    std::shared_ptr<UniqueFd> socket;
    std::shared_ptr<SlotMemory> memory;
    std::unique_ptr<std::atomic<std::uint64_t>[]> slots;  // sequence held, 0 when free
    std::uint32_t slotCount = 0;
    // Consume queue: the content id each slot's pixels hold (0: unknown). The reader maps its
    // queue read-only, so a slot that already holds a repeated frame (black) is not copied again.
    std::vector<std::uint64_t> slotContent;
    std::uint64_t nextSequence = 1;
    std::uint64_t dropped = 0;
};

struct LinkServer::Peer {
    std::uint64_t id = 0;
    PeerCredentials credentials;
    std::shared_ptr<UniqueFd> socket;
    Handle watch;
    int sourceStarts = 0;
    bool sinkStarted = false;
    // The sink queue this peer fills (main thread).
    std::shared_ptr<SlotMemory> sinkMemory;
    std::vector<std::uint64_t> sinkSlotBusy;
    std::uint64_t lastSinkSequence = 0;
    std::uint64_t sinkGeneration = 0;
    std::shared_ptr<ReaderQueue> reader;
    Client client() const { return Client{id, credentials.pid}; }
};

class LinkServer::ReaderOutput final : public FrameOutput {
  public:
    // Consume queue only.
    void add(std::shared_ptr<ReaderQueue> reader) { readers_.push_back(std::move(reader)); }
    void remove(std::uint64_t peerId) {
        std::erase_if(readers_, [peerId](const auto& r) { return r->peerId == peerId; });
    }

    void send(const SampleBuffer& buffer, std::uint64_t hostTimeNanos) override {
        if (buffer.width == 0 || buffer.height == 0 || buffer.pixels == nullptr) {
            return;
        }
        for (const auto& reader : readers_) {
            if (slotBytesNeeded(buffer.width, buffer.height) > reader->memory->layout().slotBytes) {
                ++reader->dropped;
                continue;
            }
            std::uint32_t slot = 0;
            while (slot < reader->slotCount && reader->slots[slot].load() != 0) {
                ++slot;
            }
            if (slot == reader->slotCount) {
                ++reader->dropped;  // the reader still holds every slot: never wait for it
                continue;
            }
            SlotFrame frame;
            frame.slot = slot;
            frame.sequence = reader->nextSequence++;
            frame.width = buffer.width;
            frame.height = buffer.height;
            frame.stride = slotStride(buffer.width);
            frame.presentationTime = buffer.presentationTime;
            frame.duration = buffer.duration;
            std::uint64_t& held = reader->slotContent[slot];
            if (buffer.contentId == 0 || held != buffer.contentId) {
                held = 0;
                copyPixels(buffer, reader->memory->slot(slot), frame.stride);
                held = buffer.contentId;
            }
            reader->slots[slot].store(frame.sequence);
            if (!sendMessage(reader->socket->get(), Message{0, Frame{frame, hostTimeNanos}})) {
                reader->slots[slot].store(0);
                ++reader->dropped;
            }
        }
    }

  private:
    // Readers get BGRA whatever the sink sent.
    static void copyPixels(const SampleBuffer& buffer, std::uint8_t* out, std::uint32_t stride) {
        if (buffer.planar) {
            const ChromaLayout chroma = chromaLayout(buffer.stride, buffer.height);
            const auto chromaStride = static_cast<int>(chroma.stride);
            libyuv::I420ToARGB(buffer.pixels, static_cast<int>(buffer.stride),
                               buffer.pixels + chroma.cb, chromaStride, buffer.pixels + chroma.cr,
                               chromaStride, out, static_cast<int>(stride),
                               static_cast<int>(buffer.width), static_cast<int>(buffer.height));
            return;
        }
        const std::size_t rowBytes = static_cast<std::size_t>(buffer.width) * 4;
        if (stride == buffer.stride) {
            std::memcpy(out, buffer.pixels,
                        static_cast<std::size_t>(stride) * (buffer.height - 1) + rowBytes);
            return;
        }
        for (std::uint32_t y = 0; y < buffer.height; ++y) {
            std::memcpy(out + static_cast<std::size_t>(y) * stride,
                        buffer.pixels + static_cast<std::size_t>(y) * buffer.stride, rowBytes);
        }
    }

    std::vector<std::shared_ptr<ReaderQueue>> readers_;
};

LinkServer::LinkServer(Executor& main, Executor& consumeQueue,
                       std::shared_ptr<VirtualCameraDevice> device)
    : main_(main),
      consumeQueue_(consumeQueue),
      device_(std::move(device)),
      expectedUid_(::getuid()),
      consumeSide_(std::make_shared<ConsumeSide>()) {
    consumeSide_->readers = std::make_shared<ReaderOutput>();
}

std::shared_ptr<FrameOutput> LinkServer::readerOutput() const {
    return consumeSide_->readers;
}

LinkServer::~LinkServer() {
    *alive_ = false;
    listenWatch_.reset();
    for (auto& [id, peer] : peers_) {
        peer->watch.reset();
    }
    if (listenFd_) {
        ::unlink(socketPath_.c_str());
    }
}

bool LinkServer::listen(const std::filesystem::path& folder, std::string* error) {
    auto fail = [error](std::string why) {
        if (error != nullptr) {
            *error = std::move(why);
        }
        return false;
    };
    socketPath_ = folder / kCameraProviderSocket;
    const std::string path = socketPath_.string();
    // The socket is bound and listening under a name of its own first, then linked into place:
    // a client that finds the path can connect at once, never between bind and listen.
    const std::filesystem::path staging =
        folder / ("." + std::string(kCameraProviderSocket) + "." + std::to_string(::getpid()));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string stagingPath = staging.string();
    if (stagingPath.size() >= sizeof address.sun_path) {
        return fail("socket path too long: " + stagingPath);
    }
    std::memcpy(address.sun_path, stagingPath.c_str(), stagingPath.size() + 1);
    if (std::filesystem::exists(std::filesystem::symlink_status(socketPath_))) {
        if (connectTo(socketPath_)) {
            return fail("another provider serves " + path);
        }
        ::unlink(path.c_str());  // left behind by a provider that is gone
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return fail(std::string("socket: ") + std::strerror(errno));
    }
    ::unlink(stagingPath.c_str());  // left by a provider of the same pid that is gone
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail("bind " + stagingPath + ": " + std::strerror(errno));
    }
    constexpr int kBacklog = 16;
    if (::listen(fd.get(), kBacklog) != 0) {
        const int listenError = errno;
        ::unlink(stagingPath.c_str());
        return fail(std::string("listen: ") + std::strerror(listenError));
    }
    // link(2), unlike rename(2), never replaces: of two providers starting together, one wins.
    const int linked = ::link(stagingPath.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(stagingPath.c_str());
    if (linked != 0) {
        return fail(linkError == EEXIST ? "another provider serves " + path
                                        : "link " + path + ": " + std::strerror(linkError));
    }
    listenFd_ = std::move(fd);
    std::weak_ptr<bool> alive = alive_;
    listenWatch_ = main_.watchFd(listenFd_.get(), static_cast<unsigned>(FdEvent::readable),
                                 [this, alive](unsigned) {
                                     if (alive.lock()) {
                                         accept();
                                     }
                                 });
    providerLog().info("camera link listening on %{public}@", path);
    return true;
}

void LinkServer::accept() {
    for (;;) {
        UniqueFd fd(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            return;
        }
        const auto credentials = peerCredentials(fd.get());
        if (!credentials || credentials->uid != expectedUid_) {
            ++refusedPeers_;
            providerLog().error("camera link: refused peer pid=%d uid=%u (not this user)",
                                credentials ? credentials->pid : -1,
                                credentials ? credentials->uid : 0U);
            continue;  // closing the descriptor is the refusal
        }
        auto peer = std::make_shared<Peer>();
        peer->id = nextPeerId_++;
        peer->credentials = *credentials;
        peer->socket = std::make_shared<UniqueFd>(std::move(fd));
        std::weak_ptr<bool> alive = alive_;
        std::weak_ptr<Peer> weakPeer = peer;
        peer->watch = main_.watchFd(peer->socket->get(), static_cast<unsigned>(FdEvent::readable),
                                    [this, alive, weakPeer](unsigned) {
                                        auto p = weakPeer.lock();
                                        if (alive.lock() && p) {
                                            onPeerEvents(p);
                                        }
                                    });
        peers_.emplace(peer->id, peer);  // the provider accepts every client
    }
}

void LinkServer::onPeerEvents(const std::shared_ptr<Peer>& peer) {
    // Bounded per wake-up so that one chatty peer cannot starve the others.
    constexpr int kMessagesPerWake = 64;
    for (int i = 0; i < kMessagesPerWake; ++i) {
        if (!peers_.contains(peer->id)) {
            return;
        }
        Received got = receiveMessage(peer->socket->get());
        switch (got.kind) {
            case Received::Kind::wouldBlock:
                return;
            case Received::Kind::closed:
                disconnect(peer, "closed", false);
                return;
            case Received::Kind::invalid:
                providerLog().error("camera link: peer pid=%d sent an invalid message (%{public}@)",
                                    peer->credentials.pid, std::string(describe(got.error)));
                disconnect(peer, "invalid message", true);
                return;
            case Received::Kind::message:
                if (!fromClient(got.message.body)) {
                    providerLog().error(
                        "camera link: peer pid=%d sent a provider-only message type %d",
                        peer->credentials.pid, static_cast<int>(typeOf(got.message.body)));
                    disconnect(peer, "invalid message", true);
                    return;
                }
                handle(peer, got.message);
                break;
        }
    }
}

void LinkServer::disconnect(std::shared_ptr<Peer> peer, const char* why, bool invalid) {
    if (!peers_.contains(peer->id)) {
        return;
    }
    if (invalid) {
        ++invalidPeers_;
        sendMessage(peer->socket->get(), Message{0, Goodbye{status::illegalOperation}});
    }
    providerLog().info("camera link: peer pid=%d disconnected (%{public}@)", peer->credentials.pid,
                       why);
    peer->watch.reset();
    ::shutdown(peer->socket->get(), SHUT_RDWR);
    peers_.erase(peer->id);
    streamsStoppedBy(peer);
    const std::uint64_t id = peer->id;
    consumeQueue_.post([side = consumeSide_, id] {
        side->pending.erase(id);
        side->readers->remove(id);
    });
}

void LinkServer::streamsStoppedBy(const std::shared_ptr<Peer>& peer) {
    // A client's process going away stops what it started, exactly as its stops would.
    while (peer->sourceStarts > 0) {
        --peer->sourceStarts;
        device_->sourceStreamSource().stopStream();
    }
    if (peer->sinkStarted) {
        peer->sinkStarted = false;
        --sinkStreamingClients_;
    }
    if (sinkStarter_ == peer->id) {
        sinkStarter_.reset();
        device_->sinkStreamSource().stopStream();
    }
}

void LinkServer::reply(const std::shared_ptr<Peer>& peer, std::uint32_t requestId, Status result,
                       std::optional<PropertyValue> value) {
    Reply answer;
    answer.status = result;
    if (value) {
        answer.hasValue = true;
        answer.value = std::move(*value);
    }
    if (!sendMessage(peer->socket->get(), Message{requestId, std::move(answer)})) {
        disconnect(peer, "not reading its replies", false);
    }
}

void LinkServer::handle(const std::shared_ptr<Peer>& peer, const Message& message) {
    const auto& body = message.body;
    if (const auto* get = std::get_if<GetProperty>(&body)) {
        PropertyValue value;
        const Status result = getProperty(get->object, get->selector, value);
        reply(peer, message.requestId, result,
              result == status::ok ? std::optional(std::move(value)) : std::nullopt);
    } else if (const auto* set = std::get_if<SetProperty>(&body)) {
        // Every object accepts and ignores property writes.
        const bool known = set->object >= objects::system && set->object <= objects::sinkStream;
        reply(peer, message.requestId, known ? status::ok : status::badObject);
    } else if (const auto* available = std::get_if<AvailableProperties>(&body)) {
        auto list = availableProperties(available->object);
        reply(peer, message.requestId, list ? status::ok : status::badObject,
              list ? std::optional<PropertyValue>(std::move(*list)) : std::nullopt);
    } else if (const auto* start = std::get_if<StartStream>(&body)) {
        startStream(peer, message, *start);
    } else if (const auto* stop = std::get_if<StopStream>(&body)) {
        stopStream(peer, message, *stop);
    } else if (const auto* copy = std::get_if<CopyBufferQueue>(&body)) {
        copyBufferQueue(peer, message, *copy);
    } else if (const auto* enq = std::get_if<Enqueue>(&body)) {
        enqueue(peer, *enq);
    } else if (const auto* done = std::get_if<FrameDone>(&body)) {
        const auto& reader = peer->reader;
        if (!reader || done->slot >= reader->slotCount) {
            providerLog().error("camera link: peer pid=%d released a slot it does not hold",
                                peer->credentials.pid);
            disconnect(peer, "invalid slot", true);
            return;
        }
        std::uint64_t expected = done->sequence;
        if (!reader->slots[done->slot].compare_exchange_strong(expected, 0)) {
            providerLog().error("camera link: peer pid=%d released slot %u with sequence %llu",
                                peer->credentials.pid, done->slot, done->sequence);
            disconnect(peer, "invalid sequence", true);
        }
    }
}

Status LinkServer::getProperty(ObjectId object, std::uint32_t selector, PropertyValue& value) {
    auto fromSource = [&](const auto& source) {
        auto values = source.properties({selector});
        auto found = values.find(selector);
        if (found == values.end()) {
            return status::unknownProperty;
        }
        value = found->second;
        return status::ok;
    };
    switch (object) {
        case objects::system:
            if (selector == property::devices) {
                value = std::vector<std::uint32_t>{objects::device};
                return status::ok;
            }
            return status::unknownProperty;
        case objects::provider:
            return fromSource(ProviderSource{});
        case objects::device:
            if (selector == property::name) {
                value = std::string(CameraIPC::deviceName);
                return status::ok;
            }
            if (selector == property::deviceUID) {
                value = device_->deviceIdentifier().toString();
                return status::ok;
            }
            if (selector == property::streams) {
                value = std::vector<std::uint32_t>{objects::sourceStream, objects::sinkStream};
                return status::ok;
            }
            return fromSource(device_->deviceSource());
        case objects::sourceStream:
        case objects::sinkStream: {
            const bool sink = object == objects::sinkStream;
            if (selector == property::name) {
                value = std::string(sink ? CameraIPC::sinkStreamName : CameraIPC::sourceStreamName);
                return status::ok;
            }
            if (selector == property::direction) {
                value = static_cast<std::uint32_t>(sink ? CameraIPC::sinkStreamDirection
                                                        : CameraIPC::sourceStreamDirection);
                return status::ok;
            }
            if (selector == property::formats) {
                std::vector<std::uint32_t> list;
                const auto& formats = sink ? device_->sinkStreamSource().formats()
                                           : device_->sourceStreamSource().formats();
                for (const auto& f : formats) {
                    list.push_back(f.description.pixelFormat);
                    list.push_back(static_cast<std::uint32_t>(f.description.width));
                    list.push_back(static_cast<std::uint32_t>(f.description.height));
                }
                value = std::move(list);
                return status::ok;
            }
            return sink ? fromSource(device_->sinkStreamSource())
                        : fromSource(device_->sourceStreamSource());
        }
        default:
            return status::badObject;
    }
}

std::optional<std::vector<std::uint32_t>> LinkServer::availableProperties(ObjectId object) {
    auto plus = [](std::vector<std::uint32_t> base, const PropertySet& more) {
        for (std::uint32_t key : more) {
            if (std::find(base.begin(), base.end(), key) == base.end()) {
                base.push_back(key);
            }
        }
        return base;
    };
    switch (object) {
        case objects::system:
            return std::vector<std::uint32_t>{property::devices};
        case objects::provider:
            return plus({}, ProviderSource{}.availableProperties());
        case objects::device:
            return plus({property::name, property::deviceUID, property::streams},
                        device_->deviceSource().availableProperties());
        case objects::sourceStream:
            return plus({property::name, property::direction, property::formats},
                        device_->sourceStreamSource().availableProperties());
        case objects::sinkStream:
            return plus({property::name, property::direction, property::formats},
                        device_->sinkStreamSource().availableProperties());
        default:
            return std::nullopt;
    }
}

void LinkServer::startStream(const std::shared_ptr<Peer>& peer, const Message& message,
                             const StartStream& start) {
    if (start.device != objects::device ||
        (start.stream != objects::sourceStream && start.stream != objects::sinkStream)) {
        reply(peer, message.requestId, status::badObject);
        return;
    }
    if (start.stream == objects::sourceStream) {
        if (!device_->sourceStreamSource().authorizedToStartStream(peer->client())) {
            reply(peer, message.requestId, status::illegalOperation);
            return;
        }
        ++peer->sourceStarts;
        device_->sourceStreamSource().startStream();
    } else {
        if (!device_->sinkStreamSource().authorizedToStartStream(peer->client())) {
            reply(peer, message.requestId, status::illegalOperation);
            return;
        }
        if (!peer->sinkStarted) {
            peer->sinkStarted = true;
            ++sinkStreamingClients_;
        }
        sinkStarter_ = peer->id;
        device_->sinkStreamSource().startStream();
    }
    reply(peer, message.requestId, status::ok);
}

void LinkServer::stopStream(const std::shared_ptr<Peer>& peer, const Message& message,
                            const StopStream& stop) {
    if (stop.device != objects::device ||
        (stop.stream != objects::sourceStream && stop.stream != objects::sinkStream)) {
        reply(peer, message.requestId, status::badObject);
        return;
    }
    if (stop.stream == objects::sourceStream) {
        // Only a start of this peer can be stopped by it: nobody stops another reader's count.
        if (peer->sourceStarts > 0) {
            --peer->sourceStarts;
            device_->sourceStreamSource().stopStream();
        }
    } else {
        if (peer->sinkStarted) {
            peer->sinkStarted = false;
            --sinkStreamingClients_;
        }
        // A stale connection of the application must not stop the sink its new one started.
        if (!sinkStarter_ || sinkStarter_ == peer->id) {
            sinkStarter_.reset();
            device_->sinkStreamSource().stopStream();
        }
    }
    reply(peer, message.requestId, status::ok);
}

void LinkServer::copyBufferQueue(const std::shared_ptr<Peer>& peer, const Message& message,
                                 const CopyBufferQueue& request) {
    auto refuse = [&](Status why) {
        if (!sendMessage(peer->socket->get(), Message{message.requestId, QueueReply{why, 0, 0}})) {
            disconnect(peer, "not reading its replies", false);
        }
    };
    if (request.stream != objects::sourceStream && request.stream != objects::sinkStream) {
        refuse(status::badObject);
        return;
    }
    const bool sink = request.stream == objects::sinkStream;
    const SlotLayout layout{sink ? kSinkQueueSlots : kReaderQueueSlots, kSlotBytes};
    // The daemon only reads a sink queue and only writes a reader queue.
    auto memory = SlotMemory::create(layout, !sink);
    if (!memory) {
        providerLog().error("camera link: cannot make a queue for peer pid=%d",
                            peer->credentials.pid);
        refuse(status::unspecified);
        return;
    }
    auto shared = std::make_shared<SlotMemory>(std::move(*memory));
    const int fd = shared->fd();
    if (!sendMessage(
            peer->socket->get(),
            Message{message.requestId, QueueReply{status::ok, layout.slotCount, layout.slotBytes}},
            std::span(&fd, 1))) {
        disconnect(peer, "not reading its replies", false);
        return;
    }
    if (sink) {
        peer->sinkMemory = std::move(shared);
        peer->sinkSlotBusy.assign(layout.slotCount, 0);
        peer->lastSinkSequence = 0;
        ++peer->sinkGeneration;
        return;
    }
    auto reader = std::make_shared<ReaderQueue>();
    reader->peerId = peer->id;
    reader->socket = peer->socket;
    reader->memory = std::move(shared);
    reader->slotCount = layout.slotCount;
    reader->slots = std::make_unique<std::atomic<std::uint64_t>[]>(layout.slotCount);
    reader->slotContent.assign(layout.slotCount, 0);
    const std::uint64_t id = peer->id;
    peer->reader = reader;
    consumeQueue_.post([side = consumeSide_, id, reader] {
        side->readers->remove(id);  // a second request replaces the first queue
        side->readers->add(reader);
    });
}

void LinkServer::enqueue(const std::shared_ptr<Peer>& peer, const Enqueue& request) {
    const SlotFrame& frame = request.frame;
    if (!peer->sinkMemory ||
        !validSlotFrame(peer->sinkMemory->layout(), frame, peer->lastSinkSequence) ||
        peer->sinkSlotBusy[frame.slot] != 0) {
        providerLog().error(
            "camera link: peer pid=%d enqueued an invalid frame (slot %u sequence %llu %ux%u "
            "stride %u)",
            peer->credentials.pid, frame.slot, frame.sequence, frame.width, frame.height,
            frame.stride);
        disconnect(peer, "invalid frame", true);
        return;
    }
    peer->lastSinkSequence = frame.sequence;
    peer->sinkSlotBusy[frame.slot] = frame.sequence;
    auto pending = std::make_shared<PendingFrame>();
    pending->peerId = peer->id;
    pending->generation = peer->sinkGeneration;
    pending->frame = frame;
    pending->memory = peer->sinkMemory;
    consumeQueue_.post([side = consumeSide_, pending] {
        side->pending[pending->peerId].push_back(pending);
        if (side->frameQueued) {
            side->frameQueued();
        }
    });
}

bool LinkServer::watchQueuedFrames(std::function<void()> handler) {
    consumeQueue_.post([side = consumeSide_, handler = std::move(handler)]() mutable {
        side->frameQueued = std::move(handler);
    });
    return true;
}

std::int64_t LinkServer::streamingClientCount() {
    return sinkStreamingClients_.load();
}

void LinkServer::consumeSampleBuffer(const Client& client, ConsumeCompletion done) {
    auto found = consumeSide_->pending.find(client.id);
    if (found == consumeSide_->pending.end() || found->second.empty()) {
        done(ConsumeResult{});
        return;
    }
    std::shared_ptr<PendingFrame> next = std::move(found->second.front());
    found->second.pop_front();
    const std::uint64_t sequence = consumeSide_->nextSequence++;
    consumeSide_->inFlight[sequence] = next;
    ConsumeResult result;
    SampleBuffer buffer;
    buffer.pixels = next->memory->slot(next->frame.slot);
    buffer.width = next->frame.width;
    buffer.height = next->frame.height;
    buffer.stride = next->frame.stride;
    buffer.planar = next->frame.pixelFormat == kI420;
    buffer.presentationTime = next->frame.presentationTime;
    buffer.duration = next->frame.duration;
    buffer.owner = next;
    result.buffer = std::move(buffer);
    result.sequence = sequence;
    result.hasMore = !found->second.empty();
    done(std::move(result));
}

void LinkServer::notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t hostTimeNanos) {
    auto found = consumeSide_->inFlight.find(sequence);
    if (found == consumeSide_->inFlight.end()) {
        return;
    }
    std::shared_ptr<PendingFrame> frame = std::move(found->second);
    consumeSide_->inFlight.erase(found);
    std::weak_ptr<bool> alive = alive_;
    main_.post([this, alive, frame, hostTimeNanos] {
        if (!alive.lock()) {
            return;
        }
        auto peer = peers_.find(frame->peerId);
        if (peer == peers_.end() || peer->second->sinkGeneration != frame->generation) {
            return;  // the peer left, or asked for a new queue since
        }
        auto& busy = peer->second->sinkSlotBusy;
        if (busy[frame->frame.slot] != frame->frame.sequence) {
            return;
        }
        busy[frame->frame.slot] = 0;
        if (!sendMessage(peer->second->socket->get(),
                         Message{0, ScheduledOutput{frame->frame.slot, frame->frame.sequence,
                                                    hostTimeNanos}})) {
            disconnect(peer->second, "not reading its acknowledgements", false);
        }
    });
}

}  // namespace kestrel::camera
