#include "tools/view/FrameStats.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace kestrel::view {

FrameSample sampleFrame(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t stride) {
    FrameSample out;
    if (pixels == nullptr || width == 0 || height == 0) {
        return out;
    }
    constexpr std::uint32_t kStep = 8;
    double b = 0, g = 0, r = 0;
    std::uint64_t n = 0;
    bool black = true;
    auto visit = [&](std::uint32_t x, std::uint32_t y) {
        const std::uint8_t* p = pixels + static_cast<std::size_t>(y) * stride + x * 4ULL;
        b += p[0];
        g += p[1];
        r += p[2];
        black = black && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0;
        ++n;
    };
    for (std::uint32_t y = 0; y < height; y += kStep) {
        for (std::uint32_t x = 0; x < width; x += kStep) {
            visit(x, y);
        }
        visit(width - 1, y);
    }
    for (std::uint32_t x = 0; x < width; x += kStep) {
        visit(x, height - 1);
    }
    visit(width - 1, height - 1);
    out.black = black;
    out.meanB = b / static_cast<double>(n);
    out.meanG = g / static_cast<double>(n);
    out.meanR = r / static_cast<double>(n);
    return out;
}

void FrameStats::add(const FrameSample& sample, std::uint64_t hostTimeNanos,
                     std::uint64_t arrivalNanos) {
    if (latencies_.empty()) {
        firstArrival_ = arrivalNanos;
    }
    lastArrival_ = arrivalNanos;
    const double latency = arrivalNanos >= hostTimeNanos
                               ? static_cast<double>(arrivalNanos - hostTimeNanos) / 1e6
                               : -static_cast<double>(hostTimeNanos - arrivalNanos) / 1e6;
    latencies_.push_back(latency);
    if (sample.black) {
        ++black_;
    }
    sumB_ += sample.meanB;
    sumG_ += sample.meanG;
    sumR_ += sample.meanR;
}

double FrameStats::frameRate() const {
    if (frames() < 2 || lastArrival_ <= firstArrival_) {
        return 0;
    }
    return static_cast<double>(frames() - 1) * 1e9 /
           static_cast<double>(lastArrival_ - firstArrival_);
}

double FrameStats::blackShare() const {
    return frames() ? static_cast<double>(black_) / static_cast<double>(frames()) : 0;
}

double FrameStats::latencyMillis(double quantile) const {
    if (latencies_.empty()) {
        return 0;
    }
    std::vector<double> sorted = latencies_;
    std::sort(sorted.begin(), sorted.end());
    const double position = std::clamp(quantile, 0.0, 1.0) * static_cast<double>(sorted.size() - 1);
    const auto index = static_cast<std::size_t>(std::ceil(position));
    return sorted[std::min(index, sorted.size() - 1)];
}

double FrameStats::maxLatencyMillis() const {
    return latencies_.empty() ? 0 : *std::max_element(latencies_.begin(), latencies_.end());
}

std::string FrameStats::summary() const {
    char line[320];
    std::snprintf(line, sizeof line,
                  "frames=%zu fps=%.2f black=%.1f%% mean_bgr=%.1f,%.1f,%.1f latency_ms "
                  "median=%.3f p99=%.3f max=%.3f",
                  frames(), frameRate(), blackShare() * 100.0, meanB(), meanG(), meanR(),
                  latencyMillis(0.5), latencyMillis(0.99), maxLatencyMillis());
    return line;
}

bool writePng(const std::string& path, const std::uint8_t* pixels, std::uint32_t width,
              std::uint32_t height, std::uint32_t stride, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) {
        return fail("cannot open " + path);
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return fail("libpng could not start");
    }
    // libpng reports errors by longjmp; nothing with a destructor is created after this point.
    if (setjmp(png_jmpbuf(png)) != 0) {  // NOLINT(cert-err52-cpp)
        png_destroy_write_struct(&png, &info);
        return fail("libpng failed writing " + path);
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);                          // rows are B, G, R ...
    png_set_filler(png, 0, PNG_FILLER_AFTER);  // ... with a fourth byte to drop
    for (std::uint32_t y = 0; y < height; ++y) {
        png_write_row(png, const_cast<png_bytep>(pixels + static_cast<std::size_t>(y) * stride));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace kestrel::view
