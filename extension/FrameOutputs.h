#pragma once

// Where the source stream goes: every output a reader can use (camera-link readers, PipeWire,
// v4l2loopback) gets each frame the relay sends.

#include <memory>
#include <vector>

#include "extension/CameraProvider.h"
#include "extension/StreamPorts.h"

namespace kestrel::camera {

// One way out for the source stream. `send` runs on the consume queue; it copies what it needs
// and never waits (a reader without room drops the frame).
class FrameOutput {
  public:
    virtual ~FrameOutput() = default;
    virtual void send(const SampleBuffer& buffer, std::uint64_t hostTimeNanos) = 0;
};

// An output's readers counted as one client of the source stream: the first reader starts it and
// the last one leaving stops it, however often the output reports in between. Main thread.
class OutputClient {
  public:
    explicit OutputClient(SourceStreamSource& stream) : stream_(stream) {}
    void setReading(bool reading) {
        if (reading == counted_) {
            return;
        }
        counted_ = reading;
        if (reading) {
            stream_.startStream();
        } else {
            stream_.stopStream();
        }
    }

  private:
    SourceStreamSource& stream_;
    bool counted_ = false;
};

// The source stream: sends to every output in turn. Outputs are added before the relay starts.
// A frame without a content id gets a one-off one, the same for every output, so that outputs
// sharing a converter convert it once.
class SourceFanout final : public SourceStreamPort {
  public:
    void add(std::shared_ptr<FrameOutput> output) { outputs_.push_back(std::move(output)); }
    void send(const SampleBuffer& buffer, std::uint64_t hostTimeNanos) override {
        SampleBuffer frame = buffer;
        if (frame.contentId == 0) {
            frame.contentId = kOneOffContent | ++sent_;
        }
        for (const auto& output : outputs_) {
            output->send(frame, hostTimeNanos);
        }
    }

  private:
    std::vector<std::shared_ptr<FrameOutput>> outputs_;
    std::uint64_t sent_ = 0;  // consume queue
};

}  // namespace kestrel::camera
