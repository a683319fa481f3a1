#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "app/engine/FramePorts.h"
#include "app/sources/CaptureBackend.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Log.h"

namespace kestrel {

// The connection to the user's real camera: picks one device of the backend (a built-in camera
// first, never another product's virtual camera or our own), asks it for 1280x720 BGRA at 15
// frames per second and hands frames to `onFrame`. Recovers by itself from interruptions and
// runtime errors of the session; all it reports goes to the log (category "Webcam").
//
// Threads: construction, start(), restart() and destruction on the main thread (`main`); they
// return at once (destruction waits only for device work already under way). Every call into the
// backend (listing, opening and configuring devices, starting and stopping) runs in order on
// `device`, which may block; failures come back to the main thread to be logged. Frames arrive on
// the backend's capture queue; at most one waits for the main thread, where `onFrame` is called. A
// newer frame replaces a waiting one (a late drop), and the next frame is handed on only once the
// tasks the handler posted to the main thread have run, so a busy main thread never collects a
// backlog of camera frames.
class WebcamCapture final : public WebcamSource {
  public:
    static constexpr std::string_view kErrorDomain = "WebcamCapture";
    // Other products' virtual cameras, and our own ("Kestrel"): never chosen among external
    // devices. Matched as case-sensitive substrings of the device name.
    static constexpr std::array<std::string_view, 9> kExcludedNames = {
        "Kestrel",     "OBS Virtual Camera", "OBS",    "Camo",   "mmhmm",
        "NDI Virtual", "Snap Camera",        "XSplit", "ManyCam"};
    // The pause between tearing the session down and starting it again, so a device that is
    // being released by the driver is free again when we reopen it.
    static constexpr std::chrono::milliseconds kRestartDelay{150};
    // Frame-count log lines: the first frame, then one line per this many frames.
    static constexpr std::int64_t kFrameLogInterval = 60;

    WebcamCapture(std::shared_ptr<CaptureBackend> backend, Executor& main, Executor& device,
                  CaptureSettings settings = {});
    ~WebcamCapture() override;
    WebcamCapture(const WebcamCapture&) = delete;
    WebcamCapture& operator=(const WebcamCapture&) = delete;

    void setOnFrame(FrameHandler onFrame) override;
    // Begins choosing, configuring and starting the camera on `device`; never fails here: a
    // failure is logged ("start failed: ...") once `device` knows it.
    MaybeError start() override;
    void restart() override;

    // The device rules: external devices named like an excluded product are dropped, the first
    // built-in device wins, else the first remaining one, else `fallback` whatever its name.
    static bool isExcluded(const CaptureDevice& device);
    static std::optional<CaptureDevice> chooseDevice(
        const std::vector<CaptureDevice>& devices,
        const std::function<std::optional<CaptureDevice>()>& fallback);

    // Frames delivered since construction; never reset.
    std::int64_t frameCount() const;
    // Frames replaced by a newer one while they waited for the main thread; never reset.
    std::uint64_t lateFrameDrops() const;
    bool notificationsInstalled() const { return notificationsInstalled_; }

  private:
    class Receiver;
    struct Device;

    void beginStart(std::string_view failureLine);
    // Runs `task` with the backend on `device`, unless the capture object is gone by then.
    void onDevice(std::function<void(CaptureBackend&)> task);
    static MaybeError configureAndStart(CaptureBackend& backend, const CaptureSettings& settings,
                                        const Log& log);

    std::shared_ptr<CaptureBackend> backend_;
    std::shared_ptr<Device> device_;
    Executor& main_;
    Executor& deviceExecutor_;
    CaptureSettings settings_;
    Log log_;
    // Tasks that outlive a call check this on the main thread before touching the object.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::shared_ptr<Receiver> receiver_;  // after alive_: built from it
    bool notificationsInstalled_ = false;
};

}  // namespace kestrel
