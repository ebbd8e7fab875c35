// The interfaces the system exports under fixed names: register constants with their offsets and
// widths, and functions with their exact parameter and return types. Each is named here in that
// form, so a change that drops, renames or re-signs one does not compile. A few calls through
// these forms are compared with the named-argument forms the code uses inside.

#include <gtest/gtest.h>

namespace nuvra {
namespace {

// ---- program records and the serializer ----

// (end of program records and the serializer)


// ---- second generation ----

// (end of second generation)


// ---- first generation ----
}  // namespace
}  // namespace nuvra

#include <map>
#include <memory>
#include <type_traits>
#include <vector>

#include "backends/v1/cnp_registers.h"
#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/learning.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/record_conv.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/record_hrc.h"
#include "backends/v1/record_sep_conv.h"
#include "backends/v1/registers.h"
#include "support/error_text.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"

namespace nuvra {
namespace {
namespace first_generation {

// A register constant of the interface: a RegDetail (not a Field, nor any other type) with these
// bits.
template <class T>
consteval bool is_reg_detail(T const& constant, uint32_t offset, uint32_t width) {
    if constexpr (std::is_same_v<T, RegDetail>) return constant == RegDetail{offset, width};
    else return false;
}

static_assert(is_reg_detail(v1::CNP1_CONV_STRD, 8, 1));
static_assert(is_reg_detail(v1::CNP1_KERNEL_TYPE, 28, 3));
static_assert(is_reg_detail(v1::CNP4_OB_I_ORIG, 0, 12));
static_assert(is_reg_detail(v1::CNP4_OB_J_ORIG, 16, 12));
static_assert(is_reg_detail(v1::REG10_I_SIZE_CUT, 0, 11));
static_assert(is_reg_detail(v1::REG10_J_SIZE_CUT, 16, 11));
static_assert(is_reg_detail(v1::REG11_ICONT_SIZE, 0, 8));
static_assert(is_reg_detail(v1::REG2_NP2NP_CFG, 20, 2));
static_assert(is_reg_detail(v1::REG2_CNP4FNP_NUM, 24, 2));
static_assert(is_reg_detail(v1::REG11_CH_SIZE, 12, 18));
static_assert(is_reg_detail(v1::FNP1_FPKT_WSIZE, 0, 18));
static_assert(is_reg_detail(v1::FNP4_W_SIZE_LAST, 0, 16));
static_assert(is_reg_detail(v1::FNP4_W_BLK_COUNT, 20, 4));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_R, 0, 1));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_G, 1, 1));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_B, 2, 1));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_TH_STP, 31, 1));

using Idents = std::vector<hw::Ident>;
using Components = std::vector<hw::Component>;
using Registers = std::vector<uint32_t>;
using RegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;
using RecordPtr = std::unique_ptr<program::Record>;

// Each function in its exact type: dropping or re-signing one does not compile.
using LayerProgram = RecordPtr (*)(Device const&, Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&,
                                   bool);
using CnpImages = RegisterMap (*)(Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&);
[[maybe_unused]] constexpr auto record_program_conv_layer = static_cast<LayerProgram>(&v1::record_program_conv_layer);
[[maybe_unused]] constexpr auto record_program_sep_conv_layer =
    static_cast<LayerProgram>(&v1::record_program_sep_conv_layer);
[[maybe_unused]] constexpr auto record_program_dense_layer = static_cast<LayerProgram>(&v1::record_program_dense_layer);
[[maybe_unused]] constexpr auto format_conv_np_registers = static_cast<CnpImages>(&v1::format_conv_np_registers);
[[maybe_unused]] constexpr auto format_sep_conv_np_registers =
    static_cast<CnpImages>(&v1::format_sep_conv_np_registers);
[[maybe_unused]] constexpr auto format_dense_np_registers = static_cast<RegisterMap (*)(
    Device const&, Layer const&, bool, std::shared_ptr<Layer> const&, bool, bool)>(&v1::format_dense_np_registers);
[[maybe_unused]] constexpr auto format_cnp_common_config_registers = static_cast<void (*)(
    Registers*, Shape const&, uint8_t, int, int, int, PaddingParams const&, uint8_t, int, NpSpace, NpSpace const&,
    uint32_t, uint8_t, PaddingParams const&, uint32_t, uint32_t, uint32_t, uint8_t)>(
    &v1::format_cnp_common_config_registers);
