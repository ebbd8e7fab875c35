// Layer-sequence rules: one row per rule and message, each on a small real engine graph; the run
// checked is a list of layer names. The first broken rule ends the check.
#include <gtest/gtest.h>

#include <functional>

#include "backends/v2/check_rules.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::make_layer;

// A model built layer by layer, each layer reachable by name.
class Graph {
public:
    Graph() : model_(Model::create()) {
        layers_["input"] = testing::make_input(8, 8, 4);
        model_->add(layers_["input"]);
    }

    Graph& add(std::string const& name, LayerType type, std::map<std::string, int> params,
               std::vector<std::string> const& inbounds) {
        std::vector<std::shared_ptr<Layer>> ins;
        for (std::string const& in : inbounds) ins.push_back(layers_.at(in));
        layers_[name] = make_layer(type, params, name);
        model_->add(layers_[name], ins);
        return *this;
    }
    // A ReLU Conv2D of 4 filters with Same padding, plus `params`.
    Graph& conv(std::string const& name, std::vector<std::string> const& inbounds,
                std::map<std::string, int> const& params = {}) {
        return add(name, LayerType::Conv2D,
                   testing::with({{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 1}}, params),
                   inbounds);
    }

    std::shared_ptr<Layer> operator[](std::string const& name) const { return layers_.at(name); }
    LayerList run(std::vector<std::string> const& names) const {
        LayerList result;
        for (std::string const& name : names) result.push_back(layers_.at(name));
        return result;
    }

private:
    std::unique_ptr<Model> model_;
    std::map<std::string, std::shared_ptr<Layer>> layers_;
};

void set_all(Layer& layer, char const* variable, TensorType type, int value) {
    std::shared_ptr<Tensor> const tensor = layer.variables().get(variable);
    for (size_t i = 0; i < tensor->size(); ++i) {
        if (type == TensorType::int8)
            tensor_write<int8_t>(*tensor, i, static_cast<int8_t>(value));
        else
            tensor_write<uint8_t>(*tensor, i, static_cast<uint8_t>(value));
    }
}

struct SequenceRow {
    char const* name;
    std::function<Graph()> graph;
    std::vector<std::string> run;
    char const* expected;
    char const* layer;  // the layer the failure names
};

void PrintTo(SequenceRow const& row, std::ostream* out) { *out << row.name; }

constexpr LayerType deq = LayerType::Dequantizer;
constexpr LayerType dense = LayerType::Dense1D;

Graph chain_with_dequantizer() {
    Graph g;
    g.conv("conv", {"input"}).add("deq", deq, {}, {"conv"});
    return g;
}

// input -> a -> b, a and b into a merge of `type`, then `after`.
Graph merged(LayerType type, LayerType after = LayerType::Conv2D) {
    Graph g;
    g.conv("a", {"input"}).conv("b", {"a"}).add("merge", type, {}, {"a", "b"});
    if (after == LayerType::Conv2D)
        g.conv("c", {"merge"});
    else
        g.add("c", after, {{"units", 4}}, {"merge"});
    return g;
}

// A conv without activation and a 9-bit output, its output shifts and scales set.
Graph unscaled_last(int shift, int scales) {
    Graph g;
    g.conv("conv", {"input"}, {{"activation", 0}, {"output_bits", 9}});
    set_all(*g["conv"], "output_shift", TensorType::int8, shift);
    set_all(*g["conv"], "output_scales", TensorType::uint8, scales);
    return g;
}

// a -> b -> c; `first` and `second` (names) into a Concatenate; c also feeds d; the concat feeds e.
Graph concat_of(std::string const& first, std::string const& second) {
    Graph g;
    g.conv("a", {"input"}).conv("b", {"a"}).conv("c", {"b"});
    g.add("concat", LayerType::Concatenate, {}, {first, second});
    g.conv("d", {"c"}).conv("e", {"concat"});
    return g;
}

