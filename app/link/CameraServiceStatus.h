#pragma once

namespace kestrel {

// How meeting applications can open the virtual camera: a PipeWire node named "Kestrel" comes
// first, then a fed v4l2loopback device of that name.
enum class CameraVisibility { none, pipewire, v4l2loopback };

// What the settings window shows of the camera daemon.
struct CameraServiceStatus {
    bool daemonAnswers = false;
    CameraVisibility visibleAs = CameraVisibility::none;
};

}  // namespace kestrel
