// CNP / TNP-B variables, input shifts, merge shifts and look-up tables.
#include <gtest/gtest.h>

#include "backends/v2/format_variables.h"
#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

// One neuron's variables; a missing one is a null pointer.
struct Vars {
    std::shared_ptr<Dense> max_value{}, max_value_shift{}, activation_shift{}, activation_scales{}, output_shift{},
        bias_shift{}, bias{}, output_scales{};

    std::vector<uint32_t> format(uint32_t first, uint32_t count) const {
        return format_cnp_tnp_variables(max_value.get(), max_value_shift.get(), activation_shift.get(),
                                        activation_scales.get(), output_shift.get(), bias_shift.get(), bias.get(),
                                        output_scales.get(), first, count);
    }
};

TEST(V2FormatVariables, EachVariableLandsInItsBits) {
    struct { char const* what; Vars vars; uint32_t word_a, word_b; } const rows[] = {
        {"bias -1", {.bias = i8_vector({-1})}, 0xFF00, 0},
        {"output_shift -32", {.output_shift = i8_vector({-32})}, 0x20u << 21, 0},
        {"activation_shift -1", {.activation_shift = i8_vector({-1})}, 0x1Fu << 27, 1},
        // bits 6-7 of the byte are dropped unchecked
        {"activation_shift 0x45", {.activation_shift = i8_vector({0x45})}, 0x05u << 27, 0},
        {"activation_scales 0xFF", {.activation_scales = u8_vector({0xFF})}, 0, 0x1FE},
        // both pairs: max_value replaces bits 0-7 of word B, bit 8 of the scale stays
        {"scales then max_value",
         {.max_value = u8_vector({0x00}), .max_value_shift = u8_vector({3}), .activation_shift = i8_vector({-1}),
          .activation_scales = u8_vector({0xFF})},
         0x1Fu << 27, 0x100},
        {"every field",
         {.max_value = u8_vector({0x7F}), .max_value_shift = u8_vector({31}), .output_shift = i8_vector({-2}),
          .bias_shift = u8_vector({31}), .bias = i8_vector({0x34}), .output_scales = u8_vector({0x56})},
         0x56u | 0x34u << 8 | 31u << 16 | 0x3Eu << 21 | 31u << 27, 0x7F},
    };
    for (auto const& row : rows) EXPECT_EQ(row.vars.format(0, 1), (std::vector{row.word_a, row.word_b})) << row.what;
}

TEST(V2FormatVariables, NeuronsFromTheFirstOne) {
    Vars const vars{.bias = i8_vector({1, 2, 3, 4}), .output_scales = u8_vector({10, 20, 30, 40})};
    EXPECT_EQ(vars.format(1, 2), (std::vector<uint32_t>{0x0214, 0, 0x031E, 0}));
    EXPECT_TRUE(vars.format(9, 0).empty());  // nothing read
    EXPECT_EQ(Vars{}.format(0, 3), std::vector<uint32_t>(6, 0u));
}

TEST(V2FormatVariables, Refusals) {
    auto const two_d = Dense::create(TensorType::int8, Shape{2, 2}, Layout::c_order);
    struct {
        Vars vars;
        uint32_t first, count;
        std::string message;
        bool shape = false;  // refused before reading, as an invalid argument
    } const rows[] = {
        {{.output_shift = i8_vector({-33})}, 0, 1, "-33 cannot fit in a 6-bit signed integer"},
        {{.bias_shift = u8_vector({32})}, 0, 1,
         "Attempted to write value 32 into a 5-bit field, which will cause an overflow."},
        {{.max_value_shift = u8_vector({40})}, 0, 1,
         "Attempted to write value 40 into a 5-bit field, which will cause an overflow."},
        {{.bias = u8_vector({1})}, 0, 1, "Wrong requested type int8 for a tensor of type uint8"},
        {{.bias = i8_vector({1, 2, 3})}, 2, 2, "Tensor bias has 3 elements along dimension 0, 4 are needed.", true},
        {{.bias = two_d}, 0, 1, "Tensor bias must have rank 1, not 2.", true},
        {{.bias = i8_vector({1})}, 0xFFFFFFFFu, 2,
         "Tensor bias has 1 elements along dimension 0, 4294967297 are needed.",
         true},
    };
    for (auto const& row : rows) {
        auto const call = [&] { row.vars.format(row.first, row.count); };
        EXPECT_EQ(row.shape ? error_text<std::invalid_argument>(call) : error_text<std::runtime_error>(call),
                  row.message);
    }
}

TEST(V2FormatInputShift, BytesInGroupsOfEight) {
    auto const shifts = u8_vector({1, 2, 3, 4, 5, 6, 7, 8, 9});
    struct { uint32_t first, count; std::vector<uint32_t> words; } const rows[] = {
        {0, 0, {0x04030201, 0x08070605, 0x00000009, 0}},  // count 0: the whole tensor; bytes 9-15 zero
        {2, 3, {0x00050403, 0}},
        {1, 8, {0x05040302, 0x09080706}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(format_input_shift(*shifts, row.first, row.count), row.words) << row.first << "+" << row.count;
    for (uint32_t n : {1u, 8u, 9u, 17u}) {
        auto const some = u8_vector(std::vector<uint8_t>(n, 1));
        EXPECT_EQ(format_input_shift(*some, 0, 0).size(), 2u * cnp_tnp_input_shift_24b_size(*some)) << n;
    }
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_input_shift(*shifts, 7, 3); }),
              "Tensor input_shift has 9 elements along dimension 0, 10 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [] { format_input_shift(*Dense::create(TensorType::uint8, Shape{2, 2}, Layout::c_order), 0, 0); }),
              "Tensor input_shift must have rank 1, not 2.");
}

