// End to end without PipeWire: an application process activates the real camera daemon and feeds
// it, a camera-link reader sees those frames, the feeder heals across a daemon restart, and the
// reader sees black once the application is killed.

#include <gtest/gtest.h>

#include <thread>

#include "app/link/DaemonProcesses.h"
#include "platform/link/LinkClient.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/support/CameraLink.h"
#include "tests/support/ChildProcess.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::waitFor;

std::size_t countIn(const std::filesystem::path& file, const std::string& text) {
    const std::string s = testing::readFile(file);
    std::size_t count = 0;
    for (auto at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) {
        ++count;
    }
    return count;
}

// Reads the camera's source stream and remembers what it saw.
struct Reader {
    explicit Reader(ManualExecutor& exec, const std::filesystem::path& folder) : client(exec) {
        client.setFolderForTesting(folder);
    }
    bool open() {
        const auto camera = testing::findKestrel(client);
        return camera &&
               client.openSourceReader(
                   camera->device, camera->source,
                   [this](const link::SourceFrame& f) { seen.push_back(testing::summarise(f, 0)); },
                   reader) == link::status::ok;
    }
    // The feeder's colour, within the rounding of its trip through YUV planes.
    std::size_t fed() const {
        auto near = [](int value, int wanted) { return std::abs(value - wanted) <= 3; };
        return std::count_if(seen.begin(), seen.end(), [&](const testing::SeenFrame& f) {
            return f.width == 1280 && f.uniform && near(f.b, 10) && near(f.g, 20) && near(f.r, 200);
        });
    }
    std::size_t black() const {
        return std::count_if(seen.begin(), seen.end(),
                             [](const testing::SeenFrame& f) { return f.black(); });
    }
    link::LinkClient client;
    std::vector<testing::SeenFrame> seen;
    std::unique_ptr<link::SourceReader> reader;  // after its client: goes first
};

TEST(FeedingAppEndToEnd, FramesReachAReaderAcrossADaemonRestartAndTurnBlackWhenTheAppDies) {
    testing::TempFolder home;
    const auto runtime = home.path() / "run";
    const auto folder = runtime / "dev.corvid.kestrel";
    std::filesystem::create_directories(runtime);
    // Whatever daemon the application left in this runtime folder is ended by its pid.
    struct EndDaemons {
        std::filesystem::path runtime;
        ~EndDaemons() {
            for (const auto& copy : findDaemonCopies(runtime)) {
                ::kill(copy.pid, SIGTERM);
            }
        }
    } endDaemons{runtime};
    const auto appLog = home.path() / "app.log";
    const std::vector<std::string> env{"XDG_RUNTIME_DIR=" + runtime.string(),
                                       "XDG_CONFIG_HOME=" + (home.path() / "config").string(),
                                       "XDG_DATA_HOME=" + (home.path() / "data").string(),
                                       "XDG_STATE_HOME=" + (home.path() / "state").string(),
                                       "HOME=" + home.path().string(),
                                       "KESTREL_LOG=stderr"};
    ChildProcess app({KESTREL_FEEDING_APP_PATH, KESTREL_CAMERA_PATH}, env,
                     testing::Redirect{{}, appLog.string(), -1, false});
    ASSERT_GT(app.pid(), 0);

    ManualExecutor exec;
    auto pump = [&] {
        exec.pollFds();
        exec.runUntilIdle();
        std::this_thread::sleep_for(5ms);
    };
    // The application started the daemon itself, detached.
    ASSERT_TRUE(waitFor([&] { return findDaemonCopies(runtime).size() == 1; }, 10000ms));
    const pid_t first = findDaemonCopies(runtime)[0].pid;
    auto reader = std::make_unique<Reader>(exec, folder);
    ASSERT_TRUE(waitFor([&] { return reader->open(); }, 5000ms, pump));
    ASSERT_TRUE(waitFor([&] { return reader->fed() >= 3; }, 10000ms, pump))
        << "the application's frames did not reach the reader";

    // The daemon dies: the sink says so, and takes up the next daemon.
    reader.reset();
    ::kill(first, SIGTERM);
    ASSERT_TRUE(waitFor([&] { return countIn(appLog, "no Kestrel device with sink found") >= 1; },
                        10000ms));
    ChildProcess second({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"}, env, true);
    ASSERT_GT(second.pid(), 0);
    ASSERT_TRUE(
        waitFor([&] { return countIn(appLog, "sink stream connected: device=") >= 2; }, 10000ms));
    reader = std::make_unique<Reader>(exec, folder);
    ASSERT_TRUE(waitFor([&] { return reader->open(); }, 5000ms, pump));
    ASSERT_TRUE(waitFor([&] { return reader->fed() >= 3; }, 10000ms, pump))
        << "frames did not reach the new daemon's reader";

    // The application is killed outright: the reader sees black.
    ::kill(app.pid(), SIGKILL);
    app.stop();
    const std::size_t blackBefore = reader->black();
    ASSERT_TRUE(waitFor([&] { return reader->black() >= blackBefore + 5; }, 10000ms, pump))
        << "no black frames after the application went away";
    reader.reset();
}

}  // namespace
}  // namespace kestrel
