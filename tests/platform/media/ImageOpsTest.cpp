#include "platform/media/ImageOps.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace kestrel::image {
namespace {

using Pixel = std::array<std::uint8_t, 4>;  // B, G, R, A
constexpr ToneControls kNoTone{1.0, 1.0, 0.0};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint8_t kPaddingMarker = 0xA5;

// ---- Test images ----

Pixel pixelAt(const PixelBuffer& buffer, int x, int y) {
    const std::uint8_t* p = buffer.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

// A shared-memory buffer followed by an inaccessible page, so that reading or writing past its
// end faults even inside libyuv and OpenCV, which the sanitizer does not instrument. The pixels
// end on the guard when stride * height is a whole number of pages (e.g. 1280 x 720). The guard
// relies on the kernel placing the buffer in the hole just below it; if it lands elsewhere the
// buffer simply goes unguarded.
PixelBufferRef guardedBuffer(int width, int height) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto stride = static_cast<std::size_t>((width * 4 + 63) / 64 * 64);
    const std::size_t length = (stride * static_cast<std::size_t>(height) + page - 1) / page * page;
    void* hole = ::mmap(nullptr, length + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (hole == MAP_FAILED) {
        return PixelBuffer::create(width, height, PixelStorage::sharedMemory);
    }
    ::munmap(hole, length);  // keep only the top page
    std::uint8_t* guard = static_cast<std::uint8_t*>(hole) + length;
    PixelBufferRef buffer = PixelBuffer::create(width, height, PixelStorage::sharedMemory);
    if (!buffer || buffer->data() + length != guard) {
        ::munmap(guard, page);
        return buffer;
    }
    return {buffer.get(), [buffer, guard, page](PixelBuffer*) { ::munmap(guard, page); }};
}

// A guarded buffer painted by `pattern`, with the row padding between width * 4 and the stride
// set to a marker no operation may touch.
PixelBufferRef makeImage(int width, int height, const std::function<Pixel(int, int)>& pattern) {
    PixelBufferRef buffer = guardedBuffer(width, height);
    for (int y = 0; y < height; ++y) {
        std::fill(buffer->row(y), buffer->row(y) + buffer->stride(), kPaddingMarker);
        for (int x = 0; x < width; ++x) {
            const Pixel p = pattern(x, y);
            std::copy(p.begin(), p.end(), buffer->row(y) + x * 4);
        }
    }
    return buffer;
}

PixelBufferRef uniform(int width, int height, Pixel colour = {1, 2, 3, 4}) {
    return makeImage(width, height, [colour](int, int) { return colour; });
}

bool paddingIntact(const PixelBuffer& buffer) {
    for (int y = 0; y < buffer.height(); ++y) {
        if (std::any_of(buffer.row(y) + buffer.width() * 4, buffer.row(y) + buffer.stride(),
                        [](std::uint8_t v) { return v != kPaddingMarker; })) {
            return false;
        }
    }
    return true;
}

// Smooth colour waves, different per channel; the steepest slope is 100 * 2 pi / 200 ~ 3.2
// levels per source pixel, so a sample misplaced by d pixels is off by at most 3.2 d levels.
constexpr double kSmoothSlope = 100.0 * 2.0 * M_PI / 200.0;
Pixel smoothWaves(int x, int y) {
    const auto wave = [](double phase) {
        return static_cast<std::uint8_t>(std::lround(128.0 + 100.0 * std::sin(phase)));
    };
    const double u = 2.0 * M_PI / 200.0;
    return {wave(u * x + 0.3), wave(u * y + 1.1), wave(u * (x + y) * M_SQRT1_2 + 2.0), 255};
}

// Gradients, hard-edged blocks (some touching the borders) and noise: the hard case for a blur
// that works at reduced size.
PixelBufferRef blocksAndNoise(int width, int height, unsigned seed) {
    PixelBufferRef image = makeImage(width, height, [&](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x * 200 / width), 90,
                     static_cast<std::uint8_t>(y * 200 / height), 255};
    });
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 12; ++i) {
        const int x0 = byte(random) * width / 256;
        const int y0 = byte(random) * height / 256;
        const int x1 = std::min(width, x0 + 1 + byte(random) * width / 512);
        const int y1 = std::min(height, y0 + 1 + byte(random) * height / 512);
        const std::array<int, 3> colour{byte(random), byte(random), byte(random)};
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                std::copy(colour.begin(), colour.end(), image->row(y) + x * 4);
            }
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width * 4; ++x) {
            if (x % 4 != 3) {
                image->row(y)[x] = static_cast<std::uint8_t>(
                    std::clamp(image->row(y)[x] + byte(random) / 8 - 16, 0, 255));
            }
        }
    }
    return image;
}

