#include "app/link/ExtensionBridge.h"

#include "app/link/ExtensionHealthProbe.h"
#include "shared/CameraIPC.h"

namespace kestrel {

ExtensionBridge::ExtensionBridge(AppState& state, CameraLinkPort& link, Executor& executor,
                                 Executor& linkExecutor, const HostClock& hostClock,
                                 std::shared_ptr<ExtensionService> service,
                                 std::shared_ptr<CaptureDeviceLister> devices)
    : state_(state),
      executor_(executor),
      service_(std::move(service)),
      devices_(std::move(devices)),
      sink_(link, linkExecutor, hostClock) {}

ExtensionBridge::~ExtensionBridge() {
    alive_.reset();
}

void ExtensionBridge::activate() {
    if (!service_) {
        log_.info("no extension service in this build; start kestrel-camera separately");
        return;
    }
    service_->submitActivationRequest(CameraIPC::extensionIdentifier, makeDelegate());
}

ActivationDelegate ExtensionBridge::makeDelegate() {
    std::weak_ptr<ExtensionBridge*> weak = alive_;
    Executor* executor = &executor_;
    ActivationDelegate delegate;
    // Whatever copy is installed gives way to the one that ships with this application.
    delegate.replacementAction = [] { return ReplacementAction::replace; };
    delegate.needsUserApproval = [weak, executor] {
        executor->post([weak] {
            if (auto self = weak.lock()) {
                (*self)->log_.info("extension awaiting user approval in System Settings");
            }
        });
    };
    delegate.finished = [weak, executor](int result) {
        if (result != activationResult::completed &&
            result != activationResult::willCompleteAfterReboot) {
            return;
        }
        executor->post([weak] {
            if (auto self = weak.lock()) {
                (*self)->state_.extensionInstalled = true;
            }
        });
    };
    delegate.failed = [weak, executor](const Error& error) {
        executor->post([weak, description = error.description] {
            if (auto self = weak.lock()) {
                (*self)->log_.error("extension activation failed: %{public}@", description);
            }
        });
    };
    return delegate;
}

void ExtensionBridge::reconnect() {
    log_.info("reconnect() requested");
    sink_.reconnect();
}

void ExtensionBridge::probeExtensionHealth() {
    if (!service_) {
        log_.info("no extension service in this build; no health probe");
        return;
    }
    std::weak_ptr<ExtensionBridge*> weak = alive_;
    auto probe = ExtensionHealthProbe::create([weak](bool zombie) {
        if (auto self = weak.lock()) {
            (*self)->evaluateHealth(zombie);
        }
    });
    service_->submitPropertiesRequest(CameraIPC::extensionIdentifier, probe->delegate());
}

void ExtensionBridge::evaluateHealth(bool zombie) {
    std::weak_ptr<ExtensionBridge*> weak = alive_;
    auto decide = [weak, zombie](bool visible) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        const bool flagStale = zombie && !visible;
        (*self)->log_.info(
            "probeExtensionHealth: zombie=%{public}@ devVisible=%{public}@ flagStale=%{public}@",
            zombie ? "y" : "n", visible ? "y" : "n", flagStale ? "y" : "n");
        // Written on every probe, so one that finds nothing wrong clears an earlier notice.
        (*self)->executor_.post([weak, flagStale] {
            if (auto bridge = weak.lock()) {
                (*bridge)->state_.hasStaleSysext = flagStale;
            }
        });
    };
    if (!devices_) {
        decide(false);
        return;
    }
    devices_->listCaptureDeviceNames(
        [decide](const std::vector<std::string>& names) { decide(isVirtualCameraVisible(names)); });
}

}  // namespace kestrel
