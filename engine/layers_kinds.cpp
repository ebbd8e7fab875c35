// Each layer kind's rules: its parameters (a list per kind: REQ a key that must be given, OPT a
// key that gets its default, GIVEN a key kept only when given) and what a layer of the kind
// computes when it is built (its outputs function). The row of engine/layer_kinds.h names both.
//
// Output shapes (the convolution and pooling arithmetic: engine/layers.h): transposed kinds
// n * kernel_stride; fully connected kinds (1, 1, units) over I = width * height * channels
// inputs; Add the common shape of its two inputs; Concatenate the common width and height,
// channels summed; StatefulRecurrent (width, height, output_channels), "subsample" being the rate
// at which the TNP-R emits outputs, not a change of the frame shape; WispPostProcessing (width,
// 1, 1); InputData, Dequantizer, Quantizer and Unknown their input shape.
//
// Bits. input_bits(): the first inbound layer's output_bits() (InputData: "input_bits";
// InputConvolutional: 8, the HRC reads bytes; a Quantizer given an input shape: its
// "output_bits"). output_bits(): first generation "act_bits" with an activation, else 32
// (potentials; their outputs are scaled by "act_step" and shifted by "threshold"); second and
// third generation and Add "output_bits"; Quantizer "output_bits";
// Concatenate the first inbound's; Dequantizer 32 (float values); WispPostProcessing 8.
// output_signed(): InputData "input_signed"; Quantizer "output_signed"; Concatenate when any
// inbound is signed; WispPostProcessing false; Add and Dequantizer true; the other kinds false
// with an activation and true without.
//
// macs (64-bit): convolutions out_w * out_h (before pooling) * k_x * k_y * C * F (depthwise: * C
// instead of * C * F; separable: depthwise plus out_w * out_h * C * F); transposed: in_w * in_h *
// k * k * C * F (depthwise: * C); fully connected: I * units; BufferTempConv w * h * F *
// fifo_size * C; DepthwiseBufferTempConv w * h * C * fifo_size; StatefulRecurrent w * h * (S * C
// + O * S); every other kind 0.
//
// Variables created when the layer is built (zero-filled, layout 0; a name the layer already
// holds is kept as it is). F filters (or units), C input channels, S state channels, O output
// channels, I flattened inputs, k kernel size:
//   InputConvolutional  weights int8 (kx, ky, C, F); act_step float32 (F); threshold int32 (F)
//   FullyConnected      weights int8 (F, I, 1, 1); threshold int32, act_step float32,
//                       threshold_learning int32, thswap int32, each (F)
//   Convolutional       weights int8 (F, C, ky, kx); act_step float32 (F); threshold int32 (F)
//   SeparableConv.      weights int8 (1, C, ky, kx); weights_pw int8 (F, C, 1, 1); act_step,
//                       threshold as Convolutional
//   Add                 a_shift uint8, b_shift uint8, output_shift int8, each (C)
//   Conv2D, Conv2DTranspose
//                       weights int8 (k, k, C, F); input_shift uint8 (C); bias int8,
//                       output_shift int8, activation_shift int8, bias_shift uint8,
//                       output_scales uint8, max_value uint8, max_value_shift uint8,
//                       activation_scales uint8, each (F); with a LUT activation lut_values
//                       int32 (2048)
//   DepthwiseConv2D(Transpose)  as Conv2D with weights int8 (k, k, 1, C) and F = C
//   InputConv2D         weights int8 (k, k, C, F); padding_value uint8 (C); output_shift int8,
//                       output_scales uint8, bias_shift uint8, bias uint8, each (F); with a LUT
//                       activation activation_shift int8 (F), activation_scales uint8 (F),
//                       lut_values int32 (2048)
//   Dequantizer         scales float32 (C)
//   BufferTempConv      weights int8 (1, 1, fifo_size * C, F); input_shift uint8 (C); the
//                       per-filter variables of Conv2D
//   DepthwiseBufferTempConv  weights int8 (1, 1, fifo_size, C); the rest as BufferTempConv, F = C
//   Dense1D             weights int8 (I, F); input_shift uint8 (I); bias int8, bias_shift uint8,
//                       output_scales uint8, output_shift int8, each (F); with a LUT activation
//                       activation_shift int8 (F), activation_scales uint8 (F), lut_values int32
//                       (2048)
//   StatefulRecurrent   in_proj int8 (S, C); out_proj int8 (O, S); A_real int16, A_imag int16,
//                       internal_state_outputs_shift int8, new_state_scale uint8,
//                       new_state_shift int8, each (S); output_scales uint8, output_shift int8,
//                       bias int8, bias_shift uint8, each (O); input_shift uint8 (C)
//   Quantizer           scales float32 (C); zero_points uint8 (C)
//   WispPostProcessing  input_scales uint8 (1); input_shift int8 (1); threshold uint16 (1)
// Optional variables (max_value and max_value_shift of InputConv2D, Dense1D, StatefulRecurrent,
// one per filter or output channel) are not created; a user's value adds them (engine/layers.h,
// "Optional variables").
#include <algorithm>
#include <limits>

