#include "app/presence/XnnpackNetwork.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <set>

#include <onnx/onnx_pb.h>
#include <xnnpack.h>

namespace kestrel {

namespace {

struct SubgraphDeleter {
    void operator()(xnn_subgraph* subgraph) const { xnn_delete_subgraph(subgraph); }
};

// Where a tensor of the file lies in XNNPACK, and how the file sees it. XNNPACK's memory is
// always NHWC; the file's tensor is either that (its input, and what comes out of a transpose to
// NHWC), the same memory seen as NCHW (where the file computes), or flattened from NHWC.
struct Value {
    enum class View { nhwc, nchw, flat };
    uint32_t id = XNN_INVALID_VALUE_ID;
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 0;
    View view = View::nchw;
};

struct Failure {
    std::string what;
};

// More values than any tensor of a detector for a camera picture holds: a file asking for more
// is refused rather than allocated.
constexpr int64_t kMostValues = int64_t{1} << 26;
constexpr int64_t kLargestSide = 4096;

const onnx::AttributeProto* attributeOf(const onnx::NodeProto& node, const char* name) {
    for (const auto& attribute : node.attribute()) {
        if (attribute.name() == name) {
            return &attribute;
        }
    }
    return nullptr;
}

std::vector<int64_t> intsOf(const onnx::NodeProto& node, const char* name,
                            std::vector<int64_t> otherwise) {
    const auto* attribute = attributeOf(node, name);
    return attribute ? std::vector<int64_t>(attribute->ints().begin(), attribute->ints().end())
                     : otherwise;
}

int64_t intOf(const onnx::NodeProto& node, const char* name, int64_t otherwise) {
    const auto* attribute = attributeOf(node, name);
    return attribute ? attribute->i() : otherwise;
}

// Whether there are `count` values, each in [lowest, highest].
bool within(const std::vector<int64_t>& values, std::size_t count, int64_t lowest,
            int64_t highest) {
    return values.size() == count && std::all_of(values.begin(), values.end(), [&](int64_t v) {
               return v >= lowest && v <= highest;
           });
}

// Padding computed from the sizes (SAME_UPPER and the like) is not taken; the converter writes
// explicit pads.
bool explicitPadding(const onnx::NodeProto& node) {
    const auto* autoPad = attributeOf(node, "auto_pad");
    return !autoPad || autoPad->s().empty() || autoPad->s() == "NOTSET";
}

template <typename T>
std::vector<T> dataOf(const onnx::TensorProto& tensor, int type,
                      const google::protobuf::RepeatedField<T>& typed) {
    if (tensor.data_type() != type || tensor.has_data_location()) {
        throw Failure{"tensor " + tensor.name() + " is not stored as expected"};
    }
    std::size_t count = 1;
    for (const int64_t dim : tensor.dims()) {
        if (dim < 0 || dim > kMostValues ||
            count * static_cast<std::size_t>(dim) > static_cast<std::size_t>(kMostValues)) {
            throw Failure{"tensor " + tensor.name() + " is too large"};
        }
        count *= static_cast<std::size_t>(dim);
    }
    std::vector<T> values;
    if (!tensor.raw_data().empty()) {
        values.resize(tensor.raw_data().size() / sizeof(T));
        std::memcpy(values.data(), tensor.raw_data().data(), values.size() * sizeof(T));
    } else {
        values.assign(typed.begin(), typed.end());
    }
    if (values.size() != count) {
        throw Failure{"tensor " + tensor.name() + " holds " + std::to_string(values.size()) +
                      " values for " + std::to_string(count)};
    }
    return values;
}

}  // namespace

struct XnnpackNetwork::Graph {
    const onnx::GraphProto& graph;
    XnnpackNetwork& network;
    xnn_subgraph* subgraph = nullptr;
    std::map<std::string, const onnx::TensorProto*> initializers;
    std::map<std::string, const onnx::NodeProto*> zeroChannels;  // ConstantOfShape outputs
    std::map<std::string, Value> values;
    // The file's outputs that are computed; the names of the values that hold them, and their
    // external ids.
    std::vector<const onnx::ValueInfoProto*> wanted;
    std::map<std::string, uint32_t> outputIds;

