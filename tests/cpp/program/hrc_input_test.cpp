#include "program/hrc_input.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

// Weights (k, k, channels, filters) in layout 0, each weight given by `value(x, y, c, f)`.
template <class F>
std::shared_ptr<Dense> weights(uint32_t k, uint32_t channels, uint32_t filters, F value) {
    auto w = Dense::create(TensorType::int8, Shape{k, k, channels, filters}, Layout::c_order);
    for (uint32_t x = 0; x < k; ++x)
        for (uint32_t y = 0; y < k; ++y)
            for (uint32_t c = 0; c < channels; ++c)
                for (uint32_t f = 0; f < filters; ++f) tensor_write<int8_t>(*w, {x, y, c, f}, value(x, y, c, f));
    return w;
}

std::shared_ptr<Dense> zeros(uint32_t k, uint32_t channels, uint32_t filters) {
    return weights(k, channels, filters, [](uint32_t, uint32_t, uint32_t, uint32_t) { return int8_t{0}; });
}

template <class T>
std::shared_ptr<Dense> vec(TensorType type, std::vector<T> const& values) {
    auto t = Dense::create(type, Shape{static_cast<uint32_t>(values.size())}, Layout::c_order);
    std::memcpy(t->mutable_buffer().data, values.data(), values.size() * sizeof(T));
    return t;
}

std::vector<size_t> plane_sizes(std::vector<std::vector<uint32_t>> const& planes) {
    std::vector<size_t> sizes;
    for (auto const& p : planes) sizes.push_back(p.size());
    return sizes;
}

TEST(HrcWeights, PlaneSizes) {
    struct Row {
        uint32_t k, channels, filters;
        std::vector<size_t> sizes;
        std::string error;
    };
    const Row rows[] = {
        {3, 1, 191, {573, 0, 0}, ""},
        {3, 1, 192, {576, 0, 0}, ""},
        {3, 1, 193, {576, 3, 0}, ""},
        {3, 1, 384, {576, 576, 0}, ""},
        {3, 1, 575, {576, 576, 573}, ""},
        {3, 1, 576, {}, "Too many lines on HRC weight formatting with the 3-kernel."},
        {4, 1, 3, {9, 9, 0}, ""},
        {5, 1, 1, {3, 3, 3}, ""},
        {5, 1, 2, {6, 6, 6}, ""},
        {7, 1, 1, {6, 6, 6}, ""},        // 6 lines
        {16, 1, 1, {30, 30, 27}, ""},    // 29 lines: q = 9, r = 2
        {16, 1, 2, {60, 57, 57}, ""},    // 58 lines: q = 19, r = 1
        {6, 1, 1, {}, "Wrong kernel_size at HRC recording."},
        {6, 3, 2, {24, 24, 24}, ""},     // 4 lines per filter
        {3, 3, 1, {3, 3, 3}, ""},
        {3, 2, 1, {}, "Wrong number of channels at HRC recording."},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.k << " " << row.channels << " " << row.filters);
        auto w = zeros(row.k, row.channels, row.filters);
        std::vector<std::vector<uint32_t>> planes;
        EXPECT_EQ(error_text<std::runtime_error>([&] { planes = format_hrc_weights(*w); }), row.error);
        if (row.error.empty()) {
            EXPECT_EQ(plane_sizes(planes), row.sizes);
        }
    }
}

TEST(HrcWeights, LinePacking) {
    // One filter of 3 x 3 on one channel: weights 1..9 in row order, the ninth alone in word 2.
    auto w = weights(3, 1, 1, [](uint32_t x, uint32_t y, uint32_t, uint32_t) { return int8_t(y * 3 + x + 1); });
    auto planes = format_hrc_weights(*w);
    EXPECT_EQ(planes[0], (std::vector<uint32_t>{0x04030201, 0x08070605, 0x00000009}));
}

TEST(HrcWeights, NegativeWeightsAreBytes) {
    auto w = weights(3, 1, 1, [](uint32_t x, uint32_t y, uint32_t, uint32_t) {
        return int8_t(x == 0 && y == 0 ? -1 : (x == 2 && y == 2 ? -128 : 0));
    });
    EXPECT_EQ(format_hrc_weights(*w)[0], (std::vector<uint32_t>{0x000000FF, 0, 0x00000080}));
}

