#pragma once

// What the camera daemon's objects need from the framework that publishes them: the stand-in for
// the CoreMediaIO extension framework's stream operations. The camera link
// server implements them for real; tests use fakes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/media/MediaTime.h"

namespace kestrel::camera {

// A client of the provider: one camera-link connection, and the process behind it.
struct Client {
    std::uint64_t id = 0;
    std::int32_t pid = 0;
    friend bool operator==(const Client&, const Client&) = default;
};

// One frame with its timing, as it crosses from the sink stream to the source stream. The pixels
// are BGRA rows `stride` bytes apart, or with `planar` 4:2:0 planes as a camera-link slot holds
// them, and stay valid while `owner` is held.
struct SampleBuffer {
    std::shared_ptr<const void> owner;
    const std::uint8_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    bool planar = false;
    MediaTime presentationTime;
    MediaTime duration;
    // Non-zero when frames with the same id carry the same pixels (the black filler), so that an
    // output may reuse what it made of the last one instead of converting again.
    std::uint64_t contentId = 0;
};

// Set in the content ids the source stream gives frames that never repeat, so that the outputs
// sharing one converter convert such a frame once, and nothing keeps a copy of it for later.
inline constexpr std::uint64_t kOneOffContent = std::uint64_t{1} << 63;

// The outcome of one consume request (CMIOExtensionStream consumeSampleBuffer).
struct ConsumeResult {
    std::optional<SampleBuffer> buffer;
    std::uint64_t sequence = 0;
    bool hasMore = false;
    std::optional<std::string> error;
};
using ConsumeCompletion = std::function<void(ConsumeResult)>;

// The sink stream as the relay uses it.
class SinkStreamPort {
  public:
    virtual ~SinkStreamPort() = default;
    // Clients that have the sink stream started (`streamingClients`, counted only).
    virtual std::int64_t streamingClientCount() = 0;
    // Takes the oldest frame `client` queued, if any; `done` may run before this returns.
    virtual void consumeSampleBuffer(const Client& client, ConsumeCompletion done) = 0;
    // The consumed frame with `sequence` went out at `hostTimeNanos`: its slot is free again.
    virtual void notifyScheduledOutputChanged(std::uint64_t sequence,
                                              std::uint64_t hostTimeNanos) = 0;
    // Has `handler` run on the consume queue each time a client queues a frame, so that frames
    // are taken as they come. A sink that cannot answers false and is polled instead.
    virtual bool watchQueuedFrames(std::function<void()> /*handler*/) { return false; }
};

// The source stream: every reader (camera-link readers, PipeWire, v4l2loopback) gets `send`.
class SourceStreamPort {
  public:
    virtual ~SourceStreamPort() = default;
    virtual void send(const SampleBuffer& buffer, std::uint64_t hostTimeNanos) = 0;
};

}  // namespace kestrel::camera
