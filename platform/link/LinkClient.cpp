#include "platform/link/LinkClient.h"

#include <libyuv/convert_from_argb.h>
#include <poll.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstring>
#include <deque>

namespace kestrel::link {

// One socket connection to one provider. Replies to calls are awaited here; everything else
// (acknowledgements, frames, goodbyes) is handled on the executor.
class ProviderConnection : public std::enable_shared_from_this<ProviderConnection> {
  public:
    ProviderConnection(Executor& executor, std::filesystem::path path, UniqueFd fd,
                       std::chrono::milliseconds timeout, const Log& log)
        : executor_(executor),
          path_(std::move(path)),
          fd_(std::move(fd)),
          timeout_(timeout),
          log_(log) {}

    // `onDead` runs on the executor once the connection is gone, told whether it was quiet then.
    void start(std::function<void(bool quiet)> onDead) {
        onDead_ = std::move(onDead);
        std::weak_ptr<ProviderConnection> weak = weak_from_this();
        watch_ = executor_.watchFd(fd_.get(), static_cast<unsigned>(FdEvent::readable),
                                   [weak](unsigned events) {
                                       if (auto self = weak.lock()) {
                                           self->onEvents(events);
                                       }
                                   });
    }

    bool alive() const { return fd_.valid(); }
    const std::filesystem::path& path() const { return path_; }
    // A call went unanswered for the whole reply timeout.
    bool timedOut() const { return timedOut_; }
    // Keeps a timeout out of the log: the provider did not answer the connection before this one
    // either. `onAnswered` runs at the first answer.
    void setQuiet(std::function<void()> onAnswered) {
        quiet_ = true;
        onAnswered_ = std::move(onAnswered);
    }

    struct Answer {
        Message message;
        std::vector<UniqueFd> descriptors;
    };

    // Sends `body` and waits for the answer with the same request id.
    std::optional<Answer> call(Body body) {
        if (!alive()) {
            return std::nullopt;
        }
        const std::uint32_t id = nextRequestId_++;
        if (!sendMessage(fd_.get(), Message{id, std::move(body)})) {
            fail("send failed");
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout_;
        while (alive()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                if (!quiet_) {
                    log_.error("camera link: no answer from %{public}@ within %d ms",
                               path_.string(), static_cast<int>(timeout_.count()));
                }
                timedOut_ = true;
                fail("timeout");
                return std::nullopt;
            }
            pollfd pfd{fd_.get(), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready <= 0) {
                continue;
            }
            Received got = receiveMessage(fd_.get());
            if (got.kind == Received::Kind::wouldBlock) {
                continue;
            }
            if (got.kind != Received::Kind::message) {
                reportBad(got);
                return std::nullopt;
            }
            const bool isAnswer = std::holds_alternative<Reply>(got.message.body) ||
                                  std::holds_alternative<QueueReply>(got.message.body);
            if (isAnswer && got.message.requestId == id) {
                if (auto answered = std::exchange(onAnswered_, nullptr)) {
                    quiet_ = false;
                    answered();
                }
                return Answer{std::move(got.message), std::move(got.descriptors)};
            }
            if (isAnswer) {
                continue;  // a late answer to a call that timed out before
            }
            inbox_.push_back(std::move(got));
            schedulePump();
        }
        return std::nullopt;
    }

    bool send(Body body) {
        if (!alive()) {
            return false;
        }
        if (!sendMessage(fd_.get(), Message{0, std::move(body)})) {
            // A full socket buffer means the provider stopped reading us: treat it as gone.
            fail("send failed");
            return false;
        }
        return true;
    }

    void addQueue(const std::shared_ptr<SinkQueue>& queue) { queues_.push_back(queue); }
    void setReader(SourceReader* reader) { reader_ = reader; }

    void fail(const char* reason) {
        if (!alive()) {
            return;
        }
        if (!quiet_) {
            log_.info("camera link: connection to %{public}@ closed (%{public}@)", path_.string(),
                      reason);
        }
        watch_.reset();
        fd_.reset();
        inbox_.clear();
        if (onDead_) {
            executor_.post(
                [onDead = std::exchange(onDead_, nullptr), quiet = quiet_] { onDead(quiet); });
        }
    }

