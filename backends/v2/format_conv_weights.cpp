#include "backends/v2/format_conv_weights.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "backends/v2/sizes.h"
#include "hw/arith.h"
#include "program/format_support.h"

namespace nuvra::v2 {

namespace {

constexpr uint32_t half_bits = 50;        // a 100-bit word travels as two halves of 50 bits
constexpr uint32_t words_per_100b_4 = 4;  // four-word form
constexpr uint32_t unit_bytes = 16;       // bytes of one 100-bit word laid out as bytes
constexpr uint32_t filters_per_4bit_group = 8;

[[noreturn]] void unexpected_kernel() {
    throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
}

[[noreturn]] void past_the_block() { throw std::logic_error("A Conv2D weight layout runs past its block."); }

// The weight tensor's kernel and channels, after checking its shape against the filters read.
struct WeightGeometry {
    uint32_t kernel = 0;
    uint32_t channels = 0;
};

WeightGeometry check_weights(Dense const& weights, uint32_t first, uint32_t filters) {
    require_rank(weights, 4, "weights");
    uint32_t const kernel = weights.dimensions()[0];
    // The kernel is square: every row of it is read.
    require_dimension(weights, 1, kernel, "weights");
    require_dimension(weights, 3, uint64_t(first) + filters, "weights");
    return {kernel, weights.dimensions()[2]};
}

// What the hot loops of one block read and where they write, every index checked before.
struct Block {
    ByteElements<int8_t> const& w;
    uint32_t channels;
    uint32_t first;           // the first filter read
    uint32_t filters;         // filters read
    uint32_t group_filters;   // filters of a group
    uint64_t channel_words;   // 32-bit words of a channel
    uint64_t group_words;     // 32-bit words of a group
    std::vector<uint32_t>& words;

