#include "backends/v2/sizes.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "engine/dma.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/panic.h"
#include "program/format_support.h"
#include "program/hrc_input.h"

namespace nuvra::v2 {

namespace {

using u64 = uint64_t;
constexpr u64 u32_max = std::numeric_limits<uint32_t>::max();
constexpr u64 fnp_input_words = 2048;  // FNP input memory a layout must fit

[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

[[noreturn]] void undefined_padding() {
    throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
}

// A row byte count rounded up to a word; it must stay within 32 bits.
u64 round4_checked(u64 bytes) {
    if (bytes > u32_max - 3) undefined_padding();
    return round_up(bytes, 4);
}

struct Dims3 {
    u64 x = 0;
    u64 y = 0;
    u64 c = 0;
};

Dims3 dims_of(Shape const& s) { return {s[0], s[1], s[2]}; }

[[noreturn]] void bad_bits(uint8_t bits) {
    throw std::invalid_argument(format("Unsupported input bit width {}.", bits));
}

// Row-byte-padded layouts pack whole elements into bytes and words: 1, 2, 4 or 8 bits.
void require_byte_divisor_bits(uint8_t bits) {
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8) bad_bits(bits);
}

// Bytes of one unpadded row of x elements of `bits` bits.
u64 row_bytes(u64 x, uint8_t bits) { return words_for_bits(checked_mul(bits, x, "FNP row"), 8); }

u64 conv2d_8bit_ch_cont(uint32_t kernel_size, u64 filters) {
    u64 const groups = ceil_div(filters, 8);  // started groups of eight filters
    switch (kernel_size) {
    case 1: return ceil_div(round_up(groups * 8, 24), 12);
    case 3: return groups * 48 >> 3;
    case 4: return groups * 96 >> 3;
    case 5: return groups * 160 >> 3;
    case 7: return groups * 448 >> 3;
    default: throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
    }
}

u64 conv2d_4bit_ch_cont(uint32_t kernel_size, u64 filters) {
    switch (kernel_size) {
    case 1: return ceil_div(filters, 24);
    case 3: return ceil_div(filters, 8) * 3;
    case 5: return round_up(filters, 8);
    case 7: return ceil_div(filters, 8) * 21;
    default: throw std::runtime_error("Unsupported kernel size.");
    }
}

u64 buffer_temp_conv_ch_cont(u64 filters) { return ceil_div(round_up(round_up(filters, 8), 24), 12); }

}  // namespace

InputPadding get_fnp_supported_padding(Layer const& layer, bool no_previous) {
    Dims3 const d = dims_of(layer.first_input());
    u64 const bits = layer.input_bits();

    // Where the producer runs decides the layouts it can write.
    bool on_cnp = false;
    bool on_hrc = false;
    if (!no_previous) {
        auto const inbound = layer.inbound_layers();
        if (!inbound.empty() && inbound.front()) {
            Layer const& producer = *inbound.front();
            on_cnp = producer.is_target_component(ComponentKind::CNP) ||
                     producer.is_target_component(ComponentKind::TNP_B);
            on_hrc = producer.is_target_component(ComponentKind::HRC);
        }
    }

    if (!on_hrc && !on_cnp) {
        u64 const elements = mul_sat(mul_sat(d.x, d.y), d.c);
        u64 const bytes = ceil_div(mul_sat(bits, elements), 8);
        u64 const words = elements + (round4_checked(bytes) - bytes);
        return words <= fnp_input_words ? InputPadding::Packed : InputPadding::Undefined;
    }
    if (bits == 8 && on_cnp) {
        if (layer.required_params().get("weights_bits") == 8 &&
            mul_sat(mul_sat(round4_checked(d.x), d.c), d.y) <= fnp_input_words)
            return InputPadding::RowWordPadded;
    }
    u64 const row_elements = mul_sat(d.x, d.c);
    u64 const bytes = ceil_div(mul_sat(bits, row_elements), 8);
    u64 const words = mul_sat(row_elements + (round4_checked(bytes) - bytes), d.y);
    return words <= fnp_input_words ? InputPadding::RowBytePadded : InputPadding::Undefined;
}

uint32_t get_add_pksram_shift(Layer const& layer) {
    auto const inbound = layer.inbound_layers();
    if (inbound.empty() || !inbound.front()) return 0;
    return inbound.front()->type() == LayerType::Add ? add_pksram_shift_words : 0;
}

Shape get_fnp_input_dim(Layer const& layer, bool flatten) {
    Dims3 const d = dims_of(layer.first_input());
    if (!flatten) return Shape{uint32_t(d.x), uint32_t(d.y), uint32_t(d.c)};
    Shape const full{uint32_t(d.x), uint32_t(d.y), uint32_t(d.c)};
    return Shape{1, 1, full.checked_size()};
}

uint32_t get_fpksram_size(uint32_t y, uint32_t x, uint32_t c, uint8_t bits, InputPadding padding) {
    const char* what = "get_fpksram_size";
    u64 const bytes = words_for_bits(u64(bits) * x, 8);  // one unpadded row
    switch (padding) {
    case InputPadding::Packed:
        return narrow_words(words_for_bits(checked_mul(checked_mul(checked_mul(y, c, what), x, what), bits, what), 32),
                            what);
    case InputPadding::RowBytePadded:
        return narrow_words(checked_mul(y, ceil_div(checked_mul(bytes, c, what), 4), what), what);
    case InputPadding::RowWordPadded:
        return narrow_words(
            checked_mul(y, words_for_bits(checked_mul(checked_mul(round_up(bytes, 4), c, what), 8, what), 32), what),
            what);
    default: unsupported_padding();
    }
}

uint32_t get_fnp_input_size(Layer const& layer, bool no_previous) {
    Shape const s = get_fnp_input_dim(layer, no_previous);
    return get_fpksram_size(s[1], s[0], s[2], layer.input_bits(),
                            get_fnp_supported_padding(layer, no_previous));
}

uint32_t fnp_input_shift_24b_size(Dense const& input_shift, Shape const& dims, InputPadding padding,
                                  uint8_t bits) {
    const char* what = "fnp_input_shift_24b_size";
    u64 plane_words = 0;  // 32-bit words of one plane of rows
    switch (padding) {
    case InputPadding::Packed: return narrow_words(ceil_div(input_shift.size(), 8), what);
    case InputPadding::RowBytePadded: {
        Dims3 const d = dims_of(dims);
        plane_words = ceil_div(checked_mul(row_bytes(d.x, bits), d.c, what), 4);
        break;
    }
    case InputPadding::RowWordPadded: {
        Dims3 const d = dims_of(dims);
        plane_words = checked_mul(round_up(row_bytes(d.x, bits), 4), d.c, what) / 4;
        break;
    }
    default: unsupported_padding();
    }
    if (bits == 0) bad_bits(bits);
    u64 const y = dims[1];
    u64 const shifts = checked_mul(checked_mul(plane_words, y, what), 32, what) / bits;
    return narrow_words(ceil_div(shifts, 8), what);
}

uint32_t cnp_tnp_input_shift_24b_size(Dense const& input_shift) {
    return narrow_words(ceil_div(input_shift.size(), 8), "cnp_tnp_input_shift_24b_size");
}

uint32_t fnp_row_pad_slots(uint32_t x, uint8_t bits) {
    require_byte_divisor_bits(bits);
    u64 const per_byte = 8 / bits;
    return uint32_t(((u64(x) * bits / 8 + 1) * per_byte - x) % per_byte);
}

uint32_t fnp_plane_pad_slots(uint32_t x, uint32_t c, uint8_t bits) {
    const char* what = "fnp_plane_pad_slots";
    require_byte_divisor_bits(bits);
    u64 const per_word = 32 / bits;
    u64 const slots = checked_mul(u64(x) + fnp_row_pad_slots(x, bits), c, what);
    return uint32_t((checked_add(checked_mul(bits, slots, what) / 32, 1, what) * per_word - slots) % per_word);
}

uint32_t get_neuron_word_size(Shape const& dims, InputPadding padding, uint8_t bits,
                              uint8_t weights_bits) {
    const char* what = "get_neuron_word_size";
    Dims3 const d = dims_of(dims);
    u64 weight_words = 0;
    switch (padding) {
    case InputPadding::Packed: weight_words = words_for_bits(checked_mul(weights_bits, d.c, what), 32); break;
    case InputPadding::RowBytePadded: {
        u64 const plane = checked_mul(d.x + fnp_row_pad_slots(uint32_t(d.x), bits), d.c, what) +
                          fnp_plane_pad_slots(uint32_t(d.x), uint32_t(d.c), bits);
        weight_words = words_for_bits(checked_mul(plane, checked_mul(weights_bits, d.y, what), what), 32);
        break;
    }
    case InputPadding::RowWordPadded: {
        u64 const row = round4_checked(row_bytes(d.x, bits));
        weight_words = checked_mul(words_for_bits(checked_mul(checked_mul(row, d.c, what), 8, what), 32), d.y, what);
        break;
    }
    default: unsupported_padding();
    }
    return narrow_words(weight_words + 2, what);
}

uint32_t get_layer_word_size(Dense const& weights, uint8_t weights_bits, Shape const& dims,
                             InputPadding padding, uint8_t bits) {
    u64 const neurons = weights.dimensions()[1];
    return narrow_words(checked_mul(get_neuron_word_size(dims, padding, bits, weights_bits), neurons,
                      "get_layer_word_size"),
                  "get_layer_word_size");
}

uint32_t get_fnp_sram_size(Layer const& layer) {
    InputPadding const padding = get_fnp_supported_padding(layer, false);
    if (padding == InputPadding::Undefined) undefined_padding();
    Shape const dims = get_fnp_input_dim(layer, false);
    uint8_t const weights_bits = layer.required_params().get_as<uint8_t>("weights_bits");
    auto const weights = std::as_const(*layer.variable("weights")).ensure_dense();
    return xl_padded_32b_size(get_layer_word_size(*weights, weights_bits, dims, padding,
                                                  layer.input_bits()),
                              "get_fnp_sram_size");
}

uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters, uint8_t bits) {
    u64 const words = bits == 8 ? conv2d_8bit_ch_cont(kernel_size, filters)
                                : conv2d_4bit_ch_cont(kernel_size, filters);
    return narrow_words(words, "conv2d_ch_cont_100b_size");
}

uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters) {
    return narrow_words(conv2d_4bit_ch_cont(kernel_size, filters), "conv2d_4bit_ch_cont_100b_size");
}

uint32_t conv2d_8bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters) {
    return narrow_words(conv2d_8bit_ch_cont(kernel_size, filters), "conv2d_8bit_ch_cont_100b_size");
}

uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels) {
    const char* what = "conv2d_cnp_formatted_4bit_weight_100b_size";
    return narrow_words(checked_mul(conv2d_4bit_ch_cont(kernel_size, filters), channels, what), what);
}

uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t filters,
                                               uint32_t channels, uint8_t bits) {
    u64 const per_channel = bits == 8 ? conv2d_8bit_ch_cont(kernel_size, filters)
                                      : conv2d_4bit_ch_cont(kernel_size, filters);
    const char* what = "conv2d_cnp_formatted_weight_100b_size";
    return narrow_words(checked_mul(per_channel, channels, what), what);
}

uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t bits) {
    if (bits != 8) return dwc_4bit_ch_cont_100b_size(kernel_size, channels);
    u64 const c = channels;
    switch (kernel_size) {
    case 3: return narrow_words(c, "dwc_ch_cont_100b_size");
    case 4: return narrow_words(c * 2, "dwc_ch_cont_100b_size");
    case 5: return narrow_words(c * 3, "dwc_ch_cont_100b_size");
    case 7: return narrow_words(c * 7, "dwc_ch_cont_100b_size");
    default: throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
    }
}

uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels) {
    u64 const c = channels;
    switch (kernel_size) {
    case 3: return narrow_words(ceil_div(c, 2), "dwc_4bit_ch_cont_100b_size");
    case 5: return narrow_words(ceil_div(c * 3, 2), "dwc_4bit_ch_cont_100b_size");
    case 7: return narrow_words(ceil_div(c * 7, 2), "dwc_4bit_ch_cont_100b_size");
    default: throw std::runtime_error("Invalid kernel size.");
    }
}

DwcCnpWeightFormat dwc_cnp_weight_format(uint32_t kernel_size) {
    switch (kernel_size) {
    case 3: return {3, 0, 0, 12, 3, 1};
    case 4: return {4, 0, 2, 24, 3, 1};
    case 5: return {5, 0, 1, 30, 3, 1};
    case 7: return {4, 2, 3, 84, 3, 1};
    default: throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
    }
}

dma::Target dwc_dma_target(uint32_t kernel_size, uint8_t bits) {
    if (bits == 4) return dma::Target::Weights;
    return dma::Target(dwc_cnp_weight_format(kernel_size).dma_target);
}

uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels, uint8_t bits) {
    if (bits != 8) return dwc_cnp_formatted_4bit_weight_32b_size(kernel_size, channels);
    u64 const words100 = dwc_ch_cont_100b_size(kernel_size, channels, 8);
    return xl_padded_32b_size(words100 * dwc_cnp_weight_format(kernel_size).words_per_100b,
                              "dwc_cnp_formatted_weight_32b_size");
}

