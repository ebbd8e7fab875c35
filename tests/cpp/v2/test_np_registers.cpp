// The second-generation NP register image: defaults, the common CNP/TNP-B configuration, the
// merge and dual-output words, the pooling word and the input-spike bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/np_registers.h"
#include "backends/v2/registers.h"
#include "engine/error_text.h"
#include "hw/np_split.h"
#include "mapping/layer_mapping.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;

std::string overflow(uint64_t value, int width) {
    return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(width) +
           "-bit field, which will cause an overflow.";
}

hw::Component np(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    hw::Component c;
    c.type = type;
    c.ident = {col, row, id, 0};
    c.np_part = hw::NpPart{};
    return c;
}

// A split whose geometry the test writes field by field.
class SplitDouble final : public NpSplitInterface {
public:
    uint32_t icont = 4;
    uint32_t icont_size() const override { return icont; }
};

// The arguments of format_cnp_tnp_common_config_registers, with harmless defaults.
struct CommonArgs {
    SplitDouble split;
    int kernel_size = 3;
    int kernel_stride = 1;
    ActivationType activation = ActivationType::ReLU;
    uint32_t first_neuron = 0;
    uint32_t filters = 8;
    uint8_t weights_bits = 8;
    std::vector<hw::Component> layer_nps{np(hw::Type::CNP1, 2), np(hw::Type::CNP1, 4)};
    bool single_buffer = false;
    bool flag20 = false;
    uint8_t input_bits = 8;
    uint8_t output_bits = 8;
    std::unique_ptr<MergeLayerInfo> merge;
    hw::Component const* load = nullptr;
    std::vector<hw::Component> dual_stores;
    bool flag29 = false;
    bool link_nps = false;

    void apply(std::vector<uint32_t>* regs) const {
        format_cnp_tnp_common_config_registers(regs, split, kernel_size, kernel_stride, activation,
                                               first_neuron, filters, weights_bits, layer_nps,
                                               single_buffer, flag20, input_bits, output_bits, merge, load,
                                               dual_stores, flag29, link_nps);
    }
};

std::vector<uint32_t> defaults() { return default_np_regs(np(hw::Type::CNP1, 1), 0, false, false); }

TEST(V2NpRegisters, DefaultImageHoldsThePresetsAndNothingElse) {
    auto const regs = default_np_regs(np(hw::Type::CNP1, 1), 5, false, false);
    std::vector<uint32_t> expected(64, 0u);
    expected[1] = 0x20;
    expected[2] = 0x8;
    expected[3] = 0x05000000;
    expected[5] = 0x130100;
    expected[6] = 0x08040000;
    expected[12] = 0x52000000;
    expected[13] = 0x10;
    expected[37] = 0xFF000000;
    expected[56] = 0x800000;
    expected[57] = 0x40;
    EXPECT_EQ(regs, expected);
}

TEST(V2NpRegisters, DefaultLayerIndexAndNpSlot) {
    struct Row {
        uint8_t id;
        uint32_t np_num;
        bool flag_c;
        bool merge_is_add;
        uint32_t word3;
        uint32_t word56;
    } const rows[] = {
        {0, 300, true, false, 0xFE000000, 0x800000},  // unused NP: the index is ignored
        {2, 0, false, false, 0x00000000, 0x1800100},
        {1, 0, false, false, 0x00000000, 0x800000},
        {1, 0, false, true, 0x00000000, 0x800008},
        {3, 255, false, true, 0xFF000000, 0x1800108},
        {0, 7, true, true, 0xFE000000, 0x800008},
    };
    for (auto const& row : rows) {
        auto const regs = default_np_regs(np(hw::Type::CNP2, 1, 0, row.id), row.np_num, row.flag_c, row.merge_is_add);
        EXPECT_EQ(regs.at(3), row.word3) << int(row.id) << " " << row.np_num;
        EXPECT_EQ(regs.at(56), row.word56) << int(row.id) << " " << row.np_num;
    }
}

TEST(V2NpRegisters, DefaultLayerIndexMustFitEightBits) {
    EXPECT_EQ(error_text<std::runtime_error>([] { default_np_regs(np(hw::Type::CNP1, 1), 300, false, false); }),
              overflow(300, 8));
    EXPECT_EQ(error_text<std::runtime_error>([] { default_np_regs(np(hw::Type::CNP1, 1), 256, false, false); }),
              overflow(256, 8));
}

