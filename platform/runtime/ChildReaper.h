#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>

#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"
#include "platform/runtime/UniqueFd.h"

namespace kestrel {

// Collects child processes once they exit, so none is left a zombie: through a pidfd watched on
// the executor where the kernel has pidfd_open, by polling once a second otherwise (and only while
// such children are left). Lives on the executor's thread, and must be destroyed there.
class ChildReaper {
  public:
    explicit ChildReaper(Executor& executor) : executor_(executor) {}
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    void adopt(pid_t pid);
    // Children adopted and not yet collected.
    std::size_t size() const { return children_.size(); }

  private:
    struct Child {
        UniqueFd pidfd;  // invalid where the kernel has no pidfd_open
        Handle watch;
    };
    void reap(pid_t pid);
    void reapUnwatched();

    Executor& executor_;
    std::map<pid_t, Child> children_;
    Handle pollTimer_;
};

}  // namespace kestrel
