#include <gtest/gtest.h>

#include "shared/CameraIPC.h"

namespace kestrel {
namespace {

TEST(CameraIPC, DeviceIdentifierIsTheFirstCandidateThatParses) {
    EXPECT_FALSE(Uuid::parse(CameraIPC::deviceIdentifierCandidates[0]).has_value());
    const auto id = CameraIPC::deriveDeviceIdentifier();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->toString(), CameraIPC::deviceIdentifierCandidates[1]);
    EXPECT_EQ(id->bytes[0], 0x8A);
    EXPECT_EQ(id->bytes[15], 0x01);
}

TEST(CameraIPC, UuidParsingIsStrictAndCaseInsensitive) {
    const auto lower = Uuid::parse("8a0b4dea-1f4a-4d5a-9d3c-7e1f1c5b0001");
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(lower->toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001");
    for (const char* bad :
         {"", "8A0B4DEA1F4A-4D5A-9D3C-7E1F1C5B00011", "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B000G",
          "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B00011"}) {
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
    }
}

TEST(CameraIPC, HostTimeNanos) {
    EXPECT_EQ(CameraIPC::hostTimeNanos(MediaTime{1, 30}), 33'333'333U);
    EXPECT_EQ(CameraIPC::hostTimeNanos(MediaTime::fromNanos(123'456'789'012U)), 123'456'789'012U);
    EXPECT_EQ(CameraIPC::hostTimeNanos(MediaTime{3, 2}), 1'500'000'000U);
    for (const MediaTime invalid : {MediaTime{5, 0}, MediaTime{-1, 30}, MediaTime{INT64_MAX, 1}}) {
        EXPECT_FALSE(CameraIPC::hostTimeNanos(invalid).has_value()) << invalid.value;
    }
}

}  // namespace
}  // namespace kestrel