  private:
    void schedulePump() {
        if (pumpScheduled_) {
            return;
        }
        pumpScheduled_ = true;
        std::weak_ptr<ProviderConnection> weak = weak_from_this();
        executor_.post([weak] {
            if (auto self = weak.lock()) {
                self->pumpScheduled_ = false;
                self->pump();
            }
        });
    }

    void onEvents(unsigned /*events*/) { pump(); }

    void pump() {
        auto keep = shared_from_this();
        while (!inbox_.empty() && alive()) {
            Received next = std::move(inbox_.front());
            inbox_.pop_front();
            handle(std::move(next));
        }
        while (alive()) {
            Received got = receiveMessage(fd_.get());
            if (got.kind == Received::Kind::wouldBlock) {
                return;
            }
            if (got.kind != Received::Kind::message) {
                reportBad(got);
                return;
            }
            handle(std::move(got));
        }
    }

    void reportBad(const Received& got) {
        if (got.kind == Received::Kind::invalid) {
            log_.error("camera link: invalid message from %{public}@: %{public}@", path_.string(),
                       std::string(describe(got.error)));
            fail("invalid message");
        } else {
            fail("provider closed the connection");
        }
    }

    void handle(Received got) {
        auto& body = got.message.body;
        if (const auto* output = std::get_if<ScheduledOutput>(&body)) {
            std::erase_if(queues_, [](const auto& q) { return q.expired(); });
            for (const auto& weak : queues_) {
                if (auto queue = weak.lock(); queue && queue->acknowledge(*output)) {
                    break;
                }
            }
        } else if (const auto* frame = std::get_if<Frame>(&body)) {
            if (reader_ == nullptr) {
                return;  // the reader went before this frame arrived
            }
            if (!reader_->deliver(*frame)) {
                log_.error("camera link: frame outside the reader's queue from %{public}@",
                           path_.string());
                fail("invalid frame");
            }
        } else if (const auto* bye = std::get_if<Goodbye>(&body)) {
            log_.info("camera link: provider said goodbye (%d)", bye->status);
            fail("goodbye");
        } else if (!fromClient(body)) {
            // Replies without a call waiting for them: late answers, dropped.
        } else {
            log_.error("camera link: provider sent a client message");
            fail("invalid direction");
        }
    }

