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
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/runtime/UniqueFd.h"
#include "tests/extension/ProcessSupport.h"

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

// Why a test that needs PipeWire, WirePlumber, GStreamer and a session bus cannot run here; empty
// when it can.
inline std::string pipeWireSkipReason() {
    for (const char* tool : {"pipewire", "wireplumber", "gst-launch-1.0"}) {
        if (ChildProcess::which(tool).empty()) {
            return std::string(tool) + " is not installed (kestrel.sh installs it)";
        }
    }
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
        return "no session bus: run this test under dbus-run-session (ctest does)";
    }
    return {};
}

// Starts PipeWire in `runtime` and, once its socket is there (at most ten seconds), WirePlumber;
// both log to `logFolder`/<name>.log. False when PipeWire did not come up.
inline bool startPipeWire(const std::filesystem::path& runtime, const std::vector<std::string>& env,
                          const std::filesystem::path& logFolder, ChildProcess& pipewire,
                          ChildProcess& wireplumber) {
    const std::string pipewireLog = (logFolder / "pipewire.log").string();
    const std::string wireplumberLog = (logFolder / "wireplumber.log").string();
    pipewire = ChildProcess({ChildProcess::which("pipewire")}, env,
                            Redirect{pipewireLog, pipewireLog, -1, false});
    if (!waitFor([&] { return std::filesystem::exists(runtime / "pipewire-0"); },
                 std::chrono::seconds(10))) {
        return false;
    }
    wireplumber = ChildProcess({ChildProcess::which("wireplumber")}, env,
                               Redirect{wireplumberLog, wireplumberLog, -1, false});
    return true;
}

// GStreamer's pipewiresrc reading the daemon's node into a pipe, and the reader of that pipe.
// `pipeBytes` enlarges the pipe so that frames wait there while the test does something else.
class GstCapture {
  public:
    GstCapture(const std::vector<std::string>& env, const std::string& log, int width, int height,
               int pipeBytes = 0) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        readEnd_ = UniqueFd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        if (pipeBytes > 0) {
            ::fcntl(readEnd_.get(), F_SETPIPE_SZ, pipeBytes);
        }
        gst = ChildProcess(pipewiresrcCommand(ChildProcess::which("gst-launch-1.0"), width, height),
                           env, Redirect{{}, log, writeEnd.get(), false});
        reader.emplace(readEnd_.get(), width, height);
    }
    bool started() const { return reader.has_value(); }

    ChildProcess gst;
    std::optional<FrameReader> reader;

  private:
    UniqueFd readEnd_;
};

}  // namespace kestrel::testing
