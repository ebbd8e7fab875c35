// The model graph: linking rules, removal, lookups, learning and model-wide queries.
#include <gtest/gtest.h>

#include <functional>

#include "engine/error_text.h"
#include "engine/layer_fixtures.h"
#include "engine/model.h"
#include "engine/stub_layer.h"
#include "hw/device.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::impl;
using testing::make_input;
using testing::make_layer;

std::shared_ptr<Layer> conv(std::string const& name, int filters = 4) {
    return make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", filters}, {"padding", 1}}, name);
}

std::shared_ptr<Layer> fully_connected(std::string const& name, int units) {
    return make_layer(LayerType::FullyConnected, {{"units", units}, {"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}},
                      name);
}

std::shared_ptr<LearningParams> learning(double classes, double weights = 4) {
    return LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", classes},
                                                                      {"num_weights", weights},
                                                                      {"initial_plasticity", 1.0}});
}

TEST(ModelAdd, EmptyInboundsLinkToTheLastLayer) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 3);
    auto const a = conv("a"), b = conv("b");
    model->add(input);
    model->add(a);
    model->add(b);
    EXPECT_EQ(a->inbound_layers().front().get(), input.get());
    EXPECT_EQ(b->inbound_layers().front().get(), a.get());
    EXPECT_TRUE(input->inbound_layers().empty());
    EXPECT_EQ(model->layer_count(), 3u);
    auto const layers = model->layers();
    EXPECT_EQ(layers[2].get(), b.get());
}

TEST(ModelAdd, RefusesWhatCannotBeLinked) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 3);
    auto const foreign_model = Model::create();
    auto const foreign = make_input(8, 8, 3, 8, false, "foreign");
    foreign_model->add(foreign);
    testing::StubLayer stub("stub");
    std::shared_ptr<Layer> const stub_ptr(&stub, [](Layer*) {});

    struct Row {
        std::string what;
        std::function<void()> call;
        std::string message;
    };
    std::vector<Row> const rows = {
        {"null layer", [&] { model->add(nullptr); }, "Cannot add a missing layer to the model."},
        {"not ours", [&] { model->add(stub_ptr); }, "Layer 'stub' was not made by Layer::create."},
        {"no input yet", [&] { model->add(conv("c")); },
         "Layer 'c' needs an inbound layer, and the model has none: add an input layer first."},
        {"in another model", [&] { model->add(foreign); }, "Layer 'foreign' already belongs to a model."},
        {"foreign inbound", [&] { model->add(conv("c"), {foreign}); },
         "Layer 'c': inbound layer 'foreign' does not belong to this model."},
        {"null inbound", [&] { model->add(conv("c"), {nullptr}); }, "Layer 'c': an inbound layer is missing."},
    };
    for (auto const& row : rows) EXPECT_EQ(error_text<std::invalid_argument>(row.call), row.message) << row.what;
    EXPECT_EQ(model->layer_count(), 0u);

    model->add(input);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(input); }),
              "Layer 'input' already belongs to a model.");
    auto const second_input = make_input(4, 4, 1, 8, false, "in2");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(second_input, {input}); }),
              "Layer 'in2': an input layer takes no inbound layers.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(make_layer(LayerType::Add, {}, "add")); }),
              "Layer 'add': Add layers take 2 inbound layers, not 1.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(make_layer(LayerType::Concatenate, {}, "cat")); }),
              "Layer 'cat': Concatenate layers take at least 2 inbound layers, not 1.");
    auto const small = make_input(4, 4, 3, 8, false, "small");
    model->add(small);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(make_layer(LayerType::Add, {}, "add"), {input, small}); }),
              "Layer 'add': the two inputs of an Add layer must have the same shape.");
    EXPECT_EQ(model->layer_count(), 2u);
}

TEST(ModelAdd, LayerOfADestroyedModelCanJoinAnother) {
    auto const input = make_input(4, 4, 1);
    {
        auto first = Model::create();
        first->add(input);
    }
    auto second = Model::create();
    EXPECT_NO_THROW(second->add(input));
}

