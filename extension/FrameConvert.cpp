#include "extension/FrameConvert.h"

#include <algorithm>
#include <cstring>

#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

#include <opencv2/imgproc.hpp>

#include "platform/media/ImageOps.h"

namespace kestrel::camera {

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

bool OutputConverter::convert(const ImageView& source, Format format, const MutableImage& dest,
                              std::uint64_t contentId) {
    const std::uint32_t rowBytes = dest.width * (format == Format::bgra ? 4 : 2);
    const bool hit = contentId != 0 && contentId == cachedId_ && format == cachedFormat_ &&
                     dest.width == cachedWidth_ && dest.height == cachedHeight_ &&
                     rowBytes == cachedRowBytes_;
    if (hit) {
        for (std::uint32_t y = 0; y < dest.height; ++y) {
            std::memcpy(dest.pixels + static_cast<std::size_t>(y) * dest.stride,
                        cache_.data() + static_cast<std::size_t>(y) * rowBytes, rowBytes);
        }
        return true;
    }
    if (!convertAnew(source, format, dest)) {
        return false;
    }
    cachedId_ = 0;
    if (contentId != 0) {
        cache_.resize(static_cast<std::size_t>(rowBytes) * dest.height);
        for (std::uint32_t y = 0; y < dest.height; ++y) {
            std::memcpy(cache_.data() + static_cast<std::size_t>(y) * rowBytes,
                        dest.pixels + static_cast<std::size_t>(y) * dest.stride, rowBytes);
        }
        cachedId_ = contentId;
        cachedFormat_ = format;
        cachedWidth_ = dest.width;
        cachedHeight_ = dest.height;
        cachedRowBytes_ = rowBytes;
    }
    return true;
}

bool OutputConverter::convertAnew(const ImageView& source, Format format,
                                  const MutableImage& dest) {
    if (format == Format::bgra) {
        return scaleToFill(source, dest);
    }
    if (source.width == dest.width && source.height == dest.height) {
        return bgraToYuy2(source, dest);
    }
    // To YUV 4:2:2 planes at the source's size, each plane scaled to fill (OpenCV, exact on
    // uniform areas), then interleaved: a third less work than scaling BGRA first, since the
    // planes hold half the bytes of the frame (measured 1.9 ms against 2.3-4.6 ms per 720p ->
    // 1080p frame on the build machine).
    const CropRect crop = fillCrop(source.width, source.height, dest.width, dest.height);
    const std::uint8_t* origin =
        source.pixels + static_cast<std::size_t>(crop.y) * source.stride + crop.x * 4ULL;
    const std::uint32_t chromaWidth = (crop.width + 1) / 2;
    const std::size_t lumaBytes = static_cast<std::size_t>(crop.width) * crop.height;
    const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * crop.height;
    const std::uint32_t outChroma = (dest.width + 1) / 2;
    const std::size_t outLuma = static_cast<std::size_t>(dest.width) * dest.height;
    const std::size_t outChromaBytes = static_cast<std::size_t>(outChroma) * dest.height;
    scratch_.resize(lumaBytes + 2 * chromaBytes + outLuma + 2 * outChromaBytes);
    std::uint8_t* y = scratch_.data();
    std::uint8_t* u = y + lumaBytes;
    std::uint8_t* v = u + chromaBytes;
    std::uint8_t* outY = v + chromaBytes;
    std::uint8_t* outU = outY + outLuma;
    std::uint8_t* outV = outU + outChromaBytes;
    if (libyuv::ARGBToI422(origin, static_cast<int>(source.stride), y, static_cast<int>(crop.width),
                           u, static_cast<int>(chromaWidth), v, static_cast<int>(chromaWidth),
                           static_cast<int>(crop.width), static_cast<int>(crop.height)) != 0) {
        return false;
    }
    auto scalePlane = [](std::uint8_t* in, std::uint32_t w, std::uint32_t h, std::uint8_t* out,
                         std::uint32_t ow, std::uint32_t oh) {
        const cv::Mat from(static_cast<int>(h), static_cast<int>(w), CV_8UC1, in);
        cv::Mat to(static_cast<int>(oh), static_cast<int>(ow), CV_8UC1, out);
        cv::resize(from, to, to.size(), 0, 0, cv::INTER_LINEAR);
    };
    scalePlane(y, crop.width, crop.height, outY, dest.width, dest.height);
    scalePlane(u, chromaWidth, crop.height, outU, outChroma, dest.height);
    scalePlane(v, chromaWidth, crop.height, outV, outChroma, dest.height);
    return libyuv::I422ToYUY2(outY, static_cast<int>(dest.width), outU, static_cast<int>(outChroma),
                              outV, static_cast<int>(outChroma), dest.pixels,
                              static_cast<int>(dest.stride), static_cast<int>(dest.width),
                              static_cast<int>(dest.height)) == 0;
}

}  // namespace kestrel::camera
