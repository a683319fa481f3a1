#include "app/sources/V4l2Backend.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <jpeglib.h>

#include "app/sources/WebcamCapture.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/sources/FakeV4l2System.h"
#include "tests/support/FakeCaptureDelegate.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::FakeCamera;
using testing::FakeFormat;
using testing::FakeV4l2System;

// One YUYV image of `width` x `height` in a single colour.
std::vector<std::uint8_t> yuyvFrame(int width, int height, std::uint8_t y, std::uint8_t u,
                                    std::uint8_t v) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(width) * height * 2);
    for (int i = 0; i < width * height / 2; ++i) {
        bytes.insert(bytes.end(), {y, u, y, v});
    }
    return bytes;
}

// A baseline JPEG of `width` x `height` in one colour, as an MJPEG camera sends each frame.
std::vector<std::uint8_t> jpegFrame(int width, int height, std::uint8_t r, std::uint8_t g,
                                    std::uint8_t b) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<std::uint8_t> row;
    for (int x = 0; x < width; ++x) {
        row.insert(row.end(), {r, g, b});
    }
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<std::uint8_t> bytes(out, out + outSize);
    jpeg_destroy_compress(&info);
    std::free(out);
    return bytes;
}

// Colours within `tolerance` steps, alpha within `alphaTolerance` (bilinear scaling rounds it).
void expectPixel(const PixelBuffer& frame, int x, int y, std::array<int, 3> bgr, int tolerance = 3,
                 int alphaTolerance = 0) {
    const std::uint8_t* p = frame.row(y) + static_cast<std::ptrdiff_t>(x) * 4;
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(p[c], bgr[static_cast<std::size_t>(c)], tolerance)
            << c << " at " << x << "," << y;
    }
    EXPECT_NEAR(p[3], 255, alphaTolerance) << "alpha at " << x << "," << y;
}

TEST(V4l2Negotiation, FrameIntervalIsExactElseNearestHigherElseHighest) {
    const V4l2Interval fps5{1, 5}, fps10{1, 10}, fps15{1, 15}, fps24{1, 24}, fps30{1, 30},
        fps60{1, 60};
    EXPECT_EQ(chooseFrameInterval({fps30, fps15, fps5}, 15), fps15);
    EXPECT_EQ(chooseFrameInterval({fps60, fps30, fps24, fps10}, 15), fps24);
    EXPECT_EQ(chooseFrameInterval({fps5, fps10}, 15), fps10);
    // The same rate written another way is still exact.
    EXPECT_EQ(chooseFrameInterval({fps30, V4l2Interval{2, 30}}, 15), (V4l2Interval{2, 30}));
    EXPECT_EQ(chooseFrameInterval({V4l2Interval{0, 30}}, 15), std::nullopt);
    EXPECT_EQ(chooseFrameInterval({}, 15), std::nullopt);
}

