// Checks that read the graph around a layer: Add and Concatenate, and the layer-sequence rules.
#include <gtest/gtest.h>

#include <functional>

#include "backends/v2/check_rules.h"
#include "support/fake_layer.h"
#include "support/model_builder.h"
#include "support/v2_checks.h"
#include "support/ops_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::ModelBuilder;
using nuvra::testing::i8;
using nuvra::testing::u8;
using Params = std::map<std::string, int>;
using Names = std::vector<std::string>;

constexpr LayerType add = LayerType::Add, cat = LayerType::Concatenate;
char const* const ok = "Success.";

// One layer of a graph behind the layer "input" (8 x 8 x 4).
struct Node { std::string name; LayerType type; Names inbounds; Params params; };

// A ReLU Conv2D of 4 filters with Same padding, plus `params`.
Node conv(std::string name, Names inbounds, Params const& params = {}) {
    return {std::move(name), LayerType::Conv2D, std::move(inbounds),
            nuvra::testing::with({{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 1}}, params)};
}
Node dense(std::string name, std::string in) { return {std::move(name), LayerType::Dense1D, {in}, {{"units", 4}}}; }
Node deq(std::string name, std::string in) { return {std::move(name), LayerType::Dequantizer, {std::move(in)}, {}}; }

void build(ModelBuilder& m, std::vector<Node> const& nodes, int channels = 4) {
    m.input("input", channels);
    for (Node const& n : nodes) m.layer(n.type, n.name, n.params, n.inbounds);
}

struct Shifts { uint8_t a, b; int8_t o; };

char const* const in_shift =
    "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15.";
char const* const out_shift =
    "This model cannot be mapped in hardware, Add output shift is out of range. Should be in [-4, 3].";
char const* const bad_inbounds = "Inbounds must be of types Conv, Add or Concat.";

Params const bits_4{{"output_bits", 4}};
Params const potentials_28{{"activation", 0}, {"output_bits", 28}};
std::string const three_inbounds = "Concatenate has 3 inbounds. A maximum of 2 inbounds is supported.";

