// The software arithmetic of each layer kind, built from the reference kernels; each kind's run
// is the arithmetic column of its row (engine/layer_kinds.h).
//
// Arithmetic per kind (x the layer's input; the bias, pooling, out stage and threshold stage are
// those of engine/inference.h):
//   InputData              x, integers (float inputs rounded, halves away from zero) saturated to
//                          the layer's bit width and sign
//   InputConvolutional     input_conv2d of x as bytes, padded with "padding_value", then pooling
//                          and the threshold stage
//   Convolutional          conv2d_v2 (weights (F, C, ky, kx) read as (kx, ky, C, F)), pooling,
//                          threshold stage
//   SeparableConvolutional depthwise_conv2d, then the 1 x 1 pointwise weights_pw, pooling,
//                          threshold stage
//   FullyConnected         matmul of the flattened x with weights (F, I, 1, 1), threshold stage
//   Conv2D                 lshift by input_shift, conv2d_v2, bias, pooling, out stage
//   InputConv2D            input_conv2d of x as bytes padded with padding_value (one value for
//                          every channel), bias, pooling, out stage
//   DepthwiseConv2D        lshift by input_shift, depthwise_conv2d, bias, pooling, out stage
//   Conv2DTranspose        lshift, conv2d_transpose with stride s and padding (k - s) / 2 (0 when
//                          k < s), bias, out stage; DepthwiseConv2DTranspose the same with each
//                          channel's kernel on its own channel
//   BufferTempConv         each frame (the layer's inputs at its input bits and sign) pushed by
//                          fifo_op into a fifo of fifo_size frames, oldest first; lshift by
//                          input_shift; a 1 x 1 conv2d_v2 over the fifo's (frame, channel) rows;
//                          bias; out stage
//   DepthwiseBufferTempConv the same fifo; depthwise_like_conv with weights (fifo_size, C); bias;
//                          out stage
//   Dense1D                lshift by input_shift, matmul with weights (I, F), bias, out stage
//   Add                    add_shifted: (x 2^a_shift + y 2^b_shift) 2^output_shift per channel,
//                          exact, rounded as the out stage where the total shift is negative,
//                          saturated to output_bits; shifts of one a_shift + output_shift and
//                          b_shift + output_shift run alike. With output_shift 0 each shifted input
//                          saturates to 32 bits before the sum, as it always has: within shifts a
//                          program holds (max(a_shift, b_shift) + output_shift in -4..3) only
//                          inputs of magnitude 2^28 and more part from the exact sum
//   Concatenate            concatenate_last_dim of the inputs
//   StatefulRecurrent      per frame and pixel: lshift by input_shift, matmul with in_proj,
//                          scaled by new_state_scale and shifted by -new_state_shift into
//                          update_internal_state (A_real + i A_imag with 15 fractional bits),
//                          shift_out of the real state by internal_state_outputs_shift, matmul
//                          with out_proj, bias, out stage; only "subsample" 1 and no LUT
//                          activation (the TNP-R has no look-up table)
//   Quantizer              round(x x scales[c]) + zero_points[c], saturated to the layer's bits
//   Dequantizer            dequantize by scales (float32)
//   WispPostProcessing, Unknown: no software meaning (std::runtime_error naming the kind)
// Conv2D, InputConv2D, DepthwiseConv2D and Dense1D (weights of 8 bits or fewer) run on the
// blocked kernels, their runs packing their weights and output stage ahead (see SoftwareRun).
#include "engine/inference_layers.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include "engine/inference.h"
#include "engine/layers.h"
#include "engine/layers_internal.h"
#include "engine/ops.h"
#include "engine/ops_blocked.h"
#include "engine/ops_support.h"
#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra::inference {

using ops::detail::BlockSink;
using ops::detail::ByteStage;
using ops::detail::FilterMatrix;
using ops::detail::ImageDims;
using ops::detail::image_dims;
using ops::detail::int32_elements;
using ops::detail::make_dense;
using ops::detail::new_int32;
using ops::detail::PixelStage;
using ops::detail::Window;
using ops::detail::read_all;
using ops::detail::saturate;
using ops::detail::shift_left;

