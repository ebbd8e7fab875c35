// The input and output quantization of a program, and the HRC weight, activation and look-up-table words.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program/hrc_input.h"
#include "program/io_quantization.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/field_table.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::FakeLayer;

template <class T>
std::shared_ptr<Dense> vec(TensorType type, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, Shape{static_cast<uint32_t>(values.size())},
                       Layout::c_order);
}

// An input or output layer of `type`, named "io".
FakeLayer io_layer(LayerType type, std::map<std::string, int> const& params = {}) {
    FakeLayer layer("io");
    layer.set_params(type, params);
    return layer;
}

TEST(IoDescriptors, InputSideOfAQuantizer) {
    FakeLayer q = io_layer(LayerType::Quantizer, {{"channels_first", 1}});
    q.set_bits(32, 4).set_output_signed(true);
    q.variables().set("scales", vec<float>(TensorType::float32, {0.5f, 0.25f}));
    q.variables().set("zero_points", vec<uint8_t>(TensorType::uint8, {3, 200}));
    EXPECT_EQ(io::input_bits(q), 4);
    EXPECT_TRUE(io::input_sign(q));
    EXPECT_TRUE(io::input_channels_first(q));
    EXPECT_EQ(io::format_input_scales(q), (std::vector<float>{0.5f, 0.25f}));
    EXPECT_EQ(io::format_input_zero_points(q), (std::vector<uint8_t>{3, 200}));
    // The count is the first dimension.
    auto scales = Dense::create(TensorType::float32, Shape{2, 3}, Layout::c_order);
    tensor_write<float>(*scales, size_t{1}, 2.0f);
    q.variables().set("scales", scales);
    EXPECT_EQ(io::format_input_scales(q), (std::vector<float>{0.0f, 2.0f}));
}

TEST(IoDescriptors, InputSideOfOtherLayers) {
    struct Row { uint8_t in_bits; bool on_hrc, sign; };
    Row const rows[] = {{4, true, false}, {5, false, true}, {8, true, false}};
    for (Row const& row : rows) {
        FakeLayer layer = io_layer(LayerType::Conv2D);
        layer.set_bits(row.in_bits, 2);
        if (row.on_hrc) layer.set_kinds({ComponentKind::HRC});
        layer.variables().set("scales", vec<int32_t>(TensorType::int32, {1}));  // not read for other kinds
        EXPECT_EQ(io::input_bits(layer), row.in_bits);
        EXPECT_EQ(io::input_sign(layer), row.sign) << int{row.in_bits} << " " << row.on_hrc;
        EXPECT_FALSE(io::input_channels_first(layer));
        EXPECT_TRUE(io::format_input_scales(layer).empty() && io::format_input_zero_points(layer).empty());
    }
}

TEST(IoDescriptors, OutputScalesAndShifts) {
    struct Row { LayerType type; bool activation; int code; std::vector<float> scales; std::vector<int32_t> shifts; };
    Row const rows[] = {
        {LayerType::Convolutional, false, 1, {0.5f, 0.0f, 2.0f}, {7, -1, 0}},  // act_step {2, 0, 0.5}
        {LayerType::Convolutional, true, 1, {}, {}}, {LayerType::Conv2D, false, 2, {}, {}},
        {LayerType::Dequantizer, true, 0, {1.5f, 2.5f, 3.5f, 4.5f}, {0, 0, 0, 0}},
    };
    for (Row const& row : rows) {
        FakeLayer layer = io_layer(row.type);
        layer.set_activation(row.activation);
        layer.set_format_code(row.code);
        layer.variables().set("act_step", vec<float>(TensorType::float32, {2.0f, 0.0f, 0.5f}));
        layer.variables().set("threshold", vec<int32_t>(TensorType::int32, {7, -1, 0}));
        layer.variables().set("scales", vec<float>(TensorType::float32, {1.5f, 2.5f, 3.5f, 4.5f}));
        EXPECT_EQ(io::format_output_scales(layer), row.scales) << static_cast<int>(row.type);
        EXPECT_EQ(io::format_output_shift(layer), row.shifts) << static_cast<int>(row.type);
    }
}

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

// Weight n of a filter, in row order, is n + 1.
int8_t row_order(uint32_t k, uint32_t x, uint32_t y) { return int8_t(y * k + x + 1); }

