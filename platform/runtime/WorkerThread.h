#pragma once

#include <string>
#include <thread>

#include "platform/runtime/PollExecutor.h"

namespace kestrel {

// A serial queue: one thread of its own running an executor, named after the queue
// ("dev.corvid.kestrel.webcam", "dev.corvid.kestrel.vision", "dev.corvid.kestrel.consume").
// Destruction stops the loop after the running task and joins the thread; destroying it from one
// of its own tasks is a fault and aborts with the label.
class WorkerThread final : public Executor {
  public:
    explicit WorkerThread(std::string label, const HostClock& clock = systemHostClock());
    ~WorkerThread() override;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    const std::string& label() const { return label_; }

    void post(Task task) override { executor_.post(std::move(task)); }
    void postAfter(Nanos delay, Task task) override { executor_.postAfter(delay, std::move(task)); }
    Handle startTimer(Nanos interval, Task task, Nanos leeway = Nanos{0}) override {
        return executor_.startTimer(interval, std::move(task), leeway);
    }
    Handle watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) override {
        return executor_.watchFd(fd, events, std::move(onEvent));
    }
    bool isCurrent() const override { return executor_.isCurrent(); }

    // Runs `task` on the worker and waits for it; for set-up and tear-down, never on a frame path.
    void runSync(Task task);

  private:
    std::string label_;
    PollExecutor executor_;
    std::thread thread_;
};

// Thread names are limited to 15 characters: the label's tail after "dev.corvid." is kept.
std::string threadNameForLabel(const std::string& label);

}  // namespace kestrel