#include "engine/layer_geometry.h"
#include "engine/layers.h"
#include "engine/layers_internal.h"
#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra {

namespace {

using Outputs = LayerImpl::Outputs;
using Inputs = LayerImpl::Inputs;
using Spec = LayerImpl::VariableSpec;
using Fit = LayerImpl::Fit;

constexpr uint32_t kLutEntries = 2048;

// Dimension i of a shape, 1 past its rank.
uint32_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 1; }

// The value of a parameter that Layer::create guaranteed (given or defaulted).
int32_t param(LayerImpl const& layer, char const* key) { return layer.params()->get(key); }

uint32_t count(int32_t value) { return value > 0 ? static_cast<uint32_t>(value) : 0u; }

uint8_t bits_of(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// The first-generation convolution and pooling settings; a negative pooling stride is the pool
// size of its axis.
ConvPoolSpec v1_spec(LayerParams const& p) {
    ConvPoolSpec spec;
    spec.kernel_x = count(p.get("kernel_width"));
    spec.kernel_y = count(p.get("kernel_height"));
    spec.stride_x = count(p.get("stride_x"));
    spec.stride_y = count(p.get("stride_y"));
    spec.padding = static_cast<Padding>(p.get("padding"));
    spec.pool_type = static_cast<PoolType>(p.get("pool_type"));
    if (spec.pool_type == PoolType::NoPooling) return spec;
    int32_t const width = p.get("pooling_width"), height = p.get("pooling_height");
    spec.global_pool = width == -1;
    if (spec.global_pool) return spec;
    spec.pool_x = count(width);
    spec.pool_y = height == -1 ? spec.pool_x : count(height);
    int32_t const sx = p.get("pooling_stride_x"), sy = p.get("pooling_stride_y");
    spec.pool_stride_x = sx < 0 ? spec.pool_x : count(sx);
    spec.pool_stride_y = sy < 0 ? spec.pool_y : count(sy);
    return spec;
}

// The second-generation settings: square kernel and pooling.
ConvPoolSpec v2_spec(LayerParams const& p) {
    ConvPoolSpec spec;
    spec.kernel_x = spec.kernel_y = count(p.get("kernel_size"));
    spec.stride_x = spec.stride_y = count(p.get("kernel_stride"));
    spec.padding = static_cast<Padding>(p.get("padding"));
    spec.pool_type = static_cast<PoolType>(p.get("pool_type"));
    if (spec.pool_type == PoolType::NoPooling) return spec;
    int32_t const size = p.get("pool_size");
    spec.global_pool = size == -1;
    if (spec.global_pool) return spec;
    spec.pool_x = spec.pool_y = count(size);
    spec.pool_stride_x = spec.pool_stride_y = count(p.get("pool_stride"));
    return spec;
}

// Refuses pooling strides that do not fit the block's signed bytes (a first-generation stride
// taken from a large pool size).
void check_pool_strides(LayerImpl const& layer, ConvPoolSpec const& spec) {
    if (spec.pool_type == PoolType::NoPooling || spec.global_pool) return;
    if (spec.pool_stride_x > 127 || spec.pool_stride_y > 127)
        throw std::invalid_argument(
            format("Layer '{}': a pooling stride must be at most 127 (got {} x {}).", layer.get_name(),
                   spec.pool_stride_x, spec.pool_stride_y));
}

// The convolution and pooling blocks with the output shape (pooled width, rows, filters).
void set_conv_outputs(Outputs& out, ConvPoolGeometry const& g, uint32_t filters) {
    out.conv = g.conv;
    out.pool = g.pool;
    out.dims = {g.pool.output_width, g.pool.output_height, filters};
}

// The per-filter variables of the second-generation CNP and TNP-B kinds.
void add_cnp_variables(Outputs& out, uint32_t channels, uint32_t filters, bool lut) {
    out.variables.push_back({"input_shift", TensorType::uint8, {channels}});
    out.variables.push_back({"bias", TensorType::int8, {filters}});
    out.variables.push_back({"output_shift", TensorType::int8, {filters}});
    out.variables.push_back({"activation_shift", TensorType::int8, {filters}});
    out.variables.push_back({"bias_shift", TensorType::uint8, {filters}});
    out.variables.push_back({"output_scales", TensorType::uint8, {filters}});
    out.variables.push_back({"max_value", TensorType::uint8, {filters}});
    out.variables.push_back({"max_value_shift", TensorType::uint8, {filters}});
    out.variables.push_back({"activation_scales", TensorType::uint8, {filters}});
    if (lut) out.variables.push_back({"lut_values", TensorType::int32, {kLutEntries}});
}

// The look-up table of a LUT activation and the scales and shifts that index it, for the kinds
// whose per-filter variables do not hold them already.
void add_lut_variables(Outputs& out, uint32_t filters) {
    out.variables.push_back({"activation_shift", TensorType::int8, {filters}});
    out.variables.push_back({"activation_scales", TensorType::uint8, {filters}});
    out.variables.push_back({"lut_values", TensorType::int32, {kLutEntries}});
}

// The ReLU ceilings of the kinds that do not create them: checked when they are set.
void add_optional_max_values(Outputs& out, uint32_t filters) {
    out.variables.push_back({"max_value", TensorType::uint8, {filters}, Fit::count, true});
    out.variables.push_back({"max_value_shift", TensorType::uint8, {filters}, Fit::count, true});
}

// The output bits and sign of a kind whose outputs are unsigned after an activation.
void set_activation_bits(Outputs& out, LayerImpl const& layer, uint8_t bits) {
    out.bits = bits;
    out.is_signed = !layer.has_activation();
}

// A product that must fit one 32-bit dimension.
uint32_t checked_dim(LayerImpl const& layer, uint64_t value, char const* what) {
    if (!fits_in<uint32_t>(value))
        throw std::invalid_argument(
            format("Layer '{}': the {} ({}) does not fit 32 bits.", layer.get_name(), what, value));
    return static_cast<uint32_t>(value);
}

// The flattened input count of the fully connected kinds.
uint32_t flat_inputs(LayerImpl const& layer, Shape const& shape) {
    uint64_t const n = mul_sat({dim(shape, 0), dim(shape, 1), dim(shape, 2)});
    if (n > max_shape_size)
        throw std::invalid_argument(format("Layer '{}': {} inputs are more than a tensor can hold ({}).",
                                           layer.get_name(), n, max_shape_size));
    return static_cast<uint32_t>(n);
}

// The filters of a depthwise kind: the input channels; a "filters" parameter must agree.
uint32_t depthwise_filters(LayerImpl const& layer, uint32_t channels) {
    LayerParams const& p = *layer.params();
    if (p.has("filters") && p.get("filters") != static_cast<int64_t>(channels))
        throw std::invalid_argument(format("Layer '{}': a depthwise layer has as many filters as input channels ({}), "
                                           "not {}.",
                                           layer.get_name(), channels, p.get("filters")));
    return channels;
}

// ---- Parameters ----

constexpr int32_t kNoDefault = 0;

#define REQ(key, range) KeySpec{key, Need::required, kNoDefault, Range::range}
#define OPT(key, value, range) KeySpec{key, Need::defaulted, value, Range::range}
#define GIVEN(key, range) KeySpec{key, Need::given, kNoDefault, Range::range}
#define SHAPE(key) KeySpec{key, Need::shape, kNoDefault, Range::Positive}

// The kinds without parameters.
constexpr std::span<KeySpec const> no_keys;
constexpr KeySpec input_data_keys[] = {
    REQ("input_width", Positive), REQ("input_height", Positive), REQ("input_channels", Positive),
    OPT("input_bits", 8, Bits), OPT("input_signed", 0, Flag)};
constexpr KeySpec input_conv_keys[] = {
    REQ("input_width", Positive),      REQ("input_height", Positive),     REQ("input_channels", Positive),
    REQ("kernel_width", Positive),     REQ("kernel_height", Positive),    REQ("filters", Count),
    OPT("stride_x", 1, Positive),      OPT("stride_y", 1, Positive),      OPT("padding", 0, Enum3),
    OPT("padding_value", 0, Any),      OPT("weights_bits", 4, Any),       OPT("activation", 0, Enum3),
    OPT("act_bits", 4, Any),           OPT("pool_type", 0, Enum3),        OPT("pooling_width", 1, PoolSize),
    OPT("pooling_height", 1, PoolSize), OPT("pooling_stride_x", -1, PoolStrideV1),
    OPT("pooling_stride_y", -1, PoolStrideV1)};
constexpr KeySpec fully_connected_keys[] = {
    REQ("units", Count), OPT("weights_bits", 4, Any), OPT("activation", 0, Enum3), OPT("act_bits", 4, Any)};
// The first-generation convolutions, standard and separable. Their pooling is "pooling_width" and
// "pooling_height"; a given "pool_size" is the pool size the memory sizer gives the NP split of
// each share, and a given "fifo_size" goes to the input-fit tests of the split search.
constexpr KeySpec v1_conv_keys[] = {
    REQ("kernel_width", Positive),     REQ("kernel_height", Positive), REQ("filters", Count),
    OPT("stride_x", 1, Positive),      OPT("stride_y", 1, Positive),   OPT("padding", 0, Enum3),
    OPT("weights_bits", 4, Any),       OPT("activation", 0, Enum3),    OPT("act_bits", 4, Any),
    OPT("pool_type", 0, Enum3),        OPT("pooling_width", 1, PoolSize), OPT("pooling_height", 1, PoolSize),
    OPT("pooling_stride_x", -1, PoolStrideV1), OPT("pooling_stride_y", -1, PoolStrideV1),
    GIVEN("pool_size", PoolSize),      GIVEN("fifo_size", FifoOrNone)};
constexpr KeySpec add_keys[] = {OPT("output_bits", 8, Bits)};
// The second-generation convolutions, on the HRC and on a CNP; a pooling stride left out follows
// the pool size (1 when the pool size is -1).
constexpr KeySpec input_conv2d_keys[] = {
    REQ("kernel_size", Positive), REQ("filters", Count),    OPT("kernel_stride", 1, Positive),
    OPT("padding", 0, Enum3),     OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3),
    OPT("output_bits", 8, Bits),  OPT("pool_type", 0, Enum3), OPT("pool_size", 1, PoolSize),
    OPT("pool_stride", 1, PoolStride)};
