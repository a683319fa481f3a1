#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "extension/FrameConvert.h"

namespace kestrel::camera {
namespace {

TEST(FrameConvert, FillCropKeepsTheDestinationAspect) {
    const CropRect same = fillCrop(1280, 720, 1920, 1080);
    EXPECT_EQ(same.x, 0U);
    EXPECT_EQ(same.width, 1280U);
    EXPECT_EQ(same.height, 720U);
    const CropRect square = fillCrop(1000, 1000, 1920, 1080);  // taller: crop top and bottom
    EXPECT_EQ(square.width, 1000U);
    EXPECT_EQ(square.height, 562U);
    EXPECT_EQ(square.y, 219U);
    const CropRect wide = fillCrop(4000, 1080, 1920, 1080);  // wider: crop the sides
    EXPECT_EQ(wide.width, 1920U);
    EXPECT_EQ(wide.x, 1040U);
    EXPECT_EQ(fillCrop(1, 1, 1920, 1080).width, 1U);
}

TEST(FrameConvert, ScaleToFillFromTheCentre) {
    // 4x2 source whose left and right quarters are red, the middle green; filled into 2x2 the
    // sides are cropped and only green remains.
    std::vector<std::uint8_t> src(4 * 2 * 4);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 4; ++x) {
            std::uint8_t* p = &src[static_cast<std::size_t>((y * 4 + x) * 4)];
            const bool middle = x == 1 || x == 2;
            p[0] = 0;
            p[1] = middle ? 255 : 0;
            p[2] = middle ? 0 : 255;
            p[3] = 255;
        }
    }
    std::vector<std::uint8_t> dst(2 * 2 * 4, 7);
    ASSERT_TRUE(scaleToFill(ImageView{src.data(), 4, 2, 16}, MutableImage{dst.data(), 2, 2, 8}));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(dst[static_cast<std::size_t>(i * 4 + 1)], 255) << i;
        EXPECT_EQ(dst[static_cast<std::size_t>(i * 4 + 2)], 0) << i;
    }
}

TEST(FrameConvert, BlackBecomesLimitedRangeBlackInYuy2) {
    std::vector<std::uint8_t> black(8 * 2 * 4, 0);
    std::vector<std::uint8_t> yuy2(8 * 2 * 2, 1);
    ASSERT_TRUE(bgraToYuy2(ImageView{black.data(), 8, 2, 32}, MutableImage{yuy2.data(), 8, 2, 16}));
    EXPECT_EQ(yuy2[0], 16);   // Y0
    EXPECT_EQ(yuy2[1], 128);  // U
    EXPECT_EQ(yuy2[2], 16);   // Y1
    EXPECT_EQ(yuy2[3], 128);  // V
}

TEST(FrameConvert, ConverterScalesThenPacks) {
    std::vector<std::uint8_t> white(16 * 9 * 4, 255);
    std::vector<std::uint8_t> out(32 * 18 * 2, 0);
    OutputConverter converter;
    ASSERT_TRUE(converter.convert(ImageView{white.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  MutableImage{out.data(), 32, 18, 64}));
    EXPECT_NEAR(out[0], 235, 3);  // white Y (libyuv gives 233)
    EXPECT_NEAR(out[out.size() - 2], 235, 3);
    EXPECT_NEAR(out[1], 128, 1);
}

}  // namespace
}  // namespace kestrel::camera

