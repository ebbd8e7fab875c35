// The second-generation NP register image, mesh routing words and partial-reconfiguration words.
#include <gtest/gtest.h>

#include "backends/v2/np_registers.h"
#include "backends/v2/partial_reconfig.h"
#include "backends/v2/registers.h"
#include "backends/v2/routing.h"
#include "hw/np_split.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/field_table.h"
#include "support/layer_fixtures.h"
#include "support/model_builder.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::testing;
using List = std::vector<hw::Component>;
using Params = std::map<std::string, int>;

hw::Component np(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return make_component(type, {col, row, id, 0}, hw::NpPart{});
}
hw::Component unit(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return make_component(type, {col, row, id, 0});
}
hw::Component cnp1(uint8_t col, uint8_t row = 0, uint8_t id = 0) { return unit(hw::Type::CNP1, col, row, id); }

std::vector<uint32_t> image() { return std::vector<uint32_t>(64, 0u); }

std::vector<NamedField> np_fields() { return nuvra::testing::image_fields(field_table, "np"); }

class SplitDouble final : public NpSplitInterface {
public:
    uint32_t icont = 4;
    uint32_t icont_size() const override { return icont; }
};

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
    bool transposed = false;
    uint8_t input_bits = 8;
    uint8_t output_bits = 8;
    std::unique_ptr<MergeLayerInfo> merge;
    hw::Component const* load = nullptr;
    std::vector<hw::Component> dual_stores;
    bool fnp_padding = false;
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
        format_cnp_tnp_common_config_registers(
            &regs, split,
            {.kernel_size = kernel_size, .kernel_stride = kernel_stride, .activation = activation,
             .first_neuron = first_neuron, .filters = filters, .weights_bits = weights_bits, .layer_nps = layer_nps,
             .single_buffer = single_buffer, .transposed = transposed, .input_bits = input_bits,
             .output_bits = output_bits, .merge_info = merge.get(), .skipdma_load = load,
             .dual_output_stores = dual_stores, .fnp_padding = fnp_padding, .link_nps = link_nps});
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
    EXPECT_SAME_IMAGE(default_np_regs(np(hw::Type::CNP1, 1), 5, false, false), expected, np_fields());

    struct { uint8_t id; uint32_t np_num; bool unused_np, merge_is_add; uint32_t word3, word56; } const rows[] = {
        {0, 300, true, false, 0xFE000000, 0x800000},  // unused NP: the index is ignored
        {2, 0, false, false, 0x00000000, 0x1800100},
        {1, 0, false, true, 0x00000000, 0x800008},
    };
    for (auto const& row : rows) {
        auto const regs = default_np_regs(np(hw::Type::CNP2, 1, 0, row.id), row.np_num, row.unused_np, row.merge_is_add);
        EXPECT_EQ(regs.at(3), row.word3) << int(row.id) << " " << row.np_num;
        EXPECT_EQ(regs.at(56), row.word56) << int(row.id) << " " << row.np_num;
    }
    EXPECT_EQ(error_text<std::runtime_error>([] { default_np_regs(np(hw::Type::CNP1, 1), 300, false, false); }),
              overflow(300, 8));
}