// ---- Reference implementations, in double precision and written for clarity only ----

struct Image {
    int width;
    int height;
    std::vector<double> values;  // B, G, R, A per pixel

    Image(int w, int h) : width(w), height(h), values(static_cast<std::size_t>(w * h * 4)) {}
    double& at(int x, int y, int c) {
        return values[static_cast<std::size_t>((y * width + x) * 4 + c)];
    }
    double at(int x, int y, int c) const {
        return values[static_cast<std::size_t>((y * width + x) * 4 + c)];
    }
};

Image toImage(const PixelBuffer& buffer) {
    Image image(buffer.width(), buffer.height());
    for (int y = 0; y < buffer.height(); ++y) {
        std::copy(buffer.row(y), buffer.row(y) + buffer.width() * 4,
                  image.values.begin() + y * buffer.width() * 4);
    }
    return image;
}

// Bilinear sampling at the exact fill geometry: destination pixel centre x + 0.5 maps to source
// position cropX + (x + 0.5) / k, sampled between pixel centres with the edges clamped.
Image referenceFill(const Image& source, int destWidth, int destHeight) {
    const FillGeometry g = fillGeometry(source.width, source.height, destWidth, destHeight);
    const auto tap = [](double position, int size) {
        const double clamped = std::clamp(position, 0.0, size - 1.0);
        const int first = static_cast<int>(clamped);
        return std::tuple{first, std::min(first + 1, size - 1), clamped - first};
    };
    Image out(destWidth, destHeight);
    for (int y = 0; y < destHeight; ++y) {
        const auto [y0, y1, wy] = tap(g.cropY + (y + 0.5) / g.scale - 0.5, source.height);
        for (int x = 0; x < destWidth; ++x) {
            const auto [x0, x1, wx] = tap(g.cropX + (x + 0.5) / g.scale - 0.5, source.width);
            for (int c = 0; c < 4; ++c) {
                const double top = source.at(x0, y0, c) * (1 - wx) + source.at(x1, y0, c) * wx;
                const double bottom = source.at(x0, y1, c) * (1 - wx) + source.at(x1, y1, c) * wx;
                out.at(x, y, c) = top * (1 - wy) + bottom * wy;
            }
        }
    }
    return out;
}

// Separable Gaussian, taps out to 4 sigma, edge pixels repeated outwards.
Image referenceBlur(const Image& in, double sigma) {
    const int radius = static_cast<int>(std::ceil(4.0 * sigma));
    std::vector<double> kernel;
    for (int i = -radius; i <= radius; ++i) {
        kernel.push_back(std::exp(-0.5 * i * i / (sigma * sigma)));
    }
    const double sum = std::accumulate(kernel.begin(), kernel.end(), 0.0);
    // One pass along every row (or column), copied out first with its end values repeated.
    const auto pass = [&](const Image& from, bool alongRows) {
        Image to(from.width, from.height);
        const int length = alongRows ? from.width : from.height;
        std::vector<double> line(static_cast<std::size_t>(length + 2 * radius));
        for (int l = 0; l < (alongRows ? from.height : from.width); ++l) {
            for (int c = 0; c < 4; ++c) {
                for (int i = -radius; i < length + radius; ++i) {
                    const int j = std::clamp(i, 0, length - 1);
                    line[static_cast<std::size_t>(i + radius)] =
                        alongRows ? from.at(j, l, c) : from.at(l, j, c);
                }
                for (int i = 0; i < length; ++i) {
                    const double acc =
                        std::inner_product(kernel.begin(), kernel.end(), line.begin() + i, 0.0);
                    (alongRows ? to.at(i, l, c) : to.at(l, i, c)) = acc / sum;
                }
            }
        }
        return to;
    };
    return pass(pass(in, true), false);
}