// A CNP has no FIFO: a given "fifo_size" of the split kinds only goes to the input-fit tests of
// the split search, as a TNP-B's does.
constexpr KeySpec conv2d_keys[] = {
    REQ("kernel_size", Positive), REQ("filters", Count),    OPT("kernel_stride", 1, Positive),
    OPT("padding", 0, Enum3),     OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3),
    OPT("output_bits", 8, Bits),  OPT("pool_type", 0, Enum3), OPT("pool_size", 1, PoolSize),
    OPT("pool_stride", 1, PoolStride), GIVEN("fifo_size", FifoOrNone)};
// The depthwise kinds have as many filters as input channels; "filters", when given, must say so.
constexpr KeySpec dw_conv2d_keys[] = {
    REQ("kernel_size", Positive), OPT("kernel_stride", 1, Positive), OPT("padding", 0, Enum3),
    OPT("weights_bits", 8, Any),  OPT("activation", 0, Enum3),       OPT("output_bits", 8, Bits),
    OPT("pool_type", 0, Enum3),   OPT("pool_size", 1, PoolSize),     OPT("pool_stride", 1, PoolStride),
    GIVEN("filters", Count),      GIVEN("fifo_size", FifoOrNone)};
constexpr KeySpec conv2d_transpose_keys[] = {
    REQ("kernel_size", Positive), REQ("filters", Count), OPT("kernel_stride", 2, Positive),
    OPT("weights_bits", 8, Any),  OPT("activation", 0, Enum3), OPT("output_bits", 8, Bits)};
