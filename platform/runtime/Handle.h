#pragma once

#include <functional>
#include <utility>

namespace kestrel {

// Move-only RAII handle: runs its release action once, on reset() or destruction. Used for
// subscriptions, timers and descriptor watches, so that whoever holds the handle decides how long
// the registration lives.
class [[nodiscard]] Handle {
  public:
    Handle() = default;
    explicit Handle(std::function<void()> release) : release_(std::move(release)) {}
    Handle(Handle&& other) noexcept : release_(std::exchange(other.release_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            release_ = std::exchange(other.release_, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    void reset() {
        if (auto release = std::exchange(release_, nullptr)) {
            release();
        }
    }
    explicit operator bool() const { return static_cast<bool>(release_); }

  private:
    std::function<void()> release_;
};

}  // namespace kestrel
