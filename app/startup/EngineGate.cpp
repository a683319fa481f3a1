#include "app/startup/EngineGate.h"

#include <string>
#include <utility>

#include "platform/runtime/Log.h"

namespace kestrel {

namespace {

const Log logger{std::string(kAppLogSubsystem), "Gate"};

const char* yesNo(bool value) {
    return value ? "y" : "n";
}

}  // namespace

EngineGate::EngineGate(AppState& state, Published<PermissionStatus>& cameraStatus,
                       std::function<void()> startEngine)
    : state_(state), cameraStatus_(cameraStatus), startEngine_(std::move(startEngine)) {}

void EngineGate::observe() {
    // The handle lives in this object, so the callback never outlives it.
    observer_ = combineLatest(
        state_.hasSeenOnboarding, cameraStatus_, state_.extensionInstalled,
        std::function<void(const bool&, const PermissionStatus&, const bool&)>(
            [this](const bool&, const PermissionStatus&, const bool&) { startEngineIfReady(); }));
}

void EngineGate::startEngineIfReady() {
    const bool onboarded = onboardingNotNeeded_ || state_.hasSeenOnboarding.get();
    const bool cameraGranted = cameraStatus_.get() == PermissionStatus::granted;
    const bool installed = state_.extensionInstalled.get();
    logger.info(
        "onboarding seen %{public}@, camera granted %{public}@, extension installed "
        "%{public}@, engine started %{public}@",
        yesNo(onboarded), yesNo(cameraGranted), yesNo(installed), yesNo(engineStarted_));
    if (engineStarted_ || !onboarded || !cameraGranted || !installed || !startEngine_) {
        return;
    }
    engineStarted_ = true;
    startEngine_();
}

void EngineGate::countOnboardingAsSeen() {
    onboardingNotNeeded_ = true;
    startEngineIfReady();
}

}  // namespace kestrel
