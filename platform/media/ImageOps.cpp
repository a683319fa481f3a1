#include "platform/media/ImageOps.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <opencv2/imgproc.hpp>

namespace kestrel::image {

namespace {

constexpr std::uint32_t kOpaqueBlack = 0xFF000000U;
constexpr double kMaxBlurRadius = 100.0;
// At or below this standard deviation a blur changes too little to be worth doing.
constexpr double kMinBlurRadius = 0.5;
// The reduced-size blur keeps at least this standard deviation, in reduced pixels, so the
// shrink and the bilinear enlargement stay small next to the blur itself. From 3 on the result
// is as close to an exact float Gaussian as OpenCV's full-size 8-bit one (within ~3 levels).
constexpr double kMinReducedSigma = 3.0;
constexpr int kMaxDownscale = 64;

// Read-only view of a buffer's top-left `width` x `height` pixels. OpenCV has no const Mat, so
// the cast is confined here and the views are only ever passed as inputs.
cv::Mat inputView(const PixelBuffer& buffer, int width, int height) {
    return {height, width, CV_8UC4, const_cast<std::uint8_t*>(buffer.data()),  // NOLINT
            static_cast<std::size_t>(buffer.stride())};
}

cv::Mat outputView(PixelBuffer& buffer, int width, int height) {
    return {height, width, CV_8UC4, buffer.data(), static_cast<std::size_t>(buffer.stride())};
}

// ---- Tone ----

// The tone controls as one affine map on (B, G, R): saturation mixes each channel towards the
// Rec. 709 luma, contrast stretches around mid-grey, brightness is added.
struct ToneMatrix {
    std::array<float, 9> coefficients;  // row = output channel, column = input, B G R
    std::array<float, 3> offsets;       // in 0..255 units, plus 0.5 so truncation rounds
    bool identity;
};

ToneMatrix makeToneMatrix(const ToneControls& controls) {
    constexpr std::array<double, 3> kLuma = {0.0722, 0.7152, 0.2126};  // B, G, R
    // A control that is not a finite number is left neutral.
    const auto finiteOr = [](double value, double neutral) {
        return std::isfinite(value) ? value : neutral;
    };
    const ToneControls tone{finiteOr(controls.saturation, 1.0), finiteOr(controls.contrast, 1.0),
                            finiteOr(controls.brightness, 0.0)};
    ToneMatrix matrix{};
    for (int out = 0; out < 3; ++out) {
        for (int in = 0; in < 3; ++in) {
            const double mix = (out == in ? tone.saturation : 0.0) +
                               (1.0 - tone.saturation) * kLuma[static_cast<std::size_t>(in)];
            matrix.coefficients[static_cast<std::size_t>(out * 3 + in)] =
                static_cast<float>(tone.contrast * mix);
        }
        const double offset = (0.5 * (1.0 - tone.contrast) + tone.brightness) * 255.0;
        matrix.offsets[static_cast<std::size_t>(out)] = static_cast<float>(offset + 0.5);
    }
    matrix.identity = tone.saturation == 1.0 && tone.contrast == 1.0 && tone.brightness == 0.0;
    return matrix;
}

// One BGRA pixel, read as a little-endian word (B in the low byte), toned.
inline std::uint32_t tonePixel(std::uint32_t pixel, const ToneMatrix& tone) {
    const auto& m = tone.coefficients;
    const auto& o = tone.offsets;
    const auto b = static_cast<float>(pixel & 0xFFU);
    const auto g = static_cast<float>((pixel >> 8U) & 0xFFU);
    const auto r = static_cast<float>((pixel >> 16U) & 0xFFU);
    // Clamped to [0, 255.5) first, so truncation rounds to a byte.
    const auto toByte = [](float value) {
        return static_cast<std::uint32_t>(
            static_cast<std::int32_t>(std::min(std::max(value, 0.0F), 255.49F)));
    };
    const std::uint32_t outB = toByte(m[0] * b + m[1] * g + m[2] * r + o[0]);
    const std::uint32_t outG = toByte(m[3] * b + m[4] * g + m[5] * r + o[1]);
    const std::uint32_t outR = toByte(m[6] * b + m[7] * g + m[8] * r + o[2]);
    return (pixel & 0xFF000000U) | outB | (outG << 8U) | (outR << 16U);
}

// Applies the tone to `width` x `height` pixels; `source` and `dest` may be the same memory.
// Alpha is carried over unchanged.
void applyTone(const std::uint8_t* source, int sourceStride, std::uint8_t* dest, int destStride,
               int width, int height, const ToneMatrix& tone) {
    static_assert(std::endian::native == std::endian::little, "pixels are read as BGRA words");
    if (tone.identity) {
        if (source != dest) {
            libyuv::ARGBCopy(source, sourceStride, dest, destStride, width, height);
        }
        return;
    }
    // Fixed-size blocks of whole words let the compiler vectorise the arithmetic.
    constexpr int kBlock = 16;
    std::array<std::uint32_t, kBlock> block{};
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = source + static_cast<std::ptrdiff_t>(y) * sourceStride;
        std::uint8_t* out = dest + static_cast<std::ptrdiff_t>(y) * destStride;
        int x = 0;
        for (; x + kBlock <= width; x += kBlock) {
            std::memcpy(block.data(), in + x * 4, sizeof(block));
            for (auto& pixel : block) {
                pixel = tonePixel(pixel, tone);
            }
            std::memcpy(out + x * 4, block.data(), sizeof(block));
        }
        for (; x < width; ++x) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, in + x * 4, sizeof(pixel));
            pixel = tonePixel(pixel, tone);
            std::memcpy(out + x * 4, &pixel, sizeof(pixel));
        }
    }
}

