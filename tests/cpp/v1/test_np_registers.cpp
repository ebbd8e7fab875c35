// The first-generation NP register image: defaults, mesh routing, DMA and learning words.
#include <gtest/gtest.h>

#include <cmath>

#include "backends/v1/cnp_registers.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/registers.h"
#include "support/error_text.h"
#include "support/field_table.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::field_of;
using nuvra::testing::make_component;
using nuvra::testing::overflow;

using Components = std::vector<hw::Component>;

std::vector<NamedField> np_fields() { return nuvra::testing::image_fields(field_table, "np"); }

hw::Component np(uint8_t col, uint8_t row = 0, uint8_t id = 0, hw::Type type = hw::Type::CNP1) {
    return make_component(type, {col, row, id, 0});
}

TEST(V1NpRegisters, DefaultsAndSmallWriters) {
    auto regs = default_np_regs();
    ASSERT_EQ(regs.size(), 50u);
    EXPECT_EQ(std::count(regs.begin(), regs.end(), 0u), 46);
    EXPECT_EQ(regs[6], 0x04040000u);
    EXPECT_EQ(regs[12], 0x52000000u);
    EXPECT_EQ(regs[13], 0x10u);
    EXPECT_EQ(regs[37], 0xFF000000u);

    set_ib_spikes(&regs);
    EXPECT_EQ(regs[2], 0x80u);
    format_mesh_cfg_dma_reg(&regs, {0x12, 0x34, 3, 0});
    EXPECT_EQ(regs[49], 0x00081234u);  // row, column, one-hot id
    regs[49] = 0xFFF00000;
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_mesh_cfg_dma_reg(&regs, {1, 2, 4, 0}); }), overflow(16, 4));
    EXPECT_EQ(regs[49], 0xFFF00000u);
    format_learning_cnp_regs(&regs, 0xFFFF, 0xFFF);
    EXPECT_EQ(regs[39], 0xFFFFu);
    EXPECT_EQ(regs[41], 0xFFFu);
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_learning_cnp_regs(&regs, 1, 0x1000); }), overflow(4096, 12));

    std::vector<uint32_t> short_image(49, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { set_ib_spikes(&short_image); }),
              "An NP register image must hold 50 words.");
    // The CNP words once named the two sizes the other way round.
    EXPECT_EQ(error_text<std::invalid_argument>([&] {
                  format_cnp_pooling_registers(short_image, Shape{8, 8, 4}, NpSpace{}, {});
              }), "An NP register image must hold 50 words.");
}

TEST(V1NpRegisters, MeshRouting) {
    struct { char const* what; Components a, b, c; uint8_t code; bool p2p_a, p2p_c, ends_pass;
             uint32_t w44, w45, w46, w47; } const rows[] = {
        // Spans: sources 1-2, layer 3-4, destinations 5-7.
        {"spans, linked", {np(2), np(1)}, {np(3), np(4)}, {np(7), np(5)}, 4, false, false, false,
         0xFF080000, 0x04000705, 0x0201, 0x0703},
        // The input link index 0xFF: word 44 says there is no link; word 45 still carries it.
        {"no link", {np(1)}, {np(3)}, {np(5)}, 0xFF, false, false, true, 0x06080004, 0xFF000505, 0x0101, 0x0503},
        {"point to point", {np(2, 6, 1)}, {np(3)}, {np(5, 7, 3)}, 1, true, true, false,
         0xFF080001, 0x01800507, 0x00200206, 0x0503},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto regs = default_np_regs();
        regs[44] = 0x0000FFF8;  // bits 3-15 are kept
        regs[46] = 0xC0000000;  // bits 30 and 31 are cleared
        regs[47] = 0xFFFF0000;  // written whole
        format_mesh_registers_set_output_to_NPs(&regs, {.sources = row.a, .layer_nps = row.b, .destinations = row.c,
                                                        .link_index = row.code, .p2p_in = row.p2p_a,
                                                        .p2p_out = row.p2p_c, .ends_pass = row.ends_pass});
        EXPECT_EQ(regs[44], row.w44 | 0xFFF8);
        EXPECT_EQ(regs[45], row.w45);
        EXPECT_EQ(regs[46], row.w46);
        EXPECT_EQ(regs[47], row.w47);
    }
}

