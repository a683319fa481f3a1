#include "app/startup/AppDelegate.h"

#include <chrono>

#include <string>
#include <utility>

namespace kestrel {

namespace {

// The longest loop a user records; the recorder stops by itself there.
constexpr double kLoopMaxSeconds = 60.0;

const Log engineLog{std::string(kAppLogSubsystem), "Engine"};

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(Collaborators collaborators) {
    return std::make_shared<AppDelegate>(Private{}, std::move(collaborators));
}

AppDelegate::AppDelegate(Private, Collaborators collaborators)
    : deps_(std::move(collaborators)),
      permissions_(std::make_shared<Permissions>(deps_.permissionBackend, deps_.main)),
      state_(std::make_unique<AppState>(permissions_, deps_.settings)),
      library_(deps_.loopsFolder, deps_.wallClock) {}

AppDelegate::~AppDelegate() {
    // Observers first: none of them may run into a half-destroyed graph.
    observers_.clear();
    gate_.reset();
    hotKey_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();

    auto build = deps_.engineFactory(*state_, library_, deps_.extensionService);
    recorder_ = build.recorder;
    build.parts.wake = std::move(deps_.wake);
    engine_ = CameraEngine::create(*state_, std::move(build.parts), deps_.main, deps_.hostClock,
                                   deps_.wallClock);
    if (recorder_) {
        // A recording that stops at its length joins the library like one the user stopped.
        recorder_->setAutomaticStopCompletion([engine = std::weak_ptr<CameraEngine>(engine_)](
                                                  const std::optional<std::filesystem::path>& url) {
            if (auto alive = engine.lock()) {
                alive->adoptRecordedLoop(url);
            }
        });
    }

    // The process-wide reset hook.
    resetVirtualCameraHook = [engine = std::weak_ptr<CameraEngine>(engine_)] {
        if (auto alive = engine.lock()) {
            alive->resetVirtualCamera();
        }
    };
    probeExtensionHealthHook = [engine = std::weak_ptr<CameraEngine>(engine_)] {
        if (auto alive = engine.lock()) {
            alive->probeExtensionHealth();
        }
    };

    // Cmd+Shift+A (Super+Shift+A on X11).
    if (deps_.hotKeyBackend) {
        hotKey_ = HotKey::create(std::make_shared<HotKeysController>(deps_.hotKeyBackend), Key::a,
                                 modifier::kCommand | modifier::kShift, [weak] {
                                     if (auto self = weak.lock()) {
                                         self->toggleForceAway();
                                     }
                                 });
    }

    registerToggleSignal();

    // Loops, permissions, activation (on every launch, whatever the gate says).
    library_.recoverRecordings();
    library_.refreshLoops(*state_);
    permissions_->refresh();
    engine_->bridge().activate();

    // The gate: re-run on every change of its three conditions, and once directly.
    gate_ = std::make_unique<EngineGate>(*state_, permissions_->camera, [this] {
        if (engine_) {
            engine_->start();
        }
    });
    gate_->observe();
    gate_->startEngineIfReady();

    if (state_->hasSeenOnboarding.get()) {
        return;
    }
    if (showOnboarding_) {
        deps_.main.postAfter(std::chrono::milliseconds(250), [weak] {
            if (auto self = weak.lock(); self && !self->state_->hasSeenOnboarding.get()) {
                self->showOnboarding_();
            }
        });
    } else {
        log_.info("no display for the onboarding wizard: onboarding counts as seen for this run");
        gate_->countOnboardingAsSeen();
    }
}

void AppDelegate::registerToggleSignal() {
    if (!deps_.toggleSignal) {
        return;
    }
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    Executor& main = deps_.main;
    observers_.push_back(deps_.toggleSignal->observeToggle([weak, &main] {
        main.post([weak] {
            if (auto self = weak.lock()) {
                self->toggleForceAway();
            }
        });
    }));
}

void AppDelegate::startEngineIfReady() {
    if (gate_) {
        gate_->startEngineIfReady();
    }
}

void AppDelegate::toggleForceAway() {
    state_->manualOverride = !state_->manualOverride.get();
}

std::variant<bool, Error> AppDelegate::startRecording() {
    if (!recorder_) {
        return Error{"LoopRecorder", 1, "this build records no loops"};
    }
    if (recorder_->recording()) {
        return false;
    }
    recorder_->maxSeconds = kLoopMaxSeconds;
    if (auto error = recorder_->start()) {
        engineLog.error("recorder start failed: %{public}@", error->description);
        return *error;
    }
    return true;
}

void AppDelegate::stopRecording(
    std::function<void(const std::optional<std::filesystem::path>&)> done) {
    if (!recorder_) {
        done(std::nullopt);
        return;
    }
    recorder_->stop([engine = std::weak_ptr<CameraEngine>(engine_),
                     done = std::move(done)](const std::optional<std::filesystem::path>& url) {
        if (auto alive = engine.lock()) {
            alive->adoptRecordedLoop(url);
        }
        done(url);
    });
}

AppStatus AppDelegate::status() const {
    AppStatus status;
    status.mode = state_->mode.get();
    status.manualOverride = state_->manualOverride.get();
    status.autoAwayEnabled = state_->autoAwayEnabled.get();
    status.loops = state_->loops.get();
    status.activeLoop = state_->activeLoop.get();
    status.engineStarted = engineStarted();
    status.recording = recorder_ && recorder_->recording();
    if (engine_) {
        status.dispatchCount = engine_->dispatchCount();
        status.dispatchAwayCount = engine_->dispatchAwayCount();
        status.dispatchAwayLoopMissCount = engine_->dispatchAwayLoopMissCount();
        status.dispatchDropCount = engine_->dispatchDropCount();
        status.dispatchAwayLoopRepeatCount = engine_->dispatchAwayLoopRepeatCount();
        if (auto shows = engine_->awayShows()) {
            status.awayShows = *shows == CameraEngine::AwayShows::loop ? "loop" : "still";
        }
        status.loopError = engine_->loopError();
        status.autoAwayAvailable = engine_->autoAwayAvailable();
    }
    return status;
}

}  // namespace kestrel
