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

class FakeWebcam final : public WebcamSource {
  public:
    explicit FakeWebcam(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    void setOnFrame(FrameHandler onFrame) override {
        calls_->push_back("webcam.setOnFrame");
        onFrame_ = std::move(onFrame);
    }
    MaybeError start() override {
        calls_->push_back("webcam.start");
        return startError;
    }
    void restart() override { calls_->push_back("webcam.restart"); }

    void deliver(const PixelBufferRef& frame, MediaTime time = {}) {
        if (onFrame_) {
            onFrame_(frame, time);
        }
    }
    MaybeError startError;

  private:
    std::shared_ptr<CallLog> calls_;
    FrameHandler onFrame_;
};

// Plays a "loop" of solid frames whose blue channel counts up, so the position can be read back.
class FakeLoop final : public LoopSource {
  public:
    explicit FakeLoop(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    void setUrl(const std::filesystem::path& url) override {
        calls_->push_back("loop.setUrl " + url.filename().string());
    }
    MaybeError openReader(const std::filesystem::path& url) override {
        calls_->push_back("loop.open " + url.filename().string());
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
    int failOpens = 0;
    bool opened = false;
    int late = 0;  // requests still to answer with "not decoded yet"
    // Sizes the engine asked for; the fake keeps playing `width` x `height` until a test changes
    // them.
    void setOutputSize(int w, int h) override { requestedSizes.emplace_back(w, h); }
    std::vector<std::pair<int, int>> requestedSizes;
    int width = 1920;
    int height = 1080;
    int position = 0;
    int nextFrameCalls = 0;

  private:
    std::shared_ptr<CallLog> calls_;
};

class FakeDetector final : public FrameDetector {
  public:
    explicit FakeDetector(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    void start() override { calls_->push_back("detector.start"); }
    void processFrame(const PixelBufferRef& frame) override { seen.push_back(frame); }
    std::vector<PixelBufferRef> seen;

  private:
    std::shared_ptr<CallLog> calls_;
};

class FakeRecorder final : public FrameRecorder {
  public:
    explicit FakeRecorder(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    bool isRecording() const override { return recording; }
    void append(const PixelBufferRef& frame, MediaTime time) override {
        calls_->push_back("recorder.append " + std::to_string(time.value));
        appended.push_back(frame);
    }
    bool recording = false;
    std::vector<PixelBufferRef> appended;

  private:
    std::shared_ptr<CallLog> calls_;
};

class FakeSink final : public FrameSink {
  public:
    explicit FakeSink(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    bool connected() const override { return isConnected; }
    void connect() override {
        ++connectCalls;
        isConnected = connectSucceeds;
    }
    void enqueue(const PixelBufferRef& frame) override {
        calls_->push_back("sink.enqueue");
        frames.push_back(frame);
    }
    bool isConnected = false;
    bool connectSucceeds = true;
    int connectCalls = 0;
    std::vector<PixelBufferRef> frames;

  private:
    std::shared_ptr<CallLog> calls_;
};

class FakeBridge final : public CameraBridge {
  public:
    explicit FakeBridge(std::shared_ptr<CallLog> calls) : calls_(calls), fakeSink(calls) {}
    void activate() override { calls_->push_back("bridge.activate"); }
    void reconnect() override { calls_->push_back("bridge.reconnect"); }
    void probeExtensionHealth() override { calls_->push_back("bridge.probe"); }
    FrameSink& sink() override { return fakeSink; }

  private:
    std::shared_ptr<CallLog> calls_;

  public:
    FakeSink fakeSink;
};

class FakeWake final : public WakeSource {
  public:
    explicit FakeWake(std::shared_ptr<CallLog> calls) : calls_(std::move(calls)) {}
    Handle observeWake(std::function<void()> onWake) override {
        calls_->push_back("wake.observe");
        return signal_.connect(std::move(onWake));
    }
    void wake() { signal_.emit(); }

  private:
    std::shared_ptr<CallLog> calls_;
    Signal<> signal_;
};

// An engine over fakes, in virtual time, with the fakes still reachable.
struct EngineRig {
    EngineRig() {
        state.realisticTransitions = false;  // tests of the freeze turn it on themselves
        EngineParts parts;
        auto webcamFake = std::make_unique<FakeWebcam>(calls);
        auto loopFake = std::make_unique<FakeLoop>(calls);
        auto detectorFake = std::make_unique<FakeDetector>(calls);
        auto bridgeFake = std::make_unique<FakeBridge>(calls);
        auto wakeFake = std::make_unique<FakeWake>(calls);
        webcam = webcamFake.get();
        loop = loopFake.get();
        detector = detectorFake.get();
        bridge = bridgeFake.get();
        wake = wakeFake.get();
        recorder = std::make_shared<FakeRecorder>(calls);
        parts.webcam = std::move(webcamFake);
        parts.loop = std::move(loopFake);
        parts.detector = std::move(detectorFake);
        parts.bridge = std::move(bridgeFake);
        parts.wake = std::move(wakeFake);
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
    std::shared_ptr<FakeRecorder> recorder;
    std::shared_ptr<CameraEngine> engine;
    int delivered = 0;
};

}  // namespace kestrel::testing
