#include "app/presence/BlazeFaceDetector.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "app/presence/FrameView.h"

namespace kestrel {

namespace {

constexpr const char* kNearbyModel = "face_detection_front_128x128_barracuda.onnx";
constexpr const char* kDistantModel = "face_detection_back_256x256_barracuda.onnx";
// Both networks have two score outputs of 16x16x2 and 8x8x6 anchors, and their boxes with 16
// numbers each.
constexpr int kAnchors = 512 + 384;

// What a pass looks at: the frame's middle square, the square three quarters of the frame's
// height in its upper middle where the head of a person sitting back is, or the whole frame.
enum class Region { middle, upperMiddle, whole };

// Scales `from` down to `size`. Averaging areas is quick only for a whole-number factor, so it
// shrinks by the largest such factor first and interpolates the small rest.
void shrink(const cv::Mat& from, cv::Mat& to, cv::Size size, cv::Mat& between) {
    const int factor = std::min(from.cols / size.width, from.rows / size.height);
    if (factor < 2) {
        cv::resize(from, to, size, 0, 0, cv::INTER_AREA);
        return;
    }
    const cv::Size whole(from.cols / factor, from.rows / factor);
    if (whole == size) {
        cv::resize(from, to, size, 0, 0, cv::INTER_AREA);
        return;
    }
    cv::resize(from, between, whole, 0, 0, cv::INTER_AREA);
    cv::resize(between, to, size, 0, 0, cv::INTER_LINEAR);
}

}  // namespace

struct BlazeFaceDetector::Network {
    int size = 0;
    Region region = Region::middle;
    float logitThreshold = 0;
    cv::dnn::Net net;
    std::vector<std::string> outputs;
    // Reused for every frame: the scaled frame, the RGB square and the NHWC input.
    cv::Mat between;
    cv::Mat small;
    cv::Mat square;
    cv::Mat input;
    std::vector<cv::Mat> results;

    // Runs the network on `square`; the largest anchor score as a logit.
    float bestScore() {
        cv::Mat planes(size, size, CV_32FC3, input.ptr<float>());  // input's memory
        square.convertTo(planes, CV_32FC3, 1.0 / 127.5, -1.0);
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

    bool sees(const cv::Mat& bgra) {
        if (region == Region::whole) {
            // The longer side fills the square, the rest stays black.
            const bool wide = bgra.cols >= bgra.rows;
            const auto shorter = [&](int along, int across) {
                return std::max(1, static_cast<int>(static_cast<long long>(across) * size / along));
            };
            const cv::Size scaled = wide ? cv::Size(size, shorter(bgra.cols, bgra.rows))
                                         : cv::Size(shorter(bgra.rows, bgra.cols), size);
            shrink(bgra, small, scaled, between);
            square.setTo(cv::Scalar::all(0));
            const cv::Rect content((size - scaled.width) / 2, (size - scaled.height) / 2,
                                   scaled.width, scaled.height);
            cv::cvtColor(small, square(content), cv::COLOR_BGRA2RGB);
        } else {
            const int shorter = std::min(bgra.cols, bgra.rows);
            const int side = region == Region::middle ? shorter : std::max(1, shorter * 3 / 4);
            const int top = region == Region::middle ? (bgra.rows - side) / 2 : shorter / 12;
            const cv::Rect cut((bgra.cols - side) / 2, top, side, side);
            shrink(bgra(cut), small, cv::Size(size, size), between);
            cv::cvtColor(small, square, cv::COLOR_BGRA2RGB);
        }
        return bestScore() > logitThreshold;
    }

    static std::variant<std::unique_ptr<Network>, Error> load(const std::filesystem::path& path,
                                                              int size, Region region,
                                                              float threshold) {
        std::error_code error;
        if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
            return Error{
                "FaceDetector", 1,
                "cannot load face model '" + path.string() + "' (./kestrel.sh installs it)"};
        }
        auto network = std::make_unique<Network>();
        network->size = size;
        network->region = region;
        network->logitThreshold = std::log(threshold / (1 - threshold));
        try {
            network->net = cv::dnn::readNetFromONNX(path.string());
            network->outputs = network->net.getUnconnectedOutLayersNames();
            const int shape[] = {1, size, size, 3};
            network->input.create(4, shape, CV_32F);
            network->square.create(size, size, CV_8UC3);
            network->square.setTo(cv::Scalar::all(0));
            // A network with other outputs or another input size is not taken for this one.
            if (network->bestScore() == -INFINITY) {
                return Error{"FaceDetector", 2,
                             "face model " + path.string() + " is not a BlazeFace network"};
            }
        } catch (const cv::Exception& exception) {
            return Error{"FaceDetector", 2,
                         "cannot read face model " + path.string() + ": " + exception.what()};
        }
        return network;
    }
};

std::filesystem::path BlazeFaceDetector::defaultModelFolder() {
    // An installed kestrel keeps the models under <prefix>/share/kestrel/models, beside its
    // program's bin/; a build run from its tree uses the copies kestrel.sh put into build/models.
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        auto installed = program.parent_path().parent_path() / "share" / "kestrel" / "models";
        if (std::filesystem::is_regular_file(installed / kNearbyModel, error)) {
            return installed;
        }
    }
    return KESTREL_MODEL_DIR;
}

std::variant<std::unique_ptr<BlazeFaceDetector>, Error> BlazeFaceDetector::create(
    const std::filesystem::path& modelFolder, Thresholds thresholds) {
    cv::setNumThreads(1);
    struct Pass {
        const char* model;
        int size;
        Region region;
        float threshold;
    };
    const Pass passes[] = {{kNearbyModel, 128, Region::middle, thresholds.nearby},
                           {kNearbyModel, 128, Region::upperMiddle, thresholds.sittingBack},
                           {kDistantModel, 256, Region::whole, thresholds.distant}};
    std::unique_ptr<Network> networks[std::size(passes)];
    for (std::size_t i = 0; i < std::size(passes); ++i) {
        const Pass& pass = passes[i];
        if (pass.threshold <= 0) {
            continue;
        }
        auto loaded = Network::load(modelFolder.empty() ? modelFolder : modelFolder / pass.model,
                                    pass.size, pass.region, pass.threshold);
        if (auto* error = std::get_if<Error>(&loaded)) {
            return std::move(*error);
        }
        networks[i] = std::move(std::get<0>(loaded));
    }
    auto detector = std::make_unique<BlazeFaceDetector>(Private{});
    for (auto& network : networks) {
        if (network) {
            detector->passes_.push_back(std::move(network));
        }
    }
    return detector;
}

BlazeFaceDetector::BlazeFaceDetector(Private /*tag*/) {}

BlazeFaceDetector::~BlazeFaceDetector() = default;

bool BlazeFaceDetector::containsFace(const PixelBuffer& frame) {
    if (frame.width() <= 0 || frame.height() <= 0) {
        return false;
    }
    try {
        const cv::Mat bgra = readOnlyView(frame);
        return std::any_of(passes_.begin(), passes_.end(),
                           [&](const std::unique_ptr<Network>& pass) { return pass->sees(bgra); });
    } catch (const cv::Exception&) {
        // A frame the network cannot handle counts as one without a face.
        return false;
    }
}

}  // namespace kestrel
