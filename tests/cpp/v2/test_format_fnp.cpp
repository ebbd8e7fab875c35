// FNP input shifts, neuron weights and neuron memory, and the padding choice they follow.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <utility>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/format_fnp.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/sizes.h"
#include "engine/error_text.h"
#include "engine/stub_layer.h"
#include "v2/format_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::StubLayer;
using namespace nuvra::v2::testing;

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

TEST(V2FormatFnpInputShift, PackedIsTheWholeTensor) {
    auto const shifts = shifts_of(9);
    EXPECT_EQ(format_input_shift_fnp(*shifts, Shape{1, 1, 9}, InputPadding::Packed, 8),
              format_input_shift(*shifts, 0, 0));
}

TEST(V2FormatFnpInputShift, RowWordPaddedRows) {
    // s = (5, 1, 2): rows z = 0, 1 of 8 bytes; element (x, 0, z) is shift[2x + z]
    auto const words = format_input_shift_fnp(*shifts_of(10), Shape{5, 1, 2}, InputPadding::RowWordPadded, 8);
    ASSERT_EQ(words.size(), 4u);
    EXPECT_EQ(words, (std::vector<uint32_t>{0x07050301, 0x00000009, 0x08060402, 0x0000000A}));
}

TEST(V2FormatFnpInputShift, RowWordPaddedRoundsToEvenWords) {
    // three words of rows become four
    auto const words = format_input_shift_fnp(*shifts_of(3), Shape{1, 1, 3}, InputPadding::RowWordPadded, 8);
    EXPECT_EQ(words, (std::vector<uint32_t>{0x01, 0x02, 0x03, 0x00}));
}

TEST(V2FormatFnpInputShift, RowBytePaddedSlots) {
    // 4-bit input, s0 = 3, s2 = 1: one empty slot ends a row, four end a plane: 8 slots a plane
    auto const words = format_input_shift_fnp(*shifts_of(6), Shape{3, 2, 1}, InputPadding::RowBytePadded, 4);
    // element (x, y, 0) is shift[2x + y]
    EXPECT_EQ(words, (std::vector<uint32_t>{0x00050301, 0x00000000, 0x00060402, 0x00000000}));
}

TEST(V2FormatFnpInputShift, WordsAreTwiceTheShiftGroups) {
    struct Row {
        Shape s;
        InputPadding padding;
        uint8_t bits;
    };
    Row const rows[] = {
        {{1, 1, 9}, InputPadding::Packed, 8},        {{1, 1, 17}, InputPadding::Packed, 4},
        {{5, 1, 2}, InputPadding::RowWordPadded, 8}, {{1, 1, 3}, InputPadding::RowWordPadded, 8},
        {{5, 4, 25}, InputPadding::RowWordPadded, 8}, {{7, 3, 2}, InputPadding::RowWordPadded, 8},
        {{3, 2, 1}, InputPadding::RowBytePadded, 4}, {{3, 1, 1}, InputPadding::RowBytePadded, 8},
        {{5, 3, 2}, InputPadding::RowBytePadded, 8}, {{6, 2, 3}, InputPadding::RowBytePadded, 4},
        {{9, 2, 2}, InputPadding::RowBytePadded, 2}, {{13, 1, 3}, InputPadding::RowBytePadded, 1},
    };
    for (auto const& row : rows) {
        auto const shifts = shifts_of(uint32_t(row.s.product()));
        EXPECT_EQ(format_input_shift_fnp(*shifts, row.s, row.padding, row.bits).size(),
                  2u * fnp_input_shift_24b_size(*shifts, row.s, row.padding, row.bits))
            << row.s[0] << "x" << row.s[1] << "x" << row.s[2] << " kind " << int(row.padding) << " bits "
            << int(row.bits);
    }
}

