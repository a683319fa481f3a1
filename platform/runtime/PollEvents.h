#pragma once

#include <poll.h>

#include "platform/runtime/Executor.h"

namespace kestrel::detail {

inline short toPollEvents(unsigned events) {
    short wanted = 0;
    if ((events & static_cast<unsigned>(FdEvent::readable)) != 0U) {
        wanted = static_cast<short>(wanted | POLLIN);
    }
    if ((events & static_cast<unsigned>(FdEvent::writable)) != 0U) {
        wanted = static_cast<short>(wanted | POLLOUT);
    }
    return wanted;
}

inline unsigned fromPollEvents(short revents) {
    unsigned seen = 0;
    if ((revents & POLLIN) != 0) {
        seen |= static_cast<unsigned>(FdEvent::readable);
    }
    if ((revents & POLLOUT) != 0) {
        seen |= static_cast<unsigned>(FdEvent::writable);
    }
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        seen |= static_cast<unsigned>(FdEvent::hangup);
    }
    return seen;
}

}  // namespace kestrel::detail
