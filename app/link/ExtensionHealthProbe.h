#pragma once

// Detects a copy of the camera daemon that lingers after an update: the delegate of one properties
// request. It reports once whether any running copy is uninstalling (a zombie), then lets itself
// go. Each probe is used once.
//
// Thread affinity: the main thread; the service delivers the delegate's events there.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/link/ExtensionBridge.h"
#include "platform/runtime/Log.h"

namespace kestrel {

class ExtensionHealthProbe final : public std::enable_shared_from_this<ExtensionHealthProbe> {
  public:
    using Completion = std::function<void(bool zombie)>;

    // A probe that keeps itself alive until its first terminal event.
    static std::shared_ptr<ExtensionHealthProbe> create(Completion completion);

    // The events of its request. They hold the probe weakly, as the request holds its delegate.
    PropertiesDelegate delegate();

    void foundProperties(const std::vector<ExtensionProperties>& copies);
    void finished(int result);
    void failed(const Error& error);
    // Not expected for a properties request.
    static ReplacementAction replacementAction() { return ReplacementAction::replace; }

  private:
    struct Private {};

  public:
    ExtensionHealthProbe(Private, Completion completion) : completion_(std::move(completion)) {}

  private:
    // Calls the completion if it is still set, then clears it and the self-reference.
    void complete(bool zombie);

    Completion completion_;
    std::shared_ptr<ExtensionHealthProbe> selfRetain_;
    Log log_{std::string(kAppLogSubsystem), "ExtHealth"};
};

// The virtual camera is visible when a capture device's name contains "Kestrel" (case-sensitive).
bool isVirtualCameraVisible(const std::vector<std::string>& captureDeviceNames);

}  // namespace kestrel