constexpr KeySpec dw_conv2d_transpose_keys[] = {
    REQ("kernel_size", Positive), OPT("kernel_stride", 2, Positive), OPT("weights_bits", 8, Any),
    OPT("activation", 0, Enum3),  OPT("output_bits", 8, Bits),       GIVEN("filters", Count)};
// The TNP-B kinds do not pool: a given "pool_type" and "pool_size" are the pooling the split of
// the layer's input lines its chunks up with (on the pool size, for max pooling), nothing more.
constexpr KeySpec buffer_temp_conv_keys[] = {
    REQ("fifo_size", Fifo),         REQ("filters", Count),        OPT("weights_bits", 8, Any),
    OPT("activation", 0, Enum3),    OPT("output_bits", 8, Bits),  GIVEN("pool_type", Enum3),
    GIVEN("pool_size", PoolSize)};
constexpr KeySpec dw_buffer_temp_conv_keys[] = {
    REQ("fifo_size", Fifo),         OPT("weights_bits", 8, Any),  OPT("activation", 0, Enum3),
    OPT("output_bits", 8, Bits),    GIVEN("filters", Count),      GIVEN("pool_type", Enum3),
    GIVEN("pool_size", PoolSize)};
constexpr KeySpec dense1d_keys[] = {
    REQ("units", Count), OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3), OPT("output_bits", 8, Bits)};
