#include "program/io_quantization.h"

#include <memory>
#include <string>

#include "engine/params.h"
#include "engine/tensor.h"
#include "engine/variables.h"

namespace nuvra::io {

namespace {

// The format code of layers whose outputs are scaled by "act_step" and shifted by "threshold".
constexpr int act_step_format = 1;

// The first-dimension elements of a variable, read as T (a wrong element type panics).
template <class T>
std::vector<T> read_variable(Layer const& layer, std::string const& name) {
    std::shared_ptr<Tensor> const tensor = layer.variable(name);
    uint32_t const count = tensor->dimensions()[0];
    std::vector<T> values;
    values.reserve(count);
    for (uint32_t i = 0; i < count; ++i) values.push_back(tensor_read<T>(*tensor, size_t{i}));
    return values;
}

// The output of `last` is given in the first-generation format, scaled and shifted per channel.
bool has_scaled_output(Layer const& last) { return !last.has_activation() && last.format_code() == act_step_format; }

}  // namespace

uint8_t input_bits(Layer const& first) {
    return first.type() == LayerType::Quantizer ? first.output_bits() : first.input_bits();
}

bool input_sign(Layer const& first) {
    if (first.type() == LayerType::Quantizer) return first.output_signed();
    if (first.input_bits() <= 4) return false;
    return !first.is_target_component(ComponentKind::HRC);
}

bool input_channels_first(Layer const& first) {
    if (first.type() != LayerType::Quantizer) return false;
    return first.params()->get("channels_first") != 0;
}

std::vector<float> format_input_scales(Layer const& first) {
    if (first.type() != LayerType::Quantizer) return {};
    return read_variable<float>(first, "scales");
}

std::vector<uint8_t> format_input_zero_points(Layer const& first) {
    if (first.type() != LayerType::Quantizer) return {};
    return read_variable<uint8_t>(first, "zero_points");
}

std::vector<float> format_output_scales(Layer const& last) {
    if (last.type() == LayerType::Dequantizer) return read_variable<float>(last, "scales");
    if (!has_scaled_output(last)) return {};
    std::vector<float> scales = read_variable<float>(last, "act_step");
    for (float& step : scales)
        if (step != 0.0f) step = 1.0f / step;
    return scales;
}

std::vector<int32_t> format_output_shift(Layer const& last) {
    if (last.type() == LayerType::Dequantizer)
        return std::vector<int32_t>(last.variable("scales")->dimensions()[0], 0);
    if (!has_scaled_output(last)) return {};
    return read_variable<int32_t>(last, "threshold");
}

}  // namespace nuvra::io
