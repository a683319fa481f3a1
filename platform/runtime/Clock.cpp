#include "platform/runtime/Clock.h"

#include <time.h>

namespace kestrel {

std::uint64_t SystemHostClock::nowNanos() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

HostClock& systemHostClock() {
    static SystemHostClock clock;
    return clock;
}

WallClock& systemWallClock() {
    static SystemWallClock clock;
    return clock;
}

}  // namespace kestrel