TEST(HrcWeights, FourKernelSplitsEachFilterOverTwoPlanes) {
    // Filter f has weights 0x10 * (f + 1) + n for weight n = 0..15 in row order.
    auto w = weights(4, 1, 3,
                     [](uint32_t x, uint32_t y, uint32_t, uint32_t f) { return int8_t(0x10 * (f + 1) + y * 4 + x); });
    auto planes = format_hrc_weights(*w);
    ASSERT_EQ(plane_sizes(planes), (std::vector<size_t>{9, 9, 0}));
    for (uint32_t f = 0; f < 3; ++f) {
        uint32_t const b = 0x10 * (f + 1);
        auto word = [&](uint32_t n0) { return (b + n0) | (b + n0 + 1) << 8 | (b + n0 + 2) << 16 | (b + n0 + 3) << 24; };
        // First nine weights on plane 0, last seven on plane 1, at the same address.
        EXPECT_EQ(planes[0][3 * f + 0], word(0));
        EXPECT_EQ(planes[0][3 * f + 1], word(4));
        EXPECT_EQ(planes[0][3 * f + 2], b + 8);
        EXPECT_EQ(planes[1][3 * f + 0], (b + 9) | (b + 10) << 8 | (b + 11) << 16 | (b + 12) << 24);
        EXPECT_EQ(planes[1][3 * f + 1], (b + 13) | (b + 14) << 8 | (b + 15) << 16);
        EXPECT_EQ(planes[1][3 * f + 2], 0u);
    }
}

TEST(HrcWeights, FiveKernelPutsOneLineInEachPlane) {
    auto w = weights(5, 1, 1, [](uint32_t x, uint32_t y, uint32_t, uint32_t) { return int8_t(y * 5 + x + 1); });
    auto planes = format_hrc_weights(*w);
    EXPECT_EQ(planes[0], (std::vector<uint32_t>{0x04030201, 0x08070605, 0x09}));
    EXPECT_EQ(planes[1], (std::vector<uint32_t>{0x0D0C0B0A, 0x11100F0E, 0x12}));
    EXPECT_EQ(planes[2], (std::vector<uint32_t>{0x16151413, 0x00191817, 0}));
}

TEST(HrcWeights, ThreeKernelMovesToPlaneOneAfter192Lines) {
    auto w = weights(3, 1, 193, [](uint32_t, uint32_t, uint32_t, uint32_t f) { return int8_t(f == 192 ? 0x55 : 1); });
    auto planes = format_hrc_weights(*w);
    EXPECT_EQ(planes[0][573], 0x01010101u);
    EXPECT_EQ(planes[1], (std::vector<uint32_t>{0x55555555, 0x55555555, 0x55}));
}

TEST(HrcWeights, ThreeChannelsGoToTheirOwnPlane) {
    auto w = weights(3, 3, 2, [](uint32_t x, uint32_t y, uint32_t c, uint32_t f) {
        return int8_t(x == 0 && y == 0 ? 0x10 * c + f + 1 : 0);
    });
    auto planes = format_hrc_weights(*w);
    for (uint32_t c = 0; c < 3; ++c)
        EXPECT_EQ(planes[c], (std::vector<uint32_t>{0x10 * c + 1, 0, 0, 0x10 * c + 2, 0, 0}));
}

TEST(HrcWeights, LayoutOneReadsFiltersFirst) {
    // (filters, channels, height, width) = (2, 1, 3, 3).
    auto w = Dense::create(TensorType::int8, Shape{2, 1, 3, 3}, Layout::reversed);
    tensor_write<int8_t>(*w, {1, 0, 0, 1}, int8_t{7});  // filter 1, y 0, x 1: weight 1 of its line
    auto planes = format_hrc_weights(*w);
    EXPECT_EQ(planes[0], (std::vector<uint32_t>{0, 0, 0, 0x0700, 0, 0}));
}

TEST(HrcWeights, WrongTypePanics) {
    auto w = Dense::create(TensorType::uint8, Shape{3, 3, 1, 1}, Layout::c_order);
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_hrc_weights(*w); }),
              "Wrong requested type int8 for a tensor of type uint8");
}

