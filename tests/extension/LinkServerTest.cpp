// The link server in this process (its main loop and consume queue on worker threads), probed by
// a LinkClient and by raw sockets that send nonsense.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <thread>
#include <tuple>

#include "extension/LinkServer.h"
#include "platform/link/LinkClient.h"
#include "platform/runtime/ManualExecutor.h"
#include "platform/runtime/WorkerThread.h"
#include "tests/extension/RelayFakes.h"
#include "tests/support/CameraLink.h"
#include "tests/support/ChildProcess.h"

namespace kestrel::camera {
namespace {

using namespace std::chrono_literals;
using namespace kestrel::link;
using kestrel::testing::TempFolder;
using kestrel::testing::waitFor;

class LinkServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder.path().empty());
        serverThread.runSync([this] {
            device = VirtualCameraDevice::create(consume, systemHostClock());
            server = std::make_unique<LinkServer>(serverThread, consume, device);
            fanout.add(server->readerOutput());
            device->attachStreams(server.get(), &fanout);
        });
    }
    void listen() {
        bool ok = false;
        serverThread.runSync([&] { ok = server->listen(folder.path()); });
        ASSERT_TRUE(ok);
    }
    void TearDown() override {
        consume.runSync([this] { device->shutdown(); });
        serverThread.runSync([this] { server.reset(); });
        consume.runSync([this] { device.reset(); });
    }
    template <class T>
    T onServer(std::function<T()> read) {
        T value{};
        serverThread.runSync([&] { value = read(); });
        return value;
    }
    template <class T>
    T onConsume(std::function<T()> read) {
        T value{};
        consume.runSync([&] { value = read(); });
        return value;
    }
    UniqueFd rawPeer() { return connectTo(folder.path() / kCameraProviderSocket); }
    std::unique_ptr<LinkClient> client() {
        auto made = std::make_unique<LinkClient>(clientExec);
        made->setFolderForTesting(folder.path());
        return made;
    }
    static SlotFrame frame(std::uint32_t slot, std::uint64_t sequence) {
        SlotFrame f;
        f.slot = slot;
        f.sequence = sequence;
        f.width = 64;
        f.height = 64;
        f.stride = 256;
        return f;
    }

    // Sends `bytes`; true when the server then closes on us.
    bool closedAfter(const std::vector<std::uint8_t>& bytes) {
        UniqueFd peer = rawPeer();
        return peer && ::send(peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) >= 0 &&
               readsUntilClosed(peer.get());
    }
    static bool readsUntilClosed(int fd) {
        return waitFor(
            [fd] {
                Received got = receiveMessage(fd);
                return got.kind == Received::Kind::closed;
            },
            2000ms);
    }

    kestrel::testing::LogCapture captured;
    TempFolder folder;
    WorkerThread consume{"dev.corvid.kestrel.consume"};
    WorkerThread serverThread{"test.linkserver"};
    std::shared_ptr<VirtualCameraDevice> device;
    SourceFanout fanout;
    std::unique_ptr<LinkServer> server;
    ManualExecutor clientExec;
};

