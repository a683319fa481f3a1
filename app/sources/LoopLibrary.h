#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/sources/MovieWriter.h"
#include "app/state/AppState.h"
#include "platform/runtime/Clock.h"

namespace kestrel {

// The folder of recorded loops and the operations that keep `AppState.loops` and
// `AppState.activeLoop` in step with it. The folder's contents are the library: there is no index.
// A loop is identified by its file path. Main thread only; file-system errors are dropped (the
// caller sees at most an absent rename result).
class LoopLibrary {
  public:
    static constexpr std::string_view kExtension = ".mov";
    // A recording is written to a hidden journal beside its loop, in fragments of this many
    // seconds, and becomes the loop once it is finished:
    // ".loop-2026-12-05T18-40-01Z.mov.recording".
    static constexpr std::string_view kJournalSuffix = ".recording";
    static constexpr double kJournalFragmentSeconds = 0.5;
    // A journal left by a run that ended mid-recording becomes a loop when it holds this much.
    static constexpr double kMinimumRecoveredSeconds = 1.0;

    // `folder` is the loops folder, created on demand; `wallClock` names new recordings.
    LoopLibrary(std::filesystem::path folder, const WallClock& wallClock);

    // $XDG_DATA_HOME/dev.corvid.kestrel/loops, with ~/.local/share when XDG_DATA_HOME is unset or
    // not absolute.
    static std::filesystem::path defaultFolder();
    // The same from the values of XDG_DATA_HOME and HOME (null when unset).
    static std::filesystem::path defaultFolder(const char* xdgDataHome, const char* homeFolder);

    // The loops folder, created (with its parents) if missing; a failure to create it is ignored.
    std::filesystem::path loopsDirectory() const;

    // Lists the folder: entries whose extension is "mov" in any letter case, sorted by file name
    // (byte order). `loops` becomes that list and `activeLoop` its first entry, or none.
    void refreshLoops(AppState& state) const;

    static void select(const std::filesystem::path& url, AppState& state);

    // Renames a loop to `name` (trimmed, "/" replaced by "-", ".mov" appended) inside the folder.
    // Returns the loop's new path, its current path when the name is unchanged, or none when the
    // name is blank, the target exists (never overwritten) or the move fails. The loop keeps its
    // place in `loops`; an active loop stays active under its new path.
    std::optional<std::filesystem::path> renameLoop(const std::filesystem::path& url,
                                                    std::string_view name, AppState& state) const;

    // Removes the file (a failure is ignored) and the loop from `loops`; when it was active, the
    // first remaining loop becomes active.
    static void deleteLoop(const std::filesystem::path& url, AppState& state);

    // The path for a recording started now. `attempt` 0 is "loop-<UTC time>.mov" with ":" replaced
    // by "-" (loop-2026-12-05T18-40-01Z.mov); each further attempt names the following second, so
    // a recording started in a second whose name is taken gets a distinct name of the same form
    // that still sorts in recording order.
    std::filesystem::path recordingPath(int attempt = 0) const;

    static std::filesystem::path journalPath(const std::filesystem::path& loop);

    // Copies a journal into the normal movie `loop` (never replacing a file there) and removes
    // the journal; `interrupted` for one whose recording never finished (see
    // MovieWriter::copyFragments). A journal holding less than `minimumSeconds` of frames is
    // removed without making a loop (the result's seconds tell). On failure nothing is left at
    // `loop` and the journal stays. Any thread.
    static MovieWriter::CopyResult finishJournal(const std::filesystem::path& journal,
                                                 const std::filesystem::path& loop,
                                                 bool interrupted = false,
                                                 double minimumSeconds = 0.0);

    // Journals that a previous run left behind (it was killed or crashed while recording): each
    // that holds kMinimumRecoveredSeconds becomes a loop, the others are removed, and each is
    // logged. At launch, before refreshLoops(); never while this process records.
    void recoverRecordings() const;

    // "2026-12-05T18-40-01Z" for a time in that second.
    static std::string recordingStamp(WallClock::TimePoint time);

  private:
    std::filesystem::path folder_;
    const WallClock& wallClock_;
};

}  // namespace kestrel
