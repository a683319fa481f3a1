#pragma once

#include <QString>

// The application's names on the session bus.
namespace kestrel::dbus {

// The cross-process toggle: a signal with no arguments, on any object path.
inline const QString kToggleInterface = QStringLiteral("dev.corvid.kestrel");
inline const QString kToggleMember = QStringLiteral("toggleForceAway");
// The path a sender uses; receivers accept any.
inline const QString kTogglePath = QStringLiteral("/dev/corvid/kestrel");

// The running application: one owner of the name at a time.
inline const QString kServiceName = QStringLiteral("dev.corvid.kestrel");
inline const QString kControlPath = QStringLiteral("/dev/corvid/kestrel");
inline const QString kControlInterface = QStringLiteral("dev.corvid.kestrel.Control");
inline const QString kRecorderError = QStringLiteral("dev.corvid.kestrel.Error.Recorder");
inline const QString kUpdateError = QStringLiteral("dev.corvid.kestrel.Error.Update");
inline const QString kNotReadyError = QStringLiteral("dev.corvid.kestrel.Error.NotReady");

}  // namespace kestrel::dbus
