#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/ManualExecutor.h"
#include "platform/runtime/PollExecutor.h"
#include "platform/runtime/UniqueFd.h"
#include "platform/runtime/WorkerThread.h"
#include "tests/support/ExecutorContract.h"

namespace kestrel {
namespace {

using std::chrono::milliseconds;
using Body = std::function<void(std::function<void()>)>;

// Virtual time: runs what is due, delivers ready descriptors, then moves the clock by 1 ms.
struct ManualDriver {
    ManualExecutor manual;
    Executor& executor() { return manual; }
    void run(const Body& body) {
        bool finished = false;
        manual.post([&] { body([&finished] { finished = true; }); });
        for (int step = 0; !finished && step < 60'000; ++step) {
            manual.runUntilIdle();
            manual.pollFds();
            if (!finished) {
                manual.advance(milliseconds(1));
            }
        }
        ASSERT_TRUE(finished);
    }
};

struct PollDriver {
    PollExecutor poll;
    Executor& executor() { return poll; }
    void run(const Body& body) {
        poll.post([&] { body([this] { poll.stop(); }); });
        poll.run();
    }
};

struct WorkerDriver {
    WorkerThread worker{"dev.corvid.kestrel.contract"};
    Executor& executor() { return worker; }
    void run(const Body& body) {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        worker.post([&body, done] { body([done] { done->set_value(); }); });
        finished.wait();
    }
};

using Drivers = ::testing::Types<ManualDriver, PollDriver, WorkerDriver>;

TEST(ManualExecutor, RunsTasksAtTheirDueTimesInOrder) {
    ManualExecutor exec;
    const std::uint64_t start = exec.nowNanos();
    std::vector<std::pair<std::string, std::uint64_t>> ran;
    auto note = [&](std::string name) {
        return [&ran, &exec, name] { ran.emplace_back(name, exec.nowNanos()); };
    };
    exec.postAfter(milliseconds(300), note("c"));
    exec.postAfter(milliseconds(100), note("a"));
    exec.post(note("now"));
    exec.postAfter(milliseconds(100), note("b"));  // same due time: after "a"

    EXPECT_EQ(exec.advance(milliseconds(99)), 1U);
    exec.advance(milliseconds(1));
    using Ran = std::vector<std::pair<std::string, std::uint64_t>>;
    EXPECT_EQ(ran, (Ran{{"now", start}, {"a", start + 100'000'000}, {"b", start + 100'000'000}}));

    exec.advance(milliseconds(500));
    ASSERT_EQ(ran.size(), 4U);
    // ran at its own time, not the end of advance
    EXPECT_EQ(ran[3], (Ran::value_type{"c", start + 300'000'000}));
    EXPECT_EQ(exec.nowNanos(), start + 600'000'000);
}

TEST(ManualExecutor, TasksPostedByTasksRunInTheSameAdvance) {
    ManualExecutor exec;
    int depth = 0;
    exec.post([&] {
        ++depth;
        exec.post([&] { ++depth; });
        exec.postAfter(milliseconds(10), [&] { ++depth; });
    });
    exec.runUntilIdle();
    EXPECT_EQ(depth, 2);
    exec.advance(milliseconds(10));
    EXPECT_EQ(depth, 3);
}

TEST(PollExecutor, AStopBeforeRunEndsThatRunAndOnlyThatOne) {
    PollExecutor exec;
    int ran = 0;
    exec.post([&] { ++ran; });
    exec.stop();  // say, SIGTERM while the daemon is still starting
    exec.run();
    EXPECT_EQ(ran, 0) << "the loop ended before its first task";
    exec.post([&] {
        ++ran;
        exec.stop();
    });
    exec.run();
    EXPECT_EQ(ran, 2) << "the next run starts afresh and runs both tasks";
}

TEST(PollExecutor, DelayedTaskNeverRunsEarly) {
    PollExecutor exec;
    const auto begin = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration waited{};
    exec.postAfter(milliseconds(20), [&] {
        waited = std::chrono::steady_clock::now() - begin;
        exec.stop();
    });
    exec.run();
    EXPECT_GE(waited, milliseconds(20));
}

TEST(WorkerThread, RunsTasksOnItsOwnNamedThread) {
    WorkerThread worker("dev.corvid.kestrel.webcam");
    std::string name;
    std::thread::id workerId;
    worker.runSync([&] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        workerId = std::this_thread::get_id();
        EXPECT_TRUE(worker.isCurrent());
    });
    EXPECT_FALSE(worker.isCurrent());
    EXPECT_NE(workerId, std::this_thread::get_id());
    EXPECT_EQ(name, "kestrel.webcam");  // what fits the kernel's 15 characters
    EXPECT_LE(threadNameForLabel("some.very.long.label.for.a.queue").size(), 15U);
}

TEST(WorkerThread, DestructionDropsPendingWorkWithoutRunningIt) {
    std::atomic<bool> ranLate{false};
    std::atomic<int> ticks{0};
    {
        WorkerThread worker("dev.corvid.kestrel.consume");
        Handle timer;
        worker.runSync([&] { timer = worker.startTimer(milliseconds(1), [&] { ++ticks; }); });
        worker.postAfter(std::chrono::hours(1), [&] { ranLate = true; });
        worker.runSync([&] { timer.reset(); });
        const int afterReset = ticks.load();
        worker.runSync([] {});
        EXPECT_EQ(ticks.load(), afterReset);
    }
    EXPECT_FALSE(ranLate.load());
}

TEST(WorkerThreadDeathTest, DestroyedFromItsOwnTaskAbortsNamingTheQueue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // The task holds the last reference to the queue's owner, as a capture callback
            // that locked its owner would.
            auto owner = std::make_shared<std::unique_ptr<WorkerThread>>(
                std::make_unique<WorkerThread>("dev.corvid.kestrel.webcam"));
            WorkerThread& worker = **owner;
            worker.runSync([owner = std::move(owner)]() mutable { owner->reset(); });
        },
        "dev.corvid.kestrel.webcam: destroyed on its own thread");
}

}  // namespace
}  // namespace kestrel

namespace kestrel::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Runtime, ExecutorContract, Drivers);
}  // namespace kestrel::testing
