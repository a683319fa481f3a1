#pragma once

#include "platform/media/PixelBuffer.h"

namespace kestrel {

// Answers one question about a camera frame: is at least one face in it. Runs on the vision queue
// only, one frame at a time; never throws (a failure counts as no face).
class FaceDetector {
  public:
    virtual ~FaceDetector() = default;
    virtual bool containsFace(const PixelBuffer& frame) = 0;
};

}  // namespace kestrel