namespace {

constexpr int kLutIndexBits = 11;  // lut_values holds 2048 entries
constexpr int kStateFractionBits = 15;

// The words of a NaN on its way to an integer, naming the layer, where it lies (a variable, or the
// layer's input) and the channel.
std::string nan_text(Layer const& layer, std::string const& where, size_t channel) {
    return layer_text(layer, format("{} holds NaN at channel {}: NaN has no integer value.", where, channel));
}

// Those words as std::invalid_argument.
[[noreturn]] void refuse_nan(Layer const& layer, std::string const& where, size_t channel) {
    throw std::invalid_argument(nan_text(layer, where, channel));
}

// The row-major index of the first NaN of a float32 tensor; its size when it holds none.
size_t first_nan(Tensor const& values) {
    std::vector<float> copy;  // only for a tensor not laid out row-major
    if (ops::detail::is_c_ordered(values)) ops::detail::check_extent(values, sizeof(float), values.buffer().bytes);
    else copy = read_all<float>(values);
    auto const* v = copy.empty() ? static_cast<float const*>(values.buffer().data) : copy.data();
    return static_cast<size_t>(std::find_if(v, v + values.size(), [](float f) { return std::isnan(f); }) - v);
}

// Refuses a tensor of `dims` (per sample) above max_run_elements.
void check_run_size(Layer const& layer, char const* what, std::vector<uint32_t> const& dims) {
    unsigned __int128 count = 1;  // at most four 32-bit dimensions
    std::string text;
    for (uint32_t d : dims) {
        count *= d;
        text += (text.empty() ? "" : " x ") + std::to_string(d);
    }
    if (count > max_run_elements)
        throw std::invalid_argument(layer_text(
            layer, format("the {} of {} ({} elements) exceeds the software limit of {} elements per sample", what,
                          text, static_cast<uint64_t>(std::min<unsigned __int128>(count, UINT64_MAX)),
                          max_run_elements)));
}

std::shared_ptr<Tensor> var(Layer const& layer, char const* name) { return layer.variable(name); }

int32_t param(Layer const& layer, char const* key) { return layer.params()->get(key); }

uint32_t narrow_dim(Layer const& layer, uint64_t v) {
    if (v == 0 || !fits_in<uint32_t>(v)) refuse_layer(layer, format("dimension {} is out of range", v));
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

// Whether a convolution kind pools (max or average) between its bias and its output stage.
bool pools(Layer const& layer) {
    return layer.has_pooling_type(PoolType::Max) || layer.has_pooling_type(PoolType::Average);
}

// ---- shared stages ----

// x x 2^input_shift[c], saturated to int32 (lshift); x itself when every shift is 0. The shifts
// are per channel, or per element of each sample when `per_sample` (Dense1D's flattened inputs).
Value input_shifted(Layer const& layer, Value const& x, Kernels kernels, bool per_sample = false) {
    if (kernels == Kernels::reference) return dense(ops::lshift(*ints(x), *var(layer, "input_shift"), 32));
    size_t const channels = per_sample ? x->size() / x->dimensions()[0] : ops::detail::channels_of(*x);
    auto const shifts = ops::detail::per_channel<uint8_t>(*var(layer, "input_shift"), channels, "lshift", "shifts");
    bool const none = std::all_of(shifts.values.begin(), shifts.values.end(), [](uint8_t s) { return s == 0; });
    if (none && x->type() == TensorType::uint8) return x;  // bytes for the blocked kernels
    Value const v = ints(x);
    if (none) return v;
    auto const out = new_int32(v->dimensions());
    int32_t const* src = int32_elements(*v);
    int32_t* dst = int32_elements(*out);
    for (size_t i = 0; i < v->size(); ++i) dst[i] = saturate(shift_left(src[i], shifts(i % channels)), 32);
    return out;
}

// The elements of an int8 weight tensor in row-major order: its own buffer when it is laid out so,
// else a copy in `storage`.
int8_t const* weight_bytes(Tensor const& weights, std::vector<int8_t>& storage) {
    if (weights.type() == TensorType::int8 && ops::detail::is_c_ordered(weights)) {
        ops::detail::check_extent(weights, 1, weights.buffer().bytes);
        return static_cast<int8_t const*>(weights.buffer().data);
    }
    storage = read_all<int8_t>(weights);
    return storage.data();
}

}  // namespace

// The bias and the output stage of the second- and third-generation kinds (see
// engine/inference.h), read and checked once per run, then applied to the values of one output
// pixel (one per filter) at a time, in place: inside a convolution's output loop, or over a
// whole accumulator.
class OutputStages {
public:
    OutputStages(Layer const& layer, size_t filters, Kernels kernels = Kernels::blocked);

    // values + bias[f] x 2^bias_shift[f], saturated to int32, over `pixels` pixels of one value
    // per filter.
    void add_bias(int32_t* values, size_t pixels) const;
    // The output stage, to output_bits.
    void finish(int32_t* values, size_t pixels) const { stage<false>(values, pixels); }
    // The bias, then the output stage.
    void apply(int32_t* values, size_t pixels) const { stage<true>(values, pixels); }
    // Whether every result of apply is a byte (0..255), and apply_to_bytes may store it as one.
    bool byte_output() const { return loops_ && scale_->lo() >= 0 && scale_->hi() <= 255; }
    // apply, its results stored as bytes in out (values is scratch).
    void apply_to_bytes(int32_t* values, size_t pixels, uint8_t* out) const;
    // apply in 32-bit lanes, when it fits them (the kernels then run it themselves).
    ops::detail::NarrowStageTable const* narrow_apply() const { return narrow_[1] ? &narrow_table_ : nullptr; }
    // Every pixel of an accumulator (int32, channels last) in place.
    void over(Dense& acc, void (OutputStages::*step)(int32_t*, size_t) const) const {
        (this->*step)(int32_elements(acc), acc.size() / filters_);
    }

private:
    template <bool kBias>
    void stage(int32_t* values, size_t pixels) const;