TEST_F(LinkServerTest, TakesOverADeadProvidersSocketLeavesOnlyItsOwnAndAnswersTheObjectTree) {
    // A socket file whose provider is gone: it exists, and connecting to it is refused.
    const auto socketPath = folder.path() / std::string(kCameraProviderSocket);
    {
        UniqueFd dead(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socketPath.c_str());
        ASSERT_EQ(::bind(dead.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
    }
    listen();
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        entries.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(entries, std::vector<std::string>{std::string(kCameraProviderSocket)});
    auto owned = client();
    LinkClient& client = *owned;
    const auto camera = kestrel::testing::findKestrel(client);
    ASSERT_TRUE(camera.has_value());
    const std::tuple<ObjectId, std::uint32_t, PropertyValue> expected[] = {
        {camera->device, property::model, std::string("Kestrel Virtual Camera")},
        {camera->device, property::transportType, 0x75736220U},
        {camera->sink, property::name, std::string("Kestrel Sink")},
        {camera->source, property::name, std::string("Kestrel Stream")},
        {camera->sink, property::sinkBufferQueueSize, 1U},
        {camera->source, property::frameDuration, MediaTime{1, 30}},
        {camera->source, property::formats, std::vector<std::uint32_t>{0x42475241, 1920, 1080}},
    };
    for (const auto& [object, selector, value] : expected) {
        PropertyValue got;
        EXPECT_EQ(client.getProperty(object, selector, got), status::ok) << selector;
        EXPECT_EQ(got, value) << selector;
    }
    PropertyValue unknown;
    EXPECT_EQ(client.getProperty(camera->sink, property::sinkBufferUnderrunCount, unknown),
              status::unknownProperty);
    std::vector<std::uint32_t> available;
    EXPECT_EQ(client.availableProperties(camera->sink, available), status::ok);
    EXPECT_EQ(available.size(), 9U);  // name, direction, formats and the six extension properties
    std::string text;
    EXPECT_EQ(client.getProperty(999, property::name, text), status::badObject);
    // The provider object, which the client does not map: asked directly.
    UniqueFd peer = rawPeer();
    const auto ask = [&peer](Body body) {
        Received got;
        if (sendMessage(peer.get(), Message{7, std::move(body)})) {
            waitFor(
                [&] { return (got = receiveMessage(peer.get())).kind == Received::Kind::message; },
                2000ms);
        }
        const auto* reply = std::get_if<Reply>(&got.message.body);
        return reply != nullptr ? reply->value : PropertyValue{};
    };
    EXPECT_EQ(ask(GetProperty{objects::provider, property::manufacturer}),
              PropertyValue{std::string("corvid")});
    const auto advertised =
        std::get<std::vector<std::uint32_t>>(ask(AvailableProperties{objects::provider}));
    EXPECT_EQ(std::count(advertised.begin(), advertised.end(), property::manufacturer), 1);
    EXPECT_EQ(client.setProperty(kSystemObject, property::allowScreenCapture, PropertyValue{1U}),
              status::ok);
    EXPECT_EQ(client.setProperty(camera->device, property::model, PropertyValue{std::string("x")}),
              status::ok);
}

TEST_F(LinkServerTest, MalformedPeersAreDisconnectedAndOthersServedOn) {
    listen();
    // Garbage, a truncated header, a wrong magic, a provider-only message, a descriptor where
    // none belongs.
    EXPECT_TRUE(closedAfter({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    auto good = encodeMessage(Message{1, GetProperty{kSystemObject, property::devices}});
    EXPECT_TRUE(closedAfter(std::vector<std::uint8_t>(good.begin(), good.begin() + 12)));
    auto badMagic = good;
    badMagic[1] ^= 0x40;
    EXPECT_TRUE(closedAfter(badMagic));
    EXPECT_TRUE(closedAfter(encodeMessage(Message{0, ScheduledOutput{0, 1, 2}})));
    UniqueFd extra(::dup(2));
    const int fd = extra.get();
    UniqueFd peer = rawPeer();
    ASSERT_TRUE(sendMessage(peer.get(), Message{1, GetProperty{kSystemObject, property::devices}},
                            std::span(&fd, 1)));
    EXPECT_TRUE(readsUntilClosed(peer.get()));
    // Frames into a queue the peer never asked for, and releases of slots it does not hold.
    EXPECT_TRUE(closedAfter(encodeMessage(Message{0, Enqueue{frame(0, 1)}})));
    EXPECT_TRUE(closedAfter(encodeMessage(Message{0, FrameDone{0, 1}})));

    EXPECT_GE(onServer<std::uint64_t>([this] { return server->invalidPeers(); }), 7U);
    EXPECT_GE(captured->count("sent an invalid message"), 3U);

    EXPECT_TRUE(kestrel::testing::findKestrel(*client()).has_value());  // others are still served
}

TEST_F(LinkServerTest, SinkFramesOutsideTheQueueAreRefused) {
    listen();
    auto client = this->client();
    const auto camera = kestrel::testing::findKestrel(*client);
    ASSERT_TRUE(camera.has_value());
    std::shared_ptr<SinkQueue> queue;
    ASSERT_EQ(client->copyBufferQueue(camera->sink, {}, queue), status::ok);
    // Raw peers with their own queue: slot 5 of a 4-slot queue; a sequence that does not grow.
    const std::vector<SlotFrame> refused[] = {{frame(5, 1)}, {frame(0, 5), frame(1, 5)}};
    for (const auto& frames : refused) {
        UniqueFd peer = rawPeer();
        ASSERT_TRUE(sendMessage(peer.get(), Message{9, CopyBufferQueue{objects::sinkStream}}));
        ASSERT_TRUE(waitFor(
            [&] { return receiveMessage(peer.get()).kind == Received::Kind::message; }, 2000ms));
        for (const SlotFrame& f : frames) {
            ASSERT_TRUE(sendMessage(peer.get(), Message{0, Enqueue{f}}));
        }
        EXPECT_TRUE(readsUntilClosed(peer.get())) << frames.size();
    }
    EXPECT_GE(captured->count("enqueued an invalid frame"), 2U);

    // The well-behaved client's queue still works.
    auto pixels = PixelBuffer::create(64, 64);
    pixels->fill(1, 2, 3);
    EXPECT_EQ(queue->enqueue(*pixels, MediaTime::fromNanos(5), MediaTime{1, 30}), status::ok);
}

TEST_F(LinkServerTest, ASinkPeerThatCannotTakeItsAcknowledgementIsLetGo) {
    listen();
    UniqueFd peer = rawPeer();
    ASSERT_TRUE(sendMessage(peer.get(), Message{9, CopyBufferQueue{objects::sinkStream}}));
    ASSERT_TRUE(waitFor([&] { return receiveMessage(peer.get()).kind == Received::Kind::message; },
                        2000ms));
    ASSERT_TRUE(sendMessage(peer.get(), Message{0, Enqueue{frame(0, 1)}}));
    ConsumeResult taken;
    ASSERT_TRUE(waitFor(
        [&] {
            consume.runSync([&] {
                server->consumeSampleBuffer(Client{1, 0},
                                            [&](ConsumeResult r) { taken = std::move(r); });
            });
            return taken.buffer.has_value();
        },
        2000ms));
    // The peer stops reading without closing, so nothing wakes the server before it answers.
    ASSERT_EQ(::shutdown(peer.get(), SHUT_RD), 0);
    consume.runSync([&] { server->notifyScheduledOutputChanged(taken.sequence, 1); });
    EXPECT_TRUE(waitFor(
        [&] { return onServer<std::size_t>([&] { return server->peerCount(); }) == 0; }, 2000ms));
    EXPECT_EQ(captured->count("not reading its acknowledgements"), 1U);
}

TEST_F(LinkServerTest, PeerOfAnotherUserIsRefused) {
    serverThread.runSync([this] { server->setExpectedUidForTesting(::getuid() + 1); });
    listen();
    EXPECT_FALSE(kestrel::testing::findKestrel(*client()).has_value());
    EXPECT_TRUE(waitFor(
        [this] { return onServer<std::uint64_t>([this] { return server->refusedPeers(); }) > 0; },
        2000ms));
    EXPECT_GE(captured->count("refused peer"), 1U);
}

TEST_F(LinkServerTest, PeerOfAnotherRealUserIsRefused) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    // A folder others may enter, so that only SO_PEERCRED stands between them and the socket.
    ASSERT_EQ(::chmod(folder.path().c_str(), 0755), 0);
    listen();
    ASSERT_EQ(::chmod((folder.path() / kCameraProviderSocket).c_str(), 0777), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(3);
        }
        UniqueFd fd = connectTo(folder.path() / kCameraProviderSocket);
        if (!fd) {
            ::_exit(4);
        }
        sendMessage(fd.get(), Message{1, GetProperty{kSystemObject, property::devices}});
        // Refused: the server closes without an answer.
        for (int i = 0; i < 200; ++i) {
            Received got = receiveMessage(fd.get());
            if (got.kind == Received::Kind::closed) {
                ::_exit(0);
            }
            if (got.kind == Received::Kind::message) {
                ::_exit(5);
            }
            ::usleep(10'000);
        }
        ::_exit(6);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_TRUE(waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5000ms));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(onServer<std::uint64_t>([this] { return server->refusedPeers(); }), 1U);
}

TEST_F(LinkServerTest, OnlyTheCurrentSinkClientStopsTheSinkByStoppingOrGoingAway) {
    listen();
    auto first = client();
    auto second = client();
    const auto a = kestrel::testing::findKestrel(*first);
    const auto b = kestrel::testing::findKestrel(*second);
    ASSERT_TRUE(a.has_value() && b.has_value());
    ASSERT_EQ(first->startStream(a->device, a->sink), status::ok);
    ASSERT_EQ(second->startStream(b->device, b->sink), status::ok);
    EXPECT_EQ(first->stopStream(a->device, a->sink), status::ok);
    // The stop was answered, so what it posted to the consume queue runs before this.
    serverThread.runSync([] {});
    EXPECT_TRUE(onConsume<bool>([this] { return device->sinkActive(); }));
    EXPECT_EQ(onConsume<std::uint64_t>([this] { return device->sinkClient()->id; }), 2U);
    EXPECT_EQ(onServer<std::int64_t>([this] { return server->streamingClientCount(); }), 1);

    second.reset();
    ASSERT_TRUE(waitFor(
        [this] { return !onConsume<bool>([this] { return device->sinkActive(); }); }, 2000ms));
    EXPECT_EQ(captured->count("sink stream stopped"), 1U);
    EXPECT_EQ(onServer<std::int64_t>([this] { return server->streamingClientCount(); }), 0);
}

TEST_F(LinkServerTest, DeviceListListenerHearsProvidersComeAndGo) {
    auto owned = client();
    LinkClient& client = *owned;
    int changes = 0;
    Handle registration;
    ASSERT_EQ(client.addDevicesListener([&changes] { ++changes; }, registration), status::ok);
    auto pump = [this] {
        clientExec.pollFds();
        clientExec.runUntilIdle();
        std::this_thread::sleep_for(2ms);
    };
    listen();  // the socket appears
    ASSERT_TRUE(waitFor([&] { return changes >= 1; }, 2000ms, pump));
    ASSERT_TRUE(kestrel::testing::findKestrel(client).has_value());

    const int before = changes;
    consume.runSync([this] { device->attachStreams(nullptr, &fanout); });
    serverThread.runSync([this] { server.reset(); });  // the provider goes away
    ASSERT_TRUE(waitFor([&] { return changes > before; }, 2000ms, pump));
    std::vector<std::uint32_t> devices;
    EXPECT_EQ(client.getProperty(kSystemObject, property::devices, devices), status::ok);
    EXPECT_TRUE(devices.empty());

    // A removed listener hears nothing more, though one still registered hears the change.
    int witnessed = 0;
    Handle witness;
    ASSERT_EQ(client.addDevicesListener([&witnessed] { ++witnessed; }, witness), status::ok);
    registration.reset();
    const int removed = changes;
    serverThread.runSync(
        [this] { server = std::make_unique<LinkServer>(serverThread, consume, device); });
    consume.runSync([this] { device->attachStreams(server.get(), &fanout); });
    listen();
    ASSERT_TRUE(waitFor([&] { return witnessed >= 1; }, 2000ms, pump));
    EXPECT_EQ(changes, removed);
}

}  // namespace
}  // namespace kestrel::camera
