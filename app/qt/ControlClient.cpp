#include "app/qt/ControlClient.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

#include <cstdio>

#include "app/qt/DBusNames.h"
#include "app/qt/DBusToggleSignal.h"

namespace kestrel {

namespace {

// Finishing a loop file takes the encoder a moment; allow it, but not forever.
constexpr int kCallTimeoutMs = 30000;

int fail(const QString& text) {
    std::fprintf(stderr, "kestrel: %s\n", text.toLocal8Bit().constData());
    return 1;
}

}  // namespace

int runControlCommand(QDBusConnection bus, const ControlCommand& command) {
    if (!bus.isConnected()) {
        return fail(QStringLiteral("no session bus: cannot reach a running kestrel"));
    }
    if (command.kind == ControlCommand::Kind::toggleAway) {
        // A broadcast: whoever listens toggles, also when that is nobody.
        return DBusToggleSignal::send(bus) ? 0 : fail(QStringLiteral("the signal was not sent"));
    }
    if (!bus.interface()->isServiceRegistered(dbus::kServiceName).value()) {
        return fail(QStringLiteral("kestrel is not running"));
    }
    QString method;
    QVariantList arguments;
    switch (command.kind) {
        case ControlCommand::Kind::status:
            method = QStringLiteral("Status");
            break;
        case ControlCommand::Kind::recordStart:
            method = QStringLiteral("StartRecording");
            break;
        case ControlCommand::Kind::recordStop:
            method = QStringLiteral("StopRecording");
            break;
        case ControlCommand::Kind::forceAway:
            method = QStringLiteral("SetForceAway");
            arguments.append(command.on);
            break;
        case ControlCommand::Kind::checkUpdates:
            method = QStringLiteral("CheckForUpdates");
            break;
        case ControlCommand::Kind::toggleAway:
            break;
    }
    auto call = QDBusMessage::createMethodCall(dbus::kServiceName, dbus::kControlPath,
                                               dbus::kControlInterface, method);
    call.setArguments(arguments);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const bool update = command.kind == ControlCommand::Kind::checkUpdates &&
                            reply.errorName() == dbus::kUpdateError;
        return fail(update ? QStringLiteral("update check failed: ") + reply.errorMessage()
                           : reply.errorMessage());
    }
    const QVariant answer = reply.arguments().value(0);
    switch (command.kind) {
        case ControlCommand::Kind::status:
        case ControlCommand::Kind::checkUpdates:
            std::printf("%s\n", answer.toString().toUtf8().constData());
            break;
        case ControlCommand::Kind::recordStart:
            std::printf("%s\n", answer.toBool() ? "recording" : "already recording");
            break;
        case ControlCommand::Kind::recordStop:
            if (answer.toString().isEmpty()) {
                return fail(QStringLiteral("no loop was saved (nothing was recording)"));
            }
            std::printf("%s\n", answer.toString().toUtf8().constData());
            break;
        case ControlCommand::Kind::forceAway:
        case ControlCommand::Kind::toggleAway:
            break;
    }
    return 0;
}

}  // namespace kestrel
