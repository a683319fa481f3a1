#include "app/qt/QtExecutor.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

namespace kestrel {

namespace {

int toMillis(Nanos delay) {
    // Round up: a timer must never fire before its time.
    return static_cast<int>((delay.count() + 999'999) / 1'000'000);
}

}  // namespace

QtExecutor::QtExecutor() : context_(std::make_unique<QObject>()) {}

QtExecutor::~QtExecutor() = default;

void QtExecutor::post(Task task) {
    QMetaObject::invokeMethod(context_.get(), std::move(task), Qt::QueuedConnection);
}

void QtExecutor::postAfter(Nanos delay, Task task) {
    if (!isCurrent()) {
        // QTimer needs the receiving thread; hop there first.
        post(
            [this, delay, task = std::move(task)]() mutable { postAfter(delay, std::move(task)); });
        return;
    }
    QTimer::singleShot(toMillis(delay), Qt::PreciseTimer, context_.get(), std::move(task));
}

Handle QtExecutor::startTimer(Nanos interval, Task task, Nanos leeway) {
    auto timer = std::make_unique<QTimer>(context_.get());
    timer->setTimerType(leeway.count() > 0 ? Qt::CoarseTimer : Qt::PreciseTimer);
    timer->setInterval(toMillis(interval));
    QObject::connect(timer.get(), &QTimer::timeout, context_.get(), std::move(task));
    timer->start();
    QTimer* raw = timer.release();  // parented to context_, which deletes it at the latest
    QPointer<QTimer> guard(raw);
    return Handle([guard] {
        if (guard) {
            guard->stop();
            guard->deleteLater();
        }
    });
}

Handle QtExecutor::watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) {
    auto callback = std::make_shared<std::function<void(unsigned)>>(std::move(onEvent));
    std::vector<QPointer<QSocketNotifier>> notifiers;
    auto add = [&](QSocketNotifier::Type type, FdEvent event) {
        auto notifier = std::make_unique<QSocketNotifier>(fd, type, context_.get());
        QObject::connect(notifier.get(), &QSocketNotifier::activated, context_.get(),
                         [callback, event] { (*callback)(static_cast<unsigned>(event)); });
        notifiers.emplace_back(notifier.release());  // parented to context_
    };
    if ((events & static_cast<unsigned>(FdEvent::readable)) != 0U) {
        add(QSocketNotifier::Read, FdEvent::readable);
    }
    if ((events & static_cast<unsigned>(FdEvent::writable)) != 0U) {
        add(QSocketNotifier::Write, FdEvent::writable);
    }
    return Handle([notifiers] {
        for (const auto& notifier : notifiers) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
    });
}

bool QtExecutor::isCurrent() const {
    return QThread::currentThread() == context_->thread();
}

}  // namespace kestrel
