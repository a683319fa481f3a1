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

TEST_F(EngineGateTest, AllConditionsTrueAtLaunchStartOnceAlthoughTheGateRunsTwice) {
    state.hasSeenOnboarding = true;
    state.extensionInstalled = true;
    camera = PermissionStatus::granted;
    gate.observe();
    gate.startEngineIfReady();
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(sink->messages("Gate").size(), 2U) << "each run says what it found";
}

TEST_F(EngineGateTest, DeniedOrUndecidedCameraKeepsItClosedUntilGranted) {
    state.hasSeenOnboarding = true;
    state.extensionInstalled = true;
    gate.observe();
    camera = PermissionStatus::denied;
    gate.startEngineIfReady();
    EXPECT_EQ(starts, 0);
    EXPECT_FALSE(gate.engineStarted());
    camera = PermissionStatus::granted;
    EXPECT_EQ(starts, 1) << "a change re-runs the gate";
}

TEST_F(EngineGateTest, EachMissingConditionKeepsItClosed) {
    camera = PermissionStatus::granted;
    gate.observe();
    EXPECT_EQ(starts, 0);
    state.hasSeenOnboarding = true;
    EXPECT_EQ(starts, 0) << "extension not installed";
    state.extensionInstalled = true;
    EXPECT_EQ(starts, 1);
}

TEST_F(EngineGateTest, RevokingAfterStartDoesNotStopOrRestart) {
    state.hasSeenOnboarding = true;
    state.extensionInstalled = true;
    camera = PermissionStatus::granted;
    gate.observe();
    camera = PermissionStatus::denied;
    state.extensionInstalled = false;
    camera = PermissionStatus::granted;
    state.extensionInstalled = true;
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(gate.engineStarted());
}

}  // namespace
}  // namespace kestrel