// Every field lies inside its image, and fields share bits only where the hardware reuses them: a
// TNP-B's FIFO size, channels and frame over a CNP's packet memory, filters and NP slot; an FNP
// linked layer's pixel count under its row layout; an alternate's fields over the merge's; the skip
// load's column over the bits cleared before it; the neuron variables' max pair over the activation's.
TEST(V2Registers, FieldTable) {
    std::vector<std::pair<std::string_view, size_t>> const images = {
        {"np", NP_REGISTER_WORDS}, {"hrc", HRC_REGISTER_WORDS}, {"hrc_sram_select", 1}, {"scc", SCC_REGISTER_WORDS},
        {"epg", EPG_REGISTER_WORDS}, {"skipdma_range", 1}, {"skipdma_load_nps", SKIPDMA_LOAD_NPS_WORDS},
        {"skipdma_load_gap", 1}, {"skipdma_load_mode", 1}, {"skipdma_store_mode", 1},
        {"skipdma_store_repeat", SKIPDMA_STORE_REPEAT_WORDS}, {"skipdma_store_size", SKIPDMA_STORE_SIZE_WORDS},
        {"neuron_variables", NEURON_VARIABLE_WORDS}, {"merge_shift", 1}, {"cnp_lut", 1}, {"hrc_lut", 1},
        {"fnp_neuron", FNP_NEURON_HEADER_WORDS},
    };
    EXPECT_EQ(nuvra::testing::fields_outside_images(field_table, images), std::vector<std::string>{});
    EXPECT_EQ(nuvra::testing::unintended_overlaps(
                  field_table, {{"INPUT_MEMORY_CPKSRAM_SIZE", "INPUT_MEMORY_FIFO_FRAMES"},
                                {"FILTERS_TF_TOTAL", "FILTERS_TNP_B_CHANNELS"},
                                {"NP_SLOT_TNP_B_BUFFER", "NP_SLOT_SET_23"},
                                {"NP_SLOT_TNP_B_BUFFER", "NP_SLOT_HIGH_ID_B"}, {"PR_CH_SIZE", "PR_INPUT_ROW_WORDS"},
                                {"PR_CH_SIZE", "PR_SEPARABLE"}, {"PR_CH_SIZE", "PR_INPUT_ROW_CONTAINER"},
                                {"MERGE_SET_4", "ALT_HAS_PEER"}, {"MERGE_CHANNEL", "ALT_PEER_INDEX"},
                                {"SKIP_LOAD_CLEAR_1_15", "SKIP_LOAD_COL"}, {"VARS_A_MAX_SHIFT", "VARS_A_ACT_SHIFT_LOW"},
                                {"VARS_B_MAX_VALUE", "VARS_B_ACT_SHIFT_HIGH"},
                                {"VARS_B_MAX_VALUE", "VARS_B_ACT_SCALE"}}),
              std::vector<std::string>{});
}

TEST(V2NpRegisters, CommonConfiguration) {
    // word3_low: bits 0-15; lut: word 1 bit 20
    struct { uint8_t weights_bits, input_bits, output_bits; ActivationType activation; uint32_t word3_low; bool lut; }
    const formats[] = {{4, 8, 4, ActivationType::ReLU, 0xA02B, false}, {8, 8, 16, ActivationType::LUT, 0x30B3, true}};
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
    args.kernel_size = 7; args.kernel_stride = 2; args.transposed = true; args.first_neuron = 0x7FF;
    args.filters = 0x3FF; args.single_buffer = true; args.fnp_padding = true;
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
        char const* what; NpSpace part; uint8_t pool_size, pool_factor; bool global_pool; PaddingParams padding;
        bool pooled_input; uint32_t word27, word2;
    } const rows[] = {
        {"top-left corner", {0, 0, Shape{4, 4, 4}}, 2, 2, false, {1, 1, 1, 1}, false, 0xA022, 0x8},
        {"padding read as signed", {0, 0, Shape{8, 8, 4}}, 1, 1, false, {0x80000000u, 0, 0x80000000u, 0}, false,
         0x0011, 0x8},
        {"flags", {2, 2, Shape{4, 4, 4}}, 7, 7, true, {}, true, 0x0177, 0x108},
    };
    for (auto const& row : rows) {
        auto regs = CommonArgs::defaults();
        regs[27] = 0x0E00;  // bit 9 is cleared, bits 10-11 kept
        format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, row.part, row.pool_size, row.pool_factor, row.global_pool,
                                     row.padding, row.pooled_input);
        EXPECT_EQ(regs[27], row.word27 | 0x0C00) << row.what;
        EXPECT_EQ(regs[2], row.word2) << row.what;
    }
    auto regs = CommonArgs::defaults();
    EXPECT_EQ(error_text<std::runtime_error>([&] {
                  format_cnp_pooling_registers(&regs, Shape{8, 8, 4}, {0, 0, Shape{8, 8, 4}}, 8, 1, false, {}, false);
              }),
              overflow(8, 3));
    EXPECT_EQ(error_text<std::invalid_argument>([] { get_no_pooling_params(nullptr, 1, 1); }),
              "get_no_pooling_params needs a pooling block to fill.");
}

