#pragma once

// `kestrel --setup-loopback`: loads v4l2loopback with the options the camera daemon expects, for
// applications that only read /dev/video*. Root is asked for through pkexec; the exact command is
// shown before it runs, and the outcome says what happened and what to do next.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/link/LinuxExtensionService.h"

namespace kestrel {

class LoopbackSetup {
  public:
    struct Options {
        std::filesystem::path loadedModule = "/sys/module/v4l2loopback";
        // The running kernel's module index (modules.dep); empty: /lib/modules/<release>.
        std::filesystem::path moduleFolder;
        std::shared_ptr<CommandRunner> commands;  // null: a ProcessCommandRunner of 5 minutes
        std::function<void(const std::string& line)> say;
    };
    struct Result {
        int exitStatus = 1;
        std::string message;
    };

    explicit LoopbackSetup(Options options);

    // pkexec /sbin/modprobe v4l2loopback with the device number and label.
    static std::vector<std::string> command();
    static constexpr int kDeviceNumber = 10;

    Result run();

  private:
    bool moduleInstalled() const;

    Options options_;
};

}  // namespace kestrel
