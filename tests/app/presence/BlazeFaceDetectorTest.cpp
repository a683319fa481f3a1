#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <variant>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "app/presence/BlazeFaceDetector.h"
#include "app/presence/FrameView.h"
#include "tests/app/presence/FaceEvaluationSet.h"

namespace kestrel {
namespace {

std::unique_ptr<BlazeFaceDetector> makeDetector() {
    auto created = BlazeFaceDetector::create(BlazeFaceDetector::defaultModelPath());
    if (auto* error = std::get_if<Error>(&created)) {
        ADD_FAILURE() << error->description;
        return nullptr;
    }
    return std::move(std::get<0>(created));
}

// The webcam-like frames made from the portrait and face-free frames are judged by the goal:
// at least 95% of the faces seen, no face where there is none. The LFW crops (25 pixels, cut
// close around eyes and mouth, scaled up) are harder than any webcam picture: they only must
// not get worse than measured (18 of 50).
TEST(BlazeFaceDetector, MeetsTheGoalOnTheEvaluationSet) {
    auto detector = makeDetector();
    const auto set = buildFaceEvaluationSet(skimageDataFolder());
    ASSERT_TRUE(detector);
    ASSERT_FALSE(set.frames.empty()) << set.error;
    int portraits = 0;
    int portraitsFound = 0;
    int crops = 0;
    int cropsFound = 0;
    for (const auto& frame : set.frames) {
        const bool found = detector->containsFace(*frame.frame);
        if (!frame.hasFace) {
            EXPECT_FALSE(found) << "a face in " << frame.name;
        } else if (frame.name.rfind("lfw", 0) == 0) {
            ++crops;
            cropsFound += found ? 1 : 0;
        } else {
            ++portraits;
            portraitsFound += found ? 1 : 0;
        }
    }
    EXPECT_GE(portraitsFound * 100, portraits * 95) << portraitsFound << " of " << portraits;
    EXPECT_GE(cropsFound * 100, crops * 30) << cropsFound << " of " << crops;
}

// Frames of any shape are letterboxed into the model's square, tall ones as well as wide ones.
TEST(BlazeFaceDetector, AnalysesFramesOfAnyShape) {
    auto detector = makeDetector();
    const auto set = buildFaceEvaluationSet(skimageDataFolder(), 1);
    ASSERT_TRUE(detector);
    ASSERT_FALSE(set.frames.empty()) << set.error;
    const PixelBuffer& wide = *set.frames.front().frame;  // the portrait, face 1/8, tilted
    ASSERT_TRUE(set.frames.front().hasFace);
    // The middle of that picture in a tall frame.
    auto tall = PixelBuffer::create(wide.height(), wide.width());
    const cv::Mat wideView = readOnlyView(wide);
    cv::Mat tallView = writableView(*tall);
    tallView.setTo(cv::Scalar(178, 188, 198, 255));
    wideView(cv::Rect(280, 0, 720, 720)).copyTo(tallView(cv::Rect(0, 280, 720, 720)));
    EXPECT_TRUE(detector->containsFace(wide));
    EXPECT_TRUE(detector->containsFace(*tall));
    for (const auto& [width, height] : {std::pair{16, 9}, std::pair{1, 1}, std::pair{9, 1600}}) {
        auto blank = PixelBuffer::create(width, height);
        blank->fill(0, 0, 0);
        EXPECT_FALSE(detector->containsFace(*blank)) << width << "x" << height;
    }
    // The wide frame again after the others: nothing of them is left in the reused buffers.
    EXPECT_TRUE(detector->containsFace(wide));
}

TEST(BlazeFaceDetector, MissingOrForeignModelIsAClearError) {
    const auto notAModel = std::filesystem::temp_directory_path() / "kestrel-not-a-model.onnx";
    std::ofstream(notAModel) << "not a network";
    for (const std::filesystem::path& path :
         {std::filesystem::path{}, std::filesystem::path{"/nonexistent/model.onnx"}, notAModel}) {
        auto created = BlazeFaceDetector::create(path);
        ASSERT_TRUE(std::holds_alternative<Error>(created)) << path;
        EXPECT_NE(std::get<Error>(created).description.find("face model"), std::string::npos);
        EXPECT_NE(std::get<Error>(created).description.find(path.string()), std::string::npos);
    }
    std::filesystem::remove(notAModel);
}

}  // namespace
}  // namespace kestrel
