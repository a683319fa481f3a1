#pragma once

// The camera link's wire protocol: one message per SOCK_SEQPACKET datagram, a fixed 16-byte
// header and a payload whose layout the type fixes, little-endian. Descriptors travel as
// SCM_RIGHTS beside the one message that carries them. Every reader decodes through
// `decodeMessage`, which checks sizes, ranges and the number of descriptors before anything
// else sees the message; a peer whose message does not decode is disconnected.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/media/MediaTime.h"

namespace kestrel::link {

constexpr std::uint32_t code4(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24U) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16U) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8U) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// Object ids as the link hands them out; 0 is never an object.
using ObjectId = std::uint32_t;
inline constexpr ObjectId kSystemObject = 1;

// Status codes with CoreMediaIO's meaning: 0 is success, anything else a failure.
using Status = std::int32_t;
namespace status {
inline constexpr Status ok = 0;
inline constexpr Status unspecified = static_cast<Status>(code4("what"));
inline constexpr Status badObject = static_cast<Status>(code4("!obj"));
inline constexpr Status unknownProperty = static_cast<Status>(code4("who?"));
inline constexpr Status badPropertySize = static_cast<Status>(code4("!siz"));
inline constexpr Status illegalOperation = static_cast<Status>(code4("nope"));
inline constexpr Status notRunning = static_cast<Status>(code4("stop"));
// Ours: the provider went away or did not answer in time.
inline constexpr Status disconnected = static_cast<Status>(code4("gone"));
// Ours: the sink queue has no free slot.
inline constexpr Status queueFull = static_cast<Status>(code4("full"));
}  // namespace status

// Property selectors. The first group mirrors the legacy CoreMediaIO object interface that the
// application's sink uses; the second the extension properties the provider answers.
namespace property {
inline constexpr std::uint32_t devices = code4("dev#");             // system: device ids
inline constexpr std::uint32_t allowScreenCapture = code4("yes ");  // system: settable, ignored
inline constexpr std::uint32_t name = code4("lnam");                // provider, device, stream
inline constexpr std::uint32_t deviceUID = code4("uid ");           // device
inline constexpr std::uint32_t streams = code4("stm#");             // device: stream ids
inline constexpr std::uint32_t direction = code4("sdir");           // stream: 0 sink, 1 source
inline constexpr std::uint32_t manufacturer = code4("lmak");        // provider
inline constexpr std::uint32_t model = code4("lmod");               // device
inline constexpr std::uint32_t transportType = code4("tran");       // device
inline constexpr std::uint32_t formats = code4("pft#");             // stream: pixel format, w, h
inline constexpr std::uint32_t activeFormatIndex = code4("afmt");
inline constexpr std::uint32_t frameDuration = code4("fdur");
inline constexpr std::uint32_t sinkBufferQueueSize = code4("sbqs");
inline constexpr std::uint32_t sinkBuffersRequiredForStartup = code4("sbrs");
inline constexpr std::uint32_t sinkBufferUnderrunCount = code4("sbuc");
inline constexpr std::uint32_t sinkEndOfData = code4("seod");
}  // namespace property

// A property's value: a number, a text, a list of numbers (object ids, formats) or a time.
using PropertyValue =
    std::variant<std::uint32_t, std::string, std::vector<std::uint32_t>, MediaTime>;

// Limits every reader enforces.
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kMaxMessageSize = 4096;
inline constexpr std::size_t kMaxStringBytes = 1024;
inline constexpr std::size_t kMaxListEntries = 256;
inline constexpr std::uint32_t kMaxSlots = 16;
inline constexpr std::uint32_t kMaxFrameDimension = 8192;
// A slot never holds more than this (a 4096x4096 BGRA frame).
inline constexpr std::uint64_t kMaxSlotBytes = 64ULL * 1024 * 1024;
inline constexpr std::uint32_t kMaxDescriptors = 1;
inline constexpr std::uint32_t kBGRA = code4("BGRA");
// 8-bit Y'CbCr 4:2:0 in three planes, BT.601 limited range, both sides even: the Y plane's rows
// `stride` apart, then the Cb plane and the Cr plane with rows stride / 2 apart. Three eighths of
// BGRA's bytes, and what the daemon's YUV outputs start from anyway.
inline constexpr std::uint32_t kI420 = code4("y420");
inline constexpr std::uint32_t kMagic = code4("KSL1");

enum class MessageType : std::uint16_t {
    // Client to provider.
    getProperty = 1,
    setProperty = 2,
    availableProperties = 3,
    startStream = 4,
    stopStream = 5,
    copyBufferQueue = 6,
    enqueue = 7,
    frameDone = 8,
    // Provider to client.
    reply = 32,
    queueReply = 33,
    scheduledOutput = 34,
    frame = 35,
    goodbye = 36,
};

