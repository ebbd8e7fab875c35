// A small model mapped through the registered hardware back end onto a virtual second-generation
// device: the program it produces, read back block by block.
#include <gtest/gtest.h>

#include "backends/ip_version_backend.h"
#include "backends/v2/format_conv_weights.h"
#include "backends/v2/format_dwconv_weights.h"
#include "backends/v2/format_fnp.h"
#include "backends/v2/format_tnp_b_weights.h"
#include "backends/v2/format_variables.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/hardware_backend.h"
#include "program/hrc_input.h"
#include "support/fake_device.h"
#include "support/model_builder.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::ModelBuilder;
using namespace nuvra::v2::testing;

// Every block of every record of every pass of a program, in program order.
std::vector<DecodedBlock> program_blocks(std::span<const uint8_t> program) {
    ProgramInfo const info(program.data(), program.size());
    std::vector<DecodedBlock> blocks;
    auto const* passes = info.data().passes();
    if (passes == nullptr) return blocks;
    for (auto const* pass : *passes) {
        if (pass->records() == nullptr) continue;
        for (auto const* record : *pass->records()) {
            auto const decoded = decode_blocks(*record);
            blocks.insert(blocks.end(), decoded.begin(), decoded.end());
        }
    }
    return blocks;
}

// The blocks of each record of the first pass of the model's only program, in program order.
std::vector<std::vector<DecodedBlock>> pass_records(Model& model) {
    EXPECT_EQ(model.sequences().size(), 1u);
    return v2::testing::pass_records(model.sequences().front()->program());
}

// A virtual device with the HRC, 16 NPs that can serve as CNP, FNP3 or TNP-B, and two skip-DMA
// engines of four channels.
std::shared_ptr<FakeDevice> versatile_device() {
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 4; ++col)
        for (uint8_t id = 0; id < 4; ++id)
            nps.push_back({{col, 0, id, 0}, {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3, hw::Type::TNP_B}, true});
    std::vector<np::Info> skip_dmas;
    for (uint8_t row = 0; row < 2; ++row)
        skip_dmas.push_back({{5, row, 0, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, true});
    return make_fake_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0},
                                                np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps, skip_dmas));
}

// Non-zero weights for every layer that has weights.
void fill_weights(Model& model) {
    for (auto const& layer : model.layers()) {
        if (!layer->variables().has("weights")) continue;
        auto weights = layer->variables().get("weights");
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 5) - 2);
    }
}

Dense const& var(ModelBuilder const& model, const char* layer, const char* name) {
    return *model[layer]->variables().get(name)->ensure_dense();
}

// The targets of the blocks of one record, its skip-DMA blocks (target 11) left out.
std::vector<int> np_targets(std::vector<DecodedBlock> const& blocks) {
    std::vector<int> targets;
    for (int target : targets_of(blocks))
        if (target != int(dma::Target::SkipDma)) targets.push_back(target);
    return targets;
}

struct ExpectedBlock {
    hw::Ident ident;
    int target;
    uint32_t address;
    size_t words;
};

TEST(RecordEndToEnd, InputConvReluConvOnOnePass) {
    register_mapping_backend();
    auto device = make_fake_device(hw::Tolmar_v2, fake_nps(hw::Type::CNP1, 4));

    // in (8 x 8 x 4) -> c1 (3 x 3, 4 filters, ReLU) -> c2 (3 x 3, 4 filters).
    ModelBuilder model;
    model.input("in");
    model.layer(LayerType::Conv2D, "c1", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 1}},
                {"in"});
    model.layer(LayerType::Conv2D, "c2", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {"c1"});
    for (const char* name : {"c1", "c2"}) {
        auto weights = model[name]->variables().get("weights");
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 5) - 2);
    }

    model.model().map(device);
    ASSERT_EQ(model.model().sequences().size(), 1u);
    auto const blocks = program_blocks(model.model().sequences().front()->program());

    // The system configuration, then per layer its NP: registers, 8-bit 3 x 3 weights of 4 filters
    // over 4 channels (6 x 4 100-bit words of 3 words), 4 input shifts, 4 x 2 variable words.
    hw::Ident const scc{0, 0, 0, 0}, np1{1, 0, 0, 0}, np2{2, 0, 0, 0};
    std::vector<ExpectedBlock> const expected{
        {scc, 8, 0x4, 1}, {scc, 8, 0x40, 1}, {scc, 8, 0x44, 1},
        {np1, 7, 0, 64},  {np1, 1, 0, 72},   {np1, 2, 0, 2},   {np1, 5, 0, 8},
        {np2, 7, 0, 64},  {np2, 1, 0, 72},   {np2, 2, 0, 2},   {np2, 5, 0, 8},
    };
    ASSERT_EQ(blocks.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(blocks[i].header.ident, expected[i].ident);
        EXPECT_EQ(static_cast<int>(blocks[i].header.target), expected[i].target);
        EXPECT_EQ(blocks[i].header.address, expected[i].address);
        EXPECT_EQ(blocks[i].words.size(), expected[i].words);
    }

    // The register images: the layers' places in the pass, one NP each, ReLU on c1 only; c1 sends
    // to c2's NP in column 2, c2 to the pass's output.
    std::vector<uint32_t> const& r1 = blocks[3].words;
    std::vector<uint32_t> const& r2 = blocks[7].words;
    EXPECT_EQ(field_of(r1[3], 16, 8), 1u);
    EXPECT_EQ(field_of(r1[3], 15, 1), 1u);
    EXPECT_EQ(field_of(r2[3], 15, 1), 0u);
    EXPECT_NE(field_of(r1[3], 24, 8), field_of(r2[3], 24, 8));
    EXPECT_EQ(field_of(r1[45], 0, 16), 0x0202u);
    EXPECT_EQ(field_of(r1[21], 0, 11), 4u);
    EXPECT_EQ(field_of(r1[20], 28, 3), 3u);

    // The weight blocks carry each layer's own weights.
    for (auto const& [name, index] : {std::pair{"c1", size_t{4}}, std::pair{"c2", size_t{8}}}) {
        auto const weights = model[name]->variables().get("weights")->ensure_dense();
        EXPECT_EQ(blocks[index].words, format_conv2d_cnp_weights(*weights, 0, 4, 8)) << name;
    }
}

