#pragma once

// The private PipeWire the end-to-end tests share: PipeWire, WirePlumber and the camera daemon in
// a runtime folder of their own (on the session bus of the dbus-run-session the test runs under),
// and GStreamer's pipewiresrc reading the "Kestrel" node, its frames reduced to their mean colour
// and sharpness by a thread of their own, so the pipe never fills while a test runs a command.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/link/Transport.h"
#include "platform/runtime/UniqueFd.h"
#include "tests/support/ChildProcess.h"

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

// One BGRx frame of `width` x `height` reduced to its mean colour and sharpness.
inline GstFrame measure(const std::uint8_t* p, int width, int height) {
    GstFrame f;
    double edges = 0;
    for (int y = 0; y < height; ++y) {
        double previous = 0;
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* px = p + (static_cast<std::size_t>(y) * width + x) * 4;
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
    const double n = static_cast<double>(width) * height;
    f.b /= n;
    f.g /= n;
    f.r /= n;
    f.sharpness = edges / n;
    return f;
}

// The last 3000 characters of a log file.
inline std::string tail(const std::filesystem::path& file) {
    const std::string text = readFile(file);
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

// GStreamer's pipewiresrc reading the daemon's node into a pipe, drained by a thread of its own.
class GstCapture {
  public:
    GstCapture(const std::vector<std::string>& env, const std::string& log, int width, int height) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        readEnd_ = UniqueFd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        gst = ChildProcess(pipewiresrcCommand(ChildProcess::which("gst-launch-1.0"), width, height),
                           env, Redirect{{}, log, writeEnd.get(), false});
        // Reads until gst-launch, the only holder of the write end, is gone.
        thread_ = std::thread([this, width, height] {
            std::vector<std::uint8_t> frame(static_cast<std::size_t>(width) * height * 4);
            std::size_t filled = 0;
            for (;;) {
                const ssize_t got =
                    ::read(readEnd_.get(), frame.data() + filled, frame.size() - filled);
                if (got <= 0) {
                    return;
                }
                filled += static_cast<std::size_t>(got);
                if (filled == frame.size()) {
                    const GstFrame measured = measure(frame.data(), width, height);
                    const std::lock_guard lock(mutex_);
                    frames_.push_back(measured);
                    filled = 0;
                }
            }
        });
    }
    ~GstCapture() {
        gst.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    GstCapture(const GstCapture&) = delete;
    GstCapture& operator=(const GstCapture&) = delete;

    bool started() const { return thread_.joinable(); }
    std::vector<GstFrame> frames() const {
        const std::lock_guard lock(mutex_);
        return frames_;
    }
    std::size_t count() const {
        const std::lock_guard lock(mutex_);
        return frames_.size();
    }
    // Waits up to `timeout` until `done` holds for the frames read so far.
    bool waitUntil(const std::function<bool(const std::vector<GstFrame>&)>& done,
                   std::chrono::milliseconds timeout) const {
        return waitFor([&] { return done(frames()); }, timeout,
                       [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    }

    ChildProcess gst;

  private:
    UniqueFd readEnd_;
    mutable std::mutex mutex_;
    std::vector<GstFrame> frames_;
    std::thread thread_;
};

// A private PipeWire session; tests start its pieces in the order they need. Skipped where
// PipeWire, WirePlumber, GStreamer or a session bus is missing.
class PrivatePipeWire : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"pipewire", "wireplumber", "gst-launch-1.0"}) {
            if (ChildProcess::which(tool).empty()) {
                GTEST_SKIP() << tool << " is not installed (kestrel.sh installs it)";
            }
        }
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
            GTEST_SKIP() << "no session bus: run this test under dbus-run-session (ctest does)";
        }
        ASSERT_FALSE(runtime.path().empty());
        env = pipeWireEnvironment(runtime.path());
    }

    std::string log(const char* name) const { return (runtime.path() / name).string() + ".log"; }
    std::string diagnostics() const {
        std::string text;
        for (const char* name : {"daemon", "kestrel", "gst", "wireplumber"}) {
            text += std::string("\n") + name + ":\n" + tail(log(name));
        }
        return text;
    }
    std::filesystem::path linkFolder() const { return runtime.path() / "dev.corvid.kestrel"; }

    // PipeWire, and WirePlumber once PipeWire's socket is there.
    ::testing::AssertionResult startPipeWire() {
        pipewire = ChildProcess({ChildProcess::which("pipewire")}, env,
                                Redirect{log("pipewire"), log("pipewire"), -1, false});
        if (!waitFor([&] { return std::filesystem::exists(runtime.path() / "pipewire-0"); },
                     std::chrono::seconds(10))) {
            return ::testing::AssertionFailure() << "PipeWire did not start:\n"
                                                 << tail(log("pipewire"));
        }
        wireplumber = ChildProcess({ChildProcess::which("wireplumber")}, env,
                                   Redirect{log("wireplumber"), log("wireplumber"), -1, false});
        return ::testing::AssertionSuccess();
    }
    // The camera daemon, once its camera-link socket is there.
    ::testing::AssertionResult startDaemon(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {KESTREL_CAMERA_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        daemon = ChildProcess(argv, env, Redirect{log("daemon"), log("daemon"), -1, false});
        if (!waitFor(
                [&] { return std::filesystem::exists(linkFolder() / link::kCameraProviderSocket); },
                std::chrono::seconds(10))) {
            return ::testing::AssertionFailure() << "no camera-link socket" << diagnostics();
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult nodePublished() {
        if (!waitFor(
                [&] {
                    return tail(log("daemon")).find("PipeWire node \"Kestrel\" published") !=
                           std::string::npos;
                },
                std::chrono::seconds(10))) {
            return ::testing::AssertionFailure() << "no PipeWire node" << diagnostics();
        }
        return ::testing::AssertionSuccess();
    }
    // Stops everything it started, consumers first; the daemon must exit cleanly.
    void stopAll() {
        capture.reset();
        const int status = daemon.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << diagnostics();
        wireplumber.stop();
        pipewire.stop();
    }

    TempFolder runtime;
    std::vector<std::string> env;
    ChildProcess pipewire;
    ChildProcess wireplumber;
    ChildProcess daemon;
    std::optional<GstCapture> capture;
};

}  // namespace kestrel::testing
