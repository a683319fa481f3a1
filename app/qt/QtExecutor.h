#pragma once

#include <QObject>

#include <memory>

#include "platform/runtime/Executor.h"

namespace kestrel {

// The application's main thread as an Executor, over Qt's event loop. Construct it on the thread
// that runs the QCoreApplication; post and postAfter may be called from any thread.
class QtExecutor final : public Executor {
  public:
    QtExecutor();
    ~QtExecutor() override;

    void post(Task task) override;
    void postAfter(Nanos delay, Task task) override;
    Handle startTimer(Nanos interval, Task task, Nanos leeway = Nanos{0}) override;
    Handle watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) override;
    bool isCurrent() const override;

  private:
    std::unique_ptr<QObject> context_;  // owns timers and notifiers; tasks die with it
};

}  // namespace kestrel
