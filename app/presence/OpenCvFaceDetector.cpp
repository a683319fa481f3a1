#include "app/presence/OpenCvFaceDetector.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <vector>

#include <opencv2/imgproc.hpp>

#include <opencv2/objdetect.hpp>
#include "app/presence/FrameView.h"

namespace kestrel {

namespace {

constexpr std::array kCascadeCandidates = {
    "/usr/share/opencv4/lbpcascades/lbpcascade_frontalface.xml",
    "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml",
};

}  // namespace

std::filesystem::path OpenCvFaceDetector::defaultCascadePath() {
    for (const char* candidate : kCascadeCandidates) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) {
            return candidate;
        }
    }
    return {};
}

std::variant<std::unique_ptr<OpenCvFaceDetector>, Error> OpenCvFaceDetector::create(
    const std::filesystem::path& cascadePath, Options options) {
    auto cascade = std::make_unique<cv::CascadeClassifier>();
    bool loaded = false;
    try {
        loaded = !cascadePath.empty() && cascade->load(cascadePath.string());
    } catch (const cv::Exception& exception) {
        return Error{"FaceDetector", 2,
                     "cannot read face model " + cascadePath.string() + ": " + exception.what()};
    }
    if (!loaded || cascade->empty()) {
        return Error{"FaceDetector", 1,
                     "cannot load face model '" + cascadePath.string() +
                         "' (install the opencv-data package)"};
    }
    return std::make_unique<OpenCvFaceDetector>(Private{}, std::move(cascade), std::move(options));
}

OpenCvFaceDetector::OpenCvFaceDetector(Private /*tag*/,
                                       std::unique_ptr<cv::CascadeClassifier> cascade,
                                       Options options)
    : cascade_(std::move(cascade)), options_(std::move(options)) {}

OpenCvFaceDetector::~OpenCvFaceDetector() = default;

bool OpenCvFaceDetector::containsFace(const PixelBuffer& frame) {
    if (frame.width() <= 0 || frame.height() <= 0) {
        return false;
    }
    try {
        const cv::Mat bgra = readOnlyView(frame);
        const int width = std::min(options_.analysisWidth, frame.width());
        const int height = std::max(
            1, static_cast<int>(static_cast<long long>(frame.height()) * width / frame.width()));
        cv::Mat small;
        cv::resize(bgra, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
        cv::Mat grey;
        cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
        cv::equalizeHist(grey, grey);
        if (search(grey)) {
            return true;
        }
        const cv::Point2f centre(static_cast<float>(grey.cols) / 2,
                                 static_cast<float>(grey.rows) / 2);
        cv::Mat turned;
        for (const double degrees : options_.retryDegrees) {
            cv::warpAffine(grey, turned, cv::getRotationMatrix2D(centre, degrees, 1.0), grey.size(),
                           cv::INTER_LINEAR, cv::BORDER_REPLICATE);
            if (search(turned)) {
                return true;
            }
        }
        return false;
    } catch (const cv::Exception&) {
        // A frame the cascade cannot handle counts as one without a face.
        return false;
    }
}

bool OpenCvFaceDetector::search(const cv::Mat& grey) {
    std::vector<cv::Rect> faces;
    cascade_->detectMultiScale(grey, faces, 1.1, 3, 0,
                               cv::Size(options_.minimumFaceSize, options_.minimumFaceSize));
    return !faces.empty();
}

}  // namespace kestrel
