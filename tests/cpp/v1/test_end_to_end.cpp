// A first-generation model mapped on a virtual ZR62_v1 device, read back, and learning on hardware.
#include <gtest/gtest.h>

#include "backends/v1/learning.h"
#include "backends/v1/record_conv.h"
#include "backends/v1/record_hrc.h"
#include "backends/v1/record_sep_conv.h"
#include "devices/host_device.h"
#include "engine/sim/board.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_hardware_device.h"
#include "support/model_builder.h"
#include "support/ops_test_util.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"
#include "support/v2_checks.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::lone_record_args;
using nuvra::testing::ModelBuilder;
using nuvra::testing::decode_blocks;
using nuvra::testing::error_text;
using Words = std::vector<uint32_t>;

// The HRC and eight NPs: four CNPs, two FNP3s and two FNP2s (or `cnps` CNPs).
Mesh v1_mesh(uint8_t cnps = 4) {
    std::vector<np::Info> nps;
    for (uint8_t id = 0; id < cnps; ++id) nps.push_back({{1, 1, id, 0}, {hw::Type::CNP1}, false});
    for (uint8_t id = 0; id < 2; ++id) nps.push_back({{2, 1, id, 0}, {hw::Type::FNP3}, false});
    for (uint8_t id = 2; id < 4; ++id) nps.push_back({{2, 1, id, 0}, {hw::Type::FNP2}, false});
    return Mesh(IpVersion::v1, {3, 1, 0, 0}, {3, 1, 1, 0}, np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, false}, nps, {});
}

// hrc (16 x 16 x 1, 3 x 3, 8 filters) -> conv (3 x 3, 8 filters) -> sep (3 x 3, 8 filters) -> fc
// (10 units of 1-bit weights), compiled for learning in 5 classes.
struct LearningModel {
    LearningModel() {
        std::map<std::string, int> const cnp{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8},
                                            {"padding", 1},      {"activation", 1},    {"act_bits", 1}};
        using testing::with;
        m.layer(LayerType::InputConvolutional, "hrc",
                with(cnp, {{"input_width", 16}, {"input_height", 16}, {"input_channels", 1}, {"weights_bits", 1}}), {});
        m.layer(LayerType::Convolutional, "conv", with(cnp, {{"weights_bits", 1}}), {"hrc"});
        m.layer(LayerType::SeparableConvolutional, "sep", with(cnp, {{"weights_bits", 2}}), {"conv"});
        m.layer(LayerType::FullyConnected, "fc", {{"units", 10}, {"weights_bits", 1}}, {"sep"});
        // Every third weight is 1; each neuron of fc keeps 8 of its 2048 inputs, as it learns with.
        for (auto const& layer : m.model().layers()) {
            uint32_t const every = layer->get_name() == "fc" ? 256 : 3;
            for (char const* name : {"weights", "weights_pw"}) {
                if (!layer->variables().has(name)) continue;
                auto const weights = layer->variables().get(name);
                for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % every == 0));
            }
        }
        m.model().compile(LearningParams::create(
            LearningType::NuvraUnsupervised, {{"num_classes", 5}, {"num_weights", 8}, {"initial_plasticity", 0.5},
                                              {"learning_competition", 0.25}, {"min_plasticity", 0.1},
                                              {"plasticity_decay", 0.5}}));
    }
    ModelBuilder m;
};

