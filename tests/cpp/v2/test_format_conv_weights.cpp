// Conv2D CNP weights: layouts of both widths, targets and word counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/format_conv_weights.h"
#include "backends/v2/sizes.h"
#include "engine/error_text.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

using ValueFn = std::function<int8_t(uint32_t x, uint32_t y, uint32_t c, uint32_t f)>;

// A (k, k, C, F) weight tensor of int8 values given by `value`.
std::shared_ptr<Dense> weights_of(uint32_t k, uint32_t channels, uint32_t filters, ValueFn const& value,
                                  TensorType type = TensorType::int8) {
    auto w = Dense::create(type, Shape{k, k, channels, filters}, Layout::c_order);
    for (uint32_t x = 0; x < k; ++x)
        for (uint32_t y = 0; y < k; ++y)
            for (uint32_t c = 0; c < channels; ++c)
                for (uint32_t f = 0; f < filters; ++f) tensor_write<int8_t>(*w, {x, y, c, f}, value(x, y, c, f));
    return w;
}

// A distinct non-zero byte per element.
int8_t distinct(uint32_t x, uint32_t y, uint32_t c, uint32_t f) { return int8_t(1 + x + 7 * y + 49 * c + 3 * f); }

// Bit `bit` of the 100-bit word at 32-bit `base` of a four-word-form block.
uint32_t bit_100b(std::vector<uint32_t> const& words, size_t base, uint32_t bit) {
    uint32_t const half = bit >= 50;
    uint32_t const in_half = bit - 50 * half;
    return (words.at(base + 2 * half + in_half / 32) >> (in_half % 32)) & 1u;
}

// `count` bits from `bit` of the 100-bit word at `base`, least significant first.
uint32_t bits_100b(std::vector<uint32_t> const& words, size_t base, uint32_t bit, uint32_t count) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; ++i) v |= bit_100b(words, base, bit + i) << i;
    return v;
}

TEST(V2Conv2dWeightFormat, LayoutRecordPerKernel) {
    struct Row {
        uint32_t k;
        Conv2dCnpWeightFormat format;
    };
    Row const rows[] = {
        {1, {0, 0, 24, 6, 0, 3, 1}},   {3, {0, 0, 8, 18, 24, 3, 1}},    {4, {0, 0, 8, 36, 36, 3, 1}},
        {5, {5, 1, 8, 60, 48, 3, 1}},  {7, {7, 9, 8, 224, 128, 4, 0}},
    };
    for (auto const& row : rows) EXPECT_EQ(conv2d_cnp_weight_format(row.k), row.format) << row.k;
    for (uint32_t k : {0u, 2u, 6u, 8u, 9u})
        EXPECT_EQ(error_text<std::runtime_error>([&] { conv2d_cnp_weight_format(k); }),
                  "cnp_weight_format: Unexpected kernel size.")
            << k;
}

TEST(V2Conv2dWeightFormat, DmaTarget) {
    struct Row {
        uint32_t k;
        uint8_t bits;
        dma::Target target;
    };
    Row const rows[] = {
        {7, 8, dma::Target::Weights},    {3, 8, dma::Target::WeightsAlt}, {1, 8, dma::Target::WeightsAlt},
        {4, 8, dma::Target::WeightsAlt}, {5, 8, dma::Target::WeightsAlt}, {3, 4, dma::Target::Weights},
        {7, 4, dma::Target::Weights},    {2, 4, dma::Target::Weights},  // 4-bit: whatever the kernel
    };
    for (auto const& row : rows) EXPECT_EQ(conv2d_dma_target(row.k, row.bits), row.target) << row.k << "/" << int(row.bits);
    EXPECT_EQ(error_text<std::runtime_error>([] { conv2d_dma_target(2, 8); }),
              "cnp_weight_format: Unexpected kernel size.");
    // only exactly 4 is the 4-bit form here
    EXPECT_EQ(error_text<std::runtime_error>([] { conv2d_dma_target(2, 2); }),
              "cnp_weight_format: Unexpected kernel size.");
}

