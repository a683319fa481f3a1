#include "app/state/AppState.h"

#include <charconv>
#include <cstdlib>
#include <string>

#include "app/presence/Permissions.h"

namespace kestrel {

bool settingAsBool(const std::optional<SettingsStore::Value>& value) {
    if (!value) {
        return false;
    }
    if (const auto* b = std::get_if<bool>(&*value)) {
        return *b;
    }
    if (const auto* d = std::get_if<double>(&*value)) {
        return *d != 0.0;
    }
    const auto& text = std::get<std::string>(*value);
    return text == "true" || text == "YES" || text == "yes" || settingAsDouble(value) != 0.0;
}

double settingAsDouble(const std::optional<SettingsStore::Value>& value) {
    if (!value) {
        return 0.0;
    }
    if (const auto* d = std::get_if<double>(&*value)) {
        return *d;
    }
    if (const auto* b = std::get_if<bool>(&*value)) {
        return *b ? 1.0 : 0.0;
    }
    const auto& text = std::get<std::string>(*value);
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    return (end != text.c_str() && *end == '\0') ? parsed : 0.0;
}

namespace {

std::function<void(const bool&)> writeBool(const std::shared_ptr<SettingsStore>& store,
                                           std::string_view key) {
    return [store, key](const bool& value) { store->setBool(key, value); };
}

std::function<void(const double&)> writeDouble(const std::shared_ptr<SettingsStore>& store,
                                               std::string_view key) {
    return [store, key](const double& value) { store->setDouble(key, value); };
}

double loadAutoAwaySeconds(const SettingsStore& store) {
    const double stored = settingAsDouble(store.value(AppState::kAutoAwaySecondsKey));
    return stored > 0 ? stored : 5.0;
}

bool loadRealisticTransitions(const SettingsStore& store) {
    const auto stored = store.value(AppState::kRealisticTransitionsKey);
    if (stored) {
        if (const auto* b = std::get_if<bool>(&*stored)) {
            return *b;
        }
    }
    return true;
}

double loadTransitionFreezeSeconds(const SettingsStore& store) {
    const double stored = settingAsDouble(store.value(AppState::kTransitionFreezeSecondsKey));
    return (stored >= 0.2 && stored <= 3.0) ? stored : 1.0;
}

double loadTransitionBlurRadius(const SettingsStore& store) {
    const auto stored = store.value(AppState::kTransitionBlurRadiusKey);
    const double value = settingAsDouble(stored);
    return (stored && value >= 1.0 && value <= 100.0) ? value : 18.0;
}

}  // namespace

std::string_view AppState::rawValue(Mode mode) {
    return mode == Mode::away ? "away" : "live";
}

AppState::AppState(std::shared_ptr<Permissions> permissions, std::shared_ptr<SettingsStore> store)
    : extensionInstalled(settingAsBool(store->value(kExtensionInstalledKey)), &objectWillChange,
                         writeBool(store, kExtensionInstalledKey)),
      hasSeenOnboarding(settingAsBool(store->value(kHasSeenOnboardingKey)), &objectWillChange,
                        writeBool(store, kHasSeenOnboardingKey)),
      autoAwayEnabled(settingAsBool(store->value(kAutoAwayEnabledKey)), &objectWillChange,
                      writeBool(store, kAutoAwayEnabledKey)),
      autoAwaySeconds(loadAutoAwaySeconds(*store), &objectWillChange,
                      writeDouble(store, kAutoAwaySecondsKey)),
      realisticTransitions(loadRealisticTransitions(*store), &objectWillChange,
                           writeBool(store, kRealisticTransitionsKey)),
      transitionFreezeSeconds(loadTransitionFreezeSeconds(*store), &objectWillChange,
                              writeDouble(store, kTransitionFreezeSecondsKey)),
      transitionBlurRadius(loadTransitionBlurRadius(*store), &objectWillChange,
                           writeDouble(store, kTransitionBlurRadiusKey)),
      store_(std::move(store)),
      permissions_(std::move(permissions)) {
    if (permissions_) {
        std::weak_ptr<bool> alive = alive_;
        childObservers_.push_back(permissions_->willChange.connect([this, alive] {
            if (alive.lock()) {
                objectWillChange.emit();
            }
        }));
    }
}

AppState::~AppState() = default;

}  // namespace kestrel
