// The kestrel program on a private session bus: one instance at a time, the command-line
// wrappers against the running instance, and a run without any session bus. Every process is
// ended by its pid; each test has its own XDG folders and HOME.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/sources/LoopLibrary.h"
#include "app/sources/MovieReader.h"
#include "tests/support/ChildProcess.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::Redirect;
using testing::TempFolder;
using testing::waitFor;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class KestrelCommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
            GTEST_SKIP() << "no session bus: run this test under dbus-run-session (ctest does)";
        }
        ASSERT_FALSE(home.path().empty());
        for (const char* sub : {"runtime", "config", "data", "state"}) {
            std::filesystem::create_directories(home.path() / sub);
        }
        std::filesystem::permissions(home.path() / "runtime", std::filesystem::perms::owner_all);
    }

    std::vector<std::string> env() const {
        const std::string h = home.path().string();
        return {"HOME=" + h,
                "XDG_RUNTIME_DIR=" + h + "/runtime",
                "XDG_CONFIG_HOME=" + h + "/config",
                "XDG_DATA_HOME=" + h + "/data",
                "XDG_STATE_HOME=" + h + "/state",
                "DISPLAY=",
                "KESTREL_LOG=stderr"};
    }

    // Runs kestrel with `args` to its end (at most 30 s); its exit status, -1 when it hung.
    int run(const std::vector<std::string>& args, std::vector<std::string> extraEnv = {}) {
        std::vector<std::string> argv = {KESTREL_APP_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        auto environment = env();
        environment.insert(environment.end(), extraEnv.begin(), extraEnv.end());
        std::filesystem::remove(outPath());
        std::filesystem::remove(errPath());
        return testing::runToEnd(argv, environment, Redirect{outPath(), errPath(), -1, false});
    }
    std::string out() const { return readFile(outPath()); }
    std::string err() const { return readFile(errPath()); }
    std::string outPath() const { return (home.path() / "cmd.out").string(); }
    std::string errPath() const { return (home.path() / "cmd.err").string(); }
    std::string logPath() const { return (home.path() / "kestrel.log").string(); }

    TempFolder home;
};

TEST_F(KestrelCommandLineTest, OneInstanceAnswersTheWrappersAndTheToggleSignal) {
    ChildProcess app({KESTREL_APP_PATH, "--headless", "--camera", "pattern"}, env(),
                     Redirect{logPath(), logPath(), -1, false});
    ASSERT_TRUE(waitFor([&] { return run({"--status"}) == 0; }, 15s)) << readFile(logPath());
    EXPECT_NE(out().find("\"forceAway\":false"), std::string::npos) << out();

    EXPECT_EQ(run({"--headless", "--camera", "pattern"}), 1);
    EXPECT_NE(err().find("kestrel is already running"), std::string::npos) << err();
    EXPECT_TRUE(app.running()) << "the first instance is not disturbed";

    EXPECT_EQ(run({"--force-away", "on"}), 0) << err();
    ASSERT_EQ(run({"--status"}), 0);
    EXPECT_NE(out().find("\"forceAway\":true"), std::string::npos) << out();
    EXPECT_EQ(run({"--toggle-away"}), 0) << err();
    EXPECT_TRUE(waitFor(
        [&] {
            return run({"--status"}) == 0 && out().find("\"forceAway\":false") != std::string::npos;
        },
        10s))
        << out();

    EXPECT_EQ(run({"--record-stop"}), 1) << "nothing was recording";
    EXPECT_NE(err().find("no loop was saved"), std::string::npos) << err();
    EXPECT_EQ(run({"--force-away", "maybe"}), 2);

    const int status = app.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(logPath());
    EXPECT_EQ(run({"--status"}), 1);
    EXPECT_NE(err().find("kestrel is not running"), std::string::npos) << err();
    EXPECT_EQ(run({"--record-start"}), 1);
}

