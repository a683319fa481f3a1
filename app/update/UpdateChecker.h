#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/state/SettingsStore.h"
#include "app/update/FeedFetcher.h"
#include "app/update/UpdateCheck.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/Observable.h"

namespace kestrel {

// Supplies the address of the update feed.
class UpdaterDelegate {
  public:
    virtual ~UpdaterDelegate() = default;
    virtual std::string feedURLString() const = 0;
};

// The product's appcast, or the address stored under "kestrel.updateFeedURL" (a mirror, a test
// server); the checker's fetcher decides whether an address may be used.
class KestrelUpdaterDelegate final : public UpdaterDelegate {
  public:
    static constexpr std::string_view kDefaultFeedURL = "https://kestrel.corvid.dev/appcast.xml";
    static constexpr std::string_view kFeedURLKey = "kestrel.updateFeedURL";

    explicit KestrelUpdaterDelegate(std::shared_ptr<const SettingsStore> settings)
        : settings_(std::move(settings)) {}
    std::string feedURLString() const override;

  private:
    std::shared_ptr<const SettingsStore> settings_;
};

// Tells whether a newer Kestrel exists: fetches the appcast, finds its newest version and compares
// it with this one. It only tells (the presenter shows a message and a link); it never downloads or
// installs anything. Checks run on request, and by themselves at most once a day once automatic
// checks are started: the time of the last check is kept in the settings, so restarts do not
// check again early. Main thread only.
class UpdateChecker final : public UpdateCheckService,
                            public std::enable_shared_from_this<UpdateChecker> {
  public:
    static constexpr std::string_view kLastCheckKey = "kestrel.lastUpdateCheckAt";
    static constexpr auto kCheckInterval = std::chrono::hours(24);
    // The first automatic check waits until start-up is long over.
    static constexpr auto kFirstCheckDelay = std::chrono::minutes(1);
    // How often the schedule looks at the wall clock: a suspended machine catches up within this.
    static constexpr auto kSchedulePoll = std::chrono::hours(1);

    struct Dependencies {
        Executor& executor;
        WallClock& wallClock;
        std::shared_ptr<SettingsStore> settings;
        std::shared_ptr<FeedFetcher> fetcher;
        std::shared_ptr<UpdaterDelegate> delegate;
        std::string currentVersion;
    };

    static std::shared_ptr<UpdateChecker> create(Dependencies dependencies);

    // False while a check runs.
    Published<bool> canCheckForUpdates{true};

    // A check on the user's request; `done` (optional) hears its result.
    void checkForUpdates(UpdateCompletion done) override;
    void checkForUpdates() { checkForUpdates(UpdateCompletion{}); }

    // Begins the daily schedule.
    void startAutomaticChecks();

    // Hears every result; held weakly.
    void setPresenter(std::weak_ptr<UpdatePresenter> presenter) {
        presenter_ = std::move(presenter);
    }

    const std::string& currentVersion() const { return deps_.currentVersion; }

  private:
    explicit UpdateChecker(Dependencies dependencies) : deps_(std::move(dependencies)) {}

    void runCheck(bool userInitiated, UpdateCompletion done);
    void checkIfDue();
    void finishCheck(FeedFetcher::Result fetched);
    UpdateCheckResult resultOf(FeedFetcher::Result fetched) const;

    Dependencies deps_;
    std::weak_ptr<UpdatePresenter> presenter_;
    bool running_ = false;
    bool userInitiated_ = false;
    std::vector<UpdateCompletion> waiting_;
    Handle scheduleTimer_;
    Log log_{std::string(kAppLogSubsystem), "Updates"};
};

}  // namespace kestrel
