#include "app/link/ExtensionHealthProbe.h"

#include <algorithm>

#include "shared/CameraIPC.h"

namespace kestrel {

std::shared_ptr<ExtensionHealthProbe> ExtensionHealthProbe::create(Completion completion) {
    auto probe = std::make_shared<ExtensionHealthProbe>(Private{}, std::move(completion));
    probe->selfRetain_ = probe;
    return probe;
}

PropertiesDelegate ExtensionHealthProbe::delegate() {
    std::weak_ptr<ExtensionHealthProbe> weak = weak_from_this();
    PropertiesDelegate delegate;
    delegate.foundProperties = [weak](const std::vector<ExtensionProperties>& copies) {
        if (auto probe = weak.lock()) {
            probe->foundProperties(copies);
        }
    };
    delegate.finished = [weak](int result) {
        if (auto probe = weak.lock()) {
            probe->finished(result);
        }
    };
    delegate.failed = [weak](const Error& error) {
        if (auto probe = weak.lock()) {
            probe->failed(error);
        }
    };
    delegate.replacementAction = [] { return replacementAction(); };
    delegate.needsUserApproval = [] {};
    return delegate;
}

void ExtensionHealthProbe::foundProperties(const std::vector<ExtensionProperties>& copies) {
    const bool zombie = std::any_of(copies.begin(), copies.end(),
                                    [](const ExtensionProperties& p) { return p.isUninstalling; });
    log_.info("propertiesRequest: %d copy(ies), stale=%{public}@", copies.size(),
              zombie ? "y" : "n");
    complete(zombie);
}

void ExtensionHealthProbe::finished(int /*result*/) {
    complete(false);
}

void ExtensionHealthProbe::failed(const Error& error) {
    log_.error("propertiesRequest failed: %{public}@", error.description);
    complete(false);
}

void ExtensionHealthProbe::complete(bool zombie) {
    // The self-reference goes last: it may be what keeps this probe alive.
    auto keep = std::move(selfRetain_);
    if (auto completion = std::exchange(completion_, nullptr)) {
        completion(zombie);
    }
}

bool isVirtualCameraVisible(const std::vector<std::string>& captureDeviceNames) {
    return std::any_of(captureDeviceNames.begin(), captureDeviceNames.end(),
                       [](const std::string& name) {
                           return name.find(CameraIPC::deviceName) != std::string::npos;
                       });
}

}  // namespace kestrel