// The image builder and the linked layer's description read the same answer.
TEST(V2NpRegisters, InboundMaxPool) {
    using nuvra::testing::FakeLayer;
    enum class Inbound { none, missing, present };
    struct { char const* what; Inbound inbound; PoolType pooling; bool activation; bool pooled; } const rows[] = {
        {"no inbound layer", Inbound::none, PoolType::Max, false, false},
        {"a missing inbound layer", Inbound::missing, PoolType::Max, false, false},
        {"max pooling", Inbound::present, PoolType::Max, false, true},
        {"max pooling with activation", Inbound::present, PoolType::Max, true, false},
        {"average pooling", Inbound::present, PoolType::Average, false, false},
    };
    for (auto const& row : rows) {
        auto const before = FakeLayer::make("before");
        before->set_pooling(row.pooling).set_activation(row.activation);
        auto const layer = FakeLayer::make("layer");
        if (row.inbound != Inbound::none) layer->set_inbounds({row.inbound == Inbound::present ? before : nullptr});
        EXPECT_EQ(inbound_max_pool(*layer), row.pooled) << row.what;
    }
}

TEST(V2NpRegisters, InputSpikes) {
    auto regs = CommonArgs::defaults();
    auto expected = regs;
    expected[2] = 0x88;
    set_ib_spikes(&regs);
    EXPECT_SAME_IMAGE(regs, expected, np_fields());
    EXPECT_EQ(error_text<std::invalid_argument>([] { set_ib_spikes(nullptr); }),
              "A register image must hold 64 words.");

}

struct RouteArgs {
    List sources{cnp1(1)};
    List own{cnp1(2)};
    List destinations{cnp1(3)};
    std::unique_ptr<AltLayerInfo> alt;
    uint8_t link_index = 5;
    bool p2p_in = false;
    bool p2p_out = false;
    bool mesh_flag = false;

    void apply(std::vector<uint32_t>* regs) const {
        format_mesh_registers_set_output_to_NPs(regs, sources, own, destinations, alt, link_index, p2p_in, p2p_out,
                                                mesh_flag);
    }
};

TEST(V2Routing, WordsOfASpreadLayer) {
    RouteArgs args;
    args.own = {cnp1(2), cnp1(4)};
    args.destinations = {cnp1(3), cnp1(1), cnp1(2)};
    args.mesh_flag = true;
    auto regs = image();
    regs[44] = 0x0000FFFF;  // bits 4-15 are kept
    regs[45] = 0x00FF0000;  // bits 16-23 are kept without point-to-point output
    regs[46] = 0x80000000;  // bit 31 is cleared
    regs[47] = 0x12340000;  // bits 16-31 are kept
    args.apply(&regs);
    EXPECT_EQ(regs[44], 0xFF08FFFCu);
    EXPECT_EQ(regs[45], 0x05FF0301u);  // columns 1 to 3, link 5
    EXPECT_EQ(regs[46], 0x00000101u);
    EXPECT_EQ(regs[47], 0x12340401u);  // own 2-4 with destinations 1-3
    EXPECT_EQ(regs[52], 0u);
}

