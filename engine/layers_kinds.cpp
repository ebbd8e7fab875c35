// What each layer kind computes when it is built: output shape, bits, multiply-accumulates,
// variables and blocks (the rules are written out in engine/layers.h).
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

}  // namespace

// ---- First generation ----

InputConvolutional::InputConvolutional(std::unique_ptr<LayerParams> params, std::string name)
    : ConvPoolLayer(std::move(params), std::move(name)) {}

Inputs InputConvolutional::own_inputs() const {
    Inputs inputs;
    inputs.shapes.push_back(Shape{count(param("input_width")), count(param("input_height")),
                                  count(param("input_channels"))});
    inputs.bits = 8;
    return inputs;
}

Outputs InputConvolutional::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v1_spec(*params());
    check_pool_strides(*this, spec);
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param("filters"));
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, *this, has_activation() ? bits_of(param("act_bits")) : 32);
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, spec.kernel_x, spec.kernel_y, c, f});
    out.variables = {{"weights", TensorType::int8, {spec.kernel_x, spec.kernel_y, c, f}, Fit::shape},
                     {"act_step", TensorType::float32, {f}},
                     {"threshold", TensorType::int32, {f}}};
    return out;
}

FullyConnected::FullyConnected(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs FullyConnected::compute(Inputs const& in) const {
    uint32_t const inputs = flat_inputs(*this, in.shapes.front()), units = count(param("units"));
    Outputs out;
    out.dims = {1, 1, units};
    set_activation_bits(out, *this, has_activation() ? bits_of(param("act_bits")) : 32);
    out.macs = mul_sat({inputs, units});
    out.variables = {{"weights", TensorType::int8, {units, inputs, 1, 1}, Fit::shape},
                     {"threshold", TensorType::int32, {units}},
                     {"act_step", TensorType::float32, {units}},
                     {"threshold_learning", TensorType::int32, {units}},
                     {"thswap", TensorType::int32, {units}}};
    return out;
}

Convolutional::Convolutional(std::unique_ptr<LayerParams> params, std::string name)
    : ConvPoolLayer(std::move(params), std::move(name)) {}

Outputs Convolutional::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v1_spec(*params());
    check_pool_strides(*this, spec);
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param("filters"));
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, *this, has_activation() ? bits_of(param("act_bits")) : 32);
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, spec.kernel_x, spec.kernel_y, c, f});
    out.variables = {{"weights", TensorType::int8, {f, c, spec.kernel_y, spec.kernel_x}, Fit::shape},
                     {"act_step", TensorType::float32, {f}},
                     {"threshold", TensorType::int32, {f}}};
    return out;
}

SeparableConvolutional::SeparableConvolutional(std::unique_ptr<LayerParams> params, std::string name)
    : ConvPoolLayer(std::move(params), std::move(name)) {}

Outputs SeparableConvolutional::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v1_spec(*params());
    check_pool_strides(*this, spec);
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param("filters"));
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, *this, has_activation() ? bits_of(param("act_bits")) : 32);
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

Add::Add(std::unique_ptr<LayerParams> params, std::string name) : LayerImpl(std::move(params), std::move(name)) {}

Outputs Add::compute(Inputs const& in) const {
    if (!(in.shapes[0] == in.shapes[1])) refuse("the two inputs of an Add layer must have the same shape.");
    uint32_t const c = dim(in.shapes[0], 2);
    Outputs out;
    out.dims = in.shapes[0].to_vector();
    out.bits = bits_of(param("output_bits"));
    out.is_signed = true;
    out.variables = {{"a_shift", TensorType::uint8, {c}},
                     {"b_shift", TensorType::uint8, {c}},
                     {"output_shift", TensorType::int8, {c}}};
    return out;
}

