#include "backends/v2/format_fnp.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "hw/arith.h"
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
    uint64_t elements() const { return mul_sat({x, y, z}); }
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
uint64_t row_word_bytes(Dims const& d) { return align_up(d.x, 4); }

uint64_t even(uint64_t words) { return align_up(words, 2); }

std::shared_ptr<Dense const> variable(Layer const& layer, const char* name) {
    return std::as_const(*layer.variable(name)).ensure_dense();
}

// The shift of input (x, y, z) as byte y plane + z row + x of `words`, checked once to lie inside.
void put_shifts(Dense const& shifts, Dims const& d, uint64_t plane, uint64_t row, std::vector<uint32_t>& words) {
    ByteElements<uint8_t> const source(shifts);
    ByteWriter out(words);
    if ((d.y - 1) * plane + (d.z - 1) * row + d.x > out.bytes())
        throw std::logic_error("FNP input shifts run past their block.");
    uint64_t const x_stride = d.y * d.z * source.stride(0);
    for (uint64_t y = 0; y < d.y; ++y)
        for (uint64_t z = 0; z < d.z; ++z) {
            uint8_t const* first = source.address(d.index(0, y, z), 0, 0, 0);
            for (uint64_t x = 0; x < d.x; ++x) out.put(y * plane + z * row + x, first[x * x_stride]);
        }
}

[[noreturn]] void past_the_record() { throw std::logic_error("An FNP weight layout runs past its record."); }

// How the weights of one neuron fill the words after its two variable words, checked once for
// every neuron of a tensor: the input shape, the widths, the padding and the tensor's rank and
// extent.
struct NeuronWeights {
    Dims d;
    InputPadding padding;
    uint8_t weights_bits;
    uint64_t words;           // of one neuron
    RowBytePadding pad;       // row-byte padded: slots of a row and of a plane
    uint64_t row_bytes = 0;   // row-word padded: bytes of a row
};

NeuronWeights neuron_weights(Dense const& weights, uint32_t neurons, uint8_t weights_bits, Shape const& s,
                             InputPadding padding, uint8_t bits) {
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
    require_dimension(weights, 1, neurons, "weights");

    NeuronWeights n{d, padding, weights_bits, uint64_t{record_words} - FNP_NEURON_HEADER_WORDS, {}, 0};
    // The last slot or byte written lies inside the neuron's words.
    uint64_t end_bits = 0;
    switch (padding) {
    case InputPadding::Packed: end_bits = d.z * weights_bits; break;
    case InputPadding::RowBytePadded:
        n.pad = row_byte_padding(d, bits);
        end_bits = ((d.y - 1) * n.pad.plane + (d.z - 1) * n.pad.row + d.x) * weights_bits;
        break;
    case InputPadding::RowWordPadded:
        n.row_bytes = row_word_bytes(d);
        end_bits = (((d.y - 1) * d.z + d.z - 1) * n.row_bytes + d.x) * 8;
        break;
    default: unsupported_padding();
    }
    if (end_bits > n.words * 32) past_the_record();
    return n;
}

// An 8 x 8 block of bytes, byte s of word j holding element (j, s), becomes its transpose: byte s
// of word j then holds element (s, j).
[[gnu::always_inline]] inline void transpose_8x8(std::array<uint64_t, 8>& m) {
    // Swap the off-diagonal halves of 2 x 2, then 4 x 4, then 8 x 8 blocks of bytes.
    for (uint32_t i = 0; i < 8; i += 2) {
        uint64_t const t = ((m[i] >> 8) ^ m[i + 1]) & 0x00FF00FF00FF00FFull;
        m[i + 1] ^= t;
        m[i] ^= t << 8;
    }
    for (uint32_t i : {0u, 1u, 4u, 5u}) {
        uint64_t const t = ((m[i] >> 16) ^ m[i + 2]) & 0x0000FFFF0000FFFFull;
        m[i + 2] ^= t;
        m[i] ^= t << 16;
    }
    for (uint32_t i = 0; i < 4; ++i) {
        uint64_t const t = ((m[i] >> 32) ^ m[i + 4]) & 0x00000000FFFFFFFFull;
        m[i + 4] ^= t;
        m[i] ^= t << 32;
    }
}

// The low Width bits (1, 2, 4 or 8) of each byte of `bytes`, byte s in bits Width s onwards: eight
// consecutive slots of one neuron.
template <uint32_t Width>
uint64_t pack_slots(uint64_t bytes) {
    if constexpr (Width == 8) {
        return bytes;
    } else {
        constexpr uint64_t low = (uint64_t{1} << Width) - 1;
        uint64_t x = bytes & (low * 0x0101010101010101ull);
        // Pairs of lanes merge three times: lanes of 8, 16, 32 bits holding 2, 4, 8 values.
        for (uint32_t step = 0; step < 3; ++step) {
            uint32_t const lane = 16u << step;
            uint32_t const kept = (2 * Width) << step;
            uint64_t const group = (uint64_t{1} << kept) - 1;
            uint64_t mask = 0;
            for (uint32_t at = 0; at < 64; at += lane) mask |= group << at;
            x = (x | x >> ((8 - Width) << step)) & mask;
        }
        return x;
    }
}

