// kestrel-faces IMAGE...: tells, for each image, whether the away detector sees a face in it, with
// the detector, model and analysis size that kestrel uses. One line per image: the path, a space,
// and "face" or "none". Exits 2 when an image cannot be read (after the others), 1 without a model.

#include <cstdio>
#include <memory>
#include <variant>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/presence/BlazeFaceDetector.h"
#include "app/presence/FrameView.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kestrel-faces IMAGE...\n");
        return 2;
    }
    auto created =
        kestrel::BlazeFaceDetector::create(kestrel::BlazeFaceDetector::defaultModelFolder());
    if (auto* error = std::get_if<kestrel::Error>(&created)) {
        std::fprintf(stderr, "kestrel-faces: %s\n", error->description.c_str());
        return 1;
    }
    auto& detector = *std::get<0>(created);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const cv::Mat image = cv::imread(argv[i], cv::IMREAD_COLOR);
        auto frame = image.empty() ? nullptr : kestrel::PixelBuffer::create(image.cols, image.rows);
        if (!frame) {
            std::fprintf(stderr, "kestrel-faces: cannot read image %s\n", argv[i]);
            status = 2;
            continue;
        }
        cv::cvtColor(image, kestrel::writableView(*frame), cv::COLOR_BGR2BGRA);
        std::printf("%s %s\n", argv[i], detector.containsFace(*frame) ? "face" : "none");
    }
    return status;
}