TEST(V2Routing, FieldsByCase) {
    struct { char const* what; void (*change)(RouteArgs*); size_t word; uint32_t value; } const rows[] = {
        {"one HRC destination", [](RouteArgs* a) { a->destinations = {unit(hw::Type::HRC, 0)}; }, 45, 0x05000101},
        {"point-to-point output", [](RouteArgs* a) { a->p2p_out = true; a->destinations = {cnp1(5, 2, 3)}; }, 45,
         0x05800502},
        {"point-to-point input", [](RouteArgs* a) { a->p2p_in = true; a->sources = {cnp1(6, 1, 2)}; }, 46, 0x00400601},
        {"link 255 to a TNP-B", [](RouteArgs* a) { a->link_index = 255; a->destinations = {unit(hw::Type::TNP_B, 3)}; },
         45, 0xFE000303},
        {"link 255 to a CNP", [](RouteArgs* a) { a->link_index = 255; }, 45, 0xFF000303},
        {"only the first destination counts", [](RouteArgs* a) { a->destinations = {cnp1(3), unit(hw::Type::TNP_B, 4)}; },
         45, 0x05000403},
        {"span over own NPs and one HRC destination",
         [](RouteArgs* a) { a->own = {cnp1(2), cnp1(4)}; a->destinations = {unit(hw::Type::HRC, 0)}; }, 47, 0x00000401},
    };
    for (auto const& row : rows) {
        RouteArgs args;
        row.change(&args);
        auto regs = image();
        args.apply(&regs);
        EXPECT_EQ(regs.at(row.word), row.value) << row.what;
    }
}

TEST(V2Routing, AlternateBranch) {
    RouteArgs args;
    args.alt = std::make_unique<AltLayerInfo>(AltLayerInfo{true, 6, 3});
    auto regs = image();
    regs[52] = 0x80;  // the merge bits stay
    args.apply(&regs);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0x06030090u);

    RouteArgs plain;  // without one, word 52 and bit 19 of word 46 stay as they were
    regs = image();
    regs[46] = 1u << 19;
    regs[52] = 0xFFFFFFFF;
    plain.apply(&regs);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0xFFFFFFFFu);
}

TEST(V2Routing, Failures) {
    // word44: what word 44 holds after the failure
    struct { char const* what; void (*change)(RouteArgs*); std::string message; uint32_t word44; } const rows[] = {
        {"P2P OUT to two NPs", [](RouteArgs* a) { a->p2p_out = true; a->destinations = {cnp1(3), cnp1(4)}; },
         "Cannot use P2P OUT mode for multiple NPs.", 0xFF080009},
        {"P2P IN from two NPs", [](RouteArgs* a) { a->p2p_in = true; a->sources = {cnp1(1), cnp1(2)}; },
         "Cannot use P2P IN mode for multiple NPs.", 0xFF080008},
        // 0 - 1 never wraps into a link index.
        {"link 0 to a TNP-B", [](RouteArgs* a) { a->link_index = 0; a->destinations = {unit(hw::Type::TNP_B, 3)}; },
         overflow(4294967295u, 8), 0xFF080008},
        {"256 alternate NPs",
         [](RouteArgs* a) { a->alt = std::make_unique<AltLayerInfo>(AltLayerInfo{false, 256, 0}); }, overflow(256, 8),
         0xFF080008},
        // Nothing is written when a list is empty.
        {"no destinations", [](RouteArgs* a) { a->destinations.clear(); }, "Cannot route an NP without destinations.",
         0},
        {"no sources", [](RouteArgs* a) { a->sources.clear(); }, "Cannot route an NP without sources.", 0},
        {"no own components", [](RouteArgs* a) { a->own.clear(); }, "Cannot route an NP without layer components.", 0},
    };
    for (auto const& row : rows) {
        RouteArgs args;
        row.change(&args);
        auto regs = image();
        EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(&regs); }), row.message) << row.what;
        EXPECT_EQ(regs[44], row.word44) << row.what;
    }
}

TEST(V2Routing, ConfigurationDmaWord) {
    auto regs = image();
    regs[49] = 0xABC00000;  // bits 20-31 are kept
    format_mesh_cfg_dma_reg(&regs, hw::Ident{7, 2, 1, 0});
    EXPECT_EQ(regs[49], 0xABC20702u);
    regs[49] = 0x12345678;
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident{7, 2, 4, 0}); }),
              overflow(16, 4));
    EXPECT_EQ(regs[49], 0x12345678u);
}

