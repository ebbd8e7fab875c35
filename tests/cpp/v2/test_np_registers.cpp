// The second-generation NP register image: the exported fields, defaults, the common CNP/TNP-B
// configuration, the merge and dual-output words, the pooling word and the input-spike bit.
#include <gtest/gtest.h>

#include "backends/v2/np_registers.h"
#include "hw/np_split.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

hw::Component np(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return make_component(type, {col, row, id, 0}, hw::NpPart{});
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

    // A merge read back by a skip-DMA load in column 6 with id 3.
    hw::Component load_np = np(hw::Type::SKIP_DMA_LOAD, 6, 0, 3);
    void merge_through_load(bool add, uint32_t channel) {
        link_nps = true;
        merge = std::make_unique<MergeLayerInfo>();
        merge->add = add;
        merge->channel = channel;
        load = &load_np;
    }

    std::vector<uint32_t> apply(std::vector<uint32_t> regs = defaults()) const {
        format_cnp_tnp_common_config_registers(&regs, split, kernel_size, kernel_stride, activation, first_neuron,
                                               filters, weights_bits, layer_nps, single_buffer, flag20, input_bits,
                                               output_bits, merge, load, dual_stores, flag29, link_nps);
        return regs;
    }
    static std::vector<uint32_t> defaults() { return default_np_regs(np(hw::Type::CNP1, 1), 0, false, false); }
};

TEST(V2NpRegisters, DefaultImage) {
    std::vector<uint32_t> expected(64, 0u);
    for (auto [word, value] : std::map<size_t, uint32_t>{{1, 0x20}, {2, 0x8}, {3, 0x05000000}, {5, 0x130100},
                                                         {6, 0x08040000}, {12, 0x52000000}, {13, 0x10},
                                                         {37, 0xFF000000}, {56, 0x800000}, {57, 0x40}})
        expected[word] = value;
    EXPECT_EQ(default_np_regs(np(hw::Type::CNP1, 1), 5, false, false), expected);

    struct { uint8_t id; uint32_t np_num; bool flag_c, merge_is_add; uint32_t word3, word56; } const rows[] = {
        {0, 300, true, false, 0xFE000000, 0x800000},  // unused NP: the index is ignored
        {2, 0, false, false, 0x00000000, 0x1800100},
        {1, 0, false, false, 0x00000000, 0x800000},
        {1, 0, false, true, 0x00000000, 0x800008},
    };
    for (auto const& row : rows) {
        auto const regs = default_np_regs(np(hw::Type::CNP2, 1, 0, row.id), row.np_num, row.flag_c, row.merge_is_add);
        EXPECT_EQ(regs.at(3), row.word3) << int(row.id) << " " << row.np_num;
        EXPECT_EQ(regs.at(56), row.word56) << int(row.id) << " " << row.np_num;
    }
    EXPECT_EQ(error_text<std::runtime_error>([] { default_np_regs(np(hw::Type::CNP1, 1), 300, false, false); }),
              overflow(300, 8));
}

