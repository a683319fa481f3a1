#include "app/sources/TestPatternBackend.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <unordered_map>

#include <libyuv/planar_functions.h>

namespace kestrel {

namespace {

constexpr int kBarCount = 8;
constexpr std::array<std::uint32_t, kBarCount> kBarColours = {0xFFC0C0C0U, 0xFFC0C000U, 0xFF00C0C0U,
                                                              0xFF00C000U, 0xFFC000C0U, 0xFFC00000U,
                                                              0xFF0000C0U, 0xFF101010U};
constexpr std::uint32_t kInk = 0xFFFFFFFFU;
constexpr std::uint32_t kPaper = 0xFF000000U;

// Segments a..g of a seven-segment digit, as bits 0..6.
constexpr std::array<std::uint8_t, 10> kDigitSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                         0x6D, 0x7D, 0x07, 0x7F, 0x6F};

using Layout = TestPatternBackend::Layout;

// Fills a rectangle, clipped to the frame.
void rect(PixelBuffer& frame, int x, int y, int w, int h, std::uint32_t argb) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + w, frame.width());
    const int bottom = std::min(y + h, frame.height());
    if (right > left && bottom > top) {
        libyuv::ARGBRect(frame.data(), frame.stride(), left, top, right - left, bottom - top, argb);
    }
}

void drawDigit(PixelBuffer& frame, int x, int y, int digit) {
    constexpr int kW = Layout::kDigitWidth;
    constexpr int kH = Layout::kDigitHeight;
    constexpr int kT = Layout::kStroke;
    const std::uint8_t segments = kDigitSegments[static_cast<std::size_t>(digit)];
    const struct {
        int x, y, w, h;
    } parts[7] = {{kT, 0, kW - 2 * kT, kT},
                  {kW - kT, kT, kT, kH / 2 - kT},
                  {kW - kT, kH / 2, kT, kH / 2 - kT},
                  {kT, kH - kT, kW - 2 * kT, kT},
                  {0, kH / 2, kT, kH / 2 - kT},
                  {0, kT, kT, kH / 2 - kT},
                  {kT, kH / 2 - kT / 2, kW - 2 * kT, kT}};
    for (int s = 0; s < 7; ++s) {
        if ((segments >> s) & 1U) {
            rect(frame, x + parts[s].x, y + parts[s].y, parts[s].w, parts[s].h, kInk);
        }
    }
}

// `count` decimal digits of `value`, most significant first, on a black box.
void drawNumber(PixelBuffer& frame, int x, int y, std::uint64_t value, int count) {
    for (int d = count - 1; d >= 0; --d) {
        drawDigit(frame, x + d * Layout::kDigitPitch, y, static_cast<int>(value % 10));
        value /= 10;
    }
}

}  // namespace

// The generator's state lives on the capture queue; the main thread only flips `running`.
struct TestPatternBackend::Generator {
    std::atomic<bool> running{false};
    // Capture queue only.
    std::weak_ptr<CaptureDelegate> delegate;
    std::shared_ptr<CaptureFramePool> pool;
    Handle timer;
    std::uint64_t index = 0;
    // The frame number each buffer of the pool shows: buffers come back unchanged (frames are
    // read-only downstream), so the next picture in one is drawn from what it holds.
    std::unordered_map<const PixelBuffer*, std::uint64_t> shown;
};

TestPatternBackend::TestPatternBackend(Executor& capture, const HostClock& hostClock,
                                       const WallClock& wallClock)
    : capture_(capture),
      hostClock_(hostClock),
      wallClock_(wallClock),
      generator_(std::make_shared<Generator>()) {}

TestPatternBackend::~TestPatternBackend() {
    unconfigure();
}

CaptureDevice TestPatternBackend::device() {
    return CaptureDevice{std::string(kDeviceId), std::string(kDeviceName),
                         CaptureDeviceKind::other};
}

std::vector<CaptureDevice> TestPatternBackend::devices() {
    return {device()};
}

std::optional<CaptureDevice> TestPatternBackend::defaultDevice() {
    return device();
}

void TestPatternBackend::setDelegate(std::weak_ptr<CaptureDelegate> delegate) {
    capture_.post([generator = generator_, delegate = std::move(delegate)] {
        generator->delegate = delegate;
    });
}

