#include "platform/link/Wire.h"

#include <cstring>
#include <limits>
#include <optional>

namespace kestrel::link {

namespace {

enum class ValueTag : std::uint8_t { number = 1, text = 2, list = 3, time = 4 };

class Writer {
  public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u16(std::uint16_t v) { little(v, 2); }
    void u32(std::uint32_t v) { little(v, 4); }
    void u64(std::uint64_t v) { little(v, 8); }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void time(const MediaTime& t) {
        i64(t.value);
        i32(t.timescale);
    }
    void raw(std::string_view text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
    void value(const PropertyValue& v) {
        if (const auto* n = std::get_if<std::uint32_t>(&v)) {
            u8(static_cast<std::uint8_t>(ValueTag::number));
            u32(*n);
        } else if (const auto* s = std::get_if<std::string>(&v)) {
            u8(static_cast<std::uint8_t>(ValueTag::text));
            u32(static_cast<std::uint32_t>(s->size()));
            raw(*s);
        } else if (const auto* l = std::get_if<std::vector<std::uint32_t>>(&v)) {
            u8(static_cast<std::uint8_t>(ValueTag::list));
            u32(static_cast<std::uint32_t>(l->size()));
            for (std::uint32_t e : *l) {
                u32(e);
            }
        } else {
            u8(static_cast<std::uint8_t>(ValueTag::time));
            time(std::get<MediaTime>(v));
        }
    }
    void slotFrame(const SlotFrame& f) {
        u32(f.slot);
        u64(f.sequence);
        u32(f.width);
        u32(f.height);
        u32(f.stride);
        u32(f.pixelFormat);
        time(f.presentationTime);
        time(f.duration);
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

  private:
    void little(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(v >> (8U * static_cast<unsigned>(i))));
        }
    }
    std::vector<std::uint8_t> bytes_;
};

// Reads a payload; any read past the end marks the reader failed and yields zeros.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t u8() { return static_cast<std::uint8_t>(little(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    std::uint64_t u64() { return little(8); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    MediaTime time() {
        MediaTime t;
        t.value = i64();
        t.timescale = i32();
        return t;
    }
    std::optional<PropertyValue> value() {
        const auto tag = static_cast<ValueTag>(u8());
        switch (tag) {
            case ValueTag::number:
                return PropertyValue{u32()};
            case ValueTag::text: {
                const std::uint32_t size = u32();
                if (size > kMaxStringBytes || size > remaining()) {
                    return std::nullopt;
                }
                std::string text(reinterpret_cast<const char*>(bytes_.data() + offset_), size);
                offset_ += size;
                return PropertyValue{std::move(text)};
            }
            case ValueTag::list: {
                const std::uint32_t count = u32();
                if (count > kMaxListEntries ||
                    static_cast<std::uint64_t>(count) * 4 > remaining()) {
                    return std::nullopt;
                }
                std::vector<std::uint32_t> list(count);
                for (auto& e : list) {
                    e = u32();
                }
                return PropertyValue{std::move(list)};
            }
            case ValueTag::time:
                return PropertyValue{time()};
        }
        return std::nullopt;
    }
    SlotFrame slotFrame() {
        SlotFrame f;
        f.slot = u32();
        f.sequence = u64();
        f.width = u32();
        f.height = u32();
        f.stride = u32();
        f.pixelFormat = u32();
        f.presentationTime = time();
        f.duration = time();
        return f;
    }
    bool failed() const { return failed_; }
    bool atEnd() const { return offset_ == bytes_.size(); }
    std::size_t remaining() const { return bytes_.size() - offset_; }

  private:
    std::uint64_t little(std::size_t n) {
        if (failed_ || remaining() < n) {
            failed_ = true;
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            v |= static_cast<std::uint64_t>(bytes_[offset_ + i]) << (8U * i);
        }
        offset_ += n;
        return v;
    }
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
    bool failed_ = false;
};

bool validFrameShape(const SlotFrame& f) {
    const bool planar = f.pixelFormat == kI420;
    if ((f.pixelFormat != kBGRA && !planar) || f.width == 0 || f.height == 0 ||
        f.width > kMaxFrameDimension || f.height > kMaxFrameDimension || f.sequence == 0 ||
        f.slot >= kMaxSlots) {
        return false;
    }
    if (planar && (f.width % 2 != 0 || f.height % 2 != 0)) {
        return false;
    }
    const std::uint64_t rowBytes = static_cast<std::uint64_t>(f.width) * (planar ? 1 : 4);
    if (f.stride < rowBytes || f.stride % 4 != 0) {
        return false;
    }
    return static_cast<std::uint64_t>(f.stride) * f.height <= kMaxSlotBytes;
}