    Executor& executor_;
    std::filesystem::path path_;
    UniqueFd fd_;
    std::chrono::milliseconds timeout_;
    Log log_;  // a copy: a reader may outlive the client that made the connection
    Handle watch_;
    std::function<void(bool quiet)> onDead_;
    std::uint32_t nextRequestId_ = 1;
    bool timedOut_ = false;
    bool quiet_ = false;
    std::function<void()> onAnswered_;
    std::deque<Received> inbox_;
    bool pumpScheduled_ = false;
    std::vector<std::weak_ptr<SinkQueue>> queues_;
    SourceReader* reader_ = nullptr;
};

// ---- SinkQueue

SinkQueue::SinkQueue(Private, std::weak_ptr<ProviderConnection> connection, SlotMemory memory,
                     std::function<void()> altered)
    : connection_(std::move(connection)),
      memory_(std::move(memory)),
      altered_(std::move(altered)),
      slotSequence_(memory_.layout().slotCount, 0) {}

SinkQueue::~SinkQueue() = default;

std::int32_t SinkQueue::count() const {
    return static_cast<std::int32_t>(
        std::count_if(slotSequence_.begin(), slotSequence_.end(), [](auto s) { return s != 0; }));
}

std::int32_t SinkQueue::capacity() const {
    return static_cast<std::int32_t>(slotSequence_.size());
}

Status SinkQueue::enqueue(const PixelBuffer& frame, MediaTime presentationTime,
                          MediaTime duration) {
    return enqueue(frame.data(), static_cast<std::uint32_t>(frame.width()),
                   static_cast<std::uint32_t>(frame.height()),
                   static_cast<std::uint32_t>(frame.stride()), presentationTime, duration);
}

Status SinkQueue::enqueue(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                          std::uint32_t stride, MediaTime presentationTime, MediaTime duration) {
    auto connection = connection_.lock();
    if (!connection || !connection->alive()) {
        return status::disconnected;
    }
    SlotFrame frame;
    frame.width = width;
    frame.height = height;
    frame.pixelFormat = pixelFormat_ == kI420 && width % 2 == 0 && height % 2 == 0 ? kI420 : kBGRA;
    frame.stride = slotStride(width, frame.pixelFormat);
    frame.sequence = nextSequence_;
    frame.presentationTime = presentationTime;
    frame.duration = duration;
    if (pixels == nullptr || stride < width * 4 ||
        !validSlotFrame(memory_.layout(), SlotFrame{frame}, 0)) {
        return status::badPropertySize;
    }
    const auto free = std::find(slotSequence_.begin(), slotSequence_.end(), 0U);
    if (free == slotSequence_.end()) {
        return status::queueFull;
    }
    frame.slot = static_cast<std::uint32_t>(free - slotSequence_.begin());
    std::uint8_t* out = memory_.slot(frame.slot);
    if (frame.pixelFormat == kI420) {
        // Converting costs the application what copying BGRA did, and spares the daemon a
        // conversion and most of its reading.
        const ChromaLayout chroma = chromaLayout(frame.stride, height);
        const auto chromaStride = static_cast<int>(chroma.stride);
        libyuv::ARGBToI420(pixels, static_cast<int>(stride), out, static_cast<int>(frame.stride),
                           out + chroma.cb, chromaStride, out + chroma.cr, chromaStride,
                           static_cast<int>(width), static_cast<int>(height));
    } else {
        for (std::uint32_t y = 0; y < height; ++y) {
            std::memcpy(out + static_cast<std::size_t>(y) * frame.stride,
                        pixels + static_cast<std::size_t>(y) * stride,
                        static_cast<std::size_t>(width) * 4);
        }
    }
    if (!connection->send(Enqueue{frame})) {
        return status::disconnected;
    }
    *free = frame.sequence;
    ++nextSequence_;
    return status::ok;
}

bool SinkQueue::acknowledge(const ScheduledOutput& output) {
    if (output.slot >= slotSequence_.size() || slotSequence_[output.slot] != output.sequence) {
        return false;
    }
    slotSequence_[output.slot] = 0;
    ++acknowledged_;
    if (altered_) {
        altered_();
    }
    return true;
}

// ---- SourceReader

SourceReader::SourceReader(Private, std::shared_ptr<ProviderConnection> connection,
                           ObjectId remoteDevice, ObjectId remoteStream, SlotMemory memory,
                           SourceFrameHandler onFrame)
    : connection_(std::move(connection)),
      remoteDevice_(remoteDevice),
      remoteStream_(remoteStream),
      memory_(std::move(memory)),
      onFrame_(std::move(onFrame)) {}

SourceReader::~SourceReader() {
    connection_->setReader(nullptr);
    connection_->send(StopStream{remoteDevice_, remoteStream_});
    connection_->fail("reader closed");
}

bool SourceReader::deliver(const Frame& message) {
    const SlotFrame& f = message.frame;
    if (!validSlotFrame(memory_.layout(), f, lastSequence_)) {
        return false;
    }
    lastSequence_ = f.sequence;
    SourceFrame frame;
    frame.pixels = memory_.slot(f.slot);
    frame.width = f.width;
    frame.height = f.height;
    frame.stride = f.stride;
    frame.hostTimeNanos = message.hostTimeNanos;
    frame.presentationTime = f.presentationTime;
    frame.sequence = f.sequence;
    auto keep = connection_;  // the handler may release the reader
    if (onFrame_) {
        onFrame_(frame);
    }
    keep->send(FrameDone{f.slot, f.sequence});
    return true;
}

// ---- LinkClient

LinkClient::LinkClient(Executor& executor, std::chrono::milliseconds replyTimeout,
                       const HostClock& clock)
    : executor_(executor), replyTimeout_(replyTimeout), clock_(clock) {}

LinkClient::~LinkClient() {
    *alive_ = false;
    for (auto& [path, connection] : providers_) {
        connection->fail("client closed");
    }
}

void LinkClient::setFolderForTesting(std::filesystem::path folder) {
    folder_ = std::move(folder);
}

void LinkClient::refreshProviders() {
    if (!folder_) {
        std::string why;
        folder_ = linkFolder(&why);
        if (!folder_) {
            log_.error("camera link folder unusable: %{public}@", why);
            return;
        }
    }
    dropDeadProviders();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(*folder_, ec)) {
        const auto& path = entry.path();
        if (path.extension() != ".sock" || providers_.contains(path)) {
            continue;
        }
        const auto unanswered = unanswered_.find(path);
        if (unanswered != unanswered_.end() && clock_.nowNanos() < unanswered->second.retryAt) {
            continue;  // it did not answer last time: not again before its back-off is over
        }
        UniqueFd fd = connectTo(path);
        if (!fd) {
            continue;  // a socket file left behind by a provider that is gone
        }
        auto connection = std::make_shared<ProviderConnection>(executor_, path, std::move(fd),
                                                               replyTimeout_, log_);
        if (unanswered != unanswered_.end()) {
            std::weak_ptr<bool> alive = alive_;
            connection->setQuiet([this, alive, path] {
                if (!alive.lock()) {
                    return;
                }
                if (auto found = unanswered_.find(path); found != unanswered_.end()) {
                    log_.info("camera link: %{public}@ answers again after %d unanswered tries",
                              path.string(), found->second.timeouts);
                    unanswered_.erase(found);
                }
            });
        }
        std::weak_ptr<bool> alive = alive_;
        connection->start([this, alive](bool quiet) {
            if (alive.lock()) {
                dropDeadProviders();
                if (!quiet) {
                    // A provider that never answered this connection changed nothing.
                    notifyDevicesChanged();
                }
            }
        });
        providers_.emplace(path, std::move(connection));
    }
}