// ---- Reduced-size blur ----

// Halves `source` with 2 x 2 box averages; an odd last row or column is repeated first, so the
// result stands for the source padded to even size.
cv::Mat halve(const cv::Mat& source) {
    cv::Mat even = source;
    if (source.cols % 2 != 0 || source.rows % 2 != 0) {
        // Isolated: `source` may be one row or column of a larger image.
        cv::copyMakeBorder(source, even, 0, source.rows % 2, 0, source.cols % 2,
                           cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
    }
    cv::Mat half;
    cv::resize(even, half, cv::Size(even.cols / 2, even.rows / 2), 0, 0, cv::INTER_AREA);
    return half;
}

// Averages `factor` x `factor` blocks (`factor` a power of two) into a ceil(width / factor) x
// ceil(height / factor) image.
cv::Mat shrink(const cv::Mat& source, int factor) {
    cv::Mat small = source;
    for (int reduced = 1; reduced < factor; reduced *= 2) {
        small = halve(small);
    }
    return small;
}

// The shrunken image inside a one-pixel frame holding the shrunken edge rows and columns of the
// source (and its corner pixels). Repeating the frame outwards is then what repeating the
// source's edges outwards becomes at the reduced size; repeating the outermost blocks instead
// would spread their average, which differs from the edge row wherever detail touches the
// border, over a whole blur radius.
cv::Mat shrinkFramed(const cv::Mat& source, int factor) {
    const cv::Mat inner = shrink(source, factor);
    cv::Mat framed(inner.rows + 2, inner.cols + 2, CV_8UC4);
    inner.copyTo(framed(cv::Rect(1, 1, inner.cols, inner.rows)));
    const int last = framed.cols - 1;
    const int bottom = framed.rows - 1;
    shrink(source.row(0), factor).copyTo(framed(cv::Rect(1, 0, inner.cols, 1)));
    shrink(source.row(source.rows - 1), factor).copyTo(framed(cv::Rect(1, bottom, inner.cols, 1)));
    shrink(source.col(0), factor).copyTo(framed(cv::Rect(0, 1, 1, inner.rows)));
    shrink(source.col(source.cols - 1), factor).copyTo(framed(cv::Rect(last, 1, 1, inner.rows)));
    framed.at<cv::Vec4b>(0, 0) = source.at<cv::Vec4b>(0, 0);
    framed.at<cv::Vec4b>(0, last) = source.at<cv::Vec4b>(0, source.cols - 1);
    framed.at<cv::Vec4b>(bottom, 0) = source.at<cv::Vec4b>(source.rows - 1, 0);
    framed.at<cv::Vec4b>(bottom, last) = source.at<cv::Vec4b>(source.rows - 1, source.cols - 1);
    return framed;
}

// Where output pixel `index` of an image enlarged `factor` times samples the small image of
// `length` pixels: pixel centres line up, so output pixel i sits at (i + 0.5) / factor - 0.5.
struct Tap {
    int first;
    int second;
    int weight;  // of `second`, out of 256
};

Tap enlargeTap(int index, int factor, int length) {
    const double position = (index + 0.5) / factor - 0.5;
    if (position <= 0.0) {
        return {0, 0, 0};
    }
    const int first = static_cast<int>(position);
    if (first >= length - 1) {
        return {length - 1, length - 1, 0};
    }
    const int weight = static_cast<int>(std::lround((position - first) * 256.0));
    if (weight >= 256) {
        return {first + 1, first + 1, 0};
    }
    return {first, first + 1, weight};
}

// Bilinear enlargement of a framed small image (see shrinkFramed) by `factor`, pixel centres
// aligned, written to the `width` x `height` top-left part of `dest`. Output pixel (0, 0) lies
// in small pixel (1, 1); the frame supplies the far side for interpolating near the edges.
void enlargeFramed(const cv::Mat& framed, int factor, int width, int height, PixelBuffer& dest) {
    // Widen the few small rows first, then blend pairs of them into each output row.
    cv::Mat wide;
    cv::resize(framed, wide, cv::Size(framed.cols * factor, framed.rows), 0, 0, cv::INTER_LINEAR);
    const std::size_t skip = static_cast<std::size_t>(factor) * 4;  // the frame, widened
    for (int y = 0; y < height; ++y) {
        const Tap tap = enlargeTap(y + factor, factor, framed.rows);
        // dest = first * (256 - weight) / 256 + second * weight / 256; weight 0 copies.
        libyuv::ARGBInterpolate(wide.ptr<std::uint8_t>(tap.first) + skip, 0,
                                wide.ptr<std::uint8_t>(tap.second) + skip, 0, dest.row(y), 0, width,
                                1, tap.weight);
    }
}

// The standard deviation, in reduced pixels, that makes shrink + blur + enlarge match a Gaussian
// of `sigma` full-size pixels: the box average and the bilinear tent add their own variance
// ((f^2 - 1) / 12 and f^2 / 6), which the reduced blur leaves out.
double reducedSigma(double sigma, int factor) {
    const double f2 = static_cast<double>(factor) * factor;
    const double variance = sigma * sigma - (f2 - 1.0) / 12.0 - f2 / 6.0;
    return std::sqrt(std::max(variance, 0.0)) / factor;
}

void blurReduced(const PixelBuffer& source, PixelBuffer& dest, double sigma, int factor,
                 const ToneMatrix& tone, int width, int height) {
    const cv::Mat small = shrinkFramed(inputView(source, source.width(), source.height()), factor);
    cv::Mat blurred;
    const double smallSigma = reducedSigma(sigma, factor);
    if (smallSigma > 0.3) {
        cv::GaussianBlur(small, blurred, cv::Size(), smallSigma, smallSigma, cv::BORDER_REPLICATE);
    } else {
        blurred = small;
    }
    // The tone is affine, so toning the small image equals toning the enlarged one except where
    // it clips at 0 or 255, and costs 1 / factor^2 as much.
    applyTone(blurred.data, static_cast<int>(blurred.step), blurred.data,
              static_cast<int>(blurred.step), blurred.cols, blurred.rows, tone);
    enlargeFramed(blurred, factor, width, height, dest);
}

void blurFullSize(const PixelBuffer& source, PixelBuffer& dest, double sigma,
                  const ToneMatrix& tone, int width, int height) {
    const cv::Mat input = inputView(source, source.width(), source.height());
    if (width == source.width() && height == source.height()) {
        cv::Mat output = outputView(dest, width, height);
        cv::GaussianBlur(input, output, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        applyTone(dest.data(), dest.stride(), dest.data(), dest.stride(), width, height, tone);
        return;
    }
    // The edges must repeat the source's own edge pixels, so blur all of it and keep the corner.
    cv::Mat blurred;
    cv::GaussianBlur(input, blurred, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
    applyTone(blurred.data, static_cast<int>(blurred.step), dest.data(), dest.stride(), width,
              height, tone);
}

}  // namespace

FillGeometry fillGeometry(int sourceWidth, int sourceHeight, int destWidth, int destHeight) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || destWidth <= 0 || destHeight <= 0) {
        return {1.0,
                0.0,
                0.0,
                0.0,
                0.0,
                static_cast<double>(std::max(sourceWidth, 0)),
                static_cast<double>(std::max(sourceHeight, 0))};
    }
    const double sw = sourceWidth;
    const double sh = sourceHeight;
    const double dw = destWidth;
    const double dh = destHeight;
    const double k = std::max(dw / sw, dh / sh);
    const double offsetX = (dw - k * sw) / 2.0;
    const double offsetY = (dh - k * sh) / 2.0;
    return {k, offsetX, offsetY, -offsetX / k, -offsetY / k, dw / k, dh / k};
}

