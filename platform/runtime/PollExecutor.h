#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/TimerQueue.h"
#include "platform/runtime/UniqueFd.h"

namespace kestrel {

// An executor over poll(2): the daemon's main loop and every worker thread's loop. `run()` runs on
// the calling thread until `stop()`; `post` and `postAfter` wake it from any thread.
class PollExecutor final : public Executor {
  public:
    explicit PollExecutor(const HostClock& clock = systemHostClock());
    ~PollExecutor() override;

    void post(Task task) override;
    void postAfter(Nanos delay, Task task) override;
    Handle startTimer(Nanos interval, Task task, Nanos leeway = Nanos{0}) override;
    Handle watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) override;
    bool isCurrent() const override;

    void run();
    // Makes run() return after the task that is running now, or at once if it has not begun;
    // callable from any thread. Each stop ends one run.
    void stop();

  private:
    struct Watch {
        int fd;
        unsigned events;
        std::shared_ptr<std::function<void(unsigned)>> onEvent;
    };

    void wake();
    void drainWake();
    int pollTimeoutMillis() const;

    const HostClock& clock_;
    TimerQueue queue_;
    UniqueFd wakeFd_;
    std::mutex watchMutex_;
    std::map<std::uint64_t, Watch> watches_;
    std::uint64_t nextWatchId_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::thread::id> runner_{};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
