// kestrel-camera: the camera daemon, the stand-in for the camera extension.
// Publishes the device "Kestrel" on the camera link, relays what a client puts into its sink
// stream to every reader of its source stream, and sends black frames while someone reads and
// nobody feeds it. Outputs: camera-link readers, a PipeWire node, a v4l2loopback device.

#include <opencv2/core/utility.hpp>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "extension/FrameOutputs.h"
#include "extension/LinkServer.h"
#include "extension/PipeWireOutput.h"
#include "extension/V4l2LoopbackOutput.h"
#include "extension/VirtualCameraDevice.h"
#include "platform/link/Transport.h"
#include "platform/runtime/Log.h"
#include "platform/runtime/PollExecutor.h"
#include "platform/runtime/WorkerThread.h"

namespace {

kestrel::PollExecutor* gMain = nullptr;

void onSignal(int /*signal*/) {
    if (gMain != nullptr) {
        gMain->stop();  // an atomic store and an eventfd write: safe in a signal handler
    }
}

void usage() {
    std::printf(
        "usage: kestrel-camera [--no-pipewire] [--no-v4l2]\n"
        "  Publishes the virtual camera \"Kestrel\" until SIGINT or SIGTERM.\n"
        "  --no-pipewire  do not publish the PipeWire node\n"
        "  --no-v4l2      do not feed a v4l2loopback device\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    using namespace kestrel::camera;
    bool pipewire = true;
    bool v4l2 = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-pipewire") {
            pipewire = false;
        } else if (arg == "--no-v4l2") {
            v4l2 = false;
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    Log::setSink(defaultLogSink());
    const Log& log = providerLog();
    // Frames are scaled on the consume queue, one at a time: OpenCV's own worker threads would
    // only add hand-offs on a two-core machine.
    cv::setNumThreads(1);

    PollExecutor main;
    gMain = &main;
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Threads and system-call seams first: everything below may use them until it is gone.
    WorkerThread consume{std::string(kConsumeQueueLabel)};
    SystemV4l2Device v4l2Calls;
    // The loopback device is written from a thread of its own: a write of 4 MB must never hold
    // up the relay.
    std::unique_ptr<WorkerThread> v4l2Writer;
    if (v4l2) {
        v4l2Writer = std::make_unique<WorkerThread>("dev.corvid.kestrel.v4l2");
    }
    std::string fatal;
    auto device = VirtualCameraDevice::create(consume, systemHostClock(), &fatal);
    if (!device) {
        std::fprintf(stderr, "kestrel-camera: %s\n", fatal.c_str());
        return 1;
    }
    // Every output is in the fan-out before the relay can send; PipeWire connects later.
    SourceFanout fanout;
    LinkServer server(main, consume, device);
    fanout.add(server.readerOutput());
    // One converter for the outputs, so a frame both take is converted once.
    auto converter = std::make_shared<OutputConverter>();
    std::shared_ptr<PipeWireOutput> pipewireOutput;
    if (pipewire) {
        pipewireOutput =
            std::make_shared<PipeWireOutput>(main, device->sourceStreamSource(), converter);
        fanout.add(pipewireOutput);
    }
    std::shared_ptr<V4l2LoopbackOutput> v4l2Output;
    if (v4l2) {
        v4l2Output = std::make_shared<V4l2LoopbackOutput>(v4l2Calls, *v4l2Writer, main,
                                                          device->sourceStreamSource(), converter);
        fanout.add(v4l2Output);
    }
    device->attachStreams(&server, &fanout);

    std::string why;
    auto folder = link::linkFolder(&why);
    if (!folder || !server.listen(*folder, &why)) {
        log.error("addDevice failed: %{public}@", why);
        if (why.rfind("another provider", 0) == 0) {
            return 1;  // a second daemon would publish a second camera: leave it to the first
        }
    }

    if (pipewireOutput) {
        pipewireOutput->start();
    }
    if (v4l2Output) {
        v4l2Writer->runSync([&] { v4l2Output->open(); });
    }

    main.run();
    log.info("kestrel-camera stopping");
    consume.runSync([&] { device->shutdown(); });
    if (v4l2Output) {
        v4l2Writer->runSync([&] { v4l2Output->close(); });
    }
    gMain = nullptr;
    return 0;
}
