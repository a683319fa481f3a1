// A stand-in for the application's frame path, for the end-to-end test: the bridge activates the
// camera daemon through the Linux extension service, then the sink feeds it one uniform frame
// every 66 ms until the process is killed. Log lines go to stderr.
//
// usage: kestrel-feeding-app DAEMON

#include <cstdio>
#include <memory>

#include "app/link/ExtensionBridge.h"
#include "app/link/LinuxExtensionService.h"
#include "app/state/SettingsStore.h"
#include "platform/runtime/PollExecutor.h"

int main(int argc, char** argv) {
    using namespace kestrel;
    using namespace std::chrono_literals;
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrel-feeding-app DAEMON\n");
        return 2;
    }
    Log::setSink(std::make_shared<StderrLogSink>());
    PollExecutor main;
    AppState state(nullptr, std::make_shared<MemorySettingsStore>());
    LinkClientThread link;
    auto options = LinuxExtensionService::Options::forThisProcess();
    options.daemonPath = argv[1];
    options.daemonArguments = {"--no-pipewire", "--no-v4l2"};
    options.systemd = LinuxExtensionService::Systemd::avoid;
    options.journal = false;
    auto service = LinuxExtensionService::create(main, options);
    ExtensionBridge bridge(state, link.port(), main, link.executor(), systemHostClock(), service);
    bridge.activate();

    auto frame = PixelBuffer::create(1280, 720, PixelStorage::sharedMemory);
    frame->fill(10, 20, 200, 255);
    Handle feed = main.startTimer(66ms, [&] {
        if (!state.extensionInstalled.get()) {
            return;
        }
        if (!bridge.sink().connected()) {
            bridge.sink().connect();
        }
        bridge.sink().enqueue(frame);
    });
    main.run();
    return 0;
}
