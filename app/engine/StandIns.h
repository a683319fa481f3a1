#pragma once

// Parts for a build that lacks the real ones: no presence detection, no recorder, and a camera
// link that only counts frames. The engine runs with them exactly as with the real parts.

#include <atomic>
#include <cstdint>

#include "app/engine/FramePorts.h"
#include "platform/runtime/Log.h"

namespace kestrel {

class NoDetector final : public FrameDetector {
  public:
    void start() override {}
    void processFrame(const PixelBufferRef& /*frame*/) override {}
};

class NoRecorder final : public FrameRecorder {
  public:
    bool isRecording() const override { return false; }
    void append(const PixelBufferRef& /*frame*/, MediaTime /*time*/) override {}
};

// A sink that accepts every frame and counts it.
class CountingSink final : public FrameSink {
  public:
    bool connected() const override { return connected_; }
    void connect() override { connected_ = true; }
    void enqueue(const PixelBufferRef& frame) override {
        if (frame) {
            ++frames_;
        }
    }
    std::uint64_t frameCount() const { return frames_; }

  private:
    bool connected_ = false;
    std::uint64_t frames_ = 0;
};

class LocalOnlyBridge final : public CameraBridge {
  public:
    void activate() override {
        log_.info("no camera daemon in this build; frames are counted only");
    }
    void reconnect() override { sink_.connect(); }
    void probeExtensionHealth() override {}
    FrameSink& sink() override { return sink_; }

  private:
    CountingSink sink_;
    Log log_{std::string(kAppLogSubsystem), "ExtensionBridge"};
};

}  // namespace kestrel
