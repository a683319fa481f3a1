#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ranges>
#include <thread>

#include <gtest/gtest.h>

#include "app/presence/LinuxPermissionBackend.h"
#include "app/presence/Permissions.h"
#include "platform/runtime/ManualExecutor.h"
#include "platform/runtime/PollExecutor.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakePermissionBackend.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using Status = PermissionStatus;
using Commands = std::vector<std::vector<std::string>>;

using FakeBackend = testing::FakePermissionBackend;

class PermissionsTest : public ::testing::Test {
  protected:
    ManualExecutor executor;
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
};

TEST_F(PermissionsTest, RefreshPublishesEvenWhenUnchangedAndWillChangeComesFirst) {
    backend->microphone = Status::denied;
    Permissions permissions(backend, executor);
    std::vector<Status> cameraSeen;
    std::vector<Status> microphoneSeen;
    std::vector<Status> cameraAtWillChange;
    auto a = permissions.camera.subscribe([&](Status s) { cameraSeen.push_back(s); });
    auto b = permissions.microphone.subscribe([&](Status s) { microphoneSeen.push_back(s); });
    auto c = permissions.willChange.connect(
        [&] { cameraAtWillChange.push_back(permissions.camera.get()); });
    permissions.refresh();
    backend->camera = Status::granted;
    permissions.refresh();
    EXPECT_EQ(cameraSeen,
              (std::vector{Status::notDetermined, Status::notDetermined, Status::granted}));
    EXPECT_EQ(microphoneSeen, (std::vector{Status::denied, Status::denied, Status::denied}));
    // The camera is written first: its will-change still sees the old value.
    ASSERT_EQ(cameraAtWillChange.size(), 4U);
    EXPECT_EQ(cameraAtWillChange[2], Status::notDetermined);
    EXPECT_EQ(cameraAtWillChange[3], Status::granted);
}

TEST_F(PermissionsTest, RequestCameraAsksUnlessGrantedAndTheAnswerLandsOnTheExecutor) {
    const struct {
        Status before;
        std::optional<bool> answer;  // none: not asked
        Status after;
    } cases[] = {
        {Status::granted, std::nullopt, Status::granted},
        {Status::denied, false, Status::denied},
        {Status::notDetermined, true, Status::granted},
    };
    for (const auto& c : cases) {
        backend->camera = c.before;
        backend->pendingAnswers.clear();
        Permissions permissions(backend, executor);
        int done = 0;
        permissions.requestCamera([&] { ++done; });
        ASSERT_EQ(backend->pendingAnswers.size(), c.answer ? 1U : 0U) << toString(c.before);
        if (c.answer) {
            std::thread([&] { backend->pendingAnswers[0](*c.answer); }).join();
            EXPECT_EQ(done, 0) << "answered on another thread, handled on the executor";
            executor.runUntilIdle();
        }
        EXPECT_EQ(permissions.camera.get(), c.after) << toString(c.before);
        EXPECT_EQ(done, 1) << toString(c.before);
    }
}

TEST_F(PermissionsTest, AReadingTakenBeforeAnAnswerDoesNotUndoItAndALateAnswerIsHarmless) {
    Permissions permissions(backend, executor);
    backend->deferProbes = true;
    permissions.refresh();
    permissions.requestCamera();
    backend->pendingAnswers.at(0)(true);
    executor.runUntilIdle();
    backend->pendingProbes.at(0)(Status::denied, Status::denied);
    EXPECT_EQ(permissions.camera.get(), Status::granted);
    EXPECT_EQ(permissions.microphone.get(), Status::denied);

    // An answer after the permissions are gone is harmless.
    auto gone = std::make_unique<Permissions>(backend, executor);
    bool done = false;
    gone->requestCamera([&] { done = true; });
    gone.reset();
    backend->pendingAnswers.at(1)(true);
    executor.runUntilIdle();
    EXPECT_FALSE(done);
}

TEST_F(PermissionsTest, OpenSettingsTriesCandidatesInOrderThenTheHelpPageWhichExists) {
    Permissions permissions(backend, executor, "file:///help.html");
    for (const SettingsPane pane :
         {SettingsPane::camera, SettingsPane::microphone, SettingsPane::extensionApproval}) {
        const Commands candidates = Permissions::settingsCandidates(pane);
        ASSERT_FALSE(candidates.empty());
        Commands all = candidates;
        all.push_back({"xdg-open", "file:///help.html"});

        // How many launches fail: the first, all candidates, everything.
        for (const std::size_t failing : {std::size_t{1}, candidates.size(), all.size()}) {
            backend->launched.clear();
            backend->launchesThatFail = failing;
            EXPECT_EQ(permissions.openSettings(pane), failing < all.size());
            EXPECT_EQ(backend->launched,
                      Commands(all.begin(), all.begin() + std::min(failing + 1, all.size())));
        }
    }

    // The help page shipped with the program is a file that exists.
    const std::string page = Permissions::defaultHelpPage();
    ASSERT_EQ(page.rfind("file://", 0), 0u) << page;
    EXPECT_TRUE(std::filesystem::is_regular_file(page.substr(7))) << page;
}

