// FNP input shifts, neuron weights and neuron memory in their three input layouts.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "backends/v2/format_fnp.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/reference_formats.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using namespace nuvra::v2::testing;
using P = InputPadding;

std::shared_ptr<Dense> shifts_of(uint32_t count) {
    std::vector<uint8_t> values;
    for (uint32_t i = 0; i < count; ++i) values.push_back(uint8_t(i + 1));
    return u8_vector(values);
}

// An (inputs, neurons) weight tensor of value(I, n).
std::shared_ptr<Dense> fnp_weights(uint32_t inputs, uint32_t neurons, std::function<int8_t(uint32_t, uint32_t)> value) {
    auto w = Dense::create(TensorType::int8, Shape{inputs, neurons}, Layout::c_order);
    for (uint32_t i = 0; i < inputs; ++i)
        for (uint32_t n = 0; n < neurons; ++n) tensor_write<int8_t>(*w, {i, n}, value(i, n));
    return w;
}

// The words of each layout, always twice the 24-bit shift groups the size counts.
TEST(V2FormatFnpInputShift, Layouts) {
    struct { char const* what; Shape s; P padding; uint8_t bits; std::vector<uint32_t> words = {}; } const rows[] = {
        {"packed: the whole tensor", {1, 1, 9}, P::Packed, 8, {0x04030201, 0x08070605, 0x09, 0}},
        // rows z = 0, 1 of 8 bytes; element (x, 0, z) is shift[2x + z]
        {"row-word rows", {5, 1, 2}, P::RowWordPadded, 8, {0x07050301, 0x00000009, 0x08060402, 0x0000000A}},
        {"row-word rounds to even words", {1, 1, 3}, P::RowWordPadded, 8, {0x01, 0x02, 0x03, 0x00}},
        // 4-bit input, s0 = 3: one empty slot ends a row, four end a plane; (x, y, 0) is shift[2x + y]
        {"row-byte slots", {3, 2, 1}, P::RowBytePadded, 4, {0x00050301, 0x00000000, 0x00060402, 0x00000000}},
        {"packed 4-bit", {1, 1, 17}, P::Packed, 4}, {"row-word 7 x 3 x 2", {7, 3, 2}, P::RowWordPadded, 8},
        {"row-byte 2-bit", {9, 2, 2}, P::RowBytePadded, 2}, {"row-byte 1-bit", {13, 1, 3}, P::RowBytePadded, 1},
    };
    for (auto const& row : rows) {
        auto const shifts = shifts_of(uint32_t(row.s.product()));
        auto const words = format_input_shift_fnp(*shifts, row.s, row.padding, row.bits);
        if (!row.words.empty()) {
            EXPECT_EQ(words, row.words) << row.what;
        }
        EXPECT_EQ(words.size(), 2u * fnp_input_shift_24b_size(*shifts, row.s, row.padding, row.bits)) << row.what;
    }
}

// Bit widths that divide no word (a division by zero for 0) are refused, and shapes are checked
// before any shift is read.
TEST(V2FormatFnpInputShift, Refusals) {
    auto const shifts = shifts_of(6);
    auto const call = [&](Shape s, P padding, uint8_t bits) {
        return [=] { format_input_shift_fnp(*shifts, s, padding, bits); };
    };
    EXPECT_EQ(error_text<std::invalid_argument>(call({3, 2, 1}, P::RowBytePadded, 0)),
              "Unsupported input bit width 0.");
    EXPECT_EQ(error_text<std::invalid_argument>(call({3, 2, 1}, P::RowBytePadded, 16)),
              "Unsupported input bit width 16.");
    EXPECT_EQ(error_text<std::invalid_argument>(call({3, 2, 1}, P::RowWordPadded, 4)),
              "Row-word padding takes 8-bit inputs, not 4.");
    EXPECT_EQ(error_text<std::invalid_argument>(call({3, 3, 1}, P::RowWordPadded, 8)),
              "Tensor input_shift has 6 elements along dimension 0, 9 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>(call({6, 1}, P::Packed, 8)),
              "An FNP input shape needs 3 dimensions, not 2.");
    EXPECT_EQ(error_text<std::runtime_error>(call({3, 2, 1}, P::Undefined, 8)), "Unsupported padding.");
}

