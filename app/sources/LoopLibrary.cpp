#include "app/sources/LoopLibrary.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <vector>

#include "platform/runtime/Log.h"

namespace kestrel {

namespace {

constexpr std::string_view kLoopsSubfolder = "dev.corvid.kestrel/loops";
// A journal's copy while it is being made, beside the loop it will become.
constexpr std::string_view kStagingSuffix = ".finishing";

// White space and line breaks trimmed from both ends of a new name: ASCII ones and the Unicode
// spaces a text field may carry (no-break, next-line, en/em and the like, line and paragraph
// separators, ideographic space), in UTF-8.
constexpr std::array<std::string_view, 24> kSpaces = {" ",
                                                      "\t",
                                                      "\n",
                                                      "\r",
                                                      "\v",
                                                      "\f",
                                                      "\xC2\x85",
                                                      "\xC2\xA0",
                                                      "\xE1\x9A\x80",
                                                      "\xE2\x80\x80",
                                                      "\xE2\x80\x81",
                                                      "\xE2\x80\x82",
                                                      "\xE2\x80\x83",
                                                      "\xE2\x80\x84",
                                                      "\xE2\x80\x85",
                                                      "\xE2\x80\x86",
                                                      "\xE2\x80\x87",
                                                      "\xE2\x80\x88",
                                                      "\xE2\x80\x89",
                                                      "\xE2\x80\x8A",
                                                      "\xE2\x80\xA8",
                                                      "\xE2\x80\xA9",
                                                      "\xE2\x80\xAF",
                                                      "\xE3\x80\x80"};

std::string_view trimSpaces(std::string_view text) {
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        for (std::string_view space : kSpaces) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
            }
        }
    }
    return text;
}

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return text;
}

bool pathExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Moves `from` to `to` unless something exists at `to`; never overwrites.
bool moveWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without no-replace renames: check, then move.
    if (pathExists(to)) {
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// ".NAME<suffix>" for `loop` named NAME, in its folder.
std::filesystem::path hiddenBeside(const std::filesystem::path& loop, std::string_view suffix) {
    return loop.parent_path() / ("." + loop.filename().string() + std::string(suffix));
}

// The loop that the hidden file `name` (".NAME<suffix>") belongs to, or none for another name.
std::optional<std::string> loopNameOf(const std::string& name, std::string_view suffix) {
    if (name.size() <= suffix.size() + 1 || name.front() != '.' || !name.ends_with(suffix)) {
        return std::nullopt;
    }
    return name.substr(1, name.size() - 1 - suffix.size());
}

}  // namespace

LoopLibrary::LoopLibrary(std::filesystem::path folder, const WallClock& wallClock)
    : folder_(std::move(folder)), wallClock_(wallClock) {}

std::filesystem::path LoopLibrary::defaultFolder() {
    return defaultFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

std::filesystem::path LoopLibrary::defaultFolder(const char* xdgDataHome, const char* homeFolder) {
    std::filesystem::path dataHome;
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
        dataHome = xdgDataHome;
    } else {
        std::filesystem::path home;
        if (homeFolder != nullptr && homeFolder[0] != '\0') {
            home = homeFolder;
        } else if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr) {
            home = entry->pw_dir;
        } else {
            home = "/tmp";
        }
        dataHome = home / ".local/share";
    }
    return dataHome / kLoopsSubfolder;
}

std::filesystem::path LoopLibrary::loopsDirectory() const {
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    return folder_;
}

void LoopLibrary::refreshLoops(AppState& state) const {
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(loopsDirectory(), error), end; !error && it != end;
         it.increment(error)) {
        const std::filesystem::path& path = it->path();
        if (lowerAscii(path.extension().string()) == kExtension) {
            found.push_back(path);
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.filename().string() < b.filename().string();
    });
    state.loops = found;
    state.activeLoop = found.empty() ? std::nullopt : std::optional(found.front());
}

void LoopLibrary::select(const std::filesystem::path& url, AppState& state) {
    state.activeLoop = url;
}