// The skip-DMA load joins the sources; the stores join the destinations, or the sources when the
// mapping counts them as inputs. A missing inbound list is skipped.
TEST(V2Routing, RoutingListsOfAMapping) {
    auto const columns = [](List const& list) {
        std::vector<uint8_t> result;
        for (auto const& c : list) result.push_back(c.ident.col);
        return result;
    };
    LayerMapping mapping(1);
    *mapping.components = {cnp1(3), cnp1(4)};
    mapping.inputs = {std::make_shared<List>(List{cnp1(1), cnp1(2)}), nullptr};
    mapping.outputs.push_back(std::make_shared<List>(List{cnp1(5)}));
    mapping.skipdma_loads = {unit(hw::Type::SKIP_DMA_LOAD, 9)};
    mapping.skipdma_stores = {unit(hw::Type::SKIP_DMA_STORE, 8)};
    using Columns = std::vector<uint8_t>;
    for (bool stores_are_inputs : {false, true}) {
        mapping.uses_skipdma_layer_flag = stores_are_inputs;
        EXPECT_EQ(columns(routing_sources(mapping)), (stores_are_inputs ? Columns{1, 2, 9, 8} : Columns{1, 2, 9}));
        EXPECT_EQ(columns(routing_destinations(mapping)), (stores_are_inputs ? Columns{5} : Columns{5, 8}));
    }
}

// An NP in column 3 computing `filters` channels from `start`, over `spatial`, keeping `kept`.
hw::Component np_on(NpSpace spatial, NpSpace kept, uint32_t start = 0, uint32_t filters = 4) {
    return make_component(hw::Type::CNP1, {3, 0, 0, 0}, hw::NpPart{start, filters, spatial, kept, false});
}

hw::Component const cnp_component = np_on(NpSpace{0, 0, Shape{16, 8, 32}}, NpSpace{2, 1, Shape{16, 8, 32}});

// A model "in" -> ... of real layers, and a hand-built mapping of the linked layer on two NPs in
// columns 3 and 4, fed by an NP in column 1, input link index 7.
struct Linked {
    nuvra::testing::ModelBuilder model;
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(1);

    explicit Linked(Shape input = {16, 8, 32}, int bits = 8) {
        model.layer(LayerType::InputData, "in",
                    {{"input_width", int(input[0])}, {"input_height", int(input[1])},
                     {"input_channels", int(input[2])}, {"input_bits", bits}},
                    {});
    }
    Linked& add(LayerType type, std::string const& name, Params const& params, std::string const& in = "in") {
        model.layer(type, name, params, {in});
        return *this;
    }
    Layer& map(std::string const& name) {
        *mapping->components = {unit(hw::Type::CNP1, 3), unit(hw::Type::CNP1, 4)};
        mapping->input_link_index = 7;
        mapping->inputs.push_back(std::make_shared<List>(List{unit(hw::Type::CNP1, 1)}));
        set_layer_mapping(*model[name], mapping);
        return *model[name];
    }
    std::vector<uint32_t> update(std::string const& name, hw::Component const& c = cnp_component,
                                 bool mesh_flag = false, std::vector<uint32_t> regs = image()) {
        update_partial_reconfig_regs(&regs, map(name), c, mesh_flag);
        return regs;
    }
};

Params const conv1{{"kernel_size", 1}, {"filters", 4}};

TEST(V2PartialReconfig, ConvolutionOnCnp) {
    auto const regs = Linked().add(LayerType::Conv2D, "b", conv1).update("b", cnp_component, true);
    // 32: enabled, CNP, 8-bit input code 3, link 7; 33: origin row 1, column 2; 34: 8 rows, 16 columns;
    // 35: row a4(16) = 16 bytes, 16 x 32 / 4 = 128 words; 41: 2 NPs, sources in column 1; 44: the mesh flag.
    std::map<size_t, uint32_t> const words{{32, 0x07000035}, {33, 0x00020001}, {34, 0x00100008}, {35, 0x00100080},
                                           {40, 0}, {41, 0x02000101}, {42, 0}, {44, 0x00008000}};
    for (auto const& [word, value] : words) EXPECT_EQ(regs.at(word), value) << "word " << word;
}

