#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/link/LinkClient.h"

namespace kestrel::testing {

struct FoundCamera {
    link::ObjectId device = 0;
    link::ObjectId source = 0;
    link::ObjectId sink = 0;
};

// Discovery as the application's sink does it: the device named "Kestrel" exactly,
// its stream whose direction reads 0 is the sink, the one reading 1 the source.
inline std::optional<FoundCamera> findKestrel(link::LinkClient& client) {
    using namespace link;
    std::vector<std::uint32_t> devices;
    if (client.getProperty(kSystemObject, property::devices, devices) != status::ok) {
        return std::nullopt;
    }
    for (std::uint32_t device : devices) {
        std::string name;
        if (client.getProperty(device, property::name, name) != status::ok || name != "Kestrel") {
            continue;
        }
        std::vector<std::uint32_t> streams;
        if (client.getProperty(device, property::streams, streams) != status::ok) {
            continue;
        }
        FoundCamera found;
        found.device = device;
        for (std::uint32_t stream : streams) {
            std::uint32_t direction = 0;
            client.getProperty(stream, property::direction, direction);
            (direction == 0 ? found.sink : found.source) = stream;
        }
        if (found.sink != 0 && found.source != 0) {
            return found;
        }
    }
    return std::nullopt;
}

// What a test remembers of a received frame.
struct SeenFrame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint8_t b = 0, g = 0, r = 0, a = 0;
    bool uniform = true;  // the first pixel of every 16th row equals the first one
    std::uint64_t hostTime = 0;
    std::uint64_t arrival = 0;

    bool black() const { return uniform && b == 0 && g == 0 && r == 0 && a == 0; }
};

inline SeenFrame summarise(const link::SourceFrame& f, std::uint64_t arrival) {
    SeenFrame s;
    s.width = f.width;
    s.height = f.height;
    s.b = f.pixels[0];
    s.g = f.pixels[1];
    s.r = f.pixels[2];
    s.a = f.pixels[3];
    for (std::uint32_t y = 0; y < f.height; y += 16) {
        const std::uint8_t* p = f.pixels + static_cast<std::size_t>(y) * f.stride +
                                static_cast<std::size_t>(f.width / 2) * 4;
        if (p[0] != s.b || p[1] != s.g || p[2] != s.r || p[3] != s.a) {
            s.uniform = false;
            break;
        }
    }
    s.hostTime = f.hostTimeNanos;
    s.arrival = arrival;
    return s;
}

}  // namespace kestrel::testing
