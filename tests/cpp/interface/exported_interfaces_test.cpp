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
}  // namespace
}  // namespace nuvra

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "backends/v2/format_fnp.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_buffer_temp_conv.h"
#include "backends/v2/record_conv2d.h"
#include "backends/v2/record_conv2d_transpose.h"
#include "backends/v2/record_dense1d.h"
#include "backends/v2/record_dwconv2d.h"
#include "backends/v2/record_input_conv2d.h"
#include "backends/v2/recorders.h"
#include "backends/v2/registers.h"
#include "backends/v2/sizes.h"
#include "hw/presets.h"
#include "program/hrc_input.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/record_test_util.h"
#include "v2/np_mapping_fixture.h"

namespace nuvra {
namespace {
namespace second_generation {

using namespace nuvra::testing;
using LT = LayerType;
using Idents = std::vector<hw::Ident>;
using RecordPtr = std::unique_ptr<program::Record>;

// A field constant declared as a RegDetail of its own, not as a field bound to its word.
template <class Declared>
constexpr bool is_reg_detail = std::is_same_v<Declared, RegDetail const>;

static_assert(is_reg_detail<decltype(v2::REG4_IB_CH_GRP_EN)> && v2::REG4_IB_CH_GRP_EN == RegDetail{10, 1});
static_assert(is_reg_detail<decltype(v2::REG4_EN_ACT)> && v2::REG4_EN_ACT == RegDetail{15, 1});
static_assert(is_reg_detail<decltype(v2::REG4_NP_NUM)> && v2::REG4_NP_NUM == RegDetail{16, 8});
static_assert(is_reg_detail<decltype(v2::REG5_CPKSRAM_SIZE)> && v2::REG5_CPKSRAM_SIZE == RegDetail{0, 16});
static_assert(is_reg_detail<decltype(v2::REG8_II_SIZE)> && v2::REG8_II_SIZE == RegDetail{0, 11});
static_assert(is_reg_detail<decltype(v2::REG8_II_OFFSET)> && v2::REG8_II_OFFSET == RegDetail{12, 3});
static_assert(is_reg_detail<decltype(v2::REG8_JJ_SIZE)> && v2::REG8_JJ_SIZE == RegDetail{16, 11});
static_assert(is_reg_detail<decltype(v2::REG8_JJ_OFFSET)> && v2::REG8_JJ_OFFSET == RegDetail{28, 3});
static_assert(is_reg_detail<decltype(v2::REG9_I_ORIG_CUT)> && v2::REG9_I_ORIG_CUT == RegDetail{0, 12});
static_assert(is_reg_detail<decltype(v2::REG11_CHCONT_SIZE)> && v2::REG11_CHCONT_SIZE == RegDetail{12, 18});
static_assert(is_reg_detail<decltype(v2::CNP2_TF_TOTAL)> && v2::CNP2_TF_TOTAL == RegDetail{0, 11});
static_assert(is_reg_detail<decltype(v2::CNP3_CH_ORIG_CUT)> && v2::CNP3_CH_ORIG_CUT == RegDetail{0, 12});
static_assert(is_reg_detail<decltype(v2::CNP3_CH_SIZE_CUT)> && v2::CNP3_CH_SIZE_CUT == RegDetail{16, 10});
static_assert(is_reg_detail<decltype(v2::CNP8_CPK_CHCONT_SIZE)> && v2::CNP8_CPK_CHCONT_SIZE == RegDetail{16, 16});
static_assert(is_reg_detail<decltype(v2::PR1_FNP_MODE)> && v2::PR1_FNP_MODE == RegDetail{1, 1});
static_assert(is_reg_detail<decltype(v2::PR1_IB_CH_GRP_EN)> && v2::PR1_IB_CH_GRP_EN == RegDetail{10, 1});
static_assert(is_reg_detail<decltype(v2::PR1_SP_MAXPOOLING)> && v2::PR1_SP_MAXPOOLING == RegDetail{11, 1});
static_assert(is_reg_detail<decltype(v2::PR1_SEPARABLE)> && v2::PR1_SEPARABLE == RegDetail{15, 1});
static_assert(is_reg_detail<decltype(v2::PR1_I_ORIG_CUT)> && v2::PR1_I_ORIG_CUT == RegDetail{0, 12});
static_assert(is_reg_detail<decltype(v2::PR1_J_ORIG_CUT)> && v2::PR1_J_ORIG_CUT == RegDetail{16, 12});
static_assert(is_reg_detail<decltype(v2::PR1_I_SIZE_CUT)> && v2::PR1_I_SIZE_CUT == RegDetail{0, 11});
static_assert(is_reg_detail<decltype(v2::PR1_J_SIZE_CUT)> && v2::PR1_J_SIZE_CUT == RegDetail{16, 11});
static_assert(is_reg_detail<decltype(v2::PR1_CH_SIZE)> && v2::PR1_CH_SIZE == RegDetail{0, 18});
static_assert(is_reg_detail<decltype(v2::PR1_CH_ORIG_CUT)> && v2::PR1_CH_ORIG_CUT == RegDetail{0, 12});
static_assert(is_reg_detail<decltype(v2::PR1_CH_SIZE_CUT)> && v2::PR1_CH_SIZE_CUT == RegDetail{16, 10});
static_assert(is_reg_detail<decltype(v2::PR1_PKSRAM_SIZE)> && v2::PR1_PKSRAM_SIZE == RegDetail{0, 16});
static_assert(is_reg_detail<decltype(v2::VARS_W1_BIAS)> && v2::VARS_W1_BIAS == RegDetail{8, 8});
static_assert(is_reg_detail<decltype(v2::VARS_W1_BIAS_SHIFT)> && v2::VARS_W1_BIAS_SHIFT == RegDetail{16, 5});
static_assert(is_reg_detail<decltype(v2::VARS_W1_OUT_SHIFT)> && v2::VARS_W1_OUT_SHIFT == RegDetail{21, 6});
static_assert(is_reg_detail<decltype(v2::VARS_W1_MAX_SHIFT)> && v2::VARS_W1_MAX_SHIFT == RegDetail{27, 5});
static_assert(is_reg_detail<decltype(v2::HRC_SRAM_SELECT_R)> && v2::HRC_SRAM_SELECT_R == RegDetail{0, 1});
static_assert(is_reg_detail<decltype(v2::HRC_SRAM_SELECT_G)> && v2::HRC_SRAM_SELECT_G == RegDetail{1, 1});
static_assert(is_reg_detail<decltype(v2::HRC_SRAM_SELECT_B)> && v2::HRC_SRAM_SELECT_B == RegDetail{2, 1});
static_assert(is_reg_detail<decltype(v2::HRC_SRAM_SELECT_LUT)> && v2::HRC_SRAM_SELECT_LUT == RegDetail{29, 1});
static_assert(is_reg_detail<decltype(v2::HRC_SRAM_SELECT_ACT)> && v2::HRC_SRAM_SELECT_ACT == RegDetail{31, 1});
static_assert(is_reg_detail<decltype(v2::fnp::MAX_VALUE)> && v2::fnp::MAX_VALUE == RegDetail{16, 8});
static_assert(is_reg_detail<decltype(v2::fnp::MAX_VALUE_SHIFT)> && v2::fnp::MAX_VALUE_SHIFT == RegDetail{24, 8});

// The functions in their positional forms, each named through a pointer of its exact type.
using KindRecorder = RecordPtr(Device const&, Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&, bool,
                               bool);
using KindRegisters = std::map<hw::Ident, std::vector<uint32_t>>(Layer const&, std::shared_ptr<Layer>, bool, bool,
                                                                 Idents const&, bool, bool);
using NamedRecorder = RecordPtr(Device const&, LayerRecordArgs const&);
using NamedRegisters = NpRegisterMap(LayerRecordArgs const&);

struct KindForms {
    LayerType type;
    KindRecorder* record;
    NamedRecorder* record_named;
    KindRegisters* registers;
    NamedRegisters* registers_named;
};
KindForms const kind_forms[] = {
    {LT::Conv2D, static_cast<KindRecorder*>(&v2::record_program_conv2d_layer), &v2::record_program_conv2d_layer,
     static_cast<KindRegisters*>(&v2::format_conv2d_np_registers), &v2::format_conv2d_np_registers},
    {LT::Conv2DTranspose, static_cast<KindRecorder*>(&v2::record_program_transposed_conv2d_layer),
     &v2::record_program_transposed_conv2d_layer,
     static_cast<KindRegisters*>(&v2::format_transposed_conv2d_np_registers),
     &v2::format_transposed_conv2d_np_registers},
    {LT::DepthwiseConv2D, static_cast<KindRecorder*>(&v2::record_program_dwconv2d_layer),
     &v2::record_program_dwconv2d_layer, static_cast<KindRegisters*>(&v2::format_dwconv2d_np_registers),
     &v2::format_dwconv2d_np_registers},
    {LT::DepthwiseConv2DTranspose, static_cast<KindRecorder*>(&v2::record_program_transposed_dwconv2d_layer),
     &v2::record_program_transposed_dwconv2d_layer,
     static_cast<KindRegisters*>(&v2::format_transposed_dwconv2d_np_registers),
     &v2::format_transposed_dwconv2d_np_registers},
    {LT::BufferTempConv, static_cast<KindRecorder*>(&v2::record_program_buffer_temp_conv_layer),
     &v2::record_program_buffer_temp_conv_layer,
     static_cast<KindRegisters*>(&v2::format_buffer_temp_conv_np_registers),
     &v2::format_buffer_temp_conv_np_registers},
    {LT::DepthwiseBufferTempConv, static_cast<KindRecorder*>(&v2::record_program_depthwise_buffer_temp_conv_layer),
     &v2::record_program_depthwise_buffer_temp_conv_layer,
     static_cast<KindRegisters*>(&v2::format_depthwise_buffer_temp_conv_np_registers),
     &v2::format_depthwise_buffer_temp_conv_np_registers},
};

auto* const dense1d_recorder = static_cast<RecordPtr (*)(Device const&, HardwareConstraints const&, Layer const&,
                                                         Layer const&, std::shared_ptr<Layer>, bool, bool,
                                                         Idents const&, bool)>(&v2::record_program_dense1d_layer);
auto* const common_config = static_cast<void (*)(
    std::vector<uint32_t>*, NpSplitInterface const&, int, int, ActivationType, uint32_t, uint32_t, uint8_t,
    std::vector<hw::Component> const&, bool, bool, uint8_t, uint8_t, std::unique_ptr<MergeLayerInfo> const&,
    hw::Component const*, std::vector<hw::Component> const&, bool, bool)>(&v2::format_cnp_tnp_common_config_registers);
auto* const hrc_sram = static_cast<void (*)(program::Record*, RegDetail const&, std::vector<uint32_t> const&)>(
    &v2::record_hrc_sram);
auto* const fnp_weights_into_image = static_cast<void (*)(uint8_t*, uint32_t, Dense const&, uint8_t, Shape const&,
                                                          v2::InputPadding, uint8_t)>(&v2::format_fnp_weights);
auto const record_layer = static_cast<RecordPtr (v2::LayerRecorderImpl::*)(
    Layer const&, Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&, bool, bool) const>(
    &v2::LayerRecorderImpl::record_layer);
auto const record_scc = static_cast<RecordPtr (v2::IoRecorderImpl::*)(bool, bool, bool, bool, bool, Shape, Shape)
                                        const>(&v2::IoRecorderImpl::record_scc);
auto const record_epg = static_cast<std::vector<std::pair<uint32_t, uint32_t>> (v2::IoRecorderImpl::*)(
    Layer const&, uint8_t, uint8_t, uint8_t, bool, bool, bool) const>(&v2::IoRecorderImpl::record_epg);
auto const external_memory = static_cast<uint32_t (v2::MemorySizerImpl::*)(
    std::shared_ptr<Layer> const&, hw::Component const&, bool, bool) const>(&v2::MemorySizerImpl::get_external_memory_size);

bool temporal(LayerType type) { return type == LT::BufferTempConv || type == LT::DepthwiseBufferTempConv; }
bool depthwise(LayerType type) {
    return type == LT::DepthwiseConv2D || type == LT::DepthwiseConv2DTranspose || type == LT::DepthwiseBufferTempConv;
}

// A layer of `type` over an 8 x 8 x 4 input on two NPs of two filters (channels) each, kernel (or
// FIFO) 3, ReLU; a temporal kind with its frame-buffer skip DMAs.
std::shared_ptr<FakeLayer> mapped_conv(LayerType type) {
    auto layer = FakeLayer::make("conv", {temporal(type) ? ComponentKind::TNP_B : ComponentKind::CNP});
    std::map<std::string, int> params{{"activation", 1}};
    if (temporal(type)) params.insert({{"fifo_size", 3}, {"filters", 4}});
    else params.insert({{"kernel_size", 3}, {"weights_bits", 8}, {"kernel_stride", 1}, {"filters", 4}});
    if (type == LT::Conv2D || type == LT::DepthwiseConv2D) params.insert({{"pool_type", 0}, {"pool_size", 1}});
    if (depthwise(type)) params.erase("filters");
    layer->set_params(type, params);
    layer->set_activation(ActivationType::ReLU);
    layer->set_input_dims({Shape{8, 8, 4}});
    layer->set_output_dims(Shape{8, 8, 4});
    layer->set_conv_block({1, 1, 8, 8, {1, 1, 1, 1}});
    layer->set_pool_block({1, 1, 8, 8, {}, false});
    Shape const kernel = !temporal(type) ? Shape{3, 3, depthwise(type) ? 1u : 4u, 4}
                         : depthwise(type) ? Shape{1, 1, 3, 4}
                                           : Shape{1, 1, 12, 4};
    auto weights = zeros(TensorType::int8, kernel);
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 7) - 3);
    layer->vars().set("weights", weights);
    layer->vars().set("input_shift", zeros(TensorType::uint8, Shape{4}));
    layer->vars().set("bias", zeros(TensorType::int8, Shape{4}));
    auto mapping = v2::testing::np_mapping(temporal(type) ? hw::Type::TNP_B : hw::Type::CNP2,
                                           {np_part(0, 2, 0, 0, 8, 8, depthwise(type) ? 2 : 4),
                                            np_part(2, 2, 0, 0, 8, 8, depthwise(type) ? 2 : 4)});
    if (temporal(type)) {
        mapping->uses_skipdma_layer_flag = true;
        mapping->skipdma_stores.push_back(make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1}));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{3, 0, 1});
        mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 3, 1, 0});
    }
    layer->set_mapping(mapping);
    return layer;
}