TEST(V2NpRegisters, FormatWordFollowsBitWidthsAndActivation) {
    struct Row {
        uint8_t weights_bits, input_bits, output_bits;
        ActivationType activation;
        uint32_t word3_low;  // bits 0-15
        bool lut;            // word 1 bit 20
    } const rows[] = {
        {4, 8, 4, ActivationType::ReLU, 0xA02B, false},
        {8, 4, 8, ActivationType::NoActivation, 0x70B2, false},
        {8, 8, 16, ActivationType::LUT, 0x30B3, true},
        {2, 8, 8, ActivationType::NoActivation, 0x7023, false},
        {8, 7, 7, ActivationType::LUT, 0x60B2, true},
    };
    for (auto const& row : rows) {
        CommonArgs args;
        args.weights_bits = row.weights_bits;
        args.input_bits = row.input_bits;
        args.output_bits = row.output_bits;
        args.activation = row.activation;
        auto regs = default_np_regs(np(hw::Type::CNP1, 2), 9, false, false);
        args.apply(&regs);
        EXPECT_EQ(regs.at(3), 0x09020000u | row.word3_low) << int(row.weights_bits) << int(row.output_bits);
        EXPECT_EQ((regs.at(1) >> 20) & 1, row.lut ? 1u : 0u);
    }
}

TEST(V2NpRegisters, CommonConfigurationWritesTheSplitGeometry) {
    CommonArgs args;
    args.split.part_height = 10;
    args.split.part_width = 12;
    args.split.window_dy = uint32_t(-1);
    args.split.window_dx = uint32_t(-4);
    args.split.window_y = 0x123;
    args.split.window_x = 0xABC;
    args.split.phase_y = 1;
    args.split.phase_x = 0;
    args.split.window_height = 0x7FF;
    args.split.window_width = 5;
    args.split.icont = 0x10;
    args.split.out_y = 3;
    args.split.out_x = 0xFFF;
    args.split.out_height = 0x3FF;
    args.split.out_width = 0xFF;
    args.kernel_size = 7;
    args.kernel_stride = 2;
    args.flag20 = true;
    args.first_neuron = 0x7FF;
    args.filters = 0x3FF;
    args.single_buffer = true;
    args.flag29 = true;
    auto regs = defaults();
    args.apply(&regs);

    struct Row {
        size_t word;
        uint32_t value;
    } const rows[] = {
        {1, 0x20400020},  {4, 0x80000000},  {8, 0x400C700A},  {9, 0x0ABC1123},
        {10, 0x000507FF}, {11, 0x00000010}, {20, 0x70000300}, {24, 0x0FFF0003},
        {25, 0x00FF03FF}, {26, 0x03FF07FF}, {52, 0},          {53, 0},
    };
    for (auto const& row : rows) EXPECT_EQ(regs.at(row.word), row.value) << "word " << row.word;
}

TEST(V2NpRegisters, CommonConfigurationKeepsTheOtherBits) {
    CommonArgs args;
    args.activation = ActivationType::NoActivation;
    auto regs = defaults();
    regs[1] = 0xFFFFFFFF;
    regs[4] = 0x7234ABCD;
    regs[20] = 0xFFFFFFFF;
    args.apply(&regs);
    EXPECT_EQ(regs[1], 0xDFAFFF6Fu);   // bits 4, 7, 20, 22 and 29 cleared
    EXPECT_EQ(regs[4], 0x9234ABCDu);   // bits 29 and 30 cleared, 31 set, 0-28 kept
    EXPECT_EQ(regs[20], 0xB800F8FFu);  // bits 8-10 and 16-26 cleared, kernel 3, bit 31 kept
}