    static void check(xnn_status status, const std::string& what) {
        if (status != xnn_status_success) {
            throw Failure{"XNNPACK refused " + what};
        }
    }

    const onnx::TensorProto& initializer(const onnx::NodeProto& node, int input) const {
        const auto found =
            node.input_size() > input ? initializers.find(node.input(input)) : initializers.end();
        if (found == initializers.end()) {
            throw Failure{node.op_type() + " " + node.name() + " needs a constant input " +
                          std::to_string(input)};
        }
        return *found->second;
    }

    const Value& computed(const onnx::NodeProto& node, int input) const {
        const auto found =
            node.input_size() > input ? values.find(node.input(input)) : values.end();
        if (found == values.end()) {
            throw Failure{node.op_type() + " " + node.name() + " reads an unknown tensor"};
        }
        if (found->second.view != Value::View::nchw) {
            throw Failure{node.op_type() + " " + node.name() + " reads a tensor not in NCHW"};
        }
        return found->second;
    }

    // Defines the tensor a node writes, external where it is one of the file's outputs.
    Value& define(const std::string& name, std::size_t height, std::size_t width,
                  std::size_t channels, Value::View view = Value::View::nchw) {
        if (height < 1 || width < 1 || channels < 1 ||
            height * width * channels > static_cast<std::size_t>(kMostValues)) {
            throw Failure{"tensor " + name + " has no values or too many"};
        }
        const std::size_t dims[] = {1, height, width, channels};
        const auto output = outputIds.find(name);
        Value value{XNN_INVALID_VALUE_ID, height, width, channels, view};
        check(xnn_define_tensor_value(
                  subgraph, xnn_datatype_fp32, 4, dims, nullptr,
                  output == outputIds.end() ? XNN_INVALID_VALUE_ID : output->second,
                  output == outputIds.end() ? 0 : XNN_VALUE_FLAG_EXTERNAL_OUTPUT, &value.id),
              "tensor " + name);
        return values[name] = value;
    }

    uint32_t constant(std::vector<float> data, std::vector<std::size_t> dims) {
        network.weights_.push_back(std::move(data));
        uint32_t id = XNN_INVALID_VALUE_ID;
        check(xnn_define_tensor_value(subgraph, xnn_datatype_fp32, dims.size(), dims.data(),
                                      network.weights_.back().data(), XNN_INVALID_VALUE_ID, 0, &id),
              "a constant");
        return id;
    }