TEST(ModelPop, RemovesTheLastLayerFromTheGraph) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 3);
    auto const a = conv("a");
    model->add(input);
    model->add(a);
    model->pop_layer();
    EXPECT_EQ(model->layer_count(), 1u);
    EXPECT_TRUE(input->outbound_layers().empty());
    EXPECT_TRUE(a->inbound_layers().empty());
    EXPECT_FALSE(impl(*a).is_built());
    EXPECT_EQ(a->variables().names().size(), 10u);  // the variables stay with the layer
    // The popped layer can be added again.
    model->add(a);
    EXPECT_EQ(a->inbound_layers().front().get(), input.get());
    model->pop_layer();
    model->pop_layer();
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->pop_layer(); }),
              "Cannot pop a layer from an empty model.");
}

TEST(ModelLookup, GetLayerByIndexAndByName) {
    auto model = Model::create();
    model->add(make_input(8, 8, 3));
    model->add(conv("a"));
    model->add(conv("a"));  // names need not be unique: the first one is found
    EXPECT_EQ(model->get_layer("a").get(), model->get_layer(1).get());
    EXPECT_EQ(model->get_layer("input").get(), model->get_layer(0).get());
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->get_layer(3); }),
              "Layer index 3 is out of range: the model has 3 layers.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->get_layer("b"); }), "No layer named 'b' in the model.");
}

TEST(ModelQueries, ShapesMacsAndCounts) {
    auto model = Model::create();
    EXPECT_EQ(model->input_shape().rank(), 0u);
    EXPECT_EQ(model->output_shape().rank(), 0u);
    EXPECT_EQ(model->layer_count(), 0u);
    EXPECT_EQ(model->macs(), 0u);
    EXPECT_EQ(model->learning(), nullptr);
    EXPECT_EQ(model->device(), nullptr);
    EXPECT_TRUE(model->sequences().empty());

    model->add(make_input(32, 32, 3));
    model->add(make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 1}, {"filters", 16}},
                          "c"));
    model->add(make_layer(LayerType::Dense1D, {{"units", 10}}, "d"));
    EXPECT_EQ(model->input_shape().to_vector(), (std::vector<uint32_t>{32, 32, 3}));
    EXPECT_EQ(model->output_shape().to_vector(), (std::vector<uint32_t>{1, 1, 10}));
    EXPECT_EQ(model->macs(), 110592u + 4096u * 10u);
}

TEST(ModelQueries, IpVersionFollowsTheHardwareKinds) {
    struct Row {
        std::vector<std::pair<LayerType, std::map<std::string, int>>> layers;
        IpVersion expected;
    };
    std::vector<Row> const rows = {
        {{}, IpVersion::none},
        {{{LayerType::Dequantizer, {}}}, IpVersion::none},
        {{{LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 2}}}, {LayerType::Dequantizer, {}}}, IpVersion::v2},
        {{{LayerType::FullyConnected, {{"units", 2}}}}, IpVersion::v1},
        {{{LayerType::StatefulRecurrent, {{"stateful_channels", 4}, {"output_channels", 1}}},
          {LayerType::WispPostProcessing, {}}},
         IpVersion::wisp},
        {{{LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 2}}}, {LayerType::FullyConnected, {{"units", 2}}}},
         IpVersion::none},
    };
    for (auto const& row : rows) {
        auto model = Model::create();
        model->add(make_input(4, 4, 1));
        int n = 0;
        for (auto const& [type, params] : row.layers) model->add(make_layer(type, params, "l" + std::to_string(n++)));
        EXPECT_EQ(model->ip_version(), row.expected) << row.layers.size();
    }
}

TEST(ModelQueries, ProbeModelOfTheHrcTimeOutCheck) {
    auto model = Model::create();
    auto const layer = make_layer(
        LayerType::InputConvolutional,
        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3}, {"kernel_height", 3},
         {"padding", 1}, {"stride_x", 2}, {"stride_y", 2}, {"filters", 1}, {"weights_bits", 1}, {"padding_value", 0},
         {"activation", 1}, {"act_bits", 1}, {"pooling_width", 2}, {"pooling_height", 2}, {"pool_type", 1},
         {"pooling_stride_x", 2}, {"pooling_stride_y", 2}},
        "inputconv");
    model->add(layer, {});
    std::vector<int8_t> const ones(9, 1);
    layer->variables().set("weights", Dense::copy(ones.data(), 9, TensorType::int8, Shape{3, 3, 1, 1}, Layout::c_order));
    EXPECT_EQ(model->input_shape().to_vector(), (std::vector<uint32_t>{8, 8, 1}));
    EXPECT_EQ(layer->output_dimensions().to_vector(), (std::vector<uint32_t>{2, 2, 1}));
    auto const& block = dynamic_cast<HasConvParams const&>(*layer).conv_params();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->stride_x, 2u);  // the program header's input param a
    EXPECT_EQ(block->stride_y, 2u);  // and b
    EXPECT_EQ(model->ip_version(), IpVersion::v1);
}

