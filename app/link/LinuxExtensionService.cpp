#include "app/link/LinuxExtensionService.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "platform/link/LinkClient.h"
#include "platform/link/Transport.h"
#include "platform/runtime/Spawn.h"
#include "platform/runtime/UniqueFd.h"
#include "shared/CameraIPC.h"

extern char** environ;

namespace kestrel {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kErrorDomain = "ExtensionService";
constexpr std::string_view kUnitName = "kestrel-camera.service";
// The first words of every unit this service writes.
constexpr std::string_view kOwnUnitMark = "# Written by kestrel";
// A started unit is asked how it fares every this many answer polls: systemctl is not free.
constexpr int kPollsPerUnitCheck = 5;
// How often children that were started detached are reaped once they exit.
// A device listing from the daemon comes back in well under a millisecond; this only bounds a
// daemon that accepted the connection and hangs.
constexpr std::chrono::milliseconds kAnswerReplyTimeout = 500ms;

namespace code {
constexpr int notFound = 1;
constexpr int notExecutable = 2;
constexpr int exited = 3;
constexpr int noAnswer = 4;
constexpr int cancelled = 5;
constexpr int startFailed = 6;
constexpr int unknownIdentifier = 7;
}  // namespace code

Error makeError(int code, std::string description) {
    return Error{std::string(kErrorDomain), code, std::move(description)};
}

std::filesystem::path envFolder(const char* name, const std::filesystem::path& fallback) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] == '/') {
        return value;
    }
    return fallback;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) || a.lexically_normal() == b.lexically_normal();
}

// One word of an ExecStart line: quoted when it holds anything systemd would read otherwise.
std::string unitWord(const std::string& word) {
    std::string out;
    bool quote = word.empty();
    for (char c : word) {
        switch (c) {
            case '%':
                out += "%%";  // specifier
                break;
            case '$':
                out += "$$";  // variable
                break;
            case '\\':
            case '"':
                out += '\\';
                out += c;
                quote = true;
                break;
            default:
                if (c == ' ' || c == '\t' || c == '\'' || c == ';') {
                    quote = true;
                }
                out += c;
        }
    }
    return quote ? "\"" + out + "\"" : out;
}

std::string secondsText(Nanos duration) {
    const double seconds = std::chrono::duration<double>(duration).count();
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// Asks the daemon for its device list: the cheapest request that proves it serves.
bool linkAnswers(Executor& work, const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::exists(folder / link::kCameraProviderSocket, ec)) {
        return false;
    }
    link::LinkClient client(work, kAnswerReplyTimeout);
    client.setFolderForTesting(folder);
    std::vector<std::uint32_t> devices;
    return client.getProperty(link::kSystemObject, link::property::devices, devices) ==
               link::status::ok &&
           !devices.empty();
}

// SIGTERM to `copy` only while its pid still names the process that was listed: the pidfd pins
// the process, so a pid reused after the start time check cannot be hit.
bool terminateCopy(const DaemonCopy& copy) {
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, copy.pid, 0)));
    if (!pidfd || processStartTime(copy.pid) != copy.startTime) {
        return false;
    }
    return ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGTERM, nullptr, 0) == 0;
}

std::string exitText(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        return "kestrel-camera was ended by signal " + std::to_string(WTERMSIG(waitStatus));
    }
    return "kestrel-camera exited with status " + std::to_string(WEXITSTATUS(waitStatus));
}

}  // namespace

// --- Commands ---------------------------------------------------------------------------------

