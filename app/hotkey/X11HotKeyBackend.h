#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/hotkey/HotKeyBackend.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"

namespace kestrel {

// Grabs hot keys on the X server's root window: command is Super (Mod4), option Alt (Mod1),
// control Control and shift Shift, each also with Num Lock and Caps Lock held. Events are read
// through the main executor's descriptor watch. Without a reachable X server it grabs nothing and
// logs that once; when the server goes away later it logs that, forgets its grabs and grabs
// nothing more, and the process carries on. A held key is one press and one release, however
// long the keyboard repeats it. Main thread only.
class X11HotKeyBackend final : public HotKeyBackend {
  public:
    // `displayName` empty: the DISPLAY of the environment.
    explicit X11HotKeyBackend(Executor& main, const std::string& displayName = {});
    ~X11HotKeyBackend() override;
    X11HotKeyBackend(const X11HotKeyBackend&) = delete;
    X11HotKeyBackend& operator=(const X11HotKeyBackend&) = delete;

    bool connected() const;
    // The X connection's descriptor, -1 when there is none.
    int fd() const;

    bool registerHotKey(const KeyCombo& combo, std::uint32_t signature, std::uint32_t id) override;
    void unregisterHotKey(std::uint32_t id) override;
    void installEventHandler(EventHandler handler) override;

    // The X key symbol of a key, 0 when the key has none.
    static unsigned long keySymbol(Key key);

  private:
    struct Grab {
        unsigned keycode;
        unsigned modifiers;
        std::uint32_t signature;
    };
    struct DisplayCloser {
        void operator()(void* display) const;
    };

    void readEvents();
    void logUnavailableOnce();
    void handleLostConnection();

    Executor& main_;
    std::unique_ptr<void, DisplayCloser> display_;
    std::map<std::uint32_t, Grab> grabs_;
    EventHandler handler_;
    // The grab whose key is down, until its release.
    std::optional<std::uint32_t> pressedId_;
    Handle watch_;
    bool loggedUnavailable_ = false;
    // Set by Xlib's I/O error exit handler: the connection is dead and only waits to be closed.
    bool lost_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
