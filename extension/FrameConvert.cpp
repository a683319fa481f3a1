#include "extension/FrameConvert.h"

#include <algorithm>
#include <cstring>

#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <opencv2/imgproc.hpp>

#include "extension/StreamPorts.h"
#include "platform/link/Wire.h"
#include "platform/media/ImageOps.h"

namespace kestrel::camera {

ImageView imageOf(const SampleBuffer& buffer) {
    return {buffer.pixels, buffer.width, buffer.height, buffer.stride, buffer.planar};
}

CropRect fillCrop(std::uint32_t sw, std::uint32_t sh, std::uint32_t dw, std::uint32_t dh) {
    if (sw == 0 || sh == 0 || dw == 0 || dh == 0) {
        return {0, 0, sw, sh};
    }
    const image::PixelRect crop = image::fillCropRect(static_cast<int>(sw), static_cast<int>(sh),
                                                      static_cast<int>(dw), static_cast<int>(dh));
    return {static_cast<std::uint32_t>(crop.x), static_cast<std::uint32_t>(crop.y),
            static_cast<std::uint32_t>(crop.width), static_cast<std::uint32_t>(crop.height)};
}

bool scaleToFill(const ImageView& source, const MutableImage& dest) {
    if (source.pixels == nullptr || dest.pixels == nullptr || source.width == 0 ||
        source.height == 0 || dest.width == 0 || dest.height == 0) {
        return false;
    }
    image::scaleToFill(source.pixels, static_cast<int>(source.width),
                       static_cast<int>(source.height), static_cast<int>(source.stride),
                       dest.pixels, static_cast<int>(dest.width), static_cast<int>(dest.height),
                       static_cast<int>(dest.stride));
    return true;
}

bool bgraToYuy2(const ImageView& source, const MutableImage& dest) {
    if (source.pixels == nullptr || dest.pixels == nullptr || source.width != dest.width ||
        source.height != dest.height) {
        return false;
    }
    return libyuv::ARGBToYUY2(source.pixels, static_cast<int>(source.stride), dest.pixels,
                              static_cast<int>(dest.stride), static_cast<int>(source.width),
                              static_cast<int>(source.height)) == 0;
}

namespace {

void copyRows(const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to,
              std::size_t toStride, std::size_t rowBytes, std::uint32_t rows) {
    libyuv::CopyPlane(from, static_cast<int>(fromStride), to, static_cast<int>(toStride),
                      static_cast<int>(rowBytes), static_cast<int>(rows));
}

void scalePlane(const std::uint8_t* from, std::uint32_t width, std::uint32_t height,
                std::uint8_t* to, std::uint32_t toWidth, std::uint32_t toHeight,
                std::size_t fromStride) {
    // OpenCV rather than libyuv's general scaler: faster here, and exact on uniform areas.
    const cv::Mat in(static_cast<int>(height), static_cast<int>(width), CV_8UC1,
                     const_cast<std::uint8_t*>(from), fromStride);
    cv::Mat out(static_cast<int>(toHeight), static_cast<int>(toWidth), CV_8UC1, to);
    cv::resize(in, out, out.size(), 0, 0, cv::INTER_LINEAR);
}

// The planes of a planar source, laid out as the camera link does.
struct SourcePlanes {
    const std::uint8_t* y;
    const std::uint8_t* u;
    const std::uint8_t* v;
    std::size_t stride;
    std::size_t chromaStride;
};
SourcePlanes planesOf(const ImageView& source) {
    const link::ChromaLayout chroma = link::chromaLayout(source.stride, source.height);
    return {source.pixels, source.pixels + chroma.cb, source.pixels + chroma.cr, source.stride,
            chroma.stride};
}

// Chroma rows per band of the three-halves scaler; even, so that every band's chroma rows double
// to whole groups of four.
constexpr int kBandChromaRows = 32;

// Room on the right of each band row: one column more than the plane, rounded up to keep rows
// aligned.
constexpr int kBandMargin = 32;

// One plane's band: `rows` rows starting at plane row `first` doubled into `doubled`, then rows
// [from, until) of the plane, their doubles reduced by a quarter into `to` (the first of their
// rows in the scaled plane). Doubling clamps at the band's edges, so the band holds a row more than
// needed on each side away from the frame's edges, and those rows' doubles are left out.
void scaleBand(std::uint8_t* band, int width, int first, int rows, int from, int until,
               std::uint8_t* doubled, std::uint8_t* to) {
    // Each row's last pixel repeated once more on its right: doubling it then gives the same
    // edge, and libyuv's vector code covers the whole row instead of leaving its end to plain C.
    const int stride = width + kBandMargin;
    for (int row = 0; row < rows; ++row) {
        std::uint8_t* end = band + static_cast<std::ptrdiff_t>(row) * stride + width;
        end[0] = end[-1];
    }
    const int doubledStride = 2 * stride;
    libyuv::ScalePlane(band, stride, width + 1, rows, doubled, doubledStride, 2 * width + 2,
                       2 * rows, libyuv::kFilterBilinear);
    const int outWidth = width * 3 / 2;
    const int keep = 2 * (until - from);
    libyuv::ScalePlane(doubled + static_cast<std::ptrdiff_t>(2 * (from - first)) * doubledStride,
                       doubledStride, 2 * width, keep, to, outWidth, outWidth, keep * 3 / 4,
                       libyuv::kFilterBilinear);
}

// Whether the three-halves scaler takes `source` to `width` x `height`: both its sides multiples
// of four and exactly two thirds of the output's, so nothing is cropped.
bool scalesByThreeHalves(const ImageView& source, std::uint32_t width, std::uint32_t height) {
    return source.pixels != nullptr && source.width != 0 && source.height != 0 &&
           source.width % 4 == 0 && source.height % 4 == 0 && 2 * width == 3 * source.width &&
           2 * height == 3 * source.height;
}

}  // namespace

bool OutputConverter::scaleThreeHalves(const ImageView& source, std::uint8_t* out,
                                       const MutableImage* packed) {
    // Half as large again, 720p to 1080p: libyuv's bilinear doubling and its filtered reduction
    // by a quarter take less than half the time of one general bilinear pass, and a band at a time
    // keeps the doubled rows in the cache. The kernel differs from bilinear by a sixteenth at most
    // and keeps uniform areas exact.
    const int width = static_cast<int>(source.width);
    const int height = static_cast<int>(source.height);
    const int chromaWidth = width / 2;
    const int chromaRows = height / 2;
    const int bandRows = kBandChromaRows + 2;
    const std::size_t lumaBytes = static_cast<std::size_t>(2 * bandRows) * (width + kBandMargin);
    const std::size_t chromaBytes =
        static_cast<std::size_t>(bandRows) * (chromaWidth + kBandMargin);
    // Both sides are multiples of four, so every plane scales by exactly three halves.
    const int outWidth = width / 2 * 3;
    const int outChromaWidth = chromaWidth / 2 * 3;
    const std::size_t outLumaBytes = static_cast<std::size_t>(outWidth) * (height / 2 * 3);
    const std::size_t outChromaBytes =
        static_cast<std::size_t>(outChromaWidth) * (chromaRows / 2 * 3);
    // Packed a band at a time, the scaled rows stay in the cache too and go nowhere else.
    const std::size_t bandOutLuma = static_cast<std::size_t>(outWidth) * kBandChromaRows * 3;
    const std::size_t bandOutChroma =
        static_cast<std::size_t>(outChromaWidth) * kBandChromaRows * 3 / 2;
    band_.resize(lumaBytes + 2 * chromaBytes + 4 * lumaBytes + bandOutLuma + 2 * bandOutChroma);
    std::uint8_t* y = band_.data();
    std::uint8_t* u = y + lumaBytes;
    std::uint8_t* v = u + chromaBytes;
    std::uint8_t* doubled = v + chromaBytes;
    std::uint8_t* bandOut = doubled + 4 * lumaBytes;
    for (int from = 0; from < chromaRows; from += kBandChromaRows) {
        const int until = std::min(chromaRows, from + kBandChromaRows);
        const int first = std::max(0, from - 1);
        const int rows = std::min(chromaRows, until + 1) - first;
        if (source.planar) {
            const SourcePlanes in = planesOf(source);
            copyRows(in.y + static_cast<std::size_t>(2 * first) * in.stride, in.stride, y,
                     width + kBandMargin, width, 2 * rows);
            copyRows(in.u + first * in.chromaStride, in.chromaStride, u, chromaWidth + kBandMargin,
                     chromaWidth, rows);
            copyRows(in.v + first * in.chromaStride, in.chromaStride, v, chromaWidth + kBandMargin,
                     chromaWidth, rows);
        } else if (libyuv::ARGBToI420(
                       source.pixels + static_cast<std::size_t>(2 * first) * source.stride,
                       static_cast<int>(source.stride), y, width + kBandMargin, u,
                       chromaWidth + kBandMargin, v, chromaWidth + kBandMargin, width,
                       2 * rows) != 0) {
            return false;
        }
        std::uint8_t* toY = bandOut;
        std::uint8_t* toU = bandOut + bandOutLuma;
        std::uint8_t* toV = toU + bandOutChroma;
        if (packed == nullptr) {
            toY = out + static_cast<std::size_t>(from) * 3 * outWidth;
            toU = out + outLumaBytes + static_cast<std::size_t>(from) * 3 / 2 * outChromaWidth;
            toV = toU + outChromaBytes;
        }
        scaleBand(y, width, 2 * first, 2 * rows, 2 * from, 2 * until, doubled, toY);
        scaleBand(u, chromaWidth, first, rows, from, until, doubled, toU);
        scaleBand(v, chromaWidth, first, rows, from, until, doubled, toV);
        if (packed != nullptr &&
            libyuv::I420ToYUY2(toY, outWidth, toU, outChromaWidth, toV, outChromaWidth,
                               packed->pixels + static_cast<std::size_t>(from) * 3 * packed->stride,
                               static_cast<int>(packed->stride), outWidth,
                               3 * (until - from)) != 0) {
            return false;
        }
    }
    return true;
}

bool OutputConverter::convert(const ImageView& source, Format format, const MutableImage& dest,
                              std::uint64_t contentId) {
    if (dest.pixels == nullptr || dest.width == 0 || dest.height == 0) {
        return false;
    }
    if (format == Format::bgra && !source.planar) {
        return convertBgra(source, dest, contentId);
    }
    const bool reuse = contentId != 0 && contentId == planes_.contentId &&
                       dest.width == planes_.width && dest.height == planes_.height;
    if (format == Format::yuy2 && !reuse && (contentId == 0 || contentId != packedDirectly_)) {
        // The first output to take a frame has it packed a band at a time, without whole scaled
        // planes; a second output of the same frame makes and keeps them for any further one.
        if (scalesByThreeHalves(source, dest.width, dest.height)) {
            planes_.contentId = 0;
            packedDirectly_ = contentId;
            return scaleThreeHalves(source, nullptr, &dest);
        }
    }
    if (!reuse) {
        planes_.contentId = 0;
        if (!convertPlanes(source, dest.width, dest.height)) {
            return false;
        }
        planes_.contentId = contentId;
    }
    const int width = static_cast<int>(dest.width);
    const int height = static_cast<int>(dest.height);
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = planes_.fullChromaRows ? height : (height + 1) / 2;
    const std::uint8_t* y = planes_.bytes.data();
    const std::uint8_t* u = y + static_cast<std::size_t>(width) * dest.height;
    const std::uint8_t* v = u + static_cast<std::size_t>(chromaWidth) * chromaHeight;
    const int stride = static_cast<int>(dest.stride);
    if (format == Format::bgra) {  // a planar source's planes, 4:2:0 always
        return libyuv::I420ToARGB(y, width, u, chromaWidth, v, chromaWidth, dest.pixels, stride,
                                  width, height) == 0;
    }
    const int packed = planes_.fullChromaRows
                           ? libyuv::I422ToYUY2(y, width, u, chromaWidth, v, chromaWidth,
                                                dest.pixels, stride, width, height)
                           : libyuv::I420ToYUY2(y, width, u, chromaWidth, v, chromaWidth,
                                                dest.pixels, stride, width, height);
    return packed == 0;
}

bool OutputConverter::convertPlanes(const ImageView& source, std::uint32_t width,
                                    std::uint32_t height) {
    if (source.pixels == nullptr || source.width == 0 || source.height == 0) {
        return false;
    }
    const CropRect crop = fillCrop(source.width, source.height, width, height);
    // A BGRA frame of the output's size keeps every chroma row, exactly as packing BGRA would; one
    // to scale drops every other row first, halving the chroma to scale (consumers of YUY2 mostly
    // drop them anyway). Planar frames have 4:2:0 chroma to begin with.
    const bool scaled = crop.width != width || crop.height != height;
    planes_.fullChromaRows = !scaled && !source.planar;
    planes_.width = width;
    planes_.height = height;
    if (scalesByThreeHalves(source, width, height)) {
        planes_.bytes.resize(static_cast<std::size_t>(width) * height * 3 / 2);
        return scaleThreeHalves(source, planes_.bytes.data(), nullptr);
    }
    // The crop's 4:2:0 planes: where they lie in a planar frame, else converted from BGRA (straight
    // into the output's planes when nothing is left to scale).
    SourcePlanes in{};
    std::uint32_t chromaWidth = (crop.width + 1) / 2;
    std::uint32_t chromaHeight = (crop.height + 1) / 2;
    if (source.planar) {
        const SourcePlanes all = planesOf(source);
        const std::uint32_t cx = crop.x / 2;
        const std::uint32_t cy = crop.y / 2;
        chromaWidth = std::min(chromaWidth, source.width / 2 - cx);
        chromaHeight = std::min(chromaHeight, source.height / 2 - cy);
        in = {all.y + crop.y * all.stride + crop.x, all.u + cy * all.chromaStride + cx,
              all.v + cy * all.chromaStride + cx, all.stride, all.chromaStride};
    } else {
        if (!scaled) {
            chromaHeight = crop.height;
        }
        const std::size_t lumaBytes = static_cast<std::size_t>(crop.width) * crop.height;
        const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * chromaHeight;
        std::vector<std::uint8_t>& converted = scaled ? sourcePlanes_ : planes_.bytes;
        converted.resize(lumaBytes + 2 * chromaBytes);
        std::uint8_t* y = converted.data();
        std::uint8_t* u = y + lumaBytes;
        std::uint8_t* v = u + chromaBytes;
        const std::uint8_t* origin =
            source.pixels + static_cast<std::size_t>(crop.y) * source.stride + crop.x * 4ULL;
        const auto toPlanes = scaled ? &libyuv::ARGBToI420 : &libyuv::ARGBToI422;
        if (toPlanes(origin, static_cast<int>(source.stride), y, static_cast<int>(crop.width), u,
                     static_cast<int>(chromaWidth), v, static_cast<int>(chromaWidth),
                     static_cast<int>(crop.width), static_cast<int>(crop.height)) != 0) {
            return false;
        }
        in = {y, u, v, crop.width, chromaWidth};
        if (!scaled) {
            return true;
        }
    }
    const std::uint32_t outChroma = (width + 1) / 2;
    const std::size_t outLuma = static_cast<std::size_t>(width) * height;
    const std::uint32_t outChromaHeight = (height + 1) / 2;
    const std::size_t outChromaBytes = static_cast<std::size_t>(outChroma) * outChromaHeight;
    planes_.bytes.resize(outLuma + 2 * outChromaBytes);
    std::uint8_t* outY = planes_.bytes.data();
    scalePlane(in.y, crop.width, crop.height, outY, width, height, in.stride);
    scalePlane(in.u, chromaWidth, chromaHeight, outY + outLuma, outChroma, outChromaHeight,
               in.chromaStride);
    scalePlane(in.v, chromaWidth, chromaHeight, outY + outLuma + outChromaBytes, outChroma,
               outChromaHeight, in.chromaStride);
    return true;
}

bool OutputConverter::convertBgra(const ImageView& source, const MutableImage& dest,
                                  std::uint64_t contentId) {
    const std::size_t rowBytes = static_cast<std::size_t>(dest.width) * 4;
    if (contentId != 0 && contentId == bgra_.contentId && dest.width == bgra_.width &&
        dest.height == bgra_.height) {
        copyRows(bgra_.bytes.data(), rowBytes, dest.pixels, dest.stride, rowBytes, dest.height);
        return true;
    }
    bgra_.contentId = 0;
    if (!scaleToFill(source, dest)) {
        return false;
    }
    if (contentId != 0 && (contentId & kOneOffContent) == 0) {
        bgra_.bytes.resize(rowBytes * dest.height);
        copyRows(dest.pixels, dest.stride, bgra_.bytes.data(), rowBytes, rowBytes, dest.height);
        bgra_.width = dest.width;
        bgra_.height = dest.height;
        bgra_.contentId = contentId;
    }
    return true;
}

}  // namespace kestrel::camera
