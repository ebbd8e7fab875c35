#include <gtest/gtest.h>

#include "mapping/layer_mapping.h"
#include "python/model_support.h"
#include "support/error_text.h"
#include "support/mapping_fixtures.h"
#include "support/model_builder.h"

namespace nuvra::python {
namespace {

using nuvra::testing::ModelBuilder;

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, Shape const& shape, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, shape, Layout::c_order);
}

std::string failure(std::function<void()> const& call) { return nuvra::testing::error_text<std::exception>(call); }

TEST(Evaluate, ClassOfEachSample) {
    using I8 = std::vector<int8_t>;
    struct Row { std::shared_ptr<Dense> output; uint32_t classes; std::vector<int32_t> expected; std::string error; };
    Row const rows[] = {
        // A tie picks the lower class; a sample of lowest values has none.
        {tensor<int8_t>(TensorType::int8, {2, 1, 1, 4}, {1, 5, 5, 0, -128, -128, -128, -128}), 2, {0, -1}, ""},
        {tensor<uint8_t>(TensorType::uint4, {1, 1, 1, 6}, {0, 0, 0, 0, 3, 0}), 3, {2}, ""},
        {tensor<float>(TensorType::float32, {1, 1, 2, 2}, {-1e30f, 0.5f, 2.5f, -3.f}), 2, {1}, ""},
        {tensor<int8_t>(TensorType::int8, {1, 1, 1, 2}, {0, 1}), 1, {}, "Cannot classify with 1class(es)."},
        {tensor<int8_t>(TensorType::int8, {1, 1, 1, 10}, I8(10)), 3, {},
         "The number of neurons [10] is not a multiple of  the number of classes [3]."},
        {tensor<int16_t>(TensorType::int16, {1, 1, 1, 2}, {0, 1}), 2, {}, "cannot evaluate on a Tensor of type int16"},
        {tensor<int8_t>(TensorType::bit, {1, 1, 1, 2}, {0, 1}), 2, {}, "Wrong requested type uint8 for a tensor of type bit"},
        {tensor<int8_t>(TensorType::int8, {2, 2}, {0, 1, 2, 3}), 2, {},
         "Cannot classify an output of 2 dimensions: (samples, x, y, neurons) is expected."},
    };
    for (auto const& row : rows) {
        std::vector<int32_t> got;
        EXPECT_EQ(failure([&] { got = predicted_classes(*row.output, row.classes); }), row.error) << row.error;
        EXPECT_EQ(got, row.expected) << row.error;
    }
    std::vector<int32_t> const classes{0, -1, 3}, labels{0, 0, 3, 1};
    EXPECT_EQ(accuracy(classes, labels), 0.5f);
    // The class count is known, and refused, before the model runs: 0 takes the output channels.
    ModelBuilder b;
    b.input("in", 3, 2, 2);
    EXPECT_EQ(evaluation_classes(b.model(), 0), 3u);
    EXPECT_EQ(failure([&] { evaluation_classes(b.model(), 1); }), "Cannot classify with 1class(es).");
    EXPECT_EQ(failure([&] { evaluation_classes(b.model(), 2); }),
              "The number of neurons [3] is not a multiple of  the number of classes [2].");
}

TEST(FitLabels, OnlyIntegralValuesInTheInt32Range) {
    double const nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    std::pair<double, std::optional<int32_t>> const rows[] = {
        {3.0, 3},            {-2147483648.0, INT32_MIN}, {16777217.0, 16777217},       {2.5, std::nullopt},
        {nan, std::nullopt}, {inf, std::nullopt},        {2147483648.0, std::nullopt}, {-2147483649.0, std::nullopt},
    };
    for (auto const& [value, label] : rows) EXPECT_EQ(integral_label(value), label) << value;
}

TEST(ModelFromLayers, AddsAnInputLayerAndSharesTheVariables) {
    ModelBuilder source;
    source.input("in", 3, 6, 5);
    auto conv = source.conv("c", "in", 2);
    auto const built = model_from_layers({conv});
    auto const input = built->get_layer(0);
    EXPECT_EQ(input->get_name(), "InputData");
    EXPECT_EQ(input->output_dimensions().to_vector(), (std::vector<uint32_t>{6, 5, 3}));
    // The convolution reads the unsigned 8-bit values of "in".
    EXPECT_EQ(std::make_pair(input->params()->get("input_bits"), input->params()->get("input_signed")), std::make_pair(8, 0));
    EXPECT_EQ(built->get_layer(1)->variables().get("weights"), conv->variables().get("weights"));
    EXPECT_EQ(model_from_layers({source["in"], conv})->layer_count(), 2u);
    EXPECT_EQ(failure([&] { model_from_layers({conv, nullptr}); }), "Invalid layer received");
    auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}});
    EXPECT_EQ(failure([&] { model_from_layers({Layer::create(params.get(), "loose")}); }),
              "Cannot get input size before it is set.");
}

