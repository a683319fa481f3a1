#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/Executor.h"
#include "platform/runtime/Observable.h"

namespace kestrel {

// Whether the user lets us use a device. The raw values are what settings and logs store.
enum class PermissionStatus { notDetermined, denied, granted };

std::string_view toString(PermissionStatus status);

// The places in the desktop's settings where the user fixes a refused permission.
enum class SettingsPane { camera, microphone, extensionApproval };

// How the desktop is asked about devices and how its settings are opened.
class PermissionBackend {
  public:
    virtual ~PermissionBackend() = default;

    virtual PermissionStatus cameraStatus() = 0;
    virtual PermissionStatus microphoneStatus() = 0;

    using StatusesHandler =
        std::function<void(PermissionStatus camera, PermissionStatus microphone)>;
    // Reads both statuses and calls `done` with them on the main thread, also before this call
    // returns. A backend whose reading blocks reads elsewhere and posts the answer.
    virtual void probeStatuses(StatusesHandler done) { done(cameraStatus(), microphoneStatus()); }

    // Asks for camera access and calls `answer` once with the outcome. The answer may come on any
    // thread, also before this call returns; Permissions moves it to its own executor.
    virtual void requestCameraAccess(std::function<void(bool granted)> answer) = 0;

    // Starts a program (argv[0] is looked up in PATH) without waiting for it. True when the program
    // was found and started.
    virtual bool launch(const std::vector<std::string>& argv) = 0;
};

// The camera and microphone permissions as the interface shows them. Lives on the main thread.
class Permissions {
  public:
    // The installed help page, or the one in the source tree for a build that was not installed.
    static std::string defaultHelpPage();

    // Reads the current statuses at once. `main` is the thread the object lives on; the backend's
    // answers are delivered there.
    Permissions(std::shared_ptr<PermissionBackend> backend, Executor& main,
                std::string helpPage = defaultHelpPage());
    ~Permissions();
    Permissions(const Permissions&) = delete;
    Permissions& operator=(const Permissions&) = delete;

    // Fires before any field below changes.
    Signal<> willChange;
    Published<PermissionStatus> camera{PermissionStatus::notDetermined, &willChange};
    Published<PermissionStatus> microphone{PermissionStatus::notDetermined, &willChange};

    // Reads both statuses again and publishes them, also when they did not change; at once or,
    // where the backend reads off the main thread, when its answer arrives. An answer to a camera
    // request that comes meanwhile wins over it.
    void refresh();

    // Asks for camera access unless it is already granted, then calls `done` on the main thread.
    // A refused status is asked again: the desktop decides whether it shows a prompt.
    void requestCamera(std::function<void()> done = {});

    // Opens the desktop settings for `pane`: the first candidate that starts wins, and the help
    // page is the last resort. False when not even the help page could be opened.
    bool openSettings(SettingsPane pane);

    // The commands tried for a pane, in order, before the help page.
    static std::vector<std::vector<std::string>> settingsCandidates(SettingsPane pane);
    std::vector<std::string> helpPageCommand() const;

  private:
    std::shared_ptr<PermissionBackend> backend_;
    Executor& main_;
    std::string helpPage_;
    // Counts camera answers, so that a refresh read before one cannot overwrite it.
    std::uint64_t cameraAnswers_ = 0;
    // Answers that arrive after we are gone find this expired.
    std::shared_ptr<Permissions*> self_ = std::make_shared<Permissions*>(this);
};

}  // namespace kestrel
