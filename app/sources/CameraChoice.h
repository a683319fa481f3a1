#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "app/engine/FramePorts.h"
#include "platform/runtime/Clock.h"
#include "platform/runtime/Executor.h"

namespace kestrel {

// Which camera the application captures from, as given by `--camera`.
struct CameraChoice {
    enum class Kind {
        automatic,  // "auto": the device rules over every V4L2 camera
        pattern,    // "pattern": the generated test pattern
        device,     // "/dev/videoN": that V4L2 node only
        file,       // "file:PATH": a video file played as a camera
    };
    Kind kind = Kind::automatic;
    std::string path;  // the node or the file
    friend bool operator==(const CameraChoice&, const CameraChoice&) = default;
};

// Nothing for text that names no camera.
std::optional<CameraChoice> parseCameraChoice(std::string_view text);

// The webcam for `choice`: a WebcamCapture over the matching backend, with its own capture queue
// "dev.corvid.kestrel.webcam". Fails for a choice this build cannot serve.
std::variant<std::unique_ptr<WebcamSource>, Error> makeWebcam(const CameraChoice& choice,
                                                              Executor& main,
                                                              const HostClock& hostClock,
                                                              const WallClock& wallClock);

}  // namespace kestrel