TEST(V2FormatFnpWeights, Layouts) {
    // neuron 1 holds I - 3 for input I; neuron 0 other values that must not show
    auto const value = [](uint32_t i, uint32_t n) { return int8_t(n == 1 ? int(i) - 3 : 0x55); };
    struct {
        char const* what;
        Shape s;
        P padding;
        uint8_t bits, weights_bits;
        std::vector<uint32_t> words;  // of neuron 1
    } const rows[] = {
        // -3 .. 1 in 4 bits, least significant first
        {"packed 4-bit", {1, 1, 5}, P::Packed, 8, 4, {0x00010FEDu}},
        {"packed 8-bit", {1, 1, 5}, P::Packed, 8, 8, {0x00FFFEFDu, 0x00000001u}},
        {"packed 2-bit", {1, 1, 5}, P::Packed, 8, 2, {0x00000139u}},
        // 4-bit input, s0 = 3: slots 0-2 used, slot 3 ends the row, 4-7 the plane; (x, y, 0) is input 2x + y
        {"row-byte two planes", {3, 2, 1}, P::RowBytePadded, 4, 4, {0x000001FDu, 0x0000020Eu}},
        // 8-bit input with 4-bit weights: a row of 3 slots plus 1 pad slot per plane of 4
        {"row-byte 8-bit input", {3, 2, 1}, P::RowBytePadded, 8, 4, {0x020E01FDu}},
        // one byte per weight; element (x, 0, z) is input 2x + z; rows of 8 bytes
        {"row-word", {5, 1, 2}, P::RowWordPadded, 8, 8, {0x0301FFFDu, 0x00000005u, 0x040200FEu, 0x00000006u}},
    };
    for (auto const& row : rows) {
        auto const w = fnp_weights(uint32_t(row.s.product()), 2, value);
        auto const words = format_fnp_weights(1, *w, row.weights_bits, row.s, row.padding, row.bits);
        EXPECT_EQ(words, row.words) << row.what;
        EXPECT_EQ(words.size() + 2, get_neuron_word_size(row.s, row.padding, row.bits, row.weights_bits)) << row.what;
    }
}

TEST(V2FormatFnpWeights, Refusals) {
    auto const w = fnp_weights(6, 2, [](uint32_t, uint32_t) { return int8_t(1); });
    auto const call = [&](uint32_t neuron, uint8_t weights_bits, Shape s, P padding, uint8_t bits) {
        return [=] { format_fnp_weights(neuron, *w, weights_bits, s, padding, bits); };
    };
    EXPECT_EQ(error_text<std::invalid_argument>(call(0, 3, {1, 1, 6}, P::Packed, 8)),
              "Unsupported weight bit width 3.");
    EXPECT_EQ(error_text<std::invalid_argument>(call(0, 4, {3, 2, 1}, P::RowBytePadded, 0)),
              "Unsupported input bit width 0.");
    EXPECT_EQ(error_text<std::invalid_argument>(call(0, 8, {3, 2, 1}, P::RowWordPadded, 4)),
              "Row-word padding takes 8-bit inputs, not 4.");
    EXPECT_EQ(error_text<std::invalid_argument>(call(2, 8, {1, 1, 6}, P::Packed, 8)),
              "Tensor weights has 2 elements along dimension 1, 3 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>(call(0, 8, {7, 1, 1}, P::RowWordPadded, 8)),
              "Tensor weights has 6 elements along dimension 0, 7 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [] { format_fnp_weights(0, *i8_vector({1, 2}), 8, Shape{1, 1, 2}, P::Packed, 8); }),
              "Tensor weights must have rank 2, not 1.");
    EXPECT_EQ(error_text<std::runtime_error>(call(0, 8, {1, 1, 6}, P::Undefined, 8)), "Unsupported padding.");
}

// A Dense1D layer of input `input` and two neurons, with every variable but the max values.
std::shared_ptr<FakeLayer> dense_layer(Shape const& input) {
    auto layer = FakeLayer::make("dense");
    layer->set_params(LayerType::Dense1D, {{"units", 2}, {"weights_bits", 8}});
    layer->set_input_dims({input});
    layer->vars().set("weights", fnp_weights(uint32_t(input.product()), 2,
                                             [](uint32_t i, uint32_t n) { return int8_t(16 * n + i + 1); }));
    layer->vars().set("bias", i8_vector({-1, 5}));
    layer->vars().set("bias_shift", u8_vector({3, 4}));
    layer->vars().set("output_scales", u8_vector({7, 8}));
    layer->vars().set("output_shift", i8_vector({-2, 1}));
    return layer;
}

