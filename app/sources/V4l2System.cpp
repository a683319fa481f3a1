#include "app/sources/V4l2System.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace kestrel {

namespace {

class RealV4l2System final : public V4l2System {
  public:
    std::vector<std::string> videoNodes(const std::string& devRoot) override {
        std::vector<std::pair<int, std::string>> numbered;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(devRoot, error)) {
            const std::string name = entry.path().filename().string();
            constexpr std::string_view kPrefix = "video";
            if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) {
                continue;
            }
            const std::string digits = name.substr(kPrefix.size());
            if (!std::all_of(digits.begin(), digits.end(),
                             [](char c) { return c >= '0' && c <= '9'; }) ||
                digits.size() > 6) {
                continue;
            }
            numbered.emplace_back(std::stoi(digits), entry.path().string());
        }
        std::sort(numbered.begin(), numbered.end());
        std::vector<std::string> nodes;
        nodes.reserve(numbered.size());
        for (auto& [number, path] : numbered) {
            nodes.push_back(std::move(path));
        }
        return nodes;
    }

    std::optional<std::string> readTextFile(const std::string& path) override {
        std::ifstream in(path);
        if (!in) {
            return std::nullopt;
        }
        std::string text;
        std::getline(in, text);
        return text;
    }

    int open(const std::string& path, int flags) override {
        const int fd = ::open(path.c_str(), flags);
        return fd >= 0 ? fd : -errno;
    }

    int close(int fd) override { return ::close(fd) == 0 ? 0 : -errno; }

    int ioctl(int fd, unsigned long request, void* arg) override {
        const int result = ::ioctl(fd, request, arg);
        return result >= 0 ? result : -errno;
    }

    Mapped mmap(std::size_t length, int fd, off_t offset) override {
        void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (address == MAP_FAILED) {
            return {nullptr, errno};
        }
        return {address, 0};
    }

    int munmap(void* address, std::size_t length) override {
        return ::munmap(address, length) == 0 ? 0 : -errno;
    }
};

}  // namespace

V4l2System& systemV4l2() {
    static RealV4l2System system;
    return system;
}

}  // namespace kestrel
