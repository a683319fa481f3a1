#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/link/Wire.h"

namespace kestrel::link {
namespace {

SlotFrame goodFrame() {
    SlotFrame f;
    f.slot = 1;
    f.sequence = 7;
    f.width = 1280;
    f.height = 720;
    f.stride = 5120;
    f.presentationTime = MediaTime::fromNanos(123'456'789);
    f.duration = MediaTime{1, 30};
    return f;
}

std::vector<Message> everyKind() {
    return {
        Message{1, GetProperty{3, property::name}},
        Message{2, SetProperty{3, property::name, PropertyValue{std::string("Kestrel")}}},
        Message{3, SetProperty{1, property::allowScreenCapture, PropertyValue{1U}}},
        Message{4, SetProperty{4, property::frameDuration, PropertyValue{MediaTime{1, 30}}}},
        Message{5, AvailableProperties{5}},
        Message{6, StartStream{3, 5}},
        Message{7, StopStream{3, 5}},
        Message{8, CopyBufferQueue{5}},
        Message{0, Enqueue{goodFrame()}},
        Message{0, FrameDone{2, 9}},
        Message{9, Reply{status::ok, true, PropertyValue{std::vector<std::uint32_t>{3, 4}}}},
        Message{10, Reply{status::unknownProperty, false, {}}},
        Message{11, QueueReply{status::ok, 4, 8'294'400}},
        Message{12, QueueReply{status::badObject, 0, 0}},
        Message{0, ScheduledOutput{1, 7, 99}},
        Message{0, Frame{goodFrame(), 1234}},
        Message{0, Goodbye{status::illegalOperation}},
    };
}

TEST(Wire, EveryMessageRoundTrips) {
    for (const Message& m : everyKind()) {
        const auto bytes = encodeMessage(m);
        const Decoded d = decodeMessage(bytes, descriptorCount(m.body));
        ASSERT_TRUE(d.ok()) << static_cast<int>(typeOf(m.body)) << ": " << describe(d.error);
        EXPECT_EQ(d.message, m);
    }
}

TEST(Wire, QueueReplyOfSuccessNeedsExactlyOneDescriptor) {
    const auto bytes = encodeMessage(Message{1, QueueReply{status::ok, 4, 8'294'400}});
    EXPECT_EQ(decodeMessage(bytes, 0).error, DecodeError::badDescriptors);
    EXPECT_EQ(decodeMessage(bytes, 2).error, DecodeError::badDescriptors);
    EXPECT_TRUE(decodeMessage(bytes, 1).ok());
    const auto failed = encodeMessage(Message{1, QueueReply{status::badObject, 0, 0}});
    EXPECT_EQ(decodeMessage(failed, 1).error, DecodeError::badDescriptors);
}

TEST(Wire, DescriptorsOnOrdinaryMessagesAreRefused) {
    const auto bytes = encodeMessage(Message{1, GetProperty{1, property::devices}});
    EXPECT_EQ(decodeMessage(bytes, 1).error, DecodeError::badDescriptors);
}

TEST(Wire, HeaderChecks) {
    auto bytes = encodeMessage(Message{1, GetProperty{1, property::devices}});
    EXPECT_EQ(decodeMessage(std::span(bytes).first(10), 0).error, DecodeError::tooShort);

    auto badMagic = bytes;
    badMagic[0] ^= 0xFF;
    EXPECT_EQ(decodeMessage(badMagic, 0).error, DecodeError::badMagic);

    auto badType = bytes;
    badType[4] = 200;
    EXPECT_EQ(decodeMessage(badType, 0).error, DecodeError::unknownType);

    auto longer = bytes;
    longer.push_back(0);
    EXPECT_EQ(decodeMessage(longer, 0).error, DecodeError::sizeMismatch);

    auto shorter = bytes;
    shorter.pop_back();
    EXPECT_EQ(decodeMessage(shorter, 0).error, DecodeError::sizeMismatch);

    std::vector<std::uint8_t> huge(kMaxMessageSize + 1, 0);
    EXPECT_EQ(decodeMessage(huge, 0).error, DecodeError::tooLong);
}

TEST(Wire, PayloadSizeFieldMustMatch) {
    auto bytes = encodeMessage(Message{1, GetProperty{1, property::devices}});
    bytes[12] = 4;  // claims a shorter payload than it carries
    EXPECT_EQ(decodeMessage(bytes, 0).error, DecodeError::sizeMismatch);
}

TEST(Wire, EnqueueFieldsAreChecked) {
    auto check = [](auto mutate) {
        SlotFrame f = goodFrame();
        mutate(f);
        return decodeMessage(encodeMessage(Message{0, Enqueue{f}}), 0).error;
    };
    EXPECT_EQ(check([](SlotFrame&) {}), DecodeError::none);
    EXPECT_EQ(check([](SlotFrame& f) { f.width = 0; }), DecodeError::badValue);
    EXPECT_EQ(check([](SlotFrame& f) { f.height = kMaxFrameDimension + 1; }),
              DecodeError::badValue);
    EXPECT_EQ(check([](SlotFrame& f) { f.stride = f.width * 4 - 4; }), DecodeError::badValue);
    EXPECT_EQ(check([](SlotFrame& f) { f.stride = f.width * 4 + 2; }), DecodeError::badValue);
    EXPECT_EQ(check([](SlotFrame& f) { f.slot = kMaxSlots; }), DecodeError::badValue);
    EXPECT_EQ(check([](SlotFrame& f) { f.sequence = 0; }), DecodeError::badValue);
    EXPECT_EQ(check([](SlotFrame& f) { f.pixelFormat = code4("420v"); }), DecodeError::badValue);
    // An invalid presentation time decodes: the relay decides what to do with it.
    EXPECT_EQ(check([](SlotFrame& f) { f.presentationTime = MediaTime{}; }), DecodeError::none);
}

TEST(Wire, OversizedStringsAndListsAreRefused) {
    const std::string longName(kMaxStringBytes + 1, 'x');
    auto text = encodeMessage(Message{1, SetProperty{3, property::name, PropertyValue{longName}}});
    EXPECT_FALSE(decodeMessage(text, 0).ok());

    // A list that claims more entries than the payload holds.
    auto list = encodeMessage(
        Message{1, Reply{status::ok, true, PropertyValue{std::vector<std::uint32_t>{1, 2}}}});
    list[kHeaderSize + 4 + 1 + 1] = 200;  // count's low byte
    EXPECT_FALSE(decodeMessage(list, 0).ok());
}

TEST(Wire, SlotFrameMustFitItsQueue) {
    const SlotLayout layout{4, 4096 * 900};  // 3,686,400 bytes: a 1280x720 frame exactly
    SlotFrame f = goodFrame();
    EXPECT_TRUE(validSlotFrame(layout, f, 6));
    EXPECT_FALSE(validSlotFrame(layout, f, 7));  // sequence must grow
    f.slot = 4;
    EXPECT_FALSE(validSlotFrame(layout, f, 0));
    f = goodFrame();
    f.height = 721;
    EXPECT_FALSE(validSlotFrame(layout, f, 0));
    f = goodFrame();
    f.width = 1920;
    f.height = 1080;
    f.stride = 7680;
    EXPECT_FALSE(validSlotFrame(layout, f, 0));
    EXPECT_FALSE(validSlotFrame(SlotLayout{0, 4096}, goodFrame(), 0));
    EXPECT_FALSE(validSlotFrame(SlotLayout{4, 1000}, goodFrame(), 0));

    // 4:2:0 planes: 1920x1080 fits where its BGRA would not, all three planes counted; its sides
    // must be even, and no other format is taken.
    f = goodFrame();
    f.pixelFormat = kI420;
    f.width = 1920;
    f.height = 1080;
    f.stride = 1920;
    EXPECT_TRUE(validSlotFrame(layout, f, 0));
    f.stride = 2304;  // 2304 * 1080 fits, but not with the chroma planes after it
    EXPECT_FALSE(validSlotFrame(layout, f, 0));
    f.stride = 1920;
    f.height = 1079;
    EXPECT_FALSE(validSlotFrame(layout, f, 0));
    f.height = 1080;
    f.pixelFormat = code4("NV12");
    EXPECT_FALSE(validSlotFrame(layout, f, 0));
}

// The fallback companion of the libFuzzer target: deterministic mutations of valid messages
// (bit flips, truncations, extensions, random bytes) never crash the decoder, and whatever
// decodes re-encodes to the same bytes.
TEST(Wire, MutatedMessagesNeverCrashAndRoundTripWhenAccepted) {
    std::mt19937 random(12345);
    std::size_t accepted = 0;
    for (const Message& m : everyKind()) {
        const auto original = encodeMessage(m);
        for (int round = 0; round < 2000; ++round) {
            auto bytes = original;
            const int kind = static_cast<int>(random() % 4);
            if (kind == 0 && !bytes.empty()) {
                bytes[random() % bytes.size()] ^= static_cast<std::uint8_t>(1U << (random() % 8));
            } else if (kind == 1 && !bytes.empty()) {
                bytes.resize(random() % bytes.size());
            } else if (kind == 2) {
                bytes.push_back(static_cast<std::uint8_t>(random()));
            } else {
                for (auto& b : bytes) {
                    if (random() % 8 == 0) {
                        b = static_cast<std::uint8_t>(random());
                    }
                }
            }
            const auto fds = static_cast<std::uint32_t>(random() % 3);
            const Decoded d = decodeMessage(bytes, fds);
            if (d.ok()) {
                ++accepted;
                EXPECT_EQ(encodeMessage(d.message), bytes);
            }
        }
    }
    EXPECT_GT(accepted, 0U);
}

}  // namespace
}  // namespace kestrel::link
