// The model graph: linking rules, removal, lookups, learning and model-wide queries.
#include <gtest/gtest.h>

#include <functional>

#include "engine/model.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/layer_fixtures.h"
#include "support/layer_kinds.h"

namespace nuvra {
namespace {

using namespace testing;

std::shared_ptr<Layer> conv(std::string const& name) {
    return make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, name);
}

std::shared_ptr<Layer> fully_connected(std::string const& name, int units) {
    return make_layer(LayerType::FullyConnected,
                      {{"units", units}, {"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}}, name);
}

std::shared_ptr<LearningParams> learning(double classes) {
    return LearningParams::create(LearningType::NuvraUnsupervised,
                                  {{"num_classes", classes}, {"num_weights", 4}, {"initial_plasticity", 1.0}});
}

TEST(ModelAdd, LinksToTheLastLayerOrRefuses) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 3);
    auto const foreign = make_input(8, 8, 3, 8, false, "foreign");
    auto const foreign_model = Model::create();
    foreign_model->add(foreign);
    auto const stub = std::make_shared<testing::FakeLayer>("stub");
    struct Row { std::function<void()> call; std::string message; };
    Row const before_input[] = {
        {[&] { model->add(nullptr); }, "Cannot add a missing layer to the model."},
        {[&] { model->add(stub); }, "Layer 'stub' was not made by Layer::create."},
        {[&] { model->add(conv("c")); },
         "Layer 'c' needs an inbound layer, and the model has none: add an input layer first."},
        {[&] { model->add(make_layer(LayerType::Quantizer, {}, "q"), {}); },
         "Layer 'q' needs an inbound layer, and the model has none: add an input layer first. A Quantizer given "
         "'input_width', 'input_height' and 'input_channels' is an input layer."},
        {[&] { model->add(foreign); }, "Layer 'foreign' already belongs to a model."},
        {[&] { model->add(conv("c"), {foreign}); },
         "Layer 'c': inbound layer 'foreign' does not belong to this model."},
        {[&] { model->add(conv("c"), {nullptr}); }, "Layer 'c': an inbound layer is missing."},
    };
    for (auto const& row : before_input) EXPECT_EQ(error_text<std::invalid_argument>(row.call), row.message);
    EXPECT_EQ(model->layer_count(), 0u);

    model->add(input);
    auto const small = make_input(4, 4, 3, 8, false, "small");
    Row const after_input[] = {
        {[&] { model->add(input); }, "Layer 'input' already belongs to a model."},
        {[&] { model->add(small, {input}); }, "Layer 'small': an input layer takes no inbound layers."},
        {[&] {
             model->add(make_layer(LayerType::Quantizer,
                                   {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}}, "q"),
                        {input});
         },
         "Layer 'q': an input layer takes no inbound layers."},
        {[&] { model->add(make_layer(LayerType::Add, {}, "add")); },
         "Layer 'add': Add layers take 2 inbound layers, not 1."},
        {[&] { model->add(make_layer(LayerType::Concatenate, {}, "cat")); },
         "Layer 'cat': Concatenate layers take at least 2 inbound layers, not 1."},
        {[&] {
             model->add(small);
             model->add(make_layer(LayerType::Add, {}, "add"), {input, small});
         },
         "Layer 'add': the two inputs of an Add layer must have the same shape."},
    };
    for (auto const& row : after_input) EXPECT_EQ(error_text<std::invalid_argument>(row.call), row.message);
    EXPECT_EQ(model->layer_count(), 2u);

    // Empty inbounds link to the last layer.
    auto const a = conv("a");
    model->add(a);
    EXPECT_EQ(a->inbound_layers().front().get(), small.get());
    // A layer of a destroyed model can join another.
    auto const orphan = make_input(4, 4, 1);
    Model::create()->add(orphan);
    EXPECT_NO_THROW(Model::create()->add(orphan));
}

TEST(ModelPop, RemovesTheLastLayerFromTheGraph) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 3), a = conv("a");
    model->add(input);
    model->add(a);
    model->pop_layer();
    EXPECT_TRUE(input->outbound_layers().empty());
    EXPECT_TRUE(a->inbound_layers().empty());
    EXPECT_FALSE(impl(*a).is_built());
    EXPECT_EQ(a->variables().names().size(), 10u);  // the variables stay with the layer
    model->add(a);                                 // and the layer, and its name, can be added again
    EXPECT_EQ(a->inbound_layers().front().get(), input.get());
    EXPECT_EQ(error_text<std::invalid_argument>([&] { Model::create()->pop_layer(); }),
              "Cannot pop a layer from an empty model.");
}

