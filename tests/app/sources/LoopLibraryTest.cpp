#include <gtest/gtest.h>

#include <vector>

#include "app/sources/LoopLibrary.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using std::filesystem::path;
using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

class LoopLibraryTest : public ::testing::Test {
  protected:
    path loop(const std::string& name, const std::string& contents = "movie") {
        const path file = folder() / name;
        writeFile(file, contents);
        return file;
    }
    path folder() const { return temp.path() / "dev.corvid.kestrel/loops"; }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& url : state.loops.get()) {
            result.push_back(url.filename().string());
        }
        return result;
    }
    std::string active() const {
        const auto& url = state.activeLoop.get();
        return url ? url->filename().string() : "none";
    }

    TempFolder temp;
    ManualExecutor executor;
    LoopLibrary library{folder(), executor.wallClock()};
    AppState state{nullptr, std::make_shared<MemorySettingsStore>()};
};

TEST_F(LoopLibraryTest, ListsMoviesInAnyCaseSortedByByteOrderFirstActive) {
    // A missing folder is created and lists nothing.
    state.loops = std::vector<path>{"/stale.mov"};
    state.activeLoop = path("/stale.mov");
    library.refreshLoops(state);
    EXPECT_TRUE(std::filesystem::is_directory(folder()));
    EXPECT_TRUE(state.loops.get().empty());
    EXPECT_EQ(active(), "none");

    for (const char* name : {"b.mov", "A.mov", "a.MOV", "notes.txt", "c.Mov", "movie", ".x.mov"}) {
        loop(name);
    }
    std::filesystem::create_directory(folder() / "sub");
    state.activeLoop = folder() / "b.mov";
    library.refreshLoops(state);
    EXPECT_EQ(names(), (std::vector<std::string>{".x.mov", "A.mov", "a.MOV", "b.mov", "c.Mov"}));
    EXPECT_EQ(active(), ".x.mov");
    EXPECT_EQ(state.loops.get()[1], folder() / "A.mov");
}

TEST(LoopLibraryFolder, FollowsAnAbsoluteXdgDataHomeElseHome) {
    const struct {
        const char* xdg;
        const char* home;
        const char* folder;
    } cases[] = {
        {"/data/home", "/home/ann", "/data/home/dev.corvid.kestrel/loops"},
        {"relative", "/home/ann", "/home/ann/.local/share/dev.corvid.kestrel/loops"},
        {nullptr, "/home/ann", "/home/ann/.local/share/dev.corvid.kestrel/loops"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LoopLibrary::defaultFolder(c.xdg, c.home), path(c.folder)) << c.folder;
    }
}

class LoopLibraryRename : public LoopLibraryTest {
  protected:
    void SetUp() override {
        library.loopsDirectory();
        first = loop("first.mov", "one");
        second = loop("second.mov", "two");
        library.refreshLoops(state);  // first is active
    }
    path first, second;
};

TEST_F(LoopLibraryRename, NamesAreTrimmedSlashesReplacedAndExtensionAlwaysAdded) {
    path current = second;
    for (const auto& [name, renamedTo] :
         {std::pair{"  Morning standup \n\t", "Morning standup.mov"},
          {"x/y", "x-y.mov"},
          {"clip.mov", "clip.mov.mov"}}) {
        const auto renamed = library.renameLoop(current, name, state);
        ASSERT_TRUE(renamed) << name;
        EXPECT_EQ(*renamed, folder() / renamedTo);
        current = *renamed;
    }
    EXPECT_EQ(readFile(current), "two");
    EXPECT_FALSE(std::filesystem::exists(second));
    // The loop keeps its place although its new name would sort first; the active one is kept.
    EXPECT_EQ(names(), (std::vector<std::string>{"first.mov", "clip.mov.mov"}));
    EXPECT_EQ(active(), "first.mov");
}

TEST_F(LoopLibraryRename, BlankSameOrTakenNamesChangeNothing) {
    EXPECT_FALSE(library.renameLoop(first, " \n\xC2\xA0 ", state));
    EXPECT_FALSE(library.renameLoop(first, std::string("ab\0c", 4), state));
    EXPECT_EQ(library.renameLoop(first, "first", state), first);
    // Onto another loop: refused, neither file is touched.
    EXPECT_FALSE(library.renameLoop(first, "second", state));
    EXPECT_EQ(readFile(first), "one");
    EXPECT_EQ(readFile(second), "two");
    // A file that is not a listed loop is not overwritten either.
    writeFile(folder() / "notes.mov", "notes");
    EXPECT_FALSE(library.renameLoop(first, "notes", state));
    EXPECT_EQ(readFile(folder() / "notes.mov"), "notes");
    EXPECT_EQ(names(), (std::vector<std::string>{"first.mov", "second.mov"}));
}

TEST_F(LoopLibraryRename, ActiveLoopStaysActiveUnderItsNewPathAndFailedMovesChangeNothing) {
    int activeChanges = 0;
    Handle watch = state.activeLoop.subscribe([&](const auto&) { ++activeChanges; });
    auto renamed = library.renameLoop(first, "Renamed", state);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(active(), "Renamed.mov");
    EXPECT_EQ(activeChanges, 2);  // current value, then the rename
    EXPECT_EQ(names(), (std::vector<std::string>{"Renamed.mov", "second.mov"}));

    std::filesystem::remove(second);  // gone behind the library's back: the move fails
    EXPECT_FALSE(library.renameLoop(second, "other", state));
    EXPECT_EQ(names(), (std::vector<std::string>{"Renamed.mov", "second.mov"}));
    EXPECT_FALSE(std::filesystem::exists(folder() / "other.mov"));
}

TEST_F(LoopLibraryRename, DeleteUpdatesListAndActiveLoop) {
    const path third = loop("third.mov");
    library.refreshLoops(state);
    LoopLibrary::select(second, state);
    LoopLibrary::deleteLoop(first, state);  // inactive: only the list changes
    EXPECT_EQ(names(), (std::vector<std::string>{"second.mov", "third.mov"}));
    EXPECT_EQ(active(), "second.mov");
    EXPECT_FALSE(std::filesystem::exists(first));

    LoopLibrary::deleteLoop(second, state);  // active: the first remaining one takes over
    EXPECT_EQ(active(), "third.mov");
    std::filesystem::remove(third);  // already gone from disk: still leaves the list
    LoopLibrary::deleteLoop(third, state);
    EXPECT_TRUE(state.loops.get().empty());
    EXPECT_EQ(active(), "none");
}

TEST_F(LoopLibraryTest, RecordingNamesUseTheUtcSecondAndLaterSecondsForLaterAttempts) {
    // 2026-01-01T18:40:01.999Z
    const WallClock::TimePoint target{std::chrono::seconds(1'767'225'600) + std::chrono::hours(18) +
                                      std::chrono::minutes(40) + std::chrono::milliseconds(1999)};
    executor.advance(target - executor.wallClock().now());
    EXPECT_EQ(library.recordingPath(), folder() / "loop-2026-01-01T18-40-01Z.mov");
    EXPECT_EQ(library.recordingPath(1).filename(), "loop-2026-01-01T18-40-02Z.mov");
    EXPECT_EQ(library.recordingPath(59).filename(), "loop-2026-01-01T18-41-00Z.mov");
    EXPECT_LT(library.recordingPath(0).filename().string(),
              library.recordingPath(1).filename().string());
    EXPECT_TRUE(std::filesystem::is_directory(folder()));
}

}  // namespace
}  // namespace kestrel
