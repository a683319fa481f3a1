#include "app/ui/SettingsModel.h"

#include <QDateTime>
#include <QLocale>

#include <chrono>
#include <cmath>

namespace kestrel::ui {

SectionText sectionText(SettingsSection section) {
    switch (section) {
        case SettingsSection::general:
            return {QStringLiteral("general"), QStringLiteral("General"),
                    QStringLiteral("How Kestrel behaves."), QStringLiteral("Behavior")};
        case SettingsSection::loops:
            return {QStringLiteral("loops"), QStringLiteral("Loops"),
                    QStringLiteral("Your recorded loops."), QStringLiteral("Library")};
        case SettingsSection::permissions:
            break;
    }
    return {QStringLiteral("permissions"), QStringLiteral("Permissions"),
            QStringLiteral("Linux has to let us in."), QStringLiteral("Access")};
}

int choiceIndex(std::span<const double> choices, double value) {
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (std::abs(choices[i] - value) < 1e-9) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

GeneralModel generalModel(const AppState& state) {
    GeneralModel model;
    model.modeIndex = state.mode.get() == AppState::Mode::away ? 1 : 0;
    model.forceAway = state.manualOverride.get();
    model.autoLoop = state.autoAwayEnabled.get();
    model.thresholdIndex = choiceIndex(kThresholdSeconds, state.autoAwaySeconds.get());
    model.thresholdEnabled = model.autoLoop;
    model.wifiBlip = state.realisticTransitions.get();
    model.freezeIndex = choiceIndex(kFreezeSeconds, state.transitionFreezeSeconds.get());
    model.transitionTuningEnabled = model.wifiBlip;
    const double blur = state.transitionBlurRadius.get();
    model.blur = std::isfinite(blur) ? static_cast<int>(std::clamp(blur, 1.0, 100.0)) : 1;
    model.blurText = QString::number(std::isfinite(blur) ? static_cast<long long>(blur) : 0);
    return model;
}

QString loopDisplayName(const std::filesystem::path& loop) {
    return QString::fromStdString(loop.stem().string());
}

QString deleteLoopMessage(const std::filesystem::path& loop) {
    return QString::fromStdString(loop.filename().string()) +
           QStringLiteral(" will be removed from disk. This can't be undone.");
}

std::optional<QString> renameTarget(const QString& draft, const QString& displayedName) {
    const QString trimmed = draft.trimmed();
    if (trimmed.isEmpty() || trimmed == displayedName) {
        return std::nullopt;
    }
    return trimmed;
}

PermissionsModel permissionsModel(const AppState& state, PermissionStatus camera,
                                  bool staleNoticeDismissed) {
    PermissionsModel model;
    model.staleNoticeVisible = state.hasStaleSysext.get() && !staleNoticeDismissed;
    model.cameraGranted = camera == PermissionStatus::granted;
    model.serviceGranted = state.extensionInstalled.get();
    if (const auto& at = state.lastResetAt.get()) {
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(at->time_since_epoch()).count();
        const QTime time = QDateTime::fromMSecsSinceEpoch(millis).time();
        // The medium time style: hours, minutes and seconds, no time zone.
        QString format = QLocale().timeFormat(QLocale::LongFormat);
        format.remove(QLatin1Char('t')).replace(QStringLiteral("  "), QStringLiteral(" "));
        model.lastResetLine = QStringLiteral("Last reset: ") + time.toString(format.trimmed());
    }
    return model;
}

ServiceStatusLines serviceStatusLines(const std::optional<CameraServiceStatus>& status) {
    if (!status) {
        return {QStringLiteral("kestrel-camera answers: checking…"),
                QStringLiteral("Visible to meeting apps: checking…")};
    }
    QString seen;
    switch (status->visibleAs) {
        case CameraVisibility::pipewire:
            seen = QStringLiteral("as PipeWire camera");
            break;
        case CameraVisibility::v4l2loopback:
            seen = QStringLiteral("as v4l2loopback device");
            break;
        case CameraVisibility::none:
            seen = QStringLiteral("not visible");
            break;
    }
    return {QStringLiteral("kestrel-camera answers: ") +
                (status->daemonAnswers ? QStringLiteral("yes") : QStringLiteral("no")),
            QStringLiteral("Visible to meeting apps: ") + seen};
}

}  // namespace kestrel::ui
