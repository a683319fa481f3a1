#pragma once

// The system-call seam of the v4l2loopback writer: every call it makes on a video device goes
// through this interface, so tests drive the writer against a scripted fake device.

#include <poll.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrel::camera {

class V4l2Device {
  public:
    virtual ~V4l2Device() = default;
    // The device nodes to look at, in order (/dev/video0, /dev/video1, ...).
    virtual std::vector<std::string> listDevices() = 0;
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    // Returns -1 with errno set on failure, like ioctl(2).
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t write(int fd, const void* data, size_t size) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMillis) = 0;
};

// The real system calls; ioctls are retried on EINTR.
class SystemV4l2Device final : public V4l2Device {
  public:
    std::vector<std::string> listDevices() override;
    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    ssize_t write(int fd, const void* data, size_t size) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMillis) override;
};

}  // namespace kestrel::camera
