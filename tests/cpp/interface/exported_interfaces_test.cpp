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
[[maybe_unused]] constexpr auto record_hrc_sram =
    static_cast<void (*)(program::Record*, RegDetail const&, std::vector<uint32_t> const&)>(&v1::record_hrc_sram);

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
