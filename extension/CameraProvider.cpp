#include "extension/CameraProvider.h"

#include <string>

#include "shared/CameraIPC.h"

namespace kestrel::camera {

namespace property = link::property;

const Log& providerLog() {
    static const Log log(std::string(CameraIPC::extensionIdentifier), "Provider");
    return log;
}

namespace {

// Answers are built fresh from an empty map and hold only requested keys this object supports.
template <class Fill>
PropertyValues answer(const PropertySet& requested, Fill fill) {
    PropertyValues out;
    for (std::uint32_t key : requested) {
        if (auto value = fill(key)) {
            out.emplace(key, std::move(*value));
        }
    }
    return out;
}

std::optional<link::PropertyValue> streamValue(std::uint32_t key) {
    if (key == property::activeFormatIndex) {
        return link::PropertyValue{0U};
    }
    if (key == property::frameDuration) {
        return link::PropertyValue{CameraIPC::frameDuration};
    }
    return std::nullopt;
}

}  // namespace

PropertySet ProviderSource::availableProperties() const {
    return {property::manufacturer, property::name};
}

PropertyValues ProviderSource::properties(const PropertySet& requested) const {
    return answer(requested, [](std::uint32_t key) -> std::optional<link::PropertyValue> {
        if (key == property::name) {
            return link::PropertyValue{std::string(CameraIPC::providerName)};
        }
        if (key == property::manufacturer) {
            return link::PropertyValue{std::string(CameraIPC::providerManufacturer)};
        }
        return std::nullopt;
    });
}

PropertySet DeviceSource::availableProperties() const {
    return {property::model, property::transportType};
}

PropertyValues DeviceSource::properties(const PropertySet& requested) const {
    return answer(requested, [](std::uint32_t key) -> std::optional<link::PropertyValue> {
        if (key == property::model) {
            return link::PropertyValue{std::string(CameraIPC::deviceModel)};
        }
        if (key == property::transportType) {
            return link::PropertyValue{CameraIPC::deviceTransportType};
        }
        return std::nullopt;
    });
}

PropertySet SourceStreamSource::availableProperties() const {
    return {property::activeFormatIndex, property::frameDuration};
}

PropertyValues SourceStreamSource::properties(const PropertySet& requested) const {
    return answer(requested, streamValue);
}

bool SourceStreamSource::startStream() {
    providerLog().info("source stream startStream");
    if (onStart) {
        onStart();
    }
    return true;
}

bool SourceStreamSource::stopStream() {
    providerLog().info("source stream stopStream");
    if (onStop) {
        onStop();
    }
    return true;
}

PropertySet SinkStreamSource::availableProperties() const {
    return {property::activeFormatIndex,       property::frameDuration,
            property::sinkBufferQueueSize,     property::sinkBuffersRequiredForStartup,
            property::sinkBufferUnderrunCount, property::sinkEndOfData};
}

PropertyValues SinkStreamSource::properties(const PropertySet& requested) const {
    return answer(requested, [](std::uint32_t key) -> std::optional<link::PropertyValue> {
        if (key == property::sinkBufferQueueSize) {
            return link::PropertyValue{static_cast<std::uint32_t>(CameraIPC::sinkBufferQueueSize)};
        }
        if (key == property::sinkBuffersRequiredForStartup) {
            return link::PropertyValue{
                static_cast<std::uint32_t>(CameraIPC::sinkBuffersRequiredForStartup)};
        }
        // The underrun count and end of data are available but never filled in.
        return streamValue(key);
    });
}

bool SinkStreamSource::authorizedToStartStream(const Client& client) {
    connectedClient_ = client;
    return true;
}

bool SinkStreamSource::startStream() {
    if (connectedClient_) {
        providerLog().info("sink stream startStream");
        if (onStart) {
            onStart(*connectedClient_);
        }
    } else {
        providerLog().error("sink startStream with no client?");
    }
    return true;
}

bool SinkStreamSource::stopStream() {
    providerLog().info("sink stream stopStream");
    if (onStop) {
        onStop();
    }
    return true;
}

}  // namespace kestrel::camera