constexpr KeySpec stateful_recurrent_keys[] = {
    REQ("stateful_channels", Count), REQ("output_channels", Count), OPT("subsample", 1, Count),
    OPT("activation", 0, Enum3), OPT("output_bits", 8, Bits)};
// Given an input shape, a Quantizer is an input layer: it quantizes the model's samples, and the
// device receives them at its output bits and sign.
constexpr KeySpec quantizer_keys[] = {
    OPT("output_bits", 8, Bits), OPT("output_signed", 1, Flag), OPT("channels_first", 0, Flag),
    SHAPE("input_width"),        SHAPE("input_height"),         SHAPE("input_channels")};

#undef REQ
#undef OPT
#undef GIVEN
#undef SHAPE

// ---- First generation ----

Outputs input_conv_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v1_spec(*layer.params());
    check_pool_strides(layer, spec);
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters"));
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, layer, layer.has_activation() ? bits_of(param(layer, "act_bits")) : 32);
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, spec.kernel_x, spec.kernel_y, c, f});
    out.variables = {{"weights", TensorType::int8, {spec.kernel_x, spec.kernel_y, c, f}, Fit::shape},
                     {"act_step", TensorType::float32, {f}},
                     {"threshold", TensorType::int32, {f}}};
    return out;
}

Outputs fully_connected_outputs(LayerImpl const& layer, Inputs const& in) {
    uint32_t const inputs = flat_inputs(layer, in.shapes.front()), units = count(param(layer, "units"));
    Outputs out;
    out.dims = {1, 1, units};
    set_activation_bits(out, layer, layer.has_activation() ? bits_of(param(layer, "act_bits")) : 32);
    out.macs = mul_sat({inputs, units});
    out.variables = {{"weights", TensorType::int8, {units, inputs, 1, 1}, Fit::shape},
                     {"threshold", TensorType::int32, {units}},
                     {"act_step", TensorType::float32, {units}},
                     {"threshold_learning", TensorType::int32, {units}},
                     {"thswap", TensorType::int32, {units}}};
    return out;
}