// One argument at a time, so that two arguments passed in each other's place show.
struct CallRow {
    char const* name;
    bool next_layer, set_spikes, mesh_flag, registers_only, fnp_padding;
    Idents skipped_nps;
};
CallRow const call_rows[] = {
    {"next_layer", true, false, false, false, false, {}},
    {"set_spikes", false, true, false, false, false, {}},
    {"mesh_flag", false, false, true, false, false, {}},
    {"registers_only", false, false, false, true, false, {}},
    {"fnp_padding", false, false, false, false, true, {}},
    {"skipped_nps", false, false, false, false, false, {{3, 0, 0, 0}}},
};

TEST(ExportedInterfacesV2, KindFormsRecordWhatTheNamedFormsRecord) {
    auto const device = make_fake_device(hw::Tolmar_v2);
    for (KindForms const& kind : kind_forms) {
        auto const layer = mapped_conv(kind.type);
        for (CallRow const& row : call_rows) {
            SCOPED_TRACE(std::to_string(int(kind.type)) + " " + row.name);
            std::shared_ptr<Layer> const next = row.next_layer ? layer : nullptr;
            LayerRecordArgs const args{.layer = *layer, .sequence_first = *layer, .next_layer = next,
                                       .set_spikes = row.set_spikes, .mesh_flag = row.mesh_flag,
                                       .skipped_nps = row.skipped_nps, .registers_only = row.registers_only,
                                       .fnp_padding = row.fnp_padding};
            auto const positional = kind.record(*device, *layer, next, row.set_spikes, row.mesh_flag,
                                                row.skipped_nps, row.registers_only, row.fnp_padding);
            auto const blocks = decode_blocks(*positional);
            EXPECT_EQ(blocks, decode_blocks(*kind.record_named(*device, args)));
            EXPECT_FALSE(blocks.empty());
            EXPECT_EQ(kind.registers(*layer, next, row.set_spikes, row.mesh_flag, row.skipped_nps,
                                     row.registers_only, row.fnp_padding),
                      kind.registers_named(args));
        }
    }
}

