#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/presence/Permissions.h"
#include "app/state/AppState.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/FakePermissionBackend.h"

namespace kestrel {
namespace {

struct Loaded {
    bool hasSeenOnboarding, extensionInstalled, autoAwayEnabled, realisticTransitions;
    double autoAwaySeconds, transitionFreezeSeconds, transitionBlurRadius;
    bool operator==(const Loaded&) const = default;
};

Loaded load(const std::shared_ptr<MemorySettingsStore>& store) {
    AppState state(nullptr, store);
    return {state.hasSeenOnboarding,    state.extensionInstalled, state.autoAwayEnabled,
            state.realisticTransitions, state.autoAwaySeconds,    state.transitionFreezeSeconds,
            state.transitionBlurRadius};
}

TEST(AppStateSettings, FreshInstallLoadsDefaultsWithoutWritingAnything) {
    auto store = std::make_shared<MemorySettingsStore>();
    EXPECT_EQ(load(store), (Loaded{false, false, false, true, 5.0, 1.0, 18.0}));
    EXPECT_FALSE(store->value(AppState::kAutoAwaySecondsKey));
    EXPECT_FALSE(store->value(AppState::kRealisticTransitionsKey));
}

TEST(AppStateSettings, StoredValuesOutsideTheirRangesLoadAsDefaults) {
    constexpr auto seconds = &Loaded::autoAwaySeconds;
    constexpr auto freeze = &Loaded::transitionFreezeSeconds;
    constexpr auto blur = &Loaded::transitionBlurRadius;
    const struct {
        std::string_view key;
        double Loaded::*field;
        double stored;
        double loaded;
    } cases[] = {
        {AppState::kAutoAwaySecondsKey, seconds, 0.0, 5.0},
        {AppState::kAutoAwaySecondsKey, seconds, -3.0, 5.0},
        {AppState::kAutoAwaySecondsKey, seconds, 30.0, 30.0},
        {AppState::kTransitionFreezeSecondsKey, freeze, 0.1, 1.0},
        {AppState::kTransitionFreezeSecondsKey, freeze, 4.0, 1.0},
        {AppState::kTransitionFreezeSecondsKey, freeze, 0.2, 0.2},
        {AppState::kTransitionFreezeSecondsKey, freeze, 3.0, 3.0},
        {AppState::kTransitionBlurRadiusKey, blur, 0.5, 18.0},
        {AppState::kTransitionBlurRadiusKey, blur, 150.0, 18.0},
        {AppState::kTransitionBlurRadiusKey, blur, 1.0, 1.0},
        {AppState::kTransitionBlurRadiusKey, blur, 100.0, 100.0},
        {AppState::kTransitionBlurRadiusKey, blur, std::numeric_limits<double>::quiet_NaN(), 18.0},
    };
    for (const auto& c : cases) {
        auto store = std::make_shared<MemorySettingsStore>();
        store->setDouble(c.key, c.stored);
        EXPECT_EQ(load(store).*c.field, c.loaded) << c.key << " stored as " << c.stored;
    }
}

// A boolean is taken only from a stored boolean; text that is not wholly a number reads as zero (so
// as the default), a number stored as text is read.
TEST(AppStateSettings, StoredValuesOfAnotherTypeAreReadAsTheirTypeAllows) {
    auto store = std::make_shared<MemorySettingsStore>();
    using Value = SettingsStore::Value;
    for (const Value& notABoolean : {Value(std::string("off")), Value(0.0)}) {
        store->setRaw(AppState::kRealisticTransitionsKey, notABoolean);
        EXPECT_TRUE(load(store).realisticTransitions);
    }
    store->setBool(AppState::kRealisticTransitionsKey, false);
    store->setRaw(AppState::kAutoAwaySecondsKey, std::string("12 s"));
    store->setRaw(AppState::kTransitionFreezeSecondsKey, std::string("1.5"));
    store->setRaw(AppState::kHasSeenOnboardingKey, std::string("true"));
    const Loaded loaded = load(store);
    EXPECT_FALSE(loaded.realisticTransitions);
    EXPECT_EQ(loaded.autoAwaySeconds, 5.0);
    EXPECT_EQ(loaded.transitionFreezeSeconds, 1.5);
    EXPECT_TRUE(loaded.hasSeenOnboarding);
}

TEST(AppStateSettings, WritingAPersistedFieldStoresItAtOnceAndSurvivesARelaunch) {
    auto store = std::make_shared<MemorySettingsStore>();
    {
        AppState state(nullptr, store);
        state.transitionFreezeSeconds = 1.5;
        EXPECT_EQ(std::get<double>(*store->value(AppState::kTransitionFreezeSecondsKey)), 1.5);
        state.hasSeenOnboarding = true;
        state.transitionBlurRadius = 250.0;  // run-time values are stored unchanged
        state.manualOverride = true;         // not persisted
    }
    AppState relaunched(nullptr, store);
    EXPECT_EQ(relaunched.transitionFreezeSeconds.get(), 1.5);
    EXPECT_TRUE(relaunched.hasSeenOnboarding.get());
    EXPECT_EQ(std::get<double>(*store->value(AppState::kTransitionBlurRadiusKey)), 250.0);
    EXPECT_EQ(relaunched.transitionBlurRadius.get(), 18.0);  // out of range when loaded
    EXPECT_FALSE(relaunched.manualOverride.get());
    EXPECT_EQ(relaunched.mode.get(), AppState::Mode::live);
}

TEST(AppState, FieldWritesAndPermissionChangesAreAnnouncedAndKeepNothingAlive) {
    ManualExecutor main;
    auto backend = std::make_shared<testing::FakePermissionBackend>();
    auto permissions = std::make_shared<Permissions>(backend, main);
    std::weak_ptr<Permissions> weakPermissions = permissions;
    int announcements = 0;
    {
        AppState state(permissions, std::make_shared<MemorySettingsStore>());
        // Every field write announces the object's change first.
        std::vector<std::string> events;
        Handle will = state.objectWillChange.connect([&] {
            ++announcements;
            events.push_back(state.manualOverride.get() ? "will:on" : "will:off");
        });
        Handle sub = state.manualOverride.subscribe(
            [&](const bool& v) { events.push_back(v ? "value:on" : "value:off"); });
        state.manualOverride = true;
        state.loops = {std::filesystem::path("/a.mov")};
        EXPECT_EQ(events,
                  (std::vector<std::string>{"value:off", "will:off", "value:on", "will:on"}));
        announcements = 0;
        backend->camera = PermissionStatus::granted;
        permissions->refresh();  // two fields written: two announcements
        EXPECT_EQ(announcements, 2);
        permissions->refresh();  // nothing changed, still announced
        EXPECT_EQ(announcements, 4);
    }
    permissions->refresh();  // the state is gone; its subscription went with it
    EXPECT_EQ(announcements, 4);
    permissions.reset();
    EXPECT_TRUE(weakPermissions.expired());
}

}  // namespace
}  // namespace kestrel
