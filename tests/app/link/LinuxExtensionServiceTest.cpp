// The Linux extension service: the user unit with a scripted systemctl in virtual time, and the
// detached daemon with the real kestrel-camera in a private runtime folder.

#include "app/link/LinuxExtensionService.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "app/link/PipeWireSources.h"
#include "app/link/SystemCaptureDevices.h"
#include "platform/link/Transport.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/ChildProcess.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::readFile;
using testing::TempFolder;
using testing::waitFor;
using testing::writeFile;

// What one request reported, in order.
struct Outcome {
    int replacementAsked = 0;
    std::optional<int> finished;
    std::optional<Error> failed;
    ReplacementAction answer = ReplacementAction::replace;

    ActivationDelegate delegate() {
        ActivationDelegate d;
        d.replacementAction = [this] {
            ++replacementAsked;
            return answer;
        };
        d.needsUserApproval = [] {};
        d.finished = [this](int result) { finished = result; };
        d.failed = [this](const Error& error) { failed = error; };
        return d;
    }
    bool done() const { return finished.has_value() || failed.has_value(); }
    std::string failure() const { return failed ? failed->description : "(no failure)"; }
};

// A service's folders under `home`, running `daemon`.
LinuxExtensionService::Options optionsIn(const TempFolder& home, std::filesystem::path daemon) {
    LinuxExtensionService::Options options;
    options.daemonPath = std::move(daemon);
    options.runtimeFolder = home.path() / "run";
    options.configFolder = home.path() / "config";
    options.stateFolder = home.path() / "state";
    return options;
}

class FakeCommands final : public CommandRunner {
  public:
    Result run(const std::vector<std::string>& argv) override {
        std::string line;
        for (const auto& a : argv) {
            line += (line.empty() ? "" : " ") + a;
        }
        ran.push_back(line);
        if (argv.size() > 2 && argv[2] == "show") {
            return {0, showOutput};
        }
        return {0, {}};
    }
    std::vector<std::string> ran;
    std::string showOutput = "ActiveState=active\nSubState=running\nExecMainStatus=0\n";
};

// The unit logic runs entirely on a virtual-time executor with a scripted systemctl.
class ExtensionServiceUnitTest : public ::testing::Test {
  protected:
    std::shared_ptr<LinuxExtensionService> makeService(std::filesystem::path installedUnit = {}) {
        auto options = optionsIn(home, KESTREL_CAMERA_PATH);
        options.installedUnit = std::move(installedUnit);
        options.systemd = LinuxExtensionService::Systemd::use;
        options.commands = commands;
        options.answers = [this](Executor&, const std::filesystem::path&) { return answering; };
        options.work = &executor;
        options.clock = &executor.hostClock();
        return LinuxExtensionService::create(executor, options);
    }
    Outcome activate(ReplacementAction answer = ReplacementAction::replace) {
        Outcome outcome;
        outcome.answer = answer;
        service->submitActivationRequest("dev.corvid.kestrel.camera", outcome.delegate());
        executor.advance(10s);
        return outcome;
    }

    TempFolder home;
    ManualExecutor executor;
    std::shared_ptr<FakeCommands> commands = std::make_shared<FakeCommands>();
    bool answering = true;
    std::shared_ptr<LinuxExtensionService> service = makeService();
    const std::filesystem::path unit = home.path() / "config/systemd/user/kestrel-camera.service";
};