struct GetProperty {
    ObjectId object = 0;
    std::uint32_t selector = 0;
    friend bool operator==(const GetProperty&, const GetProperty&) = default;
};
struct SetProperty {
    ObjectId object = 0;
    std::uint32_t selector = 0;
    PropertyValue value;
    friend bool operator==(const SetProperty&, const SetProperty&) = default;
};
struct AvailableProperties {
    ObjectId object = 0;
    friend bool operator==(const AvailableProperties&, const AvailableProperties&) = default;
};
struct StartStream {
    ObjectId device = 0;
    ObjectId stream = 0;
    friend bool operator==(const StartStream&, const StartStream&) = default;
};
struct StopStream {
    ObjectId device = 0;
    ObjectId stream = 0;
    friend bool operator==(const StopStream&, const StopStream&) = default;
};
// Asks for the shared-memory queue of a stream: the sink queue a client writes into, or the
// queue a source-stream reader receives frames in.
struct CopyBufferQueue {
    ObjectId stream = 0;
    friend bool operator==(const CopyBufferQueue&, const CopyBufferQueue&) = default;
};
// Where a frame lies in a slot of a shared-memory queue and when it was made.
struct SlotFrame {
    std::uint32_t slot = 0;
    std::uint64_t sequence = 0;  // 1, 2, 3, ... per queue
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint32_t pixelFormat = kBGRA;
    MediaTime presentationTime;  // may be invalid: the reader decides what to do with it
    MediaTime duration;
    friend bool operator==(const SlotFrame&, const SlotFrame&) = default;
};
// Client to provider: a sink frame was written into a slot.
struct Enqueue {
    SlotFrame frame;
    friend bool operator==(const Enqueue&, const Enqueue&) = default;
};
// Source reader to provider: the reader is done with a slot.
struct FrameDone {
    std::uint32_t slot = 0;
    std::uint64_t sequence = 0;
    friend bool operator==(const FrameDone&, const FrameDone&) = default;
};
// Provider to client: the answer to the request with the same request id.
struct Reply {
    Status status = status::ok;
    bool hasValue = false;
    PropertyValue value;
    friend bool operator==(const Reply&, const Reply&) = default;
};
// Provider to client: the queue of a stream, with the memfd (one descriptor) on success.
struct QueueReply {
    Status status = status::ok;
    std::uint32_t slotCount = 0;
    std::uint64_t slotBytes = 0;
    friend bool operator==(const QueueReply&, const QueueReply&) = default;
};
// Provider to sink client: the frame in `slot` was consumed and sent; the slot is free again.
struct ScheduledOutput {
    std::uint32_t slot = 0;
    std::uint64_t sequence = 0;
    std::uint64_t hostTimeNanos = 0;
    friend bool operator==(const ScheduledOutput&, const ScheduledOutput&) = default;
};
// Provider to source reader: a frame is in a slot of the reader's queue.
struct Frame {
    SlotFrame frame;
    std::uint64_t hostTimeNanos = 0;
    friend bool operator==(const Frame&, const Frame&) = default;
};
// Provider to client, just before it closes the connection: why.
struct Goodbye {
    Status status = status::ok;
    friend bool operator==(const Goodbye&, const Goodbye&) = default;
};

using Body = std::variant<GetProperty, SetProperty, AvailableProperties, StartStream, StopStream,
                          CopyBufferQueue, Enqueue, FrameDone, Reply, QueueReply, ScheduledOutput,
                          Frame, Goodbye>;

struct Message {
    std::uint32_t requestId = 0;
    Body body;
    friend bool operator==(const Message&, const Message&) = default;
};

MessageType typeOf(const Body& body);
// How many descriptors travel with this message.
std::uint32_t descriptorCount(const Body& body);
bool fromClient(const Body& body);

enum class DecodeError {
    none,
    tooShort,
    tooLong,
    badMagic,
    unknownType,
    sizeMismatch,
    badValue,
    badDescriptors,
};
std::string_view describe(DecodeError error);

struct Decoded {
    DecodeError error = DecodeError::none;
    Message message;
    bool ok() const { return error == DecodeError::none; }
};

// Decodes one datagram that arrived with `descriptors` SCM_RIGHTS descriptors.
Decoded decodeMessage(std::span<const std::uint8_t> bytes, std::uint32_t descriptors);

// Encodes a message; the caller sends descriptorCount(body) descriptors with it.
std::vector<std::uint8_t> encodeMessage(const Message& message);

// The geometry of one shared-memory queue: `slotCount` slots of `slotBytes` each, back to back.
struct SlotLayout {
    std::uint32_t slotCount = 0;
    std::uint64_t slotBytes = 0;
    std::uint64_t fileBytes() const { return static_cast<std::uint64_t>(slotCount) * slotBytes; }
};

// Whether a queue geometry is acceptable at all.
bool validLayout(const SlotLayout& layout);

// Whether `frame` fits in `layout` and follows `lastSequence`: slot index in range, pixel format
// BGRA or 'y420', size within limits, stride at least a row's bytes and a multiple of 4, the rows
// inside the slot, and a sequence number greater than the last one seen on this queue.
bool validSlotFrame(const SlotLayout& layout, const SlotFrame& frame, std::uint64_t lastSequence);

// The bytes a frame of this shape takes from the start of its slot: BGRA up to the last row's
// pixels, 'y420' its three planes whole.
std::uint64_t slotFrameBytes(const SlotFrame& frame);

// Where the chroma planes of a 'y420' frame with Y rows `stride` apart lie, in bytes from the
// start of its Y plane, and their rows' stride.
struct ChromaLayout {
    std::uint64_t cb = 0;
    std::uint64_t cr = 0;
    std::uint32_t stride = 0;
};
inline ChromaLayout chromaLayout(std::uint32_t stride, std::uint32_t height) {
    const std::uint64_t cb = static_cast<std::uint64_t>(stride) * height;
    return {cb, cb + static_cast<std::uint64_t>(stride / 2) * (height / 2), stride / 2};
}

}  // namespace kestrel::link