    void convolution(const onnx::NodeProto& node) {
        const Value& in = computed(node, 0);
        const onnx::TensorProto& filter = initializer(node, 1);
        const auto weights = dataOf<float>(filter, onnx::TensorProto::FLOAT, filter.float_data());
        const auto kernel = intsOf(node, "kernel_shape", {});
        const auto strides = intsOf(node, "strides", {1, 1});
        const auto dilations = intsOf(node, "dilations", {1, 1});
        // ONNX pads are top, left, bottom, right.
        const auto pads = intsOf(node, "pads", {0, 0, 0, 0});
        const auto groups = static_cast<std::size_t>(intOf(node, "group", 1));
        if (filter.dims_size() != 4 || !within(strides, 2, 1, kLargestSide) ||
            !within(dilations, 2, 1, kLargestSide) || !within(pads, 4, 0, kLargestSide) ||
            !within({filter.dims().begin(), filter.dims().end()}, 4, 1, kMostValues) ||
            !explicitPadding(node)) {
            throw Failure{"Conv " + node.name() + " is not a plain 2-D convolution"};
        }
        const auto outputs = static_cast<std::size_t>(filter.dims(0));
        const auto perGroup = static_cast<std::size_t>(filter.dims(1));
        const auto kh = static_cast<std::size_t>(filter.dims(2));
        const auto kw = static_cast<std::size_t>(filter.dims(3));
        const bool depthwise = groups == in.channels && groups > 1 && perGroup == 1;
        if ((groups != 1 && !depthwise) || perGroup * groups != in.channels ||
            outputs % groups != 0 ||
            (!kernel.empty() &&
             (kernel.size() != 2 || kernel[0] != filter.dims(2) || kernel[1] != filter.dims(3)))) {
            throw Failure{"Conv " + node.name() + " has grouping or a filter this cannot run"};
        }
        uint32_t bias = XNN_INVALID_VALUE_ID;
        if (node.input_size() > 2 && !node.input(2).empty()) {
            const onnx::TensorProto& tensor = initializer(node, 2);
            auto biases = dataOf<float>(tensor, onnx::TensorProto::FLOAT, tensor.float_data());
            if (biases.size() != outputs) {
                throw Failure{"Conv " + node.name() + " has a bias of another size"};
            }
            bias = constant(std::move(biases), {outputs});
        }
        const auto reach = [](int64_t extent, int64_t dilation) {
            return (extent - 1) * dilation + 1;
        };
        const int64_t height = static_cast<int64_t>(in.height) + pads[0] + pads[2] -
                               reach(static_cast<int64_t>(kh), dilations[0]);
        const int64_t width = static_cast<int64_t>(in.width) + pads[1] + pads[3] -
                              reach(static_cast<int64_t>(kw), dilations[1]);
        if (height < 0 || width < 0) {
            throw Failure{"Conv " + node.name() + " does not fit its input"};
        }
        Value& out =
            define(node.output(0), height / strides[0] + 1, width / strides[1] + 1, outputs);
        // ONNX filters are [out][in][kh][kw]; XNNPACK wants [out][kh][kw][in], and a depthwise
        // filter as [1][kh][kw][channels].
        std::vector<float> reordered(weights.size());
        for (std::size_t o = 0; o < outputs; ++o) {
            for (std::size_t i = 0; i < perGroup; ++i) {
                for (std::size_t y = 0; y < kh * kw; ++y) {
                    const float weight = weights[(o * perGroup + i) * kh * kw + y];
                    reordered[depthwise ? y * outputs + o : (o * kh * kw + y) * perGroup + i] =
                        weight;
                }
            }
        }
        const uint32_t filterId = constant(
            std::move(reordered), depthwise ? std::vector<std::size_t>{1, kh, kw, outputs}
                                            : std::vector<std::size_t>{outputs, kh, kw, perGroup});
        const auto u = [](int64_t v) { return static_cast<uint32_t>(v); };
        if (depthwise) {
            check(xnn_define_depthwise_convolution_2d(
                      subgraph, u(pads[0]), u(pads[3]), u(pads[2]), u(pads[1]), u(kh), u(kw),
                      u(strides[0]), u(strides[1]), u(dilations[0]), u(dilations[1]),
                      u(outputs / in.channels), in.channels, -INFINITY, INFINITY, in.id, filterId,
                      bias, out.id, 0),
                  "Conv " + node.name());
        } else {
            check(xnn_define_convolution_2d(
                      subgraph, u(pads[0]), u(pads[3]), u(pads[2]), u(pads[1]), u(kh), u(kw),
                      u(strides[0]), u(strides[1]), u(dilations[0]), u(dilations[1]), 1,
                      in.channels, outputs, -INFINITY, INFINITY, in.id, filterId, bias, out.id, 0),
                  "Conv " + node.name());
        }
    }

    void maxPool(const onnx::NodeProto& node) {
        const Value& in = computed(node, 0);
        const auto kernel = intsOf(node, "kernel_shape", {});
        const auto strides = intsOf(node, "strides", {1, 1});
        const auto pads = intsOf(node, "pads", {0, 0, 0, 0});
        if (!within(kernel, 2, 1, kLargestSide) || !within(strides, 2, 1, kLargestSide) ||
            pads != std::vector<int64_t>{0, 0, 0, 0} ||
            intsOf(node, "dilations", {1, 1}) != std::vector<int64_t>{1, 1} ||
            intOf(node, "ceil_mode", 0) != 0 || intOf(node, "storage_order", 0) != 0 ||
            !explicitPadding(node) || static_cast<std::size_t>(kernel[0]) > in.height ||
            static_cast<std::size_t>(kernel[1]) > in.width) {
            throw Failure{"MaxPool " + node.name() + " is not one this can run"};
        }
        const Value& out = define(node.output(0), (in.height - kernel[0]) / strides[0] + 1,
                                  (in.width - kernel[1]) / strides[1] + 1, in.channels);
        check(xnn_define_max_pooling_2d(subgraph, 0, 0, 0, 0, kernel[0], kernel[1], strides[0],
                                        strides[1], 1, 1, -INFINITY, INFINITY, in.id, out.id, 0),
              "MaxPool " + node.name());
    }

