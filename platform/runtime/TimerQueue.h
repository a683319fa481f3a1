#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/runtime/Executor.h"

namespace kestrel {

// The due-time bookkeeping shared by the executors: one-shot and repeating entries ordered by due
// time, then by the order they were added. Thread-safe; tasks run outside the lock.
class TimerQueue {
  public:
    // Adds an entry due at `dueNanos`; a non-zero `intervalNanos` makes it repeat. The returned
    // handle cancels the entry (a no-op once a one-shot entry ran).
    Handle add(std::uint64_t dueNanos, Task task, std::uint64_t intervalNanos = 0);

    // Adds a one-shot entry that cannot be cancelled.
    void addDetached(std::uint64_t dueNanos, Task task);

    std::optional<std::uint64_t> nextDue() const;

    // Removes and returns the earliest entry due at or before `nowNanos`, rescheduling it first
    // when it repeats; the caller runs the task. Returns nothing when no entry is due. With
    // `skipMissed`, a repeating entry whose next run would already be past `nowNanos` skips the
    // runs it missed (real time); without it, every run comes (virtual time, which stops at each).
    struct Due {
        std::uint64_t dueNanos;
        Task task;
    };
    std::optional<Due> popDue(std::uint64_t nowNanos, bool skipMissed);

    bool empty() const;

  private:
    struct Entry {
        std::uint64_t id;
        std::uint64_t intervalNanos;
        std::shared_ptr<Task> task;  // shared so a repeating entry keeps one copy
    };
    using Key = std::pair<std::uint64_t, std::uint64_t>;  // due, sequence

    void cancel(std::uint64_t id);

    mutable std::mutex mutex_;
    std::map<Key, Entry> entries_;
    std::map<std::uint64_t, Key> keyById_;
    std::uint64_t nextSequence_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