uint32_t dwc_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t channels) {
    u64 per_channel = 0;
    switch (kernel_size) {
    case 3: per_channel = 2; break;
    case 5: per_channel = 6; break;
    case 7: per_channel = 14; break;
    default: throw std::runtime_error("Invalid kernel size.");
    }
    return narrow_words(round_up(per_channel * channels, dma::xl_unit_words), "dwc_cnp_formatted_4bit_weight_32b_size");
}

uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t filters) {
    return narrow_words(buffer_temp_conv_ch_cont(filters), "buffer_temp_conv_ch_cont_100b_size");
}

uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t filters,
                                                         uint32_t channels) {
    const char* what = "buffer_temp_conv_tnp_formatted_weight_100b_size";
    u64 const rows = checked_mul(u64(fifo_size) + 1, channels, what);
    return narrow_words(checked_mul(buffer_temp_conv_ch_cont(filters), rows, what), what);
}

uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size,
                                                                   uint32_t channels) {
    const char* what = "depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size";
    return narrow_words(checked_mul(u64(fifo_size) + 1, channels, what), what);
}

uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t filters, uint32_t rows) {
    const char* what = "tnp_b_buffer_temp_conv_formatted_weight_32b_size";
    return xl_padded_32b_size(checked_mul(3 * buffer_temp_conv_ch_cont(filters), rows, what), what);
}

uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t fifo_size, uint32_t channels) {
    const char* what = "depthwise_buffer_temp_conv_formatted_weight_32b_size";
    return xl_padded_32b_size(checked_mul(3 * (u64(fifo_size) + 1), channels, what), what);
}

uint32_t xl_padded_32b_size(uint64_t words, const char* what) {
    narrow_words(words, what);  // a size above 32 bits is named as it is, before any padding
    return narrow_words(dma::xl_padded(words), what);
}

uint32_t get_hrc_sram_size(Layer const& layer) {
    auto const tensor = [&](const char* name) { return std::as_const(*layer.variable(name)).ensure_dense(); };
    auto const optional = [&](const char* name) { return layer.variables().has(name) ? tensor(name) : nullptr; };
    auto const max_value_shift = optional("max_value_shift");
    auto const max_value = optional("max_value");

    u64 total = 0;
    for (auto const& plane : format_hrc_weights(*tensor("weights"))) total += plane.size();
    total += format_hrc_activations(*tensor("output_shift"), *tensor("output_scales"), max_value_shift.get(),
                                    max_value.get(), *tensor("bias_shift"), *tensor("bias"))
                 .size();
    return xl_padded_32b_size(total, "get_hrc_sram_size");
}

}  // namespace nuvra::v2
