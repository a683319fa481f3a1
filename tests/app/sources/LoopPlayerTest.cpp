#include <gtest/gtest.h>

#include <vector>

#include "app/sources/LoopPlayer.h"
#include "app/sources/MovieReader.h"
#include "platform/media/ImageOps.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/sources/MovieClips.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using testing::greyForIndex;
using testing::indexOfGrey;
using testing::maxDeviation;
using testing::meanGrey;
using testing::TempFolder;
using testing::writeClip;

constexpr int kWidth = 320;
constexpr int kHeight = 180;

class LoopPlayerTest : public ::testing::Test {
  protected:
    std::filesystem::path clip(const std::string& name, int frames) {
        const auto path = temp.path() / name;
        writeClip(path, frames, kWidth, kHeight);
        return path;
    }
    void load(const std::filesystem::path& path) {
        player.setUrl(path);
        const MaybeError error = player.openReader(path);
        ASSERT_FALSE(error) << error->description;
    }
    // The grey level of the next frame, once the decoder has run; -1 for none.
    double next() {
        executor.runUntilIdle();
        PixelBufferRef frame = player.nextFrame();
        if (!frame) {
            return -1;
        }
        EXPECT_EQ(frame->width(), kWidth);
        EXPECT_EQ(frame->height(), kHeight);
        return meanGrey(*frame);
    }

    TempFolder temp;
    ManualExecutor executor;  // main thread and decoder: decoding happens when the test says
    LoopPlayer player{kWidth, kHeight, executor, executor};
};

TEST_F(LoopPlayerTest, NothingBeforeALoadOrTheDecodeAndNoFrameIsSkipped) {
    EXPECT_EQ(player.nextFrame(), nullptr);
    // A url alone opens nothing.
    const auto path = clip("a.mov", 3);
    player.setUrl(path);
    executor.runUntilIdle();
    EXPECT_EQ(player.nextFrame(), nullptr);
    EXPECT_FALSE(player.hasReader());

    load(path);
    EXPECT_EQ(player.nextFrame(), nullptr);  // the decoder has not run
    EXPECT_EQ(indexOfGrey(next()), 0);
    EXPECT_EQ(player.nextFrame(), nullptr);
    EXPECT_EQ(player.nextFrame(), nullptr);
    EXPECT_EQ(indexOfGrey(next()), 1);
    EXPECT_EQ(indexOfGrey(next()), 2);
}

TEST_F(LoopPlayerTest, PlaysEveryFrameThenCrossFadesTheSeamThenContinuesUnblended) {
    constexpr int kFrames = 8;
    load(clip("a.mov", kFrames));
    std::vector<double> pass;  // the decoded levels of the first pass, A0 ... A7
    for (int i = 0; i < kFrames; ++i) {
        pass.push_back(next());
        EXPECT_EQ(indexOfGrey(pass.back()), i);
        EXPECT_EQ(player.seamRemaining(), 0);
    }
    // After the wrap, foreground frame f of the new pass (same levels) gets weight (f + 1) / 6
    // over background frame T of the tail.
    const int background[] = {kFrames - 5, kFrames - 3, kFrames - 1, 1, 3};
    for (int f = 0; f < 5; ++f) {
        const double weight = (f + 1) / 6.0;
        EXPECT_NEAR(next(), weight * pass[f] + (1 - weight) * pass[background[f]], 1.5) << f;
        EXPECT_EQ(player.seamRemaining(), LoopPlayer::kCrossFadeFrames - 1 - f);
    }
    for (int i = 5; i < kFrames; ++i) {
        EXPECT_NEAR(next(), pass[i], 1.0);
        EXPECT_EQ(player.seamRemaining(), 0);
    }
    // And the next pass wraps the same way.
    EXPECT_NEAR(next(), (pass[0] + 5 * pass[kFrames - 5]) / 6, 1.5);
    EXPECT_EQ(player.seamRemaining(), 4);
}

TEST_F(LoopPlayerTest, ShortFilesStillWrapAndBlendFromTheTailTheyHave) {
    load(clip("short.mov", 2));
    const double a = next();
    const double b = next();
    EXPECT_EQ(indexOfGrey(a), 0);
    EXPECT_EQ(indexOfGrey(b), 1);
    // Each wrap re-arms the seam; the tail index k moves on while the tail does. While the tail
    // still starts with the first pass, backgrounds match their foregrounds; from the third wrap
    // on the tail is shifted and a first frame is blended over a second one.
    EXPECT_NEAR(next(), a, 1.5);  // B0 over A0
    EXPECT_NEAR(next(), b, 1.5);  // B1 over A1
    EXPECT_EQ(player.seamRemaining(), 3);
    EXPECT_NEAR(next(), a, 1.5);                  // C0 over A0 (tail A0 A1 B0 B1)
    EXPECT_NEAR(next(), b, 1.5);                  // C1 over A1
    EXPECT_NEAR(next(), a / 6 + b * 5 / 6, 1.5);  // D0 over A1 (tail A1 B0 B1 C0 C1)
    EXPECT_NEAR(next(), b, 1.5);                  // D1 over B1
    EXPECT_EQ(player.seamRemaining(), 3);
}

TEST_F(LoopPlayerTest, ANewLoopStartsUnblendedAtItsFirstFrameAndANewSizeAtTheNextDecode) {
    load(clip("a.mov", 6));
    next();
    next();
    load(clip("b.mov", 3));
    EXPECT_EQ(indexOfGrey(next()), 0);
    EXPECT_EQ(player.seamRemaining(), 0);
    EXPECT_EQ(player.tailSize(), 3U);  // two of the old loop, one of the new

    // A new output size applies from the next decoded frame.
    executor.runUntilIdle();
    player.setOutputSize(160, 90);
    executor.runUntilIdle();
    auto first = player.nextFrame();  // decoded before the change
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width(), kWidth);
    executor.runUntilIdle();
    auto second = player.nextFrame();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->width(), 160);
    EXPECT_EQ(second->height(), 90);
    EXPECT_LT(maxDeviation(*second, greyForIndex(2)), 4.0);
}

