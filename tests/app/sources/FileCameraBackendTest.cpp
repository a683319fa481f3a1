#include <gtest/gtest.h>

#include <vector>

#include "app/sources/FileCameraBackend.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/app/sources/MovieClips.h"
#include "tests/support/FakeCaptureDelegate.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::indexOfGrey;
using testing::meanGrey;
using testing::TempFolder;

class FileCameraBackendTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::writeClip(file, 3); }
    // Configures and starts the camera; returns what startRunning reported.
    bool start(FileCameraBackend& backend) {
        backend.setDelegate(delegate);
        EXPECT_FALSE(backend.configure(backend.device(), settings));
        std::optional<bool> running;
        backend.startRunning([&](bool result) { running = result; });
        capture.runUntilIdle();
        return running.value_or(false);
    }
    std::vector<int> indices() const {
        std::vector<int> result;
        for (const auto& frame : delegate->frames) {
            result.push_back(indexOfGrey(meanGrey(*frame)));
        }
        return result;
    }

    TempFolder temp;
    std::filesystem::path file = temp.path() / "camera.mov";
    ManualExecutor capture;
    std::shared_ptr<testing::FakeCaptureDelegate> delegate =
        std::make_shared<testing::FakeCaptureDelegate>();
    CaptureSettings settings{160, 90, 15};  // small frames, the camera's rate
};

TEST_F(FileCameraBackendTest, DeliversTheFileInALoopAtTheConfiguredSizeAndRateWhileItLasts) {
    FileCameraBackend backend(capture, capture.hostClock(), file);
    EXPECT_EQ(backend.device(),
              (CaptureDevice{"file:" + file.string(), "camera.mov", CaptureDeviceKind::other}));
    ASSERT_TRUE(start(backend));
    EXPECT_TRUE(backend.isRunning());
    capture.advance(66'666'666ns * 7 + 7ns);
    EXPECT_EQ(indices(), (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
    ASSERT_FALSE(delegate->frames.empty());
    EXPECT_EQ(delegate->frames[0]->width(), 160);
    EXPECT_EQ(delegate->frames[0]->height(), 90);
    EXPECT_EQ(delegate->times[1].value - delegate->times[0].value, 66'666'666);

    backend.stopRunning();
    capture.advance(1s);
    EXPECT_EQ(delegate->frames.size(), 7U);  // nothing while stopped
    EXPECT_TRUE(delegate->errors.empty());

    // A file that goes away is a runtime error once the frames of its open pass run out.
    delegate->frames.clear();
    backend.startRunning([](bool) {});
    std::filesystem::remove(file);
    capture.advance(1s);
    EXPECT_EQ(indices(), (std::vector<int>{1, 2}));
    ASSERT_EQ(delegate->errors.size(), 1U);
    EXPECT_EQ(delegate->errors[0].domain, "MovieReader");
    EXPECT_FALSE(backend.isRunning());
}

TEST_F(FileCameraBackendTest, RefusesOtherDevicesAndFilesItCannotRead) {
    FileCameraBackend backend(capture, capture.hostClock(), file);
    auto refused = backend.configure(CaptureDevice{"pattern", "Test Pattern"}, settings);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, CaptureConfigureError::Kind::inputRefused);

    FileCameraBackend missing(capture, capture.hostClock(), temp.path() / "missing.mov");
    auto failed = missing.configure(missing.device(), settings);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->kind, CaptureConfigureError::Kind::platform);
    EXPECT_EQ(failed->error.description, "cannot read missing.mov: No such file or directory");

    // Readable, but no movie: it does not run.
    const auto text = temp.path() / "text.mov";
    testing::writeFile(text, "not a movie");
    FileCameraBackend notMovie(capture, capture.hostClock(), text);
    testing::LogCapture logs;
    EXPECT_FALSE(start(notMovie));
    EXPECT_FALSE(notMovie.isRunning());
    EXPECT_EQ(logs->count("file camera: cannot read text.mov: not a QuickTime movie"), 1U);
}

}  // namespace
}  // namespace kestrel
