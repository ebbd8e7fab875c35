// A TNP-R chain mapped through Model::map on a third-generation device, and run on hardware.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "backends/wisp/recorders.h"
#include "engine/model.h"
#include "engine/sequence.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/presets.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_hardware_device.h"
#include "wisp/chain_fixture.h"

namespace nuvra::wisp {
namespace {

TEST(WispEndToEnd, ChainMapsRecordsAndRuns) {
    testing::Chain chain;
    chain.two_layers_and_post_processing();
    Model& model = chain.m.model();
    model.map(testing::wisp_device());
    ASSERT_EQ(model.sequences().size(), 1u);
    Sequence const& sequence = *model.sequences().front();
    ASSERT_EQ(sequence.passes().size(), 1u);

    std::vector<uint8_t> const program(sequence.program().begin(), sequence.program().end());
    ProgramInfo const info(program.data(), program.size());
    EXPECT_TRUE(info.info().post_processing());
    std::vector<std::vector<uint32_t>> tracks;
    for (auto const* record : *info.info().passes()->Get(0)->records())
        if (record->tracks() != nullptr)
            for (auto const* span : *record->tracks()) tracks.push_back(info.words(span->offset(), span->size()));
    ASSERT_EQ(tracks.size(), 3u);

    hw::Component const& tnpr = layer_mapping(chain["sr1"])->components->at(0);
    EXPECT_EQ(tnpr.ident, (hw::Ident{0, 0, 0, 0}));
    MemoryInfo const& sizes = tnpr.mem_info;
    EXPECT_EQ(sizes, MemorySizerImpl().get_memory_info(chain["sr1"], tnpr, chain["in"], {}));
    size_t const payloads[] = {16, 2 * size_t{sizes.fsram_64b_size}, 2 * size_t{sizes.tsram_51b_size}};
    // Each memory's track holds what the sizer reported for the mapping.
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(tracks[i].size(), 2 + payloads[i]) << i;

    // On a device with hardware, a run programs exactly those bytes.
    auto const device = std::make_shared<nuvra::testing::FakeHostDevice>(hw::Wisp_Tolmar, hw::default_wisp_mesh());
    model.map(device);
    std::vector<uint8_t> const mapped(model.sequences().front()->program().begin(),
                                      model.sequences().front()->program().end());
    EXPECT_EQ(mapped, program);
    model.forward(Dense::create(TensorType::uint8, Shape{1, 1, 16, 4}, Layout::c_order));
    EXPECT_EQ(device->fake().loaded, program);
}

// Refused chains fail the mapping with the rule they break, before anything reads them, and
// leave no sequence.
TEST(WispEndToEnd, RefusedChainsFailWithTheirRule) {
    using testing::Chain;
    std::string const dead_end = "The layer's output reaches no later layer and is not the model's output.";
    struct Row { const char* name; std::function<void(Chain&)> build; std::string text; };
    Row const rows[] = {
        // Mended: such a width once stopped the sizing.
        {"4-bit input", [](Chain& c) { c = Chain(4, 4); c.sr("sr", "in"); },
         "Cannot map layer 'sr'. For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 4)."},
        {"a threshold of 2 values",
         [](Chain& c) {
             c.two_layers_and_post_processing();
             c["pp"]->variables().set("threshold", nuvra::testing::u16({2}, {5, 6}));
         },
         "Cannot map layer 'pp'. Variable 'threshold' has shape (2), but the layer needs shape (1), or any shape of 1 "
         "value."},
        {"an output projection transposed",
         [](Chain& c) {
             c.two_layers_and_post_processing();
             c["sr2"]->variables().set("out_proj", nuvra::testing::i8({4, 1}, {1, 1, 1, 1}));
         },
         "Cannot map layer 'sr2'. Variable 'out_proj' has shape (4, 1), but the layer needs shape (1, 4)."},
        // A layer whose output goes nowhere while the model goes on: the chain would follow it (or
        // lose its first layer to it) and compute something else than the model's output.
        {"the first outbound of the chain's first layer",
         [](Chain& c) { c.sr("sr1", "in").sr("dead", "sr1").sr("sr2", "sr1", {{"output_channels", 1}}).pp("sr2"); },
         "Cannot map layer 'dead'. " + dead_end},
        {"a second branch on the input",
         [](Chain& c) { c.sr("dead", "in").sr("sr1", "in").sr("sr2", "sr1", {{"output_channels", 1}}).pp("sr2"); },
         "Cannot map layer 'dead'. " + dead_end},
    };
    for (Row const& row : rows) {
        Chain chain;
        row.build(chain);
        Model& model = chain.m.model();
        EXPECT_EQ(nuvra::testing::error_text<std::runtime_error>([&] { model.map(testing::wisp_device()); }), row.text)
            << row.name;
        EXPECT_TRUE(model.sequences().empty()) << row.name;
    }
}

// Mended: a value that a later layer of the chain holds and the chain's words cannot was refused
// in the first layer's name. A subsample ratio is judged after every other value of the chain, so
// the first layer keeps its own refusal. Nothing stays mapped.
TEST(WispEndToEnd, AValueTheWordsCannotHoldIsRefusedInItsHoldersName) {
    using testing::Chain;
    std::string const ratio_0 = "Attempted to write value 4294967295 into a 2-bit field, which will cause an overflow.";
    // subsample: of the holder, 1 when not given; ratio_0: a layer before the holder given a subsample of 0.
    struct Row {
        char const* holder; char const* name; std::shared_ptr<Dense> value; std::string text; int subsample = 1;
        char const* ratio_0 = "";
    };
    Row const rows[] = {
        {"sr3", "output_shift", nuvra::testing::i8({127, 0, 0, 0}), "127 cannot fit in a 6-bit signed integer."},
        {"sr2", "bias_shift", nuvra::testing::u8({0, 40, 0, 0}), "40 cannot fit in a 5-bit unsigned integer."},
        {"pp", "input_shift", nuvra::testing::i8({127}), "127 cannot fit in a 6-bit signed integer."},
        {"sr3", nullptr, nullptr, ratio_0, 0},
        {"sr1", "output_shift", nuvra::testing::i8({127, 0, 0, 0}), "127 cannot fit in a 6-bit signed integer.", 0},
        {"sr3", "output_shift", nuvra::testing::i8({127, 0, 0, 0}), "127 cannot fit in a 6-bit signed integer.", 1,
         "sr2"},
    };
    for (Row const& row : rows) {
        Chain chain;
        auto const own = [&row](char const* name) {
            std::string const layer = name;
            return std::map<std::string, int>{
                {"subsample", layer == row.holder ? row.subsample : layer == row.ratio_0 ? 0 : 1}};
        };
        chain.sr("sr1", "in", own("sr1")).sr("sr2", "sr1", own("sr2")).sr("sr3", "sr2", own("sr3"));
        chain.sr("sr4", "sr3", {{"output_channels", 1}}).pp("sr4");
        if (row.name) chain[row.holder]->variables().assign(row.name, row.value);
        Model& model = chain.m.model();
        EXPECT_EQ(nuvra::testing::error_text<std::runtime_error>([&] { model.map(testing::wisp_device()); }),
                  std::string("Cannot map layer '") + row.holder + "'. Error: " + row.text);
        for (auto const& layer : model.layers()) EXPECT_EQ(layer->mapping(), nullptr) << row.holder;
    }
}

// A layer off the chain's path is judged on its own values too: here a Dequantizer between the
// first layer and the post-processing layer's second input.
TEST(WispEndToEnd, ALayerOffTheChainIsRefusedForItsOwnValues) {
    testing::Chain chain;
    chain.sr("sr1", "in").sr("sr2", "sr1", {{"output_channels", 1}});
    chain["sr2"]->variables().set("output_scales", nuvra::testing::u8({1}, {1}));
    chain.m.layer(LayerType::Dequantizer, "x", {}, {"sr1"});
    chain.m.layer(LayerType::WispPostProcessing, "pp", {}, {"sr2", "x"});
    chain["x"]->variables().set("scales", nuvra::testing::f32({7}, std::vector<float>(7, 1.0f)));
    std::string const text =
        nuvra::testing::error_text<std::runtime_error>([&] { chain.m.model().map(testing::wisp_device()); });
    EXPECT_NE(text.find("Layer 'x': Variable 'scales' has shape (7)"), std::string::npos) << text;
}

// The TNP-R applies no ReLU ceiling: with a ReLU, a chain maps only when every max_value element is
// 127 and every max_value_shift element 31 (each checked when written); without one, a ceiling is
// not read.
TEST(WispEndToEnd, AReluCeilingMapsOnlyAt127And31) {
    using Bytes = std::optional<std::vector<uint8_t>>;
    std::string const relu = "Cannot map layer 'sr1'. When activation is ReLU, all ";
    struct Row { int activation; Bytes max_value, max_value_shift; std::string text; };
    Row const rows[] = {
        {1, Bytes{{127, 127, 127, 127}}, Bytes{{31, 31, 31, 31}}, ""},
        {0, Bytes{{3, 0, 3, 0}}, Bytes{{1, 2, 3, 4}}, ""},
        {1, Bytes{{127, 127, 126, 127}}, Bytes{{31, 31, 31, 31}},
         relu + "max_value elements must be 127 (got 126 at index 2)."},
        {1, Bytes{{127, 127, 127, 127}}, Bytes{{31, 30, 31, 31}},
         relu + "max_value_shift elements must be 31 (got 30 at index 1)."},
        {1, Bytes{{0, 0, 0, 0}}, Bytes{{0, 0, 0, 0}},
         relu + "max_value elements must be 127 (got 0 at index 0). When activation is ReLU, all max_value_shift "
                "elements must be 31 (got 0 at index 0)."},
    };
    for (Row const& row : rows) {
        testing::Chain chain;
        chain.sr("sr1", "in", {{"activation", row.activation}}).sr("sr2", "sr1", {{"output_channels", 1}}).pp("sr2");
        Variables& variables = chain["sr1"]->variables();
        if (row.max_value) variables.assign("max_value", nuvra::testing::u8(*row.max_value));
        if (row.max_value_shift) variables.assign("max_value_shift", nuvra::testing::u8(*row.max_value_shift));
        Model& model = chain.m.model();
        EXPECT_EQ(nuvra::testing::error_text<std::runtime_error>([&] { model.map(testing::wisp_device()); }), row.text)
            << row.text;
        EXPECT_EQ(model.sequences().size(), row.text.empty() ? 1u : 0u) << row.text;
    }
}

}  // namespace
}  // namespace nuvra::wisp
