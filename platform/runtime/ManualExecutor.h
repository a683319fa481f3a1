#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/TimerQueue.h"

namespace kestrel {

// An executor in virtual time, for tests: nothing runs until the test says so, and time moves
// only when the test advances it. Its clocks read the virtual time, so code that takes the
// executor and its clocks runs exactly as it would in real time, with no sleeping.
class ManualExecutor final : public Executor {
  public:
    ManualExecutor();
    ~ManualExecutor() override;

    void post(Task task) override;
    void postAfter(Nanos delay, Task task) override;
    Handle startTimer(Nanos interval, Task task, Nanos leeway = Nanos{0}) override;
    Handle watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) override;
    bool isCurrent() const override;

    // Runs everything due now, including what those tasks post for now; returns the count run.
    std::size_t runUntilIdle();
    // Moves time forward by `by`, running each task at its own due time, in order.
    std::size_t advance(Nanos by);
    // Polls the watched descriptors without waiting and delivers their events.
    std::size_t pollFds();

    std::uint64_t nowNanos() const { return now_.load(); }
    HostClock& hostClock() { return hostClock_; }
    WallClock& wallClock() { return wallClock_; }

  private:
    class VirtualHostClock final : public HostClock {
      public:
        explicit VirtualHostClock(const ManualExecutor& owner) : owner_(owner) {}
        std::uint64_t nowNanos() const override { return owner_.nowNanos(); }

      private:
        const ManualExecutor& owner_;
    };
    class VirtualWallClock final : public WallClock {
      public:
        explicit VirtualWallClock(const ManualExecutor& owner) : owner_(owner) {}
        TimePoint now() const override;

      private:
        const ManualExecutor& owner_;
    };
    struct Watch {
        int fd;
        unsigned events;
        std::shared_ptr<std::function<void(unsigned)>> onEvent;
    };

    std::size_t runDueAt(std::uint64_t limit);

    // Virtual time starts well away from zero so that "0 means never" bugs show up.
    std::atomic<std::uint64_t> now_{1'000'000'000'000ULL};
    TimerQueue queue_;
    std::map<std::uint64_t, Watch> watches_;
    std::uint64_t nextWatchId_ = 0;
    std::thread::id owner_ = std::this_thread::get_id();
    VirtualHostClock hostClock_{*this};
    VirtualWallClock wallClock_{*this};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