void LinkClient::dropDeadProviders() {
    for (const auto& [path, connection] : providers_) {
        if (connection->alive() || !connection->timedOut()) {
            continue;
        }
        // A provider that does not answer (stopped, or stuck) is tried again after a back-off
        // that doubles up to kMaxBackoff, so that callers are not held up on every attempt.
        Unanswered& entry = unanswered_[path];
        entry.delay = entry.timeouts == 0 ? kFirstBackoff : std::min(entry.delay * 2, kMaxBackoff);
        ++entry.timeouts;
        entry.retryAt = clock_.nowNanos() + static_cast<std::uint64_t>(entry.delay.count());
    }
    std::erase_if(objects_, [](const auto& entry) { return !entry.second.connection->alive(); });
    std::erase_if(providers_, [](const auto& entry) { return !entry.second->alive(); });
}

std::optional<LinkClient::Remote> LinkClient::resolve(ObjectId local) {
    auto found = objects_.find(local);
    if (found == objects_.end() || !found->second.connection->alive()) {
        return std::nullopt;
    }
    return found->second;
}

ObjectId LinkClient::localIdFor(const std::shared_ptr<ProviderConnection>& connection,
                                ObjectId remote) {
    for (const auto& [local, entry] : objects_) {
        if (entry.connection == connection && entry.remoteId == remote) {
            return local;
        }
    }
    const ObjectId local = nextLocalId_++;
    objects_.emplace(local, Remote{connection, remote});
    return local;
}

PropertyValue LinkClient::mapIdsToLocal(const std::shared_ptr<ProviderConnection>& connection,
                                        std::uint32_t selector, PropertyValue value) {
    if (selector == property::devices || selector == property::streams) {
        if (auto* ids = std::get_if<std::vector<std::uint32_t>>(&value)) {
            for (auto& id : *ids) {
                id = localIdFor(connection, id);
            }
        }
    }
    return value;
}

Status LinkClient::getProperty(ObjectId object, std::uint32_t selector, PropertyValue& value) {
    if (object == kSystemObject) {
        if (selector != property::devices) {
            return status::unknownProperty;
        }
        refreshProviders();
        std::vector<std::uint32_t> devices;
        for (const auto& [path, connection] : providers_) {
            auto answer = connection->call(GetProperty{kSystemObject, property::devices});
            if (!answer) {
                continue;
            }
            const auto* reply = std::get_if<Reply>(&answer->message.body);
            if (reply == nullptr || reply->status != status::ok || !reply->hasValue) {
                continue;
            }
            auto mapped = mapIdsToLocal(connection, selector, reply->value);
            if (const auto* ids = std::get_if<std::vector<std::uint32_t>>(&mapped)) {
                devices.insert(devices.end(), ids->begin(), ids->end());
            }
        }
        dropDeadProviders();
        value = std::move(devices);
        return status::ok;
    }
    auto remote = resolve(object);
    if (!remote) {
        return status::badObject;
    }
    auto answer = remote->connection->call(GetProperty{remote->remoteId, selector});
    if (!answer) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<Reply>(&answer->message.body);
    if (reply == nullptr) {
        return status::unspecified;
    }
    if (reply->status != status::ok) {
        return reply->status;
    }
    if (!reply->hasValue) {
        return status::unspecified;
    }
    value = mapIdsToLocal(remote->connection, selector, reply->value);
    return status::ok;
}

