#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "app/engine/FramePorts.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

// A camera that needs no device: 1280x720 BGRA at 15 frames per second, with bars that move one
// step per frame and the frame number drawn large, so a frozen or repeated frame is easy to see.
// Frames are delivered on its own capture thread, like a real camera's.
class TestPatternCamera final : public WebcamSource {
  public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;
    static constexpr int kFramesPerSecond = 15;

    explicit TestPatternCamera(const HostClock& clock = systemHostClock());
    ~TestPatternCamera() override;

    void setOnFrame(FrameHandler onFrame) override;
    MaybeError start() override;
    void restart() override;

    // Draws frame number `index` into `frame`; exposed so tests can check the picture.
    static void drawFrame(PixelBuffer& frame, std::uint64_t index);

  private:
    void tick();

    const HostClock& clock_;
    WorkerThread capture_{"dev.corvid.kestrel.webcam"};
    PixelBufferPoolRef pool_;
    std::mutex handlerMutex_;
    FrameHandler onFrame_;
    Handle timer_;  // capture thread only
    std::uint64_t frameIndex_ = 0;
};

}  // namespace kestrel