TEST(V2Conv2dWeightFormat, ThirtyTwoBitSizes) {
    struct Row {
        uint32_t k, n, channels;
        uint8_t bits;
        uint32_t words;
    };
    Row const rows[] = {
        {3, 8, 1, 4, 12},    {7, 8, 1, 8, 224},  {3, 8, 1, 8, 18},     {1, 25, 1, 8, 12},
        {1, 24, 2, 4, 8},    {5, 9, 1, 4, 64},   {7, 1, 1, 4, 84},     {4, 9, 2, 8, 144},
        {3, 0, 5, 8, 0},     {3, 0, 5, 4, 0},
        {3, 8, 227, 8, 4086},  // 4086 words fit a normal header
        {3, 8, 228, 8, 4112},  // 4104 need the XL header: rounded up to 16
        {3, 8, 1024, 4, 12288},  // no rounding for 4-bit weights
    };
    for (auto const& row : rows)
        EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(row.k, row.n, row.channels, row.bits), row.words)
            << row.k << "," << row.n << "," << row.channels << "," << int(row.bits);

    EXPECT_EQ(error_text<std::runtime_error>([] { conv2d_cnp_formatted_weight_32b_size(2, 8, 1, 8); }),
              "ch_cont_size: Unexpected kernel size.");
    EXPECT_EQ(error_text<std::runtime_error>([] { conv2d_cnp_formatted_weight_32b_size(4, 8, 1, 4); }),
              "Unsupported kernel size.");
    EXPECT_EQ(error_text<std::runtime_error>([] { conv2d_cnp_formatted_weight_32b_size(7, 8, 0x80000000u, 8); }),
              "conv2d_cnp_formatted_weight_32b_size: 481036337152 words do not fit in 32 bits.");
    EXPECT_EQ(error_text<std::runtime_error>([] { conv2d_cnp_formatted_weight_32b_size(7, 8, 0x80000000u, 4); }),
              "conv2d_cnp_formatted_4bit_weight_32b_size: 180388626432 words do not fit in 32 bits.");
}

TEST(V2Conv2dWeights, SizeMatchesTheFormattedBlock) {
    struct Row {
        uint32_t k, channels, filters, first, n;
        uint8_t bits;
    };
    Row const rows[] = {
        {1, 2, 25, 0, 25, 8}, {3, 3, 9, 1, 8, 8}, {4, 1, 17, 0, 17, 8}, {5, 2, 8, 0, 8, 8}, {7, 1, 3, 0, 3, 8},
        {1, 2, 30, 0, 30, 4}, {3, 2, 9, 0, 9, 4}, {5, 1, 11, 2, 9, 4},  {7, 2, 1, 0, 1, 4}, {3, 3, 4, 1, 0, 8},
        {3, 228, 8, 0, 8, 8},  // the XL rounding is in the block too
    };
    for (auto const& row : rows) {
        auto const w = weights_of(row.k, row.channels, row.filters, distinct);
        EXPECT_EQ(format_conv2d_cnp_weights(*w, row.first, row.n, row.bits).size(),
                  conv2d_cnp_formatted_weight_32b_size(row.k, row.n, row.channels, row.bits))
            << row.k << "," << row.n << "," << int(row.bits);
    }
}

