#pragma once

#include <cstddef>
#include <cstdint>

#include <opencv2/core/mat.hpp>

#include "platform/media/PixelBuffer.h"

namespace kestrel {

// OpenCV views of a whole BGRA buffer, sharing its pixels. OpenCV has no const Mat, so the cast
// is confined here and read-only views are only ever passed as inputs.
inline cv::Mat readOnlyView(const PixelBuffer& buffer) {
    return {buffer.height(), buffer.width(), CV_8UC4,
            const_cast<std::uint8_t*>(buffer.data()),  // NOLINT
            static_cast<std::size_t>(buffer.stride())};
}

inline cv::Mat writableView(PixelBuffer& buffer) {
    return {buffer.height(), buffer.width(), CV_8UC4, buffer.data(),
            static_cast<std::size_t>(buffer.stride())};
}

}  // namespace kestrel
