// The camera daemon's cost of turning one relayed 1280x720 BGRA frame into the 1920x1080 YUY2 frame
// its consumers take, as a ratio to FFmpeg's swscale doing the same (bilinear, one call) in the
// same run. "Cold" runs start each frame with the caches holding other data, as in the daemon,
// where a frame arrives from another process every 67 ms. A copy of one 1080p YUY2 frame is the
// floor.
//
// Goal on a two-core build machine: at most 0.5x swscale, the ratio bench/relay asks of the daemon
// as a whole against the ffmpeg command line.

#include <benchmark/benchmark.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstring>
#include <vector>

#include "bench/CollectingReporter.h"
#include "extension/FrameConvert.h"

namespace kestrel::camera {
namespace {

constexpr std::uint32_t kWidth = 1280;
constexpr std::uint32_t kHeight = 720;

std::vector<std::uint8_t> gradient() {
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(kWidth) * kHeight * 4);
    for (std::size_t i = 0; i < bgra.size(); ++i) {
        bgra[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 11));
    }
    return bgra;
}

// Replaces what the caches hold with 64 MB of something else.
void evictCaches() {
    static std::vector<std::uint8_t> other(64 << 20);
    std::memset(other.data(), static_cast<int>(other[1] + 1), other.size());
    benchmark::DoNotOptimize(other.data());
}

void BM_CopyYuy2Frame(benchmark::State& state) {
    std::vector<std::uint8_t> from(1920 * 1080 * 2, 16);
    std::vector<std::uint8_t> to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
    }
}

void swscaleFrames(benchmark::State& state, bool cold) {
    const std::vector<std::uint8_t> source = gradient();
    std::vector<std::uint8_t> out(1920 * 1080 * 2);
    SwsContext* context =
        sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGRA, 1920, 1080, AV_PIX_FMT_YUYV422,
                       SWS_BILINEAR, nullptr, nullptr, nullptr);
    const std::uint8_t* const from[] = {source.data()};
    const int fromStride[] = {static_cast<int>(kWidth * 4)};
    std::uint8_t* const to[] = {out.data()};
    const int toStride[] = {3840};
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            evictCaches();
            state.ResumeTiming();
        }
        sws_scale(context, from, fromStride, 0, kHeight, to, toStride);
        benchmark::DoNotOptimize(out.data());
    }
    sws_freeContext(context);
}

void convertFrames(benchmark::State& state, bool cold) {
    const std::vector<std::uint8_t> source = gradient();
    std::vector<std::uint8_t> out(1920 * 1080 * 2);
    OutputConverter converter;
    std::uint64_t contentId = 1;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            evictCaches();
            state.ResumeTiming();
        }
        // A new content id each time: every frame is converted, none reused.
        converter.convert(ImageView{source.data(), kWidth, kHeight, kWidth * 4},
                          OutputConverter::Format::yuy2, MutableImage{out.data(), 1920, 1080, 3840},
                          contentId++);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_Swscale(benchmark::State& state) {
    swscaleFrames(state, false);
}
void BM_SwscaleCold(benchmark::State& state) {
    swscaleFrames(state, true);
}
void BM_Yuy2From720p(benchmark::State& state) {
    convertFrames(state, false);
}
void BM_Yuy2From720pCold(benchmark::State& state) {
    convertFrames(state, true);
}

BENCHMARK(BM_CopyYuy2Frame);
BENCHMARK(BM_Swscale);
BENCHMARK(BM_SwscaleCold);
BENCHMARK(BM_Yuy2From720p);
BENCHMARK(BM_Yuy2From720pCold);

}  // namespace
}  // namespace kestrel::camera

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kestrel::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    kestrel::printGoalRatios(reporter, "BM_Swscale", "ratio to swscale",
                             {{"BM_Yuy2From720p", "720p BGRA to 1080p YUY2", 0.5}}, "x");
    kestrel::printGoalRatios(reporter, "BM_SwscaleCold", "ratio to swscale, caches cold",
                             {{"BM_Yuy2From720pCold", "720p BGRA to 1080p YUY2", 0.5}}, "x");
    return 0;
}