TEST(HrcWeights, PlaneSizes) {
    struct Row { uint32_t k, channels, filters; std::vector<size_t> sizes; std::string error; };
    const Row rows[] = {
        {3, 1, 193, {576, 3, 0}, ""}, {3, 1, 576, {}, "Too many lines on HRC weight formatting with the 3-kernel."},
        {4, 1, 3, {9, 9, 0}, ""}, {5, 1, 2, {6, 6, 6}, ""},
        {16, 1, 1, {30, 30, 27}, ""},  // 29 lines: q = 9, r = 2
        {16, 1, 2, {60, 57, 57}, ""},  // 58 lines: q = 19, r = 1
        {6, 1, 1, {}, "Wrong kernel_size at HRC recording."}, {6, 3, 2, {24, 24, 24}, ""},
        {3, 2, 1, {}, "Wrong number of channels at HRC recording."},
    };
    for (Row const& row : rows) {
        auto w = weights(row.k, row.channels, row.filters, [](auto...) { return int8_t{0}; });
        std::vector<size_t> sizes;
        std::string const error = error_text<std::runtime_error>([&] {
            for (auto const& plane : format_hrc_weights(*w)) sizes.push_back(plane.size());
        });
        EXPECT_EQ(error, row.error) << row.k << " " << row.channels << " " << row.filters;
        EXPECT_EQ(sizes, row.sizes) << row.k << " " << row.channels << " " << row.filters;
    }
}

TEST(HrcWeights, LinePacking) {
    using Planes = std::vector<std::vector<uint32_t>>;
    // One 3 x 3 filter: the ninth weight alone in word 2; -1 and -128 as bytes.
    EXPECT_EQ(format_hrc_weights(*weights(3, 1, 1, [](auto x, auto y, auto, auto) {
                  return int8_t(x == 0 && y == 0 ? -1 : (x == 2 && y == 2 ? -128 : 0));
              }))[0],
              (std::vector<uint32_t>{0xFF, 0, 0x80}));
    // 5 x 5: three lines of 9, 9 and 7 weights, one in each plane at the same address.
    EXPECT_EQ(format_hrc_weights(*weights(5, 1, 1, [](auto x, auto y, auto, auto) { return row_order(5, x, y); })),
              (Planes{{0x04030201, 0x08070605, 0x09}, {0x0D0C0B0A, 0x11100F0E, 0x12}, {0x16151413, 0x00191817, 0}}));
    // 3 x 3 on three channels: channel c on plane c.
    EXPECT_EQ(format_hrc_weights(*weights(3, 3, 2, [](auto x, auto y, uint32_t c, uint32_t f) {
                  return int8_t(x == 0 && y == 0 ? 0x10 * c + f + 1 : 0);
              })),
              (Planes{{0x01, 0, 0, 0x02, 0, 0}, {0x11, 0, 0, 0x12, 0, 0}, {0x21, 0, 0, 0x22, 0, 0}}));
    // Layout 1 reads (filters, channels, height, width): filter 1, y 0, x 1 is weight 1 of its line.
    auto reversed = Dense::create(TensorType::int8, Shape{2, 1, 3, 3}, Layout::reversed);
    tensor_write<int8_t>(*reversed, {1, 0, 0, 1}, int8_t{7});
    EXPECT_EQ(format_hrc_weights(*reversed)[0], (std::vector<uint32_t>{0, 0, 0, 0x0700, 0, 0}));
}

// Filter 1 (weights 0x20..0x2F): the first nine on plane 0, the last seven on plane 1, at the same address.
TEST(HrcWeights, FourKernelSplitsEachFilterOverTwoPlanes) {
    auto planes = format_hrc_weights(*weights(
        4, 1, 3, [](uint32_t x, uint32_t y, uint32_t, uint32_t f) { return int8_t(0x10 * (f + 1) + y * 4 + x); }));
    EXPECT_EQ(std::vector<uint32_t>(planes[0].begin() + 3, planes[0].begin() + 6),
              (std::vector<uint32_t>{0x23222120, 0x27262524, 0x28}));
    EXPECT_EQ(std::vector<uint32_t>(planes[1].begin() + 3, planes[1].begin() + 6),
              (std::vector<uint32_t>{0x2C2B2A29, 0x002F2E2D, 0}));
}

// The HRC's per-filter words keep their fields inside their two-word records, without overlaps.
TEST(HrcMemoryFields, Table) {
    std::vector<std::pair<std::string_view, size_t>> const records = {
        {"activation", hrc::filter_record_words}, {"lut", hrc::filter_record_words}, {"registers", 1}};
    EXPECT_EQ(testing::fields_outside_images(hrc::field_table, records), std::vector<std::string>{});
    EXPECT_EQ(testing::unintended_overlaps(hrc::field_table, {}), std::vector<std::string>{});
}