bool copy(const PixelBuffer& source, PixelBuffer& dest) {
    if (!source.sameSize(dest)) {
        return false;
    }
    if (&source != &dest) {
        libyuv::ARGBCopy(source.data(), source.stride(), dest.data(), dest.stride(), source.width(),
                         source.height());
    }
    return true;
}

PixelRect fillCropRect(int sourceWidth, int sourceHeight, int destWidth, int destHeight,
                       int align) {
    const FillGeometry geometry = fillGeometry(sourceWidth, sourceHeight, destWidth, destHeight);
    // Whole-pixel crop; the crop size is then off by at most `align` source pixels, a scale error
    // below align / source size.
    const auto margin = [align](int size, double visible) {
        const long cut = std::lround((size - visible) / 2.0);
        const int clamped =
            static_cast<int>(std::clamp(cut, 0L, static_cast<long>((size - 1) / 2)));
        return clamped - clamped % std::max(align, 1);
    };
    const int marginX = margin(sourceWidth, geometry.cropWidth);
    const int marginY = margin(sourceHeight, geometry.cropHeight);
    return {marginX, marginY, sourceWidth - 2 * marginX, sourceHeight - 2 * marginY};
}

void scaleToFill(const std::uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                 std::uint8_t* dest, int destWidth, int destHeight, int destStride) {
    if (sourceWidth == destWidth && sourceHeight == destHeight) {
        libyuv::ARGBCopy(source, sourceStride, dest, destStride, destWidth, destHeight);
        return;
    }
    const PixelRect crop = fillCropRect(sourceWidth, sourceHeight, destWidth, destHeight);
    // OpenCV rather than libyuv: Debian's libyuv scales with weights that add up to 127/128, so
    // every scaled frame came out about 1% darker and no longer opaque (alpha 253).
    const cv::Mat whole(sourceHeight, sourceWidth, CV_8UC4,
                        const_cast<std::uint8_t*>(source),  // NOLINT: only read
                        static_cast<std::size_t>(sourceStride));
    cv::Mat out(destHeight, destWidth, CV_8UC4, dest, static_cast<std::size_t>(destStride));
    cv::resize(whole(cv::Rect(crop.x, crop.y, crop.width, crop.height)), out, out.size(), 0, 0,
               cv::INTER_LINEAR);
}

