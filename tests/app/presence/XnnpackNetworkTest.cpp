#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "app/presence/BlazeFaceDetector.h"
#include "app/presence/XnnpackNetwork.h"

namespace kestrel {
namespace {

const auto kModels = BlazeFaceDetector::defaultModelFolder();

// Both networks computed by XNNPACK give what OpenCV's reading of the same file gives, output for
// output and value for value, on an input that is not a picture of anything.
TEST(XnnpackNetwork, ComputesWhatOpenCvComputes) {
    cv::setNumThreads(1);
    for (const char* file : {"face_detection_front_128x128_barracuda.onnx",
                             "face_detection_back_256x256_barracuda.onnx"}) {
        auto loaded = XnnpackNetwork::load(kModels / file);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<XnnpackNetwork>>(loaded))
            << std::get<std::string>(loaded);
        XnnpackNetwork& network = *std::get<0>(loaded);
        const int shape[] = {1, network.inputHeight(), network.inputWidth(),
                             network.inputChannels()};
        cv::Mat input(4, shape, CV_32F, network.input().data());
        cv::randu(input, -1.0f, 1.0f);
        ASSERT_TRUE(network.run());

        cv::dnn::Net reference = cv::dnn::readNetFromONNX((kModels / file).string());
        reference.setInput(input);
        std::vector<cv::Mat> expected;
        reference.forward(expected, reference.getUnconnectedOutLayersNames());
        ASSERT_EQ(expected.size(), network.outputs().size()) << file;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto& values = network.outputs()[i].values;
            ASSERT_EQ(expected[i].total(), values.size()) << file << " output " << i;
            const cv::Mat got(1, static_cast<int>(values.size()), CV_32F,
                              const_cast<float*>(values.data()));
            EXPECT_LT(cv::norm(got, expected[i].reshape(1, 1), cv::NORM_INF), 1e-3)
                << file << " output " << i;
        }
    }
}

// Asked for the scores alone (the file's first two outputs) or the boxes alone (its last two), it
// computes those and nothing else, to the same values.
TEST(XnnpackNetwork, ComputesOnlyTheOutputsWanted) {
    const auto file = kModels / "face_detection_front_128x128_barracuda.onnx";
    auto all = std::get<0>(XnnpackNetwork::load(file));
    const auto lastDimension = [](int64_t wanted) {
        return [wanted](const std::vector<int64_t>& shape) { return shape.back() == wanted; };
    };
    auto scores = std::get<0>(XnnpackNetwork::load(file, lastDimension(1)));
    auto boxes = std::get<0>(XnnpackNetwork::load(file, lastDimension(16)));
    for (XnnpackNetwork* network : {all.get(), scores.get(), boxes.get()}) {
        cv::Mat input(1, static_cast<int>(network->input().size()), CV_32F,
                      network->input().data());
        cv::theRNG().state = 7;  // the same input for all
        cv::randu(input, -1.0f, 1.0f);
        ASSERT_TRUE(network->run());
    }
    ASSERT_EQ(all->outputs().size(), 4u);
    ASSERT_EQ(scores->outputs().size(), 2u);
    ASSERT_EQ(boxes->outputs().size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(scores->outputs()[i].name, all->outputs()[i].name);
        EXPECT_EQ(scores->outputs()[i].values, all->outputs()[i].values);
        EXPECT_EQ(boxes->outputs()[i].name, all->outputs()[i + 2].name);
        EXPECT_EQ(boxes->outputs()[i].values, all->outputs()[i + 2].values);
    }
}

// A file with an operator it does not know, whose zero channels are not zero or with a tensor too
// large to be real, is refused with the reason instead of being computed wrongly.
TEST(XnnpackNetwork, RefusesWhatItCannotCompute) {
    onnx::ModelProto model;
    {
        std::ifstream in(kModels / "face_detection_front_128x128_barracuda.onnx", std::ios::binary);
        ASSERT_TRUE(model.ParseFromIstream(&in));
    }
    const auto refusal = [](const onnx::ModelProto& changed) {
        const auto path = std::filesystem::temp_directory_path() / "kestrel-changed.onnx";
        {
            std::ofstream out(path, std::ios::binary);
            changed.SerializeToOstream(&out);
        }
        auto loaded = XnnpackNetwork::load(path);
        std::filesystem::remove(path);
        return std::holds_alternative<std::string>(loaded) ? std::get<std::string>(loaded)
                                                           : std::string("(loaded)");
    };
    auto changed = model;
    for (auto& node : *changed.mutable_graph()->mutable_node()) {
        if (node.op_type() == "Relu") {
            node.set_op_type("Sigmoid");
            break;
        }
    }
    EXPECT_EQ(refusal(changed), "operator Sigmoid is not supported");

    changed = model;
    for (auto& node : *changed.mutable_graph()->mutable_node()) {
        if (node.op_type() == "ConstantOfShape") {
            auto* value = node.add_attribute();
            value->set_name("value");
            value->set_type(onnx::AttributeProto::TENSOR);
            value->mutable_t()->set_data_type(onnx::TensorProto::FLOAT);
            value->mutable_t()->add_dims(1);
            value->mutable_t()->add_float_data(1.0f);
            break;
        }
    }
    EXPECT_NE(refusal(changed).find("not zero"), std::string::npos) << refusal(changed);

    // A stride past what any picture has, which XNNPACK would take modulo 2^32.
    changed = model;
    for (auto& node : *changed.mutable_graph()->mutable_node()) {
        for (auto& attribute : *node.mutable_attribute()) {
            if (node.op_type() == "Conv" && attribute.name() == "strides") {
                attribute.set_ints(0, (int64_t{1} << 32) + 1);
            }
        }
    }
    EXPECT_NE(refusal(changed).find("not a plain 2-D convolution"), std::string::npos)
        << refusal(changed);

    // A filter claiming a trillion values is refused before anything is allocated for it.
    changed = model;
    for (auto& tensor : *changed.mutable_graph()->mutable_initializer()) {
        if (tensor.dims_size() == 4) {  // a filter
            tensor.set_dims(0, int64_t{1} << 20);
            tensor.set_dims(1, int64_t{1} << 20);
        }
    }
    const std::string tooLarge = refusal(changed);
    EXPECT_NE(tooLarge.find("too large"), std::string::npos) << tooLarge;
}

}  // namespace
}  // namespace kestrel