TEST(V2FormatFnpInputShift, Refusals) {
    auto const shifts = shifts_of(6);
    struct Row {
        const char* what;
        std::function<void()> call;
        std::string message;
    };
    Row const invalid[] = {
        {"row-byte padding of 0-bit inputs",
         [&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, InputPadding::RowBytePadded, 0); },
         "Unsupported input bit width 0."},
        {"row-byte padding of 16-bit inputs",
         [&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, InputPadding::RowBytePadded, 16); },
         "Unsupported input bit width 16."},
        {"row-byte padding of 3-bit inputs",
         [&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, InputPadding::RowBytePadded, 3); },
         "Unsupported input bit width 3."},
        {"row-word padding of 4-bit inputs",
         [&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, InputPadding::RowWordPadded, 4); },
         "Row-word padding takes 8-bit inputs, not 4."},
        {"too few shifts", [&] { format_input_shift_fnp(*shifts, Shape{3, 3, 1}, InputPadding::RowWordPadded, 8); },
         "Tensor input_shift has 6 elements along dimension 0, 9 are needed."},
        {"two-dimensional shape", [&] { format_input_shift_fnp(*shifts, Shape{6, 1}, InputPadding::Packed, 8); },
         "An FNP input shape needs 3 dimensions, not 2."},
    };
    for (auto const& row : invalid) EXPECT_EQ(error_text<std::invalid_argument>(row.call), row.message) << row.what;
    Row const runtime[] = {
        {"undefined padding", [&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, InputPadding::Undefined, 8); },
         "Unsupported padding."},
        {"padding 7", [&] { format_input_shift_fnp(*shifts, Shape{3, 2, 1}, InputPadding(7), 8); },
         "Unsupported padding."},
        {"signed shifts",
         [&] { format_input_shift_fnp(*i8_vector({1, 2, 3}), Shape{3, 1, 1}, InputPadding::RowWordPadded, 8); },
         "Wrong requested type uint8 for a tensor of type int8"},
    };
    for (auto const& row : runtime) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message) << row.what;
}

TEST(V2FormatFnpWeights, Layouts) {
    // neuron 1 holds I - 3 for input I; neuron 0 other values that must not show
    auto const value = [](uint32_t i, uint32_t n) { return int8_t(n == 1 ? int(i) - 3 : 0x55); };
    struct Row {
        const char* what;
        Shape s;
        InputPadding padding;
        uint8_t bits;
        uint8_t weights_bits;
        std::vector<uint32_t> words;  // of neuron 1
    };
    Row const rows[] = {
        // -3 .. 1 in 4 bits, least significant first
        {"packed 4-bit", {1, 1, 5}, InputPadding::Packed, 8, 4, {0x00010FEDu}},
        {"packed 8-bit", {1, 1, 5}, InputPadding::Packed, 8, 8, {0x00FFFEFDu, 0x00000001u}},
        {"packed 2-bit", {1, 1, 5}, InputPadding::Packed, 8, 2, {0x00000139u}},
        {"packed takes the last dimension", {1, 1, 2}, InputPadding::Packed, 8, 8, {0x0000FEFDu}},
        // 4-bit input, s0 = 3: slots 0-2 used, slot 3 ends the row, 4-7 the plane
        {"row-byte", {3, 1, 1}, InputPadding::RowBytePadded, 4, 4, {0x00000FEDu}},
        // element (x, y, 0) is input 2x + y, at slot 8y + x
        {"row-byte two planes", {3, 2, 1}, InputPadding::RowBytePadded, 4, 4, {0x000001FDu, 0x0000020Eu}},
        // 8-bit input with 4-bit weights: a row of 3 slots plus 1 pad slot per plane of 4
        {"row-byte 8-bit input", {3, 2, 1}, InputPadding::RowBytePadded, 8, 4, {0x020E01FDu}},
        // one byte per weight; element (x, 0, z) is input 2x + z; rows of 8 bytes
        {"row-word", {5, 1, 2}, InputPadding::RowWordPadded, 8, 8,
         {0x0301FFFDu, 0x00000005u, 0x040200FEu, 0x00000006u}},
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
    struct Row {
        const char* what;
        std::function<void()> call;
        std::string message;
    };
    Row const invalid[] = {
        {"3-bit weights", [&] { format_fnp_weights(0, *w, 3, Shape{1, 1, 6}, InputPadding::Packed, 8); },
         "Unsupported weight bit width 3."},
        {"16-bit weights", [&] { format_fnp_weights(0, *w, 16, Shape{3, 2, 1}, InputPadding::RowBytePadded, 4); },
         "Unsupported weight bit width 16."},
        {"0-bit input", [&] { format_fnp_weights(0, *w, 4, Shape{3, 2, 1}, InputPadding::RowBytePadded, 0); },
         "Unsupported input bit width 0."},
        {"row-word of 4-bit inputs", [&] { format_fnp_weights(0, *w, 8, Shape{3, 2, 1}, InputPadding::RowWordPadded, 4); },
         "Row-word padding takes 8-bit inputs, not 4."},
        {"neuron past the end", [&] { format_fnp_weights(2, *w, 8, Shape{1, 1, 6}, InputPadding::Packed, 8); },
         "Tensor weights has 2 elements along dimension 1, 3 are needed."},
        {"inputs past the end", [&] { format_fnp_weights(0, *w, 8, Shape{7, 1, 1}, InputPadding::RowWordPadded, 8); },
         "Tensor weights has 6 elements along dimension 0, 7 are needed."},
        {"packed inputs past the end", [&] { format_fnp_weights(0, *w, 8, Shape{1, 1, 7}, InputPadding::Packed, 8); },
         "Tensor weights has 6 elements along dimension 0, 7 are needed."},
        {"one-dimensional weights",
         [&] { format_fnp_weights(0, *i8_vector({1, 2}), 8, Shape{1, 1, 2}, InputPadding::Packed, 8); },
         "Tensor weights must have rank 2, not 1."},
    };
    for (auto const& row : invalid) EXPECT_EQ(error_text<std::invalid_argument>(row.call), row.message) << row.what;
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_fnp_weights(0, *w, 8, Shape{1, 1, 6}, InputPadding::Undefined, 8); }),
              "Unsupported padding.");
    auto const unsigned_w = Dense::create(TensorType::uint8, Shape{6, 2}, Layout::c_order);
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_fnp_weights(0, *unsigned_w, 8, Shape{1, 1, 6}, InputPadding::Packed, 8); }),
              "Wrong requested type int8 for a tensor of type uint8");
}