TEST(V2NpRegisters, RealSplitFeedsTheCommonConfiguration) {
    // A 3x3 convolution over the left half of an 8x8 input, with a one-column halo on its right.
    NpSplit const split(Shape{8, 8, 4}, NpSpace{0, 0, Shape{4, 8, 4}}, NpSpace{0, 0, Shape{5, 8, 4}}, 3, 1,
                        PaddingParams{1, 1, 1, 1}, 1, 1, PaddingParams{});
    auto regs = defaults();
    format_cnp_tnp_common_config_registers(&regs, split, 3, 1, ActivationType::ReLU, 0, 4, 8,
                                           {np(hw::Type::CNP1, 1)}, false, false, 8, 8, nullptr, nullptr, {},
                                           false, false);
    EXPECT_EQ(regs[8], 0x00040008u);   // 8 rows, 4 columns, no offsets
    EXPECT_EQ(regs[10], 0x00050008u);  // the cut: 8 rows, 5 columns
    EXPECT_EQ(regs[11], 0x00000004u);  // the part width rounded to 4
    EXPECT_EQ(regs[3] >> 16 & 0xFF, 1u);
}

TEST(V2NpRegisters, CommonConfigurationRefusesValuesWiderThanTheirFields) {
    struct Row {
        const char* what;
        void (*change)(CommonArgs*);
        std::string message;
    } const rows[] = {
        {"kernel 8", [](CommonArgs* a) { a->kernel_size = 8; }, overflow(8, 3)},
        {"row offset -5", [](CommonArgs* a) { a->split.window_dy = uint32_t(-5); },
         "-5 cannot fit in a 3-bit signed integer"},
        {"column offset 4", [](CommonArgs* a) { a->split.window_dx = 4; }, "4 cannot fit in a 3-bit signed integer"},
        {"part height", [](CommonArgs* a) { a->split.part_height = 0x800; }, overflow(0x800, 11)},
        {"cut row origin", [](CommonArgs* a) { a->split.window_y = 0x1000; }, overflow(0x1000, 12)},
        {"cut column origin", [](CommonArgs* a) { a->split.window_x = 0x1000; }, overflow(0x1000, 12)},
        {"cut height", [](CommonArgs* a) { a->split.window_height = 0x800; }, overflow(0x800, 11)},
        {"cut width", [](CommonArgs* a) { a->split.window_width = 0x800; }, overflow(0x800, 11)},
        {"container", [](CommonArgs* a) { a->split.icont = 0x100; }, overflow(0x100, 8)},
        {"output row origin", [](CommonArgs* a) { a->split.out_y = 0x1000; }, overflow(0x1000, 12)},
        {"output rows", [](CommonArgs* a) { a->split.out_height = 0x400; }, overflow(0x400, 10)},
        {"output columns", [](CommonArgs* a) { a->split.out_width = 0x100; }, overflow(0x100, 8)},
        {"first neuron", [](CommonArgs* a) { a->first_neuron = 0x800; }, overflow(0x800, 11)},
        {"filters", [](CommonArgs* a) { a->filters = 0x400; }, overflow(0x400, 10)},
        {"256 NPs", [](CommonArgs* a) { a->layer_nps.assign(256, np(hw::Type::CNP1, 1)); }, overflow(256, 8)},
    };
    for (auto const& row : rows) {
        CommonArgs args;
        row.change(&args);
        auto regs = defaults();
        EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(&regs); }), row.message) << row.what;
    }
}

TEST(V2NpRegisters, LinkedNpWithoutMergeMarksTheOtherSource) {
    CommonArgs args;
    args.link_nps = true;
    auto regs = defaults();
    args.apply(&regs);
    EXPECT_EQ(regs[52], 0x80u);
    EXPECT_EQ(regs[53], 0u);
}

// A merging layer's mapping with its skip-DMA load at column 6, id 3.
std::unique_ptr<LayerMapping> merging_mapping(bool add, uint32_t channel, bool not_first) {
    auto mapping = std::make_unique<LayerMapping>(2);
    mapping->merge_info = std::make_unique<MergeLayerInfo>();
    mapping->merge_info->add = add;
    mapping->merge_info->channel = channel;
    mapping->merge_info->not_first = not_first;
    mapping->skipdma_loads.push_back(np(hw::Type::SKIP_DMA_LOAD, 6, 0, 3));
    return mapping;
}

TEST(V2NpRegisters, MergeWordsDescribeTheSkipLoad) {
    auto const mapping = merging_mapping(true, 5, false);
    CommonArgs args;
    args.link_nps = true;
    args.merge = std::make_unique<MergeLayerInfo>(*mapping->merge_info);
    args.load = mapping->skipdma_load();
    auto regs = defaults();
    regs[53] = 0xFFFFFFFF;
    args.apply(&regs);
    EXPECT_EQ(regs[52], 0x00050017u);
    EXPECT_EQ(regs[53], 0xFF870601u);  // bits 16-18 and 24-30 kept; select of id 3 is 8
    EXPECT_EQ(regs[1] >> 31, 0u);      // no dual output
}

