// A model mapped onto a virtual second-generation device: the mapper, the program builder and the
// recorders fit together.
#include <gtest/gtest.h>

#include "backends/ip_version_backend.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "program/hrc_input.h"
#include "support/fake_device.h"
#include "support/model_builder.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::ModelBuilder;
using namespace nuvra::testing;

// The HRC, a depthwise convolution, the two buffered temporal kinds on TNP-Bs with their frame
// buffers, and a Dense1D on an FNP3 that reads a CNP's rows, on a device with the HRC, 16 NPs that
// can serve as CNP, FNP3 or TNP-B, and two skip-DMA engines of four channels.
TEST(RecordEndToEnd, EveryNpKindOnOnePass) {
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 4; ++col)
        for (uint8_t id = 0; id < 4; ++id)
            nps.push_back({{col, 0, id, 0}, {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3, hw::Type::TNP_B}, true});
    std::vector<np::Info> skip_dmas;
    for (uint8_t row = 0; row < 2; ++row)
        skip_dmas.push_back({{5, row, 0, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, true});
    auto const device = make_fake_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0},
                                                             np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps,
                                                             skip_dmas));
    // in (8 x 8 x 3) -> HRC 3 x 3 -> depthwise 3 x 3 -> BufferTempConv (FIFO 2) ->
    // DepthwiseBufferTempConv (FIFO 3) -> Conv2D 3 x 3 -> Dense1D, 8 filters each.
    ModelBuilder model;
    model.input("in", 3);
    model.layer(LayerType::InputConv2D, "ic", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}},
                {"in"});
    model.layer(LayerType::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"padding", 1}, {"activation", 1}}, {"ic"});
    model.layer(LayerType::BufferTempConv, "btc", {{"fifo_size", 2}, {"filters", 8}, {"activation", 1}}, {"dw"});
    model.layer(LayerType::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 3}, {"activation", 1}}, {"btc"});
    model.layer(LayerType::Conv2D, "c", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}},
                {"dbtc"});
    model.layer(LayerType::Dense1D, "fc", {{"units", 10}}, {"c"});
    for (auto const& layer : model.model().layers()) {  // every weight non-zero
        if (!layer->variables().has("weights")) continue;
        auto weights = layer->variables().get("weights");
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 5) - 2);
    }
    register_mapping_backend();
    model.model().map(device);
    ASSERT_EQ(model.model().sequences().size(), 1u);
    auto const records = pass_records(model.model().sequences().front()->program());

    // SCC, the input, then the six layers; the temporal layers' skip-DMA blocks (target 11) first.
    ASSERT_EQ(records.size(), 8u);
    std::vector<std::vector<int>> const targets{{8, 8, 8}, {}, {8, 8, 9, 8, 9, 8, 9, 8, 9, 8, 8, 8},
                                                {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 2, 6}};
    for (size_t i = 0; i < records.size(); ++i) {
        std::vector<int> np_targets = targets_of(records[i]);
        size_t skip = 0;
        while (skip < np_targets.size() && np_targets[skip] == int(dma::Target::SkipDma)) ++skip;
        EXPECT_EQ(skip > 0, i == 4 || i == 5) << i;
        EXPECT_EQ(std::vector<int>(np_targets.begin() + long(skip), np_targets.end()), targets[i]) << i;
    }
    // The Conv2D's NP sends to the Dense1D's NP, wherever the mapper put it.
    std::vector<uint32_t> const& regs = records[6][records[6].size() - 4].words;
    uint32_t const fc_col = records[7][0].header.ident.col;
    EXPECT_EQ(field_of(regs[45], 0, 16), fc_col << 8 | fc_col);
    // The HRC's weight planes (the recorder tests use zero weights).
    auto const planes = format_hrc_weights(*model["ic"]->variables().get("weights")->ensure_dense());
    for (size_t plane = 0; plane < 3; ++plane) EXPECT_EQ(records[2][2 + 2 * plane].words, planes[plane]) << plane;
}

}  // namespace
}  // namespace nuvra::v2