TEST(V2NpRegisters, CommonConfiguration) {
    struct {
        uint8_t weights_bits, input_bits, output_bits;
        ActivationType activation;
        uint32_t word3_low;  // bits 0-15
        bool lut;            // word 1 bit 20
    } const formats[] = {
        {4, 8, 4, ActivationType::ReLU, 0xA02B, false},
        {8, 4, 8, ActivationType::NoActivation, 0x70B2, false},
        {8, 8, 16, ActivationType::LUT, 0x30B3, true},
    };
    for (auto const& row : formats) {
        CommonArgs args;
        args.weights_bits = row.weights_bits;
        args.input_bits = row.input_bits;
        args.output_bits = row.output_bits;
        args.activation = row.activation;
        auto const regs = args.apply(default_np_regs(np(hw::Type::CNP1, 2), 9, false, false));
        EXPECT_EQ(regs.at(3), 0x09020000u | row.word3_low) << int(row.weights_bits) << int(row.output_bits);
        EXPECT_EQ(regs.at(1) >> 20 & 1, row.lut ? 1u : 0u);
    }

    // Every field at its widest, on a default image.
    CommonArgs args;
    SplitDouble& s = args.split;
    s.part_height = 10; s.part_width = 12; s.window_dy = uint32_t(-1); s.window_dx = uint32_t(-4);
    s.window_y = 0x123; s.window_x = 0xABC; s.phase_y = 1; s.phase_x = 0; s.window_height = 0x7FF;
    s.window_width = 5; s.icont = 0x10; s.out_y = 3; s.out_x = 0xFFF; s.out_height = 0x3FF; s.out_width = 0xFF;
    args.kernel_size = 7; args.kernel_stride = 2; args.flag20 = true; args.first_neuron = 0x7FF;
    args.filters = 0x3FF; args.single_buffer = true; args.flag29 = true;
    auto regs = args.apply();
    std::map<size_t, uint32_t> const words{
        {1, 0x20400020},  {4, 0x80000000},  {8, 0x400C700A},  {9, 0x0ABC1123},  {10, 0x000507FF}, {11, 0x00000010},
        {20, 0x70000300}, {24, 0x0FFF0003}, {25, 0x00FF03FF}, {26, 0x03FF07FF}, {52, 0},          {53, 0},
    };
    for (auto const& [word, value] : words) EXPECT_EQ(regs.at(word), value) << "word " << word;

    // Bits it does not name keep their value.
    regs = CommonArgs::defaults();
    regs[1] = 0xFFFFFFFF; regs[4] = 0x7234ABCD; regs[20] = 0xFFFFFFFF;
    CommonArgs plain;
    plain.activation = ActivationType::NoActivation;
    regs = plain.apply(regs);
    EXPECT_EQ(regs[1], 0xDFAFFF6Fu);   // bits 4, 7, 20, 22 and 29 cleared
    EXPECT_EQ(regs[4], 0x9234ABCDu);   // bits 29 and 30 cleared, 31 set, 0-28 kept
    EXPECT_EQ(regs[20], 0xB800F8FFu);  // bits 8-10 and 16-26 cleared, kernel 3, bit 31 kept
}

TEST(V2NpRegisters, CommonConfigurationRefusesValuesWiderThanTheirFields) {
    struct { char const* what; void (*change)(CommonArgs*); std::string message; } const rows[] = {
        {"kernel 8", [](CommonArgs* a) { a->kernel_size = 8; }, overflow(8, 3)},
        {"row offset -5", [](CommonArgs* a) { a->split.window_dy = uint32_t(-5); },
         "-5 cannot fit in a 3-bit signed integer"},
        {"cut row origin", [](CommonArgs* a) { a->split.window_y = 0x1000; }, overflow(0x1000, 12)},
        {"container", [](CommonArgs* a) { a->split.icont = 0x100; }, overflow(0x100, 8)},
        {"output rows", [](CommonArgs* a) { a->split.out_height = 0x400; }, overflow(0x400, 10)},
        {"filters", [](CommonArgs* a) { a->filters = 0x400; }, overflow(0x400, 10)},
        {"256 NPs", [](CommonArgs* a) { a->layer_nps.assign(256, np(hw::Type::CNP1, 1)); }, overflow(256, 8)},
        {"merge without a load",
         [](CommonArgs* a) { a->merge_through_load(true, 1); a->load = nullptr; },
         "Skip DMA load should not be null."},
        {"merge channel 256", [](CommonArgs* a) { a->merge_through_load(true, 256); }, overflow(256, 8)},
        {"dual output without a store",
         [](CommonArgs* a) { a->merge_through_load(true, 1); a->merge->dual_output = true; },
         "Dual output store should not be null."},
        {"load id 4", [](CommonArgs* a) { a->merge_through_load(true, 1); a->load_np.ident.id = 4; }, overflow(16, 4)},
    };
    for (auto const& row : rows) {
        CommonArgs args;
        row.change(&args);
        EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(); }), row.message) << row.what;
    }
}

