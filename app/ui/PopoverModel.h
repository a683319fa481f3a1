#pragma once

#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "app/state/AppState.h"
#include "app/ui/RecordButtonState.h"
#include "app/ui/Theme.h"

namespace kestrel::ui {

// What the popover and the tray menu show, from the state and the record button's flag. No
// widgets: every text, colour and enabled state is decided here.
struct PopoverInputs {
    AppState::Mode mode = AppState::Mode::live;
    bool manualOverride = false;
    bool autoAwayEnabled = false;
    std::vector<std::filesystem::path> loops;
    std::optional<std::filesystem::path> activeLoop;
    // The record button is in its "stop" state.
    bool recording = false;
    // Seconds recorded so far while the recorder runs; none when it does not (a start that failed).
    std::optional<int> recordedSeconds;
    // The force-away hot key as the desktop shows it.
    QString hotKeyBadge = QStringLiteral("Super+Shift+A");
};

struct PopoverModel {
    QString header;
    bool badgeVisible = false;
    QString badge;

    Tone dot = Tone::liveGreen;
    QString title;     // "Live." / "Away."
    QString subtitle;  // "You’re on camera." / "Loop is rolling."

    bool autoSelected = true;
    bool forceAwaySelected = false;
    bool autoLoopOn = false;

    bool hasLoops = false;
    QString noLoopsText;
    QString loopLabel;       // last path component of the active loop, or "—"
    QStringList loopTitles;  // one per loop, in list order
    int activeLoopIndex = -1;

    QString recordHint;
    QString recordLabel;
    QString recordProgress;  // "12 / 60 s" while the recorder runs, else empty
    Tone recordFill = Tone::ink;
    Tone recordDot = Tone::awayRed;

    // The tray menu's texts for the same state.
    QString menuStatus;
    QString menuRecord;
    // The status icon's theme name.
    QString iconName;
};

PopoverModel makePopoverModel(const PopoverInputs& in);

// The inputs that come from the state object and the record button.
PopoverInputs inputsFrom(const AppState& state, const RecordButtonState& record);
// Calls `onChange` now and after every change of those inputs, until the handles go.
std::vector<Handle> observeInputs(AppState& state, RecordButtonState& record,
                                  const std::function<void()>& onChange);

// The longest loop, in seconds.
inline constexpr int kLoopSeconds = 60;

}  // namespace kestrel::ui
