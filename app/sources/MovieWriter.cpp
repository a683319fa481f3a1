#include "app/sources/MovieWriter.h"

#include "app/sources/FfmpegPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libyuv/convert.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/sources/FfmpegLog.h"
#include "platform/media/ImageOps.h"

namespace kestrel {

namespace {

constexpr int kIoBufferSize = 256 * 1024;

struct OutputCloser {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct IoCloser {
    void operator()(AVIOContext* io) const {
        if (io != nullptr) {
            av_freep(&io->buffer);
        }
        avio_context_free(&io);
    }
};

}  // namespace

struct MovieWriter::Parts {
    // Declared so that the muxer goes before the I/O context it writes through.
    std::unique_ptr<AVIOContext, IoCloser> io;
    std::unique_ptr<AVFormatContext, OutputCloser> output;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameFreer> frame;
    std::unique_ptr<AVPacket, PacketFreer> packet;
    AVStream* stream = nullptr;  // owned by `output`
    std::int64_t frameDuration = 0;
    bool fragmented = false;
};

MovieWriter::MovieWriter(Private, std::filesystem::path url, UniqueFd fd)
    : url_(std::move(url)), fd_(std::move(fd)), parts_(std::make_unique<Parts>()) {}

MovieWriter::~MovieWriter() {
    // The muxer must go before the I/O context it writes through.
    parts_->output.reset();
}

int MovieWriter::writePacket(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<MovieWriter*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t wrote =
            ::write(self->fd_.get(), data + done, static_cast<size_t>(size - done));
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            self->writeErrno_ = errno;
            return AVERROR(errno);
        }
        done += static_cast<int>(wrote);
    }
    return size;
}

std::int64_t MovieWriter::seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MovieWriter*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) {
        struct stat info {};
        return ::fstat(self->fd_.get(), &info) == 0 ? info.st_size : AVERROR(errno);
    }
    const off_t at = ::lseek(self->fd_.get(), offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
}