TEST(ModelFromLayers, TheAddedInputGivesWhatFedTheFirstLayer) {
    struct Row { int bits, is_signed, activation; std::pair<int, int> expected; };
    Row const rows[] = {
        {8, 0, -1, {8, 0}},  // unsigned bytes stay unsigned: 200 is not cut to 127
        {8, 1, -1, {8, 1}},
        {4, 0, 0, {4, 1}},   // a convolution without activation gives signed values, of 4 bits too
        {4, 1, 1, {4, 0}},   // with ReLU, unsigned ones
    };
    for (Row const& row : rows) {
        ModelBuilder source;
        source.layer(LayerType::InputData, "in",
                     {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}, {"input_bits", row.bits},
                      {"input_signed", row.is_signed}}, {});
        std::string feeder = "in";
        if (row.activation >= 0) {
            source.layer(LayerType::Conv2D, "f",
                         {{"kernel_size", 1}, {"filters", 1}, {"output_bits", row.bits}, {"activation", row.activation}},
                         {"in"});
            feeder = "f";
        }
        auto const conv = source.conv("c", feeder, 1);
        auto const built = model_from_layers({conv});
        LayerParams const& added = *built->get_layer(0)->params();
        EXPECT_EQ(std::make_pair(added.get("input_bits"), added.get("input_signed")), row.expected) << row.bits;
    }
}

TEST(ComponentCount, CountsTheNpsAndOneStorePerLayer) {
    // add's result reaches c3 and, through a second store, the Concatenate.
    ModelBuilder b = testing::build_model("in c1<in c2<c1 add<c2,c1 c3<add cat<add,c3 c4<cat");
    EXPECT_TRUE(component_count(b.model()).empty());
    LayerList layers = b.list({"c1", "c2", "add", "c3", "cat", "c4"});
    LayerMappingBuilder::build_layer_mapping(layers, {}, testing::pass_components(layers), testing::pass_dma);
    ASSERT_EQ(layer_mapping(b["c3"])->skipdma_stores.size(), 2u);
    EXPECT_EQ(component_count(b.model()), (std::map<hw::Type, uint64_t>{
                                              {hw::Type::CNP1, 4}, {hw::Type::SKIP_DMA_STORE, 2}, {hw::Type::SKIP_DMA_LOAD, 2}}));
}

// A model that refuses the next `refused_adds` adds and `refused_compiles` compiles.
struct RefusingModel : Model {
    void add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> const& inbounds) override {
        if (refused_adds > 0) {
            --refused_adds;
            throw std::invalid_argument("add refused");
        }
        Model::add(std::move(layer), inbounds);
    }
    void compile(std::shared_ptr<LearningParams> params) override {
        if (refused_compiles > 0) {
            --refused_compiles;
            throw std::invalid_argument("compile refused");
        }
        Model::compile(std::move(params));
    }
    int refused_adds = 0, refused_compiles = 0;
};

// in (2 x 2 x 3) -> fc: 10 units compiled for `classes` classes (0: not compiled), its variables
// filled with a pattern. With `side`, a FullyConnected "side" of 12 units reading "in" stands
// between them in the model.
struct Learner {
    explicit Learner(int classes, bool side = false) : b(std::make_unique<RefusingModel>()) {
        refusing = static_cast<RefusingModel*>(&b.model());
        b.input("in", 3, 2, 2);
        if (side) b.layer(LayerType::FullyConnected, "side", {{"units", 12}}, {"in"});
        fc = b.layer(LayerType::FullyConnected, "fc", {{"units", 10}, {"activation", 1}}, {"in"});
        if (classes > 0)
            b.model().compile(
                LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", classes}, {"num_weights", 4}}));
        for (auto const& name : fc->variables().names()) {
            auto const old = fc->variables().get(name);
            std::vector<uint8_t> bytes(old->buffer().bytes);
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 61 + 1);
            fc->variables().set(name, Dense::copy(bytes.data(), bytes.size(), old->type(), old->dimensions(), old->layout()));
        }
    }
    std::shared_ptr<Layer> last() { return b.model().get_layer(b.model().layer_count() - 1); }
    ModelBuilder b;
    RefusingModel* refusing;
    std::shared_ptr<Layer> fc;
};