[[maybe_unused]] constexpr auto format_cnp_pooling_registers = static_cast<void (*)(
    Registers*, Shape const&, NpSpace const&, uint8_t, uint8_t, uint8_t, PaddingParams const&)>(
    &v1::format_cnp_pooling_registers);
[[maybe_unused]] constexpr auto format_mesh_registers_set_output_to_NPs = static_cast<void (*)(
    Registers*, Components const&, Components const&, Components const&, uint8_t, bool, bool, bool)>(
    &v1::format_mesh_registers_set_output_to_NPs);
[[maybe_unused]] constexpr auto format_std_cnp_weights =
    static_cast<Registers (*)(std::shared_ptr<Dense const>, bool, uint32_t, uint32_t)>(&v1::format_std_cnp_weights);
[[maybe_unused]] constexpr auto fnp_update_learn_vars =
    static_cast<void (*)(HardwareDevice*, VariablesImpl*, bool)>(&v1::fnp_update_learn_vars);

using nuvra::testing::decode_blocks;
using nuvra::testing::V1MappedLayer;

V1MappedLayer mapped(LayerType type) {
    if (type == LayerType::FullyConnected)
        return nuvra::testing::map_v1_fnp_layer(
            {{"units", 10}, {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}}, {4, 4, 2, 2});
    // Split over several NPs of 8 filters, so that one of them can be skipped.
    return nuvra::testing::map_v1_cnp_layer(type,
                                            {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 24},
                                             {"padding", 1}, {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}},
                                            {16, 16, 4, 4}, 32, 8);
}

// The flags are given apart, so that a form that swaps two of them gives other words.
struct CallFlags {
    bool set_spikes = false;
    bool mesh_flag = false;
    bool skip_first = false;
    bool registers_only = false;
};
constexpr CallFlags call_rows[] = {{true, false, true, false}, {false, true, false, true}};

TEST(V1ExportedInterfaces, LayerProgramsAsTheNamedForms) {
    struct { LayerType type; LayerProgram program; RecordPtr (*named)(Device const&, LayerRecordArgs const&); } const
        kinds[] = {
            {LayerType::Convolutional, record_program_conv_layer, &v1::record_program_conv_layer},
            {LayerType::SeparableConvolutional, record_program_sep_conv_layer, &v1::record_program_sep_conv_layer},
            {LayerType::FullyConnected, record_program_dense_layer, &v1::record_program_dense_layer},
        };
    for (auto const& kind : kinds) {
        V1MappedLayer const m = mapped(kind.type);
        for (CallFlags const& row : call_rows) {
            SCOPED_TRACE(::testing::Message() << static_cast<int>(kind.type) << " spikes " << row.set_spikes);
            Idents const skipped = row.skip_first ? Idents{m.components().front().ident} : Idents{};
            LayerRecordArgs const args{.layer = m.layer(), .sequence_first = m.layer(), .set_spikes = row.set_spikes,
                                       .mesh_flag = row.mesh_flag, .skipped_nps = skipped,
                                       .registers_only = row.registers_only};
            EXPECT_EQ(decode_blocks(*kind.program(*m.device, m.layer(), nullptr, row.set_spikes, row.mesh_flag,
                                                  skipped, row.registers_only)),
                      decode_blocks(*kind.named(*m.device, args)));
        }
    }
}

