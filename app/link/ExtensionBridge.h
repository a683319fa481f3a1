#pragma once

// The application's handle on its camera daemon: asks the extension service to install and start
// it, records a successful installation in the application state, owns the one
// VirtualCameraSink and rebuilds the sink's connection on request.
//
// Thread affinity: the executor's thread (the application's main thread). Service events may
// arrive on any thread; they are moved to the executor before they touch anything.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/engine/FramePorts.h"
#include "app/link/CameraLinkPort.h"
#include "app/link/CameraServiceStatus.h"
#include "app/link/VirtualCameraSink.h"
#include "app/state/AppState.h"
#include "platform/runtime/Error.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// How a request ended, as the extension service reports it; other values mean nothing happened.
namespace activationResult {
inline constexpr int completed = 0;
inline constexpr int willCompleteAfterReboot = 1;
}  // namespace activationResult

enum class ReplacementAction { cancel, replace };

// The four events of one activation request.
struct ActivationDelegate {
    std::function<ReplacementAction()> replacementAction;
    std::function<void()> needsUserApproval;
    std::function<void(int result)> finished;
    std::function<void(const Error& error)> failed;
};

// One installed copy of the camera daemon. A copy that is uninstalling lingers until it exits
// (its program was replaced or deleted, or it was told to go and has not).
struct ExtensionProperties {
    int pid = 0;
    std::string executable;
    bool isUninstalling = false;
};

// The events of one properties request.
struct PropertiesDelegate {
    std::function<void(const std::vector<ExtensionProperties>& copies)> foundProperties;
    std::function<void(int result)> finished;
    std::function<void(const Error& error)> failed;
    std::function<ReplacementAction()> replacementAction;
    std::function<void()> needsUserApproval;
};

// Installs and starts the camera daemon, and lists its running copies. Each request is
// independent; the service calls the delegate's events on whatever thread it likes.
class ExtensionService {
  public:
    virtual ~ExtensionService() = default;
    virtual void submitActivationRequest(std::string_view identifier,
                                         ActivationDelegate delegate) = 0;
    virtual void submitPropertiesRequest(std::string_view identifier,
                                         PropertiesDelegate delegate) = 0;
};

// The names of the video capture devices that applications can open; `done` runs on the main
// thread.
class CaptureDeviceLister {
  public:
    virtual ~CaptureDeviceLister() = default;
    virtual void listCaptureDeviceNames(
        std::function<void(std::vector<std::string> names)> done) = 0;
};

class ExtensionBridge final : public CameraBridge {
  public:
    // `state`, `link`, both executors and `hostClock` must outlive the bridge; `link` is used on
    // `linkExecutor` only (a thread of its own in the application, so that the main thread never
    // waits on the daemon). `service` may be null in a build without one, and then activation and
    // the health probe only say so. Without `devices` no capture device counts as visible.
    ExtensionBridge(AppState& state, CameraLinkPort& link, Executor& executor,
                    Executor& linkExecutor, const HostClock& hostClock,
                    std::shared_ptr<ExtensionService> service,
                    std::shared_ptr<CaptureDeviceLister> devices = nullptr);
    ~ExtensionBridge() override;
    ExtensionBridge(const ExtensionBridge&) = delete;
    ExtensionBridge& operator=(const ExtensionBridge&) = delete;

    void activate() override;
    void reconnect() override;
    // Asks the service for the running copies of the daemon and sets `hasStaleSysext` when one
    // lingers while no capture device named "Kestrel" is visible.
    void probeExtensionHealth() override;
    FrameSink& sink() override { return sink_; }

  private:
    ActivationDelegate makeDelegate();
    // The probe's completion: decides and writes `hasStaleSysext`.
    void evaluateHealth(bool zombie);

    AppState& state_;
    Executor& executor_;
    std::shared_ptr<ExtensionService> service_;
    std::shared_ptr<CaptureDeviceLister> devices_;
    LinkThreadSink sink_;
    Log log_{std::string(kAppLogSubsystem), "ExtensionBridge"};
    // Liveness token: events of requests still in flight find no bridge once it is gone.
    std::shared_ptr<ExtensionBridge*> alive_ = std::make_shared<ExtensionBridge*>(this);
};

}  // namespace kestrel