// A Dense1D layer of input `input` and two neurons, with every variable but the max values.
std::shared_ptr<StubLayer> dense_layer(Shape const& input) {
    auto layer = std::make_shared<StubLayer>("dense", LayerType::Dense1D);
    layer->parameters = LayerParams::create(LayerType::Dense1D, {{"units", 2}, {"weights_bits", 8}});
    layer->inputs = {input};
    layer->vars.set("weights", fnp_weights(uint32_t(input.product()), 2,
                                           [](uint32_t i, uint32_t n) { return int8_t(16 * n + i + 1); }));
    layer->vars.set("bias", i8_vector({-1, 5}));
    layer->vars.set("bias_shift", u8_vector({3, 4}));
    layer->vars.set("output_scales", u8_vector({7, 8}));
    layer->vars.set("output_shift", i8_vector({-2, 1}));
    return layer;
}

TEST(V2FormatFnpRam, RecordsOfVariablesThenWeights) {
    auto const layer = dense_layer(Shape{5, 1, 2});
    auto const words = format_fnp_ram(*layer, false, InputPadding::RowWordPadded, 8, 8);
    auto const weights = std::as_const(*layer->vars.get("weights")).ensure_dense();
    Shape const s{5, 1, 2};
    ASSERT_EQ(words.size(), get_layer_word_size(*weights, 8, s, InputPadding::RowWordPadded, 8));
    ASSERT_EQ(words.size(), 12u);  // two records of 2 + 4 words
    std::vector<uint32_t> expected = {0x000003FF, 0x0000FE07};
    for (uint32_t w : format_fnp_weights(0, *weights, 8, s, InputPadding::RowWordPadded, 8)) expected.push_back(w);
    expected.push_back(0x00000405);
    expected.push_back(0x00000108);
    for (uint32_t w : format_fnp_weights(1, *weights, 8, s, InputPadding::RowWordPadded, 8)) expected.push_back(w);
    EXPECT_EQ(words, expected);
    EXPECT_EQ(words[2], 0x07050301u);  // neuron 0, row z = 0: inputs 0, 2, 4, 6, 8
}

