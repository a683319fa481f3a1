#include <memory>

#include <gtest/gtest.h>

#include "app/startup/EngineGate.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

class EngineGateTest : public ::testing::Test {
  protected:
    testing::LogCapture sink;
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    Published<PermissionStatus> camera{PermissionStatus::notDetermined};
    int starts = 0;
    EngineGate gate{state, camera, [this] { ++starts; }};
};

TEST_F(EngineGateTest, AllConditionsTrueAtLaunchStartOnceAndRevokingAfterStartDoesNotRestart) {
    state.hasSeenOnboarding = true;
    state.extensionInstalled = true;
    camera = PermissionStatus::granted;
    gate.observe();
    gate.startEngineIfReady();
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(sink->messages("Gate").size(), 2U) << "each run says what it found";
    camera = PermissionStatus::denied;
    state.extensionInstalled = false;
    camera = PermissionStatus::granted;
    state.extensionInstalled = true;
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(gate.engineStarted());
}

TEST_F(EngineGateTest, ADeniedCameraOrEachMissingConditionKeepsItClosed) {
    state.hasSeenOnboarding = true;
    state.extensionInstalled = true;
    camera = PermissionStatus::denied;
    gate.observe();
    gate.startEngineIfReady();
    EXPECT_FALSE(gate.engineStarted());
    state.hasSeenOnboarding = false;
    camera = PermissionStatus::granted;
    EXPECT_EQ(starts, 0) << "onboarding not seen";
    state.extensionInstalled = false;
    state.hasSeenOnboarding = true;
    EXPECT_EQ(starts, 0) << "extension not installed";
    state.extensionInstalled = true;
    EXPECT_EQ(starts, 1) << "a change re-runs the gate";
}

}  // namespace
}  // namespace kestrel