TEST(V2NpRegisters, MergeWithoutOwnLinkLeavesTheMergeWordsAlone) {
    auto const mapping = merging_mapping(true, 5, true);
    CommonArgs args;
    args.merge = std::make_unique<MergeLayerInfo>(*mapping->merge_info);
    args.load = mapping->skipdma_load();
    auto regs = defaults();
    args.apply(&regs);
    EXPECT_EQ(regs[52], 0u);
    EXPECT_EQ(regs[53], 0u);
}

TEST(V2NpRegisters, MergeFailures) {
    struct Row {
        const char* what;
        bool with_load;
        uint32_t channel;
        uint8_t load_id;
        std::string message;
    } const rows[] = {
        {"no load", false, 1, 0, "Skip DMA load should not be null."},
        {"channel 256", true, 256, 0, overflow(256, 8)},
        {"load id 4", true, 1, 4, overflow(16, 4)},
        {"load id 40", true, 1, 40, overflow(4294967295u, 4)},
    };
    for (auto const& row : rows) {
        CommonArgs args;
        args.link_nps = true;
        args.merge = std::make_unique<MergeLayerInfo>();
        args.merge->channel = row.channel;
        hw::Component const load = np(hw::Type::SKIP_DMA_LOAD, 1, 0, row.load_id);
        args.load = row.with_load ? &load : nullptr;
        auto regs = defaults();
        EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(&regs); }), row.message) << row.what;
    }
}

TEST(V2NpRegisters, DualOutputWordsDescribeTheStore) {
    struct Row {
        const char* what;
        std::vector<hw::Component> stores;
        uint32_t word47, word48;
    } const rows[] = {
        {"one store", {np(hw::Type::SKIP_DMA_STORE, 7, 3, 1)}, 0x0702ABCD, 0x092F0703},
        {"two stores", {np(hw::Type::SKIP_DMA_STORE, 5, 9, 2), np(hw::Type::SKIP_DMA_STORE, 3, 9, 0)},
         0x0502ABCD, 0x094E0503},
    };
    for (auto const& row : rows) {
        auto mapping = merging_mapping(false, 1, true);
        mapping->merge_info->dual_output = true;
        mapping->merge_info->dual_output_target = 9;
        CommonArgs args;
        args.link_nps = true;
        args.merge = std::make_unique<MergeLayerInfo>(*mapping->merge_info);
        args.load = mapping->skipdma_load();
        args.dual_stores = row.stores;
        auto regs = defaults();
        regs[47] = 0xABCD;
        regs[48] = 0x000E0000;  // bits 17-19 are kept
        args.apply(&regs);
        EXPECT_EQ(regs[1] >> 31, 1u) << row.what;
        EXPECT_EQ(regs[47], row.word47) << row.what;
        EXPECT_EQ(regs[48], row.word48) << row.what;
    }
}

TEST(V2NpRegisters, DualOutputWithoutStoreIsRefused) {
    // The mapping asks for a dual output but holds no store: its dual-output store is null.
    auto mapping = merging_mapping(true, 1, true);
    mapping->merge_info->dual_output = true;
    ASSERT_EQ(mapping->skipdma_store_dual_output(), nullptr);
    CommonArgs args;
    args.link_nps = true;
    args.merge = std::make_unique<MergeLayerInfo>(*mapping->merge_info);
    args.load = mapping->skipdma_load();
    auto regs = defaults();
    EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(&regs); }), "Dual output store should not be null.");
    EXPECT_EQ(regs[48], 0u);
}