// --- Device nodes ---------------------------------------------------------------------------

struct FakeNodes final : DeviceNodes {
    std::map<std::string, VideoNodeInfo> video;
    std::map<std::string, int> audio;

    std::vector<std::string> videoNodes() const override { return keys(video); }
    VideoNodeInfo probeVideo(const std::string& path) const override { return video.at(path); }
    std::vector<std::string> audioCaptureNodes() const override { return keys(audio); }
    int accessError(const std::string& path) const override { return audio.at(path); }
    static std::vector<std::string> keys(const auto& map) {
        const auto names = std::views::keys(map);
        return {names.begin(), names.end()};
    }
};

TEST(DeviceProbeTest, CameraAndMicrophoneStatusFromNodes) {
    const VideoNodeInfo camera{0, true, "HD Webcam"};
    const VideoNodeInfo refused{EACCES, false, ""};
    const VideoNodeInfo loopback{0, true, "Kestrel"};
    const struct {
        std::map<std::string, VideoNodeInfo> nodes;
        Status expected;
    } cases[] = {
        {{}, Status::notDetermined},
        {{{"v0", refused}, {"v1", {EPERM, false, ""}}}, Status::denied},
        {{{"v0", refused}, {"v1", camera}}, Status::granted},
        {{{"v0", {0, false, "Output only"}}}, Status::notDetermined},
        {{{"v0", loopback}}, Status::notDetermined},
        {{{"v0", loopback}, {"v1", refused}}, Status::denied},
        {{{"v0", {0, true, "Kestrel2"}}}, Status::granted},
        {{{"v0", {EBUSY, false, ""}}, {"v1", {ENOENT, false, ""}}}, Status::notDetermined},
    };
    for (const auto& c : cases) {
        FakeNodes nodes;
        nodes.video = c.nodes;
        EXPECT_EQ(probeCameraStatus(nodes), c.expected) << "with " << c.nodes.size() << " nodes";
    }

    FakeNodes nodes;
    EXPECT_EQ(probeMicrophoneStatus(nodes), Status::notDetermined);
    nodes.audio = {{"c0", EACCES}, {"c1", EPERM}};
    EXPECT_EQ(probeMicrophoneStatus(nodes), Status::denied);
    nodes.audio["c2"] = 0;
    EXPECT_EQ(probeMicrophoneStatus(nodes), Status::granted);
}

TEST(DeviceProbeTest, NodesAreOpenedOnTheProbeQueueNotOnMain) {
    ManualExecutor main;
    ManualExecutor probes;
    auto nodes = std::make_shared<FakeNodes>();
    nodes->video["v0"] = VideoNodeInfo{0, true, "Cam"};
    auto backend = std::make_shared<LinuxPermissionBackend>(
        main, LinuxPermissionOptions{nodes, "", false, &probes});
    Permissions permissions(backend, main);
    main.runUntilIdle();
    EXPECT_EQ(permissions.camera.get(), Status::notDetermined) << "the nodes were opened on main";
    probes.runUntilIdle();
    main.runUntilIdle();
    EXPECT_EQ(permissions.camera.get(), Status::granted);
}

TEST(DeviceProbeTest, SystemNodesListOnlyMatchingNames) {
    const testing::TempFolder temp;
    const std::string dir = temp.path().string();
    std::filesystem::create_directory(dir + "/snd");
    for (const char* name :
         {"video10", "video2", "video0", "video", "videoX", "video1a", "snd/pcmC0D0c",
          "snd/pcmC0D0p", "snd/pcmC1D12c", "snd/controlC0", "snd/pcmCD0c", "snd/pcmC0Dc"}) {
        std::ofstream(dir + "/" + name).put('x');
    }
    const SystemDeviceNodes nodes(dir);
    EXPECT_EQ(nodes.videoNodes(),
              (std::vector{dir + "/video0", dir + "/video2", dir + "/video10"}));
    EXPECT_EQ(nodes.audioCaptureNodes(),
              (std::vector{dir + "/snd/pcmC0D0c", dir + "/snd/pcmC1D12c"}));
    const VideoNodeInfo notV4l2 = nodes.probeVideo(dir + "/video0");
    EXPECT_EQ(notV4l2.openError, 0);
    EXPECT_FALSE(notV4l2.capture);
    EXPECT_EQ(nodes.probeVideo(dir + "/video99").openError, ENOENT);
    EXPECT_EQ(nodes.accessError(dir + "/snd/missing"), ENOENT);
}

