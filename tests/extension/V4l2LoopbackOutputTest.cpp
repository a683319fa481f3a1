#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <tuple>

#include "extension/V4l2LoopbackOutput.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/extension/RelayFakes.h"

namespace kestrel::camera {
namespace {

using std::chrono::milliseconds;

// A scripted set of video nodes behind the system-call seam.
class FakeV4l2 final : public V4l2Device {
  public:
    struct Node {
        std::string path;
        std::string card;
        std::uint32_t caps = V4L2_CAP_VIDEO_OUTPUT;
        bool acceptsYuyv = true;
        bool usageEvents = true;
    };
    struct Write {
        std::size_t size;
        std::uint8_t y0, u;
    };

    std::vector<std::string> listDevices() override {
        std::vector<std::string> out;
        for (const auto& n : nodes) {
            out.push_back(n.path);
        }
        return out;
    }
    int open(const std::string& path, int /*flags*/) override {
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].path == path) {
                const int fd = nextFd++;
                open_[fd] = i;
                return fd;
            }
        }
        errno = ENOENT;
        return -1;
    }
    int close(int fd) override {
        open_.erase(fd);
        ++closes;
        return 0;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        Node& node = nodes.at(open_.at(fd));
        switch (request) {
            case VIDIOC_QUERYCAP: {
                auto* cap = static_cast<v4l2_capability*>(argument);
                std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "%s",
                              node.card.c_str());
                cap->capabilities = node.caps | V4L2_CAP_DEVICE_CAPS;
                cap->device_caps = node.caps;
                return 0;
            }
            case VIDIOC_S_FMT: {
                auto* format = static_cast<v4l2_format*>(argument);
                lastFormat = *format;
                if (!node.acceptsYuyv) {
                    format->fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
                }
                return 0;
            }
            case VIDIOC_S_PARM:
                lastParm = *static_cast<v4l2_streamparm*>(argument);
                return 0;
            case VIDIOC_SUBSCRIBE_EVENT:
                if (!node.usageEvents) {
                    errno = EINVAL;
                    return -1;
                }
                subscribed = static_cast<v4l2_event_subscription*>(argument)->type;
                return 0;
            case VIDIOC_DQEVENT: {
                if (usage.empty()) {
                    errno = ENOENT;
                    return -1;
                }
                auto* event = static_cast<v4l2_event*>(argument);
                event->type = kV4l2EventClientUsage;
                const std::uint32_t count = usage.front();
                usage.pop_front();
                std::memcpy(event->u.data, &count, sizeof count);
                return 0;
            }
            default:
                errno = ENOTTY;
                return -1;
        }
    }
    ssize_t write(int /*fd*/, const void* data, size_t size) override {
        if (failWrites > 0) {
            --failWrites;
            errno = failErrno;
            return -1;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        writes.push_back(Write{size, bytes[0], bytes[1]});
        return static_cast<ssize_t>(size);
    }
    int poll(pollfd* fds, nfds_t count, int /*timeout*/) override {
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = usage.empty() ? 0 : POLLPRI;
            ready += fds[i].revents != 0 ? 1 : 0;
        }
        return ready;
    }

    std::vector<Node> nodes;
    std::vector<Write> writes;
    std::deque<std::uint32_t> usage;
    v4l2_format lastFormat{};
    v4l2_streamparm lastParm{};
    std::uint32_t subscribed = 0;
    int failWrites = 0;
    int failErrno = EAGAIN;
    int closes = 0;

  private:
    std::map<int, std::size_t> open_;
    int nextFd = 100;
};

class V4l2Test : public ::testing::Test {
  protected:
    V4l2Test() {
        source.onStart = [this] { ++starts; };
        source.onStop = [this] { ++stops; };
    }
    testing::LogCapture captured;
    ManualExecutor exec;
    FakeV4l2 fake;
    SourceStreamSource source{{}};
    int starts = 0;
    int stops = 0;
};

TEST_F(V4l2Test, WithoutAUsableDeviceItSaysHowToMakeOneAndOpensOneCreatedLater) {
    fake.nodes = {{"/dev/video0", "Integrated Camera", V4L2_CAP_VIDEO_CAPTURE},
                  {"/dev/video1", "Kestrel", V4L2_CAP_VIDEO_OUTPUT, false}};
    V4l2LoopbackOutput output(fake, exec, exec, source);
    EXPECT_FALSE(output.open());
    EXPECT_EQ(captured->count("modprobe v4l2loopback card_label=Kestrel exclusive_caps=1"), 1U);
    EXPECT_EQ(captured->count("refused YUYV 1920x1080"), 1U);
    exec.advance(V4l2LoopbackOutput::kRescanInterval * 3);
    EXPECT_TRUE(fake.writes.empty());
    EXPECT_EQ(fake.closes, 2);  // an unchanged list is not opened again
    fake.nodes.push_back({"/dev/video9", "Kestrel", V4L2_CAP_VIDEO_OUTPUT});
    exec.advance(V4l2LoopbackOutput::kRescanInterval);
    EXPECT_EQ(output.devicePath(), "/dev/video9");
    exec.advance(milliseconds(100));
    EXPECT_FALSE(fake.writes.empty());
    EXPECT_EQ(captured->count("no v4l2loopback device"), 1U);
}

