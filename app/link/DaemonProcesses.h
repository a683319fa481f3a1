#pragma once

// The running copies of the camera daemon, read from /proc: processes of this user named
// kestrel-camera that serve the same runtime folder (a daemon of another login session or of a
// test with its own XDG_RUNTIME_DIR is none of ours).

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrel {

inline constexpr std::string_view kDaemonProgramName = "kestrel-camera";

// A file's identity, so that a replaced file is told from the one a process runs.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path);

struct DaemonCopy {
    pid_t pid = 0;
    // Clock ticks after boot when it started: with the pid, names the process across pid reuse.
    std::uint64_t startTime = 0;
    // The program it runs, without the kernel's " (deleted)" suffix.
    std::filesystem::path executable;
    // The program file was deleted, or another file now stands at its path.
    bool executableGone = false;
    // The running image; compare with fileIdentity() of a path to ask "does it run this file?".
    FileIdentity image;
};

// Running (not zombie) copies of this user whose XDG_RUNTIME_DIR is `runtimeFolder`.
std::vector<DaemonCopy> findDaemonCopies(const std::filesystem::path& runtimeFolder);

// The start time of a live process, nothing when it is gone or a zombie.
std::optional<std::uint64_t> processStartTime(pid_t pid);

}  // namespace kestrel
