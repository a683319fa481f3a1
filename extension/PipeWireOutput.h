#pragma once

// The PipeWire node "Kestrel" (design.md, "What meeting applications see"): media class
// "Video/Source", role "Camera", formats YUY2 then BGRA at 1920x1080 and 30/1, frames scaled to
// fill. A consumer linking (the stream reaching "streaming") counts as a source client starting,
// unlinking as stopping. The node drives its own clock; a frame that finds no free buffer is
// dropped, never waited for.
//
// Thread affinity: start() and the destructor on the main thread; send() on the consume queue;
// PipeWire's own events on its thread loop, from where source starts and stops are posted to the
// main thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "extension/CameraProvider.h"
#include "extension/FrameConvert.h"
#include "extension/FrameOutputs.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/Handle.h"

namespace kestrel::camera {

class PipeWireOutput final : public FrameOutput {
  public:
    // `converter` may be shared with the other outputs fed on the consume queue.
    PipeWireOutput(
        Executor& main, SourceStreamSource& sourceStream,
        std::shared_ptr<OutputConverter> converter = std::make_shared<OutputConverter>());
    ~PipeWireOutput() override;
    PipeWireOutput(const PipeWireOutput&) = delete;
    PipeWireOutput& operator=(const PipeWireOutput&) = delete;

    // Connects to the session's PipeWire server and publishes the node. Without a server it logs
    // that once and returns false; the daemon runs on without the node, and tries again every
    // kRetryInterval (silently), so a PipeWire that starts later, or restarts, gets the node.
    bool start();

    static constexpr Nanos kRetryInterval{2'000'000'000};

    void send(const SampleBuffer& buffer, std::uint64_t hostTimeNanos) override;

    struct Impl;

  private:
    bool connect();
    void retry();
    void streamingChanged(bool streaming);

    Executor& main_;
    OutputClient client_;                         // main thread: a consumer linked to the node
    std::shared_ptr<OutputConverter> converter_;  // consume queue
    // Replaced on the main thread when the connection is made again; send() holds the mutex while
    // it uses the connection, the only lock of the daemon's frame path (never contended in
    // steady state).
    std::mutex implMutex_;
    std::unique_ptr<Impl> impl_;
    Handle retryTimer_;
    std::atomic<bool> lost_{false};
    bool reportedUnreachable_ = false;  // main thread
    std::atomic<bool> streaming_{false};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel::camera
