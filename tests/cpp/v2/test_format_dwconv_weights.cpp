// Depthwise CNP weights: layouts of both widths, targets and word counts.
#include "backends/v2/format_dwconv_weights.h"

#include <gtest/gtest.h>

#include <functional>

#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

// A (k, k, 1, C) int8 tensor; element (x, y, 0, c) = value(x, y, c).
std::shared_ptr<Dense> dw_weights(uint32_t k, uint32_t channels, std::function<int8_t(uint32_t, uint32_t, uint32_t)> value,
                                  TensorType type = TensorType::int8) {
    auto w = Dense::create(type, Shape{k, k, 1, channels}, Layout::c_order);
    for (uint32_t x = 0; x < k; ++x)
        for (uint32_t y = 0; y < k; ++y)
            for (uint32_t c = 0; c < channels; ++c) tensor_write<int8_t>(*w, {x, y, 0, c}, value(x, y, c));
    return w;
}

int8_t distinct(uint32_t x, uint32_t y, uint32_t c) { return int8_t(1 + x + 8 * y + 64 * c); }

TEST(V2DepthwiseWeightFormat, SizesAndTargets) {
    struct { uint32_t k, c; uint8_t bits; uint32_t ch_cont, words; } const rows[] = {
        {3, 3, 8, 3, 9},       {4, 3, 8, 6, 18},   {5, 2, 8, 6, 18},    {7, 1, 8, 7, 21},
        {3, 1365, 8, 1365, 4095},  // a normal header still
        {3, 1366, 8, 1366, 4112},  // 4098 words need the XL header
        {3, 3, 4, 2, 16},      {5, 3, 4, 5, 32},   {7, 3, 4, 11, 48},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(dwc_ch_cont_100b_size(row.k, row.c, row.bits), row.ch_cont) << row.k << "/" << int(row.bits);
        EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(row.k, row.c, row.bits), row.words) << row.k << "/" << int(row.bits);
    }
    EXPECT_EQ(dwc_dma_target(7, 8), dma::Target::WeightsAlt);
    EXPECT_EQ(dwc_dma_target(6, 4), dma::Target::Weights);
    EXPECT_EQ(dwc_cnp_weight_format(7), (DwcCnpWeightFormat{4, 2, 3, 84, 3, 1}));

    struct { std::function<void()> call; char const* message; } const refusals[] = {
        {[] { dwc_dma_target(6, 8); }, "cnp_weight_format: Unexpected kernel size."},
        {[] { dwc_cnp_formatted_weight_32b_size(6, 1, 8); }, "ch_cont_size: Unexpected kernel size."},
        {[] { dwc_ch_cont_100b_size(4, 3, 4); }, "Invalid kernel size."},
        {[] { dwc_cnp_formatted_4bit_weight_32b_size(4, 3); }, "Invalid kernel size."},
    };
    for (auto const& row : refusals) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message);
}

TEST(V2DepthwiseWeightFormat, EightBitLayout) {
    // Kernel 5, two channels: 6-byte rows, channel 1 from byte 30; the last 12 bytes stay zero.
    auto const k5 = format_depthwise_conv_cnp_weights(*dw_weights(5, 3, distinct), 1, 2, 8);
    ASSERT_EQ(k5.size(), 18u);
    EXPECT_EQ(byte_at(k5, 0), 1 + 64);
    EXPECT_EQ(byte_at(k5, 5), 0);
    EXPECT_EQ(byte_at(k5, 6 + 4), 1 + 4 + 8 + 64);
    EXPECT_EQ(byte_at(k5, 30), 1 + 128);
    for (size_t b = 60; b < 72; ++b) EXPECT_EQ(byte_at(k5, b), 0) << b;

    // Kernel 7: column 4 of a row two bytes after column 3, one 12-byte word per row.
    auto const k7 = format_depthwise_conv_cnp_weights(*dw_weights(7, 1, distinct), 0, 1, 8);
    EXPECT_EQ((std::vector{byte_at(k7, 12 + 3), byte_at(k7, 12 + 4), byte_at(k7, 12 + 6)}),
              (std::vector<uint8_t>{1 + 3 + 8, 0, 1 + 4 + 8}));
    EXPECT_TRUE(format_depthwise_conv_cnp_weights(*dw_weights(3, 2, distinct), 2, 0, 8).empty());
}

TEST(V2DepthwiseWeightFormat, FourBitLayout) {
    // Kernel 3, three channels: one pair of words per channel, row y at half bits 12 y .. 12 y + 11.
    auto const words = format_depthwise_conv_cnp_4bit_weights(
        *dw_weights(3, 3, [](uint32_t x, uint32_t y, uint32_t c) { return y == 2 ? int8_t(x + c) : int8_t(-1); }), 0, 3);
    ASSERT_EQ(words.size(), 6u);
    EXPECT_EQ(words[0], 0x10FFFFFFu);  // rows 0 and 1 all -1, then row 2 from bit 24
    EXPECT_EQ(words[1], 0x2u);         // row 2 ends in bits 0-3 of the second word
    EXPECT_EQ(words[5], 0x4u);
    // Kernel 5: two rows per pair, three pairs per channel.
    EXPECT_EQ(format_depthwise_conv_cnp_4bit_weights(*dw_weights(5, 2, [](auto...) { return int8_t(1); }), 0, 2).size(),
              12u);
}

TEST(V2DepthwiseWeightFormat, Refusals) {
    auto const ok = dw_weights(3, 4, distinct);
    struct { std::function<void()> call; std::string message; } const rows[] = {
        {[&] { format_depthwise_conv_cnp_4bit_weights(*dw_weights(3, 1, [](auto...) { return int8_t(8); }), 0, 1); },
         "8 cannot fit in a 4-bit signed integer"},
        {[&] { format_depthwise_conv_cnp_weights(*ok, 3, 2, 8); },
         "Tensor weights has 4 elements along dimension 3, 5 are needed."},
        {[&] { format_depthwise_conv_cnp_weights(*ok, 3, 2, 4); },
         "Tensor weights has 4 elements along dimension 3, 5 are needed."},
        {[&] { format_depthwise_conv_cnp_weights(*Dense::create(TensorType::uint8, Shape{3, 3, 1, 4}, Layout::c_order), 0, 4, 8); },
         "Wrong requested type int8 for a tensor of type uint8"},
        {[&] { format_depthwise_conv_cnp_4bit_weights(*dw_weights(4, 1, distinct), 0, 1); }, "Invalid kernel size."},
    };
    for (auto const& row : rows) EXPECT_EQ(error_text<std::exception>(row.call), row.message);
}

}  // namespace
}  // namespace nuvra::v2
