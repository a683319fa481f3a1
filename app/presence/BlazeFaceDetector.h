#pragma once

#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#include "app/presence/FaceDetector.h"
#include "platform/runtime/Error.h"

namespace kestrel {

// The lowest scores that count as a face for each pass; 0 leaves the pass out.
struct BlazeFaceThresholds {
    float nearby = 0.7f;
    float sittingBack = 0.65f;
    // The distant pass finds few faces that the others miss and costs twice as much as both.
    float distant = 0;
};

// Face detection with MediaPipe's BlazeFace networks, computed by XNNPACK, in passes that each
// run only when the ones before found nothing. The cheap short-range 128x128 network looks first
// at the upper middle of the picture, enlarged, where the head of a person at the computer or
// sitting back is; then at the frame's middle square, which holds a face close to the camera
// whole. Where it is asked for, the 256x256 network for distant faces looks last at the whole
// frame, letterboxed into its square. Each part is scaled down with a box filter and a dim one is
// stretched to the full range of brightness. They see heads tilted by 30°, faces an eighth of the
// frame's height, in light down to a fifth and in half shadow.
class BlazeFaceDetector final : public FaceDetector {
  public:
    using Thresholds = BlazeFaceThresholds;

    // Where kestrel.sh installs the models.
    static std::filesystem::path defaultModelFolder();
    // Loads the networks of the passes once and checks that they answer like BlazeFace; an error
    // names the file when it is missing, unreadable or another network. Makes all of OpenCV in
    // the process compute on the thread that calls it: detections are rare and have a thread of
    // their own, and a pool of workers would only spin on the other cores.
    static std::variant<std::unique_ptr<BlazeFaceDetector>, Error> create(
        const std::filesystem::path& modelFolder, Thresholds thresholds = {});

    struct Network;
    struct Planes;
    struct Private {};
    explicit BlazeFaceDetector(Private);
    ~BlazeFaceDetector() override;
    BlazeFaceDetector(const BlazeFaceDetector&) = delete;
    BlazeFaceDetector& operator=(const BlazeFaceDetector&) = delete;

    bool containsFace(const PixelBuffer& frame) override;

  private:
    std::vector<std::unique_ptr<Network>> passes_;  // in their order
    std::unique_ptr<Planes> planes_;
};

}  // namespace kestrel
