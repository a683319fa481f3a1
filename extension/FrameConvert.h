#pragma once

// Pixel work of the daemon's outputs: scale a BGRA frame to fill the output size, and pack it as
// YUY2 (YUYV) for PipeWire and v4l2loopback. libyuv kernels throughout.

#include <cstdint>
#include <vector>

namespace kestrel::camera {

struct ImageView {
    const std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
};
struct MutableImage {
    std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
};

// The part of a source of sw x sh that stays visible when it fills dw x dh: the largest centred
// rectangle of the destination's aspect ratio (fill, never letterbox).
struct CropRect {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};
CropRect fillCrop(std::uint32_t sourceWidth, std::uint32_t sourceHeight, std::uint32_t destWidth,
                  std::uint32_t destHeight);

// Writes `source` into `dest` (both BGRA) scaled to fill, bilinear; a plain copy for equal sizes.
bool scaleToFill(const ImageView& source, const MutableImage& dest);

// Packs BGRA as YUY2 (Y0 U Y1 V, BT.601 limited range); `dest` holds width * 2 bytes per row.
bool bgraToYuy2(const ImageView& source, const MutableImage& dest);

// Converts a frame of any size into a `width` x `height` image of the output: BGRA or YUY2,
// scaling to fill through a scratch buffer kept between calls.
class OutputConverter {
  public:
    enum class Format { bgra, yuy2 };
    // A non-zero `contentId` equal to the last converted one copies the last result instead.
    bool convert(const ImageView& source, Format format, const MutableImage& dest,
                 std::uint64_t contentId = 0);

  private:
    bool convertAnew(const ImageView& source, Format format, const MutableImage& dest);

    std::vector<std::uint8_t> scratch_;
    std::vector<std::uint8_t> cache_;
    std::uint64_t cachedId_ = 0;
    Format cachedFormat_ = Format::bgra;
    std::uint32_t cachedWidth_ = 0;
    std::uint32_t cachedHeight_ = 0;
    std::uint32_t cachedRowBytes_ = 0;
};

}  // namespace kestrel::camera
