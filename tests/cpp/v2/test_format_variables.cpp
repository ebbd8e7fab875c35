// CNP / TNP-B variables, input and merge shifts, look-up tables; FNP input shifts, weights and memory.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "backends/v2/format_fnp.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/reference_formats.h"
#include "support/ops_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using nuvra::testing::i8;
using nuvra::testing::u8;
using P = InputPadding;

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
        {"activation_shift -1", {.activation_shift = i8({-1})}, 0x1Fu << 27, 1},
        // bits 6-7 of the byte are dropped unchecked
        {"activation_shift 0x45", {.activation_shift = i8({0x45})}, 0x05u << 27, 0},
        {"activation_scales 0xFF", {.activation_scales = u8({0xFF})}, 0, 0x1FE},
        // both pairs: max_value replaces bits 0-7 of word B, bit 8 of the scale stays
        {"scales then max_value",
         {.max_value = u8({0x00}), .max_value_shift = u8({3}), .activation_shift = i8({-1}),
          .activation_scales = u8({0xFF})},
         0x1Fu << 27, 0x100},
        {"every field",
         {.max_value = u8({0x7F}), .max_value_shift = u8({31}), .output_shift = i8({-2}),
          .bias_shift = u8({31}), .bias = i8({0x34}), .output_scales = u8({0x56})},
         0x56u | 0x34u << 8 | 31u << 16 | 0x3Eu << 21 | 31u << 27, 0x7F},
    };
    for (auto const& row : rows) EXPECT_EQ(row.vars.format(0, 1), (std::vector{row.word_a, row.word_b})) << row.what;
}

TEST(V2FormatVariables, NeuronsFromTheFirstOne) {
    Vars const vars{.bias = i8({1, 2, 3, 4}), .output_scales = u8({10, 20, 30, 40})};
    EXPECT_EQ(vars.format(1, 2), (std::vector<uint32_t>{0x0214, 0, 0x031E, 0}));
    EXPECT_TRUE(vars.format(9, 0).empty());  // nothing read
    EXPECT_EQ(Vars{}.format(0, 3), std::vector<uint32_t>(6, 0u));
}

TEST(V2FormatVariables, Refusals) {
    auto const two_d = Dense::create(TensorType::int8, Shape{2, 2}, Layout::c_order);
    // shape: refused before reading, as an invalid argument
    struct { Vars vars; uint32_t first, count; std::string message; bool shape = false; } const rows[] = {
        {{.output_shift = i8({-33})}, 0, 1, "-33 cannot fit in a 6-bit signed integer"},
        {{.bias_shift = u8({32})}, 0, 1,
         "Attempted to write value 32 into a 5-bit field, which will cause an overflow."},
        {{.bias = i8({1, 2, 3})}, 2, 2, "Tensor bias has 3 elements along dimension 0, 4 are needed.", true},
        {{.bias = two_d}, 0, 1, "Tensor bias must have rank 1, not 2.", true},
        {{.bias = i8({1})}, 0xFFFFFFFFu, 2,
         "Tensor bias has 1 elements along dimension 0, 4294967297 are needed.", true},
    };
    for (auto const& row : rows) {
        auto const call = [&] { row.vars.format(row.first, row.count); };
        EXPECT_EQ(row.shape ? error_text<std::invalid_argument>(call) : error_text<std::runtime_error>(call),
                  row.message);
    }
}

TEST(V2FormatInputShift, BytesInGroupsOfEight) {
    auto const shifts = u8({1, 2, 3, 4, 5, 6, 7, 8, 9});
    struct { uint32_t first, count; std::vector<uint32_t> words; } const rows[] = {
        {0, 0, {0x04030201, 0x08070605, 0x00000009, 0}},  // count 0: the whole tensor; bytes 9-15 zero
        {2, 3, {0x00050403, 0}},
        {1, 8, {0x05040302, 0x09080706}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(format_input_shift(*shifts, row.first, row.count), row.words) << row.first << "+" << row.count;
    EXPECT_EQ(format_input_shift(*shifts, 0, 0).size(), 2u * cnp_tnp_input_shift_24b_size(*shifts));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_input_shift(*shifts, 7, 3); }),
              "Tensor input_shift has 9 elements along dimension 0, 10 are needed.");
}

