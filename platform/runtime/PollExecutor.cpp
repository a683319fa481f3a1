#include "platform/runtime/PollExecutor.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/runtime/PollEvents.h"

namespace kestrel {

PollExecutor::PollExecutor(const HostClock& clock)
    : clock_(clock), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wakeFd_) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
}

PollExecutor::~PollExecutor() = default;

void PollExecutor::wake() {
    const std::uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the loop is woken either way.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_.get(), &one, sizeof one);
}

void PollExecutor::drainWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_.get(), &count, sizeof count);
}

void PollExecutor::post(Task task) {
    queue_.addDetached(clock_.nowNanos(), std::move(task));
    wake();
}

void PollExecutor::postAfter(Nanos delay, Task task) {
    queue_.addDetached(clock_.nowNanos() + static_cast<std::uint64_t>(delay.count()),
                       std::move(task));
    wake();
}

Handle PollExecutor::startTimer(Nanos interval, Task task, Nanos /*leeway*/) {
    const auto step = static_cast<std::uint64_t>(interval.count());
    Handle handle = queue_.add(clock_.nowNanos() + step, std::move(task), step);
    wake();
    return handle;
}

Handle PollExecutor::watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(watchMutex_);
        id = nextWatchId_++;
        watches_.emplace(
            id,
            Watch{fd, events, std::make_shared<std::function<void(unsigned)>>(std::move(onEvent))});
    }
    wake();
    std::weak_ptr<bool> alive = alive_;
    return Handle([this, alive, id] {
        if (alive.lock()) {
            std::lock_guard lock(watchMutex_);
            watches_.erase(id);
        }
    });
}

bool PollExecutor::isCurrent() const {
    return runner_.load() == std::this_thread::get_id();
}

void PollExecutor::stop() {
    stopping_.store(true);
    wake();
}

int PollExecutor::pollTimeoutMillis() const {
    const auto next = queue_.nextDue();
    if (!next) {
        return -1;
    }
    const std::uint64_t now = clock_.nowNanos();
    if (*next <= now) {
        return 0;
    }
    // Round up so that the loop never wakes just before a deadline and spins.
    const std::uint64_t waitNanos = *next - now;
    return static_cast<int>((waitNanos + 999'999) / 1'000'000);
}

void PollExecutor::run() {
    runner_.store(std::this_thread::get_id());
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    while (!stopping_.load()) {
        fds.clear();
        ids.clear();
        fds.push_back(pollfd{wakeFd_.get(), POLLIN, 0});
        {
            std::lock_guard lock(watchMutex_);
            for (const auto& [id, watch] : watches_) {
                fds.push_back(pollfd{watch.fd, detail::toPollEvents(watch.events), 0});
                ids.push_back(id);
            }
        }
        const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMillis());
        if (ready < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (ready > 0) {
            if ((fds[0].revents & POLLIN) != 0) {
                drainWake();
            }
            for (std::size_t i = 1; i < fds.size() && !stopping_.load(); ++i) {
                const unsigned seen = detail::fromPollEvents(fds[i].revents);
                if (seen == 0) {
                    continue;
                }
                std::shared_ptr<std::function<void(unsigned)>> callback;
                {
                    std::lock_guard lock(watchMutex_);
                    auto found = watches_.find(ids[i - 1]);
                    if (found != watches_.end()) {
                        callback = found->second.onEvent;
                    }
                }
                if (callback) {
                    (*callback)(seen);
                }
            }
        }
        const std::uint64_t now = clock_.nowNanos();
        while (!stopping_.load()) {
            auto due = queue_.popDue(now, true);
            if (!due) {
                break;
            }
            due->task();
        }
    }
    // Cleared on the way out, not on the way in: a stop that arrives before run() (a signal
    // during start-up) must still end the loop.
    stopping_.store(false);
    runner_.store(std::thread::id{});
}

}  // namespace kestrel
