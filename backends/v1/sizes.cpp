#include "backends/v1/sizes.h"

#include <stdexcept>

#include "engine/dma.h"
#include "engine/variables.h"
#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra::v1 {

namespace {

constexpr uint64_t pw_word_bits = 48;      // usable bits of a pointwise SRAM word
constexpr uint64_t dw_word_bits = 50;      // usable bits of a depthwise SRAM word
constexpr uint64_t max_channel_groups = 1023;  // 4-word groups of one Convolutional channel

uint64_t r16(uint64_t words) { return align_up(words, 16); }

// Runs of k x k one-bit weights (plus a pad bit for k = 3 and 7) per 50-bit SRAM word.
uint64_t runs_per_word(uint32_t k) {
    switch (k) {
    case 3: return 5;
    case 5: return 2;
    case 7: return 1;
    default: return 0;
    }
}

uint64_t rounded_to_xl(uint64_t words) { return words >= unsupported_size ? saturated_u64 : dma::xl_padded(words); }

}  // namespace

uint64_t cnp_container_bytes(uint64_t n, uint64_t bits) { return words_for_bits(mul_sat(bits, n), 8); }

uint64_t cnp_input_words(uint64_t container_bytes, uint64_t per_line, uint64_t lines) {
    uint64_t const line_bits = mul_sat(mul_sat(container_bytes, per_line), 8);
    return mul_sat(words_for_bits(line_bits, 32), lines);
}

uint32_t get_cnp_channel_container_size(uint32_t n, uint8_t bits) {
    return clamp_to<uint32_t>(cnp_container_bytes(n, bits));
}

uint32_t get_cnp_input_sram_size(uint32_t container_bytes, uint32_t per_line, uint32_t lines) {
    return clamp_to<uint32_t>(cnp_input_words(container_bytes, per_line, lines));
}

uint64_t four_bit_group_sram_words(uint32_t k) {
    switch (k) {
    case 3: return 6;
    case 5: return 16;
    case 7: return 42;
    default: throw std::runtime_error("Unsupported kernel size");
    }
}

uint64_t std_cnp_block_words(uint32_t k, uint32_t filters, int bits) {
    uint64_t const n8 = round_up(filters, 8);
    if (bits == 4) {
        if (k == 1) return 2 * r16(ceil_div(4 * uint64_t{filters}, 48));
        return 2 * r16(four_bit_group_sram_words(k) * n8 / 8);
    }
    if (bits != 1 && bits != 2) return saturated_u64;
    // Kernel 1 always keeps two planes, 48 one-bit runs a word.
    if (k == 1) return r16(2 * ceil_div(2 * n8, 48));
    uint64_t const per_word = runs_per_word(k);
    if (per_word == 0) return saturated_u64;
    uint64_t const runs = bits == 2 ? 2 * n8 : n8;
    return r16(2 * ceil_div(runs, per_word));
}

uint32_t get_std_cnp_sram_size(uint32_t k, uint32_t channels, uint32_t filters, int bits) {
    return clamp_to<uint32_t>(mul_sat(channels, std_cnp_block_words(k, filters, bits)));
}

uint32_t dw_rows_per_word(int64_t k, int64_t bits) {
    int64_t const row_bits = k * bits;
    if (k < 1 || bits < 1 || row_bits > int64_t(dw_word_bits)) return 0;
    return uint32_t(int64_t(dw_word_bits) / row_bits);
}

uint64_t dw_weights_words(int64_t k, uint64_t channels, int64_t bits) {
    uint64_t const q = dw_rows_per_word(k, bits);
    if (q == 0) return saturated_u64;
    auto const kernel = uint64_t(k);
    // Fewer rows than two kernels a word: each channel starts a word of its own.
    if (q < 2 * kernel) return r16(mul_sat(2 * ceil_div(kernel, q), channels));
    return r16(2 * ceil_div(channels, q / kernel));
}

uint32_t get_dw_weights_sram_size(int k, uint32_t channels, int bits) {
    return clamp_to<uint32_t>(dw_weights_words(k, channels, bits));
}

