#include "platform/runtime/ChildReaper.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace kestrel {

// The watches and the timer are handles this object owns, so their callbacks never outlive it.
void ChildReaper::adopt(pid_t pid) {
    Child child;
    child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (child.pidfd) {
        child.watch = executor_.watchFd(child.pidfd.get(), static_cast<unsigned>(FdEvent::readable),
                                        [this, pid](unsigned) { reap(pid); });
    } else if (!pollTimer_) {
        pollTimer_ = executor_.startTimer(std::chrono::seconds(1), [this] { reapUnwatched(); });
    }
    children_.insert_or_assign(pid, std::move(child));
}

void ChildReaper::reap(pid_t pid) {
    int status = 0;
    const pid_t result = ::waitpid(pid, &status, WNOHANG);
    if (result == pid || (result < 0 && errno == ECHILD)) {
        children_.erase(pid);
    }
}

void ChildReaper::reapUnwatched() {
    std::vector<pid_t> unwatched;
    for (const auto& [pid, child] : children_) {
        if (!child.pidfd) {
            unwatched.push_back(pid);
        }
    }
    for (const pid_t pid : unwatched) {
        reap(pid);
    }
    if (unwatched.empty()) {
        pollTimer_.reset();
    }
}

}  // namespace kestrel
