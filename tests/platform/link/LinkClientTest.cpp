// The client library against providers that misbehave: it answers with failure statuses and never
// crashes, hangs past its reply timeout, or trusts a bad frame.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "platform/link/LinkClient.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFolder.h"

namespace kestrel::link {
namespace {

using namespace std::chrono_literals;

UniqueFd listenAt(const std::filesystem::path& path, int flags = 0) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | flags, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        return UniqueFd();
    }
    return fd;
}

// A provider socket served by a thread that answers every request with `answer(request)`;
// returning nothing sends raw garbage instead.
class FakeProvider {
  public:
    using Answer = std::function<std::optional<Message>(const Message&)>;
    FakeProvider(const std::filesystem::path& folder, Answer answer) : answer_(std::move(answer)) {
        path_ = folder / "fake.sock";
        listen_ = listenAt(path_);
        EXPECT_TRUE(listen_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeProvider() {
        stop_ = true;
        ::shutdown(listen_.get(), SHUT_RDWR);
        thread_.join();
        std::filesystem::remove(path_);
    }

  private:
    void serve() {
        while (!stop_) {
            UniqueFd peer(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!peer) {
                return;
            }
            for (int i = 0; i < 100 && !stop_; ++i) {
                pollfd p{peer.get(), POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) {
                    continue;
                }
                Received got = receiveMessage(peer.get());
                if (got.kind == Received::Kind::closed) {
                    break;
                }
                if (got.kind != Received::Kind::message) {
                    continue;
                }
                auto reply = answer_(got.message);
                if (reply) {
                    sendMessage(peer.get(), *reply);
                } else {
                    const std::uint8_t garbage[] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3};
                    ::send(peer.get(), garbage, sizeof garbage, MSG_NOSIGNAL);
                }
            }
        }
    }
    std::filesystem::path path_;
    UniqueFd listen_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Longer than any test may run: a client that waited for it would hang the test, not pass it.
constexpr auto kNever = std::chrono::hours(1);

class LinkClientTest : public ::testing::Test {
  protected:
    testing::TempFolder temp_;
    const std::filesystem::path& folder_ = temp_.path();
    ManualExecutor exec_;
};

TEST_F(LinkClientTest, AnswersOfTheWrongKindOrGarbageAreNoDeviceWithoutWaitingForATimeout) {
    const FakeProvider::Answer answers[] = {
        [](const Message& request) -> std::optional<Message> {
            return Message{request.requestId, QueueReply{status::badObject, 0, 0}};
        },
        [](const Message&) -> std::optional<Message> { return {}; },  // garbage: closed
    };
    for (const auto& answer : answers) {
        FakeProvider provider(folder_, answer);
        LinkClient client(exec_, kNever);
        client.setFolderForTesting(folder_);
        std::vector<std::uint32_t> devices;
        EXPECT_EQ(client.getProperty(kSystemObject, property::devices, devices), status::ok);
        EXPECT_TRUE(devices.empty());
    }
}

TEST_F(LinkClientTest, SilentProviderTimesOut) {
    // The provider answers only once the client has returned: a client that waited would hang.
    std::promise<void> returned;
    std::shared_future<void> released = returned.get_future().share();
    FakeProvider provider(folder_, [released](const Message& request) -> std::optional<Message> {
        released.wait();
        return Message{request.requestId,
                       Reply{status::ok, true, PropertyValue{std::vector<std::uint32_t>{77}}}};
    });
    LinkClient client(exec_, 200ms);
    client.setFolderForTesting(folder_);
    std::vector<std::uint32_t> devices;
    EXPECT_EQ(client.getProperty(kSystemObject, property::devices, devices), status::ok);
    returned.set_value();
    EXPECT_TRUE(devices.empty());
}

TEST_F(LinkClientTest, DeviceIdsAreMappedAndTypesChecked) {
    FakeProvider provider(folder_, [](const Message& request) -> std::optional<Message> {
        const auto* get = std::get_if<GetProperty>(&request.body);
        if (get != nullptr && get->selector == property::devices) {
            return Message{request.requestId,
                           Reply{status::ok, true, PropertyValue{std::vector<std::uint32_t>{77}}}};
        }
        if (get != nullptr && get->object == 77 && get->selector == property::name) {
            return Message{request.requestId,
                           Reply{status::ok, true, PropertyValue{std::string("Kestrel")}}};
        }
        return Message{request.requestId, Reply{status::unknownProperty, false, {}}};
    });
    LinkClient client(exec_, 500ms);
    client.setFolderForTesting(folder_);
    std::vector<std::uint32_t> devices;
    ASSERT_EQ(client.getProperty(kSystemObject, property::devices, devices), status::ok);
    ASSERT_EQ(devices.size(), 1U);
    EXPECT_NE(devices[0], 77U);  // a local id, not the provider's
    std::string name;
    EXPECT_EQ(client.getProperty(devices[0], property::name, name), status::ok);
    EXPECT_EQ(name, "Kestrel");
    std::uint32_t number = 0;
    EXPECT_EQ(client.getProperty(devices[0], property::name, number), status::badPropertySize);
    EXPECT_EQ(client.getProperty(devices[0], property::model, name), status::unknownProperty);
    EXPECT_EQ(client.getProperty(12345, property::name, name), status::badObject);
}

// A stopped provider (SIGSTOP) still takes connections into its socket's backlog but never
// answers: after one timeout it is left alone for a back-off that doubles, and the log and the
// device-list listeners hear of it once.
TEST_F(LinkClientTest, AStoppedProviderIsTriedAgainOnlyAfterADoublingBackOff) {
    testing::LogCapture capture;
    const UniqueFd listener = listenAt(folder_ / "stopped.sock", SOCK_NONBLOCK);
    ASSERT_TRUE(listener);
    const auto newConnections = [&] {
        int count = 0;
        while (UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC))) {
            ++count;
        }
        return count;
    };

    LinkClient client(exec_, 50ms, exec_.hostClock());
    client.setFolderForTesting(folder_);
    int changes = 0;
    Handle registration;
    ASSERT_EQ(client.addDevicesListener([&] { ++changes; }, registration), status::ok);
    std::vector<std::uint32_t> devices;
    // Each step: how far virtual time moves first, and whether the client connects again.
    const std::vector<std::pair<std::chrono::nanoseconds, int>> steps = {
        {0ns, 1},
        {0ns, 0},
        {LinkClient::kFirstBackoff, 1},
        {LinkClient::kFirstBackoff, 0},  // the back-off doubled
        {LinkClient::kFirstBackoff, 1},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        exec_.advance(steps[i].first);
        EXPECT_EQ(client.getProperty(kSystemObject, property::devices, devices), status::ok);
        EXPECT_TRUE(devices.empty());
        EXPECT_EQ(newConnections(), steps[i].second) << "step " << i;
    }
    exec_.runUntilIdle();
    EXPECT_EQ(capture->count("no answer from"), 1U);
    EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace kestrel::link
