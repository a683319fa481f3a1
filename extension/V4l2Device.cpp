#include "extension/V4l2Device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace kestrel::camera {

std::vector<std::string> SystemV4l2Device::listDevices() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) == 0 && name.size() > 5 &&
            std::all_of(name.begin() + 5, name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            out.push_back(entry.path().string());
        }
    }
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return out;
}

int SystemV4l2Device::open(const std::string& path, int flags) {
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

int SystemV4l2Device::close(int fd) {
    return ::close(fd);
}

int SystemV4l2Device::ioctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

ssize_t SystemV4l2Device::write(int fd, const void* data, size_t size) {
    return ::write(fd, data, size);
}

int SystemV4l2Device::poll(pollfd* fds, nfds_t count, int timeoutMillis) {
    return ::poll(fds, count, timeoutMillis);
}

}  // namespace kestrel::camera
