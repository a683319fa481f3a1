#pragma once

// A dbus-daemon of our own for tests, without service activation, so no real service (a desktop
// portal, a tray host) can start on it.

#include <fstream>
#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempFolder.h"

namespace kestrel::testing {

class PrivateBus {
  public:
    PrivateBus() {
        const std::string program = ChildProcess::which("dbus-daemon");
        if (program.empty() || folder_.path().empty()) {
            return;
        }
        const std::string dir = folder_.path().string();
        std::ofstream(dir + "/bus.conf")
            << "<busconfig><type>session</type><listen>unix:path=" << dir
            << "/socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        daemon_.emplace(std::vector<std::string>{program, "--nofork", "--print-address=1",
                                                 "--config-file=" + dir + "/bus.conf"});
    }
    // False when dbus-daemon is not installed.
    bool installed() const { return daemon_.has_value(); }
    // Empty when the daemon did not start.
    std::string address() const { return daemon_ ? daemon_->line() : std::string(); }

  private:
    TempFolder folder_;
    std::optional<ReadyChild> daemon_;
};

}  // namespace kestrel::testing
