#pragma once

// Parts for a build that lacks the real ones: no loop player, no presence detection, no recorder,
// and a camera link that only counts frames. The engine runs with them exactly as with the real
// parts; away mode then shows the live picture and counts each frame as a loop miss.

#include <atomic>
#include <cstdint>

#include "app/engine/FramePorts.h"
#include "platform/runtime/Log.h"

namespace kestrel {

class NoLoopSource final : public LoopSource {
  public:
    void setUrl(const std::filesystem::path& /*url*/) override {}
    MaybeError openReader(const std::filesystem::path& /*url*/) override {
        return Error{"LoopPlayer", 1, "this build has no loop player"};
    }
    PixelBufferRef nextFrame() override { return nullptr; }
    void setOutputSize(int /*width*/, int /*height*/) override {}
};

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
