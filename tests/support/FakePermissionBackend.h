#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/presence/Permissions.h"

namespace kestrel::testing {

// The system's privacy answers, set by the test. A camera request waits in `pendingAnswers`
// unless `answer` says how the user replies at once.
class FakePermissionBackend final : public PermissionBackend {
  public:
    PermissionStatus cameraStatus() override { return camera; }
    PermissionStatus microphoneStatus() override { return microphone; }
    void probeStatuses(StatusesHandler done) override {
        if (deferProbes) {
            pendingProbes.push_back(std::move(done));
        } else {
            done(camera, microphone);
        }
    }
    void requestCameraAccess(std::function<void(bool)> reply) override {
        if (!answer) {
            pendingAnswers.push_back(std::move(reply));
            return;
        }
        camera = *answer ? PermissionStatus::granted : PermissionStatus::denied;
        reply(*answer);
    }
    // The first `launchesThatFail` launches fail.
    bool launch(const std::vector<std::string>& argv) override {
        launched.push_back(argv);
        return launched.size() > launchesThatFail;
    }

    PermissionStatus camera = PermissionStatus::notDetermined;
    PermissionStatus microphone = PermissionStatus::notDetermined;
    std::optional<bool> answer;
    bool deferProbes = false;
    std::vector<StatusesHandler> pendingProbes;
    std::vector<std::function<void(bool)>> pendingAnswers;
    std::vector<std::vector<std::string>> launched;
    std::size_t launchesThatFail = 0;
};

}  // namespace kestrel::testing
