#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/engine/FramePorts.h"
#include "app/sources/MovieReader.h"
#include "platform/media/PixelBuffer.h"

namespace kestrel {

// Plays the active loop file as an endless stream of BGRA frames of the output size, one decoded
// frame per request: the player has no clock, so the loop runs at the rate the engine asks. When a
// pass through the file ends, the file is opened afresh and the jump is hidden by a cross-fade
// from the last frames of the old pass into the first frames of the new one. Frames of another
// size are scaled to fill the output size.
//
// Main thread only. The frames it returns are shared with the cross-fade tail: readers only.
class LoopPlayer final : public LoopSource {
  public:
    static constexpr std::string_view kErrorDomain = "LoopPlayer";
    static constexpr int kNoVideoTrack = 1;  // "No video track"
    static constexpr int kStartFailed = 2;   // "startReading failed"
    // Frames blended after a wrap; also the length of the tail and, plus one, the denominator of
    // the blend weights (1/6 ... 5/6). The three must stay equal.
    static constexpr std::int64_t kCrossFadeFrames = 5;
    // Buffers the pool keeps: the tail, the frame being decoded and the frame on its way out.
    static constexpr std::size_t kPoolBuffers = 8;

    LoopPlayer(int width, int height);
    ~LoopPlayer() override;

    void setUrl(const std::filesystem::path& url) override { url_ = url; }
    const std::optional<std::filesystem::path>& url() const { return url_; }

    // Opens a fresh reader on `url` at its first frame. On failure the current reader stays;
    // `url`, the tail and the seam are never touched.
    MaybeError openReader(const std::filesystem::path& url) override;

    // The next frame, or nullptr when there is nothing to play (no file loaded, or the file can no
    // longer be opened).
    PixelBufferRef nextFrame() override;

    std::int64_t seamRemaining() const { return seamRemaining_; }
    std::size_t tailSize() const { return tail_.size(); }
    bool hasReader() const { return reader_ != nullptr; }

  private:
    PixelBufferRef decode(MovieReader& reader);
    PixelBufferRef process(PixelBufferRef frame);
    void appendToTail(PixelBufferRef frame);

    std::optional<std::filesystem::path> url_;
    std::unique_ptr<MovieReader> reader_;
    PixelBufferPoolRef pool_;
    std::deque<PixelBufferRef> tail_;  // oldest first, at most kCrossFadeFrames
    std::int64_t seamRemaining_ = 0;
};

}  // namespace kestrel
