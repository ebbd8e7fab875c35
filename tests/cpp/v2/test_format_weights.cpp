// CNP and TNP-B weight blocks of the convolution kinds: layouts, DMA targets, word counts, refusals.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "backends/v2/format_conv_weights.h"
#include "backends/v2/format_dwconv_weights.h"
#include "backends/v2/format_tnp_b_weights.h"
#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "support/reference_formats.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::byte_at;
using nuvra::testing::error_text;

using ValueFn = std::function<int8_t(uint32_t x, uint32_t y, uint32_t c, uint32_t f)>;

// A distinct non-zero byte per element of a Conv2D kernel.
int8_t distinct(uint32_t x, uint32_t y, uint32_t c, uint32_t f) { return int8_t(1 + x + 7 * y + 49 * c + 3 * f); }
// Of a depthwise kernel (x, y, 0, channel).
int8_t dw_distinct(uint32_t x, uint32_t y, uint32_t, uint32_t c) { return int8_t(1 + x + 8 * y + 64 * c); }
// Of temporal weights (0, 0, row, column).
int8_t temporal(uint32_t, uint32_t, uint32_t r, uint32_t c) { return int8_t(1 + 16 * r + c); }

// A (k, k, C, F) weight tensor of int8 values given by `value` (the int4 type holds the same bytes).
std::shared_ptr<Dense> weights_of(uint32_t k, uint32_t channels, uint32_t filters, ValueFn const& value = distinct,
                                  TensorType type = TensorType::int8) {
    auto w = Dense::create(type, Shape{k, k, channels, filters}, Layout::c_order);
    for (uint32_t x = 0; x < k; ++x)
        for (uint32_t y = 0; y < k; ++y)
            for (uint32_t c = 0; c < channels; ++c)
                for (uint32_t f = 0; f < filters; ++f) tensor_write<int8_t>(*w, {x, y, c, f}, value(x, y, c, f));
    return w;
}

TEST(V2WeightFormat, TargetsAndSizes) {
    // 8-bit kernel 7 and every 4-bit kernel go to target 0, other 8-bit kernels to target 1; the
    // depthwise kind the other way round for 8-bit kernel 7.
    EXPECT_EQ(conv2d_dma_target(7, 8), dma::Target::Weights);
    EXPECT_EQ(conv2d_dma_target(3, 8), dma::Target::WeightsAlt);
    EXPECT_EQ(conv2d_dma_target(2, 4), dma::Target::Weights);
    EXPECT_EQ(dwc_dma_target(7, 8), dma::Target::WeightsAlt);
    EXPECT_EQ(dwc_dma_target(6, 4), dma::Target::Weights);
    EXPECT_EQ(dwc_cnp_weight_format(7), (DwcCnpWeightFormat{4, 2, 3, 84, 3, 1}));

    struct { uint32_t k, n, channels; uint8_t bits; uint32_t words; } const conv[] = {
        {3, 0, 5, 8, 0},
        {3, 8, 227, 8, 4086},    // 4086 words fit a normal header
        {3, 8, 228, 8, 4112},    // 4104 need the XL header: rounded up to 16
        {3, 8, 1024, 4, 12288},  // no rounding for 4-bit weights
    };
    for (auto const& row : conv)
        EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(row.k, row.n, row.channels, row.bits), row.words)
            << row.k << "," << row.n << "," << row.channels << "," << int(row.bits);
    struct { uint32_t k, c; uint8_t bits; uint32_t ch_cont, words; } const dw[] = {
        {4, 3, 8, 6, 18}, {7, 1, 8, 7, 21},
        {3, 1365, 8, 1365, 4095},  // a normal header still
        {3, 1366, 8, 1366, 4112},  // 4098 words need the XL header
        {3, 3, 4, 2, 16}, {7, 3, 4, 11, 48},
    };
    for (auto const& row : dw) {
        EXPECT_EQ(dwc_ch_cont_100b_size(row.k, row.c, row.bits), row.ch_cont) << row.k << "/" << int(row.bits);
        EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(row.k, row.c, row.bits), row.words) << row.k << "/" << int(row.bits);
    }
    struct { uint32_t filters, words; } const ch_cont[] = {{0, 0}, {24, 2}, {25, 4}};
    for (auto const& row : ch_cont) EXPECT_EQ(buffer_temp_conv_ch_cont_100b_size(row.filters), row.words) << row.filters;
    EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(10, 6), 36u);
    EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(2048, 8192), 4227072u);  // 516-word rows: no XL rounding
    EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 4), 48u);
    EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 342), 4112u);  // 4104 words need XL

    // Word counts are worked out in 64 bits: 3 x 172 x 0x80000000 would wrap in 32.
    struct { std::function<void()> call; char const* message; } const refusals[] = {
        {[] { conv2d_cnp_weight_format(6); }, "cnp_weight_format: Unexpected kernel size."},
        {[] { conv2d_dma_target(2, 2); }, "cnp_weight_format: Unexpected kernel size."},  // only 4 is 4-bit here
        {[] { conv2d_cnp_formatted_weight_32b_size(7, 8, 0x80000000u, 8); },
         "conv2d_cnp_formatted_weight_32b_size: 481036337152 words do not fit in 32 bits."},
        {[] { conv2d_cnp_formatted_weight_32b_size(7, 8, 0x80000000u, 4); },
         "conv2d_cnp_formatted_4bit_weight_32b_size: 180388626432 words do not fit in 32 bits."},
        {[] { dwc_ch_cont_100b_size(4, 3, 4); }, "Invalid kernel size."},
        {[] { tnp_b_buffer_temp_conv_formatted_weight_32b_size(2048, 0x80000000u); },
         "tnp_b_buffer_temp_conv_formatted_weight_32b_size: 1108101562368 words do not fit in 32 bits."},
    };
    for (auto const& row : refusals) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message);
}