namespace {
template <class T>
Status typedGet(LinkClient& client, ObjectId object, std::uint32_t selector, T& out) {
    PropertyValue value;
    const Status result = client.getProperty(object, selector, value);
    if (result != status::ok) {
        return result;
    }
    if (auto* typed = std::get_if<T>(&value)) {
        out = std::move(*typed);
        return status::ok;
    }
    return status::badPropertySize;
}
}  // namespace

Status LinkClient::getProperty(ObjectId object, std::uint32_t selector, std::string& value) {
    return typedGet(*this, object, selector, value);
}
Status LinkClient::getProperty(ObjectId object, std::uint32_t selector, std::uint32_t& value) {
    return typedGet(*this, object, selector, value);
}
Status LinkClient::getProperty(ObjectId object, std::uint32_t selector,
                               std::vector<std::uint32_t>& value) {
    return typedGet(*this, object, selector, value);
}

Status LinkClient::setProperty(ObjectId object, std::uint32_t selector,
                               const PropertyValue& value) {
    if (object == kSystemObject) {
        // Allowing screen-capture devices changes nothing here: every provider is visible.
        return selector == property::allowScreenCapture ? status::ok : status::unknownProperty;
    }
    auto remote = resolve(object);
    if (!remote) {
        return status::badObject;
    }
    auto answer = remote->connection->call(SetProperty{remote->remoteId, selector, value});
    if (!answer) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<Reply>(&answer->message.body);
    return reply != nullptr ? reply->status : status::unspecified;
}

Status LinkClient::availableProperties(ObjectId object, std::vector<std::uint32_t>& selectors) {
    if (object == kSystemObject) {
        selectors = {property::devices, property::allowScreenCapture};
        return status::ok;
    }
    auto remote = resolve(object);
    if (!remote) {
        return status::badObject;
    }
    auto answer = remote->connection->call(AvailableProperties{remote->remoteId});
    if (!answer) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<Reply>(&answer->message.body);
    if (reply == nullptr || reply->status != status::ok) {
        return reply != nullptr ? reply->status : status::unspecified;
    }
    const auto* list = std::get_if<std::vector<std::uint32_t>>(&reply->value);
    if (list == nullptr) {
        return status::badPropertySize;
    }
    selectors = *list;
    return status::ok;
}