// A status that is a failure must be non-zero and a success must carry what success promises;
// the codes themselves are open (the provider may grow new ones).
std::optional<Body> decodeBody(MessageType type, Reader& in) {
    switch (type) {
        case MessageType::getProperty: {
            GetProperty m;
            m.object = in.u32();
            m.selector = in.u32();
            return m;
        }
        case MessageType::setProperty: {
            SetProperty m;
            m.object = in.u32();
            m.selector = in.u32();
            auto value = in.value();
            if (!value) {
                return std::nullopt;
            }
            m.value = std::move(*value);
            return m;
        }
        case MessageType::availableProperties:
            return AvailableProperties{in.u32()};
        case MessageType::startStream: {
            StartStream m;
            m.device = in.u32();
            m.stream = in.u32();
            return m;
        }
        case MessageType::stopStream: {
            StopStream m;
            m.device = in.u32();
            m.stream = in.u32();
            return m;
        }
        case MessageType::copyBufferQueue:
            return CopyBufferQueue{in.u32()};
        case MessageType::enqueue: {
            Enqueue m{in.slotFrame()};
            if (!in.failed() && !validFrameShape(m.frame)) {
                return std::nullopt;
            }
            return m;
        }
        case MessageType::frameDone: {
            FrameDone m;
            m.slot = in.u32();
            m.sequence = in.u64();
            if (m.slot >= kMaxSlots || m.sequence == 0) {
                return std::nullopt;
            }
            return m;
        }
        case MessageType::reply: {
            Reply m;
            m.status = in.i32();
            const std::uint8_t has = in.u8();
            if (has > 1) {
                return std::nullopt;
            }
            m.hasValue = has == 1;
            if (m.hasValue) {
                auto value = in.value();
                if (!value) {
                    return std::nullopt;
                }
                m.value = std::move(*value);
            }
            return m;
        }
        case MessageType::queueReply: {
            QueueReply m;
            m.status = in.i32();
            m.slotCount = in.u32();
            m.slotBytes = in.u64();
            if (m.status == status::ok && !validLayout(SlotLayout{m.slotCount, m.slotBytes})) {
                return std::nullopt;
            }
            return m;
        }
        case MessageType::scheduledOutput: {
            ScheduledOutput m;
            m.slot = in.u32();
            m.sequence = in.u64();
            m.hostTimeNanos = in.u64();
            if (m.slot >= kMaxSlots || m.sequence == 0) {
                return std::nullopt;
            }
            return m;
        }
        case MessageType::frame: {
            Frame m;
            m.frame = in.slotFrame();
            m.hostTimeNanos = in.u64();
            if (!in.failed() && !validFrameShape(m.frame)) {
                return std::nullopt;
            }
            return m;
        }
        case MessageType::goodbye:
            return Goodbye{in.i32()};
    }
    return std::nullopt;
}

bool knownType(std::uint16_t type) {
    switch (static_cast<MessageType>(type)) {
        case MessageType::getProperty:
        case MessageType::setProperty:
        case MessageType::availableProperties:
        case MessageType::startStream:
        case MessageType::stopStream:
        case MessageType::copyBufferQueue:
        case MessageType::enqueue:
        case MessageType::frameDone:
        case MessageType::reply:
        case MessageType::queueReply:
        case MessageType::scheduledOutput:
        case MessageType::frame:
        case MessageType::goodbye:
            return true;
    }
    return false;
}

}  // namespace

MessageType typeOf(const Body& body) {
    constexpr MessageType kTypes[] = {
        MessageType::getProperty, MessageType::setProperty,     MessageType::availableProperties,
        MessageType::startStream, MessageType::stopStream,      MessageType::copyBufferQueue,
        MessageType::enqueue,     MessageType::frameDone,       MessageType::reply,
        MessageType::queueReply,  MessageType::scheduledOutput, MessageType::frame,
        MessageType::goodbye,
    };
    static_assert(std::size(kTypes) == std::variant_size_v<Body>);
    return kTypes[body.index()];
}

std::uint32_t descriptorCount(const Body& body) {
    if (const auto* q = std::get_if<QueueReply>(&body)) {
        return q->status == status::ok ? 1U : 0U;
    }
    return 0;
}

bool fromClient(const Body& body) {
    return static_cast<std::uint16_t>(typeOf(body)) <
           static_cast<std::uint16_t>(MessageType::reply);
}

std::string_view describe(DecodeError error) {
    switch (error) {
        case DecodeError::none:
            return "none";
        case DecodeError::tooShort:
            return "message shorter than its header";
        case DecodeError::tooLong:
            return "message longer than the limit";
        case DecodeError::badMagic:
            return "bad magic";
        case DecodeError::unknownType:
            return "unknown message type";
        case DecodeError::sizeMismatch:
            return "payload size does not match";
        case DecodeError::badValue:
            return "field out of range";
        case DecodeError::badDescriptors:
            return "wrong number of descriptors";
    }
    return "?";
}