TEST_F(KestrelCommandLineTest, RunsWithoutASessionBus) {
    const std::vector<std::string> noBus = {"DBUS_SESSION_BUS_ADDRESS=unix:path=" +
                                            (home.path() / "no-bus").string()};
    EXPECT_EQ(run({"--headless", "--camera", "pattern", "--seconds", "1"}, noBus), 0) << err();
    const std::string log = err();
    EXPECT_NE(log.find("no session bus: the control object and the toggle signal are unavailable"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[dev.corvid.kestrel:Gate]"), std::string::npos) << log;
    EXPECT_EQ(run({"--status"}, noBus), 1);
    EXPECT_NE(err().find("no session bus"), std::string::npos) << err();
}

TEST_F(KestrelCommandLineTest, ARecordingCutOffByAKillIsAPlayableLoopAtTheNextLaunch) {
    const std::filesystem::path loops = home.path() / "data/dev.corvid.kestrel/loops";
    // Frames of the recording in fragments on disk: each fragment's run box counts its samples
    // (the encoder runs on idle time, so a busy machine fills fragments with fewer frames). Half a
    // second more than the second a loop needs covers a last fragment still being written.
    auto framesOnDisk = [&] {
        std::uint32_t count = 0;
        std::error_code error;
        for (std::filesystem::directory_iterator it(loops, error), end; !error && it != end;
             it.increment(error)) {
            const std::string bytes = readFile(it->path());
            for (auto at = bytes.find("trun"); at != std::string::npos && at + 12 <= bytes.size();
                 at = bytes.find("trun", at + 4)) {
                std::uint32_t samples = 0;
                for (std::size_t i = at + 8; i < at + 12; ++i) {
                    samples = samples << 8U | static_cast<unsigned char>(bytes[i]);
                }
                count += samples;
            }
        }
        return count;
    };
    {
        ChildProcess app({KESTREL_APP_PATH, "--headless", "--camera", "pattern"}, env(),
                         Redirect{logPath(), logPath(), -1, false});
        ASSERT_TRUE(waitFor([&] { return run({"--status"}) == 0; }, 15s)) << readFile(logPath());
        ASSERT_EQ(run({"--record-start"}), 0) << err();
        ASSERT_TRUE(waitFor([&] { return framesOnDisk() >= 24; }, 60s)) << readFile(logPath());
        ASSERT_EQ(::kill(app.pid(), SIGKILL), 0);
        app.stop();
    }

    ChildProcess again({KESTREL_APP_PATH, "--headless", "--camera", "pattern"}, env(),
                       Redirect{logPath(), logPath(), -1, false});
    ASSERT_TRUE(waitFor([&] { return run({"--status"}) == 0; }, 15s)) << readFile(logPath());
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(loops)) {
        files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1U) << "one loop and nothing else";
    EXPECT_EQ(files[0].extension(), LoopLibrary::kExtension);
    EXPECT_NE(out().find("\"activeLoop\":\"" + files[0].string() + "\""), std::string::npos)
        << out();
    EXPECT_NE(readFile(logPath()).find("recovered an unfinished recording"), std::string::npos);

    auto opened = MovieReader::open(files[0]);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<MovieReader>>(opened));
    auto& reader = *std::get<std::unique_ptr<MovieReader>>(opened);
    EXPECT_EQ(reader.width(), 1920);
    EXPECT_EQ(reader.height(), 1080);
    auto frame = PixelBuffer::create(1920, 1080);
    int frames = 0;
    while (reader.readFrame(*frame)) {
        ++frames;
    }
    EXPECT_GE(frames, 15) << "at least a second";
}

#ifdef KESTREL_UPDATE_CHECKER
// Run with the update checker built in: the check goes through the running instance when there
// is one, else kestrel checks by itself; either way one JSON line, or exit 1 saying why.
TEST_F(KestrelCommandLineTest, ChecksForUpdatesThroughTheRunningInstanceOrByItself) {
    const auto www = home.path() / "www";
    std::filesystem::create_directories(www);
    std::ofstream(www / "appcast.xml")
        << "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<item><link>https://kestrel.test/0.2.0</link><sparkle:version>0.2.0</sparkle:version>"
           "</item></channel></rss>";
    const std::string serverLog = (home.path() / "server.log").string();
    ChildProcess server({"/usr/bin/python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                         "--directory", www.string()},
                        {}, Redirect{serverLog, serverLog, -1, false});
    std::smatch port;
    std::string served;
    ASSERT_TRUE(waitFor(
        [&] {
            served = readFile(serverLog);
            return std::regex_search(served, port, std::regex("port (\\d+)"));
        },
        15s))
        << served;
    std::filesystem::create_directories(home.path() / "config/corvid");
    std::ofstream(home.path() / "config/corvid/kestrel.conf")
        << "[General]\nkestrel.updateFeedURL=http://127.0.0.1:" << port[1] << "/appcast.xml\n";
    const std::string found =
        "{\"current\":\"0.1.0\",\"latest\":\"0.2.0\",\"updateAvailable\":true,"
        "\"url\":\"https://kestrel.test/0.2.0\"}\n";

    ASSERT_EQ(run({"--check-updates"}), 0) << err();
    EXPECT_EQ(out(), found);

    ChildProcess app({KESTREL_APP_PATH, "--headless", "--camera", "pattern"}, env(),
                     Redirect{logPath(), logPath(), -1, false});
    ASSERT_TRUE(waitFor([&] { return run({"--status"}) == 0; }, 15s)) << readFile(logPath());
    ASSERT_EQ(run({"--check-updates"}), 0) << err();
    EXPECT_EQ(out(), found);
    EXPECT_NE(readFile(logPath()).find("checking for updates at http://127.0.0.1"),
              std::string::npos)
        << "the running instance checked";

    server.stop();
    EXPECT_EQ(run({"--check-updates"}), 1);
    EXPECT_NE(err().find("update check failed: cannot fetch the update feed"), std::string::npos)
        << err();
    EXPECT_EQ(out(), "");
}
#endif

}  // namespace
}  // namespace kestrel