// 8-bit, three-word form: the byte of every value inside its group, and zeros elsewhere.
TEST(V2Conv2dWeights, EightBitBytePositions) {
    struct Row {
        uint32_t k;
        uint32_t group_bytes;
        std::function<size_t(uint32_t x, uint32_t y, uint32_t s)> position;
    };
    Row const rows[] = {
        {1, 24, [](uint32_t, uint32_t, uint32_t s) { return size_t(s); }},
        {3, 72, [](uint32_t x, uint32_t y, uint32_t s) { return size_t(24 * y + 3 * s + x); }},
        {4, 144, [](uint32_t x, uint32_t y, uint32_t s) { return size_t(36 * y + 4 * s + x); }},
        {5, 240, [](uint32_t x, uint32_t y, uint32_t s) { return size_t(48 * y + 6 * s + x); }},
    };
    for (auto const& row : rows) {
        uint32_t const filters = row.k == 1 ? 24 : 8;
        uint32_t const channels = 2;
        auto const w = weights_of(row.k, channels, filters + 1, distinct);
        auto const words = format_conv2d_cnp_weights(*w, 1, filters, 8);  // filters 1 .. filters
        ASSERT_EQ(words.size() * 4, size_t(row.group_bytes) * channels) << row.k;
        std::map<size_t, uint8_t> expected;
        for (uint32_t c = 0; c < channels; ++c)
            for (uint32_t s = 0; s < filters; ++s)
                for (uint32_t y = 0; y < row.k; ++y)
                    for (uint32_t x = 0; x < row.k; ++x)
                        expected[c * row.group_bytes + row.position(x, y, s)] = uint8_t(distinct(x, y, c, 1 + s));
        for (size_t i = 0; i < words.size() * 4; ++i) {
            auto const it = expected.find(i);
            EXPECT_EQ(byte_at(words, i), it == expected.end() ? 0 : it->second) << "k " << row.k << " byte " << i;
        }
    }
}

TEST(V2Conv2dWeights, EightBitKernelOneSecondGroup) {
    auto const w = weights_of(1, 2, 25, distinct);
    auto const words = format_conv2d_cnp_weights(*w, 0, 25, 8);
    ASSERT_EQ(words.size(), 24u);  // 4 100-bit words (12 32-bit words) per input channel
    EXPECT_EQ(byte_at(words, 23), uint8_t(distinct(0, 0, 0, 23)));
    EXPECT_EQ(byte_at(words, 24), uint8_t(distinct(0, 0, 0, 24)));  // filter 24 opens the second group
    for (size_t i = 25; i < 48; ++i) EXPECT_EQ(byte_at(words, i), 0) << i;
    EXPECT_EQ(byte_at(words, 48), uint8_t(distinct(0, 0, 1, 0)));  // the second input channel
}

TEST(V2Conv2dWeights, EightBitKernelSevenSplitsColumnSix) {
    auto const w = weights_of(7, 1, 1, [](uint32_t x, uint32_t, uint32_t, uint32_t) { return int8_t(x == 6 ? 0xB5 : 0); });
    auto const words = format_conv2d_cnp_weights(*w, 0, 1, 8);
    ASSERT_EQ(words.size(), 224u);
    EXPECT_EQ(byte_at(words, 6), 0x01);
    EXPECT_EQ(byte_at(words, 7), 0x00);
    EXPECT_EQ(byte_at(words, 8), 0x2D);
    // row 1 starts at byte 128 of the group, with the same split
    EXPECT_EQ(byte_at(words, 128 + 6), 0x01);
    EXPECT_EQ(byte_at(words, 128 + 8), 0x2D);
    EXPECT_EQ(words[1] >> 18, 0u);  // bits 18-31 of the second word of a 100-bit word stay zero
}

TEST(V2Conv2dWeights, EightBitKernelSevenUnits) {
    // Filter slot s, row y: a 16-byte unit at 128y + 16s with columns 0-5 as whole bytes.
    auto const w = weights_of(7, 1, 9, distinct);
    auto const words = format_conv2d_cnp_weights(*w, 1, 8, 8);
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t s = 0; s < 8; ++s) {
            size_t const unit = 128 * y + 16 * s;
            for (uint32_t x = 0; x < 6; ++x)
                EXPECT_EQ(byte_at(words, unit + x), uint8_t(distinct(x, y, 0, 1 + s))) << y << "," << s << "," << x;
            uint8_t const v6 = uint8_t(distinct(6, y, 0, 1 + s));
            EXPECT_EQ(byte_at(words, unit + 6), v6 & 0x3);
            EXPECT_EQ(byte_at(words, unit + 8), v6 >> 2);
            for (size_t p : {7u, 9u, 10u, 11u, 12u, 13u, 14u, 15u}) EXPECT_EQ(byte_at(words, unit + p), 0);
        }
}