TEST(V2FormatMergeShift, OneBytePerNeuron) {
    struct { uint8_t a, b; int8_t c; uint8_t byte; } const rows[] = {
        {2, 5, -4, 0x93},    // s = 1, b larger, distance 3
        {5, 2, -4, 0x13},    // a larger
        {0, 0, -4, 0xC0},    // equal shifts count as b larger; s = -4 is 0b100
        {15, 0, -12, 0x3F},  // the largest distance that fits
    };
    for (auto const& row : rows)
        EXPECT_EQ(format_merge_layer_shift(u8({row.a}), u8({row.b}), i8({row.c}), 0, 1),
                  (std::vector<uint32_t>{row.byte}))
            << int(row.a) << "," << int(row.b) << "," << int(row.c);

    auto const a = u8({0, 2, 2, 2, 2, 2, 2});
    auto const b = u8({0, 5, 5, 5, 5, 5, 1});
    auto const c = i8({0, -4, -4, -4, -4, -4, -1});
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
                      format_merge_layer_shift(u8({row.a}), u8({row.b}), i8({row.c}), 0, 1);
                  }),
                  row.message);
    auto const one = u8({1});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_merge_layer_shift(nullptr, one, i8({0}), 0, 1); }),
              "Tensor a_shift is missing.");
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { format_merge_layer_shift(one, u8({1, 1}), i8({0, 0}), 0, 2); }),
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
        {false, lut_of(2050), "Wrong size for LUT."},
        {false, lut_of(2048, {{5, 8192}}), "8192 cannot fit in a 14-bit signed integer"},
        {true, nullptr, "Wrong size for LUT."},
        {true, lut_of(2048, {{7, -8193}}), "-8193 cannot fit in a 14-bit signed integer"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      row.hrc ? format_lut_values_for_hrc(row.lut.get()) : format_lut_values_for_cnp(row.lut.get());
                  }),
                  row.message)
            << row.hrc << " " << (row.lut ? row.lut->size() : 0);
}

std::shared_ptr<Dense> shifts_of(uint32_t count) {
    std::vector<uint8_t> values;
    for (uint32_t i = 0; i < count; ++i) values.push_back(uint8_t(i + 1));
    return u8(values);
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
    EXPECT_EQ(error_text<std::invalid_argument>(call({3, 2, 1}, P::RowWordPadded, 4)),
              "Row-word padding takes 8-bit inputs, not 4.");
    EXPECT_EQ(error_text<std::invalid_argument>(call({3, 3, 1}, P::RowWordPadded, 8)),
              "Tensor input_shift has 6 elements along dimension 0, 9 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>(call({6, 1}, P::Packed, 8)),
              "An FNP input shape needs 3 dimensions, not 2.");
}

TEST(V2FormatFnpWeights, Layouts) {
    // neuron 1 holds I - 3 for input I; neuron 0 other values that must not show
    auto const value = [](uint32_t i, uint32_t n) { return int8_t(n == 1 ? int(i) - 3 : 0x55); };
    // words: of neuron 1
    struct { char const* what; Shape s; P padding; uint8_t bits, weights_bits; std::vector<uint32_t> words; }
    const rows[] = {
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
    EXPECT_EQ(error_text<std::invalid_argument>(call(2, 8, {1, 1, 6}, P::Packed, 8)),
              "Tensor weights has 2 elements along dimension 1, 3 are needed.");
    EXPECT_EQ(error_text<std::invalid_argument>(call(0, 8, {7, 1, 1}, P::RowWordPadded, 8)),
              "Tensor weights has 6 elements along dimension 0, 7 are needed.");
}

// A Dense1D layer of input `input` and two neurons, with every variable but the max values.
std::shared_ptr<FakeLayer> dense_layer(Shape const& input) {
    auto layer = FakeLayer::make("dense");
    layer->set_params(LayerType::Dense1D, {{"units", 2}, {"weights_bits", 8}});
    layer->set_input_dims({input});
    layer->vars().set("weights", fnp_weights(uint32_t(input.product()), 2,
                                             [](uint32_t i, uint32_t n) { return int8_t(16 * n + i + 1); }));
    layer->vars().set("bias", i8({-1, 5}));
    layer->vars().set("bias_shift", u8({3, 4}));
    layer->vars().set("output_scales", u8({7, 8}));
    layer->vars().set("output_shift", i8({-2, 1}));
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
        for (char const* name : {"bias", "output_shift"}) layer->vars().set(name, i8(std::vector<int8_t>(neurons)));
        for (char const* name : {"bias_shift", "output_scales"})
            layer->vars().set(name, u8(std::vector<uint8_t>(neurons)));
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

// Records of 2 variable words then the weights; flattened, every input is packed: 2 + 3 words.
TEST(V2FormatFnpRam, FlattenedInputIsPacked) {
    auto const flat = format_fnp_ram(*dense_layer(Shape{5, 1, 2}), true, P::Packed, 8, 8);
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
    layer->vars().set("max_value", u8({9, 10}));
    layer->vars().set("max_value_shift", u8({1, 2}));
    EXPECT_EQ(format_fnp_ram(*layer, false, P::Packed, 8, 8),
              (std::vector<uint32_t>{0x010903FF, 0x0000FE07, 0x00030201, 0x020A0405, 0x00000108, 0x00131211}));
}

TEST(V2FormatFnpRam, Refusals) {
    auto const lone_max = dense_layer(Shape{1, 1, 3});
    lone_max->vars().set("max_value", u8({9, 10}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*lone_max, false, P::Packed, 8, 8); }),
              "Variable max_value_shift not found");
    auto const short_bias = dense_layer(Shape{1, 1, 3});
    short_bias->vars().set("bias", i8({1}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*short_bias, false, P::Packed, 8, 8); }),
              "Tensor bias has 1 elements along dimension 0, 2 are needed.");
    auto const few_weights = dense_layer(Shape{1, 1, 3});
    few_weights->set_input_dims({Shape{1, 1, 4}});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*few_weights, false, P::Packed, 8, 8); }),
              "Tensor weights has 3 elements along dimension 0, 4 are needed.");
}

}  // namespace
}  // namespace nuvra::v2
