#include "app/link/DaemonProcesses.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/runtime/UniqueFd.h"

namespace kestrel {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

// /proc files report no size: read until the end.
std::string readWhole(const std::filesystem::path& path) {
    std::string text;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return text;
    }
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return text;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

struct StatLine {
    std::string comm;
    char state = '?';
    std::uint64_t startTime = 0;
};

// /proc/PID/stat: "pid (comm) state ppid ...", where comm may hold spaces and parentheses.
std::optional<StatLine> readStat(pid_t pid) {
    const std::string text = readWhole("/proc/" + std::to_string(pid) + "/stat");
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    StatLine line;
    line.comm = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 1));
    std::string field;
    // Fields after the name start at 3 (state); the start time is field 22.
    for (int index = 3; index <= 22 && rest >> field; ++index) {
        if (index == 3) {
            line.state = field.empty() ? '?' : field[0];
        } else if (index == 22) {
            std::from_chars(field.data(), field.data() + field.size(), line.startTime);
            return line;
        }
    }
    return std::nullopt;
}

std::optional<std::string> environmentValue(pid_t pid, std::string_view name) {
    const std::string env = readWhole("/proc/" + std::to_string(pid) + "/environ");
    std::size_t start = 0;
    while (start < env.size()) {
        const std::size_t end = std::min(env.find('\0', start), env.size());
        const std::string_view entry(env.data() + start, end - start);
        if (entry.size() > name.size() && entry.substr(0, name.size()) == name &&
            entry[name.size()] == '=') {
            return std::string(entry.substr(name.size() + 1));
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool sameFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec)) {
        return true;
    }
    return a.lexically_normal() == b.lexically_normal();
}

}  // namespace

std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<std::uint64_t> processStartTime(pid_t pid) {
    const auto stat = readStat(pid);
    if (!stat || stat->state == 'Z' || stat->state == 'X') {
        return std::nullopt;
    }
    return stat->startTime;
}

std::vector<DaemonCopy> findDaemonCopies(const std::filesystem::path& runtimeFolder) {
    std::vector<DaemonCopy> copies;
    std::error_code ec;
    const uid_t self = ::getuid();
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error != std::errc() || end != name.data() + name.size() || pid == ::getpid()) {
            continue;
        }
        struct stat owner {};
        if (::stat(entry.path().c_str(), &owner) != 0 || owner.st_uid != self) {
            continue;
        }
        const auto stat = readStat(pid);
        if (!stat || stat->state == 'Z' || stat->state == 'X') {
            continue;
        }
        std::error_code linkError;
        std::string target = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (linkError) {
            continue;  // a kernel thread, or a process that is going away
        }
        bool deleted = false;
        if (target.size() > kDeletedSuffix.size() &&
            target.compare(target.size() - kDeletedSuffix.size(), kDeletedSuffix.size(),
                           kDeletedSuffix) == 0) {
            target.resize(target.size() - kDeletedSuffix.size());
            deleted = true;
        }
        const std::filesystem::path executable(target);
        if (stat->comm != kDaemonProgramName && executable.filename() != kDaemonProgramName) {
            continue;
        }
        const auto runtime = environmentValue(pid, "XDG_RUNTIME_DIR");
        if (!runtime || !sameFolder(*runtime, runtimeFolder)) {
            continue;
        }
        const auto image = fileIdentity(entry.path() / "exe");
        if (!image) {
            continue;
        }
        const auto current = fileIdentity(executable);
        DaemonCopy copy;
        copy.pid = pid;
        copy.startTime = stat->startTime;
        copy.executable = executable;
        copy.executableGone = deleted || !current || *current != *image;
        copy.image = *image;
        copies.push_back(std::move(copy));
    }
    return copies;
}

}  // namespace kestrel
