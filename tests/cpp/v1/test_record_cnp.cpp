// Convolutional and SeparableConvolutional programs on first-generation CNPs, recorded for layers
// that the splitters cut with the first-generation checker: the blocks of each NP, the words the
// layer kinds set, thresholds and steps, and the failures.
#include <gtest/gtest.h>

#include "backends/v1/record_conv.h"
#include "backends/v1/record_sep_conv.h"
#include "backends/v1/registers.h"
#include "support/error_text.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"
#include "support/variable_fill.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::InputSpec;
using nuvra::testing::V1MappedLayer;
using namespace nuvra::v2::testing;
using nuvra::testing::fill_variable;
using nuvra::testing::with;
using Params = std::map<std::string, int>;

// A 3 x 3 Convolutional layer of 24 filters over a 16 x 16 x 4 input of 4 bits; the changes
// override the parameters. Split into NPs of at most `max_filters` filters.
V1MappedLayer conv(Params const& changes = {}, uint32_t max_filters = 8, InputSpec input = {16, 16, 4, 4}) {
    Params const params{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 24}, {"padding", 1},
                        {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}};
    return nuvra::testing::map_v1_cnp_layer(LayerType::Convolutional, with(params, changes), input, 32, max_filters);
}

V1MappedLayer sep_conv(Params const& changes = {}, uint32_t max_filters = 512, uint32_t channels = 4) {
    Params const params{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 64}, {"padding", 1},
                        {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}};
    return nuvra::testing::map_v1_cnp_layer(LayerType::SeparableConvolutional, with(params, changes),
                                            {8, 8, channels, 4}, 32, max_filters);
}

std::vector<DecodedBlock> record_conv(V1MappedLayer const& m, bool registers_only = false,
                                      std::vector<hw::Ident> const& skipped = {}) {
    return decode_blocks(*record_program_conv_layer(*m.device, m.layer(), nullptr, false, false, skipped, registers_only));
}

std::vector<uint32_t> conv_regs(V1MappedLayer const& m, size_t np = 0) {
    return format_conv_np_registers(m.layer(), nullptr, false, false, {}).at(m.components().at(np).ident);
}

TEST(V1RecordConv, ThreeNpsInMappingOrder) {
    auto const m = conv();
    ASSERT_EQ(m.components().size(), 3u);
    auto const blocks = record_conv(m);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 0, 4, 7, 0, 4, 7, 0, 4}));
    // 2-bit weights of 8 filters of 3 x 3 over 4 channels: 16 words per channel.
    for (size_t np = 0; np < 3; ++np) {
        SCOPED_TRACE(np);
        hw::Component const& c = m.components()[np];
        for (size_t b = 3 * np; b < 3 * np + 3; ++b) {
            EXPECT_EQ(blocks[b].header.ident, c.ident);
            EXPECT_EQ(blocks[b].header.address, 0u);
        }
        EXPECT_EQ(blocks[3 * np].words.size(), 50u);
        EXPECT_EQ(blocks[3 * np].words, conv_regs(m, np));
        EXPECT_EQ(blocks[3 * np + 1].words.size(), 64u);
        EXPECT_EQ(blocks[3 * np + 2].words.size(), 2u * c.filters());
        // Word 11 counts the weight words of one channel in fours.
        EXPECT_EQ(field_of(blocks[3 * np].words[11], 12, 10), 64u / 4 / 4);
        EXPECT_EQ(field_of(blocks[3 * np].words[26], 0, 11), c.start_neuron());
        EXPECT_EQ(field_of(blocks[3 * np].words[3], 16, 8), 3u);  // NPs of the layer
    }

    EXPECT_EQ(targets_of(record_conv(m, true)), (std::vector<int>{7, 7, 7}));
    // A skipped NP keeps all three blocks, its register block empty.
    auto const skipped = record_conv(m, false, {m.components()[1].ident});
    ASSERT_EQ(targets_of(skipped), (std::vector<int>{7, 0, 4, 7, 0, 4, 7, 0, 4}));
    EXPECT_TRUE(skipped[3].words.empty());
    EXPECT_EQ(skipped[4].words.size(), 64u);
}

TEST(V1RecordConv, KindWords) {
    struct { char const* what; Params changes; uint32_t w3_bits_2_3, w20_filters, w21_low, w21_high; } const rows[] = {
        {"kernel 1", {{"kernel_width", 1}, {"kernel_height", 1}, {"padding", 0}}, 0, 8, 0, 0},
        {"2-bit kernel 3", {}, 0, 0, 8, 0},
        {"1-bit kernel 3", {{"weights_bits", 1}}, 0, 0, 0, 8},
        {"4-bit kernel 3", {{"weights_bits", 4}}, 2, 0, 8, 0},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto const regs = conv_regs(conv(row.changes));
        EXPECT_EQ(field_of(regs[3], 2, 2), row.w3_bits_2_3);
        EXPECT_EQ(field_of(regs[20], 16, 11), row.w20_filters);
        EXPECT_EQ(field_of(regs[21], 0, 11), row.w21_low);
        EXPECT_EQ(field_of(regs[21], 16, 11), row.w21_high);
    }
}