TEST(V1EndToEnd, LearningModelMapsRecordsAndLearns) {
    LearningModel model;
    auto const device = make_fake_device(hw::ZR62_v1, v1_mesh());
    model.m.model().map(device);
    ASSERT_EQ(model.m.model().sequences().size(), 1u);
    auto const program = model.m.model().sequences().front()->program();
    std::vector<uint8_t> const bytes(program.begin(), program.end());  // mapping again drops the sequence
    ProgramInfo const info(bytes.data(), bytes.size());

    // The SCC record, then one record per layer before the learning layer, each as its recorder
    // makes it on the mapped layer.
    auto const records = nuvra::testing::pass_records(bytes);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1], decode_blocks(*record_program_hrc_layer(*device, *model.m["hrc"])));
    EXPECT_EQ(records[2], decode_blocks(*record_program_conv_layer(*device, lone_record_args(*model.m["conv"], {}))));
    EXPECT_EQ(records[3],
              decode_blocks(*record_program_sep_conv_layer(*device, lone_record_args(*model.m["sep"], {}))));

    fb::LearningRecords const* learning = info.data().learning_records();
    ASSERT_NE(learning, nullptr);
    program::LearnRecordsPtr const expected = record_program_learning_dense_layer(*device, *model.m["fc"], false);
    EXPECT_EQ(decode_blocks(*learning->first()), decode_blocks(*expected.first));
    EXPECT_EQ(decode_blocks(*learning->second()), decode_blocks(*expected.second));
    EXPECT_EQ(decode_blocks(*learning->third()), decode_blocks(*expected.third));
    EXPECT_EQ(learning->value(), expected.value);

    // On a device with hardware: fit programs those bytes, then the learned weights come back from
    // the learning memory (two words, then the image: blocks of 4 + 64 words for 2048 inputs).
    auto const host = std::make_shared<nuvra::testing::FakeHostDevice>(hw::ZR62_v1, v1_mesh());
    model.m.model().map(host);
    auto const mapped = model.m.model().sequences().front()->program();
    EXPECT_EQ(std::vector<uint8_t>(mapped.begin(), mapped.end()), bytes);
    ASSERT_EQ(layer_mapping(model.m["fc"])->components->at(0).type, hw::Type::FNP3);
    Words memory(2 + 10 * 68, 0u);
    for (uint32_t n = 0; n < 10; ++n) {
        memory[2 + 68 * n + 3] = 7u << 16 | n;  // learning threshold 7, swap value n
        memory[2 + 68 * n + 4] = 1u << n;       // weight 1 at input n
    }
    host->fake().learn_mem = memory;
    model.m.model().fit(Dense::create(TensorType::uint8, Shape{2, 16, 16, 1}, Layout::c_order), {1, 2});
    EXPECT_EQ(host->fake().loaded, bytes);
    Variables const& learned = model.m["fc"]->variables();
    for (uint32_t n = 0; n < 10; ++n) {
        EXPECT_EQ(tensor_read<int8_t>(*learned.get("weights"), {n, n, 0, 0}), 1);
        EXPECT_EQ(tensor_read<int8_t>(*learned.get("weights"), {n, n + 1, 0, 0}), 0);
        EXPECT_EQ(tensor_read<int32_t>(*learned.get("thswap"), size_t{n}), int32_t(n));
        EXPECT_EQ(tensor_read<int32_t>(*learned.get("threshold_learning"), size_t{n}), 7);
    }
}

// The learned values a board's learning memory gives back are the program's own: fitting on the
// simulated board keeps the model mapped.
TEST(V1EndToEnd, LearningOnTheSimulatedBoardKeepsTheMapping) {
    auto const board = std::make_shared<sim::Board>(sim::vexa_v2());
    auto const device = make_host_device(board.get());
    LearningModel model;
    model.m.model().map(device);
    board->learn_mem = Words(2 + 10 * 68, 0u);
    auto const inputs = Dense::create(TensorType::uint8, Shape{2, 16, 16, 1}, Layout::c_order);
    model.m.model().fit(inputs, {1, 2});
    // Weight 0 was 1: the zeroed memory was read back.
    EXPECT_EQ(tensor_read<int8_t>(*model.m["fc"]->variables().get("weights"), size_t{0}), 0);
    EXPECT_EQ(model.m.model().device(), device);
    EXPECT_NE(layer_mapping(model.m["fc"]), nullptr);
}