// Saturation towards Rec. 709 luma, then contrast around mid-grey, then brightness; alpha kept.
Image referenceTone(Image image, const ToneControls& tone = {}) {
    for (std::size_t i = 0; i < image.values.size(); i += 4) {
        double* p = &image.values[i];
        const double luma = (0.0722 * p[0] + 0.7152 * p[1] + 0.2126 * p[2]) / 255.0;
        for (int c = 0; c < 3; ++c) {
            const double saturated = luma + tone.saturation * (p[c] / 255.0 - luma);
            const double contrasted = (saturated - 0.5) * tone.contrast + 0.5 + tone.brightness;
            p[c] = std::clamp(contrasted * 255.0, 0.0, 255.0);
        }
    }
    return image;
}

struct Error {
    double meanAbs = 0.0;
    double maxAbs = 0.0;
    double psnr = 0.0;
};

// Differences over all four channels, in 8-bit levels.
Error compare(const PixelBuffer& actual, const Image& expected) {
    Error error;
    double sumSquares = 0.0;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width * 4; ++x) {
            const double d = std::abs(actual.row(y)[x] - expected.at(x / 4, y, x % 4));
            error.meanAbs += d;
            sumSquares += d * d;
            error.maxAbs = std::max(error.maxAbs, d);
        }
    }
    const auto count = static_cast<double>(expected.values.size());
    error.meanAbs /= count;
    error.psnr = 10.0 * std::log10(255.0 * 255.0 * count / std::max(sumSquares, 1e-9));
    return error;
}

std::ostream& operator<<(std::ostream& out, const Error& e) {
    return out << "mean " << e.meanAbs << ", max " << e.maxAbs << ", PSNR " << e.psnr << " dB";
}

std::string sizes(int w, int h, int dw, int dh) {
    return std::to_string(w) + "x" + std::to_string(h) + " -> " + std::to_string(dw) + "x" +
           std::to_string(dh);
}

// ---- Geometry, copy and scaling ----

TEST(FillGeometry, ScalesToCoverAndCropsTheOverflowEquallyOnBothSides) {
    // source and destination size; scale, offset x/y, crop x/y/width/height
    constexpr double kCases[][11] = {
        {1920, 1080, 1280, 720, 2.0 / 3, 0, 0, 0, 0, 1920, 1080},
        {640, 480, 1280, 720, 2.0, 0, -120, 0, 60, 640, 360},              // 4:3 into 16:9
        {1280, 720, 640, 480, 2.0 / 3, -320.0 / 3, 0, 160, 0, 960, 720}};  // 16:9 into 4:3
    for (const auto& c : kCases) {
        const FillGeometry g = fillGeometry(static_cast<int>(c[0]), static_cast<int>(c[1]),
                                            static_cast<int>(c[2]), static_cast<int>(c[3]));
        const double actual[] = {g.scale, g.offsetX,   g.offsetY,   g.cropX,
                                 g.cropY, g.cropWidth, g.cropHeight};
        for (int i = 0; i < 7; ++i) {
            EXPECT_NEAR(actual[i], c[4 + i], 1e-9) << "case " << c[0] << ", field " << i;
        }
    }
}

TEST(Copy, CopiesExactlyAndRefusesOtherSizes) {
    const PixelBufferRef source = blocksAndNoise(1280, 720, 1);
    const PixelBufferRef copied = uniform(1280, 720);
    ASSERT_TRUE(copy(*source, *copied));
    EXPECT_EQ(compare(*copied, toImage(*source)).maxAbs, 0.0);
    const PixelBufferRef scaled = uniform(1280, 720);
    scaleToFill(*source, *scaled);  // same size: no scaling either
    EXPECT_EQ(compare(*scaled, toImage(*source)).maxAbs, 0.0);

    const PixelBufferRef other = uniform(1280, 719);
    EXPECT_FALSE(copy(*source, *other));
    EXPECT_EQ(pixelAt(*other, 0, 0), (Pixel{1, 2, 3, 4}));
}

