#include "platform/runtime/ManualExecutor.h"

#include "platform/runtime/PollEvents.h"

#include <vector>

namespace kestrel {

namespace {
// 2026-01-01T00:00:00Z: virtual wall time is this plus the virtual host time.
constexpr std::int64_t kWallEpochSeconds = 1'767'225'600;
}  // namespace

ManualExecutor::ManualExecutor() = default;
ManualExecutor::~ManualExecutor() = default;

WallClock::TimePoint ManualExecutor::VirtualWallClock::now() const {
    return TimePoint{std::chrono::seconds{kWallEpochSeconds}} +
           std::chrono::duration_cast<TimePoint::duration>(Nanos{owner_.nowNanos()});
}

void ManualExecutor::post(Task task) {
    queue_.addDetached(now_.load(), std::move(task));
}

void ManualExecutor::postAfter(Nanos delay, Task task) {
    queue_.addDetached(now_.load() + static_cast<std::uint64_t>(delay.count()), std::move(task));
}

Handle ManualExecutor::startTimer(Nanos interval, Task task, Nanos /*leeway*/) {
    const auto step = static_cast<std::uint64_t>(interval.count());
    return queue_.add(now_.load() + step, std::move(task), step);
}

Handle ManualExecutor::watchFd(int fd, unsigned events, std::function<void(unsigned)> onEvent) {
    const std::uint64_t id = nextWatchId_++;
    watches_.emplace(
        id, Watch{fd, events, std::make_shared<std::function<void(unsigned)>>(std::move(onEvent))});
    std::weak_ptr<bool> alive = alive_;
    return Handle([this, alive, id] {
        if (alive.lock()) {
            watches_.erase(id);
        }
    });
}

bool ManualExecutor::isCurrent() const {
    return std::this_thread::get_id() == owner_;
}

std::size_t ManualExecutor::runDueAt(std::uint64_t limit) {
    std::size_t ran = 0;
    while (auto due = queue_.popDue(limit, false)) {
        if (due->dueNanos > now_.load()) {
            now_.store(due->dueNanos);
        }
        due->task();
        ++ran;
    }
    return ran;
}

std::size_t ManualExecutor::runUntilIdle() {
    return runDueAt(now_.load());
}

std::size_t ManualExecutor::advance(Nanos by) {
    const std::uint64_t target = now_.load() + static_cast<std::uint64_t>(by.count());
    const std::size_t ran = runDueAt(target);
    now_.store(target);
    return ran + runUntilIdle();
}

std::size_t ManualExecutor::pollFds() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (const auto& [id, watch] : watches_) {
        fds.push_back(pollfd{watch.fd, detail::toPollEvents(watch.events), 0});
        ids.push_back(id);
    }
    if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) {
        return 0;
    }
    std::size_t delivered = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const unsigned seen = detail::fromPollEvents(fds[i].revents);
        auto found = watches_.find(ids[i]);
        if (seen != 0 && found != watches_.end()) {
            auto callback = found->second.onEvent;  // the callback may release its own watch
            (*callback)(seen);
            ++delivered;
        }
    }
    return delivered;
}

}  // namespace kestrel
