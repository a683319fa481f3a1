#pragma once

// A scripted V4L2 device set: nodes with capabilities, formats, sizes and rates, frames pushed by
// the test, and failures on any ioctl. Each open node is backed by a real eventfd, so an
// executor's descriptor watch sees frames (and unplugging) exactly as it would on a device.

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "app/sources/V4l2Backend.h"
#include "app/sources/V4l2System.h"

namespace kestrel::testing {

struct FakeFormat {
    std::uint32_t fourcc = V4L2_PIX_FMT_YUYV;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes = {{1280, 720}};
    std::vector<V4l2Interval> intervals = {{1, 30}, {1, 15}};
};

struct FakeCamera {
    std::string card = "Fake Camera";
    std::uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::optional<std::string> removable{};  // the sysfs attribute; none when absent
    std::vector<FakeFormat> formats = {FakeFormat{}};
    int openError = 0;
    // Failures by ioctl request (VIDIOC_S_FMT → EBUSY, VIDIOC_DQBUF → EIO, ...).
    std::map<unsigned long, int> failures{};

    // What the capture asked for; the device takes any rate.
    v4l2_pix_format format{};
    std::optional<V4l2Interval> interval{};
    bool streaming = false;
};

class FakeV4l2System final : public V4l2System {
  public:
    ~FakeV4l2System() override {
        for (auto& [fd, node] : open_) {
            ::close(fd);
        }
    }

    FakeCamera& add(const std::string& path, FakeCamera camera = {}) {
        return cameras_[path] = std::move(camera);
    }
    FakeCamera& camera(const std::string& path) { return cameras_.at(path); }

    // Queues one captured image on the node's first open descriptor and wakes its watchers.
    void pushFrame(const std::string& path, std::vector<std::uint8_t> bytes,
                   std::uint64_t timestampNanos = 0, std::uint32_t flags = 0) {
        for (auto& [fd, node] : open_) {
            if (node.path == path) {
                node.pending.push_back({std::move(bytes), timestampNanos, flags});
                wake(fd);
                return;
            }
        }
    }
    // The device disappears: every call on its open descriptors fails with ENODEV.
    void unplug(const std::string& path) {
        cameras_.erase(path);
        for (auto& [fd, node] : open_) {
            if (node.path == path) {
                wake(fd);
            }
        }
    }

    std::size_t openCount() const { return open_.size(); }
    std::size_t mappingCount() const { return mappings_; }

    std::vector<std::string> videoNodes(const std::string& devRoot) override {
        std::vector<std::string> nodes;
        for (const auto& [path, camera] : cameras_) {
            if (path.rfind(devRoot + "/video", 0) == 0) {
                nodes.push_back(path);
            }
        }
        return nodes;
    }

    std::optional<std::string> readTextFile(const std::string& path) override {
        for (const auto& [node, camera] : cameras_) {
            const std::string name = node.substr(node.rfind('/') + 1);
            if (path == "/sys/class/video4linux/" + name + "/device/../removable") {
                return camera.removable;
            }
        }
        return std::nullopt;
    }

    int open(const std::string& path, int /*flags*/) override {
        auto found = cameras_.find(path);
        if (found == cameras_.end()) {
            return -ENOENT;
        }
        if (found->second.openError != 0) {
            return -found->second.openError;
        }
        const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        open_[fd] = Node{.fd = fd, .path = path};
        return fd;
    }

    int close(int fd) override {
        auto found = open_.find(fd);
        if (found == open_.end()) {
            return -EBADF;
        }
        ::close(fd);
        open_.erase(found);
        return 0;
    }

    int ioctl(int fd, unsigned long request, void* arg) override {
        auto node = open_.find(fd);
        if (node == open_.end()) {
            return -EBADF;
        }
        auto found = cameras_.find(node->second.path);
        if (found == cameras_.end()) {
            return -ENODEV;
        }
        FakeCamera& cam = found->second;
        if (auto failure = cam.failures.find(request); failure != cam.failures.end()) {
            return -failure->second;
        }
        return handle(node->second, cam, request, arg);
    }

    Mapped mmap(std::size_t length, int fd, off_t offset) override {
        auto node = open_.find(fd);
        if (node == open_.end()) {
            return {nullptr, EBADF};
        }
        const auto index = static_cast<std::size_t>(offset / kOffsetStep);
        if (index >= node->second.buffers.size() || length > node->second.buffers[index].size()) {
            return {nullptr, EINVAL};
        }
        ++mappings_;
        return {node->second.buffers[index].data(), 0};
    }

    int munmap(void* /*address*/, std::size_t /*length*/) override {
        --mappings_;
        return 0;
    }

  private:
    static constexpr off_t kOffsetStep = 1 << 24;

    struct Pending {
        std::vector<std::uint8_t> bytes;
        std::uint64_t timestampNanos;
        std::uint32_t flags;
    };
    struct Node {
        int fd = -1;
        std::string path;
        std::vector<std::vector<std::uint8_t>> buffers{};
        std::deque<std::uint32_t> queued{};
        std::deque<Pending> pending{};
    };

