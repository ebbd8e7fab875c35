// The layers' software path, which runs the bias and output stage inside the convolution's output
// loop, against the reference kernels run one after another (support/reference_layers.h), on
// random inputs and variables.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/inference.h"
#include "engine/layers_internal.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"
#include "support/reference_layers.h"

namespace nuvra {
namespace {

using namespace testing;

// Random values for every variable of `layer`, in ranges that reach saturation when `wide`
// (input shifts that take 8-bit pixels past 16 bits, and sums past 32).
void randomize(Layer& layer, std::mt19937& rng, bool wide) {
    std::map<std::string, std::pair<int, int>> const ranges = {
        {"input_shift", {0, wide ? 22 : 2}}, {"bias_shift", {0, 6}},       {"output_shift", {-2, 20}},
        {"max_value_shift", {0, 3}},         {"activation_shift", {-2, 20}}, {"lut_values", {-50000, 50000}}};
    for (auto const& name : layer.variables().names()) {
        auto const old = layer.variables().get(name);
        auto const [lo, hi] = ranges.count(name) ? ranges.at(name)
                              : old->type() == TensorType::int8 ? std::pair{-128, 127}
                                                                : std::pair{0, 255};
        std::uniform_int_distribution<int> pick(lo, hi);
        std::vector<int32_t> values(old->size());
        int const padding = pick(rng);  // one padding value for every channel
        for (auto& v : values) v = name == "padding_value" ? padding : pick(rng);
        std::shared_ptr<Dense> fresh = i32(dims_of(*old), values);
        if (old->type() != TensorType::int32) {  // the variable's own type, through the kernels' reader
            std::vector<uint8_t> bytes(values.size());
            for (size_t i = 0; i < values.size(); ++i) bytes[i] = static_cast<uint8_t>(values[i]);
            fresh = Dense::copy(bytes.data(), bytes.size(), old->type(), old->dimensions(), Layout::c_order);
        }
        layer.variables().set(name, fresh);
    }
}

TEST(EngineLayerPath, EqualsTheKernelsOneByOne) {
    struct Row { LayerType type; std::map<std::string, int> params; Dims input; };  // input: (width, height, channels)
    // padding 0 Valid, 1 Same, 2 SameUpper; activation 1 ReLU, 2 LUT; pool_type 1 Max, 2 Average.
    Row const rows[] = {
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 5}, {"padding", 1}, {"activation", 1}}, {9, 7, 3}},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 11}, {"kernel_stride", 2}, {"output_bits", 16}},
         {11, 10, 4}},
        {LayerType::Conv2D, {{"kernel_size", 5}, {"filters", 6}, {"padding", 2}, {"activation", 2}}, {8, 8, 2}},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 1}, {"pool_type", 1},
                             {"pool_size", 2}, {"pool_stride", 2}}, {7, 6, 3}},
        {LayerType::Conv2D, {{"kernel_size", 2}, {"filters", 2}, {"pool_type", 2}, {"pool_size", -1}}, {5, 4, 2}},
        {LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 7}, {"kernel_stride", 2}, {"padding", 1},
                                  {"activation", 1}}, {10, 9, 3}},
        {LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 2}, {"padding", 2}, {"pool_type", 1},
                                  {"pool_size", 3}, {"pool_stride", 2}}, {6, 7, 1}},
        {LayerType::DepthwiseConv2D, {{"kernel_size", 5}, {"kernel_stride", 2}, {"activation", 2}}, {9, 11, 3}},
        {LayerType::Conv2DTranspose, {{"kernel_size", 3}, {"filters", 2}, {"kernel_stride", 3}, {"output_bits", 4}},
         {3, 4, 2}},
        {LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}, {"activation", 1}}, {4, 5, 6}},
    };
    std::mt19937 rng(7);
    for (auto const& r : rows) {
        for (bool wide : {false, true}) {
            auto layer = make_layer(r.type, r.params, "layer");
            auto model = model_with(layer, r.input[0], r.input[1], r.input[2]);
            randomize(*layer, rng, wide);
            std::vector<int32_t> pixels(2 * r.input[0] * r.input[1] * r.input[2]);
            std::uniform_int_distribution<int> byte(0, 255);
            for (auto& p : pixels) p = byte(rng);
            Dims const shape{2, r.input[0], r.input[1], r.input[2]};
            auto const expected = reference_layer(*layer, *i32(shape, pixels));
            auto const out = software_forward(*model, i32(shape, pixels));
            EXPECT_EQ(dims_of(*out), dims_of(*expected)) << layer_type_name(r.type);
            EXPECT_EQ(values_of<int32_t>(*out), values_of<int32_t>(*expected)) << layer_type_name(r.type) << wide;
        }
    }
}

}  // namespace
}  // namespace nuvra
