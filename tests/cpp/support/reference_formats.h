// The weight formatters written the slow, obviously checked way: every value read through
// tensor_read and every byte or bit written through WordImage. The formatters of the back ends
// must give exactly these words; bench/format_weights times them as the checked path.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "backends/v2/format_conv_weights.h"
#include "backends/v2/sizes.h"
#include "engine/tensor.h"
#include "program/format_support.h"

namespace nuvra::testing {

// Byte i of a word image (bits 8 (i mod 4) .. of word i / 4).
inline uint8_t byte_at(std::vector<uint32_t> const& words, size_t i) {
    return uint8_t(words.at(i / 4) >> (8 * (i % 4)));
}

namespace reference_detail {

// Bits `bit` .. `bit` + count - 1 (of 0-99) of the 100-bit word whose four-word form starts at
// word `base`: bits 0-49 in words 0 and 1, bits 50-99 in words 2 and 3.
inline void set_100b_bits(WordImage& image, uint64_t base, uint32_t bit, uint32_t count, uint32_t value) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t const half = bit + i >= 50 ? 1 : 0;
        uint32_t const in_half = bit + i - 50 * half;
        image.set_bits(base + 2 * half + in_half / 32, RegDetail{in_half % 32, 1}, (value >> i) & 1u);
    }
}

// The 4-bit stream: bits through the halves of consecutive 100-bit words of `half_length` bits.
struct NibbleStream {
    WordImage& image;
    uint32_t half_length;
    uint64_t word = 0;
    uint32_t half = 0;
    uint32_t pos = 0;

    void reset(uint64_t word32) {
        word = word32;
        half = 0;
        pos = 0;
    }
    void next_word() { reset(word + 4); }
    void put(uint32_t nibble) {
        for (uint32_t i = 0; i < 4; ++i) {
            if (pos == half_length) {
                pos = 0;
                if (half == 0) {
                    half = 1;
                } else {
                    half = 0;
                    word += 4;
                }
            }
            set_100b_bits(image, word, half * 50 + pos, 1, (nibble >> i) & 1u);
            ++pos;
        }
    }
};

}  // namespace reference_detail

// v2::format_conv2d_cnp_weights, value by value.
inline std::vector<uint32_t> checked_conv2d_cnp_weights(Dense const& weights, uint32_t first, uint32_t filters,
                                                        uint8_t bits) {
    using namespace reference_detail;
    require_rank(weights, 4, "weights");
    uint32_t const k = weights.dimensions()[0];
    require_dimension(weights, 1, k, "weights");
    require_dimension(weights, 3, uint64_t(first) + filters, "weights");
    uint32_t const channels = weights.dimensions()[2];
    auto value = [&](uint32_t x, uint32_t y, uint32_t c, uint32_t f) {
        return uint8_t(tensor_read<int8_t>(weights, {x, y, c, f}));
    };

    if (bits == 8) {
        v2::Conv2dCnpWeightFormat const f = v2::conv2d_cnp_weight_format(k);
        uint64_t const channel_words = uint64_t(v2::conv2d_ch_cont_100b_size(k, filters, 8)) * f.words_per_100b;
        WordImage image(v2::conv2d_cnp_formatted_weight_32b_size(k, filters, channels, 8));
        for (uint32_t c = 0; c < channels; ++c) {
            uint64_t group_base = c * channel_words;
            for (uint32_t start = 0; start < filters; start += f.group_filters, group_base += f.group_words) {
                uint32_t const in_group = std::min(f.group_filters, filters - start);
                for (uint32_t y = 0; y < k; ++y) {
                    uint64_t pos = uint64_t(y) * f.row_bytes;
                    uint32_t since_skip = 0;
                    for (uint32_t s = 0; s < in_group; ++s)
                        for (uint32_t x = 0; x < k; ++x) {
                            if (f.words_per_100b == 4)
                                set_100b_bits(image, group_base + pos / 16 * 4, uint32_t(pos % 16) * 8, 8,
                                              value(x, y, c, first + start + s));
                            else
                                image.set_byte(group_base * 4 + pos, value(x, y, c, first + start + s));
                            ++pos;
                            if (f.split_values != 0 && ++since_skip == f.split_values) {
                                pos += f.split_skip;
                                since_skip = 0;
                            }
                        }
                }
            }
        }
        return std::move(image).release();
    }

    uint64_t const channel_words = uint64_t(v2::conv2d_ch_cont_100b_size(k, filters, 4)) * 4;
    WordImage image(v2::conv2d_cnp_formatted_4bit_weight_32b_size(k, filters, channels));
    NibbleStream stream{image, k == 1 || k == 3 ? 48u : 50u};
    for (uint32_t c = 0; c < channels; ++c) {
        if (k == 1) {
            stream.reset(c * channel_words);
            for (uint32_t f = 0; f < filters; ++f) stream.put(value(0, 0, c, first + f) & 0xFu);
            continue;
        }
        uint64_t const group_words = uint64_t(v2::conv2d_ch_cont_100b_size(k, 8, 4)) * 4;
        uint64_t group_base = c * channel_words;
        for (uint32_t start = 0; start < filters; start += 8, group_base += group_words) {
            stream.reset(group_base);
            for (uint32_t y = 0; y < k; ++y)
                for (uint32_t s = 0; s < 8; ++s) {
                    for (uint32_t x = 0; x < k; ++x)
                        stream.put(start + s < filters ? value(x, y, c, first + start + s) & 0xFu : 0u);
                    if (k == 7 && (s % 3 == 2 || s == 7)) stream.next_word();
                }
        }
    }
    return std::move(image).release();
}

