#include "app/sources/TestPatternCamera.h"

#include <array>
#include <chrono>

#include <libyuv/planar_functions.h>

namespace kestrel {

namespace {

constexpr int kBarCount = 8;
constexpr std::array<std::uint32_t, kBarCount> kBarColours = {0xFFC0C0C0U, 0xFFC0C000U, 0xFF00C0C0U,
                                                              0xFF00C000U, 0xFFC000C0U, 0xFFC00000U,
                                                              0xFF0000C0U, 0xFF101010U};

// Segments a..g of a seven-segment digit, as bits 0..6.
constexpr std::array<std::uint8_t, 10> kDigitSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                         0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void rect(PixelBuffer& frame, int x, int y, int w, int h, std::uint32_t argb) {
    libyuv::ARGBRect(frame.data(), frame.stride(), x, y, w, h, argb);
}

void drawDigit(PixelBuffer& frame, int x, int y, int digit, std::uint32_t argb) {
    constexpr int kW = 40;
    constexpr int kH = 70;
    constexpr int kT = 8;
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
            rect(frame, x + parts[s].x, y + parts[s].y, parts[s].w, parts[s].h, argb);
        }
    }
}

}  // namespace

TestPatternCamera::TestPatternCamera(const HostClock& clock)
    : clock_(clock), pool_(PixelBufferPool::create(kWidth, kHeight)) {}

TestPatternCamera::~TestPatternCamera() {
    capture_.runSync([this] { timer_.reset(); });
}

void TestPatternCamera::setOnFrame(FrameHandler onFrame) {
    std::lock_guard lock(handlerMutex_);
    onFrame_ = std::move(onFrame);
}

MaybeError TestPatternCamera::start() {
    capture_.runSync([this] {
        if (!timer_) {
            timer_ = capture_.startTimer(std::chrono::nanoseconds(1'000'000'000 / kFramesPerSecond),
                                         [this] { tick(); });
        }
    });
    return std::nullopt;
}

void TestPatternCamera::restart() {
    capture_.runSync([this] { timer_.reset(); });
    start();
}

void TestPatternCamera::drawFrame(PixelBuffer& frame, std::uint64_t index) {
    const int barWidth = (frame.width() + kBarCount - 1) / kBarCount;
    const int shift = static_cast<int>(index % static_cast<std::uint64_t>(frame.width()));
    for (int i = 0; i < kBarCount; ++i) {
        // Bars move 1 px per frame; each one is drawn in up to two pieces where it wraps.
        int x = (i * barWidth + shift) % frame.width();
        int w = std::min(barWidth, frame.width() - x);
        rect(frame, x, 0, w, frame.height(), kBarColours[static_cast<std::size_t>(i)]);
        if (w < barWidth) {
            rect(frame, 0, 0, barWidth - w, frame.height(),
                 kBarColours[static_cast<std::size_t>(i)]);
        }
    }
    // The frame number, six digits, white on black.
    constexpr int kDigits = 6;
    const int boxX = 40;
    const int boxY = frame.height() - 120;
    rect(frame, boxX - 10, boxY - 10, kDigits * 50 + 10, 90, 0xFF000000U);
    std::uint64_t value = index;
    for (int d = kDigits - 1; d >= 0; --d) {
        drawDigit(frame, boxX + d * 50, boxY, static_cast<int>(value % 10), 0xFFFFFFFFU);
        value /= 10;
    }
}

void TestPatternCamera::tick() {
    PixelBufferRef frame = pool_ ? pool_->acquire() : nullptr;
    if (!frame) {
        return;  // out of memory: this frame is skipped
    }
    drawFrame(*frame, frameIndex_++);
    FrameHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = onFrame_;
    }
    if (handler) {
        handler(frame, MediaTime::fromNanos(clock_.nowNanos()));
    }
}

}  // namespace kestrel
