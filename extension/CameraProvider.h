#pragma once

// The provider and its property answers: the provider, the device source and the
// two stream sources that answer per-stream questions and forward start and stop.
//
// Thread affinity: called by the camera link server on the daemon's main thread; the callbacks
// they forward to (the device's relay handlers) hop to the consume queue themselves.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "extension/StreamPorts.h"
#include "platform/link/Wire.h"
#include "platform/runtime/Log.h"

namespace kestrel::camera {

using PropertySet = std::set<std::uint32_t>;
using PropertyValues = std::map<std::uint32_t, link::PropertyValue>;

// The extension's log object: subsystem "dev.corvid.kestrel.camera", category "Provider".
const Log& providerLog();

// A video format description: pixel format and size.
struct VideoFormat {
    std::uint32_t pixelFormat = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};
// A stream format: the description and its frame-duration bounds (no list of valid durations).
struct StreamFormat {
    VideoFormat description;
    MediaTime minFrameDuration;
    MediaTime maxFrameDuration;
    friend bool operator==(const StreamFormat&, const StreamFormat&) = default;
};

// The provider's own answers.
class ProviderSource {
  public:
    // Every client is accepted.
    bool connectClient(const Client&) { return true; }
    void disconnectClient(const Client&) {}
    PropertySet availableProperties() const;
    PropertyValues properties(const PropertySet& requested) const;
    // Accepted and ignored.
    bool setProperties(const PropertyValues&) { return true; }
};

class DeviceSource {
  public:
    PropertySet availableProperties() const;
    PropertyValues properties(const PropertySet& requested) const;
    bool setProperties(const PropertyValues&) { return true; }
};

class SourceStreamSource {
  public:
    explicit SourceStreamSource(std::vector<StreamFormat> formats) : formats_(std::move(formats)) {}

    const std::vector<StreamFormat>& formats() const { return formats_; }
    PropertySet availableProperties() const;
    PropertyValues properties(const PropertySet& requested) const;
    bool setProperties(const PropertyValues&) { return true; }
    bool authorizedToStartStream(const Client&) { return true; }
    // Log, then call onStart / onStop if set. Never fail.
    bool startStream();
    bool stopStream();

    std::function<void()> onStart;
    std::function<void()> onStop;

  private:
    std::vector<StreamFormat> formats_;
};

class SinkStreamSource {
  public:
    explicit SinkStreamSource(std::vector<StreamFormat> formats) : formats_(std::move(formats)) {}

    const std::vector<StreamFormat>& formats() const { return formats_; }
    // Six properties available, of which four are ever answered.
    PropertySet availableProperties() const;
    PropertyValues properties(const PropertySet& requested) const;
    bool setProperties(const PropertyValues&) { return true; }
    // Remembers the client (never cleared) and says yes.
    bool authorizedToStartStream(const Client& client);
    // With a remembered client: log and call onStart with it; without: log an error, call
    // nothing. Succeeds in both cases.
    bool startStream();
    bool stopStream();

    const std::optional<Client>& connectedClient() const { return connectedClient_; }

    std::function<void(const Client&)> onStart;
    std::function<void()> onStop;

  private:
    std::vector<StreamFormat> formats_;
    std::optional<Client> connectedClient_;
};

}  // namespace kestrel::camera