Outputs convolutional_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v1_spec(*layer.params());
    check_pool_strides(layer, spec);
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters"));
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, layer, layer.has_activation() ? bits_of(param(layer, "act_bits")) : 32);
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, spec.kernel_x, spec.kernel_y, c, f});
    out.variables = {{"weights", TensorType::int8, {f, c, spec.kernel_y, spec.kernel_x}, Fit::shape},
                     {"act_step", TensorType::float32, {f}},
                     {"threshold", TensorType::int32, {f}}};
    return out;
}

Outputs separable_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v1_spec(*layer.params());
    check_pool_strides(layer, spec);
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters"));
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, layer, layer.has_activation() ? bits_of(param(layer, "act_bits")) : 32);
    uint64_t const pixels = mul_sat({g.conv.output_width, g.conv.output_height});
    uint64_t const depthwise = mul_sat({pixels, spec.kernel_x, spec.kernel_y, c});
    uint64_t const pointwise = mul_sat({pixels, c, f});
    out.macs = depthwise > std::numeric_limits<uint64_t>::max() - pointwise ? std::numeric_limits<uint64_t>::max()
                                                                             : depthwise + pointwise;
    out.variables = {{"weights", TensorType::int8, {1, c, spec.kernel_y, spec.kernel_x}, Fit::shape},
                     {"weights_pw", TensorType::int8, {f, c, 1, 1}, Fit::shape},
                     {"act_step", TensorType::float32, {f}},
                     {"threshold", TensorType::int32, {f}}};
    return out;
}

// ---- Second generation ----

Outputs add_outputs(LayerImpl const& layer, Inputs const& in) {
    if (!(in.shapes[0] == in.shapes[1])) layer.refuse("the two inputs of an Add layer must have the same shape.");
    uint32_t const c = dim(in.shapes[0], 2);
    Outputs out;
    out.dims = in.shapes[0].to_vector();
    out.bits = bits_of(param(layer, "output_bits"));
    out.is_signed = true;
    out.variables = {{"a_shift", TensorType::uint8, {c}},
                     {"b_shift", TensorType::uint8, {c}},
                     {"output_shift", TensorType::int8, {c}}};
    return out;
}

Outputs concatenate_outputs(LayerImpl const& layer, Inputs const& in) {
    uint32_t const w = dim(in.shapes[0], 0), h = dim(in.shapes[0], 1);
    uint64_t channels = 0;
    for (auto const& shape : in.shapes) {
        if (dim(shape, 0) != w || dim(shape, 1) != h)
            layer.refuse("the inputs of a Concatenate layer must have the same width and height.");
        channels += dim(shape, 2);
    }
    Outputs out;
    out.dims = {w, h, checked_dim(layer, channels, "channel count")};
    out.bits = in.bits;
    out.is_signed = in.any_signed;
    return out;
}

Outputs conv2d_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v2_spec(*layer.params());
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters")), k = spec.kernel_x;
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, k, k, c, f});
    out.variables = {{"weights", TensorType::int8, {k, k, c, f}, Fit::shape}};
    add_cnp_variables(out, c, f, layer.has_activation_type(ActivationType::LUT));
    return out;
}

Outputs input_conv2d_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v2_spec(*layer.params());
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters")), k = spec.kernel_x;
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, k, k, c, f});
    out.variables = {{"weights", TensorType::int8, {k, k, c, f}, Fit::shape},
                     {"padding_value", TensorType::uint8, {c}},
                     {"output_shift", TensorType::int8, {f}},
                     {"output_scales", TensorType::uint8, {f}},
                     {"bias_shift", TensorType::uint8, {f}},
                     {"bias", TensorType::uint8, {f}}};
    if (layer.has_activation_type(ActivationType::LUT)) add_lut_variables(out, f);
    add_optional_max_values(out, f);
    return out;
}