TEST(ScaleToFill, KeepsAUniformOpaqueImageExactAtEverySize) {
    // A scaler whose weights do not add up to one darkens every frame and makes it translucent.
    constexpr int kSizes[][4] = {{1920, 1080, 1280, 720}, {640, 480, 1280, 720}, {3, 5, 7, 4}};
    for (const auto& [sw, sh, dw, dh] : kSizes) {
        const PixelBufferRef source = PixelBuffer::create(sw, sh);
        source->fill(10, 128, 200, 255);
        const PixelBufferRef dest = PixelBuffer::create(dw, dh);
        scaleToFill(*source, *dest);
        for (const auto& [x, y] :
             {std::pair{0, 0}, std::pair{dw / 2, dh / 2}, std::pair{dw - 1, dh - 1}}) {
            EXPECT_EQ(pixelAt(*dest, x, y), (Pixel{10, 128, 200, 255}))
                << sw << "x" << sh << " -> " << dw << "x" << dh << " at " << x << "," << y;
        }
    }
}

TEST(ScaleToFill, MatchesBilinearSamplingAtTheFillGeometry) {
    // The crop is rounded to whole pixels (at most half a source pixel off at each edge) and
    // enlarging aligns corner pixels rather than pixel centres (at most half a source pixel off
    // at the edges): samples are misplaced by at most one source pixel, worth kSmoothSlope
    // levels, half that on average, plus rounding in the fixed-point kernel.
    constexpr int kSizes[][4] = {
        {1, 1, 3, 5},           {3, 5, 1, 1},          {3, 5, 7, 4},
        {569, 480, 1280, 720},  {640, 480, 1280, 720}, {1920, 1080, 1280, 720},
        {1280, 720, 1279, 721}, {1280, 720, 640, 480}, {1280, 720, 320, 180}};
    for (const auto& [sw, sh, dw, dh] : kSizes) {
        SCOPED_TRACE(sizes(sw, sh, dw, dh));
        const PixelBufferRef source = makeImage(sw, sh, smoothWaves);
        const PixelBufferRef dest = uniform(dw, dh);
        scaleToFill(*source, *dest);
        const Error error = compare(*dest, referenceFill(toImage(*source), dw, dh));
        EXPECT_LE(error.maxAbs, kSmoothSlope + 3.0) << error;
        EXPECT_LE(error.meanAbs, kSmoothSlope / 2 + 1.5) << error;
        EXPECT_TRUE(paddingIntact(*dest));
    }
}

// ---- Blur and tone ----

TEST(BlurAndTone, RadiiAreClampedToZeroToAHundredAndUpToHalfAPixelOnlyTone) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kRadii[][2] = {{18, 18},    {0.4, 0.4},  {100, 100}, {250, 100},
                                    {kInf, 100}, {kNaN, 100}, {-3, 0},    {-kInf, 0}};
    for (const auto& [radius, clamped] : kRadii) {
        EXPECT_EQ(clampBlurRadius(radius), clamped) << radius;
    }
    const PixelBufferRef source = blocksAndNoise(97, 61, 5);
    const PixelBufferRef hundred = uniform(97, 61);
    blurAndTone(*source, *hundred, 100.0);
    for (const double radius : {250.0, kNaN}) {
        const PixelBufferRef dest = uniform(97, 61);
        blurAndTone(*source, *dest, radius);
        EXPECT_EQ(compare(*dest, toImage(*hundred)).maxAbs, 0.0) << radius;
    }

    // A radius up to half a pixel only tones: a hard black/white edge stays hard; every pixel is
    // just its own colour toned.
    const PixelBufferRef edge = makeImage(40, 30, [](int x, int y) {
        return x < 20 ? Pixel{0, 0, 0, 255} : Pixel{255, 255, 255, static_cast<std::uint8_t>(y)};
    });
    for (const double radius : {0.4, 0.5, 0.0, -7.0}) {
        const PixelBufferRef dest = uniform(40, 30);
        blurAndTone(*edge, *dest, radius);
        EXPECT_LE(compare(*dest, referenceTone(toImage(*edge))).maxAbs, 0.5) << radius;
    }
}

