#pragma once

// Scripted stand-ins for the engine's collaborators. Each records what was asked of it, in one
// shared call log where the order matters.

#include <memory>
#include <string>
#include <vector>

#include "app/engine/CameraEngine.h"
#include "app/state/AppState.h"
#include "platform/runtime/ManualExecutor.h"

namespace kestrel::testing {

using CallLog = std::vector<std::string>;

inline PixelBufferRef solidFrame(int width, int height, std::uint8_t b, std::uint8_t g,
                                 std::uint8_t r) {
    auto frame = PixelBuffer::create(width, height);
    frame->fill(b, g, r);
    return frame;
}

inline std::array<std::uint8_t, 4> pixelAt(const PixelBuffer& buffer, int x, int y) {
    const std::uint8_t* p = buffer.row(y) + static_cast<std::ptrdiff_t>(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

// What every fake shares: the call log it writes to.
struct Logged {
    explicit Logged(std::shared_ptr<CallLog> log) : calls(std::move(log)) {}
    void log(std::string call) const { calls->push_back(std::move(call)); }
    std::shared_ptr<CallLog> calls;
};

struct FakeWebcam final : WebcamSource, Logged {
    using Logged::Logged;
    void setOnFrame(FrameHandler handler) override {
        log("webcam.setOnFrame");
        onFrame = std::move(handler);
    }
    MaybeError start() override {
        log("webcam.start");
        return startError;
    }
    void restart() override { log("webcam.restart"); }
    void deliver(const PixelBufferRef& frame, MediaTime time = {}) const {
        if (onFrame) {
            onFrame(frame, time);
        }
    }
    MaybeError startError;
    FrameHandler onFrame;
};

// Plays a "loop" of solid frames whose blue channel counts up, so the position can be read back.
// It keeps playing `width` x `height` until a test changes them, whatever size was asked for.
struct FakeLoop final : LoopSource, Logged {
    using Logged::Logged;
    void setUrl(const std::filesystem::path& url) override {
        log("loop.setUrl " + url.filename().string());
    }
    MaybeError openReader(const std::filesystem::path& url) override {
        log("loop.open " + url.filename().string());
        if (failOpens > 0) {
            --failOpens;
            return Error{"LoopPlayer", 2, "startReading failed"};
        }
        opened = true;
        return std::nullopt;
    }
    PixelBufferRef nextFrame() override {
        ++nextFrameCalls;
        if (!opened || late > 0) {
            late -= late > 0 ? 1 : 0;
            return nullptr;
        }
        return solidFrame(width, height, static_cast<std::uint8_t>(position++), 0, 200);
    }
    void setOutputSize(int w, int h) override { requestedSizes.emplace_back(w, h); }
    int failOpens = 0;
    bool opened = false;
    int late = 0;  // requests still to answer with "not decoded yet"
    std::vector<std::pair<int, int>> requestedSizes;
    int width = 1920;
    int height = 1080;
    int position = 0;
    int nextFrameCalls = 0;
};

struct FakeDetector final : FrameDetector, Logged {
    using Logged::Logged;
    void start() override { log("detector.start"); }
    void processFrame(const PixelBufferRef& frame) override { seen.push_back(frame); }
    std::vector<PixelBufferRef> seen;
};

struct FakeRecorder final : FrameRecorder, Logged {
    using Logged::Logged;
    bool isRecording() const override { return recording; }
    void append(const PixelBufferRef& /*frame*/, MediaTime time) override {
        log("recorder.append " + std::to_string(time.value));
    }
    bool recording = false;
};

struct FakeSink final : FrameSink, Logged {
    using Logged::Logged;
    bool connected() const override { return isConnected; }
    void connect() override {
        ++connectCalls;
        isConnected = connectSucceeds;
    }
    void enqueue(const PixelBufferRef& frame) override {
        log("sink.enqueue");
        frames.push_back(frame);
    }
    bool isConnected = false;
    bool connectSucceeds = true;
    int connectCalls = 0;
    std::vector<PixelBufferRef> frames;
};

struct FakeBridge final : CameraBridge, Logged {
    explicit FakeBridge(std::shared_ptr<CallLog> log) : Logged(log), fakeSink(log) {}
    void activate() override { log("bridge.activate"); }
    void reconnect() override { log("bridge.reconnect"); }
    void probeExtensionHealth() override { log("bridge.probe"); }
    FrameSink& sink() override { return fakeSink; }
    FakeSink fakeSink;
};

struct FakeWake final : WakeSource, Logged {
    using Logged::Logged;
    Handle observeWake(std::function<void()> onWake) override {
        log("wake.observe");
        return signal.connect(std::move(onWake));
    }
    void wake() { signal.emit(); }
    Signal<> signal;
};

// Moves a new fake writing to `calls` into `slot` and returns it, still reachable.
template <class Fake, class Slot>
Fake* install(Slot& slot, const std::shared_ptr<CallLog>& calls) {
    auto fake = std::make_unique<Fake>(calls);
    Fake* reachable = fake.get();
    slot = std::move(fake);
    return reachable;
}

// An engine over fakes, in virtual time, with the fakes still reachable.
struct EngineRig {
    EngineRig() {
        state.realisticTransitions = false;  // tests of the freeze turn it on themselves
        EngineParts parts;
        webcam = install<FakeWebcam>(parts.webcam, calls);
        loop = install<FakeLoop>(parts.loop, calls);
        detector = install<FakeDetector>(parts.detector, calls);
        bridge = install<FakeBridge>(parts.bridge, calls);
        wake = install<FakeWake>(parts.wake, calls);
        parts.recorder = recorder;
        engine =
            CameraEngine::create(state, std::move(parts), main, main.hostClock(), main.wallClock());
    }

    FakeSink& sink() { return bridge->fakeSink; }
    // One camera frame through the capture path and the main thread.
    PixelBufferRef frame(const PixelBufferRef& camera) {
        webcam->deliver(camera, MediaTime{static_cast<std::int64_t>(delivered++), 15});
        main.runUntilIdle();
        return sink().frames.empty() ? nullptr : sink().frames.back();
    }

    std::shared_ptr<CallLog> calls = std::make_shared<CallLog>();
    ManualExecutor main;
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    FakeWebcam* webcam = nullptr;
    FakeLoop* loop = nullptr;
    FakeDetector* detector = nullptr;
    FakeBridge* bridge = nullptr;
    FakeWake* wake = nullptr;
    std::shared_ptr<FakeRecorder> recorder = std::make_shared<FakeRecorder>(calls);
    std::shared_ptr<CameraEngine> engine;
    int delivered = 0;
};

}  // namespace kestrel::testing
