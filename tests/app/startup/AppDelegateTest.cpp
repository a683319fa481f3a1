#include "app/startup/AppDelegate.h"

#include <gtest/gtest.h>

#include "tests/app/startup/DelegateRig.h"

namespace kestrel {
namespace {

class AppDelegateTest : public ::testing::Test, public testing::DelegateRig {};

TEST_F(AppDelegateTest, LaterLaunchActivatesThenStartsTheEngineOnceThoughTheGateRunsTwice) {
    auto delegate = launchSetUp();

    EXPECT_TRUE(delegate->engineStarted());
    EXPECT_EQ(count("webcam.start"), 1);
    EXPECT_EQ(count("detector.start"), 1);
    // Launch activates once before the gate; the engine's start activates again.
    EXPECT_EQ(count("bridge.activate"), 2);
    EXPECT_LT(indexOf("engine.build"), indexOf("bridge.activate"));
    EXPECT_LT(indexOf("bridge.activate"), indexOf("detector.start"));
    EXPECT_TRUE(logs->messages("App").empty()) << "onboarding was seen already";
    EXPECT_EQ(hotKeys->grabs.size(), 1U);
    EXPECT_EQ(hotKeys->grabs.begin()->second.carbonModifiers, carbon::kCommand | carbon::kShift);
}

TEST_F(AppDelegateTest, FirstLaunchActivatesButWaitsForTheDaemonAndTheCameraThenCountsOnboarding) {
    auto delegate = launch();
    EXPECT_EQ(count("bridge.activate"), 1) << "activation runs on every launch";
    EXPECT_FALSE(delegate->engineStarted()) << "the daemon is not installed";
    // Counted for the gate, never stored: a later run with the wizard still shows it.
    EXPECT_FALSE(delegate->state().hasSeenOnboarding.get());
    EXPECT_FALSE(settings->value(AppState::kHasSeenOnboardingKey).has_value());
    EXPECT_EQ(logs->messages("App").size(), 1U);

    permissionBackend->camera = PermissionStatus::denied;  // revoked meanwhile
    delegate->permissions()->refresh();
    delegate->state().extensionInstalled = true;  // the activation request finished
    EXPECT_FALSE(delegate->engineStarted()) << "the camera is denied";
    permissionBackend->camera = PermissionStatus::granted;  // granted later
    delegate->permissions()->refresh();
    EXPECT_TRUE(delegate->engineStarted());
    EXPECT_EQ(count("webcam.start"), 1);
}

TEST_F(AppDelegateTest, WithADisplayTheWizardOpensAfterAQuarterSecondAndTheEngineWaitsForIt) {
    settings->setBool(AppState::kExtensionInstalledKey, true);
    int shown = 0;
    showOnboarding = [&] { ++shown; };
    auto delegate = launch();
    EXPECT_EQ(shown, 0);
    main.advance(std::chrono::milliseconds(249));
    EXPECT_EQ(shown, 0);
    main.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(shown, 1);
    main.advance(std::chrono::seconds(60));
    EXPECT_FALSE(delegate->engineStarted()) << "not before the wizard is finished";
    EXPECT_TRUE(logs->messages("App").empty());

    delegate->state().hasSeenOnboarding = true;  // "Open Kestrel"
    EXPECT_TRUE(delegate->engineStarted());
    EXPECT_EQ(shown, 1);
}

TEST_F(AppDelegateTest, ToggleSignalAndHotKeyFlipForceAwayOnTheMainThread) {
    auto delegate = launch();
    auto& manualOverride = delegate->state().manualOverride;

    toggleSignal->signal.emit();
    EXPECT_FALSE(manualOverride.get()) << "the signal only schedules the toggle";
    main.runUntilIdle();
    EXPECT_TRUE(manualOverride.get());
    toggleSignal->signal.emit();
    main.runUntilIdle();
    EXPECT_FALSE(manualOverride.get()) << "two signals restore the earlier value";

    hotKeys->press();
    EXPECT_TRUE(manualOverride.get());

    // A toggle still queued when the delegate goes does not keep it alive.
    toggleSignal->signal.emit();
    std::weak_ptr<AppDelegate> weak = delegate;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    main.runUntilIdle();
}

TEST_F(AppDelegateTest,
       WakeAndResetReachTheEngineNotOnceItIsGoneAndStoppingWithoutARecorderSavesNothing) {
    auto delegate = launchSetUp();
    EXPECT_EQ(count("wake.observe"), 1);
    bool stopped = false;
    delegate->stopRecording([&](const std::optional<std::filesystem::path>& url) {
        stopped = true;
        EXPECT_FALSE(url.has_value());
    });
    EXPECT_TRUE(stopped);

    ASSERT_TRUE(resetVirtualCameraHook);
    resetVirtualCameraHook();
    EXPECT_EQ(count("bridge.reconnect"), 1);
    EXPECT_TRUE(delegate->state().lastResetAt.get().has_value());

    delegate.reset();
    resetVirtualCameraHook();
    EXPECT_EQ(count("bridge.reconnect"), 1);
}

}  // namespace
}  // namespace kestrel