    size_t filters_;
    std::vector<int32_t> bias_;        // one per filter (0 without a bias)
    ActivationType activation_;        // ReLU, LUT, or none
    std::vector<int32_t> top_;         // ReLU: the clip of each filter, 0..INT32_MAX
    std::optional<ops::detail::ScaleOut> scale_;  // output scales, or the LUT's index scales
    std::vector<int32_t> table_;       // LUT: lut_values
    std::optional<ops::detail::ScaleOut> level_;  // LUT: the looked-up value to output_bits
    // ReLU and no activation as the vector loops' table (null loops: the loops above, per value).
    ops::detail::Loops const* loops_ = nullptr;
    std::vector<int64_t> bias64_, zero64_, low_, high_, factor_, half_, right_;
    ops::detail::StageTable biased_{}, unbiased_{};
    // The same in 32-bit lanes where they hold it, without and with the bias.
    std::optional<ops::detail::NarrowStage> narrow_[2];
    ops::detail::NarrowStageTable narrow_table_{};  // narrow_[1]'s
};

OutputStages::OutputStages(Layer const& layer, size_t filters, Kernels kernels) : filters_(filters) {
    Variables const& v = layer.variables();
    bias_.resize(filters, 0);  // adding 0 leaves an int32 value as it is
    if (v.has("bias")) {
        std::shared_ptr<Tensor> bias = int32_of(*var(layer, "bias"));
        if (v.has("bias_shift")) bias = ops::lshift(*bias, *var(layer, "bias_shift"), 32);
        auto const per = ops::detail::per_channel_addend(*bias, filters);
        for (size_t f = 0; f < filters; ++f) bias_[f] = per(f);
    }
    int const bits = layer.output_bits();
    int const unsigned_bits = std::min(bits, 31);
    activation_ = layer.has_activation_type(ActivationType::ReLU)  ? ActivationType::ReLU
                  : layer.has_activation_type(ActivationType::LUT) ? ActivationType::LUT
                                                                    : ActivationType::NoActivation;
    if (activation_ == ActivationType::ReLU) {
        top_.assign(filters, std::numeric_limits<int32_t>::max());
        // An optional ceiling is whole (half of one is refused before the run); a model file may
        // give a kind that always holds one no shift, which reads as 0.
        if (v.has("max_value")) {
            std::vector<uint8_t> const top = read_all<uint8_t>(*var(layer, "max_value"));
            std::vector<uint8_t> const top_shift = v.has("max_value_shift")
                                                       ? read_all<uint8_t>(*var(layer, "max_value_shift"))
                                                       : std::vector<uint8_t>(top.size(), 0);
            if (top_shift.size() != top.size()) refuse_layer(layer, "max_value and max_value_shift differ in size");
            std::vector<int32_t> limit(top.size());
            for (size_t f = 0; f < top.size(); ++f)
                limit[f] = top[f] == 0 ? std::numeric_limits<int32_t>::max()
                                       : saturate(shift_left(top[f], top_shift[f]), 32);
            auto const limits = make_dense(TensorType::int32, Shape{static_cast<uint32_t>(limit.size())}, limit);
            auto const per = ops::detail::per_channel<int32_t>(*limits, filters, "relu_activation", "maximum values");
            for (size_t f = 0; f < filters; ++f) top_[f] = std::max(per(f), 0);
        }
        scale_.emplace(*var(layer, "output_scales"), *var(layer, "output_shift"), filters, unsigned_bits, 0);
    } else if (activation_ == ActivationType::LUT) {
        scale_.emplace(*var(layer, "activation_scales"), *var(layer, "activation_shift"), filters, kLutIndexBits, 0);
        table_ = read_all<int32_t>(*var(layer, "lut_values"));
        auto const one = make_dense(TensorType::uint8, Shape{1}, std::vector<uint8_t>{1});
        auto const zero = make_dense(TensorType::int8, Shape{1}, std::vector<int8_t>{0});
        level_.emplace(*one, *zero, filters, unsigned_bits, 0);
    } else {
        scale_.emplace(*var(layer, "output_scales"), *var(layer, "output_shift"), filters, bits, 1);
    }
    if (activation_ == ActivationType::LUT || kernels == Kernels::reference) return;
    loops_ = &ops::detail::loops(ops::detail::best_isa());
    bias64_.assign(bias_.begin(), bias_.end());
    zero64_.assign(filters, 0);
    bool const relu = activation_ == ActivationType::ReLU;
    low_.assign(filters, relu ? 0 : std::numeric_limits<int32_t>::min());
    high_.resize(filters);
    for (size_t f = 0; f < filters; ++f) high_[f] = relu ? top_[f] : std::numeric_limits<int32_t>::max();
    for (auto const& step : scale_->steps()) {
        factor_.push_back(step.factor);
        half_.push_back(step.half);
        right_.push_back(step.right);
    }
    biased_ = {bias64_.data(), low_.data(),   high_.data(), factor_.data(),
               half_.data(),   right_.data(), scale_->lo(), scale_->hi()};
    unbiased_ = biased_;
    unbiased_.bias = zero64_.data();
    // The bias runs in the stage unless pooling comes between them (see staged).
    if (pools(layer))
        narrow_[0] = ops::detail::narrow_stage(unbiased_, filters);
    else
        narrow_[1] = ops::detail::narrow_stage(biased_, filters);
    if (narrow_[1]) narrow_table_ = narrow_[1]->table();
}

void OutputStages::apply_to_bytes(int32_t* values, size_t pixels, uint8_t* out) const {
    auto const& narrow = narrow_[1];
    if (narrow) return loops_->narrow_stage_bytes(values, pixels, filters_, narrow->table(), out);
    loops_->stage(values, pixels, filters_, biased_);
    loops_->pack_bytes(values, pixels * filters_, out);
}

void OutputStages::add_bias(int32_t* values, size_t pixels) const {
    for (size_t p = 0; p < pixels; ++p, values += filters_)
        for (size_t f = 0; f < filters_; ++f) values[f] = saturate(int64_t{values[f]} + bias_[f], 32);
}

template <bool kBias>
void OutputStages::stage(int32_t* values, size_t pixels) const {
    auto const in = [&](int32_t value, size_t f) {
        return kBias ? saturate(int64_t{value} + bias_[f], 32) : value;
    };
    ops::detail::ScaleOut const& scale = *scale_;
    if (loops_) {  // the same arithmetic, vectorized over the filters
        auto const& narrow = narrow_[kBias];
        if (narrow)
            loops_->narrow_stage(values, pixels, filters_, narrow->table());
        else
            loops_->stage(values, pixels, filters_, kBias ? biased_ : unbiased_);
    } else if (activation_ == ActivationType::LUT) {
        int64_t const last = static_cast<int64_t>(table_.size()) - 1;  // a tensor holds at least one element
        for (size_t p = 0; p < pixels; ++p, values += filters_) {
            for (size_t f = 0; f < filters_; ++f) {
                int64_t const index = scale(in(values[f], f), f);
                values[f] = (*level_)(table_[static_cast<size_t>(std::clamp(index, int64_t{0}, last))], f);
            }
        }
    } else if (activation_ == ActivationType::ReLU) {
        // The bias, the saturation to int32 and the clip at [0, top] make one clamp (top <= the int32
        // maximum). Without max_value the clip at 0 changes nothing: the unsigned scaling of a
        // negative value gives 0 as well.
        for (size_t p = 0; p < pixels; ++p, values += filters_) {
            for (size_t f = 0; f < filters_; ++f) {
                int64_t const biased = int64_t{values[f]} + (kBias ? bias_[f] : 0);
                values[f] = scale(static_cast<int32_t>(std::clamp<int64_t>(biased, 0, top_[f])), f);
            }
        }
    } else {
        for (size_t p = 0; p < pixels; ++p, values += filters_)
            for (size_t f = 0; f < filters_; ++f) values[f] = scale(in(values[f], f), f);
    }
}

// What a blocked kind keeps for the samples of a run (and shares between the threads of one):
// its weights packed for the kernels and its output stage, made from the weights tensor `weights`.
struct Prepared {
    std::shared_ptr<Tensor> weights;
    ops::detail::PackedFilters filters;
    ops::detail::PackedDepthwise depthwise;
    std::optional<OutputStages> stages;
};

namespace {

std::shared_ptr<Prepared const> make_prepared(Layer const& layer);

// The layer's Prepared, made unless the run's state holds one for its weights tensor.
Prepared const& prepared(Layer const& layer, LayerState& state) {
    std::shared_ptr<Tensor> const weights = var(layer, "weights");
    if (!state.prepared || state.prepared->weights != weights) state.prepared = make_prepared(layer);
    return *state.prepared;
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

// A convolution kind's accumulator of `shape` (channels last), filled by run(out, stage): the
// bias and the output stage run inside the convolution's output loop; with pooling, the bias
// runs there and the output stage over the pooled values.
template <class Run>
Value staged(Layer const& layer, Shape const& shape, Kernels kernels, Run run) {
    OutputStages const stages(layer, shape[shape.rank() - 1], kernels);
    auto const acc = new_int32(shape);
    int32_t* const out = int32_elements(*acc);
    if (!pools(layer)) {
        run(out, [&](int32_t* values, size_t pixels) { stages.apply(values, pixels); });
        return acc;
    }
    run(out, [&](int32_t* values, size_t pixels) { stages.add_bias(values, pixels); });
    Value const p = pooled(layer, acc);
    stages.over(*p, &OutputStages::finish);
    return p;
}

// A blocked kind's output of `shape` (channels last) from run(sink), the sink receiving blocks of
// sums (ops::detail::BlockSink): the bias and the output stage on each block, stored as bytes
// when every result is one (a uint8 value), else as int32; with pooling, the bias on each block,
// then pooling and the output stage over the pooled int32 values.
template <class Run>
Value staged_blocked(Layer const& layer, Shape const& shape, OutputStages const& stages, Run run) {
    size_t const filters = shape[shape.rank() - 1];
    bool const pooling = pools(layer);
    if (!pooling && stages.byte_output()) {
        auto const out = Dense::create(TensorType::uint8, shape, Layout::c_order);
        auto* const dst = static_cast<uint8_t*>(out->mutable_buffer().data);
        ops::detail::NarrowStageTable const* narrow = stages.narrow_apply();
        ByteStage const bytes{narrow ? *narrow : ops::detail::NarrowStageTable{}, dst};
        auto const sink = [&](int32_t* sums, size_t first, size_t count) {
            stages.apply_to_bytes(sums, count, dst + first * filters);
        };
        run(sink, narrow ? &bytes : nullptr);
        return out;
    }
    auto const acc = new_int32(shape);
    int32_t* const dst = int32_elements(*acc);
    run(
        [&](int32_t* sums, size_t first, size_t count) {
            if (pooling)
                stages.add_bias(sums, count);
            else
                stages.apply(sums, count);
            std::memcpy(dst + first * filters, sums, count * filters * sizeof(int32_t));
        },
        nullptr);
    if (!pooling) return acc;
    Value const p = pooled(layer, acc);
    stages.over(*p, &OutputStages::finish);
    return p;
}

// A value's elements for the blocked kernels: bytes as they are, anything else as int32.
ops::detail::Values values_of(Value const& v) {
    if (v->type() == TensorType::uint8) return {nullptr, static_cast<uint8_t const*>(v->buffer().data)};
    return {int32_elements(*v), nullptr};
}

// The bias and the output stage over a kernel's new accumulator, in place.
Value finished(Layer const& layer, Value const& acc, Kernels kernels = Kernels::blocked) {
    OutputStages(layer, ops::detail::channels_of(*acc), kernels).over(*acc, &OutputStages::apply);
    return acc;
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

// ---- kinds ----

// The values a kind runs on: one per inbound layer (an input layer's is the model input).
using Inputs = std::vector<Value>;

void expect_inputs(Layer const& layer, Inputs const& inputs, size_t count) {
    if (inputs.size() != count)
        refuse_layer(layer, format("{} inputs given where {} are needed", inputs.size(), count));
}

// The one value of a kind that takes one.
Value const& only_input(Layer const& layer, Inputs const& given) {
    expect_inputs(layer, given, 1);
    return given.front();
}

Value input_data(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    int const bits = layer.output_bits();
    if (kernels == Kernels::blocked && !layer.output_signed() && bits <= 8) {  // bytes for the next layer
        if (x->type() == TensorType::uint8 && bits == 8) return x;
        auto const out = Dense::create(TensorType::uint8, x->dimensions(), Layout::c_order);
        std::vector<int32_t> const values = read_all<int32_t>(*ints(x));
        auto* dst = static_cast<uint8_t*>(out->mutable_buffer().data);
        int32_t const top = (1 << bits) - 1;
        for (size_t i = 0; i < values.size(); ++i) dst[i] = static_cast<uint8_t>(std::clamp(values[i], 0, top));
        return out;
    }
    auto const range = ops::detail::int32_range(bits, layer.output_signed());
    return clamped(x, range.lo, range.hi);
}

// The convolution of an input layer over x read as bytes (0..255), padded with pad_value; with
// `stages`, the layer's bias and output stage run in its output loop (see staged).
Value input_convolution(Layer const& layer, Value const& x, uint8_t pad_value, uint32_t kx, uint32_t ky,
                        bool stages, Kernels kernels = Kernels::reference, LayerState* state = nullptr) {
    ConvGeometry const g = conv_geometry(layer);
    auto const filters = ops::linearize_filters(*var(layer, "weights"));
    bool const blocked = kernels == Kernels::blocked && stages && state;
    std::vector<int32_t> clipped;  // x as bytes, unless it is bytes already
    if (!blocked || x->type() != TensorType::uint8) {
        clipped = read_all<int32_t>(*ints(x));
        for (auto& v : clipped) v = std::clamp(v, 0, 255);
    }
    ImageDims const d = image_dims(*x, "input_conv2d");
    Shape const& fs = filters->dimensions();
    ops::detail::check_input_conv2d(d, fs, g.stride_x, g.stride_y, g.top, g.bottom, g.left, g.right, g.out_x, g.out_y,
                                    kx, ky);
    std::vector<int8_t> const w = read_all<int8_t>(*filters);
    Window const window{kx, ky, g.stride_x, g.stride_y, g.left, g.top, g.out_x, g.out_y};
    FilterMatrix const matrix{w.data(), fs[0], 1, fs[1]};
    Shape const shape = d.shape(g.out_x, g.out_y, fs[0]);
    if (blocked) {
        ops::detail::Values const in = clipped.empty() ? values_of(x) : ops::detail::Values{clipped.data(), nullptr};
        Prepared const& ready = prepared(layer, *state);
        return staged_blocked(layer, shape, *ready.stages, [&](BlockSink const& sink, ByteStage const* bytes) {
            ops::detail::convolve_blocked(in, d, pad_value, matrix, window, 32, sink, ops::detail::best_isa(),
                                          &ready.filters, bytes);
        });
    }
    auto run = [&](int32_t* out, PixelStage const& stage) {
        ops::detail::convolve(clipped.data(), d, pad_value, matrix, window, 32, out, stage);
    };
    if (stages) return staged(layer, shape, kernels, run);
    auto const acc = new_int32(shape);
    run(int32_elements(*acc), {});
    return acc;
}

Value input_convolutional(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    int32_t const pad_value = std::clamp(param(layer, "padding_value"), 0, 255);
    LayerParams const& params = *layer.params();
    Value p = input_convolution(layer, x, static_cast<uint8_t>(pad_value), params.get_as<uint32_t>("kernel_width"),
                                params.get_as<uint32_t>("kernel_height"), false);
    return threshold_stage(layer, pooled(layer, p));
}

Value convolutional(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    ConvGeometry const g = conv_geometry(layer);
    auto w = kernel_from_filters_first(*var(layer, "weights"));
    Value p = dense(ops::conv2d_v2(*ints(x), g.stride_x, g.stride_y, g.left, g.top, g.out_x, g.out_y, *w, 32));
    return threshold_stage(layer, pooled(layer, p));
}

Value separable_convolutional(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
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

Value fully_connected(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    auto flat = flattened(layer, x);
    auto w = var(layer, "weights");
    Shape const& ws = w->dimensions();
    auto weights = reshaped(*int32_of(*w), Shape{ws[0], ws[1]});
    Value p = dense(ops::matmul(*flat, *weights, 32, true));
    return with_pixels(threshold_stage(layer, p), dims4(*x).n);
}

Value conv2d(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    ConvGeometry const g = conv_geometry(layer);
    Value const in = input_shifted(layer, x, kernels);
    ImageDims const d = image_dims(*in, "conv2d_v2");
    auto const weights = var(layer, "weights");
    Shape const& ws = ops::detail::conv_weights_dims(*weights, d, "conv2d_v2");
    std::vector<int8_t> storage;
    int8_t const* w = kernels == Kernels::blocked ? weight_bytes(*weights, storage)
                                                   : (storage = read_all<int8_t>(*weights)).data();
    Window const window{ws[0], ws[1], g.stride_x, g.stride_y, g.left, g.top, g.out_x, g.out_y};
    FilterMatrix const matrix{w, ws[3], ws[3], 1};
    Shape const shape = d.shape(g.out_x, g.out_y, ws[3]);
    if (kernels == Kernels::blocked) {
        Prepared const& ready = prepared(layer, state);
        return staged_blocked(layer, shape, *ready.stages, [&](BlockSink const& sink, ByteStage const* bytes) {
            ops::detail::convolve_blocked(values_of(in), d, 0, matrix, window, 32, sink, ops::detail::best_isa(),
                                          &ready.filters, bytes);
        });
    }
    return staged(layer, shape, kernels, [&](int32_t* out, PixelStage const& stage) {
        ops::detail::convolve(int32_elements(*in), d, 0, matrix, window, 32, out, stage);
    });
}

Value input_conv2d(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    std::vector<uint8_t> const pads = read_all<uint8_t>(*var(layer, "padding_value"));
    for (uint8_t p : pads)
        if (p != pads.front())
            refuse_layer(layer, "different padding values per channel have no software implementation");
    uint32_t const k = layer.params()->get_as<uint32_t>("kernel_size");
    return input_convolution(layer, x, pads.front(), k, k, true, kernels, &state);
}

Value depthwise_conv2d(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    ConvGeometry const g = conv_geometry(layer);
    auto w = var(layer, "weights");
    Shape const& ws = w->dimensions();  // (k, k, 1, C)
    auto const weights = reshaped(*w, Shape{ws[0], ws[1], ws[3]});
    Value const in = input_shifted(layer, x, kernels);
    ImageDims const d = image_dims(*in, "depthwise_conv2d");
    Shape const& dws = ops::detail::depthwise_weights_dims(*weights, d, "depthwise_conv2d");
    std::vector<int8_t> const taps = read_all<int8_t>(*weights);
    Window const window{dws[0], dws[1], g.stride_x, g.stride_y, g.left, g.top, g.out_x, g.out_y};
    Shape const shape = d.shape(g.out_x, g.out_y, d.channels);
    if (kernels == Kernels::blocked) {
        Prepared const& ready = prepared(layer, state);
        return staged_blocked(layer, shape, *ready.stages, [&](BlockSink const& sink, ByteStage const* bytes) {
            ops::detail::convolve_depthwise_blocked(values_of(in), d, taps.data(), window, sink,
                                                    ops::detail::best_isa(), &ready.depthwise, bytes);
        });
    }
    return staged(layer, shape, kernels, [&](int32_t* out, PixelStage const& stage) {
        ops::detail::convolve_depthwise(int32_elements(*in), d, taps.data(), window, out, stage);
    });
}

// Depthwise (the layer's row says so): the (k, k, 1, C) weights act on each channel alone.
Value conv2d_transpose(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    bool const depthwise = layer.is_depthwise();
    int32_t const stride = param(layer, "kernel_stride");
    int32_t const k = param(layer, "kernel_size");
    if (stride < 1 || stride > 255)
        refuse_layer(layer, format("a stride of {} has no software implementation", stride));
    int32_t const padding = k > stride ? (k - stride) / 2 : 0;
    Shape const size = layer.output_dimensions();
    auto const w = var(layer, "weights");
    Value const in = input_shifted(layer, x, Kernels::reference);
    ImageDims const d = image_dims(*in, "conv2d_transpose");
    std::shared_ptr<Dense> const weights =
        depthwise ? reshaped(*w, Shape{w->dimensions()[0], w->dimensions()[1], w->dimensions()[3]}) : w->ensure_dense();
    Shape const& ws = depthwise ? ops::detail::depthwise_weights_dims(*weights, d, "conv2d_transpose")
                                : ops::detail::conv_weights_dims(*weights, d, "conv2d_transpose");
    size_t const filters = depthwise ? d.channels : ws[3];
    std::vector<int8_t> const taps = read_all<int8_t>(*weights);
    Window const window{ws[0], ws[1], stride, stride, padding, padding, size[0], size[1]};
    return staged(layer, d.shape(size[0], size[1], filters), Kernels::reference,
                  [&](int32_t* out, PixelStage const& stage) {
        ops::detail::convolve_transpose(int32_elements(*in), d, taps.data(), filters, depthwise, window,
                                        out, stage);
    });
}

Value dense1d(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    auto const weights = var(layer, "weights");
    Shape const& ws = weights->dimensions();
    Dims4 const d = dims4(*x);
    uint64_t const inputs = uint64_t{d.x} * d.y * d.c;
    // The blocked kernels take int8 weights of (inputs, units); anything else runs (and is refused)
    // as below.
    bool const blocked = kernels == Kernels::blocked &&
                         nuvra::detail::ElementTraits<int8_t>::accepts(weights->type()) && ws.rank() == 2 &&
                         ws[0] == inputs;
    if (blocked) {
        ImageDims rows;  // one pixel of `inputs` channels per sample
        rows.samples = d.n;
        rows.x = rows.y = 1;
        rows.channels = narrow_dim(layer, inputs);
        Value const in = input_shifted(layer, x, kernels, true);
        std::vector<int8_t> storage;
        int8_t const* w = weight_bytes(*weights, storage);
        Window const window{1, 1, 1, 1, 0, 0, 1, 1};
        FilterMatrix const matrix{w, ws[1], ws[1], 1};
        Prepared const& ready = prepared(layer, state);
        Shape const shape{d.n, 1, 1, ws[1]};
        return staged_blocked(layer, shape, *ready.stages, [&](BlockSink const& sink, ByteStage const* bytes) {
            ops::detail::convolve_blocked(values_of(in), rows, 0, matrix, window, 32, sink, ops::detail::best_isa(),
                                          &ready.filters, bytes);
        });
    }
    auto flat = flattened(layer, x);
    auto shifted = ops::lshift(*flat, *var(layer, "input_shift"), 32);
    Value acc = dense(ops::matmul(*shifted, *int32_of(*var(layer, "weights")), 32, false));
    return with_pixels(finished(layer, acc, kernels), dims4(*x).n);
}

// The device sees only each input's shift plus output_shift, and so does this run.
Value add(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    expect_inputs(layer, given, 2);
    return dense(ops::add_shifted(*ints(given[0]), *ints(given[1]), *var(layer, "a_shift"), *var(layer, "b_shift"),
                                  *var(layer, "output_shift"), layer.output_bits()));
}

Value concatenate(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    if (given.size() < 2) expect_inputs(layer, given, 2);
    std::vector<std::shared_ptr<Tensor const>> parts;
    for (auto const& v : given) parts.push_back(ints(v));
    return dense(ops::concatenate_last_dim(parts));
}

// Pushes each frame of x into the layer's fifo, which holds the layer's inputs as they come: its
// input bits, signed when its first inbound layer's outputs are (0..255 after an unsigned 8-bit
// layer). Calls `step` with the fifo (int32, (fifo_size, x, y, C)) after each push and joins its
// results.
template <class Step>
Value over_fifo(Layer const& layer, Value const& x, LayerState& state, Step step) {
    Dims4 const d = dims4(*x);
    uint32_t const depth = static_cast<uint32_t>(param(layer, "fifo_size"));
    if (!state.fifo) state.fifo = Dense::create(TensorType::int32, Shape{depth, d.x, d.y, d.c}, Layout::c_order);
    auto const inbounds = layer.inbound_view();
    bool const is_signed = inbounds.empty() || inbounds.front()->output_signed();
    int const bits = std::clamp<int>(layer.input_bits(), 1, 32);
    auto const range = ops::detail::int32_range(bits, is_signed);
    std::vector<int32_t> const frames = read_all<int32_t>(*ints(x));
    size_t const frame = size_t{d.x} * d.y * d.c;
    std::vector<Value> outputs;
    for (size_t s = 0; s < d.n; ++s) {
        int32_t const* const entry = frames.data() + s * frame;
        for (size_t i = 0; i < frame; ++i)
            if (entry[i] < range.lo || entry[i] > range.hi)
                refuse_layer(layer, format("the value {} does not fit the fifo's {}-bit {} values", entry[i], bits,
                                           is_signed ? "signed" : "unsigned"));
        ops::fifo_op(*state.fifo, *Dense::copy(entry, frame * sizeof(int32_t), TensorType::int32,
                                               Shape{d.x, d.y, d.c}, Layout::c_order));
        outputs.push_back(step(state.fifo));
    }
    return join_samples(outputs);
}

Value buffer_temp_conv(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
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
        return finished(layer, acc);
    });
}

Value depthwise_buffer_temp_conv(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    Dims4 const d = dims4(*x);
    auto w = var(layer, "weights");  // (1, 1, T, C)
    Shape const& ws = w->dimensions();
    auto taps = reshaped(*w, Shape{ws[2], ws[3]});
    return over_fifo(layer, x, state, [&](std::shared_ptr<Dense> const& fifo) {
        auto shifted = ops::lshift(*fifo, *var(layer, "input_shift"), 32);
        auto acc = reshaped(*ops::depthwise_like_conv(*shifted, *taps, 32), Shape{1, d.x, d.y, d.c});
        return finished(layer, acc);
    });
}

Value stateful_recurrent(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    if (param(layer, "subsample") != 1)
        refuse_layer(layer, "a subsample rate other than 1 has no software implementation");
    if (layer.has_activation_type(ActivationType::LUT))
        refuse_layer(layer, "a LUT activation has no software implementation (the TNP-R has no look-up table)");
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
        Value out = finished(layer, acc);
        outputs.push_back(reshaped(*out, Shape{1, d.x, d.y, out->dimensions()[1]}));
    }
    return join_samples(outputs);
}

Value quantizer(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    Value const& x = only_input(layer, given);
    Dims4 const d = dims4(*x);
    std::vector<float> const scales = read_all<float>(*var(layer, "scales"));
    std::vector<uint8_t> const zero_points = read_all<uint8_t>(*var(layer, "zero_points"));
    if (scales.size() != d.c || zero_points.size() != d.c)
        refuse_layer(layer, "scales and zero_points must hold one value per channel");
    auto const range = ops::detail::int32_range(layer.output_bits(), layer.output_signed());
    std::vector<float> values;
    if (x->type() == TensorType::float32) {
        values = read_all<float>(*x);
    } else {
        std::vector<int32_t> const v = read_all<int32_t>(*ints(x));
        values.assign(v.begin(), v.end());
    }
    if (std::string const refusal = nan_scales_refusal(layer); !refusal.empty()) throw std::invalid_argument(refusal);
    std::vector<int32_t> out(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        size_t const c = i % d.c;
        float const scaled = values[i] * scales[c];
        if (std::isnan(scaled))  // an infinity times 0
            throw std::invalid_argument(layer_text(
                layer, format("variable 'scales' holds {} at channel {}: {} x {} is NaN, which has no integer value.",
                              scales[c], c, values[i], scales[c])));
        int64_t const q = int64_t{round_to_int32(scaled)} + zero_points[c];
        out[i] = static_cast<int32_t>(std::clamp(q, range.lo, range.hi));
    }
    return make_dense(TensorType::int32, x->dimensions(), out);
}

Value dequantizer(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    return dense(ops::dequantize(*ints(only_input(layer, given)), *var(layer, "scales")));
}

[[noreturn]] Value no_software(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels) {
    refuse_layer(layer, "this kind has no software implementation");
}

// ---- the blocked kinds' weights and output stage, packed ahead of their runs ----

// Weights (kx, ky, C, F).
void pack_conv2d(Layer const& layer, Prepared& p) {
    Shape const& ws = p.weights->dimensions();
    if (ws.rank() != 4) return;
    std::vector<int8_t> storage;
    FilterMatrix const matrix{weight_bytes(*p.weights, storage), ws[3], ws[3], 1};
    p.filters = ops::detail::pack_filters(matrix, size_t{ws[0]} * ws[1] * ws[2]);
    p.stages.emplace(layer, ws[3]);
}

// Weights (inputs, units).
void pack_dense1d(Layer const& layer, Prepared& p) {
    Shape const& ws = p.weights->dimensions();
    if (ws.rank() != 2) return;
    std::vector<int8_t> storage;
    FilterMatrix const matrix{weight_bytes(*p.weights, storage), ws[1], ws[1], 1};
    p.filters = ops::detail::pack_filters(matrix, ws[0]);
    p.stages.emplace(layer, ws[1]);
}

// Weights as one row per filter.
void pack_input_conv2d(Layer const& layer, Prepared& p) {
    auto const filters = ops::linearize_filters(*p.weights);
    Shape const& fs = filters->dimensions();
    std::vector<int8_t> const w = read_all<int8_t>(*filters);
    p.filters = ops::detail::pack_filters(FilterMatrix{w.data(), fs[0], 1, fs[1]}, fs[1]);
    p.stages.emplace(layer, fs[0]);
}

// Weights (k, k, 1, C).
void pack_depthwise_conv2d(Layer const& layer, Prepared& p) {
    Shape const& ws = p.weights->dimensions();
    if (ws.rank() != 4) return;
    std::vector<int8_t> const taps = read_all<int8_t>(*p.weights);
    p.depthwise = ops::detail::pack_depthwise(taps.data(), ws[0], ws[1], ws[3]);
    p.stages.emplace(layer, ws[3]);
}

// ---- each kind's run: the arithmetic column of its row ----

// A kind's software arithmetic: its forward over a group of samples (refusing the wrong number of
// inputs), and for a kind on the blocked kernels the packing of its weights and output stage that
// the samples and threads of a run share.
struct SoftwareRun {
    Value (*forward)(Layer const& layer, Inputs const& given, LayerState& state, Kernels kernels);
    void (*pack)(Layer const& layer, Prepared& prepared) = nullptr;
};

constexpr SoftwareRun no_software_run{no_software};
constexpr SoftwareRun input_data_run{input_data};
constexpr SoftwareRun input_convolutional_run{input_convolutional};
constexpr SoftwareRun fully_connected_run{fully_connected};
constexpr SoftwareRun convolutional_run{convolutional};
constexpr SoftwareRun separable_convolutional_run{separable_convolutional};
constexpr SoftwareRun add_run{add};
constexpr SoftwareRun concatenate_run{concatenate};
constexpr SoftwareRun conv2d_run{conv2d, pack_conv2d};
constexpr SoftwareRun input_conv2d_run{input_conv2d, pack_input_conv2d};
constexpr SoftwareRun dw_conv2d_run{depthwise_conv2d, pack_depthwise_conv2d};
constexpr SoftwareRun conv2d_transpose_run{conv2d_transpose};
constexpr SoftwareRun dequantizer_run{dequantizer};
constexpr SoftwareRun buffer_temp_conv_run{buffer_temp_conv};
constexpr SoftwareRun dw_buffer_temp_conv_run{depthwise_buffer_temp_conv};
constexpr SoftwareRun stateful_recurrent_run{stateful_recurrent};
constexpr SoftwareRun dense1d_run{dense1d, pack_dense1d};
constexpr SoftwareRun quantizer_run{quantizer};

SoftwareRun const& software_run(Layer const& layer) {
#define NUVRA_KIND_RUN(kind, value, generation, component, placement, filtering, inbound, state, cls, keys, outputs, \
                       run)                                                                                         \
    run,
    static constexpr SoftwareRun runs[] = {NUVRA_LAYER_KINDS(NUVRA_KIND_RUN)};
#undef NUVRA_KIND_RUN
    return runs[kind_index(layer.params()->layer_type())];
}

std::shared_ptr<Prepared const> make_prepared(Layer const& layer) {
    auto p = std::make_shared<Prepared>();
    p->weights = var(layer, "weights");
    if (auto const pack = software_run(layer).pack) pack(layer, *p);
    return p;
}

}  // namespace

