#pragma once

#include <cstdint>

namespace kestrel {

// A rational media time: value / timescale seconds. A timescale of zero marks an invalid time.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;

    bool valid() const { return timescale > 0; }
    double seconds() const {
        return valid() ? static_cast<double>(value) / static_cast<double>(timescale) : 0.0;
    }
    static MediaTime fromNanos(std::uint64_t nanos) {
        return MediaTime{static_cast<std::int64_t>(nanos), 1'000'000'000};
    }
    friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

}  // namespace kestrel