namespace kestrel::camera {
namespace {

TEST(FrameConvert, SameContentIdReusesTheLastConversion) {
    std::vector<std::uint8_t> grey(16 * 9 * 4, 100);
    std::vector<std::uint8_t> other(16 * 9 * 4, 200);
    std::vector<std::uint8_t> out(32 * 18 * 2, 0);
    OutputConverter converter;
    const MutableImage dest{out.data(), 32, 18, 64};
    ASSERT_TRUE(converter.convert(ImageView{grey.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  dest, 7));
    const std::uint8_t greyY = out[0];
    std::fill(out.begin(), out.end(), 0);
    // Same id: the cached result comes back even though these pixels differ (by contract they
    // would not).
    ASSERT_TRUE(converter.convert(ImageView{other.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  dest, 7));
    EXPECT_EQ(out[0], greyY);
    // No id: converted anew.
    ASSERT_TRUE(converter.convert(ImageView{other.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  dest, 0));
    EXPECT_GT(out[0], greyY);
}

}  // namespace
}  // namespace kestrel::camera

namespace kestrel::camera {
namespace {

// A uniform opaque frame stays exactly that colour through scaling (the libyuv scaler of Debian
// 12 darkens it and makes it translucent), in both output formats.
TEST(FrameConvert, UniformColourSurvivesScalingExactly) {
    constexpr std::uint32_t sw = 1280, sh = 720, dw = 1920, dh = 1080;
    std::vector<std::uint8_t> src(static_cast<std::size_t>(sw) * sh * 4);
    for (std::size_t i = 0; i < src.size(); i += 4) {
        src[i] = 10;
        src[i + 1] = 128;
        src[i + 2] = 200;
        src[i + 3] = 255;
    }
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(dw) * dh * 4);
    OutputConverter converter;
    ASSERT_TRUE(converter.convert(ImageView{src.data(), sw, sh, sw * 4},
                                  OutputConverter::Format::bgra,
                                  MutableImage{bgra.data(), dw, dh, dw * 4}));
    for (std::size_t at : {std::size_t{0}, bgra.size() / 2 + 8, bgra.size() - 4}) {
        EXPECT_EQ(bgra[at], 10);
        EXPECT_EQ(bgra[at + 1], 128);
        EXPECT_EQ(bgra[at + 2], 200);
        EXPECT_EQ(bgra[at + 3], 255);
    }
    // YUY2 of the scaled frame equals YUY2 of the colour made directly at the output size.
    std::vector<std::uint8_t> yuy2(static_cast<std::size_t>(dw) * dh * 2);
    ASSERT_TRUE(converter.convert(ImageView{src.data(), sw, sh, sw * 4},
                                  OutputConverter::Format::yuy2,
                                  MutableImage{yuy2.data(), dw, dh, dw * 2}));
    std::vector<std::uint8_t> reference(yuy2.size());
    ASSERT_TRUE(bgraToYuy2(ImageView{bgra.data(), dw, dh, dw * 4},
                           MutableImage{reference.data(), dw, dh, dw * 2}));
    EXPECT_EQ(yuy2, reference);
}

// Scaling the 4:2:2 planes agrees with scaling BGRA and then packing, within rounding.
TEST(FrameConvert, PlanarScalingAgreesWithScalingBgraFirst) {
    constexpr std::uint32_t sw = 333, sh = 197, dw = 640, dh = 360;  // odd sizes and a crop
    std::vector<std::uint8_t> src(static_cast<std::size_t>(sw) * sh * 4);
    for (std::uint32_t yy = 0; yy < sh; ++yy) {
        for (std::uint32_t x = 0; x < sw; ++x) {
            std::uint8_t* p = &src[(static_cast<std::size_t>(yy) * sw + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / sw);
            p[1] = static_cast<std::uint8_t>(yy * 255 / sh);
            p[2] = static_cast<std::uint8_t>(128 + (x % 16));
            p[3] = 255;
        }
    }
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(dw) * dh * 4);
    std::vector<std::uint8_t> reference(static_cast<std::size_t>(dw) * dh * 2);
    ASSERT_TRUE(scaleToFill(ImageView{src.data(), sw, sh, sw * 4},
                            MutableImage{scaled.data(), dw, dh, dw * 4}));
    ASSERT_TRUE(bgraToYuy2(ImageView{scaled.data(), dw, dh, dw * 4},
                           MutableImage{reference.data(), dw, dh, dw * 2}));
    std::vector<std::uint8_t> planar(reference.size(), 0);
    OutputConverter converter;
    ASSERT_TRUE(converter.convert(ImageView{src.data(), sw, sh, sw * 4},
                                  OutputConverter::Format::yuy2,
                                  MutableImage{planar.data(), dw, dh, dw * 2}));
    int worst = 0;
    double total = 0;
    for (std::size_t i = 0; i < planar.size(); ++i) {
        const int difference = std::abs(planar[i] - reference[i]);
        worst = std::max(worst, difference);
        total += difference;
    }
    // Chroma is subsampled before scaling rather than after: fine detail in colour moves a few
    // levels, the average not at all.
    EXPECT_LE(worst, 8);
    EXPECT_LT(total / static_cast<double>(planar.size()), 1.0);
}

}  // namespace
}  // namespace kestrel::camera
