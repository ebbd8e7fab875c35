// The software arithmetic of each layer kind, built from the reference kernels.
#include "engine/inference_layers.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/layers_internal.h"
#include "engine/ops.h"
#include "engine/ops_support.h"
#include "hw/format.h"

namespace nuvra::inference {

using ops::detail::make_dense;
using ops::detail::read_all;
using ops::detail::saturate;
using ops::detail::shift_left;

namespace {

constexpr int kLutIndexBits = 11;  // lut_values holds 2048 entries
constexpr int kStateFractionBits = 15;

std::string kind_of(Layer const& layer) { return layer_type_name(layer.params()->layer_type()); }

std::shared_ptr<Tensor> var(Layer const& layer, char const* name) { return layer.variables().get(name); }

int32_t param(Layer const& layer, char const* key) { return layer.params()->get(key); }

uint32_t narrow_dim(Layer const& layer, uint64_t v) {
    if (v == 0 || v > 0xFFFFFFFFu) refuse_layer(layer, format("dimension {} is out of range", v));
    return static_cast<uint32_t>(v);
}

// Rounded to nearest (halves away from zero), saturated to int32.
int32_t round_to_int32(float v) {
    if (std::isnan(v)) return 0;
    double const r = std::round(static_cast<double>(v));
    return static_cast<int32_t>(std::clamp(r, -2147483648.0, 2147483647.0));
}

// The value with integer elements.
Value ints(Value const& v) { return v->type() == TensorType::int32 ? v : int32_of(*v); }

// A copy of `t` with the same elements in row-major order and another shape.
std::shared_ptr<Dense> reshaped(Tensor const& t, Shape const& shape) {
    std::vector<uint8_t> const bytes = ops::detail::row_major_bytes(t);
    return Dense::copy(bytes.data(), bytes.size(), t.type(), shape, Layout::c_order);
}

// As a Dense (kernels return Tensor; they always make c-ordered Dense tensors).
std::shared_ptr<Dense> dense(std::shared_ptr<Tensor> const& t) { return t->ensure_dense(); }

// (samples, x, y, c) of a value.
struct Dims4 {
    uint32_t n, x, y, c;
};
Dims4 dims4(Tensor const& v) {
    Shape const& s = v.dimensions();
    return {s[0], s[1], s[2], s[3]};
}

// Values clamped to [lo, hi].
Value clamped(Value const& v, int64_t lo, int64_t hi) {
    std::vector<int32_t> values = read_all<int32_t>(*ints(v));
    for (auto& x : values) x = static_cast<int32_t>(std::clamp<int64_t>(x, lo, hi));
    return make_dense(TensorType::int32, v->dimensions(), values);
}

// The bytes of an image input (values clamped to 0..255).
std::shared_ptr<Dense> as_bytes(Value const& v) {
    std::vector<int32_t> const values = read_all<int32_t>(*ints(v));
    std::vector<uint8_t> bytes(values.size());
    for (size_t i = 0; i < values.size(); ++i) bytes[i] = static_cast<uint8_t>(std::clamp(values[i], 0, 255));
    return make_dense(TensorType::uint8, v->dimensions(), bytes);
}

// ---- geometry from the layer's computed blocks ----

struct ConvGeometry {
    int8_t stride_x, stride_y;
    int32_t top, bottom, left, right;
    uint32_t out_x, out_y;
};

int8_t small_stride(Layer const& layer, uint32_t s) {
    if (s < 1 || s > 127) refuse_layer(layer, format("a stride of {} has no software implementation", s));
    return static_cast<int8_t>(s);
}
int32_t pad(Layer const& layer, uint32_t p) {
    if (p > 0x7FFFFFFF) refuse_layer(layer, format("a padding of {} has no software implementation", p));
    return static_cast<int32_t>(p);
}

ConvGeometry conv_geometry(Layer const& layer) {
    auto const* has = dynamic_cast<HasConvParams const*>(&layer);
    ConvCalculatedParams const* block = has ? has->conv_params() : nullptr;
    if (!block) refuse_layer(layer, "the layer is not built");
    return {small_stride(layer, block->stride_x),
            small_stride(layer, block->stride_y),
            pad(layer, block->padding.top),
            pad(layer, block->padding.bottom),
            pad(layer, block->padding.left),
            pad(layer, block->padding.right),
            block->output_width,
            block->output_height};
}

// ---- shared stages ----

// x x 2^input_shift[c].
Value input_shifted(Layer const& layer, Value const& x) {
    return dense(ops::lshift(*ints(x), *var(layer, "input_shift"), 32));
}

// acc + bias[f] x 2^bias_shift[f].
Value biased(Layer const& layer, Value const& acc) {
    Variables const& v = layer.variables();
    if (!v.has("bias")) return acc;
    std::shared_ptr<Tensor> bias = int32_of(*v.get("bias"));
    if (v.has("bias_shift")) bias = ops::lshift(*bias, *v.get("bias_shift"), 32);
    return dense(ops::add(*acc, *bias, 32));
}

// Max or global pooling of a convolution kind, from its pooling block.
Value pooled(Layer const& layer, Value const& acc) {
    bool const max = layer.has_pooling_type(PoolType::Max);
    bool const average = layer.has_pooling_type(PoolType::Average);
    if (!max && !average) return acc;
    auto const* has = dynamic_cast<HasPoolParams const*>(&layer);
    PoolingCalculatedParams const* block = has ? has->pool_params() : nullptr;
    if (!block) refuse_layer(layer, "the layer is not built");
    if (block->flag) {  // global pooling over the whole convolution output
        if (average) return dense(ops::global_average_pooling(*acc, 32));
        Dims4 const d = dims4(*acc);
        std::vector<int32_t> const in = read_all<int32_t>(*acc);
        std::vector<int32_t> out(size_t{d.n} * d.c, std::numeric_limits<int32_t>::min());
        for (size_t s = 0; s < d.n; ++s)
            for (size_t p = 0; p < size_t{d.x} * d.y; ++p)
                for (size_t c = 0; c < d.c; ++c)
                    out[s * d.c + c] = std::max(out[s * d.c + c], in[(s * d.x * d.y + p) * d.c + c]);
        return make_dense(TensorType::int32, Shape{d.n, 1, 1, d.c}, out);
    }
    if (average) refuse_layer(layer, "average pooling over a window has no software implementation");
    bool const first_gen = layer.params()->has("pooling_width");
    int32_t const px = first_gen ? param(layer, "pooling_width") : param(layer, "pool_size");
    int32_t const py = first_gen ? param(layer, "pooling_height") : param(layer, "pool_size");
    if (px < 1 || px > 127 || py < 1 || py > 127)
        refuse_layer(layer, format("a pool of {} x {} has no software implementation", px, py));
    return dense(ops::max_pooling(*acc, static_cast<int8_t>(px), static_cast<int8_t>(py), false, block->output_width,
                                  block->output_height, block->stride_x, block->stride_y, pad(layer, block->padding.top),
                                  pad(layer, block->padding.bottom), pad(layer, block->padding.left),
                                  pad(layer, block->padding.right), 32));
}

// The second- and third-generation output stage (see engine/inference.h).
Value out_stage(Layer const& layer, Value const& acc) {
    Variables const& v = layer.variables();
    int const bits = layer.output_bits();
    int const unsigned_bits = std::min(bits, 31);
    if (layer.has_activation_type(ActivationType::ReLU)) {
        Value clipped = acc;
        if (v.has("max_value")) {
            std::vector<uint8_t> const top = read_all<uint8_t>(*v.get("max_value"));
            std::vector<uint8_t> const top_shift = v.has("max_value_shift")
                                                       ? read_all<uint8_t>(*v.get("max_value_shift"))
                                                       : std::vector<uint8_t>(top.size(), 0);
            if (top_shift.size() != top.size()) refuse_layer(layer, "max_value and max_value_shift differ in size");
            std::vector<int32_t> limit(top.size());
            for (size_t f = 0; f < top.size(); ++f)
                limit[f] = top[f] == 0 ? std::numeric_limits<int32_t>::max()
                                       : saturate(shift_left(top[f], top_shift[f]), 32);
            auto limits = make_dense(TensorType::int32, Shape{static_cast<uint32_t>(limit.size())}, limit);
            clipped = dense(ops::relu_activation(*acc, *limits));
        }
        return dense(ops::scale_out(*clipped, *var(layer, "output_scales"), *var(layer, "output_shift"),
                                    unsigned_bits, 0));
    }
    if (layer.has_activation_type(ActivationType::LUT)) {
        auto index = ops::scale_out(*acc, *var(layer, "activation_scales"), *var(layer, "activation_shift"),
                                    kLutIndexBits, 0);
        auto looked = ops::look_up(*index, *var(layer, "lut_values"));
        auto one = make_dense(TensorType::uint8, Shape{1}, std::vector<uint8_t>{1});
        auto zero = make_dense(TensorType::int8, Shape{1}, std::vector<int8_t>{0});
        return dense(ops::scale_out(*looked, *one, *zero, unsigned_bits, 0));
    }
    return dense(ops::scale_out(*acc, *var(layer, "output_scales"), *var(layer, "output_shift"), bits, 1));
}

// ---- weights in the kernels' layouts ----

// (F, C, ky, kx) as (kx, ky, C, F).
std::shared_ptr<Dense> kernel_from_filters_first(Tensor const& w) {
    Shape const& s = w.dimensions();
    uint32_t const f = s[0], c = s[1], ky = s[2], kx = s[3];
    std::vector<int8_t> const in = read_all<int8_t>(w);
    std::vector<int8_t> out(in.size());
    for (size_t fi = 0; fi < f; ++fi)
        for (size_t ci = 0; ci < c; ++ci)
            for (size_t j = 0; j < ky; ++j)
                for (size_t i = 0; i < kx; ++i)
                    out[((i * ky + j) * c + ci) * f + fi] = in[((fi * c + ci) * ky + j) * kx + i];
    return make_dense(TensorType::int8, Shape{kx, ky, c, f}, out);
}

// (k, k, 1, C) depthwise weights as a (k, k, C, C) kernel acting on each channel alone.
std::shared_ptr<Dense> diagonal_kernel(Tensor const& w) {
    Shape const& s = w.dimensions();
    uint32_t const kx = s[0], ky = s[1], c = s[3];
    std::vector<int8_t> const in = read_all<int8_t>(w);
    std::vector<int8_t> out(size_t{kx} * ky * c * c, 0);
    for (size_t t = 0; t < size_t{kx} * ky; ++t)
        for (size_t ci = 0; ci < c; ++ci) out[(t * c + ci) * c + ci] = in[t * c + ci];
    return make_dense(TensorType::int8, Shape{kx, ky, c, c}, out);
}

// ---- kinds ----

Value input_data(Layer const& layer, Value const& x) {
    if (x->type() == TensorType::float32) return x;
    int const bits = layer.output_bits();
    if (layer.output_signed())
        return clamped(x, ops::detail::signed_min(bits), ops::detail::signed_max(bits));
    return clamped(x, 0, bits >= 32 ? std::numeric_limits<int32_t>::max() : (int64_t{1} << bits) - 1);
}

Value input_convolution(Layer const& layer, Value const& x, uint8_t pad_value, uint32_t kx, uint32_t ky) {
    ConvGeometry const g = conv_geometry(layer);
    auto filters = ops::linearize_filters(*var(layer, "weights"));
    return dense(ops::input_conv2d(*as_bytes(x), pad_value, g.stride_x, g.stride_y, g.top, g.bottom, g.left, g.right,
                                   g.out_x, g.out_y, kx, ky, *filters));
}

Value input_convolutional(Layer const& layer, Value const& x) {
    int32_t const pad_value = std::clamp(param(layer, "padding_value"), 0, 255);
    Value p = input_convolution(layer, x, static_cast<uint8_t>(pad_value), param(layer, "kernel_width"),
                                param(layer, "kernel_height"));
    return threshold_stage(layer, pooled(layer, p));
}

Value convolutional(Layer const& layer, Value const& x) {
    ConvGeometry const g = conv_geometry(layer);
    auto w = kernel_from_filters_first(*var(layer, "weights"));
    Value p = dense(ops::conv2d_v2(*ints(x), g.stride_x, g.stride_y, g.left, g.top, g.out_x, g.out_y, *w, 32));
    return threshold_stage(layer, pooled(layer, p));
}

Value separable_convolutional(Layer const& layer, Value const& x) {
    ConvGeometry const g = conv_geometry(layer);
    auto dw = kernel_from_filters_first(*var(layer, "weights"));  // (kx, ky, C, 1)
    Value depth = dense(ops::depthwise_conv2d(*ints(x), g.stride_x, g.stride_y, g.left, g.top, g.out_x, g.out_y, *dw));
    auto pw = kernel_from_filters_first(*var(layer, "weights_pw"));  // (1, 1, C, F)
    Dims4 const d = dims4(*depth);
    Value p = dense(ops::conv2d_v2(*depth, 1, 1, 0, 0, d.x, d.y, *pw, 32));
    return threshold_stage(layer, pooled(layer, p));
}

// (samples, I) of a value, for the fully connected kinds.
std::shared_ptr<Dense> flattened(Layer const& layer, Value const& x) {
    Dims4 const d = dims4(*x);
    return reshaped(*ints(x), Shape{d.n, narrow_dim(layer, uint64_t{d.x} * d.y * d.c)});
}

Value with_pixels(Value const& rows, uint32_t samples) {
    Shape const& s = rows->dimensions();
    return reshaped(*rows, Shape{samples, 1, 1, s[s.rank() - 1]});
}

Value fully_connected(Layer const& layer, Value const& x) {
    auto flat = flattened(layer, x);
    auto w = var(layer, "weights");
    Shape const& ws = w->dimensions();
    auto weights = reshaped(*int32_of(*w), Shape{ws[0], ws[1]});
    Value p = dense(ops::matmul(*flat, *weights, 32, true));
    return with_pixels(threshold_stage(layer, p), dims4(*x).n);
}

Value conv2d(Layer const& layer, Value const& x) {
    ConvGeometry const g = conv_geometry(layer);
    Value acc = dense(ops::conv2d_v2(*input_shifted(layer, x), g.stride_x, g.stride_y, g.left, g.top, g.out_x,
                                     g.out_y, *var(layer, "weights"), 32));
    return out_stage(layer, pooled(layer, biased(layer, acc)));
}

Value input_conv2d(Layer const& layer, Value const& x) {
    std::vector<uint8_t> const pads = read_all<uint8_t>(*var(layer, "padding_value"));
    for (uint8_t p : pads)
        if (p != pads.front())
            refuse_layer(layer, "different padding values per channel have no software implementation");
    uint32_t const k = param(layer, "kernel_size");
    Value acc = input_convolution(layer, x, pads.front(), k, k);
    return out_stage(layer, pooled(layer, biased(layer, acc)));
}

Value depthwise_conv2d(Layer const& layer, Value const& x) {
    ConvGeometry const g = conv_geometry(layer);
    auto w = var(layer, "weights");
    Shape const& ws = w->dimensions();  // (k, k, 1, C)
    auto weights = reshaped(*w, Shape{ws[0], ws[1], ws[3]});
    Value acc = dense(ops::depthwise_conv2d(*input_shifted(layer, x), g.stride_x, g.stride_y, g.left, g.top, g.out_x,
                                            g.out_y, *weights));
    return out_stage(layer, pooled(layer, biased(layer, acc)));
}

Value conv2d_transpose(Layer const& layer, Value const& x, bool depthwise) {
    int32_t const stride = param(layer, "kernel_stride");
    int32_t const k = param(layer, "kernel_size");
    if (stride < 1 || stride > 255)
        refuse_layer(layer, format("a stride of {} has no software implementation", stride));
    auto w = var(layer, "weights");
    std::shared_ptr<Dense> const weights = depthwise ? diagonal_kernel(*w) : w->ensure_dense();
    int32_t const padding = k > stride ? (k - stride) / 2 : 0;
    Shape const out = layer.output_dimensions();
    Value acc = dense(ops::conv2d_transpose(*input_shifted(layer, x), *weights, static_cast<uint8_t>(stride), padding,
                                            padding, out[0], out[1]));
    return out_stage(layer, biased(layer, acc));
}

Value dense1d(Layer const& layer, Value const& x) {
    auto flat = flattened(layer, x);
    auto shifted = ops::lshift(*flat, *var(layer, "input_shift"), 32);
    Value acc = dense(ops::matmul(*shifted, *int32_of(*var(layer, "weights")), 32, false));
    return with_pixels(out_stage(layer, biased(layer, acc)), dims4(*x).n);
}

Value add(Layer const& layer, std::vector<Value> const& in) {
    auto a = ops::lshift(*ints(in[0]), *var(layer, "a_shift"), 32);
    auto b = ops::lshift(*ints(in[1]), *var(layer, "b_shift"), 32);
    auto sum = ops::add(*a, *b, 32);
    return dense(ops::shift_out(*sum, *var(layer, "output_shift"), layer.output_bits()));
}

Value concatenate(std::vector<Value> const& in) {
    std::vector<std::shared_ptr<Tensor const>> parts;
    for (auto const& v : in) parts.push_back(ints(v));
    return dense(ops::concatenate_last_dim(parts));
}

// Pushes each frame of x into the layer's fifo; calls `step` with the fifo as int32
// (fifo_size, x, y, C) after each push and joins its results.
template <class Step>
Value over_fifo(Layer const& layer, Value const& x, LayerState& state, Step step) {
    Dims4 const d = dims4(*x);
    uint32_t const depth = static_cast<uint32_t>(param(layer, "fifo_size"));
    if (!state.fifo) state.fifo = Dense::create(TensorType::int8, Shape{depth, d.x, d.y, d.c}, Layout::c_order);
    std::vector<int32_t> const frames = read_all<int32_t>(*ints(x));
    size_t const frame = size_t{d.x} * d.y * d.c;
    std::vector<Value> outputs;
    for (size_t s = 0; s < d.n; ++s) {
        std::vector<int8_t> bytes(frame);
        for (size_t i = 0; i < frame; ++i) {
            int32_t const v = frames[s * frame + i];
            if (v < -128 || v > 127)
                refuse_layer(layer, format("the value {} does not fit the fifo's signed bytes", v));
            bytes[i] = static_cast<int8_t>(v);
        }
        ops::fifo_op(*state.fifo, *make_dense(TensorType::int8, Shape{d.x, d.y, d.c}, bytes));
        outputs.push_back(step(int32_of(*state.fifo)));
    }
    return join_samples(outputs);
}

Value buffer_temp_conv(Layer const& layer, Value const& x, LayerState& state) {
    Dims4 const d = dims4(*x);
    uint32_t const depth = static_cast<uint32_t>(param(layer, "fifo_size"));
    std::vector<uint8_t> const shift = read_all<uint8_t>(*var(layer, "input_shift"));
    if (shift.size() != d.c) refuse_layer(layer, "input_shift does not hold one value per channel");
    return over_fifo(layer, x, state, [&](std::shared_ptr<Dense> const& fifo) {
        // (T, x, y, C) to one frame of (x, y, T * C): pixel rows of (frame, channel), oldest first.
        std::vector<int32_t> const f = read_all<int32_t>(*fifo);
        size_t const pixels = size_t{d.x} * d.y;
        std::vector<int32_t> rows(f.size());
        for (size_t t = 0; t < depth; ++t)
            for (size_t p = 0; p < pixels; ++p)
                for (size_t c = 0; c < d.c; ++c)
                    rows[(p * depth + t) * d.c + c] = saturate(shift_left(f[(t * pixels + p) * d.c + c], shift[c]), 32);
        auto input = make_dense(TensorType::int32, Shape{1, d.x, d.y, narrow_dim(layer, uint64_t{depth} * d.c)}, rows);
        Value acc = dense(ops::conv2d_v2(*input, 1, 1, 0, 0, d.x, d.y, *var(layer, "weights"), 32));
        return out_stage(layer, biased(layer, acc));
    });
}

Value depthwise_buffer_temp_conv(Layer const& layer, Value const& x, LayerState& state) {
    Dims4 const d = dims4(*x);
    auto w = var(layer, "weights");  // (1, 1, T, C)
    Shape const& ws = w->dimensions();
    auto taps = reshaped(*w, Shape{ws[2], ws[3]});
    return over_fifo(layer, x, state, [&](std::shared_ptr<Dense> const& fifo) {
        auto shifted = ops::lshift(*fifo, *var(layer, "input_shift"), 32);
        auto acc = reshaped(*ops::depthwise_like_conv(*shifted, *taps, 32), Shape{1, d.x, d.y, d.c});
        return out_stage(layer, biased(layer, acc));
    });
}

Value stateful_recurrent(Layer const& layer, Value const& x, LayerState& state) {
    if (param(layer, "subsample") != 1)
        refuse_layer(layer, "a subsample rate other than 1 has no software implementation");
    Dims4 const d = dims4(*x);
    uint32_t const pixels = narrow_dim(layer, uint64_t{d.x} * d.y);
    auto in_proj = int32_of(*var(layer, "in_proj"));    // (S, C)
    auto out_proj = int32_of(*var(layer, "out_proj"));  // (O, S)
    uint32_t const states = in_proj->dimensions()[0];
    if (!state.re) {
        state.re = Dense::create(TensorType::int32, Shape{pixels, states}, Layout::c_order);
        state.im = Dense::create(TensorType::int32, Shape{pixels, states}, Layout::c_order);
    }
    // The state's input shift is the opposite of new_state_shift (a right shift).
    std::vector<int8_t> const new_shift = read_all<int8_t>(*var(layer, "new_state_shift"));
    std::vector<int8_t> negated(new_shift.size());
    for (size_t i = 0; i < new_shift.size(); ++i)
        negated[i] = static_cast<int8_t>(std::clamp(-int{new_shift[i]}, -128, 127));
    auto state_shift = make_dense(TensorType::int8, Shape{static_cast<uint32_t>(negated.size())}, negated);
    auto no_shift = make_dense(TensorType::int8, Shape{1}, std::vector<int8_t>{0});

    std::vector<Value> outputs;
    for (uint32_t s = 0; s < d.n; ++s) {
        auto frame = reshaped(*ints(samples(x, s, 1)), Shape{pixels, d.c});
        auto shifted = ops::lshift(*frame, *var(layer, "input_shift"), 32);
        auto projected = ops::matmul(*shifted, *in_proj, 32, true);  // (P, S)
        auto scaled = ops::scale_out(*projected, *var(layer, "new_state_scale"), *no_shift, 32, 1);
        auto next = ops::update_internal_state(*scaled, *state_shift, *state.re, *state.im, *var(layer, "A_real"),
                                               *var(layer, "A_imag"), 32, kStateFractionBits);
        auto read_out = ops::shift_out(*next.first, *var(layer, "internal_state_outputs_shift"), 32);
        Value acc = dense(ops::matmul(*read_out, *out_proj, 32, true));  // (P, O)
        Value out = out_stage(layer, biased(layer, acc));
        outputs.push_back(reshaped(*out, Shape{1, d.x, d.y, out->dimensions()[1]}));
    }
    return join_samples(outputs);
}

Value quantizer(Layer const& layer, Value const& x) {
    Dims4 const d = dims4(*x);
    std::vector<float> const scales = read_all<float>(*var(layer, "scales"));
    std::vector<uint8_t> const zero_points = read_all<uint8_t>(*var(layer, "zero_points"));
    if (scales.size() != d.c || zero_points.size() != d.c)
        refuse_layer(layer, "scales and zero_points must hold one value per channel");
    int const bits = layer.output_bits();
    int64_t const lo = layer.output_signed() ? ops::detail::signed_min(bits) : 0;
    int64_t const hi = layer.output_signed() ? ops::detail::signed_max(bits)
                                             : (bits >= 32 ? std::numeric_limits<int32_t>::max() : (int64_t{1} << bits) - 1);
    std::vector<float> values;
    if (x->type() == TensorType::float32) {
        values = read_all<float>(*x);
    } else {
        std::vector<int32_t> const v = read_all<int32_t>(*x);
        values.assign(v.begin(), v.end());
    }
    std::vector<int32_t> out(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        size_t const c = i % d.c;
        int64_t const q = int64_t{round_to_int32(values[i] * scales[c])} + zero_points[c];
        out[i] = static_cast<int32_t>(std::clamp(q, lo, hi));
    }
    return make_dense(TensorType::int32, x->dimensions(), out);
}

void expect_inputs(Layer const& layer, std::vector<Value> const& inputs, size_t count) {
    if (inputs.size() != count)
        refuse_layer(layer, format("{} inputs given where {} are needed", inputs.size(), count));
}

}  // namespace

void refuse_layer(Layer const& layer, std::string const& reason) {
    throw std::runtime_error(format("Layer '{}' ({}): {}", layer.get_name(), kind_of(layer), reason));
}

std::shared_ptr<Dense> int32_of(Tensor const& t) {
    std::vector<int32_t> out;
    auto widen = [&](auto const& v) { out.assign(v.begin(), v.end()); };
    switch (t.type()) {
        case TensorType::int32: out = read_all<int32_t>(t); break;
        case TensorType::int16: widen(read_all<int16_t>(t)); break;
        case TensorType::uint16: widen(read_all<uint16_t>(t)); break;
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit: widen(read_all<int8_t>(t)); break;
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2: widen(read_all<uint8_t>(t)); break;
        case TensorType::float32: {
            std::vector<float> const v = read_all<float>(t);
            out.resize(v.size());
            for (size_t i = 0; i < v.size(); ++i) out[i] = round_to_int32(v[i]);
            break;
        }
        default:
            throw std::invalid_argument(format("Cannot read a tensor of type {} as integers", Tensor::type_name(t.type())));
    }
    return make_dense(TensorType::int32, t.dimensions(), out);
}

Shape model_input_shape(Shape const& s, Shape const& input_shape) {
    if (input_shape.rank() != 3) throw std::invalid_argument("The model has no input shape.");
    // The dimensions after the first, padded with 1s on the left to three.
    bool fits = s.rank() >= 1 && s.rank() <= 4;
    std::vector<uint32_t> rest(3, 1);
    for (size_t k = 1; fits && k < s.rank(); ++k) rest[3 - (s.rank() - k)] = s[k];
    for (size_t k = 0; fits && k < 3; ++k) fits = rest[k] == input_shape[k];
    if (!fits) {
        std::string given;
        for (size_t k = 0; k < s.rank(); ++k) given += (k ? ", " : "") + std::to_string(s[k]);
        throw std::invalid_argument(format("Inputs of shape ({}) do not fit the model's input ({}, {}, {}).", given,
                                           input_shape[0], input_shape[1], input_shape[2]));
    }
    return Shape{s[0], input_shape[0], input_shape[1], input_shape[2]};
}

Value model_input(Tensor const& inputs, Shape const& input_shape) {
    Shape const shape = model_input_shape(inputs.dimensions(), input_shape);
    if (inputs.type() == TensorType::float32) return reshaped(inputs, shape);
    return reshaped(*int32_of(inputs), shape);
}

Value samples(Value const& value, size_t first, size_t count) {
    Shape const& s = value->dimensions();
    size_t const item = Tensor::item_size(value->type());
    size_t const per = value->size() / s[0];
    auto const* src = static_cast<uint8_t const*>(value->buffer().data);
    return Dense::copy(src + first * per * item, count * per * item, value->type(),
                       Shape{static_cast<uint32_t>(count), s[1], s[2], s[3]}, Layout::c_order);
}

Value join_samples(std::vector<Value> const& parts) {
    if (parts.empty()) throw std::invalid_argument("No samples to join.");
    if (parts.size() == 1) return parts.front();
    Shape const& s = parts.front()->dimensions();
    std::vector<uint8_t> bytes;
    uint64_t count = 0;
    for (auto const& p : parts) {
        Shape const& ps = p->dimensions();
        if (p->type() != parts.front()->type() || ps.rank() != 4 || ps[1] != s[1] || ps[2] != s[2] || ps[3] != s[3])
            throw std::invalid_argument("Cannot join samples of different shapes.");
        auto const* src = static_cast<uint8_t const*>(p->buffer().data);
        bytes.insert(bytes.end(), src, src + p->buffer().bytes);
        count += ps[0];
    }
    if (count > 0xFFFFFFFFu) throw std::invalid_argument("Too many samples.");
    return Dense::copy(bytes.data(), bytes.size(), parts.front()->type(),
                       Shape{static_cast<uint32_t>(count), s[1], s[2], s[3]}, Layout::c_order);
}

Value threshold_stage(Layer const& layer, Value const& potentials) {
    if (!layer.has_activation()) return potentials;
    std::vector<int32_t> p = read_all<int32_t>(*potentials);
    size_t const channels = ops::detail::channels_of(*potentials);
    std::vector<int32_t> const threshold = read_all<int32_t>(*var(layer, "threshold"));
    std::vector<int32_t> const t16 = read_all<int32_t>(*get_threshold_t16_from_act_steps(*var(layer, "act_step")));
    if (threshold.size() != channels || t16.size() != channels)
        refuse_layer(layer, "threshold and act_step must hold one value per filter");
    int const bits = std::min<int>(layer.output_bits(), 31);
    int64_t const top = (int64_t{1} << bits) - 1;
    for (size_t i = 0; i < p.size(); ++i) {
        size_t const c = i % channels;
        int64_t const above = int64_t{p[i]} - threshold[c];
        int64_t q = 0;
        if (above > 0) q = t16[c] <= 0 ? top : std::min(top, (above * 16 + t16[c] - 1) / t16[c]);
        p[i] = static_cast<int32_t>(q);
    }
    return make_dense(TensorType::int32, potentials->dimensions(), p);
}

Value run_layer(Layer const& layer, std::vector<Value> const& in, LayerState& state) {
    LayerType const type = layer.params()->layer_type();
    if (type == LayerType::Add) {
        expect_inputs(layer, in, 2);
        return add(layer, in);
    }
    if (type == LayerType::Concatenate) {
        if (in.size() < 2) expect_inputs(layer, in, 2);
        return concatenate(in);
    }
    if (type == LayerType::WispPostProcessing || type == LayerType::Unknown)
        refuse_layer(layer, "this kind has no software implementation");
    expect_inputs(layer, in, 1);
    Value const& x = in.front();
    switch (type) {
        case LayerType::InputData: return input_data(layer, x);
        case LayerType::InputConvolutional: return input_convolutional(layer, x);
        case LayerType::FullyConnected: return fully_connected(layer, x);
        case LayerType::Convolutional: return convolutional(layer, x);
        case LayerType::SeparableConvolutional: return separable_convolutional(layer, x);
        case LayerType::Conv2D: return conv2d(layer, x);
        case LayerType::InputConv2D: return input_conv2d(layer, x);
        case LayerType::DepthwiseConv2D: return depthwise_conv2d(layer, x);
        case LayerType::Conv2DTranspose: return conv2d_transpose(layer, x, false);
        case LayerType::DepthwiseConv2DTranspose: return conv2d_transpose(layer, x, true);
        case LayerType::BufferTempConv: return buffer_temp_conv(layer, x, state);
        case LayerType::DepthwiseBufferTempConv: return depthwise_buffer_temp_conv(layer, x, state);
        case LayerType::Dense1D: return dense1d(layer, x);
        case LayerType::StatefulRecurrent: return stateful_recurrent(layer, x, state);
        case LayerType::Quantizer: return quantizer(layer, x);
        case LayerType::Dequantizer: return dense(ops::dequantize(*ints(x), *var(layer, "scales")));
        default: break;
    }
    refuse_layer(layer, "this kind has no software implementation");
}

}  // namespace nuvra::inference
