#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string_view>

#include "app/sources/CaptureBackend.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"

namespace kestrel {

// A video file played in a loop as if it were a camera: one device, named after the file,
// delivering the file's frames scaled to fill the configured size (1280x720) at the configured
// rate (15 per second), whatever the file's own size and rate. At the end of the file it starts
// again from the first frame. Frame times are the host clock's at delivery.
//
// Threads: the CaptureBackend calls on the main thread; the file is opened, decoded and delivered
// on `capture`, by a repeating timer.
class FileCameraBackend final : public CaptureBackend {
  public:
    static constexpr std::string_view kIdPrefix = "file:";

    FileCameraBackend(Executor& capture, const HostClock& hostClock, std::filesystem::path file);
    ~FileCameraBackend() override;
    FileCameraBackend(const FileCameraBackend&) = delete;
    FileCameraBackend& operator=(const FileCameraBackend&) = delete;

    CaptureDevice device() const;

    std::vector<CaptureDevice> devices() override;
    std::optional<CaptureDevice> defaultDevice() override;
    void setDelegate(std::weak_ptr<CaptureDelegate> delegate) override;
    // Refuses other devices, and fails with the system's error when the file cannot be read.
    std::optional<CaptureConfigureError> configure(const CaptureDevice& device,
                                                   const CaptureSettings& settings) override;
    void unconfigure() override;
    // Opens the file on the capture queue; a file that is no playable movie does not run.
    void startRunning(std::function<void(bool running)> done) override;
    void stopRunning() override;
    bool isRunning() const override;

  private:
    struct Player;

    Executor& capture_;
    const HostClock& hostClock_;
    std::filesystem::path file_;
    std::shared_ptr<Player> player_;
    bool configured_ = false;
};

}  // namespace kestrel
