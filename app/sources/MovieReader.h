#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <variant>
#include <vector>

#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Error.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace kestrel {

// Reads the video track of a QuickTime movie and decodes it one frame per request into BGRA, with
// one decoder thread. Time stamps are ignored: frames come in decoding order, one per call. Owned
// and used by one thread at a time.
class MovieReader {
  public:
    static constexpr std::string_view kErrorDomain = "MovieReader";
    // Error codes of open().
    static constexpr int kNoVideoTrack = 1;  // the file holds no video track
    static constexpr int kCannotDecode = 2;  // the video track cannot be decoded
    static constexpr int kUnreadable = 3;    // missing, unreadable or not a QuickTime movie
    // Larger frames are refused rather than allocated: no camera or loop comes near it.
    static constexpr int kMaxDimension = 8192;

    using OpenResult = std::variant<std::unique_ptr<MovieReader>, Error>;
    static OpenResult open(const std::filesystem::path& url, int decoderThreads = 1);

    ~MovieReader();
    MovieReader(const MovieReader&) = delete;
    MovieReader& operator=(const MovieReader&) = delete;

    // The video track's size as the file declares it.
    int width() const;
    int height() const;

    // Decodes the next frame into `dest`, scaled to fill it when the sizes differ. False once the
    // file has no more frames, and from then on; a read or decode failure in mid-file also ends
    // the file.
    bool readFrame(PixelBuffer& dest);

    struct Private {};
    MovieReader(Private, std::filesystem::path url);

  private:
    struct Parts;
    bool convert(const AVFrame& frame, PixelBuffer& dest);
    bool toBgra(const AVFrame& frame, PixelBuffer& target);
    bool scaleI420(const AVFrame& frame, PixelBuffer& dest);

    std::filesystem::path url_;
    std::unique_ptr<Parts> parts_;
    PixelBufferRef scratch_;          // frames of another size, before scaling
    std::vector<std::uint8_t> i420_;  // 4:2:0 frames scaled to the destination, before converting
    bool draining_ = false;
    bool finished_ = false;
};

}  // namespace kestrel
