// bench/relay: latency from sink enqueue to arrival at a camera-link reader and at a PipeWire
// consumer (GStreamer's pipewiresrc), median and 99th percentile, and the daemon's CPU share
// while relaying and while sending black.
//
// Starts its own PipeWire and WirePlumber in a private runtime folder (run it under
// dbus-run-session), the daemon, a pipewiresrc reader and a camera-link reader, then:
//   black  - readers connected, nobody feeds the sink, for --black-seconds (default 10);
//   relay  - a sink client enqueues --width x --height frames at --fps for --seconds (default 30).
// Then `ffmpeg` alone does the daemon's conversion for as long, and the daemon's CPU is printed as
// a ratio to it. Goals: median latency under 15 ms; daemon CPU while relaying 1280x720 frames to
// one PipeWire consumer under 5% of one core and at most 0.5x the ffmpeg conversion.
//
// Frames are enqueued at --fps with a random phase (the daemon takes each as it is queued; a
// daemon that polled every 11.1 ms would otherwise always see one phase).
// Each relayed frame is a uniform grey whose level encodes the frame number modulo 12, so that
// the PipeWire consumer's copy (converted to YUY2 and back, scaled to 64x36) can be matched with
// its enqueue time.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "platform/link/LinkClient.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/CameraLink.h"
#include "tests/support/ChildProcess.h"
#include "tools/view/FrameStats.h"

namespace {

using namespace std::chrono_literals;
using kestrel::testing::ChildProcess;
using kestrel::testing::Redirect;
using kestrel::testing::TempFolder;
using kestrel::testing::waitFor;

constexpr int kCodes = 12;
constexpr int kLevelStep = 18;
constexpr int kLevelBase = 16;
constexpr std::size_t kGstWidth = 64;
constexpr std::size_t kGstHeight = 36;
constexpr std::size_t kGstFrameBytes = kGstWidth * kGstHeight * 4;

double cpuSeconds(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return 0;
    }
    char buffer[1024] = {};
    const std::size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    buffer[got] = '\0';
    // Fields after the command name (which may hold spaces) start after the last ')'.
    const char* rest = std::strrchr(buffer, ')');
    if (rest == nullptr) {
        return 0;
    }
    unsigned long utime = 0;
    unsigned long stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Reads 64x36 BGRx frames from GStreamer's stdout.
class GstReader {
  public:
    explicit GstReader(int fd) : fd_(fd) { ::fcntl(fd_, F_SETFL, O_NONBLOCK); }
    int fd() const { return fd_; }
    // Calls `onFrame(meanLevel)` for each whole frame that arrived.
    template <class F>
    void drain(F onFrame) {
        std::array<std::uint8_t, 65536> chunk{};
        for (;;) {
            const ssize_t got = ::read(fd_, chunk.data(), chunk.size());
            if (got <= 0) {
                break;
            }
            partial_.insert(partial_.end(), chunk.begin(), chunk.begin() + got);
        }
        while (partial_.size() >= kGstFrameBytes) {
            double sum = 0;
            for (std::size_t i = 0; i < kGstFrameBytes; i += 4) {
                sum += partial_[i + 1];  // green
            }
            partial_.erase(partial_.begin(), partial_.begin() + kGstFrameBytes);
            onFrame(sum / static_cast<double>(kGstWidth * kGstHeight));
        }
    }

  private:
    int fd_;
    std::vector<std::uint8_t> partial_;
};

struct Options {
    double seconds = 30;
    double blackSeconds = 10;
    double fps = 15;
    std::uint32_t width = 1280;
    std::uint32_t height = 720;
    bool pipewire = true;
    bool linkReader = true;
    bool planar = false;  // the sink gets 4:2:0 planes, as the application sends them
};

void report(const char* what, const kestrel::view::FrameStats& stats) {
    std::printf("  %-28s frames=%5zu median=%7.2f ms  p99=%7.2f ms  max=%7.2f ms\n", what,
                stats.frames(), stats.latencyMillis(0.5), stats.latencyMillis(0.99),
                stats.maxLatencyMillis());
}

}  // namespace

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    std::string five;
    in >> one >> five;
    return one + " " + five;
}