void prepare_layer(Layer const& layer, LayerState& state) {
    if (software_run(layer).pack == nullptr) return;
    try {
        state.prepared = make_prepared(layer);
    } catch (std::exception const&) {
        // The layer refuses its variables when it runs.
    }
}

void refuse_layer(Layer const& layer, std::string const& reason) {
    throw std::runtime_error(layer_text(layer, reason));
}

void check_variables(Layer const& layer) {
    std::string const misfit = variable_misfit(layer);
    if (!misfit.empty()) throw std::invalid_argument(layer_text(layer, misfit));
}

void check_run_sizes(Layer const& layer) {
    // The sizes whose 0 leaves a layer no weights, state or outputs to compute.
    for (char const* key : {"filters", "units", "stateful_channels", "output_channels"})
        if (layer.params()->has(key) && layer.params()->get(key) == 0)
            throw std::invalid_argument(
                layer_text(layer, format("parameter '{}' is 0: the layer has nothing to compute", key)));
    auto const* has = dynamic_cast<HasConvParams const*>(&layer);
    ConvCalculatedParams const* block = has ? has->conv_params() : nullptr;
    auto const* pools = dynamic_cast<HasPoolParams const*>(&layer);
    PoolingCalculatedParams const* pool = pools ? pools->pool_params() : nullptr;
    auto const refuse_empty = [&](char const* what, uint32_t x, uint32_t y, char const* window, char const* of) {
        if (x == 0 || y == 0)
            throw std::invalid_argument(layer_text(
                layer, format("the {} output of {} x {} is empty: the {} does not fit {}", what, x, y, window, of)));
    };
    if (block) refuse_empty("convolution", block->output_width, block->output_height, "kernel", "the input");
    if (block && pool)
        refuse_empty("pooling", pool->output_width, pool->output_height, "pool", "the convolution output");
    Shape out;
    try {
        out = layer.output_dimensions();
    } catch (std::runtime_error const& e) {
        throw std::invalid_argument(layer_text(layer, format("its output cannot run in software ({})", e.what())));
    }
    check_run_size(layer, "output", out.to_vector());
    if (block)
        check_run_size(layer, "convolution output", {block->output_width, block->output_height, out[out.rank() - 1]});
    KindState const state = layer_kind(layer.params()->layer_type()).state;
    if (state == KindState::none) return;
    Shape const in = layer.input_dimensions().front();
    uint32_t const x = in.rank() > 0 ? in[0] : 1, y = in.rank() > 1 ? in[1] : 1, c = in.rank() > 2 ? in[2] : 1;
    if (state == KindState::fifo)
        check_run_size(layer, "fifo", {static_cast<uint32_t>(param(layer, "fifo_size")), x, y, c});
    else
        check_run_size(layer, "state", {x, y, static_cast<uint32_t>(param(layer, "stateful_channels"))});
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
        std::string const model = format("{}, {}, {}", input_shape[0], input_shape[1], input_shape[2]);
        // Fewer dimensions are most often a sample without its leading sample count.
        if (s.rank() < 4)
            throw std::invalid_argument(format("Inputs of shape ({}) do not fit the model's input ({}): inputs must be "
                                               "4-D with the samples first, (samples, {}).",
                                               given, model, model));
        throw std::invalid_argument(format("Inputs of shape ({}) do not fit the model's input ({}).", given, model));
    }
    return Shape{s[0], input_shape[0], input_shape[1], input_shape[2]};
}

