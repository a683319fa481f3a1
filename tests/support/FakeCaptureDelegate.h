#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/sources/CaptureBackend.h"

namespace kestrel::testing {

// Records what a capture session reports: frames with their times, and its other events in order.
class FakeCaptureDelegate final : public CaptureDelegate {
  public:
    void captureOutput(const PixelBufferRef& frame, MediaTime time) override {
        if (keepFrames) {
            frames.push_back(frame);
        }
        times.push_back(time);
        if (onFrame) {
            onFrame(frame);
        }
    }
    void sessionInterrupted(const std::string& info) override {
        events.push_back("interrupted " + info);
    }
    void sessionInterruptionEnded() override { events.push_back("ended"); }
    void sessionRuntimeError(const std::optional<Error>& error) override {
        events.push_back("error " + (error ? error->description : std::string("none")));
        errors.push_back(error.value_or(Error{}));
    }
    bool keepFrames = true;                              // false lets the session reuse its buffers
    std::function<void(const PixelBufferRef&)> onFrame;  // sees each frame before it is reused
    std::vector<PixelBufferRef> frames;
    std::vector<MediaTime> times;
    std::vector<std::string> events;
    std::vector<Error> errors;
};

}  // namespace kestrel::testing