TEST(V2FormatMergeShift, OneBytePerNeuron) {
    struct { uint8_t a, b; int8_t c; uint8_t byte; } const rows[] = {
        {2, 5, -4, 0x93},    // s = 1, b larger, distance 3
        {5, 2, -4, 0x13},    // a larger
        {0, 0, -4, 0xC0},    // equal shifts count as b larger; s = -4 is 0b100
        {0, 0, 3, 0xB0},
        {15, 0, -12, 0x3F},  // the largest distance that fits
    };
    for (auto const& row : rows)
        EXPECT_EQ(format_merge_layer_shift(u8_vector({row.a}), u8_vector({row.b}), i8_vector({row.c}), 0, 1),
                  (std::vector<uint32_t>{row.byte}))
            << int(row.a) << "," << int(row.b) << "," << int(row.c);

    auto const a = u8_vector({0, 2, 2, 2, 2, 2, 2});
    auto const b = u8_vector({0, 5, 5, 5, 5, 5, 1});
    auto const c = i8_vector({0, -4, -4, -4, -4, -4, -1});
    EXPECT_EQ(format_merge_layer_shift(a, b, c, 1, 6), (std::vector<uint32_t>{0x93939393, 0x00001193}));
    EXPECT_TRUE(format_merge_layer_shift(a, b, c, 0, 0).empty());
}

TEST(V2FormatMergeShift, Refusals) {
    struct { uint8_t a, b; int8_t c; char const* message; } const rows[] = {
        {0, 0, 4, "4 cannot fit in a 3-bit signed integer"},
        {2, 5, -10, "-5 cannot fit in a 3-bit signed integer"},
        {16, 0, -13, "16 cannot fit in a 5-bit signed integer"},  // would spill into the sum bits
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      format_merge_layer_shift(u8_vector({row.a}), u8_vector({row.b}), i8_vector({row.c}), 0, 1);
                  }),
                  row.message);
    auto const one = u8_vector({1});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_merge_layer_shift(nullptr, one, i8_vector({0}), 0, 1); }),
              "Tensor a_shift is missing.");
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { format_merge_layer_shift(one, u8_vector({1, 1}), i8_vector({0, 0}), 0, 2); }),
              "Tensor a_shift has 1 elements along dimension 0, 2 are needed.");
}

std::shared_ptr<Dense> lut_of(size_t entries, std::vector<std::pair<size_t, int32_t>> const& values = {}) {
    auto lut = Dense::create(TensorType::int32, Shape{uint32_t(entries)}, Layout::c_order);
    for (auto const& [index, value] : values) tensor_write<int32_t>(*lut, {uint32_t(index)}, value);
    return lut;
}

TEST(V2FormatLut, FourteenBitEntries) {
    auto const cnp = format_lut_values_for_cnp(lut_of(2048, {{0, -1}, {1, 1}, {2, 8191}, {3, -8192}, {2047, 5}}).get());
    ASSERT_EQ(cnp.size(), 1024u);  // two entries a word
    EXPECT_EQ(cnp[0], 0x00013FFFu);
    EXPECT_EQ(cnp[1], 0x20001FFFu);
    EXPECT_EQ(cnp[2], 0u);
    EXPECT_EQ(cnp[1023], 0x00050000u);
    // 2049 entries also pass; the last one is never read
    EXPECT_EQ(format_lut_values_for_cnp(lut_of(2049, {{0, -1}, {2048, 99999}}).get())[0], 0x3FFFu);

    auto const hrc = format_lut_values_for_hrc(lut_of(2048, {{0, -1}, {1, 8191}, {2047, -8192}}).get());
    ASSERT_EQ(hrc.size(), 2048u);  // one entry a word
    EXPECT_EQ(hrc[0], 0x3FFFu);
    EXPECT_EQ(hrc[1], 0x1FFFu);
    EXPECT_EQ(hrc[2047], 0x2000u);
}

// A missing table fails like one of the wrong size, never dereferences null.
TEST(V2FormatLut, Refusals) {
    struct { bool hrc; std::shared_ptr<Dense> lut; char const* message; } const rows[] = {
        {false, nullptr, "Wrong size for LUT."},
        {false, lut_of(1024), "Wrong size for LUT."},
        {false, lut_of(2050), "Wrong size for LUT."},
        {false, lut_of(2048, {{5, 8192}}), "8192 cannot fit in a 14-bit signed integer"},
        {true, nullptr, "Wrong size for LUT."},
        {true, lut_of(2049), "Wrong size for LUT."},
        {true, lut_of(2048, {{7, -8193}}), "-8193 cannot fit in a 14-bit signed integer"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      row.hrc ? format_lut_values_for_hrc(row.lut.get()) : format_lut_values_for_cnp(row.lut.get());
                  }),
                  row.message)
            << row.hrc << " " << (row.lut ? row.lut->size() : 0);
}

}  // namespace
}  // namespace nuvra::v2