// One golden per layout: filters 1 .. n of two channels, words 0, 1, 2, the middle one and the last
// (the comparison with the value-by-value formatter below covers every word).
TEST(V2WeightFormat, Conv2dGoldenWordsPerLayout) {
    struct { uint32_t k, n; uint8_t bits; size_t size; std::vector<uint32_t> words; } const rows[] = {
        {1, 25, 8, 24, {0x0D0A0704, 0x19161310, 0x25221F1C, 0x3E3B3835, 0}},  // filter 24 opens group 2
        {3, 8, 8, 36, {0x07060504, 0x0B0A0908, 0x0F0E0D0C, 0x38373635, 0x5A595857}},
        {4, 8, 8, 72, {0x07060504, 0x0A090807, 0x0D0C0B0A, 0x38373635, 0}},
        {5, 8, 8, 120, {0x07060504, 0x08070008, 0x000B0A09, 0x38373635, 0x006A6968}},
        {7, 8, 8, 448, {0x07060504, 0x00020908, 2, 0x38373635, 0}},  // four-word form, column 6 split
        {1, 25, 4, 16, {0x9630DA74, 0x000052FC, 0xDA741EB8, 0xA741EB85, 0}},  // 12 filters in each 50-bit half
        {3, 9, 4, 48, {0xBA987654, 0x0000FEDC, 0x76543210, 0xCBA98765, 0}},
        {5, 8, 4, 64, {0x98787654, 0x0000BABA, 0x043FB7B7, 0xA9898765, 0x0002A61D}},
        {7, 8, 4, 168, {0x7A987654, 0x0000BA98, 0x3FB72EB7, 0x8BA98765, 0}},
    };
    for (auto const& row : rows) {
        auto const words = format_conv2d_cnp_weights(*weights_of(row.k, 2, row.n + 1), 1, row.n, row.bits);
        size_t const n = words.size();
        ASSERT_EQ(n, row.size) << row.k << "/" << int(row.bits);
        EXPECT_EQ((std::vector{words[0], words[1], words[2], words[n / 2], words[n - 1]}), row.words)
            << row.k << "/" << int(row.bits);
    }
}

