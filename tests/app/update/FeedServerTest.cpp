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
#include "tests/support/CoreApplication.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

// Answers each path with a canned response and leaves the connection open, so a response that
// stops short never ends.
class FeedServer {
  public:
    FeedServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    // One answer per request, also for several on one connection.
                    QByteArray& pending = requests_[socket];
                    pending += socket->readAll();
                    for (qsizetype end = 0; (end = pending.indexOf("\r\n\r\n")) >= 0;
                         pending.remove(0, end + 4)) {
                        socket->write(routes_[pending.left(end).split(' ').value(1)]);
                    }
                });
            }
        });
    }
    void route(const std::string& path, QByteArray response) {
        routes_[QByteArray::fromStdString(path)] = std::move(response);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
    }

  private:
    QTcpServer server_;
    std::map<QByteArray, QByteArray> routes_;
    std::map<QTcpSocket*, QByteArray> requests_;
};

QByteArray ok(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray redirect(const std::string& to) {
    return QByteArray("HTTP/1.1 302 Found\r\nLocation: ") + to.c_str() +
           "\r\nContent-Length: 0\r\n\r\n";
}

QByteArray appcast(const QByteArray& items) {
    return "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>" +
           items + "</channel></rss>";
}

QByteArray item(const char* version) {
    return QByteArray("<item><title>Kestrel</title><link>https://kestrel.test/") + version +
           "</link><sparkle:version>" + version +
           "</sparkle:version><sparkle:releaseNotesLink>https://kestrel.test/notes/" + version +
           "</sparkle:releaseNotesLink></item>";
}

class FeedServerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::coreApplication(); }

    // One check of `url` by a checker of version 0.1.0, run on the event loop to its end.
    std::optional<UpdateCheckResult> check(const std::string& url) {
        const QtFeedFetcher::Limits limits{16 * 1024, 300ms, 5};
        auto settings = std::make_shared<MemorySettingsStore>();
        settings->setRaw(KestrelUpdaterDelegate::kFeedURLKey, url);
        auto checker =
            UpdateChecker::create({executor, systemWallClock(), settings,
                                   std::make_shared<QtFeedFetcher>(executor, limits),
                                   std::make_shared<KestrelUpdaterDelegate>(settings), "0.1.0"});
        std::optional<UpdateCheckResult> result;
        QEventLoop loop;
        // Only against a hang: the fetcher's own time limit is far shorter.
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
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
        server.route(path, ok(appcast(c.items)));
        const auto result = check(server.url(path));
        ASSERT_TRUE(result) << c.name;
        EXPECT_EQ(result->error, "") << c.name;
        EXPECT_EQ(result->available, c.available) << c.name;
        EXPECT_EQ(result->latest, c.latest) << c.name;
        EXPECT_EQ(result->downloadUrl, c.url) << c.name;
    }
    // Redirects to another address of the allowed kind are followed.
    server.route("/moved", redirect(server.url("/newer/appcast.xml")));
    const auto moved = check(server.url("/moved"));
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved->available) << moved->error;
    EXPECT_EQ(moved->notesUrl, "https://kestrel.test/notes/0.2.0");
}

TEST_F(FeedServerTest, BadFeedsEndInAClearErrorNeverInUpToDate) {
    // Rows without a response name an address that is never fetched.
    const struct {
        std::string path;
        QByteArray response;
        const char* error;
    } cases[] = {
        {"/html", ok("<html><body>Sign in to the network</body></html>"), "not an appcast"},
        {"/broken", ok("<rss><channel><item><title>Kes"), "not valid XML"},
        {"/text", ok("Service Unavailable"), "not XML"},
        {"/empty", ok(appcast("")), "lists no versions"},
        {"/word", ok(appcast(item("0.1.0") + item("latest"))),
         "\"latest\", which is not a version number"},
        {"/noversion", ok(appcast("<item><title>Kestrel</title></item>")), "has no version"},
        {"/huge",
         "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
             appcast(QByteArray(64 * 1024, ' ') + item("0.2.0")),
         "larger than 16 KiB"},
        {"/slow", "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n<rss>",
         "did not arrive within 0.3 s"},
        {"/downgrade", redirect("http://192.0.2.1/appcast.xml"),
         "redirected elsewhere, and \"http://192.0.2.1/appcast.xml\" is not an https"},
        {"/gone", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "HTTP 404"},
        {"http://kestrel.test/appcast.xml", {}, "is not an https address"},
        {"appcast.xml", {}, "is not a web address"},
    };
    for (const auto& c : cases) {
        if (!c.response.isEmpty()) {
            server.route(c.path, c.response);
        }
        const auto result = check(c.response.isEmpty() ? c.path : server.url(c.path));
        ASSERT_TRUE(result) << c.path;
        EXPECT_NE(result->error.find(c.error), std::string::npos)
            << c.path << ": " << result->error;
        EXPECT_FALSE(result->available) << c.path;
        EXPECT_EQ(result->latest, "") << c.path;
    }
}

}  // namespace
}  // namespace kestrel
