#pragma once

// What every Executor promises, as a typed test. A driver runs its executor: `run(body)` calls
// `body(finish)` on the executor's thread and returns once `finish()` was called there.
//
//   struct Driver {
//       Executor& executor();
//       void run(const std::function<void(std::function<void()>)>& body);
//   };

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/Executor.h"
#include "platform/runtime/UniqueFd.h"

namespace kestrel::testing {

template <class Driver>
class ExecutorContract : public ::testing::Test {
  protected:
    Driver driver;
    Executor& exec() { return driver.executor(); }
};

TYPED_TEST_SUITE_P(ExecutorContract);

TYPED_TEST_P(ExecutorContract, PostsFromAnotherThreadRunInOrderOnTheExecutorsThread) {
    std::vector<int> order;
    bool onExecutor = true;
    this->driver.run([&](std::function<void()> finish) {
        std::thread([&, finish] {
            onExecutor = onExecutor && !this->exec().isCurrent();
            for (int i = 0; i < 5; ++i) {
                this->exec().post([&, i] {
                    onExecutor = onExecutor && this->exec().isCurrent();
                    order.push_back(i);
                });
            }
            this->exec().post(finish);
        }).join();
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(onExecutor);
}

TYPED_TEST_P(ExecutorContract, DelayedTasksRunByDueTimeAndEqualDelaysInPostOrder) {
    using std::chrono::milliseconds;
    std::string order;
    this->driver.run([&](std::function<void()> finish) {
        this->exec().postAfter(milliseconds(30), [&, finish] {
            order += 'c';
            finish();
        });
        this->exec().postAfter(milliseconds(10), [&] { order += 'a'; });
        this->exec().postAfter(milliseconds(10), [&] { order += 'b'; });
        this->exec().post([&] { order += '0'; });
    });
    EXPECT_EQ(order, "0abc");
}

TYPED_TEST_P(ExecutorContract, ATimerReleasedInItsOwnTaskNeverFiresAgain) {
    using std::chrono::milliseconds;
    int ticks = 0;
    Handle timer;
    this->driver.run([&](std::function<void()> finish) {
        timer = this->exec().startTimer(milliseconds(2), [&, finish] {
            if (++ticks == 3) {
                timer.reset();
                // Due after at least five more ticks of a timer that kept running.
                this->exec().postAfter(milliseconds(10), finish);
            }
        });
    });
    EXPECT_EQ(ticks, 3);
}

TYPED_TEST_P(ExecutorContract, AWatchReportsAReadableDescriptorUntilReleased) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    std::vector<unsigned> seen;
    Handle watch;
    this->driver.run([&](std::function<void()> finish) {
        watch = this->exec().watchFd(
            readEnd.get(), static_cast<unsigned>(FdEvent::readable), [&, finish](unsigned events) {
                seen.push_back(events);
                watch.reset();  // the byte stays unread
                this->exec().postAfter(std::chrono::milliseconds(5), finish);
            });
        ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
    });
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_NE(seen[0] & static_cast<unsigned>(FdEvent::readable), 0U);
}

REGISTER_TYPED_TEST_SUITE_P(ExecutorContract, PostsFromAnotherThreadRunInOrderOnTheExecutorsThread,
                            DelayedTasksRunByDueTimeAndEqualDelaysInPostOrder,
                            ATimerReleasedInItsOwnTaskNeverFiresAgain,
                            AWatchReportsAReadableDescriptorUntilReleased);

}  // namespace kestrel::testing
