// Face detectors for the away detector, side by side on the face evaluation set (webcam-like
// 1280x720 frames built from python3-skimage's images): recall on the frames with a face, faces
// reported on frames without one, and the mean and worst time of one detection. The candidates
// run one after another on each frame, so a change in the machine's load touches them all alike;
// `ratio` is a candidate's mean time over the first candidate's. The CPU columns count the
// processor time of the detecting thread alone, which a loaded machine changes far less.
//
//   face_detect_bench [--rounds N] [--only NAME-PART] [--misses] [--grey]
//
// --grey leaves the LFW crops grey as they ship instead of giving them a chroma of skin.
//
// Needs opencv-data and python3-skimage; dlib's HOG detector is measured where libdlib-dev was
// found at build time, BlazeFace where its model is installed (kestrel.sh). Last, one forward pass
// of each BlazeFace network by XNNPACK against OpenCV's DNN module.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#ifdef KESTREL_HAVE_DLIB
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv/cv_image.h>
#endif

#include "app/presence/BlazeFaceDetector.h"
#include "app/presence/FrameView.h"
#include "app/presence/OpenCvFaceDetector.h"
#include "app/presence/XnnpackNetwork.h"
#include "tests/app/presence/FaceEvaluationSet.h"

namespace {

using kestrel::FaceDetector;
using kestrel::PixelBuffer;
using Clock = std::chrono::steady_clock;

#ifdef KESTREL_HAVE_DLIB
// dlib's HOG frontal-face detector (its model is compiled into the library) on a grey copy.
class DlibFaceDetector final : public FaceDetector {
  public:
    explicit DlibFaceDetector(int analysisWidth) : width_(analysisWidth) {}
    bool containsFace(const PixelBuffer& frame) override {
        cv::Mat small;
        cv::resize(kestrel::readOnlyView(frame), small,
                   cv::Size(width_, frame.height() * width_ / frame.width()), 0, 0, cv::INTER_AREA);
        cv::Mat grey;
        cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
        const dlib::cv_image<unsigned char> image(grey);
        return !detector_(image).empty();
    }

  private:
    int width_;
    dlib::frontal_face_detector detector_ = dlib::get_frontal_face_detector();
};
#endif

// The processor time this thread has used: what a detection costs, whatever else the machine runs.
double threadCpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Candidate {
    std::string name;
    std::unique_ptr<FaceDetector> detector;
    int found = 0;
    int foundLfw = 0;
    int falseFaces = 0;
    std::vector<double> milliseconds;
    std::vector<double> cpuMilliseconds;
    std::vector<std::string> misses;
};

std::unique_ptr<FaceDetector> cascade(const char* file,
                                      kestrel::OpenCvFaceDetector::Options options) {
    auto created = kestrel::OpenCvFaceDetector::create(file, std::move(options));
    if (auto* error = std::get_if<kestrel::Error>(&created)) {
        std::fprintf(stderr, "%s\n", error->description.c_str());
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<kestrel::OpenCvFaceDetector>>(created));
}

// One forward pass of each BlazeFace network on the same input, by XNNPACK (what the detector
// uses) and by OpenCV's DNN module (what it used before), interleaved: processor time per pass.
void printForwardPasses(int rounds) {
    std::printf("\n| Network | XNNPACK CPU ms | OpenCV DNN CPU ms | Ratio |\n|---|---|---|---|\n");
    const auto folder = kestrel::BlazeFaceDetector::defaultModelFolder();
    for (const char* file : {"face_detection_front_128x128_barracuda.onnx",
                             "face_detection_back_256x256_barracuda.onnx"}) {
        auto loaded = kestrel::XnnpackNetwork::load(folder / file);
        if (auto* reason = std::get_if<std::string>(&loaded)) {
            std::fprintf(stderr, "%s: %s\n", file, reason->c_str());
            continue;
        }
        kestrel::XnnpackNetwork& network = *std::get<0>(loaded);
        const int shape[] = {1, network.inputHeight(), network.inputWidth(),
                             network.inputChannels()};
        cv::Mat input(4, shape, CV_32F, network.input().data());
        cv::randu(input, -1.0f, 1.0f);
        cv::dnn::Net reference = cv::dnn::readNetFromONNX((folder / file).string());
        const auto names = reference.getUnconnectedOutLayersNames();
        std::vector<cv::Mat> results;
        double xnnpack = 0;
        double opencv = 0;
        const int passes = 100 * rounds;
        for (int i = 0; i < passes + 5; ++i) {
            double start = threadCpuMilliseconds();
            network.run();
            const double xnnpackPass = threadCpuMilliseconds() - start;
            start = threadCpuMilliseconds();
            reference.setInput(input);
            reference.forward(results, names);
            const double opencvPass = threadCpuMilliseconds() - start;
            if (i >= 5) {  // after the first runs' allocations
                xnnpack += xnnpackPass;
                opencv += opencvPass;
            }
        }
        std::printf("| %s | %.2f | %.2f | %.2f |\n", file, xnnpack / passes, opencv / passes,
                    xnnpack / opencv);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2;
    bool showMisses = false;
    bool grey = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--misses") == 0) {
            showMisses = true;
        } else if (std::strcmp(argv[i], "--grey") == 0) {
            grey = true;
        }
    }
    cv::setNumThreads(1);
    const auto set = kestrel::buildFaceEvaluationSet(kestrel::skimageDataFolder(), SIZE_MAX, grey);
    if (set.frames.empty()) {
        std::fprintf(stderr, "%s\n", set.error.c_str());
        return 1;
    }