// Word for word what the value-by-value formatter gives, and as many words as the size says, on
// random weights of every layout, both element orders, whole and partial groups, a first filter
// past 0, no filter at all and a block that needs the XL header.
TEST(V2WeightFormat, Conv2dMatchesTheCheckedFormatter) {
    struct { uint32_t k; uint8_t bits; uint32_t channels, tensor_filters, first, n; Layout layout; } const rows[] = {
        {1, 8, 3, 53, 2, 50, Layout::c_order},  {3, 8, 3, 16, 0, 16, Layout::reversed},
        {4, 8, 2, 11, 3, 8, Layout::c_order},   {5, 8, 2, 9, 1, 7, Layout::reversed},
        {7, 8, 2, 19, 2, 17, Layout::c_order},  {1, 4, 2, 13, 0, 13, Layout::reversed},  // 7/8: four-word form
        {3, 4, 4, 19, 1, 17, Layout::c_order},  {5, 4, 3, 21, 0, 21, Layout::c_order},
        {7, 4, 1, 11, 0, 11, Layout::reversed}, {3, 4, 3, 4, 4, 0, Layout::c_order},
        {3, 8, 228, 8, 0, 8, Layout::c_order},
    };
    std::mt19937 random(15);
    for (auto const& row : rows) {
        Shape const shape{row.k, row.k, row.channels, row.tensor_filters};
        std::vector<int8_t> bytes(shape.product());
        for (int8_t& b : bytes) b = int8_t(random());
        auto const w = Dense::copy(bytes.data(), bytes.size(), TensorType::int8, shape, row.layout);
        auto const words = format_conv2d_cnp_weights(*w, row.first, row.n, row.bits);
        EXPECT_EQ(words, nuvra::testing::checked_conv2d_cnp_weights(*w, row.first, row.n, row.bits))
            << "k " << row.k << " bits " << int(row.bits) << " n " << row.n;
        EXPECT_EQ(words.size(), conv2d_cnp_formatted_weight_32b_size(row.k, row.n, row.channels, row.bits))
            << "k " << row.k << " bits " << int(row.bits) << " n " << row.n;
    }
}

TEST(V2WeightFormat, DepthwiseEightBitLayout) {
    // Kernel 5, two channels: 6-byte rows, channel 1 from byte 30; the last 12 bytes stay zero.
    auto const k5 = format_depthwise_conv_cnp_weights(*weights_of(5, 1, 3, dw_distinct), 1, 2, 8);
    ASSERT_EQ(k5.size(), 18u);
    EXPECT_EQ(byte_at(k5, 0), 1 + 64);
    EXPECT_EQ(byte_at(k5, 5), 0);
    EXPECT_EQ(byte_at(k5, 6 + 4), 1 + 4 + 8 + 64);
    EXPECT_EQ(byte_at(k5, 30), 1 + 128);
    for (size_t b = 60; b < 72; ++b) EXPECT_EQ(byte_at(k5, b), 0) << b;

    // Kernel 7: column 4 of a row two bytes after column 3, one 12-byte word per row.
    auto const k7 = format_depthwise_conv_cnp_weights(*weights_of(7, 1, 1, dw_distinct), 0, 1, 8);
    EXPECT_EQ((std::vector{byte_at(k7, 12 + 3), byte_at(k7, 12 + 4), byte_at(k7, 12 + 6)}),
              (std::vector<uint8_t>{1 + 3 + 8, 0, 1 + 4 + 8}));
    EXPECT_TRUE(format_depthwise_conv_cnp_weights(*weights_of(3, 1, 2, dw_distinct), 2, 0, 8).empty());
}

TEST(V2WeightFormat, DepthwiseFourBitLayout) {
    // Kernel 3, three channels: one pair of words per channel, row y at half bits 12 y .. 12 y + 11.
    auto const words = format_depthwise_conv_cnp_4bit_weights(
        *weights_of(3, 1, 3, [](uint32_t x, uint32_t y, uint32_t, uint32_t c) { return y == 2 ? int8_t(x + c) : int8_t(-1); }),
        0, 3);
    ASSERT_EQ(words.size(), 6u);
    EXPECT_EQ(words[0], 0x10FFFFFFu);  // rows 0 and 1 all -1, then row 2 from bit 24
    EXPECT_EQ(words[1], 0x2u);         // row 2 ends in bits 0-3 of the second word
    EXPECT_EQ(words[5], 0x4u);
    // Kernel 5: two rows per pair, three pairs per channel.
    auto const ones = weights_of(5, 1, 2, [](auto...) { return int8_t(1); });
    EXPECT_EQ(format_depthwise_conv_cnp_4bit_weights(*ones, 0, 2).size(), 12u);
}