Concatenate::Concatenate(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs Concatenate::compute(Inputs const& in) const {
    uint32_t const w = dim(in.shapes[0], 0), h = dim(in.shapes[0], 1);
    uint64_t channels = 0;
    for (auto const& shape : in.shapes) {
        if (dim(shape, 0) != w || dim(shape, 1) != h)
            refuse("the inputs of a Concatenate layer must have the same width and height.");
        channels += dim(shape, 2);
    }
    Outputs out;
    out.dims = {w, h, checked_dim(*this, channels, "channel count")};
    out.bits = in.bits;
    out.is_signed = in.any_signed;
    return out;
}

Conv2D::Conv2D(std::unique_ptr<LayerParams> params, std::string name)
    : ConvPoolLayer(std::move(params), std::move(name)) {}

Outputs Conv2D::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v2_spec(*params());
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param("filters")), k = spec.kernel_x;
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, k, k, c, f});
    out.variables = {{"weights", TensorType::int8, {k, k, c, f}, Fit::shape}};
    add_cnp_variables(out, c, f, has_activation_type(ActivationType::LUT));
    return out;
}

InputConv2D::InputConv2D(std::unique_ptr<LayerParams> params, std::string name)
    : ConvPoolLayer(std::move(params), std::move(name)) {}

Outputs InputConv2D::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v2_spec(*params());
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = dim(s, 2), f = count(param("filters")), k = spec.kernel_x;
    Outputs out;
    set_conv_outputs(out, g, f);
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, k, k, c, f});
    out.variables = {{"weights", TensorType::int8, {k, k, c, f}, Fit::shape},
                     {"padding_value", TensorType::uint8, {c}},
                     {"output_shift", TensorType::int8, {f}},
                     {"output_scales", TensorType::uint8, {f}},
                     {"bias_shift", TensorType::uint8, {f}},
                     {"bias", TensorType::uint8, {f}}};
    if (has_activation_type(ActivationType::LUT)) add_lut_variables(out, f);
    add_optional_max_values(out, f);
    return out;
}

DepthwiseConv2D::DepthwiseConv2D(std::unique_ptr<LayerParams> params, std::string name)
    : ConvPoolLayer(std::move(params), std::move(name)) {}

Outputs DepthwiseConv2D::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    ConvPoolSpec const spec = v2_spec(*params());
    ConvPoolGeometry const g = conv_pool_geometry(dim(s, 0), dim(s, 1), spec);
    uint32_t const c = depthwise_filters(*this, dim(s, 2)), k = spec.kernel_x;
    Outputs out;
    set_conv_outputs(out, g, c);
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({g.conv.output_width, g.conv.output_height, k, k, c});
    out.variables = {{"weights", TensorType::int8, {k, k, 1, c}, Fit::shape}};
    add_cnp_variables(out, c, c, has_activation_type(ActivationType::LUT));
    return out;
}

Conv2DTranspose::Conv2DTranspose(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs Conv2DTranspose::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    uint32_t const c = dim(s, 2), f = count(param("filters")), k = count(param("kernel_size"));
    uint32_t const stride = count(param("kernel_stride"));
    Outputs out;
    out.dims = {checked_dim(*this, uint64_t{dim(s, 0)} * stride, "output width"),
                checked_dim(*this, uint64_t{dim(s, 1)} * stride, "output height"), f};
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), k, k, c, f});
    out.variables = {{"weights", TensorType::int8, {k, k, c, f}, Fit::shape}};
    add_cnp_variables(out, c, f, has_activation_type(ActivationType::LUT));
    return out;
}

DepthwiseConv2DTranspose::DepthwiseConv2DTranspose(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs DepthwiseConv2DTranspose::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    uint32_t const c = depthwise_filters(*this, dim(s, 2)), k = count(param("kernel_size"));
    uint32_t const stride = count(param("kernel_stride"));
    Outputs out;
    out.dims = {checked_dim(*this, uint64_t{dim(s, 0)} * stride, "output width"),
                checked_dim(*this, uint64_t{dim(s, 1)} * stride, "output height"), c};
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), k, k, c});
    out.variables = {{"weights", TensorType::int8, {k, k, 1, c}, Fit::shape}};
    add_cnp_variables(out, c, c, has_activation_type(ActivationType::LUT));
    return out;
}

