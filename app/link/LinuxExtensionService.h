#pragma once

// The extension service on Linux: installs and starts the camera daemon that ships with the
// application, and lists its running copies.
//
// Activation finds the daemon program (beside the application, or in the installed libexec
// folder). Where a systemd user manager answers, it starts the user unit kestrel-camera.service:
// the installed one when it runs that program, else one it writes or updates itself; otherwise it
// starts the daemon as a detached process in a session of its own, its output going to the journal
// or to a log file. A running copy of another build, or a unit that runs another program, gives way
// only after the delegate's replacement decision says so. The request completes once the daemon
// answers on its camera link socket.
//
// Thread affinity: requests may be submitted from the main thread; all their work (process scans,
// systemctl, waits) runs on a work executor, and every delegate event is delivered on the main
// executor. Activations run one after another.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/link/DaemonProcesses.h"
#include "app/link/ExtensionBridge.h"
#include "platform/runtime/ChildReaper.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

// Runs a command to its end and collects its standard output. Called on the work executor.
class CommandRunner {
  public:
    struct Result {
        int exitStatus = -1;  // -1: could not be run, or ended by a signal
        std::string output;
    };
    virtual ~CommandRunner() = default;
    virtual Result run(const std::vector<std::string>& argv) = 0;
};

// posix_spawn with stdout captured; a command that takes longer than `timeout` is killed.
class ProcessCommandRunner final : public CommandRunner {
  public:
    explicit ProcessCommandRunner(std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : timeout_(timeout) {}
    Result run(const std::vector<std::string>& argv) override;

  private:
    std::chrono::milliseconds timeout_;
};

// The user unit that runs `daemon`, and the program an existing unit's ExecStart names.
std::string daemonUnitText(const std::filesystem::path& daemon,
                           const std::vector<std::string>& arguments);
std::optional<std::filesystem::path> unitExecutable(const std::string& unitText);

class LinuxExtensionService final : public ExtensionService {
  public:
    enum class Systemd { detect, use, avoid };

    struct Options {
        // The daemon program; when empty, the first of `daemonCandidates` that exists.
        std::filesystem::path daemonPath;
        std::vector<std::filesystem::path> daemonCandidates;
        std::vector<std::string> daemonArguments;
        std::filesystem::path runtimeFolder;  // XDG_RUNTIME_DIR
        std::filesystem::path configFolder;   // XDG_CONFIG_HOME
        std::filesystem::path stateFolder;    // XDG_STATE_HOME
        // Where an installed package keeps its unit for the daemon. A unit there that runs the
        // daemon found is used as it is; a unit of ours in configFolder that would shadow it
        // goes.
        std::filesystem::path installedUnit;
        Systemd systemd = Systemd::detect;
        // The detached daemon's output goes to the journal when it answers, else to
        // stateFolder/kestrel/kestrel-camera.log.
        bool journal = true;
        std::shared_ptr<CommandRunner> commands;  // null: ProcessCommandRunner
        // Whether a daemon answers on the camera link in `linkFolder`; null: a device listing
        // over a LinkClient made on `work`.
        std::function<bool(Executor& work, const std::filesystem::path& linkFolder)> answers;
        // Where the work runs; null: a worker thread of the service's own (then `clock` must be
        // the system host clock).
        Executor* work = nullptr;
        const HostClock* clock = nullptr;  // null: the system host clock
        // How long a started daemon has to answer.
        std::chrono::nanoseconds answerTimeout = std::chrono::seconds(5);
        std::chrono::nanoseconds pollInterval = std::chrono::milliseconds(50);
        // How long a copy told to exit may take before it counts as lingering.
        std::chrono::nanoseconds exitGrace = std::chrono::seconds(2);

        // The XDG folders of this process's environment and the installed layout.
        static Options forThisProcess();
    };

    static std::shared_ptr<LinuxExtensionService> create(Executor& main, Options options);
    ~LinuxExtensionService() override;
    LinuxExtensionService(const LinuxExtensionService&) = delete;
    LinuxExtensionService& operator=(const LinuxExtensionService&) = delete;

    void submitActivationRequest(std::string_view identifier, ActivationDelegate delegate) override;
    void submitPropertiesRequest(std::string_view identifier, PropertiesDelegate delegate) override;

    std::filesystem::path unitPath() const;
    std::filesystem::path linkFolder() const;

    // Whether a daemon answers on the camera link; `done` runs on the main executor.
    void checkAnswers(std::function<void(bool answers)> done);
    // Sends SIGTERM to the copies that linger (those a properties request lists as uninstalling)
    // and waits up to the exit grace for them to go; `done` runs on the main executor with how
    // many were told. Only processes that findDaemonCopies lists (kestrel-camera of this user and
    // runtime folder) are signalled, through a pidfd opened before their start time is checked.
    void endLingeringCopies(std::function<void(int told)> done);

  private:
    struct Private {};
    struct Activation;
    struct Told {
        std::uint64_t startTime = 0;
        std::uint64_t toldAtNanos = 0;
    };

  public:
    LinuxExtensionService(Private, Executor& main, Options options);

  private:
    // Runs `step` on the work executor unless the service is gone by then.
    void onWork(Task step);
    void onWorkAfter(Nanos delay, Task step);
    // Work executor steps of one activation.
    void startNextActivation();
    void begin(const std::shared_ptr<Activation>& activation);
    void afterReplacementDecision(const std::shared_ptr<Activation>& activation, bool replace);
    void waitForExits(const std::shared_ptr<Activation>& activation);
    void launch(const std::shared_ptr<Activation>& activation);
    void pollAnswer(const std::shared_ptr<Activation>& activation);
    void finish(const std::shared_ptr<Activation>& activation, std::optional<Error> error);

    std::optional<std::filesystem::path> findDaemon(std::optional<Error>& error) const;
    bool useSystemd();
    // Writes the unit when it changed and reloads the manager.
    std::optional<Error> writeUnit(const std::shared_ptr<Activation>& activation);
    std::optional<Error> reloadUnits();
    std::optional<Error> startUnit(bool restart);
    std::optional<Error> unitFailure();
    std::optional<Error> spawnDetached(const std::filesystem::path& daemon, pid_t& pid);
    bool lingering(const DaemonCopy& copy) const;
    void awaitEnded(std::vector<DaemonCopy> copies, std::uint64_t deadline, int told,
                    std::function<void(int)> done);
    std::uint64_t now() const { return clock_.nowNanos(); }

    Executor& main_;
    Options options_;
    std::unique_ptr<WorkerThread> ownWorker_;
    Executor& work_;
    const HostClock& clock_;
    std::shared_ptr<CommandRunner> commands_;
    Log log_{std::string(kAppLogSubsystem), "ExtensionService"};

    // Work executor only.
    std::deque<std::shared_ptr<Activation>> queued_;
    bool activating_ = false;
    std::optional<bool> systemdAnswers_;
    std::map<pid_t, Told> told_;
    // Started daemons, collected when they exit; work executor only.
    std::unique_ptr<ChildReaper> reaper_;

    // Liveness token for steps queued on the work executor and answers from the main thread.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace kestrel
