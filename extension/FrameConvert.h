#pragma once

// Pixel work of the daemon's outputs: scale a BGRA frame to fill the output size, and pack it as
// YUY2 (YUYV) for PipeWire and v4l2loopback. libyuv kernels throughout.

#include <cstdint>
#include <vector>

namespace kestrel::camera {

// BGRA rows `stride` apart, or with `planar` 4:2:0 planes as the camera link lays them out: Y rows
// `stride` apart, then Cb and then Cr with rows stride / 2 apart, both sides even.
struct ImageView {
    const std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    bool planar = false;
};
struct MutableImage {
    std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
};

struct SampleBuffer;
ImageView imageOf(const SampleBuffer& buffer);

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
// scaled to fill. YUY2 is made through YUV planes: converted at the source's size (unless the
// source is planar already), each plane scaled, then packed, which is less work than scaling BGRA
// since 4:2:0 planes hold three eighths of its bytes. A planar source becomes BGRA the same way.
// The scaled planes of the last frame are kept: a frame with the same non-zero `contentId` is only
// packed again, so the outputs that share one converter convert it once.
class OutputConverter {
  public:
    enum class Format { bgra, yuy2 };
    bool convert(const ImageView& source, Format format, const MutableImage& dest,
                 std::uint64_t contentId = 0);

  private:
    bool convertPlanes(const ImageView& source, std::uint32_t width, std::uint32_t height);
    // Scales a frame two thirds of the output's size into whole planes at `out`, or packs it
    // straight into `packed`.
    bool scaleThreeHalves(const ImageView& source, std::uint8_t* out, const MutableImage* packed);
    bool convertBgra(const ImageView& source, const MutableImage& dest, std::uint64_t contentId);

    struct Planes {
        std::vector<std::uint8_t> bytes;  // Y, then U, then V, rows without padding
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        bool fullChromaRows = false;  // 4:2:2, else 4:2:0
        std::uint64_t contentId = 0;  // of the frame they hold; 0: none to reuse
    };
    std::vector<std::uint8_t> sourcePlanes_;  // at the source's size, before scaling
    std::vector<std::uint8_t> band_;          // the three-halves scaler's rows in flight
    Planes planes_;
    std::uint64_t packedDirectly_ = 0;  // the last frame packed without keeping its planes
    Planes bgra_;  // the last BGRA result of a repeating frame (see kOneOffContent)
};

}  // namespace kestrel::camera
