#pragma once

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrel::testing {

// Ends the camera daemons whose XDG_RUNTIME_DIR lies in `folder`: the application under test
// starts them detached, so no test holds their pids. SIGTERM, then SIGKILL after 2 s.
inline void endDaemonsServing(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return;
    }
    const std::string prefix = "XDG_RUNTIME_DIR=" + folder.string();
    const auto serves = [&prefix](const std::filesystem::path& proc) {
        std::ifstream comm(proc / "comm");
        std::string name;
        if (!std::getline(comm, name) || name != "kestrel-camera") {
            return false;
        }
        std::ifstream environment(proc / "environ", std::ios::binary);
        std::string entry;
        while (std::getline(environment, entry, '\0')) {
            if (entry.rfind(prefix, 0) == 0 &&
                (entry.size() == prefix.size() || entry[prefix.size()] == '/')) {
                return true;
            }
        }
        return false;
    };
    // Alive and not a zombie (an orphan may wait for a reaper that never comes in a container).
    const auto running = [](pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            return false;
        }
        const auto close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
    };
    std::vector<pid_t> daemons;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit) &&
            serves(entry.path())) {
            daemons.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    for (const pid_t pid : daemons) {
        ::kill(pid, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const pid_t pid : daemons) {
        while (running(pid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (running(pid)) {
            ::kill(pid, SIGKILL);
        }
    }
}

// A fresh folder (mode 0700) under the system's temporary directory, removed with everything in
// it, together with any camera daemon that serves a runtime folder inside it.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempFolder() {
        endDaemonsServing(path_);
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Writes `contents` to `path`, making the folders it needs.
inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::string contents;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            contents.append(chunk, got);
        }
        std::fclose(file);
    }
    return contents;
}

}  // namespace kestrel::testing