bool LinkClient::startWatchingFolder() {
    if (inotify_) {
        return true;
    }
    if (!folder_) {
        std::string why;
        folder_ = linkFolder(&why);
        if (!folder_) {
            log_.error("camera link folder unusable: %{public}@", why);
            return false;
        }
    }
    UniqueFd fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd || ::inotify_add_watch(fd.get(), folder_->c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
        return false;
    }
    inotify_ = std::move(fd);
    std::weak_ptr<bool> alive = alive_;
    inotifyWatch_ = executor_.watchFd(
        inotify_.get(), static_cast<unsigned>(FdEvent::readable), [this, alive](unsigned) {
            if (!alive.lock()) {
                return;
            }
            alignas(inotify_event) char buffer[4096];
            bool relevant = false;
            for (;;) {
                const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                for (ssize_t at = 0; at < got;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    const std::string_view name(event->len > 0 ? event->name : "");
                    if (name.ends_with(".sock") || (event->mask & IN_Q_OVERFLOW) != 0) {
                        relevant = true;
                    }
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            if (relevant) {
                notifyDevicesChanged();
            }
        });
    return true;
}

void LinkClient::notifyDevicesChanged() {
    std::weak_ptr<std::map<std::uint64_t, std::function<void()>>> weak = listeners_;
    executor_.post([weak] {
        auto listeners = weak.lock();
        if (!listeners) {
            return;
        }
        const auto snapshot = *listeners;  // a listener may remove itself
        for (const auto& [id, listener] : snapshot) {
            if (listeners->contains(id)) {
                listener();
            }
        }
    });
}

Status LinkClient::addDevicesListener(std::function<void()> listener, Handle& registration) {
    if (!startWatchingFolder()) {
        return status::unspecified;
    }
    const std::uint64_t id = nextListenerId_++;
    listeners_->emplace(id, std::move(listener));
    std::weak_ptr<std::map<std::uint64_t, std::function<void()>>> weak = listeners_;
    registration = Handle([weak, id] {
        if (auto listeners = weak.lock()) {
            listeners->erase(id);
        }
    });
    return status::ok;
}

Status LinkClient::copyBufferQueue(ObjectId stream, std::function<void()> altered,
                                   std::shared_ptr<SinkQueue>& queue) {
    auto remote = resolve(stream);
    if (!remote) {
        return status::badObject;
    }
    auto answer = remote->connection->call(CopyBufferQueue{remote->remoteId});
    if (!answer) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<QueueReply>(&answer->message.body);
    if (reply == nullptr) {
        return status::unspecified;
    }
    if (reply->status != status::ok) {
        return reply->status;
    }
    auto memory = SlotMemory::adopt(std::move(answer->descriptors.front()),
                                    SlotLayout{reply->slotCount, reply->slotBytes}, true);
    if (!memory) {
        log_.error("camera link: the sink queue memory from %{public}@ is unusable",
                   remote->connection->path().string());
        return status::unspecified;
    }
    queue = std::make_shared<SinkQueue>(SinkQueue::Private{}, remote->connection,
                                        std::move(*memory), std::move(altered));
    remote->connection->addQueue(queue);
    return status::ok;
}

Status LinkClient::startStream(ObjectId device, ObjectId stream) {
    auto remoteDevice = resolve(device);
    auto remoteStream = resolve(stream);
    if (!remoteDevice || !remoteStream || remoteDevice->connection != remoteStream->connection) {
        return status::badObject;
    }
    auto answer =
        remoteDevice->connection->call(StartStream{remoteDevice->remoteId, remoteStream->remoteId});
    if (!answer) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<Reply>(&answer->message.body);
    return reply != nullptr ? reply->status : status::unspecified;
}

Status LinkClient::stopStream(ObjectId device, ObjectId stream) {
    auto remoteDevice = resolve(device);
    auto remoteStream = resolve(stream);
    if (!remoteDevice || !remoteStream || remoteDevice->connection != remoteStream->connection) {
        return status::badObject;
    }
    auto answer =
        remoteDevice->connection->call(StopStream{remoteDevice->remoteId, remoteStream->remoteId});
    if (!answer) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<Reply>(&answer->message.body);
    return reply != nullptr ? reply->status : status::unspecified;
}

Status LinkClient::openSourceReader(ObjectId device, ObjectId stream, SourceFrameHandler onFrame,
                                    std::unique_ptr<SourceReader>& reader) {
    auto remoteDevice = resolve(device);
    auto remoteStream = resolve(stream);
    if (!remoteDevice || !remoteStream || remoteDevice->connection != remoteStream->connection) {
        return status::badObject;
    }
    // Each reader has a connection of its own, so that its frames never queue behind calls.
    const auto path = remoteDevice->connection->path();
    UniqueFd fd = connectTo(path);
    if (!fd) {
        return status::disconnected;
    }
    auto connection =
        std::make_shared<ProviderConnection>(executor_, path, std::move(fd), replyTimeout_, log_);
    connection->start({});
    auto answer = connection->call(CopyBufferQueue{remoteStream->remoteId});
    if (!answer) {
        return status::disconnected;
    }
    const auto* queueReply = std::get_if<QueueReply>(&answer->message.body);
    if (queueReply == nullptr) {
        return status::unspecified;
    }
    if (queueReply->status != status::ok) {
        return queueReply->status;
    }
    auto memory =
        SlotMemory::adopt(std::move(answer->descriptors.front()),
                          SlotLayout{queueReply->slotCount, queueReply->slotBytes}, false);
    if (!memory) {
        return status::unspecified;
    }
    auto made = std::make_unique<SourceReader>(SourceReader::Private{}, connection,
                                               remoteDevice->remoteId, remoteStream->remoteId,
                                               std::move(*memory), std::move(onFrame));
    connection->setReader(made.get());
    auto started = connection->call(StartStream{remoteDevice->remoteId, remoteStream->remoteId});
    if (!started) {
        return status::disconnected;
    }
    const auto* reply = std::get_if<Reply>(&started->message.body);
    if (reply == nullptr || reply->status != status::ok) {
        return reply != nullptr ? reply->status : status::unspecified;
    }
    reader = std::move(made);
    return status::ok;
}

}  // namespace kestrel::link