std::optional<CaptureConfigureError> TestPatternBackend::configure(
    const CaptureDevice& chosen, const CaptureSettings& settings) {
    if (configured_ || chosen.id != kDeviceId) {
        return CaptureConfigureError{CaptureConfigureError::Kind::inputRefused, {}};
    }
    auto pool = CaptureFramePool::create(settings.width, settings.height);
    if (!pool || settings.framesPerSecond <= 0) {
        return CaptureConfigureError{CaptureConfigureError::Kind::outputRefused, {}};
    }
    configured_ = true;
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / settings.framesPerSecond);
    // The timer is made once per configuration and draws only while the generator runs.
    capture_.post([generator = generator_, pool = std::move(pool), interval, exec = &capture_,
                   host = &hostClock_, wall = &wallClock_] {
        generator->pool = pool;
        generator->shown.clear();
        std::weak_ptr<Generator> weak = generator;
        generator->timer = exec->startTimer(interval, [weak, host, wall] {
            auto self = weak.lock();
            if (!self || !self->running.load()) {
                return;
            }
            PixelBufferRef frame = self->pool->acquire();
            auto delegate = self->delegate.lock();
            if (!frame || !delegate) {
                return;  // every buffer held downstream, or nobody listening: the frame is skipped
            }
            const auto held = self->shown.find(frame.get());
            drawFrame(*frame, self->index, wall->now(),
                      held != self->shown.end() ? std::optional(held->second) : std::nullopt);
            self->shown[frame.get()] = self->index++;
            delegate->captureOutput(frame, MediaTime::fromNanos(host->nowNanos()));
        });
    });
    return std::nullopt;
}

void TestPatternBackend::unconfigure() {
    if (!configured_) {
        return;
    }
    configured_ = false;
    generator_->running.store(false);
    capture_.post([generator = generator_] { generator->timer.reset(); });
}

void TestPatternBackend::startRunning(std::function<void(bool running)> done) {
    const bool canRun = configured_;
    if (canRun) {
        generator_->running.store(true);
    }
    capture_.post([canRun, done = std::move(done)] { done(canRun); });
}

void TestPatternBackend::stopRunning() {
    generator_->running.store(false);
}

bool TestPatternBackend::isRunning() const {
    return generator_->running.load();
}

void TestPatternBackend::drawFrame(PixelBuffer& frame, std::uint64_t index,
                                   std::chrono::system_clock::time_point time,
                                   std::optional<std::uint64_t> shown) {
    const int width = frame.width();
    const int height = frame.height();
    const int barWidth = (width + kBarCount - 1) / kBarCount;
    const auto travel = static_cast<std::uint64_t>(width);
    const auto shiftOf = [&](std::uint64_t n) {
        return static_cast<int>((n * Layout::kBarStepPerFrame) % travel);
    };
    const int shift = shiftOf(index);
    // Bars that tile the width and moved less than a bar since `shown`: each bar only grows at
    // its right edge into what its neighbour held, and those strips are all that changed.
    const int moved = shown ? (shift - shiftOf(*shown) + width) % width : width;
    const bool edgesOnly = barWidth * kBarCount == width && moved < barWidth;
    for (int i = 0; edgesOnly && i < kBarCount; ++i) {
        const int x = (i * barWidth + shift + barWidth - moved) % width;
        const int w = std::min(moved, width - x);
        rect(frame, x, 0, w, height, kBarColours[static_cast<std::size_t>(i)]);
        rect(frame, 0, 0, moved - w, height, kBarColours[static_cast<std::size_t>(i)]);
    }
    for (int i = 0; !edgesOnly && i < kBarCount; ++i) {
        // Each bar is drawn in up to two pieces where it wraps around the right edge.
        const int x = (i * barWidth + shift) % width;
        const int w = std::min(barWidth, width - x);
        rect(frame, x, 0, w, height, kBarColours[static_cast<std::size_t>(i)]);
        if (w < barWidth) {
            rect(frame, 0, 0, barWidth - w, height, kBarColours[static_cast<std::size_t>(i)]);
        }
    }

    // The frame number, bottom left.
    const int counterX = Layout::counterX();
    const int counterY = Layout::counterY(height);
    rect(frame, counterX - 10, counterY - 10, Layout::kCounterDigits * Layout::kDigitPitch + 10,
         Layout::kDigitHeight + 20, kPaper);
    drawNumber(frame, counterX, counterY, index, Layout::kCounterDigits);

    // The local time of day, bottom right: HH MM SS with dots between the fields.
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    const int timeX = Layout::timeX(width);
    const int timeY = Layout::timeY(height);
    rect(frame, timeX - 10, timeY - 10, 8 * Layout::kDigitPitch + 10, Layout::kDigitHeight + 20,
         kPaper);
    const int fields[Layout::kTimeFields] = {local.tm_hour, local.tm_min, local.tm_sec};
    for (int f = 0; f < Layout::kTimeFields; ++f) {
        const int x = timeX + f * 3 * Layout::kDigitPitch;
        drawNumber(frame, x, timeY, static_cast<std::uint64_t>(fields[f]), 2);
        if (f + 1 < Layout::kTimeFields) {
            const int dotX = x + 2 * Layout::kDigitPitch + Layout::kDigitWidth / 2 - 4;
            rect(frame, dotX, timeY + 20, 8, 8, kInk);
            rect(frame, dotX, timeY + Layout::kDigitHeight - 28, 8, 8, kInk);
        }
    }
}

}  // namespace kestrel
