#pragma once

#include <gtest/gtest.h>

#include <map>

#include "app/hotkey/HotKeysController.h"

namespace kestrel::testing {

// A shortcut service that keeps its grabs in a map (or refuses them all) and delivers events on
// request.
class FakeHotKeyBackend final : public HotKeyBackend {
  public:
    bool registerHotKey(const KeyCombo& combo, std::uint32_t signature, std::uint32_t id) override {
        ++registrations;
        if (refuse) {
            return false;
        }
        EXPECT_EQ(signature, HotKeysController::kHotKeySignature);
        grabs[id] = combo;
        return true;
    }
    void unregisterHotKey(std::uint32_t id) override {
        strayReleases += grabs.erase(id) == 0 ? 1 : 0;
    }
    void installEventHandler(EventHandler onEvent) override {
        ++handlersInstalled;
        handler = std::move(onEvent);
    }
    HotKeyEventStatus deliver(std::uint32_t id, HotKeyEvent::Kind kind,
                              std::uint32_t signature = HotKeysController::kHotKeySignature) {
        return handler ? handler(HotKeyEvent{signature, id, kind}) : HotKeyEventStatus::notHandled;
    }
    // Presses the one grabbed combination.
    void press() {
        ASSERT_EQ(grabs.size(), 1U);
        deliver(grabs.begin()->first, HotKeyEvent::Kind::pressed);
    }

    std::map<std::uint32_t, KeyCombo> grabs;
    EventHandler handler;
    int registrations = 0;
    int handlersInstalled = 0;
    int strayReleases = 0;  // releases of ids that were never grabbed
    bool refuse = false;
};

}  // namespace kestrel::testing
