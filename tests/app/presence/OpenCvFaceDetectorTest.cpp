#include <cstring>
#include <filesystem>
#include <memory>
#include <variant>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/presence/OpenCvFaceDetector.h"

namespace kestrel {
namespace {

// A photograph of a person (NASA's portrait of Eileen Collins) that scikit-image ships.
const std::filesystem::path kPortrait = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";

std::unique_ptr<OpenCvFaceDetector> makeDetector() {
    auto created = OpenCvFaceDetector::create(OpenCvFaceDetector::defaultCascadePath());
    if (auto* error = std::get_if<Error>(&created)) {
        ADD_FAILURE() << error->description;
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<OpenCvFaceDetector>>(created));
}

PixelBufferRef frameOfColour(int width, int height, const cv::Scalar& bgra) {
    auto frame = PixelBuffer::create(width, height);
    cv::Mat view(height, width, CV_8UC4, frame->data(), static_cast<std::size_t>(frame->stride()));
    view.setTo(bgra);
    return frame;
}

// The portrait framed like a 1280x720 webcam shot: scaled to the frame's height and centred on a
// wall-coloured background.
PixelBufferRef webcamShotOfPortrait() {
    const cv::Mat portrait = cv::imread(kPortrait.string(), cv::IMREAD_COLOR);
    if (portrait.empty()) {
        ADD_FAILURE() << "cannot read " << kPortrait << " (install python3-skimage)";
        return nullptr;
    }
    auto frame = frameOfColour(1280, 720, cv::Scalar(180, 190, 200, 255));
    cv::Mat view(720, 1280, CV_8UC4, frame->data(), static_cast<std::size_t>(frame->stride()));
    cv::Mat scaled;
    cv::resize(portrait, scaled, cv::Size(720, 720), 0, 0, cv::INTER_AREA);
    cv::Mat scaledBgra;
    cv::cvtColor(scaled, scaledBgra, cv::COLOR_BGR2BGRA);
    scaledBgra.copyTo(view(cv::Rect(280, 0, 720, 720)));
    return frame;
}

TEST(OpenCvFaceDetector, FindsTheFaceInAWebcamShotOfAPortrait) {
    auto detector = makeDetector();
    auto frame = webcamShotOfPortrait();
    ASSERT_TRUE(detector && frame);
    EXPECT_TRUE(detector->containsFace(*frame));
    // The cascade object is reused: a second run gives the same answer.
    EXPECT_TRUE(detector->containsFace(*frame));
}

TEST(OpenCvFaceDetector, FindsNoFaceWhereThereIsNone) {
    auto detector = makeDetector();
    ASSERT_TRUE(detector);
    EXPECT_FALSE(detector->containsFace(*frameOfColour(1280, 720, cv::Scalar(0, 0, 0, 255))));
    EXPECT_FALSE(detector->containsFace(*frameOfColour(1280, 720, cv::Scalar(180, 190, 200, 255))));
    // Frames smaller than the analysis size are analysed as they are.
    EXPECT_FALSE(detector->containsFace(*frameOfColour(16, 9, cv::Scalar(0, 0, 0, 255))));
}

TEST(OpenCvFaceDetector, MissingModelIsAClearError) {
    for (const std::filesystem::path& path :
         {std::filesystem::path{}, std::filesystem::path{"/nonexistent/cascade.xml"}}) {
        auto created = OpenCvFaceDetector::create(path);
        ASSERT_TRUE(std::holds_alternative<Error>(created)) << path;
        EXPECT_NE(std::get<Error>(created).description.find("opencv-data"), std::string::npos);
    }
}

}  // namespace
}  // namespace kestrel