TEST(V4l2Negotiation, FormatPrefersUncompressedWhenItKeepsUpElseMjpeg) {
    const V4l2FormatOffer yuyvSlow{V4L2_PIX_FMT_YUYV, true, 10.0};
    const V4l2FormatOffer yuyvFast{V4L2_PIX_FMT_YUYV, true, 30.0};
    const V4l2FormatOffer mjpeg{V4L2_PIX_FMT_MJPEG, true, 30.0};
    const V4l2FormatOffer mjpegSmall{V4L2_PIX_FMT_MJPEG, false, 0.0};
    EXPECT_EQ(chooseV4l2Format({mjpeg, yuyvFast}, 15), V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(chooseV4l2Format({yuyvSlow, mjpeg}, 15), V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(chooseV4l2Format({yuyvSlow, mjpegSmall}, 15), V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(chooseV4l2Format({mjpegSmall}, 15), V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(chooseV4l2Format({}, 15), std::nullopt);
}

TEST(V4l2Negotiation, RateLimiterKeepsTheWantedShareEvenly) {
    FrameRateLimiter half(30.0, 15);
    std::string pattern;
    for (int i = 0; i < 6; ++i) {
        pattern += half.admit() ? 'x' : '.';
    }
    EXPECT_EQ(pattern, ".x.x.x");

    for (double source : {24.0, 25.0, 60.0, 29.97}) {
        FrameRateLimiter limiter(source, 15);
        int kept = 0;
        const int oneMinute = static_cast<int>(source * 60);
        for (int i = 0; i < oneMinute; ++i) {
            kept += limiter.admit() ? 1 : 0;
        }
        EXPECT_NEAR(kept, 15 * 60, 1) << source;
    }
    FrameRateLimiter slower(10.0, 15);
    EXPECT_TRUE(slower.admit() && slower.admit() && slower.admit());
}

TEST(V4l2Conversion, YuyvBecomesBgraPixelForPixelAndDamagedImagesAreRefused) {
    // Two rows of 4 pixels: white, black | red, blue (BT.601 studio range).
    std::vector<std::uint8_t> bytes = {235, 128, 235, 128, 16, 128, 16, 128,
                                       81,  90,  81,  240, 41, 240, 41, 110};
    auto frame = PixelBuffer::create(4, 2);
    ASSERT_TRUE(convertToBgra(V4L2_PIX_FMT_YUYV, bytes.data(), bytes.size(), 4, 2, 8, *frame));
    constexpr int kPixels[][5] = {{0, 0, 255, 255, 255}, {1, 0, 255, 255, 255}, {2, 0, 0, 0, 0},
                                  {3, 0, 0, 0, 0},       {0, 1, 0, 0, 255},     {2, 1, 255, 0, 0}};
    for (const auto& [x, y, b, g, r] : kPixels) {
        expectPixel(*frame, x, y, {b, g, r});
    }

    // Rows padded by the driver are read at their own pitch.
    std::vector<std::uint8_t> padded = {235, 128, 235, 128, 9, 9, 16, 128, 16, 128, 9, 9};
    auto small = PixelBuffer::create(2, 2);
    ASSERT_TRUE(convertToBgra(V4L2_PIX_FMT_YUYV, padded.data(), padded.size(), 2, 2, 6, *small));
    expectPixel(*small, 1, 0, {255, 255, 255});
    expectPixel(*small, 1, 1, {0, 0, 0});

    // Truncated, or a pitch too short for the width, or undecodable, or a format we do not read.
    EXPECT_FALSE(convertToBgra(V4L2_PIX_FMT_YUYV, bytes.data(), bytes.size() - 1, 4, 2, 8, *frame));
    EXPECT_FALSE(convertToBgra(V4L2_PIX_FMT_YUYV, bytes.data(), bytes.size(), 4, 2, 6, *frame));
    const std::vector<std::uint8_t> garbage = {0xFF, 0xD8, 0xFF, 0x00, 0x12, 0x34, 0x56};
    EXPECT_FALSE(
        convertToBgra(V4L2_PIX_FMT_MJPEG, garbage.data(), garbage.size(), 4, 2, 0, *frame));
    EXPECT_FALSE(convertToBgra(V4L2_PIX_FMT_MJPEG, garbage.data(), 0, 4, 2, 0, *frame));
    EXPECT_FALSE(convertToBgra(V4L2_PIX_FMT_RGB24, bytes.data(), bytes.size(), 4, 2, 8, *frame));
}

TEST(V4l2Conversion, MjpegKeepsItsFullRangeColoursAndOtherSizesAreScaled) {
    // Decoded at the camera's 32x16, then scaled into the 16x9 frame.
    const auto bytes = jpegFrame(32, 16, 200, 40, 90);
    auto frame = PixelBuffer::create(16, 9);
    ASSERT_TRUE(convertToBgra(V4L2_PIX_FMT_MJPEG, bytes.data(), bytes.size(), 32, 16, 0, *frame));
    for (auto [x, y] : {std::pair{0, 0}, std::pair{15, 8}, std::pair{8, 4}}) {
        expectPixel(*frame, x, y, {90, 40, 200}, 6, 3);
    }
}

TEST(V4l2Conversion, MutatedMjpegNeverBreaksTheDecoder) {
    // Camera data crosses from the device: damaged frames must fail cleanly, never crash or
    // write past the frame (the sanitizer build checks). Bounded and seeded, so it is repeatable.
    const auto good = jpegFrame(48, 32, 10, 200, 30);
    auto frame = PixelBuffer::create(48, 32);
    std::mt19937 random(5);
    int decoded = 0;
    for (int round = 0; round < 400; ++round) {
        auto bytes = good;
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
        }
        if (round % 5 == 0) {
            bytes.resize(random() % bytes.size());
        }
        decoded += convertToBgra(V4L2_PIX_FMT_MJPEG, bytes.data(), bytes.size(), 48, 32, 0, *frame)
                       ? 1
                       : 0;
    }
    // Some damage only changes pixels; most of it is refused.
    EXPECT_GT(decoded, 0);
    EXPECT_LT(decoded, 400);
}

TEST(V4l2SystemCalls, ListsVideoNodesInNumberOrderAndReadsAttributes) {
    const testing::TempFolder temp;
    const auto& root = temp.path();
    for (const char* name : {"video10", "video2", "video", "videoX", "vbi0", "video0"}) {
        std::ofstream(root / name) << "fixed\n";
    }
    auto& system = systemV4l2();
    EXPECT_EQ(system.videoNodes(root.string()),
              (std::vector<std::string>{(root / "video0").string(), (root / "video2").string(),
                                        (root / "video10").string()}));
    EXPECT_EQ(system.readTextFile((root / "video2").string()), "fixed");
    EXPECT_EQ(system.readTextFile((root / "missing").string()), std::nullopt);
    EXPECT_TRUE(system.videoNodes((root / "missing").string()).empty());
    EXPECT_EQ(system.open((root / "missing").string(), O_RDONLY), -ENOENT);
}

class V4l2BackendTest : public ::testing::Test {
  protected:
    std::unique_ptr<V4l2Backend> makeBackend(V4l2Backend::Options o = {}) {
        auto made = std::make_unique<V4l2Backend>(system, exec, exec.hostClock(), std::move(o));
        made->setDelegate(delegate);
        return made;
    }
    std::optional<bool> startAndRun(V4l2Backend& backend) {
        std::optional<bool> result;
        backend.startRunning([&](bool running) { result = running; });
        exec.runUntilIdle();
        return result;
    }
    // A backend configured on /dev/video0, described by `camera`, and started.
    std::unique_ptr<V4l2Backend> started(FakeCamera camera = {}, bool runs = true) {
        system.add("/dev/video0", std::move(camera));
        auto backend = makeBackend();
        EXPECT_FALSE(backend->configure(device(), {}));
        EXPECT_EQ(startAndRun(*backend), runs);
        return backend;
    }
    FakeCamera& cam() { return system.camera("/dev/video0"); }
    static CaptureDevice device(const std::string& node = "/dev/video0") {
        return {node, "cam", CaptureDeviceKind::external};
    }
    // One frame captured on `node`, grey unless given, and handled.
    void push(std::uint64_t timestampNanos = 0, std::vector<std::uint8_t> bytes = grey(),
              std::uint32_t flags = 0, const std::string& node = "/dev/video0") {
        system.pushFrame(node, std::move(bytes), timestampNanos, flags);
        pump();
    }
    static std::vector<std::uint8_t> grey() { return yuyvFrame(1280, 720, 128, 128, 128); }
    void pump() {
        while (exec.pollFds() > 0) {
            exec.runUntilIdle();
        }
        exec.runUntilIdle();
    }
    // Every descriptor closed and every mapping gone.
    void expectReleased() {
        exec.runUntilIdle();
        EXPECT_EQ(system.openCount(), 0U);
        EXPECT_EQ(system.mappingCount(), 0U);
    }

    FakeV4l2System system;  // outlives the executor's queued work
    ManualExecutor exec;
    testing::LogCapture logs;
    std::shared_ptr<testing::FakeCaptureDelegate> delegate =
        std::make_shared<testing::FakeCaptureDelegate>();
};

TEST_F(V4l2BackendTest, ListsCaptureNodesWithCardNamesAndSysfsKinds) {
    system.add("/dev/video0", FakeCamera{.card = "Integrated Camera", .removable = "fixed"});
    system.add("/dev/video1", FakeCamera{.card = "Integrated Camera",
                                         .caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING});
    system.add("/dev/video2", FakeCamera{.card = "HD Pro Webcam C920", .removable = "removable"});
    system.add("/dev/video3", FakeCamera{.card = "Kestrel"});  // loopback: no USB port
    system.add("/dev/video4", FakeCamera{.card = "Locked", .openError = EACCES});

    const std::vector<CaptureDevice> expected = {
        {"/dev/video0", "Integrated Camera", CaptureDeviceKind::builtIn},
        {"/dev/video2", "HD Pro Webcam C920", CaptureDeviceKind::external},
        {"/dev/video3", "Kestrel", CaptureDeviceKind::external}};
    auto backend = makeBackend();
    EXPECT_EQ(backend->devices(), expected);
    EXPECT_EQ(backend->defaultDevice(), expected.front());
    EXPECT_EQ(system.openCount(), 0U);
    EXPECT_EQ(makeBackend({.onlyNode = "/dev/video2"})->devices(),
              std::vector<CaptureDevice>{expected[1]});
}

TEST_F(V4l2BackendTest, ConfigureRefusalsAndPlatformErrors) {
    system.add("/dev/video0", FakeCamera{.caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING});
    system.add("/dev/video1", FakeCamera{.formats = {FakeFormat{.fourcc = V4L2_PIX_FMT_GREY}}});
    system.add("/dev/video2", FakeCamera{.openError = EACCES});
    system.add("/dev/video3");
    auto backend = makeBackend();
    using Kind = CaptureConfigureError::Kind;
    const std::pair<const char*, Kind> refusals[] = {
        {"/dev/video0", Kind::inputRefused},   // an output, not a camera
        {"/dev/video1", Kind::outputRefused},  // no format we read
        {"/dev/video2", Kind::platform}};
    for (const auto& [node, kind] : refusals) {
        const auto failure = backend->configure(device(node), {});
        ASSERT_TRUE(failure) << node;
        EXPECT_EQ(failure->kind, kind) << node;
    }
    EXPECT_EQ(backend->configure(device("/dev/video2"), {})->error.description,
              "/dev/video2: open: Permission denied");
    EXPECT_EQ(system.openCount(), 0U);

    EXPECT_FALSE(backend->configure(device("/dev/video3"), {}));
    const auto second = backend->configure(device("/dev/video3"), {});
    ASSERT_TRUE(second);
    EXPECT_EQ(second->kind, Kind::inputRefused);  // one device at a time
    backend->unconfigure();
    expectReleased();
}

TEST_F(V4l2BackendTest, NegotiatesSizeFormatAndRateThenDeliversConvertedFrames) {
    auto backend =
        started(FakeCamera{.formats = {FakeFormat{.fourcc = V4L2_PIX_FMT_YUYV,
                                                  .sizes = {{640, 480}, {1280, 720}},
                                                  .intervals = {{1, 30}, {1, 15}, {1, 5}}}}});
    EXPECT_TRUE(backend->isRunning());
    EXPECT_EQ(std::tuple(cam().format.pixelformat, cam().format.width, cam().format.height),
              std::tuple(V4L2_PIX_FMT_YUYV, 1280U, 720U));
    EXPECT_EQ(cam().interval, (V4l2Interval{1, 15}));
    EXPECT_TRUE(cam().streaming);

    push(5'000'000'123'000, yuyvFrame(1280, 720, 81, 90, 240));
    // A frame that did not decode is a sample without an image.
    push(0, yuyvFrame(1280, 720, 16, 128, 128), V4L2_BUF_FLAG_ERROR);
    ASSERT_EQ(delegate->frames.size(), 2U);
    ASSERT_TRUE(delegate->frames[0]);
    EXPECT_EQ(std::pair(delegate->frames[0]->width(), delegate->frames[0]->height()),
              std::pair(1280, 720));
    expectPixel(*delegate->frames[0], 0, 0, {0, 0, 255});
    expectPixel(*delegate->frames[0], 1279, 719, {0, 0, 255});
    EXPECT_FALSE(delegate->frames[1]);
    EXPECT_EQ(delegate->times, (std::vector{MediaTime::fromNanos(5'000'000'123'000),
                                            MediaTime::fromNanos(exec.nowNanos())}));

    backend->stopRunning();
    EXPECT_FALSE(backend->isRunning());
    exec.runUntilIdle();
    EXPECT_FALSE(cam().streaming);
    EXPECT_EQ(system.mappingCount(), 0U);
    backend->unconfigure();
    expectReleased();
}

TEST_F(V4l2BackendTest, ASlowConsumerGetsTheNewestFrameAndHeldFramesBoundTheBuffers) {
    auto backend = started();
    // Three frames became ready while the capture queue was busy elsewhere.
    for (std::uint64_t i = 1; i <= 3; ++i) {
        system.pushFrame("/dev/video0", grey(), i * 66'667'000);
    }
    pump();
    EXPECT_EQ(delegate->times, std::vector{MediaTime::fromNanos(3 * 66'667'000)});
    EXPECT_EQ(backend->lateFrameDrops(), 2U);
    // Every buffer went back to the driver: the next frames still arrive.
    for (std::uint64_t i = 4; i <= 9; ++i) {
        push(i * 66'667'000);
    }
    EXPECT_EQ(delegate->times.size(), 7U);
    EXPECT_EQ(backend->lateFrameDrops(), 2U);

    // Frames held downstream bound the buffers and later ones are dropped late. The delegate
    // keeps every frame, as a consumer that never catches up would.
    constexpr auto kBuffers = static_cast<std::uint64_t>(CaptureFramePool::kBufferCount);
    delegate->frames.clear();
    for (std::uint64_t i = 10; i < kBuffers + 13; ++i) {
        push(i * 66'667'000);
    }
    EXPECT_EQ(delegate->frames.size(), kBuffers);
    EXPECT_EQ(backend->lateFrameDrops(), 5U);
    delegate->frames.pop_back();  // one buffer comes back
    push(7'000'000'000ULL);
    EXPECT_EQ(delegate->frames.size(), kBuffers);
    EXPECT_EQ(delegate->times.back(), MediaTime::fromNanos(7'000'000'000ULL));
}

TEST_F(V4l2BackendTest, OnlyFasterRatesOfferedTakesTheNearestAndDropsToFifteen) {
    auto backend = started(FakeCamera{
        .formats = {FakeFormat{.fourcc = V4L2_PIX_FMT_YUYV, .intervals = {{1, 60}, {1, 30}}}}});
    EXPECT_EQ(cam().interval, (V4l2Interval{1, 30}));
    EXPECT_EQ(logs->count("/dev/video0 streams YUYV 1280x720 at 30.00 fps, delivering 15 fps"), 1U);

    for (int i = 0; i < 30; ++i) {
        push(1'000'000'000ULL + static_cast<std::uint64_t>(i) * 33'333'333ULL);
        delegate->frames.clear();  // a consumer that keeps up
    }
    EXPECT_EQ(delegate->times.size(), 15U);
}

TEST_F(V4l2BackendTest, MjpegIsUsedWhenUncompressedCannotKeepUp) {
    auto backend = started(FakeCamera{
        .formats = {FakeFormat{.fourcc = V4L2_PIX_FMT_YUYV, .intervals = {{1, 10}}},
                    FakeFormat{.fourcc = V4L2_PIX_FMT_MJPEG, .intervals = {{1, 30}, {1, 15}}}}});
    EXPECT_EQ(cam().format.pixelformat, V4L2_PIX_FMT_MJPEG);

    push(0, jpegFrame(1280, 720, 0, 0, 255));
    // A corrupt compressed frame arrives as a sample without an image.
    push(0, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x01});
    ASSERT_EQ(delegate->frames.size(), 2U);
    ASSERT_TRUE(delegate->frames[0]);
    expectPixel(*delegate->frames[0], 640, 360, {255, 0, 0});
    EXPECT_FALSE(delegate->frames[1]);
}

TEST_F(V4l2BackendTest, BusyDeviceIsAnInterruptionUntilItFrees) {
    auto backend = started(FakeCamera{.failures = {{VIDIOC_STREAMON, EBUSY}}}, false);
    EXPECT_FALSE(backend->isRunning());
    EXPECT_EQ(
        delegate->events,
        std::vector<std::string>{"interrupted {reason: /dev/video0 is in use by another program}"});
    EXPECT_EQ(system.mappingCount(), 0U);

    exec.advance(3s);  // still busy: nothing new
    EXPECT_EQ(delegate->events.size(), 1U);

    cam().failures.clear();
    exec.advance(1s);
    EXPECT_EQ(delegate->events.back(), "ended");
    EXPECT_TRUE(backend->isRunning());
    EXPECT_TRUE(cam().streaming);
    push();
    EXPECT_EQ(delegate->frames.size(), 1U);
    exec.advance(5s);
    EXPECT_EQ(delegate->events.size(), 2U);  // the retry timer is gone
}

TEST_F(V4l2BackendTest, BusyAtOpenAlsoWaitsAndUnconfigureEndsTheWait) {
    auto backend = started(FakeCamera{.openError = EBUSY}, false);
    ASSERT_EQ(delegate->events.size(), 1U);
    backend->unconfigure();
    exec.runUntilIdle();
    cam().openError = 0;
    exec.advance(5s);
    EXPECT_EQ(delegate->events.size(), 1U);
    EXPECT_EQ(system.openCount(), 0U);
}

// The whole chain: WebcamCapture over the V4L2 backend over the fake device.
class WebcamOverV4l2Test : public V4l2BackendTest {
  protected:
    // A webcam started on what `system` offers.
    std::unique_ptr<WebcamCapture> startedWebcam() {
        auto backend =
            std::make_shared<V4l2Backend>(system, exec, exec.hostClock(), V4l2Backend::Options{});
        auto webcam = std::make_unique<WebcamCapture>(backend, exec, exec);
        webcam->setOnFrame([this](const PixelBufferRef&, MediaTime) { ++countedFrames; });
        EXPECT_FALSE(webcam->start());
        exec.runUntilIdle();
        return webcam;
    }
    std::int64_t countedFrames = 0;
};

TEST_F(WebcamOverV4l2Test, UnpluggedCameraIsARuntimeErrorThatRestartsOnTheNextCamera) {
    system.add("/dev/video0", FakeCamera{.card = "Integrated Camera", .removable = "fixed"});
    system.add("/dev/video2", FakeCamera{.card = "HD Pro Webcam C920"});
    auto webcam = startedWebcam();
    push();
    EXPECT_EQ(countedFrames, 1);

    system.unplug("/dev/video0");
    pump();
    EXPECT_EQ(logs->count("AVCaptureSession runtime error: Error Domain=V4L2 Code=19"), 1U);
    EXPECT_EQ(logs->count("restart() requested"), 1U);
    expectReleased();

    exec.advance(150ms);
    EXPECT_EQ(logs->count("using device: HD Pro Webcam C920 (type=external)"), 1U);
    EXPECT_EQ(logs->count("session.startRunning returned, running=y"), 2U);
    push(0, grey(), 0, "/dev/video2");
    EXPECT_EQ(countedFrames, 2);
    EXPECT_EQ(webcam->frameCount(), 2);
}

TEST_F(WebcamOverV4l2Test, FailingDequeueRestartsTheSameCameraAndABusyOneResumes) {
    auto& cam = system.add("/dev/video0", FakeCamera{.failures = {{VIDIOC_S_FMT, EBUSY}}});
    auto webcam = startedWebcam();
    EXPECT_EQ(logs->count("session.startRunning returned, running=n"), 1U);
    EXPECT_EQ(logs->count("AVCaptureSession interrupted: {reason: /dev/video0 is in use"), 1U);
    cam.failures.clear();
    exec.advance(1s);
    EXPECT_EQ(logs->count("AVCaptureSession interruption ended — resuming"), 1U);
    push();
    EXPECT_EQ(webcam->frameCount(), 1);

    cam.failures[VIDIOC_DQBUF] = EIO;
    push();
    EXPECT_EQ(logs->count("VIDIOC_DQBUF: Input/output error"), 1U);
    cam.failures.clear();
    exec.advance(150ms);
    EXPECT_TRUE(cam.streaming);
    push();
    EXPECT_EQ(webcam->frameCount(), 2);
    webcam.reset();
    expectReleased();
}

}  // namespace
}  // namespace kestrel