TEST(V1NpRegisters, PointToPointSourceSelectGoesLast) {
    // The source's row and column come before its one-hot select: a select that does not fit (id
    // 4) leaves them written. The second generation writes the select first.
    struct { char const* what; hw::Component source; std::string message; uint32_t w46_low; } const rows[] = {
        {"id 4 fails after row 6, column 5", np(5, 6, 4), overflow(16, 4), 0x0506},
        {"id 3 fits", np(5, 6, 3), "", 0x0506},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto regs = default_np_regs();
        Components const sources{row.source}, layer{np(3)}, destinations{np(7)};
        auto const route = [&] {
            format_mesh_registers_set_output_to_NPs(&regs, {.sources = sources, .layer_nps = layer,
                                                            .destinations = destinations, .link_index = 1,
                                                            .p2p_in = true});
        };
        if (row.message.empty()) {
            route();
            EXPECT_EQ(field_of(regs[46], 20, 4), 8u);
        } else {
            EXPECT_EQ(error_text<std::runtime_error>(route), row.message);
        }
        EXPECT_EQ(regs[46] & 0xFFFF, row.w46_low);
    }
}

TEST(V1Registers, FieldTable) {
    std::vector<std::pair<std::string_view, size_t>> const images = {
        {"np", NP_REGISTER_WORDS},   {"hrc", HRC_REGISTER_WORDS},       {"hrc_sram_select", 1}, {"hrc_threshold", 2},
        {"neuron", NEURON_RECORD_WORDS}, {"scc", SCC_REGISTER_WORDS}, {"epg", EPG_REGISTER_WORDS},
    };
    EXPECT_EQ(nuvra::testing::fields_outside_images(field_table, images), std::vector<std::string>{});
    // Word 11 and word 35 hold a CNP layout or an FNP one.
    EXPECT_EQ(nuvra::testing::unintended_overlaps(field_table, {{"CONTAINER_CHCONT_SIZE", "CONTAINER_CH_SIZE"},
                                                               {"PR_INPUT_ROW_WORDS", "PR_CH_SIZE"},
                                                               {"PR_INPUT_ROW_CONTAINER", "PR_CH_SIZE"}}),
              std::vector<std::string>{});
}

TEST(V1NpRegisters, MeshRoutingFailures) {
    Components const one{np(1)}, two{np(1), np(2)};
    struct { char const* what; Components a, b, c; bool p2p_a, p2p_c; std::string message; } const rows[] = {
        {"P2P out to two", one, one, two, false, true, "Cannot use P2P mode for multiple NPs."},
        // Empty lists were read for their columns: refused before anything is written.
        {"no source", {}, one, one, false, false, "Cannot route an NP without sources."},
        {"no layer NP", one, {}, one, false, false, "Cannot route an NP without layer components."},
        {"no destination", one, one, {}, false, false, "Cannot route an NP without destinations."},
    };
    for (auto const& row : rows) {
        auto regs = default_np_regs();
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      format_mesh_registers_set_output_to_NPs(&regs, {.sources = row.a, .layer_nps = row.b,
                                                                      .destinations = row.c, .link_index = 0,
                                                                      .p2p_in = row.p2p_a, .p2p_out = row.p2p_c});
                  }), row.message) << row.what;
        if (row.message.starts_with("Cannot route")) {
            EXPECT_SAME_IMAGE(regs, default_np_regs(), np_fields()) << row.what;
        }
    }
}