void scaleToFill(const PixelBuffer& source, PixelBuffer& dest) {
    scaleToFill(source.data(), source.width(), source.height(), source.stride(), dest.data(),
                dest.width(), dest.height(), dest.stride());
}

double clampBlurRadius(double radius) {
    if (std::isnan(radius)) {
        return kMaxBlurRadius;
    }
    return std::clamp(radius, 0.0, kMaxBlurRadius);
}

int blurDownscaleFactor(double radius) {
    const double sigma = clampBlurRadius(radius);
    int factor = 1;
    while (factor < kMaxDownscale && sigma / (factor * 2) >= kMinReducedSigma) {
        factor *= 2;
    }
    return factor;
}

void blurAndTone(const PixelBuffer& source, PixelBuffer& dest, double radius,
                 const ToneControls& tone) {
    blurAndToneAtScale(source, dest, radius, blurDownscaleFactor(radius), tone);
}

void blurAndToneAtScale(const PixelBuffer& source, PixelBuffer& dest, double radius, int downscale,
                        const ToneControls& tone) {
    const double sigma = clampBlurRadius(radius);
    const ToneMatrix matrix = makeToneMatrix(tone);
    const int width = std::min(source.width(), dest.width());
    const int height = std::min(source.height(), dest.height());
    const int factor = static_cast<int>(
        std::bit_floor(static_cast<unsigned>(std::clamp(downscale, 1, kMaxDownscale))));

    if (sigma <= kMinBlurRadius) {
        applyTone(source.data(), source.stride(), dest.data(), dest.stride(), width, height,
                  matrix);
    } else if (factor == 1) {
        blurFullSize(source, dest, sigma, matrix, width, height);
    } else {
        blurReduced(source, dest, sigma, factor, matrix, width, height);
    }

    if (dest.width() > width) {
        libyuv::ARGBRect(dest.data(), dest.stride(), width, 0, dest.width() - width, height,
                         kOpaqueBlack);
    }
    if (dest.height() > height) {
        libyuv::ARGBRect(dest.data(), dest.stride(), 0, height, dest.width(),
                         dest.height() - height, kOpaqueBlack);
    }
}

bool blend(const PixelBuffer& first, const PixelBuffer& second, double weight, PixelBuffer& dest) {
    if (!first.sameSize(second) || !first.sameSize(dest)) {
        return false;
    }
    // A weight that is not a number counts as 0.
    const double w = std::isnan(weight) ? 0.0 : std::clamp(weight, 0.0, 1.0);
    // ARGBInterpolate gives src0 * (256 - f) / 256 + src1 * f / 256, so `second` gets f.
    const long fraction = std::lround((1.0 - w) * 256.0);
    if (fraction <= 0) {
        return copy(first, dest);
    }
    if (fraction >= 256) {
        return copy(second, dest);
    }
    libyuv::ARGBInterpolate(first.data(), first.stride(), second.data(), second.stride(),
                            dest.data(), dest.stride(), dest.width(), dest.height(),
                            static_cast<int>(fraction));
    return true;
}

}  // namespace kestrel::image
