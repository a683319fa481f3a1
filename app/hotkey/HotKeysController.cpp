#include "app/hotkey/HotKeysController.h"

#include <atomic>
#include <limits>
#include <utility>

namespace kestrel {

namespace {

std::uint64_t nextIdentifier() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

}  // namespace

std::shared_ptr<HotKey> HotKey::create(std::shared_ptr<HotKeysController> controller,
                                       KeyCombo keyCombo, Handler keyDownHandler,
                                       Handler keyUpHandler) {
    auto hotKey = std::make_shared<HotKey>(Private{}, controller, keyCombo,
                                           std::move(keyDownHandler), std::move(keyUpHandler));
    controller->registerHotKey(hotKey);
    return hotKey;
}

std::shared_ptr<HotKey> HotKey::create(std::shared_ptr<HotKeysController> controller,
                                       std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                       Handler keyDownHandler, Handler keyUpHandler) {
    return create(std::move(controller), KeyCombo(carbonKeyCode, carbonModifiers),
                  std::move(keyDownHandler), std::move(keyUpHandler));
}

std::shared_ptr<HotKey> HotKey::create(std::shared_ptr<HotKeysController> controller, Key key,
                                       std::uint64_t modifierFlags, Handler keyDownHandler,
                                       Handler keyUpHandler) {
    return create(std::move(controller), KeyCombo(key, modifierFlags), std::move(keyDownHandler),
                  std::move(keyUpHandler));
}

HotKey::HotKey(Private /*tag*/, std::shared_ptr<HotKeysController> controller, KeyCombo keyCombo,
               Handler onKeyDown, Handler onKeyUp)
    : keyDownHandler(std::move(onKeyDown)),
      keyUpHandler(std::move(onKeyUp)),
      controller_(std::move(controller)),
      identifier_(nextIdentifier()),
      keyCombo_(keyCombo) {}

HotKey::~HotKey() {
    controller_->unregisterHotKey(identifier_);
}

void HotKey::setPaused(bool paused) {
    if (paused == isPaused_) {
        return;
    }
    isPaused_ = paused;
    if (paused) {
        controller_->unregisterHotKey(*this);
    } else {
        controller_->registerHotKey(shared_from_this());
    }
}

HotKeysController::HotKeysController(std::shared_ptr<HotKeyBackend> backend)
    : backend_(std::move(backend)) {}

void HotKeysController::registerHotKey(const std::shared_ptr<HotKey>& hotKey) {
    if (!hotKey) {
        return;
    }
    for (const auto& [id, box] : boxes_) {
        if (box.identifier == hotKey->identifier()) {
            return;
        }
    }
    // Ids are never reused; after four billion registrations further ones are refused.
    if (lastHotKeyId_ == std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    const std::uint32_t id = ++lastHotKeyId_;
    HotKeyBox& box = boxes_[id];
    box = HotKeyBox{hotKey->identifier(), hotKey, false};
    if (!backend_->registerHotKey(hotKey->keyCombo(), kHotKeySignature, id)) {
        // Refused: the box stays without a grab and the hot key never fires.
        return;
    }
    box.registered = true;
    if (!handlerInstalled_) {
        handlerInstalled_ = true;
        std::weak_ptr<HotKeysController> weak = weak_from_this();
        backend_->installEventHandler([weak](const HotKeyEvent& event) {
            if (auto self = weak.lock()) {
                return self->handleEvent(event);
            }
            return HotKeyEventStatus::notHandled;
        });
    }
}

void HotKeysController::unregisterHotKey(const HotKey& hotKey) {
    unregisterHotKey(hotKey.identifier());
}

void HotKeysController::unregisterHotKey(std::uint64_t identifier) {
    for (auto entry = boxes_.begin(); entry != boxes_.end(); ++entry) {
        if (entry->second.identifier == identifier) {
            if (entry->second.registered) {
                backend_->unregisterHotKey(entry->first);
            }
            boxes_.erase(entry);
            return;
        }
    }
}

HotKeyEventStatus HotKeysController::handleEvent(const HotKeyEvent& event) {
    if (event.signature != kHotKeySignature) {
        return HotKeyEventStatus::notHandled;
    }
    const auto found = boxes_.find(event.id);
    if (found == boxes_.end()) {
        return HotKeyEventStatus::notHandled;
    }
    const std::shared_ptr<HotKey> hotKey = found->second.hotKey.lock();
    if (!hotKey) {
        boxes_.erase(found);
        return HotKeyEventStatus::notHandled;
    }
    HotKey::Handler handler;
    switch (event.kind) {
        case HotKeyEvent::Kind::pressed:
            if (hotKey->isPaused()) {
                return HotKeyEventStatus::notHandled;
            }
            handler = hotKey->keyDownHandler;
            break;
        case HotKeyEvent::Kind::released:
            if (hotKey->isPaused()) {
                return HotKeyEventStatus::notHandled;
            }
            handler = hotKey->keyUpHandler;
            break;
        case HotKeyEvent::Kind::other:
            return HotKeyEventStatus::notHandled;
    }
    if (!handler) {
        return HotKeyEventStatus::notHandled;
    }
    handler();
    return HotKeyEventStatus::handled;
}

std::optional<std::uint32_t> HotKeysController::idOf(const HotKey& hotKey) const {
    for (const auto& [id, box] : boxes_) {
        if (box.identifier == hotKey.identifier()) {
            return id;
        }
    }
    return std::nullopt;
}

}  // namespace kestrel
