// Update checks against a real HTTP server on 127.0.0.1 (port 0), through Qt Network: what each
// kind of feed, good or bad, makes of a check. Every bad feed must end in an error, never in
// "up to date".

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <map>
#include <optional>

#include "app/qt/QtExecutor.h"
#include "app/update/QtFeedFetcher.h"
#include "app/update/UpdateChecker.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// Answers each path with a canned response; a held route sends its bytes and never finishes.
class FeedServer {
  public:
    struct Route {
        QByteArray response;
        bool hold = false;
    };

    FeedServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket] { serve(socket); });
            }
        });
    }
    void route(const QByteArray& path, Route route) { routes_[path] = std::move(route); }
    std::string url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
    }

  private:
    void serve(QTcpSocket* socket) {
        QByteArray& request = requests_[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n")) {
            return;
        }
        const QByteArray path = request.split(' ').value(1);
        const auto found = routes_.find(path);
        const Route route = found != routes_.end()
                                ? found->second
                                : Route{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
        socket->write(route.response);
        if (!route.hold) {
            socket->disconnectFromHost();
        }
    }

    QTcpServer server_;
    std::map<QByteArray, Route> routes_;
    std::map<QTcpSocket*, QByteArray> requests_;
};

QByteArray ok(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray redirect(const std::string& to) {
    return QByteArray("HTTP/1.1 302 Found\r\nLocation: ") + to.c_str() +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

QByteArray appcast(const QByteArray& items) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<title>Kestrel</title>" +
           items + "</channel></rss>";
}

QByteArray item(const char* version) {
    return QByteArray("<item><title>Kestrel</title><link>https://kestrel.test/") + version +
           "</link><sparkle:version>" + version +
           "</sparkle:version><sparkle:releaseNotesLink>https://kestrel.test/notes/" + version +
           "</sparkle:releaseNotesLink></item>";
}

class FixedFeed final : public UpdaterDelegate {
  public:
    explicit FixedFeed(std::string url) : url_(std::move(url)) {}
    std::string feedURLString() const override { return url_; }

  private:
    std::string url_;
};

class FeedServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "feed_server_test";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }

    // One check of `url` by a checker of version 0.1.0, run on the event loop to its end.
    std::optional<UpdateCheckResult> check(const std::string& url) {
        const QtFeedFetcher::Limits limits{16 * 1024, 300ms, 5};
        auto checker = UpdateChecker::create({executor, systemWallClock(),
                                              std::make_shared<MemorySettingsStore>(),
                                              std::make_shared<QtFeedFetcher>(executor, limits),
                                              std::make_shared<FixedFeed>(url), "0.1.0"});
        std::optional<UpdateCheckResult> result;
        QEventLoop loop;
        QTimer guard;  // only against a hang; the fetcher's own limit is far shorter
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(30000);
        checker->checkForUpdates([&](const UpdateCheckResult& found) {
            result = found;
            loop.quit();
        });
        loop.exec();
        if (result) {
            EXPECT_TRUE(checker->canCheckForUpdates.get());
        }
        return result;
    }

    QtExecutor executor;
    FeedServer server;
};

TEST_F(FeedServerTest, ReadsNewerSameOlderAndPreReleaseFeeds) {
    struct Case {
        const char* name;
        QByteArray items;
        bool available;
        const char* latest;
        const char* url;
    };
    const Case cases[] = {
        {"newer", item("0.1.0") + item("0.2.0") + item("0.1.5"), true, "0.2.0",
         "https://kestrel.test/0.2.0"},
        {"same", item("0.1.0"), false, "0.1.0", "https://kestrel.test/0.1.0"},
        {"older", item("0.0.9"), false, "0.0.9", "https://kestrel.test/0.0.9"},
        {"prerelease-of-this", item("0.1.0rc2"), false, "0.1.0rc2",
         "https://kestrel.test/0.1.0rc2"},
        {"prerelease-of-next", item("0.1.0") + item("0.2.0b1"), true, "0.2.0b1",
         "https://kestrel.test/0.2.0b1"},
        // Versions on the enclosure; a link that is not a web page falls back on the enclosure.
        {"enclosure",
         "<item><link>javascript:alert(1)</link><enclosure url=\"https://kestrel.test/k.tar.gz\" "
         "sparkle:version=\"0.1.1\" sparkle:shortVersionString=\"0.1.1 (beta)\"/></item>",
         true, "0.1.1 (beta)", "https://kestrel.test/k.tar.gz"},
        {"beta-channel-skipped",
         item("0.1.0") + "<item><sparkle:channel>beta</sparkle:channel><sparkle:version>0.9"
                         "</sparkle:version></item>",
         false, "0.1.0", "https://kestrel.test/0.1.0"},
    };
    for (const auto& c : cases) {
        const std::string path = std::string("/") + c.name + "/appcast.xml";
        server.route(path.c_str(), {ok(appcast(c.items))});
        const auto result = check(server.url(path.c_str()));
        ASSERT_TRUE(result) << c.name;
        EXPECT_EQ(result->error, "") << c.name;
        EXPECT_EQ(result->available, c.available) << c.name;
        EXPECT_EQ(result->latest, c.latest) << c.name;
        EXPECT_EQ(result->downloadUrl, c.url) << c.name;
    }
    // Redirects to another address of the allowed kind are followed.
    server.route("/moved", {redirect(server.url("/newer/appcast.xml"))});
    const auto moved = check(server.url("/moved"));
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved->available) << moved->error;
    EXPECT_EQ(moved->notesUrl, "https://kestrel.test/notes/0.2.0");
}

TEST_F(FeedServerTest, BadFeedsEndInAClearErrorNeverInUpToDate) {
    server.route("/html", {ok("<html><body>Sign in to the network</body></html>")});
    server.route("/broken", {ok("<rss><channel><item><title>Kes")});
    server.route("/text", {ok("Service Unavailable")});
    server.route("/empty", {ok(appcast(""))});
    server.route("/word", {ok(appcast(item("0.1.0") + item("latest")))});
    server.route("/noversion", {ok(appcast("<item><title>Kestrel</title></item>"))});
    server.route("/huge", {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
                           appcast(QByteArray(64 * 1024, ' ') + item("0.2.0"))});
    server.route("/slow", {"HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n<rss>", true});
    server.route("/downgrade", {redirect("http://192.0.2.1/appcast.xml")});
    server.route("/gone", {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"});
    const struct {
        std::string url;
        const char* error;
    } cases[] = {
        {server.url("/html"), "not an appcast"},
        {server.url("/broken"), "not valid XML"},
        {server.url("/text"), "not XML"},
        {server.url("/empty"), "lists no versions"},
        {server.url("/word"), "\"latest\", which is not a version number"},
        {server.url("/noversion"), "has no version"},
        {server.url("/huge"), "larger than 16 KiB"},
        {server.url("/slow"), "did not arrive within 0.3 s"},
        {server.url("/downgrade"),
         "redirected elsewhere, and \"http://192.0.2.1/appcast.xml\" is not an https"},
        {server.url("/gone"), "HTTP 404"},
        {"http://kestrel.test/appcast.xml", "is not an https address"},
        {"appcast.xml", "is not a web address"},
    };
    for (const auto& c : cases) {
        const auto result = check(c.url);
        ASSERT_TRUE(result) << c.url;
        EXPECT_NE(result->error.find(c.error), std::string::npos) << c.url << ": " << result->error;
        EXPECT_FALSE(result->available) << c.url;
        EXPECT_EQ(result->latest, "") << c.url;
    }
}

}  // namespace
}  // namespace kestrel
