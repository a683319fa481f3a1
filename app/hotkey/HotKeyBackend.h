#pragma once

#include <cstdint>
#include <functional>

#include "app/hotkey/KeyCombo.h"

namespace kestrel {

// What the platform's global-shortcut service reports for a registered combination.
struct HotKeyEvent {
    enum class Kind { pressed, released, other };
    std::uint32_t signature = 0;
    std::uint32_t id = 0;
    Kind kind = Kind::other;
};

enum class HotKeyEventStatus { handled, notHandled };

// A global-shortcut service: grabs combinations system-wide and reports presses and releases
// under the id and signature they were registered with. Main thread only.
class HotKeyBackend {
  public:
    using EventHandler = std::function<HotKeyEventStatus(const HotKeyEvent&)>;

    virtual ~HotKeyBackend() = default;
    // Grabs `combo`; false when the service refuses it (taken by someone else, no service).
    virtual bool registerHotKey(const KeyCombo& combo, std::uint32_t signature,
                                std::uint32_t id) = 0;
    virtual void unregisterHotKey(std::uint32_t id) = 0;
    // Installed once, on the first successful registration; events arrive on the main thread.
    virtual void installEventHandler(EventHandler handler) = 0;
};

}  // namespace kestrel
