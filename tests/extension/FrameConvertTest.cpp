#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>
#include <libyuv/scale.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "extension/FrameConvert.h"

namespace kestrel::camera {
namespace {

TEST(FrameConvert, FillCropKeepsTheDestinationAspect) {
    using Rect = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;
    const std::pair<Rect, Rect> cases[] = {
        // source width and height -> x, y, width and height of the crop into 1920x1080
        {{1280, 720, 0, 0}, {0, 0, 1280, 720}},
        {{1000, 1000, 0, 0}, {0, 219, 1000, 562}},    // taller: crop top and bottom
        {{4000, 1080, 0, 0}, {1040, 0, 1920, 1080}},  // wider: crop the sides
        {{1, 1, 0, 0}, {0, 0, 1, 1}},
    };
    for (const auto& [source, expected] : cases) {
        const CropRect crop = fillCrop(std::get<0>(source), std::get<1>(source), 1920, 1080);
        EXPECT_EQ(Rect(crop.x, crop.y, crop.width, crop.height), expected) << std::get<0>(source);
    }
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
    for (std::size_t i = 0; i < yuy2.size(); i += 2) {
        EXPECT_EQ(yuy2[i], 16) << i;
        EXPECT_EQ(yuy2[i + 1], 128) << i;
    }
}

TEST(FrameConvert, ConverterScalesThenPacksAndReusesTheConversionOfTheSameContentId) {
    std::vector<std::uint8_t> white(16 * 9 * 4, 255);
    std::vector<std::uint8_t> grey(16 * 9 * 4, 100);
    std::vector<std::uint8_t> out(32 * 18 * 2, 0);
    OutputConverter converter;
    const MutableImage dest{out.data(), 32, 18, 64};
    ASSERT_TRUE(
        converter.convert(ImageView{white.data(), 16, 9, 64}, OutputConverter::Format::yuy2, dest));
    EXPECT_NEAR(out[0], 235, 3);  // white Y (libyuv gives 233)
    EXPECT_NEAR(out[out.size() - 2], 235, 3);
    EXPECT_NEAR(out[1], 128, 1);

    ASSERT_TRUE(converter.convert(ImageView{grey.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  dest, 7));
    const std::uint8_t greyY = out[0];
    std::fill(out.begin(), out.end(), 0);
    // Same id: the cached result comes back even though these pixels differ (by contract they
    // would not).
    ASSERT_TRUE(converter.convert(ImageView{white.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  dest, 7));
    EXPECT_EQ(out[0], greyY);
    // Another size, or no id: converted anew.
    std::vector<std::uint8_t> small(16 * 9 * 2, 0);
    ASSERT_TRUE(converter.convert(ImageView{white.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  MutableImage{small.data(), 16, 9, 32}, 7));
    EXPECT_GT(small[small.size() - 2], greyY);
    ASSERT_TRUE(converter.convert(ImageView{white.data(), 16, 9, 64}, OutputConverter::Format::yuy2,
                                  dest, 0));
    EXPECT_GT(out[0], greyY);
}

// A picture for the comparisons below: a photo from python3-skimage scaled to `width` x `height`,
// or one opaque colour.
struct Picture {
    std::vector<std::uint8_t> bgra;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    ImageView view() const { return ImageView{bgra.data(), width, height, width * 4}; }
};

Picture photo(const char* name, std::uint32_t width, std::uint32_t height) {
    const cv::Mat read =
        cv::imread(std::string("/usr/lib/python3/dist-packages/skimage/data/") + name);
    if (read.empty()) {
        ADD_FAILURE() << "no photo " << name;
        return {};
    }
    cv::Mat sized;
    cv::Mat bgra;
    cv::resize(read, sized, cv::Size(static_cast<int>(width), static_cast<int>(height)), 0, 0,
               cv::INTER_AREA);
    cv::cvtColor(sized, bgra, cv::COLOR_BGR2BGRA);
    return Picture{std::vector<std::uint8_t>(bgra.datastart, bgra.dataend), width, height};
}

Picture uniform(std::array<std::uint8_t, 3> bgr, std::uint32_t width, std::uint32_t height) {
    Picture picture{std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 4), width,
                    height};
    for (std::size_t i = 0; i < picture.bgra.size(); i += 4) {
        std::copy(bgr.begin(), bgr.end(), picture.bgra.begin() + static_cast<std::ptrdiff_t>(i));
        picture.bgra[i + 3] = 255;
    }
    return picture;
}

// YUY2 made through scaled planes against YUY2 packed from scaled BGRA: the same picture within
// the rounding of one conversion, and identical where nothing is scaled. Uniform colours, the
// full-range edges among them, come out identical, in BGRA too: the scalers neither darken nor make
// translucent.
TEST(FrameConvert, PlanarScalingMatchesScalingBgraFirst) {
    struct Case {
        const char* name;
        Picture source;
        std::uint32_t width;
        std::uint32_t height;
        int worstLuma;
        int worstChroma;
        double meanLuma;
        double meanChroma;
    };
    const Case cases[] = {
        // 720p to 1080p takes the three-halves scaler, whose kernel is a sixteenth off bilinear.
        {"astronaut at 720p", photo("astronaut.png", 1280, 720), 1920, 1080, 16, 19, 0.5, 0.5},
        {"astronaut, scaled otherwise", photo("astronaut.png", 1000, 562), 1920, 1080, 1, 21, 0.25,
         0.45},
        {"astronaut at the output size", photo("astronaut.png", 640, 360), 640, 360, 0, 0, 0, 0},
        {"coffee, cropped and shrunk", photo("coffee.png", 333, 197), 160, 90, 1, 32, 0.25, 1.5},
        {"black", uniform({0, 0, 0}, 1280, 720), 1920, 1080, 0, 0, 0, 0},
        {"white", uniform({255, 255, 255}, 1280, 720), 1920, 1080, 0, 0, 0, 0},
        {"red", uniform({0, 0, 255}, 333, 197), 640, 360, 0, 0, 0, 0},
        {"blue", uniform({255, 0, 0}, 333, 197), 640, 360, 0, 0, 0, 0},
        {"orange", uniform({10, 128, 200}, 1280, 720), 1920, 1080, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t w = c.width;
        const std::uint32_t h = c.height;
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(w) * h * 4);
        std::vector<std::uint8_t> reference(static_cast<std::size_t>(w) * h * 2);
        ASSERT_TRUE(scaleToFill(c.source.view(), MutableImage{scaled.data(), w, h, w * 4}));
        ASSERT_TRUE(bgraToYuy2(ImageView{scaled.data(), w, h, w * 4},
                               MutableImage{reference.data(), w, h, w * 2}));
        std::vector<std::uint8_t> planar(reference.size());
        OutputConverter converter;
        ASSERT_TRUE(converter.convert(c.source.view(), OutputConverter::Format::yuy2,
                                      MutableImage{planar.data(), w, h, w * 2}));
        int worst[2] = {0, 0};  // luma, chroma
        double total[2] = {0, 0};
        for (std::size_t i = 0; i < planar.size(); ++i) {
            const int difference = std::abs(planar[i] - reference[i]);
            worst[i % 2] = std::max(worst[i % 2], difference);
            total[i % 2] += difference;
        }
        EXPECT_LE(worst[0], c.worstLuma);
        EXPECT_LE(worst[1], c.worstChroma);
        // Chroma is subsampled (4:2:0) before scaling rather than after: edges in colour move,
        // the average next to nothing.
        EXPECT_LE(total[0] / static_cast<double>(planar.size() / 2), c.meanLuma);
        EXPECT_LE(total[1] / static_cast<double>(planar.size() / 2), c.meanChroma);
        const std::array<std::uint8_t, 3> first{c.source.bgra[0], c.source.bgra[1],
                                                c.source.bgra[2]};
        if (c.source.bgra == uniform(first, c.source.width, c.source.height).bgra) {
            const std::vector<std::uint8_t> expected = uniform(first, w, h).bgra;
            std::vector<std::uint8_t> bgra(expected.size());
            ASSERT_TRUE(converter.convert(c.source.view(), OutputConverter::Format::bgra,
                                          MutableImage{bgra.data(), w, h, w * 4}));
            EXPECT_EQ(bgra, expected);
        }
    }
}

// The three-halves scaler works a band of rows at a time: it must come out exactly as doubling and
// then reducing each whole plane, with no seam where bands meet, for every output of one frame.
TEST(FrameConvert, ThreeHalvesScalingInBandsEqualsScalingWholePlanes) {
    const Picture source = photo("astronaut.png", 1280, 720);
    ASSERT_FALSE(source.bgra.empty());
    const int w = 1280;
    const int h = 720;
    std::vector<std::uint8_t> planes(static_cast<std::size_t>(w) * h * 3 / 2);
    std::uint8_t* y = planes.data();
    std::uint8_t* u = y + static_cast<std::size_t>(w) * h;
    std::uint8_t* v = u + static_cast<std::size_t>(w) * h / 4;
    ASSERT_EQ(libyuv::ARGBToI420(source.bgra.data(), w * 4, y, w, u, w / 2, v, w / 2, w, h), 0);
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(w) * h * 27 / 8);
    std::uint8_t* to = scaled.data();
    for (const auto& [plane, width, height] :
         {std::tuple{y, w, h}, std::tuple{u, w / 2, h / 2}, std::tuple{v, w / 2, h / 2}}) {
        std::vector<std::uint8_t> doubled(static_cast<std::size_t>(width) * height * 4);
        libyuv::ScalePlane(plane, width, width, height, doubled.data(), 2 * width, 2 * width,
                           2 * height, libyuv::kFilterBilinear);
        libyuv::ScalePlane(doubled.data(), 2 * width, 2 * width, 2 * height, to, width * 3 / 2,
                           width * 3 / 2, height * 3 / 2, libyuv::kFilterBilinear);
        to += static_cast<std::size_t>(width) * height * 9 / 4;
    }
    std::vector<std::uint8_t> expected(1920 * 1080 * 2);
    const std::uint8_t* sy = scaled.data();
    const std::uint8_t* su = sy + 1920 * 1080;
    const std::uint8_t* sv = su + 960 * 540;
    ASSERT_EQ(libyuv::I420ToYUY2(sy, 1920, su, 960, sv, 960, expected.data(), 1920 * 2, 1920, 1080),
              0);
    // The first output packs the frame directly, the second keeps the planes, the third packs them.
    OutputConverter converter;
    std::vector<std::uint8_t> black(expected.size());
    converter.convert(uniform({0, 0, 0}, 1280, 720).view(), OutputConverter::Format::yuy2,
                      MutableImage{black.data(), 1920, 1080, 1920 * 2}, 4);
    for (int output = 0; output < 3; ++output) {
        std::vector<std::uint8_t> banded(expected.size());
        ASSERT_TRUE(converter.convert(source.view(), OutputConverter::Format::yuy2,
                                      MutableImage{banded.data(), 1920, 1080, 1920 * 2}, 5));
        EXPECT_TRUE(banded == expected) << "output " << output;
    }
}

// A frame as the application sends it over the camera link: 4:2:0 planes with padded rows.
struct PlanarFrame {
    std::vector<std::uint8_t> bytes;
    ImageView view;
};
PlanarFrame planarOf(const Picture& picture) {
    const std::uint32_t w = picture.width;
    const std::uint32_t h = picture.height;
    const std::uint32_t stride = (w + 63) / 64 * 64 + 64;
    PlanarFrame frame{std::vector<std::uint8_t>(static_cast<std::size_t>(stride) * h * 3 / 2), {}};
    std::uint8_t* y = frame.bytes.data();
    std::uint8_t* u = y + static_cast<std::size_t>(stride) * h;
    std::uint8_t* v = u + static_cast<std::size_t>(stride / 2) * (h / 2);
    libyuv::ARGBToI420(picture.bgra.data(), static_cast<int>(w * 4), y, static_cast<int>(stride), u,
                       static_cast<int>(stride / 2), v, static_cast<int>(stride / 2),
                       static_cast<int>(w), static_cast<int>(h));
    frame.view = ImageView{y, w, h, stride, true};
    return frame;
}

// Planes from the application make what its BGRA frame would have made: the same luma to the
// level, the same chroma where the crop and the scaling allow, and BGRA within the rounding of a
// trip through YUV.
TEST(FrameConvert, PlanarFramesConvertAsTheirBgraWould) {
    struct Case {
        const char* name;
        Picture source;
        std::uint32_t width;
        std::uint32_t height;
        double meanChroma;
    };
    const Case cases[] = {
        {"astronaut at 720p", photo("astronaut.png", 1280, 720), 1920, 1080, 0},
        {"astronaut, scaled otherwise", photo("astronaut.png", 1000, 562), 1920, 1080, 0},
        {"astronaut at the output size", photo("astronaut.png", 640, 360), 640, 360, 1.0},
        {"coffee, cropped and shrunk", photo("coffee.png", 334, 198), 160, 90, 1.5},
        {"orange", uniform({10, 128, 200}, 1280, 720), 1920, 1080, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t w = c.width;
        const std::uint32_t h = c.height;
        const PlanarFrame planar = planarOf(c.source);
        std::vector<std::uint8_t> fromBgra(static_cast<std::size_t>(w) * h * 2);
        std::vector<std::uint8_t> fromPlanes(fromBgra.size());
        OutputConverter converter;
        ASSERT_TRUE(converter.convert(c.source.view(), OutputConverter::Format::yuy2,
                                      MutableImage{fromBgra.data(), w, h, w * 2}));
        ASSERT_TRUE(converter.convert(planar.view, OutputConverter::Format::yuy2,
                                      MutableImage{fromPlanes.data(), w, h, w * 2}));
        double chroma = 0;
        for (std::size_t i = 0; i < fromBgra.size(); i += 2) {
            ASSERT_EQ(fromPlanes[i], fromBgra[i]) << "luma at byte " << i;
            chroma += std::abs(fromPlanes[i + 1] - fromBgra[i + 1]);
        }
        EXPECT_LE(chroma / static_cast<double>(fromBgra.size() / 2), c.meanChroma);

        std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
        std::vector<std::uint8_t> scaled(bgra.size());
        ASSERT_TRUE(scaleToFill(c.source.view(), MutableImage{scaled.data(), w, h, w * 4}));
        ASSERT_TRUE(converter.convert(planar.view, OutputConverter::Format::bgra,
                                      MutableImage{bgra.data(), w, h, w * 4}, 7));
        double total = 0;
        for (std::size_t i = 0; i < bgra.size(); ++i) {
            total += i % 4 == 3 ? 255 - bgra[i] : std::abs(bgra[i] - scaled[i]);
        }
        EXPECT_LE(total / static_cast<double>(bgra.size()), 4.0);
    }
}

}  // namespace
}  // namespace kestrel::camera
