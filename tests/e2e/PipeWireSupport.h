#pragma once

// Helpers for tests that read the "Kestrel" camera through a private PipeWire with GStreamer's
// pipewiresrc: frames reduced to their mean colour and sharpness, read without blocking, and the
// private environment the programs share.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrel::testing {

// A frame as GStreamer hands it out (BGRx), reduced to its mean colour and its sharpness: the
// mean squared difference of horizontally neighbouring luma values, which a blur lowers sharply.
struct GstFrame {
    double b = 0, g = 0, r = 0;
    double sharpness = 0;
    bool black() const { return b < 12 && g < 12 && r < 12; }
    bool near(double wb, double wg, double wr, double tolerance = 16) const {
        return std::abs(b - wb) < tolerance && std::abs(g - wg) < tolerance &&
               std::abs(r - wr) < tolerance;
    }
};

// Reads whole BGRx frames of `width` x `height` from a descriptor without blocking.
class FrameReader {
  public:
    FrameReader(int fd, int width, int height)
        : fd_(fd),
          width_(width),
          height_(height),
          frameBytes_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    // Waits up to `wait` for data, then reads what is there into `frames`.
    void poll(std::chrono::milliseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
            return;
        }
        std::array<std::uint8_t, 65536> chunk{};
        for (;;) {
            const ssize_t got = ::read(fd_, chunk.data(), chunk.size());
            if (got <= 0) {
                break;
            }
            partial_.insert(partial_.end(), chunk.begin(), chunk.begin() + got);
        }
        std::size_t offset = 0;
        while (partial_.size() - offset >= frameBytes_) {
            frames.push_back(measure(partial_.data() + offset));
            offset += frameBytes_;
        }
        partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    std::vector<GstFrame> frames;

  private:
    GstFrame measure(const std::uint8_t* p) const {
        GstFrame f;
        double edges = 0;
        for (int y = 0; y < height_; ++y) {
            double previous = 0;
            for (int x = 0; x < width_; ++x) {
                const std::uint8_t* px = p + (static_cast<std::size_t>(y) * width_ + x) * 4;
                f.b += px[0];
                f.g += px[1];
                f.r += px[2];
                const double luma = (px[0] + 2.0 * px[1] + px[2]) / 4.0;
                if (x > 0) {
                    edges += (luma - previous) * (luma - previous);
                }
                previous = luma;
            }
        }
        const double n = static_cast<double>(width_) * height_;
        f.b /= n;
        f.g /= n;
        f.r /= n;
        f.sharpness = edges / n;
        return f;
    }

    int fd_;
    int width_;
    int height_;
    std::size_t frameBytes_;
    std::vector<std::uint8_t> partial_;
};

// The last 3000 characters of a log file.
inline std::string tail(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

// What PipeWire, WirePlumber, the daemon and GStreamer share: everything under `runtime`.
inline std::vector<std::string> pipeWireEnvironment(const std::filesystem::path& runtime) {
    const std::string rt = runtime.string();
    return {
        "XDG_RUNTIME_DIR=" + rt,
        "XDG_STATE_HOME=" + rt + "/state",
        "XDG_CONFIG_HOME=" + rt + "/config",
        "PIPEWIRE_RUNTIME_DIR=" + rt,
        "KESTREL_LOG=stderr",
        "GST_REGISTRY=" + rt + "/gst-registry.bin",
    };
}

// gst-launch arguments that read the daemon's node as BGRx of `width` x `height` to stdout.
inline std::vector<std::string> pipewiresrcCommand(const std::string& gstLaunch, int width,
                                                   int height) {
    const std::string caps = "video/x-raw,format=BGRx,width=" + std::to_string(width) +
                             ",height=" + std::to_string(height);
    return {gstLaunch, "-q",           "pipewiresrc", "target-object=kestrel-camera",
            "!",       "videoconvert", "!",           "videoscale",
            "!",       caps,           "!",           "fdsink",
            "fd=1"};
}

}  // namespace kestrel::testing
