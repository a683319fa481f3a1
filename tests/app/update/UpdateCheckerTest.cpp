// The checker's own rules, with a scripted feed and virtual time: the daily schedule across
// restarts, and one check at a time however often it is asked for.

#include <gtest/gtest.h>

#include <deque>

#include "app/update/UpdateChecker.h"
#include "platform/runtime/ManualExecutor.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

QByteArray feedListing(const char* version) {
    return QByteArray(
               "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
               "<channel><item><sparkle:version>") +
           version + "</sparkle:version></item></channel></rss>";
}

class ScriptedFetcher final : public FeedFetcher {
  public:
    void fetch(const std::string& /*url*/, Done done) override {
        pending.push_back(std::move(done));
    }
    void answer(Result result) {
        auto done = std::move(pending.front());
        pending.pop_front();
        done(std::move(result));
    }
    std::deque<Done> pending;
};

class RecordingPresenter final : public UpdatePresenter {
  public:
    void present(const UpdateCheckResult& result) override { results.push_back(result); }
    std::vector<UpdateCheckResult> results;
};

class UpdateCheckerTest : public ::testing::Test {
  protected:
    std::shared_ptr<UpdateChecker> makeChecker() {
        auto checker =
            UpdateChecker::create({executor, executor.wallClock(), settings, fetcher,
                                   std::make_shared<KestrelUpdaterDelegate>(settings), "0.1.0"});
        checker->setPresenter(presenter);
        return checker;
    }
    // Moves virtual time on a minute at a time, answering each fetch with an up-to-date feed.
    void advance(Nanos by) {
        for (Nanos left = by; left > Nanos(0); left -= std::min<Nanos>(left, 1min)) {
            executor.advance(std::min<Nanos>(left, 1min));
            for (; !fetcher->pending.empty(); ++fetches) {
                fetcher->answer(feedListing("0.1.0"));
            }
        }
    }

    ManualExecutor executor;
    std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
    std::shared_ptr<ScriptedFetcher> fetcher = std::make_shared<ScriptedFetcher>();
    std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
    int fetches = 0;
};

TEST_F(UpdateCheckerTest, ChecksByItselfAtMostOnceADayAcrossRestarts) {
    auto checker = makeChecker();
    checker->startAutomaticChecks();
    advance(59s);
    EXPECT_EQ(fetches, 0) << "start-up comes first";
    advance(1s);
    ASSERT_EQ(fetches, 1);
    ASSERT_EQ(presenter->results.size(), 1U);
    EXPECT_FALSE(presenter->results[0].userInitiated);
    EXPECT_TRUE(presenter->results[0].ok()) << presenter->results[0].error;

    advance(24h - 1min);
    EXPECT_EQ(fetches, 1) << "less than a day since the last check";
    advance(1h);
    EXPECT_EQ(fetches, 2) << "the hourly look at the clock finds the day over";

    // Restarted an hour later, it remembers the last check.
    checker.reset();
    advance(1h);
    checker = makeChecker();
    checker->startAutomaticChecks();
    advance(22h);
    EXPECT_EQ(fetches, 2);
    advance(2h);
    EXPECT_EQ(fetches, 3);

    // A last check stamped in the future (the clock was set back) does not stop checking.
    checker.reset();
    settings->setDouble(UpdateChecker::kLastCheckKey, 4e9);
    checker = makeChecker();
    checker->startAutomaticChecks();
    advance(1min);
    EXPECT_EQ(fetches, 4);
}

TEST_F(UpdateCheckerTest, OneCheckAtATimeAnswersEveryoneWhoAsked) {
    auto checker = makeChecker();
    std::vector<bool> canCheck;
    Handle watch = checker->canCheckForUpdates.subscribe([&](bool on) { canCheck.push_back(on); });
    std::vector<UpdateCheckResult> heard;
    for (int i = 0; i < 2; ++i) {
        checker->checkForUpdates([&](const UpdateCheckResult& r) { heard.push_back(r); });
    }
    ASSERT_EQ(fetcher->pending.size(), 1U) << "the second request joins the first check";
    EXPECT_EQ(canCheck, (std::vector<bool>{true, false}));

    fetcher->answer(feedListing("0.2.0"));
    ASSERT_EQ(heard.size(), 2U);
    for (const auto& result : heard) {
        EXPECT_TRUE(result.available);
        EXPECT_EQ(result.latest, "0.2.0");
        EXPECT_EQ(result.current, "0.1.0");
    }
    EXPECT_EQ(canCheck, (std::vector<bool>{true, false, true}));
    ASSERT_EQ(presenter->results.size(), 1U);
    EXPECT_TRUE(presenter->results[0].userInitiated);
}

}  // namespace
}  // namespace kestrel
