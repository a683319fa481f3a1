#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tools/view/FrameStats.h"

namespace kestrel::view {
namespace {

std::vector<std::uint8_t> image(std::uint32_t w, std::uint32_t h, std::uint8_t b, std::uint8_t g,
                                std::uint8_t r, std::uint8_t a) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < static_cast<std::size_t>(w) * h; ++i) {
        out.insert(out.end(), {b, g, r, a});
    }
    return out;
}

TEST(FrameStats, BlackMeansEveryByteZero) {
    auto black = image(37, 21, 0, 0, 0, 0);
    EXPECT_TRUE(sampleFrame(black.data(), 37, 21, 37 * 4).black);
    auto opaque = image(37, 21, 0, 0, 0, 255);
    EXPECT_FALSE(sampleFrame(opaque.data(), 37, 21, 37 * 4).black);
    black[(20 * 37 + 36) * 4 + 2] = 1;  // the bottom-right corner is sampled
    EXPECT_FALSE(sampleFrame(black.data(), 37, 21, 37 * 4).black);
}

TEST(FrameStats, MeanColourFrameRateAndLatency) {
    FrameStats stats;
    auto colour = image(64, 32, 10, 20, 200, 255);
    const FrameSample sample = sampleFrame(colour.data(), 64, 32, 256);
    EXPECT_DOUBLE_EQ(sample.meanR, 200.0);
    for (int i = 0; i < 31; ++i) {
        const std::uint64_t host = 1'000'000'000ULL + static_cast<std::uint64_t>(i) * 33'333'333;
        stats.add(sample, host, host + static_cast<std::uint64_t>(i + 1) * 100'000);  // 0.1..3.1ms
    }
    EXPECT_EQ(stats.frames(), 31U);
    EXPECT_NEAR(stats.frameRate(), 30.0, 0.1);  // arrivals drift by the growing latency
    EXPECT_DOUBLE_EQ(stats.blackShare(), 0.0);
    EXPECT_NEAR(stats.latencyMillis(0.5), 1.6, 1e-9);
    EXPECT_NEAR(stats.latencyMillis(0.99), 3.1, 1e-9);
    EXPECT_NEAR(stats.maxLatencyMillis(), 3.1, 1e-9);
    EXPECT_NE(stats.summary().find("black=0.0% mean_bgr=10.0,20.0,200.0"), std::string::npos);
}

TEST(FrameStats, PngRoundTrip) {
    kestrel::testing::TempFolder folder;
    const std::string path = (folder.path() / "frame.png").string();
    auto pixels = image(5, 3, 10, 20, 200, 0);
    pixels[4] = 99;  // pixel (1,0) blue
    ASSERT_TRUE(writePng(path, pixels.data(), 5, 3, 20));

    png_image read{};
    read.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&read, path.c_str()));
    EXPECT_EQ(std::pair(read.width, read.height), std::pair(5U, 3U));
    read.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(read));
    ASSERT_TRUE(png_image_finish_read(&read, nullptr, rgb.data(), 0, nullptr));
    // RGB order, and the second pixel's own blue
    EXPECT_EQ(std::vector(rgb.begin(), rgb.begin() + 6),
              (std::vector<std::uint8_t>{200, 20, 10, 200, 20, 99}));
    EXPECT_FALSE(writePng("/nonexistent-folder/x.png", pixels.data(), 5, 3, 20));
}

}  // namespace
}  // namespace kestrel::view
