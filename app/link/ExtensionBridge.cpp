#include "app/link/ExtensionBridge.h"

#include "shared/CameraIPC.h"

namespace kestrel {

ExtensionBridge::ExtensionBridge(AppState& state, CameraLinkPort& link, Executor& executor,
                                 const HostClock& hostClock,
                                 std::shared_ptr<ExtensionService> service)
    : state_(state),
      executor_(executor),
      service_(std::move(service)),
      sink_(link, executor, hostClock) {}

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
    sink_.disconnect();
    sink_.connect();
}

}  // namespace kestrel
