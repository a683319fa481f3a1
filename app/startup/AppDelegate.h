#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/engine/CameraEngine.h"
#include "app/hotkey/HotKeyBackend.h"
#include "app/hotkey/HotKeysController.h"
#include "app/link/ExtensionBridge.h"
#include "app/presence/Permissions.h"
#include "app/sources/LoopLibrary.h"
#include "app/sources/LoopRecorder.h"
#include "app/startup/EngineGate.h"
#include "app/state/AppState.h"
#include "app/state/SettingsStore.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Error.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// The cross-process "toggle force away" signal, however the desktop carries it. `onToggle` may be
// called on any thread; the handle ends the observation.
class ToggleSignalSource {
  public:
    virtual ~ToggleSignalSource() = default;
    virtual Handle observeToggle(std::function<void()> onToggle) = 0;
};

// Resets the virtual camera without a reference to the engine; set at launch, holding the engine
// weakly. Main thread only.
inline std::function<void()> resetVirtualCameraHook;
// Runs the extension health probe again, the same way. Main thread only.
inline std::function<void()> probeExtensionHealthHook;

// What the entry builds the engine from. `recorder` is also the engine's frame recorder; it may be
// null in a build that records nothing.
struct EngineBuild {
    EngineParts parts;
    std::shared_ptr<LoopRecorder> recorder;
};

// A snapshot of the application for status queries.
struct AppStatus {
    AppState::Mode mode = AppState::Mode::live;
    bool manualOverride = false;
    bool autoAwayEnabled = false;
    std::vector<std::filesystem::path> loops;
    std::optional<std::filesystem::path> activeLoop;
    bool engineStarted = false;
    bool recording = false;
    std::int64_t dispatchCount = 0;
    std::int64_t dispatchAwayCount = 0;
    std::int64_t dispatchAwayLoopMissCount = 0;
    std::int64_t dispatchDropCount = 0;
    std::int64_t dispatchAwayLoopRepeatCount = 0;
    // "loop" or "still" once away has shown a frame; none while live.
    std::optional<std::string> awayShows;
    std::optional<std::string> loopError;
    bool autoAwayAvailable = true;
};

// Builds the application's object graph at launch, registers the two ways of toggling force away
// and starts the camera engine once, through the start gate, as soon as onboarding has been seen,
// camera access is granted and the camera daemon is installed. Lives until the process exits.
// Main thread only (`main`), except that the toggle signal may arrive on any thread.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
  public:
    using EngineFactory = std::function<EngineBuild(AppState& state, LoopLibrary& library,
                                                    std::shared_ptr<ExtensionService> service)>;

    struct Collaborators {
        Executor& main;
        const HostClock& hostClock;
        const WallClock& wallClock;
        std::shared_ptr<SettingsStore> settings;
        std::shared_ptr<PermissionBackend> permissionBackend;
        std::filesystem::path loopsFolder;
        EngineFactory engineFactory;
        std::shared_ptr<HotKeyBackend> hotKeyBackend;
        // Null where no inter-process signal is available.
        std::unique_ptr<ToggleSignalSource> toggleSignal;
        // Null where the platform reports no wake-ups.
        std::unique_ptr<WakeSource> wake;
        // Null in a build without one; activation then only says so.
        std::shared_ptr<ExtensionService> extensionService;
    };

    // Creates the permissions (read at once) and the state; builds nothing else yet.
    static std::shared_ptr<AppDelegate> create(Collaborators collaborators);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Where a display can show the first-run wizard: `show` runs 0.25 s after launch while
    // onboarding has not been seen, and the engine waits until the wizard is finished. Without
    // one (headless), onboarding counts as seen for the run. Call before the launch.
    void setOnboardingPresenter(std::function<void()> show) { showOnboarding_ = std::move(show); }

    // The start-up sequence: engine, reset hook, hot key, toggle signal, loops, permissions,
    // activation, the gate's subscription, the gate itself, onboarding.
    void applicationDidFinishLaunching();
    // Safe to call any number of times; starts the engine at most once.
    void startEngineIfReady();
    void toggleForceAway();

    // Starts a new loop recording of at most 60 s. Fails when the recorder cannot start one (or
    // this build has none); true when a recording began, false when one was already running.
    std::variant<bool, Error> startRecording();
    // Stops the recording; `done` receives the saved loop (already in the library), or none when
    // nothing was recording or writing failed. Always called, on the main thread.
    void stopRecording(std::function<void(const std::optional<std::filesystem::path>&)> done);

    AppStatus status() const;

    AppState& state() { return *state_; }
    const LoopLibrary& library() const { return library_; }
    const std::shared_ptr<Permissions>& permissions() const { return permissions_; }
    CameraEngine* engine() const { return engine_.get(); }
    bool engineStarted() const { return gate_ && gate_->engineStarted(); }
    const HotKey* hotKey() const { return hotKey_.get(); }

    struct Private {};
    AppDelegate(Private, Collaborators collaborators);

  private:
    void registerToggleSignal();

    Collaborators deps_;
    std::shared_ptr<Permissions> permissions_;
    std::unique_ptr<AppState> state_;
    LoopLibrary library_;
    std::shared_ptr<LoopRecorder> recorder_;
    std::shared_ptr<CameraEngine> engine_;
    std::shared_ptr<HotKey> hotKey_;
    std::unique_ptr<EngineGate> gate_;
    std::function<void()> showOnboarding_;
    std::vector<Handle> observers_;
    Log log_{std::string(kAppLogSubsystem), "App"};
};

}  // namespace kestrel