TEST(BlurAndTone, BlurMatchesTheReferenceGaussianAtFullAndReducedSize) {
    // At full size (factor 1) OpenCV's 8-bit Gaussian uses fixed-point taps out to 3 sigma (the
    // reference goes to 4): a couple of levels at worst next to hard edges, well under one on
    // average. Shrinking, blurring and enlarging is not exactly a Gaussian: box and bilinear tent
    // have shapes of their own and the output is interpolated between reduced samples. With at
    // least 2 reduced pixels of sigma that stays within a few levels; 46 dB is an RMS error of
    // 1.3. A sigma not scaled to the reduced size, a half-pixel shift in the enlargement or edges
    // that repeat block averages instead of the edge row each fail this.
    struct Case {
        int width, height;
        double sigma;
        int factor;  // 0: the one blurAndTone picks
    };
    const Case cases[] = {{1, 1, 2, 1},       {3, 5, 2, 1},      {3, 5, 6, 1},
                          {569, 480, 0.8, 1}, {569, 480, 2, 1},  {211, 157, 6, 1},
                          {333, 241, 18, 0},  {333, 241, 18, 2}, {333, 241, 18, 8},
                          {161, 121, 100, 0}, {160, 120, 9, 0},  {3, 5, 18, 0},
                          {1, 1, 100, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(sizes(c.width, c.height, c.width, c.height) + " sigma " +
                     std::to_string(c.sigma) + " factor " + std::to_string(c.factor));
        const PixelBufferRef source = blocksAndNoise(c.width, c.height, c.factor == 1 ? 3 : 4);
        const PixelBufferRef dest = uniform(c.width, c.height);
        if (c.factor == 0) {
            ASSERT_GT(blurDownscaleFactor(c.sigma), 1);
            blurAndTone(*source, *dest, c.sigma);
        } else {
            blurAndToneAtScale(*source, *dest, c.sigma, c.factor);
        }
        const Error error = compare(*dest, referenceTone(referenceBlur(toImage(*source), c.sigma)));
        if (c.factor == 1) {
            EXPECT_LE(error.maxAbs, 2.5) << error;
            EXPECT_LE(error.meanAbs, 0.5) << error;
        } else {
            EXPECT_GE(error.psnr, 46.0) << error;
            EXPECT_LE(error.maxAbs, 5.0) << error;
        }
        EXPECT_TRUE(paddingIntact(*dest));
    }
}

TEST(BlurAndTone, OtherDestinationSizesCropOrPadWithBlackFromTheTopLeft) {
    const PixelBufferRef source = blocksAndNoise(45, 31, 6);
    for (const double radius : {0.0, 2.0, 18.0}) {
        const PixelBufferRef full = uniform(45, 31);
        blurAndTone(*source, *full, radius);
        for (const auto& [width, height] : {std::pair{60, 20}, {30, 40}, {3, 2}}) {
            const PixelBufferRef dest = uniform(width, height);
            blurAndTone(*source, *dest, radius);
            for (int i = 0; i < width * height; ++i) {
                const int x = i % width, y = i / width;
                const Pixel expected =
                    x < 45 && y < 31 ? pixelAt(*full, x, y) : Pixel{0, 0, 0, 255};
                ASSERT_EQ(pixelAt(*dest, x, y), expected)
                    << sizes(45, 31, width, height) << ", radius " << radius << " at " << x << ","
                    << y;
            }
            EXPECT_TRUE(paddingIntact(*dest));
        }
    }
}

TEST(Tone, GreyFeelsOnlyContrastAndRedMovesTwelvePercentTowardsItsLuma) {
    const PixelBufferRef ramp = makeImage(256, 1, [](int x, int) {
        const auto v = static_cast<std::uint8_t>(x);
        return Pixel{v, v, v, 255};
    });
    const PixelBufferRef toned = uniform(256, 1);
    blurAndTone(*ramp, *toned, 0.0, {0.88, 1.0, 0.0});
    EXPECT_EQ(compare(*toned, toImage(*ramp)).maxAbs, 0.0);  // saturation leaves grey alone
    blurAndTone(*ramp, *toned, 0.0);
    for (int i = 0; i < 256 * 3; ++i) {
        const double expected = std::clamp((i / 3 - 127.5) * 1.02 + 127.5, 0.0, 255.0);
        EXPECT_NEAR(pixelAt(*toned, i / 3, 0)[static_cast<std::size_t>(i % 3)], expected, 0.5);
    }

    // Luma of pure red is 0.2126 * 255 = 54.2: red drops to 54.2 + 0.88 * (255 - 54.2) = 230.9,
    // green and blue rise to 0.12 * 54.2 = 6.5; contrast then spreads them from mid-grey.
    const PixelBufferRef red = uniform(1, 1, {0, 0, 255, 200});
    const PixelBufferRef dest = uniform(1, 1);
    const std::pair<ToneControls, Pixel> kCases[] = {
        {{0.88, 1.0, 0.0}, {7, 7, 231, 200}},
        {{}, {4, 4, 233, 200}},
        {{1.0, 1.0, 0.1}, {26, 26, 255, 200}},   // brightness: + 25.5 levels
        {{kNaN, 1.0, kNaN}, {0, 0, 255, 200}}};  // nonsense stays neutral
    for (const auto& [tone, expected] : kCases) {
        blurAndTone(*red, *dest, 0.0, tone);
        EXPECT_EQ(pixelAt(*dest, 0, 0), expected);
    }
}

// ---- Blend ----

TEST(Blend, WeightGoesToTheFirstImageAndTheDestinationMayBeEitherInput) {
    const PixelBufferRef first = blocksAndNoise(33, 17, 7);
    const PixelBufferRef second = blocksAndNoise(33, 17, 8);
    const Image a = toImage(*first);
    const Image b = toImage(*second);
    for (const double weight : {0.0, 1.0, 0.5, 0.25, 0.9, -2.0, 3.0, kNaN}) {
        const PixelBufferRef dest = uniform(33, 17);
        ASSERT_TRUE(blend(*first, *second, weight, *dest));
        const double w = std::isnan(weight) ? 0.0 : std::clamp(weight, 0.0, 1.0);
        Image expected(33, 17);
        for (std::size_t i = 0; i < expected.values.size(); ++i) {
            expected.values[i] = w * a.values[i] + (1.0 - w) * b.values[i];
        }
        // The ends are plain copies; in between, 8-bit weights and rounding cost up to a level.
        EXPECT_LE(compare(*dest, expected).maxAbs, w == 0.0 || w == 1.0 ? 0.0 : 1.0) << weight;
        EXPECT_TRUE(paddingIntact(*dest));

        const PixelBufferRef intoFirst = blocksAndNoise(33, 17, 7);
        ASSERT_TRUE(blend(*intoFirst, *second, weight, *intoFirst));
        EXPECT_EQ(compare(*intoFirst, toImage(*dest)).maxAbs, 0.0) << weight;
        const PixelBufferRef intoSecond = blocksAndNoise(33, 17, 8);
        ASSERT_TRUE(blend(*first, *intoSecond, weight, *intoSecond));
        EXPECT_EQ(compare(*intoSecond, toImage(*dest)).maxAbs, 0.0) << weight;
    }
    const PixelBufferRef other = uniform(33, 16);
    EXPECT_FALSE(blend(*first, *other, 0.5, *first));
    EXPECT_FALSE(blend(*first, *second, 0.5, *other));
    EXPECT_EQ(pixelAt(*other, 0, 0), (Pixel{1, 2, 3, 4}));
}

}  // namespace
}  // namespace kestrel::image