// ORs the `bits` low bits of `value` (8 to 64, a multiple of 8) into the zero bits of `record` from
// bit `bit` on.
void or_bits(uint32_t* record, uint64_t bit, uint64_t value, uint32_t bits) {
    for (uint32_t done = 0; done < bits; done += 32, bit += 32, value >>= 32) {
        uint32_t const part = std::min(32u, bits - done);
        uint32_t const piece = uint32_t(value);
        uint32_t* word = record + bit / 32;
        uint32_t const shift = uint32_t(bit % 32);
        word[0] |= piece << shift;
        if (shift + part > 32) word[1] |= piece >> (32 - shift);
    }
}

// Writes the weights (I, first + j) of `count` neurons (1 to 8) into the zero words from
// out + j record_words on (n.words of them each).
template <uint32_t Width>
void write_neuron_weights_of(NeuronWeights const& n, ByteElements<int8_t> const& w, uint32_t first, uint32_t count,
                             uint32_t* out, uint64_t record_words) {
    Dims const& d = n.d;
    uint64_t const neuron_stride = w.stride(1);
    constexpr uint64_t mask = (uint64_t{1} << Width) - 1;
    // Slot `index` of every neuron of the block: input `input`, neuron j from byte j of one read.
    // Slots of a width dividing 32 never straddle two words.
    auto slot = [&](uint64_t index, uint64_t input) {
        int8_t const* source = w.address(input, first, 0, 0);
        uint64_t values = 0;
        if (count == 8) {
            values = eight_elements(source, neuron_stride);
        } else {
            for (uint32_t j = 0; j < count; ++j) values |= uint64_t{uint8_t(source[j * neuron_stride])} << (8 * j);
        }
        uint64_t const bit = index * Width;
        uint32_t* word = out + bit / 32;
        for (uint32_t j = 0; j < count; ++j, word += record_words)
            *word |= uint32_t((values >> (8 * j)) & mask) << (bit % 32);
    };
    // `length` consecutive slots from `index` holding the inputs `step` apart from `input`: eight
    // slots of eight neurons at a time as an 8 x 8 block of bytes, the rest slot by slot.
    uint64_t const input_stride = w.stride(0);
    auto run = [&](uint64_t index, uint64_t input, uint64_t step, uint64_t length) {
        uint64_t done = 0;
        if (count == 8) {
            std::array<uint64_t, 8> block{};
            for (; done + 8 <= length; done += 8) {
                if (step * input_stride == 1) {
                    // Each neuron's eight inputs lie side by side: one read per neuron.
                    for (uint32_t j = 0; j < 8; ++j)
                        block[j] = eight_elements(w.address(input + done, first + j, 0, 0), 1);
                } else {
                    for (uint32_t s = 0; s < 8; ++s)
                        block[s] = eight_elements(w.address(input + (done + s) * step, first, 0, 0), neuron_stride);
                    transpose_8x8(block);
                }
                for (uint32_t j = 0; j < 8; ++j)
                    or_bits(out + j * record_words, (index + done) * Width, pack_slots<Width>(block[j]), 8 * Width);
            }
        }
        for (; done < length; ++done) slot(index + done, input + done * step);
    };
    uint64_t const x_step = d.y * d.z;  // inputs between neighbours of a row
    switch (n.padding) {
    case InputPadding::Packed: run(0, 0, 1, d.z); break;
    case InputPadding::RowBytePadded:
        for (uint64_t y = 0; y < d.y; ++y) {
            if (d.x == 1 && n.pad.row == 1) {
                // Rows of one element without padding (a column of inputs): the plane is one run.
                run(y * n.pad.plane, d.index(0, y, 0), 1, d.z);
                continue;
            }
            for (uint64_t z = 0; z < d.z; ++z) run(y * n.pad.plane + z * n.pad.row, d.index(0, y, z), x_step, d.x);
        }
        break;
    case InputPadding::RowWordPadded:
        for (uint64_t y = 0; y < d.y; ++y)
            for (uint64_t z = 0; z < d.z; ++z) run((y * d.z + z) * n.row_bytes, d.index(0, y, z), x_step, d.x);
        break;
    default: unsupported_padding();
    }
}