uint32_t get_nb_words_per_pw_channel(uint32_t filters, int bits) {
    uint64_t const b = bits < 0 ? 0 : uint64_t(bits);
    uint64_t const used = b * filters;
    uint64_t words = ceil_div(used, pw_word_bits);
    // A last group of fewer than eight filters must not be cut by the end of a word.
    uint64_t const tail = filters % 8;
    if (tail != 0) {
        uint64_t const free_bits = used % pw_word_bits == 0 ? 0 : pw_word_bits - used % pw_word_bits;
        if (b * tail <= pw_word_bits && free_bits < pw_word_bits - b * tail) ++words;
    }
    return clamp_to<uint32_t>(words);
}

uint32_t get_sep_cnp_sram_size(uint32_t k, uint32_t channels, uint32_t filters, int bits) {
    uint64_t const pw = mul_sat(2 * uint64_t{channels}, get_nb_words_per_pw_channel(filters, bits));
    return clamp_to<uint32_t>(add_sat(dw_weights_words(k, channels, bits), pw));
}

uint64_t weights_words(Layer const& layer, uint32_t filters) {
    LayerParams const& params = layer.required_params();
    uint32_t const channels = first_input_dims(layer).channels;
    auto const kernel = uint32_t(params.get("kernel_width"));
    int32_t const bits = params.get("weights_bits");
    uint64_t words = 0;
    switch (params.layer_type()) {
    case LayerType::Convolutional: words = mul_sat(channels, std_cnp_block_words(kernel, filters, bits)); break;
    case LayerType::SeparableConvolutional: words = get_sep_cnp_sram_size(kernel, channels, filters, bits); break;
    default: throw std::invalid_argument("Unexpected layer type for CNP");
    }
    return rounded_to_xl(words);
}

uint32_t get_weights_size(Layer const& layer, uint32_t filters) {
    return clamp_to<uint32_t>(weights_words(layer, filters));
}

bool check_weights_size_fit_cnp(HardwareConstraints const& hc, Layer const& layer, uint32_t filters) {
    uint64_t const words = weights_words(layer, filters);
    if (words >= unsupported_size) return false;
    if (layer.type() == LayerType::Convolutional &&
        ((words / first_input_dims(layer).channels) >> 2) > max_channel_groups)
        return false;
    return hc.weight_sram_words >= words >> 1;
}

FnpLayout fnp_layout(Shape const& dims, int bits) {
    if (dims.rank() < 2)
        throw std::invalid_argument(format("FNP weights need 2 dimensions or more, not {}.", dims.rank()));
    if (bits < 1) throw std::invalid_argument(format("FNP weights need at least 1 bit, not {}.", bits));
    FnpLayout layout;
    layout.neurons = dims[0];
    layout.inputs = dims[1];
    layout.groups = ceil_div(layout.inputs, 32);
    layout.planes = bits == 1 ? 1 : uint64_t(bits) - 1;
    layout.halves = bits == 1 ? 1 : 2;
    layout.block = 4 + layout.halves * layout.half_words();
    return layout;
}

uint32_t fnp_sram_size(Shape const& dims, int bits) { return clamp_to<uint32_t>(fnp_layout(dims, bits).words()); }

uint64_t fnp_sram_words(Layer const& layer) {
    Shape const dims = layer.variable("weights")->dimensions();
    return rounded_to_xl(fnp_layout(dims, layer.required_params().get("weights_bits")).words());
}

uint32_t get_fnp_sram_size(Layer const& layer) { return clamp_to<uint32_t>(fnp_sram_words(layer)); }

uint64_t fnp_input_words(Layer const& layer) {
    InputDims const in = first_input_dims(layer);
    return ceil_div(mul_sat(mul_sat(in.width, in.height), in.channels), 32);
}

uint32_t get_fnp_input_size(Layer const& layer) { return clamp_to<uint32_t>(fnp_input_words(layer)); }

}  // namespace nuvra::v1
