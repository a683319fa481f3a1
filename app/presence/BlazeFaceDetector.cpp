#include "app/presence/BlazeFaceDetector.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <opencv2/core/types.hpp>
#include <opencv2/core/utility.hpp>

#include "app/presence/XnnpackNetwork.h"

namespace kestrel {

namespace {

constexpr const char* kNearbyModel = "face_detection_front_128x128_barracuda.onnx";
constexpr const char* kDistantModel = "face_detection_back_256x256_barracuda.onnx";
// Both networks have two score outputs of 16x16x2 and 8x8x6 anchors, and their boxes with 16
// numbers each.
constexpr int kAnchors = 512 + 384;

// What a pass looks at: the frame's middle square; a square of three quarters of the shorter
// side, centred across and a twelfth of that side from the top, where the head of a person at the
// computer or sitting back is; or the whole frame.
enum class Region { middle, upperMiddle, whole };

// The largest factor by which dim light is brightened: more only lifts sensor noise.
constexpr float kMostGain = 8;

}  // namespace

// The frame's colour planes under all the passes' squares, split once per detection.
struct BlazeFaceDetector::Planes {
    cv::Rect area;  // of the frame; the planes' rows are its width apart
    std::vector<std::uint8_t> red, green, blue;

    const std::uint8_t* at(const std::vector<std::uint8_t>& plane, cv::Point where) const {
        return plane.data() + static_cast<std::ptrdiff_t>(where.y - area.y) * area.width +
               (where.x - area.x);
    }
};

struct BlazeFaceDetector::Network {
    int size = 0;
    Region region = Region::middle;
    float logitThreshold = 0;
    std::unique_ptr<XnnpackNetwork> net;
    // Reused for every frame: the square's colour planes, scaled down from the frame's.
    std::vector<std::uint8_t> red, green, blue;

    // The part of the frame this pass looks at, and where it lies in the network's square.
    std::pair<cv::Rect, cv::Rect> placement(cv::Size frame) const {
        if (region == Region::whole) {
            // The longer side fills the square, the rest stays black.
            const bool wide = frame.width >= frame.height;
            const auto shorter = [&](int along, int across) {
                return std::max(1, static_cast<int>(static_cast<long long>(across) * size / along));
            };
            const cv::Size scaled = wide ? cv::Size(size, shorter(frame.width, frame.height))
                                         : cv::Size(shorter(frame.height, frame.width), size);
            return {cv::Rect({}, frame),
                    cv::Rect((size - scaled.width) / 2, (size - scaled.height) / 2, scaled.width,
                             scaled.height)};
        }
        const int shorter = std::min(frame.width, frame.height);
        const int side = region == Region::middle ? shorter : std::max(1, shorter * 3 / 4);
        const int top = region == Region::middle ? (frame.height - side) / 2 : shorter / 12;
        return {cv::Rect((frame.width - side) / 2, top, side, side), cv::Rect(0, 0, size, size)};
    }

    // Runs the network on the square's planes; the largest anchor score as a logit. A dim
    // square is first stretched so that its grey levels span the full range, as a camera's
    // exposure would. The black around a letterboxed frame is part of the square, so there the
    // stretch only brightens: stretching the whole frame's contrast makes the distant network see
    // faces in textures.
    float bestScore() {
        const std::size_t count = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
        int darkest = 255;
        int brightest = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const int grey = (77 * red[i] + 150 * green[i] + 29 * blue[i] + 128) >> 8;
            darkest = std::min(darkest, grey);
            brightest = std::max(brightest, grey);
        }
        const float gain =
            brightest > darkest
                ? std::min(kMostGain, 255.0f / static_cast<float>(brightest - darkest))
                : 1.0f;
        // The network takes [-1, 1]; a saturated colour may go past that once stretched.
        const float scale = gain / 127.5f;
        const float offset = -static_cast<float>(darkest) * scale - 1.0f;
        float* input = net->input().data();
        for (std::size_t i = 0; i < count; ++i) {
            input[3 * i] = static_cast<float>(red[i]) * scale + offset;
            input[3 * i + 1] = static_cast<float>(green[i]) * scale + offset;
            input[3 * i + 2] = static_cast<float>(blue[i]) * scale + offset;
        }
        if (!net->run()) {
            return -INFINITY;
        }
        float best = -INFINITY;
        std::size_t anchors = 0;
        for (const XnnpackNetwork::Output& output : net->outputs()) {
            best = std::max(best, *std::max_element(output.values.begin(), output.values.end()));
            anchors += output.values.size();
        }
        return anchors == kAnchors ? best : -INFINITY;
    }

    bool sees(const Planes& planes, cv::Size frame) {
        const auto [from, to] = placement(frame);
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(to.y) * size + to.x;
        // A box filter: every pixel of the frame counts, so fine detail does not alias.
        for (auto [source, target] :
             {std::pair{&planes.red, &red}, std::pair{&planes.green, &green},
              std::pair{&planes.blue, &blue}}) {
            std::fill(target->begin(), target->end(), 0);
            libyuv::ScalePlane(planes.at(*source, from.tl()), planes.area.width, from.width,
                               from.height, target->data() + at, size, to.width, to.height,
                               libyuv::kFilterBox);
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
        // Only the scores, one number per anchor, are computed; not the boxes, 16 per anchor.
        auto loaded = XnnpackNetwork::load(path, [](const std::vector<int64_t>& shape) {
            return !shape.empty() && shape.back() == 1;
        });
        if (auto* reason = std::get_if<std::string>(&loaded)) {
            return Error{"FaceDetector", 2,
                         "cannot read face model " + path.string() + ": " + *reason};
        }
        network->net = std::move(std::get<0>(loaded));
        for (auto* plane : {&network->red, &network->green, &network->blue}) {
            plane->assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), 0);
        }
        // A network with another input size or other outputs is not taken for this one.
        if (network->net->inputHeight() != size || network->net->inputWidth() != size ||
            network->net->inputChannels() != 3 || network->bestScore() == -INFINITY) {
            return Error{"FaceDetector", 2,
                         "face model " + path.string() + " is not a BlazeFace network"};
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
    // The upper middle first: it finds more faces alone, so fewer detections need the second.
    const Pass passes[] = {{kNearbyModel, 128, Region::upperMiddle, thresholds.sittingBack},
                           {kNearbyModel, 128, Region::middle, thresholds.nearby},
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

BlazeFaceDetector::BlazeFaceDetector(Private /*tag*/) : planes_(std::make_unique<Planes>()) {}

BlazeFaceDetector::~BlazeFaceDetector() = default;

bool BlazeFaceDetector::containsFace(const PixelBuffer& frame) {
    if (frame.width() <= 0 || frame.height() <= 0) {
        return false;
    }
    const cv::Size size(frame.width(), frame.height());
    cv::Rect area;
    for (const auto& pass : passes_) {
        area = area.empty() ? pass->placement(size).first : area | pass->placement(size).first;
    }
    Planes& planes = *planes_;
    planes.area = area;
    const auto count = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height);
    for (auto* plane : {&planes.red, &planes.green, &planes.blue}) {
        plane->resize(count);
    }
    libyuv::SplitARGBPlane(frame.row(area.y) + static_cast<std::ptrdiff_t>(area.x) * 4,
                           frame.stride(), planes.red.data(), area.width, planes.green.data(),
                           area.width, planes.blue.data(), area.width, nullptr, 0, area.width,
                           area.height);
    return std::any_of(passes_.begin(), passes_.end(), [&](const std::unique_ptr<Network>& pass) {
        return pass->sees(planes, size);
    });
}

}  // namespace kestrel
