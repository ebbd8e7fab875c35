#include "backends/v2/format_fnp.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

#include "program/format_support.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/registers.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

// Row-word padding keeps one byte per element: its rows are only consistent for 8-bit inputs.
void require_row_word_bits(uint8_t bits) {
    if (bits != 8)
        throw std::invalid_argument(format("Row-word padding takes 8-bit inputs, not {}.", bits));
}

// Weights share bytes and words only in widths that divide 8.
void require_weight_bits(uint8_t weights_bits) {
    if (weights_bits != 1 && weights_bits != 2 && weights_bits != 4 && weights_bits != 8)
        throw std::invalid_argument(format("Unsupported weight bit width {}.", weights_bits));
}

struct Dims {
    uint64_t x = 0;  // s0, elements of a row
    uint64_t y = 0;  // s1, planes
    uint64_t z = 0;  // s2, rows of a plane
    // Elements of the input, saturated: a count past 64 bits fits no tensor anyway.
    uint64_t elements() const {
        uint64_t xy = 0;
        uint64_t xyz = 0;
        if (__builtin_mul_overflow(x, y, &xy) || __builtin_mul_overflow(xy, z, &xyz)) return UINT64_MAX;
        return xyz;
    }
    // Flat index of element (x, y, z).
    uint32_t index(uint64_t ix, uint64_t iy, uint64_t iz) const { return uint32_t((ix * y + iy) * z + iz); }
};

Dims dims_of(Shape const& s) {
    if (s.rank() < 3)
        throw std::invalid_argument(format("An FNP input shape needs 3 dimensions, not {}.", s.rank()));
    return {s[0], s[1], s[2]};
}

// Slots of one padded row and of one padded plane of a row-byte-padded input.
struct RowBytePadding {
    uint64_t row = 0;
    uint64_t plane = 0;
};

RowBytePadding row_byte_padding(Dims const& d, uint8_t bits) {
    uint64_t const row = d.x + fnp_row_pad_slots(uint32_t(d.x), bits);
    return {row, row * d.z + fnp_plane_pad_slots(uint32_t(d.x), uint32_t(d.z), bits)};
}

// Bytes of one row-word-padded row of 8-bit elements.
uint64_t row_word_bytes(Dims const& d) { return (d.x + 3) & ~uint64_t{3}; }

uint64_t even(uint64_t words) { return (words + 1) & ~uint64_t{1}; }

std::shared_ptr<Dense const> variable(Layer const& layer, const char* name) {
    return std::as_const(*layer.variables().get(name)).ensure_dense();
}

}  // namespace

std::vector<uint32_t> format_input_shift_fnp(Dense const& shifts, Shape const& s, InputPadding padding,
                                             uint8_t bits) {
    Dims const d = dims_of(s);
    switch (padding) {
    case InputPadding::Packed: return format_input_shift(shifts, 0, 0);
    case InputPadding::RowBytePadded: {
        RowBytePadding const pad = row_byte_padding(d, bits);
        require_vector(shifts, d.elements(), "input_shift");
        WordImage image(narrow_words(even((pad.plane * d.y * 8 + 31) >> 5), "format_input_shift_fnp"));
        for (uint64_t y = 0; y < d.y; ++y)
            for (uint64_t z = 0; z < d.z; ++z)
                for (uint64_t x = 0; x < d.x; ++x)
                    image.set_byte(y * pad.plane + z * pad.row + x, tensor_read<uint8_t>(shifts, {d.index(x, y, z)}));
        return std::move(image).release();
    }
    case InputPadding::RowWordPadded: {
        require_row_word_bits(bits);
        require_vector(shifts, d.elements(), "input_shift");
        uint64_t const packet_words = get_fpksram_size(uint32_t(d.y), uint32_t(d.x), uint32_t(d.z), bits, padding);
        WordImage image(narrow_words(even(packet_words), "format_input_shift_fnp"));
        uint64_t const row = row_word_bytes(d);
        for (uint64_t y = 0; y < d.y; ++y)
            for (uint64_t z = 0; z < d.z; ++z)
                for (uint64_t x = 0; x < d.x; ++x)
                    image.set_byte((y * d.z + z) * row + x, tensor_read<uint8_t>(shifts, {d.index(x, y, z)}));
        return std::move(image).release();
    }
    default: unsupported_padding();
    }
}

