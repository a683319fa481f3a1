#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "app/state/SettingsStore.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Observable.h"

namespace kestrel {

class Permissions;

// The application's one observable state object: output mode, force away, the loops, the camera
// daemon and onboarding flags, and the user's tunable settings, which persist in the settings
// store. Every field but `permissions` is published: a write fires `objectWillChange` and then the
// field's own stream. Main thread only.
class AppState {
  public:
    enum class Mode { live, away };
    static std::string_view rawValue(Mode mode);

    // Settings keys.
    static constexpr std::string_view kHasSeenOnboardingKey = "kestrel.hasSeenOnboarding";
    static constexpr std::string_view kExtensionInstalledKey = "kestrel.extensionInstalled";
    static constexpr std::string_view kAutoAwayEnabledKey = "kestrel.autoAwayEnabled";
    static constexpr std::string_view kAutoAwaySecondsKey = "kestrel.autoAwaySeconds";
    static constexpr std::string_view kRealisticTransitionsKey = "kestrel.realisticTransitions";
    static constexpr std::string_view kTransitionFreezeSecondsKey =
        "kestrel.transitionFreezeSeconds";
    static constexpr std::string_view kTransitionBlurRadiusKey = "kestrel.transitionBlurRadius";

    // Loads the persisted settings (without writing them back) and re-announces every change of
    // `permissions` through objectWillChange.
    AppState(std::shared_ptr<Permissions> permissions, std::shared_ptr<SettingsStore> store);
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    // Declared first: the published fields below refer to it.
    Signal<> objectWillChange;

    Published<Mode> mode{Mode::live, &objectWillChange};
    Published<bool> manualOverride{false, &objectWillChange};
    Published<std::vector<std::filesystem::path>> loops{{}, &objectWillChange};
    Published<std::optional<std::filesystem::path>> activeLoop{std::nullopt, &objectWillChange};
    Published<bool> extensionInstalled;
    Published<bool> hasStaleSysext{false, &objectWillChange};
    Published<std::optional<WallClock::TimePoint>> lastResetAt{std::nullopt, &objectWillChange};
    Published<bool> hasSeenOnboarding;
    Published<bool> autoAwayEnabled;
    Published<double> autoAwaySeconds;
    Published<bool> realisticTransitions;
    Published<double> transitionFreezeSeconds;
    Published<double> transitionBlurRadius;

    const std::shared_ptr<Permissions>& permissions() const { return permissions_; }

  private:
    std::shared_ptr<SettingsStore> store_;
    std::shared_ptr<Permissions> permissions_;
    std::vector<Handle> childObservers_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
