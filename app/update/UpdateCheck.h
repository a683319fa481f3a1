#pragma once

#include <functional>
#include <string>

namespace kestrel {

// What one update check found. `error` is empty on success; then `latest` is the newest version
// the feed lists and `available` says whether it is newer than `current`. Links are http(s)
// addresses or empty.
struct UpdateCheckResult {
    std::string current;
    std::string latest;
    bool available = false;
    std::string notesUrl;     // the release notes of `latest`
    std::string downloadUrl;  // the page that offers `latest`; nothing is ever fetched from it
    std::string error;
    bool userInitiated = false;  // asked for by the user, not the daily schedule

    bool ok() const { return error.empty(); }
};

using UpdateCompletion = std::function<void(const UpdateCheckResult&)>;

// Whoever can run a check on request: the running application's update checker.
class UpdateCheckService {
  public:
    virtual ~UpdateCheckService() = default;
    // Checks now, or joins the check already running; `done` hears its result on the main thread.
    virtual void checkForUpdates(UpdateCompletion done) = 0;
};

// Tells the user what a check found (a tray message, a dialog). Called on the main thread. A
// result of the daily schedule (`userInitiated` false) deserves a word only when an update is
// available; a requested one always does, errors included.
class UpdatePresenter {
  public:
    virtual ~UpdatePresenter() = default;
    virtual void present(const UpdateCheckResult& result) = 0;
};

}  // namespace kestrel
