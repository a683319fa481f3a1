// libFuzzer target for the camera link's message decoder: every datagram a peer can send goes
// through decodeMessage before anything else reads it. The first input byte chooses how many
// descriptors "arrived" with the message; the rest is the datagram.
//
// Checks beyond "no crash, no sanitizer report": a message that decodes re-encodes to exactly the
// bytes it came from, and frames that decode are checked against a queue geometry taken from the
// input as the receivers do.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/link/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel::link;
    if (size == 0) {
        return 0;
    }
    const std::uint32_t descriptors = data[0] % 3U;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    const Decoded decoded = decodeMessage(bytes, descriptors);
    if (!decoded.ok()) {
        return 0;
    }
    const auto again = encodeMessage(decoded.message);
    if (again.size() != bytes.size() || !std::equal(again.begin(), again.end(), bytes.begin())) {
        __builtin_trap();
    }
    const SlotFrame* frame = nullptr;
    if (const auto* enqueue = std::get_if<Enqueue>(&decoded.message.body)) {
        frame = &enqueue->frame;
    } else if (const auto* sent = std::get_if<Frame>(&decoded.message.body)) {
        frame = &sent->frame;
    }
    if (frame != nullptr) {
        const SlotLayout layout{static_cast<std::uint32_t>(data[0] % 8U),
                                static_cast<std::uint64_t>(frame->width) * 4096U};
        if (validSlotFrame(layout, *frame, frame->sequence / 2) &&
            static_cast<std::uint64_t>(frame->stride) * (frame->height - 1) + frame->width * 4ULL >
                layout.slotBytes) {
            __builtin_trap();  // a frame that overruns its slot must never validate
        }
    }
    return 0;
}
