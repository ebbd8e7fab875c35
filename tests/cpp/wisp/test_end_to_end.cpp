// A TNP-R chain mapped through Model::map on a third-generation device, and run on hardware.
#include <gtest/gtest.h>

#include <functional>
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

// Mended: a first layer fed a width the TNP-R does not take fails the mapping with its rule.
TEST(WispEndToEnd, UnsupportedInputWidthFailsWithItsRule) {
    for (int bits : {4, 2, 12}) {
        testing::Chain chain(4, bits);
        chain.sr("sr", "in");
        EXPECT_EQ(nuvra::testing::error_text<std::runtime_error>([&] { chain.m.model().map(testing::wisp_device()); }),
                  "Cannot map layer 'sr'. For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( " +
                      std::to_string(bits) + ").")
            << bits;
    }
}

// The layers the chain takes along have their variables checked too, before anything reads them.
TEST(WispEndToEnd, VariablesThatDoNotFitAreRefused) {
    struct Row { char const* layer; char const* variable; std::shared_ptr<Dense> value; std::string message; };
    Row const rows[] = {
        {"pp", "threshold", nuvra::testing::u16({2}, {5, 6}),
         "Cannot map layer 'pp'. Variable 'threshold' has shape (2), but the layer needs shape (1), or any shape of 1 "
         "value."},
        {"sr2", "out_proj", nuvra::testing::i8({4, 1}, {1, 1, 1, 1}),
         "Cannot map layer 'sr2'. Variable 'out_proj' has shape (4, 1), but the layer needs shape (1, 4)."},
    };
    for (Row const& row : rows) {
        testing::Chain chain;
        chain.two_layers_and_post_processing();
        chain[row.layer]->variables().set(row.variable, row.value);
        EXPECT_EQ(nuvra::testing::error_text<std::runtime_error>([&] { chain.m.model().map(testing::wisp_device()); }),
                  row.message);
    }
}

// A recurrent layer whose output goes nowhere while the model goes on: the chain would follow it
// (or lose its first layer to it) and compute something else than the model's output.
TEST(WispEndToEnd, ALayerWhoseOutputGoesNowhereIsRefused) {
    std::string const dead_end = "The layer's output reaches no later layer and is not the model's output.";
    struct Row { const char* name; std::function<void(testing::Chain&)> build; std::string text; };
    Row const rows[] = {
        {"the first outbound of the chain's first layer",
         [](testing::Chain& c) {
             c.sr("sr1", "in").sr("dead", "sr1").sr("sr2", "sr1", {{"output_channels", 1}}).pp("sr2");
         },
         "Cannot map layer 'dead'. " + dead_end},
        {"a second branch on the input",
         [](testing::Chain& c) {
             c.sr("dead", "in").sr("sr1", "in").sr("sr2", "sr1", {{"output_channels", 1}}).pp("sr2");
         },
         "Cannot map layer 'dead'. " + dead_end},
    };
    for (Row const& row : rows) {
        testing::Chain chain;
        row.build(chain);
        Model& model = chain.m.model();
        EXPECT_EQ(nuvra::testing::error_text<std::runtime_error>([&] { model.map(testing::wisp_device()); }), row.text)
            << row.name;
        EXPECT_TRUE(model.sequences().empty()) << row.name;
    }
}

}  // namespace
}  // namespace nuvra::wisp
