#pragma once

#include <filesystem>

#include "platform/runtime/Error.h"

namespace kestrel {

// "Start at login": the XDG autostart entry $XDG_CONFIG_HOME/autostart/dev.corvid.kestrel.desktop
// that desktops read at login. Absent by default; enabling writes it (atomically) to run
// `program`, disabling removes it. An entry the user turned off in the desktop's own settings
// (Hidden=true) counts as disabled.
class AutostartEntry {
  public:
    AutostartEntry(std::filesystem::path configFolder, std::filesystem::path program);
    // $XDG_CONFIG_HOME (or ~/.config) and this process's own program.
    static AutostartEntry forThisProcess();

    std::filesystem::path path() const;
    bool isEnabled() const;
    MaybeError setEnabled(bool enabled);

  private:
    std::filesystem::path configFolder_;
    std::filesystem::path program_;
};

}  // namespace kestrel
