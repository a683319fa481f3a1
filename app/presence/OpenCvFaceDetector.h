#pragma once

#include <filesystem>
#include <memory>
#include <variant>

#include "app/presence/FaceDetector.h"
#include "platform/runtime/Error.h"

namespace cv {
class CascadeClassifier;
}

namespace kestrel {

// Frontal-face detection with an OpenCV cascade on a small grey copy of the frame: frames are
// scaled to `kAnalysisWidth` pixels wide (320x180 for a 16:9 camera) before the cascade runs.
class OpenCvFaceDetector final : public FaceDetector {
  public:
    static constexpr int kAnalysisWidth = 320;

    // The LBP frontal-face cascade that opencv-data installs, else its Haar cascade; none when
    // neither is there.
    static std::filesystem::path defaultCascadePath();
    // Loads the cascade once; an error names the file when it is missing or unreadable.
    static std::variant<std::unique_ptr<OpenCvFaceDetector>, Error> create(
        const std::filesystem::path& cascadePath);

    struct Private {};
    OpenCvFaceDetector(Private, std::unique_ptr<cv::CascadeClassifier> cascade);
    ~OpenCvFaceDetector() override;
    OpenCvFaceDetector(const OpenCvFaceDetector&) = delete;
    OpenCvFaceDetector& operator=(const OpenCvFaceDetector&) = delete;

    bool containsFace(const PixelBuffer& frame) override;

  private:
    std::unique_ptr<cv::CascadeClassifier> cascade_;
};

}  // namespace kestrel
