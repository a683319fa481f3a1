#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/runtime/Handle.h"

namespace kestrel {

using Task = std::function<void()>;
using Nanos = std::chrono::nanoseconds;

enum class FdEvent : unsigned { readable = 1U << 0U, writable = 1U << 1U, hangup = 1U << 2U };
inline unsigned operator|(FdEvent a, FdEvent b) {
    return static_cast<unsigned>(a) | static_cast<unsigned>(b);
}

// Where tasks, delays, timers and descriptor watches run. One executor is one thread: tasks run
// one at a time, in the order they became due. `post` and `postAfter` may be called from any
// thread; the handles returned by `startTimer` and `watchFd` belong to the executor's own thread.
class Executor {
  public:
    virtual ~Executor() = default;

    // Runs `task` on the executor's thread as soon as possible, after tasks posted before it.
    virtual void post(Task task) = 0;

    // Runs `task` once, `delay` from now. Fire and forget: tasks that may outlive their owner
    // capture it weakly.
    virtual void postAfter(Nanos delay, Task task) = 0;

    // Runs `task` every `interval` (first after one interval) until the handle is released.
    // `leeway` lets the implementation coalesce wake-ups; it never fires early.
    virtual Handle startTimer(Nanos interval, Task task, Nanos leeway = Nanos{0}) = 0;

    // Calls `onEvent` with the FdEvent bits seen whenever `fd` is ready for one of `events`, until
    // the handle is released. The executor does not own `fd`.
    virtual Handle watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) = 0;

    // True when the caller runs on this executor's thread.
    virtual bool isCurrent() const = 0;
};

}  // namespace kestrel
