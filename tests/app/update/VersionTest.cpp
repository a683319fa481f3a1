#include <gtest/gtest.h>

#include "app/update/Version.h"

namespace kestrel {
namespace {

TEST(VersionTest, OrdersVersionsTheWaySparkleDoesAndAcceptsOnlyWhatCanBeOrdered) {
    struct Case {
        const char* older;
        const char* newer;
    };
    const Case cases[] = {
        {"1.2rc1", "1.2"},  {"1.2", "1.2.1"},    {"1.2rc1", "1.2.1"},   {"1.9", "1.10"},
        {"1.2a1", "1.2b1"}, {"1.2b2", "1.2b10"}, {"0.1.0", "0.2.0"},    {"1.0", "1.0.0"},
        {"1.0a", "1.0.1"},  {"2", "10"},         {"0.1.0rc1", "0.1.0"}, {"1.0", "1.0.0.1"},
        {"9.99", "10"},
    };
    for (const auto& c : cases) {
        EXPECT_LT(compareVersions(c.older, c.newer), 0) << c.older << " < " << c.newer;
        EXPECT_GT(compareVersions(c.newer, c.older), 0) << c.newer << " > " << c.older;
    }
    for (const char* same : {"1.2", "1.2rc1", "007", "0.1.0"}) {
        EXPECT_EQ(compareVersions(same, same), 0) << same;
    }
    EXPECT_EQ(compareVersions("1.02", "1.2"), 0) << "numbers compare by value";

    for (const char* good : {"0.1.0", "1.2rc1", "2", "1.2.3-beta.4", "10_1+build7"}) {
        EXPECT_TRUE(isVersionString(good)) << good;
    }
    for (const char* bad : {"", "latest", "v1.2", "1..2", "1.2.", " 1.2", "1.2 beta", "1.2/3",
                            "1.1234567890123456789", "1.\xC3\xA9"}) {
        EXPECT_FALSE(isVersionString(bad)) << bad;
    }
}

}  // namespace
}  // namespace kestrel
