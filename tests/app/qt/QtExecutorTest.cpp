#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <thread>
#include <vector>

#include "app/qt/QtExecutor.h"
#include "platform/runtime/UniqueFd.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

class QtExecutorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "qt_executor_test";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }
    // Runs the event loop until `done` is set, with a generous safety limit.
    void spinUntil(const bool& done) {
        QEventLoop loop;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(5000);
        while (!done && guard.isActive()) {
            loop.processEvents(QEventLoop::WaitForMoreEvents);
        }
        ASSERT_TRUE(done) << "timed out";
    }
    QtExecutor exec;
};

TEST_F(QtExecutorTest, PostsFromAnyThreadRunOnTheMainThreadInOrder) {
    std::vector<int> order;
    bool done = false;
    const auto mainThread = std::this_thread::get_id();
    std::thread other([&] {
        EXPECT_FALSE(exec.isCurrent());
        for (int i = 0; i < 3; ++i) {
            exec.post([&, i] {
                EXPECT_EQ(std::this_thread::get_id(), mainThread);
                order.push_back(i);
            });
        }
        exec.postAfter(1ms, [&] { done = true; });
    });
    other.join();
    EXPECT_TRUE(exec.isCurrent());
    spinUntil(done);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST_F(QtExecutorTest, RepeatingTimerStopsWhenItsHandleGoes) {
    int ticks = 0;
    bool done = false;
    Handle timer;
    timer = exec.startTimer(1ms, [&] {
        if (++ticks == 3) {
            timer.reset();
            exec.postAfter(20ms, [&] { done = true; });
        }
    });
    spinUntil(done);
    EXPECT_EQ(ticks, 3);
}

TEST_F(QtExecutorTest, WatchReportsAReadableDescriptor) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    bool done = false;
    Handle watch =
        exec.watchFd(readEnd.get(), static_cast<unsigned>(FdEvent::readable), [&](unsigned events) {
            EXPECT_NE(events & static_cast<unsigned>(FdEvent::readable), 0U);
            char c = 0;
            EXPECT_EQ(::read(readEnd.get(), &c, 1), 1);
            done = true;
        });
    ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
    spinUntil(done);
}

}  // namespace
}  // namespace kestrel