CommandRunner::Result ProcessCommandRunner::run(const std::vector<std::string>& argv) {
    Result result;
    if (argv.empty()) {
        return result;
    }
    std::array<int, 2> ends{-1, -1};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
        return result;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    SpawnRequest request;
    request.argv = argv;
    request.searchPath = true;
    request.standardOutput = writeEnd.get();
    request.standardError = SpawnRequest::kDiscard;
    const auto spawned = spawnProcess(request);
    writeEnd.reset();
    if (spawned.pid < 0) {
        return result;
    }
    const pid_t pid = spawned.pid;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    bool timedOut = false;
    std::array<char, 4096> buffer{};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd ready{readEnd.get(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            timedOut = polled == 0;
            break;
        }
        const ssize_t got = ::read(readEnd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        result.output.append(buffer.data(), static_cast<std::size_t>(got));
    }
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!timedOut && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

// --- The unit -----------------------------------------------------------------------------------

std::string daemonUnitText(const std::filesystem::path& daemon,
                           const std::vector<std::string>& arguments) {
    std::string exec = unitWord(daemon.string());
    for (const auto& argument : arguments) {
        exec += ' ' + unitWord(argument);
    }
    return std::string(kOwnUnitMark) +
           "; rewritten when the application that ships the daemon moves.\n"
           "[Unit]\n"
           "Description=Kestrel virtual camera\n"
           "After=pipewire.service\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           exec +
           "\n"
           "Restart=on-failure\n"
           "RestartSec=1\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

std::optional<std::filesystem::path> unitExecutable(const std::string& unitText) {
    std::istringstream lines(unitText);
    std::string line;
    while (std::getline(lines, line)) {
        constexpr std::string_view key = "ExecStart=";
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string rest = line.substr(key.size());
        // Prefixes that change how systemd runs the command, not which program.
        while (!rest.empty() && std::string_view("@-:+!").find(rest[0]) != std::string_view::npos) {
            rest.erase(0, 1);
        }
        std::string word;
        if (!rest.empty() && rest[0] == '"') {
            for (std::size_t i = 1; i < rest.size() && rest[i] != '"'; ++i) {
                if (rest[i] == '\\' && i + 1 < rest.size()) {
                    ++i;
                }
                word += rest[i];
            }
        } else {
            word = rest.substr(0, rest.find_first_of(" \t"));
        }
        std::string unescaped;
        for (std::size_t i = 0; i < word.size(); ++i) {
            unescaped += word[i];
            if ((word[i] == '%' || word[i] == '$') && i + 1 < word.size() &&
                word[i + 1] == word[i]) {
                ++i;
            }
        }
        if (unescaped.empty()) {
            return std::nullopt;
        }
        return std::filesystem::path(unescaped);
    }
    return std::nullopt;
}

// --- The service --------------------------------------------------------------------------------

struct LinuxExtensionService::Activation {
    ActivationDelegate delegate;
    std::filesystem::path daemon;
    bool systemd = false;
    bool ownRunning = false;
    std::vector<DaemonCopy> others;
    std::optional<std::string> unitText;  // to be written
    bool dropOwnUnit = false;             // ours shadows the installed unit
    std::uint64_t exitDeadline = 0;
    std::uint64_t answerDeadline = 0;
    pid_t child = -1;
    int polls = 0;
};

LinuxExtensionService::Options LinuxExtensionService::Options::forThisProcess() {
    Options options;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        options.daemonCandidates.push_back(self.parent_path() / kDaemonProgramName);
        // The build tree keeps the daemon in a folder of its own.
        options.daemonCandidates.push_back(self.parent_path().parent_path() / "extension" /
                                           kDaemonProgramName);
        // An installed tree, wherever its prefix is.
        options.daemonCandidates.push_back(self.parent_path().parent_path() /
                                           KESTREL_LIBEXEC_RELATIVE_DIR / kDaemonProgramName);
        options.installedUnit =
            self.parent_path().parent_path() / "lib" / "systemd" / "user" / kUnitName;
    }
    options.daemonCandidates.push_back(std::filesystem::path(KESTREL_LIBEXEC_DIR) /
                                       kDaemonProgramName);
    const char* home = std::getenv("HOME");
    const std::filesystem::path homeFolder = home != nullptr ? home : "/";
    options.runtimeFolder = envFolder("XDG_RUNTIME_DIR", "/run/user/" + std::to_string(::getuid()));
    options.configFolder = envFolder("XDG_CONFIG_HOME", homeFolder / ".config");
    options.stateFolder = envFolder("XDG_STATE_HOME", homeFolder / ".local" / "state");
    return options;
}

std::shared_ptr<LinuxExtensionService> LinuxExtensionService::create(Executor& main,
                                                                     Options options) {
    return std::make_shared<LinuxExtensionService>(Private{}, main, std::move(options));
}

LinuxExtensionService::LinuxExtensionService(Private, Executor& main, Options options)
    : main_(main),
      options_(std::move(options)),
      ownWorker_(options_.work == nullptr
                     ? std::make_unique<WorkerThread>("dev.corvid.kestrel.extension")
                     : nullptr),
      work_(options_.work != nullptr ? *options_.work : *ownWorker_),
      clock_(options_.clock != nullptr ? *options_.clock : systemHostClock()),
      commands_(options_.commands ? options_.commands : std::make_shared<ProcessCommandRunner>()),
      reaper_(std::make_unique<ChildReaper>(work_)) {
    if (!options_.answers) {
        options_.answers = linkAnswers;
    }
}

LinuxExtensionService::~LinuxExtensionService() {
    // The worker ends first: no step of a request runs on what is torn down below. The reaper's
    // watches belong to the work executor and go on its thread.
    if (ownWorker_) {
        ownWorker_->runSync([this] { reaper_.reset(); });
        ownWorker_.reset();
    } else {
        reaper_.reset();
    }
    *alive_ = false;
}

std::filesystem::path LinuxExtensionService::unitPath() const {
    return options_.configFolder / "systemd" / "user" / kUnitName;
}

std::filesystem::path LinuxExtensionService::linkFolder() const {
    return options_.runtimeFolder / "dev.corvid.kestrel";
}

void LinuxExtensionService::onWork(Task step) {
    work_.post([alive = alive_, step = std::move(step)] {
        if (*alive) {
            step();
        }
    });
}

void LinuxExtensionService::onWorkAfter(Nanos delay, Task step) {
    work_.postAfter(delay, [alive = alive_, step = std::move(step)] {
        if (*alive) {
            step();
        }
    });
}

void LinuxExtensionService::submitActivationRequest(std::string_view identifier,
                                                    ActivationDelegate delegate) {
    auto activation = std::make_shared<Activation>();
    activation->delegate = std::move(delegate);
    if (identifier != CameraIPC::extensionIdentifier) {
        main_.post([delegate = activation->delegate, id = std::string(identifier)] {
            delegate.failed(makeError(code::unknownIdentifier, "no extension " + id));
        });
        return;
    }
    onWork([this, activation] {
        queued_.push_back(activation);
        startNextActivation();
    });
}

void LinuxExtensionService::startNextActivation() {
    if (activating_ || queued_.empty()) {
        return;
    }
    activating_ = true;
    auto activation = queued_.front();
    queued_.pop_front();
    begin(activation);
}

void LinuxExtensionService::begin(const std::shared_ptr<Activation>& activation) {
    std::optional<Error> error;
    const auto daemon = findDaemon(error);
    if (!daemon) {
        finish(activation, error);
        return;
    }
    activation->daemon = *daemon;
    activation->systemd = useSystemd();
    const auto ours = fileIdentity(*daemon);
    for (auto& copy : findDaemonCopies(options_.runtimeFolder)) {
        if (!copy.executableGone && ours && copy.image == *ours) {
            activation->ownRunning = true;
        } else {
            activation->others.push_back(std::move(copy));
        }
    }
    bool unitRunsAnother = false;
    if (activation->systemd) {
        const std::string wanted = daemonUnitText(*daemon, options_.daemonArguments);
        const std::string existing = readFile(unitPath());
        const auto installed = options_.installedUnit.empty()
                                   ? std::nullopt
                                   : unitExecutable(readFile(options_.installedUnit));
        if (installed && samePath(*installed, *daemon) && options_.daemonArguments.empty()) {
            activation->dropOwnUnit = existing.rfind(kOwnUnitMark, 0) == 0;
        } else if (existing != wanted) {
            activation->unitText = wanted;
            const auto program = unitExecutable(existing);
            unitRunsAnother = !existing.empty() && (!program || !samePath(*program, *daemon));
        }
    }
    if (activation->others.empty() && !unitRunsAnother) {
        afterReplacementDecision(activation, true);
        return;
    }
    // The delegate decides on the main thread; the answer comes back here.
    main_.post([this, alive = alive_, activation] {
        const bool replace = activation->delegate.replacementAction &&
                             activation->delegate.replacementAction() == ReplacementAction::replace;
        if (*alive) {
            onWork([this, activation, replace] { afterReplacementDecision(activation, replace); });
        }
    });
}

void LinuxExtensionService::afterReplacementDecision(const std::shared_ptr<Activation>& activation,
                                                     bool replace) {
    if (!replace) {
        finish(activation,
               makeError(code::cancelled, "replacing the installed kestrel-camera was cancelled"));
        return;
    }
    for (const auto& copy : activation->others) {
        if (processStartTime(copy.pid) != copy.startTime) {
            continue;  // gone already; the pid may belong to someone else by now
        }
        log_.info("asking kestrel-camera %d (%{public}@) to exit", copy.pid,
                  copy.executable.string());
        ::kill(copy.pid, SIGTERM);
        told_[copy.pid] = Told{copy.startTime, now()};
    }
    activation->exitDeadline = now() + static_cast<std::uint64_t>(options_.exitGrace.count());
    waitForExits(activation);
}

void LinuxExtensionService::waitForExits(const std::shared_ptr<Activation>& activation) {
    const bool anyLeft =
        std::any_of(activation->others.begin(), activation->others.end(),
                    [](const auto& copy) { return processStartTime(copy.pid) == copy.startTime; });
    if (anyLeft && now() < activation->exitDeadline) {
        onWorkAfter(options_.pollInterval, [this, activation] { waitForExits(activation); });
        return;
    }
    if (anyLeft) {
        log_.error("a kestrel-camera of another build did not exit within %{public}@ s",
                   secondsText(options_.exitGrace));
    }
    launch(activation);
}

void LinuxExtensionService::launch(const std::shared_ptr<Activation>& activation) {
    if (activation->systemd) {
        const bool rewrote = activation->unitText.has_value() || activation->dropOwnUnit;
        if (auto error = writeUnit(activation)) {
            finish(activation, error);
            return;
        }
        // Our own program already serving outside the unit is left to serve.
        if (!activation->ownRunning || rewrote) {
            if (auto error = startUnit(rewrote)) {
                finish(activation, error);
                return;
            }
        }
    } else if (!activation->ownRunning) {
        if (auto error = spawnDetached(activation->daemon, activation->child)) {
            finish(activation, error);
            return;
        }
    }
    activation->answerDeadline = now() + static_cast<std::uint64_t>(options_.answerTimeout.count());
    pollAnswer(activation);
}

void LinuxExtensionService::pollAnswer(const std::shared_ptr<Activation>& activation) {
    if (options_.answers(work_, linkFolder())) {
        finish(activation, std::nullopt);
        return;
    }
    ++activation->polls;
    if (activation->child > 0) {
        int status = 0;
        if (::waitpid(activation->child, &status, WNOHANG) == activation->child) {
            activation->child = -1;
            finish(activation, makeError(code::exited, exitText(status)));
            return;
        }
    } else if (activation->systemd && activation->polls % kPollsPerUnitCheck == 0) {
        if (auto error = unitFailure()) {
            finish(activation, error);
            return;
        }
    }
    if (now() >= activation->answerDeadline) {
        finish(activation,
               makeError(code::noAnswer, "kestrel-camera gave no answer within " +
                                             secondsText(options_.answerTimeout) + " seconds"));
        return;
    }
    onWorkAfter(options_.pollInterval, [this, activation] { pollAnswer(activation); });
}

void LinuxExtensionService::finish(const std::shared_ptr<Activation>& activation,
                                   std::optional<Error> error) {
    if (activation->child > 0) {
        reaper_->adopt(activation->child);
        activation->child = -1;
    }
    if (error) {
        log_.error("activation failed: %{public}@", error->description);
    } else {
        log_.info("kestrel-camera answers (%{public}@)",
                  activation->systemd ? "systemd user unit" : "detached");
    }
    main_.post([delegate = activation->delegate, error = std::move(error)] {
        if (error) {
            if (delegate.failed) {
                delegate.failed(*error);
            }
        } else if (delegate.finished) {
            delegate.finished(activationResult::completed);
        }
    });
    activating_ = false;
    startNextActivation();
}

std::optional<std::filesystem::path> LinuxExtensionService::findDaemon(
    std::optional<Error>& error) const {
    std::vector<std::filesystem::path> candidates = options_.daemonCandidates;
    if (!options_.daemonPath.empty()) {
        candidates = {options_.daemonPath};
    }
    std::string tried;
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec)) {
            tried += (tried.empty() ? "" : " or ") + candidate.string();
            continue;
        }
        if (!std::filesystem::is_regular_file(candidate, ec) ||
            ::access(candidate.c_str(), X_OK) != 0) {
            error = makeError(code::notExecutable,
                              "kestrel-camera at " + candidate.string() + " is not executable");
            return std::nullopt;
        }
        return std::filesystem::absolute(candidate, ec);
    }
    error = makeError(code::notFound, "kestrel-camera not found at " + tried);
    return std::nullopt;
}

