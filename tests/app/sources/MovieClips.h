#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <variant>

extern "C" {
#include <libavformat/avformat.h>
}

#include <vector>

#include "app/sources/MovieWriter.h"
#include "platform/media/PixelBuffer.h"

namespace kestrel::testing {

// Frame i of a test clip is one flat grey whose level tells its index; levels are far enough
// apart that H.264 at CRF 23 keeps them apart, and blends of two levels are told apart by weight.
inline int greyForIndex(int index) {
    return 16 + 20 * index;
}

inline PixelBufferRef greyFrame(int width, int height, int grey) {
    auto frame = PixelBuffer::create(width, height);
    const auto level = static_cast<std::uint8_t>(grey);
    frame->fill(level, level, level);
    return frame;
}

// The mean of the green channel over a grid of points across the frame.
inline double meanGrey(const PixelBuffer& frame) {
    double sum = 0;
    int count = 0;
    for (int y = frame.height() / 10; y < frame.height(); y += frame.height() / 5) {
        for (int x = frame.width() / 10; x < frame.width(); x += frame.width() / 5) {
            sum += frame.row(y)[x * 4 + 1];
            ++count;
        }
    }
    return sum / count;
}

// The largest difference of any sampled point's green channel from `grey`: a flat frame has 0
// plus coding noise.
inline double maxDeviation(const PixelBuffer& frame, double grey) {
    double worst = 0;
    for (int y = 0; y < frame.height(); y += std::max(1, frame.height() / 9)) {
        for (int x = 0; x < frame.width(); x += std::max(1, frame.width() / 9)) {
            worst = std::max(worst, std::abs(frame.row(y)[x * 4 + 1] - grey));
        }
    }
    worst = std::max(worst,
                     std::abs(frame.row(frame.height() - 1)[(frame.width() - 1) * 4 + 1] - grey));
    return worst;
}

inline int indexOfGrey(double grey) {
    return static_cast<int>(std::lround((grey - 16.0) / 20.0));
}

// Writes a clip of `frames` flat frames, frame i with greyForIndex(i), at 15 frames a second.
inline void writeClip(const std::filesystem::path& path, int frames, int width = 320,
                      int height = 180) {
    auto created = MovieWriter::create(path, {.width = width, .height = height});
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<MovieWriter>>(created))
        << std::get<Error>(created).description;
    auto& writer = *std::get<std::unique_ptr<MovieWriter>>(created);
    for (int i = 0; i < frames; ++i) {
        ASSERT_FALSE(writer.append(*greyFrame(width, height, greyForIndex(i)),
                                   i * (MovieWriter::kTimescale / 15)));
    }
    ASSERT_FALSE(writer.finish());
}

// A QuickTime movie with one stream described by `setUp` and one packet of `packetSize` bytes.
template <class SetUp>
void writeOneStreamMovie(const std::filesystem::path& path, SetUp setUp, int packetSize) {
    AVFormatContext* output = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&output, nullptr, "mov", path.c_str()), 0);
    AVStream* stream = avformat_new_stream(output, nullptr);
    ASSERT_NE(stream, nullptr);
    setUp(*stream);
    ASSERT_GE(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(output, nullptr), 0);
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(packetSize), 0x40);
    AVPacket* packet = av_packet_alloc();
    packet->data = payload.data();
    packet->size = packetSize;
    packet->stream_index = stream->index;
    packet->pts = packet->dts = 0;
    packet->duration = 1;
    packet->flags = AV_PKT_FLAG_KEY;
    EXPECT_GE(av_write_frame(output, packet), 0);
    av_packet_free(&packet);
    EXPECT_GE(av_write_trailer(output), 0);
    avio_closep(&output->pb);
    avformat_free_context(output);
}

// A movie with one sound track and no picture.
inline void writeMovieWithoutVideo(const std::filesystem::path& path) {
    writeOneStreamMovie(
        path,
        [](AVStream& stream) {
            stream.time_base = AVRational{1, 8000};
            stream.codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
            stream.codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
            stream.codecpar->sample_rate = 8000;
            av_channel_layout_default(&stream.codecpar->ch_layout, 1);
        },
        1600);
}

// A movie whose only video frame is 9000 pixels wide: more than any loop may be.
inline void writeMovieWithHugeFrames(const std::filesystem::path& path) {
    writeOneStreamMovie(
        path,
        [](AVStream& stream) {
            stream.time_base = AVRational{1, 15};
            stream.codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
            stream.codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
            stream.codecpar->format = AV_PIX_FMT_RGB24;
            stream.codecpar->bits_per_coded_sample = 24;
            stream.codecpar->width = 9000;
            stream.codecpar->height = 2;
        },
        9000 * 2 * 3);
}

}  // namespace kestrel::testing
