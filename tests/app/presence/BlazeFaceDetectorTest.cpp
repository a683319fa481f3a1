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

std::unique_ptr<BlazeFaceDetector> makeDetector(BlazeFaceDetector::Thresholds thresholds = {}) {
    auto created = BlazeFaceDetector::create(BlazeFaceDetector::defaultModelFolder(), thresholds);
    if (auto* error = std::get_if<Error>(&created)) {
        ADD_FAILURE() << error->description;
        return nullptr;
    }
    return std::move(std::get<0>(created));
}

// The webcam-like frames are judged by what the detector achieves: no face where there is none,
// and at least 95% of the faces seen, the LFW crops (25 pixels cut close around eyes and mouth,
// scaled up, no head around them; harder than any webcam picture) among them. The short-range
// pass alone must see the portrait that fills the middle of the picture.
TEST(BlazeFaceDetector, MeetsTheGoalOnTheEvaluationSet) {
    auto detector = makeDetector();
    auto nearbyOnly = makeDetector({.nearby = 0.7f, .sittingBack = 0, .distant = 0});
    const auto set = buildFaceEvaluationSet(skimageDataFolder());
    ASSERT_TRUE(detector && nearbyOnly);
    ASSERT_FALSE(set.frames.empty()) << set.error;
    int faces = 0;
    int found = 0;
    std::string missed;
    for (const auto& frame : set.frames) {
        const bool sawFace = detector->containsFace(*frame.frame);
        if (!frame.hasFace) {
            EXPECT_FALSE(sawFace) << "a face in " << frame.name;
            continue;
        }
        ++faces;
        found += sawFace ? 1 : 0;
        missed += sawFace ? "" : "\n  " + frame.name;
        if (frame.name == "astronaut face 1/2 tilt 0") {
            EXPECT_TRUE(nearbyOnly->containsFace(*frame.frame));
        }
    }
    EXPECT_GE(found * 100, faces * 95) << found << " of " << faces << ", missed:" << missed;
}

// Frames of any shape are analysed, tall ones as well as wide ones.
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

// A folder without the models, with a file that is no network, or with the distant network under
// the nearby one's name (another input size): each is an error naming the file.
TEST(BlazeFaceDetector, MissingOrForeignModelIsAClearError) {
    const auto installed = BlazeFaceDetector::defaultModelFolder();
    const auto folder = std::filesystem::temp_directory_path() / "kestrel-face-models";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const auto nearby = folder / "face_detection_front_128x128_barracuda.onnx";
    const auto distant = folder / "face_detection_back_256x256_barracuda.onnx";
    std::filesystem::copy_file(installed / distant.filename(), distant);
    const auto expectError = [](const std::filesystem::path& models,
                                const std::filesystem::path& named) {
        auto created = BlazeFaceDetector::create(models);
        ASSERT_TRUE(std::holds_alternative<Error>(created)) << models;
        EXPECT_NE(std::get<Error>(created).description.find("face model"), std::string::npos);
        EXPECT_NE(std::get<Error>(created).description.find(named.string()), std::string::npos)
            << std::get<Error>(created).description;
    };
    expectError({}, {});
    expectError("/nonexistent", "/nonexistent");
    expectError(folder, nearby);
    std::ofstream(nearby) << "not a network";
    expectError(folder, nearby);
    std::filesystem::copy_file(distant, nearby, std::filesystem::copy_options::overwrite_existing);
    expectError(folder, nearby);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kestrel
