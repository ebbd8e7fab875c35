// Every layer kind with the parameters and input of one test layer, and what the built layer
// answers: output shape, component kind, format code, value mode, flags, bits and MACs.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/model.h"
#include "support/layer_fixtures.h"

namespace nuvra::testing {

using Params = std::map<std::string, int>;

struct KindRow {
    LayerType type;
    Params params;
    std::vector<uint32_t> input;  // (w, h, c) of the InputData in front; empty for input kinds
    size_t inbounds;              // how many times the input is linked
    std::vector<uint32_t> output;
    ComponentKind kind;
    int format_code, value_mode;
    std::string flags;  // S splittable, D depthwise, P separable, I input layer
    int input_bits, output_bits;
    bool output_signed;
    uint64_t macs;
};

// One row per layer kind (three for the Quantizer: given an input shape, unsigned or signed, or
// none): how to build it and what the built layer answers.
inline std::vector<KindRow> const& kind_rows() {
    using CK = ComponentKind;
    static std::vector<KindRow> const rows = {
        {LayerType::InputData, {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"input_signed", 1}},
         {}, 0, {8, 6, 3}, CK::None, 0, 0, "I", 8, 8, true, 0},
        // The HRC time-out probe's layer: 8x8x1, kernel 3, stride 2, Same, 2x2 max pooling.
        {LayerType::InputConvolutional,
         {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3}, {"kernel_height", 3},
          {"padding", 1}, {"stride_x", 2}, {"stride_y", 2}, {"filters", 1}, {"weights_bits", 1}, {"padding_value", 0},
          {"activation", 1}, {"act_bits", 1}, {"pooling_width", 2}, {"pooling_height", 2}, {"pool_type", 1},
          {"pooling_stride_x", 2}, {"pooling_stride_y", 2}},
         {}, 0, {2, 2, 1}, CK::HRC, 1, 1, "I", 8, 1, false, 144},
        {LayerType::FullyConnected, {{"units", 10}, {"activation", 1}, {"act_bits", 2}},
         {4, 4, 2}, 1, {1, 1, 10}, CK::FNP, 1, 0, "", 8, 2, false, 320},
        {LayerType::Convolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 6}, {"padding", 1}},
         {8, 8, 4}, 1, {8, 8, 6}, CK::CNP, 1, 0, "S", 8, 32, true, 13824},
        {LayerType::SeparableConvolutional,
         {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 6}, {"padding", 1}, {"stride_x", 2}, {"stride_y", 2},
          {"activation", 1}, {"act_bits", 4}},
         {8, 8, 4}, 1, {4, 4, 6}, CK::CNP, 1, 0, "SP", 8, 4, false, 960},
        {LayerType::Add, {}, {8, 8, 4}, 2, {8, 8, 4}, CK::SKIP_DMA, 2, 0, "", 8, 8, true, 0},
        {LayerType::Concatenate, {}, {8, 8, 4}, 2, {8, 8, 8}, CK::SKIP_DMA, 2, 0, "", 8, 8, false, 0},
        {LayerType::Conv2D,
         {{"kernel_size", 3}, {"filters", 16}, {"kernel_stride", 2}, {"padding", 1}, {"activation", 1},
          {"output_bits", 4}},
         {32, 32, 3}, 1, {16, 16, 16}, CK::CNP, 2, 0, "S", 8, 4, false, 110592},
        {LayerType::InputConv2D,
         {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 2}, {"pool_type", 1}, {"pool_size", 2},
          {"pool_stride", 2}},
         {8, 8, 3}, 1, {4, 4, 8}, CK::HRC, 2, 1, "", 8, 8, false, 13824},
        {LayerType::DepthwiseConv2D,
         {{"kernel_size", 3}, {"padding", 1}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}},
         {8, 8, 4}, 1, {4, 4, 4}, CK::CNP, 2, 0, "SDP", 8, 8, true, 2304},
        {LayerType::Conv2DTranspose, {{"kernel_size", 3}, {"filters", 5}},
         {4, 4, 2}, 1, {8, 8, 5}, CK::CNP, 2, 0, "S", 8, 8, true, 1440},
        {LayerType::Dequantizer, {}, {8, 8, 4}, 1, {8, 8, 4}, CK::None, 0, 0, "", 8, 32, true, 0},
        {LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}},
         {4, 4, 3}, 1, {8, 8, 3}, CK::CNP, 2, 0, "SDP", 8, 8, true, 768},
        {LayerType::BufferTempConv, {{"fifo_size", 4}, {"filters", 6}},
         {8, 8, 4}, 1, {8, 8, 6}, CK::TNP_B, 2, 0, "S", 8, 8, true, 6144},
        {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}},
         {8, 8, 4}, 1, {8, 8, 4}, CK::TNP_B, 2, 0, "SDP", 8, 8, true, 768},
        {LayerType::Dense1D, {{"units", 10}, {"output_bits", 32}},
         {2, 2, 4}, 1, {1, 1, 10}, CK::FNP, 2, 0, "", 8, 32, true, 160},
        {LayerType::StatefulRecurrent,
         {{"stateful_channels", 16}, {"output_channels", 8}, {"subsample", 2}, {"activation", 1}},
         {1, 10, 4}, 1, {1, 10, 8}, CK::TNP_R, 3, 0, "", 8, 8, false, 1920},
        {LayerType::Quantizer, {{"output_bits", 4}, {"output_signed", 0}, {"channels_first", 1}},
         {8, 8, 3}, 1, {8, 8, 3}, CK::None, 0, 0, "", 8, 4, false, 0},
        // Given an input shape, a Quantizer is an input layer answering as an InputData of its shape,
        // output bits and sign: its value mode is 1 unsigned, 0 signed.
        {LayerType::Quantizer,
         {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"output_bits", 4}, {"output_signed", 0}},
         {}, 0, {8, 6, 3}, CK::None, 0, 1, "I", 4, 4, false, 0},
        {LayerType::Quantizer,
         {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"output_bits", 4}, {"output_signed", 1}},
         {}, 0, {8, 6, 3}, CK::None, 0, 0, "I", 4, 4, true, 0},
        {LayerType::WispPostProcessing, {}, {1, 16, 1}, 1, {1, 1, 1}, CK::TNP_R, 3, 0, "", 8, 8, false, 0},
        {LayerType::Unknown, {}, {8, 8, 4}, 1, {8, 8, 4}, CK::None, 0, 0, "", 8, 8, false, 0},
    };
    return rows;
}

// A model holding the row's InputData (when the kind needs one) and its layer, named "layer".
inline std::pair<std::unique_ptr<Model>, std::shared_ptr<Layer>> build_kind(KindRow const& row) {
    auto model = Model::create();
    auto layer = make_layer(row.type, row.params, "layer");
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (!row.input.empty()) {
        model->add(make_input(row.input[0], row.input[1], row.input[2]));
        inbounds.assign(row.inbounds, model->get_layer(0));
    }
    model->add(layer, inbounds);
    return {std::move(model), layer};
}

}  // namespace nuvra::testing