Outputs dw_conv2d_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v2_spec(*layer.params());
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = depthwise_filters(layer, dim(s, 2)), k = spec.kernel_x;
    Outputs out;
    set_conv_outputs(out, g, c);
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, k, k, c});
    out.variables = {{"weights", TensorType::int8, {k, k, 1, c}, Fit::shape}};
    add_cnp_variables(out, c, c, layer.has_activation_type(ActivationType::LUT));
    return out;
}

Outputs conv2d_transpose_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters")), k = count(param(layer, "kernel_size"));
    uint32_t const stride = count(param(layer, "kernel_stride"));
    Outputs out;
    out.dims = {checked_dim(layer, uint64_t{dim(s, 0)} * stride, "output width"),
                checked_dim(layer, uint64_t{dim(s, 1)} * stride, "output height"), f};
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), k, k, c, f});
    out.variables = {{"weights", TensorType::int8, {k, k, c, f}, Fit::shape}};
    add_cnp_variables(out, c, f, layer.has_activation_type(ActivationType::LUT));
    return out;
}

Outputs dw_conv2d_transpose_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    uint32_t const c = depthwise_filters(layer, dim(s, 2)), k = count(param(layer, "kernel_size"));
    uint32_t const stride = count(param(layer, "kernel_stride"));
    Outputs out;
    out.dims = {checked_dim(layer, uint64_t{dim(s, 0)} * stride, "output width"),
                checked_dim(layer, uint64_t{dim(s, 1)} * stride, "output height"), c};
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), k, k, c});
    out.variables = {{"weights", TensorType::int8, {k, k, 1, c}, Fit::shape}};
    add_cnp_variables(out, c, c, layer.has_activation_type(ActivationType::LUT));
    return out;
}

Outputs buffer_temp_conv_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    uint32_t const c = dim(s, 2), f = count(param(layer, "filters")), fifo = count(param(layer, "fifo_size"));
    Outputs out;
    out.dims = {dim(s, 0), dim(s, 1), f};
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), f, fifo, c});
    uint32_t const rows = checked_dim(layer, uint64_t{fifo} * c, "weight rows");
    out.variables = {{"weights", TensorType::int8, {1, 1, rows, f}, Fit::shape}};
    add_cnp_variables(out, c, f, layer.has_activation_type(ActivationType::LUT));
    return out;
}

Outputs dw_buffer_temp_conv_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    uint32_t const c = depthwise_filters(layer, dim(s, 2)), taps = count(param(layer, "fifo_size"));
    Outputs out;
    out.dims = {dim(s, 0), dim(s, 1), c};
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), c, taps});
    out.variables = {{"weights", TensorType::int8, {1, 1, taps, c}, Fit::shape}};
    add_cnp_variables(out, c, c, layer.has_activation_type(ActivationType::LUT));
    return out;
}

Outputs dense1d_outputs(LayerImpl const& layer, Inputs const& in) {
    uint32_t const inputs = flat_inputs(layer, in.shapes.front()), units = count(param(layer, "units"));
    Outputs out;
    out.dims = {1, 1, units};
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    out.macs = mul_sat({inputs, units});
    out.variables = {{"weights", TensorType::int8, {inputs, units}, Fit::shape},
                     {"input_shift", TensorType::uint8, {inputs}},
                     {"bias", TensorType::int8, {units}},
                     {"bias_shift", TensorType::uint8, {units}},
                     {"output_scales", TensorType::uint8, {units}},
                     {"output_shift", TensorType::int8, {units}}};
    if (layer.has_activation_type(ActivationType::LUT)) add_lut_variables(out, units);
    add_optional_max_values(out, units);
    return out;
}

// ---- Third generation ----

