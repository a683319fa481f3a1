#pragma once

#include <filesystem>
#include <memory>
#include <variant>

#include "app/presence/FaceDetector.h"
#include "platform/runtime/Error.h"

namespace kestrel {

// Face detection with MediaPipe's BlazeFace network for distant faces (the 256x256 "back camera"
// model) through OpenCV's DNN module: the frame is letterboxed into the model's square input and
// a face is any anchor whose score passes `threshold`. It sees heads tilted by 30° and faces an
// eighth of the frame's height, in dim light and in half shadow.
class BlazeFaceDetector final : public FaceDetector {
  public:
    static constexpr int kInputSize = 256;
    static constexpr float kDefaultThreshold = 0.8f;

    // Where kestrel.sh installs the model.
    static std::filesystem::path defaultModelPath();
    // Loads the network once and checks that it answers like BlazeFace; an error names the file
    // when it is missing, unreadable or another network.
    static std::variant<std::unique_ptr<BlazeFaceDetector>, Error> create(
        const std::filesystem::path& modelPath, float threshold = kDefaultThreshold);

    struct Network;
    struct Private {};
    BlazeFaceDetector(Private, std::unique_ptr<Network> network, float threshold);
    ~BlazeFaceDetector() override;
    BlazeFaceDetector(const BlazeFaceDetector&) = delete;
    BlazeFaceDetector& operator=(const BlazeFaceDetector&) = delete;

    bool containsFace(const PixelBuffer& frame) override;

  private:
    std::unique_ptr<Network> network_;
    float logitThreshold_;
};

}  // namespace kestrel
