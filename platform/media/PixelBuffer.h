#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/runtime/UniqueFd.h"

namespace kestrel {

// Where a buffer's pixels live: ordinary memory, or a sealed memfd mapping whose descriptor can be
// passed to another process.
enum class PixelStorage { heap, sharedMemory };

// A 32-bit BGRA image (byte order B, G, R, A in memory) with rows `stride` bytes apart. Shared by
// reference (`PixelBufferRef`); whoever holds a reference keeps the pixels alive. Rows start on
// 64-byte boundaries.
class PixelBuffer {
  public:
    static constexpr int kBytesPerPixel = 4;

    // Allocates an uninitialised buffer; nullptr when the size is invalid or memory is short.
    static std::shared_ptr<PixelBuffer> create(int width, int height,
                                               PixelStorage storage = PixelStorage::heap);
    // The same, solely owned; pools hand these out under their own deleter.
    static std::unique_ptr<PixelBuffer> createUnique(int width, int height,
                                                     PixelStorage storage = PixelStorage::heap);

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }
    std::size_t byteSize() const { return static_cast<std::size_t>(stride_) * height_; }
    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::uint8_t* row(int y) { return data_ + static_cast<std::ptrdiff_t>(y) * stride_; }
    const std::uint8_t* row(int y) const {
        return data_ + static_cast<std::ptrdiff_t>(y) * stride_;
    }
    PixelStorage storage() const { return storage_; }
    // The memfd behind a shared-memory buffer, -1 for heap buffers. The buffer keeps ownership.
    int fd() const { return fd_.get(); }
    bool sameSize(const PixelBuffer& other) const {
        return width_ == other.width_ && height_ == other.height_;
    }

    // Fills every pixel with one colour.
    void fill(std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a = 255);

  private:
    struct Private {
        explicit Private() = default;
    };

  public:
    PixelBuffer(Private, int width, int height, int stride, PixelStorage storage,
                std::uint8_t* data, std::size_t mappedSize, UniqueFd fd);

  private:
    int width_;
    int height_;
    int stride_;
    PixelStorage storage_;
    std::uint8_t* data_;
    std::size_t mappedSize_;  // heap: allocation size; shared memory: mapping length
    UniqueFd fd_;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// Hands out buffers of one size and takes them back when their last reference goes, so that the
// frame path allocates only while the pool grows to its working set. The pool may be released
// while buffers are out; they are then freed normally.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
  public:
    static std::shared_ptr<PixelBufferPool> create(int width, int height,
                                                   PixelStorage storage = PixelStorage::heap,
                                                   std::size_t maxIdle = 4);

    // A free buffer (contents left from its last use) or a new one; nullptr if allocation fails.
    PixelBufferRef acquire();

    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t idleCount() const;
    std::size_t allocatedCount() const;

  private:
    struct Private {
        explicit Private() = default;
    };

  public:
    PixelBufferPool(Private, int width, int height, PixelStorage storage, std::size_t maxIdle);

  private:
    void recycle(std::unique_ptr<PixelBuffer> buffer);

    int width_;
    int height_;
    PixelStorage storage_;
    std::size_t maxIdle_;
    mutable std::mutex mutex_;  // buffers come back from whichever thread released them
    std::vector<std::unique_ptr<PixelBuffer>> idle_;
    std::size_t allocated_ = 0;
};

using PixelBufferPoolRef = std::shared_ptr<PixelBufferPool>;

}  // namespace kestrel
