#pragma once

#include "platform/media/PixelBuffer.h"

namespace kestrel::image {

// Where a source of sw x sh lands when it is scaled to fill a destination of dw x dh: one uniform
// scale k = max(dw / sw, dh / sh) (fill, never letterbox), centred, the overflow cropped equally
// on both sides. `cropX/cropY/cropWidth/cropHeight` is the part of the source that stays visible,
// in source pixels.
struct FillGeometry {
    double scale;
    double offsetX;  // (dw - k * sw) / 2, zero or negative
    double offsetY;  // (dh - k * sh) / 2, zero or negative
    double cropX;
    double cropY;
    double cropWidth;
    double cropHeight;
};
FillGeometry fillGeometry(int sourceWidth, int sourceHeight, int destWidth, int destHeight);

// The whole source pixels that stay visible when a sw x sh source is scaled to fill dw x dh: the
// crop of fillGeometry, the same on both sides so the picture stays centred, with the margins
// rounded down to a multiple of `align` (2 keeps a 4:2:0 chroma plane aligned).
struct PixelRect {
    int x;
    int y;
    int width;
    int height;
};
PixelRect fillCropRect(int sourceWidth, int sourceHeight, int destWidth, int destHeight,
                       int align = 1);

// Copies `source` into `dest` pixel for pixel; both must have the same size (false otherwise).
bool copy(const PixelBuffer& source, PixelBuffer& dest);

// Renders `source` into `dest` scaled to fill (see fillGeometry), bilinear. Same-size buffers are
// copied without scaling.
void scaleToFill(const PixelBuffer& source, PixelBuffer& dest);
// The same on raw BGRA memory (row strides in bytes), for frames that live in no PixelBuffer.
void scaleToFill(const std::uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                 std::uint8_t* dest, int destWidth, int destHeight, int destStride);

// The muted look of a frozen frame.
struct ToneControls {
    double saturation = 0.88;
    double contrast = 1.02;
    double brightness = 0.0;
};

// The blur radius actually applied: at most 100, never negative, and 100 for a value that is not
// a number.
double clampBlurRadius(double radius);

// A Gaussian blur whose standard deviation is the (clamped) radius, with edge pixels repeated
// outwards so borders do not darken, followed by the tone controls. Radii of 0.5 and below skip
// the blur but still apply the tone. The result covers `dest` from its top-left corner; where
// `dest` is larger than `source` the rest is black.
void blurAndTone(const PixelBuffer& source, PixelBuffer& dest, double radius,
                 const ToneControls& tone = {});

// How many times blurAndTone shrinks the image before blurring with `radius`: 1 (full size)
// below 6, otherwise the largest power of two that leaves a standard deviation of at least 3
// reduced pixels (4 for a radius of 18).
int blurDownscaleFactor(double radius);

// blurAndTone with an explicit shrink factor, for weighing speed against accuracy: 1 blurs at
// full size; otherwise a power of two up to 64 (other values are rounded down to one).
void blurAndToneAtScale(const PixelBuffer& source, PixelBuffer& dest, double radius, int downscale,
                        const ToneControls& tone = {});

// dest = weight * first + (1 - weight) * second, per channel; weight is clamped to [0, 1] (a
// weight that is not a number counts as 0). All three buffers have the same size (dest may be
// one of the inputs); false otherwise.
bool blend(const PixelBuffer& first, const PixelBuffer& second, double weight, PixelBuffer& dest);

}  // namespace kestrel::image