TEST_F(ExtensionServiceUnitTest,
       WritesTheUnitOnceKeepsAnIdenticalOneAndReplacesAnotherOnlyWhenTold) {
    Outcome first = activate();
    EXPECT_EQ(first.finished, activationResult::completed);
    EXPECT_EQ(first.replacementAsked, 0);
    const std::string text = readFile(unit);
    EXPECT_NE(text.find("ExecStart=" + std::string(KESTREL_CAMERA_PATH) + "\n"), std::string::npos)
        << text;
    EXPECT_EQ(unitExecutable(text), std::filesystem::path(KESTREL_CAMERA_PATH));
    EXPECT_EQ(commands->ran,
              (std::vector<std::string>{"systemctl --user daemon-reload",
                                        "systemctl --user restart kestrel-camera.service"}));

    commands->ran.clear();
    Outcome second = activate();
    EXPECT_EQ(second.finished, activationResult::completed);
    EXPECT_EQ(readFile(unit), text);
    EXPECT_EQ(commands->ran,
              (std::vector<std::string>{"systemctl --user start kestrel-camera.service"}));

    // A unit running another program is replaced only after the user's decision.
    commands->ran.clear();
    const std::string old = daemonUnitText("/opt/old kestrel/kestrel-camera", {"--no-v4l2"});
    EXPECT_EQ(unitExecutable(old), std::filesystem::path("/opt/old kestrel/kestrel-camera"));
    writeFile(unit, old);

    Outcome declined = activate(ReplacementAction::cancel);
    EXPECT_EQ(declined.replacementAsked, 1);
    ASSERT_TRUE(declined.failed.has_value());
    EXPECT_EQ(readFile(unit), old);
    EXPECT_TRUE(commands->ran.empty());

    Outcome accepted = activate();
    EXPECT_EQ(accepted.replacementAsked, 1);
    EXPECT_EQ(accepted.finished, activationResult::completed);
    EXPECT_EQ(unitExecutable(readFile(unit)), std::filesystem::path(KESTREL_CAMERA_PATH));
    EXPECT_EQ(commands->ran.back(), "systemctl --user restart kestrel-camera.service");
}

TEST_F(ExtensionServiceUnitTest, AnInstalledUnitForTheDaemonReplacesOursAndOneForAnotherDoesNot) {
    const auto installed = home.path() / "usr/lib/systemd/user/kestrel-camera.service";
    writeFile(installed, daemonUnitText("/usr/libexec/kestrel/kestrel-camera", {}));
    service = makeService(installed);
    EXPECT_EQ(activate().finished, activationResult::completed);
    EXPECT_EQ(unitExecutable(readFile(unit)), std::filesystem::path(KESTREL_CAMERA_PATH));

    writeFile(installed, "[Service]\nExecStart=" + std::string(KESTREL_CAMERA_PATH) + "\n");
    commands->ran.clear();
    EXPECT_EQ(activate().finished, activationResult::completed);
    EXPECT_FALSE(std::filesystem::exists(unit));
    EXPECT_EQ(commands->ran,
              (std::vector<std::string>{"systemctl --user daemon-reload",
                                        "systemctl --user restart kestrel-camera.service"}));

    commands->ran.clear();
    EXPECT_EQ(activate().finished, activationResult::completed);
    EXPECT_FALSE(std::filesystem::exists(unit));
    EXPECT_EQ(commands->ran,
              (std::vector<std::string>{"systemctl --user start kestrel-camera.service"}));
}

TEST_F(ExtensionServiceUnitTest, AUnitWhoseDaemonExitsOrNeverAnswersFails) {
    answering = false;
    commands->showOutput = "ActiveState=activating\nSubState=auto-restart\nExecMainStatus=3\n";
    EXPECT_EQ(activate().failure(), "kestrel-camera exited with status 3");
    commands->showOutput = "ActiveState=active\nSubState=running\nExecMainStatus=0\n";
    EXPECT_EQ(activate().failure(), "kestrel-camera gave no answer within 5 seconds");
}

TEST(ProcessCommandRunnerTest, CollectsOutputAndStatusAndEndsACommandThatHangs) {
    ProcessCommandRunner runner(300ms);
    const auto answered = runner.run({"sh", "-c", "echo ActiveState=active; exit 4"});
    EXPECT_EQ(answered.exitStatus, 4);
    EXPECT_EQ(answered.output, "ActiveState=active\n");
    EXPECT_EQ(runner.run({"/nonexistent/systemctl"}).exitStatus, -1);
    // Not ended, this command would hang the test for an hour.
    EXPECT_EQ(runner.run({"sleep", "3600"}).exitStatus, -1);
}

