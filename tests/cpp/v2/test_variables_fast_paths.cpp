// The strided per-neuron readers against their value-by-value forms: CNP / TNP-B variables, input
// shifts of a channel range and the FNP neuron memory give the same words, and refuse the same
// calls with the same message, over random neuron ranges, element types, layouts and values that
// sit on and past the edges of their fields.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/format_fnp.h"
#include "backends/v2/format_variables.h"
#include "support/fake_layer.h"
#include "support/ops_test_util.h"
#include "support/reference_variables.h"

namespace nuvra::v2 {
namespace {

using namespace nuvra::testing;
using P = InputPadding;

// What a call gives: its words, or the kind and text of its refusal.
using Outcome = std::pair<std::vector<uint32_t>, std::string>;

Outcome outcome_of(auto const& call) {
    try {
        return {call(), ""};
    } catch (std::invalid_argument const& e) {
        return {{}, std::string("invalid_argument: ") + e.what()};
    } catch (std::logic_error const& e) {
        return {{}, std::string("logic_error: ") + e.what()};
    } catch (std::runtime_error const& e) {
        return {{}, std::string("runtime_error: ") + e.what()};
    }
}

// The eight per-neuron variables in the order of the formatter's arguments.
enum Var { max_value, max_value_shift, activation_shift, activation_scales, output_shift, bias_shift, bias,
           output_scales, var_count };
constexpr bool signed_var(int v) { return v == activation_shift || v == output_shift || v == bias; }

using Tensors = std::array<std::shared_ptr<Dense>, var_count>;

// The fast or the checked formatter of the tensors.
template <auto format>
std::vector<uint32_t> run(Tensors const& t, uint32_t first, uint32_t count) {
    return format(t[0].get(), t[1].get(), t[2].get(), t[3].get(), t[4].get(), t[5].get(), t[6].get(), t[7].get(),
                  first, count);
}
auto const fast = run<format_cnp_tnp_variables>;
auto const checked = run<format_cnp_tnp_variables_checked>;

// A value of variable `v`: mostly one inside its field, often one on an edge of it, and with
// probability `wild` one past the field (the 5-bit shifts and the 6-bit signed output shift).
uint8_t variable_value(int v, std::mt19937& random, double wild) {
    std::uniform_real_distribution<double> chance(0, 1);
    auto pick = [&](std::vector<int> const& pool) { return uint8_t(pool[roll(random, pool.size())]); };
    bool const past = chance(random) < wild;
    switch (v) {
    case bias_shift:
    case max_value_shift:
        if (past) return pick({32, 33, 127, 128, 255});
        return chance(random) < 0.5 ? pick({0, 1, 15, 16, 30, 31}) : uint8_t(roll(random, 32));
    case output_shift:
        if (past) return pick({-33, 32, -128, 127, -64, 63});
        return chance(random) < 0.5 ? pick({-32, -31, -1, 0, 1, 30, 31}) : uint8_t(int(roll(random, 64)) - 32);
    default: return chance(random) < 0.3 ? pick({0, 1, 0x1F, 0x20, 0x3F, 0x7F, 0x80, 0xFE, 0xFF}) : uint8_t(random());
    }
}

// A one-dimensional tensor of `bytes` in one of the types whose storage its reads accept, or,
// with probability `wrong`, of a type they refuse.
std::shared_ptr<Dense> variable_tensor(bool is_signed, std::vector<uint8_t> const& bytes, std::mt19937& random,
                                       double wrong) {
    static TensorType const signed_types[] = {TensorType::int8, TensorType::int4, TensorType::int2, TensorType::bit};
    static TensorType const unsigned_types[] = {TensorType::uint8, TensorType::uint4, TensorType::uint2};
    static TensorType const other_types[] = {TensorType::int16, TensorType::int32, TensorType::uint16,
                                             TensorType::float32};
    Shape const shape{uint32_t(bytes.size())};
    Layout const layout = roll(random, 2) ? Layout::c_order : Layout::reversed;
    // A wrong type: a wider one, or a byte of the other signedness.
    bool const other = std::uniform_real_distribution<double>(0, 1)(random) < wrong;
    if (other && roll(random, 2)) return Dense::create(other_types[roll(random, 4)], shape, layout);
    TensorType const type = is_signed != other ? signed_types[roll(random, 4)] : unsigned_types[roll(random, 3)];
    return Dense::copy(bytes.data(), bytes.size(), type, shape, layout);
}

TEST(V2VariablesFastPath, MatchesTheCheckedFormatterOverRandomVariables) {
    std::mt19937 random(28);
    int formatted = 0;
    int refused = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        uint32_t const first = roll(random, 5);
        uint32_t const count = trial % 10 == 0 ? 0 : 1 + roll(random, 40);
        double const wild = (roll(random, 4) == 0) ? 0.02 : 0.0;
        double const wrong = (roll(random, 8) == 0) ? 0.2 : 0.0;
        Tensors t{};
        for (int v = 0; v < var_count; ++v) {
            if (roll(random, 5) == 0) continue;  // the layer lacks it
            // Usually exactly or more than the neurons read; now and then one short.
            uint32_t length = first + count + roll(random, 3);
            if (roll(random, 50) == 0 && length > 1) length -= 1 + roll(random, 2);
            length = std::max(length, 1u);
            std::vector<uint8_t> bytes(length);
            for (uint8_t& b : bytes) b = variable_value(v, random, wild);
            t[size_t(v)] = variable_tensor(signed_var(v), bytes, random, wrong);
        }
        Outcome const expected = outcome_of([&] { return checked(t, first, count); });
        ASSERT_EQ(outcome_of([&] { return fast(t, first, count); }), expected)
            << "trial " << trial << ": first " << first << ", count " << count;
        ++(expected.second.empty() ? formatted : refused);
    }
    EXPECT_GT(formatted, 2000);
    EXPECT_GT(refused, 400);
}

// Refusals that the fast path must find wherever they sit, and whose order is the checked
// path's: neuron by neuron, in the order of the steps, a type refused at its first read.
TEST(V2VariablesFastPath, RefusesWhereTheCheckedPathDoes) {
    // Twelve values of `fill` but one, at `at`.
    auto const with = [](int fill, size_t at, int value) {
        std::vector<uint8_t> bytes(12, uint8_t(fill));
        bytes.at(at) = uint8_t(value);
        return bytes;
    };
    // message: empty when it formats.
    struct Row { char const* what; std::vector<std::pair<Var, std::shared_ptr<Dense>>> vars; uint32_t first, count;
                 std::string message; };
    Row const rows[] = {
        {"5-bit shifts at 31 and 6-bit shift at both edges fit",
         {{bias_shift, u8(with(31, 0, 31))}, {max_value_shift, u8(with(31, 0, 31))}, {output_shift, i8({-32, 31})}},
         0, 2, ""},
        {"bias_shift 32 on the last neuron read", {{bias_shift, u8(with(31, 11, 32))}}, 0, 12,
         "Attempted to write value 32 into a 5-bit field, which will cause an overflow."},
        {"bias_shift 255 past the neurons read is not read", {{bias_shift, u8(with(3, 11, 255))}}, 2, 9, ""},
        {"output_shift -33 on the last neuron", {{output_shift, i8({0, 0, 0, -33})}}, 0, 4,
         "-33 cannot fit in a 6-bit signed integer"},
        {"output_shift 32 on the first neuron read", {{output_shift, i8({-128, 32, 0})}}, 1, 2,
         "32 cannot fit in a 6-bit signed integer"},
        {"the earlier neuron's refusal comes first",
         {{bias_shift, u8({0, 0, 40})}, {output_shift, i8({0, 40, 0})}}, 0, 3,
         "40 cannot fit in a 6-bit signed integer"},
        {"an overflow of step 3 before a type refused in step 4", {{bias_shift, u8({32})}, {output_shift, u8({0})}},
         0, 1, "Attempted to write value 32 into a 5-bit field, which will cause an overflow."},
        {"a type refused in step 1 before an overflow of step 3", {{output_scales, i8({0})}, {bias_shift, u8({32})}},
         0, 1, "Wrong requested type uint8 for a tensor of type int8"},
        {"activation_shift is never range-checked", {{activation_shift, i8({-128, 127, 64})}}, 0, 3, ""},
        {"a wide type is refused at its first read",
         {{bias, Dense::create(TensorType::int16, Shape{2}, Layout::c_order)}}, 0, 2,
         "Wrong requested type int8 for a tensor of type int16"},
        {"no neuron: no read, whatever the types",
         {{bias, Dense::create(TensorType::float32, Shape{1}, Layout::c_order)}}, 0, 0, ""},
    };
    for (Row const& row : rows) {
        Tensors t{};
        for (auto const& [v, tensor] : row.vars) t[size_t(v)] = tensor;
        Outcome const got = outcome_of([&] { return fast(t, row.first, row.count); });
        EXPECT_EQ(got, outcome_of([&] { return checked(t, row.first, row.count); })) << row.what;
        EXPECT_EQ(got.second, row.message.empty() ? "" : "runtime_error: " + row.message) << row.what;
    }
}

TEST(V2InputShiftFastPath, MatchesTheCheckedFormatter) {
    std::mt19937 random(82);
    for (int trial = 0; trial < 1000; ++trial) {
        uint32_t const length = 1 + roll(random, 40);
        std::vector<uint8_t> bytes(length);
        for (uint8_t& b : bytes) b = variable_value(bias, random, 0);
        auto const shifts = variable_tensor(false, bytes, random, trial % 10 == 0 ? 1.0 : 0.0);
        uint32_t const first = roll(random, 8);
        uint32_t const count = roll(random, 4) == 0 ? 0 : roll(random, 42);
        EXPECT_EQ(outcome_of([&] { return format_input_shift(*shifts, first, count); }),
                  outcome_of([&] { return checked_input_shift(*shifts, first, count); }))
            << "trial " << trial << ": " << length << " shifts from " << first << ", count " << count;
    }
}

// A Dense1D on an FNP: random input shapes, paddings, widths and neuron counts (runs of eight
// slots and eight neurons, and the rest), both weight orders, random variable types.
TEST(V2FnpRamFastPath, MatchesTheCheckedFormatterOverRandomLayers) {
    std::mt19937 random(280);
    int formatted = 0;
    int refused = 0;
    uint8_t const widths[] = {1, 2, 4, 8};
    for (int trial = 0; trial < 600; ++trial) {
        uint32_t const kind = roll(random, 3);  // a flat input, a volume, columns
        Shape const s = kind == 0   ? Shape{1, 1, 1 + roll(random, 70)}
                        : kind == 1 ? Shape{1 + roll(random, 19), 1 + roll(random, 3), 1 + roll(random, 4)}
                                    : Shape{1, 1 + roll(random, 3), 1 + roll(random, 20)};
        P const padding = P(1 + roll(random, 3));
        uint8_t bits = padding == P::RowWordPadded ? 8 : widths[roll(random, 4)];
        uint8_t weights_bits = widths[roll(random, 4)];
        if (roll(random, 30) == 0) bits = 3;
        if (roll(random, 30) == 0) weights_bits = 5;
        bool const flatten = roll(random, 4) == 0;
        uint32_t const neurons = 1 + roll(random, 20);
        uint32_t inputs = uint32_t(s.product());
        if (roll(random, 30) == 0 && inputs > 1) --inputs;  // too few weights

        auto layer = FakeLayer::make("dense");
        layer->set_params(LayerType::Dense1D, {{"units", int(neurons)}, {"weights_bits", weights_bits}});
        layer->set_input_dims({s});
        std::vector<uint8_t> weights(uint64_t{inputs} * neurons);
        for (uint8_t& w : weights) w = uint8_t(random());
        Layout const layout = roll(random, 2) ? Layout::c_order : Layout::reversed;
        TensorType const weight_type = roll(random, 40) == 0 ? TensorType::uint8 : TensorType::int8;
        layer->vars().set("weights",
                          Dense::copy(weights.data(), weights.size(), weight_type, Shape{inputs, neurons}, layout));
        double const wrong = roll(random, 10) == 0 ? 0.3 : 0.0;
        auto const set = [&](char const* name, bool is_signed) {
            std::vector<uint8_t> bytes(neurons);
            for (uint8_t& b : bytes) b = uint8_t(random());
            layer->vars().set(name, variable_tensor(is_signed, bytes, random, wrong));
        };
        set("bias", true);
        set("bias_shift", false);
        set("output_scales", false);
        set("output_shift", true);
        uint32_t const max = roll(random, 4);
        if (max < 2) set("max_value", false);
        if (max == 1) set("max_value_shift", false);  // else max_value alone: its pair is missing

        Outcome const expected =
            outcome_of([&] { return checked_fnp_ram(*layer, flatten, padding, bits, weights_bits); });
        ASSERT_EQ(outcome_of([&] { return format_fnp_ram(*layer, flatten, padding, bits, weights_bits); }), expected)
            << "trial " << trial << ": input " << s[0] << " x " << s[1] << " x " << s[2] << ", padding "
            << int(padding) << ", bits " << int(bits) << "/" << int(weights_bits) << ", " << neurons << " neurons";
        ++(expected.second.empty() ? formatted : refused);
    }
    EXPECT_GT(formatted, 250);
    EXPECT_GT(refused, 60);
}

}  // namespace
}  // namespace nuvra::v2
