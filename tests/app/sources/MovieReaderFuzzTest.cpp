#include <gtest/gtest.h>

#include <random>
#include <string>

#include "app/sources/LoopPlayer.h"
#include "app/sources/MovieReader.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/sources/MovieClips.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kSeedFrames = 5;
// Enough to read any damaged copy of the seed to its end; more would mean a runaway reader.
constexpr int kFrameLimit = 1000;

// Damages a copy of a movie the way a bad disk, a cut-off copy or a hostile file would: flipped
// bits, box sizes and counts set to extremes, cuts, repeated and inserted runs.
std::string mutate(const std::string& movie, std::mt19937& random) {
    std::string copy = movie;
    auto at = [&](std::size_t size) {
        return std::uniform_int_distribution<std::size_t>(0, size - 1)(random);
    };
    const int kind = std::uniform_int_distribution<int>(0, 4)(random);
    switch (kind) {
        case 0:  // flip a few bits
            for (int i = std::uniform_int_distribution<int>(1, 8)(random); i > 0; --i) {
                copy[at(copy.size())] ^= static_cast<char>(1U << (random() % 8));
            }
            break;
        case 1: {  // a 32-bit field set to an extreme
            static constexpr std::uint32_t kExtremes[] = {0,          1, 0x7FFFFFFF, 0xFFFFFFFF,
                                                          0x80000000, 8, 16};
            const std::uint32_t value = kExtremes[random() % std::size(kExtremes)];
            const std::size_t offset = at(copy.size() - 4);
            for (int byte = 0; byte < 4; ++byte) {
                copy[offset + static_cast<std::size_t>(byte)] =
                    static_cast<char>(value >> (8 * (3 - byte)));
            }
            break;
        }
        case 2:  // cut off
            copy.resize(at(copy.size()));
            break;
        default: {  // a run repeated, or random bytes inserted
            const std::size_t offset = at(copy.size());
            copy.insert(offset, kind == 3
                                    ? copy.substr(offset, 1 + random() % 64)
                                    : std::string(1 + random() % 32, static_cast<char>(random())));
            break;
        }
    }
    return copy;
}

TEST(MovieReaderFuzz, DamagedMoviesFailWithAClearErrorOrDecodeBoundedFrames) {
    TempFolder temp;
    const auto seedPath = temp.path() / "seed.mov";
    testing::writeClip(seedPath, kSeedFrames, kWidth, kHeight);
    const std::string seed = readFile(seedPath);
    ASSERT_FALSE(seed.empty());

    auto frame = PixelBuffer::create(kWidth, kHeight);
    auto readAll = [&](const std::filesystem::path& path, int& frames) -> MaybeError {
        auto opened = MovieReader::open(path);
        if (auto* error = std::get_if<Error>(&opened)) {
            return *error;
        }
        auto& reader = *std::get<std::unique_ptr<MovieReader>>(opened);
        frames = 0;
        while (frames < kFrameLimit && reader.readFrame(*frame)) {
            ++frames;
        }
        return std::nullopt;
    };
    int frames = 0;
    ASSERT_FALSE(readAll(seedPath, frames));
    ASSERT_EQ(frames, kSeedFrames);

    // A fixed seed keeps the run repeatable; the count keeps it bounded.
    std::mt19937 random(20261206);
    constexpr int kMutants = 400;
    int opened = 0;
    int refused = 0;
    const auto path = temp.path() / "mutant.mov";
    for (int i = 0; i < kMutants; ++i) {
        writeFile(path, mutate(seed, random));
        frames = 0;
        if (const MaybeError error = readAll(path, frames)) {
            ++refused;
            EXPECT_EQ(error->domain, "MovieReader");
            EXPECT_GE(error->code, 1);
            EXPECT_LE(error->code, 3);
            EXPECT_FALSE(error->description.empty());
        } else {
            ++opened;
            EXPECT_LT(frames, kFrameLimit) << "mutant " << i;
        }
        if (i % 20 == 0) {
            // Through the player too: it wraps and reopens the damaged file without harm.
            ManualExecutor executor;
            LoopPlayer player(kWidth, kHeight, executor, executor);
            player.setUrl(path);
            if (!player.openReader(path)) {
                for (int request = 0; request < 2 * kSeedFrames + 2; ++request) {
                    executor.runUntilIdle();
                    player.nextFrame();
                }
            }
        }
    }
    // Both outcomes were exercised.
    EXPECT_GT(opened, kMutants / 10);
    EXPECT_GT(refused, kMutants / 10);
}

}  // namespace
}  // namespace kestrel