TEST(HrcActivations, WordLayout) {
    struct Row { int8_t a; uint8_t b, c, d, e, f; bool with_c_and_d; uint32_t first, second; std::string error; };
    const Row rows[] = {
        {-1, 0xAB, 17, 0xFF, 9, 0xCD, true, 1u << 19 | 17u << 14 | 0xABu << 6 | 0x3F, 0xCDu << 12 | 9u << 7 | 0x7F, ""},
        {5, 1, 9, 9, 3, 2, false, 1u << 6 | 5, 2u << 12 | 3u << 7, ""},
        {-33, 0, 0, 0, 0, 0, true, 0, 0, "-33 cannot fit in a 6-bit signed integer"},
        {0, 0, 32, 0, 0, 0, true, 0, 0, "32 cannot fit in a 5-bit unsigned integer"},
        {0, 0, 0, 0, 40, 0, true, 0, 0, "40 cannot fit in a 5-bit unsigned integer"},
    };
    for (Row const& row : rows) {
        auto c = vec<uint8_t>(TensorType::uint8, {row.c});
        auto d = vec<uint8_t>(TensorType::uint8, {row.d});
        std::vector<uint32_t> words;
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      words = format_hrc_activations(
                          *vec<int8_t>(TensorType::int8, {row.a}), *vec<uint8_t>(TensorType::uint8, {row.b}),
                          row.with_c_and_d ? c.get() : nullptr, row.with_c_and_d ? d.get() : nullptr,
                          *vec<uint8_t>(TensorType::uint8, {row.e}), *vec<uint8_t>(TensorType::uint8, {row.f}));
                  }),
                  row.error);
        EXPECT_EQ(words, (row.error.empty() ? std::vector<uint32_t>{row.first, row.second} : std::vector<uint32_t>{}));
    }
}

TEST(HrcActivations, OneWordPairPerElementOfF) {
    auto a = vec<int8_t>(TensorType::int8, {1, 2, 3});
    auto u = vec<uint8_t>(TensorType::uint8, {1, 2, 3});
    auto f = vec<uint8_t>(TensorType::uint8, {4, 5});
    EXPECT_EQ(format_hrc_activations(*a, *u, nullptr, nullptr, *u, *f).size(), 4u);
    // An operand shorter than `f` is refused, not read past its end.
    auto short_b = vec<uint8_t>(TensorType::uint8, {1});
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_hrc_activations(*a, *short_b, nullptr, nullptr, *u, *f); }),
              "Coordinates are out-of-range (linear index 1, tensor size 1)");
}

TEST(HrcLutVariables, WordLayout) {
    struct Row { uint8_t a, b, c; int8_t d, e; uint8_t f; uint32_t first, second; std::string error; };
    const Row rows[] = {
        {0x12, 0x34, 0x1F, -1, -32, 0xEE, 0xFu << 16 | 0x34u << 8 | 0x12, 0xEEu << 13 | 0x20u << 7 | 0x3Fu << 1 | 1,
         ""},
        {0, 0, 0x20, 0, 0, 0, 0, 0, "2 cannot fit in a 1-bit unsigned integer"},
        {0, 0, 0, -33, 0, 0, 0, 0, "-33 cannot fit in a 6-bit signed integer"},
        {0, 0, 0, 0, 32, 0, 0, 0, "32 cannot fit in a 6-bit signed integer"},
    };
    for (Row const& row : rows) {
        std::vector<uint32_t> words;
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      words = format_hrc_lut_variables(
                          *vec<uint8_t>(TensorType::uint8, {row.a}), *vec<uint8_t>(TensorType::uint8, {row.b}),
                          *vec<uint8_t>(TensorType::uint8, {row.c}), *vec<int8_t>(TensorType::int8, {row.d}),
                          *vec<int8_t>(TensorType::int8, {row.e}), *vec<uint8_t>(TensorType::uint8, {row.f}));
                  }),
                  row.error);
        EXPECT_EQ(words, (row.error.empty() ? std::vector<uint32_t>{row.first, row.second} : std::vector<uint32_t>{}));
    }
}

TEST(HrcSram, EmptyDataRecordsNothing) {
    auto record = program::new_record(HwVersion{});
    record_hrc_sram(record.get(), Field{0, 31, 1}, {});
    EXPECT_TRUE(record->tracks.empty());
}

}  // namespace
}  // namespace nuvra
