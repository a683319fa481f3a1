#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "platform/media/PixelBuffer.h"
#include "platform/runtime/Error.h"
#include "platform/runtime/UniqueFd.h"

namespace kestrel {

// How a loop movie is encoded. The defaults are the loop format: H.264 at 1920x1080 from
// libx264's `veryfast` preset at CRF 23 with no low-latency tuning, two encoder threads. On two
// cores this takes about 27 ms of CPU a frame, so 15 frames a second keep up with small files;
// slower presets do not keep up and low-latency tuning triples the file size.
struct MovieWriterSettings {
    int width = 1920;
    int height = 1080;
    std::string preset = "veryfast";
    int crf = 23;
    int threads = 2;
    int framesPerSecond = 15;  // a hint for rate control; the frames' own times are written
    // Above zero: the movie is written in fragments of about this many seconds, each on disk
    // (written to the file, not held in the process) once it is complete, so that a process that
    // dies mid-movie leaves every fragment but the last readable. copyFragments() turns such a
    // file into a normal movie.
    double fragmentSeconds = 0.0;
};

// What copyFragments() copied.
struct MovieCopy {
    std::int64_t frames = 0;
    double seconds = 0.0;  // from the first frame's start to the last frame's end
};

// Writes BGRA frames into a new QuickTime movie with one H.264 video track and no audio. Frames of
// another size are scaled to fill the encoded size. Owned and used by one thread at a time.
class MovieWriter {
  public:
    static constexpr std::string_view kErrorDomain = "MovieWriter";
    // Frame times are in units of 1/90000 s.
    static constexpr int kTimescale = 90000;

    // Creates the file, which must not exist yet (error code EEXIST then), and writes the movie's
    // header. Errors carry the errno or FFmpeg code and a description naming the file.
    using CreateResult = std::variant<std::unique_ptr<MovieWriter>, Error>;
    static CreateResult create(const std::filesystem::path& url,
                               const MovieWriterSettings& settings = {});
    // create() in two steps: the file and its muxer here, then startEncoder() on the thread that
    // encodes, since the encoder's own threads are made there and inherit its scheduling
    // priority. A failed startEncoder() is sticky like a failed append() and leaves the file.
    static CreateResult createFile(const std::filesystem::path& url,
                                   const MovieWriterSettings& settings = {});
    MaybeError startEncoder();

    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Encodes one frame at `time` (1/90000 s from the start of the movie; must increase from
    // frame to frame). A failure is sticky: later calls return it again and write nothing.
    MaybeError append(const PixelBuffer& frame, std::int64_t time);

    // Flushes the encoder, writes the movie's index and closes the file. Once only.
    MaybeError finish();

    // Copies the video track of `fragments`, a movie written with `fragmentSeconds`, into a new
    // normal movie at `movie`, which must not exist (EEXIST then). An `interrupted` movie (never
    // finished, and maybe cut off anywhere) keeps only the frames up to its last one that every
    // frame before it on screen is there for: no gap, no frame cut short. On failure a partly
    // written `movie` is removed.
    using CopyResult = std::variant<MovieCopy, Error>;
    static CopyResult copyFragments(const std::filesystem::path& fragments,
                                    const std::filesystem::path& movie, bool interrupted = false);

    std::int64_t framesWritten() const { return framesWritten_; }
    const std::filesystem::path& url() const { return url_; }

    struct Private {};
    MovieWriter(Private, std::filesystem::path url, UniqueFd fd);

  private:
    struct Parts;
    static CreateResult openOutput(const std::filesystem::path& url);
    MaybeError fail(const std::string& what, int code);
    MaybeError drainPackets();
    MaybeError closeFile();  // the index written, the file closed
    static int writePacket(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    std::filesystem::path url_;
    UniqueFd fd_;
    std::unique_ptr<Parts> parts_;
    MovieWriterSettings settings_;
    PixelBufferRef scaled_;  // frames of another size, scaled to the encoded size
    MaybeError failure_;
    int writeErrno_ = 0;
    std::int64_t lastTime_ = -1;
    std::int64_t framesWritten_ = 0;
    bool finished_ = false;
    bool encoderStarted_ = false;
};

}  // namespace kestrel
