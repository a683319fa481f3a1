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

namespace kestrel {
namespace {

using std::chrono::milliseconds;

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
    ASSERT_EQ(ran.size(), 3U);
    EXPECT_EQ(ran[1].first, "a");
    EXPECT_EQ(ran[2].first, "b");
    EXPECT_EQ(ran[1].second, start + 100'000'000);

    exec.advance(milliseconds(500));
    ASSERT_EQ(ran.size(), 4U);
    EXPECT_EQ(ran[3].first, "c");
    EXPECT_EQ(ran[3].second, start + 300'000'000);  // ran at its own time, not the end of advance
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

TEST(ManualExecutor, RepeatingTimerKeepsCadenceUntilReleased) {
    ManualExecutor exec;
    std::vector<std::uint64_t> fired;
    Handle timer = exec.startTimer(milliseconds(100), [&] { fired.push_back(exec.nowNanos()); });
    const std::uint64_t start = exec.nowNanos();
    exec.advance(milliseconds(350));
    ASSERT_EQ(fired.size(), 3U);
    EXPECT_EQ(fired[0], start + 100'000'000);
    EXPECT_EQ(fired[2], start + 300'000'000);
    timer.reset();
    exec.advance(milliseconds(1000));
    EXPECT_EQ(fired.size(), 3U);
}

TEST(ManualExecutor, TimerReleasedFromItsOwnTaskStops) {
    ManualExecutor exec;
    int count = 0;
    Handle timer;
    timer = exec.startTimer(milliseconds(10), [&] {
        if (++count == 2) {
            timer.reset();
        }
    });
    exec.advance(milliseconds(100));
    EXPECT_EQ(count, 2);
}

TEST(ManualExecutor, PostsFromOtherThreadsAreQueued) {
    ManualExecutor exec;
    std::atomic<int> ran{0};
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            exec.post([&] { ++ran; });
        }
    });
    poster.join();
    exec.runUntilIdle();
    EXPECT_EQ(ran.load(), 100);
}

TEST(ManualExecutor, WatchDeliversReadableDescriptors) {
    ManualExecutor exec;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    unsigned seen = 0;
    Handle watch = exec.watchFd(readEnd.get(), static_cast<unsigned>(FdEvent::readable),
                                [&](unsigned events) { seen |= events; });
    EXPECT_EQ(exec.pollFds(), 0U);
    ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
    EXPECT_EQ(exec.pollFds(), 1U);
    EXPECT_NE(seen & static_cast<unsigned>(FdEvent::readable), 0U);
    watch.reset();
    EXPECT_EQ(exec.pollFds(), 0U);
}

TEST(PollExecutor, RunsPostsTimersAndWatchesUntilStopped) {
    PollExecutor exec;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);

    std::vector<std::string> events;
    int ticks = 0;
    Handle timer;
    Handle watch =
        exec.watchFd(readEnd.get(), static_cast<unsigned>(FdEvent::readable), [&](unsigned) {
            char c = 0;
            ASSERT_EQ(::read(readEnd.get(), &c, 1), 1);
            events.emplace_back(1, c);
            exec.stop();
        });
    exec.post([&] {
        events.emplace_back("posted");
        timer = exec.startTimer(milliseconds(2), [&] {
            if (++ticks == 3) {
                timer.reset();
                ASSERT_EQ(::write(writeEnd.get(), "w", 1), 1);
            }
        });
    });
    exec.postAfter(milliseconds(1), [&] { events.emplace_back("delayed"); });
    exec.run();
    EXPECT_EQ(events, (std::vector<std::string>{"posted", "delayed", "w"}));
    EXPECT_EQ(ticks, 3);
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

TEST(WorkerThread, RunsTasksInOrderOnItsOwnNamedThread) {
    WorkerThread worker("dev.corvid.kestrel.webcam");
    std::vector<int> order;
    std::string name;
    std::thread::id workerId;
    for (int i = 0; i < 50; ++i) {
        worker.post([&order, i] { order.push_back(i); });
    }
    worker.runSync([&] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        workerId = std::this_thread::get_id();
        EXPECT_TRUE(worker.isCurrent());
    });
    EXPECT_FALSE(worker.isCurrent());
    EXPECT_NE(workerId, std::this_thread::get_id());
    EXPECT_EQ(name, "kestrel.webcam");
    ASSERT_EQ(order.size(), 50U);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
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

TEST(WorkerThread, ThreadNamesFitTheKernelLimit) {
    EXPECT_EQ(threadNameForLabel("dev.corvid.kestrel.vision"), "kestrel.vision");
    EXPECT_EQ(threadNameForLabel("dev.corvid.kestrel.consume"), "kestrel.consume");
    EXPECT_LE(threadNameForLabel("some.very.long.label.for.a.queue").size(), 15U);
}

}  // namespace
}  // namespace kestrel
