// Face detection as the away detector runs it (the frame scaled to 320 pixels wide, grey, LBP
// frontal-face cascade) on a 1280 x 720 webcam-like shot of a portrait, against the same cascade
// on the full-size grey frame as reference. `ratio_to_full_size` is analysis time over reference
// time, measured in the same process; `face` is 1 when a face was found.
//
//   face_detect_bench --benchmark_repetitions=5
//
// Needs opencv-data and python3-skimage (the portrait).

#include <benchmark/benchmark.h>

#include <chrono>
#include <variant>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "app/presence/OpenCvFaceDetector.h"

namespace {

using kestrel::OpenCvFaceDetector;
using kestrel::PixelBuffer;
using kestrel::PixelBufferRef;
using Clock = std::chrono::steady_clock;

PixelBufferRef portraitShot() {
    const cv::Mat portrait =
        cv::imread("/usr/lib/python3/dist-packages/skimage/data/astronaut.png", cv::IMREAD_COLOR);
    auto frame = PixelBuffer::create(1280, 720);
    cv::Mat view(720, 1280, CV_8UC4, frame->data(), static_cast<std::size_t>(frame->stride()));
    view.setTo(cv::Scalar(180, 190, 200, 255));
    if (!portrait.empty()) {
        cv::Mat scaled;
        cv::resize(portrait, scaled, cv::Size(720, 720), 0, 0, cv::INTER_AREA);
        cv::cvtColor(scaled, view(cv::Rect(280, 0, 720, 720)), cv::COLOR_BGR2BGRA);
    }
    return frame;
}

void BM_DetectFace(benchmark::State& state) {
    cv::setNumThreads(1);
    auto created = OpenCvFaceDetector::create(OpenCvFaceDetector::defaultCascadePath());
    if (std::holds_alternative<kestrel::Error>(created)) {
        state.SkipWithError("no face model (install opencv-data)");
        return;
    }
    auto& detector = *std::get<std::unique_ptr<OpenCvFaceDetector>>(created);
    cv::CascadeClassifier reference(OpenCvFaceDetector::defaultCascadePath().string());
    const PixelBufferRef frame = portraitShot();
    const cv::Mat view(720, 1280, CV_8UC4, frame->data(),
                       static_cast<std::size_t>(frame->stride()));
    cv::Mat grey;
    cv::cvtColor(view, grey, cv::COLOR_BGRA2GRAY);

    Clock::duration analysis{};
    Clock::duration full{};
    bool found = false;
    for (auto _ : state) {
        const auto start = Clock::now();
        found = detector.containsFace(*frame);
        const auto middle = Clock::now();
        state.PauseTiming();
        std::vector<cv::Rect> faces;
        reference.detectMultiScale(grey, faces, 1.1, 3, 0, cv::Size(96, 96));
        benchmark::DoNotOptimize(faces.data());
        full += Clock::now() - middle;
        state.ResumeTiming();
        analysis += middle - start;
    }
    state.counters["face"] = found ? 1 : 0;
    state.counters["ratio_to_full_size"] =
        full.count() > 0 ? static_cast<double>(analysis.count()) / static_cast<double>(full.count())
                         : 0.0;
}
BENCHMARK(BM_DetectFace)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
