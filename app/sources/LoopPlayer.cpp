#include "app/sources/LoopPlayer.h"

#include "platform/media/ImageOps.h"

namespace kestrel {

namespace {

MaybeError openError(Error error) {
    if (error.domain == MovieReader::kErrorDomain && error.code == MovieReader::kNoVideoTrack) {
        return Error{std::string(LoopPlayer::kErrorDomain), LoopPlayer::kNoVideoTrack,
                     "No video track"};
    }
    if (error.domain == MovieReader::kErrorDomain && error.code == MovieReader::kCannotDecode) {
        return Error{std::string(LoopPlayer::kErrorDomain), LoopPlayer::kStartFailed,
                     "startReading failed"};
    }
    return error;  // the file cannot be read at all: the reader's own error
}

}  // namespace

// The reader of the current pass; decoder thread only.
struct LoopPlayer::Decoder {
    std::shared_ptr<MovieReader> reader;
    PixelBufferPoolRef pool;

    PixelBufferRef decode() {
        PixelBufferRef frame = pool ? pool->acquire() : nullptr;
        if (frame && reader && reader->readFrame(*frame)) {
            return frame;
        }
        return nullptr;
    }

    // The next frame; at the end of a pass the file is opened again and the new pass's first
    // frame is marked. A failed reopen keeps the exhausted reader, so every request retries.
    Decoded next(const std::optional<std::filesystem::path>& url) {
        Decoded result;
        if (!reader) {
            return result;
        }
        if ((result.frame = decode())) {
            return result;
        }
        if (!url) {
            return result;
        }
        auto opened = MovieReader::open(*url);
        if (std::holds_alternative<Error>(opened)) {
            return result;  // none: the engine holds the last frame it showed
        }
        reader = std::move(std::get<std::unique_ptr<MovieReader>>(opened));
        result.frame = decode();
        result.newPass = result.frame != nullptr;
        return result;
    }
};

LoopPlayer::LoopPlayer(int width, int height, Executor& main)
    : main_(main),
      ownDecoder_(std::make_unique<WorkerThread>("dev.corvid.kestrel.loop")),
      decoderExecutor_(*ownDecoder_),
      decoder_(std::make_shared<Decoder>()),
      pool_(PixelBufferPool::create(width, height, PixelStorage::heap, kPoolBuffers)) {
    decoder_->pool = pool_;
}

LoopPlayer::LoopPlayer(int width, int height, Executor& main, Executor& decoder)
    : main_(main),
      decoderExecutor_(decoder),
      decoder_(std::make_shared<Decoder>()),
      pool_(PixelBufferPool::create(width, height, PixelStorage::heap, kPoolBuffers)) {
    decoder_->pool = pool_;
}

LoopPlayer::~LoopPlayer() = default;

MaybeError LoopPlayer::openReader(const std::filesystem::path& url) {
    auto opened = MovieReader::open(url);
    if (auto* error = std::get_if<Error>(&opened)) {
        return openError(std::move(*error));
    }
    std::shared_ptr<MovieReader> reader = std::move(std::get<std::unique_ptr<MovieReader>>(opened));
    decoderExecutor_.post(
        [decoder = decoder_, reader = std::move(reader)] { decoder->reader = reader; });
    hasReader_ = true;
    ++generation_;
    ready_.reset();  // a frame of the old reader
    requestNext();
    return std::nullopt;
}

void LoopPlayer::requestNext() {
    requested_ = true;
    std::weak_ptr<bool> alive = alive_;
    decoderExecutor_.post([decoder = decoder_, url = url_, generation = generation_, alive,
                           main = &main_, self = this] {
        Decoded decoded = decoder->next(url);
        decoded.generation = generation;
        main->post([alive, self, decoded = std::move(decoded)] {
            if (alive.lock() && decoded.generation == self->generation_) {
                self->ready_ = decoded;
                self->requested_ = false;
            }
        });
    });
}

PixelBufferRef LoopPlayer::nextFrame() {
    if (!hasReader_ || !url_) {
        return nullptr;
    }
    if (!ready_) {
        if (!requested_) {
            requestNext();
        }
        return nullptr;  // not decoded yet: this frame answers the next request
    }
    Decoded decoded = std::move(*ready_);
    ready_.reset();
    requestNext();
    if (!decoded.frame) {
        return nullptr;
    }
    if (decoded.newPass) {
        seamRemaining_ = kCrossFadeFrames;
    }
    return process(std::move(decoded.frame));
}

void LoopPlayer::setOutputSize(int width, int height) {
    if (pool_ && pool_->width() == width && pool_->height() == height) {
        return;
    }
    PixelBufferPoolRef pool =
        PixelBufferPool::create(width, height, PixelStorage::heap, kPoolBuffers);
    if (!pool) {
        return;  // keep the old size: the engine scales what it gets
    }
    pool_ = pool;
    tail_.clear();
    decoderExecutor_.post([decoder = decoder_, pool = std::move(pool)] { decoder->pool = pool; });
}

PixelBufferRef LoopPlayer::process(PixelBufferRef frame) {
    if (seamRemaining_ > 0 && !tail_.empty()) {
        const auto k = static_cast<std::size_t>(kCrossFadeFrames - seamRemaining_);
        if (k < tail_.size()) {
            PixelBufferRef background = tail_[k];  // before `frame` joins the tail
            const double weight =
                static_cast<double>(k + 1) / static_cast<double>(kCrossFadeFrames + 1);
            PixelBufferRef blended = pool_ ? pool_->acquire() : nullptr;
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
