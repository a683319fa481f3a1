#include "app/presence/Permissions.h"

#include <array>
#include <filesystem>
#include <span>
#include <utility>

#include "platform/runtime/Log.h"

namespace kestrel {

namespace {

const Log logger{std::string(kAppLogSubsystem), "Permissions"};

constexpr std::array<std::pair<PermissionStatus, std::string_view>, 3> kStatusNames{{
    {PermissionStatus::notDetermined, "notDetermined"},
    {PermissionStatus::denied, "denied"},
    {PermissionStatus::granted, "granted"},
}};

// Settings commands per pane, most specific first. GNOME names its panels directly; Plasma's
// System Settings takes a module name. gnome-control-center and systemsettings start even for a
// panel they lack (they show their overview), so an unknown panel still lands the user close by.
using Command = std::span<const std::string_view>;

constexpr std::string_view kGnomeCamera[] = {"gnome-control-center", "camera"};
constexpr std::string_view kGnomePrivacy[] = {"gnome-control-center", "privacy"};
constexpr std::string_view kPlasmaCamera[] = {"systemsettings", "kcm_camera"};

constexpr std::string_view kGnomeSound[] = {"gnome-control-center", "sound"};
constexpr std::string_view kPlasmaSound[] = {"systemsettings", "kcm_pulseaudio"};
constexpr std::string_view kPavucontrol[] = {"pavucontrol"};

// The camera daemon is a systemd user service; the nearest desktop page is the applications
// panel. Anything more specific lives on the help page.
constexpr std::string_view kGnomeApplications[] = {"gnome-control-center", "applications"};

constexpr Command kCameraPanes[] = {kGnomeCamera, kGnomePrivacy, kPlasmaCamera};
constexpr Command kMicrophonePanes[] = {kGnomeSound, kPlasmaSound, kPavucontrol};
constexpr Command kExtensionPanes[] = {kGnomeApplications};

std::span<const Command> panesFor(SettingsPane pane) {
    switch (pane) {
        case SettingsPane::camera:
            return kCameraPanes;
        case SettingsPane::microphone:
            return kMicrophonePanes;
        case SettingsPane::extensionApproval:
            return kExtensionPanes;
    }
    return {};
}

std::string describe(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& arg : argv) {
        if (!text.empty()) {
            text += ' ';
        }
        text += arg;
    }
    return text;
}

}  // namespace

std::string_view toString(PermissionStatus status) {
    for (const auto& [value, name] : kStatusNames) {
        if (value == status) {
            return name;
        }
    }
    return "notDetermined";
}

std::string Permissions::defaultHelpPage() {
    const std::filesystem::path installed =
        std::filesystem::path(KESTREL_DOC_DIR) / "permissions.html";
    const std::filesystem::path source =
        std::filesystem::path(KESTREL_SOURCE_DIR) / "docs" / "permissions.html";
    std::error_code ec;
    const bool useSource =
        !std::filesystem::exists(installed, ec) && std::filesystem::exists(source, ec);
    return "file://" + (useSource ? source : installed).string();
}

Permissions::Permissions(std::shared_ptr<PermissionBackend> backend, Executor& main,
                         std::string helpPage)
    : backend_(std::move(backend)), main_(main), helpPage_(std::move(helpPage)) {
    refresh();
}

Permissions::~Permissions() = default;

void Permissions::refresh() {
    std::weak_ptr<Permissions*> weakSelf = self_;
    backend_->probeStatuses([weakSelf, answers = cameraAnswers_](PermissionStatus cameraNow,
                                                                 PermissionStatus microphoneNow) {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        Permissions& permissions = **self;
        if (permissions.cameraAnswers_ != answers) {
            cameraNow = permissions.camera.get();
        }
        permissions.camera = cameraNow;
        permissions.microphone = microphoneNow;
    });
}

void Permissions::requestCamera(std::function<void()> done) {
    if (camera.get() == PermissionStatus::granted) {
        if (done) {
            done();
        }
        return;
    }
    logger.info("Asking for camera access (now %{public}@)", toString(camera.get()));
    std::weak_ptr<Permissions*> weakSelf = self_;
    Executor* main = &main_;
    backend_->requestCameraAccess([weakSelf, main, done = std::move(done)](bool granted) mutable {
        main->post([weakSelf, granted, done = std::move(done)] {
            auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            logger.info("Camera access %{public}@", granted ? "granted" : "refused");
            ++(*self)->cameraAnswers_;
            (*self)->camera = granted ? PermissionStatus::granted : PermissionStatus::denied;
            if (done) {
                done();
            }
        });
    });
}

bool Permissions::openSettings(SettingsPane pane) {
    for (const auto& command : settingsCandidates(pane)) {
        if (backend_->launch(command)) {
            logger.info("Opened settings with %{public}@", describe(command));
            return true;
        }
    }
    const auto fallback = helpPageCommand();
    if (backend_->launch(fallback)) {
        logger.info("No settings page opened; showing %{public}@", helpPage_);
        return true;
    }
    logger.error("Could not open settings nor the help page %{public}@", helpPage_);
    return false;
}

std::vector<std::vector<std::string>> Permissions::settingsCandidates(SettingsPane pane) {
    std::vector<std::vector<std::string>> commands;
    for (const Command command : panesFor(pane)) {
        commands.emplace_back(command.begin(), command.end());
    }
    return commands;
}

std::vector<std::string> Permissions::helpPageCommand() const {
    return {"xdg-open", helpPage_};
}

}  // namespace kestrel