    // Concat of a tensor with zeros along the channels: channel padding.
    void appendZeroChannels(const onnx::NodeProto& node) {
        const Value& in = computed(node, 0);
        const auto zeros =
            node.input_size() == 2 ? zeroChannels.find(node.input(1)) : zeroChannels.end();
        if (zeros == zeroChannels.end() || intOf(node, "axis", 0) != 1) {
            throw Failure{"Concat " + node.name() + " does not append zero channels"};
        }
        const onnx::NodeProto& fill = *zeros->second;
        for (const auto& attribute : fill.attribute()) {
            const auto value = attribute.name() == "value"
                                   ? dataOf<float>(attribute.t(), onnx::TensorProto::FLOAT,
                                                   attribute.t().float_data())
                                   : std::vector<float>{0};
            if (value.size() != 1 || value[0] != 0) {
                throw Failure{"Concat " + node.name() + " appends channels that are not zero"};
            }
        }
        const onnx::TensorProto& shapeTensor = initializer(fill, 0);
        const auto shape =
            dataOf<int64_t>(shapeTensor, onnx::TensorProto::INT64, shapeTensor.int64_data());
        if (shape.size() != 4 || shape[0] != 1 || shape[1] < 1 ||
            shape[2] != static_cast<int64_t>(in.height) ||
            shape[3] != static_cast<int64_t>(in.width)) {
            throw Failure{"Concat " + node.name() + " appends zeros of another shape"};
        }
        const auto extra = static_cast<std::size_t>(shape[1]);
        const Value& out = define(node.output(0), in.height, in.width, in.channels + extra);
        const std::size_t before[] = {0, 0, 0, 0};
        const std::size_t after[] = {0, 0, 0, extra};
        check(xnn_define_static_constant_pad(subgraph, before, after, 0.0f, in.id, out.id, 0),
              "Concat " + node.name());
    }

    void add(const onnx::NodeProto& node) {
        const Value& a = computed(node, 0);
        const Value& b = computed(node, 1);
        if (a.height != b.height || a.width != b.width || a.channels != b.channels) {
            throw Failure{"Add " + node.name() + " adds tensors of different shapes"};
        }
        const Value& out = define(node.output(0), a.height, a.width, a.channels);
        check(xnn_define_add2(subgraph, -INFINITY, INFINITY, a.id, b.id, out.id, 0),
              "Add " + node.name());
    }

    void relu(const onnx::NodeProto& node) {
        const Value& in = computed(node, 0);
        const Value& out = define(node.output(0), in.height, in.width, in.channels);
        check(xnn_define_clamp(subgraph, 0.0f, INFINITY, in.id, out.id, 0), "Relu " + node.name());
    }

    // Transposes between NHWC and NCHW and reshapes of NHWC tensors leave XNNPACK's memory as
    // it is; only the view changes. A file output must be one of these views' tensors.
    void view(const onnx::NodeProto& node) {
        const auto found = values.find(node.input_size() > 0 ? node.input(0) : std::string());
        if (found == values.end()) {
            throw Failure{node.op_type() + " " + node.name() + " reads an unknown tensor"};
        }
        Value value = found->second;
        const std::string& op = node.op_type();
        const auto perm = intsOf(node, "perm", {});
        if (op == "Transpose" && value.view == Value::View::nhwc &&
            perm == std::vector<int64_t>{0, 3, 1, 2}) {
            value.view = Value::View::nchw;
        } else if (op == "Transpose" && value.view == Value::View::nchw &&
                   perm == std::vector<int64_t>{0, 2, 3, 1}) {
            value.view = Value::View::nhwc;
        } else if (op == "Reshape" && value.view != Value::View::nchw) {
            const onnx::TensorProto& shapeTensor = initializer(node, 1);
            int64_t count = 1;
            bool inferred = false;
            for (const int64_t dim :
                 dataOf<int64_t>(shapeTensor, onnx::TensorProto::INT64, shapeTensor.int64_data())) {
                inferred = inferred || dim == -1;
                count *= dim == -1 ? 1 : std::clamp<int64_t>(dim, 0, kMostValues);
                if (count > kMostValues) {
                    throw Failure{"Reshape " + node.name() + " changes the number of values"};
                }
            }
            const auto total = static_cast<int64_t>(value.height * value.width * value.channels);
            if (count < 1 || count > total || (inferred ? total % count : total - count) != 0) {
                throw Failure{"Reshape " + node.name() + " changes the number of values"};
            }
            value.view = Value::View::flat;
        } else if (op != "Identity") {
            throw Failure{op + " " + node.name() + " is a layout change this cannot run"};
        }
        values[node.output(0)] = value;
    }

