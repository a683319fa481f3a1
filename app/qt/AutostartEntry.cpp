#include "app/qt/AutostartEntry.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

namespace kestrel {

namespace {

constexpr const char* kErrorDomain = "dev.corvid.kestrel.Autostart";

// The program as one argument of a desktop entry's Exec key: quoted, the quoting's reserved
// characters escaped, and then every backslash escaped once more as the key is a string.
std::string execWord(const std::string& program) {
    std::string word = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            word += "\\\\";
        }
        if (c == '%') {
            word += '%';
        }
        word += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return word + '"';
}

Error failure(const std::string& what, const std::filesystem::path& path, std::error_code ec) {
    return Error{kErrorDomain, ec.value(), what + " " + path.string() + ": " + ec.message()};
}

}  // namespace

AutostartEntry::AutostartEntry(std::filesystem::path configFolder, std::filesystem::path program)
    : configFolder_(std::move(configFolder)), program_(std::move(program)) {}

AutostartEntry AutostartEntry::forThisProcess() {
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        config = std::filesystem::path(home != nullptr ? home : "/") / ".config";
    }
    std::error_code ec;
    auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        program = "kestrel";
    }
    return AutostartEntry(std::move(config), std::move(program));
}

std::filesystem::path AutostartEntry::path() const {
    return configFolder_ / "autostart" / "dev.corvid.kestrel.desktop";
}

bool AutostartEntry::isEnabled() const {
    std::ifstream in(path());
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true") {
            return false;
        }
    }
    return true;
}

MaybeError AutostartEntry::setEnabled(bool enabled) {
    const auto entry = path();
    std::error_code ec;
    if (!enabled) {
        std::filesystem::remove(entry, ec);
        return ec ? std::optional(failure("cannot remove", entry, ec)) : std::nullopt;
    }
    std::filesystem::create_directories(entry.parent_path(), ec);
    if (ec) {
        return failure("cannot create", entry.parent_path(), ec);
    }
    const auto temporary = entry.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Kestrel\n"
               "Comment=Virtual camera that covers for you while you are away\n"
               "Exec="
            << execWord(program_.string())
            << "\n"
               "Icon=dev.corvid.kestrel\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n";
        if (!out.flush()) {
            std::filesystem::remove(temporary, ec);
            return Error{kErrorDomain, EIO, "cannot write " + temporary};
        }
    }
    std::filesystem::rename(temporary, entry, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return failure("cannot write", entry, ec);
    }
    return std::nullopt;
}

}  // namespace kestrel