Value model_input(Tensor const& inputs, Shape const& input_shape) {
    Shape const shape = model_input_shape(inputs.dimensions(), input_shape);
    if (inputs.type() != TensorType::float32) return reshaped(*int32_of(inputs), shape);
    Value const values = reshaped(inputs, shape);
    refuse_nan_input(*values, shape);
    return values;
}

void refuse_nan_input(Tensor const& inputs, Shape const& shape) {
    if (inputs.type() != TensorType::float32) return;
    // A NaN has no integer value: each layer that needs integers would read it as some number.
    size_t const at = first_nan(inputs);
    if (at == inputs.size()) return;
    size_t const channels = shape[3], row = size_t{shape[2]} * channels;
    size_t const sample = size_t{shape[1]} * row;
    throw std::invalid_argument(format("Input sample {} holds NaN at x {}, y {}, channel {}: NaN has no integer value.",
                                       at / sample, at % sample / row, at % row / channels, at % channels));
}

Value model_bytes(Tensor const& inputs, Shape const& shape, uint32_t first, uint32_t count) {
    size_t const per = size_t{shape[1]} * shape[2] * shape[3];
    Shape const part{count, shape[1], shape[2], shape[3]};
    if (ops::detail::is_c_ordered(inputs)) {
        ops::detail::check_extent(inputs, 1, inputs.buffer().bytes);
        auto const* src = static_cast<uint8_t const*>(inputs.buffer().data);
        return Dense::copy(src + size_t{first} * per, size_t{count} * per, TensorType::uint8, part, Layout::c_order);
    }
    std::vector<uint8_t> const bytes = ops::detail::row_major_bytes(inputs);
    return Dense::copy(bytes.data() + size_t{first} * per, size_t{count} * per, TensorType::uint8, part,
                       Layout::c_order);
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
    auto const act_step = var(layer, "act_step");
    if (size_t const nan = first_nan(*act_step); nan < act_step->size()) refuse_nan(layer, "variable 'act_step'", nan);
    std::vector<int32_t> const t16 = read_all<int32_t>(*get_threshold_t16_from_act_steps(*act_step));
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

Value run_layer(Layer const& layer, std::vector<Value> const& in, LayerState& state, Kernels kernels) {
    // Every kind turns the float values it reads (of a layer that dequantizes) into integers, the
    // Quantizer after scaling them.
    for (Value const& v : in) {
        if (v->type() != TensorType::float32) continue;
        if (size_t const nan = first_nan(*v); nan < v->size()) refuse_nan(layer, "its input", nan % dims4(*v).c);
    }
    return software_run(layer).forward(layer, in, state, kernels);
}

}  // namespace nuvra::inference

namespace nuvra {

std::string nan_scales_refusal(Layer const& layer) {
    if (layer.type() != LayerType::Quantizer) return {};
    std::shared_ptr<Tensor> const scales = inference::var(layer, "scales");
    if (scales->type() != TensorType::float32) return {};
    size_t const at = inference::first_nan(*scales);
    return at < scales->size() ? inference::nan_text(layer, "variable 'scales'", at) : std::string();
}

}  // namespace nuvra