SequenceRow const sequence_rows[] = {
    {"conv then dequantizer", chain_with_dequantizer, {"conv", "deq"}, "Success.", ""},
    {"starts on an Add", [] { return merged(LayerType::Add); }, {"merge", "c"},
     "Can't be the first layer of the sequence.", "merge"},
    {"starts on a dequantizer",
     [] {
         Graph g;
         g.add("deq", deq, {}, {"input"}).conv("conv", {"deq"});
         return g;
     },
     {"deq", "conv"}, "Can't start a sequence with a Dequantizer.", "deq"},
    {"dequantizer in the middle",
     [] {
         Graph g = chain_with_dequantizer();
         g.add("dense", dense, {{"units", 4}}, {"deq"});
         return g;
     },
     {"conv", "deq", "dense"}, "Only 1 Dequantizer at the end of the model is supported.", "deq"},
    {"max pooling before the final dequantizer",
     [] {
         Graph g;
         g.conv("conv", {"input"}, {{"pool_type", 1}, {"pool_size", 2}}).add("deq", deq, {}, {"conv"});
         return g;
     },
     {"conv", "deq"}, "A layer with max pooling cannot be the last layer of a sequence.", "conv"},
    {"8-bit potentials last",
     [] {
         Graph g;
         g.conv("conv", {"input"}, {{"activation", 0}});
         return g;
     },
     {"conv"}, "Success.", ""},
    {"unscaled output shifted", [] { return unscaled_last(1, 0); }, {"conv"},
     "Without activation output_shift should be 0.", "conv"},
    {"unscaled output scaled", [] { return unscaled_last(0, 0); }, {"conv"},
     "Without activation output_scales should be 1.", "conv"},
    {"unscaled output as is", [] { return unscaled_last(0, 1); }, {"conv"}, "Success.", ""},
    {"max pooling into an FNP",
     [] {
         Graph g;
         g.conv("conv", {"input"}, {{"pool_type", 1}, {"pool_size", 2}}).add("dense", dense, {{"units", 4}}, {"conv"});
         return g;
     },
     {"conv", "dense"},
     "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B. Layer 'conv' has max pooling.",
     "dense"},
    {"max pooling of an earlier sequence",
     [] {
         Graph g;
         g.conv("conv", {"input"}, {{"pool_type", 1}, {"pool_size", 2}}).add("dense", dense, {{"units", 4}}, {"conv"});
         return g;
     },
     {"dense"}, "Success.", ""},
    {"FNP into a CNP",
     [] {
         Graph g;
         g.add("dense", dense, {{"units", 4}}, {"input"}).conv("conv", {"dense"});
         return g;
     },
     {"dense", "conv"},
     "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to incompatible data "
     "processing requirements. Layer 'dense' is mappable on FNP.",
     "conv"},
    {"FNP of an earlier sequence into a CNP",
     [] {
         Graph g;
         g.add("dense", dense, {{"units", 4}}, {"input"}).conv("conv", {"dense"});
         return g;
     },
     {"conv"}, "Success.", ""},
    {"Add into an FNP", [] { return merged(LayerType::Add, dense); }, {"a", "b", "merge", "c"},
     "Dense layer can't have Add/Concat as inbound. Layer 'merge' is a Add/Concat.", "c"},
    {"three outbounds",
     [] {
         Graph g;
         g.conv("a", {"input"}).conv("b", {"a"}).conv("c", {"a"}).conv("d", {"a"});
         return g;
     },
     {"a", "b", "c", "d"}, "Layer has 3 outbounds. A maximum of 2 outbounds is supported.", "a"},
    {"two outbounds closed in the run",
     [] {
         Graph g;
         g.conv("a", {"input"}).conv("b", {"a"}).conv("c", {"a"});
         return g;
     },
     {"a", "b", "c"}, "Success.", ""},
    {"HRC with two outbounds",
     [] {
         Graph g;
         g.add("hrc", LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}, {"padding", 1}},
               {"input"});
         g.conv("b", {"hrc"}).conv("c", {"hrc"});
         return g;
     },
     {"hrc", "b", "c"}, "A layer mapped on HRC supports 1 outbound only.", "hrc"},
    {"two branches left open",
     [] {
         Graph g;
         g.conv("a", {"input"}).conv("b", {"a"}).conv("c", {"a"});
         return g;
     },
     {"a"}, "Bad mapping on skip connection. Several branches.", ""},
    {"ends on an Add", [] { return merged(LayerType::Add); }, {"a", "b", "merge"},
     "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that is mappable on a CNP.",
     "merge"},
    {"deeper second input of a concat feeds two layers", [] { return concat_of("a", "c"); },
     {"a", "b", "c", "concat", "d", "e"}, "Is the second input of a Concat, it can't have multiple outputs.", "c"},
    {"first input of a concat feeds two layers", [] { return concat_of("c", "a"); },
     {"a", "b", "c", "concat", "d", "e"}, "Success.", ""},
};

class SequenceRules : public ::testing::TestWithParam<SequenceRow> {};

TEST_P(SequenceRules, StopAtTheFirstBrokenRule) {
    SequenceRow const& row = GetParam();
    Graph const g = row.graph();
    LayerList const run = g.run(row.run);
    MappingStatus const status = check_sequence_rules(run.begin(), run.end());
    EXPECT_EQ(status.message, row.expected);
    EXPECT_EQ(status.failed, std::string(row.expected) != "Success.");
    EXPECT_EQ(status.layer_name, row.layer);
}

INSTANTIATE_TEST_SUITE_P(Rows, SequenceRules, ::testing::ValuesIn(sequence_rows), testing::RowName{});

TEST(SequenceRules, EmptyRunSucceeds) {
    LayerList const run;
    EXPECT_FALSE(check_sequence_rules(run.begin(), run.end()).failed);
}

// A Concatenate with a single inbound is never asked for its second one.
TEST(SequenceRules, ConcatenateWithOneInbound) {
    using testing::V2FakeLayer;
    auto x = V2FakeLayer::make("x", {ComponentKind::CNP});
    auto concat = V2FakeLayer::make("concat", {ComponentKind::SKIP_DMA});
    auto y = V2FakeLayer::make("y", {ComponentKind::CNP});
    x->set_params(LayerType::Conv2D);
    concat->set_params(LayerType::Concatenate);
    y->set_params(LayerType::Conv2D);
    testing::connect(x, concat);
    testing::connect(x, y);
    LayerList const run{x, concat, y};
    MappingStatus const status = check_sequence_rules(run.begin(), run.end());
    EXPECT_FALSE(status.failed) << status.message;
}

}  // namespace
}  // namespace nuvra::v2
