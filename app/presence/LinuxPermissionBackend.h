#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/presence/Permissions.h"
#include "platform/runtime/Executor.h"

namespace kestrel {

namespace detail {
struct LinuxPermissionCore;
}  // namespace detail

// The card name of our own loopback output device: it is where we send frames, not a camera.
inline constexpr std::string_view kLoopbackCardName = "Kestrel";

// What opening one V4L2 node told us.
struct VideoNodeInfo {
    int openError = 0;     // errno of open(2); 0 when the node opened
    bool capture = false;  // VIDIOC_QUERYCAP lists video capture among the node's capabilities
    std::string card;      // the driver's card name, when the node opened
};

// The device nodes the permission probe looks at; tests replace it.
class DeviceNodes {
  public:
    virtual ~DeviceNodes() = default;

    // V4L2 nodes (/dev/videoN), in number order.
    virtual std::vector<std::string> videoNodes() const = 0;
    // Opens the node read-write and non-blocking, asks for its capabilities and closes it.
    virtual VideoNodeInfo probeVideo(const std::string& path) const = 0;
    // ALSA capture nodes (/dev/snd/pcmCcDdc).
    virtual std::vector<std::string> audioCaptureNodes() const = 0;
    // 0 when the node may be read and written, errno of access(2) otherwise.
    virtual int accessError(const std::string& path) const = 0;
};

// The real nodes under `devRoot`.
class SystemDeviceNodes final : public DeviceNodes {
  public:
    explicit SystemDeviceNodes(std::string devRoot = "/dev") : devRoot_(std::move(devRoot)) {}

    std::vector<std::string> videoNodes() const override;
    VideoNodeInfo probeVideo(const std::string& path) const override;
    std::vector<std::string> audioCaptureNodes() const override;
    int accessError(const std::string& path) const override;

  private:
    std::string devRoot_;
};

// Granted when some capture node opens, denied when nodes exist and the only answers are refusals
// (EACCES/EPERM: typically the user is not in the `video` group), not determined without nodes.
// Nodes that open but do not capture, and our own loopback output, do not count.
PermissionStatus probeCameraStatus(const DeviceNodes& nodes);
// Granted when some capture PCM is readable and writable, denied when all are refused.
PermissionStatus probeMicrophoneStatus(const DeviceNodes& nodes);

// Where the camera portal publishes a request's Response: request/SENDER/TOKEN, SENDER being the
// caller's unique bus name without the ':' and with '_' for '.'.
std::string portalRequestPath(std::string_view uniqueName, std::string_view token);

struct LinuxPermissionOptions {
    // Null: the system's nodes.
    std::shared_ptr<DeviceNodes> nodes;
    // D-Bus address of the session bus; empty: the user's own.
    std::string sessionBusAddress;
    // False skips the desktop portal and answers camera requests from the device nodes alone.
    bool usePortal = true;
    // Where the device nodes are opened; null: a thread of the backend's own.
    Executor* probeQueue = nullptr;
};

// Device nodes for the statuses; the desktop camera portal (org.freedesktop.portal.Camera) for
// requests, where a yes counts only once a camera node opens, and the device nodes alone where no
// portal answers; posix_spawn for settings. Everything runs on `main` except the opening of
// device nodes, which may block and runs on the probe queue; D-Bus traffic never blocks `main`.
class LinuxPermissionBackend final : public PermissionBackend {
  public:
    explicit LinuxPermissionBackend(Executor& main, LinuxPermissionOptions options = {});
    ~LinuxPermissionBackend() override;
    LinuxPermissionBackend(const LinuxPermissionBackend&) = delete;
    LinuxPermissionBackend& operator=(const LinuxPermissionBackend&) = delete;

    PermissionStatus cameraStatus() override;
    PermissionStatus microphoneStatus() override;
    // Reads on the probe queue; the answer is posted to `main`.
    void probeStatuses(StatusesHandler done) override;
    // The answer is posted to `main`.
    void requestCameraAccess(std::function<void(bool granted)> answer) override;
    // The program runs in its own session with stdin from /dev/null; it is reaped when it exits.
    bool launch(const std::vector<std::string>& argv) override;

    // Programs started by launch() that have not been reaped yet.
    std::size_t runningChildren() const;

  private:
    std::shared_ptr<detail::LinuxPermissionCore> core_;
};

// For the test-pattern and file cameras, which need no device: the camera is always granted. The
// microphone and the settings launcher come from `rest`.
class AlwaysGrantedCameraBackend final : public PermissionBackend {
  public:
    explicit AlwaysGrantedCameraBackend(std::shared_ptr<PermissionBackend> rest)
        : rest_(std::move(rest)) {}

    PermissionStatus cameraStatus() override { return PermissionStatus::granted; }
    PermissionStatus microphoneStatus() override { return rest_->microphoneStatus(); }
    void probeStatuses(StatusesHandler done) override {
        rest_->probeStatuses(
            [done = std::move(done)](PermissionStatus, PermissionStatus microphone) {
                done(PermissionStatus::granted, microphone);
            });
    }
    void requestCameraAccess(std::function<void(bool granted)> answer) override { answer(true); }
    bool launch(const std::vector<std::string>& argv) override { return rest_->launch(argv); }

  private:
    std::shared_ptr<PermissionBackend> rest_;
};

}  // namespace kestrel
