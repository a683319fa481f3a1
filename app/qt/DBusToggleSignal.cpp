#include "app/qt/DBusToggleSignal.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "app/qt/DBusNames.h"

namespace kestrel {

DBusToggleSignal::DBusToggleSignal(QDBusConnection bus) : bus_(std::move(bus)) {
    listening_ = bus_.isConnected() && bus_.connect(QString(), QString(), dbus::kToggleInterface,
                                                    dbus::kToggleMember, this, SLOT(onToggle()));
}

DBusToggleSignal::~DBusToggleSignal() {
    if (listening_) {
        bus_.disconnect(QString(), QString(), dbus::kToggleInterface, dbus::kToggleMember, this,
                        SLOT(onToggle()));
    }
}

Handle DBusToggleSignal::observeToggle(std::function<void()> onToggle) {
    return toggled_.connect(std::move(onToggle));
}

void DBusToggleSignal::onToggle() {
    toggled_.emit();
}

bool DBusToggleSignal::send(QDBusConnection bus) {
    if (!bus.isConnected()) {
        return false;
    }
    const auto signal =
        QDBusMessage::createSignal(dbus::kTogglePath, dbus::kToggleInterface, dbus::kToggleMember);
    if (!bus.send(signal)) {
        return false;
    }
    // A round trip on the same connection: the bus has the signal once the answer is back.
    return bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")).isValid();
}

}  // namespace kestrel
