#include "app/link/LoopbackSetup.h"

#include <sys/utsname.h>

#include <fstream>

namespace kestrel {

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string line;
    for (const auto& word : words) {
        line += (line.empty() ? "" : " ") + word;
    }
    return line;
}

// pkexec's own statuses: the user dismissed the dialog, or was not authorized.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

}  // namespace

LoopbackSetup::LoopbackSetup(Options options) : options_(std::move(options)) {
    if (!options_.commands) {
        options_.commands = std::make_shared<ProcessCommandRunner>(std::chrono::minutes(5));
    }
    if (options_.moduleFolder.empty()) {
        utsname name{};
        ::uname(&name);
        options_.moduleFolder = std::filesystem::path("/lib/modules") / name.release;
    }
}

std::vector<std::string> LoopbackSetup::command() {
    return {"pkexec",
            "/sbin/modprobe",
            "v4l2loopback",
            "video_nr=" + std::to_string(kDeviceNumber),
            "card_label=Kestrel",
            "exclusive_caps=1"};
}

bool LoopbackSetup::moduleInstalled() const {
    std::ifstream index(options_.moduleFolder / "modules.dep");
    std::string line;
    while (std::getline(index, line)) {
        const auto colon = line.find(':');
        const auto name = line.substr(0, colon);
        const auto slash = name.rfind('/');
        const auto file = slash == std::string::npos ? name : name.substr(slash + 1);
        if (file.rfind("v4l2loopback.ko", 0) == 0) {
            return true;
        }
    }
    return false;
}

LoopbackSetup::Result LoopbackSetup::run() {
    std::error_code ec;
    const std::string device = "/dev/video" + std::to_string(kDeviceNumber);
    if (std::filesystem::exists(options_.loadedModule, ec)) {
        return {0,
                "v4l2loopback is loaded already; to load it with Kestrel's options, unload it "
                "(sudo modprobe -r v4l2loopback) and run kestrel --setup-loopback again"};
    }
    if (!moduleInstalled()) {
        return {1,
                "the v4l2loopback module is not installed for this kernel: install the Debian "
                "package v4l2loopback-dkms (sudo apt-get install v4l2loopback-dkms), then run "
                "kestrel --setup-loopback again"};
    }
    const auto words = command();
    if (options_.say) {
        options_.say("running: " + joined(words));
    }
    const auto result = options_.commands->run(words);
    const std::string manual = "sudo " + joined({words.begin() + 1, words.end()});
    switch (result.exitStatus) {
        case 0:
            return {0, "loaded v4l2loopback: the camera \"Kestrel\" is " + device};
        case -1:
            return {1, "could not run pkexec (Debian package pkexec); load the module yourself: " +
                           manual};
        case kPkexecDismissed:
        case kPkexecNotAuthorized:
            return {1, "not authorized to load v4l2loopback; nothing changed"};
        default:
            return {1, "modprobe failed with status " + std::to_string(result.exitStatus) +
                           "; nothing changed"};
    }
}

}  // namespace kestrel
