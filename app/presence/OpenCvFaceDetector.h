#pragma once

#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#include "app/presence/FaceDetector.h"
#include "platform/runtime/Error.h"

namespace cv {
class CascadeClassifier;
class Mat;
}  // namespace cv

namespace kestrel {

// How `OpenCvFaceDetector` looks for faces.
struct FaceCascadeOptions {
    int analysisWidth = 320;
    // The smallest face looked for, in pixels of the analysis image.
    int minimumFaceSize = 24;
    std::vector<double> retryDegrees;
};

// Frontal-face detection with an OpenCV cascade on a small grey copy of the frame: frames are
// scaled to `analysisWidth` pixels wide before the cascade runs. When the upright pass finds no
// face, the grey copy is turned by each of `retryDegrees` in turn and searched again, so that a
// tilted head is still seen.
class OpenCvFaceDetector final : public FaceDetector {
  public:
    static constexpr int kAnalysisWidth = FaceCascadeOptions{}.analysisWidth;

    using Options = FaceCascadeOptions;

    // The LBP frontal-face cascade that opencv-data installs, else its Haar cascade; none when
    // neither is there.
    static std::filesystem::path defaultCascadePath();
    // Loads the cascade once; an error names the file when it is missing or unreadable.
    static std::variant<std::unique_ptr<OpenCvFaceDetector>, Error> create(
        const std::filesystem::path& cascadePath, Options options = {});

    struct Private {};
    OpenCvFaceDetector(Private, std::unique_ptr<cv::CascadeClassifier> cascade, Options options);
    ~OpenCvFaceDetector() override;
    OpenCvFaceDetector(const OpenCvFaceDetector&) = delete;
    OpenCvFaceDetector& operator=(const OpenCvFaceDetector&) = delete;

    bool containsFace(const PixelBuffer& frame) override;

  private:
    bool search(const cv::Mat& grey);

    std::unique_ptr<cv::CascadeClassifier> cascade_;
    Options options_;
};

}  // namespace kestrel
