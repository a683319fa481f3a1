#pragma once

#include <QString>

#include <array>
#include <filesystem>
#include <optional>
#include <span>

#include "app/link/CameraServiceStatus.h"
#include "app/presence/Permissions.h"
#include "app/state/AppState.h"

namespace kestrel::ui {

// The settings window's sections, in sidebar order.
enum class SettingsSection { general, loops, permissions };
inline constexpr std::array kSettingsSections{SettingsSection::general, SettingsSection::loops,
                                              SettingsSection::permissions};

struct SectionText {
    QString rawValue;
    QString label;     // sidebar and title
    QString subtitle;  // under the title
    QString group;     // small label above the title, shown upper-cased
};
SectionText sectionText(SettingsSection section);

inline constexpr std::array kThresholdSeconds{2.0, 5.0, 10.0, 30.0, 60.0};
inline constexpr std::array kFreezeSeconds{0.5, 0.8, 1.0, 1.5, 2.0};

// The choice equal to `value`, or -1 when the value is none of them (a stored value the picker
// does not offer selects no segment).
int choiceIndex(std::span<const double> choices, double value);

// What the General pane shows for the state. No widgets.
struct GeneralModel {
    int modeIndex = 0;  // 0 live, 1 away
    bool forceAway = false;
    bool autoLoop = false;
    int thresholdIndex = -1;
    bool thresholdEnabled = false;
    bool wifiBlip = false;
    int freezeIndex = -1;
    int blur = 1;
    QString blurText;
    // Freeze and Blur only matter while the blip is on.
    bool transitionTuningEnabled = false;
};
GeneralModel generalModel(const AppState& state);

// A loop as its row shows it: the file name without its extension.
QString loopDisplayName(const std::filesystem::path& loop);
// The delete confirmation names the file with its extension.
QString deleteLoopMessage(const std::filesystem::path& loop);
// What saving a rename does: the new name to ask the library for, or none when the draft is
// blank or unchanged (saving then only leaves editing).
std::optional<QString> renameTarget(const QString& draft, const QString& displayedName);

// What the Permissions pane shows.
struct PermissionsModel {
    bool staleNoticeVisible = false;
    bool cameraGranted = false;
    bool serviceGranted = false;
    // "Last reset: " and the time, absent until the first reset of this run.
    std::optional<QString> lastResetLine;
};
PermissionsModel permissionsModel(const AppState& state, PermissionStatus camera,
                                  bool staleNoticeDismissed);

// The camera service row's two status lines; nothing known yet reads "checking…".
struct ServiceStatusLines {
    QString daemon;
    QString visibility;
};
ServiceStatusLines serviceStatusLines(const std::optional<CameraServiceStatus>& status);

inline constexpr std::string_view kStaleNoticeDismissedKey = "kestrel.staleSysextBannerDismissed";

}  // namespace kestrel::ui
