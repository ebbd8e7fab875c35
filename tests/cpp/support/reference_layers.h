// The software arithmetic of the convolution kinds written as a plain composition of the
// reference kernels (engine/ops.h), one new tensor per step: input shift, convolution, bias,
// pooling, output stage. The engine's layer path must give exactly these values; bench/conv_forward
// times it as the unfused path.
#pragma once

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/inference_layers.h"
#include "engine/layers.h"
#include "engine/ops.h"
#include "engine/ops_support.h"

namespace nuvra::testing {

namespace reference_detail {

using TensorPtr = std::shared_ptr<Tensor>;

inline TensorPtr var(Layer const& layer, char const* name) { return layer.variables().get(name); }

// A copy of t with another shape.
inline TensorPtr reshaped(Tensor const& t, Shape const& shape) {
    std::vector<uint8_t> const bytes = ops::detail::row_major_bytes(t);
    return Dense::copy(bytes.data(), bytes.size(), t.type(), shape, Layout::c_order);
}

inline TensorPtr biased(Layer const& layer, TensorPtr const& acc) {
    if (!layer.variables().has("bias")) return acc;
    TensorPtr bias = inference::int32_of(*var(layer, "bias"));
    if (layer.variables().has("bias_shift")) bias = ops::lshift(*bias, *var(layer, "bias_shift"), 32);
    return ops::add(*acc, *bias, 32);
}

inline TensorPtr pooled(Layer const& layer, TensorPtr const& acc) {
    bool const max = layer.has_pooling_type(PoolType::Max);
    if (!max && !layer.has_pooling_type(PoolType::Average)) return acc;
    PoolingCalculatedParams const& p = *dynamic_cast<HasPoolParams const&>(layer).pool_params();
    Shape const& s = acc->dimensions();
    if (p.flag && !max) return ops::global_average_pooling(*acc, 32);
    if (p.flag)  // one window over the whole image
        return ops::max_pooling(*acc, static_cast<int8_t>(s[1]), static_cast<int8_t>(s[2]), false, 1, 1, 1, 1, 0, 0,
                                0, 0, 32);
    auto const size = static_cast<int8_t>(layer.params()->get("pool_size"));
    return ops::max_pooling(*acc, size, size, false, p.output_width, p.output_height, p.stride_x, p.stride_y,
                            static_cast<int32_t>(p.padding.top), static_cast<int32_t>(p.padding.bottom),
                            static_cast<int32_t>(p.padding.left), static_cast<int32_t>(p.padding.right), 32);
}

inline TensorPtr out_stage(Layer const& layer, TensorPtr const& acc) {
    Variables const& v = layer.variables();
    int const bits = layer.output_bits();
    int const unsigned_bits = std::min(bits, 31);
    if (layer.has_activation_type(ActivationType::ReLU)) {
        TensorPtr clipped = acc;
        if (v.has("max_value")) {
            std::vector<uint8_t> const top = ops::detail::read_all<uint8_t>(*var(layer, "max_value"));
            std::vector<uint8_t> const shift = ops::detail::read_all<uint8_t>(*var(layer, "max_value_shift"));
            std::vector<int32_t> limit(top.size());
            for (size_t f = 0; f < top.size(); ++f)
                limit[f] = top[f] == 0 ? std::numeric_limits<int32_t>::max()
                                       : ops::detail::saturate(ops::detail::shift_left(top[f], shift[f]), 32);
            auto const limits = ops::detail::make_dense(TensorType::int32, Shape{uint32_t(top.size())}, limit);
            clipped = ops::relu_activation(*acc, *limits);
        }
        return ops::scale_out(*clipped, *var(layer, "output_scales"), *var(layer, "output_shift"), unsigned_bits, 0);
    }
    if (layer.has_activation_type(ActivationType::LUT)) {
        auto index = ops::scale_out(*acc, *var(layer, "activation_scales"), *var(layer, "activation_shift"), 11, 0);
        auto looked = ops::look_up(*index, *var(layer, "lut_values"));
        return ops::scale_out(*looked, *ops::detail::make_dense(TensorType::uint8, Shape{1}, std::vector<uint8_t>{1}),
                              *ops::detail::make_dense(TensorType::int8, Shape{1}, std::vector<int8_t>{0}),
                              unsigned_bits, 0);
    }
    return ops::scale_out(*acc, *var(layer, "output_scales"), *var(layer, "output_shift"), bits, 1);
}

// (k, k, 1, C) depthwise weights as a (k, k, C, C) kernel acting on each channel alone.
inline TensorPtr diagonal_kernel(Tensor const& w) {
    Shape const& s = w.dimensions();
    std::vector<int8_t> const in = ops::detail::read_all<int8_t>(w);
    std::vector<int8_t> out(size_t{s[0]} * s[1] * s[3] * s[3], 0);
    for (size_t t = 0; t < size_t{s[0]} * s[1]; ++t)
        for (size_t c = 0; c < s[3]; ++c) out[(t * s[3] + c) * s[3] + c] = in[t * s[3] + c];
    return ops::detail::make_dense(TensorType::int8, Shape{s[0], s[1], s[3], s[3]}, out);
}

}  // namespace reference_detail

// The output of `layer` (Conv2D, InputConv2D, DepthwiseConv2D, Conv2DTranspose or
// DepthwiseConv2DTranspose) for x, int32 (samples, x, y, channels).
inline std::shared_ptr<Tensor> reference_layer(Layer const& layer, Tensor const& x) {
    using namespace reference_detail;
    LayerType const type = layer.params()->layer_type();
    if (type == LayerType::Conv2DTranspose || type == LayerType::DepthwiseConv2DTranspose) {
        int32_t const stride = layer.params()->get("kernel_stride"), k = layer.params()->get("kernel_size");
        int32_t const pad = k > stride ? (k - stride) / 2 : 0;
        Shape const out = layer.output_dimensions();
        TensorPtr const w =
            type == LayerType::Conv2DTranspose ? var(layer, "weights") : diagonal_kernel(*var(layer, "weights"));
        auto acc = ops::conv2d_transpose(*ops::lshift(x, *var(layer, "input_shift"), 32), *w,
                                         static_cast<uint8_t>(stride), pad, pad, out[0], out[1]);
        return out_stage(layer, biased(layer, acc));
    }
    ConvCalculatedParams const& g = *dynamic_cast<HasConvParams const&>(layer).conv_params();
    auto const sx = static_cast<int8_t>(g.stride_x), sy = static_cast<int8_t>(g.stride_y);
    auto const left = static_cast<int32_t>(g.padding.left), top = static_cast<int32_t>(g.padding.top);
    TensorPtr acc;
    if (type == LayerType::Conv2D) {
        acc = ops::conv2d_v2(*ops::lshift(x, *var(layer, "input_shift"), 32), sx, sy, left, top, g.output_width,
                             g.output_height, *var(layer, "weights"), 32);
    } else if (type == LayerType::DepthwiseConv2D) {
        Shape const& ws = var(layer, "weights")->dimensions();
        acc = ops::depthwise_conv2d(*ops::lshift(x, *var(layer, "input_shift"), 32), sx, sy, left, top, g.output_width,
                                    g.output_height, *reshaped(*var(layer, "weights"), Shape{ws[0], ws[1], ws[3]}));
    } else if (type == LayerType::InputConv2D) {
        std::vector<int32_t> values = ops::detail::read_all<int32_t>(x);
        std::vector<uint8_t> bytes(values.size());
        for (size_t i = 0; i < values.size(); ++i) bytes[i] = static_cast<uint8_t>(std::clamp(values[i], 0, 255));
        auto const k = static_cast<uint32_t>(layer.params()->get("kernel_size"));
        acc = ops::input_conv2d(*ops::detail::make_dense(TensorType::uint8, x.dimensions(), bytes),
                                ops::detail::read_all<uint8_t>(*var(layer, "padding_value")).front(), sx, sy, top,
                                static_cast<int32_t>(g.padding.bottom), left, static_cast<int32_t>(g.padding.right),
                                g.output_width, g.output_height, k, k, *ops::linearize_filters(*var(layer, "weights")));
    } else {
        throw std::invalid_argument("reference_layer: not a convolution kind");
    }
    return out_stage(layer, pooled(layer, biased(layer, acc)));
}

}  // namespace nuvra::testing
