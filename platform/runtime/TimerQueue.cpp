#include "platform/runtime/TimerQueue.h"

namespace kestrel {

Handle TimerQueue::add(std::uint64_t dueNanos, Task task, std::uint64_t intervalNanos) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextSequence_++;
        const Key key{dueNanos, id};
        entries_.emplace(key, Entry{id, intervalNanos, std::make_shared<Task>(std::move(task))});
        keyById_.emplace(id, key);
    }
    std::weak_ptr<bool> alive = alive_;
    return Handle([this, alive, id] {
        if (alive.lock()) {
            cancel(id);
        }
    });
}

void TimerQueue::addDetached(std::uint64_t dueNanos, Task task) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextSequence_++;
    entries_.emplace(Key{dueNanos, id}, Entry{id, 0, std::make_shared<Task>(std::move(task))});
    // Detached entries are never looked up by id, so they stay out of keyById_.
}

void TimerQueue::cancel(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    auto found = keyById_.find(id);
    if (found == keyById_.end()) {
        return;
    }
    entries_.erase(found->second);
    keyById_.erase(found);
}

std::optional<std::uint64_t> TimerQueue::nextDue() const {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) {
        return std::nullopt;
    }
    return entries_.begin()->first.first;
}

std::optional<TimerQueue::Due> TimerQueue::popDue(std::uint64_t nowNanos, bool skipMissed) {
    std::lock_guard lock(mutex_);
    if (entries_.empty() || entries_.begin()->first.first > nowNanos) {
        return std::nullopt;
    }
    auto node = entries_.extract(entries_.begin());
    const std::uint64_t due = node.key().first;
    Entry& entry = node.mapped();
    if (entry.intervalNanos == 0) {
        keyById_.erase(entry.id);
        return Due{due, std::move(*entry.task)};
    }
    // Repeating: the next run is one interval after this one was due, so a late run does not
    // shift the cadence; runs missed entirely are skipped rather than bunched up.
    std::uint64_t next = due + entry.intervalNanos;
    if (skipMissed && next <= nowNanos) {
        next = nowNanos + entry.intervalNanos - (nowNanos - due) % entry.intervalNanos;
    }
    const Key key{next, nextSequence_++};
    auto shared = entry.task;
    keyById_[entry.id] = key;
    entries_.emplace(key, Entry{entry.id, entry.intervalNanos, shared});
    return Due{due, [shared] { (*shared)(); }};
}

bool TimerQueue::empty() const {
    std::lock_guard lock(mutex_);
    return entries_.empty();
}

}  // namespace kestrel