TEST(V2NpRegisters, PoolingWordAndEdgePadding) {
    struct Row {
        const char* what;
        NpSpace part;
        uint8_t pool_size, pool_factor;
        bool flag8;
        PaddingParams padding;
        bool word2_flag;
        uint32_t word27, word2;
    } const rows[] = {
        {"top-left corner", {0, 0, Shape{4, 4, 4}}, 2, 2, false, {1, 1, 1, 1}, false, 0xA022, 0x8},
        {"bottom-right corner", {4, 4, Shape{4, 4, 4}}, 2, 2, false, {1, 1, 1, 1}, false, 0x5022, 0x8},
        {"whole input", {0, 0, Shape{8, 8, 4}}, 3, 1, false, {1, 1, 1, 1}, false, 0xF013, 0x8},
        {"inside, padded", {2, 2, Shape{4, 4, 4}}, 1, 1, false, {1, 1, 1, 1}, false, 0x0011, 0x8},
        {"corner without padding", {0, 0, Shape{8, 8, 4}}, 1, 1, false, {}, false, 0x0011, 0x8},
        {"padding read as signed", {0, 0, Shape{8, 8, 4}}, 1, 1, false, {0x80000000u, 0, 0x80000000u, 0},
         false, 0x0011, 0x8},
        {"flags", {2, 2, Shape{4, 4, 4}}, 7, 7, true, {}, true, 0x0177, 0x108},
    };
    for (auto const& row : rows) {
        auto regs = defaults();
        regs[27] = 0x0E00;  // bit 9 is cleared, bits 10-11 kept
        format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, row.part, row.pool_size, row.pool_factor, row.flag8,
                                     row.padding, row.word2_flag);
        EXPECT_EQ(regs[27], row.word27 | 0x0C00) << row.what;
        EXPECT_EQ(regs[2], row.word2) << row.what;
    }
}

TEST(V2NpRegisters, PoolingFieldsMustFitThreeBits) {
    auto regs = defaults();
    NpSpace const part{0, 0, Shape{8, 8, 4}};
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, part, 8, 1, false, {}, false); }),
              overflow(8, 3));
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, part, 1, 8, false, {}, false); }),
              overflow(8, 3));
}

TEST(V2NpRegisters, NoPoolingParameters) {
    PoolingCalculatedParams params;
    params.stride_x = 3;
    params.padding = {1, 2, 3, 4};
    params.flag = true;
    EXPECT_TRUE(get_no_pooling_params(&params, 5, 7));
    PoolingCalculatedParams expected;
    expected.stride_x = 1;
    expected.stride_y = 1;
    expected.output_width = 5;
    expected.output_height = 7;
    EXPECT_EQ(params, expected);
    EXPECT_THROW(get_no_pooling_params(nullptr, 1, 1), std::invalid_argument);
}

TEST(V2NpRegisters, InputSpikesSetOneBit) {
    auto regs = defaults();
    auto expected = regs;
    expected[2] = 0x88;
    set_ib_spikes(&regs);
    EXPECT_EQ(regs, expected);
}

TEST(V2NpRegisters, ImageMustHoldSixtyFourWords) {
    std::vector<uint32_t> short_image(63, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { set_ib_spikes(&short_image); }),
              "A register image must hold 64 words.");
    EXPECT_EQ(error_text<std::invalid_argument>([] { set_ib_spikes(nullptr); }),
              "A register image must hold 64 words.");
}

TEST(V2NpRegisters, ColumnSpan) {
    struct Row {
        const char* what;
        std::vector<hw::Component> list;
        ColumnSpan span;
    } const rows[] = {
        {"unordered", {np(hw::Type::CNP1, 3), np(hw::Type::CNP1, 1), np(hw::Type::CNP1, 2)}, {1, 3}},
        {"one NP", {np(hw::Type::CNP2, 4, 2)}, {4, 4}},
        {"one HRC", {np(hw::Type::HRC, 0)}, {1, 1}},
        {"HRC among others", {np(hw::Type::HRC, 0), np(hw::Type::CNP1, 5)}, {0, 5}},
    };
    for (auto const& row : rows) EXPECT_EQ(column_span(row.list), row.span) << row.what;
    EXPECT_THROW(column_span({}), std::invalid_argument);
}

TEST(V2NpRegisters, NpSelectIsOneHot) {
    struct Row {
        uint8_t id;
        uint32_t select;
    } const rows[] = {{0, 1}, {3, 8}, {4, 16}, {31, 0x80000000u}, {32, 0xFFFFFFFFu}, {255, 0xFFFFFFFFu}};
    for (auto const& row : rows) EXPECT_EQ(np_select(row.id), row.select) << int(row.id);
}

}  // namespace
}  // namespace nuvra::v2
