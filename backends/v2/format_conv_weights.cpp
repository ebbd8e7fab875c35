#include "backends/v2/format_conv_weights.h"

#include <algorithm>
#include <stdexcept>

#include "program/format_support.h"
#include "backends/v2/sizes.h"
#include "hw/arith.h"

namespace nuvra::v2 {

namespace {

constexpr uint32_t half_bits = 50;        // a 100-bit word travels as two halves of 50 bits
constexpr uint32_t words_per_100b_4 = 4;  // four-word form
constexpr uint32_t filters_per_4bit_group = 8;

[[noreturn]] void unexpected_kernel() {
    throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
}

// Bit `bit` (0-99) of the 100-bit word whose four-word form starts at word `base`.
void set_100b_bit(WordImage& image, uint64_t base, uint32_t bit, uint32_t value) {
    uint32_t const half = bit >= half_bits ? 1 : 0;
    uint32_t const in_half = bit - half * half_bits;
    image.set(base + 2 * half + in_half / 32, RegDetail{in_half % 32, 1}, value);
}

// `count` bits of `value`, least significant first, from bit `bit` of a 100-bit word.
void set_100b_bits(WordImage& image, uint64_t base, uint32_t bit, uint32_t count, uint32_t value) {
    for (uint32_t i = 0; i < count; ++i) set_100b_bit(image, base, bit + i, (value >> i) & 1u);
}

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

// The 4-bit stream: bits run through the halves of consecutive 100-bit words, each half holding
// `half_length` bits (48 or 50); the bits past it stay zero.
class NibbleStream {
public:
    NibbleStream(WordImage& image, uint32_t half_length) : image_(image), half_length_(half_length) {}

    // Starts again at half 0 of the 100-bit word whose four-word form begins at `word32`.
    void reset(uint64_t word32) {
        word_ = word32;
        half_ = 0;
        pos_ = 0;
    }
    // Moves on to the start of the next 100-bit word.
    void next_word() { reset(word_ + words_per_100b_4); }

    void put(uint32_t nibble) {
        for (uint32_t i = 0; i < 4; ++i) {
            if (pos_ == half_length_) {
                pos_ = 0;
                if (half_ == 0) {
                    half_ = 1;
                } else {
                    half_ = 0;
                    word_ += words_per_100b_4;
                }
            }
            set_100b_bit(image_, word_, half_ * half_bits + pos_, (nibble >> i) & 1u);
            ++pos_;
        }
    }

private:
    WordImage& image_;
    uint32_t half_length_;
    uint64_t word_ = 0;
    uint32_t half_ = 0;
    uint32_t pos_ = 0;
};

uint32_t nibble_of(Dense const& weights, uint32_t x, uint32_t y, uint32_t c, uint32_t f) {
    return uint8_t(tensor_read<int8_t>(weights, {x, y, c, f})) & 0xFu;
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
    Conv2dCnpWeightFormat const f = conv2d_cnp_weight_format(g.kernel);
    uint64_t const channel_words = uint64_t(conv2d_ch_cont_100b_size(g.kernel, filters, 8)) * f.words_per_100b;
    WordImage image(conv2d_cnp_formatted_weight_32b_size(g.kernel, filters, g.channels, 8));

    bool const four_word_form = f.words_per_100b == words_per_100b_4;
    for (uint32_t c = 0; c < g.channels; ++c) {
        uint64_t group_base = c * channel_words;  // in 32-bit words
        for (uint32_t start = 0; start < filters; start += f.group_filters, group_base += f.group_words) {
            uint32_t const in_group = std::min(f.group_filters, filters - start);
            for (uint32_t y = 0; y < g.kernel; ++y) {
                uint64_t pos = uint64_t(y) * f.row_bytes;  // byte inside the group
                uint32_t since_skip = 0;
                for (uint32_t s = 0; s < in_group; ++s) {
                    for (uint32_t x = 0; x < g.kernel; ++x) {
                        uint8_t const value = uint8_t(tensor_read<int8_t>(weights, {x, y, c, first + start + s}));
                        if (four_word_form) {
                            // Each 16-byte unit is one 100-bit word; its byte p holds bits 8p.. of it,
                            // so byte 6 straddles the two halves.
                            set_100b_bits(image, group_base + pos / 16 * words_per_100b_4, uint32_t(pos % 16) * 8, 8,
                                          value);
                        } else {
                            image.set_byte(group_base * 4 + pos, value);
                        }
                        ++pos;
                        ++since_skip;
                        if (f.split_values != 0 && since_skip == f.split_values) {
                            pos += f.split_skip;
                            since_skip = 0;
                        }
                    }
                }
            }
        }
    }
    return std::move(image).release();
}

std::vector<uint32_t> format_conv2d_4bit_weights(Dense const& weights, uint32_t first, uint32_t filters) {
    WeightGeometry const g = check_weights(weights, first, filters);
    uint32_t const k = g.kernel;
    uint64_t const channel_words = uint64_t(conv2d_ch_cont_100b_size(k, filters, 4)) * words_per_100b_4;
    WordImage image(conv2d_cnp_formatted_4bit_weight_32b_size(k, filters, g.channels));
    NibbleStream stream(image, k == 1 || k == 3 ? 48 : 50);

    for (uint32_t c = 0; c < g.channels; ++c) {
        uint64_t const channel_base = c * channel_words;
        if (k == 1) {
            stream.reset(channel_base);
            for (uint32_t f = 0; f < filters; ++f) stream.put(nibble_of(weights, 0, 0, c, first + f));
            continue;
        }
        uint64_t const group_words = uint64_t(conv2d_ch_cont_100b_size(k, filters_per_4bit_group, 4)) * words_per_100b_4;
        uint64_t group_base = channel_base;
        for (uint32_t start = 0; start < filters; start += filters_per_4bit_group, group_base += group_words) {
            stream.reset(group_base);
            for (uint32_t y = 0; y < k; ++y) {
                for (uint32_t s = 0; s < filters_per_4bit_group; ++s) {
                    bool const present = start + s < filters;
                    for (uint32_t x = 0; x < k; ++x)
                        stream.put(present ? nibble_of(weights, x, y, c, first + start + s) : 0u);
                    // Kernel 7 rows take three words: slots 0-2, 3-5 and 6-7.
                    if (k == 7 && (s % 3 == 2 || s + 1 == filters_per_4bit_group)) stream.next_word();
                }
            }
        }
    }
    return std::move(image).release();
}

}  // namespace nuvra::v2
