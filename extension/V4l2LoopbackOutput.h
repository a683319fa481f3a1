#pragma once

// The v4l2loopback output (design.md): when a loopback device whose card label is "Kestrel"
// exists, it is opened at the daemon's start, set to YUYV 1920x1080 at 30 per second, and kept
// fed 30 times a second with the last frame (black until one came), since with exclusive_caps a
// device that nobody writes drops out of browsers' lists. Readers are counted from the module's
// client-usage event where it sends one; otherwise the device counts as always read. While nobody
// reads, the device gets black and frames sent meanwhile are ignored, so a reader that opens it
// later never sees an old picture. Without a device (none yet, or one that failed a write) the
// device list is looked at again every two seconds.
//
// Thread affinity: open(), the write timer and event checks on the writer executor (its own
// worker thread in the daemon); send() on the consume queue hands a converted frame over by a
// posted task; source starts and stops are posted to the main thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extension/CameraProvider.h"
#include "extension/FrameConvert.h"
#include "extension/FrameOutputs.h"
#include "extension/V4l2Device.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"

namespace kestrel::camera {

// The card label v4l2loopback is given by `modprobe v4l2loopback card_label=Kestrel`.
inline constexpr std::string_view kLoopbackCardLabel = "Kestrel";
// v4l2loopback's private event telling how many capture clients stream (its header's value).
inline constexpr std::uint32_t kV4l2EventClientUsage = 0x08000000 + 0x08E00000 + 1;

class V4l2LoopbackOutput final : public FrameOutput {
  public:
    // `converter` may be shared with the other outputs fed on the consume queue.
    V4l2LoopbackOutput(
        V4l2Device& device, Executor& writer, Executor& main, SourceStreamSource& sourceStream,
        std::shared_ptr<OutputConverter> converter = std::make_shared<OutputConverter>());
    ~V4l2LoopbackOutput() override;
    V4l2LoopbackOutput(const V4l2LoopbackOutput&) = delete;
    V4l2LoopbackOutput& operator=(const V4l2LoopbackOutput&) = delete;

    // Finds and sets up the device and starts feeding it. Writer executor. False (logged once,
    // with how to create the device) when there is none; a device that appears later is opened
    // then.
    bool open();
    // Stops feeding, closes the device and stops looking for one. Writer executor.
    void close();

    void send(const SampleBuffer& buffer, std::uint64_t hostTimeNanos) override;

    // Writer executor.
    const std::string& devicePath() const { return path_; }
    std::uint64_t framesWritten() const { return written_; }
    std::uint64_t writesDropped() const { return dropped_; }
    bool usageEvents() const { return usageEvents_; }

    static constexpr std::uint32_t kWidth = 1920;
    static constexpr std::uint32_t kHeight = 1080;
    static constexpr std::uint32_t kBytesPerLine = kWidth * 2;
    static constexpr std::uint32_t kFrameBytes = kBytesPerLine * kHeight;
    // How often the device list is looked at again while there is no device.
    static constexpr Nanos kRescanInterval{2'000'000'000};

  private:
    // Opens the first usable device of `devices`.
    bool openFirst(const std::vector<std::string>& devices);
    void closeDevice();
    // Looks at the device list every kRescanInterval until a device opens.
    void keepLooking();
    void rescan();
    bool setUp(int fd);
    void tick();
    void checkEvents();
    void setReaders(bool reading);
    void fail(const char* what, int error);

    V4l2Device& device_;
    Executor& writer_;
    Executor& main_;
    OutputClient client_;  // main thread
    int fd_ = -1;
    std::string path_;
    Handle timer_;
    bool usageEvents_ = false;
    std::shared_ptr<const PixelBuffer> latest_;  // YUYV rows in a 960-pixel buffer; writer
    std::shared_ptr<const PixelBuffer> black_;   // writer
    std::atomic<bool> reading_{false};           // written by the writer
    Handle rescanTimer_;                         // writer
    std::vector<std::string> scanned_;           // the device list of the last search; writer
    bool retrySameDevices_ = false;              // after a failure; writer
    std::uint64_t written_ = 0;
    std::uint64_t dropped_ = 0;
    std::atomic<bool> open_{false};
    std::shared_ptr<OutputConverter> converter_;  // consume queue
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::camera
