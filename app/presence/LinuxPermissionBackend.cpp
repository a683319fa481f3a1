#include "app/presence/LinuxPermissionBackend.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>

#include "platform/runtime/ChildReaper.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/Spawn.h"
#include "platform/runtime/UniqueFd.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

namespace {

const Log logger{std::string(kAppLogSubsystem), "Permissions"};

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kCameraInterface = "org.freedesktop.portal.Camera";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr std::string_view kRequestPathPrefix = "/org/freedesktop/portal/desktop/request/";

bool isRefusal(int error) {
    return error == EACCES || error == EPERM;
}

// "video12" → 12; nothing for other names.
std::optional<unsigned> videoNodeNumber(std::string_view name) {
    constexpr std::string_view prefix = "video";
    if (!name.starts_with(prefix) || name.size() == prefix.size()) {
        return std::nullopt;
    }
    unsigned number = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc{} || end != last) {
        return std::nullopt;
    }
    return number;
}

bool isDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// pcmC<card>D<device>c: the capture side of an ALSA PCM (playback ends in 'p').
bool isAlsaCaptureNode(std::string_view name) {
    if (!name.starts_with("pcmC") || !name.ends_with('c')) {
        return false;
    }
    const std::string_view middle = name.substr(4, name.size() - 5);  // "<card>D<device>"
    const auto split = middle.find('D');
    return split != std::string_view::npos && isDigits(middle.substr(0, split)) &&
           isDigits(middle.substr(split + 1));
}

std::vector<std::string> entryNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Device nodes

std::vector<std::string> SystemDeviceNodes::videoNodes() const {
    std::vector<std::pair<unsigned, std::string>> numbered;
    for (auto& name : entryNames(devRoot_)) {
        if (const auto number = videoNodeNumber(name)) {
            numbered.emplace_back(*number, devRoot_ + "/" + name);
        }
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : numbered) {
        paths.push_back(std::move(path));
    }
    return paths;
}

VideoNodeInfo SystemDeviceNodes::probeVideo(const std::string& path) const {
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return VideoNodeInfo{errno, false, {}};
    }
    v4l2_capability caps{};
    int result = 0;
    do {
        result = ::ioctl(fd.get(), VIDIOC_QUERYCAP, &caps);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return VideoNodeInfo{0, false, {}};  // opens, but is no V4L2 device
    }
    const std::uint32_t nodeCaps =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0U ? caps.device_caps : caps.capabilities;
    const auto* card = reinterpret_cast<const char*>(caps.card);
    return VideoNodeInfo{0, (nodeCaps & V4L2_CAP_VIDEO_CAPTURE) != 0U,
                         std::string(card, ::strnlen(card, sizeof caps.card))};
}

