#include "app/qt/AutostartEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/TempFolder.h"

namespace kestrel {
namespace {

using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

bool haveValidator() {
    return std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0;
}

TEST(AutostartEntry,
     OffByDefaultThenWrittenValidAndRemovedAndAFolderThatCannotBeWrittenIsReported) {
    TempFolder config;
    // A program path with characters the entry's Exec key must quote or escape.
    AutostartEntry entry(config.path(), "/opt/My Apps/ke$trel\\x%");
    EXPECT_FALSE(entry.isEnabled());
    EXPECT_FALSE(entry.setEnabled(false).has_value());  // nothing to remove is no failure

    ASSERT_FALSE(entry.setEnabled(true).has_value());
    EXPECT_TRUE(entry.isEnabled());
    EXPECT_EQ(entry.path(), config.path() / "autostart/dev.corvid.kestrel.desktop");
    const std::string text = readFile(entry.path());
    EXPECT_NE(text.find("\nExec=\"/opt/My Apps/ke\\\\$trel\\\\\\\\x%%\"\n"), std::string::npos)
        << text;
    if (haveValidator()) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.path().string() + "'").c_str()),
                  0);
    }

    writeFile(entry.path(), text + "Hidden=true\n");
    EXPECT_FALSE(entry.isEnabled());

    ASSERT_FALSE(entry.setEnabled(false).has_value());
    EXPECT_FALSE(std::filesystem::exists(entry.path()));
    EXPECT_FALSE(entry.isEnabled());

    // A folder that cannot be written is reported and leaves it off.
    TempFolder blocked;
    writeFile(blocked.path() / "autostart", "a file where the folder should be");
    AutostartEntry refused(blocked.path(), "/usr/bin/kestrel");
    const auto error = refused.setEnabled(true);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->description.find("autostart"), std::string::npos) << error->description;
    EXPECT_FALSE(refused.isEnabled());
}

}  // namespace
}  // namespace kestrel
