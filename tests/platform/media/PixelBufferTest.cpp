#include "platform/media/PixelBuffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

constexpr PixelStorage kStorages[] = {PixelStorage::heap, PixelStorage::sharedMemory};

TEST(PixelBuffer, InvalidSizesGiveNoBuffer) {
    constexpr int kSizes[][2] = {{0, 10}, {10, 0}, {-4, 10}, {10, -4}, {16385, 1}, {1, 16385}};
    for (const auto& [width, height] : kSizes) {
        for (const PixelStorage storage : kStorages) {
            EXPECT_EQ(PixelBuffer::create(width, height, storage), nullptr)
                << width << "x" << height;
        }
        EXPECT_EQ(PixelBufferPool::create(width, height), nullptr) << width << "x" << height;
    }
}

TEST(PixelBuffer, RowsStartOn64ByteBoundariesAndEveryByteIsUsable) {
    for (const PixelStorage storage : kStorages) {
        for (const int width : {1, 15, 16, 17, 569, 1279, 1920}) {
            const PixelBufferRef buffer = PixelBuffer::create(width, 7, storage);
            ASSERT_NE(buffer, nullptr);
            EXPECT_EQ(buffer->stride() % 64, 0) << width;
            EXPECT_GE(buffer->stride(), width * 4);
            EXPECT_LT(buffer->stride(), width * 4 + 64);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->data()) % 64, 0U);
            EXPECT_EQ(buffer->byteSize(), static_cast<std::size_t>(buffer->stride()) * 7);
            // The sanitizer build catches an allocation shorter than byteSize() here.
            std::fill(buffer->data(), buffer->data() + buffer->byteSize(), std::uint8_t{0});
            buffer->fill(10, 20, 30);
            for (int x = 0; x < width * 4; ++x) {
                ASSERT_EQ(buffer->row(6)[x], (std::array<int, 4>{10, 20, 30, 255}[x % 4]));
            }
            EXPECT_EQ(buffer->row(6)[buffer->stride() - 1], width % 16 == 0 ? 255 : 0);
        }
    }
}

TEST(PixelBuffer, SharedMemoryIsASealedMemfdThatOthersCanMap) {
    EXPECT_EQ(PixelBuffer::create(64, 64)->fd(), -1);
    const PixelBufferRef buffer = PixelBuffer::create(100, 30, PixelStorage::sharedMemory);
    ASSERT_NE(buffer, nullptr);
    const int fd = buffer->fd();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    const int seals = ::fcntl(fd, F_GET_SEALS);
    EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    EXPECT_EQ(::ftruncate(fd, 0), -1);
    EXPECT_EQ(errno, EPERM);
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_GE(static_cast<std::size_t>(info.st_size), buffer->byteSize());

    // A second mapping, as the receiving process would make, sees the pixels.
    buffer->fill(1, 2, 3, 4);
    void* mapped = ::mmap(nullptr, buffer->byteSize(), PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const auto* last = static_cast<const std::uint8_t*>(mapped) + 29 * buffer->stride() + 99 * 4;
    EXPECT_EQ(last[0], 1);
    EXPECT_EQ(last[3], 4);
    ::munmap(mapped, buffer->byteSize());
}

TEST(PixelBufferPool, HandsReleasedBuffersOutAgainAndKeepsAtMostItsIdleCap) {
    for (const PixelStorage storage : kStorages) {
        const PixelBufferPoolRef pool = PixelBufferPool::create(320, 180, storage, 2);
        PixelBufferRef first = pool->acquire();
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first->width(), 320);
        EXPECT_EQ(first->storage(), storage);
        const std::uint8_t* pixels = first->data();
        first.reset();
        EXPECT_EQ(pool->idleCount(), 1U);
        EXPECT_EQ(pool->acquire()->data(), pixels);  // and straight back

        std::vector<PixelBufferRef> out(5);
        std::generate(out.begin(), out.end(), [&] { return pool->acquire(); });
        EXPECT_EQ(pool->allocatedCount(), 5U);
        out.clear();
        EXPECT_EQ(pool->idleCount(), 2U);
        EXPECT_EQ(pool->allocatedCount(), 2U);
        const PixelBufferRef a = pool->acquire();
        const PixelBufferRef b = pool->acquire();
        EXPECT_NE(a->data(), b->data());
        EXPECT_EQ(pool->allocatedCount(), 2U);  // the working set needs no new allocation
    }
}

TEST(PixelBufferPool, ABufferMayOutliveItsPoolAndComeBackFromOtherThreads) {
    PixelBufferPoolRef pool = PixelBufferPool::create(64, 8, PixelStorage::sharedMemory);
    PixelBufferRef buffer = pool->acquire();
    ASSERT_NE(buffer, nullptr);
    pool.reset();
    buffer->fill(7, 7, 7);  // still mapped
    EXPECT_EQ(buffer->row(7)[63 * 4], 7);
    buffer.reset();  // freed, not recycled into the dead pool

    // Buffers may come back from other threads.
    pool = PixelBufferPool::create(32, 32, PixelStorage::heap, 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool] {
            for (int i = 0; i < 200; ++i) {
                const PixelBufferRef taken = pool->acquire();
                taken->row(0)[0] = static_cast<std::uint8_t>(i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_LE(pool->idleCount(), 3U);
    EXPECT_EQ(pool->allocatedCount(), pool->idleCount());
}

}  // namespace
}  // namespace kestrel
