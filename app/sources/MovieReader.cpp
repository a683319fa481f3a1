#include "app/sources/MovieReader.h"

#include "app/sources/FfmpegPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <libyuv/convert_argb.h>

#include <opencv2/imgproc.hpp>

#include <array>
#include <string>

#include "app/sources/FfmpegLog.h"
#include "platform/media/ImageOps.h"

namespace kestrel {

namespace {

struct SwsFreer {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

const libyuv::YuvConstants* yuvMatrix(const AVFrame& frame) {
    if (frame.color_range == AVCOL_RANGE_JPEG || frame.format == AV_PIX_FMT_YUVJ420P) {
        return &libyuv::kYuvJPEGConstants;
    }
    if (frame.colorspace == AVCOL_SPC_BT709) {
        return &libyuv::kYuvH709Constants;
    }
    return &libyuv::kYuvI601Constants;
}

bool validSize(int width, int height) {
    return width > 0 && height > 0 && width <= MovieReader::kMaxDimension &&
           height <= MovieReader::kMaxDimension;
}

}  // namespace

struct MovieReader::Parts {
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameFreer> frame;
    std::unique_ptr<AVPacket, PacketFreer> packet;
    std::unique_ptr<SwsContext, SwsFreer> sws;
    int streamIndex = -1;
    int width = 0;
    int height = 0;
};

MovieReader::MovieReader(Private, std::filesystem::path url)
    : url_(std::move(url)), parts_(std::make_unique<Parts>()) {}

MovieReader::~MovieReader() = default;

int MovieReader::width() const {
    return parts_->width;
}
int MovieReader::height() const {
    return parts_->height;
}

MovieReader::OpenResult MovieReader::open(const std::filesystem::path& url, int decoderThreads) {
    const std::string name = url.filename().string();
    auto unreadable = [&](int code) {
        std::string why = describeAvError(code);
        if (code == AVERROR_INVALIDDATA) {
            why = "not a QuickTime movie, or a damaged one (" + why + ")";
        }
        return Error{std::string(kErrorDomain), kUnreadable, "cannot read " + name + ": " + why};
    };
    std::error_code sizeError;
    if (std::filesystem::file_size(url, sizeError) == 0 && !sizeError) {
        return Error{std::string(kErrorDomain), kUnreadable,
                     "cannot read " + name + ": the file is empty"};
    }
    quietFfmpegLog();
    auto reader = std::make_unique<MovieReader>(Private{}, url);
    Parts& parts = *reader->parts_;

    // Only QuickTime movies from local files; references to other files are never followed.
    AVDictionary* rawOptions = nullptr;
    av_dict_set(&rawOptions, "protocol_whitelist", "file", 0);
    std::unique_ptr<AVDictionary, DictionaryFreer> options(rawOptions);
    AVFormatContext* rawFormat = nullptr;
    rawOptions = options.release();
    const int opened =
        avformat_open_input(&rawFormat, url.c_str(), av_find_input_format("mov"), &rawOptions);
    options.reset(rawOptions);
    if (opened < 0) {
        return unreadable(opened);
    }
    parts.format.reset(rawFormat);
    if (const int found = avformat_find_stream_info(rawFormat, nullptr); found < 0) {
        return unreadable(found);
    }

    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(rawFormat, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index == AVERROR_STREAM_NOT_FOUND) {
        return Error{std::string(kErrorDomain), kNoVideoTrack, name + " has no video track"};
    }
    auto cannotDecode = [&](const std::string& why) {
        return Error{std::string(kErrorDomain), kCannotDecode,
                     "cannot decode the video of " + name + ": " + why};
    };
    if (index < 0 || decoder == nullptr) {
        return cannotDecode(describeAvError(index));
    }
    for (unsigned i = 0; i < rawFormat->nb_streams; ++i) {
        rawFormat->streams[i]->discard =
            static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    const AVCodecParameters* codecpar = rawFormat->streams[index]->codecpar;
    if (!validSize(codecpar->width, codecpar->height)) {
        return cannotDecode("unsupported frame size " + std::to_string(codecpar->width) + "x" +
                            std::to_string(codecpar->height));
    }
    parts.codec.reset(avcodec_alloc_context3(decoder));
    parts.frame.reset(av_frame_alloc());
    parts.packet.reset(av_packet_alloc());
    if (!parts.codec || !parts.frame || !parts.packet) {
        return cannotDecode("out of memory");
    }
    if (const int copied = avcodec_parameters_to_context(parts.codec.get(), codecpar); copied < 0) {
        return cannotDecode(describeAvError(copied));
    }
    parts.codec->thread_count = decoderThreads;
    if (const int started = avcodec_open2(parts.codec.get(), decoder, nullptr); started < 0) {
        return cannotDecode(describeAvError(started));
    }
    parts.streamIndex = index;
    parts.width = codecpar->width;
    parts.height = codecpar->height;
    return reader;
}

bool MovieReader::readFrame(PixelBuffer& dest) {
    Parts& parts = *parts_;
    while (!finished_) {
        const int received = avcodec_receive_frame(parts.codec.get(), parts.frame.get());
        if (received == 0) {
            const bool converted = convert(*parts.frame, dest);
            av_frame_unref(parts.frame.get());
            if (converted) {
                return true;
            }
            finished_ = true;  // a frame we cannot show ends the pass
            break;
        }
        if (received != AVERROR(EAGAIN) || draining_) {
            finished_ = true;  // end of stream or a decoder failure
            break;
        }
        const int read = av_read_frame(parts.format.get(), parts.packet.get());
        if (read < 0) {
            // End of file or a read failure: let the decoder hand out what it still holds.
            draining_ = true;
            avcodec_send_packet(parts.codec.get(), nullptr);
            continue;
        }
        if (parts.packet->stream_index == parts.streamIndex) {
            // A damaged packet is skipped; the decoder conceals what it can.
            avcodec_send_packet(parts.codec.get(), parts.packet.get());
        }
        av_packet_unref(parts.packet.get());
    }
    return false;
}

bool MovieReader::convert(const AVFrame& frame, PixelBuffer& dest) {
    if (!validSize(frame.width, frame.height)) {
        return false;
    }
    if (frame.width == dest.width() && frame.height == dest.height()) {
        return toBgra(frame, dest);
    }
    if (scaleI420(frame, dest)) {
        return true;
    }
    if (!scratch_ || scratch_->width() != frame.width || scratch_->height() != frame.height) {
        scratch_ = PixelBuffer::create(frame.width, frame.height);
        if (!scratch_) {
            return false;
        }
    }
    if (!toBgra(frame, *scratch_)) {
        return false;
    }
    image::scaleToFill(*scratch_, dest);
    return true;
}

// Scales the three planes of a 4:2:0 frame to the destination's size and converts only then: the
// resample reads 1.5 bytes a pixel instead of 4 and the conversion runs at the smaller size.
bool MovieReader::scaleI420(const AVFrame& frame, PixelBuffer& dest) {
    if ((frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUVJ420P) ||
        frame.width % 2 != 0 || frame.height % 2 != 0 || dest.width() % 2 != 0 ||
        dest.height() % 2 != 0 || frame.linesize[0] <= 0 || frame.linesize[1] <= 0 ||
        frame.linesize[2] <= 0) {
        return false;
    }
    const int width = dest.width();
    const int height = dest.height();
    const std::size_t lumaBytes =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    i420_.resize(lumaBytes + lumaBytes / 2);
    std::uint8_t* planes[3] = {i420_.data(), i420_.data() + lumaBytes,
                               i420_.data() + lumaBytes + lumaBytes / 4};
    const image::PixelRect crop = image::fillCropRect(frame.width, frame.height, width, height, 2);
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const cv::Mat source(frame.height >> shift, frame.width >> shift, CV_8UC1,
                             frame.data[plane], static_cast<std::size_t>(frame.linesize[plane]));
        cv::Mat target(height >> shift, width >> shift, CV_8UC1, planes[plane]);
        cv::resize(source(cv::Rect(crop.x >> shift, crop.y >> shift, crop.width >> shift,
                                   crop.height >> shift)),
                   target, target.size(), 0, 0, cv::INTER_LINEAR);
    }
    return libyuv::I420ToARGBMatrix(planes[0], width, planes[1], width / 2, planes[2], width / 2,
                                    dest.data(), dest.stride(), yuvMatrix(frame), width,
                                    height) == 0;
}

bool MovieReader::toBgra(const AVFrame& frame, PixelBuffer& target) {
    if (frame.format == AV_PIX_FMT_YUV420P || frame.format == AV_PIX_FMT_YUVJ420P) {
        return libyuv::I420ToARGBMatrix(frame.data[0], frame.linesize[0], frame.data[1],
                                        frame.linesize[1], frame.data[2], frame.linesize[2],
                                        target.data(), target.stride(), yuvMatrix(frame),
                                        frame.width, frame.height) == 0;
    }
    const auto format = static_cast<AVPixelFormat>(frame.format);
    if (av_pix_fmt_desc_get(format) == nullptr) {
        return false;
    }
    parts_->sws.reset(sws_getCachedContext(parts_->sws.release(), frame.width, frame.height, format,
                                           target.width(), target.height(), AV_PIX_FMT_BGRA,
                                           SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!parts_->sws) {
        return false;
    }
    std::uint8_t* planes[4] = {target.data(), nullptr, nullptr, nullptr};
    const int strides[4] = {target.stride(), 0, 0, 0};
    return sws_scale(parts_->sws.get(), frame.data, frame.linesize, 0, frame.height, planes,
                     strides) > 0;
}

}  // namespace kestrel
