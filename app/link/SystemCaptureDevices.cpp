#include "app/link/SystemCaptureDevices.h"

#include <fstream>
#include <system_error>

#include "app/link/ExtensionHealthProbe.h"
#include "app/link/PipeWireSources.h"

namespace kestrel {

namespace {

void addPipeWireSources(std::chrono::milliseconds timeout, std::vector<std::string>& names) {
    kestrel_pw_list_video_sources(
        static_cast<int>(timeout.count()),
        [](void* data, const char* name) {
            static_cast<std::vector<std::string>*>(data)->emplace_back(name);
        },
        &names);
}

// A loopback device counts only while it is fed: v4l2loopback reports a format in sysfs once a
// writer made the device ready for capture, and nothing before or after. A device that nobody
// writes shows readers nothing, whatever its label.
void addFedLoopbackDevices(const std::filesystem::path& folder, std::vector<std::string>& names) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().filename().string().rfind("video", 0) != 0) {
            continue;
        }
        std::ifstream formatIn(entry.path() / "format");
        std::string format;
        if (!std::getline(formatIn, format) || format.empty()) {
            continue;
        }
        std::ifstream in(entry.path() / "name");
        std::string name;
        if (std::getline(in, name) && !name.empty()) {
            names.push_back(std::move(name));
        }
    }
}

}  // namespace

SystemCaptureDevices::SystemCaptureDevices(Executor& main, Options options)
    : main_(main),
      options_(std::move(options)),
      worker_(std::make_unique<WorkerThread>("dev.corvid.kestrel.devices")) {}

SystemCaptureDevices::~SystemCaptureDevices() {
    worker_.reset();
}

std::vector<std::string> SystemCaptureDevices::list(const Options& options) {
    std::vector<std::string> names;
    if (options.pipewire) {
        addPipeWireSources(options.pipewireTimeout, names);
    }
    if (!options.video4linuxFolder.empty()) {
        addFedLoopbackDevices(options.video4linuxFolder, names);
    }
    return names;
}

void SystemCaptureDevices::listCaptureDeviceNames(
    std::function<void(std::vector<std::string>)> done) {
    Executor* main = &main_;
    worker_->post([main, options = options_, done = std::move(done)]() mutable {
        auto names = list(options);
        main->post([done = std::move(done), names = std::move(names)]() mutable {
            done(std::move(names));
        });
    });
}

CameraVisibility SystemCaptureDevices::visibility(const Options& options) {
    std::vector<std::string> names;
    if (options.pipewire) {
        addPipeWireSources(options.pipewireTimeout, names);
        if (isVirtualCameraVisible(names)) {
            return CameraVisibility::pipewire;
        }
        names.clear();
    }
    if (!options.video4linuxFolder.empty()) {
        addFedLoopbackDevices(options.video4linuxFolder, names);
        if (isVirtualCameraVisible(names)) {
            return CameraVisibility::v4l2loopback;
        }
    }
    return CameraVisibility::none;
}

void SystemCaptureDevices::visibility(std::function<void(CameraVisibility)> done) {
    Executor* main = &main_;
    worker_->post([main, options = options_, done = std::move(done)]() mutable {
        const CameraVisibility seen = visibility(options);
        main->post([done = std::move(done), seen] { done(seen); });
    });
}

}  // namespace kestrel
