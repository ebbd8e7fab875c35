// The model serialization: byte-exact round trips for every layer kind, and refusal of malformed bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <tuple>

#include "engine/model.h"
#include "engine/model_generated.h"
#include "support/error_text.h"
#include "support/layer_kinds.h"

namespace nuvra {
namespace {

namespace fbm = fb::model;
using namespace testing;

// Fills every variable with a pattern that depends on the seed and the name, so a lost or swapped
// byte shows.
void fill_variables(Layer& layer, uint8_t seed) {
    for (auto const& name : layer.variables().names()) {
        auto const t = layer.variables().get(name);
        std::vector<uint8_t> bytes(t->buffer().bytes);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(seed + name.size() * 7 + i * 13);
        layer.variables().set(name, Dense::copy(bytes.data(), bytes.size(), t->type(), t->dimensions(), t->layout()));
    }
}

// Layer by layer: the same names, parameters, links and variable bytes.
void expect_same_models(Model const& a, Model const& b) {
    ASSERT_EQ(a.layer_count(), b.layer_count());
    for (size_t i = 0; i < a.layer_count(); ++i) {
        auto const la = a.get_layer(i), lb = b.get_layer(i);
        EXPECT_EQ(la->get_name(), lb->get_name());
        EXPECT_EQ(la->params()->layer_type(), lb->params()->layer_type());
        EXPECT_EQ(la->params()->keys(), lb->params()->keys());
        for (auto const& key : la->params()->keys()) EXPECT_EQ(la->params()->get(key), lb->params()->get(key)) << key;
        auto const ia = la->inbound_layers(), ib = lb->inbound_layers();
        ASSERT_EQ(ia.size(), ib.size());
        for (size_t k = 0; k < ia.size(); ++k) EXPECT_EQ(ia[k]->get_name(), ib[k]->get_name());
        EXPECT_EQ(la->variables().names(), lb->variables().names());
        for (auto const& name : la->variables().names()) {
            auto const ta = la->variables().get(name), tb = lb->variables().get(name);
            EXPECT_EQ(std::make_tuple(ta->type(), ta->layout(), ta->dimensions().to_vector()),
                      std::make_tuple(tb->type(), tb->layout(), tb->dimensions().to_vector()));
            ASSERT_EQ(ta->buffer().bytes, tb->buffer().bytes);
            EXPECT_EQ(std::memcmp(ta->buffer().data, tb->buffer().data, ta->buffer().bytes), 0) << name;
        }
    }
}

void expect_round_trip(Model const& model) {
    std::vector<uint8_t> const bytes = model.to_buffer();
    EXPECT_EQ(model.to_buffer(), bytes);  // deterministic
    // Read from an unaligned address.
    std::vector<uint8_t> shifted(bytes.size() + 1);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    auto const loaded = Model::from_buffer(shifted.data() + 1, bytes.size());
    EXPECT_EQ(loaded->to_buffer(), bytes);
    expect_same_models(model, *loaded);
}

TEST(ModelBuffer, EveryKindRoundTripsByteForByte) {
    for (auto const& kind : testing::kind_rows()) {
        SCOPED_TRACE(static_cast<int>(kind.type));
        auto model = testing::build_kind(kind).first;
        uint8_t seed = 1;
        for (auto const& l : model->layers()) fill_variables(*l, seed++);
        expect_round_trip(*model);
    }
    expect_round_trip(*Model::create());
}

// A model with several kinds, a second input, a reversed-layout variable, a variable the kind does
// not create, and learning.
std::unique_ptr<Model> rich_model() {
    auto model = Model::create();
    auto const input = make_input(6, 6, 2, 1);
    model->add(input);
    model->add(make_layer(LayerType::Convolutional,
                          {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 2}, {"padding", 1}}, "a"));
    auto const b = make_layer(LayerType::Convolutional,
                              {{"kernel_width", 1}, {"kernel_height", 1}, {"filters", 2}, {"padding", 1}}, "b");
    model->add(b, {input});
    model->add(make_layer(LayerType::FullyConnected, {{"units", 4}, {"activation", 1}, {"act_bits", 1}}, "fc"), {b});
    for (auto const& l : model->layers()) fill_variables(*l, 9);
    std::vector<int8_t> const extra = {1, -2, 3, -4, 5, -6};
    model->get_layer("a")->variables().set(
        "extra", Dense::copy(extra.data(), extra.size(), TensorType::int4, Shape{3, 2}, Layout::reversed));
    model->compile(LearningParams::create(LearningType::NuvraUnsupervised,
                                          {{"num_classes", 2}, {"num_weights", 3}, {"plasticity_decay", 0.25}}));
    return model;
}

TEST(ModelBuffer, LearningAndLinksRoundTrip) {
    auto const model = rich_model();
    expect_round_trip(*model);
    auto const bytes = model->to_buffer();
    auto const loaded = Model::from_buffer(bytes.data(), bytes.size());
    auto const fc = loaded->get_layer("fc");
    ASSERT_TRUE(fc->can_learn());
    EXPECT_EQ(fc->learning().get(), loaded->learning().get());
    EXPECT_EQ(loaded->learning()->get("plasticity_decay"), 0.25);
    EXPECT_EQ(loaded->get_layer("b")->inbound_layers().front().get(), loaded->get_layer(0).get());
}

struct TVariable { std::string name; int32_t type, layout; std::vector<uint32_t> dims; std::vector<uint8_t> data; };
struct TLayer { std::string name; int32_t type; std::vector<std::pair<std::string, int32_t>> params;
                std::vector<uint32_t> inbounds; std::vector<TVariable> variables; };
struct TLearning { int32_t type = 0; uint32_t layer = 0; std::vector<std::pair<std::string, double>> params; };
struct TModel { uint32_t version = 1; std::vector<TLayer> layers; std::optional<TLearning> learning; };

std::vector<uint8_t> write(TModel const& m) {
    flatbuffers::FlatBufferBuilder fbb;
    std::vector<flatbuffers::Offset<fbm::Layer>> layers;
    for (auto const& l : m.layers) {
        std::vector<flatbuffers::Offset<fbm::LayerParam>> params;
        for (auto const& [key, value] : l.params)
            params.push_back(fbm::CreateLayerParam(fbb, fbb.CreateString(key), value));
        std::vector<flatbuffers::Offset<fbm::Variable>> vars;
        for (auto const& v : l.variables)
            vars.push_back(fbm::CreateVariable(fbb, fbb.CreateString(v.name), v.type, v.layout,
                                               fbb.CreateVector(v.dims), fbb.CreateVector(v.data)));
        layers.push_back(fbm::CreateLayer(fbb, fbb.CreateString(l.name), l.type, fbb.CreateVector(params),
                                          fbb.CreateVector(l.inbounds), fbb.CreateVector(vars)));
    }
    auto const layers_offset = fbb.CreateVector(layers);
    flatbuffers::Offset<fbm::Learning> learning;
    if (m.learning) {
        std::vector<flatbuffers::Offset<fbm::LearningParam>> params;
        for (auto const& [key, value] : m.learning->params)
            params.push_back(fbm::CreateLearningParam(fbb, fbb.CreateString(key), value));
        learning = fbm::CreateLearning(fbb, m.learning->type, m.learning->layer, fbb.CreateVector(params));
    }
    fbm::FinishSizePrefixedModelBuffer(fbb, fbm::CreateModel(fbb, m.version, layers_offset, learning));
    return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

// The full, ordered parameter list a layer of `type` keeps for `entries`.
std::vector<std::pair<std::string, int32_t>> full_params(LayerType type, Params const& entries) {
    auto const layer = make_layer(type, entries, "x");
    std::vector<std::pair<std::string, int32_t>> params;
    for (auto const& key : layer->params()->keys()) params.emplace_back(key, layer->params()->get(key));
    return params;
}

TEST(ModelBuffer, HandMadeFaultsAreRefusedWithTheirReason) {
    // InputData (4, 4, 2), then a FullyConnected of 2 units with a weights variable, learning on it.
    TModel base;
    Params const input{{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}};
    base.layers.push_back({"in", 1, full_params(LayerType::InputData, input), {}, {}});
    base.layers.push_back({"fc", 3, full_params(LayerType::FullyConnected, {{"units", 2}}), {0},
                           {{"weights", 4, 0, {2, 32, 1, 1}, std::vector<uint8_t>(64, 1)}}});
    base.learning = TLearning{0, 1, {{"num_classes", 2.0}, {"num_weights", 1.0}}};
    auto const good = write(base);
    EXPECT_TRUE(Model::from_buffer(good.data(), good.size())->get_layer(1)->can_learn());

    using Change = std::function<void(TModel&)>;
    std::pair<Change, std::string> const rows[] = {
        {[](TModel& m) { m.version = 2; }, "format version 2 (this engine reads version 1)."},
        {[](TModel& m) { m.layers[1].type = 7; }, "layer 1 ('fc'): unknown layer type 7."},
        {[](TModel& m) { m.layers[1].inbounds = {1}; },
         "layer 1 ('fc'): inbound index 1 does not name an earlier layer."},
        {[](TModel& m) { m.layers[1].inbounds = {}; }, "layer 1 ('fc'): the layer has no inbound layer."},
        {[](TModel& m) { std::swap(m.layers[1].params[0], m.layers[1].params[1]); },
         "layer 1 ('fc'): parameter keys are not in strictly ascending order (\"act_bits\" after \"activation\")."},
        {[](TModel& m) { m.layers[1].params.erase(m.layers[1].params.begin()); },
         "layer 1 ('fc'): parameters of the layer's kind are missing."},
        {[](TModel& m) { m.layers[1].params[2].second = -3; },
         "layer 1 ('fc'): Layer 'fc': parameter 'units' must be at least 0 (got -3)."},
        {[](TModel& m) { m.layers[1].params.insert(m.layers[1].params.begin() + 2, {"padding", 1}); },
         "layer 1 ('fc'): Layer 'fc': FullyConnected layers have no parameter 'padding'."},
        {[](TModel& m) { m.layers[1].variables[0].type = 11; },
         "layer 1 ('fc'), variable 'weights': unknown tensor type 11."},
        {[](TModel& m) { m.layers[1].variables[0].dims[2] = 0; },
         "layer 1 ('fc'), variable 'weights': dimension 2 is 0."},
        {[](TModel& m) { m.layers[1].variables[0].data.pop_back(); },
         "layer 1 ('fc'), variable 'weights': 63 bytes for 64 elements of type int8 (expected 64)."},
        {[](TModel& m) { m.layers[1].variables[0].dims = {65536, 65536, 2}; },
         "layer 1 ('fc'), variable 'weights': more than 4294967295 elements."},
        {[](TModel& m) { m.layers[1].variables.push_back(m.layers[1].variables[0]); },
         "layer 1 ('fc'): variable 'weights' appears twice."},
        // Names and keys reach Python as str: a byte that is not UTF-8 is a damaged file.
        {[](TModel& m) { m.layers[1].name = "fc\xff"; }, "layer 1: the name is not valid UTF-8."},
        {[](TModel& m) { m.layers[1].name = "\xc0\xaf"; }, "layer 1: the name is not valid UTF-8."},  // overlong
        {[](TModel& m) { m.layers[1].name = "\xed\xa0\x80"; }, "layer 1: the name is not valid UTF-8."},  // surrogate
        {[](TModel& m) { m.layers[1].name = "\xf4\x90\x80\x80"; }, "layer 1: the name is not valid UTF-8."},
        {[](TModel& m) { m.layers[1].name = "\xe2\x82"; }, "layer 1: the name is not valid UTF-8."},  // cut short
        {[](TModel& m) { m.layers[1].params[0].first = "act_bits\x80"; },
         "layer 1 ('fc'): parameter key 0 is not valid UTF-8."},
        {[](TModel& m) { m.layers[1].variables[0].name = "w\xfe"; },
         "layer 1 ('fc'): a variable name is not valid UTF-8."},
        {[](TModel& m) { m.learning->params[0].first = "\xa0"; }, "learning: parameter key 0 is not valid UTF-8."},
        {[](TModel& m) { m.layers[1].name = "in"; }, "layer 1 ('in'): The model already has a layer named 'in'."},
        {[](TModel& m) { m.learning->layer = 2; }, "learning layer index 2 is out of range (2 layers)."},
        {[](TModel& m) { m.learning->layer = 0; }, "learning layer 0 is not a FullyConnected layer."},
    };
    for (auto const& [change, message] : rows) {
        TModel m = base;
        change(m);
        auto const bytes = write(m);
        std::string const text =
            error_text<std::invalid_argument>([&] { Model::from_buffer(bytes.data(), bytes.size()); });
        EXPECT_EQ(text.rfind("Invalid model buffer: " + message, 0), 0u) << text;
    }
    TModel named = base;
    named.layers[1].name = "f\xc3\xa7\xe2\x82\xac\xf0\x9d\x84\x9e";  // of two, three and four bytes
    auto const utf8 = write(named);
    EXPECT_EQ(Model::from_buffer(utf8.data(), utf8.size())->get_layer(1)->get_name(), named.layers[1].name);
    EXPECT_EQ(error_text<std::invalid_argument>([] { Model::from_buffer(nullptr, 0); }),
              "Invalid model buffer: 0 bytes are not a model serialization (length, identifier, offsets or sizes are "
              "wrong).");
    EXPECT_EQ(error_text<std::invalid_argument>([] { Model::from_buffer(nullptr, 8); }),
              "Invalid model buffer: no data.");
}

// Every truncation, one byte more, and a flip in the size prefix, root offset or identifier: refused
// with std::invalid_argument, never a crash (random buffers are the fuzzer's).
TEST(ModelBufferCorruption, TruncationsAndHeaderFlips) {
    auto const bytes = rich_model()->to_buffer();
    std::vector<std::vector<uint8_t>> bad{bytes};
    bad[0].push_back(0);
    for (auto end = bytes.begin(); end != bytes.end(); ++end) bad.emplace_back(bytes.begin(), end);
    for (size_t offset : {0u, 4u, 8u, 9u, 10u, 11u}) (bad.emplace_back(bytes))[offset] ^= 1;
    for (auto const& b : bad)
        EXPECT_EQ(error_text<std::invalid_argument>([&] { Model::from_buffer(b.data(), b.size()); }).rfind(
                      "Invalid model buffer: ", 0), 0u) << b.size();
}

// A value written in another shape that fits its layer is saved as written, and the reloaded
// layer reads it in its own shape again.
TEST(ModelBuffer, AWrittenShapeSurvivesTheRoundTrip) {
    using Dims = std::vector<uint32_t>;
    struct Row { LayerType type; char const* variable; TensorType element; Dims written, read; };
    Row const rows[] = {
        {LayerType::Conv2D, "weights", TensorType::int8, {3, 3, 4}, {3, 3, 4, 1}},
        {LayerType::FullyConnected, "act_step", TensorType::float32, {4, 1}, {4}},
        {LayerType::FullyConnected, "weights", TensorType::int8, {4, 64}, {4, 64, 1, 1}},
    };
    Params const conv{{"kernel_size", 3}, {"filters", 1}}, fc{{"units", 4}};
    for (auto const& row : rows) {
        auto const layer = make_layer(row.type, row.type == LayerType::Conv2D ? conv : fc, "l");
        auto const model = model_with(layer, 4, 4, 4);
        fill_variables(*layer, 3);
        auto const t = layer->variables().get(row.variable);
        layer->variables().set(row.variable, Dense::copy(t->buffer().data, t->buffer().bytes, row.element,
                                                         Shape(row.written), Layout::c_order));
        expect_round_trip(*model);
        auto const bytes = model->to_buffer();
        auto const loaded = Model::from_buffer(bytes.data(), bytes.size())->get_layer("l");
        EXPECT_EQ(loaded->variables().get(row.variable)->dimensions().to_vector(), row.written);
        EXPECT_EQ(loaded->variable(row.variable)->dimensions().to_vector(), row.read);
    }
}

}  // namespace
}  // namespace nuvra