TEST(V1RecordConv, PoolingWord) {
    auto const max = conv({{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}, 24);
    EXPECT_EQ(field_of(conv_regs(max)[27], 0, 3), 2u);
    // A global average pooling (width -1) has pool size 1.
    auto const global = conv({{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}}, 24);
    EXPECT_EQ(field_of(conv_regs(global)[27], 0, 3), 1u);

    // A width of 257 once went in as its low byte, 1; it is refused in full.
    auto const wide = conv({{"pool_type", 2}, {"pooling_width", 257}, {"pooling_height", 2}, {"pooling_stride_x", 2},
                            {"pooling_stride_y", 2}}, 24);
    EXPECT_EQ(error_text<std::runtime_error>([&] { conv_regs(wide); }), overflow(257, 3));
}

TEST(V1RecordConv, ThresholdsAndSteps) {
    auto const m = conv();
    fill_variable(m.layer(), "threshold", -3);
    fill_variable(m.layer(), "act_step", 2.0);
    auto const blocks = record_conv(m);
    EXPECT_EQ(blocks[2].words[0], 0xFFFFDu);  // -3 in 20 bits
    EXPECT_EQ(blocks[2].words[1], 32u);       // steps carry four fractional bits

    struct { char const* what; float step; std::string message; } const rows[] = {
        {"0x100000", 65536.0f, "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step 65536."},
        {"-1", -0.0625f, "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step 0."},
    };
    for (auto const& row : rows) {
        fill_variable(m.layer(), "act_step", row.step);
        EXPECT_EQ(error_text<CnpError>([&] { record_conv(m); }), row.message) << row.what;
    }

    auto const int32s = [](uint32_t n, int32_t value) { return nuvra::testing::filled<int32_t>(TensorType::int32, n, value); };
    // Without activation every threshold word is 0x80000.
    EXPECT_EQ(format_cnp_threshold_steps(*int32s(4, 700000), *int32s(4, 5), false, 1, 2),
              (std::vector<uint32_t>{0x80000, 5, 0x80000, 5}));
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_threshold_steps(*int32s(4, 700000), *int32s(4, 5), true, 0, 1); }),
              "700000 cannot fit in a 20-bit signed integer");
    // Tensors shorter than first + count were read past their end.
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_threshold_steps(*int32s(4, 0), *int32s(2, 0), true, 1, 2); }),
              "Tensor act_step holds 2 elements, 3 are needed.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_threshold_steps(*int32s(2, 0), *int32s(4, 0), true, 1, 2); }),
              "Tensor threshold holds 2 elements, 3 are needed.");
}

TEST(V1RecordSepConv, BlocksAndWords) {
    // Two NPs of 32 filters: the same depthwise block, each its own pointwise block.
    auto const m = sep_conv({}, 32);
    ASSERT_EQ(m.components().size(), 2u);
    auto const record = record_program_sep_conv_layer(*m.device, m.layer(), nullptr, false, false, {}, false);
    auto const blocks = decode_blocks(*record);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 0, 0, 4, 7, 0, 0, 4}));
    EXPECT_EQ(blocks[1].words, blocks[5].words);
    EXPECT_EQ(blocks[2].header.address, blocks[6].header.address);
    EXPECT_EQ(blocks[3].words.size(), 64u);
    EXPECT_EQ(field_of(blocks[4].words[26], 0, 11), 32u);

    auto const registers = format_sep_conv_np_registers(m.layer(), nullptr, false, false, {});
    EXPECT_EQ(blocks[0].words, registers.at(m.components()[0].ident));
    struct { int bits; uint32_t w3_bits_2_9, pw_words, dw_words; } const rows[] = {
        // Word 3 from bit 2: the separable flag, then bits / 2 at bits 4-5 and 8-9. 4 channels of
        // 3 x 3: two SRAM words, rounded to 16 words, 8 SRAM words. 32 filters of 2 bits: 64 bits,
        // two 48-bit pointwise words.
        {2, 0x45, 2, 8},
        // 4 bits: a 50-bit word holds four rows, one channel takes a word (16, rounded).
        {4, 0x89, 3, 8},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.bits);
        auto const regs = format_sep_conv_np_registers(sep_conv({{"weights_bits", row.bits}}, 32).layer(), nullptr,
                                                       false, false, {}).begin()->second;
        EXPECT_EQ(field_of(regs[3], 2, 8), row.w3_bits_2_9);
        EXPECT_EQ(field_of(regs[20], 0, 7), row.pw_words);
        EXPECT_EQ(field_of(regs[22], 16, 14), row.dw_words);
        EXPECT_EQ(regs[21], 0u);
    }
    EXPECT_EQ(error_text<std::runtime_error>([] {
                  auto const m8 = sep_conv({{"weights_bits", 8}});
                  format_sep_conv_np_registers(m8.layer(), nullptr, false, false, {});
              }), overflow(4, 2));
}

TEST(V1RecordSepConv, PointwiseBlockFollowsTheDepthwiseWords) {
    // 2-bit 3 x 3 depthwise rows: two channels to an SRAM word of two 32-bit words.
    struct { uint32_t channels; uint32_t address; } const rows[] = {{40, 3}, {48, 3}, {50, 4}};
    for (auto const& row : rows) {
        auto const m = sep_conv({{"filters", 8}}, 512, row.channels);
        auto const blocks = decode_blocks(*record_program_sep_conv_layer(*m.device, m.layer(), nullptr, false, false, {}, false));
        EXPECT_EQ(blocks.at(1).words.size(), row.channels) << row.channels;
        EXPECT_EQ(blocks.at(2).header.address, row.address) << row.channels;
    }
    auto const m = sep_conv({}, 32);
    auto const only = decode_blocks(*record_program_sep_conv_layer(*m.device, m.layer(), nullptr, false, false, {}, true));
    EXPECT_EQ(targets_of(only), (std::vector<int>{7, 7}));
}

}  // namespace
}  // namespace nuvra::v1
