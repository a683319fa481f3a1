#include "app/update/UpdateChecker.h"

#include "app/update/Appcast.h"
#include "app/update/Version.h"

namespace kestrel {

namespace {

double secondsSinceEpoch(WallClock::TimePoint time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

}  // namespace

std::string KestrelUpdaterDelegate::feedURLString() const {
    if (auto stored = settings_->value(kFeedURLKey)) {
        if (const auto* text = std::get_if<std::string>(&*stored); text && !text->empty()) {
            return *text;
        }
    }
    return std::string(kDefaultFeedURL);
}

std::shared_ptr<UpdateChecker> UpdateChecker::create(Dependencies dependencies) {
    return std::shared_ptr<UpdateChecker>(new UpdateChecker(std::move(dependencies)));
}

void UpdateChecker::checkForUpdates(UpdateCompletion done) {
    runCheck(true, std::move(done));
}

void UpdateChecker::startAutomaticChecks() {
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    auto poll = [weak] {
        if (auto self = weak.lock()) {
            self->checkIfDue();
        }
    };
    deps_.executor.postAfter(kFirstCheckDelay, poll);
    scheduleTimer_ = deps_.executor.startTimer(kSchedulePoll, poll, std::chrono::minutes(1));
}

void UpdateChecker::checkIfDue() {
    if (running_) {
        return;
    }
    if (auto stored = deps_.settings->value(kLastCheckKey)) {
        if (const double* last = std::get_if<double>(&*stored)) {
            const double elapsed = secondsSinceEpoch(deps_.wallClock.now()) - *last;
            // A last check "in the future" means the clock went back: check rather than wait.
            if (elapsed >= 0 && elapsed < std::chrono::duration<double>(kCheckInterval).count()) {
                return;
            }
        }
    }
    runCheck(false, {});
}

void UpdateChecker::runCheck(bool userInitiated, UpdateCompletion done) {
    if (done) {
        waiting_.push_back(std::move(done));
    }
    userInitiated_ = userInitiated_ || userInitiated;
    if (running_) {
        return;  // the running check answers this request too
    }
    running_ = true;
    canCheckForUpdates = false;
    deps_.settings->setDouble(kLastCheckKey, secondsSinceEpoch(deps_.wallClock.now()));
    const std::string url = deps_.delegate->feedURLString();
    log_.info("checking for updates at %{public}@", url);
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    deps_.fetcher->fetch(url, [weak](FeedFetcher::Result fetched) {
        if (auto self = weak.lock()) {
            self->finishCheck(std::move(fetched));
        }
    });
}

UpdateCheckResult UpdateChecker::resultOf(FeedFetcher::Result fetched) const {
    UpdateCheckResult result;
    result.current = deps_.currentVersion;
    if (auto* error = std::get_if<std::string>(&fetched)) {
        result.error = *error;
        return result;
    }
    auto newest = newestAppcastItem(std::get<QByteArray>(fetched));
    if (auto* error = std::get_if<std::string>(&newest)) {
        result.error = *error;
        return result;
    }
    const auto& item = std::get<AppcastItem>(newest);
    result.latest = item.displayVersion;
    result.available = compareVersions(item.version, deps_.currentVersion) > 0;
    result.notesUrl = item.notesUrl;
    result.downloadUrl = item.downloadUrl;
    return result;
}

void UpdateChecker::finishCheck(FeedFetcher::Result fetched) {
    UpdateCheckResult result = resultOf(std::move(fetched));
    result.userInitiated = userInitiated_;
    if (!result.ok()) {
        log_.error("update check failed: %{public}@", result.error);
    } else if (result.available) {
        log_.info("Kestrel %{public}@ is available (this is %{public}@): %{public}@", result.latest,
                  result.current, result.downloadUrl);
    } else {
        log_.info("Kestrel %{public}@ is up to date (newest listed: %{public}@)", result.current,
                  result.latest);
    }
    // Ready for the next check before anyone hears of this one, so that they may start it.
    auto waiting = std::exchange(waiting_, {});
    running_ = false;
    userInitiated_ = false;
    canCheckForUpdates = true;
    if (auto presenter = presenter_.lock()) {
        presenter->present(result);
    }
    for (const auto& done : waiting) {
        done(result);
    }
}

}  // namespace kestrel
