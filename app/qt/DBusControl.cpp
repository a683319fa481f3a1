#include "app/qt/DBusControl.h"

#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "app/qt/DBusNames.h"

namespace kestrel {

namespace {

QString pathText(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

QJsonValue optionalText(const std::optional<std::string>& text) {
    return text ? QJsonValue(QString::fromStdString(*text)) : QJsonValue();
}

}  // namespace

DBusControl::DBusControl(std::weak_ptr<AppDelegate> delegate) : delegate_(std::move(delegate)) {}

DBusControl::~DBusControl() {
    if (registered_) {
        bus_.unregisterObject(dbus::kControlPath);
    }
}

bool DBusControl::registerOn(QDBusConnection bus) {
    bus_ = std::move(bus);
    registered_ = bus_.isConnected() &&
                  bus_.registerObject(dbus::kControlPath, this, QDBusConnection::ExportAllSlots);
    return registered_;
}

std::shared_ptr<AppDelegate> DBusControl::delegateOrError() {
    auto delegate = delegate_.lock();
    if (!delegate && calledFromDBus()) {
        sendErrorReply(dbus::kNotReadyError, QStringLiteral("kestrel is shutting down"));
    }
    return delegate;
}

void DBusControl::ToggleForceAway() {
    if (auto delegate = delegateOrError()) {
        delegate->toggleForceAway();
    }
}

void DBusControl::SetForceAway(bool on) {
    if (auto delegate = delegateOrError()) {
        delegate->state().manualOverride = on;
    }
}

bool DBusControl::StartRecording() {
    auto delegate = delegateOrError();
    if (!delegate) {
        return false;
    }
    auto started = delegate->startRecording();
    if (auto* error = std::get_if<Error>(&started)) {
        if (calledFromDBus()) {
            sendErrorReply(dbus::kRecorderError, QString::fromStdString(error->description));
        }
        return false;
    }
    return std::get<bool>(started);
}

QString DBusControl::StopRecording() {
    auto delegate = delegateOrError();
    if (!delegate) {
        return {};
    }
    if (!calledFromDBus()) {
        delegate->stopRecording([](const std::optional<std::filesystem::path>&) {});
        return {};
    }
    // The file is finished on the encoder's thread; the answer goes out once it is written.
    setDelayedReply(true);
    delegate->stopRecording(
        [bus = connection(), call = message()](const std::optional<std::filesystem::path>& url) {
            QDBusConnection(bus).send(call.createReply(url ? pathText(*url) : QString()));
        });
    return {};
}

QString DBusControl::Status() {
    auto delegate = delegateOrError();
    return delegate ? statusJson(delegate->status()) : QString();
}

QString DBusControl::CheckForUpdates() {
    auto updates = updates_.lock();
    if (!calledFromDBus()) {
        if (updates) {
            updates->checkForUpdates({});
        }
        return {};
    }
    if (!updates) {
        sendErrorReply(dbus::kUpdateError,
                       QStringLiteral("this build does not check for updates: new versions come "
                                      "with the distribution's packages"));
        return {};
    }
    setDelayedReply(true);
    updates->checkForUpdates([bus = connection(), call = message()](const UpdateCheckResult& r) {
        QDBusConnection(bus).send(
            r.ok() ? call.createReply(updateJson(r))
                   : call.createErrorReply(dbus::kUpdateError, QString::fromStdString(r.error)));
    });
    return {};
}

QString DBusControl::updateJson(const UpdateCheckResult& result) {
    const QJsonObject object{
        {QStringLiteral("current"), QString::fromStdString(result.current)},
        {QStringLiteral("latest"), QString::fromStdString(result.latest)},
        {QStringLiteral("updateAvailable"), result.available},
        {QStringLiteral("url"), QString::fromStdString(result.downloadUrl)},
    };
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString DBusControl::statusJson(const AppStatus& status) {
    QJsonArray loops;
    for (const auto& loop : status.loops) {
        loops.append(pathText(loop));
    }
    QJsonObject object{
        {QStringLiteral("mode"),
         QString::fromUtf8(AppState::rawValue(status.mode).data(),
                           static_cast<qsizetype>(AppState::rawValue(status.mode).size()))},
        {QStringLiteral("forceAway"), status.manualOverride},
        {QStringLiteral("autoAway"), status.autoAwayEnabled},
        {QStringLiteral("loops"), loops},
        {QStringLiteral("activeLoop"),
         status.activeLoop ? QJsonValue(pathText(*status.activeLoop)) : QJsonValue()},
        {QStringLiteral("recording"), status.recording},
        {QStringLiteral("engineStarted"), status.engineStarted},
        {QStringLiteral("dispatchCount"), static_cast<qint64>(status.dispatchCount)},
        {QStringLiteral("dispatchAwayCount"), static_cast<qint64>(status.dispatchAwayCount)},
        {QStringLiteral("dispatchAwayLoopMissCount"),
         static_cast<qint64>(status.dispatchAwayLoopMissCount)},
        {QStringLiteral("dispatchDropCount"), static_cast<qint64>(status.dispatchDropCount)},
        {QStringLiteral("dispatchAwayLoopRepeatCount"),
         static_cast<qint64>(status.dispatchAwayLoopRepeatCount)},
        {QStringLiteral("awayShows"), optionalText(status.awayShows)},
        {QStringLiteral("loopError"), optionalText(status.loopError)},
        {QStringLiteral("autoAwayAvailable"), status.autoAwayAvailable},
    };
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace kestrel