    static void wake(int fd) { ::eventfd_write(fd, 1); }

    static const FakeFormat* format(const FakeCamera& cam, std::uint32_t fourcc) {
        auto found = std::ranges::find(cam.formats, fourcc, &FakeFormat::fourcc);
        return found == cam.formats.end() ? nullptr : &*found;
    }

    int handle(Node& node, FakeCamera& cam, unsigned long request, void* arg) {
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* caps = static_cast<v4l2_capability*>(arg);
                std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s",
                              cam.card.c_str());
                caps->capabilities = cam.caps | V4L2_CAP_DEVICE_CAPS;
                caps->device_caps = cam.caps;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* desc = static_cast<v4l2_fmtdesc*>(arg);
                if (desc->index >= cam.formats.size()) {
                    return -EINVAL;
                }
                desc->pixelformat = cam.formats[desc->index].fourcc;
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* size = static_cast<v4l2_frmsizeenum*>(arg);
                const auto* f = format(cam, size->pixel_format);
                if (f == nullptr || size->index >= f->sizes.size()) {
                    return -EINVAL;
                }
                size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size->discrete.width = f->sizes[size->index].first;
                size->discrete.height = f->sizes[size->index].second;
                return 0;
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto* interval = static_cast<v4l2_frmivalenum*>(arg);
                const auto* f = format(cam, interval->pixel_format);
                if (f == nullptr || interval->index >= f->intervals.size()) {
                    return -EINVAL;
                }
                interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                interval->discrete.numerator = f->intervals[interval->index].numerator;
                interval->discrete.denominator = f->intervals[interval->index].denominator;
                return 0;
            }
            case VIDIOC_S_FMT: {
                auto* fmt = static_cast<v4l2_format*>(arg);
                const auto* f = format(cam, fmt->fmt.pix.pixelformat);
                if (f == nullptr) {
                    f = &cam.formats.front();
                }
                const std::pair asked{fmt->fmt.pix.width, fmt->fmt.pix.height};
                const auto size =
                    std::ranges::count(f->sizes, asked) > 0 ? asked : f->sizes.front();
                fmt->fmt.pix.pixelformat = f->fourcc;
                fmt->fmt.pix.width = size.first;
                fmt->fmt.pix.height = size.second;
                fmt->fmt.pix.bytesperline = f->fourcc == V4L2_PIX_FMT_YUYV ? size.first * 2 : 0;
                fmt->fmt.pix.sizeimage = size.first * size.second * 2;
                cam.format = fmt->fmt.pix;
                return 0;
            }
            case VIDIOC_S_PARM: {
                const auto& asked = static_cast<v4l2_streamparm*>(arg)->parm.capture.timeperframe;
                cam.interval = V4l2Interval{asked.numerator, asked.denominator};
                return 0;
            }
            case VIDIOC_REQBUFS: {
                auto* req = static_cast<v4l2_requestbuffers*>(arg);
                node.buffers.assign(req->count, std::vector<std::uint8_t>(cam.format.sizeimage));
                node.queued.clear();
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                if (buf->index >= node.buffers.size()) {
                    return -EINVAL;
                }
                buf->length = static_cast<std::uint32_t>(node.buffers[buf->index].size());
                buf->m.offset = buf->index * kOffsetStep;
                return 0;
            }
            case VIDIOC_QBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                if (buf->index >= node.buffers.size()) {
                    return -EINVAL;
                }
                node.queued.push_back(buf->index);
                return 0;
            }
            case VIDIOC_DQBUF: {
                auto* buf = static_cast<v4l2_buffer*>(arg);
                if (!cam.streaming || node.pending.empty() || node.queued.empty()) {
                    eventfd_t count = 0;
                    ::eventfd_read(node.fd, &count);  // drained: no longer readable
                    return -EAGAIN;
                }
                const Pending frame = std::move(node.pending.front());
                node.pending.pop_front();
                const std::uint32_t index = node.queued.front();
                node.queued.pop_front();
                auto& memory = node.buffers[index];
                const std::size_t used = std::min(memory.size(), frame.bytes.size());
                std::memcpy(memory.data(), frame.bytes.data(), used);
                buf->index = index;
                buf->bytesused = static_cast<std::uint32_t>(used);
                buf->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | frame.flags;
                buf->timestamp.tv_sec = static_cast<time_t>(frame.timestampNanos / 1'000'000'000);
                buf->timestamp.tv_usec =
                    static_cast<suseconds_t>((frame.timestampNanos % 1'000'000'000) / 1000);
                return 0;
            }
            case VIDIOC_STREAMON:
                cam.streaming = true;
                return 0;
            case VIDIOC_STREAMOFF:
                cam.streaming = false;
                return 0;
            default:
                return -ENOTTY;
        }
    }

    std::map<std::string, FakeCamera> cameras_;
    std::map<int, Node> open_;
    std::size_t mappings_ = 0;
};

}  // namespace kestrel::testing
