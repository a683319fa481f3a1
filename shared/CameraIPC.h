#pragma once

// The camera contract: everything the application and the camera daemon agree on,
// compiled into both programs and fixed here and nowhere else.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/media/MediaTime.h"

namespace kestrel {

// A 128-bit identifier in the RFC 4122 text form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Parses the 36-character hyphenated form, either case; nothing for anything else.
    static std::optional<Uuid> parse(std::string_view text);
    // The upper-case hyphenated form.
    std::string toString() const;
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

// A four-character code as CoreMediaIO writes them: 'BGRA' is 0x42475241.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24U) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16U) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8U) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}
std::string fourCCString(std::uint32_t code);

// How a stream moves frames, as the camera link reports it (kCMIOStreamPropertyDirection): the
// sink stream reads 0 (the client writes into it), the source stream 1 (clients read it).
enum class StreamDirection : std::uint32_t { sink = 0, source = 1 };

namespace CameraIPC {

inline constexpr std::int64_t frameWidth = 1920;
inline constexpr std::int64_t frameHeight = 1080;
inline constexpr std::int32_t frameRate = 30;
// 'BGRA': bytes blue, green, red, alpha in memory (kCVPixelFormatType_32BGRA).
inline constexpr std::uint32_t pixelFormat = 0x42475241;
static_assert(pixelFormat == fourCC("BGRA"));
// Every frame lasts 1/30 s, held exactly as value 1 over time scale 30.
inline constexpr MediaTime frameDuration{1, frameRate};

// The system-extension identifier; also the daemon's log subsystem.
inline constexpr std::string_view extensionIdentifier = "dev.corvid.kestrel.camera";
inline constexpr std::string_view providerName = "Kestrel";
inline constexpr std::string_view providerManufacturer = "corvid";
inline constexpr std::string_view deviceName = "Kestrel";
inline constexpr std::string_view deviceModel = "Kestrel Virtual Camera";
// 'usb '.
inline constexpr std::uint32_t deviceTransportType = 0x75736220;
static_assert(deviceTransportType == fourCC("usb "));

// The device identifier is the first of these two strings that parses as a UUID. The first never
// does (its last group has 14 characters, with letters outside hexadecimal), so it is the second.
inline constexpr std::string_view deviceIdentifierCandidates[] = {
    "8A0B4DEA-1F4A-4D5A-9D3C-KESTREL0DEVICE",
    "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001",
};
// The legacy device identifier (kCMIODevicePropertyDeviceUID) the application prefers.
inline constexpr std::string_view deviceUID = "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0001";

inline constexpr std::string_view sourceStreamName = "Kestrel Stream";
inline constexpr std::string_view sourceStreamIdentifier = "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0002";
inline constexpr StreamDirection sourceStreamDirection = StreamDirection::source;
inline constexpr std::string_view sinkStreamName = "Kestrel Sink";
inline constexpr std::string_view sinkStreamIdentifier = "8A0B4DEA-1F4A-4D5A-9D3C-7E1F1C5B0003";
inline constexpr StreamDirection sinkStreamDirection = StreamDirection::sink;

// What the sink stream advertises; the real queue's capacity is whatever the link reports.
inline constexpr std::int32_t sinkBufferQueueSize = 1;
inline constexpr std::int32_t sinkBuffersRequiredForStartup = 1;

// The device identifier derived as above; nothing when no candidate parses (a start-up failure
// of the daemon).
std::optional<Uuid> deriveDeviceIdentifier();

// Host-clock seconds as nanoseconds in an unsigned 64-bit integer; nothing for a time that is
// invalid, negative or not representable.
std::optional<std::uint64_t> hostTimeNanos(MediaTime time);

}  // namespace CameraIPC

}  // namespace kestrel
