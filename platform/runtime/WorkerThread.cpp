#include "platform/runtime/WorkerThread.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <future>

namespace kestrel {

std::string threadNameForLabel(const std::string& label) {
    constexpr std::size_t kMaxThreadName = 15;
    std::string name = label;
    const std::string prefix = "dev.corvid.";
    if (name.rfind(prefix, 0) == 0) {
        name = name.substr(prefix.size());
    }
    if (name.size() > kMaxThreadName) {
        name = name.substr(name.size() - kMaxThreadName);
    }
    return name;
}

WorkerThread::WorkerThread(std::string label, const HostClock& clock)
    : label_(std::move(label)), executor_(clock) {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        ::pthread_setname_np(::pthread_self(), threadNameForLabel(label_).c_str());
        executor_.post([&started] { started.set_value(); });
        executor_.run();
    });
    ready.wait();
}

WorkerThread::~WorkerThread() {
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A task held the last reference to this queue's owner. Joining would throw a bare
        // "Resource deadlock avoided"; say what went wrong instead.
        std::fprintf(stderr, "%s: destroyed on its own thread\n", label_.c_str());
        std::abort();
    }
    executor_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void WorkerThread::runSync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    executor_.post([&task, &done] {
        task();
        done.set_value();
    });
    finished.wait();
}

}  // namespace kestrel