std::optional<std::filesystem::path> LoopLibrary::renameLoop(const std::filesystem::path& url,
                                                             std::string_view name,
                                                             AppState& state) const {
    std::string cleaned(trimSpaces(name));
    // A NUL would cut the file name short where the system reads it: no such name is taken.
    if (cleaned.empty() || cleaned.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::replace(cleaned.begin(), cleaned.end(), '/', '-');
    cleaned += kExtension;
    const std::filesystem::path target = loopsDirectory() / cleaned;
    if (target == url) {
        return url;
    }
    if (pathExists(target) || !moveWithoutReplacing(url, target)) {
        return std::nullopt;
    }
    auto loops = state.loops.get();
    if (auto it = std::find(loops.begin(), loops.end(), url); it != loops.end()) {
        *it = target;
        state.loops = std::move(loops);
    }
    if (state.activeLoop.get() == url) {
        state.activeLoop = target;
    }
    return target;
}

void LoopLibrary::deleteLoop(const std::filesystem::path& url, AppState& state) {
    std::error_code ignored;
    std::filesystem::remove(url, ignored);
    auto loops = state.loops.get();
    loops.erase(std::remove(loops.begin(), loops.end(), url), loops.end());
    state.loops = loops;
    if (state.activeLoop.get() == url) {
        state.activeLoop = loops.empty() ? std::nullopt : std::optional(loops.front());
    }
}

std::string LoopLibrary::recordingStamp(WallClock::TimePoint time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    std::array<char, 32> text{};
    const int length = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d-%02d-%02dZ",
                                     utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                     utc.tm_min, utc.tm_sec);
    return std::string(text.data(), static_cast<std::size_t>(std::max(length, 0)));
}

std::filesystem::path LoopLibrary::recordingPath(int attempt) const {
    const auto time = wallClock_.now() + std::chrono::seconds(attempt);
    return loopsDirectory() / ("loop-" + recordingStamp(time) + std::string(kExtension));
}

std::filesystem::path LoopLibrary::journalPath(const std::filesystem::path& loop) {
    return hiddenBeside(loop, kJournalSuffix);
}

MovieWriter::CopyResult LoopLibrary::finishJournal(const std::filesystem::path& journal,
                                                   const std::filesystem::path& loop,
                                                   bool interrupted, double minimumSeconds) {
    const std::filesystem::path staging = hiddenBeside(loop, kStagingSuffix);
    std::error_code ignored;
    std::filesystem::remove(staging, ignored);
    auto copied = MovieWriter::copyFragments(journal, staging, interrupted);
    const auto* copy = std::get_if<MovieCopy>(&copied);
    if (copy == nullptr) {
        return copied;
    }
    if (copy->seconds < minimumSeconds) {
        std::filesystem::remove(staging, ignored);
        std::filesystem::remove(journal, ignored);
        return copied;
    }
    if (!moveWithoutReplacing(staging, loop)) {
        const int code = errno;
        std::filesystem::remove(staging, ignored);
        return Error{std::string(MovieWriter::kErrorDomain), code,
                     "cannot finish " + loop.string() + ": " + std::strerror(code)};
    }
    std::filesystem::remove(journal, ignored);
    return copied;
}

void LoopLibrary::recoverRecordings() const {
    const Log log(std::string(kAppLogSubsystem), "LoopLibrary");
    std::vector<std::filesystem::path> journals;
    std::error_code error;
    std::error_code ignored;
    for (std::filesystem::directory_iterator it(loopsDirectory(), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (loopNameOf(name, kStagingSuffix)) {
            std::filesystem::remove(it->path(), ignored);  // a copy cut short; its journal stays
        } else if (loopNameOf(name, kJournalSuffix)) {
            journals.push_back(it->path());
        }
    }
    std::sort(journals.begin(), journals.end());
    for (const auto& journal : journals) {
        const std::filesystem::path loop =
            folder_ / *loopNameOf(journal.filename().string(), kJournalSuffix);
        if (pathExists(loop)) {
            // Finished, but the run ended before the journal was removed.
            std::filesystem::remove(journal, ignored);
            log.info("removed the journal of %{public}@, which was finished", loop.string());
            continue;
        }
        const auto copied = finishJournal(journal, loop, true, kMinimumRecoveredSeconds);
        if (const auto* failure = std::get_if<Error>(&copied)) {
            std::filesystem::remove(journal, ignored);
            log.error("removed an unfinished recording that cannot be read: %{public}@",
                      failure->description);
        } else if (const auto& copy = std::get<MovieCopy>(copied);
                   copy.seconds < kMinimumRecoveredSeconds) {
            log.info("removed an unfinished recording of %.1f s: %{public}@", copy.seconds,
                     journal.string());
        } else {
            log.info("recovered an unfinished recording of %.1f s as %{public}@", copy.seconds,
                     loop.string());
        }
    }
}

}  // namespace kestrel