TEST(HrcActivations, WordLayout) {
    struct Row {
        int8_t a;
        uint8_t b, c, d, e, f;
        bool with_c, with_d;
        uint32_t first, second;
        std::string error;
    };
    const Row rows[] = {
        {-1, 0xAB, 17, 0xFF, 9, 0xCD, true, true, 1u << 19 | 17u << 14 | 0xABu << 6 | 0x3F, 0xCDu << 12 | 9u << 7 | 0x7F,
         ""},
        {-32, 0, 0, 0, 0, 0, true, true, 0x20, 0, ""},
        {31, 0, 31, 2, 31, 0, true, true, 31u << 14 | 31, 31u << 7 | 1, ""},
        {5, 1, 9, 9, 3, 2, false, false, 1u << 6 | 5, 2u << 12 | 3u << 7, ""},
        {-33, 0, 0, 0, 0, 0, true, true, 0, 0, "-33 cannot fit in a 6-bit signed integer"},
        {32, 0, 0, 0, 0, 0, true, true, 0, 0, "32 cannot fit in a 6-bit signed integer"},
        {0, 0, 32, 0, 0, 0, true, true, 0, 0, "32 cannot fit in a 5-bit unsigned integer"},
        {0, 0, 0, 0, 40, 0, true, true, 0, 0, "40 cannot fit in a 5-bit unsigned integer"},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(int{row.a});
        auto a = vec<int8_t>(TensorType::int8, {row.a});
        auto b = vec<uint8_t>(TensorType::uint8, {row.b});
        auto c = vec<uint8_t>(TensorType::uint8, {row.c});
        auto d = vec<uint8_t>(TensorType::uint8, {row.d});
        auto e = vec<uint8_t>(TensorType::uint8, {row.e});
        auto f = vec<uint8_t>(TensorType::uint8, {row.f});
        std::vector<uint32_t> words;
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      words = format_hrc_activations(*a, *b, row.with_c ? c.get() : nullptr,
                                                     row.with_d ? d.get() : nullptr, *e, *f);
                  }),
                  row.error);
        if (row.error.empty()) {
            EXPECT_EQ(words, (std::vector<uint32_t>{row.first, row.second}));
        }
    }
}

TEST(HrcActivations, OneWordPairPerElementOfF) {
    auto a = vec<int8_t>(TensorType::int8, {1, 2, 3});
    auto u = vec<uint8_t>(TensorType::uint8, {1, 2, 3});
    auto f = vec<uint8_t>(TensorType::uint8, {4, 5});
    EXPECT_EQ(format_hrc_activations(*a, *u, nullptr, nullptr, *u, *f).size(), 4u);
    auto wrong = vec<int8_t>(TensorType::int8, {1});
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_hrc_activations(*a, *wrong, nullptr, nullptr, *u, *f); }),
              "Wrong requested type uint8 for a tensor of type int8");
    // An operand shorter than `f` is refused, not read past its end.
    auto short_b = vec<uint8_t>(TensorType::uint8, {1});
    EXPECT_NE(error_text<std::runtime_error>([&] { format_hrc_activations(*a, *short_b, nullptr, nullptr, *u, *f); }),
              "");
}

TEST(HrcLutVariables, WordLayout) {
    struct Row {
        uint8_t a, b, c;
        int8_t d, e;
        uint8_t f;
        uint32_t first, second;
        std::string error;
    };
    const Row rows[] = {
        {0x12, 0x34, 0x1F, -1, -32, 0xEE, 0xFu << 16 | 0x34u << 8 | 0x12, 0xEEu << 13 | 0x20u << 7 | 0x3Fu << 1 | 1,
         ""},
        {0, 0, 0x0A, 31, 0, 0, 0xAu << 16, 31u << 1, ""},
        {0, 0, 0x20, 0, 0, 0, 0, 0, "2 cannot fit in a 1-bit unsigned integer"},
        {0, 0, 0, -33, 0, 0, 0, 0, "-33 cannot fit in a 6-bit signed integer"},
        {0, 0, 0, 0, 32, 0, 0, 0, "32 cannot fit in a 6-bit signed integer"},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(int{row.c});
        auto a = vec<uint8_t>(TensorType::uint8, {row.a});
        auto b = vec<uint8_t>(TensorType::uint8, {row.b});
        auto c = vec<uint8_t>(TensorType::uint8, {row.c});
        auto d = vec<int8_t>(TensorType::int8, {row.d});
        auto e = vec<int8_t>(TensorType::int8, {row.e});
        auto f = vec<uint8_t>(TensorType::uint8, {row.f});
        std::vector<uint32_t> words;
        EXPECT_EQ(error_text<std::runtime_error>([&] { words = format_hrc_lut_variables(*a, *b, *c, *d, *e, *f); }),
                  row.error);
        if (row.error.empty()) {
            EXPECT_EQ(words, (std::vector<uint32_t>{row.first, row.second}));
        }
    }
}

}  // namespace
}  // namespace nuvra