    const char* lbp = "/usr/share/opencv4/lbpcascades/lbpcascade_frontalface_improved.xml";
    const char* lbpOld = "/usr/share/opencv4/lbpcascades/lbpcascade_frontalface.xml";
    const char* haar = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";
    const char* alt2 = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_alt2.xml";
    const std::vector<double> turns = {-22, 22};
    std::vector<Candidate> candidates;
    const auto add = [&](std::string name, std::unique_ptr<FaceDetector> detector) {
        if (detector && name.find(only) != std::string::npos) {
            candidates.push_back({std::move(name), std::move(detector), 0, 0, 0, {}, {}, {}});
        }
    };
    add("LBP frontal 320 (before)", cascade(lbpOld, {}));
    add("LBP frontal 320, turns ±22°", cascade(lbpOld, {320, 24, turns}));
    add("LBP frontal 448, turns ±22°", cascade(lbpOld, {448, 24, turns}));
    add("LBP improved 448, turns ±22°", cascade(lbp, {448, 24, turns}));
    add("Haar default 320, turns ±22°", cascade(haar, {320, 24, turns}));
    add("Haar alt2 320", cascade(alt2, {320, 20, {}}));
    add("Haar alt2 320, turns ±22°", cascade(alt2, {320, 20, turns}));
    add("Haar alt2 448, turns ±22°", cascade(alt2, {448, 24, turns}));
#ifdef KESTREL_HAVE_DLIB
    add("dlib HOG 640", std::make_unique<DlibFaceDetector>(640));
    add("dlib HOG 960", std::make_unique<DlibFaceDetector>(960));
#endif
    // BlazeFace passes, each only where the ones before found nothing: the short-range network
    // on the middle square and on the upper middle enlarged, the distant one on the whole frame.
    const std::pair<const char*, kestrel::BlazeFaceDetector::Thresholds> blazeFaces[] = {
        {"BlazeFace 256 whole @0.80 (before)", {0, 0, 0.8f}},
        {"BlazeFace 256 whole @0.70", {0, 0, 0.7f}},
        {"BlazeFace 128 middle @0.70", {0.7f, 0, 0}},
        {"BlazeFace 128 middle @0.60", {0.6f, 0, 0}},
        {"BlazeFace 128 upper middle @0.60", {0, 0.6f, 0}},
        {"BlazeFace 128 upper middle @0.65", {0, 0.65f, 0}},
        {"BlazeFace 128 middle, upper middle @0.70", {0.7f, 0.7f, 0}},
        {"BlazeFace 128 middle @0.70, upper middle @0.65 (kestrel)", {0.7f, 0.65f, 0}},
        {"BlazeFace 128 middle, upper middle @0.65", {0.65f, 0.65f, 0}},
        {"BlazeFace 128 middle @0.70, upper middle @0.60", {0.7f, 0.6f, 0}},
        {"BlazeFace 128 middle @0.70, else 256 whole @0.80", {0.7f, 0, 0.8f}},
        {"BlazeFace 128 middle, upper middle @0.70, else 256 whole @0.80", {0.7f, 0.7f, 0.8f}},
        {"BlazeFace 128 middle, upper middle @0.65, else 256 whole @0.75", {0.65f, 0.65f, 0.75f}},
    };
    for (const auto& [name, thresholds] : blazeFaces) {
        auto created = kestrel::BlazeFaceDetector::create(
            kestrel::BlazeFaceDetector::defaultModelFolder(), thresholds);
        if (auto* error = std::get_if<kestrel::Error>(&created)) {
            std::fprintf(stderr, "%s\n", error->description.c_str());
            break;
        }
        add(name, std::move(std::get<std::unique_ptr<kestrel::BlazeFaceDetector>>(created)));
    }

