// Add and Concatenate checks: one row per rule and message, on real engine graphs; merges with
// fewer than two inbounds (which the engine refuses to build) on the layer double.
#include <gtest/gtest.h>

#include <tuple>

#include "backends/v2/check_rules.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::make_input;
using testing::make_layer;

// Where the merge layer stands.
enum class Graph {
    valid,             // two convolutions in, a convolution out
    no_outbound,       // nothing after the merge
    input_inbound,     // the input layer and a convolution in
    two_bad_inbounds,  // the input layer and a Dequantizer in
    same_twice,        // the same convolution twice
};

struct Shifts {
    int a, b, o;
};

struct MergeRow {
    char const* name;
    LayerType kind;
    Graph graph;
    int output_bits;
    std::vector<Shifts> shifts;  // one per channel (Add only)
    char const* expected;
};

void PrintTo(MergeRow const& row, std::ostream* out) { *out << row.name; }

std::shared_ptr<Layer> conv(std::string const& name, int filters) {
    return make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", filters}, {"padding", 1}, {"activation", 1}},
                      name);
}

struct MergeGraph {
    std::unique_ptr<Model> model;
    std::shared_ptr<Layer> merge;
};

MergeGraph build(MergeRow const& row) {
    auto const channels = static_cast<uint32_t>(std::max<size_t>(row.shifts.size(), 1));
    MergeGraph g{Model::create(), nullptr};
    auto input = make_input(8, 8, channels);
    g.model->add(input);
    auto a = conv("a", channels);
    auto b = conv("b", channels);
    g.model->add(a, {input});
    g.model->add(b, {a});
    std::map<std::string, int> params;
    if (row.kind == LayerType::Add) params["output_bits"] = row.output_bits;
    g.merge = make_layer(row.kind, params, "merge");
    switch (row.graph) {
    case Graph::valid:
    case Graph::no_outbound: g.model->add(g.merge, {a, b}); break;
    case Graph::input_inbound: g.model->add(g.merge, {input, a}); break;
    case Graph::two_bad_inbounds: {
        auto deq = make_layer(LayerType::Dequantizer, {}, "deq");
        g.model->add(deq, {input});
        g.model->add(g.merge, {input, deq});
        break;
    }
    case Graph::same_twice: g.model->add(g.merge, {a, a}); break;
    }
    if (row.graph != Graph::no_outbound) g.model->add(conv("after", channels), {g.merge});

    if (row.kind == LayerType::Add) {
        auto const n = static_cast<uint32_t>(row.shifts.size());
        auto a_shift = Dense::create(TensorType::uint8, Shape{n}, Layout::c_order);
        auto b_shift = Dense::create(TensorType::uint8, Shape{n}, Layout::c_order);
        auto o_shift = Dense::create(TensorType::int8, Shape{n}, Layout::c_order);
        for (uint32_t i = 0; i < n; ++i) {
            tensor_write<uint8_t>(*a_shift, size_t{i}, static_cast<uint8_t>(row.shifts[i].a));
            tensor_write<uint8_t>(*b_shift, size_t{i}, static_cast<uint8_t>(row.shifts[i].b));
            tensor_write<int8_t>(*o_shift, size_t{i}, static_cast<int8_t>(row.shifts[i].o));
        }
        g.merge->variables().set("a_shift", a_shift);
        g.merge->variables().set("b_shift", b_shift);
        g.merge->variables().set("output_shift", o_shift);
    }
    return g;
}

constexpr LayerType add = LayerType::Add;
constexpr LayerType cat = LayerType::Concatenate;

char const* const input_shift_message =
    "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15.";
char const* const output_shift_message =
    "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, 3].";

