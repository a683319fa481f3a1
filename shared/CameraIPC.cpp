#include "shared/CameraIPC.h"

#include <limits>

namespace kestrel {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
    constexpr std::size_t kLength = 36;
    if (text.size() != kLength) {
        return std::nullopt;
    }
    Uuid out;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < kLength;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            ++i;
            continue;
        }
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.bytes[byte++] = static_cast<std::uint8_t>((high << 4) | low);
        i += 2;
    }
    return out;
}

std::string Uuid::toString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out.push_back('-');
        }
        out.push_back(kDigits[bytes[i] >> 4U]);
        out.push_back(kDigits[bytes[i] & 0x0FU]);
    }
    return out;
}

std::string fourCCString(std::uint32_t code) {
    std::string out(4, ' ');
    for (int i = 0; i < 4; ++i) {
        out[static_cast<std::size_t>(i)] =
            static_cast<char>((code >> static_cast<unsigned>(24 - 8 * i)) & 0xFFU);
    }
    return out;
}

namespace CameraIPC {

std::optional<Uuid> deriveDeviceIdentifier() {
    for (std::string_view candidate : deviceIdentifierCandidates) {
        if (auto parsed = Uuid::parse(candidate)) {
            return parsed;
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> hostTimeNanos(MediaTime time) {
    if (!time.valid() || time.value < 0) {
        return std::nullopt;
    }
    // value / timescale seconds in nanoseconds, exactly and without overflow: whole seconds and
    // the remainder separately (the remainder times 1e9 stays below 2^31 * 1e9 < 2^63).
    constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
    const auto value = static_cast<std::uint64_t>(time.value);
    const auto scale = static_cast<std::uint64_t>(time.timescale);
    const std::uint64_t whole = value / scale;
    if (whole > std::numeric_limits<std::uint64_t>::max() / kNanosPerSecond - 1) {
        return std::nullopt;
    }
    return whole * kNanosPerSecond + (value % scale) * kNanosPerSecond / scale;
}

}  // namespace CameraIPC

}  // namespace kestrel
