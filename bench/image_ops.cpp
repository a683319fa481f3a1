// The pixel kernels behind frame scaling, the frozen-frame blur and crossfades, next to the
// alternatives they were chosen over, on 1280 x 720 frames. Blur benchmarks report `psnr_dB`
// and `max_error` (8-bit levels) against the exact blur: a full-size cv::GaussianBlur with
// BORDER_REPLICATE in float, taps out to 4 sigma. BM_BlurExactCv times OpenCV's 8-bit version.
//
//   image_ops_bench --benchmark_filter=Blur --benchmark_repetitions=5
//
// OpenCV runs its own worker threads (two on a two-core machine); BM_BlurAtScale and the
// `_OneThread` variants pin it to one, so that CPU time is the whole cost.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/media/ImageOps.h"
#include "platform/media/PixelBuffer.h"

namespace {

using kestrel::PixelBuffer;
using kestrel::PixelBufferRef;
namespace image = kestrel::image;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr image::ToneControls kNoTone{1.0, 1.0, 0.0};

cv::Mat view(PixelBuffer& buffer) {
    return {buffer.height(), buffer.width(), CV_8UC4, buffer.data(),
            static_cast<std::size_t>(buffer.stride())};
}

// Something like a camera frame, but harder: smooth gradients, hard-edged rectangles, a patch of
// one-pixel stripes and sensor-like noise.
PixelBufferRef makeFrame(int width, int height) {
    PixelBufferRef frame = PixelBuffer::create(width, height);
    std::mt19937 random(1234);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = frame->row(y);
        for (int x = 0; x < width; ++x) {
            row[x * 4 + 0] = static_cast<std::uint8_t>(x * 255 / width);
            row[x * 4 + 1] = static_cast<std::uint8_t>(y * 255 / height);
            row[x * 4 + 2] = static_cast<std::uint8_t>(128 + 100 * std::sin(x * 0.02 + y * 0.01));
            row[x * 4 + 3] = 255;
        }
    }
    cv::Mat mat = view(*frame);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 40; ++i) {
        const cv::Rect rect(byte(random) * width / 256, byte(random) * height / 256,
                            byte(random) * width / 768 + 1, byte(random) * height / 768 + 1);
        cv::rectangle(mat, rect, cv::Scalar(byte(random), byte(random), byte(random), 255),
                      cv::FILLED);
    }
    for (int y = height / 3; y < height / 2; ++y) {
        for (int x = width / 2; x < width * 3 / 4; ++x) {
            mat.at<cv::Vec4b>(y, x) =
                (x % 2 == 0) ? cv::Vec4b(240, 240, 240, 255) : cv::Vec4b(20, 20, 20, 255);
        }
    }
    std::normal_distribution<double> noise(0.0, 8.0);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = frame->row(y);
        for (int x = 0; x < width * 4; ++x) {
            if (x % 4 != 3) {
                row[x] = cv::saturate_cast<std::uint8_t>(row[x] + noise(random));
            }
        }
    }
    return frame;
}

// The exact blur: OpenCV's Gaussian in 32-bit float, taps out to 4 sigma, edges repeated.
cv::Mat exactBlur(const PixelBuffer& source, double sigma) {
    cv::Mat input = view(const_cast<PixelBuffer&>(source));  // NOLINT: read only
    cv::Mat wide;
    input.convertTo(wide, CV_32F);
    const int taps = 2 * static_cast<int>(std::ceil(4.0 * sigma)) + 1;
    cv::GaussianBlur(wide, wide, cv::Size(taps, taps), sigma, sigma, cv::BORDER_REPLICATE);
    return wide;
}

// Sets `psnr_dB` and `max_error` (levels) of `actual` against `expected` over B, G, R.
void reportError(benchmark::State& state, const PixelBuffer& actual, const cv::Mat& expected) {
    double squared = 0.0;
    double worst = 0.0;
    for (int y = 0; y < actual.height(); ++y) {
        const auto* want = expected.ptr<cv::Vec4f>(y);
        for (int x = 0; x < actual.width(); ++x) {
            for (int c = 0; c < 3; ++c) {
                const double d = actual.row(y)[x * 4 + c] - static_cast<double>(want[x][c]);
                squared += d * d;
                worst = std::max(worst, std::abs(d));
            }
        }
    }
    const double mse = squared / (3.0 * actual.width() * actual.height());
    state.counters["psnr_dB"] = 10.0 * std::log10(255.0 * 255.0 / std::max(mse, 1e-12));
    state.counters["max_error"] = worst;
}

cv::Mat asFloat(const PixelBuffer& buffer) {
    cv::Mat wide;
    view(const_cast<PixelBuffer&>(buffer)).convertTo(wide, CV_32F);  // NOLINT: read only
    return wide;
}

const PixelBuffer& frame720() {
    static const PixelBufferRef frame = makeFrame(kWidth, kHeight);
    return *frame;
}