// The FNP recorder, the dispatch and the IO recorder and memory sizer of the generation.
TEST(ExportedInterfacesV2, RecorderFormsRecordWhatTheNamedFormsRecord) {
    auto const device = make_fake_device(hw::Tolmar_v2);
    HardwareConstraints constraints;
    constraints.fnp3_sram_words = 1000;
    auto const dense = FakeLayer::make("fc", {ComponentKind::FNP});
    dense->set_params(LT::Dense1D, {{"units", 4}, {"weights_bits", 8}});
    dense->set_input_dims({Shape{2, 2, 4}});
    dense->set_output_dims(Shape{1, 1, 4});
    auto weights = zeros(TensorType::int8, Shape{16, 4});
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 9));
    dense->vars().set("weights", weights);
    dense->vars().set("input_shift", zeros(TensorType::uint8, Shape{16}));
    for (auto [name, type] : {std::pair{"bias", TensorType::int8}, {"bias_shift", TensorType::uint8},
                              {"output_scales", TensorType::uint8}, {"output_shift", TensorType::int8}})
        dense->vars().set(name, zeros(type, Shape{4}));
    dense->set_mapping(v2::testing::np_mapping(hw::Type::FNP3, {np_part(0, 4, 0, 0, 1, 1, 16)}));
    auto const input = FakeLayer::make("in");  // another first layer: the input stays unflattened

    v2::LayerRecorderImpl const recorder(*device, constraints);
    for (CallRow const& row : call_rows) {
        for (Layer const* first : {static_cast<Layer const*>(dense.get()), static_cast<Layer const*>(input.get())}) {
            SCOPED_TRACE(std::string(row.name) + (first == dense.get() ? ", flattened" : ""));
            std::shared_ptr<Layer> const next = row.next_layer ? dense : nullptr;
            LayerRecordArgs const args{.layer = *dense, .sequence_first = *first, .next_layer = next,
                                       .set_spikes = row.set_spikes, .mesh_flag = row.mesh_flag,
                                       .skipped_nps = row.skipped_nps, .registers_only = row.registers_only};
            auto const named = decode_blocks(*v2::record_program_dense1d_layer(*device, constraints, args));
            EXPECT_EQ(decode_blocks(*dense1d_recorder(*device, constraints, *dense, *first, next, row.set_spikes,
                                                      row.mesh_flag, row.skipped_nps, row.registers_only)),
                      named);
            LayerRecordArgs with_padding = args;
            with_padding.fnp_padding = row.fnp_padding;
            EXPECT_EQ(decode_blocks(*(recorder.*record_layer)(*dense, *first, next, row.set_spikes, row.mesh_flag,
                                                              row.skipped_nps, row.registers_only, row.fnp_padding)),
                      decode_blocks(*recorder.record_layer(with_padding)));
        }
    }

    v2::IoRecorderImpl const io(*device);
    for (bool const flag : {false, true}) {
        auto const scc = (io.*record_scc)(flag, true, !flag, true, !flag, Shape{8, 8, 3}, Shape{4, 5, 10});
        EXPECT_EQ(decode_blocks(*scc),
                  decode_blocks(*io.record_scc({flag, true, !flag, true, !flag}, Shape{8, 8, 3}, Shape{4, 5, 10})));
        EXPECT_EQ((io.*record_epg)(*dense, 1, 4, 2, flag, !flag, true),
                  io.record_epg({*dense, 1, 4, 2, flag, !flag, true}));
    }

    v2::MemorySizerImpl const sizer;
    hw::Component const store = make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1});
    for (auto [use_input_shape, two_buffers] : {std::pair{false, false}, {false, true}, {true, false}, {true, true}})
        EXPECT_EQ((sizer.*external_memory)(dense, store, use_input_shape, two_buffers),
                  sizer.get_external_memory_size(dense, store, {use_input_shape, two_buffers}))
            << use_input_shape << two_buffers;
}

