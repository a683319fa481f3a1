#pragma once

#include <QDBusConnection>

namespace kestrel {

// One request to the running application, from the command line.
struct ControlCommand {
    enum class Kind { toggleAway, status, recordStart, recordStop, forceAway, checkUpdates };
    Kind kind = Kind::status;
    bool on = false;  // forceAway
};

// Sends `command` and prints the answer (stdout) or what went wrong (stderr). Returns the process
// exit status: 0 on success, 1 when no instance runs, the bus is missing or the call failed.
int runControlCommand(QDBusConnection bus, const ControlCommand& command);

}  // namespace kestrel