// v2::format_fnp_weights, weight by weight, for arguments it accepts (its refusals are tested
// apart).
inline std::vector<uint32_t> checked_fnp_weights(uint32_t neuron, Dense const& weights, uint8_t weights_bits,
                                                 Shape const& s, v2::InputPadding padding, uint8_t bits) {
    using v2::InputPadding;
    uint64_t const x_size = s[0], y_size = s[1], z_size = s[2];
    auto input = [&](uint64_t x, uint64_t y, uint64_t z) { return uint32_t((x * y_size + y) * z_size + z); };
    WordImage image(v2::get_neuron_word_size(s, padding, bits, weights_bits) - 2);
    auto slot = [&](uint64_t index, uint32_t i) {
        uint32_t const value = uint8_t(tensor_read<int8_t>(weights, {i, neuron})) & ((1u << weights_bits) - 1);
        uint64_t const bit = index * weights_bits;
        image.set_bits(bit / 32, RegDetail{uint32_t(bit % 32), weights_bits}, value);
    };
    if (padding == InputPadding::Packed) {
        for (uint32_t i = 0; i < z_size; ++i) slot(i, i);
    } else if (padding == InputPadding::RowBytePadded) {
        uint64_t const row = x_size + v2::fnp_row_pad_slots(uint32_t(x_size), bits);
        uint64_t const plane = row * z_size + v2::fnp_plane_pad_slots(uint32_t(x_size), uint32_t(z_size), bits);
        for (uint64_t y = 0; y < y_size; ++y)
            for (uint64_t z = 0; z < z_size; ++z)
                for (uint64_t x = 0; x < x_size; ++x) slot(y * plane + z * row + x, input(x, y, z));
    } else {
        uint64_t const row = (x_size + 3) & ~uint64_t{3};
        for (uint64_t y = 0; y < y_size; ++y)
            for (uint64_t z = 0; z < z_size; ++z)
                for (uint64_t x = 0; x < x_size; ++x)
                    image.set_byte((y * z_size + z) * row + x,
                                   uint8_t(tensor_read<int8_t>(weights, {input(x, y, z), neuron})));
    }
    return std::move(image).release();
}

}  // namespace nuvra::testing
