// kestrel-view: reads the virtual camera's source stream through the camera link. Prints frame
// rate, the share of black frames, the mean colour and the latency from each frame's host time
// to its arrival; saves the last frame as PNG.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/link/LinkClient.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/PollExecutor.h"
#include "tools/view/FrameStats.h"

namespace {

kestrel::PollExecutor* gLoop = nullptr;

void onSignal(int) {
    if (gLoop != nullptr) {
        gLoop->stop();
    }
}

void usage() {
    std::printf(
        "usage: kestrel-view [--frames N] [--seconds S] [--png PATH] [--stats]\n"
        "  Reads the camera \"Kestrel\" through the camera link.\n"
        "  --frames N   stop after N frames (default: until --seconds or Ctrl+C)\n"
        "  --seconds S  stop after S seconds (default 10 when --frames is not given)\n"
        "  --png PATH   save the last frame as PNG\n"
        "  --stats      print frame rate, black share, mean colour and latency\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    long frames = 0;
    double seconds = 0;
    std::string pngPath;
    bool stats = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            frames = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--png" && i + 1 < argc) {
            pngPath = argv[++i];
        } else if (arg == "--stats") {
            stats = true;
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    if (frames <= 0 && seconds <= 0) {
        seconds = 10;
    }
    Log::setSink(defaultLogSink());

    PollExecutor loop;
    gLoop = &loop;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    link::LinkClient client(loop);
    std::vector<std::uint32_t> devices;
    link::ObjectId device = 0;
    link::ObjectId source = 0;
    client.getProperty(link::kSystemObject, link::property::devices, devices);
    for (std::uint32_t d : devices) {
        std::string name;
        std::vector<std::uint32_t> streams;
        if (client.getProperty(d, link::property::name, name) != link::status::ok ||
            name != "Kestrel" ||
            client.getProperty(d, link::property::streams, streams) != link::status::ok) {
            continue;
        }
        for (std::uint32_t s : streams) {
            std::uint32_t direction = 0;
            if (client.getProperty(s, link::property::direction, direction) == link::status::ok &&
                direction == 1) {
                device = d;
                source = s;
            }
        }
    }
    if (source == 0) {
        std::fprintf(stderr,
                     "kestrel-view: no camera \"Kestrel\" found (is kestrel-camera running?)\n");
        return 1;
    }

    view::FrameStats statistics;
    std::vector<std::uint8_t> last;
    std::uint32_t lastWidth = 0;
    std::uint32_t lastHeight = 0;
    long received = 0;
    std::unique_ptr<link::SourceReader> reader;
    const link::Status opened = client.openSourceReader(
        device, source,
        [&](const link::SourceFrame& f) {
            if (frames > 0 && received >= frames) {
                return;  // frames that were already queued when the count was reached
            }
            const std::uint64_t arrival = systemHostClock().nowNanos();
            ++received;
            if (stats) {
                statistics.add(view::sampleFrame(f.pixels, f.width, f.height, f.stride),
                               f.hostTimeNanos, arrival);
            }
            if (!pngPath.empty()) {
                last.resize(static_cast<std::size_t>(f.width) * f.height * 4);
                for (std::uint32_t y = 0; y < f.height; ++y) {
                    std::copy_n(f.pixels + static_cast<std::size_t>(y) * f.stride, f.width * 4ULL,
                                last.data() + static_cast<std::size_t>(y) * f.width * 4);
                }
                lastWidth = f.width;
                lastHeight = f.height;
            }
            if (frames > 0 && received >= frames) {
                loop.stop();
            }
        },
        reader);
    if (opened != link::status::ok) {
        std::fprintf(stderr, "kestrel-view: cannot open the source stream (status %d)\n", opened);
        return 1;
    }
    if (seconds > 0) {
        loop.postAfter(std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)),
                       [&loop] { loop.stop(); });
    }
    loop.run();
    reader.reset();
    gLoop = nullptr;

    if (stats) {
        std::printf("%s\n", statistics.summary().c_str());
    } else {
        std::printf("frames=%ld\n", received);
    }
    if (!pngPath.empty()) {
        if (lastWidth == 0) {
            std::fprintf(stderr, "kestrel-view: no frame to save\n");
            return 1;
        }
        std::string error;
        if (!view::writePng(pngPath, last.data(), lastWidth, lastHeight, lastWidth * 4, &error)) {
            std::fprintf(stderr, "kestrel-view: %s\n", error.c_str());
            return 1;
        }
    }
    return frames > 0 && received < frames ? 1 : 0;
}
