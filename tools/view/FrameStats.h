#pragma once

// What kestrel-view reports about the frames it reads: frame rate, the share of all-black frames,
// the mean colour, and the latency from each frame's host time to its arrival.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::view {

struct FrameSample {
    bool black = false;
    double meanB = 0, meanG = 0, meanR = 0;
};

// Samples a BGRA image on a sparse grid (every 8th row, every 8th pixel, and the last row and
// column): black when every sampled byte is 0.
FrameSample sampleFrame(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t stride);

class FrameStats {
  public:
    void add(const FrameSample& sample, std::uint64_t hostTimeNanos, std::uint64_t arrivalNanos);

    std::size_t frames() const { return latencies_.size(); }
    // Frames per second between the first and the last arrival.
    double frameRate() const;
    double blackShare() const;
    double meanB() const { return frames() ? sumB_ / frames() : 0; }
    double meanG() const { return frames() ? sumG_ / frames() : 0; }
    double meanR() const { return frames() ? sumR_ / frames() : 0; }
    // Latency percentile in milliseconds (0.5 for the median, 0.99 for p99).
    double latencyMillis(double quantile) const;
    double maxLatencyMillis() const;

    std::string summary() const;

  private:
    std::vector<double> latencies_;  // ms
    std::uint64_t firstArrival_ = 0;
    std::uint64_t lastArrival_ = 0;
    std::size_t black_ = 0;
    double sumB_ = 0, sumG_ = 0, sumR_ = 0;
};

// Writes a BGRA image as an 8-bit RGB PNG (alpha dropped). False when the file cannot be written.
bool writePng(const std::string& path, const std::uint8_t* pixels, std::uint32_t width,
              std::uint32_t height, std::uint32_t stride, std::string* error = nullptr);

}  // namespace kestrel::view
