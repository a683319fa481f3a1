#pragma once

// A scripted camera-link object tree for the sink's tests: devices with names, identifiers and
// streams, streams with directions, and queues whose occupancy the test sets.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/link/CameraLinkPort.h"

namespace kestrel::testing {

class FakeSinkQueue final : public SinkQueuePort {
  public:
    struct Enqueued {
        int width;
        int height;
        MediaTime presentationTime;
        MediaTime duration;
    };
    std::int32_t count() const override { return occupancy; }
    std::int32_t capacity() const override { return slots; }
    link::Status enqueue(const PixelBuffer& frame, MediaTime presentationTime,
                         MediaTime duration) override {
        if (enqueueStatus == link::status::ok) {
            frames.push_back({frame.width(), frame.height(), presentationTime, duration});
        }
        return enqueueStatus;
    }

    std::int32_t occupancy = 0;
    std::int32_t slots = 4;
    link::Status enqueueStatus = link::status::ok;
    std::vector<Enqueued> frames;
};

class FakeCameraLink final : public CameraLinkPort {
  public:
    struct Object {
        std::optional<std::string> name;
        std::optional<std::string> uid;
        std::vector<std::uint32_t> streams;
        std::optional<std::uint32_t> direction;
    };

    // A device and its streams; stream directions as given (nothing: unreadable).
    link::ObjectId addDevice(std::optional<std::string> name, std::optional<std::string> uid,
                             const std::vector<std::optional<std::uint32_t>>& directions) {
        const link::ObjectId device = nextId++;
        Object deviceObject{std::move(name), std::move(uid), {}, std::nullopt};
        for (const auto& direction : directions) {
            const link::ObjectId stream = nextId++;
            objects[stream] = Object{std::nullopt, std::nullopt, {}, direction};
            deviceObject.streams.push_back(stream);
        }
        objects[device] = std::move(deviceObject);
        devices.push_back(device);
        return device;
    }
    link::ObjectId stream(link::ObjectId device, std::size_t index) {
        return objects.at(device).streams.at(index);
    }
    void fireDevicesChanged() {
        for (auto& listener : listeners) {
            listener();
        }
    }

    link::Status setProperty(link::ObjectId object, std::uint32_t selector,
                             std::uint32_t value) override {
        if (object == link::kSystemObject && selector == link::property::allowScreenCapture &&
            value == 1) {
            ++allowScreenCaptureWrites;
        }
        return link::status::unknownProperty;  // the sink ignores the answer
    }
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             std::string& value) override {
        auto it = objects.find(object);
        if (it == objects.end()) {
            return link::status::badObject;
        }
        const auto& text = selector == link::property::name        ? it->second.name
                           : selector == link::property::deviceUID ? it->second.uid
                                                                   : std::nullopt;
        if (!text) {
            return link::status::unknownProperty;
        }
        value = *text;
        return link::status::ok;
    }
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             std::uint32_t& value) override {
        auto it = objects.find(object);
        if (it == objects.end() || selector != link::property::direction || !it->second.direction) {
            value = 77;  // garbage the sink must not trust
            return link::status::unknownProperty;
        }
        value = *it->second.direction;
        return link::status::ok;
    }
    link::Status getProperty(link::ObjectId object, std::uint32_t selector,
                             std::vector<std::uint32_t>& value) override {
        if (object == link::kSystemObject && selector == link::property::devices) {
            ++deviceListReads;
            value = devices;
            return link::status::ok;
        }
        auto it = objects.find(object);
        if (it == objects.end() || selector != link::property::streams) {
            return link::status::unknownProperty;
        }
        value = it->second.streams;
        return link::status::ok;
    }
    link::Status addDevicesListener(std::function<void()> listener, Handle& registration) override {
        ++listenerRegistrations;
        if (listenerStatus != link::status::ok) {
            return listenerStatus;
        }
        listeners.push_back(std::move(listener));
        registration = Handle([] {});
        return link::status::ok;
    }
    link::Status copyBufferQueue(link::ObjectId /*stream*/, std::function<void()> altered,
                                 std::shared_ptr<SinkQueuePort>& queue) override {
        ++copyCalls;
        if (copyStatus != link::status::ok) {
            return copyStatus;
        }
        auto made = std::make_shared<FakeSinkQueue>();
        queues.push_back(made);
        alteredCallbacks.push_back(std::move(altered));
        queue = made;
        return link::status::ok;
    }
    link::Status startStream(link::ObjectId device, link::ObjectId stream) override {
        started.emplace_back(device, stream);
        return startStatus;
    }
    link::Status stopStream(link::ObjectId device, link::ObjectId stream) override {
        stopped.emplace_back(device, stream);
        return link::status::ok;
    }

    std::map<link::ObjectId, Object> objects;
    std::vector<link::ObjectId> devices;
    link::ObjectId nextId = 100;

    link::Status listenerStatus = link::status::ok;
    link::Status copyStatus = link::status::ok;
    link::Status startStatus = link::status::ok;

    int allowScreenCaptureWrites = 0;
    int deviceListReads = 0;
    int listenerRegistrations = 0;
    int copyCalls = 0;
    std::vector<std::function<void()>> listeners;
    std::vector<std::shared_ptr<FakeSinkQueue>> queues;
    std::vector<std::function<void()>> alteredCallbacks;
    std::vector<std::pair<link::ObjectId, link::ObjectId>> started;
    std::vector<std::pair<link::ObjectId, link::ObjectId>> stopped;
};

}  // namespace kestrel::testing