// --- Launching and the portal, on real descriptors --------------------------------------------

// Runs `executor` until `done` holds, looking every few milliseconds; false after 10 s (a hang).
bool runUntil(PollExecutor& executor, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool held = done();
    Handle check = executor.startTimer(std::chrono::milliseconds(5), [&] {
        held = done();
        if (held || std::chrono::steady_clock::now() > deadline) {
            executor.stop();
        }
    });
    if (!held) {
        executor.run();
    }
    return held;
}

TEST(LaunchTest, StartsProgramsAndReapsThem) {
    PollExecutor executor;
    LinuxPermissionBackend backend(executor);
    EXPECT_FALSE(backend.launch({}));
    EXPECT_FALSE(backend.launch({"kestrel-no-such-program"}));
    EXPECT_FALSE(backend.launch({"/nonexistent/kestrel"}));
    EXPECT_EQ(backend.runningChildren(), 0U);

    ASSERT_TRUE(backend.launch({"sh", "-c", "exit 3"}));
    EXPECT_EQ(backend.runningChildren(), 1U);
    EXPECT_TRUE(runUntil(executor, [&] { return backend.runningChildren() == 0; }));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no zombie left behind
}

// fake_portal.py on the test's bus: AccessCamera replies with the request path and sends the
// Response right after the reply, as a fast portal does; without a response it serves no camera.
class FakePortal {
  public:
    FakePortal(const std::string& address, std::optional<std::uint32_t> response) {
        std::vector<std::string> argv = {"/usr/bin/python3", KESTREL_FAKE_PORTAL, "refuse"};
        if (response) {
            argv.push_back(std::to_string(*response));
        }
        process_ = testing::ChildProcess(argv, {"DBUS_SESSION_BUS_ADDRESS=" + address},
                                         testing::Redirect{out_.string(), {}, -1, false});
    }
    bool ok() const {
        return testing::waitFor([&] { return lines("ready") == 1; }, std::chrono::seconds(10));
    }
    int calls() const { return lines("AccessCamera"); }

  private:
    int lines(const std::string& text) const {
        std::ifstream in(out_);
        return static_cast<int>(std::count(std::istream_iterator<std::string>(in),
                                           std::istream_iterator<std::string>(), text));
    }
    testing::TempFolder folder_;
    std::filesystem::path out_ = folder_.path() / "portal.out";
    testing::ChildProcess process_;
};

class PortalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus_.installed()) {
            GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
        }
        ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start";
    }

    // Asks through a backend whose device nodes say `nodes`; the answer, or nothing on time-out.
    std::optional<bool> ask(Status nodes, const std::string& address) {
        auto fake = std::make_shared<FakeNodes>();
        fake->video["v0"] = nodes == Status::granted ? VideoNodeInfo{0, true, "Cam"}
                                                     : VideoNodeInfo{EACCES, false, ""};
        LinuxPermissionBackend backend(executor, {fake, address, true, &executor});
        std::optional<bool> answer;
        backend.requestCameraAccess([&](bool granted) { answer = granted; });
        EXPECT_FALSE(answer.has_value()) << "answers are posted, never given inside the call";
        runUntil(executor, [&] { return answer.has_value(); });
        return answer;
    }
    std::optional<bool> ask(Status nodes) { return ask(nodes, bus_.address()); }

    PollExecutor executor;
    testing::PrivateBus bus_;
};

// A yes from the portal grants only where a camera node opens; a no never grants.
TEST_F(PortalTest, PortalGrantsWhereACameraNodeOpensAndRefuses) {
    for (const std::uint32_t response : {0U, 1U}) {
        FakePortal portal(bus_.address(), response);
        ASSERT_TRUE(portal.ok());
        EXPECT_EQ(ask(Status::granted), std::optional(response == 0)) << response;
        EXPECT_EQ(ask(Status::denied), std::optional(false)) << response;
        EXPECT_EQ(portal.calls(), 2) << response;
    }
}

TEST_F(PortalTest, WithoutAPortalOrABusTheDeviceNodesAnswer) {
    EXPECT_EQ(ask(Status::granted), std::optional(true));  // nobody owns the portal's name
    EXPECT_EQ(ask(Status::denied), std::optional(false));
    EXPECT_EQ(ask(Status::granted, "unix:path=/nonexistent/bus"), std::optional(true));
    EXPECT_EQ(ask(Status::denied, "unix:path=/nonexistent/bus"), std::optional(false));
    FakePortal nameOnly(bus_.address(), std::nullopt);
    ASSERT_TRUE(nameOnly.ok());
    EXPECT_EQ(ask(Status::granted), std::optional(true));
    EXPECT_EQ(ask(Status::denied), std::optional(false));
}

}  // namespace
}  // namespace kestrel