// Mended: per-neuron variables are read element by element whatever their shape; (4, 1, 1, 1)
// ones once failed the mapping as tensors that must have rank 1.
TEST(V1EndToEnd, PerNeuronVariablesOfAnyShape) {
    auto const program_of = [](std::vector<uint32_t> const& dims) {
        ModelBuilder m;
        m.layer(LayerType::InputData, "in",
                {{"input_width", 1}, {"input_height", 1}, {"input_channels", 32}, {"input_bits", 1}}, {});
        m.layer(LayerType::FullyConnected, "fc", {{"units", 4}, {"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}},
                {"in"});
        Variables& vars = m["fc"]->variables();
        auto const weights = vars.get("weights");
        for (uint32_t n = 0; n < 4; ++n) tensor_write<int8_t>(*weights, {n, 3 * n, 0, 0}, int8_t{1});
        vars.set("threshold", nuvra::testing::i32(dims, {5, -3, 7, 100}));
        vars.set("act_step", nuvra::testing::f32(dims, {1, 2, 0.5, 3}));
        vars.set("threshold_learning", nuvra::testing::i32(dims, {1, 2, 3, 4}));
        vars.set("thswap", nuvra::testing::i32(dims, {9, 8, 7, 6}));
        m.model().compile(LearningParams::create(
            LearningType::NuvraUnsupervised, {{"num_classes", 2}, {"num_weights", 1}, {"initial_plasticity", 0.5},
                                              {"learning_competition", 0.25}, {"min_plasticity", 0.1},
                                              {"plasticity_decay", 0.5}}));
        m.model().map(make_fake_device(hw::ZR62_v1, v1_mesh()));
        auto const program = m.model().sequences().front()->program();
        return std::vector<uint8_t>(program.begin(), program.end());
    };
    std::vector<uint8_t> const flat = program_of({4});
    EXPECT_FALSE(flat.empty());
    EXPECT_EQ(program_of({4, 1, 1, 1}), flat);
    EXPECT_EQ(program_of({1, 4}), flat);
}

// Mended: a 1- or 2-bit weight the CNP's planes cannot hold was written as 0 while the run used
// it; mapping refuses it and leaves nothing mapped.
TEST(V1EndToEnd, StandardConvolutionWeightsTheImageHolds) {
    struct Row { int bits, kernel; int8_t weight; std::string refusal; };
    std::string const range = "Cannot map layer 'conv'. Weights contain values out of range ";
    Row const rows[] = {
        {2, 3, 2, range + "(-1, 1) (e.g.: 2)."},
        {2, 3, -1, ""},
        {1, 3, -1, range + "(0, 1) (e.g.: -1)."},
        {1, 1, -1, ""},  // a kernel of 1 is packed with its minus plane
        {1, 1, -128, range + "(-1, 1) (e.g.: -128)."},
    };
    for (Row const& row : rows) {
        std::map<std::string, int> const cnp{{"kernel_width", row.kernel}, {"kernel_height", row.kernel},
                                             {"filters", 4}, {"padding", 1}, {"activation", 1}, {"act_bits", 1}};
        ModelBuilder m;
        using testing::with;
        m.layer(LayerType::InputConvolutional, "hrc",
                with(cnp, {{"kernel_width", 3}, {"kernel_height", 3}, {"input_width", 16}, {"input_height", 16},
                           {"input_channels", 1}, {"weights_bits", 1}}),
                {});
        m.layer(LayerType::Convolutional, "conv", with(cnp, {{"weights_bits", row.bits}}), {"hrc"});
        for (char const* name : {"hrc", "conv"}) {
            auto const weights = m[name]->variables().get("weights");
            for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t{1});
        }
        tensor_write<int8_t>(*m["conv"]->variables().get("weights"), size_t{5}, row.weight);
        std::string const refusal =
            error_text<std::runtime_error>([&] { m.model().map(make_fake_device(hw::ZR62_v1, v1_mesh())); });
        EXPECT_EQ(refusal, row.refusal) << row.bits << " " << row.kernel << " " << int(row.weight);
        EXPECT_EQ(layer_mapping(m["conv"]) == nullptr, !row.refusal.empty());
    }
}

// Mended: a refused mapping left the layers it had placed before the refusal mapped.
TEST(V1EndToEnd, RefusedMappingLeavesNoLayerMapped) {
    ModelBuilder m;
    m.layer(LayerType::InputConvolutional, "hrc",
            {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3}, {"kernel_height", 3},
             {"filters", 4}, {"padding", 1}, {"activation", 1}, {"act_bits", 1}, {"weights_bits", 1}},
            {});
    std::map<std::string, int> const fc{{"units", 4}, {"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}};
    m.layer(LayerType::FullyConnected, "f1", fc, {"hrc"});
    m.layer(LayerType::FullyConnected, "f2", fc, {"hrc"});
    m.add("add", "f1", "f2");
    for (auto const& layer : m.model().layers()) {
        if (!layer->variables().has("weights")) continue;
        auto const weights = layer->variables().get("weights");
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t{1});
    }
    // The HRC and one FNP3: the second branch finds no NP.
    std::vector<np::Info> const nps{{{2, 1, 0, 0}, {hw::Type::FNP3}, false}};
    Mesh const mesh(IpVersion::v1, {3, 1, 0, 0}, {3, 1, 1, 0}, np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, false}, nps, {});
    EXPECT_THROW(m.model().map(make_fake_device(hw::ZR62_v1, mesh)), std::runtime_error);
    EXPECT_TRUE(m.model().sequences().empty());
    for (auto const& layer : m.model().layers()) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
}