// Reading a 4:3 movie straight into a smaller 16:9 buffer gives the picture that decoding at full
// size and then scaling to fill gives: same crop, same colours.
TEST_F(LoopPlayerTest, ReadingIntoAnotherSizeMatchesScalingTheFullFrame) {
    const auto path = temp.path() / "pattern.mov";
    auto full = PixelBuffer::create(640, 480);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            std::uint8_t* pixel = full->row(y) + x * 4;
            pixel[0] = static_cast<std::uint8_t>(x * 255 / 639);
            pixel[1] = static_cast<std::uint8_t>(y * 255 / 479);
            pixel[2] = ((x / 80 + y / 80) % 2) != 0 ? 220 : 30;
            pixel[3] = 255;
        }
    }
    auto created = MovieWriter::create(path, {.width = 640, .height = 480});
    auto& writer = *std::get<std::unique_ptr<MovieWriter>>(created);
    ASSERT_FALSE(writer.append(*full, 0));
    ASSERT_FALSE(writer.finish());
    const auto read = [&](PixelBuffer& dest) {
        auto opened = MovieReader::open(path);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<MovieReader>>(opened));
        ASSERT_TRUE(std::get<std::unique_ptr<MovieReader>>(opened)->readFrame(dest));
    };
    auto direct = PixelBuffer::create(320, 180);
    auto reference = PixelBuffer::create(320, 180);
    read(*full);
    read(*direct);
    image::scaleToFill(*full, *reference);

    double sum = 0;
    for (int y = 0; y < 180; ++y) {
        for (int x = 0; x < 320 * 4; ++x) {
            sum += std::abs(direct->row(y)[x] - reference->row(y)[x]);
        }
    }
    EXPECT_LT(sum / (320.0 * 180.0 * 4.0), 3.0);
    EXPECT_EQ(direct->row(90)[160 * 4 + 3], 255);
}

TEST_F(LoopPlayerTest, ADeletedFilePlaysItsOpenPassThenYieldsNothing) {
    const auto path = clip("gone.mov", 3);
    load(path);
    EXPECT_EQ(indexOfGrey(next()), 0);
    std::filesystem::remove(path);
    EXPECT_EQ(indexOfGrey(next()), 1);
    EXPECT_EQ(indexOfGrey(next()), 2);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(next(), -1);  // each request retries the reopen
        EXPECT_EQ(player.seamRemaining(), 0);
    }
    // The file comes back: playback resumes with the seam.
    writeClip(path, 3);
    EXPECT_NEAR(next(), greyForIndex(0) / 6.0 + greyForIndex(0) * 5.0 / 6, 2.0);
    EXPECT_EQ(player.seamRemaining(), 4);
}

class LoopPlayerOpenErrors : public LoopPlayerTest {};

TEST_F(LoopPlayerOpenErrors, UnreadableFilesFailWithTheReadersErrorAndKeepTheOldReader) {
    const auto good = clip("good.mov", 3);
    load(good);
    EXPECT_EQ(indexOfGrey(next()), 0);

    const auto empty = temp.path() / "empty.mov";
    testing::writeFile(empty, "");
    const auto text = temp.path() / "notes.mov";
    testing::writeFile(text, "These are not the frames you are looking for.\n");
    const std::string movie = testing::readFile(good);
    const auto truncated = temp.path() / "truncated.mov";
    testing::writeFile(truncated, movie.substr(0, movie.size() / 2));
    for (const auto& path : {temp.path() / "missing.mov", empty, text, truncated}) {
        player.setUrl(path);
        const MaybeError error = player.openReader(path);
        ASSERT_TRUE(error) << path;
        EXPECT_EQ(error->domain, "MovieReader");
        EXPECT_EQ(error->code, MovieReader::kUnreadable);
        EXPECT_EQ(error->description.rfind("cannot read " + path.filename().string() + ": ", 0), 0U)
            << error->description;
    }
    EXPECT_EQ(player.openReader(empty)->description, "cannot read empty.mov: the file is empty");
    EXPECT_EQ(player.openReader(text)->description,
              "cannot read notes.mov: not a QuickTime movie, or a damaged one (Invalid data found "
              "when processing input)");
    // The old reader keeps playing; at its end the reopen of the failed url yields nothing.
    EXPECT_EQ(indexOfGrey(next()), 1);
    EXPECT_EQ(indexOfGrey(next()), 2);
    EXPECT_EQ(next(), -1);
}

TEST_F(LoopPlayerOpenErrors, MoviesWithoutAPlayableVideoTrackGetTheTwoPlayerErrors) {
    const auto audio = temp.path() / "audio.mov";
    const auto huge = temp.path() / "huge.mov";
    testing::writeMovieWithoutVideo(audio);
    testing::writeMovieWithHugeFrames(huge);
    for (const auto& [path, code, description] :
         {std::tuple{audio, 1, "No video track"}, std::tuple{huge, 2, "startReading failed"}}) {
        const MaybeError error = player.openReader(path);
        ASSERT_TRUE(error) << path;
        EXPECT_EQ(error->domain, "LoopPlayer");
        EXPECT_EQ(error->code, code);
        EXPECT_EQ(error->description, description);
    }
    EXPECT_FALSE(player.hasReader());
}

}  // namespace
}  // namespace kestrel
