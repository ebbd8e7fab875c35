#include "backends/v2/record_input_conv2d.h"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <string>

#include "backends/v2/format_variables.h"
#include "backends/v2/record_conv2d.h"
#include "backends/v2/registers.h"
#include "hw/format.h"
#include "program/format_support.h"
#include "program/hrc_input.h"

namespace nuvra::v2 {

namespace {

uint32_t kernel_code(int32_t kernel_size) {
    switch (kernel_size) {
    case 3: return 0;
    case 4: return 1;
    case 5: return 2;
    case 7: return 3;
    case 16: return 4;
    default: throw std::runtime_error("Wrong kernel size at HRC recording.");
    }
}

// A pool size or stride below 0 (none) counts as 0.
uint32_t non_negative(int32_t value) { return uint32_t(std::max(value, 0)); }

}  // namespace

void format_input_conv2d_registers(std::vector<uint32_t>* regs, int32_t kernel_size, uint8_t output_bits,
                                   int32_t activation, Shape const& input, int32_t padding, int32_t pool_type,
                                   int32_t pool_size, int32_t pool_stride, int32_t kernel_stride,
                                   Dense const* padding_value, ConvCalculatedParams const* conv, int32_t filters) {
    if (regs == nullptr || regs->size() != HRC_REGISTER_WORDS)
        throw std::invalid_argument("The HRC register image must hold 5 words.");
    if (conv == nullptr) throw std::invalid_argument("The HRC registers need the convolution block.");
    std::span<uint32_t> const image(*regs);

    set(image, HRC_KERNEL_CODE, kernel_code(kernel_size));
    if (output_bits != 4 && output_bits != 8)
        throw std::runtime_error("Wrong output bitwidth when programming HRC: " + std::to_string(output_bits) +
                                 "-bit found\n" + "only 8-bit and 4-bit are supported.");
    set(image, HRC_OUTPUT_BITS, output_bits == 4 ? 2 : 3);
    auto const act = static_cast<ActivationType>(activation);
    if (act == ActivationType::ReLU) set(image, HRC_RELU, 1);
    if (act == ActivationType::LUT) {
        set(image, HRC_LUT, 1);
        set(image, HRC_LUT_15, 1);
    }
    uint32_t const channels = input[2];
    if (channels != 1 && channels != 3) throw std::runtime_error("Wrong number of channles at HRC recording.");
    set_flag(image, HRC_ONE_CHANNEL, channels == 1);
    if (padding < 0 || padding > 2) throw std::runtime_error("Wrong padding at HRC recording.");
    bool const valid = padding == 0;
    for (Field const& field : {HRC_VALID_13, HRC_VALID_20, HRC_VALID_21}) set_flag(image, field, valid);
    set(image, HRC_POOL_SIZE_Y, non_negative(pool_size));
    set(image, HRC_POOL_SIZE_X, non_negative(pool_size));
    auto const pool = static_cast<PoolType>(pool_type);
    if (pool != PoolType::NoPooling && pool != PoolType::Max) throw std::runtime_error("Wrong pooling at HRC recording.");
    bool const max_pool = pool == PoolType::Max;
    set_flag(image, HRC_MAX_POOL_Y, max_pool);
    set_flag(image, HRC_MAX_POOL_X, max_pool);

    set(image, HRC_STRIDE_Y, uint32_t(kernel_stride));
    set(image, HRC_STRIDE_X, uint32_t(kernel_stride));
    set(image, HRC_POOL_STRIDE_Y, non_negative(pool_stride));
    set(image, HRC_POOL_STRIDE_X, non_negative(pool_stride));

    constexpr Field padding_values[] = {HRC_PADDING_VALUE_R, HRC_PADDING_VALUE_G, HRC_PADDING_VALUE_B};
    size_t const values = padding_value ? padding_value->size() : 0;
    for (size_t i = 0; i < std::min<size_t>(values, 3); ++i)
        set(image, padding_values[i], tensor_read<uint8_t>(*padding_value, i));

    set(image, HRC_PAD_LEFT, conv->padding.left);
    set(image, HRC_PAD_RIGHT, conv->padding.right);
    set(image, HRC_PAD_TOP, conv->padding.top);
    set(image, HRC_PAD_BOTTOM, conv->padding.bottom);
    set(image, HRC_FILTERS_CLEAR_0_8, 0);
    set(image, HRC_FILTERS_MINUS_ONE, uint32_t(filters) - 1);
}

std::unique_ptr<program::Record> record_program_input_conv2d_layer(Device const& device, Layer const& layer) {
    LayerParams const& params = layer.required_params();
    int32_t const filters = params.get("filters");
    auto const activation = static_cast<ActivationType>(params.get("activation"));
    auto const* conv_layer = dynamic_cast<HasConvParams const*>(&layer);
    ConvCalculatedParams const* conv = conv_layer ? conv_layer->conv_params() : nullptr;
    if (conv == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " is not built.");

    std::vector<uint32_t> regs(HRC_REGISTER_WORDS, 0u);
    set(regs, HRC_ENABLE, 1);
    format_input_conv2d_registers(&regs, params.get("kernel_size"), layer.output_bits(), params.get("activation"),
                                  layer.first_input(), params.get("padding"), params.get("pool_type"),
                                  params.get("pool_size"), params.get("pool_stride"), params.get("kernel_stride"),
                                  required_variable(layer, "padding_value").get(), conv, filters);

    auto const weights = required_variable(layer, "weights");
    auto const output_shift = required_variable(layer, "output_shift");
    auto const output_scales = required_variable(layer, "output_scales");
    auto const max_value = optional_variable(layer, "max_value");
    auto const max_value_shift = optional_variable(layer, "max_value_shift");
    auto const bias_shift = required_variable(layer, "bias_shift");
    auto const bias = required_variable(layer, "bias");
    // The registers announce "filters" filters: the weight memory must hold as many.
    uint32_t const weight_filters = hrc_weight_filters(*weights);
    if (filters < 0 || uint32_t(filters) != weight_filters)
        throw std::invalid_argument(format("Layer '{}' has {} filters but weights for {}.", layer.get_name(), filters,
                                           weight_filters));
    // One activation parameter of each kind per filter.
    for (auto const& [tensor, name] : {std::pair{output_shift.get(), "output_shift"},
                                       {output_scales.get(), "output_scales"}, {bias_shift.get(), "bias_shift"},
                                       {bias.get(), "bias"}, {max_value.get(), "max_value"},
                                       {max_value_shift.get(), "max_value_shift"}})
        if (tensor != nullptr) require_vector(*tensor, weight_filters, name);
    std::vector<std::vector<uint32_t>> const planes = format_hrc_weights(*weights);

    auto record = program::new_record(device.version());
    hw::Ident const hrc_ident{};
    record->add_np_track(hrc_ident, dma::Target::HrcConfig, hrc::registers_address, regs);
    record_hrc_sram(record.get(), HRC_SRAM_SELECT_R, planes.at(0));
    record_hrc_sram(record.get(), HRC_SRAM_SELECT_G, planes.at(1));
    record_hrc_sram(record.get(), HRC_SRAM_SELECT_B, planes.at(2));

    std::vector<uint32_t> activations;
    if (activation == ActivationType::LUT) {
        // A look-up-table activation needs its table and its shift and scale per filter.
        auto const lut = required_variable(layer, "lut_values");
        auto const activation_shift = required_variable(layer, "activation_shift");
        auto const activation_scales = required_variable(layer, "activation_scales");
        require_vector(*activation_shift, weight_filters, "activation_shift");
        require_vector(*activation_scales, weight_filters, "activation_scales");
        record_hrc_sram(record.get(), HRC_SRAM_SELECT_LUT, format_lut_values_for_hrc(lut.get()));
        activations = format_hrc_lut_variables(*output_scales, *bias, *bias_shift, *output_shift, *activation_shift,
                                               *activation_scales);
    } else {
        activations = format_hrc_activations(*output_shift, *output_scales, max_value_shift.get(), max_value.get(),
                                             *bias_shift, *bias);
    }
    record_hrc_sram(record.get(), HRC_SRAM_SELECT_ACT, activations);
    record_hrc_closing(record.get(), regs[hrc_word::CONTROL]);
    return record;
}

}  // namespace nuvra::v2