TEST(V2MergeChecks, ReportEveryBrokenRule) {
    // inbounds: of input -> a -> b -> c, input -> deq; shifts: one per channel; a, b: extra parameters
    struct Row {
        char const* name; LayerType kind; Names inbounds; bool outbound; int output_bits; std::vector<Shifts> shifts;
        std::string expected; Params a = {}, b = {};
    } const rows[] = {
        {"add at the shift limits", add, {"a", "b"}, true, 8, {{0, 15, -12}, {2, 2, 1}, {0, 0, -4}}, ok},
        {"add 4-bit output without outbound", add, {"a", "b"}, false, 4, {{0, 0, 0}},
         "Output must be 8-bit. Must be followed by a merge layer."},
        {"input shifts 16 apart", add, {"a", "b"}, true, 8, {{0, 16, -13}}, in_shift},
        {"output shift sum 4", add, {"a", "b"}, true, 8, {{2, 2, 2}}, out_shift},
        {"every broken channel, both rules", add, {"a", "b"}, true, 8, {{0, 16, 0}, {20, 0, -17}, {16, 0, -13}},
         std::string(in_shift) + " " + out_shift + " " + in_shift + " " + in_shift},
        {"two bad inbounds reported once", add, {"input", "deq"}, true, 8, {{0, 0, 0}},
         std::string(bad_inbounds) + " Add inbounds must be 8-bit. Layer 'deq' is 32-bit."},
        // A repeated inbound drops everything else found.
        {"add same inbound twice", add, {"a", "a"}, true, 4, {{0, 16, 0}},
         "Add inbounds must come from different layers."},
        {"concatenate same inbound twice", cat, {"a", "a"}, true, 0, {},
         "Concatenate inbounds must come from different layers."},
        // The layer after a merge reads every inbound at the merge's width.
        {"add of a 4-bit inbound", add, {"a", "b"}, true, 8, {{0, 0, 0}},
         "Add inbounds must be 8-bit. Layer 'b' is 4-bit.", {}, bits_4},
        {"add of two 4-bit inbounds, 4-bit output", add, {"a", "b"}, true, 4, {{0, 0, 0}},
         "Output must be 8-bit. Add inbounds must be 8-bit. Layer 'a' is 4-bit.", bits_4, bits_4},
        {"add of potentials, first", add, {"b", "a"}, true, 8, {{0, 0, 0}},
         "Add inbounds must be 8-bit. Layer 'b' is 28-bit.", {}, potentials_28},
        {"concatenate of 8 and 4 bits", cat, {"a", "b"}, true, 0, {},
         "Concatenate inbounds must have the same bit width. Layer 'b' is 4-bit, layer 'a' is 8-bit.", {}, bits_4},
        {"concatenate of 4 and 8 bits", cat, {"b", "a"}, true, 0, {},
         "Concatenate inbounds must have the same bit width. Layer 'a' is 8-bit, layer 'b' is 4-bit.", {}, bits_4},
        {"concatenate of potentials", cat, {"a", "b"}, true, 0, {},
         "Concatenate inbounds must have the same bit width. Layer 'b' is 28-bit, layer 'a' is 8-bit.", {},
         potentials_28},
        {"concatenate of two 4-bit inbounds", cat, {"b", "a"}, true, 0, {}, ok, bits_4, bits_4},
        // The reader takes two streams: one in line, one from a skip DMA.
        {"concatenate of three", cat, {"a", "b", "c"}, true, 0, {}, three_inbounds},
        {"concatenate of three, widths apart", cat, {"b", "c", "a"}, false, 0, {},
         "Must be followed by a merge layer. Concatenate inbounds must have the same bit width. Layer 'a' is 4-bit, "
         "layer 'b' is 8-bit. " + three_inbounds,
         bits_4},
        {"concatenate of three, one twice", cat, {"c", "a", "c"}, true, 0, {},
         "Concatenate inbounds must come from different layers."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        int const n = std::max<int>(int(row.shifts.size()), 1);
        Params const merge_params = row.kind == add ? Params{{"output_bits", row.output_bits}} : Params{};
        Params const filters{{"filters", n}};
        std::vector<Node> nodes{conv("a", {"input"}, nuvra::testing::with(filters, row.a)),
                                conv("b", {"a"}, nuvra::testing::with(filters, row.b)), conv("c", {"b"}, filters),
                                deq("deq", "input"), {"merge", row.kind, row.inbounds, merge_params}};
        if (row.outbound) nodes.push_back(conv("after", {"merge"}, {{"filters", n}}));
        ModelBuilder m;
        build(m, nodes, n);
        Layer& merge = *m["merge"];
        if (row.kind == add) {
            std::vector<uint8_t> a, b;
            std::vector<int8_t> o;
            for (Shifts const& s : row.shifts) a.push_back(s.a), b.push_back(s.b), o.push_back(s.o);
            merge.variables().set("a_shift", u8(a));
            merge.variables().set("b_shift", u8(b));
            merge.variables().set("output_shift", i8(o));
        }
        MappingStatus const status =
            row.kind == add ? check_add_constraints(merge) : check_concatenate_constraints(merge);
        EXPECT_EQ(status.message, row.expected);
        EXPECT_EQ(status.layer_name, row.expected == ok ? "" : "merge");
    }
}

// A conv without activation and with 9-bit output, its output shifts and scales set.
std::function<void(ModelBuilder&)> unscaled(int shift, int scales) {
    return [=](ModelBuilder& m) {
        m["conv"]->variables().set("output_shift", nuvra::testing::filled(TensorType::int8, 4, int8_t(shift)));
        m["conv"]->variables().set("output_scales", nuvra::testing::filled(TensorType::uint8, 4, uint8_t(scales)));
    };
}

Params const max_pool{{"pool_type", 1}, {"pool_size", 2}};
Params const potentials_9{{"activation", 0}, {"output_bits", 9}};
std::vector<Node> const skip_add{conv("a", {"input"}), conv("b", {"a"}), {"merge", add, {"a", "b"}, {}},
                                 conv("c", {"merge"})};
std::vector<Node> const fnp_then_cnp{dense("dense", "input"), conv("conv", {"dense"})};
std::vector<Node> const fan_out{conv("a", {"input"}), conv("b", {"a"}), conv("c", {"a"})};
// a -> b -> c; `first` and `second` into a Concatenate; c also feeds d; the concat feeds e.
std::vector<Node> concat_of(std::string const& first, std::string const& second) {
    return {conv("a", {"input"}), conv("b", {"a"}), conv("c", {"b"}), {"concat", cat, {first, second}, {}},
            conv("d", {"c"}), conv("e", {"concat"})};
}

std::vector<Node> const skip_concat{conv("a", {"input"}), conv("b", {"a"}), {"concat", cat, {"a", "b"}, {}},
                                    conv("e", {"concat"})};

TEST(V2SequenceRules, StopAtTheFirstBrokenRule) {
    // layer: the one the failure names
    struct Row {
        char const* name; std::vector<Node> graph; Names run; char const* expected; char const* layer;
        std::function<void(ModelBuilder&)> edit = nullptr;
    } const rows[] = {
        {"starts on an Add", skip_add, {"merge", "c"}, "Can't be the first layer of the sequence.", "merge"},
        {"starts on a dequantizer", {deq("deq", "input"), conv("conv", {"deq"})}, {"deq", "conv"},
         "Can't start a sequence with a Dequantizer.", "deq"},
        {"dequantizer in the middle", {conv("conv", {"input"}), deq("deq", "conv"), dense("dense", "deq")},
         {"conv", "deq", "dense"}, "Only 1 Dequantizer at the end of the model is supported.", "deq"},
        // The last layer's max pooling breaks a later rule: the Quantizer's words come first.
        {"quantizer between convolutions",
         {conv("a", {"input"}), {"q", LayerType::Quantizer, {"a"}, {}}, conv("b", {"q"}, max_pool)}, {"a", "q", "b"},
         "A Quantizer is only supported as the first layer of the model.", "q"},
        // One before the first convolution passes; one closing the run is refused.
        {"quantizer closing the run",
         {{"first", LayerType::Quantizer, {"input"}, {}}, conv("a", {"first"}), {"q", LayerType::Quantizer, {"a"}, {}}},
         {"first", "a", "q"}, "A Quantizer is only supported as the first layer of the model.", "q"},
        {"max pooling before the final dequantizer", {conv("conv", {"input"}, max_pool), deq("deq", "conv")},
         {"conv", "deq"}, "A layer with max pooling cannot be the last layer of a sequence.", "conv"},
        // A merge has no output shifts or scales to judge: the next rule speaks.
        {"unscaled potentials concatenated last",
         {conv("a", {"input"}, potentials_9), conv("b", {"a"}, potentials_9), {"concat", cat, {"a", "b"}, {}}},
         {"a", "b", "concat"},
         "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that is mappable on "
         "a CNP.",
         "concat"},
        {"unscaled output shifted and scaled", {conv("conv", {"input"}, potentials_9)}, {"conv"},
         "Without activation output_shift should be 0.", "conv", unscaled(1, 0)},
        {"unscaled output scaled", {conv("conv", {"input"}, potentials_9)}, {"conv"},
         "Without activation output_scales should be 1.", "conv", unscaled(0, 0)},
        {"max pooling into an FNP", {conv("conv", {"input"}, max_pool), dense("dense", "conv")}, {"conv", "dense"},
         "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B. Layer 'conv' has max "
         "pooling.",
         "dense"},
        {"FNP into a CNP", fnp_then_cnp, {"dense", "conv"},
         "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to incompatible data "
         "processing requirements. Layer 'dense' is mappable on FNP.",
         "conv"},
        {"FNP of an earlier sequence into a CNP", fnp_then_cnp, {"conv"}, ok, ""},
        {"Add into an FNP",
         {conv("a", {"input"}), conv("b", {"a"}), {"merge", add, {"a", "b"}, {}}, dense("c", "merge")},
         {"a", "b", "merge", "c"}, "Dense layer can't have Add/Concat as inbound. Layer 'merge' is a Add/Concat.", "c"},
        {"three outbounds", {conv("a", {"input"}), conv("b", {"a"}), conv("c", {"a"}), conv("d", {"a"})},
         {"a", "b", "c", "d"}, "Layer has 3 outbounds. A maximum of 2 outbounds is supported.", "a"},
        {"two outbounds closed in the run", fan_out, {"a", "b", "c"}, ok, ""},
        {"HRC with two outbounds",
         {{"hrc", LayerType::InputConv2D, {"input"}, conv("", {}).params}, conv("b", {"hrc"}), conv("c", {"hrc"})},
         {"hrc", "b", "c"}, "A layer mapped on HRC supports 1 outbound only.", "hrc"},
        {"two branches left open", fan_out, {"a"}, "Bad mapping on skip connection. Several branches.", ""},
        {"ends on an Add", skip_add, {"a", "b", "merge"},
         "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that is mappable on "
         "a CNP.",
         "merge"},
        {"deeper second input of a concat feeds two layers", concat_of("a", "c"), {"a", "b", "c", "concat", "d", "e"},
         "Is the second input of a Concat, it can't have multiple outputs.", "c"},
        // Past the split rule, the deeper input standing first is refused on its own.
        {"first input of a concat feeds two layers", concat_of("c", "a"), {"a", "b", "c", "concat", "d", "e"},
         "A Concatenate's deeper inbound must come second. Layer 'c' is deeper than layer 'a'.", "concat"},
        {"deeper concat input second", skip_concat, {"a", "b", "concat", "e"}, ok, ""},
        // Neither inbound is the deeper one.
        {"concat of two branches of one depth",
         {conv("a", {"input"}), conv("b", {"a"}), conv("c", {"a"}), {"concat", cat, {"b", "c"}, {}},
          conv("e", {"concat"})},
         {"a", "b", "c", "concat", "e"}, ok, ""},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ModelBuilder m;
        build(m, row.graph);
        if (row.edit) row.edit(m);
        LayerList const run = m.list(row.run);
        MappingStatus const status = check_sequence_rules(run.begin(), run.end());
        EXPECT_EQ(status.message, row.expected);
        EXPECT_EQ(status.failed, std::string(row.expected) != ok);
        EXPECT_EQ(status.layer_name, row.layer);
    }
}

// An empty run succeeds; a Concatenate with a single inbound is never asked for its second one.
TEST(V2SequenceRules, EmptyRunAndLoneConcatenateInbound) {
    LayerList const empty;
    EXPECT_FALSE(check_sequence_rules(empty.begin(), empty.end()).failed);

    using nuvra::testing::FakeLayer;
    auto x = FakeLayer::make("x", {ComponentKind::CNP});
    auto concat = FakeLayer::make("concat", {ComponentKind::SKIP_DMA});
    auto y = FakeLayer::make("y", {ComponentKind::CNP});
    x->set_params(LayerType::Conv2D);
    concat->set_params(cat);
    y->set_params(LayerType::Conv2D);
    nuvra::testing::connect(x, concat);
    nuvra::testing::connect(x, y);
    LayerList const run{x, concat, y};
    MappingStatus const status = check_sequence_rules(run.begin(), run.end());
    EXPECT_FALSE(status.failed) << status.message;
}

}  // namespace
}  // namespace nuvra::v2