// Word for word what the weight-by-weight formatter gives, on random weights of 11 neurons in
// both element orders: single neurons, and the records of the whole memory (blocks of eight).
TEST(V2FormatFnpWeights, MatchTheCheckedFormatter) {
    struct { Shape s; P padding; uint8_t bits, weights_bits; Layout layout; } const rows[] = {
        {{1, 1, 37}, P::Packed, 8, 1, Layout::c_order},       {{1, 1, 37}, P::Packed, 8, 2, Layout::reversed},
        {{1, 1, 37}, P::Packed, 8, 4, Layout::c_order},       {{1, 1, 37}, P::Packed, 8, 8, Layout::reversed},
        {{3, 2, 5}, P::RowBytePadded, 4, 4, Layout::c_order}, {{5, 3, 2}, P::RowBytePadded, 1, 2, Layout::reversed},
        {{3, 2, 3}, P::RowBytePadded, 8, 8, Layout::c_order}, {{3, 2, 3}, P::RowBytePadded, 2, 1, Layout::reversed},
        {{5, 3, 2}, P::RowWordPadded, 8, 8, Layout::c_order}, {{7, 2, 3}, P::RowWordPadded, 8, 4, Layout::reversed},
    };
    constexpr uint32_t neurons = 11;
    std::mt19937 random(15);
    for (auto const& row : rows) {
        Shape const shape{uint32_t(row.s.product()), neurons};
        std::vector<int8_t> bytes(shape.product());
        for (int8_t& b : bytes) b = int8_t(random());
        auto const w = Dense::copy(bytes.data(), bytes.size(), TensorType::int8, shape, row.layout);
        auto const layer = dense_layer(row.s);
        layer->vars().set("weights", w);
        for (char const* name : {"bias", "output_shift"}) layer->vars().set(name, i8_vector(std::vector<int8_t>(neurons)));
        for (char const* name : {"bias_shift", "output_scales"})
            layer->vars().set(name, u8_vector(std::vector<uint8_t>(neurons)));
        std::vector<uint32_t> const ram = format_fnp_ram(*layer, false, row.padding, row.bits, row.weights_bits);
        size_t const record = get_neuron_word_size(row.s, row.padding, row.bits, row.weights_bits);
        ASSERT_EQ(ram.size(), record * neurons) << int(row.padding);
        for (uint32_t n = 0; n < neurons; ++n) {
            auto const expected = nuvra::testing::checked_fnp_weights(n, *w, row.weights_bits, row.s, row.padding, row.bits);
            EXPECT_EQ(format_fnp_weights(n, *w, row.weights_bits, row.s, row.padding, row.bits), expected)
                << int(row.padding) << " " << int(row.weights_bits) << " neuron " << n;
            EXPECT_EQ(std::vector<uint32_t>(ram.begin() + long(n * record + 2), ram.begin() + long((n + 1) * record)),
                      expected)
                << int(row.padding) << " " << int(row.weights_bits) << " neuron " << n;
        }
    }
}

TEST(V2FormatFnpRam, RecordsOfVariablesThenWeights) {
    auto const layer = dense_layer(Shape{5, 1, 2});
    auto const words = format_fnp_ram(*layer, false, P::RowWordPadded, 8, 8);
    auto const weights = std::as_const(*layer->vars().get("weights")).ensure_dense();
    Shape const s{5, 1, 2};
    ASSERT_EQ(words.size(), get_layer_word_size(*weights, 8, s, P::RowWordPadded, 8));
    std::vector<uint32_t> expected = {0x000003FF, 0x0000FE07};  // two records of 2 + 4 words
    for (uint32_t w : format_fnp_weights(0, *weights, 8, s, P::RowWordPadded, 8)) expected.push_back(w);
    expected.push_back(0x00000405);
    expected.push_back(0x00000108);
    for (uint32_t w : format_fnp_weights(1, *weights, 8, s, P::RowWordPadded, 8)) expected.push_back(w);
    EXPECT_EQ(words, expected);
    EXPECT_EQ(words[2], 0x07050301u);  // neuron 0, row z = 0: inputs 0, 2, 4, 6, 8

    // Flattened, every input is packed: records of 2 + 3 words.
    auto const flat = format_fnp_ram(*layer, true, P::Packed, 8, 8);
    ASSERT_EQ(flat.size(), 10u);
    EXPECT_EQ(flat[2], 0x04030201u);
    EXPECT_EQ(flat[4], 0x00000A09u);
    EXPECT_EQ(flat[7], 0x14131211u);
}

TEST(V2FormatFnpRam, MaxValuesFillTheHighBytesOfWordZero) {
    auto const layer = dense_layer(Shape{1, 1, 3});
    auto const without = format_fnp_ram(*layer, false, P::Packed, 8, 8);
    ASSERT_EQ(without.size(), 6u);
    EXPECT_EQ(without[0] >> 16 | without[3] >> 16, 0u);
    layer->vars().set("max_value", u8_vector({9, 10}));
    layer->vars().set("max_value_shift", u8_vector({1, 2}));
    EXPECT_EQ(format_fnp_ram(*layer, false, P::Packed, 8, 8),
              (std::vector<uint32_t>{0x010903FF, 0x0000FE07, 0x00030201, 0x020A0405, 0x00000108, 0x00131211}));
}

TEST(V2FormatFnpRam, Refusals) {
    auto const lone_max = dense_layer(Shape{1, 1, 3});
    lone_max->vars().set("max_value", u8_vector({9, 10}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*lone_max, false, P::Packed, 8, 8); }),
              "Variable max_value_shift not found");
    auto const short_bias = dense_layer(Shape{1, 1, 3});
    short_bias->vars().set("bias", i8_vector({1}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*short_bias, false, P::Packed, 8, 8); }),
              "Tensor bias has 1 elements along dimension 0, 2 are needed.");
    auto const few_weights = dense_layer(Shape{1, 1, 3});
    few_weights->set_input_dims({Shape{1, 1, 4}});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*few_weights, false, P::Packed, 8, 8); }),
              "Tensor weights has 3 elements along dimension 0, 4 are needed.");
}

}  // namespace
}  // namespace nuvra::v2