BufferTempConv::BufferTempConv(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs BufferTempConv::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    uint32_t const c = dim(s, 2), f = count(param("filters")), fifo = count(param("fifo_size"));
    Outputs out;
    out.dims = {dim(s, 0), dim(s, 1), f};
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), f, fifo, c});
    uint32_t const rows = checked_dim(*this, uint64_t{fifo} * c, "weight rows");
    out.variables = {{"weights", TensorType::int8, {1, 1, rows, f}, Fit::shape}};
    add_cnp_variables(out, c, f, has_activation_type(ActivationType::LUT));
    return out;
}

DepthwiseBufferTempConv::DepthwiseBufferTempConv(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs DepthwiseBufferTempConv::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    uint32_t const c = depthwise_filters(*this, dim(s, 2)), taps = count(param("fifo_size"));
    Outputs out;
    out.dims = {dim(s, 0), dim(s, 1), c};
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({dim(s, 0), dim(s, 1), c, taps});
    out.variables = {{"weights", TensorType::int8, {1, 1, taps, c}, Fit::shape}};
    add_cnp_variables(out, c, c, has_activation_type(ActivationType::LUT));
    return out;
}

Dense1D::Dense1D(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs Dense1D::compute(Inputs const& in) const {
    uint32_t const inputs = flat_inputs(*this, in.shapes.front()), units = count(param("units"));
    Outputs out;
    out.dims = {1, 1, units};
    set_activation_bits(out, *this, bits_of(param("output_bits")));
    out.macs = mul_sat({inputs, units});
    out.variables = {{"weights", TensorType::int8, {inputs, units}, Fit::shape},
                     {"input_shift", TensorType::uint8, {inputs}},
                     {"bias", TensorType::int8, {units}},
                     {"bias_shift", TensorType::uint8, {units}},
                     {"output_scales", TensorType::uint8, {units}},
                     {"output_shift", TensorType::int8, {units}}};
    if (has_activation_type(ActivationType::LUT)) add_lut_variables(out, units);
    add_optional_max_values(out, units);
    return out;
}

// ---- Third generation ----

StatefulRecurrent::StatefulRecurrent(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs StatefulRecurrent::compute(Inputs const& in) const {
    Shape const& s = in.shapes.front();
    uint32_t const c = dim(s, 2), states = count(param("stateful_channels")), o = count(param("output_channels"));
    Outputs out;
    out.dims = {dim(s, 0), dim(s, 1), o};
    set_activation_bits(out, *this, bits_of(param("output_bits")));
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

WispPostProcessing::WispPostProcessing(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs WispPostProcessing::compute(Inputs const& in) const {
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

InputData::InputData(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

int InputData::value_mode() const { return param("input_signed") != 0 ? 0 : 1; }

Inputs InputData::own_inputs() const {
    Inputs inputs;
    inputs.shapes.push_back(Shape{count(param("input_width")), count(param("input_height")),
                                  count(param("input_channels"))});
    inputs.bits = bits_of(param("input_bits"));
    inputs.any_signed = param("input_signed") != 0;
    return inputs;
}

Outputs InputData::compute(Inputs const& in) const {
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = in.bits;
    out.is_signed = in.any_signed;
    return out;
}

Dequantizer::Dequantizer(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs Dequantizer::compute(Inputs const& in) const {
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = 32;
    out.is_signed = true;
    out.variables = {{"scales", TensorType::float32, {dim(in.shapes.front(), 2)}}};
    return out;
}

Quantizer::Quantizer(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs Quantizer::compute(Inputs const& in) const {
    uint32_t const c = dim(in.shapes.front(), 2);
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = bits_of(param("output_bits"));
    out.is_signed = param("output_signed") != 0;
    out.variables = {{"scales", TensorType::float32, {c}}, {"zero_points", TensorType::uint8, {c}}};
    return out;
}

UnknownLayer::UnknownLayer(std::unique_ptr<LayerParams> params, std::string name)
    : LayerImpl(std::move(params), std::move(name)) {}

Outputs UnknownLayer::compute(Inputs const& in) const {
    Outputs out;
    out.dims = in.shapes.front().to_vector();
    out.bits = in.bits;
    out.is_signed = in.any_signed;
    return out;
}

}  // namespace nuvra
