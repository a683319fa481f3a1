#pragma once

// Child processes for tests: always ended (by their own pid) and reaped, and bounded waits.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/Spawn.h"
#include "platform/runtime/UniqueFd.h"
#include "tests/support/TempFolder.h"

extern char** environ;

namespace kestrel::testing {

// Where a child's output goes: files (appended), a descriptor for stdout, or /dev/null.
struct Redirect {
    std::string stdoutPath;
    std::string stderrPath;
    int stdoutFd = -1;
    bool quiet = false;
};

// A child process started with the program's own spawnProcess, with this process's environment
// and `extraEnv` over it; destruction sends SIGTERM, waits, then SIGKILL, and reaps.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                 bool quiet = false)
        : ChildProcess(argv, extraEnv, Redirect{{}, {}, -1, quiet}) {}
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                 const Redirect& redirect) {
        SpawnRequest request;
        request.argv = argv;
        request.environment.emplace();
        for (char** e = environ; *e != nullptr; ++e) {
            request.environment->emplace_back(*e);
        }
        for (const auto& e : extraEnv) {
            const auto key = e.substr(0, e.find('=') + 1);
            std::erase_if(*request.environment,
                          [&key](const std::string& v) { return v.rfind(key, 0) == 0; });
            request.environment->push_back(e);
        }
        const auto append = [](const std::string& path) {
            return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        };
        UniqueFd out = redirect.stdoutPath.empty() ? UniqueFd() : append(redirect.stdoutPath);
        UniqueFd err = redirect.stderrPath.empty() ? UniqueFd() : append(redirect.stderrPath);
        const int quiet = redirect.quiet ? SpawnRequest::kDiscard : SpawnRequest::kInherit;
        request.standardOutput =
            redirect.stdoutFd >= 0 ? redirect.stdoutFd : (out ? out.get() : quiet);
        request.standardError = err ? err.get() : quiet;
        pid_ = spawnProcess(request).pid;
    }
    ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        if (this != &other) {
            stop();
            pid_ = std::exchange(other.pid_, -1);
        }
        return *this;
    }
    ~ChildProcess() { stop(); }

    pid_t pid() const { return pid_; }
    // Path of an executable found in PATH, or empty.
    static std::string which(const std::string& name) {
        const char* path = std::getenv("PATH");
        std::string list = path != nullptr ? path : "/usr/bin:/bin";
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t end = std::min(list.find(':', start), list.size());
            const std::filesystem::path candidate =
                std::filesystem::path(list.substr(start, end - start)) / name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate.string();
            }
            start = end + 1;
        }
        return {};
    }
    bool running() {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exitStatus_ = status;
            pid_ = -1;
            return false;
        }
        return true;
    }
    // Ends the child with SIGTERM, and SIGKILL after `grace`; returns its wait status (-1 when it
    // had to be killed or never ran). The grace is long: a loaded machine may take seconds.
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(10000)) {
        if (pid_ <= 0) {
            return exitStatus_;
        }
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitStatus_ = status;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exitStatus_ = -1;
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

// A child that says it is ready with a first line on its standard output (an X server's display
// number, a bus address); `line()` stays empty when no whole line came within `timeout`.
class ReadyChild {
  public:
    explicit ReadyChild(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extraEnv = {},
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        UniqueFd readEnd(fds[0]);
        {
            UniqueFd writeEnd(fds[1]);
            child_ = ChildProcess(argv, extraEnv, Redirect{{}, {}, writeEnd.get(), true});
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string text;
        pollfd poller{readEnd.get(), POLLIN, 0};
        while (child_.pid() > 0 && text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            char buffer[256];
            if (left.count() <= 0 || ::poll(&poller, 1, static_cast<int>(left.count())) != 1) {
                break;
            }
            const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        if (text.find('\n') != std::string::npos) {
            line_ = text.substr(0, text.find('\n'));
        }
    }
    const std::string& line() const { return line_; }
    ChildProcess& process() { return child_; }

  private:
    ChildProcess child_;
    std::string line_;
};

// Calls `step` until `done` holds or `timeout` passes; true when it held.
inline bool waitFor(
    const std::function<bool()>& done, std::chrono::milliseconds timeout,
    const std::function<void()>& step = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        step();
    }
    return true;
}

// Runs a program to its end, for at most `timeout`; its exit status, or -1 when it did not exit
// by itself (it is killed then) or did not run.
inline int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                    const Redirect& redirect,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) {
    ChildProcess child(argv, extraEnv, redirect);
    if (!waitFor([&] { return !child.running(); }, timeout)) {
        child.stop();
        return -1;
    }
    const int status = child.stop();
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kestrel::testing
