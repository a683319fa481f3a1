#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "app/sources/CaptureBackend.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"

namespace kestrel {

// A camera that needs no device: one generated device, "Test Pattern", delivering BGRA frames of
// the configured size (1280x720) at the configured rate (15 per second). Each frame shows bars
// that move a step per frame, the frame number and the wall-clock time, so that a frozen,
// repeated or late frame is plain to see downstream. The frame number continues across restarts.
//
// Threads: the CaptureBackend calls on the main thread; frames are drawn and delivered on
// `capture` by a repeating timer.
class TestPatternBackend final : public CaptureBackend {
  public:
    static constexpr std::string_view kDeviceId = "pattern";
    static constexpr std::string_view kDeviceName = "Test Pattern";

    TestPatternBackend(Executor& capture, const HostClock& hostClock, const WallClock& wallClock);
    ~TestPatternBackend() override;
    TestPatternBackend(const TestPatternBackend&) = delete;
    TestPatternBackend& operator=(const TestPatternBackend&) = delete;

    static CaptureDevice device();

    std::vector<CaptureDevice> devices() override;
    std::optional<CaptureDevice> defaultDevice() override;
    void setDelegate(std::weak_ptr<CaptureDelegate> delegate) override;
    std::optional<CaptureConfigureError> configure(const CaptureDevice& device,
                                                   const CaptureSettings& settings) override;
    void unconfigure() override;
    void startRunning(std::function<void(bool running)> done) override;
    void stopRunning() override;
    bool isRunning() const override;

    // Where the pattern puts its read-outs, so tests can read them back.
    struct Layout {
        static constexpr int kDigitWidth = 40;
        static constexpr int kDigitHeight = 70;
        static constexpr int kStroke = 8;
        static constexpr int kDigitPitch = 50;
        static constexpr int kCounterDigits = 6;
        // "HH MM SS", two digits per field with a gap of one digit between fields.
        static constexpr int kTimeFields = 3;
        static constexpr int kBarStepPerFrame = 8;
        static int counterX() { return 40; }
        static int counterY(int height) { return height - 120; }
        static int timeX(int width) { return width - 40 - 8 * kDigitPitch; }
        static int timeY(int height) { return height - 120; }
    };
    // Draws frame number `index` at wall-clock time `time` (local time of day) into `frame`.
    // `shown`: the frame number `frame` already shows, so that only the bars' edges that moved
    // since are painted again.
    static void drawFrame(PixelBuffer& frame, std::uint64_t index,
                          std::chrono::system_clock::time_point time,
                          std::optional<std::uint64_t> shown = std::nullopt);

  private:
    struct Generator;

    Executor& capture_;
    const HostClock& hostClock_;
    const WallClock& wallClock_;
    std::shared_ptr<Generator> generator_;
    bool configured_ = false;
};

}  // namespace kestrel