TEST(V2PartialReconfig, InputModes) {
    // After max pooling without activation the NP reads the pooled input: ((16 x 32 x 8 + 31) / 32) x 8.
    for (auto [activation, word32, word40] : {std::tuple{0, 0x07000835u, 1024u}, std::tuple{1, 0x07000035u, 0u}}) {
        Linked linked({32, 16, 32});
        linked.add(LayerType::Conv2D, "a",
                   {{"kernel_size", 1}, {"filters", 32}, {"pool_type", 1}, {"pool_size", 2},
                    {"activation", activation}});
        auto const regs = linked.add(LayerType::Conv2D, "b", conv1, "a").update("b");
        EXPECT_EQ(regs[32], word32) << activation;
        EXPECT_EQ(regs[40], word40) << activation;
        EXPECT_EQ(regs[35], 0x00100080u) << activation;
    }
    // A separable layer: bit 10 when the NP holds a group of the channels; other bits of word 42 kept.
    for (auto [start, filters, word32, word42] :
         {std::tuple{8u, 8u, 0x07000435u, 0xA808A008u}, std::tuple{0u, 32u, 0x07000035u, 0xAAAAAAAAu}}) {
        std::vector<uint32_t> regs(64, 0u);
        regs[42] = 0xAAAAAAAA;
        NpSpace const part{0, 0, Shape{16, 8, 8}};
        regs = Linked().add(LayerType::DepthwiseConv2D, "b", {{"kernel_size", 3}})
                   .update("b", np_on(part, part, start, filters), false, regs);
        EXPECT_EQ(regs[32], word32) << filters;
        EXPECT_EQ(regs[42], word42) << filters;
        EXPECT_EQ(regs[35], 0x00808004u) << filters;  // (8 x 16 + 31) / 32 = 4 words, row 128, separable bit 15
    }
    // A layer on no NP kind writes no window and no sizes.
    Linked none;
    none.add(LayerType::Conv2D, "b", conv1).map("b");
    FakeLayer layer("b", {ComponentKind::SKIP_DMA});
    layer.set_bits(8, 8);
    layer.set_mapping(none.mapping);
    std::vector<uint32_t> regs(64, 0u);
    regs[33] = regs[34] = regs[40] = 0xAAAAAAAA;
    regs[35] = 0xFFFFFFFF;
    update_partial_reconfig_regs(&regs, layer, cnp_component, false);
    EXPECT_EQ(regs[32], 0x07000035u);
    EXPECT_EQ((std::vector{regs[33], regs[34], regs[40]}), std::vector<uint32_t>(3, 0xAAAAAAAA));
    EXPECT_EQ(regs[35], 0x0000C000u);
}

TEST(V2PartialReconfig, FullyConnectedOnFnp) {
    // through_cnp: the Dense1D reads a Conv2D's output (else the input directly)
    struct { char const* what; int bits; bool through_cnp; uint32_t word32, word35; } const rows[] = {
        {"4-bit, packed: row a4(k(3)) = 4", 4, false, 0x07000027, 0x00040005},
        {"4-bit, row byte padded: row k(3) = 2", 4, true, 0x07000027, 0x00020003},
    };
    NpSpace const part{0, 0, Shape{3, 2, 5}};
    for (auto const& row : rows) {
        Linked linked({3, 2, row.through_cnp ? 4u : 5u}, row.bits);
        if (row.through_cnp)
            linked.add(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 5}, {"output_bits", row.bits}});
        linked.add(LayerType::Dense1D, "d", {{"units", 10}}, row.through_cnp ? "c" : "in");
        std::vector<uint32_t> regs(64, 0u);
        regs[40] = 0xAAAAAAAA;
        regs = linked.update("d", np_on(part, part), false, regs);
        EXPECT_EQ(regs[32], row.word32) << row.what;
        EXPECT_EQ(regs[33], 0u) << row.what;
        EXPECT_EQ(regs[34], 0x00030002u) << row.what;  // 2 rows, 3 columns
        EXPECT_EQ(regs[35], row.word35) << row.what;
        EXPECT_EQ(regs[40], 0xAAAAAAAAu) << row.what;
    }
    NpSpace const wide{0, 0, Shape{64, 64, 1}};
    Linked too_wide({64, 64, 1});
    too_wide.add(LayerType::Dense1D, "d", {{"units", 10}});
    EXPECT_EQ(error_text<std::runtime_error>([&] { too_wide.update("d", np_on(wide, wide)); }), "Unsupported padding.");
}

