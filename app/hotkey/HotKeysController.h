#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/hotkey/HotKeyBackend.h"
#include "app/hotkey/KeyCombo.h"

namespace kestrel {

class HotKeysController;

// One global key combination with its actions. Registered from creation until paused or
// destroyed; un-pausing registers it afresh under a new id. Main thread only.
class HotKey : public std::enable_shared_from_this<HotKey> {
  public:
    using Handler = std::function<void()>;

    static std::shared_ptr<HotKey> create(std::shared_ptr<HotKeysController> controller,
                                          KeyCombo keyCombo, Handler keyDownHandler = {},
                                          Handler keyUpHandler = {});
    static std::shared_ptr<HotKey> create(std::shared_ptr<HotKeysController> controller,
                                          std::uint32_t carbonKeyCode,
                                          std::uint32_t carbonModifiers,
                                          Handler keyDownHandler = {}, Handler keyUpHandler = {});
    // `modifierFlags` in the application's keyboard-event encoding.
    static std::shared_ptr<HotKey> create(std::shared_ptr<HotKeysController> controller, Key key,
                                          std::uint64_t modifierFlags, Handler keyDownHandler = {},
                                          Handler keyUpHandler = {});

    struct Private {};
    HotKey(Private, std::shared_ptr<HotKeysController> controller, KeyCombo keyCombo,
           Handler onKeyDown, Handler onKeyUp);
    ~HotKey();
    HotKey(const HotKey&) = delete;
    HotKey& operator=(const HotKey&) = delete;

    std::uint64_t identifier() const { return identifier_; }
    const KeyCombo& keyCombo() const { return keyCombo_; }
    bool isPaused() const { return isPaused_; }
    void setPaused(bool paused);

    // Looked up when the event arrives, so they may be set after creation.
    Handler keyDownHandler;
    Handler keyUpHandler;

  private:
    std::shared_ptr<HotKeysController> controller_;
    std::uint64_t identifier_;
    KeyCombo keyCombo_;
    bool isPaused_ = false;
};

// The registry between hot keys and the platform service: gives each registration a fresh id,
// grabs the combination, and routes the service's events to the hot key's handlers. Main thread
// only.
class HotKeysController : public std::enable_shared_from_this<HotKeysController> {
  public:
    // "HtKy", first letter in the most significant byte.
    static constexpr std::uint32_t kHotKeySignature = 0x48744B79;

    explicit HotKeysController(std::shared_ptr<HotKeyBackend> backend);

    void registerHotKey(const std::shared_ptr<HotKey>& hotKey);
    void unregisterHotKey(const HotKey& hotKey);
    void unregisterHotKey(std::uint64_t identifier);

    // The installed handler: runs the matching handler and answers whether it did.
    HotKeyEventStatus handleEvent(const HotKeyEvent& event);

    // Inspection for tests and diagnostics.
    std::size_t boxCount() const { return boxes_.size(); }
    std::optional<std::uint32_t> idOf(const HotKey& hotKey) const;
    std::uint32_t lastHotKeyId() const { return lastHotKeyId_; }

  private:
    struct HotKeyBox {
        std::uint64_t identifier;
        std::weak_ptr<HotKey> hotKey;
        bool registered = false;
    };

    std::shared_ptr<HotKeyBackend> backend_;
    std::map<std::uint32_t, HotKeyBox> boxes_;
    std::uint32_t lastHotKeyId_ = 0;
    bool handlerInstalled_ = false;
};

}  // namespace kestrel