bool LinuxExtensionService::useSystemd() {
    switch (options_.systemd) {
        case Systemd::use:
            return true;
        case Systemd::avoid:
            return false;
        case Systemd::detect:
            break;
    }
    if (!systemdAnswers_) {
        std::error_code ec;
        systemdAnswers_ =
            std::filesystem::exists(options_.runtimeFolder / "systemd" / "private", ec) &&
            commands_->run({"systemctl", "--user", "show-environment"}).exitStatus == 0;
    }
    return *systemdAnswers_;
}

std::optional<Error> LinuxExtensionService::writeUnit(
    const std::shared_ptr<Activation>& activation) {
    const auto path = unitPath();
    std::error_code ec;
    if (activation->dropOwnUnit) {
        std::filesystem::remove(path, ec);
        if (ec) {
            return makeError(code::startFailed,
                             "cannot remove " + path.string() + ": " + ec.message());
        }
        log_.info("removed %{public}@: the installed unit runs the daemon", path.string());
        return reloadUnits();
    }
    if (!activation->unitText) {
        return std::nullopt;
    }
    std::filesystem::create_directories(path.parent_path(), ec);
    const auto temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << *activation->unitText;
        if (!out.flush()) {
            return makeError(code::startFailed, "cannot write " + temporary);
        }
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        return makeError(code::startFailed, "cannot write " + path.string() + ": " + ec.message());
    }
    log_.info("wrote %{public}@", path.string());
    return reloadUnits();
}