// The CPU share of `ffmpeg` doing what the daemon does for one PipeWire consumer alone: BGRA
// frames (4:2:0 with --planar) of the relayed size at --fps, in real time, scaled bilinear to
// 1920x1080 YUYV. Zero without ffmpeg.
double ffmpegConversionCpu(const Options& options, const std::string& folder) {
    const std::string ffmpeg = ChildProcess::which("ffmpeg");
    if (ffmpeg.empty()) {
        return 0;
    }
    const std::string clip = folder + "/clip.raw";
    {
        std::ofstream out(clip, std::ios::binary);
        const std::size_t pixels = static_cast<std::size_t>(options.width) * options.height;
        std::vector<char> frame(options.planar ? pixels * 3 / 2 : pixels * 4);
        for (int i = 0; i < kCodes; ++i) {
            std::fill(frame.begin(), frame.end(), static_cast<char>(kLevelBase + i * kLevelStep));
            if (options.planar) {
                std::fill(frame.begin() + static_cast<std::ptrdiff_t>(pixels), frame.end(), 128);
            }
            out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
        }
    }
    const std::string size = std::to_string(options.width) + "x" + std::to_string(options.height);
    ChildProcess process({ffmpeg,
                          "-nostdin",
                          "-loglevel",
                          "error",
                          "-re",
                          "-stream_loop",
                          "-1",
                          "-f",
                          "rawvideo",
                          "-pix_fmt",
                          options.planar ? "yuv420p" : "bgra",
                          "-s",
                          size,
                          "-r",
                          std::to_string(static_cast<int>(options.fps)),
                          "-i",
                          clip,
                          "-vf",
                          "scale=1920:1080:flags=bilinear,format=yuyv422",
                          "-f",
                          "null",
                          "-"},
                         {}, true);
    std::this_thread::sleep_for(1s);  // past its start
    const double cpu0 = cpuSeconds(process.pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    const double cpu = cpuSeconds(process.pid()) - cpu0;
    return cpu / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int main(int argc, char** argv) {
    using namespace kestrel;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&] { return i + 1 < argc ? std::strtod(argv[++i], nullptr) : 0.0; };
        if (arg == "--seconds") {
            options.seconds = next();
        } else if (arg == "--black-seconds") {
            options.blackSeconds = next();
        } else if (arg == "--fps") {
            options.fps = next();
        } else if (arg == "--width") {
            options.width = static_cast<std::uint32_t>(next());
        } else if (arg == "--height") {
            options.height = static_cast<std::uint32_t>(next());
        } else if (arg == "--no-pipewire") {
            options.pipewire = false;
        } else if (arg == "--no-link-reader") {
            options.linkReader = false;
        } else if (arg == "--planar") {
            options.planar = true;
        } else {
            std::printf(
                "usage: relay_bench [--seconds 30] [--black-seconds 10] [--fps 15] [--width 1280]\n"
                "                   [--height 720] [--no-pipewire] [--no-link-reader] [--planar]\n"
                "Run under dbus-run-session for the PipeWire part.\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    if (options.pipewire &&
        (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr ||
         ChildProcess::which("pipewire").empty() || ChildProcess::which("wireplumber").empty() ||
         ChildProcess::which("gst-launch-1.0").empty())) {
        std::fprintf(stderr,
                     "relay_bench: PipeWire part needs pipewire, wireplumber, gst-launch-1.0 and "
                     "a session bus (dbus-run-session); running with --no-pipewire\n");
        options.pipewire = false;
    }

    TempFolder runtime;
    const std::string rt = runtime.path().string();
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + rt,
                                          "XDG_STATE_HOME=" + rt + "/state",
                                          "XDG_CONFIG_HOME=" + rt + "/config", "KESTREL_LOG=stderr",
                                          "GST_REGISTRY=" + rt + "/gst-registry.bin"};
    const auto log = [&rt](const char* name) { return rt + "/" + name + ".log"; };
    ChildProcess pipewire;
    ChildProcess wireplumber;
    if (options.pipewire) {
        pipewire = ChildProcess({ChildProcess::which("pipewire")}, env,
                                Redirect{log("pipewire"), log("pipewire"), -1, false});
        if (!waitFor([&] { return std::filesystem::exists(runtime.path() / "pipewire-0"); }, 10s)) {
            std::fprintf(stderr, "relay_bench: PipeWire did not start\n");
            return 1;
        }
        wireplumber = ChildProcess({ChildProcess::which("wireplumber")}, env,
                                   Redirect{log("wireplumber"), log("wireplumber"), -1, false});
    }
    std::vector<std::string> daemonArgs = {KESTREL_CAMERA_PATH, "--no-v4l2"};
    if (!options.pipewire) {
        daemonArgs.emplace_back("--no-pipewire");
    }
    ChildProcess daemon(daemonArgs, env, Redirect{log("daemon"), log("daemon"), -1, false});
    const auto folder = runtime.path() / "dev.corvid.kestrel";
    if (!waitFor([&] { return std::filesystem::exists(folder / link::kCameraProviderSocket); },
                 10s)) {
        std::fprintf(stderr, "relay_bench: the daemon did not start\n");
        return 1;
    }

    UniqueFd gstRead;
    ChildProcess gst;
    if (options.pipewire) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) {
            return 1;
        }
        gstRead = UniqueFd(pipe[0]);
        UniqueFd gstWrite(pipe[1]);
        const std::string caps = "video/x-raw,format=BGRx,width=" + std::to_string(kGstWidth) +
                                 ",height=" + std::to_string(kGstHeight);
        gst = ChildProcess({ChildProcess::which("gst-launch-1.0"), "-q", "pipewiresrc",
                            "target-object=kestrel-camera", "!", "videoconvert", "!", "videoscale",
                            "!", caps, "!", "fdsink", "fd=1", "sync=false"},
                           env, Redirect{{}, log("gst"), gstWrite.get(), false});
    }
    std::optional<GstReader> gstReader;
    if (gstRead) {
        gstReader.emplace(gstRead.get());
    }

    ManualExecutor exec;
    link::LinkClient client(exec);
    client.setFolderForTesting(folder);
    const auto camera = testing::findKestrel(client);
    if (!camera) {
        std::fprintf(stderr, "relay_bench: no camera found\n");
        return 1;
    }
    view::FrameStats linkStats;
    std::size_t linkFrames = 0;
    bool relaying = false;
    std::unique_ptr<link::SourceReader> reader;
    if (options.linkReader) {
        client.openSourceReader(
            camera->device, camera->source,
            [&](const link::SourceFrame& f) {
                ++linkFrames;
                if (relaying && f.width == options.width) {
                    linkStats.add(view::FrameSample{}, f.hostTimeNanos,
                                  systemHostClock().nowNanos());
                }
            },
            reader);
    }

    auto pump = [&](std::chrono::milliseconds wait) {
        pollfd p{gstRead ? gstRead.get() : -1, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(wait.count()));
        exec.pollFds();
        exec.runUntilIdle();
    };

    // Black: readers only.
    std::size_t gstBlackFrames = 0;
    if (gstReader) {
        waitFor([&] { return gstBlackFrames > 0; }, 15s,
                [&] {
                    pump(5ms);
                    gstReader->drain([&](double) { ++gstBlackFrames; });
                });
    }
    const double blackCpu0 = cpuSeconds(daemon.pid());
    const auto blackStart = std::chrono::steady_clock::now();
    linkFrames = 0;
    while (std::chrono::steady_clock::now() - blackStart <
           std::chrono::duration<double>(options.blackSeconds)) {
        pump(5ms);
        if (gstReader) {
            gstReader->drain([&](double) { ++gstBlackFrames; });
        }
    }
    const double blackWall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - blackStart).count();
    const double blackCpu = (cpuSeconds(daemon.pid()) - blackCpu0) / blackWall;
    const std::size_t blackLinkFrames = linkFrames;

    // Relay: a sink client at --fps.
    link::LinkClient sinkClient(exec);
    sinkClient.setFolderForTesting(folder);
    const auto sinkCamera = testing::findKestrel(sinkClient);
    std::shared_ptr<link::SinkQueue> queue;
    if (!sinkCamera || sinkClient.copyBufferQueue(sinkCamera->sink, {}, queue) != 0 ||
        sinkClient.startStream(sinkCamera->device, sinkCamera->sink) != 0) {
        std::fprintf(stderr, "relay_bench: cannot start the sink\n");
        return 1;
    }
    if (options.planar) {
        queue->setPixelFormat(link::kI420);
    }
    std::vector<PixelBufferRef> frames;
    for (int code = 0; code < kCodes; ++code) {
        auto frame =
            PixelBuffer::create(static_cast<int>(options.width), static_cast<int>(options.height));
        const auto level = static_cast<std::uint8_t>(kLevelBase + code * kLevelStep);
        frame->fill(level, level, level, 255);
        frames.push_back(frame);
    }
    std::map<int, std::uint64_t> sentAt;  // code -> host time of its latest enqueue
    view::FrameStats pipewireStats;
    std::uint64_t enqueued = 0;
    std::uint64_t refused = 0;
    relaying = true;
    const double relayCpu0 = cpuSeconds(daemon.pid());
    const auto relayStart = std::chrono::steady_clock::now();
    const auto interval = std::chrono::duration<double>(1.0 / options.fps);
    auto nextFrame = relayStart;
    std::uint64_t frameIndex = 0;
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> jitter(0, 11'111);
    while (std::chrono::steady_clock::now() - relayStart <
           std::chrono::duration<double>(options.seconds)) {
        if (std::chrono::steady_clock::now() >= nextFrame) {
            const int code = static_cast<int>(enqueued % kCodes);
            const std::uint64_t now = systemHostClock().nowNanos();
            if (queue->enqueue(*frames[static_cast<std::size_t>(code)], MediaTime::fromNanos(now),
                               MediaTime{1, 30}) == 0) {
                sentAt[code] = now;
            } else {
                ++refused;
            }
            ++enqueued;
            // A webcam's clock is not the daemon's: each frame lands at a random phase of its
            // timers, as it would in use (a fixed 66.67 ms step would hold one phase).
            frameIndex += 1;
            nextFrame = relayStart +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            interval * static_cast<double>(frameIndex)) +
                        std::chrono::microseconds(jitter(random));
        }
        pump(1ms);
        if (gstReader) {
            gstReader->drain([&](double level) {
                const long code = std::lround((level - kLevelBase) / kLevelStep);
                const auto found = sentAt.find(static_cast<int>(code));
                if (code >= 0 && code < kCodes && found != sentAt.end()) {
                    pipewireStats.add(view::FrameSample{}, found->second,
                                      systemHostClock().nowNanos());
                    sentAt.erase(found);  // the node repeats nothing, but be sure
                }
            });
        }
    }
    const double relayWall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - relayStart).count();
    const double relayCpu = (cpuSeconds(daemon.pid()) - relayCpu0) / relayWall;

    std::printf("relay_bench: %ux%u at %.0f fps for %.0f s (black phase %.0f s), PipeWire %s\n",
                options.width, options.height, options.fps, options.seconds, options.blackSeconds,
                options.pipewire ? "on" : "off");
    std::printf("  enqueued=%llu refused(queue full)=%llu\n",
                static_cast<unsigned long long>(enqueued),
                static_cast<unsigned long long>(refused));
    if (options.linkReader) {
        report("enqueue -> camera-link reader", linkStats);
    }
    if (options.pipewire) {
        report("enqueue -> pipewiresrc", pipewireStats);
    }
    std::printf(
        "  daemon CPU while sending black: %5.2f%% of one core (%zu link frames, %zu "
        "PipeWire frames)\n",
        blackCpu * 100.0, blackLinkFrames, gstBlackFrames);
    std::printf("  daemon CPU while relaying:      %5.2f%% of one core (load %s)\n",
                relayCpu * 100.0, loadAverage().c_str());
    reader.reset();
    if (const double ffmpeg = ffmpegConversionCpu(options, rt); ffmpeg > 0) {
        std::printf("  ffmpeg converting alone:        %5.2f%% of one core (load %s)\n",
                    ffmpeg * 100.0, loadAverage().c_str());
        std::printf("  daemon / ffmpeg:                %5.2fx\n", relayCpu / ffmpeg);
    }
    return 0;
}
