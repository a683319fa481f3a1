#pragma once

#include <functional>
#include <memory>

#include "app/presence/Permissions.h"
#include "app/state/AppState.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/Observable.h"

namespace kestrel {

// Starts the camera engine once, as soon as onboarding has been seen, camera access is granted
// and the camera daemon is installed. It only ever opens: a condition turning false later does
// not stop the engine. Main thread only.
class EngineGate {
  public:
    // `cameraStatus` is the permissions' camera stream; `startEngine` runs at most once. All
    // three outlive the gate.
    EngineGate(AppState& state, Published<PermissionStatus>& cameraStatus,
               std::function<void()> startEngine);
    EngineGate(const EngineGate&) = delete;
    EngineGate& operator=(const EngineGate&) = delete;

    // Re-runs the gate whenever any of the three conditions changes (and once at once, as soon
    // as all three have a value).
    void observe();
    // Safe to call any number of times; logs its inputs in category "Gate".
    void startEngineIfReady();

    // Where nothing can show the first-run wizard, onboarding holds without being recorded as
    // seen, so a later run that has the wizard still shows it. Re-runs the gate.
    void countOnboardingAsSeen();

    bool engineStarted() const { return engineStarted_; }

  private:
    AppState& state_;
    Published<PermissionStatus>& cameraStatus_;
    std::function<void()> startEngine_;
    bool engineStarted_ = false;
    bool onboardingNotNeeded_ = false;
    Handle observer_;
};

}  // namespace kestrel
