#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

// Every call the V4L2 camera makes into the system, so that capture is tested against a scripted
// device. Calls that can fail return a negative errno value (never -1 with errno set), so a fake
// needs no thread-local state.
class V4l2System {
  public:
    virtual ~V4l2System() = default;

    // The video nodes under `devRoot` ("/dev/video0", "/dev/video2", ...), in number order.
    virtual std::vector<std::string> videoNodes(const std::string& devRoot) = 0;
    // The contents of a small text file (a sysfs attribute), without a trailing newline.
    virtual std::optional<std::string> readTextFile(const std::string& path) = 0;

    // A descriptor, or -errno.
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    // 0 (or the call's non-negative result), or -errno; EINTR is retried by the caller.
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    // The mapped address of `length` bytes at `offset` of `fd`, shared and read-write; or the
    // errno of the failure.
    struct Mapped {
        void* address = nullptr;
        int error = 0;
    };
    virtual Mapped mmap(std::size_t length, int fd, off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
};

// The real system calls.
V4l2System& systemV4l2();

// One descriptor opened through a V4l2System, closed through it once.
class V4l2Fd {
  public:
    V4l2Fd() = default;
    V4l2Fd(V4l2System& system, int fd) : system_(&system), fd_(fd) {}
    V4l2Fd(V4l2Fd&& other) noexcept : system_(other.system_), fd_(std::exchange(other.fd_, -1)) {}
    V4l2Fd& operator=(V4l2Fd&& other) noexcept {
        if (this != &other) {
            reset();
            system_ = other.system_;
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    V4l2Fd(const V4l2Fd&) = delete;
    V4l2Fd& operator=(const V4l2Fd&) = delete;
    ~V4l2Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0 && system_ != nullptr) {
            system_->close(fd_);
        }
        fd_ = -1;
    }

  private:
    V4l2System* system_ = nullptr;
    int fd_ = -1;
};

// One mapping made through a V4l2System, unmapped through it once.
class V4l2Mapping {
  public:
    V4l2Mapping() = default;
    V4l2Mapping(V4l2System& system, void* address, std::size_t length)
        : system_(&system), address_(address), length_(length) {}
    V4l2Mapping(V4l2Mapping&& other) noexcept
        : system_(other.system_),
          address_(std::exchange(other.address_, nullptr)),
          length_(std::exchange(other.length_, 0)) {}
    V4l2Mapping& operator=(V4l2Mapping&& other) noexcept {
        if (this != &other) {
            reset();
            system_ = other.system_;
            address_ = std::exchange(other.address_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    V4l2Mapping(const V4l2Mapping&) = delete;
    V4l2Mapping& operator=(const V4l2Mapping&) = delete;
    ~V4l2Mapping() { reset(); }

    const unsigned char* data() const { return static_cast<const unsigned char*>(address_); }
    std::size_t length() const { return length_; }
    void reset() {
        if (address_ != nullptr && system_ != nullptr) {
            system_->munmap(address_, length_);
        }
        address_ = nullptr;
        length_ = 0;
    }

  private:
    V4l2System* system_ = nullptr;
    void* address_ = nullptr;
    std::size_t length_ = 0;
};

}  // namespace kestrel
