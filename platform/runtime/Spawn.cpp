#include "platform/runtime/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <cerrno>

extern char** environ;

namespace kestrel {

namespace {

class SpawnAttributes {
  public:
    SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
};

class SpawnFileActions {
  public:
    SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
};

// The null-terminated list posix_spawn takes; valid while `words` lives unchanged.
std::vector<char*> spawnList(const std::vector<std::string>& words) {
    std::vector<char*> list;
    list.reserve(words.size() + 1);
    for (const auto& word : words) {
        list.push_back(const_cast<char*>(word.c_str()));
    }
    list.push_back(nullptr);
    return list;
}

void redirect(posix_spawn_file_actions_t* actions, int target, int fd) {
    if (fd == SpawnRequest::kDiscard) {
        ::posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_WRONLY, 0);
    } else if (fd >= 0) {
        ::posix_spawn_file_actions_adddup2(actions, fd, target);
    }
}

}  // namespace

SpawnResult spawnProcess(const SpawnRequest& request) {
    if (request.argv.empty() || request.argv.front().empty()) {
        return SpawnResult{-1, ENOENT};
    }
    SpawnFileActions actions;
    ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    redirect(actions.get(), 1, request.standardOutput);
    redirect(actions.get(), 2, request.standardError);
    if (request.workingFolder) {
        ::posix_spawn_file_actions_addchdir_np(actions.get(), request.workingFolder->c_str());
    }
    SpawnAttributes attributes;
    if (request.detach) {
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
            sigaddset(&defaults, signal);
        }
        ::posix_spawnattr_setsigmask(attributes.get(), &none);
        ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
        ::posix_spawnattr_setflags(attributes.get(),
                                   static_cast<short>(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                      POSIX_SPAWN_SETSIGDEF));
    }
    std::vector<char*> args = spawnList(request.argv);
    std::vector<char*> envp;
    if (request.environment) {
        envp = spawnList(*request.environment);
    }
    char* const* env = request.environment ? envp.data() : environ;
    pid_t pid = -1;
    const int error =
        request.searchPath
            ? ::posix_spawnp(&pid, args.front(), actions.get(), attributes.get(), args.data(), env)
            : ::posix_spawn(&pid, args.front(), actions.get(), attributes.get(), args.data(), env);
    if (error != 0) {
        return SpawnResult{-1, error};
    }
    return SpawnResult{pid, 0};
}

}  // namespace kestrel