MovieWriter::CreateResult MovieWriter::openOutput(const std::filesystem::path& url) {
    quietFfmpegLog();
    const std::string name = url.string();
    UniqueFd fd(::open(url.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
        const int code = errno;
        return Error{std::string(kErrorDomain), code,
                     "cannot create " + name + ": " + std::strerror(code)};
    }
    auto writer = std::make_unique<MovieWriter>(Private{}, url, std::move(fd));
    Parts& parts = *writer->parts_;
    auto failed = [&](const std::string& what, int code) {
        return Error{std::string(kErrorDomain), code,
                     "cannot write " + name + ": " + what + ": " + describeAvError(code)};
    };
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    parts.io.reset(avio_alloc_context(buffer, kIoBufferSize, 1, writer.get(), nullptr,
                                      &MovieWriter::writePacket, &MovieWriter::seek));
    if (!parts.io) {
        av_free(buffer);
        return failed("I/O context", AVERROR(ENOMEM));
    }
    AVFormatContext* rawOutput = nullptr;
    if (const int made = avformat_alloc_output_context2(&rawOutput, nullptr, "mov", nullptr);
        made < 0) {
        return failed("QuickTime muxer", made);
    }
    parts.output.reset(rawOutput);
    rawOutput->pb = parts.io.get();
    rawOutput->flags |= AVFMT_FLAG_CUSTOM_IO;
    return writer;
}

MovieWriter::CreateResult MovieWriter::createFile(const std::filesystem::path& url,
                                                  const MovieWriterSettings& settings) {
    auto made = openOutput(url);
    if (auto* writer = std::get_if<std::unique_ptr<MovieWriter>>(&made)) {
        (*writer)->settings_ = settings;
    }
    return made;
}

MovieWriter::CreateResult MovieWriter::create(const std::filesystem::path& url,
                                              const MovieWriterSettings& settings) {
    auto made = createFile(url, settings);
    if (auto* writer = std::get_if<std::unique_ptr<MovieWriter>>(&made)) {
        if (auto error = (*writer)->startEncoder()) {
            std::error_code ignored;
            std::filesystem::remove(url, ignored);
            return *error;
        }
    }
    return made;
}

MaybeError MovieWriter::startEncoder() {
    if (encoderStarted_ || failure_) {
        return failure_;
    }
    encoderStarted_ = true;
    Parts& parts = *parts_;
    AVFormatContext* rawOutput = parts.output.get();
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (encoder == nullptr) {
        return fail("H.264 encoder", AVERROR_ENCODER_NOT_FOUND);
    }
    parts.codec.reset(avcodec_alloc_context3(encoder));
    parts.frame.reset(av_frame_alloc());
    parts.packet.reset(av_packet_alloc());
    if (!parts.codec || !parts.frame || !parts.packet) {
        return fail("allocation", AVERROR(ENOMEM));
    }
    AVCodecContext& codec = *parts.codec;
    codec.width = settings_.width;
    codec.height = settings_.height;
    codec.pix_fmt = AV_PIX_FMT_YUV420P;
    codec.time_base = AVRational{1, kTimescale};
    codec.framerate = AVRational{settings_.framesPerSecond, 1};
    codec.thread_count = settings_.threads;
    codec.color_range = AVCOL_RANGE_MPEG;
    codec.colorspace = AVCOL_SPC_SMPTE170M;  // BT.601, as libyuv converts
    codec.color_primaries = AVCOL_PRI_SMPTE170M;
    codec.color_trc = AVCOL_TRC_SMPTE170M;
    if ((rawOutput->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        codec.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    av_opt_set(codec.priv_data, "preset", settings_.preset.c_str(), 0);
    av_opt_set(codec.priv_data, "crf", std::to_string(settings_.crf).c_str(), 0);
    if (const int opened = avcodec_open2(&codec, encoder, nullptr); opened < 0) {
        return fail("H.264 encoder", opened);
    }
    parts.stream = avformat_new_stream(rawOutput, nullptr);
    if (parts.stream == nullptr) {
        return fail("video track", AVERROR(ENOMEM));
    }
    parts.stream->time_base = codec.time_base;
    if (const int copied = avcodec_parameters_from_context(parts.stream->codecpar, &codec);
        copied < 0) {
        return fail("video track", copied);
    }
    parts.frameDuration = kTimescale / std::max(1, settings_.framesPerSecond);
    parts.frame->format = codec.pix_fmt;
    parts.frame->width = codec.width;
    parts.frame->height = codec.height;
    if (const int allocated = av_frame_get_buffer(parts.frame.get(), 0); allocated < 0) {
        return fail("frame", allocated);
    }
    AVDictionary* rawOptions = nullptr;
    if (settings_.fragmentSeconds > 0.0) {
        parts.fragmented = true;
        av_dict_set(&rawOptions, "movflags", "empty_moov", 0);
        av_dict_set_int(&rawOptions, "frag_duration", std::llround(settings_.fragmentSeconds * 1e6),
                        0);
    }
    std::unique_ptr<AVDictionary, DictionaryFreer> options(rawOptions);
    const int header = avformat_write_header(rawOutput, &rawOptions);
    options.release();
    options.reset(rawOptions);
    if (header < 0) {
        return fail("header", header);
    }
    if (parts.fragmented) {
        avio_flush(parts.io.get());  // the header is on disk before the first fragment
    }
    return std::nullopt;
}

MaybeError MovieWriter::fail(const std::string& what, int code) {
    if (!failure_) {
        const std::string reason =
            writeErrno_ != 0 ? std::string(std::strerror(writeErrno_)) : describeAvError(code);
        failure_ = Error{std::string(kErrorDomain), code,
                         "cannot write " + url_.string() + ": " + what + ": " + reason};
    }
    return failure_;
}

MaybeError MovieWriter::drainPackets() {
    Parts& parts = *parts_;
    while (true) {
        const int received = avcodec_receive_packet(parts.codec.get(), parts.packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return std::nullopt;
        }
        if (received < 0) {
            return fail("encoding", received);
        }
        // Sample durations come from the times of the following frames; the last frame has none
        // and would be cut off by the movie's edit list without this nominal one.
        if (parts.packet->duration <= 0) {
            parts.packet->duration = parts.frameDuration;
        }
        av_packet_rescale_ts(parts.packet.get(), parts.codec->time_base, parts.stream->time_base);
        parts.packet->stream_index = parts.stream->index;
        if (const int wrote = av_write_frame(parts.output.get(), parts.packet.get()); wrote < 0) {
            av_packet_unref(parts.packet.get());
            return fail("frame", wrote);
        }
        av_packet_unref(parts.packet.get());
        if (parts.fragmented) {
            // A fragment the muxer completed goes to the file now, not when the buffer fills.
            avio_flush(parts.io.get());
            if (parts.io->error < 0) {
                return fail("file", parts.io->error);
            }
        }
    }
}

MaybeError MovieWriter::append(const PixelBuffer& frame, std::int64_t time) {
    if (failure_) {
        return failure_;
    }
    if (finished_) {
        return fail("frame after the end", AVERROR(EINVAL));
    }
    if (!encoderStarted_) {
        return fail("frame before the encoder started", AVERROR(EINVAL));
    }
    if (time <= lastTime_ || time < 0) {
        return fail("frame time out of order", AVERROR(EINVAL));
    }
    Parts& parts = *parts_;
    const PixelBuffer* source = &frame;
    if (frame.width() != parts.codec->width || frame.height() != parts.codec->height) {
        if (!scaled_) {
            scaled_ = PixelBuffer::create(parts.codec->width, parts.codec->height);
            if (!scaled_) {
                return fail("scaling", AVERROR(ENOMEM));
            }
        }
        image::scaleToFill(frame, *scaled_);
        source = scaled_.get();
    }
    AVFrame& picture = *parts.frame;
    if (const int writable = av_frame_make_writable(&picture); writable < 0) {
        return fail("frame", writable);
    }
    libyuv::ARGBToI420(source->data(), source->stride(), picture.data[0], picture.linesize[0],
                       picture.data[1], picture.linesize[1], picture.data[2], picture.linesize[2],
                       source->width(), source->height());
    picture.pts = time;
    lastTime_ = time;
    if (const int sent = avcodec_send_frame(parts.codec.get(), &picture); sent < 0) {
        return fail("encoding", sent);
    }
    ++framesWritten_;
    return drainPackets();
}

MaybeError MovieWriter::finish() {
    if (finished_) {
        return failure_;
    }
    finished_ = true;
    if (failure_) {
        return failure_;
    }
    if (!encoderStarted_) {
        return fail("end before the encoder started", AVERROR(EINVAL));
    }
    Parts& parts = *parts_;
    if (const int flushed = avcodec_send_frame(parts.codec.get(), nullptr); flushed < 0) {
        return fail("encoding", flushed);
    }
    if (auto error = drainPackets()) {
        return error;
    }
    return closeFile();
}

MaybeError MovieWriter::closeFile() {
    Parts& parts = *parts_;
    if (const int trailer = av_write_trailer(parts.output.get()); trailer < 0) {
        return fail("index", trailer);
    }
    avio_flush(parts.io.get());
    if (parts.io->error < 0) {
        return fail("file", parts.io->error);
    }
    if (::close(fd_.release()) != 0) {
        writeErrno_ = errno;
        return fail("file", AVERROR(writeErrno_));
    }
    return std::nullopt;
}

MovieWriter::CopyResult MovieWriter::copyFragments(const std::filesystem::path& fragments,
                                                   const std::filesystem::path& movie,
                                                   bool interrupted) {
    quietFfmpegLog();
    auto unreadable = [&](int code) {
        return Error{std::string(kErrorDomain), code,
                     "cannot read " + fragments.string() + ": " + describeAvError(code)};
    };
    std::error_code sizeError;
    const auto fileSize =
        static_cast<std::int64_t>(std::filesystem::file_size(fragments, sizeError));
    if (sizeError) {
        return Error{std::string(kErrorDomain), sizeError.value(),
                     "cannot read " + fragments.string() + ": " + sizeError.message()};
    }
    AVFormatContext* rawInput = nullptr;
    if (const int opened =
            avformat_open_input(&rawInput, fragments.c_str(), av_find_input_format("mov"), nullptr);
        opened < 0) {
        return unreadable(opened);
    }
    std::unique_ptr<AVFormatContext, FormatCloser> input(rawInput);
    const int index = av_find_best_stream(rawInput, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        return unreadable(index);
    }
    const AVStream& track = *rawInput->streams[index];

    auto opened = openOutput(movie);
    if (auto* error = std::get_if<Error>(&opened)) {
        return *error;
    }
    auto writer = std::move(std::get<std::unique_ptr<MovieWriter>>(opened));
    Parts& parts = *writer->parts_;
    auto failed = [&](const std::string& what, int code) -> CopyResult {
        Error error = writer->fail(what, code).value();
        writer.reset();
        std::error_code ignored;
        std::filesystem::remove(movie, ignored);
        return error;
    };
    parts.stream = avformat_new_stream(parts.output.get(), nullptr);
    parts.packet.reset(av_packet_alloc());
    if (parts.stream == nullptr || !parts.packet) {
        return failed("video track", AVERROR(ENOMEM));
    }
    if (const int copied = avcodec_parameters_copy(parts.stream->codecpar, track.codecpar);
        copied < 0) {
        return failed("video track", copied);
    }
    parts.stream->codecpar->codec_tag = 0;
    parts.stream->time_base = track.time_base;
    if (const int header = avformat_write_header(parts.output.get(), nullptr); header < 0) {
        return failed("header", header);
    }

    MovieCopy copy;
    std::int64_t first = AV_NOPTS_VALUE;
    std::int64_t end = 0;
    std::int64_t lastDts = AV_NOPTS_VALUE;
    const std::int64_t nominalDuration =
        av_rescale_q(kTimescale / MovieWriterSettings{}.framesPerSecond, AVRational{1, kTimescale},
                     track.time_base);
    auto write = [&](AVPacket& packet) {
        // Fragments carry no frame durations; the movie takes them from the following frames'
        // times, and the last one needs the interval before it, as the writer gives it.
        if (packet.duration <= 0) {
            packet.duration =
                packet.dts != AV_NOPTS_VALUE && lastDts != AV_NOPTS_VALUE && packet.dts > lastDts
                    ? packet.dts - lastDts
                    : nominalDuration;
        }
        lastDts = packet.dts;
        // The fragments start their decoding times at zero; the movie starts its first frame
        // there, as the writer does, so that its edit list keeps the last frames.
        first = first == AV_NOPTS_VALUE ? packet.pts : first;
        end = std::max(end, packet.pts + packet.duration);
        packet.pts -= first;
        packet.dts = packet.dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet.dts - first;
        av_packet_rescale_ts(&packet, track.time_base, parts.stream->time_base);
        packet.stream_index = parts.stream->index;
        packet.pos = -1;
        const int wrote = av_write_frame(parts.output.get(), &packet);
        av_packet_unref(&packet);
        ++copy.frames;
        return wrote;
    };

    // Frames are held back from one shown after all before it (a frame that is not predicted
    // from a later one) to the next such frame: where the file ends inside such a group, the
    // frames of the group that are there would be shown after a gap, and are left out.
    std::vector<std::unique_ptr<AVPacket, PacketFreer>> group;
    std::int64_t latest = AV_NOPTS_VALUE;
    AVPacket& packet = *parts.packet;
    // Reading ends at the end of the file, at a fragment cut off inside its header, or at a
    // frame whose data the file does not hold in full.
    bool cut = false;
    while (av_read_frame(rawInput, &packet) >= 0) {
        if (packet.stream_index != index || packet.pts == AV_NOPTS_VALUE) {
            av_packet_unref(&packet);
            continue;
        }
        if (packet.pos < 0 || packet.pos + packet.size > fileSize ||
            (packet.flags & AV_PKT_FLAG_CORRUPT) != 0) {
            av_packet_unref(&packet);
            cut = true;
            break;
        }
        if (latest == AV_NOPTS_VALUE || packet.pts > latest) {
            latest = packet.pts;
            for (auto& held : group) {
                if (const int wrote = write(*held); wrote < 0) {
                    return failed("frame", wrote);
                }
            }
            group.clear();
        }
        group.emplace_back(av_packet_alloc());
        if (!group.back()) {
            av_packet_unref(&packet);
            return failed("frame", AVERROR(ENOMEM));
        }
        av_packet_move_ref(group.back().get(), &packet);
    }
    // A file that ends between fragments may still end inside a group: only a finished one
    // (its last fragment written at the end) holds its last group whole.
    if (!cut && !interrupted) {
        for (auto& held : group) {
            if (const int wrote = write(*held); wrote < 0) {
                return failed("frame", wrote);
            }
        }
    }
    if (copy.frames > 0) {
        copy.seconds = static_cast<double>(end - first) * av_q2d(track.time_base);
    }
    if (auto error = writer->closeFile()) {
        return failed("file", error->code);
    }
    return copy;
}

}  // namespace kestrel
