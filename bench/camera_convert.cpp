// Capture-queue cost of turning one camera frame into the 1280x720 BGRA frame the engine gets,
// each also printed as a ratio to a plain copy of one 1280x720 BGRA frame measured in the same
// run.
//
// The capture queue has 66.7 ms per frame at 15 frames per second and also runs the engine's frame
// handler; conversion should take a small share of it (MJPEG 1080p at 60 copies is about 7 ms, a
// tenth of the frame interval). Goals on a two-core build machine: YUYV <= 5 copies, MJPEG 720p
// <= 20 copies, MJPEG 1080p scaled to 720p <= 60 copies, a test-pattern frame <= 5 copies.

#include <benchmark/benchmark.h>

#include <jpeglib.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>
#include "bench/CollectingReporter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/sources/TestPatternBackend.h"
#include "app/sources/V4l2Backend.h"

namespace kestrel {
namespace {

// The test pattern, a picture with hard edges and digits, as a camera would send it in MJPEG.
std::vector<std::uint8_t> patternJpeg(int width, int height) {
    auto frame = PixelBuffer::create(width, height);
    TestPatternBackend::drawFrame(*frame, 4242, std::chrono::system_clock::now());
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    libyuv::ARGBToRAW(frame->data(), frame->stride(), rgb.data(), width * 3, width, height);

    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 85, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = rgb.data() + static_cast<std::size_t>(info.next_scanline) * width * 3;
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<std::uint8_t> bytes(out, out + outSize);
    jpeg_destroy_compress(&info);
    std::free(out);
    return bytes;
}

void BM_Copy1280x720(benchmark::State& st) {
    auto source = PixelBuffer::create(1280, 720);
    auto dest = PixelBuffer::create(1280, 720);
    source->fill(1, 2, 3);
    for (auto _ : st) {
        libyuv::ARGBCopy(source->data(), source->stride(), dest->data(), dest->stride(), 1280, 720);
        benchmark::DoNotOptimize(dest->data());
        benchmark::ClobberMemory();
    }
}

void BM_Yuyv720p(benchmark::State& st) {
    std::vector<std::uint8_t> yuyv(1280 * 720 * 2, 128);
    auto dest = PixelBuffer::create(1280, 720);
    for (auto _ : st) {
        convertToBgra(V4L2_PIX_FMT_YUYV, yuyv.data(), yuyv.size(), 1280, 720, 2560, *dest);
        benchmark::DoNotOptimize(dest->data());
    }
}

void BM_Mjpeg720p(benchmark::State& st) {
    const auto jpeg = patternJpeg(1280, 720);
    auto dest = PixelBuffer::create(1280, 720);
    for (auto _ : st) {
        if (!convertToBgra(V4L2_PIX_FMT_MJPEG, jpeg.data(), jpeg.size(), 1280, 720, 0, *dest)) {
            st.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(dest->data());
    }
}

void BM_Mjpeg1080pTo720p(benchmark::State& st) {
    const auto jpeg = patternJpeg(1920, 1080);
    auto dest = PixelBuffer::create(1280, 720);
    PixelBufferRef unscaled;  // kept across frames, as the capture session keeps it
    for (auto _ : st) {
        if (!convertToBgra(V4L2_PIX_FMT_MJPEG, jpeg.data(), jpeg.size(), 1920, 1080, 0, *dest,
                           &unscaled)) {
            st.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(dest->data());
    }
}

void BM_PatternFrame(benchmark::State& st) {
    auto dest = PixelBuffer::create(1280, 720);
    std::uint64_t index = 0;
    const auto now = std::chrono::system_clock::now();
    for (auto _ : st) {
        TestPatternBackend::drawFrame(*dest, index++, now);
        benchmark::DoNotOptimize(dest->data());
    }
}

BENCHMARK(BM_Copy1280x720);
BENCHMARK(BM_Yuyv720p);
BENCHMARK(BM_Mjpeg720p);
BENCHMARK(BM_Mjpeg1080pTo720p);
BENCHMARK(BM_PatternFrame);

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kestrel::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    kestrel::printGoalRatios(reporter, "BM_Copy1280x720", "ratio to one 1280x720 copy",
                             {{"BM_Yuyv720p", "YUYV 1280x720 to BGRA", 5},
                              {"BM_Mjpeg720p", "MJPEG 1280x720 to BGRA", 20},
                              {"BM_Mjpeg1080pTo720p", "MJPEG 1920x1080 to BGRA 1280x720", 60},
                              {"BM_PatternFrame", "test-pattern frame", 5}});
    return 0;
}