void write_neuron_weights(NeuronWeights const& n, ByteElements<int8_t> const& w, uint32_t first, uint32_t count,
                          uint32_t* out, uint64_t record_words) {
    // Row-word padding keeps a whole byte per weight.
    switch (n.padding == InputPadding::RowWordPadded ? 8 : n.weights_bits) {
    case 1: write_neuron_weights_of<1>(n, w, first, count, out, record_words); break;
    case 2: write_neuron_weights_of<2>(n, w, first, count, out, record_words); break;
    case 4: write_neuron_weights_of<4>(n, w, first, count, out, record_words); break;
    case 8: write_neuron_weights_of<8>(n, w, first, count, out, record_words); break;
    default: throw std::logic_error("An FNP weight width was not checked.");
    }
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
        uint64_t const plane_words = words_for_bits(mul_sat({pad.plane, d.y, 8}), 32);
        std::vector<uint32_t> words(narrow_words(even(plane_words), "format_input_shift_fnp"), 0u);
        put_shifts(shifts, d, pad.plane, pad.row, words);
        return words;
    }
    case InputPadding::RowWordPadded: {
        require_row_word_bits(bits);
        require_vector(shifts, d.elements(), "input_shift");
        uint64_t const packet_words = get_fpksram_size(uint32_t(d.y), uint32_t(d.x), uint32_t(d.z), bits, padding);
        std::vector<uint32_t> words(narrow_words(even(packet_words), "format_input_shift_fnp"), 0u);
        uint64_t const row = row_word_bytes(d);
        put_shifts(shifts, d, d.z * row, row, words);
        return words;
    }
    default: unsupported_padding();
    }
}

std::vector<uint32_t> format_fnp_weights(uint32_t neuron, Dense const& weights, uint8_t weights_bits,
                                         Shape const& s, InputPadding padding, uint8_t bits) {
    NeuronWeights const n = neuron_weights(weights, neuron + 1, weights_bits, s, padding, bits);
    std::vector<uint32_t> words(n.words, 0u);
    write_neuron_weights(n, ByteElements<int8_t>(weights), neuron, 1, words.data(), n.words);
    return words;
}

void format_fnp_weights(uint8_t* image, uint32_t neuron, Dense const& weights, uint8_t weights_bits, Shape const& s,
                        InputPadding padding, uint8_t bits) {
    if (image == nullptr) throw std::invalid_argument("No FNP memory image to write the weights into.");
    std::vector<uint32_t> const words = format_fnp_weights(neuron, weights, weights_bits, s, padding, bits);
    uint64_t const record_words = get_neuron_word_size(s, padding, bits, weights_bits);
    uint8_t* const out = image + (record_words * neuron + FNP_NEURON_HEADER_WORDS) * 4;
    for (size_t i = 0; i < 4 * words.size(); ++i) out[i] = uint8_t(words[i / 4] >> (8 * (i % 4)));
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
    std::vector<uint32_t> words(get_layer_word_size(*weights, weights_bits, s, padding, bits), 0u);
    if (uint64_t{neurons} * record_words > words.size()) past_the_record();
    if (neurons == 0) return words;
    // The element types are checked once, in the order the first neuron reads them, then the
    // weights for every neuron; the loops below read without checks.
    ByteElements<int8_t> const bias_v(*bias);
    ByteElements<uint8_t> const bias_shift_v(*bias_shift);
    std::optional<ByteElements<uint8_t>> max_value_v, max_value_shift_v;
    if (has_max) {
        max_value_v.emplace(*max_value);
        max_value_shift_v.emplace(*max_value_shift);
    }
    ByteElements<uint8_t> const output_scales_v(*output_scales);
    ByteElements<int8_t> const output_shift_v(*output_shift);
    NeuronWeights const layout = neuron_weights(*weights, neurons, weights_bits, s, padding, bits);
    if (layout.words + FNP_NEURON_HEADER_WORDS != record_words) past_the_record();

    // Every value is a byte written into a field of 8 bits: none can overflow.
    static_assert(NEURON_BIAS.bits.width == 8 && NEURON_BIAS_SHIFT.bits.width == 8 &&
                  NEURON_MAX_VALUE.bits.width == 8 && NEURON_MAX_VALUE_SHIFT.bits.width == 8 &&
                  NEURON_OUTPUT_SCALE.bits.width == 8 && NEURON_OUTPUT_SHIFT.bits.width == 8);
    for (uint32_t n = 0; n < neurons; ++n) {
        // Built in a local record (kept in registers), then stored.
        uint32_t record[FNP_NEURON_HEADER_WORDS] = {};
        put_field<NEURON_BIAS>(record, uint8_t(bias_v.at(n, 0, 0, 0)));
        put_field<NEURON_BIAS_SHIFT>(record, bias_shift_v.at(n, 0, 0, 0));
        if (has_max) {
            put_field<NEURON_MAX_VALUE>(record, max_value_v->at(n, 0, 0, 0));
            put_field<NEURON_MAX_VALUE_SHIFT>(record, max_value_shift_v->at(n, 0, 0, 0));
        }
        put_field<NEURON_OUTPUT_SCALE>(record, output_scales_v.at(n, 0, 0, 0));
        put_field<NEURON_OUTPUT_SHIFT>(record, uint8_t(output_shift_v.at(n, 0, 0, 0)));
        std::copy(std::begin(record), std::end(record), &words[uint64_t(n) * record_words]);
    }
    // Eight neurons at a time: their weights of one input lie side by side in the tensor.
    ByteElements<int8_t> const w(*weights);
    for (uint32_t n = 0; n < neurons; n += 8)
        write_neuron_weights(layout, w, n, std::min(8u, neurons - n),
                             &words[uint64_t(n) * record_words + FNP_NEURON_HEADER_WORDS], record_words);
    return words;
}

}  // namespace nuvra::v2
