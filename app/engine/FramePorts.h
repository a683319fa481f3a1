#pragma once

#include <filesystem>
#include <functional>

#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Error.h"
#include "platform/runtime/Handle.h"

// The narrow interfaces through which the camera engine meets its sources and its output. The real
// webcam, loop player, detector, recorder and virtual-camera link implement them; tests substitute
// their own.

namespace kestrel {

using FrameHandler = std::function<void(const PixelBufferRef& frame, MediaTime presentationTime)>;

// Live frames. `onFrame` may be called on any thread (WebcamCapture calls it on the main
// thread); the engine hands each frame to its main thread itself.
class WebcamSource {
  public:
    virtual ~WebcamSource() = default;
    virtual void setOnFrame(FrameHandler onFrame) = 0;
    virtual MaybeError start() = 0;
    // Stops and starts capture again (after wake or a reset); failures are handled inside.
    virtual void restart() = 0;
};

// The recorded loop, one frame per request.
class LoopSource {
  public:
    virtual ~LoopSource() = default;
    virtual void setUrl(const std::filesystem::path& url) = 0;
    virtual MaybeError openReader(const std::filesystem::path& url) = 0;
    // The next frame of the loop, or nullptr when none is ready; never waits for the file. The
    // engine repeats the previous frame meanwhile.
    virtual PixelBufferRef nextFrame() = 0;
    // Asks for later frames in this size, scaled to fill, so that they need no scaling on the
    // main thread. Frames already decoded keep their size.
    virtual void setOutputSize(int width, int height) = 0;
};

// Presence detection fed with every camera frame.
class FrameDetector {
  public:
    virtual ~FrameDetector() = default;
    virtual void start() = 0;
    // Main thread, once per camera frame; returns at once.
    virtual void processFrame(const PixelBufferRef& frame) = 0;
    // False when presence cannot be detected: auto-away then never switches the user to away.
    virtual bool autoAwayAvailable() const { return true; }
};

// Records loops from camera frames.
class FrameRecorder {
  public:
    virtual ~FrameRecorder() = default;
    // Main thread.
    virtual bool isRecording() const = 0;
    // Main thread.
    virtual void append(const PixelBufferRef& frame, MediaTime presentationTime) = 0;
};

// The virtual camera's input.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual bool connected() const = 0;
    virtual void connect() = 0;
    // Takes the frame as it is and never waits; a frame that cannot be delivered is dropped.
    virtual void enqueue(const PixelBufferRef& frame) = 0;
};

// The link to the camera daemon: activation, the sink, reconnection and the health probe.
class CameraBridge {
  public:
    virtual ~CameraBridge() = default;
    virtual void activate() = 0;
    virtual void reconnect() = 0;
    virtual void probeExtensionHealth() = 0;
    virtual FrameSink& sink() = 0;
};

// Tells when the machine woke from sleep; the handle ends the observation.
class WakeSource {
  public:
    virtual ~WakeSource() = default;
    virtual Handle observeWake(std::function<void()> onWake) = 0;
};

}  // namespace kestrel