    void build() {
        for (const auto& tensor : graph.initializer()) {
            initializers[tensor.name()] = &tensor;
        }
        // The file's outputs come out of views of computed tensors: those are XNNPACK's outputs.
        std::map<std::string, std::string> viewOf;
        for (const auto& node : graph.node()) {
            const std::string& op = node.op_type();
            if ((op == "Transpose" || op == "Reshape" || op == "Identity") &&
                node.input_size() > 0 && node.output_size() == 1) {
                viewOf[node.output(0)] =
                    viewOf.count(node.input(0)) != 0 ? viewOf[node.input(0)] : node.input(0);
            }
        }
        for (const onnx::ValueInfoProto* output : wanted) {
            const auto root =
                viewOf.count(output->name()) != 0 ? viewOf[output->name()] : output->name();
            if (outputIds.count(root) != 0) {
                throw Failure{"two outputs are the same tensor"};
            }
            outputIds[root] = static_cast<uint32_t>(outputIds.size() + 1);
        }
        // What the outputs do not depend on is left out: XNNPACK gives a tensor nobody reads no
        // memory.
        std::set<std::string> needed;
        for (const onnx::ValueInfoProto* output : wanted) {
            needed.insert(output->name());
        }
        for (auto node = graph.node().rbegin(); node != graph.node().rend(); ++node) {
            if (node->output_size() > 0 && needed.count(node->output(0)) != 0) {
                needed.insert(node->input().begin(), node->input().end());
            }
        }
        for (const auto& node : graph.node()) {
            const std::string& op = node.op_type();
            if (node.output_size() > 0 && needed.count(node.output(0)) == 0) {
                continue;
            }
            if (node.output_size() != 1) {
                throw Failure{op + " " + node.name() + " has more than one output"};
            }
            if (op == "Conv") {
                convolution(node);
            } else if (op == "Relu") {
                relu(node);
            } else if (op == "Add") {
                add(node);
            } else if (op == "MaxPool") {
                maxPool(node);
            } else if (op == "ConstantOfShape") {
                zeroChannels[node.output(0)] = &node;
            } else if (op == "Concat") {
                appendZeroChannels(node);
            } else if (op == "Transpose" || op == "Reshape" || op == "Identity") {
                view(node);
            } else {
                throw Failure{"operator " + op + " is not supported"};
            }
        }
        for (const onnx::ValueInfoProto* output : wanted) {
            const auto found = values.find(output->name());
            if (found == values.end() ||
                (found->second.view == Value::View::nchw && found->second.channels > 1 &&
                 found->second.height * found->second.width > 1)) {
                // Computed tensors are outputs only through a view of them in NHWC, so that
                // the order of their values is the file's.
                throw Failure{"output " + output->name() + " is not in NHWC"};
            }
            const std::size_t size =
                found->second.height * found->second.width * found->second.channels;
            // With room behind for what XNNPACK may touch past a tensor's end.
            std::vector<float> buffer;
            buffer.reserve(size + XNN_EXTRA_BYTES / sizeof(float));
            buffer.resize(size);
            network.outputs_.push_back({output->name(), std::move(buffer)});
        }
    }
};

XnnpackNetwork::XnnpackNetwork(Private /*tag*/) {}

XnnpackNetwork::~XnnpackNetwork() = default;

void XnnpackNetwork::RuntimeDeleter::operator()(xnn_runtime* runtime) const {
    xnn_delete_runtime(runtime);
}

std::variant<std::unique_ptr<XnnpackNetwork>, std::string> XnnpackNetwork::load(
    const std::filesystem::path& file, const OutputFilter& wanted) {
    if (xnn_initialize(nullptr) != xnn_status_success) {
        return std::string("XNNPACK does not run on this processor");
    }
    onnx::ModelProto model;
    {
        std::ifstream in(file, std::ios::binary);
        if (!in || !model.ParseFromIstream(&in)) {
            return std::string("not an ONNX model");
        }
    }
    const onnx::GraphProto& graph = model.graph();
    if (graph.input_size() < 1) {
        return std::string("the model has no input");
    }
    const auto& shape = graph.input(0).type().tensor_type().shape();
    if (shape.dim_size() != 4 || shape.dim(0).dim_value() != 1 ||
        !within({shape.dim(1).dim_value(), shape.dim(2).dim_value(), shape.dim(3).dim_value()}, 3,
                1, kLargestSide)) {
        return std::string("the model's input is not one NHWC image of a fixed size");
    }
    auto network = std::make_unique<XnnpackNetwork>(Private{});
    network->inputHeight_ = static_cast<int>(shape.dim(1).dim_value());
    network->inputWidth_ = static_cast<int>(shape.dim(2).dim_value());
    network->inputChannels_ = static_cast<int>(shape.dim(3).dim_value());
    network->inputSize_ = static_cast<std::size_t>(network->inputHeight_) *
                          static_cast<std::size_t>(network->inputWidth_) *
                          static_cast<std::size_t>(network->inputChannels_);
    network->input_.resize(network->inputSize_ + XNN_EXTRA_BYTES / sizeof(float));

    xnn_subgraph* created = nullptr;
    if (xnn_create_subgraph(static_cast<uint32_t>(graph.output_size() + 1), 0, &created) !=
        xnn_status_success) {
        return std::string("XNNPACK cannot make a graph");
    }
    const std::unique_ptr<xnn_subgraph, SubgraphDeleter> subgraph(created);
    Graph translation{graph, *network, subgraph.get(), {}, {}, {}, {}, {}};
    for (const auto& output : graph.output()) {
        std::vector<int64_t> declared;
        for (const auto& dim : output.type().tensor_type().shape().dim()) {
            declared.push_back(dim.dim_value());
        }
        if (!wanted || wanted(declared)) {
            translation.wanted.push_back(&output);
        }
    }
    if (translation.wanted.empty()) {
        return std::string("the model has none of the outputs wanted");
    }
    try {
        const std::size_t dims[] = {1, static_cast<std::size_t>(network->inputHeight_),
                                    static_cast<std::size_t>(network->inputWidth_),
                                    static_cast<std::size_t>(network->inputChannels_)};
        Value input{0, dims[1], dims[2], dims[3], Value::View::nhwc};
        Graph::check(xnn_define_tensor_value(subgraph.get(), xnn_datatype_fp32, 4, dims, nullptr, 0,
                                             XNN_VALUE_FLAG_EXTERNAL_INPUT, &input.id),
                     "the input");
        translation.values[graph.input(0).name()] = input;
        translation.build();
    } catch (const Failure& failure) {
        return failure.what;
    } catch (const std::exception& exception) {  // out of memory, above all
        return std::string("cannot build the network: ") + exception.what();
    }
    xnn_runtime* runtime = nullptr;
    if (xnn_create_runtime_v2(subgraph.get(), nullptr, 0, &runtime) != xnn_status_success) {
        return std::string("XNNPACK cannot run the graph");
    }
    network->runtime_.reset(runtime);
    std::vector<xnn_external_value> external{{0, network->input_.data()}};
    for (std::size_t i = 0; i < network->outputs_.size(); ++i) {
        external.push_back({static_cast<uint32_t>(i + 1), network->outputs_[i].values.data()});
    }
    if (xnn_setup_runtime(runtime, external.size(), external.data()) != xnn_status_success) {
        return std::string("XNNPACK cannot bind the graph's input and outputs");
    }
    return network;
}

bool XnnpackNetwork::run() {
    return xnn_invoke_runtime(runtime_.get()) == xnn_status_success;
}

}  // namespace kestrel
