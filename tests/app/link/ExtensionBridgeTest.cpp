// The bridge's activation results and its reconnect, in virtual time.

#include "app/link/ExtensionBridge.h"

#include <gtest/gtest.h>

#include "app/link/ExtensionHealthProbe.h"
#include "app/state/SettingsStore.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/link/FakeCameraLink.h"
#include "tests/support/LogCapture.h"

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
    void submitPropertiesRequest(std::string_view identifier,
                                 PropertiesDelegate delegate) override {
        identifiers.emplace_back(identifier);
        propertyRequests.push_back(std::move(delegate));
    }
    std::vector<std::string> identifiers;
    std::vector<ActivationDelegate> requests;
    std::vector<PropertiesDelegate> propertyRequests;
};

// Answers every listing at once with the names the test sets.
class FakeCaptureDevices final : public CaptureDeviceLister {
  public:
    void listCaptureDeviceNames(std::function<void(std::vector<std::string>)> done) override {
        ++listings;
        done(names);
    }
    std::vector<std::string> names;
    int listings = 0;
};

class ExtensionBridgeTest : public ::testing::Test {
  protected:
    kestrel::testing::LogCapture capture;
    ManualExecutor executor;
    ManualExecutor linkExecutor;  // the link thread, run by hand
    FakeCameraLink link;
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    std::shared_ptr<FakeExtensionService> service = std::make_shared<FakeExtensionService>();
    std::shared_ptr<FakeCaptureDevices> devices = std::make_shared<FakeCaptureDevices>();
    std::unique_ptr<ExtensionBridge> bridge = std::make_unique<ExtensionBridge>(
        state, link, executor, linkExecutor, executor.hostClock(), service, devices);