// --- The detached daemon, for real -------------------------------------------------------------

// The folder ends the detached daemons of its runtime folder when it goes.
class ExtensionServiceProcessTest : public ::testing::Test {
  protected:
    std::shared_ptr<LinuxExtensionService> makeService(const std::filesystem::path& daemon) {
        auto options = optionsIn(home, daemon);
        options.daemonArguments = {"--no-pipewire", "--no-v4l2"};
        options.systemd = LinuxExtensionService::Systemd::avoid;
        options.journal = false;
        return LinuxExtensionService::create(main, options);
    }
    std::filesystem::path runtime() const { return home.path() / "run"; }
    // Runs the main queue until `done` holds; false after `limit`.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        return waitFor(
            [&] {
                main.runUntilIdle();
                return done();
            },
            limit);
    }
    Outcome activate() {
        Outcome outcome;
        service->submitActivationRequest("dev.corvid.kestrel.camera", outcome.delegate());
        EXPECT_TRUE(pumpUntil([&] { return outcome.done(); }, 15000ms));
        return outcome;
    }
    std::vector<ExtensionProperties> properties() {
        std::optional<std::vector<ExtensionProperties>> found;
        PropertiesDelegate delegate;
        delegate.foundProperties = [&found](const auto& copies) { found = copies; };
        delegate.finished = [](int) {};
        service->submitPropertiesRequest("dev.corvid.kestrel.camera", delegate);
        EXPECT_TRUE(pumpUntil([&] { return found.has_value(); }, 5000ms));
        return found.value_or(std::vector<ExtensionProperties>{});
    }
    TempFolder home;
    bool runtimeMade = std::filesystem::create_directories(runtime());
    ManualExecutor main;
    std::shared_ptr<LinuxExtensionService> service = makeService(KESTREL_CAMERA_PATH);
};

TEST_F(ExtensionServiceProcessTest, StartsTheDaemonDetachedAndCountsARunningOneAsDone) {
    Outcome first = activate();
    ASSERT_EQ(first.finished, activationResult::completed) << first.failure();
    const auto copies = findDaemonCopies(runtime());
    ASSERT_EQ(copies.size(), 1U);
    EXPECT_EQ(::getsid(copies[0].pid), copies[0].pid);  // a session of its own
    EXPECT_TRUE(std::filesystem::exists(home.path() / "state/kestrel/kestrel-camera.log"));

    Outcome again = activate();
    EXPECT_EQ(again.finished, activationResult::completed);
    EXPECT_EQ(again.replacementAsked, 0);
    const auto after = findDaemonCopies(runtime());
    ASSERT_EQ(after.size(), 1U);
    EXPECT_EQ(after[0].pid, copies[0].pid);

    const auto listed = properties();
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_FALSE(listed[0].isUninstalling);

    // The health probe counts what meeting applications can open: not the daemon's camera on the
    // link, nor a loopback device nobody feeds (no format in sysfs), only a fed one.
    writeFile(home.path() / "v4l/video3/name", "Kestrel (2)\n");
    writeFile(home.path() / "v4l/video3/format", "\n");
    writeFile(home.path() / "v4l/video4/name", "Kestrel\n");
    writeFile(home.path() / "v4l/video4/format", "YUYV:1920x1080@30/1\n");
    writeFile(home.path() / "v4l/vbi0/name", "Not a camera\n");
    writeFile(home.path() / "v4l/vbi0/format", "GREY:1x1@1/1\n");
    SystemCaptureDevices::Options devices;
    devices.pipewire = false;
    devices.video4linuxFolder = home.path() / "v4l";
    EXPECT_EQ(SystemCaptureDevices::list(devices), (std::vector<std::string>{"Kestrel"}));
}

