#pragma once

// Fakes for the application delegate's collaborators, and a rig that launches one in virtual time.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "app/startup/AppDelegate.h"
#include "platform/runtime/Observable.h"
#include "tests/app/engine/EngineFakes.h"
#include "tests/support/FakeHotKeyBackend.h"
#include "tests/support/FakePermissionBackend.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFolder.h"

namespace kestrel::testing {

class FakeToggleSignal final : public ToggleSignalSource {
  public:
    Handle observeToggle(std::function<void()> onToggle) override {
        return signal.connect(std::move(onToggle));
    }
    Signal<> signal;
};

// An application delegate over fakes, in virtual time, with the fakes still reachable.
class DelegateRig {
  public:
    DelegateRig() {
        permissionBackend->camera = PermissionStatus::granted;
        permissionBackend->microphone = PermissionStatus::granted;
        permissionBackend->answer = true;
    }
    ~DelegateRig() { resetVirtualCameraHook = nullptr; }

    // A launch over fakes; `settings` carries what earlier launches stored.
    std::shared_ptr<AppDelegate> launch() {
        auto toggle = std::make_unique<FakeToggleSignal>();
        toggleSignal = toggle.get();
        auto wake = std::make_unique<FakeWake>(calls);
        AppDelegate::Collaborators deps{
            main,
            main.hostClock(),
            main.wallClock(),
            settings,
            permissionBackend,
            loopsFolder.path(),
            [this](AppState&, LoopLibrary&, std::shared_ptr<ExtensionService>) {
                calls->push_back("engine.build");
                EngineBuild build;
                bridge = install<FakeBridge>(build.parts.bridge, calls);
                install<FakeWebcam>(build.parts.webcam, calls);
                install<FakeLoop>(build.parts.loop, calls);
                install<FakeDetector>(build.parts.detector, calls);
                build.parts.recorder = std::make_shared<FakeRecorder>(calls);
                return build;
            },
            hotKeys,
            std::move(toggle),
            std::move(wake),
            nullptr};
        auto delegate = AppDelegate::create(std::move(deps));
        delegate->setOnboardingPresenter(showOnboarding);
        delegate->applicationDidFinishLaunching();
        main.runUntilIdle();
        return delegate;
    }

    // A later launch: onboarding seen and the camera service installed by an earlier one.
    std::shared_ptr<AppDelegate> launchSetUp() {
        settings->setBool(AppState::kHasSeenOnboardingKey, true);
        settings->setBool(AppState::kExtensionInstalledKey, true);
        return launch();
    }

    int count(const std::string& call) const {
        return static_cast<int>(std::count(calls->begin(), calls->end(), call));
    }
    std::ptrdiff_t indexOf(const std::string& call) const {
        return std::find(calls->begin(), calls->end(), call) - calls->begin();
    }

    // Set to launch as with a display: the wizard's stand-in.
    std::function<void()> showOnboarding;
    LogCapture logs;
    std::shared_ptr<CallLog> calls = std::make_shared<CallLog>();
    ManualExecutor main;
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<FakePermissionBackend> permissionBackend =
        std::make_shared<FakePermissionBackend>();
    std::shared_ptr<FakeHotKeyBackend> hotKeys = std::make_shared<FakeHotKeyBackend>();
    TempFolder loopsFolder;
    FakeToggleSignal* toggleSignal = nullptr;
    FakeBridge* bridge = nullptr;
};

}  // namespace kestrel::testing
