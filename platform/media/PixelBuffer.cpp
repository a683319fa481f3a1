#include "platform/media/PixelBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include <libyuv/planar_functions.h>

namespace kestrel {

namespace {

constexpr int kRowAlignment = 64;
// Larger than any camera or loop frame we handle; guards size arithmetic against overflow.
constexpr int kMaxDimension = 16384;

struct Allocation {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    UniqueFd fd;
};

Allocation allocate(std::size_t bytes, PixelStorage storage) {
    Allocation out;
    if (storage == PixelStorage::heap) {
        const std::size_t rounded = (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
        out.data = static_cast<std::uint8_t*>(std::aligned_alloc(kRowAlignment, rounded));
        out.size = rounded;
        return out;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t length = (bytes + page - 1) / page * page;
    UniqueFd fd(::memfd_create("kestrel-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(length)) != 0) {
        return out;
    }
    // A peer that receives the descriptor cannot shrink the file under our mapping; a buffer
    // that could not be sealed is not handed out.
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return out;
    }
    void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapped == MAP_FAILED) {
        return out;
    }
    out.data = static_cast<std::uint8_t*>(mapped);
    out.size = length;
    out.fd = std::move(fd);
    return out;
}

}  // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, PixelStorage storage) {
    return createUnique(width, height, storage);
}

std::unique_ptr<PixelBuffer> PixelBuffer::createUnique(int width, int height,
                                                       PixelStorage storage) {
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
        return nullptr;
    }
    const int stride = (width * kBytesPerPixel + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    Allocation memory =
        allocate(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), storage);
    if (memory.data == nullptr) {
        return nullptr;
    }
    return std::make_unique<PixelBuffer>(Private{}, width, height, stride, storage, memory.data,
                                         memory.size, std::move(memory.fd));
}

PixelBuffer::PixelBuffer(Private, int width, int height, int stride, PixelStorage storage,
                         std::uint8_t* data, std::size_t mappedSize, UniqueFd fd)
    : width_(width),
      height_(height),
      stride_(stride),
      storage_(storage),
      data_(data),
      mappedSize_(mappedSize),
      fd_(std::move(fd)) {}

PixelBuffer::~PixelBuffer() {
    if (storage_ == PixelStorage::heap) {
        std::free(data_);  // NOLINT(cppcoreguidelines-no-malloc): paired with aligned_alloc
    } else {
        ::munmap(data_, mappedSize_);
    }
}

void PixelBuffer::fill(std::uint8_t b, std::uint8_t g, std::uint8_t r, std::uint8_t a) {
    const std::uint32_t value =
        static_cast<std::uint32_t>(b) | (static_cast<std::uint32_t>(g) << 8U) |
        (static_cast<std::uint32_t>(r) << 16U) | (static_cast<std::uint32_t>(a) << 24U);
    libyuv::ARGBRect(data_, stride_, 0, 0, width_, height_, value);
}

std::shared_ptr<PixelBufferPool> PixelBufferPool::create(int width, int height,
                                                         PixelStorage storage,
                                                         std::size_t maxIdle) {
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
        return nullptr;
    }
    return std::make_shared<PixelBufferPool>(Private{}, width, height, storage, maxIdle);
}

PixelBufferPool::PixelBufferPool(Private, int width, int height, PixelStorage storage,
                                 std::size_t maxIdle)
    : width_(width), height_(height), storage_(storage), maxIdle_(maxIdle) {}

PixelBufferRef PixelBufferPool::acquire() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            buffer = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!buffer) {
        buffer = PixelBuffer::createUnique(width_, height_, storage_);
        if (!buffer) {
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        ++allocated_;
    }
    std::weak_ptr<PixelBufferPool> pool = weak_from_this();
    PixelBuffer* raw = buffer.release();
    return PixelBufferRef(raw, [pool](PixelBuffer* released) {
        std::unique_ptr<PixelBuffer> owned(released);
        if (auto alive = pool.lock()) {
            alive->recycle(std::move(owned));
        }
    });
}

void PixelBufferPool::recycle(std::unique_ptr<PixelBuffer> buffer) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < maxIdle_) {
        idle_.push_back(std::move(buffer));
    } else {
        --allocated_;
    }
}

std::size_t PixelBufferPool::idleCount() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

std::size_t PixelBufferPool::allocatedCount() const {
    std::lock_guard lock(mutex_);
    return allocated_;
}

}  // namespace kestrel