TEST(V2NpRegisters, MergeAndDualOutputWords) {
    CommonArgs linked;  // no merge: only the other-source bit
    linked.link_nps = true;
    auto regs = linked.apply();
    EXPECT_EQ(regs[52], 0x80u);
    EXPECT_EQ(regs[53], 0u);

    CommonArgs add;
    add.merge_through_load(true, 5);
    add.merge->not_first = false;  // word 52 bit 7: the other source
    regs = CommonArgs::defaults();
    regs[53] = 0xFFFFFFFF;
    regs = add.apply(regs);
    EXPECT_EQ(regs[52], 0x00050017u);
    EXPECT_EQ(regs[53], 0xFF870601u);  // bits 16-18 and 24-30 kept; select of id 3 is 8
    EXPECT_EQ(regs[1] >> 31, 0u);      // no dual output

    add.link_nps = false;  // the merge words belong to the linked NPs only
    EXPECT_EQ(add.apply()[52], 0u);

    struct { char const* what; std::vector<hw::Component> stores; uint32_t word47, word48; } const rows[] = {
        {"one store", {np(hw::Type::SKIP_DMA_STORE, 7, 3, 1)}, 0x0702ABCD, 0x092F0703},
        {"two stores", {np(hw::Type::SKIP_DMA_STORE, 5, 9, 2), np(hw::Type::SKIP_DMA_STORE, 3, 9, 0)}, 0x0502ABCD,
         0x094E0503},
    };
    for (auto const& row : rows) {
        CommonArgs args;
        args.merge_through_load(false, 1);
        args.merge->not_first = true;
        args.merge->dual_output = true;
        args.merge->dual_output_target = 9;
        args.dual_stores = row.stores;
        regs = CommonArgs::defaults();
        regs[47] = 0xABCD;
        regs[48] = 0x000E0000;  // bits 17-19 are kept
        regs = args.apply(regs);
        EXPECT_EQ(regs[1] >> 31, 1u) << row.what;
        EXPECT_EQ(regs[47], row.word47) << row.what;
        EXPECT_EQ(regs[48], row.word48) << row.what;
    }
}

TEST(V2NpRegisters, PoolingWordAndEdgePadding) {
    struct {
        char const* what;
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
        {"padding read as signed", {0, 0, Shape{8, 8, 4}}, 1, 1, false, {0x80000000u, 0, 0x80000000u, 0}, false,
         0x0011, 0x8},
        {"flags", {2, 2, Shape{4, 4, 4}}, 7, 7, true, {}, true, 0x0177, 0x108},
    };
    for (auto const& row : rows) {
        auto regs = CommonArgs::defaults();
        regs[27] = 0x0E00;  // bit 9 is cleared, bits 10-11 kept
        format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, row.part, row.pool_size, row.pool_factor, row.flag8,
                                     row.padding, row.word2_flag);
        EXPECT_EQ(regs[27], row.word27 | 0x0C00) << row.what;
        EXPECT_EQ(regs[2], row.word2) << row.what;
    }
    auto regs = CommonArgs::defaults();
    NpSpace const part{0, 0, Shape{8, 8, 4}};
    for (auto [size, factor] : {std::pair<uint8_t, uint8_t>{8, 1}, {1, 8}})
        EXPECT_EQ(error_text<std::runtime_error>(
                      [&, size = size, factor = factor] {
                          format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, part, size, factor, false, {}, false);
                      }),
                  overflow(8, 3));

    PoolingCalculatedParams params;
    params.stride_x = 3;
    params.padding = {1, 2, 3, 4};
    params.flag = true;
    EXPECT_TRUE(get_no_pooling_params(&params, 5, 7));
    PoolingCalculatedParams expected;
    expected.stride_x = 1; expected.stride_y = 1; expected.output_width = 5; expected.output_height = 7;
    EXPECT_EQ(params, expected);
    EXPECT_THROW(get_no_pooling_params(nullptr, 1, 1), std::invalid_argument);
}

TEST(V2NpRegisters, InputSpikesColumnSpanAndNpSelect) {
    auto regs = CommonArgs::defaults();
    auto expected = regs;
    expected[2] = 0x88;
    set_ib_spikes(&regs);
    EXPECT_EQ(regs, expected);
    std::vector<uint32_t> short_image(63, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { set_ib_spikes(&short_image); }),
              "A register image must hold 64 words.");
    EXPECT_EQ(error_text<std::invalid_argument>([] { set_ib_spikes(nullptr); }),
              "A register image must hold 64 words.");

    struct { std::vector<hw::Component> list; ColumnSpan span; } const spans[] = {
        {{np(hw::Type::CNP1, 3), np(hw::Type::CNP1, 1), np(hw::Type::CNP1, 2)}, {1, 3}},
        {{np(hw::Type::HRC, 0)}, {1, 1}},
        {{np(hw::Type::HRC, 0), np(hw::Type::CNP1, 5)}, {0, 5}},
    };
    for (auto const& row : spans) EXPECT_EQ(column_span(row.list), row.span) << row.list.size();
    EXPECT_THROW(column_span({}), std::invalid_argument);

    for (auto [id, select] : {std::pair<uint8_t, uint32_t>{0, 1}, {3, 8}, {31, 0x80000000u}, {32, 0xFFFFFFFFu}})
        EXPECT_EQ(np_select(id), select) << int(id);
}

}  // namespace
}  // namespace nuvra::v2