    const auto isLfw = [](const kestrel::FaceEvaluationFrame& frame) {
        return frame.name.rfind("lfw", 0) == 0;
    };
    int faceFrames = 0;
    int lfwFrames = 0;
    for (const auto& frame : set.frames) {
        faceFrames += frame.hasFace ? 1 : 0;
        lfwFrames += frame.hasFace && isLfw(frame) ? 1 : 0;
    }
    double loadBefore[3] = {0, 0, 0};
    getloadavg(loadBefore, 3);
    for (int round = 0; round < rounds; ++round) {
        for (const auto& frame : set.frames) {
            for (Candidate& candidate : candidates) {
                const double cpuStart = threadCpuMilliseconds();
                const auto start = Clock::now();
                const bool face = candidate.detector->containsFace(*frame.frame);
                candidate.milliseconds.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                candidate.cpuMilliseconds.push_back(threadCpuMilliseconds() - cpuStart);
                if (round == 0) {
                    candidate.found += face && frame.hasFace ? 1 : 0;
                    candidate.foundLfw += face && frame.hasFace && isLfw(frame) ? 1 : 0;
                    candidate.falseFaces += face && !frame.hasFace ? 1 : 0;
                    if (face != frame.hasFace) {
                        candidate.misses.push_back(frame.name);
                    }
                }
            }
        }
    }

    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf(
        "%zu frames (%d with a face, %d of them LFW crops%s), %d rounds, load average %.2f "
        "before, %.2f %.2f %.2f after\n\n",
        set.frames.size(), faceFrames, lfwFrames, grey ? ", grey" : "", rounds, loadBefore[0],
        load[0], load[1], load[2]);
    std::printf(
        "| Candidate | Portraits | LFW | Recall | False faces | Mean ms | Worst ms | Ratio | CPU "
        "mean ms | CPU worst ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    double reference = 0;
    for (Candidate& candidate : candidates) {
        const auto& times = candidate.milliseconds;
        const auto meanOf = [](const std::vector<double>& values) {
            double sum = 0;
            for (const double value : values) {
                sum += value;
            }
            return sum / static_cast<double>(values.size());
        };
        const double mean = meanOf(times);
        const auto& cpu = candidate.cpuMilliseconds;
        if (reference == 0) {
            reference = mean;
        }
        std::printf(
            "| %s | %d/%d | %d/%d | %.1f%% | %d of %zu | %.1f | %.1f | %.2f | %.1f | %.1f |\n",
            candidate.name.c_str(), candidate.found - candidate.foundLfw, faceFrames - lfwFrames,
            candidate.foundLfw, lfwFrames, 100.0 * candidate.found / faceFrames,
            candidate.falseFaces, set.frames.size() - static_cast<std::size_t>(faceFrames), mean,
            *std::max_element(times.begin(), times.end()), mean / reference, meanOf(cpu),
            *std::max_element(cpu.begin(), cpu.end()));
    }
    printForwardPasses(rounds);
    if (showMisses) {
        for (const Candidate& candidate : candidates) {
            std::printf("\n%s is wrong on:\n", candidate.name.c_str());
            for (const auto& name : candidate.misses) {
                std::printf("  %s\n", name.c_str());
            }
        }
    }
    return 0;
}
