#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "extension/StreamPorts.h"
#include "tests/support/LogCapture.h"

namespace kestrel::camera::testing {

using kestrel::testing::LogCapture;

class FakeSinkPort final : public SinkStreamPort {
  public:
    std::int64_t streamingClientCount() override { return 1; }
    void consumeSampleBuffer(const Client& client, ConsumeCompletion done) override {
        ++requests;
        requestedFor.push_back(client);
        ConsumeResult r;
        if (!errors.empty()) {
            r.error = errors.front();
            errors.pop_front();
        } else if (!queued.empty()) {
            r = std::move(queued.front());
            queued.pop_front();
        }
        done(std::move(r));
    }
    void notifyScheduledOutputChanged(std::uint64_t sequence, std::uint64_t hostTime) override {
        acks.emplace_back(sequence, hostTime);
    }
    bool watchQueuedFrames(std::function<void()> handler) override {
        onQueued = announces ? std::move(handler) : nullptr;
        return announces;
    }

    // Queues a small frame with the given time and sequence.
    void queueFrame(std::uint64_t sequence, MediaTime time) {
        auto pixels = std::make_shared<std::vector<std::uint8_t>>(16 * 8 * 4, 0x80);
        ConsumeResult r;
        SampleBuffer b;
        b.pixels = pixels->data();
        b.owner = pixels;
        b.width = 16;
        b.height = 8;
        b.stride = 64;
        b.presentationTime = time;
        b.duration = MediaTime{1, 30};
        r.buffer = b;
        r.sequence = sequence;
        queued.push_back(std::move(r));
        if (onQueued) {
            onQueued();
        }
    }

    bool announces = false;  // says when a frame is queued
    std::function<void()> onQueued;
    std::deque<ConsumeResult> queued;
    std::deque<std::string> errors;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> acks;
    std::vector<Client> requestedFor;
    int requests = 0;
};

class FakeSourcePort final : public SourceStreamPort {
  public:
    struct Sent {
        std::uint32_t width;
        std::uint32_t height;
        std::uint64_t hostTime;
        MediaTime presentationTime;
        bool allZero;
    };
    void send(const SampleBuffer& b, std::uint64_t hostTime) override {
        bool zero = true;
        for (std::uint32_t y = 0; y < b.height && zero; ++y) {
            const std::uint8_t* row = b.pixels + static_cast<std::size_t>(y) * b.stride;
            zero = std::all_of(row, row + b.width * 4, [](std::uint8_t v) { return v == 0; });
        }
        sent.push_back(Sent{b.width, b.height, hostTime, b.presentationTime, zero});
    }
    std::vector<Sent> sent;
};

}  // namespace kestrel::camera::testing