TEST(V2PartialReconfig, SourceColumnsAndMergeBits) {
    struct { char const* what; List inputs; bool skip_dmas, stores_are_inputs; uint32_t word41_low; }
    const sources[] = {
        {"the HRC alone", {unit(hw::Type::HRC, 0)}, false, false, 0x0101},
        {"inputs, load and store", {unit(hw::Type::CNP1, 2)}, true, true, 0x0902},
    };
    for (auto const& row : sources) {
        Linked linked;
        linked.add(LayerType::Conv2D, "b", conv1).map("b");
        linked.mapping->inputs = {std::make_shared<List>(row.inputs)};
        if (row.skip_dmas) {
            linked.mapping->skipdma_loads = {unit(hw::Type::SKIP_DMA_LOAD, 7)};
            linked.mapping->skipdma_stores = {unit(hw::Type::SKIP_DMA_STORE, 9)};
        }
        linked.mapping->uses_skipdma_layer_flag = row.stores_are_inputs;
        std::vector<uint32_t> regs(64, 0u);
        regs[41] = 0x80000000;  // bit 31 is cleared
        update_partial_reconfig_regs(&regs, *linked.model["b"], cnp_component, false);
        EXPECT_EQ(regs[41], 0x02000000u | row.word41_low) << row.what;
    }
    // Word 32 bit 3: a merge; bit 6: a Concatenate merge.
    for (auto [merge, add, bits] : {std::tuple{false, false, 0x00u}, {true, true, 0x08u}, {true, false, 0x48u}}) {
        Linked linked;
        if (merge) {
            linked.mapping->merge_info = std::make_unique<MergeLayerInfo>();
            linked.mapping->merge_info->add = add;
        }
        std::vector<uint32_t> regs(64, 0u);
        regs[32] = 0x48;
        regs = linked.add(LayerType::Conv2D, "b", conv1).update("b", cnp_component, false, regs);
        EXPECT_EQ(regs[32] & 0x48, bits) << merge << add;
    }
}

TEST(V2PartialReconfig, Failures) {
    struct { char const* what; int input_bits; size_t components; std::string message; } const rows[] = {
        {"16-bit input", 16, 2, overflow(6, 2)}, {"128 components", 8, 128, overflow(128, 7)},
    };
    for (auto const& row : rows) {
        Linked linked({16, 8, 32}, row.input_bits);
        Layer& layer = linked.add(LayerType::Conv2D, "b", conv1).map("b");
        linked.mapping->components->assign(row.components, unit(hw::Type::CNP1, 3));
        std::vector<uint32_t> regs(64, 0u);
        EXPECT_EQ(error_text<std::runtime_error>([&] { update_partial_reconfig_regs(&regs, layer, cnp_component,
                                                                                    false); }),
                  row.message)
            << row.what;
    }

    Linked linked;
    Layer& layer = linked.add(LayerType::Conv2D, "b", conv1).add(LayerType::Conv2D, "unmapped", conv1).map("b");
    std::vector<uint32_t> regs(64, 0u);
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { update_partial_reconfig_regs(&regs, *linked.model["unmapped"], cnp_component, false); }),
              "The linked layer unmapped has no hardware mapping.");
    EXPECT_SAME_IMAGE(regs, image(), np_fields());
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { update_partial_reconfig_regs(&regs, layer, unit(hw::Type::CNP1, 3), false); }),
              "The linked component has no NP part.");
}

}  // namespace
}  // namespace nuvra::v2