TEST(AddClasses, GrowsTheLastLayerAndKeepsWhatItLearned) {
    Learner l(10);
    add_classes(l.b.model(), 5);
    auto const grown = l.last();
    ASSERT_NE(grown, l.fc);
    EXPECT_EQ(std::make_pair(grown->get_name(), grown->params()->get("units")), std::make_pair(std::string("fc"), 15));
    EXPECT_EQ(l.b.model().learning()->get("num_classes"), 15.0);
    for (auto const& name : l.fc->variables().names()) {
        Buffer const old = l.fc->variables().get(name)->buffer(), now = grown->variables().get(name)->buffer();
        ASSERT_EQ(now.bytes, old.bytes * 3 / 2) << name;
        EXPECT_EQ(std::memcmp(old.data, now.data, old.bytes), 0) << name;           // the old neurons' rows
        EXPECT_EQ(static_cast<const uint8_t*>(now.data)[now.bytes - 1], 0) << name;  // a new neuron: fresh
    }
    Learner rounded(3);
    add_classes(rounded.b.model(), 1);  // three neurons per class, rounded down
    EXPECT_EQ(rounded.last()->params()->get("units"), 13);
    // Fed by a layer other than the one before it, the grown layer reads that layer still.
    Learner side(10, true);
    add_classes(side.b.model(), 5);
    EXPECT_EQ(side.last()->inbound_layers(), std::vector<std::shared_ptr<Layer>>{side.b["in"]});
    for (auto const& name : grown->variables().names()) {
        Buffer const usual = grown->variables().get(name)->buffer(), got = side.last()->variables().get(name)->buffer();
        ASSERT_EQ(got.bytes, usual.bytes) << name;
        EXPECT_EQ(std::memcmp(got.data, usual.data, usual.bytes), 0) << name;
    }
}

TEST(AddClasses, RefusalsChangeNothing) {
    auto set = [](Learner& l, const char* name, TensorType type, Shape const& shape, size_t bytes) {
        l.fc->variables().set(name, Dense::copy(std::vector<uint8_t>(bytes).data(), bytes, type, shape, Layout::c_order));
    };
    std::string const misfit = "Cannot add classes to layer 'fc': its variable ";
    struct Row { int classes; int64_t add; std::function<void(Learner&)> prepare; std::string error; bool side = false; };
    Row const rows[] = {
        {10, 0, {}, "The number of classes to add must be positive."},
        {10, 2147483647, {}, "Cannot add 2147483647 classes of 1 neurons to layer 'fc': it would have more than 2147483647 units."},
        {10, 5, [&](Learner& l) { set(l, "weights", TensorType::int8, {10, 6, 1, 1}, 60); },
         misfit + "'weights' of shape (10, 6, 1, 1) does not fit the new shape (15, 12, 1, 1)."},
        {10, 5, [&](Learner& l) { set(l, "threshold", TensorType::int32, {20}, 80); },
         misfit + "'threshold' of shape (20) does not fit the new shape (15)."},
        {10, 1, [](Learner& l) { l.b.conv("c", "fc"); }, "The last layer must be a FullyConnected layer."},
        {0, 1, {}, "The last layer must be compiled."},
        // The model refuses the grown layer once the old one is out: the old one goes back, reading "in".
        {10, 5, [](Learner& l) { l.refusing->refused_adds = 1; }, "add refused", true},
        {10, 5, [](Learner& l) { l.refusing->refused_compiles = 1; }, "compile refused", true},
    };
    for (auto const& row : rows) {
        Learner l(row.classes, row.side);
        if (row.prepare) row.prepare(l);
        auto const before = l.last();
        auto const buffer = l.b.model().to_buffer();
        EXPECT_EQ(failure([&] { add_classes(l.b.model(), row.add); }), row.error);
        EXPECT_EQ(l.last(), before) << row.error;
        EXPECT_EQ(l.b.model().to_buffer(), buffer) << row.error;
    }
}

}  // namespace
}  // namespace nuvra::python
