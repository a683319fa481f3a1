#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

struct xnn_runtime;

namespace kestrel {

// A small convolutional network read from an ONNX file and run by XNNPACK on the calling thread.
//
// It takes the operators of MediaPipe's detectors as converted from TensorFlow: convolutions (full
// and depthwise), ReLU, Add, MaxPool, zero channels appended by Concat with a ConstantOfShape,
// and the Transpose and Reshape that the converter puts around an NHWC model. XNNPACK computes in
// NHWC, so those transposes cost nothing: the input is NHWC as the file declares it, and each
// output is what the file's output holds, in its order. Anything else in the file is refused
// with an error that names the operator.
class XnnpackNetwork {
  public:
    struct Output {
        std::string name;
        std::vector<float> values;
    };

    // The file's outputs to compute, by the shape the file declares for them; what only the
    // others need is not computed. Without it, all of them.
    using OutputFilter = std::function<bool(const std::vector<int64_t>& shape)>;

    static std::variant<std::unique_ptr<XnnpackNetwork>, std::string> load(
        const std::filesystem::path& file, const OutputFilter& wanted = {});

    struct Private {};
    explicit XnnpackNetwork(Private);
    ~XnnpackNetwork();
    XnnpackNetwork(const XnnpackNetwork&) = delete;
    XnnpackNetwork& operator=(const XnnpackNetwork&) = delete;

    // The input's height, width and channels, as the file declares them (batch 1).
    int inputHeight() const { return inputHeight_; }
    int inputWidth() const { return inputWidth_; }
    int inputChannels() const { return inputChannels_; }
    // Written before each run: height x width x channels floats, channels innermost.
    std::span<float> input() { return {input_.data(), inputSize_}; }

    // Computes the wanted outputs from the input, in the file's order; false where XNNPACK failed.
    bool run();
    const std::vector<Output>& outputs() const { return outputs_; }

    struct Graph;

  private:
    struct RuntimeDeleter {
        void operator()(xnn_runtime* runtime) const;
    };

    int inputHeight_ = 0;
    int inputWidth_ = 0;
    int inputChannels_ = 0;
    std::size_t inputSize_ = 0;
    std::vector<float> input_;  // with the bytes XNNPACK may read past the end
    std::vector<Output> outputs_;
    // Filters and biases in XNNPACK's layout; the runtime reads them where they lie.
    std::vector<std::vector<float>> weights_;
    std::unique_ptr<xnn_runtime, RuntimeDeleter> runtime_;
};

}  // namespace kestrel