// ctest runs this binary with PIPEWIRE_RUNTIME_DIR where no PipeWire listens.
TEST(PipeWireVideoSources, NoPipeWireAnswersAtOnceWithNothing) {
    const char* runtime = std::getenv("PIPEWIRE_RUNTIME_DIR");
    if (runtime == nullptr || std::filesystem::exists(runtime)) {
        GTEST_SKIP() << "needs PIPEWIRE_RUNTIME_DIR set to a missing folder (ctest sets it)";
    }
    std::vector<std::string> names;
    const int result = kestrel_pw_list_video_sources(
        3'600'000,  // waiting for this timeout would hang the test
        [](void* data, const char* name) {
            static_cast<std::vector<std::string>*>(data)->emplace_back(name);
        },
        &names);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(names.empty());
}

TEST_F(ExtensionServiceProcessTest, ADaemonThatCannotRunFailsWithItsReason) {
    service = makeService(home.path() / "nowhere/kestrel-camera");
    EXPECT_EQ(activate().failure(),
              "kestrel-camera not found at " + (home.path() / "nowhere/kestrel-camera").string());

    const auto script = home.path() / "bin/kestrel-camera";
    writeFile(script, "#!/bin/sh\nexit 3\n");
    service = makeService(script);
    EXPECT_EQ(activate().failure(), "kestrel-camera at " + script.string() + " is not executable");

    std::filesystem::permissions(script, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(activate().failure(), "kestrel-camera exited with status 3");
}

TEST_F(ExtensionServiceProcessTest, ACopyOfAnotherBuildGivesWayAndIsUninstallingOnceDeleted) {
    const auto other = home.path() / "old/kestrel-camera";
    std::filesystem::create_directories(other.parent_path());
    std::filesystem::copy_file(KESTREL_CAMERA_PATH, other);
    ChildProcess old({other.string(), "--no-pipewire", "--no-v4l2"},
                     {"XDG_RUNTIME_DIR=" + runtime().string(), "KESTREL_LOG=stderr"}, true);
    ASSERT_GT(old.pid(), 0);
    ASSERT_TRUE(waitFor(
        [&] {
            return std::filesystem::exists(runtime() / "dev.corvid.kestrel" /
                                           link::kCameraProviderSocket);
        },
        5000ms));

    auto listed = properties();
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_EQ(listed[0].pid, old.pid());
    EXPECT_FALSE(listed[0].isUninstalling);
    // An update deletes the program under the running copy.
    std::filesystem::remove(other);
    listed = properties();
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_TRUE(listed[0].isUninstalling);

    Outcome replaced = activate();
    EXPECT_EQ(replaced.replacementAsked, 1);
    ASSERT_EQ(replaced.finished, activationResult::completed) << replaced.failure();
    EXPECT_TRUE(waitFor([&] { return !old.running(); }, 3000ms));
    const auto now = findDaemonCopies(runtime());
    ASSERT_EQ(now.size(), 1U);
    EXPECT_NE(now[0].pid, old.pid());
    EXPECT_EQ(now[0].executable, std::filesystem::path(KESTREL_CAMERA_PATH));
}

TEST_F(ExtensionServiceProcessTest, EndingLingeringCopiesSignalsOnlyAnUninstallingKestrelCamera) {
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime().string()};
    auto program = [&](const std::string& folder, const std::string& name) {
        const auto path = home.path() / folder / name;
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::copy_file("/bin/sleep", path);
        return path;
    };
    const auto old = program("old", "kestrel-camera");
    ChildProcess stale({old.string(), "30"}, env);
    ChildProcess current({program("new", "kestrel-camera").string(), "30"}, env);
    ChildProcess other({program("other", "sleep").string(), "30"}, env);
    ASSERT_TRUE(waitFor([&] { return findDaemonCopies(runtime()).size() == 2; }, 3000ms));
    std::filesystem::remove(old);

    std::optional<int> told;
    service->endLingeringCopies([&](int count) { told = count; });
    ASSERT_TRUE(pumpUntil([&] { return told.has_value(); }, 5000ms));
    EXPECT_EQ(*told, 1);
    EXPECT_FALSE(stale.running());
    EXPECT_TRUE(current.running());
    EXPECT_TRUE(other.running());
}

}  // namespace
}  // namespace kestrel
