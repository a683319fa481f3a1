#include "app/link/SystemCaptureDevices.h"

#include <fstream>
#include <system_error>

#include "app/link/PipeWireSources.h"
#include "platform/link/LinkClient.h"
#include "platform/link/Transport.h"

namespace kestrel {

namespace {

// A provider answers in well under a millisecond; this only bounds one that hangs.
constexpr std::chrono::milliseconds kLinkReplyTimeout{300};

void addLinkCameras(Executor& work, const std::filesystem::path& folder,
                    std::vector<std::string>& names) {
    link::LinkClient client(work, kLinkReplyTimeout);
    if (!folder.empty()) {
        client.setFolderForTesting(folder);
    }
    std::vector<std::uint32_t> devices;
    if (client.getProperty(link::kSystemObject, link::property::devices, devices) !=
        link::status::ok) {
        return;
    }
    for (std::uint32_t device : devices) {
        std::string name;
        if (client.getProperty(device, link::property::name, name) == link::status::ok) {
            names.push_back(std::move(name));
        }
    }
}

void addPipeWireSources(std::chrono::milliseconds timeout, std::vector<std::string>& names) {
    kestrel_pw_list_video_sources(
        static_cast<int>(timeout.count()),
        [](void* data, const char* name) {
            static_cast<std::vector<std::string>*>(data)->emplace_back(name);
        },
        &names);
}

void addV4l2Devices(const std::filesystem::path& folder, std::vector<std::string>& names) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().filename().string().rfind("video", 0) != 0) {
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

std::vector<std::string> SystemCaptureDevices::list(Executor& work, const Options& options) {
    std::vector<std::string> names;
    addLinkCameras(work, options.linkFolder, names);
    if (options.pipewire) {
        addPipeWireSources(options.pipewireTimeout, names);
    }
    if (!options.video4linuxFolder.empty()) {
        addV4l2Devices(options.video4linuxFolder, names);
    }
    return names;
}

void SystemCaptureDevices::listCaptureDeviceNames(
    std::function<void(std::vector<std::string>)> done) {
    WorkerThread* worker = worker_.get();
    Executor* main = &main_;
    worker->post([worker, main, options = options_, done = std::move(done)]() mutable {
        auto names = list(*worker, options);
        main->post([done = std::move(done), names = std::move(names)]() mutable {
            done(std::move(names));
        });
    });
}

}  // namespace kestrel
