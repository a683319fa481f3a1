#include "platform/runtime/Clock.h"

#include <time.h>

namespace kestrel {

namespace {

std::uint64_t readNanos(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // namespace

std::uint64_t SystemHostClock::nowNanos() const {
    return readNanos(CLOCK_MONOTONIC);
}

std::uint64_t SystemBootClock::nowNanos() const {
    return readNanos(CLOCK_BOOTTIME);
}

HostClock& systemHostClock() {
    static SystemHostClock clock;
    return clock;
}

HostClock& systemBootClock() {
    static SystemBootClock clock;
    return clock;
}

WallClock& systemWallClock() {
    static SystemWallClock clock;
    return clock;
}

}  // namespace kestrel