TEST(V1ExportedInterfaces, RegisterImagesAsTheNamedForms) {
    V1MappedLayer const conv = mapped(LayerType::Convolutional);
    V1MappedLayer const sep = mapped(LayerType::SeparableConvolutional);
    V1MappedLayer const dense = mapped(LayerType::FullyConnected);
    for (CallFlags const& row : call_rows) {
        SCOPED_TRACE(row.set_spikes);
        Idents const skipped = row.skip_first ? Idents{conv.components().front().ident} : Idents{};
        NpImageArgs const args{.set_spikes = row.set_spikes, .ends_pass = row.mesh_flag, .skipped_nps = skipped};
        EXPECT_EQ(format_conv_np_registers(conv.layer(), nullptr, row.set_spikes, row.mesh_flag, skipped),
                  v1::format_conv_np_registers(conv.layer(), args));
        EXPECT_EQ(format_sep_conv_np_registers(sep.layer(), nullptr, row.set_spikes, row.mesh_flag, skipped),
                  v1::format_sep_conv_np_registers(sep.layer(), args));
        NpImageArgs const dense_args{.set_spikes = row.set_spikes, .ends_pass = row.mesh_flag};
        EXPECT_EQ(format_dense_np_registers(*dense.device, dense.layer(), false, nullptr, row.set_spikes,
                                            row.mesh_flag),
                  v1::format_dense_np_registers(*dense.device, dense.layer(), dense_args));
    }
}

TEST(V1ExportedInterfaces, CnpAndRoutingWordsAsTheNamedForms) {
    // Every value differs from its neighbours, so that a form that swaps two gives other words.
    Shape const input{16, 12, 4};
    NpSpace const window{0, 0, Shape{16, 6, 4}};
    NpSpace const cut{0, 0, Shape{16, 7, 4}};
    PaddingParams const conv_padding{1, 1, 1, 1};
    PaddingParams const pool_padding{1, 0, 1, 0};
    Registers part_form = v1::default_np_regs(), named = part_form;
    format_cnp_common_config_registers(&part_form, input, 5, 4, 3, 1, conv_padding, 1, 2, window, cut, 2, 2,
                                       pool_padding, 24, 8, 3, 1);
    v1::format_cnp_common_config_registers(
        named, {.input = input, .layer_index = 5, .input_bits = 4, .kernel_width = 3, .stride_x = 1,
                .conv_padding = conv_padding, .activation = true, .act_bits = 2, .window = window, .cut = cut,
                .pool = {.size = 2, .stride = 2, .padding = pool_padding}, .filters = 24, .start_neuron = 8,
                .np_count = 3, .single_buffer = true});
    format_cnp_pooling_registers(&part_form, input, window, 2, 3, 1, pool_padding);
    v1::format_cnp_pooling_registers(named, input, window, {.size = 2, .stride = 3, .padding = pool_padding,
                                                            .global = true});
    EXPECT_EQ(part_form, named);

    auto const np = [](uint8_t col, uint8_t row, uint8_t id) {
        return nuvra::testing::make_component(hw::Type::CNP1, {col, row, id, 0});
    };
    Components const sources{np(1, 2, 1)}, layer_nps{np(3, 0, 0), np(4, 0, 0)}, destinations{np(5, 0, 2), np(7, 0, 0)};
    format_mesh_registers_set_output_to_NPs(&part_form, sources, layer_nps, destinations, 9, true, false, true);
    v1::format_mesh_registers_set_output_to_NPs(&named, {.sources = sources, .layer_nps = layer_nps,
                                                         .destinations = destinations, .link_index = 9,
                                                         .p2p_in = true, .ends_pass = true});
    EXPECT_EQ(part_form, named);
    EXPECT_NE(part_form[46], 0u);
}

TEST(V1ExportedInterfaces, OtherFormsAsTheNamedForms) {
    auto const weights = Dense::create(TensorType::int8, Shape{2, 1, 3, 3}, Layout::c_order);
    auto* const values = static_cast<int8_t*>(weights->mutable_buffer().data);
    for (size_t i = 0; i < weights->size(); ++i) values[i] = int8_t(i % 3 - 1);  // -1, 0, 1, ...
    EXPECT_EQ(format_std_cnp_weights(weights, true, 0, 2), v1::format_std_cnp_weights(*weights, true, 0, 2));
    EXPECT_EQ(nuvra::testing::error_text<std::invalid_argument>([] { format_std_cnp_weights(nullptr, true, 0, 1); }),
              "No weights to format.");
    EXPECT_EQ(nuvra::testing::error_text<std::invalid_argument>([] { fnp_update_learn_vars(nullptr, nullptr, true); }),
              "The learning layer has no variables to update.");
}

}  // namespace first_generation
// (end of first generation)


// ---- third generation ----
}  // namespace
}  // namespace nuvra

#include <cstdint>
#include <vector>