    // Starts a probe and answers it with copies whose uninstalling flags are given.
    void probeAnswering(std::vector<bool> uninstalling) {
        bridge->probeExtensionHealth();
        std::vector<ExtensionProperties> copies;
        for (bool flag : uninstalling) {
            copies.push_back(ExtensionProperties{0, "/usr/libexec/kestrel/kestrel-camera", flag});
        }
        service->propertyRequests.back().foundProperties(copies);
        service->propertyRequests.back().finished(activationResult::completed);
        executor.runUntilIdle();
    }
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

TEST_F(ExtensionBridgeTest, OtherResultsFailuresAMissingServiceAndLateAnswersChangeNothing) {
    bridge->activate();
    service->requests[0].finished(2);
    service->requests[0].needsUserApproval();
    service->requests[0].failed(Error{"ExtensionService", 3, "no answer within 5 seconds"});
    executor.runUntilIdle();
    EXPECT_FALSE(state.extensionInstalled.get());

    state.extensionInstalled = true;
    bridge->activate();
    service->requests[1].failed(Error{"ExtensionService", 1, "missing binary"});
    executor.runUntilIdle();
    EXPECT_TRUE(state.extensionInstalled.get());

    state.extensionInstalled = false;
    ExtensionBridge bare(state, link, executor, linkExecutor, executor.hostClock(), nullptr);
    bare.activate();  // without a service
    executor.runUntilIdle();
    EXPECT_FALSE(state.extensionInstalled.get());

    // An answer after the bridge is gone does nothing.
    const auto failures = capture->count("extension activation failed");
    bridge->activate();
    auto request = service->requests.back();
    bridge.reset();
    request.finished(activationResult::completed);
    request.failed(Error{"ExtensionService", 1, "late"});
    executor.runUntilIdle();
    EXPECT_FALSE(state.extensionInstalled.get());
    EXPECT_EQ(capture->count("extension activation failed"), failures);
}

TEST_F(ExtensionBridgeTest,
       ReconnectAndFramesReachTheLinkOnlyOnItsThreadAndOnlyTheNewestFrameGoesOut) {
    const auto device = link.addDevice("Kestrel", "uid", {1U, 0U});
    // Not connected: no stop, straight to connect, and none of it on the caller's thread; a
    // second attempt while one waits adds none.
    bridge->reconnect();
    bridge->sink().connect();
    EXPECT_EQ(link.deviceListReads, 0);
    EXPECT_FALSE(bridge->sink().connected());
    linkExecutor.runUntilIdle();
    EXPECT_TRUE(link.stopped.empty());
    EXPECT_TRUE(bridge->sink().connected());
    EXPECT_EQ(link.copyCalls, 1);

    bridge->reconnect();
    linkExecutor.runUntilIdle();
    ASSERT_EQ(link.stopped.size(), 1U);
    EXPECT_EQ(link.stopped[0], std::make_pair(device, link.stream(device, 1)));
    EXPECT_EQ(link.copyCalls, 2);
    EXPECT_EQ(link.deviceListReads, 2);
    EXPECT_TRUE(bridge->sink().connected());

    // Three frames while the link thread is busy: only the newest goes out.
    FrameSink& sink = bridge->sink();
    for (int width : {640, 800, 1280}) {
        sink.enqueue(PixelBuffer::create(width, 720));
    }
    EXPECT_TRUE(link.queues[1]->frames.empty());
    linkExecutor.runUntilIdle();
    ASSERT_EQ(link.queues[1]->frames.size(), 1U);
    EXPECT_EQ(link.queues[1]->frames[0].width, 1280);
    EXPECT_EQ(static_cast<LinkThreadSink&>(sink).replacedCount(), 2);
}

TEST_F(ExtensionBridgeTest, StaleFlagNeedsAZombieAndNoVisibleCamera) {
    struct Case {
        std::vector<std::string> cameras;
        std::vector<bool> uninstalling;
        bool stale;
    };
    const Case cases[] = {
        {{"Integrated Camera", "kestrel"}, {false, true}, true},  // the name's case matters
        {{"Kestrel (2)"}, {false, true}, false},
        {{}, {true}, true},
        {{}, {false}, false},  // the next probe clears the notice
    };
    for (const auto& c : cases) {
        devices->names = c.cameras;
        probeAnswering(c.uninstalling);
        EXPECT_EQ(service->identifiers.back(), "dev.corvid.kestrel.camera");
        EXPECT_EQ(state.hasStaleSysext.get(), c.stale) << ::testing::PrintToString(c.cameras);
    }
}

TEST_F(ExtensionBridgeTest, AProbeReportsOnceAndLivesOnlyWhileItsRequestRuns) {
    bridge->probeExtensionHealth();
    PropertiesDelegate request = service->propertyRequests[0];
    // Only the probe's own reference keeps it: the request holds it weakly.
    request.foundProperties({ExtensionProperties{1, "/x/kestrel-camera", true}});
    request.finished(activationResult::completed);
    request.failed(Error{"ExtensionService", 1, "late"});
    executor.runUntilIdle();
    EXPECT_EQ(devices->listings, 1);
    EXPECT_TRUE(state.hasStaleSysext.get());
    EXPECT_EQ(capture->count("propertiesRequest failed"), 0U);  // the probe was gone by then

    auto probe = ExtensionHealthProbe::create([](bool) {});
    std::weak_ptr<ExtensionHealthProbe> weak = probe;
    auto delegate = probe->delegate();
    probe.reset();
    ASSERT_FALSE(weak.expired());
    delegate.finished(activationResult::completed);
    EXPECT_TRUE(weak.expired());
}

TEST_F(ExtensionBridgeTest, AFailedOrEmptyRequestClearsTheFlagAndTheLastProbeToCompleteWins) {
    state.hasStaleSysext = true;
    bridge->probeExtensionHealth();
    service->propertyRequests[0].failed(Error{"ExtensionService", 1, "no /proc"});
    executor.runUntilIdle();
    EXPECT_FALSE(state.hasStaleSysext.get());
    state.hasStaleSysext = true;
    bridge->probeExtensionHealth();
    service->propertyRequests[1].finished(activationResult::completed);
    executor.runUntilIdle();
    EXPECT_FALSE(state.hasStaleSysext.get());

    service->propertyRequests.clear();
    bridge->probeExtensionHealth();
    bridge->probeExtensionHealth();
    service->propertyRequests[1].foundProperties({});
    service->propertyRequests[0].foundProperties({ExtensionProperties{1, "/x", true}});
    executor.runUntilIdle();
    EXPECT_TRUE(state.hasStaleSysext.get());

    bridge->probeExtensionHealth();
    service->propertyRequests[2].foundProperties({ExtensionProperties{1, "/x", true}});
    bridge.reset();  // gone before the flag task runs: nothing is written
    state.hasStaleSysext = false;
    executor.runUntilIdle();
    EXPECT_FALSE(state.hasStaleSysext.get());
}

}  // namespace
}  // namespace kestrel