TEST(V2Conv2dWeights, FourBitKernelFiveCrossesTheHalf) {
    // nibble 12 of the stream: slot 2, row 0, column 2
    auto const w = weights_of(5, 1, 8, [](uint32_t x, uint32_t y, uint32_t, uint32_t f) {
        return int8_t(x == 2 && y == 0 && f == 2 ? -1 : 0);
    });
    auto const words = format_conv2d_cnp_weights(*w, 0, 8, 4);
    ASSERT_EQ(words.size(), 32u);
    EXPECT_EQ(words[1], 0x3u << 16);  // W bits 48-49
    EXPECT_EQ(words[2], 0x3u);        // W bits 50-51
    for (size_t i : {0u, 3u}) EXPECT_EQ(words[i], 0u);
    for (size_t i = 4; i < words.size(); ++i) EXPECT_EQ(words[i], 0u) << i;
}

TEST(V2Conv2dWeights, FourBitKernelFiveStream) {
    // nibble m = (8y + s) * 5 + x at stream bit 4m: word 4m / 100, bit 4m mod 100
    auto const w = weights_of(5, 2, 8, distinct);
    auto const words = format_conv2d_4bit_weights(*w, 0, 8);
    ASSERT_EQ(words.size(), 64u);
    for (uint32_t c = 0; c < 2; ++c)
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t s = 0; s < 8; ++s)
                for (uint32_t x = 0; x < 5; ++x) {
                    uint32_t const m = (8 * y + s) * 5 + x;
                    EXPECT_EQ(bits_100b(words, 32 * c + 4 * (4 * m / 100), 4 * m % 100, 4),
                              uint32_t(distinct(x, y, c, s)) & 0xF);
                }
}

TEST(V2Conv2dWeights, FourBitKernelOneTwelvePerHalf) {
    auto const w = weights_of(1, 1, 25, distinct);
    auto const words = format_conv2d_4bit_weights(*w, 0, 25);
    ASSERT_EQ(words.size(), 8u);  // two 100-bit words
    for (uint32_t f = 0; f < 25; ++f) {
        uint32_t const word100 = f / 24, half = f % 24 / 12, slot = f % 12;
        EXPECT_EQ(bits_100b(words, 4 * word100, 50 * half + 4 * slot, 4), uint32_t(distinct(0, 0, 0, f)) & 0xF) << f;
    }
    // bits 48-49 of each half stay zero
    EXPECT_EQ(bits_100b(words, 0, 48, 2), 0u);
    EXPECT_EQ(bits_100b(words, 0, 98, 2), 0u);
}

TEST(V2Conv2dWeights, FourBitKernelThreeSecondGroup) {
    auto const w = weights_of(3, 1, 9, distinct);
    auto const words = format_conv2d_4bit_weights(*w, 0, 9);
    ASSERT_EQ(words.size(), 24u);  // two groups of three 100-bit words
    for (uint32_t y = 0; y < 3; ++y) {
        size_t const base = 4 * (3 + y);  // second group, row y
        for (uint32_t x = 0; x < 3; ++x)
            EXPECT_EQ(bits_100b(words, base, 4 * x, 4), uint32_t(distinct(x, y, 0, 8)) & 0xF);
        EXPECT_EQ(bits_100b(words, base, 12, 32), 0u);  // slots 1-7 are zero
        EXPECT_EQ(bits_100b(words, base, 50, 32), 0u);
    }
    // first group, row 1, slot 5 sits in half 1 (nibbles 12-23), nibble 3s + x
    for (uint32_t x = 0; x < 3; ++x)
        EXPECT_EQ(bits_100b(words, 4, 50 + 4 * (15 + x - 12), 4), uint32_t(distinct(x, 1, 0, 5)) & 0xF);
}

TEST(V2Conv2dWeights, FourBitKernelSevenThreeWordsPerRow) {
    auto const w = weights_of(7, 1, 8, distinct);
    auto const words = format_conv2d_4bit_weights(*w, 0, 8);
    ASSERT_EQ(words.size(), 84u);
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t s = 0; s < 8; ++s)
            for (uint32_t x = 0; x < 7; ++x) {
                size_t const base = 4 * (3 * y + s / 3);
                EXPECT_EQ(bits_100b(words, base, 4 * ((s % 3) * 7 + x), 4), uint32_t(distinct(x, y, 0, s)) & 0xF)
                    << y << "," << s << "," << x;
            }
    EXPECT_EQ(bits_100b(words, 0, 84, 16), 0u);
    EXPECT_EQ(bits_100b(words, 8, 56, 32), 0u);  // the third word of a row holds two slots
}

TEST(V2Conv2dWeights, FourBitKernelSevenOneFilter) {
    auto const w = weights_of(7, 1, 1, [](uint32_t, uint32_t, uint32_t, uint32_t) { return int8_t(-1); });
    auto const words = format_conv2d_4bit_weights(*w, 0, 1);
    ASSERT_EQ(words.size(), 84u);  // the group is still 21 words
    for (uint32_t y = 0; y < 7; ++y) {
        EXPECT_EQ(bits_100b(words, 4 * 3 * y, 0, 28), 0x0FFFFFFFu) << y;
        EXPECT_EQ(bits_100b(words, 4 * 3 * y, 28, 32), 0u) << y;
        EXPECT_EQ(bits_100b(words, 4 * (3 * y + 1), 0, 32), 0u) << y;
    }
}

TEST(V2Conv2dWeights, EmptyForNoFilters) {
    auto const w = weights_of(3, 2, 4, distinct);
    EXPECT_TRUE(format_conv2d_cnp_weights(*w, 0, 0, 8).empty());
    EXPECT_TRUE(format_conv2d_cnp_weights(*w, 4, 0, 4).empty());
}

TEST(V2Conv2dWeights, Refusals) {
    auto const w = weights_of(3, 1, 4, distinct);
    auto const flat = Dense::create(TensorType::int8, Shape{3, 3, 4}, Layout::c_order);
    auto const narrow = Dense::create(TensorType::int8, Shape{3, 2, 1, 4}, Layout::c_order);
    auto const k2 = weights_of(2, 1, 4, distinct);
    auto const k4 = weights_of(4, 1, 4, distinct);
    auto const unsigned_w = Dense::create(TensorType::uint8, Shape{3, 3, 1, 4}, Layout::c_order);
    struct Row {
        const char* what;
        std::function<void()> call;
        std::string message;
    };
    Row const invalid[] = {
        {"filters past the end", [&] { format_conv2d_cnp_weights(*w, 2, 3, 8); },
         "Tensor weights has 4 elements along dimension 3, 5 are needed."},
        {"4-bit filters past the end", [&] { format_conv2d_cnp_weights(*w, 0, 5, 4); },
         "Tensor weights has 4 elements along dimension 3, 5 are needed."},
        {"rank 3", [&] { format_conv2d_cnp_weights(*flat, 0, 1, 8); }, "Tensor weights must have rank 4, not 3."},
        {"kernel rows missing", [&] { format_conv2d_cnp_weights(*narrow, 0, 1, 8); },
         "Tensor weights has 2 elements along dimension 1, 3 are needed."},
    };
    for (auto const& row : invalid) EXPECT_EQ(error_text<std::invalid_argument>(row.call), row.message) << row.what;
    Row const runtime[] = {
        {"8-bit kernel 2", [&] { format_conv2d_cnp_weights(*k2, 0, 1, 8); }, "cnp_weight_format: Unexpected kernel size."},
        {"4-bit kernel 4", [&] { format_conv2d_cnp_weights(*k4, 0, 1, 4); }, "Unsupported kernel size."},
        {"unsigned weights", [&] { format_conv2d_cnp_weights(*unsigned_w, 0, 1, 8); },
         "Wrong requested type int8 for a tensor of type uint8"},
        {"unsigned 4-bit weights", [&] { format_conv2d_4bit_weights(*unsigned_w, 0, 1); },
         "Wrong requested type int8 for a tensor of type uint8"},
    };
    for (auto const& row : runtime) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message) << row.what;
}

}  // namespace
}  // namespace nuvra::v2
