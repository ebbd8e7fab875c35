// TNP-B weights of the two buffered temporal kinds: row order, byte placement and word counts.
#include "backends/v2/format_tnp_b_weights.h"

#include <gtest/gtest.h>

#include <functional>

#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

// A (1, 1, rows, columns) tensor whose element (0, 0, r, c) is 1 + 16 r + c.
std::shared_ptr<Dense> temporal_weights(uint32_t rows, uint32_t columns, TensorType type = TensorType::int8) {
    auto w = Dense::create(type, Shape{1, 1, rows, columns}, Layout::c_order);
    if (type == TensorType::int8 || type == TensorType::int4)
        for (uint32_t r = 0; r < rows; ++r)
            for (uint32_t c = 0; c < columns; ++c) tensor_write<int8_t>(*w, {0, 0, r, c}, int8_t(1 + 16 * r + c));
    return w;
}

TEST(V2TnpBWeightFormat, Sizes) {
    struct { uint32_t filters, words; } const ch_cont[] = {{0, 0}, {1, 2}, {24, 2}, {25, 4}, {48, 4}, {49, 6}};
    for (auto const& row : ch_cont) EXPECT_EQ(buffer_temp_conv_ch_cont_100b_size(row.filters), row.words) << row.filters;
    EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(2, 30, 16), 192u);
    EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(10, 6), 36u);
    EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(2048, 8192), 4227072u);  // 516 words a row, already a multiple of 16
    EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 4), 48u);
    EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 342), 4112u);  // 4104 words need XL
    // Worked out in 64 bits: 3 x 172 x 0x80000000 would wrap in 32.
    EXPECT_EQ(error_text<std::runtime_error>([] { tnp_b_buffer_temp_conv_formatted_weight_32b_size(2048, 0x80000000u); }),
              "tnp_b_buffer_temp_conv_formatted_weight_32b_size: 1108101562368 words do not fit in 32 bits.");
}

TEST(V2TnpBWeightFormat, BufferTempConvRows) {
    // 10 filters, 2 FIFO slots over 3 channels: six rows of 6 words, channel-major.
    auto const words = format_tnp_b_buffer_temp_conv_weights(*temporal_weights(6, 12), 2, 1, 10);
    ASSERT_EQ(words.size(), 36u);
    struct { uint32_t row, source; } const moves[] = {{0, 0}, {1, 3}, {2, 1}, {3, 4}, {4, 2}, {5, 5}};
    for (auto const& m : moves) {
        EXPECT_EQ(byte_at(words, 24 * m.row), 1 + 16 * m.source + 1) << m.row;
        EXPECT_EQ(byte_at(words, 24 * m.row + 9), 1 + 16 * m.source + 10) << m.row;
        EXPECT_EQ(byte_at(words, 24 * m.row + 10), 0) << m.row;
    }
    // int4 storage is copied byte for byte.
    EXPECT_EQ(format_tnp_b_buffer_temp_conv_weights(*temporal_weights(2, 1, TensorType::int4), 1, 0, 1)[6], 17u);
}

TEST(V2TnpBWeightFormat, DepthwiseTaps) {
    auto const words = format_tnp_b_depthwise_buffer_temp_conv_weights(*temporal_weights(3, 5), 1, 4);
    ASSERT_EQ(words.size(), 48u);
    for (size_t b = 0; b < 4 * words.size(); ++b) {
        bool const tap = b < 48 && b % 12 < 3;
        EXPECT_EQ(byte_at(words, b), tap ? 1 + 16 * (b % 12) + 1 + b / 12 : 0) << b;
    }
}

TEST(V2TnpBWeightFormat, Refusals) {
    auto const six = temporal_weights(6, 12);
    struct { std::function<void()> call; std::string message; } const rows[] = {
        // FIFO size 0 would divide by zero; rows that are not whole FIFO slots would be dropped.
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 0, 0, 1); },
         "The FIFO size of a BufferTempConv must be at least 1."},
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 4, 0, 1); },
         "BufferTempConv weights hold 6 rows, not a multiple of the FIFO size 4."},
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 8, 0, 1); },
         "BufferTempConv weights hold 6 rows, not a multiple of the FIFO size 8."},
        // A 13th tap would overwrite the next channel's first.
        {[&] { format_tnp_b_depthwise_buffer_temp_conv_weights(*temporal_weights(13, 2), 0, 2); },
         "A DepthwiseBufferTempConv channel holds at most 12 taps, not 13."},
        {[&] { format_tnp_b_buffer_temp_conv_weights(*six, 2, 8, 5); },
         "Tensor weights has 12 elements along dimension 3, 13 are needed."},
        {[&] { format_tnp_b_depthwise_buffer_temp_conv_weights(*temporal_weights(3, 2, TensorType::float32), 0, 2); },
         "Wrong requested type int8 for a tensor of type float32"},
    };
    for (auto const& row : rows) EXPECT_EQ(error_text<std::exception>(row.call), row.message);
}

}  // namespace
}  // namespace nuvra::v2
