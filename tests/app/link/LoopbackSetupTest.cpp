// kestrel --setup-loopback's steps against a fake pkexec on PATH and a scratch module index.

#include "app/link/LoopbackSetup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

class LoopbackSetupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root.path() / "bin");
        std::filesystem::create_directories(root.path() / "modules");
        // Records its arguments and ends with the status the test chose (shell builtins only:
        // PATH holds nothing else).
        const auto pkexec = root.path() / "bin/pkexec";
        writeFile(pkexec, "#!/bin/sh\necho \"$@\" > \"" + (root.path() / "ran").string() +
                              "\"\nread status < \"" + (root.path() / "status").string() +
                              "\"\nexit $status\n");
        ::chmod(pkexec.c_str(), 0755);
        savedPath = std::getenv("PATH");
        ::setenv("PATH", (root.path() / "bin").c_str(), 1);
    }
    void TearDown() override { ::setenv("PATH", savedPath.c_str(), 1); }

    LoopbackSetup::Result run() {
        LoopbackSetup::Options options;
        options.loadedModule = root.path() / "sys/module/v4l2loopback";
        options.moduleFolder = root.path() / "modules";
        options.say = [this](const std::string& line) { said += line + "\n"; };
        return LoopbackSetup(options).run();
    }
    void installModule() {
        writeFile(root.path() / "modules/modules.dep",
                  "kernel/drivers/media/v4l2-core/videodev.ko:\n"
                  "updates/dkms/v4l2loopback.ko: kernel/drivers/media/v4l2-core/videodev.ko\n");
    }

    TempFolder root;
    std::string savedPath;
    std::string said;
};

TEST_F(LoopbackSetupTest, AMissingModuleIsNamedThenTheShownCommandRunsAndALoadedModuleIsLeft) {
    const auto missing = run();
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.message.find("v4l2loopback-dkms"), std::string::npos) << missing.message;
    EXPECT_FALSE(std::filesystem::exists(root.path() / "ran"));

    installModule();
    const struct {
        int pkexecStatus;
        int exitStatus;
        std::string message;
    } cases[] = {
        {0, 0, "loaded v4l2loopback: the camera \"Kestrel\" is /dev/video10"},
        {126, 1, "not authorized to load v4l2loopback; nothing changed"},
        {1, 1, "modprobe failed with status 1; nothing changed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pkexecStatus);
        said.clear();
        writeFile(root.path() / "status", std::to_string(c.pkexecStatus));
        const auto result = run();
        EXPECT_EQ(result.exitStatus, c.exitStatus);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(readFile(root.path() / "ran"),
                  "/sbin/modprobe v4l2loopback video_nr=10 card_label=Kestrel exclusive_caps=1\n");
        EXPECT_EQ(said,
                  "running: pkexec /sbin/modprobe v4l2loopback video_nr=10 "
                  "card_label=Kestrel exclusive_caps=1\n");
    }

    std::filesystem::remove(root.path() / "bin/pkexec");
    const auto noPkexec = run();
    EXPECT_EQ(noPkexec.exitStatus, 1);
    EXPECT_NE(noPkexec.message.find("sudo /sbin/modprobe v4l2loopback video_nr=10"),
              std::string::npos)
        << noPkexec.message;

    std::filesystem::create_directories(root.path() / "sys/module/v4l2loopback");
    said.clear();
    EXPECT_EQ(run().exitStatus, 0);
    EXPECT_EQ(said, "");
}

}  // namespace
}  // namespace kestrel