std::optional<Error> LinuxExtensionService::reloadUnits() {
    if (commands_->run({"systemctl", "--user", "daemon-reload"}).exitStatus != 0) {
        return makeError(code::startFailed, "systemctl --user daemon-reload failed");
    }
    return std::nullopt;
}

std::optional<Error> LinuxExtensionService::startUnit(bool restart) {
    const std::string verb = restart ? "restart" : "start";
    const auto result = commands_->run({"systemctl", "--user", verb, std::string(kUnitName)});
    if (result.exitStatus != 0) {
        return makeError(code::startFailed, "systemctl --user " + verb + " " +
                                                std::string(kUnitName) + " failed with status " +
                                                std::to_string(result.exitStatus));
    }
    return std::nullopt;
}

std::optional<Error> LinuxExtensionService::unitFailure() {
    const auto result =
        commands_->run({"systemctl", "--user", "show", "-p", "ActiveState", "-p", "SubState", "-p",
                        "ExecMainStatus", std::string(kUnitName)});
    if (result.exitStatus != 0) {
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    const std::string& active = values["ActiveState"];
    if (active == "failed" || active == "inactive" || values["SubState"] == "auto-restart") {
        const std::string status =
            values["ExecMainStatus"].empty() ? "?" : values["ExecMainStatus"];
        return makeError(code::exited, "kestrel-camera exited with status " + status);
    }
    return std::nullopt;
}

std::optional<Error> LinuxExtensionService::spawnDetached(const std::filesystem::path& daemon,
                                                          pid_t& pid) {
    // Output: the journal when it takes a stream, else a log file of our own.
    UniqueFd output;
    std::string journalStream;
    if (options_.journal) {
        output.reset(sd_journal_stream_fd(std::string(kDaemonProgramName).c_str(), LOG_INFO, 0));
        struct stat info {};
        if (output && ::fstat(output.get(), &info) == 0) {
            journalStream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
        } else {
            output.reset();
        }
    }
    if (!output) {
        const auto folder = options_.stateFolder / "kestrel";
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        const auto logFile = folder / "kestrel-camera.log";
        output.reset(::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    }
    if (!output) {
        output.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    }

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (entry.rfind("XDG_RUNTIME_DIR=", 0) != 0 && entry.rfind("JOURNAL_STREAM=", 0) != 0) {
            env.emplace_back(entry);
        }
    }
    env.push_back("XDG_RUNTIME_DIR=" + options_.runtimeFolder.string());
    if (!journalStream.empty()) {
        env.push_back("JOURNAL_STREAM=" + journalStream);
    }
    SpawnRequest request;
    request.argv = {daemon.string()};
    request.argv.insert(request.argv.end(), options_.daemonArguments.begin(),
                        options_.daemonArguments.end());
    request.environment = std::move(env);
    request.standardOutput = output.get();
    request.standardError = output.get();
    request.detach = true;
    request.workingFolder = "/";
    const auto spawned = spawnProcess(request);
    pid = spawned.pid;
    if (pid < 0) {
        return makeError(code::startFailed, "cannot start kestrel-camera: " +
                                                std::string(std::strerror(spawned.error)));
    }
    log_.info("started kestrel-camera %d (%{public}@)", pid, daemon.string());
    return std::nullopt;
}

bool LinuxExtensionService::lingering(const DaemonCopy& copy) const {
    const auto told = told_.find(copy.pid);
    return told != told_.end() && told->second.startTime == copy.startTime &&
           now() - told->second.toldAtNanos >
               static_cast<std::uint64_t>(options_.exitGrace.count());
}

void LinuxExtensionService::submitPropertiesRequest(std::string_view identifier,
                                                    PropertiesDelegate delegate) {
    if (identifier != CameraIPC::extensionIdentifier) {
        main_.post([delegate = std::move(delegate), id = std::string(identifier)] {
            delegate.failed(makeError(code::unknownIdentifier, "no extension " + id));
        });
        return;
    }
    onWork([this, delegate = std::move(delegate)] {
        std::vector<ExtensionProperties> copies;
        for (const auto& copy : findDaemonCopies(options_.runtimeFolder)) {
            copies.push_back(ExtensionProperties{copy.pid, copy.executable.string(),
                                                 copy.executableGone || lingering(copy)});
        }
        main_.post([delegate, copies = std::move(copies)] {
            if (delegate.foundProperties) {
                delegate.foundProperties(copies);
            }
            if (delegate.finished) {
                delegate.finished(activationResult::completed);
            }
        });
    });
}

void LinuxExtensionService::checkAnswers(std::function<void(bool)> done) {
    onWork([this, done = std::move(done)] {
        const bool answers = options_.answers(work_, linkFolder());
        main_.post([done, answers] { done(answers); });
    });
}

void LinuxExtensionService::endLingeringCopies(std::function<void(int)> done) {
    onWork([this, done = std::move(done)]() mutable {
        std::vector<DaemonCopy> told;
        for (const auto& copy : findDaemonCopies(options_.runtimeFolder)) {
            if ((copy.executableGone || lingering(copy)) && terminateCopy(copy)) {
                log_.info("ended lingering kestrel-camera %d (%{public}@)", copy.pid,
                          copy.executable.string());
                told.push_back(copy);
            }
        }
        const int count = static_cast<int>(told.size());
        awaitEnded(std::move(told), now() + static_cast<std::uint64_t>(options_.exitGrace.count()),
                   count, std::move(done));
    });
}

void LinuxExtensionService::awaitEnded(std::vector<DaemonCopy> copies, std::uint64_t deadline,
                                       int told, std::function<void(int)> done) {
    std::erase_if(copies, [](const DaemonCopy& copy) {
        return processStartTime(copy.pid) != copy.startTime;
    });
    if (copies.empty() || now() >= deadline) {
        main_.post([done = std::move(done), told] { done(told); });
        return;
    }
    onWorkAfter(options_.pollInterval, [this, copies = std::move(copies), deadline, told,
                                        done = std::move(done)]() mutable {
        awaitEnded(std::move(copies), deadline, told, std::move(done));
    });
}

}  // namespace kestrel
