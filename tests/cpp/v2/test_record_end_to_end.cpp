// A small model mapped through the registered hardware back end onto a virtual second-generation
// device: the program it produces, read back block by block.
#include <gtest/gtest.h>

#include "backends/v2/format_conv_weights.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/hardware_backend.h"
#include "support/fake_device.h"
#include "support/model_builder.h"
#include "v2/record_test_util.h"

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
            if (record->tracks() == nullptr) continue;
            for (auto const* track : *record->tracks()) {
                std::vector<uint32_t> const words(track->words()->begin(), track->words()->end());
                auto const decoded = decode_track(words);
                blocks.insert(blocks.end(), decoded.begin(), decoded.end());
            }
        }
    }
    return blocks;
}

struct ExpectedBlock {
    hw::Ident ident;
    int target;
    uint32_t address;
    size_t words;
};

TEST(RecordEndToEnd, InputConvReluConvOnOnePass) {
    register_mapping_backend();
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 4; ++col) nps.push_back({{col, 0, 0, 0}, {hw::Type::CNP1}, true});
    auto device = make_fake_device(hw::Tolmar_v2, fake_mesh(IpVersion::v2, nps));

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
    for (auto const& [name, index] : {std::pair{"c1", 4}, std::pair{"c2", 8}}) {
        auto const weights = model[name]->variables().get("weights")->ensure_dense();
        EXPECT_EQ(blocks[index].words, format_conv2d_cnp_weights(*weights, 0, 4, 8)) << name;
    }
}

}  // namespace
}  // namespace nuvra::v2