TEST(V2WeightFormat, BufferTempConvRows) {
    // 10 filters, 2 FIFO slots over 3 channels: six rows of 6 words, channel-major.
    auto const words = format_tnp_b_buffer_temp_conv_weights(*weights_of(1, 6, 12, temporal), 2, 1, 10);
    ASSERT_EQ(words.size(), 36u);
    struct { uint32_t row, source; } const moves[] = {{0, 0}, {1, 3}, {2, 1}, {3, 4}, {4, 2}, {5, 5}};
    for (auto const& m : moves) {
        EXPECT_EQ(byte_at(words, 24 * m.row), 1 + 16 * m.source + 1) << m.row;
        EXPECT_EQ(byte_at(words, 24 * m.row + 9), 1 + 16 * m.source + 10) << m.row;
        EXPECT_EQ(byte_at(words, 24 * m.row + 10), 0) << m.row;
    }
    // int4 storage is copied byte for byte.
    EXPECT_EQ(format_tnp_b_buffer_temp_conv_weights(*weights_of(1, 2, 1, temporal, TensorType::int4), 1, 0, 1)[6], 17u);
}

TEST(V2WeightFormat, DepthwiseTemporalTaps) {
    auto const words = format_tnp_b_depthwise_buffer_temp_conv_weights(*weights_of(1, 3, 5, temporal), 1, 4);
    ASSERT_EQ(words.size(), 48u);
    for (size_t b = 0; b < 4 * words.size(); ++b) {
        bool const tap = b < 48 && b % 12 < 3;
        EXPECT_EQ(byte_at(words, b), tap ? 1 + 16 * (b % 12) + 1 + b / 12 : 0) << b;
    }
}

// Shapes and types are checked before any element is read (bad arguments are invalid_argument).
TEST(V2WeightFormat, Refusals) {
    auto const w = weights_of(3, 1, 4);
    auto const dw = weights_of(3, 1, 4, dw_distinct);
    auto const six = weights_of(1, 6, 12, temporal);
    auto const of = [](TensorType type, Shape shape) { return Dense::create(type, shape, Layout::c_order); };
    struct { std::function<void()> call; std::string message; bool argument = false; } const rows[] = {
        {[&] { format_conv2d_cnp_weights(*w, 2, 3, 8); },
         "Tensor weights has 4 elements along dimension 3, 5 are needed.", true},
        {[&] { format_conv2d_cnp_weights(*of(TensorType::int8, {3, 2, 1, 4}), 0, 1, 8); },
         "Tensor weights has 2 elements along dimension 1, 3 are needed.", true},
        {[&] { format_depthwise_conv_cnp_4bit_weights(*weights_of(3, 1, 1, [](auto...) { return int8_t(8); }), 0, 1); },
         "8 cannot fit in a 4-bit signed integer"},
        {[&] { format_depthwise_conv_cnp_weights(*dw, 3, 2, 8); },
         "Tensor weights has 4 elements along dimension 3, 5 are needed.", true},
        // FIFO size 0 would divide by zero; rows that are not whole FIFO slots would be dropped.
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 0, 0, 1); },
         "The FIFO size of a BufferTempConv must be at least 1.", true},
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 4, 0, 1); },
         "BufferTempConv weights hold 6 rows, not a multiple of the FIFO size 4.", true},
        // A 13th tap would overwrite the next channel's first.
        {[&] { format_tnp_b_depthwise_buffer_temp_conv_weights(*weights_of(1, 13, 2, temporal), 0, 2); },
         "A DepthwiseBufferTempConv channel holds at most 12 taps, not 13.", true},
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 2, 8, 5); },
         "Tensor weights has 12 elements along dimension 3, 13 are needed.", true},
        {[&] { format_tnp_b_depthwise_buffer_temp_conv_weights(*of(TensorType::float32, {1, 1, 3, 2}), 0, 2); },
         "Wrong requested type int8 for a tensor of type float32"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(row.argument ? error_text<std::invalid_argument>(row.call) : error_text<std::runtime_error>(row.call),
                  row.message);
}

}  // namespace
}  // namespace nuvra::v2