MergeRow const merge_rows[] = {
    {"add valid", add, Graph::valid, 8, {{0, 0, 0}}, "Success."},
    {"add 4-bit output", add, Graph::valid, 4, {{0, 0, 0}}, "Output must be 8-bit."},
    {"input shifts 15 apart", add, Graph::valid, 8, {{0, 15, -12}}, "Success."},
    {"input shifts 16 apart", add, Graph::valid, 8, {{0, 16, -13}}, input_shift_message},
    {"output shift sum 3", add, Graph::valid, 8, {{2, 2, 1}}, "Success."},
    {"output shift sum 4", add, Graph::valid, 8, {{2, 2, 2}}, output_shift_message},
    {"output shift sum -4", add, Graph::valid, 8, {{0, 0, -4}}, "Success."},
    {"output shift sum -5", add, Graph::valid, 8, {{0, 0, -5}}, output_shift_message},
    {"both shifts of one channel", add, Graph::valid, 8, {{0, 16, 0}},
     "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15. "
     "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, 3]."},
    {"three bad channels", add, Graph::valid, 8, {{20, 0, -17}, {0, 20, -17}, {16, 0, -13}},
     "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15. "
     "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15. "
     "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15."},
    {"add without outbound", add, Graph::no_outbound, 8, {{0, 0, 0}}, "Must be followed by a merge layer."},
    {"add fed by the input", add, Graph::input_inbound, 8, {{0, 0, 0}}, "Inbounds must be of types Conv, Add or Concat."},
    {"add with two bad inbounds", add, Graph::two_bad_inbounds, 8, {{0, 0, 0}},
     "Inbounds must be of types Conv, Add or Concat."},
    {"4-bit output then graph", add, Graph::no_outbound, 4, {{0, 0, 0}},
     "Output must be 8-bit. Must be followed by a merge layer."},
    // A repeated inbound drops everything else found.
    {"add same inbound twice", add, Graph::same_twice, 4, {{0, 16, 0}}, "Add inbounds must come from different layers."},

    {"concatenate valid", cat, Graph::valid, 0, {}, "Success."},
    {"concatenate without outbound", cat, Graph::no_outbound, 0, {}, "Must be followed by a merge layer."},
    {"concatenate fed by the input", cat, Graph::input_inbound, 0, {}, "Inbounds must be of types Conv, Add or Concat."},
    {"concatenate same inbound twice", cat, Graph::same_twice, 0, {},
     "Concatenate inbounds must come from different layers."},
};

class MergeChecks : public ::testing::TestWithParam<MergeRow> {};

TEST_P(MergeChecks, ReportEveryBrokenRule) {
    MergeRow const& row = GetParam();
    MergeGraph const g = build(row);
    MappingStatus const status =
        row.kind == add ? check_add_constraints(*g.merge) : check_concatenate_constraints(*g.merge);
    EXPECT_EQ(status.message, row.expected);
    bool const success = std::string(row.expected) == "Success.";
    EXPECT_EQ(status.failed, !success);
    EXPECT_EQ(status.layer_name, success ? "" : "merge");
}

INSTANTIATE_TEST_SUITE_P(Rows, MergeChecks, ::testing::ValuesIn(merge_rows), testing::RowName{});

// A merge with fewer than two inbounds has nothing to merge: a failed status, never a read past
// the inbound list.
TEST(MergeChecks, FewerThanTwoInbounds) {
    struct Row {
        LayerType kind;
        int inbounds;
        char const* expected;
    } const rows[] = {
        {add, 1, "Add needs at least 2 inbounds (got 1)."},
        {add, 0, "Add needs at least 2 inbounds (got 0)."},
        {cat, 1, "Concatenate needs at least 2 inbounds (got 1)."},
        {cat, 0, "Concatenate needs at least 2 inbounds (got 0)."},
    };
    for (Row const& row : rows) {
        auto merge = testing::V2FakeLayer::make("merge", {ComponentKind::SKIP_DMA});
        merge->set_params(row.kind, {{"output_bits", 8}});
        merge->set_bits(8, 8);
        merge->vars().set("a_shift", testing::filled<uint8_t>(TensorType::uint8, 1, 0));
        merge->vars().set("b_shift", testing::filled<uint8_t>(TensorType::uint8, 1, 0));
        merge->vars().set("output_shift", testing::filled<int8_t>(TensorType::int8, 1, 0));
        auto next = testing::V2FakeLayer::make("next", {ComponentKind::CNP});
        testing::connect(merge, next);
        std::vector<std::shared_ptr<testing::V2FakeLayer>> producers;
        for (int i = 0; i < row.inbounds; ++i) {
            producers.push_back(testing::V2FakeLayer::make("in", {ComponentKind::CNP}));
            testing::connect(producers.back(), merge);
        }
        MappingStatus const status =
            row.kind == add ? check_add_constraints(*merge) : check_concatenate_constraints(*merge);
        EXPECT_TRUE(status.failed);
        EXPECT_EQ(status.message, row.expected);
    }
}

}  // namespace
}  // namespace nuvra::v2
