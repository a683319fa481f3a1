#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/runtime/Handle.h"

namespace kestrel {

// A list of callbacks. Connecting returns a handle; releasing the handle disconnects, and a
// callback disconnected while an emission runs is not called afterwards. Single-threaded: owners
// emit and connect on their own thread.
template <class... Args>
class Signal {
  public:
    using Slot = std::function<void(Args...)>;

    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    Handle connect(Slot slot) {
        auto entry = std::make_shared<Entry>(Entry{std::move(slot), true});
        slots_->push_back(entry);
        std::weak_ptr<Slots> slots = slots_;
        std::weak_ptr<Entry> weakEntry = entry;
        return Handle([slots, weakEntry] {
            auto list = slots.lock();
            auto target = weakEntry.lock();
            if (!list || !target) {
                return;
            }
            target->connected = false;
            std::erase(*list, target);
        });
    }

    void emit(Args... args) const {
        const Slots snapshot = *slots_;  // slots may connect or disconnect while we emit
        for (const auto& entry : snapshot) {
            if (entry->connected) {
                entry->slot(args...);
            }
        }
    }

    std::size_t connectionCount() const { return slots_->size(); }

  private:
    struct Entry {
        Slot slot;
        bool connected;
    };
    using Slots = std::vector<std::shared_ptr<Entry>>;
    std::shared_ptr<Slots> slots_ = std::make_shared<Slots>();
};

// A value that announces itself: a subscriber gets the current value at once, then every value
// written afterwards (also when it equals the old one). When the value belongs to an object that
// has a will-change signal, that signal fires before each new value is stored. `afterStore` runs
// once the new value is stored and before subscribers hear of it (persisted settings write their
// key there).
template <class T>
class Published {
  public:
    explicit Published(T initial, const Signal<>* ownerWillChange = nullptr,
                       std::function<void(const T&)> afterStore = {})
        : value_(std::move(initial)),
          ownerWillChange_(ownerWillChange),
          afterStore_(std::move(afterStore)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }  // NOLINT(google-explicit-constructor)

    void set(T value) {
        if (ownerWillChange_ != nullptr) {
            ownerWillChange_->emit();
        }
        value_ = std::move(value);
        if (afterStore_) {
            afterStore_(value_);
        }
        changes_.emit(value_);
    }
    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    Handle subscribe(std::function<void(const T&)> onValue) {
        onValue(value_);
        return changes_.connect(std::move(onValue));
    }

  private:
    T value_;
    const Signal<>* ownerWillChange_;
    std::function<void(const T&)> afterStore_;
    Signal<const T&> changes_;
};

// Fires `onAll` once each of the three streams has delivered a value, then on every value of any
// of them, with the latest value of each.
template <class A, class B, class C>
Handle combineLatest(Published<A>& a, Published<B>& b, Published<C>& c,
                     std::function<void(const A&, const B&, const C&)> onAll) {
    struct Latest {
        std::optional<A> a;
        std::optional<B> b;
        std::optional<C> c;
        std::function<void(const A&, const B&, const C&)> onAll;
        void fire() const {
            if (a && b && c) {
                onAll(*a, *b, *c);
            }
        }
    };
    auto latest = std::make_shared<Latest>();
    latest->onAll = std::move(onAll);
    auto subA = a.subscribe([latest](const A& v) {
        latest->a = v;
        latest->fire();
    });
    auto subB = b.subscribe([latest](const B& v) {
        latest->b = v;
        latest->fire();
    });
    auto subC = c.subscribe([latest](const C& v) {
        latest->c = v;
        latest->fire();
    });
    auto handles = std::make_shared<std::tuple<Handle, Handle, Handle>>(
        std::move(subA), std::move(subB), std::move(subC));
    return Handle([handles] {
        std::get<0>(*handles).reset();
        std::get<1>(*handles).reset();
        std::get<2>(*handles).reset();
    });
}

}  // namespace kestrel
