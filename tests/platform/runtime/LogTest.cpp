#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "platform/runtime/Log.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

std::string format(std::string_view text, std::initializer_list<LogArg> args) {
    return formatLogMessage(text, std::span(args.begin(), args.size()));
}

TEST(LogFormat, PrintsTemplatesWithTheirArgumentsAndNeverFailsOnMissingOrMismatchedOnes) {
    EXPECT_EQ(format("loaded loop: %{public}@", {"loop.mov"}), "loaded loop: loop.mov");
    EXPECT_EQ(format("dispatch mode=%{public}@ total=%d away=%d freeze=%{public}@",
                     {"away", std::int64_t{120}, 7, "n"}),
              "dispatch mode=away total=120 away=7 freeze=n");
    EXPECT_EQ(format("pump drain count=%d empty=%d srcClients=%d", {1, 2U, -3}),
              "pump drain count=1 empty=2 srcClients=-3");
    EXPECT_EQ(format("%.2f s, %lld ns, %u, 100%%", {1.5, 42LL, 3U}), "1.50 s, 42 ns, 3, 100%");
    EXPECT_EQ(format("%@ then %s", {"a", "b"}), "a then b");
    EXPECT_EQ(format("a=%d b=%{public}@", {1}), "a=1 b=<?>");
    EXPECT_EQ(format("n=%d", {"text"}), "n=<?>");
    EXPECT_EQ(format("%q stays, trailing %", {}), "%q stays, trailing %");
    EXPECT_EQ(format("%{public", {}), "%{public");
}

TEST(Log, RecordsCarrySubsystemCategoryAndLevel) {
    testing::LogCapture capture;
    Log engine{std::string(kAppLogSubsystem), "Engine"};
    engine.info("resetVirtualCamera()");
    engine.error("webcam start failed: %{public}@", "no camera");
    const auto records = capture->records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(std::tie(records[0].subsystem, records[0].category, records[0].level),
              std::tuple("dev.corvid.kestrel", "Engine", LogLevel::info));
    EXPECT_EQ(std::tie(records[1].level, records[1].message),
              std::tuple(LogLevel::error, "webcam start failed: no camera"));
    EXPECT_EQ(capture->count("webcam"), 1U);
}

TEST(LogThrottle, LetsOneEventThroughPerWindow) {
    ManualExecutor exec;
    LogThrottle throttle(exec.hostClock(), 5'000'000'000ULL);
    EXPECT_TRUE(throttle.allow());
    EXPECT_FALSE(throttle.allow());
    exec.advance(std::chrono::milliseconds(4999));
    EXPECT_FALSE(throttle.allow());
    exec.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(throttle.allow());
}

}  // namespace
}  // namespace kestrel