TEST_F(V4l2Test, FindsTheDeviceByCardLabelAndKeepsItFedWithBlack) {
    fake.nodes = {{"/dev/video0", "Integrated Camera", V4L2_CAP_VIDEO_CAPTURE},
                  {"/dev/video1", "Kestrel Virtual", V4L2_CAP_VIDEO_OUTPUT},
                  {"/dev/video2", "Kestrel", V4L2_CAP_VIDEO_OUTPUT}};
    V4l2LoopbackOutput output(fake, exec, exec, source);
    ASSERT_TRUE(output.open());
    EXPECT_EQ(output.devicePath(), "/dev/video2");
    const auto& pix = fake.lastFormat.fmt.pix;
    EXPECT_EQ(
        std::tuple(fake.lastFormat.type, pix.pixelformat, pix.width, pix.height, pix.bytesperline,
                   fake.lastParm.parm.output.timeperframe.denominator, fake.subscribed),
        std::tuple(V4L2_BUF_TYPE_VIDEO_OUTPUT, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV), 1920U,
                   1080U, 3840U, 30U, kV4l2EventClientUsage));

    exec.runUntilIdle();
    exec.advance(milliseconds(1000));
    EXPECT_EQ(fake.writes.size(), 31U);  // at once, then 30 per second, with nobody sending
    for (const auto& w : fake.writes) {
        EXPECT_EQ(std::tuple(w.size, w.y0, w.u), std::tuple(1920U * 1080U * 2U, 16, 128));
    }
}

TEST_F(V4l2Test, ReadersComeFromUsageEventsAndGetTheLastFrameThenBlackOnceNobodyReads) {
    fake.nodes = {{"/dev/video3", "Kestrel", V4L2_CAP_VIDEO_OUTPUT}};
    V4l2LoopbackOutput output(fake, exec, exec, source);
    ASSERT_TRUE(output.open());
    EXPECT_TRUE(output.usageEvents());
    exec.advance(milliseconds(100));
    EXPECT_EQ(starts, 0);
    auto white = PixelBuffer::create(1280, 720);
    white->fill(255, 255, 255);
    SampleBuffer sample;
    sample.pixels = white->data();
    sample.width = 1280;
    sample.height = 720;
    sample.stride = static_cast<std::uint32_t>(white->stride());
    fake.usage.push_back(1);
    exec.advance(milliseconds(40));
    EXPECT_EQ(starts, 1);
    fake.usage.push_back(2);  // still reading: no second start
    exec.advance(milliseconds(40));
    output.send(sample, 1);
    exec.advance(milliseconds(100));
    EXPECT_EQ(starts, 1);
    ASSERT_FALSE(fake.writes.empty());
    EXPECT_GT(fake.writes.back().y0, 200);  // white, scaled to fill
    EXPECT_NEAR(fake.writes.back().u, 128, 2);

    // The last reader leaves; a frame still on its way, and the next reader, find black.
    fake.usage.push_back(0);
    exec.advance(milliseconds(40));
    EXPECT_EQ(stops, 1);
    output.send(sample, 2);
    exec.advance(milliseconds(100));
    fake.usage.push_back(1);
    exec.advance(milliseconds(100));
    EXPECT_EQ(fake.writes.back().y0, 16);
    EXPECT_EQ(std::pair(starts, stops), std::pair(2, 1));
}

TEST_F(V4l2Test, WithoutUsageEventsItIsAlwaysReadSkipsBusyWritesAndReopensAfterAFailure) {
    fake.nodes = {{"/dev/video0", "Kestrel", V4L2_CAP_VIDEO_OUTPUT, true, false}};
    V4l2LoopbackOutput output(fake, exec, exec, source);
    ASSERT_TRUE(output.open());
    EXPECT_FALSE(output.usageEvents());
    fake.failWrites = 2;
    exec.runUntilIdle();
    EXPECT_EQ(starts, 1);
    exec.advance(milliseconds(100));  // 4 ticks: 2 busy, 2 written
    EXPECT_EQ(output.writesDropped(), 2U);
    EXPECT_EQ(output.framesWritten(), 2U);
    fake.failWrites = 1;
    fake.failErrno = ENODEV;
    exec.advance(milliseconds(34));
    EXPECT_EQ(captured->count("write failed"), 1U);
    const std::size_t writes = fake.writes.size();
    exec.advance(milliseconds(500));
    EXPECT_EQ(fake.writes.size(), writes);  // closed: no more writes
    EXPECT_EQ(stops, 1);                    // and no longer read
    exec.advance(V4l2LoopbackOutput::kRescanInterval);
    EXPECT_GT(fake.writes.size(), writes);  // the same device, opened again
    EXPECT_EQ(starts, 2);
}

TEST(SystemV4l2Device, ListsOnlyVideoNodesAndFailsCleanlyOnOtherFiles) {
    SystemV4l2Device device;
    for (const auto& path : device.listDevices()) {
        EXPECT_EQ(path.rfind("/dev/video", 0), 0U) << path;
    }
    EXPECT_EQ(device.ioctl(0, VIDIOC_QUERYCAP, nullptr), -1);  // ENOTTY, never a hang
}

}  // namespace
}  // namespace kestrel::camera