std::vector<std::string> SystemDeviceNodes::audioCaptureNodes() const {
    const std::string directory = devRoot_ + "/snd";
    std::vector<std::string> paths;
    for (auto& name : entryNames(directory)) {
        if (isAlsaCaptureNode(name)) {
            paths.push_back(directory + "/" + name);
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

int SystemDeviceNodes::accessError(const std::string& path) const {
    return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

PermissionStatus probeCameraStatus(const DeviceNodes& nodes) {
    bool refused = false;
    for (const auto& path : nodes.videoNodes()) {
        const VideoNodeInfo info = nodes.probeVideo(path);
        if (info.openError != 0) {
            // A refused node may be a camera; other failures (gone, busy) say nothing about access.
            refused = refused || isRefusal(info.openError);
            continue;
        }
        if (info.capture && info.card != kLoopbackCardName) {
            return PermissionStatus::granted;
        }
    }
    return refused ? PermissionStatus::denied : PermissionStatus::notDetermined;
}

PermissionStatus probeMicrophoneStatus(const DeviceNodes& nodes) {
    bool refused = false;
    for (const auto& path : nodes.audioCaptureNodes()) {
        const int error = nodes.accessError(path);
        if (error == 0) {
            return PermissionStatus::granted;
        }
        refused = refused || isRefusal(error);
    }
    return refused ? PermissionStatus::denied : PermissionStatus::notDetermined;
}

// ---------------------------------------------------------------------------------------------
// The camera portal

namespace detail {

namespace {

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

std::string errorText(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

std::uint64_t monotonicMicros() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000U;
}

// Starts a client connection without waiting for it: authentication and Hello complete later,
// in sd_bus_process().
BusPtr openSessionBus(const std::string& address, std::string& failure) {
    sd_bus* raw = nullptr;
    int result = 0;
    if (address.empty()) {
        result = sd_bus_open_user(&raw);
        BusPtr bus(raw);
        if (result < 0) {
            failure = errorText(result);
            return nullptr;
        }
        return bus;
    }
    result = sd_bus_new(&raw);
    BusPtr bus(raw);
    if (result >= 0) {
        result = sd_bus_set_address(bus.get(), address.c_str());
    }
    if (result >= 0) {
        result = sd_bus_set_bus_client(bus.get(), 1);
    }
    if (result >= 0) {
        result = sd_bus_start(bus.get());
    }
    if (result < 0) {
        failure = errorText(result);
        return nullptr;
    }
    return bus;
}

}  // namespace

enum class PortalOutcome { granted, denied, unavailable };

// One AccessCamera call on its own connection. The Response signal is matched before the call
// goes out, on the request path the portal derives from our unique name and handle token, so an
// answer that comes at once is not lost. Callbacks from sd-bus only record the outcome; the owner
// hears of it after sd_bus_process() has returned.
class PortalRequest : public std::enable_shared_from_this<PortalRequest> {
  public:
    PortalRequest(Executor& main, BusPtr bus, std::string token,
                  std::function<void(PortalOutcome)> onDone)
        : main_(main), bus_(std::move(bus)), token_(std::move(token)), onDone_(std::move(onDone)) {}
    PortalRequest(const PortalRequest&) = delete;
    PortalRequest& operator=(const PortalRequest&) = delete;

    void start() { pump(); }

  private:
    void pump() {
        if (!onDone_) {
            return;
        }
        for (;;) {
            const int result = sd_bus_process(bus_.get(), nullptr);
            if (result < 0) {
                settle(PortalOutcome::unavailable, "bus error: " + errorText(result));
                break;
            }
            if (outcome_) {
                break;
            }
            if (!subscribed_ && sd_bus_is_ready(bus_.get()) > 0) {
                subscribe();
                continue;
            }
            if (result == 0) {
                break;
            }
        }
        if (!outcome_ && sd_bus_is_open(bus_.get()) <= 0) {
            settle(PortalOutcome::unavailable, "the session bus closed");
        }
        if (outcome_) {
            finish();
            return;
        }
        rearm();
    }

    void settle(PortalOutcome outcome, const std::string& why) {
        if (!outcome_) {
            outcome_ = outcome;
            if (outcome == PortalOutcome::unavailable) {
                logger.info("Camera portal unavailable: %{public}@", why);
            }
        }
    }

    void finish() {
        watch_.reset();
        ++timeoutGeneration_;
        auto done = std::exchange(onDone_, nullptr);
        done(*outcome_);
    }

    // Watches the bus for what it waits on now, and wakes it at its next deadline.
    void rearm() {
        const int fd = sd_bus_get_fd(bus_.get());
        const int events = sd_bus_get_events(bus_.get());
        std::uint64_t until = UINT64_MAX;
        const int timeout = sd_bus_get_timeout(bus_.get(), &until);
        if (fd < 0 || events < 0 || timeout < 0) {
            settle(PortalOutcome::unavailable, "cannot poll the session bus");
            finish();
            return;
        }
        unsigned wanted = static_cast<unsigned>(FdEvent::readable);
        if ((events & POLLOUT) != 0) {
            wanted |= static_cast<unsigned>(FdEvent::writable);
        }
        std::weak_ptr<PortalRequest> weak = weak_from_this();
        if (!watch_ || wanted != watchedEvents_) {
            watchedEvents_ = wanted;
            watch_ = main_.watchFd(fd, wanted, [weak](unsigned) {
                if (auto self = weak.lock()) {
                    self->pump();
                }
            });
        }
        if (until == armedUntil_) {
            return;
        }
        armedUntil_ = until;
        const std::uint64_t generation = ++timeoutGeneration_;
        if (until == UINT64_MAX) {
            return;
        }
        const std::uint64_t now = monotonicMicros();
        const auto delay = std::chrono::microseconds(until > now ? until - now : 0);
        main_.postAfter(delay, [weak, generation] {
            auto self = weak.lock();
            if (self && self->timeoutGeneration_ == generation) {
                self->armedUntil_ = UINT64_MAX;
                self->pump();
            }
        });
    }

    void subscribe() {
        subscribed_ = true;
        const char* unique = nullptr;
        int result = sd_bus_get_unique_name(bus_.get(), &unique);
        if (result < 0 || unique == nullptr) {
            settle(PortalOutcome::unavailable, "no unique name: " + errorText(result));
            return;
        }
        expectedPath_ = portalRequestPath(unique, token_);
        sd_bus_slot* slot = nullptr;
        result = sd_bus_match_signal_async(
            bus_.get(), &slot, kPortalService, expectedPath_.c_str(), kRequestInterface, "Response",
            &PortalRequest::onResponse, &PortalRequest::onMatchInstalled, this);
        responseMatch_.reset(slot);
        if (result < 0) {
            settle(PortalOutcome::unavailable, "cannot match the response: " + errorText(result));
        }
    }

    void call() {
        sd_bus_slot* slot = nullptr;
        const int result = sd_bus_call_method_async(
            bus_.get(), &slot, kPortalService, kPortalPath, kCameraInterface, "AccessCamera",
            &PortalRequest::onReply, this, "a{sv}", 1, "handle_token", "s", token_.c_str());
        call_.reset(slot);
        if (result < 0) {
            settle(PortalOutcome::unavailable, "cannot call AccessCamera: " + errorText(result));
        }
    }

    static int onMatchInstalled(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto* self = static_cast<PortalRequest*>(userdata);
        if (sd_bus_message_is_method_error(message, nullptr) > 0) {
            self->settle(PortalOutcome::unavailable,
                         std::string("AddMatch failed: ") + errorName(message));
            return 0;
        }
        self->call();
        return 0;
    }

    static int onReply(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto* self = static_cast<PortalRequest*>(userdata);
        if (sd_bus_message_is_method_error(message, nullptr) > 0) {
            self->settle(PortalOutcome::unavailable, errorName(message));
            return 0;
        }
        const char* handle = nullptr;
        if (sd_bus_message_read(message, "o", &handle) < 0 || handle == nullptr) {
            self->settle(PortalOutcome::unavailable, "malformed AccessCamera reply");
            return 0;
        }
        if (self->expectedPath_ != handle) {
            // A portal that ignores handle_token: follow the path it chose as well.
            logger.info("Camera portal answered on %{public}@", std::string(handle));
            sd_bus_slot* slot = nullptr;
            const int result = sd_bus_match_signal_async(self->bus_.get(), &slot, kPortalService,
                                                         handle, kRequestInterface, "Response",
                                                         &PortalRequest::onResponse, nullptr, self);
            self->extraMatch_.reset(slot);
            if (result < 0) {
                self->settle(PortalOutcome::unavailable, "cannot match the response");
            }
        }
        return 0;
    }

    static int onResponse(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto* self = static_cast<PortalRequest*>(userdata);
        std::uint32_t response = 2;
        if (sd_bus_message_read(message, "u", &response) < 0) {
            self->settle(PortalOutcome::unavailable, "malformed Response");
            return 0;
        }
        logger.info("Camera portal response %u", response);
        self->settle(response == 0 ? PortalOutcome::granted : PortalOutcome::denied, {});
        return 0;
    }

    static std::string errorName(sd_bus_message* message) {
        const sd_bus_error* error = sd_bus_message_get_error(message);
        return error != nullptr && error->name != nullptr ? error->name : "unknown error";
    }

    Executor& main_;
    BusPtr bus_;
    // The slots go before the bus does.
    SlotPtr responseMatch_;
    SlotPtr extraMatch_;
    SlotPtr call_;
    std::string token_;
    std::string expectedPath_;
    bool subscribed_ = false;
    std::optional<PortalOutcome> outcome_;
    std::function<void(PortalOutcome)> onDone_;
    unsigned watchedEvents_ = 0;
    std::uint64_t armedUntil_ = UINT64_MAX;
    std::uint64_t timeoutGeneration_ = 0;
    Handle watch_;
};

struct LinuxPermissionCore {
    LinuxPermissionCore(Executor& executor, LinuxPermissionOptions options)
        : main(executor),
          nodes(options.nodes ? std::move(options.nodes) : std::make_shared<SystemDeviceNodes>()),
          busAddress(std::move(options.sessionBusAddress)),
          usePortal(options.usePortal),
          ownProbeQueue(options.probeQueue
                            ? nullptr
                            : std::make_unique<WorkerThread>("dev.corvid.kestrel.permissions")),
          probeQueue(options.probeQueue ? *options.probeQueue : *ownProbeQueue) {}

    // Runs `read` on the probe queue and hands its result to `use` on the main thread while the
    // core lives. The queue holds the core only weakly, so it never becomes the last owner.
    template <typename Result>
    static void readNodes(const std::shared_ptr<LinuxPermissionCore>& core,
                          std::function<Result(const DeviceNodes&)> read,
                          std::function<void(Result)> use) {
        std::weak_ptr<LinuxPermissionCore> weak = core;
        core->probeQueue.post([weak, nodes = core->nodes, main = &core->main,
                               read = std::move(read), use = std::move(use)]() mutable {
            main->post([weak, result = read(*nodes), use = std::move(use)] {
                if (weak.lock()) {
                    use(result);
                }
            });
        });
    }

    Executor& main;
    std::shared_ptr<DeviceNodes> nodes;
    std::string busAddress;
    bool usePortal;
    std::unique_ptr<WorkerThread> ownProbeQueue;
    Executor& probeQueue;
    std::map<std::uint64_t, std::shared_ptr<PortalRequest>> requests;
    std::uint64_t nextRequest = 0;
    ChildReaper children{main};
};

}  // namespace detail

std::string portalRequestPath(std::string_view uniqueName, std::string_view token) {
    std::string sender(uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName);
    std::replace(sender.begin(), sender.end(), '.', '_');
    std::string path(kRequestPathPrefix);
    path += sender;
    path += '/';
    path += token;
    return path;
}

// ---------------------------------------------------------------------------------------------
// The backend

LinuxPermissionBackend::LinuxPermissionBackend(Executor& main, LinuxPermissionOptions options)
    : core_(std::make_shared<detail::LinuxPermissionCore>(main, std::move(options))) {}

LinuxPermissionBackend::~LinuxPermissionBackend() = default;

PermissionStatus LinuxPermissionBackend::cameraStatus() {
    return probeCameraStatus(*core_->nodes);
}

PermissionStatus LinuxPermissionBackend::microphoneStatus() {
    return probeMicrophoneStatus(*core_->nodes);
}

void LinuxPermissionBackend::probeStatuses(StatusesHandler done) {
    using Statuses = std::pair<PermissionStatus, PermissionStatus>;
    detail::LinuxPermissionCore::readNodes<Statuses>(
        core_,
        [](const DeviceNodes& nodes) {
            return Statuses{probeCameraStatus(nodes), probeMicrophoneStatus(nodes)};
        },
        [done = std::move(done)](Statuses statuses) { done(statuses.first, statuses.second); });
}

void LinuxPermissionBackend::requestCameraAccess(std::function<void(bool granted)> answer) {
    using detail::PortalOutcome;
    static std::atomic<std::uint64_t> tokens{0};
    const std::uint64_t id = core_->nextRequest++;
    std::weak_ptr<detail::LinuxPermissionCore> weak = core_;
    // The request is dropped and the answer given from a fresh task, never from inside sd-bus.
    auto onDone = [weak, id, answer = std::move(answer)](PortalOutcome outcome) {
        auto owner = weak.lock();
        if (!owner) {
            return;
        }
        owner->main.post([weak, id, outcome, answer] {
            auto core = weak.lock();
            if (!core) {
                return;
            }
            core->requests.erase(id);
            if (outcome == PortalOutcome::denied) {
                answer(false);
                return;
            }
            // A yes from the portal is only as good as the nodes: granted means a camera opens.
            detail::LinuxPermissionCore::readNodes<PermissionStatus>(
                core, probeCameraStatus, [outcome, answer](PermissionStatus status) {
                    const bool granted = status == PermissionStatus::granted;
                    if (outcome == PortalOutcome::unavailable) {
                        logger.info("Camera access from the device nodes: %{public}@",
                                    granted ? "granted" : "refused");
                    } else if (!granted) {
                        logger.error("the portal allows the camera, but no camera node opens");
                    }
                    answer(granted);
                });
        });
    };
    if (!core_->usePortal) {
        onDone(PortalOutcome::unavailable);
        return;
    }
    std::string failure;
    detail::BusPtr bus = detail::openSessionBus(core_->busAddress, failure);
    if (!bus) {
        logger.info("No session bus (%{public}@)", failure);
        onDone(PortalOutcome::unavailable);
        return;
    }
    const std::string token = "kestrel" + std::to_string(++tokens);
    auto request =
        std::make_shared<detail::PortalRequest>(core_->main, std::move(bus), token, onDone);
    core_->requests.emplace(id, request);
    request->start();
}

// ---------------------------------------------------------------------------------------------
// Launching

bool LinuxPermissionBackend::launch(const std::vector<std::string>& argv) {
    if (argv.empty() || argv.front().empty()) {
        return false;
    }
    // Its own session and signal state: closing our terminal or process group does not take
    // the program along.
    SpawnRequest request;
    request.argv = argv;
    request.searchPath = true;
    request.detach = true;
    const auto spawned = spawnProcess(request);
    if (spawned.pid < 0) {
        logger.info("Cannot start %{public}@: %{public}@", argv.front(),
                    std::strerror(spawned.error));
        return false;
    }
    core_->children.adopt(spawned.pid);
    return true;
}

std::size_t LinuxPermissionBackend::runningChildren() const {
    return core_->children.size();
}

}  // namespace kestrel
