#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// How to start a program with posix_spawn. Standard input is always /dev/null.
struct SpawnRequest {
    // Where an output goes: the parent's own, /dev/null, or a descriptor of the caller.
    static constexpr int kInherit = -1;
    static constexpr int kDiscard = -2;

    std::vector<std::string> argv;
    // "NAME=value" entries; none keeps this process's environment.
    std::optional<std::vector<std::string>> environment;
    bool searchPath = false;  // argv[0] is looked up on PATH
    int standardOutput = kInherit;
    int standardError = kInherit;
    // A session of its own (no terminal's hang-up or job control reaches it), an empty signal
    // mask and default handling of the signals this process may ignore (ignored signals survive
    // exec), so the program outlives and does not inherit this process's state.
    bool detach = false;
    std::optional<std::filesystem::path> workingFolder;
};

struct SpawnResult {
    pid_t pid = -1;  // the child, when it started
    int error = 0;   // the error number posix_spawn gave, when it did not
};

SpawnResult spawnProcess(const SpawnRequest& request);

}  // namespace kestrel
