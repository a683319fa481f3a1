#pragma once

// The video capture devices a meeting application could open, by name: cameras on the camera
// link, PipeWire video sources and V4L2 capture devices. Listing runs on a worker thread of its
// own (PipeWire's round trip is bounded, but not free); the answer comes back on the main
// executor.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/link/ExtensionBridge.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

class SystemCaptureDevices final : public CaptureDeviceLister {
  public:
    struct Options {
        // The camera link folder; empty: the default one.
        std::filesystem::path linkFolder;
        bool pipewire = true;
        std::chrono::milliseconds pipewireTimeout{500};
        // Where V4L2 devices are described; empty: V4L2 is not asked.
        std::filesystem::path video4linuxFolder = "/sys/class/video4linux";

        static Options forThisProcess() { return {}; }
    };

    SystemCaptureDevices(Executor& main, Options options);
    ~SystemCaptureDevices() override;
    SystemCaptureDevices(const SystemCaptureDevices&) = delete;
    SystemCaptureDevices& operator=(const SystemCaptureDevices&) = delete;

    void listCaptureDeviceNames(std::function<void(std::vector<std::string>)> done) override;

    // The listing itself, on the calling thread; `work` hosts the camera link client.
    static std::vector<std::string> list(Executor& work, const Options& options);

  private:
    Executor& main_;
    Options options_;
    std::unique_ptr<WorkerThread> worker_;
};

}  // namespace kestrel