TEST(V1NpRegisters, LearningWords) {
    auto learning = [](double n, double p0, double lc, double pmin, double pd) {
        return LearningParams::create(LearningType::NuvraUnsupervised,
                                      {{"num_weights", n}, {"initial_plasticity", p0}, {"learning_competition", lc},
                                       {"min_plasticity", pmin}, {"plasticity_decay", pd}});
    };
    auto regs = default_np_regs();
    regs[36] = 0x10000000;
    format_learning_common_regs(&regs, nullptr);
    EXPECT_SAME_IMAGE(regs, default_np_regs(), np_fields());  // only the enable bit changes

    // round(7.5) = 8, ceil(1.5) = 2, ceil(round(5) x 0.3) = 2.
    format_learning_common_regs(&regs, learning(10, 0.5, 0.25, 0.15, 0.3).get());
    EXPECT_EQ(regs[36], 0x10000008u);
    EXPECT_EQ(regs[37], 0xFF000002u);
    EXPECT_EQ(regs[38], 2u);

    // Values that once went to an integer by truncation: refused with the field they were meant for.
    struct { char const* what; double n, p0, lc, pmin, pd; std::string message; } const rows[] = {
        {"competition above 1", 10, 0.5, 1.5, 0.1, 0.1, "Attempted to write value -5 into a 20-bit field, which will cause an overflow."},
        {"not a number", NAN, 0.5, 0.5, 0.1, 0.1, "Attempted to write value nan into a 20-bit field, which will cause an overflow."},
        {"min plasticity too wide", 1e6, 0, 1, 1, 0, overflow(1000000, 16)},
        {"plasticity past 32 bits", 1e10, 1, 1, 0, 0, overflow(10000000000, 32)},
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      format_learning_common_regs(&regs, learning(row.n, row.p0, row.lc, row.pmin, row.pd).get());
                  }), row.message) << row.what;
}

TEST(V1NpRegisters, PartialReconfiguration) {
    // The linked layer: a 3 x 3 convolution of 4-bit 16 x 16 x 4 inputs on one CNP, or a
    // FullyConnected layer of 2-bit 4 x 4 x 2 inputs on an FNP3; the last of its pass (link 0xFF).
    auto const conv = nuvra::testing::map_v1_cnp_layer(
        LayerType::Convolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}, {"padding", 1}},
        {16, 16, 4, 4});
    auto const dense = nuvra::testing::map_v1_fnp_layer({{"units", 10}}, {4, 4, 2, 2});
    struct { char const* what; nuvra::testing::V1MappedLayer const& linked; uint32_t word1, w32, w34, w35, buffer; } const rows[] = {
        // The cut and its containers of 4 channels of 4 bits; 32 words of input either way.
        {"CNP", conv, 0, 0xFF000025, 0x00100010, 0x00020002, 32},
        {"FNP", dense, 0x10, 0xFF000017, 0x00040004, 16, 1},
        // The NP runs a CNP layer: its FNP input buffer keeps 9473 words.
        {"FNP beside a CNP layer", dense, 0, 0xFF000017, 0x00040004, 16, 9473},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto regs = default_np_regs();
        regs[1] = row.word1;
        update_partial_reconfig_regs(&regs, row.linked.layer(), row.linked.components()[0]);
        EXPECT_EQ(regs[32], row.w32);
        EXPECT_EQ(regs[33], 0u);
        EXPECT_EQ(regs[34], row.w34);
        EXPECT_EQ(regs[35], row.w35);
        EXPECT_EQ(regs[4], row.buffer);
        EXPECT_EQ(regs[14], row.buffer);
    }

    auto regs = default_np_regs();
    auto const wide = nuvra::testing::map_v1_fnp_layer({{"units", 10}}, {4, 4, 2, 8});
    EXPECT_EQ(error_text<std::runtime_error>([&] { update_partial_reconfig_regs(&regs, wide.layer(), wide.components()[0]); }),
              overflow(4, 2));
}

}  // namespace
}  // namespace nuvra::v1