std::vector<uint32_t> format_fnp_weights(uint32_t neuron, Dense const& weights, uint8_t weights_bits,
                                         Shape const& s, InputPadding padding, uint8_t bits) {
    Dims const d = dims_of(s);
    if (padding == InputPadding::RowWordPadded)
        require_row_word_bits(bits);
    else
        require_weight_bits(weights_bits);
    // The record size refuses an unsupported padding and, row-byte-padded, input widths other
    // than 1, 2, 4, 8.
    uint32_t const record_words = get_neuron_word_size(s, padding, bits, weights_bits);
    require_rank(weights, 2, "weights");
    require_dimension(weights, 0, padding == InputPadding::Packed ? d.z : d.elements(), "weights");
    require_dimension(weights, 1, uint64_t(neuron) + 1, "weights");

    WordImage image(record_words - 2);
    auto slot = [&](uint64_t index, uint32_t input) {
        uint32_t const mask = (uint32_t{1} << weights_bits) - 1;
        uint32_t const value = uint8_t(tensor_read<int8_t>(weights, {input, neuron})) & mask;
        uint64_t const bit = index * weights_bits;
        image.set(bit / 32, RegDetail{uint32_t(bit % 32), weights_bits}, value);
    };
    switch (padding) {
    case InputPadding::Packed:
        for (uint64_t i = 0; i < d.z; ++i) slot(i, uint32_t(i));
        break;
    case InputPadding::RowBytePadded: {
        RowBytePadding const pad = row_byte_padding(d, bits);
        for (uint64_t y = 0; y < d.y; ++y)
            for (uint64_t z = 0; z < d.z; ++z)
                for (uint64_t x = 0; x < d.x; ++x) slot(y * pad.plane + z * pad.row + x, d.index(x, y, z));
        break;
    }
    case InputPadding::RowWordPadded: {
        uint64_t const row = row_word_bytes(d);
        for (uint64_t y = 0; y < d.y; ++y)
            for (uint64_t z = 0; z < d.z; ++z)
                for (uint64_t x = 0; x < d.x; ++x)
                    image.set_byte((y * d.z + z) * row + x, uint8_t(tensor_read<int8_t>(weights, {d.index(x, y, z), neuron})));
        break;
    }
    default: unsupported_padding();
    }
    return std::move(image).release();
}

std::vector<uint32_t> format_fnp_ram(Layer const& layer, bool flatten, InputPadding padding, uint8_t bits,
                                     uint8_t weights_bits) {
    auto const weights = variable(layer, "weights");
    auto const bias = variable(layer, "bias");
    auto const bias_shift = variable(layer, "bias_shift");
    auto const output_scales = variable(layer, "output_scales");
    auto const output_shift = variable(layer, "output_shift");
    Variables const& vars = layer.variables();
    bool const has_max = vars.has("max_value") || vars.has("max_value_shift");
    std::shared_ptr<Dense const> max_value;
    std::shared_ptr<Dense const> max_value_shift;
    if (has_max) {
        max_value = variable(layer, "max_value");
        max_value_shift = variable(layer, "max_value_shift");
    }

    Shape const s = get_fnp_input_dim(layer, flatten);
    require_rank(*weights, 2, "weights");
    uint32_t const neurons = weights->dimensions()[1];
    require_vector(*bias, neurons, "bias");
    require_vector(*bias_shift, neurons, "bias_shift");
    require_vector(*output_scales, neurons, "output_scales");
    require_vector(*output_shift, neurons, "output_shift");
    if (has_max) {
        require_vector(*max_value, neurons, "max_value");
        require_vector(*max_value_shift, neurons, "max_value_shift");
    }

    uint64_t const record_words = get_neuron_word_size(s, padding, bits, weights_bits);
    WordImage image(get_layer_word_size(*weights, weights_bits, s, padding, bits));
    for (uint32_t n = 0; n < neurons; ++n) {
        uint64_t const word0 = uint64_t(n) * record_words;
        image.set(word0, fnp::BIAS, uint8_t(tensor_read<int8_t>(*bias, {n})));
        image.set(word0, fnp::BIAS_SHIFT, tensor_read<uint8_t>(*bias_shift, {n}));
        if (has_max) {
            image.set(word0, fnp::MAX_VALUE, tensor_read<uint8_t>(*max_value, {n}));
            image.set(word0, fnp::MAX_VALUE_SHIFT, tensor_read<uint8_t>(*max_value_shift, {n}));
        }
        image.set(word0 + 1, fnp::OUTPUT_SCALE, tensor_read<uint8_t>(*output_scales, {n}));
        image.set(word0 + 1, fnp::OUTPUT_SHIFT, uint8_t(tensor_read<int8_t>(*output_shift, {n})));
        image.copy_in(word0 + 2, format_fnp_weights(n, *weights, weights_bits, s, padding, bits));
    }
    return std::move(image).release();
}

}  // namespace nuvra::v2