    // Calls `fill(c, start, in_group, base)` for every group: channel c, its filters start ..
    // start + in_group - 1 (counted from `first`) and its first word. Checks first that every
    // group lies inside the block.
    template <class Fill>
    void each_group(Fill fill) const {
        uint64_t const groups = (uint64_t{filters} + group_filters - 1) / group_filters;
        if (groups * group_words > channel_words || uint64_t{channels} * channel_words > words.size())
            past_the_block();
        for (uint32_t c = 0; c < channels; ++c)
            for (uint64_t group = 0; group < groups; ++group) {
                uint32_t const start = uint32_t(group * group_filters);
                fill(c, start, std::min(group_filters, filters - start), c * channel_words + group * group_words);
            }
    }
};

// Where kernel row y of channel c starts for filter `filter`, one pointer per column x; filter
// `filter` + s is s filter strides further.
template <uint32_t K>
std::array<int8_t const*, K> row_sources(ByteElements<int8_t> const& w, uint32_t y, uint32_t c, uint32_t filter) {
    std::array<int8_t const*, K> sources{};
    for (uint32_t x = 0; x < K; ++x) sources[x] = w.address(x, y, c, filter);
    return sources;
}

// The kernel row at `offset` from `sources`: value x in bits Width x .. Width x + Width - 1 (its
// low Width bits).
template <uint32_t K, uint32_t Width>
uint64_t kernel_row(std::array<int8_t const*, K> const& sources, uint64_t offset) {
    constexpr uint64_t mask = (uint64_t{1} << Width) - 1;
    uint64_t row = 0;
    for (uint32_t x = 0; x < K; ++x) row |= (uint64_t{uint8_t(sources[x][offset])} & mask) << (Width * x);
    return row;
}

// 8-bit three-word form of kernel K: in a row of a group, filter slot s holds its K values from
// byte s x SlotBytes on (a slot of kernel 5 ends with a skipped byte).
template <uint32_t K, uint32_t SlotBytes>
void eight_bit_three_words(Block const& block, uint32_t row_bytes) {
    if (uint64_t{K - 1} * row_bytes + uint64_t{block.group_filters} * SlotBytes > block.group_words * 4)
        past_the_block();
    ByteElements<int8_t> const& w = block.w;
    uint64_t const filter_stride = w.stride(3);
    ByteWriter out(block.words);
    block.each_group([&](uint32_t c, uint32_t start, uint32_t in_group, uint64_t base) {
        for (uint32_t y = 0; y < K; ++y) {
            std::array<int8_t const*, K> const sources = row_sources<K>(w, y, c, block.first + start);
            uint64_t at = base * 4 + uint64_t{y} * row_bytes;
            for (uint32_t s = 0; s < in_group; ++s, at += SlotBytes)
                for (uint32_t x = 0; x < K; ++x) out.put(at + x, uint8_t(sources[x][s * filter_stride]));
        }
    });
}

// 8-bit four-word form of kernel 7: each filter row is one 16-byte unit, that is one 100-bit
// word whose bits 0 .. 55 are the row's bytes (the byte at bit 48 straddles the halves).
void eight_bit_four_words(Block const& block) {
    constexpr uint32_t k = 7;
    constexpr uint64_t half_mask = (uint64_t{1} << half_bits) - 1;
    ByteElements<int8_t> const& w = block.w;
    uint64_t const filter_stride = w.stride(3);
    block.each_group([&](uint32_t c, uint32_t start, uint32_t in_group, uint64_t base) {
        for (uint32_t y = 0; y < k; ++y) {
            std::array<int8_t const*, k> const sources = row_sources<k>(w, y, c, block.first + start);
            for (uint32_t s = 0; s < in_group; ++s) {
                uint64_t const row = kernel_row<k, 8>(sources, s * filter_stride);
                uint32_t* out = &block.words[base + (uint64_t{y} * block.group_filters + s) * words_per_100b_4];
                out[0] = uint32_t(row);
                out[1] = uint32_t((row & half_mask) >> 32);
                out[2] = uint32_t(row >> half_bits);
            }
        }
    });
}

// The 4-bit stream of kernel K (3, 5 or 7): per group, per kernel row, each of 8 filter slots'
// K nibbles (zeros for a slot past the last filter), bit 0 first, through the halves of
// consecutive 100-bit words of 48 (kernel 3) or 50 bits; the bits past them stay zero. Kernel 7
// starts a new 100-bit word after slots 2, 5 and 7 of a row. In the four-word form the halves are
// consecutive pairs of words (bits 0-31, then bits 32-49 in bits 0-17 of the second), so a half
// is gathered in a register and written whole.
template <uint32_t K>
void four_bit_groups(Block const& block) {
    constexpr uint32_t length = K == 3 ? 48 : 50;
    constexpr uint32_t row_bits = 4 * K;
    constexpr uint64_t mask = (uint64_t{1} << length) - 1;
    ByteElements<int8_t> const& w = block.w;
    uint64_t const filter_stride = w.stride(3);
    uint64_t const group_halves = block.group_words / 2;
    block.each_group([&](uint32_t c, uint32_t start, uint32_t in_group, uint64_t base) {
        uint32_t* out = &block.words[base];
        uint64_t half = 0;  // of the group
        uint64_t acc = 0;   // the half in progress
        uint32_t used = 0;  // its bits so far
        auto write = [&](uint64_t value) {
            if (half >= group_halves) past_the_block();
            out[2 * half] = uint32_t(value);
            out[2 * half + 1] = uint32_t(value >> 32);
            ++half;
        };
        for (uint32_t y = 0; y < K; ++y) {
            std::array<int8_t const*, K> const sources = row_sources<K>(w, y, c, block.first + start);
            for (uint32_t s = 0; s < filters_per_4bit_group; ++s) {
                uint64_t const row = s < in_group ? kernel_row<K, 4>(sources, s * filter_stride) : 0;
                if (used + row_bits < length) {
                    acc |= row << used;
                    used += row_bits;
                } else {
                    // The half is full: the row's last bits begin the next one.
                    write((acc | row << used) & mask);
                    acc = row >> (length - used);
                    used = used + row_bits - length;
                }
                if (K == 7 && (s % 3 == 2 || s + 1 == filters_per_4bit_group)) {
                    if (used > 0) write(acc);
                    acc = 0;
                    used = 0;
                    half += half & 1;
                }
            }
        }
        if (used > 0) write(acc);
    });
}

// The 4-bit stream of kernel 1: each channel's filters, twelve nibbles to a 48-bit half.
void four_bit_kernel_one(Block const& block) {
    constexpr uint32_t per_half = 12;
    if (block.filters > 0 && 2 * uint64_t{(block.filters - 1) / per_half} + 1 >= block.channel_words)
        past_the_block();
    if (uint64_t{block.channels} * block.channel_words > block.words.size()) past_the_block();
    ByteElements<int8_t> const& w = block.w;
    uint64_t const filter_stride = w.stride(3);
    for (uint32_t c = 0; c < block.channels; ++c) {
        int8_t const* source = w.address(0, 0, c, block.first);
        uint32_t* out = &block.words[c * block.channel_words];
        for (uint32_t f = 0; f < block.filters; ++f) {
            uint32_t const bit = 4 * (f % per_half);
            out[2 * (f / per_half) + bit / 32] |= (uint8_t(source[f * filter_stride]) & 0xFu) << (bit % 32);
        }
    }
}

}  // namespace

Conv2dCnpWeightFormat conv2d_cnp_weight_format(uint32_t kernel_size) {
    switch (kernel_size) {
    case 1: return {0, 0, 24, 6, 0, 3, 1};
    case 3: return {0, 0, 8, 18, 24, 3, 1};
    case 4: return {0, 0, 8, 36, 36, 3, 1};
    case 5: return {5, 1, 8, 60, 48, 3, 1};
    case 7: return {7, 9, 8, 224, 128, 4, 0};
    default: unexpected_kernel();
    }
}

dma::Target conv2d_dma_target(uint32_t kernel_size, uint8_t bits) {
    if (bits == 4) return dma::Target::Weights;
    return dma::Target(conv2d_cnp_weight_format(kernel_size).dma_target);
}

uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels) {
    uint64_t const words100 = uint64_t(conv2d_ch_cont_100b_size(kernel_size, filters, 4)) * channels;
    return narrow_words(words100 * words_per_100b_4, "conv2d_cnp_formatted_4bit_weight_32b_size");
}

uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels,
                                              uint8_t bits) {
    if (bits != 8) return conv2d_cnp_formatted_4bit_weight_32b_size(kernel_size, filters, channels);
    const char* what = "conv2d_cnp_formatted_weight_32b_size";
    // The 100-bit count first: its kernel check is the one this size reports.
    uint64_t const ch8 = conv2d_ch_cont_100b_size(kernel_size, filters, 8);
    uint64_t const per_100b = conv2d_cnp_weight_format(kernel_size).words_per_100b;
    return xl_padded_32b_size(checked_mul(ch8 * per_100b, channels, what), what);
}

std::vector<uint32_t> format_conv2d_cnp_weights(Dense const& weights, uint32_t first, uint32_t filters,
                                                uint8_t bits) {
    if (bits != 8) return format_conv2d_4bit_weights(weights, first, filters);
    WeightGeometry const g = check_weights(weights, first, filters);
    uint32_t const k = g.kernel;
    Conv2dCnpWeightFormat const f = conv2d_cnp_weight_format(k);
    uint64_t const channel_words = uint64_t(conv2d_ch_cont_100b_size(k, filters, 8)) * f.words_per_100b;
    std::vector<uint32_t> words(conv2d_cnp_formatted_weight_32b_size(k, filters, g.channels, 8), 0u);
    if (filters == 0 || g.channels == 0) return words;
    ByteElements<int8_t> const w(weights);
    Block const block{w, g.channels, first, filters, f.group_filters, channel_words, f.group_words, words};

    // The layouts of the table: skips after whole filter rows only, and the four-word form
    // holds one filter row per 100-bit word.
    uint32_t const slot_bytes = k + (f.split_values != 0 ? f.split_skip : 0);
    bool const four_word_form = f.words_per_100b == words_per_100b_4;
    if ((f.split_values != 0 && f.split_values != k) ||
        (four_word_form && (k != 7 || slot_bytes != unit_bytes || f.row_bytes != f.group_filters * unit_bytes)))
        throw std::logic_error("Unexpected Conv2D weight layout.");
    if (four_word_form) {
        eight_bit_four_words(block);
        return words;
    }
    switch (slot_bytes) {
    case 1: eight_bit_three_words<1, 1>(block, f.row_bytes); break;
    case 3: eight_bit_three_words<3, 3>(block, f.row_bytes); break;
    case 4: eight_bit_three_words<4, 4>(block, f.row_bytes); break;
    case 6: eight_bit_three_words<5, 6>(block, f.row_bytes); break;
    default: throw std::logic_error("Unexpected Conv2D weight layout.");
    }
    return words;
}

std::vector<uint32_t> format_conv2d_4bit_weights(Dense const& weights, uint32_t first, uint32_t filters) {
    WeightGeometry const g = check_weights(weights, first, filters);
    uint32_t const k = g.kernel;
    uint64_t const channel_words = uint64_t(conv2d_ch_cont_100b_size(k, filters, 4)) * words_per_100b_4;
    std::vector<uint32_t> words(conv2d_cnp_formatted_4bit_weight_32b_size(k, filters, g.channels), 0u);
    if (filters == 0 || g.channels == 0) return words;
    ByteElements<int8_t> const w(weights);
    uint64_t const group_words =
        k == 1 ? channel_words
               : uint64_t(conv2d_ch_cont_100b_size(k, filters_per_4bit_group, 4)) * words_per_100b_4;
    Block const block{w, g.channels, first, filters, filters_per_4bit_group, channel_words, group_words, words};
    switch (k) {
    case 1: four_bit_kernel_one(block); break;
    case 3: four_bit_groups<3>(block); break;
    case 5: four_bit_groups<5>(block); break;
    case 7: four_bit_groups<7>(block); break;
    default: throw std::logic_error("Unexpected Conv2D weight layout.");
    }
    return words;
}

}  // namespace nuvra::v2
