#pragma once

// The video capture devices a meeting application could open, by name: PipeWire video sources
// and the v4l2loopback devices that are being fed. Cameras on the camera link do not count: no
// meeting application reads it. Listing runs on a worker thread of its own (PipeWire's round trip
// is bounded, but not free); the answer comes back on the main executor.

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

    // How "Kestrel" can be opened; `done` runs on the main executor.
    void visibility(std::function<void(CameraVisibility)> done);

    // The listing itself, on the calling thread.
    static std::vector<std::string> list(const Options& options);
    static CameraVisibility visibility(const Options& options);

  private:
    Executor& main_;
    Options options_;
    std::unique_ptr<WorkerThread> worker_;
};

}  // namespace kestrel
