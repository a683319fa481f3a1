#pragma once

#include <chrono>
#include <cstdint>

namespace kestrel {

// Monotonic host time in nanoseconds: freeze deadlines, frame host times, stuck windows.
class HostClock {
  public:
    virtual ~HostClock() = default;
    virtual std::uint64_t nowNanos() const = 0;
};

// Calendar time, for time stamps the user sees (last reset, recording names).
class WallClock {
  public:
    using TimePoint = std::chrono::system_clock::time_point;
    virtual ~WallClock() = default;
    virtual TimePoint now() const = 0;
};

class SystemHostClock final : public HostClock {
  public:
    std::uint64_t nowNanos() const override;
};

// Nanoseconds since boot, suspend included: for spans that must count the time the machine slept
// (how long no face was seen).
class SystemBootClock final : public HostClock {
  public:
    std::uint64_t nowNanos() const override;
};

class SystemWallClock final : public WallClock {
  public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// The process-wide real clocks; tests inject their own instead.
HostClock& systemHostClock();
HostClock& systemBootClock();
WallClock& systemWallClock();

}  // namespace kestrel
