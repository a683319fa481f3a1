#include "app/sources/LoopPlayer.h"

#include "platform/media/ImageOps.h"

namespace kestrel {

LoopPlayer::LoopPlayer(int width, int height)
    : pool_(PixelBufferPool::create(width, height, PixelStorage::heap, kPoolBuffers)) {}

LoopPlayer::~LoopPlayer() = default;

MaybeError LoopPlayer::openReader(const std::filesystem::path& url) {
    auto opened = MovieReader::open(url);
    if (auto* error = std::get_if<Error>(&opened)) {
        if (error->domain == MovieReader::kErrorDomain &&
            error->code == MovieReader::kNoVideoTrack) {
            return Error{std::string(kErrorDomain), kNoVideoTrack, "No video track"};
        }
        if (error->domain == MovieReader::kErrorDomain &&
            error->code == MovieReader::kCannotDecode) {
            return Error{std::string(kErrorDomain), kStartFailed, "startReading failed"};
        }
        return *error;  // the file cannot be read at all: the reader's own error
    }
    reader_ = std::move(std::get<std::unique_ptr<MovieReader>>(opened));
    return std::nullopt;
}

PixelBufferRef LoopPlayer::decode(MovieReader& reader) {
    PixelBufferRef frame = pool_ ? pool_->acquire() : nullptr;
    if (frame && reader.readFrame(*frame)) {
        return frame;
    }
    return nullptr;
}

PixelBufferRef LoopPlayer::nextFrame() {
    if (!reader_ || !url_) {
        return nullptr;
    }
    if (PixelBufferRef frame = decode(*reader_)) {
        return process(std::move(frame));
    }
    // The pass has ended (or failed): start the file again. A failed reopen keeps the exhausted
    // reader, so every later request tries again.
    if (openReader(*url_)) {
        return nullptr;
    }
    PixelBufferRef first = decode(*reader_);
    if (!first) {
        return nullptr;
    }
    seamRemaining_ = kCrossFadeFrames;
    return process(std::move(first));
}

PixelBufferRef LoopPlayer::process(PixelBufferRef frame) {
    if (seamRemaining_ > 0 && !tail_.empty()) {
        const auto k = static_cast<std::size_t>(kCrossFadeFrames - seamRemaining_);
        if (k < tail_.size()) {
            PixelBufferRef background = tail_[k];  // before `frame` joins the tail
            const double weight =
                static_cast<double>(k + 1) / static_cast<double>(kCrossFadeFrames + 1);
            PixelBufferRef blended = pool_->acquire();
            --seamRemaining_;
            appendToTail(frame);
            if (blended && image::blend(*frame, *background, weight, *blended)) {
                return blended;
            }
            return frame;
        }
        seamRemaining_ = 0;  // a short file: the tail ran out, the seam ends early
    }
    appendToTail(frame);
    return frame;
}

void LoopPlayer::appendToTail(PixelBufferRef frame) {
    tail_.push_back(std::move(frame));
    while (tail_.size() > static_cast<std::size_t>(kCrossFadeFrames)) {
        tail_.pop_front();
    }
}

}  // namespace kestrel