#include "backends/wisp/format_sram.h"
#include "backends/wisp/registers.h"
#include "support/error_text.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {
namespace third_generation {

using first_generation::is_reg_detail;

static_assert(is_reg_detail(wisp::INTERNAL_STATE_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_0_COUT_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_1_COUT_SIZE, 9, 9));
static_assert(is_reg_detail(wisp::LAYER_2_COUT_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_3_COUT_SIZE, 9, 9));
static_assert(is_reg_detail(wisp::LAYER_4_COUT_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_5_COUT_SIZE, 9, 9));

using Words = std::vector<uint32_t>;

// Each memory formatter in its exact type: dropping or re-signing one does not compile.
[[maybe_unused]] constexpr auto format_fsram_weights =
    static_cast<void (*)(Words*, Dense const&, Dense const&)>(&wisp::format_fsram_weights);
[[maybe_unused]] constexpr auto format_tsram_state_updating_var =
    static_cast<void (*)(Words*, Dense const&, Dense const&, Dense const&, Dense const&, Dense const&)>(
        &wisp::format_tsram_state_updating_var);
[[maybe_unused]] constexpr auto format_tsram_output_var =
    static_cast<void (*)(Words*, Dense const&, Dense const&, Dense const&, Dense const&)>(
        &wisp::format_tsram_output_var);
[[maybe_unused]] constexpr auto format_tsram_post_processing_output_var =
    static_cast<void (*)(Words*, uint16_t, uint16_t)>(&wisp::format_tsram_post_processing_output_var);
[[maybe_unused]] constexpr auto format_tsram_input_shift =
    static_cast<void (*)(Words*, Dense const&, uint8_t)>(&wisp::format_tsram_input_shift);
[[maybe_unused]] constexpr auto format_tsram_post_processing_input_shift =
    static_cast<void (*)(Words*)>(&wisp::format_tsram_post_processing_input_shift);

TEST(WispExportedInterfaces, AppendingFormattersAsTheReturningForms) {
    using namespace nuvra::testing;
    auto const in_proj = i8({2, 9}, std::vector<int8_t>(18, 3));
    auto const out_proj = i8({1, 2}, {-1, 5});
    auto const one = i8({1}, {1});
    // Each appends after what the list holds: the words of a memory image follow each other.
    Words appended{0xAAAA};
    Words expected{0xAAAA};
    auto const add = [&expected](Words const& words) { expected.insert(expected.end(), words.begin(), words.end()); };
    format_fsram_weights(&appended, *in_proj, *out_proj);
    add(wisp::format_fsram_weights(*in_proj, *out_proj));
    format_tsram_state_updating_var(&appended, *i16({1}, {7}), *i16({1}, {-3}), *one, *u8({1}, {9}), *one);
    add(wisp::format_tsram_state_updating_var(*i16({1}, {7}), *i16({1}, {-3}), *one, *u8({1}, {9}), *one));
    format_tsram_output_var(&appended, *u8({1}, {4}), *one, *i8({1}, {-2}), *u8({1}, {6}));
    add(wisp::format_tsram_output_var(*u8({1}, {4}), *one, *i8({1}, {-2}), *u8({1}, {6})));
    format_tsram_post_processing_output_var(&appended, 16, 300);
    add(wisp::format_tsram_post_processing_output_var(16, 300));
    format_tsram_input_shift(&appended, *u8({3}, {1, 2, 3}), 16);
    add(wisp::format_tsram_input_shift(*u8({3}, {1, 2, 3}), 16));
    format_tsram_post_processing_input_shift(&appended);
    add(wisp::format_tsram_post_processing_input_shift());
    EXPECT_EQ(appended, expected);

    // No list, or a formatter that fails: nothing is appended.
    EXPECT_EQ(error_text<std::invalid_argument>([] { format_tsram_post_processing_input_shift(nullptr); }),
              "No word list to append to.");
    Words kept{1, 2};
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_tsram_post_processing_output_var(&kept, 0, 0); }),
              "Post-processing timesteps must be from 1 to 65535 (got 0).");
    EXPECT_EQ(kept, (Words{1, 2}));
}

}  // namespace third_generation
// (end of third generation)

}  // namespace
}  // namespace nuvra