Decoded decodeMessage(std::span<const std::uint8_t> bytes, std::uint32_t descriptors) {
    Decoded out;
    if (bytes.size() < kHeaderSize) {
        out.error = DecodeError::tooShort;
        return out;
    }
    if (bytes.size() > kMaxMessageSize) {
        out.error = DecodeError::tooLong;
        return out;
    }
    Reader header(bytes.first(kHeaderSize));
    const std::uint32_t magic = header.u32();
    const std::uint16_t type = header.u16();
    const std::uint16_t reserved = header.u16();
    const std::uint32_t requestId = header.u32();
    const std::uint32_t payloadSize = header.u32();
    if (magic != kMagic) {
        out.error = DecodeError::badMagic;
        return out;
    }
    if (!knownType(type)) {
        out.error = DecodeError::unknownType;
        return out;
    }
    if (reserved != 0 || payloadSize != bytes.size() - kHeaderSize) {
        out.error = DecodeError::sizeMismatch;
        return out;
    }
    Reader payload(bytes.subspan(kHeaderSize));
    auto body = decodeBody(static_cast<MessageType>(type), payload);
    if (payload.failed() || (body && !payload.atEnd())) {
        out.error = DecodeError::sizeMismatch;
        return out;
    }
    if (!body) {
        out.error = DecodeError::badValue;
        return out;
    }
    if (descriptors > kMaxDescriptors || descriptors != descriptorCount(*body)) {
        out.error = DecodeError::badDescriptors;
        return out;
    }
    out.message.requestId = requestId;
    out.message.body = std::move(*body);
    return out;
}

std::vector<std::uint8_t> encodeMessage(const Message& message) {
    Writer payload;
    std::visit(
        [&payload](const auto& m) {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, GetProperty>) {
                payload.u32(m.object);
                payload.u32(m.selector);
            } else if constexpr (std::is_same_v<M, SetProperty>) {
                payload.u32(m.object);
                payload.u32(m.selector);
                payload.value(m.value);
            } else if constexpr (std::is_same_v<M, AvailableProperties>) {
                payload.u32(m.object);
            } else if constexpr (std::is_same_v<M, StartStream> || std::is_same_v<M, StopStream>) {
                payload.u32(m.device);
                payload.u32(m.stream);
            } else if constexpr (std::is_same_v<M, CopyBufferQueue>) {
                payload.u32(m.stream);
            } else if constexpr (std::is_same_v<M, Enqueue>) {
                payload.slotFrame(m.frame);
            } else if constexpr (std::is_same_v<M, FrameDone>) {
                payload.u32(m.slot);
                payload.u64(m.sequence);
            } else if constexpr (std::is_same_v<M, Reply>) {
                payload.i32(m.status);
                payload.u8(m.hasValue ? 1 : 0);
                if (m.hasValue) {
                    payload.value(m.value);
                }
            } else if constexpr (std::is_same_v<M, QueueReply>) {
                payload.i32(m.status);
                payload.u32(m.slotCount);
                payload.u64(m.slotBytes);
            } else if constexpr (std::is_same_v<M, ScheduledOutput>) {
                payload.u32(m.slot);
                payload.u64(m.sequence);
                payload.u64(m.hostTimeNanos);
            } else if constexpr (std::is_same_v<M, Frame>) {
                payload.slotFrame(m.frame);
                payload.u64(m.hostTimeNanos);
            } else if constexpr (std::is_same_v<M, Goodbye>) {
                payload.i32(m.status);
            }
        },
        message.body);
    Writer out;
    out.u32(kMagic);
    out.u16(static_cast<std::uint16_t>(typeOf(message.body)));
    out.u16(0);
    out.u32(message.requestId);
    out.u32(static_cast<std::uint32_t>(payload.bytes().size()));
    auto bytes = std::move(out.bytes());
    bytes.insert(bytes.end(), payload.bytes().begin(), payload.bytes().end());
    return bytes;
}

bool validLayout(const SlotLayout& layout) {
    return layout.slotCount > 0 && layout.slotCount <= kMaxSlots && layout.slotBytes > 0 &&
           layout.slotBytes <= kMaxSlotBytes && layout.slotBytes % 4096 == 0;
}

bool validSlotFrame(const SlotLayout& layout, const SlotFrame& frame, std::uint64_t lastSequence) {
    if (!validLayout(layout) || !validFrameShape(frame) || frame.slot >= layout.slotCount ||
        frame.sequence <= lastSequence) {
        return false;
    }
    return slotFrameBytes(frame) <= layout.slotBytes;
}

std::uint64_t slotFrameBytes(const SlotFrame& frame) {
    if (frame.pixelFormat == kI420) {
        const ChromaLayout chroma = chromaLayout(frame.stride, frame.height);
        return chroma.cr + (chroma.cr - chroma.cb);
    }
    // The last row needs only its pixels, not a full stride.
    return static_cast<std::uint64_t>(frame.stride) * (frame.height - 1) +
           static_cast<std::uint64_t>(frame.width) * 4;
}

}  // namespace kestrel::link
