#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/runtime/Observable.h"

namespace kestrel {
namespace {

TEST(Published, SubscriberGetsCurrentValueThenEveryWriteIncludingEqualOnes) {
    Published<int> value{1};
    std::vector<int> seen;
    Handle sub = value.subscribe([&](const int& v) { seen.push_back(v); });
    value = 2;
    value = 2;
    sub.reset();
    value = 3;
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 2}));
}

TEST(Published, OwnerWillChangeFiresBeforeTheValueIsStoredAndPersistenceBeforeSubscribers) {
    Signal<> willChange;
    std::vector<std::string> order;
    Published<int>* self = nullptr;
    Published<int> value{1, &willChange,
                         [&](const int& v) { order.push_back("store " + std::to_string(v)); }};
    self = &value;
    Handle will = willChange.connect([&] { order.push_back("will " + std::to_string(*self)); });
    Handle sub =
        value.subscribe([&](const int& v) { order.push_back("got " + std::to_string(v)); });
    value = 5;
    EXPECT_EQ(order, (std::vector<std::string>{"got 1", "will 1", "store 5", "got 5"}));
}

TEST(Signal, SlotsMayDisconnectThemselvesAndOthersDuringEmission) {
    Signal<int> signal;
    std::vector<std::string> calls;
    Handle first;
    Handle second;
    first = signal.connect([&](int) {
        calls.emplace_back("first");
        first.reset();
        second.reset();  // not called in this emission any more
    });
    second = signal.connect([&](int) { calls.emplace_back("second"); });
    signal.emit(1);
    signal.emit(2);
    EXPECT_EQ(calls, (std::vector<std::string>{"first"}));
    EXPECT_EQ(signal.connectionCount(), 0U);
}

TEST(Signal, HandleOutlivingTheSignalIsHarmless) {
    Handle handle;
    {
        Signal<> signal;
        handle = signal.connect([] {});
    }
    handle.reset();
    EXPECT_FALSE(handle);
}

TEST(CombineLatest, FiresOnceAllHaveAValueThenOnEveryChange) {
    Published<bool> a{false};
    Published<int> b{0};
    Published<std::string> c{"x"};
    std::vector<std::tuple<bool, int, std::string>> fired;
    Handle combined = combineLatest<bool, int, std::string>(
        a, b, c, [&](const bool& va, const int& vb, const std::string& vc) {
            fired.emplace_back(va, vb, vc);
        });
    EXPECT_EQ(fired.size(), 1U);  // the third subscription completes the set
    b = 7;
    a = true;
    a = true;
    combined.reset();
    c = "y";
    using Fired = std::vector<std::tuple<bool, int, std::string>>;
    EXPECT_EQ(fired, (Fired{{false, 0, "x"}, {false, 7, "x"}, {true, 7, "x"}, {true, 7, "x"}}));
}

}  // namespace
}  // namespace kestrel
