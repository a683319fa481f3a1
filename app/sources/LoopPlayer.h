#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/engine/FramePorts.h"
#include "app/sources/MovieReader.h"
#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Executor.h"
#include "platform/runtime/WorkerThread.h"

namespace kestrel {

// Plays the active loop file as an endless stream of BGRA frames of the output size, one decoded
// frame per request: the player has no clock, so the loop runs at the rate the engine asks. When a
// pass through the file ends, the file is opened afresh and the jump is hidden by a cross-fade
// from the last frames of the old pass into the first frames of the new one. Frames of another
// size are scaled to fill the output size.
//
// Decoding runs one frame ahead on the decoder thread, so a request never waits for the file: it
// takes the frame decoded since the last request and asks for the next. A request that comes
// before that frame is ready gets none, and the frame is the answer to the following request;
// each frame of the file is handed out once, in order.
//
// Threads: everything on the main thread (`main`), except the decoding. The frames it returns are
// shared with the cross-fade tail: readers only.
class LoopPlayer final : public LoopSource {
  public:
    static constexpr std::string_view kErrorDomain = "LoopPlayer";
    static constexpr int kNoVideoTrack = 1;  // "No video track"
    static constexpr int kStartFailed = 2;   // "startReading failed"
    // Frames blended after a wrap; also the length of the tail and, plus one, the denominator of
    // the blend weights (1/6 ... 5/6). The three must stay equal.
    static constexpr std::int64_t kCrossFadeFrames = 5;
    // Buffers the pool keeps: the tail, the frame decoded ahead, the one being decoded and the
    // ones on their way out.
    static constexpr std::size_t kPoolBuffers = 9;

    // Decodes on a worker thread of its own, "dev.corvid.kestrel.loop".
    LoopPlayer(int width, int height, Executor& main);
    // Decodes on `decoder`, which must outlive the player.
    LoopPlayer(int width, int height, Executor& main, Executor& decoder);
    ~LoopPlayer() override;
    LoopPlayer(const LoopPlayer&) = delete;
    LoopPlayer& operator=(const LoopPlayer&) = delete;

    void setUrl(const std::filesystem::path& url) override { url_ = url; }
    const std::optional<std::filesystem::path>& url() const { return url_; }

    // Opens a fresh reader on `url` at its first frame and starts decoding from it. On failure the
    // current reader stays; `url`, the tail and the seam are never touched.
    MaybeError openReader(const std::filesystem::path& url) override;

    // The next frame, or nullptr when there is nothing to play (no file loaded, the file can no
    // longer be opened, or the next frame is not decoded yet).
    PixelBufferRef nextFrame() override;

    // Decodes later frames straight into buffers of this size; the cross-fade tail of the old
    // size is let go.
    void setOutputSize(int width, int height) override;

    std::int64_t seamRemaining() const { return seamRemaining_; }
    std::size_t tailSize() const { return tail_.size(); }
    bool hasReader() const { return hasReader_; }

  private:
    struct Decoder;
    struct Decoded {
        std::uint64_t generation = 0;
        PixelBufferRef frame;  // none: the pass ended and the file could not be played again
        bool newPass = false;  // the first frame after the file was opened again
    };

    void requestNext();
    PixelBufferRef process(PixelBufferRef frame);
    void appendToTail(PixelBufferRef frame);

    Executor& main_;
    std::unique_ptr<WorkerThread> ownDecoder_;
    Executor& decoderExecutor_;
    std::shared_ptr<Decoder> decoder_;
    PixelBufferPoolRef pool_;

    std::optional<std::filesystem::path> url_;
    bool hasReader_ = false;
    std::uint64_t generation_ = 0;  // counts opened readers; older results are dropped
    std::optional<Decoded> ready_;
    bool requested_ = false;
    std::deque<PixelBufferRef> tail_;  // oldest first, at most kCrossFadeFrames
    std::int64_t seamRemaining_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrel
