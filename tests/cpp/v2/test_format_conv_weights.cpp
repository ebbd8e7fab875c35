// Conv2D CNP weights: layouts of both widths, targets and word counts.
#include <gtest/gtest.h>

#include <bitset>
#include <functional>
#include <map>
#include <random>

#include "backends/v2/format_conv_weights.h"
#include "support/error_text.h"
#include "support/reference_formats.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

using ValueFn = std::function<int8_t(uint32_t x, uint32_t y, uint32_t c, uint32_t f)>;

// A distinct non-zero byte per element.
int8_t distinct(uint32_t x, uint32_t y, uint32_t c, uint32_t f) { return int8_t(1 + x + 7 * y + 49 * c + 3 * f); }

// A (k, k, C, F) weight tensor of int8 values given by `value`.
std::shared_ptr<Dense> weights_of(uint32_t k, uint32_t channels, uint32_t filters, ValueFn const& value = distinct) {
    auto w = Dense::create(TensorType::int8, Shape{k, k, channels, filters}, Layout::c_order);
    for (uint32_t x = 0; x < k; ++x)
        for (uint32_t y = 0; y < k; ++y)
            for (uint32_t c = 0; c < channels; ++c)
                for (uint32_t f = 0; f < filters; ++f) tensor_write<int8_t>(*w, {x, y, c, f}, value(x, y, c, f));
    return w;
}

// The 100-bit words of a four-word-form block: two 50-bit halves, each in a word and 18 bits of the next.
std::vector<std::bitset<100>> words_100b(std::vector<uint32_t> const& words) {
    std::vector<std::bitset<100>> result(words.size() / 4);
    for (size_t i = 0; i < result.size(); ++i) {
        EXPECT_EQ(words[4 * i + 1] >> 18 | words[4 * i + 3] >> 18, 0u) << "word " << i;
        for (uint32_t bit = 0; bit < 100; ++bit) {
            uint32_t const in_half = bit % 50;
            result[i][bit] = words[4 * i + 2 * (bit / 50) + in_half / 32] >> (in_half % 32) & 1;
        }
    }
    return result;
}

TEST(V2Conv2dWeightFormat, LayoutRecordTargetAndSizes) {
    struct { uint32_t k; Conv2dCnpWeightFormat format; } const layouts[] = {
        {1, {0, 0, 24, 6, 0, 3, 1}}, {3, {0, 0, 8, 18, 24, 3, 1}}, {4, {0, 0, 8, 36, 36, 3, 1}},
        {5, {5, 1, 8, 60, 48, 3, 1}}, {7, {7, 9, 8, 224, 128, 4, 0}},
    };
    for (auto const& row : layouts) EXPECT_EQ(conv2d_cnp_weight_format(row.k), row.format) << row.k;

    // 8-bit kernel 7 and every 4-bit kernel go to target 0, other 8-bit kernels to target 1.
    EXPECT_EQ(conv2d_dma_target(7, 8), dma::Target::Weights);
    EXPECT_EQ(conv2d_dma_target(3, 8), dma::Target::WeightsAlt);
    EXPECT_EQ(conv2d_dma_target(3, 4), dma::Target::Weights);
    EXPECT_EQ(conv2d_dma_target(2, 4), dma::Target::Weights);

    struct { uint32_t k, n, channels; uint8_t bits; uint32_t words; } const sizes[] = {
        {3, 8, 1, 4, 12}, {7, 8, 1, 8, 224}, {1, 25, 1, 8, 12}, {7, 1, 1, 4, 84}, {3, 0, 5, 8, 0},
        {3, 8, 227, 8, 4086},    // 4086 words fit a normal header
        {3, 8, 228, 8, 4112},    // 4104 need the XL header: rounded up to 16
        {3, 8, 1024, 4, 12288},  // no rounding for 4-bit weights
    };
    for (auto const& row : sizes)
        EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(row.k, row.n, row.channels, row.bits), row.words)
            << row.k << "," << row.n << "," << row.channels << "," << int(row.bits);

    struct { std::function<void()> call; char const* message; } const refusals[] = {
        {[] { conv2d_cnp_weight_format(6); }, "cnp_weight_format: Unexpected kernel size."},
        {[] { conv2d_dma_target(2, 8); }, "cnp_weight_format: Unexpected kernel size."},
        {[] { conv2d_dma_target(2, 2); }, "cnp_weight_format: Unexpected kernel size."},  // only 4 is 4-bit here
        {[] { conv2d_cnp_formatted_weight_32b_size(2, 8, 1, 8); }, "ch_cont_size: Unexpected kernel size."},
        {[] { conv2d_cnp_formatted_weight_32b_size(4, 8, 1, 4); }, "Unsupported kernel size."},
        {[] { conv2d_cnp_formatted_weight_32b_size(7, 8, 0x80000000u, 8); },
         "conv2d_cnp_formatted_weight_32b_size: 481036337152 words do not fit in 32 bits."},
        {[] { conv2d_cnp_formatted_weight_32b_size(7, 8, 0x80000000u, 4); },
         "conv2d_cnp_formatted_4bit_weight_32b_size: 180388626432 words do not fit in 32 bits."},
    };
    for (auto const& row : refusals) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message);
}

TEST(V2Conv2dWeights, SizeMatchesTheFormattedBlock) {
    struct { uint32_t k, channels, filters, first, n; uint8_t bits; } const rows[] = {
        {1, 2, 25, 0, 25, 8}, {3, 3, 9, 1, 8, 8},  {4, 1, 17, 0, 17, 8}, {7, 1, 3, 0, 3, 8},  {1, 2, 30, 0, 30, 4},
        {5, 1, 11, 2, 9, 4},  {7, 2, 1, 0, 1, 4},  {3, 3, 4, 1, 0, 8},   {3, 3, 4, 4, 0, 4},
        {3, 228, 8, 0, 8, 8},  // the XL rounding is in the block too
    };
    for (auto const& row : rows) {
        auto const w = weights_of(row.k, row.channels, row.filters);
        EXPECT_EQ(format_conv2d_cnp_weights(*w, row.first, row.n, row.bits).size(),
                  conv2d_cnp_formatted_weight_32b_size(row.k, row.n, row.channels, row.bits))
            << row.k << "," << row.n << "," << int(row.bits);
    }
}

// 8-bit, three-word form: the byte of every value of filters 1 .. n inside its group, zeros elsewhere.
TEST(V2Conv2dWeights, EightBitBytePositions) {
    struct {
        uint32_t k, n, channel_bytes;
        std::function<size_t(uint32_t x, uint32_t y, uint32_t s)> position;
    } const rows[] = {
        {1, 25, 48, [](uint32_t, uint32_t, uint32_t s) { return size_t(s); }},  // filter 24 opens group 2
        {3, 8, 72, [](uint32_t x, uint32_t y, uint32_t s) { return size_t(24 * y + 3 * s + x); }},
        {4, 8, 144, [](uint32_t x, uint32_t y, uint32_t s) { return size_t(36 * y + 4 * s + x); }},
        {5, 8, 240, [](uint32_t x, uint32_t y, uint32_t s) { return size_t(48 * y + 6 * s + x); }},
    };
    for (auto const& row : rows) {
        uint32_t const channels = 2;
        auto const words = format_conv2d_cnp_weights(*weights_of(row.k, channels, row.n + 1), 1, row.n, 8);
        ASSERT_EQ(words.size() * 4, size_t(row.channel_bytes) * channels) << row.k;
        std::map<size_t, uint8_t> expected;
        for (uint32_t c = 0; c < channels; ++c)
            for (uint32_t s = 0; s < row.n; ++s)
                for (uint32_t y = 0; y < row.k; ++y)
                    for (uint32_t x = 0; x < row.k; ++x)
                        expected[c * row.channel_bytes + row.position(x, y, s)] = uint8_t(distinct(x, y, c, 1 + s));
        for (size_t i = 0; i < words.size() * 4; ++i)
            EXPECT_EQ(byte_at(words, i), expected.count(i) ? expected[i] : 0) << "k " << row.k << " byte " << i;
    }
}

// 8-bit kernel 7, four-word form: filter slot s of row y is a 16-byte unit at 128y + 16s holding
// columns 0-5 as bytes and column 6 split, its low 2 bits in byte 6, the rest in byte 8.
TEST(V2Conv2dWeights, EightBitKernelSevenSplitsColumnSix) {
    auto const b5 = format_conv2d_cnp_weights(
        *weights_of(7, 1, 1, [](uint32_t x, uint32_t, uint32_t, uint32_t) { return int8_t(x == 6 ? 0xB5 : 0); }), 0,
        1, 8);
    ASSERT_EQ(b5.size(), 224u);
    EXPECT_EQ(byte_at(b5, 6), 0x01);
    EXPECT_EQ(byte_at(b5, 8), 0x2D);

    auto const words = format_conv2d_cnp_weights(*weights_of(7, 1, 9), 1, 8, 8);
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t s = 0; s < 8; ++s) {
            size_t const unit = 128 * y + 16 * s;
            for (uint32_t x = 0; x < 6; ++x) EXPECT_EQ(byte_at(words, unit + x), uint8_t(distinct(x, y, 0, 1 + s)));
            uint8_t const v6 = uint8_t(distinct(6, y, 0, 1 + s));
            EXPECT_EQ(byte_at(words, unit + 6), v6 & 0x3);
            EXPECT_EQ(byte_at(words, unit + 8), v6 >> 2);
            for (size_t p : {7u, 9u, 10u, 11u, 12u, 13u, 14u, 15u}) EXPECT_EQ(byte_at(words, unit + p), 0);
        }
}

TEST(V2Conv2dWeights, FourBitKernelFiveCrossesTheHalf) {
    // nibble 12 of the stream: slot 2, row 0, column 2
    auto const words = format_conv2d_cnp_weights(*weights_of(5, 1, 8, [](uint32_t x, uint32_t y, uint32_t, uint32_t f) {
        return int8_t(x == 2 && y == 0 && f == 2 ? -1 : 0);
    }), 0, 8, 4);
    std::vector<uint32_t> expected(32, 0u);
    expected[1] = 0x3u << 16;  // W bits 48-49
    expected[2] = 0x3u;        // W bits 50-51
    EXPECT_EQ(words, expected);
}

// 4-bit, four-word form: the nibble of every value at its 100-bit word and bit, zeros elsewhere.
TEST(V2Conv2dWeights, FourBitNibblePositions) {
    struct Pos {
        uint32_t word, bit;
    };
    struct {
        uint32_t k, channels, n, channel_words;
        std::function<Pos(uint32_t x, uint32_t y, uint32_t s)> at;
    } const rows[] = {
        // 24 filters a word, 12 in each 50-bit half
        {1, 1, 25, 2, [](uint32_t, uint32_t, uint32_t s) { return Pos{s / 24, 50 * (s % 24 / 12) + 4 * (s % 12)}; }},
        // groups of 8 filters in 3 words, one a row; nibble 3s + x, 12 to a half
        {3, 1, 9, 6,
         [](uint32_t x, uint32_t y, uint32_t s) {
             uint32_t const m = 3 * (s % 8) + x;
             return Pos{3 * (s / 8) + y, 50 * (m / 12) + 4 * (m % 12)};
         }},
        // one stream of nibbles (8y + s) * 5 + x, across the halves
        {5, 2, 8, 8,
         [](uint32_t x, uint32_t y, uint32_t s) {
             uint32_t const m = (8 * y + s) * 5 + x;
             return Pos{4 * m / 100, 4 * m % 100};
         }},
        // three words a row, three filter slots of 7 nibbles a word
        {7, 1, 8, 21, [](uint32_t x, uint32_t y, uint32_t s) { return Pos{3 * y + s / 3, 4 * ((s % 3) * 7 + x)}; }},
    };
    for (auto const& row : rows) {
        auto const words = format_conv2d_4bit_weights(*weights_of(row.k, row.channels, row.n), 0, row.n);
        ASSERT_EQ(words.size(), 4u * row.channel_words * row.channels) << row.k;
        std::vector<std::bitset<100>> expected(row.channel_words * row.channels);
        for (uint32_t c = 0; c < row.channels; ++c)
            for (uint32_t y = 0; y < row.k; ++y)
                for (uint32_t s = 0; s < row.n; ++s)
                    for (uint32_t x = 0; x < row.k; ++x) {
                        Pos const p = row.at(x, y, s);
                        for (uint32_t i = 0; i < 4; ++i)
                            expected[c * row.channel_words + p.word][p.bit + i] = distinct(x, y, c, s) >> i & 1;
                    }
        EXPECT_EQ(words_100b(words), expected) << row.k;
    }
}

// Word for word what the value-by-value formatter gives, on random weights of every layout, both
// element orders, whole and partial groups and a first filter past 0.
TEST(V2Conv2dWeights, MatchTheCheckedFormatter) {
    struct { uint32_t k; uint8_t bits; uint32_t channels, tensor_filters, first, n; Layout layout; } const rows[] = {
        {1, 8, 3, 53, 2, 50, Layout::c_order}, {1, 8, 2, 24, 0, 24, Layout::reversed},
        {3, 8, 4, 19, 1, 17, Layout::c_order}, {3, 8, 3, 16, 0, 16, Layout::reversed},
        {4, 8, 2, 11, 3, 8, Layout::c_order},  {5, 8, 3, 21, 0, 21, Layout::c_order},
        {5, 8, 2, 9, 1, 7, Layout::reversed},  {7, 8, 2, 19, 2, 17, Layout::c_order},  // four-word form
        {7, 8, 1, 8, 0, 8, Layout::reversed},  {1, 4, 3, 53, 2, 50, Layout::c_order},
        {1, 4, 2, 13, 0, 13, Layout::reversed}, {3, 4, 4, 19, 1, 17, Layout::c_order},
        {3, 4, 2, 8, 0, 8, Layout::reversed},  {5, 4, 3, 21, 0, 21, Layout::c_order},
        {5, 4, 2, 9, 1, 7, Layout::reversed},  {7, 4, 2, 19, 2, 17, Layout::c_order},
        {7, 4, 1, 11, 0, 11, Layout::reversed},
    };
    std::mt19937 random(15);
    for (auto const& row : rows) {
        Shape const shape{row.k, row.k, row.channels, row.tensor_filters};
        std::vector<int8_t> bytes(shape.product());
        for (int8_t& b : bytes) b = int8_t(random());
        auto const w = Dense::copy(bytes.data(), bytes.size(), TensorType::int8, shape, row.layout);
        EXPECT_EQ(format_conv2d_cnp_weights(*w, row.first, row.n, row.bits),
                  nuvra::testing::checked_conv2d_cnp_weights(*w, row.first, row.n, row.bits))
            << "k " << row.k << " bits " << int(row.bits) << " n " << row.n;
    }
}

// Shapes and types are checked before any element is read.
TEST(V2Conv2dWeights, Refusals) {
    auto const w = weights_of(3, 1, 4);
    auto const flat = Dense::create(TensorType::int8, Shape{3, 3, 4}, Layout::c_order);
    auto const narrow = Dense::create(TensorType::int8, Shape{3, 2, 1, 4}, Layout::c_order);
    auto const unsigned_w = Dense::create(TensorType::uint8, Shape{3, 3, 1, 4}, Layout::c_order);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_conv2d_cnp_weights(*w, 2, 3, 8); }),
              "Tensor weights has 4 elements along dimension 3, 5 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_conv2d_cnp_weights(*flat, 0, 1, 8); }),
              "Tensor weights must have rank 4, not 3.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_conv2d_cnp_weights(*narrow, 0, 1, 8); }),
              "Tensor weights has 2 elements along dimension 1, 3 are needed.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_conv2d_cnp_weights(*weights_of(2, 1, 4), 0, 1, 8); }),
              "cnp_weight_format: Unexpected kernel size.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_conv2d_cnp_weights(*weights_of(4, 1, 4), 0, 1, 4); }),
              "Unsupported kernel size.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_conv2d_cnp_weights(*unsigned_w, 0, 1, 8); }),
              "Wrong requested type int8 for a tensor of type uint8");
}

}  // namespace
}  // namespace nuvra::v2
