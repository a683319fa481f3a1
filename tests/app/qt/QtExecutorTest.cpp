#include "app/qt/QtExecutor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>

#include "tests/support/CoreApplication.h"
#include "tests/support/ExecutorContract.h"

namespace kestrel {
namespace {

// Runs the Qt event loop of this thread until the body finishes.
class QtDriver {
  public:
    Executor& executor() { return qt_; }
    void run(const std::function<void(std::function<void()>)>& body) {
        bool finished = false;
        QEventLoop loop;
        qt_.post([&] {
            body([&] {
                finished = true;
                loop.quit();
            });
        });
        if (!finished) {
            loop.exec();
        }
    }

  private:
    bool ready_ = testing::coreApplication();
    QtExecutor qt_;
};

}  // namespace
}  // namespace kestrel

namespace kestrel::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, ExecutorContract, ::testing::Types<QtDriver>);
}  // namespace kestrel::testing
