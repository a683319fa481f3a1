// The bridge's activation results and its reconnect, in virtual time.

#include "app/link/ExtensionBridge.h"

#include <gtest/gtest.h>

#include "app/state/SettingsStore.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/link/FakeCameraLink.h"

namespace kestrel {
namespace {

using testing::FakeCameraLink;

// Keeps every request so that the test answers them.
class FakeExtensionService final : public ExtensionService {
  public:
    void submitActivationRequest(std::string_view identifier,
                                 ActivationDelegate delegate) override {
        identifiers.emplace_back(identifier);
        requests.push_back(std::move(delegate));
    }
    std::vector<std::string> identifiers;
    std::vector<ActivationDelegate> requests;
};

class ExtensionBridgeTest : public ::testing::Test {
  protected:
    ExtensionBridgeTest() { Log::setSink(capture); }
    ~ExtensionBridgeTest() override { Log::setSink(previous); }

    std::shared_ptr<LogSink> previous = Log::sink();
    std::shared_ptr<CaptureLogSink> capture = std::make_shared<CaptureLogSink>();
    ManualExecutor executor;
    FakeCameraLink link;
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    std::shared_ptr<FakeExtensionService> service = std::make_shared<FakeExtensionService>();
    std::unique_ptr<ExtensionBridge> bridge =
        std::make_unique<ExtensionBridge>(state, link, executor, executor.hostClock(), service);
};

TEST_F(ExtensionBridgeTest, CompletedAndAfterRebootBothRecordTheInstallation) {
    for (int result : {activationResult::completed, activationResult::willCompleteAfterReboot}) {
        state.extensionInstalled = false;
        bridge->activate();
        ASSERT_EQ(service->identifiers.back(), "dev.corvid.kestrel.camera");
        EXPECT_EQ(service->requests.back().replacementAction(), ReplacementAction::replace);
        service->requests.back().finished(result);
        EXPECT_FALSE(state.extensionInstalled.get());  // written on a task of the main thread
        executor.runUntilIdle();
        EXPECT_TRUE(state.extensionInstalled.get()) << "result " << result;
    }
    EXPECT_EQ(service->requests.size(), 2U);  // every activate is a request of its own
}

TEST_F(ExtensionBridgeTest, OtherResultsAndFailuresChangeNothing) {
    bridge->activate();
    service->requests[0].finished(2);
    service->requests[0].needsUserApproval();
    service->requests[0].failed(Error{"ExtensionService", 3, "no answer within 5 seconds"});
    executor.runUntilIdle();
    EXPECT_FALSE(state.extensionInstalled.get());
    EXPECT_EQ(capture->count("extension awaiting user approval in System Settings"), 1U);
    EXPECT_EQ(capture->count("extension activation failed: no answer within 5 seconds"), 1U);

    state.extensionInstalled = true;
    bridge->activate();
    service->requests[1].failed(Error{"ExtensionService", 1, "missing binary"});
    executor.runUntilIdle();
    EXPECT_TRUE(state.extensionInstalled.get());
}

TEST_F(ExtensionBridgeTest, AnswerAfterTheBridgeIsGoneDoesNothing) {
    bridge->activate();
    auto request = service->requests[0];
    bridge.reset();
    request.finished(activationResult::completed);
    request.failed(Error{"ExtensionService", 1, "late"});
    executor.runUntilIdle();
    EXPECT_FALSE(state.extensionInstalled.get());
    EXPECT_EQ(capture->count("extension activation failed"), 0U);
}

TEST_F(ExtensionBridgeTest, ReconnectStopsAConnectedSinkAndRunsDiscoveryAgain) {
    const auto device = link.addDevice("Kestrel", "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001", {1U, 0U});
    // Not connected: no stop, straight to connect.
    bridge->reconnect();
    EXPECT_TRUE(link.stopped.empty());
    EXPECT_TRUE(bridge->sink().connected());
    EXPECT_EQ(link.copyCalls, 1);

    bridge->reconnect();
    ASSERT_EQ(link.stopped.size(), 1U);
    EXPECT_EQ(link.stopped[0], std::make_pair(device, link.stream(device, 1)));
    EXPECT_EQ(link.copyCalls, 2);
    EXPECT_EQ(link.deviceListReads, 2);
    EXPECT_TRUE(bridge->sink().connected());
    EXPECT_EQ(capture->count("reconnect() requested"), 2U);
}

TEST_F(ExtensionBridgeTest, WithoutAServiceActivationOnlySaysSo) {
    ExtensionBridge bare(state, link, executor, executor.hostClock(), nullptr);
    bare.activate();
    executor.runUntilIdle();
    EXPECT_FALSE(state.extensionInstalled.get());
    EXPECT_EQ(capture->count("no extension service in this build"), 1U);
}

}  // namespace
}  // namespace kestrel