// The register, HRC memory and FNP weight formatters in their positional forms.
TEST(ExportedInterfacesV2, FormatterFormsWriteWhatTheNamedFormsWrite) {
    // The common configuration, with and without a merge, each flag on its own.
    std::vector<hw::Component> const nps{v2::testing::cnp({3, 0, 0, 0}), v2::testing::cnp({1, 0, 0, 0})};
    hw::Component const load = make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2});
    NpSplit const split(Shape{8, 8, 4}, NpSpace{0, 0, Shape{8, 8, 4}}, NpSpace{0, 0, Shape{8, 8, 4}}, 3, 1,
                        PaddingParams{1, 1, 1, 1}, 1, 1, PaddingParams{});
    struct { bool merge, single_buffer, transposed, fnp_padding, link_nps; } const configs[] = {
        {false, true, false, false, true}, {false, false, true, false, true}, {true, false, false, true, true},
        {true, false, false, false, false},
    };
    for (auto const& row : configs) {
        std::unique_ptr<MergeLayerInfo> merge;
        if (row.merge) {
            merge = std::make_unique<MergeLayerInfo>();
            merge->add = true;
            merge->channel = 3;
        }
        std::vector<uint32_t> positional(v2::NP_REGISTER_WORDS, 0u), named = positional;
        common_config(&positional, split, 3, 1, ActivationType::ReLU, 2, 2, 4, nps, row.single_buffer, row.transposed,
                      8, 4, merge, &load, {}, row.fnp_padding, row.link_nps);
        v2::format_cnp_tnp_common_config_registers(
            &named, split,
            {.kernel_size = 3, .kernel_stride = 1, .activation = ActivationType::ReLU, .first_neuron = 2,
             .filters = 2, .weights_bits = 4, .layer_nps = nps, .single_buffer = row.single_buffer,
             .transposed = row.transposed, .input_bits = 8, .output_bits = 4, .merge_info = merge.get(),
             .skipdma_load = &load, .dual_output_stores = {}, .fnp_padding = row.fnp_padding,
             .link_nps = row.link_nps});
        EXPECT_EQ(positional, named) << row.merge << row.single_buffer << row.transposed << row.fnp_padding;
    }

    // An HRC memory: the select block, then the data.
    auto const by_bits = program::new_record(hw::Tolmar_v2), by_field = program::new_record(hw::Tolmar_v2);
    hrc_sram(by_bits.get(), v2::HRC_SRAM_SELECT_LUT, {5, 6});
    record_hrc_sram(by_field.get(), Field{0, 29, 1}, {5, 6});
    auto const blocks = decode_blocks(*by_bits);
    EXPECT_EQ(blocks, decode_blocks(*by_field));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x20000000, 0}));
    EXPECT_EQ(error_text<std::runtime_error>([&] { hrc_sram(by_bits.get(), RegDetail{0, 0}, {1}); }),
              "Attempted to write value 1 into a 0-bit field, which will cause an overflow.");

    // FNP weights written into the neuron memory: each neuron's words after its two variable words.
    auto weights = zeros(TensorType::int8, Shape{6, 3});
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i * 37 % 255 - 127));
    Shape const s{1, 1, 6};
    uint32_t const record_words = v2::get_neuron_word_size(s, v2::InputPadding::Packed, 8, 8);
    std::vector<uint32_t> expected(3 * record_words, 0u);
    std::vector<uint8_t> image(4 * expected.size(), 0u);
    for (uint32_t n = 0; n < 3; ++n) {
        fnp_weights_into_image(image.data(), n, *weights, 8, s, v2::InputPadding::Packed, 8);
        auto const words = v2::format_fnp_weights(n, *weights, 8, s, v2::InputPadding::Packed, 8);
        std::copy(words.begin(), words.end(), expected.begin() + n * record_words + 2);
    }
    std::vector<uint32_t> written(expected.size());
    for (size_t i = 0; i < image.size(); ++i) written[i / 4] |= uint32_t{image[i]} << (8 * (i % 4));
    EXPECT_EQ(written, expected);
}

}  // namespace second_generation
// (end of second generation)


// ---- first generation ----

// (end of first generation)


// ---- third generation ----

// (end of third generation)

}  // namespace
}  // namespace nuvra
