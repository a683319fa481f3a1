#include <gtest/gtest.h>

#include "extension/CameraProvider.h"
#include "extension/VirtualCameraDevice.h"
#include "platform/runtime/ManualExecutor.h"
#include "tests/extension/RelayFakes.h"

namespace kestrel::camera {
namespace {

namespace property = link::property;

TEST(Provider, NameOnlyRequestHasNoManufacturer) {
    ProviderSource provider;
    const auto values = provider.properties({property::name});
    ASSERT_EQ(values.size(), 1U);
    EXPECT_EQ(std::get<std::string>(values.at(property::name)), "Kestrel");
    const auto both = provider.properties(provider.availableProperties());
    EXPECT_EQ(std::get<std::string>(both.at(property::manufacturer)), "corvid");
}

TEST(Provider, UnsupportedKeysAreSilentlyAbsent) {
    ProviderSource provider;
    EXPECT_TRUE(provider.properties({property::model, property::deviceUID}).empty());
    DeviceSource device;
    const auto values =
        device.properties({property::model, property::transportType, property::name});
    EXPECT_EQ(values.size(), 2U);
    EXPECT_EQ(std::get<std::string>(values.at(property::model)), "Kestrel Virtual Camera");
    EXPECT_EQ(std::get<std::uint32_t>(values.at(property::transportType)), 0x75736220U);
}

TEST(Provider, SinkListsSixPropertiesButAnswersFour) {
    SinkStreamSource sink({});
    const auto available = sink.availableProperties();
    EXPECT_EQ(available.size(), 6U);
    const auto values = sink.properties(available);
    EXPECT_EQ(values.size(), 4U);
    EXPECT_EQ(std::get<std::uint32_t>(values.at(property::activeFormatIndex)), 0U);
    EXPECT_EQ(std::get<MediaTime>(values.at(property::frameDuration)), (MediaTime{1, 30}));
    EXPECT_EQ(std::get<std::uint32_t>(values.at(property::sinkBufferQueueSize)), 1U);
    EXPECT_EQ(std::get<std::uint32_t>(values.at(property::sinkBuffersRequiredForStartup)), 1U);
    EXPECT_FALSE(values.contains(property::sinkBufferUnderrunCount));
    EXPECT_FALSE(values.contains(property::sinkEndOfData));
}

TEST(Provider, SourceStreamAnswersFormatIndexAndDuration) {
    SourceStreamSource source({});
    EXPECT_EQ(source.availableProperties().size(), 2U);
    const auto one = source.properties({property::frameDuration});
    ASSERT_EQ(one.size(), 1U);
    EXPECT_EQ(std::get<MediaTime>(one.at(property::frameDuration)), (MediaTime{1, 30}));
}

TEST(Provider, BothStreamsShareTheOneFormat) {
    ManualExecutor exec;
    auto device = VirtualCameraDevice::create(exec, exec.hostClock());
    ASSERT_TRUE(device);
    const auto& source = device->sourceStreamSource().formats();
    const auto& sink = device->sinkStreamSource().formats();
    ASSERT_EQ(source.size(), 1U);
    ASSERT_EQ(sink.size(), 1U);
    EXPECT_EQ(source[0], sink[0]);
    EXPECT_EQ(source[0].description, (VideoFormat{0x42475241, 1920, 1080}));
    EXPECT_EQ(source[0].minFrameDuration, (MediaTime{1, 30}));
    EXPECT_EQ(source[0].maxFrameDuration, (MediaTime{1, 30}));
}

TEST(Provider, DeviceIdentifiers) {
    ManualExecutor exec;
    auto device = VirtualCameraDevice::create(exec, exec.hostClock());
    ASSERT_TRUE(device);
    EXPECT_EQ(device->deviceIdentifier().toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001");
    EXPECT_EQ(device->sourceStreamIdentifier().toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0002");
    EXPECT_EQ(device->sinkStreamIdentifier().toString(), "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0003");
}

TEST(Provider, StreamStartsAndStopsAreLoggedAndSucceed) {
    testing::CapturedLog captured;
    SourceStreamSource source({});
    int started = 0;
    source.onStart = [&] { ++started; };
    EXPECT_TRUE(source.authorizedToStartStream(Client{1, 1}));
    EXPECT_TRUE(source.startStream());
    EXPECT_TRUE(source.stopStream());  // no onStop set: still succeeds
    EXPECT_EQ(started, 1);
    const auto records = captured.capture->records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].subsystem, "dev.corvid.kestrel.camera");
    EXPECT_EQ(records[0].category, "Provider");
    EXPECT_EQ(records[0].message, "source stream startStream");
    EXPECT_EQ(records[1].message, "source stream stopStream");
}

}  // namespace
}  // namespace kestrel::camera