// Mended: a Dequantizer and a Quantizer between convolutions left no trace in the program while
// the software run applied them: mapped on 2 CNPs, where a pass ends with them, and refused in the
// name of a convolution before them on 4, where the pass goes on. Both are refused in their own
// names, nothing mapped.
TEST(V1EndToEnd, AQuantizerBetweenComputedLayersIsRefused) {
    struct Row { bool pair; uint8_t cnps; std::string refusal; };
    std::string const quantizer = "Cannot map layer 'q'. A Quantizer is only supported as the first layer of the "
                                  "model.";
    std::string const dequantizer = "Cannot map layer 'dq'. Only 1 Dequantizer at the end of the model is supported.";
    Row const rows[] = {{true, 2, dequantizer}, {true, 4, dequantizer}, {false, 2, quantizer}, {false, 4, quantizer}};
    auto const conv = [](int kernel, int stride) {
        return std::map<std::string, int>{{"kernel_width", kernel}, {"kernel_height", kernel}, {"filters", 8},
                                          {"stride_x", stride},     {"stride_y", stride},      {"padding", 1},
                                          {"activation", 1},        {"act_bits", 2},           {"weights_bits", 2}};
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(std::to_string(row.cnps) + (row.pair ? " CNPs, the pair" : " CNPs, the Quantizer"));
        ModelBuilder m;
        m.layer(LayerType::InputData, "in",
                {{"input_width", 6}, {"input_height", 12}, {"input_channels", 8}, {"input_bits", 2}}, {});
        m.layer(LayerType::Convolutional, "c1", conv(5, 1), {"in"});
        m.layer(LayerType::Convolutional, "c2", conv(3, 1), {"c1"});
        if (row.pair) m.layer(LayerType::Dequantizer, "dq", {}, {"c2"});
        m.layer(LayerType::Quantizer, "q", {{"output_bits", 2}}, {row.pair ? "dq" : "c2"});
        m.layer(LayerType::Convolutional, "c3", conv(3, 2), {"q"});
        EXPECT_EQ(error_text<std::runtime_error>(
                      [&] { m.model().map(make_fake_device(hw::ZR62_v1, v1_mesh(row.cnps))); }),
                  row.refusal);
        EXPECT_TRUE(m.model().sequences().empty());
        for (auto const& layer : m.model().layers()) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
    }
}

// Mended: after a Quantizer, a refused layer's words were lost to the program of the layers
// before it, which ended with the Quantizer ("Unsupported layer type.").
TEST(V1EndToEnd, ALayerRefusedAfterAQuantizerKeepsItsWords) {
    ModelBuilder m;
    std::map<std::string, int> const cnp{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 4}, {"padding", 1},
                                        {"activation", 1},    {"act_bits", 1},      {"weights_bits", 1}};
    m.layer(LayerType::InputConvolutional, "hrc",
            testing::with(cnp, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}}), {});
    m.layer(LayerType::Quantizer, "q", {{"output_bits", 4}}, {"hrc"});
    m.layer(LayerType::Convolutional, "c", cnp, {"q"});
    tensor_write<int8_t>(*m["hrc"]->variable("weights"), size_t{0}, int8_t{1});
    tensor_write<int8_t>(*m["c"]->variable("weights"), size_t{0}, int8_t{-1});
    EXPECT_EQ(error_text<std::runtime_error>([&] { m.model().map(make_fake_device(hw::ZR62_v1, v1_mesh())); }),
              "Cannot map layer 'c'. Weights contain values out of range (0, 1) (e.g.: -1).");

    // Without a refused layer, the program's failure is the mapping's, in the name of the layer
    // left last (mended: it named no layer), and nothing stays mapped.
    for (LayerType const last : {LayerType::Quantizer, LayerType::Dequantizer}) {
        ModelBuilder q;
        q.layer(LayerType::InputConvolutional, "hrc",
                testing::with(cnp, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}}), {});
        q.layer(last, "q", {}, {"hrc"});
        tensor_write<int8_t>(*q["hrc"]->variable("weights"), size_t{0}, int8_t{1});
        EXPECT_EQ(error_text<std::runtime_error>([&] { q.model().map(make_fake_device(hw::ZR62_v1, v1_mesh())); }),
                  "Cannot map layer 'q'. Error: Unsupported layer type.");
        EXPECT_TRUE(q.model().sequences().empty());
        EXPECT_EQ(q.model().device(), nullptr);
        for (auto const& layer : q.model().layers()) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
    }
}

}  // namespace
}  // namespace nuvra::v1
