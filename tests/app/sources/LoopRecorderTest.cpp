#include <gtest/gtest.h>

#include <sched.h>

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <map>
#include <vector>

#include "app/sources/LoopPlayer.h"
#include "app/sources/LoopRecorder.h"
#include "app/state/SettingsStore.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/sources/MovieClips.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using std::filesystem::path;
using testing::greyForIndex;
using testing::greyFrame;
using testing::indexOfGrey;
using testing::meanGrey;
using testing::TempFolder;

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kFrameNanos = kNanosPerSecond / 15;

// The frame indices a movie decodes to, in order.
std::vector<int> decodedIndices(const path& file) {
    std::vector<int> indices;
    auto opened = MovieReader::open(file);
    if (auto* error = std::get_if<Error>(&opened)) {
        ADD_FAILURE() << error->description;
        return indices;
    }
    auto& reader = *std::get<std::unique_ptr<MovieReader>>(opened);
    auto frame = PixelBuffer::create(320, 180);
    while (reader.readFrame(*frame)) {
        indices.push_back(indexOfGrey(meanGrey(*frame)));
    }
    return indices;
}

struct Completed {
    int calls = 0;
    std::optional<path> url;
};

class LoopRecorderTest : public ::testing::Test {
  protected:
    // Small movies keep the tests quick; the recording rules do not depend on the size.
    static MovieWriterSettings small() { return {.width = 320, .height = 180}; }
    // A camera frame with index `index` at `nanos` after the recording's first frame.
    void append(int index, std::int64_t nanos) {
        recorder->append(greyFrame(160, 90, greyForIndex(index)),
                         MediaTime{kStart + nanos, 1'000'000'000});
    }
    LoopRecorder::Completion into(Completed& done) {
        return [&done](const std::optional<path>& url) {
            ++done.calls;
            done.url = url;
        };
    }
    // Stops the recording and lets the file be finished.
    Completed stopped() {
        Completed done;
        recorder->stop(into(done));
        main.runUntilIdle();
        return done;
    }
    std::vector<path> files() const {
        std::vector<path> found(std::filesystem::directory_iterator(folder), {});
        std::ranges::sort(found);
        return found;
    }

    static constexpr std::int64_t kStart = 5'000 * kNanosPerSecond;
    testing::LogCapture logs;
    TempFolder temp;
    path folder = temp.path() / "loops";
    ManualExecutor main;  // also the encoder: every step runs when the test says so
    LoopLibrary library{folder, main.wallClock()};
    std::shared_ptr<LoopRecorder> recorder = LoopRecorder::create(library, main, main, small());
};

TEST_F(LoopRecorderTest, StartingTwiceWritesOneFileAndFramesComeBackInOrder) {
    ASSERT_FALSE(recorder->start());
    const path url = recorder->url().value();
    ASSERT_FALSE(recorder->start());
    EXPECT_EQ(recorder->url(), url);
    EXPECT_TRUE(recorder->isRecording());
    EXPECT_EQ(url.filename().string().rfind("loop-2026-01-01T", 0), 0U) << url;
    for (int i = 0; i < 6; ++i) {
        append(i, i * kFrameNanos);
        main.runUntilIdle();
    }
    EXPECT_EQ(recorder->startTime(), (MediaTime{kStart, 1'000'000'000}));
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
    library.refreshLoops(state);
    EXPECT_TRUE(state.loops.get().empty()) << "a recording in progress is not listed";
    Completed done;
    recorder->stop(into(done));
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_TRUE(recorder->finishing());
    EXPECT_EQ(done.calls, 0);  // only once the file is finished
    main.runUntilIdle();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.url, url);
    EXPECT_FALSE(recorder->finishing());
    EXPECT_EQ(files(), std::vector<path>{url});
    // A normal movie: its index at the end, no fragments.
    const std::string bytes = testing::readFile(url);
    EXPECT_EQ(bytes.find("moof"), std::string::npos);
    EXPECT_GT(bytes.rfind("moov"), bytes.find("mdat"));

    EXPECT_EQ(decodedIndices(url), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(LoopRecorderTest, StopsByItselfAtMaxSecondsNotBeforeAndOnlyTheRecordingItWasDueFor) {
    Completed automatic;
    recorder->setAutomaticStopCompletion(into(automatic));
    recorder->maxSeconds = 60.0;
    ASSERT_FALSE(recorder->start());
    append(0, 0);
    append(1, 59'990'000'000);  // 59.99 s
    main.runUntilIdle();
    EXPECT_TRUE(recorder->isRecording());
    append(2, 60 * kNanosPerSecond);                // exactly 60.0 s
    append(3, 60 * kNanosPerSecond + kFrameNanos);  // arrives before the stop runs: still written
    EXPECT_TRUE(recorder->isRecording());
    main.runUntilIdle();
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(automatic.calls, 1);
    ASSERT_TRUE(automatic.url);
    EXPECT_EQ(decodedIndices(*automatic.url).size(), 4U);
    // Stopping again from the user's button finds the recorder idle.
    const Completed manual = stopped();
    EXPECT_EQ(manual.calls, 1);
    EXPECT_FALSE(manual.url);

    // An automatic stop due for an old recording leaves a new one alone.
    recorder->maxSeconds = 1.0;
    ASSERT_FALSE(recorder->start());
    append(0, 0);
    append(1, kNanosPerSecond);  // schedules the automatic stop
    Completed first;
    recorder->stop(into(first));  // the user was quicker
    ASSERT_FALSE(recorder->start());
    main.runUntilIdle();
    EXPECT_TRUE(recorder->isRecording());
    EXPECT_EQ(automatic.calls, 1);
    EXPECT_EQ(first.calls, 1);
    // The new one stops at exactly its own length.
    append(2, 5 * kNanosPerSecond);
    append(3, 6 * kNanosPerSecond);
    main.runUntilIdle();
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(automatic.calls, 2);
}

TEST_F(LoopRecorderTest, StopBeforeAnyFrameAndStopWhileIdle) {
    Completed idle;
    recorder->stop(into(idle));
    EXPECT_EQ(idle.calls, 1);  // at once
    EXPECT_FALSE(idle.url);

    ASSERT_FALSE(recorder->start());
    const Completed empty = stopped();
    // The file is finished and handed on; it holds no frames, so loading it fails later.
    ASSERT_TRUE(empty.url);
    EXPECT_TRUE(std::filesystem::exists(*empty.url));
    LoopPlayer player(320, 180, main, main);
    const MaybeError error = player.openReader(*empty.url);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "No video track");
}

TEST_F(LoopRecorderTest, AFileFinishedAfterTheRecorderWentAwayIsStillHandedOn) {
    ASSERT_FALSE(recorder->start());
    append(0, 0);
    Completed done;
    recorder->stop(into(done));
    recorder.reset();
    main.runUntilIdle();
    EXPECT_EQ(done.calls, 1);
    ASSERT_TRUE(done.url);
    EXPECT_EQ(decodedIndices(*done.url).size(), 1U);
}

TEST_F(LoopRecorderTest, AStartBeforeTheLastStopFinishedKeepsItsWriterAndGetsItsOwnName) {
    ASSERT_FALSE(recorder->start());
    append(0, 0);
    Completed first;
    recorder->stop(into(first));
    // Started in the same second, while the first file is still being finished.
    ASSERT_FALSE(recorder->start());
    const path second = recorder->url().value();
    main.runUntilIdle();  // the first finishes; its clean-up must not touch the second
    ASSERT_TRUE(first.url);
    EXPECT_NE(*first.url, second);
    EXPECT_LT(first.url->filename().string(), second.filename().string());
    EXPECT_TRUE(recorder->isRecording());
    append(1, 0);
    append(2, kFrameNanos);
    EXPECT_EQ(stopped().url, second);
    EXPECT_EQ(decodedIndices(*first.url).size(), 1U);
    EXPECT_EQ(decodedIndices(second), (std::vector<int>{1, 2}));
}

TEST_F(LoopRecorderTest, AFullQueueDropsAndCountsFramesAndRepeatedTimesAreDropped) {
    ASSERT_FALSE(recorder->start());
    for (int i = 0; i < LoopRecorder::kQueueDepth + 2; ++i) {
        append(i, i * kFrameNanos);  // the encoder has not run yet
    }
    EXPECT_EQ(recorder->droppedFrames(), 2U);
    main.runUntilIdle();
    append(9, (LoopRecorder::kQueueDepth - 1) * kFrameNanos);  // not after the last queued frame
    EXPECT_EQ(recorder->droppedFrames(), 3U);
    const Completed done = stopped();
    ASSERT_TRUE(done.url);
    EXPECT_EQ(decodedIndices(*done.url).size(),
              static_cast<std::size_t>(LoopRecorder::kQueueDepth));
}

TEST_F(LoopRecorderTest, AFolderThatCannotBeWrittenFailsTheStartWithTheWritersError) {
    testing::writeFile(temp.path() / "file", "not a folder");
    LoopLibrary blocked(temp.path() / "file/loops", main.wallClock());
    auto stuck = LoopRecorder::create(blocked, main, main, small());
    const MaybeError error = stuck->start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "MovieWriter");
    EXPECT_EQ(error->code, ENOTDIR);
    EXPECT_NE(error->description.find("loop-"), std::string::npos) << error->description;
    EXPECT_FALSE(stuck->isRecording());
    EXPECT_FALSE(stuck->url());
}

TEST_F(LoopRecorderTest, AnEncoderThatCannotStartEndsTheRecordingAtOnce) {
    MovieWriterSettings broken = small();
    broken.preset = "no-such-preset";
    auto failing = LoopRecorder::create(library, main, main, broken);
    Completed done;
    failing->setAutomaticStopCompletion(into(done));
    ASSERT_FALSE(failing->start());  // the file is made; the encoder opens on its own thread
    main.runUntilIdle();
    EXPECT_FALSE(failing->isRecording());
    EXPECT_EQ(done.calls, 1);
    EXPECT_FALSE(done.url);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(logs->count("recording failed"), 1U) << ::testing::PrintToString(logs->messages());
}

TEST_F(LoopRecorderTest, AFileWhoseWritingFailedIsRemovedLoggedAndNotHandedOn) {
    ASSERT_FALSE(recorder->start());
    const path url = recorder->url().value();
    // The file may not grow past 4 KB: the writes of the movie fail (with EFBIG, not a signal).
    auto* const previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    for (int i = 0; i < 3; ++i) {
        auto noise = greyFrame(320, 180, 0);
        for (std::size_t b = 0; b < noise->byteSize(); ++b) {
            noise->data()[b] =
                static_cast<std::uint8_t>((b * 7919 + static_cast<std::size_t>(i)) % 251);
        }
        recorder->append(noise, MediaTime{kStart + i * kFrameNanos, 1'000'000'000});
        main.runUntilIdle();
    }
    const Completed done = stopped();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(done.calls, 1);
    EXPECT_FALSE(done.url);
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(
        logs->count("recording failed: cannot write " + LoopLibrary::journalPath(url).string()), 1U)
        << ::testing::PrintToString(logs->messages());
    // The recorder is ready for the next recording.
    EXPECT_FALSE(recorder->finishing());
    EXPECT_FALSE(recorder->start());
}

// Distinct grey levels of a frame index; frame i of a long clip shows greyForIndex(i % this).
constexpr int kGreyLevels = 12;

// What a run that ends mid-recording leaves: `frames` camera frames at 15 a second written to the
// journal of `loop`, never finished; the frames the encoder and the muxer still held are lost.
path leftJournal(const path& loop, int frames) {
    auto made = MovieWriter::create(
        LoopLibrary::journalPath(loop),
        {.width = 320, .height = 180, .fragmentSeconds = LoopLibrary::kJournalFragmentSeconds});
    auto& writer = *std::get<std::unique_ptr<MovieWriter>>(made);
    for (int i = 0; i < frames; ++i) {
        EXPECT_FALSE(writer.append(*greyFrame(320, 180, greyForIndex(i % kGreyLevels)),
                                   i * (MovieWriter::kTimescale / 15)));
    }
    return LoopLibrary::journalPath(loop);
}

TEST_F(LoopRecorderTest, LeftoverJournalsBecomeLoopsWhenTheyHoldASecondElseTheyGo) {
    library.loopsDirectory();
    const path whole = folder / "loop-a.mov";
    leftJournal(whole, 60);
    // The same recording cut off inside its last fragment on disk.
    const path cut = folder / "loop-b.mov";
    std::filesystem::copy_file(LoopLibrary::journalPath(whole), LoopLibrary::journalPath(cut));
    std::filesystem::resize_file(LoopLibrary::journalPath(cut),
                                 std::filesystem::file_size(LoopLibrary::journalPath(cut)) - 100);
    leftJournal(folder / "loop-c.mov", 10);  // killed before its first fragment
    testing::writeFile(LoopLibrary::journalPath(folder / "loop-d.mov"), "not a movie");
    const path finished = folder / "loop-e.mov";  // finished; only its journal was left
    testing::writeFile(finished, "finished");
    testing::writeFile(LoopLibrary::journalPath(finished), "journal");
    testing::writeFile(folder / ".loop-f.mov.finishing", "a copy cut short");

    library.recoverRecordings();

    EXPECT_EQ(files(), (std::vector<path>{whole, cut, finished}));
    EXPECT_EQ(testing::readFile(finished), "finished");
    std::vector<std::size_t> kept;
    for (const path& loop : {whole, cut}) {
        const auto indices = decodedIndices(loop);
        EXPECT_GE(indices.size(), 15U) << loop << ": at least a second";
        for (std::size_t i = 0; i < indices.size(); ++i) {
            EXPECT_EQ(indices[i], static_cast<int>(i) % kGreyLevels) << loop;
        }
        EXPECT_EQ(testing::readFile(loop).find("moof"), std::string::npos) << loop;
        kept.push_back(indices.size());
    }
    EXPECT_LE(kept[1], kept[0]);
    EXPECT_EQ(logs->count("recovered an unfinished recording"), 2U);
    EXPECT_EQ(logs->count("removed an unfinished recording"), 2U);
}

// The threads of the process, by name, with their scheduling policies.
std::multimap<std::string, int> threadPolicies() {
    std::multimap<std::string, int> policies;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        const int policy = ::sched_getscheduler(std::stoi(task.path().filename().string()));
        if (policy >= 0) {
            policies.emplace(name, policy);
        }
    }
    return policies;
}

TEST_F(LoopRecorderTest, TheEncoderStartsOnItsOwnThreadWhichYieldsToTheMainThread) {
    // The encoder's threads are made where the encoder runs, never by start() on the main thread.
    const std::size_t before = threadPolicies().size();
    ASSERT_FALSE(recorder->start());
    EXPECT_EQ(threadPolicies().size(), before);
    main.runUntilIdle();
    EXPECT_GT(threadPolicies().size(), before);
    stopped();

    // A recorder's own thread, and each thread the encoder made from it, runs only on idle time.
    recorder = LoopRecorder::create(library, main);
    ASSERT_FALSE(recorder->start());
    bool finished = false;
    recorder->stop([&finished](const std::optional<path>& /*url*/) { finished = true; });
    while (!finished) {
        main.runUntilIdle();
    }
    const auto policies = threadPolicies();
    const auto [first, last] =
        policies.equal_range(threadNameForLabel("dev.corvid.kestrel.recorder"));
    ASSERT_NE(first, last);
    for (auto thread = first; thread != last; ++thread) {
        EXPECT_EQ(thread->second, SCHED_IDLE);
    }
    EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
}

TEST_F(LoopRecorderTest, RecordedCameraFramesPlayBackInOrderAtTheLoopSize) {
    // The real loop format: 1280x720 camera frames into a 1920x1080 movie, encoded on a worker
    // thread.
    WorkerThread encoder("dev.corvid.kestrel.recorder");
    auto looped = LoopRecorder::create(library, main, encoder);
    ASSERT_FALSE(looped->start());
    constexpr int kFrames = 7;
    for (int i = 0; i < kFrames; ++i) {
        looped->append(greyFrame(1280, 720, greyForIndex(i)),
                       MediaTime{(100 + i) * kFrameNanos, 1'000'000'000});
        encoder.runSync([] {});  // the frame is encoded: the queue never fills
    }
    EXPECT_EQ(looped->droppedFrames(), 0U);
    std::optional<path> url;
    looped->stop([&url](const std::optional<path>& done) { url = done; });
    encoder.runSync([] {});  // the file is finished and the completion is queued for main
    main.runUntilIdle();
    ASSERT_TRUE(url);

    // Played back with decoding on its own thread.
    WorkerThread decoder("dev.corvid.kestrel.loop");
    LoopPlayer player(1920, 1080, main, decoder);
    player.setUrl(*url);
    ASSERT_FALSE(player.openReader(*url));
    auto decoded = [&] {
        decoder.runSync([] {});  // the frame asked for is decoded and its answer queued
        main.runUntilIdle();
        return player.nextFrame();
    };
    for (int i = 0; i < kFrames; ++i) {
        auto frame = decoded();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width(), 1920);
        EXPECT_EQ(indexOfGrey(meanGrey(*frame)), i);
        EXPECT_LT(testing::maxDeviation(*frame, greyForIndex(i)), 4.0);
    }
    auto seam = decoded();  // the loop goes on, into its first cross-fade
    ASSERT_TRUE(seam);
    EXPECT_EQ(player.seamRemaining(), 4);
}

}  // namespace
}  // namespace kestrel
