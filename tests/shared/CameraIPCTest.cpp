#include <gtest/gtest.h>

#include <cstring>

#include "shared/CameraIPC.h"

namespace kestrel {
namespace {

TEST(CameraIPC, FirstIdentifierCandidateNeverParses) {
    EXPECT_FALSE(Uuid::parse(CameraIPC::deviceIdentifierCandidates[0]).has_value());
    EXPECT_TRUE(Uuid::parse(CameraIPC::deviceIdentifierCandidates[1]).has_value());
}

TEST(CameraIPC, DeviceIdentifierIsTheSecondCandidate) {
    const auto id = CameraIPC::deriveDeviceIdentifier();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001");
    EXPECT_EQ(id->toString(), CameraIPC::deviceUID);
    EXPECT_EQ(id->bytes[0], 0x8A);
    EXPECT_EQ(id->bytes[15], 0x01);
}

TEST(CameraIPC, StreamIdentifiersParseAndDiffer) {
    const auto source = Uuid::parse(CameraIPC::sourceStreamIdentifier);
    const auto sink = Uuid::parse(CameraIPC::sinkStreamIdentifier);
    ASSERT_TRUE(source && sink);
    EXPECT_NE(*source, *sink);
    EXPECT_EQ(source->toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0002");
    EXPECT_EQ(sink->toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0003");
}

TEST(CameraIPC, UuidParsingIsStrictAndCaseInsensitive) {
    const auto lower = Uuid::parse("8a0b4dea-1f4a-4d5a-9d3c-7e1f1c5b0001");
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(lower->toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001");
    EXPECT_FALSE(Uuid::parse("").has_value());
    EXPECT_FALSE(Uuid::parse("8A0B4DEA1F4A-4D5A-9D3C-7E1F1C5B00011").has_value());
    EXPECT_FALSE(Uuid::parse("8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B000G").has_value());
    EXPECT_FALSE(Uuid::parse("8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B00011").has_value());
}

TEST(CameraIPC, PixelFormatSpellsBGRA) {
    EXPECT_EQ(fourCCString(CameraIPC::pixelFormat), "BGRA");
    unsigned char bytes[4];
    const std::uint32_t value = CameraIPC::pixelFormat;
    std::memcpy(bytes, &value, sizeof bytes);  // little-endian in memory
    EXPECT_EQ(bytes[0], 0x41);
    EXPECT_EQ(bytes[1], 0x52);
    EXPECT_EQ(bytes[2], 0x47);
    EXPECT_EQ(bytes[3], 0x42);
    EXPECT_EQ(fourCCString(CameraIPC::deviceTransportType), "usb ");
}

TEST(CameraIPC, FrameDurationIsOneOverThirtyExactly) {
    EXPECT_EQ(CameraIPC::frameDuration.value, 1);
    EXPECT_EQ(CameraIPC::frameDuration.timescale, 30);
    EXPECT_EQ(CameraIPC::frameRate, 30);
    EXPECT_EQ(CameraIPC::frameWidth, 1920);
    EXPECT_EQ(CameraIPC::frameHeight, 1080);
}

TEST(CameraIPC, NamesAndDirections) {
    EXPECT_EQ(CameraIPC::deviceName, "Kestrel");
    EXPECT_EQ(CameraIPC::deviceModel, "Kestrel Virtual Camera");
    EXPECT_NE(CameraIPC::deviceName, CameraIPC::deviceModel);
    EXPECT_EQ(CameraIPC::extensionIdentifier, "dev.corvid.kestrel.camera");
    EXPECT_EQ(static_cast<std::uint32_t>(CameraIPC::sinkStreamDirection), 0U);
    EXPECT_EQ(static_cast<std::uint32_t>(CameraIPC::sourceStreamDirection), 1U);
    EXPECT_EQ(CameraIPC::sinkBufferQueueSize, 1);
    EXPECT_EQ(CameraIPC::sinkBuffersRequiredForStartup, 1);
}

TEST(CameraIPC, HostTimeNanos) {
    EXPECT_EQ(CameraIPC::hostTimeNanos(MediaTime{1, 30}), 33'333'333U);
    EXPECT_EQ(CameraIPC::hostTimeNanos(MediaTime::fromNanos(123'456'789'012U)), 123'456'789'012U);
    EXPECT_EQ(CameraIPC::hostTimeNanos(MediaTime{3, 2}), 1'500'000'000U);
    EXPECT_FALSE(CameraIPC::hostTimeNanos(MediaTime{5, 0}).has_value());
    EXPECT_FALSE(CameraIPC::hostTimeNanos(MediaTime{-1, 30}).has_value());
    EXPECT_FALSE(CameraIPC::hostTimeNanos(MediaTime{INT64_MAX, 1}).has_value());
}

}  // namespace
}  // namespace kestrel
