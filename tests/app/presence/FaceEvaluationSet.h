#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/media/PixelBuffer.h"

namespace kestrel {

// One webcam-like 1280x720 frame of the face evaluation set.
struct FaceEvaluationFrame {
    std::string name;  // how it was made, e.g. "astronaut face 1/8 tilt -20 light 20%"
    bool hasFace = false;
    PixelBufferRef frame;
};

struct FaceEvaluationSet {
    std::vector<FaceEvaluationFrame> frames;
    std::string error;  // set, with no frames, when the source images cannot be read
};

// The folder of photographs, textures and LFW crops that python3-skimage installs.
std::filesystem::path skimageDataFolder();

// Builds the same set on every run from the images in `dataFolder`: the astronaut portrait and
// LFW face crops with the head tilted up to ±30°, the face from 1/8 of the frame's height up,
// light down to 20%, sensor noise, blur, JPEG artefacts, half shadow and busy backgrounds; and
// frames without a face (animals, objects, text, textures, LFW non-face crops). The first frame is
// the portrait on a wall, its face an eighth of the frame's height; `limit` stops the set early.
// The grey LFW crops get a chroma of skin, as a webcam sees faces, unless `greyLfw`.
FaceEvaluationSet buildFaceEvaluationSet(const std::filesystem::path& dataFolder,
                                         std::size_t limit = SIZE_MAX, bool greyLfw = false);

}  // namespace kestrel