// The blur radius (Gaussian sigma, in pixels) under test.
double sigmaArg(const benchmark::State& state) {
    return static_cast<double>(state.range(0));
}

class CvThreads {
  public:
    explicit CvThreads(int count) : saved_(cv::getNumThreads()) { cv::setNumThreads(count); }
    ~CvThreads() { cv::setNumThreads(saved_); }
    CvThreads(const CvThreads&) = delete;
    CvThreads& operator=(const CvThreads&) = delete;

  private:
    int saved_;
};

// ---- Reference points ----

void BM_Copy720p(benchmark::State& state) {
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    for (auto _ : state) {
        image::copy(frame720(), *dest);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_Copy720p)->Unit(benchmark::kMillisecond);

// ---- Scaling ----

void BM_ScaleToFill1080to720(benchmark::State& state) {
    PixelBufferRef source = makeFrame(1920, 1080);
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    for (auto _ : state) {
        image::scaleToFill(*source, *dest);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_ScaleToFill1080to720)->Unit(benchmark::kMillisecond);

void BM_ScaleToFill480to720(benchmark::State& state) {
    PixelBufferRef source = makeFrame(640, 480);
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    for (auto _ : state) {
        image::scaleToFill(*source, *dest);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_ScaleToFill480to720)->Unit(benchmark::kMillisecond);

void BM_CvResize1080to720(benchmark::State& state) {
    PixelBufferRef source = makeFrame(1920, 1080);
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    cv::Mat input = view(*source);
    cv::Mat output = view(*dest);
    for (auto _ : state) {
        cv::resize(input, output, output.size(), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_CvResize1080to720)->Unit(benchmark::kMillisecond);

// ---- Blur ----

void BM_BlurExactCv(benchmark::State& state) {
    const double sigma = sigmaArg(state);
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    cv::Mat input = view(const_cast<PixelBuffer&>(frame720()));  // NOLINT: read only
    cv::Mat output = view(*dest);
    for (auto _ : state) {
        cv::GaussianBlur(input, output, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_BlurExactCv)->Arg(2)->Arg(6)->Arg(18)->Arg(100)->Unit(benchmark::kMillisecond);

// Three successive box blurs whose variances add up to sigma^2 (full size).
void BM_BlurThreeBoxes(benchmark::State& state) {
    const double sigma = sigmaArg(state);
    const int box =
        std::max(1, static_cast<int>(std::lround(std::sqrt(4.0 * sigma * sigma + 1.0))));
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    cv::Mat input = view(const_cast<PixelBuffer&>(frame720()));  // NOLINT: read only
    cv::Mat output = view(*dest);
    const auto run = [&] {
        cv::blur(input, output, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        cv::blur(output, output, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        cv::blur(output, output, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    };
    run();
    reportError(state, *dest, exactBlur(frame720(), sigma));
    for (auto _ : state) {
        run();
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_BlurThreeBoxes)->Arg(6)->Arg(18)->Arg(100)->Unit(benchmark::kMillisecond);

// The shipped blur with an explicit shrink factor (second argument), tone switched off, OpenCV
// on one thread so that CPU time is the whole cost.
void BM_BlurAtScale(benchmark::State& state) {
    const CvThreads threads(1);
    const double sigma = sigmaArg(state);
    const int factor = static_cast<int>(state.range(1));
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    image::blurAndToneAtScale(frame720(), *dest, sigma, factor, kNoTone);
    reportError(state, *dest, exactBlur(frame720(), sigma));
    for (auto _ : state) {
        image::blurAndToneAtScale(frame720(), *dest, sigma, factor, kNoTone);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_BlurAtScale)
    ->ArgsProduct({{2}, {1, 2}})
    ->ArgsProduct({{3, 4}, {1, 2}})
    ->ArgsProduct({{6}, {1, 2, 4}})
    ->ArgsProduct({{12}, {2, 4, 8}})
    ->ArgsProduct({{8, 9}, {1, 2, 4}})
    ->ArgsProduct({{18}, {2, 4, 8}})
    ->ArgsProduct({{40}, {8, 16}})
    ->ArgsProduct({{100}, {16, 32, 64}})
    ->Unit(benchmark::kMillisecond);

// What blurAndTone actually does: the factor it picks, the default tone. The error is against
// the exact blur followed by the same tone (in float, unclipped until the end).
void runBlurAndTone(benchmark::State& state) {
    const double sigma = sigmaArg(state);
    const image::ToneControls tone;
    constexpr std::array<double, 3> kLuma = {0.0722, 0.7152, 0.2126};
    cv::Matx<float, 4, 4> matrix = cv::Matx<float, 4, 4>::zeros();
    for (int out = 0; out < 3; ++out) {
        for (int in = 0; in < 3; ++in) {
            const double mix = (out == in ? tone.saturation : 0.0) +
                               (1.0 - tone.saturation) * kLuma[static_cast<std::size_t>(in)];
            matrix(out, in) = static_cast<float>(tone.contrast * mix);
        }
    }
    matrix(3, 3) = 1.0F;
    cv::Mat expected;
    cv::transform(exactBlur(frame720(), sigma), expected, matrix);
    expected += cv::Scalar::all(0.5 * (1.0 - tone.contrast) * 255.0);
    expected = cv::max(cv::min(expected, 255.0), 0.0);

    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    image::blurAndTone(frame720(), *dest, sigma);
    reportError(state, *dest, expected);
    state.counters["factor"] = image::blurDownscaleFactor(sigma);
    for (auto _ : state) {
        image::blurAndTone(frame720(), *dest, sigma);
        benchmark::DoNotOptimize(dest->data());
    }
}

void BM_BlurAndTone(benchmark::State& state) {
    runBlurAndTone(state);
}
BENCHMARK(BM_BlurAndTone)->Arg(0)->Arg(2)->Arg(6)->Arg(18)->Arg(100)->Unit(benchmark::kMillisecond);

void BM_BlurAndTone_OneThread(benchmark::State& state) {
    const CvThreads threads(1);
    runBlurAndTone(state);
}
BENCHMARK(BM_BlurAndTone_OneThread)
    ->Arg(0)
    ->Arg(2)
    ->Arg(6)
    ->Arg(18)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);

// ---- Tone ----

void BM_ToneFixedPoint(benchmark::State& state) {
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    for (auto _ : state) {
        image::blurAndTone(frame720(), *dest, 0.0);  // no blur: tone only
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_ToneFixedPoint)->Unit(benchmark::kMillisecond);

// libyuv's matrix has 6-bit coefficients and no offset; the contrast offset needs a table pass.
void BM_ToneLibyuvMatrixAndTable(benchmark::State& state) {
    const image::ToneControls tone;
    constexpr std::array<double, 3> kLuma = {0.0722, 0.7152, 0.2126};
    std::array<std::int8_t, 16> matrix{};
    for (int out = 0; out < 3; ++out) {
        for (int in = 0; in < 3; ++in) {
            const double mix = (out == in ? tone.saturation : 0.0) +
                               (1.0 - tone.saturation) * kLuma[static_cast<std::size_t>(in)];
            matrix[static_cast<std::size_t>(out * 4 + in)] =
                static_cast<std::int8_t>(std::lround(tone.contrast * mix * 64.0));
        }
    }
    matrix[15] = 64;
    std::array<std::uint8_t, 1024> table{};
    const double offset = 0.5 * (1.0 - tone.contrast) * 255.0;
    for (int i = 0; i < 256; ++i) {
        for (int c = 0; c < 4; ++c) {
            table[static_cast<std::size_t>(i * 4 + c)] =
                c == 3 ? static_cast<std::uint8_t>(i) : cv::saturate_cast<std::uint8_t>(i + offset);
        }
    }
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    const PixelBuffer& source = frame720();
    for (auto _ : state) {
        libyuv::ARGBColorMatrix(source.data(), source.stride(), dest->data(), dest->stride(),
                                matrix.data(), kWidth, kHeight);
        libyuv::ARGBColorTable(dest->data(), dest->stride(), table.data(), 0, 0, kWidth, kHeight);
        benchmark::DoNotOptimize(dest->data());
    }
    PixelBufferRef reference = PixelBuffer::create(kWidth, kHeight);
    image::blurAndTone(source, *reference, 0.0);
    reportError(state, *dest, asFloat(*reference));
}
BENCHMARK(BM_ToneLibyuvMatrixAndTable)->Unit(benchmark::kMillisecond);

void BM_ToneCvTransform(benchmark::State& state) {
    const image::ToneControls tone;
    constexpr std::array<double, 3> kLuma = {0.0722, 0.7152, 0.2126};
    cv::Matx<float, 4, 5> matrix = cv::Matx<float, 4, 5>::zeros();
    for (int out = 0; out < 3; ++out) {
        for (int in = 0; in < 3; ++in) {
            const double mix = (out == in ? tone.saturation : 0.0) +
                               (1.0 - tone.saturation) * kLuma[static_cast<std::size_t>(in)];
            matrix(out, in) = static_cast<float>(tone.contrast * mix);
        }
        matrix(out, 4) = static_cast<float>(0.5 * (1.0 - tone.contrast) * 255.0);
    }
    matrix(3, 3) = 1.0F;
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    cv::Mat input = view(const_cast<PixelBuffer&>(frame720()));  // NOLINT: read only
    cv::Mat output = view(*dest);
    for (auto _ : state) {
        cv::transform(input, output, matrix);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_ToneCvTransform)->Unit(benchmark::kMillisecond);

// ---- Blend ----

void BM_Blend720p(benchmark::State& state) {
    PixelBufferRef other = makeFrame(kWidth, kHeight);
    PixelBufferRef dest = PixelBuffer::create(kWidth, kHeight);
    for (auto _ : state) {
        image::blend(frame720(), *other, 0.3, *dest);
        benchmark::DoNotOptimize(dest->data());
    }
}
BENCHMARK(BM_Blend720p)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
