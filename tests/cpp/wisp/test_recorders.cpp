// The third-generation recorders: the TNP-R program of a chain, other layers and IO.
#include <gtest/gtest.h>

#include "backends/wisp/chain.h"
#include "backends/wisp/recorders.h"
#include "backends/wisp/tnpr_program.h"
#include "engine/dma.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/field_table.h"
#include "wisp/chain_fixture.h"

namespace nuvra::wisp {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::image_fields;
using testing::Chain;
using Words = std::vector<uint32_t>;

constexpr hw::Ident tnpr{0, 0, 0, 0};

struct Recorders {
    std::shared_ptr<FakeDevice> device = testing::wisp_device();
    HardwareConstraints hardware;
    LayerRecorderImpl layer{*device, hardware};
    IoRecorderImpl io{*device};

    std::unique_ptr<program::Record> record(Layer const& l) const {
        return layer.record_layer({.layer = l, .sequence_first = l, .skipped_nps = {}});
    }
    // The words of each single-block track, after checking its header.
    std::vector<Words> blocks(Layer const& first) const {
        std::vector<Words> result;
        auto const record = record_program_tnpr_layers(*device, first);
        EXPECT_EQ(record->hw_version, hw::Wisp_Tolmar);
        for (auto const& track : record->tracks) {
            auto const target = dma::Target(13 + result.size());
            EXPECT_EQ(dma::parse_config_header(track.words().data()), (dma::ConfigHeader{tnpr, target, 0, 0, false}));
            result.emplace_back(track.words().begin() + dma::header_words, track.words().end());
        }
        return result;
    }
};

TEST(WispRegisters, FieldTable) {
    std::vector<std::pair<std::string_view, size_t>> const images = {
        {"tnpr", tnpr_register_words}, {"tsram_state_update", sram_word_words},
        {"tsram_output", sram_word_words}, {"tsram_input_shift", sram_word_words}};
    EXPECT_EQ(nuvra::testing::fields_outside_images(field_table, images), std::vector<std::string>{});
    // The post-processing output word keeps its threshold where an output word has its bias.
    EXPECT_EQ(nuvra::testing::unintended_overlaps(field_table, {{"PP_THRESHOLD_LOW", "OUT_BIAS"},
                                                               {"PP_THRESHOLD_LOW", "OUT_BIAS_SHIFT_LOW"},
                                                               {"PP_THRESHOLD_HIGH", "OUT_BIAS_SHIFT_HIGH"}}),
              std::vector<std::string>{});
}

TEST(WispRecorder, TwoRecurrentLayersAndPostProcessing) {
    Chain chain;
    chain.two_layers_and_post_processing().map_on("sr1", tnpr);
    chain["pp"]->variables().set("input_scales", nuvra::testing::u8({1}, {9}));
    chain["pp"]->variables().set("threshold", nuvra::testing::u16({1}, {0x1234}));
    auto const blocks = Recorders().blocks(*chain["sr1"]);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_SAME_IMAGE(blocks[0],
                      (Words{
                          2 | 1u << 17 | 1u << 18 | 1u << 20,  // n = 3, post-processed 16-bit output
                          1 | 16u << 8,                        // one word per input row, 16 timesteps
                          0, 14 | 8u << 16,                    // output words from 8, input shifts from 14
                          8,                                   // post-processing state after 2 x 4 words
                          0, 4,                                // subsamples 1, 4 states
                          4 | 1u << 9, 1, 0, 0,                // output channels 4, 1, 1
                          4 | 4u << 9, 1, 0, 0,                // input channels 4, 4, 1
                          0b100 | 0b110u << 8,
                      }),
                      image_fields(field_table, "tnpr"));
    EXPECT_EQ(blocks[1].size(), 2u * (4 + 4 + 4 + 1));  // 4x4 and 4x4, then 4x4 and 1x4 weights
    // TSRAM: 8 state words; output words 4 + 1 + 1; input-shift words 1 + 1 + 1.
    Words const& tsram = blocks[2];
    ASSERT_EQ(tsram.size(), 2u * 17);
    EXPECT_EQ(tsram[2 * 12], 9u);  // sr2 is scaled as the post-processing layer takes its inputs
    EXPECT_SAME_IMAGE(Words(tsram.begin() + 2 * 13, tsram.begin() + 2 * 14),
                      (Words{1 | 0x3Cu << 16 | 0x1234u << 22, 0x1234u >> 10}),
                      image_fields(field_table, "tsram_output"));
    EXPECT_EQ(Words(tsram.end() - 2, tsram.end()), (Words{0, 0}));
}

TEST(WispRecorder, OneLayerAndRegisterLimits) {
    Chain chain;
    chain.sr("sr1", "in", {{"subsample", 3}}).map_on("sr1", tnpr);
    Words const regs = Recorders().blocks(*chain["sr1"]).at(0);
    EXPECT_EQ(regs[0] & 0x7, 0u);
    EXPECT_EQ(regs[5], 2u);  // subsample[0] - 1 only
    EXPECT_EQ(regs[15] & 0xFFFF, 0u);
    // The chain's program does not read the NPs a pass leaves out.
    Recorders const r;
    Layer const& sr1 = *chain["sr1"];
    auto const listed = r.layer.record_layer({.layer = sr1, .sequence_first = sr1, .skipped_nps = {tnpr}});
    auto const plain = r.record(sr1);
    ASSERT_EQ(listed->tracks.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(listed->tracks[i].words(), plain->tracks[i].words()) << i;

    // Mended: the row and its rounding are counted in 64 bits, where 32 bits would wrap.
    for (auto const& [b, c, words] :
         {std::tuple{8u, 4u, 1ull}, {8u, 5u, 2ull}, {16u, 8u, 4ull}, {16u, 9u, 8ull}, {32u, 0xFFFFFFFFu, 1ull << 32}})
        EXPECT_EQ(input_row_words(b, c), words) << b << " bits, " << c << " channels";

    struct Row { uint32_t layers, subsample, channels; std::string message; };
    Row const rows[] = {
        {9, 1, 1, "Attempted to write value 8 into a 3-bit field, which will cause an overflow."},
        {1, 5, 1, "Attempted to write value 4 into a 2-bit field, which will cause an overflow."},
        {1, 1, 512, "Attempted to write value 512 into a 9-bit field, which will cause an overflow."},
    };
    for (auto const& row : rows) {
        TnprConfig config{.num_layers = row.layers};
        config.subsample.fill(row.subsample);
        config.input_channels[7] = row.channels;
        EXPECT_EQ(error_text<std::runtime_error>([&] { format_tnpr_registers(config); }), row.message);
    }
}

TEST(WispRecorder, OtherLayersLearningAndIo) {
    Recorders const r;
    Chain chain;
    chain.two_layers_and_post_processing();
    chain.m.layer(LayerType::Dequantizer, "deq", {}, {"in"});
    chain.m.layer(LayerType::Quantizer, "q", {}, {"in"});
    chain.m.conv("conv", "in");
    for (auto const* name : {"in", "deq", "q"}) {
        auto const record = r.record(*chain[name]);
        EXPECT_TRUE(record->tracks.empty()) << name;
        EXPECT_EQ(record->hw_version, hw::Wisp_Tolmar) << name;
    }
    std::pair<std::function<void()>, std::string> const refused[] = {
        {[&] { r.record(*chain["pp"]); }, "Unsupported layer type on wisp: 28."},
        {[&] { r.record(*chain["conv"]); }, "Unsupported layer type on wisp: 14."},
        {[&] { r.layer.record_learning_layer(*chain["sr1"], true); }, "Learning not implemented on wisp."},
        {[&] { r.layer.sync_learning_vars(chain["sr1"]); }, "Learning not implemented on wisp."},
        {[&] { r.record(*chain["sr1"]); }, "The layer sr1 has no mapped TNP-R component."},
    };
    for (auto const& [call, message] : refused) EXPECT_EQ(error_text<std::exception>(call), message);
    // A mapping that lists no component: out of range, as the component list is read past its end.
    auto const no_component = std::make_shared<Layer::Mapping>();
    no_component->components = std::make_shared<std::vector<hw::Component>>();
    set_layer_mapping(*chain["sr1"], no_component);
    EXPECT_EQ(error_text<std::out_of_range>([&] { r.record(*chain["sr1"]); }),
              "The layer sr1 has no mapped TNP-R component.");

    EXPECT_TRUE(r.io.record_scc({true, true, true, true, true}, Shape{1, 2, 3}, Shape{4, 5, 6})->tracks.empty());
    EXPECT_TRUE(r.io.record_epg({*chain["sr1"], 1, 2, 3, true, true, true}).empty());
    EXPECT_EQ(r.io.get_input_type(*chain["sr1"]) + r.io.get_output_type(*chain["sr1"], 3), 0);
}

// Mended: a ninth chain position is refused before any per-layer entry is written.
TEST(WispRecorder, NinthChainPositionIsRefused) {
    for (bool post_processing : {false, true}) {
        Chain chain;
        chain.sr("sr1", "in");
        int const layers = post_processing ? 8 : 9;
        for (int i = 2; i <= layers; ++i) chain.sr("sr" + std::to_string(i), "sr" + std::to_string(i - 1));
        if (post_processing) chain.pp("sr8");
        chain.map_on("sr1", tnpr);
        EXPECT_EQ(error_text<std::out_of_range>([&] { Recorders().record(*chain["sr1"]); }),
                  "A TNP-R chain holds at most 8 layers.")
            << post_processing;
    }
}

}  // namespace
}  // namespace nuvra::wisp