TEST(ModelLearning, CompileLetsTheLastFullyConnectedLayerLearn) {
    auto model = Model::create();
    model->add(make_input(4, 4, 2, 1));
    auto const fc = fully_connected("fc", 10);
    model->add(fc);
    EXPECT_EQ(fc->learning(), nullptr);
    EXPECT_FALSE(fc->can_learn());
    auto const params = learning(10);
    model->compile(params);
    EXPECT_EQ(fc->learning().get(), params.get());
    EXPECT_TRUE(fc->can_learn());
    EXPECT_EQ(model->learning().get(), params.get());
}

TEST(ModelLearning, RecompilingForMoreUnitsGivesFreshVariablesOfTheSameNames) {
    auto model = Model::create();
    model->add(make_input(4, 4, 2, 1));
    auto const old_fc = fully_connected("fc", 10);
    model->add(old_fc);
    model->compile(learning(10));

    // The steps of adding classes: pop, add a larger layer of the same name, compile.
    model->pop_layer();
    EXPECT_EQ(model->learning(), nullptr);
    EXPECT_FALSE(old_fc->can_learn());
    auto const new_fc = fully_connected("fc", 15);
    model->add(new_fc, {});
    model->compile(learning(15));
    EXPECT_TRUE(new_fc->can_learn());
    EXPECT_EQ(new_fc->variables().names(), old_fc->variables().names());
    EXPECT_EQ(new_fc->variables().get("weights")->dimensions().to_vector(), (std::vector<uint32_t>{15, 32, 1, 1}));
    for (auto const* name : {"threshold", "act_step", "threshold_learning", "thswap"})
        EXPECT_EQ(new_fc->variables().get(name)->dimensions().to_vector(), std::vector<uint32_t>{15}) << name;
    EXPECT_EQ(old_fc->variables().get("threshold")->dimensions().to_vector(), std::vector<uint32_t>{10});
}

TEST(ModelLearning, CompileRefusals) {
    auto model = Model::create();
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->compile(learning(1)); }),
              "Cannot compile a model without layers.");
    model->add(make_input(4, 4, 1));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->compile(nullptr); }),
              "Cannot compile a model without learning parameters.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->compile(learning(1)); }),
              "Cannot compile: the last layer 'input' is not a FullyConnected layer.");
    model->add(fully_connected("fc", 4));
    struct Row {
        double classes;
        bool accepted;
    };
    Row const rows[] = {{1, true}, {4, true}, {0, false}, {5, false}, {2.5, false}, {-1, false}};
    for (auto const& row : rows) {
        std::string const text = error_text<std::invalid_argument>([&] { model->compile(learning(row.classes)); });
        EXPECT_EQ(text.empty(), row.accepted) << row.classes << ": " << text;
    }
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->compile(learning(5)); }),
              "Cannot compile: num_classes must be a whole number from 1 to the 4 units of layer 'fc' (got 5).");
}

TEST(ModelLearning, ModelsBuiltFromAnotherModelsLayersShareTheirTensors) {
    auto source = Model::create();
    source->add(make_input(4, 4, 1));
    auto const conv_layer = conv("c");
    source->add(conv_layer);

    auto copy = Model::create();
    copy->add(make_input(4, 4, 1));
    auto const twin = Layer::create(conv_layer->params(), conv_layer->get_name());
    copy->add(twin);
    for (auto const& name : conv_layer->variables().names())
        twin->variables().set(name, std::dynamic_pointer_cast<Dense>(conv_layer->variables().get(name)));
    EXPECT_EQ(twin->variables().get("weights").get(), conv_layer->variables().get("weights").get());
}

TEST(ModelRun, MapNeedsADevice) {
    auto model = Model::create();
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->map(nullptr); }), "Cannot map a model without a device.");
}

}  // namespace
}  // namespace nuvra