TEST(ModelQueries, LookupsShapesMacsAndGeneration) {
    auto model = Model::create();
    model->add(make_input(32, 32, 3));
    model->add(make_layer(LayerType::Conv2D,
                          {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 1}, {"filters", 16}}, "c"));
    // A name is given once: a second "c" would be found as the first one.
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(make_layer(LayerType::Dense1D, {{"units", 10}}, "c")); }),
              "The model already has a layer named 'c'.");
    model->add(make_layer(LayerType::Dense1D, {{"units", 10}}, "d"));
    EXPECT_EQ(model->get_layer("c").get(), model->get_layer(1).get());
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->get_layer(3); }),
              "Layer index 3 is out of range: the model has 3 layers.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->get_layer("b"); }), "No layer named 'b' in the model.");
    EXPECT_EQ(model->input_shape().to_vector(), (std::vector<uint32_t>{32, 32, 3}));
    EXPECT_EQ(model->output_shape().to_vector(), (std::vector<uint32_t>{1, 1, 10}));
    EXPECT_EQ(model->macs(), 110592u + 4096u * 10u);
    EXPECT_EQ(model->ip_version(), IpVersion::v2);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->map(nullptr); }), "Cannot map a model without a device.");

    struct Row { std::vector<std::pair<LayerType, std::map<std::string, int>>> layers; IpVersion expected; };
    std::vector<Row> const rows = {
        {{{LayerType::FullyConnected, {{"units", 2}}}}, IpVersion::v1},
        {{{LayerType::StatefulRecurrent, {{"stateful_channels", 4}, {"output_channels", 1}}},
          {LayerType::WispPostProcessing, {}}}, IpVersion::wisp},
        {{{LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 2}}}, {LayerType::FullyConnected, {{"units", 2}}}},
         IpVersion::none},
    };
    for (auto const& row : rows) {
        auto m = Model::create();
        m->add(make_input(4, 4, 1));
        for (auto const& [type, params] : row.layers) m->add(make_layer(type, params, std::to_string(m->layer_count())));
        EXPECT_EQ(m->ip_version(), row.expected) << row.layers.size();
    }
}

// A model of one kind (behind its InputData) has the generation the kind's format code names;
// the kinds without hardware (format code 0) leave it none.
TEST(ModelQueries, EveryKindsGenerationIsTheOneItsFormatCodeNames) {
    for (auto const& row : kind_rows()) {
        auto const [model, layer] = build_kind(row);
        EXPECT_EQ(layer->format_code(), row.format_code) << static_cast<int>(row.type);
        EXPECT_EQ(model->ip_version(), static_cast<IpVersion>(row.format_code)) << static_cast<int>(row.type);
    }
}

TEST(ModelLearning, CompileLetsTheLastFullyConnectedLayerLearn) {
    auto model = Model::create();
    model->add(make_input(4, 4, 2, 1));
    auto const old_fc = fully_connected("fc", 10);
    model->add(old_fc);
    model->compile(learning(10));
    EXPECT_TRUE(old_fc->can_learn());

    // Adding classes: pop, add a larger layer of the same name, compile: fresh variables, same names.
    model->pop_layer();
    EXPECT_EQ(model->learning(), nullptr);
    EXPECT_FALSE(old_fc->can_learn());
    auto const new_fc = fully_connected("fc", 15);
    model->add(new_fc, {});
    model->compile(learning(15));
    EXPECT_EQ(new_fc->variables().names(), old_fc->variables().names());
    EXPECT_EQ(new_fc->variables().get("thswap")->dimensions().to_vector(), std::vector<uint32_t>{15});
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
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->compile(learning(4)); }), "");
    for (auto const& row : {std::pair{5.0, "5"}, {2.5, "2.5"}})
        EXPECT_EQ(error_text<std::invalid_argument>([&] { model->compile(learning(row.first)); }),
                  std::string("Cannot compile: num_classes must be a whole number from 1 to the 4 units of layer "
                              "'fc' (got ") + row.second + ").");
}

}  // namespace
}  // namespace nuvra
