#include "app/presence/BlazeFaceDetector.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "app/presence/FrameView.h"

namespace kestrel {

namespace {

constexpr const char* kModelFile = "face_detection_back_256x256_barracuda.onnx";
// Two score outputs of 16x16x2 and 8x8x6 anchors, and their boxes with 16 numbers each.
constexpr int kAnchors = 512 + 384;

}  // namespace

struct BlazeFaceDetector::Network {
    cv::dnn::Net net;
    std::vector<std::string> outputs;
    // Reused for every frame: the scaled frame, the letterboxed RGB square and the NHWC input.
    cv::Mat small;
    cv::Mat square;
    cv::Mat input;
    std::vector<cv::Mat> results;

    // Runs the network on `rgb`, a kInputSize square; the largest anchor score as a logit.
    float bestScore(const cv::Mat& rgb) {
        cv::Mat planes(kInputSize, kInputSize, CV_32FC3, input.ptr<float>());  // input's memory
        rgb.convertTo(planes, CV_32FC3, 1.0 / 127.5, -1.0);
        net.setInput(input);
        net.forward(results, outputs);
        float best = -INFINITY;
        int anchors = 0;
        for (const cv::Mat& result : results) {
            if (result.total() * static_cast<std::size_t>(result.channels()) <= 512) {
                double most = 0;
                cv::minMaxIdx(result.reshape(1, 1), nullptr, &most);
                best = std::max(best, static_cast<float>(most));
                anchors += static_cast<int>(result.total());
            }
        }
        return anchors == kAnchors ? best : -INFINITY;
    }
};

std::filesystem::path BlazeFaceDetector::defaultModelPath() {
    // An installed kestrel keeps the model under <prefix>/share/kestrel/models, beside its
    // program's bin/; a build run from its tree uses the copy kestrel.sh put into build/models.
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        auto installed =
            program.parent_path().parent_path() / "share" / "kestrel" / "models" / kModelFile;
        if (std::filesystem::is_regular_file(installed, error)) {
            return installed;
        }
    }
    return std::filesystem::path(KESTREL_MODEL_DIR) / kModelFile;
}

std::variant<std::unique_ptr<BlazeFaceDetector>, Error> BlazeFaceDetector::create(
    const std::filesystem::path& modelPath, float threshold) {
    std::error_code error;
    if (modelPath.empty() || !std::filesystem::is_regular_file(modelPath, error)) {
        return Error{
            "FaceDetector", 1,
            "cannot load face model '" + modelPath.string() + "' (./kestrel.sh installs it)"};
    }
    auto network = std::make_unique<Network>();
    try {
        network->net = cv::dnn::readNetFromONNX(modelPath.string());
        network->outputs = network->net.getUnconnectedOutLayersNames();
        const int shape[] = {1, kInputSize, kInputSize, 3};
        network->input.create(4, shape, CV_32F);
        network->square.create(kInputSize, kInputSize, CV_8UC3);
        network->square.setTo(cv::Scalar::all(0));
        // A network with other outputs than BlazeFace's is not taken for it.
        if (network->bestScore(network->square) == -INFINITY) {
            return Error{"FaceDetector", 2,
                         "face model " + modelPath.string() + " is not a BlazeFace network"};
        }
    } catch (const cv::Exception& exception) {
        return Error{"FaceDetector", 2,
                     "cannot read face model " + modelPath.string() + ": " + exception.what()};
    }
    return std::make_unique<BlazeFaceDetector>(Private{}, std::move(network), threshold);
}

BlazeFaceDetector::BlazeFaceDetector(Private /*tag*/, std::unique_ptr<Network> network,
                                     float threshold)
    : network_(std::move(network)), logitThreshold_(std::log(threshold / (1 - threshold))) {}

BlazeFaceDetector::~BlazeFaceDetector() = default;

bool BlazeFaceDetector::containsFace(const PixelBuffer& frame) {
    if (frame.width() <= 0 || frame.height() <= 0) {
        return false;
    }
    try {
        const cv::Mat bgra = readOnlyView(frame);
        // Letterboxed: the longer side fills the square, the rest stays black.
        const bool wide = frame.width() >= frame.height();
        const auto shorter = [&](int along, int across) {
            return std::max(1,
                            static_cast<int>(static_cast<long long>(across) * kInputSize / along));
        };
        const cv::Size size = wide ? cv::Size(kInputSize, shorter(frame.width(), frame.height()))
                                   : cv::Size(shorter(frame.height(), frame.width()), kInputSize);
        cv::resize(bgra, network_->small, size, 0, 0, cv::INTER_AREA);
        network_->square.setTo(cv::Scalar::all(0));
        const cv::Rect content((kInputSize - size.width) / 2, (kInputSize - size.height) / 2,
                               size.width, size.height);
        cv::cvtColor(network_->small, network_->square(content), cv::COLOR_BGRA2RGB);
        return network_->bestScore(network_->square) > logitThreshold_;
    } catch (const cv::Exception&) {
        // A frame the network cannot handle counts as one without a face.
        return false;
    }
}

}  // namespace kestrel