TEST(RecordEndToEnd, HrcDepthwiseConvAndDense) {
    register_mapping_backend();
    // in (8 x 8 x 3) -> HRC 3 x 3 -> depthwise 3 x 3 -> Conv2D 3 x 3 -> Dense1D, 8 filters each.
    ModelBuilder model;
    model.input("in", 3);
    model.layer(LayerType::InputConv2D, "ic", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}},
                {"in"});
    model.layer(LayerType::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"padding", 1}, {"activation", 1}}, {"ic"});
    model.layer(LayerType::Conv2D, "c", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}}, {"dw"});
    model.layer(LayerType::Dense1D, "fc", {{"units", 10}}, {"c"});
    fill_weights(model.model());
    model.model().map(versatile_device());

    auto const records = pass_records(model.model());
    ASSERT_EQ(records.size(), 6u);  // SCC, the input, then the four layers
    std::vector<std::vector<int>> const targets{
        {8, 8, 8}, {}, {8, 8, 9, 8, 9, 8, 9, 8, 9, 8, 8, 8}, {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 2, 6}};
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(targets_of(records[i]), targets[i]) << i;

    auto const planes = format_hrc_weights(var(model, "ic", "weights"));
    for (size_t plane = 0; plane < 3; ++plane) EXPECT_EQ(records[2][2 + 2 * plane].words, planes[plane]) << plane;
    EXPECT_EQ(records[3][1].words, format_depthwise_conv_cnp_weights(var(model, "dw", "weights"), 0, 8, 8));
    EXPECT_EQ(records[3][0].words[3] & 0x404, 0x4u);  // depthwise, every channel on the NP
    Layer const& fc = *model["fc"];
    InputPadding const padding = get_fnp_supported_padding(fc, false);
    EXPECT_EQ(padding, InputPadding::RowWordPadded);  // 8-bit rows from a CNP
    EXPECT_EQ(records[5][2].words, format_fnp_ram(fc, false, padding, 8, 8));
}

TEST(RecordEndToEnd, BothTemporalKindsOnTnpBs) {
    register_mapping_backend();
    // in (8 x 8 x 4) -> Conv2D -> BufferTempConv (FIFO 2) -> DepthwiseBufferTempConv (FIFO 3)
    // -> DepthwiseConv2DTranspose.
    ModelBuilder model;
    model.input("in", 4);
    model.layer(LayerType::Conv2D, "c", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}}, {"in"});
    model.layer(LayerType::BufferTempConv, "btc", {{"fifo_size", 2}, {"filters", 8}, {"activation", 1}}, {"c"});
    model.layer(LayerType::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 3}, {"activation", 1}}, {"btc"});
    model.layer(LayerType::DepthwiseConv2DTranspose, "dwt", {{"kernel_size", 3}, {"activation", 1}}, {"dbtc"});
    fill_weights(model.model());
    model.model().map(versatile_device());

    auto const records = pass_records(model.model());
    ASSERT_EQ(records.size(), 6u);
    std::vector<int> const np_blocks{7, 1, 2, 5};
    for (size_t i = 2; i < records.size(); ++i) EXPECT_EQ(np_targets(records[i]), np_blocks) << i;
    // The temporal layers' frame-buffer skip DMAs come first.
    for (size_t i : {size_t{3}, size_t{4}}) {
        EXPECT_EQ(records[i].front().header.target, dma::Target::SkipDma) << i;
        auto const& np = records[i][records[i].size() - 4];
        EXPECT_EQ(field_of(np.words[1], 28, 1), 1u) << i;  // a TNP-B
    }
    auto const tail = [&](size_t i, size_t from_end) { return records[i][records[i].size() - from_end].words; };
    EXPECT_EQ(tail(3, 3), format_tnp_b_buffer_temp_conv_weights(var(model, "btc", "weights"), 2, 0, 8));
    EXPECT_EQ(tail(4, 3), format_tnp_b_depthwise_buffer_temp_conv_weights(var(model, "dbtc", "weights"), 0, 8));
    EXPECT_EQ(tail(4, 2), format_input_shift(var(model, "dbtc", "input_shift"), 0, 8));
    EXPECT_EQ(field_of(records[5][0].words[11], 12, 18), 8u);  // 8-bit weight words of the transposed kind
}

}  // namespace
}  // namespace nuvra::v2
