// kestrel-view against a running daemon: frames, statistics and the PNG of the last frame.

#include <gtest/gtest.h>
#include <png.h>

#include "tests/support/ChildProcess.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::Redirect;
using testing::TempFolder;
using testing::waitFor;

TEST(KestrelView, ReadsBlackFramesAndSavesTheLastOne) {
    TempFolder runtime;
    const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime.path().string(),
                                          "KESTREL_LOG=stderr"};
    ChildProcess daemon({KESTREL_CAMERA_PATH, "--no-pipewire", "--no-v4l2"}, env, true);
    ASSERT_TRUE(waitFor(
        [&] {
            return std::filesystem::exists(runtime.path() / "dev.corvid.kestrel" /
                                           "dev.corvid.kestrel.camera.sock");
        },
        5000ms));
    const std::string out = (runtime.path() / "view.out").string();
    const std::string png = (runtime.path() / "last.png").string();
    ChildProcess view({KESTREL_VIEW_PATH, "--frames", "5", "--stats", "--png", png}, env,
                      Redirect{out, {}, -1, false});
    ASSERT_TRUE(waitFor([&] { return !view.running(); }, 10000ms)) << "kestrel-view hung";
    const int status = view.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string text = testing::readFile(out);
    EXPECT_NE(text.find("frames=5 "), std::string::npos) << text;
    EXPECT_NE(text.find("black=100.0%"), std::string::npos) << text;

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, png.c_str()));
    EXPECT_EQ(std::pair(image.width, image.height), std::pair(1920U, 1080U));
    png_image_free(&image);
}

TEST(KestrelView, WithoutADaemonItSaysSo) {
    TempFolder runtime;
    const std::string err = (runtime.path() / "view.err").string();
    ChildProcess view({KESTREL_VIEW_PATH, "--frames", "1"},
                      {"XDG_RUNTIME_DIR=" + runtime.path().string()}, Redirect{{}, err, -1, false});
    ASSERT_TRUE(waitFor([&] { return !view.running(); }, 5000ms));
    const int status = view.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    const std::string text = testing::readFile(err);
    EXPECT_NE(text.find("no camera \"Kestrel\" found"), std::string::npos) << text;
}

}  // namespace
}  // namespace kestrel
