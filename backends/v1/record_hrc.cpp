#include "backends/v1/record_hrc.h"

#include <span>
#include <stdexcept>
#include <string>

#include "backends/v1/registers.h"
#include "engine/dma.h"
#include "engine/layers.h"
#include "engine/ops.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "program/format_support.h"
#include "program/hrc_input.h"

namespace nuvra::v1 {

namespace {

// The kernel code of word 0: 3 x 3 is 0, 5 x 5 is 1, 7 x 7 is 2; the checker refuses the others.
uint32_t kernel_code(int32_t kernel_height) {
    switch (kernel_height) {
        case 5: return 1;
        case 7: return 2;
        default: return 0;
    }
}

// A parameter that the field takes as an unsigned value: a negative one is reported as the
// unsigned number it would wrap to, which no field holds.
uint32_t as_field(int32_t value) { return static_cast<uint32_t>(value); }

// The weight planes of the layer: (kx, ky, channels, filters) weights, red, green and blue.
std::vector<std::vector<uint32_t>> weight_planes(Layer const& layer) {
    auto const weights = layer.variable("weights")->ensure_dense();
    require_rank(*weights, 4, "weights");
    auto planes = format_hrc_weights(*weights);
    if (planes.size() < 3)
        throw std::logic_error(format("The HRC weights came in {} planes, not 3.", planes.size()));
    return planes;
}

std::vector<uint32_t> threshold_words(Layer const& layer) {
    auto const steps = get_threshold_t16_from_act_steps(*layer.variable("act_step"));
    return format_hrc_threshold_steps(*layer.variable("threshold"), *steps);
}

}  // namespace

std::vector<uint32_t> format_hrc_registers(LayerParams const& params, ConvCalculatedParams const& computed) {
    int32_t const channels = params.get("input_channels");
    int32_t const padding = params.get("padding");
    int32_t const stride_y = params.get("stride_y");
    int32_t const stride_x = params.get("stride_x");
    auto const pool_type = static_cast<PoolType>(params.get("pool_type"));
    int32_t const pool_height = params.get("pooling_height");
    int32_t const pool_width = params.get("pooling_width");
    int32_t const filters = params.get("filters");
    int32_t const kernel_height = params.get("kernel_height");
    int32_t const act_bits = params.get("act_bits");
    int32_t const padding_value = params.get("padding_value");

    std::vector<uint32_t> regs(HRC_REGISTER_WORDS, 0u);
    set(regs, HRC_ENABLE, 1);
    // The fields that can fail first, in the order their checks are reported.
    set(regs, HRC_STRIDE_Y, as_field(stride_y));
    set(regs, HRC_STRIDE_X, as_field(stride_x));
    set(regs, HRC_FILTERS_CLEAR_0_8, 0);
    set(regs, HRC_FILTERS_MINUS_ONE, as_field(filters) - 1);
    set(regs, HRC_OUTPUT_BITS, as_field(act_bits >> 1));
    set(regs, HRC_PADDING_VALUE_R, as_field(padding_value));
    set(regs, HRC_PADDING_VALUE_G, as_field(padding_value));
    set(regs, HRC_PADDING_VALUE_B, as_field(padding_value));
    set(regs, HRC_PAD_BOTTOM, computed.padding.bottom);
    set(regs, HRC_PAD_TOP, computed.padding.top);
    set(regs, HRC_PAD_LEFT, computed.padding.left);
    set(regs, HRC_PAD_RIGHT, computed.padding.right);

    set(regs, HRC_KERNEL_CODE, kernel_code(kernel_height));
    set(regs, HRC_ONE_CHANNEL, channels != 3);
    set(regs, HRC_VALID_13, padding == 0);
    set(regs, HRC_MAX_POOL_Y, pool_type == PoolType::Max && pool_height == 2);
    set(regs, HRC_MAX_POOL_X, pool_type == PoolType::Max && pool_width == 2);
    set(regs, HRC_VALID_20, padding == 0);
    set(regs, HRC_VALID_21, padding == 0);
    return regs;
}

std::vector<uint32_t> format_hrc_threshold_steps(Tensor const& thresholds, Tensor const& steps) {
    size_t const count = thresholds.size();
    require_elements(steps, count, "act_step");
    std::vector<uint32_t> words(2 * count, 0u);
    for (size_t k = 0; k < count; ++k) {
        std::span<uint32_t> const filter = std::span(words).subspan(2 * k, 2);
        set(filter, HRC_THRESHOLD, to_signed_field(tensor_read<int32_t>(thresholds, k), HRC_THRESHOLD.bits.width));
        set(filter, HRC_ACT_STEP, static_cast<uint32_t>(tensor_read<int32_t>(steps, k)));
    }
    return words;
}

std::unique_ptr<program::Record> record_program_hrc_layer(Device const& device, Layer const& layer) {
    auto const& input_conv = conv_pool_layer(layer, LayerType::InputConvolutional);
    ConvCalculatedParams const& computed = input_conv.conv_calculated_params();

    auto record = program::new_record(device.version());
    std::vector<uint32_t> const regs = format_hrc_registers(layer.required_params(), computed);
    record->add_np_track(hw::Ident{}, dma::Target::HrcConfig, hrc::registers_address, regs);

    auto const planes = weight_planes(layer);
    record_hrc_sram(record.get(), fields::HRC_SRAM_SELECT_R, planes[0]);
    record_hrc_sram(record.get(), fields::HRC_SRAM_SELECT_G, planes[1]);
    record_hrc_sram(record.get(), fields::HRC_SRAM_SELECT_B, planes[2]);
    record_hrc_sram(record.get(), HRC_SELECT_THRESHOLDS, threshold_words(layer));
    record_hrc_closing(record.get(), regs[hrc_word::CONTROL]);
    return record;
}

uint32_t get_hrc_sram_size(Layer const& layer) {
    uint64_t words = threshold_words(layer).size();
    for (auto const& plane : weight_planes(layer)) words += plane.size();
    return narrow_words(dma::xl_padded(narrow_words(words, "get_hrc_sram_size")), "get_hrc_sram_size");
}

}  // namespace nuvra::v1