Outputs stateful_recurrent_outputs(LayerImpl const& layer, Inputs const& in) {
    Shape const& s = in.shapes.front();
    uint32_t const c = dim(s, 2), states = count(param(layer, "stateful_channels")), o = count(param(layer, "output_channels"));
    Outputs out;
    out.dims = {dim(s, 0), dim(s, 1), o};
    set_activation_bits(out, layer, bits_of(param(layer, "output_bits")));
    uint64_t const per_frame = mul_sat({states, c}) + mul_sat({o, states});  // each below 2^63
    out.macs = mul_sat({dim(s, 0), dim(s, 1), per_frame});
    out.variables = {{"in_proj", TensorType::int8, {states, c}, Fit::shape},
                     {"out_proj", TensorType::int8, {o, states}, Fit::shape},
                     {"A_real", TensorType::int16, {states}},
                     {"A_imag", TensorType::int16, {states}},
                     {"internal_state_outputs_shift", TensorType::int8, {states}},
                     {"new_state_scale", TensorType::uint8, {states}},
                     {"new_state_shift", TensorType::int8, {states}},
                     {"output_scales", TensorType::uint8, {o}},
                     {"output_shift", TensorType::int8, {o}},
                     {"bias", TensorType::int8, {o}},
                     {"bias_shift", TensorType::uint8, {o}},
                     {"input_shift", TensorType::uint8, {c}}};
    add_optional_max_values(out, o);
    return out;
}

Outputs post_processing_outputs(LayerImpl const& layer, Inputs const& in) {
    Outputs out;
    out.dims = {dim(in.shapes.front(), 0), 1, 1};
    out.bits = 8;
    out.is_signed = false;
    out.variables = {{"input_scales", TensorType::uint8, {1}},
                     {"input_shift", TensorType::int8, {1}},
                     {"threshold", TensorType::uint16, {1}}};
    return out;
}

// ---- Kinds without hardware ----

Outputs dequantizer_outputs(LayerImpl const& layer, Inputs const& in) {
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = 32;
    out.is_signed = true;
    out.variables = {{"scales", TensorType::float32, {dim(in.shapes.front(), 2)}}};
    return out;
}

Outputs quantizer_outputs(LayerImpl const& layer, Inputs const& in) {
    uint32_t const c = dim(in.shapes.front(), 2);
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = bits_of(param(layer, "output_bits"));
    out.is_signed = param(layer, "output_signed") != 0;
    out.variables = {{"scales", TensorType::float32, {c}}, {"zero_points", TensorType::uint8, {c}}};
    return out;
}

// An input layer's own input, or the input of a node no back end maps, as it is.
Outputs pass_through_outputs(LayerImpl const& layer, Inputs const& in) {
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = in.bits;
    out.is_signed = in.any_signed;
    return out;
}

}  // namespace

LayerImpl::Inputs own_input(LayerImpl const& layer) {
    LayerImpl::Inputs inputs;
    inputs.shapes.push_back(Shape{count(param(layer, "input_width")), count(param(layer, "input_height")),
                                  count(param(layer, "input_channels"))});
    LayerType const type = layer.layer_type();
    if (type == LayerType::Quantizer) {  // the samples it quantizes, as the device receives them
        inputs.bits = bits_of(param(layer, "output_bits"));
        inputs.any_signed = param(layer, "output_signed") != 0;
        return inputs;
    }
    inputs.bits = kind_has_key(type, "input_bits") ? bits_of(param(layer, "input_bits")) : uint8_t{8};
    inputs.any_signed = kind_has_key(type, "input_signed") && param(layer, "input_signed") != 0;
    return inputs;
}

KindRules const& kind_rules(LayerType type) {
#define NUVRA_KIND_RULES(kind, value, generation, component, placement, filtering, inbound, state, cls, keys, \
                         outputs, ...)                                                                        \
    KindRules{keys, &outputs},
    static constexpr KindRules rules[] = {NUVRA_LAYER_KINDS(NUVRA_KIND_RULES)};
#undef NUVRA_KIND_RULES
    return rules[kind_index(type)];
}

}  // namespace nuvra
