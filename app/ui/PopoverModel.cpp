#include "app/ui/PopoverModel.h"

#include <algorithm>

namespace kestrel::ui {

namespace {

QString fileTitle(const std::filesystem::path& path) {
    return QString::fromStdString(path.filename().string());
}

}  // namespace

PopoverModel makePopoverModel(const PopoverInputs& in) {
    const bool away = in.mode == AppState::Mode::away;
    PopoverModel m;
    m.header = QStringLiteral("KESTREL · v0.1.0");
    m.badgeVisible = in.manualOverride;
    m.badge = in.hotKeyBadge;

    m.dot = away ? Tone::awayRed : Tone::liveGreen;
    m.title = away ? QStringLiteral("Away.") : QStringLiteral("Live.");
    m.subtitle = away ? QStringLiteral("Loop is rolling.") : QStringLiteral("You’re on camera.");
    m.menuStatus = m.title;
    m.iconName = away ? QStringLiteral("dev.corvid.kestrel-away")
                      : QStringLiteral("dev.corvid.kestrel-live");

    m.autoSelected = !in.manualOverride;
    m.forceAwaySelected = in.manualOverride;
    m.autoLoopOn = in.autoAwayEnabled;

    m.hasLoops = !in.loops.empty();
    m.noLoopsText = QStringLiteral("No loops yet. Record one below.");
    m.loopLabel = in.activeLoop ? fileTitle(*in.activeLoop) : QStringLiteral("—");
    for (std::size_t i = 0; i < in.loops.size(); ++i) {
        m.loopTitles << fileTitle(in.loops[i]);
        if (in.activeLoop && in.loops[i] == *in.activeLoop) {
            m.activeLoopIndex = static_cast<int>(i);
        }
    }

    m.recordHint = in.recording ? QStringLiteral("Stay still. Look engaged. Don’t blink twice.")
                                : QStringLiteral("Stare at the lens like you’re listening hard.");
    m.recordLabel =
        in.recording ? QStringLiteral("Stop · saving…") : QStringLiteral("Start · 60s loop");
    if (in.recording && in.recordedSeconds) {
        m.recordProgress = QStringLiteral("%1 / %2 s")
                               .arg(std::clamp(*in.recordedSeconds, 0, kLoopSeconds))
                               .arg(kLoopSeconds);
    }
    m.recordFill = in.recording ? Tone::awayRed : Tone::ink;
    m.recordDot = in.recording ? Tone::paper : Tone::awayRed;
    m.menuRecord = m.recordProgress.isEmpty()
                       ? m.recordLabel
                       : m.recordLabel + QStringLiteral("  ") + m.recordProgress;
    return m;
}

PopoverInputs inputsFrom(const AppState& state, const RecordButtonState& record) {
    PopoverInputs in;
    in.mode = state.mode.get();
    in.manualOverride = state.manualOverride.get();
    in.autoAwayEnabled = state.autoAwayEnabled.get();
    in.loops = state.loops.get();
    in.activeLoop = state.activeLoop.get();
    in.recording = record.recording();
    in.recordedSeconds = record.recordedSeconds();
    return in;
}

std::vector<Handle> observeInputs(AppState& state, RecordButtonState& record,
                                  const std::function<void()>& onChange) {
    auto onValue = [onChange](const auto& /*value*/) { onChange(); };
    std::vector<Handle> handles;
    handles.push_back(state.mode.subscribe(onValue));
    handles.push_back(state.manualOverride.subscribe(onValue));
    handles.push_back(state.autoAwayEnabled.subscribe(onValue));
    handles.push_back(state.loops.subscribe(onValue));
    handles.push_back(state.activeLoop.subscribe(onValue));
    handles.push_back(record.changed.connect(onChange));
    return handles;
}

}  // namespace kestrel::ui
