// What the first-generation rule tables share.
#include "backends/v1/check_rules.h"
#include "backends/v1/sizes.h"
#include "hw/presets.h"
#include "program/format_support.h"

namespace nuvra::v1 {

namespace {

constexpr uint32_t max_input_width = 4096;
constexpr uint32_t max_input_height = 4096;
constexpr uint32_t max_input_channels = 2048;

}  // namespace

bool is_vexa_v2(HwVersion version) { return version == hw::Vexa_v2; }

int32_t param(Layer const& layer, char const* key) { return layer.required_params().get(key); }

namespace {

bool bits_1_2_or_4(int64_t bits) { return bits == 1 || bits == 2 || bits == 4; }

}  // namespace

MappingStatus check_input_bits_1_2_or_4(Layer const& layer) {
    if (!bits_1_2_or_4(layer.input_bits())) return {layer, "Input bitwidth should be 1, 2 or 4."};
    return {};
}

MappingStatus check_act_bits_1_2_or_4(Layer const& layer) {
    if (param(layer, "activation") != 0 && !bits_1_2_or_4(param(layer, "act_bits")))
        return {layer, "act_bits should be 1, 2 or 4."};
    return {};
}

std::array<uint32_t, 4> extents(Tensor const& tensor) {
    Shape const& shape = tensor.dimensions();
    std::array<uint32_t, 4> result{1, 1, 1, 1};
    for (size_t k = 0; k < shape.rank() && k < result.size(); ++k) result[k] = shape[k];
    return result;
}

bool all_zero(Tensor const& tensor) {
    // The view checks the element type, and refuses a tensor without elements, before the scan.
    (void)ByteElements<int8_t>(tensor);
    return !first_int8_outside(tensor, 0, 0);
}

MappingStatus check_max_input_dimensions(Layer const& layer, InputDims const& input) {
    MappingStatus result;
    if (input.width > max_input_width) result += max_input_width_failure(layer, max_input_width, input.width);
    if (input.height > max_input_height) result += max_input_height_failure(layer, max_input_height, input.height);
    if (input.channels > max_input_channels)
        result += max_input_channels_failure(layer, max_input_channels, input.channels);
    return result;
}

MappingStatus check_sep_cnp_weights_not_zero(Layer const& layer, Tensor const& weights) {
    if (all_zero(weights)) return {layer, "All weights in a separable CNP layer cannot be zeroes."};
    return {};
}

}  // namespace nuvra::v1