TEST(V2FormatFnpRam, MaxValuesFillTheHighBytesOfWordZero) {
    auto const layer = dense_layer(Shape{1, 1, 3});
    auto const without = format_fnp_ram(*layer, false, InputPadding::Packed, 8, 8);
    ASSERT_EQ(without.size(), 6u);
    EXPECT_EQ(without[0] >> 16, 0u);
    EXPECT_EQ(without[3] >> 16, 0u);
    layer->vars.set("max_value", u8_vector({9, 10}));
    layer->vars.set("max_value_shift", u8_vector({1, 2}));
    auto const with = format_fnp_ram(*layer, false, InputPadding::Packed, 8, 8);
    EXPECT_EQ(with[0], 0x010903FFu);
    EXPECT_EQ(with[3], 0x020A0405u);
    EXPECT_EQ(with[2], 0x00030201u);
    EXPECT_EQ(with[5], 0x00131211u);
}

TEST(V2FormatFnpRam, FlattenPacksEveryInput) {
    auto const layer = dense_layer(Shape{5, 1, 2});
    auto const words = format_fnp_ram(*layer, true, InputPadding::Packed, 8, 8);
    ASSERT_EQ(words.size(), 10u);  // records of 2 + 3 words
    EXPECT_EQ(words[2], 0x04030201u);
    EXPECT_EQ(words[4], 0x00000A09u);  // inputs 8 and 9, the word's rest zero
    EXPECT_EQ(words[7], 0x14131211u);
}

TEST(V2FormatFnpRam, Refusals) {
    auto const lone_max = dense_layer(Shape{1, 1, 3});
    lone_max->vars.set("max_value", u8_vector({9, 10}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*lone_max, false, InputPadding::Packed, 8, 8); }),
              "Variable max_value_shift not found");

    auto const short_bias = dense_layer(Shape{1, 1, 3});
    short_bias->vars.set("bias", i8_vector({1}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*short_bias, false, InputPadding::Packed, 8, 8); }),
              "Tensor bias has 1 elements along dimension 0, 2 are needed.");

    auto const flat_weights = dense_layer(Shape{1, 1, 3});
    flat_weights->vars.set("weights", i8_vector({1, 2, 3}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*flat_weights, false, InputPadding::Packed, 8, 8); }),
              "Tensor weights must have rank 2, not 1.");

    auto const few_weights = dense_layer(Shape{1, 1, 3});
    few_weights->inputs = {Shape{1, 1, 4}};
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*few_weights, false, InputPadding::Packed, 8, 8); }),
              "Tensor weights has 3 elements along dimension 0, 4 are needed.");

    auto const layer = dense_layer(Shape{1, 1, 3});
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_fnp_ram(*layer, false, InputPadding::Undefined, 8, 8); }),
              "Unsupported padding.");
}

// The padding choice these formats follow; the function lives with the sizes.
TEST(V2FnpPadding, ChoiceByShapeBitsAndProducer) {
    struct Row {
        const char* what;
        Shape input;
        std::set<ComponentKind> producer;
        int weights_bits;
        bool flatten;
        InputPadding padding;
    };
    Row const rows[] = {
        {"2048 packed", {1, 1, 2048}, {}, 8, false, InputPadding::Packed},
        {"2049 fits nothing", {1, 1, 2049}, {}, 8, false, InputPadding::Undefined},
        {"CNP producer, 8/8 bits", {5, 4, 25}, {ComponentKind::CNP}, 8, false, InputPadding::RowWordPadded},
        {"TNP-B producer, 8/8 bits", {5, 4, 25}, {ComponentKind::TNP_B}, 8, false, InputPadding::RowWordPadded},
        {"CNP producer, 4-bit weights", {5, 4, 25}, {ComponentKind::CNP}, 4, false, InputPadding::RowBytePadded},
        {"HRC producer", {5, 4, 25}, {ComponentKind::HRC}, 8, false, InputPadding::RowBytePadded},
        {"flatten ignores the producer", {5, 4, 25}, {ComponentKind::CNP}, 8, true, InputPadding::Packed},
    };
    for (auto const& row : rows) {
        auto producer = std::make_shared<StubLayer>("producer");
        producer->kinds = row.producer;
        auto layer = std::make_shared<StubLayer>("dense", LayerType::Dense1D);
        layer->parameters = LayerParams::create(LayerType::Dense1D, {{"units", 2}, {"weights_bits", row.weights_bits}});
        layer->inputs = {row.input};
        layer->inbounds = {producer};
        EXPECT_EQ(get_fnp_supported_padding(*layer, row.flatten), row.padding) << row.what;
    }
}

}  // namespace
}  // namespace nuvra::v2
