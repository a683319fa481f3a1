#include "app/sources/TestPatternBackend.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "app/sources/CameraChoice.h"
#include "app/sources/WebcamCapture.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/FakeCaptureDelegate.h"
#include "tests/support/LogCapture.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Layout = TestPatternBackend::Layout;

bool lit(const PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.row(y) + static_cast<std::ptrdiff_t>(x) * 4;
    return p[0] > 200 && p[1] > 200 && p[2] > 200;
}

// Reads a seven-segment digit back by looking at the middle of each segment; -1 if unreadable.
int readDigit(const PixelBuffer& frame, int x, int y) {
    constexpr int w = Layout::kDigitWidth;
    constexpr int h = Layout::kDigitHeight;
    constexpr int t = Layout::kStroke;
    const int probes[7][2] = {{w / 2, t / 2},     {w - t / 2, h / 4}, {w - t / 2, 3 * h / 4},
                              {w / 2, h - t / 2}, {t / 2, 3 * h / 4}, {t / 2, h / 4},
                              {w / 2, h / 2}};
    unsigned bits = 0;
    for (int s = 0; s < 7; ++s) {
        if (lit(frame, x + probes[s][0], y + probes[s][1])) {
            bits |= 1U << s;
        }
    }
    const unsigned digits[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    for (int d = 0; d < 10; ++d) {
        if (digits[d] == bits) {
            return d;
        }
    }
    return -1;
}

std::int64_t readNumber(const PixelBuffer& frame, int x, int y, int count) {
    std::int64_t value = 0;
    for (int d = 0; d < count; ++d) {
        const int digit = readDigit(frame, x + d * Layout::kDigitPitch, y);
        if (digit < 0) {
            return -1;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::int64_t readCounter(const PixelBuffer& frame) {
    return readNumber(frame, Layout::counterX(), Layout::counterY(frame.height()),
                      Layout::kCounterDigits);
}

// "HHMMSS" as a number.
std::int64_t readTime(const PixelBuffer& frame) {
    std::int64_t value = 0;
    for (int f = 0; f < Layout::kTimeFields; ++f) {
        const auto field =
            readNumber(frame, Layout::timeX(frame.width()) + f * 3 * Layout::kDigitPitch,
                       Layout::timeY(frame.height()), 2);
        if (field < 0) {
            return -1;
        }
        value = value * 100 + field;
    }
    return value;
}

std::int64_t localHhmmss(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local.tm_hour * 10000 + local.tm_min * 100 + local.tm_sec;
}

TEST(TestPatternDrawing, CounterAndTimeCanBeReadBackBarsMoveAndSmallFramesAreClipped) {
    auto first = PixelBuffer::create(1280, 720);
    auto second = PixelBuffer::create(1280, 720);
    const auto time = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
    TestPatternBackend::drawFrame(*first, 123456, time);
    TestPatternBackend::drawFrame(*second, 123457, time + 1s);
    EXPECT_EQ(readCounter(*first), 123456);
    EXPECT_EQ(readCounter(*second), 123457);
    EXPECT_EQ(readTime(*first), localHhmmss(time));
    EXPECT_EQ(readTime(*second), localHhmmss(time + 1s));

    // The bars above the read-outs moved between the two frames.
    const int row = 100;
    EXPECT_NE(std::memcmp(first->row(row), second->row(row), 1280 * 4), 0);
    // The same frame number and time draw the same picture.
    auto again = PixelBuffer::create(1280, 720);
    TestPatternBackend::drawFrame(*again, 123456, time);
    for (int y = 0; y < 720; y += 37) {
        ASSERT_EQ(std::memcmp(first->row(y), again->row(y), 1280 * 4), 0) << y;
    }
    // Drawn over a frame that showed an earlier number, the picture is the same as drawn afresh,
    // including where the bars wrap around the right edge (frame 150 is 1200 pixels along).
    for (const auto& [shown, index] : {std::pair<std::uint64_t, std::uint64_t>{123455, 123456},
                                       {123440, 123456},
                                       {123406, 123456},
                                       {148, 151}}) {
        auto fresh = PixelBuffer::create(1280, 720);
        auto reused = PixelBuffer::create(1280, 720);
        TestPatternBackend::drawFrame(*fresh, index, time);
        TestPatternBackend::drawFrame(*reused, shown, time - 1s);
        TestPatternBackend::drawFrame(*reused, index, time, shown);
        EXPECT_EQ(std::memcmp(fresh->data(), reused->data(), fresh->byteSize()), 0) << shown;
    }
    // Frames too small for the read-outs: everything is clipped to the frame (the sanitizer
    // build catches a write past it).
    for (auto [w, h] : {std::pair{16, 8}, std::pair{320, 240}, std::pair{569, 480}}) {
        auto small = PixelBuffer::create(w, h);
        small->fill(1, 2, 3, 4);
        TestPatternBackend::drawFrame(*small, 7, std::chrono::system_clock::time_point{});
        EXPECT_EQ(small->row(h - 1)[static_cast<std::size_t>(w - 1) * 4 + 3], 255);
    }
}

TEST(TestPatternBackendRun, DeliversFifteenFramesASecondAndContinuesAfterAStop) {
    ManualExecutor exec;
    auto recorder = std::make_shared<testing::FakeCaptureDelegate>();
    recorder->keepFrames = false;
    std::vector<std::int64_t> counters;
    recorder->onFrame = [&](const PixelBufferRef& frame) {
        counters.push_back(readCounter(*frame));
    };
    TestPatternBackend backend(exec, exec.hostClock(), exec.wallClock());
    EXPECT_EQ(backend.devices(), std::vector<CaptureDevice>{TestPatternBackend::device()});
    EXPECT_FALSE(WebcamCapture::isExcluded(TestPatternBackend::device()));
    backend.setDelegate(recorder);
    ASSERT_FALSE(backend.configure(TestPatternBackend::device(), CaptureSettings{}));
    EXPECT_TRUE(backend.configure(TestPatternBackend::device(), CaptureSettings{}));

    std::optional<bool> started;
    backend.startRunning([&](bool running) { started = running; });
    exec.runUntilIdle();
    EXPECT_EQ(started, true);
    const auto begin = exec.nowNanos();
    exec.advance(1s);
    ASSERT_EQ(counters.size(), 15U);
    EXPECT_EQ(counters.front(), 0);
    EXPECT_EQ(counters.back(), 14);
    EXPECT_EQ(recorder->times.front(), MediaTime::fromNanos(begin + 66'666'666));

    backend.stopRunning();
    EXPECT_FALSE(backend.isRunning());
    exec.advance(1s);
    EXPECT_EQ(counters.size(), 15U);

    backend.startRunning([](bool) {});
    exec.advance(200ms);
    ASSERT_EQ(counters.size(), 18U);
    EXPECT_EQ(counters.back(), 17);  // never repeats a number
}

TEST(TestPatternBackendRun, WebcamCaptureChoosesThePatternAndRestartsIt) {
    testing::LogCapture logs;
    ManualExecutor exec;
    auto backend = std::make_shared<TestPatternBackend>(exec, exec.hostClock(), exec.wallClock());
    WebcamCapture webcam(backend, exec, exec);
    std::vector<int> widths;
    webcam.setOnFrame(
        [&](const PixelBufferRef& frame, MediaTime) { widths.push_back(frame->width()); });
    ASSERT_FALSE(webcam.start());
    exec.advance(1s);
    webcam.restart();
    exec.advance(1s);
    // 15 frames, a 150 ms pause, then the rest of the second at 15 per second.
    EXPECT_EQ(webcam.frameCount(), 15 + 12);
    EXPECT_EQ(widths.front(), 1280);
    EXPECT_EQ(logs->count("using device: Test Pattern (type=other)"), 2U);
}

TEST(CameraChoiceParsing, AcceptsTheFourFormsOnly) {
    using Kind = CameraChoice::Kind;
    EXPECT_EQ(parseCameraChoice("auto"), (CameraChoice{Kind::automatic, {}}));
    EXPECT_EQ(parseCameraChoice("pattern"), (CameraChoice{Kind::pattern, {}}));
    EXPECT_EQ(parseCameraChoice("/dev/video12"), (CameraChoice{Kind::device, "/dev/video12"}));
    EXPECT_EQ(parseCameraChoice("file:/tmp/a b.mov"), (CameraChoice{Kind::file, "/tmp/a b.mov"}));
    for (const char* bad : {"", "Auto", "/dev/video", "/dev/videoX", "/dev/sda", "file:", "cam"}) {
        EXPECT_EQ(parseCameraChoice(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace kestrel
