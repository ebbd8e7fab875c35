// Convolution programs on CNPs and TNP-Bs: the blocks of each NP in order, each NP's own filters or
// channels, and the register words the layer sets.
#include "backends/v2/record_conv2d.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "backends/v2/format_conv_weights.h"
#include "backends/v2/format_dwconv_weights.h"
#include "backends/v2/format_tnp_b_weights.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_buffer_temp_conv.h"
#include "backends/v2/record_conv2d_transpose.h"
#include "backends/v2/record_dwconv2d.h"
#include "backends/v2/recorders.h"
#include "backends/v2/registers.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/field_table.h"
#include "support/record_test_util.h"
#include "v2/np_mapping_fixture.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using namespace nuvra::testing;
using namespace nuvra::v2::testing;
using LT = LayerType;

bool temporal(LayerType type) { return type == LT::BufferTempConv || type == LT::DepthwiseBufferTempConv; }
bool depthwise(LayerType type) {
    return type == LT::DepthwiseConv2D || type == LT::DepthwiseConv2DTranspose || type == LT::DepthwiseBufferTempConv;
}

// `kernel` is the FIFO size of a temporal kind.
std::map<std::string, int> conv_params(LayerType type, int kernel, int filters, int bits = 8, int activation = 1,
                                       int pool_type = 0, int pool_size = 1) {
    if (temporal(type)) return {{"fifo_size", kernel}, {"filters", filters}, {"activation", activation}};
    std::map<std::string, int> p{{"kernel_size", kernel}, {"weights_bits", bits}, {"activation", activation}};
    if (!depthwise(type)) p["filters"] = filters;
    if (type == LT::Conv2DTranspose) p["kernel_stride"] = 2;
    if (type == LT::Conv2D || type == LT::DepthwiseConv2D)
        p.insert({{"kernel_stride", 1}, {"pool_type", pool_type}, {"pool_size", pool_size}});
    return p;
}

// A convolution over an x by y input of 4 channels (depthwise: one a filter), one CNP (TNP-B) per
// entry of `filters`; a temporal kind with its frame-buffer skip DMAs.
struct ConvFixture {
    LayerType type;
    std::shared_ptr<FakeLayer> layer = FakeLayer::make("conv", {ComponentKind::CNP});
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);
    std::shared_ptr<LayerMapping> mapping;
    uint32_t total = 0;

    ConvFixture(LayerType kind, int kernel, int bits, std::vector<uint32_t> const& filters,
                ActivationType activation = ActivationType::ReLU, uint32_t x = 8, uint32_t y = 8)
        : type(kind) {
        for (uint32_t n : filters) total += n;
        uint32_t const channels = depthwise(type) ? total : 4, k = uint32_t(kernel);
        if (temporal(type)) layer->set_kinds({ComponentKind::TNP_B});
        layer->set_params(type, conv_params(type, kernel, int(total), bits, int(activation)));
        layer->set_activation(activation);
        layer->set_input_dims({Shape{x, y, channels}});
        layer->set_output_dims(Shape{x, y, total});
        layer->set_conv_block({1, 1, x, y, {k / 2, k / 2, k / 2, k / 2}});
        layer->set_pool_block({1, 1, x, y, {}, false});
        Shape const kernel_shape = !temporal(type) ? Shape{k, k, depthwise(type) ? 1 : channels, total}
                                   : depthwise(type)  ? Shape{1, 1, k, channels}
                                                      : Shape{1, 1, k * channels, total};
        auto weights = zeros(TensorType::int8, kernel_shape);
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 7) - 3);
        layer->vars().set("weights", weights);
        auto shifts = zeros(TensorType::uint8, Shape{channels});
        for (uint32_t c = 0; c < channels; ++c) tensor_write<uint8_t>(*shifts, {c}, uint8_t(c % 8));
        layer->vars().set("input_shift", shifts);
        layer->vars().set("bias", zeros(TensorType::int8, Shape{total}));
        layer->vars().set("output_scales", zeros(TensorType::uint8, Shape{total}));
        if (activation == ActivationType::LUT) layer->vars().set("lut_values", zeros(TensorType::int32, Shape{2048}));
        std::vector<hw::NpPart> parts;
        uint32_t first = 0;
        for (uint32_t n : filters) {
            parts.push_back(np_part(first, n, 0, 0, x, y, depthwise(type) ? n : channels));
            first += n;
        }
        mapping = np_mapping(temporal(type) ? hw::Type::TNP_B : hw::Type::CNP2, parts);
        layer->set_mapping(mapping);
        if (!temporal(type)) return;
        mapping->uses_skipdma_layer_flag = true;
        mapping->skipdma_stores.push_back(make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1}));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{3, 0, 1});
        mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 3, 1, 0});
    }

    void add_store() {
        mapping->skipdma_stores.push_back(make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1}));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{1, 0, 1});
    }

    // An Add merged into the layer, read back by a skip-DMA load on channel 2.
    void add_merge() {
        mapping->merge_info = std::make_unique<MergeLayerInfo>();
        mapping->merge_info->add = true;
        mapping->merge_info->channel = 3;
        mapping->merge_info->a_shift = zeros(TensorType::uint8, Shape{total});
        mapping->merge_info->b_shift = zeros(TensorType::uint8, Shape{total});
        mapping->merge_info->output_shift = zeros(TensorType::int8, Shape{total});
        mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 1, 1, 0});
    }

    Dense const& var(const char* name) const { return *layer->vars().get(name)->ensure_dense(); }

    std::vector<DecodedBlock> record(bool registers_only = false,
                                     std::vector<hw::Ident> const& skipped_nps = {}) const {
        // The recorders' named-argument forms.
        using Recorder = std::unique_ptr<program::Record> (*)(Device const&, LayerRecordArgs const&);
        Recorder const recorder =
            type == LT::Conv2D                    ? Recorder{record_program_conv2d_layer}
            : type == LT::Conv2DTranspose         ? Recorder{record_program_transposed_conv2d_layer}
            : type == LT::DepthwiseConv2D         ? Recorder{record_program_dwconv2d_layer}
            : type == LT::BufferTempConv          ? Recorder{record_program_buffer_temp_conv_layer}
            : type == LT::DepthwiseBufferTempConv ? Recorder{record_program_depthwise_buffer_temp_conv_layer}
                                                  : Recorder{record_program_transposed_dwconv2d_layer};
        auto const rec = recorder(*device, {.layer = *layer, .sequence_first = *layer, .skipped_nps = skipped_nps,
                                            .registers_only = registers_only});
        EXPECT_EQ(rec->hw_version, hw::Tolmar_v2);
        return decode_blocks(*rec);
    }

    NpRegisterMap registers(std::shared_ptr<Layer> next_layer = nullptr, bool set_spikes = false,
                            bool fnp_padding = false) const {
        using Format = NpRegisterMap (*)(LayerRecordArgs const&);
        Format const format = type == LT::Conv2DTranspose ? Format{format_transposed_conv2d_np_registers}
                                                          : Format{format_conv2d_np_registers};
        return format({.layer = *layer, .sequence_first = *layer, .next_layer = std::move(next_layer),
                       .set_spikes = set_spikes, .skipped_nps = {}, .fnp_padding = fnp_padding});
    }
};

std::vector<int> with_skip(std::vector<int> targets, size_t skip_blocks) {
    targets.insert(targets.end(), skip_blocks, 11);
    return targets;
}

TEST(RecordConv2d, TwoNpsBlocksInMappingOrderThenSkipDma) {
    ConvFixture f(LT::Conv2D, 3, 8, {8, 8});
    f.add_store();
    auto const blocks = f.record();
    // Five store blocks follow the NPs' blocks.
    ASSERT_EQ(targets_of(blocks), with_skip({7, 1, 2, 5, 7, 1, 2, 5}, 5));
    hw::Ident const first{3, 0, 0, 0}, second{1, 0, 0, 0};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(blocks[i].header.ident, i < 4 ? first : second);
        EXPECT_EQ(blocks[i].header.address, 0);
    }
    EXPECT_EQ(blocks[8].header.ident, (hw::Ident{6, 0, 1, 1}));

    EXPECT_EQ(blocks[1].words, format_conv2d_cnp_weights(f.var("weights"), 0, 8, 8));
    EXPECT_EQ(blocks[5].words, format_conv2d_cnp_weights(f.var("weights"), 8, 8, 8));
    auto const registers = f.registers();
    std::vector<NamedField> const np_fields = nuvra::testing::image_fields(field_table, "np");
    EXPECT_SAME_IMAGE(blocks[0].words, registers.at(first), np_fields);
    EXPECT_SAME_IMAGE(blocks[4].words, registers.at(second), np_fields);
    // The layer index 2, two NPs, ReLU, each NP's filters; destinations: the next layer's NP in
    // column 5 and the store in column 6; the source: the pass DMA in column 0.
    for (auto const& [ident, regs] : registers) {
        EXPECT_EQ(field_of(regs[3], 24, 8), 2u);
        EXPECT_EQ(field_of(regs[3], 16, 8), 2u);
        EXPECT_EQ(field_of(regs[3], 15, 1), 1u);
        EXPECT_EQ(field_of(regs[26], 0, 11), ident == first ? 0u : 8u);
        EXPECT_EQ(field_of(regs[26], 16, 10), 8u);
        EXPECT_EQ(field_of(regs[21], 0, 11), 8u);
        EXPECT_EQ(field_of(regs[11], 12, 18), 6u);
        EXPECT_EQ(field_of(regs[45], 0, 16), 0x0605u);
        EXPECT_EQ(field_of(regs[46], 0, 16), 0x0000u);
    }
}

TEST(RecordConv2d, OptionalBlocksAndWeightTarget) {
    struct { char const* name; int kernel, bits; ActivationType activation; bool merge; std::vector<int> targets; }
    const rows[] = {
        {"8-bit kernel 7", 7, 8, ActivationType::ReLU, false, {7, 0, 2, 5}},
        // The merge's load adds five blocks.
        {"LUT and Add merge", 3, 8, ActivationType::LUT, true, with_skip({7, 1, 2, 5, 12, 10}, 5)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ConvFixture f(LT::Conv2D, row.kernel, row.bits, {8}, row.activation);
        if (row.merge) f.add_merge();
        auto const blocks = f.record();
        EXPECT_EQ(targets_of(blocks), row.targets);
        if (row.merge) {
            EXPECT_EQ(blocks.at(4).words.size(), 1024u);
            EXPECT_EQ(blocks.at(5).words, (std::vector<uint32_t>(2, 0x80808080)));
        }
    }
}

TEST(RecordConv2d, UnusedAndListedNps) {
    ConvFixture unused(LT::Conv2D, 3, 8, {8, 8});
    unused.add_store();
    unused.layer->vars() = nuvra::testing::AnyVariables{};  // no variable is read for them
    auto blocks = unused.record(true);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 7}));
    for (auto const& block : blocks) EXPECT_EQ(field_of(block.words[3], 24, 8), 0xFEu);

    ConvFixture listed(LT::Conv2D, 3, 8, {8, 8});
    blocks = listed.record(false, {{3, 0, 0, 0}});
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 1, 2, 5}));
    for (auto const& block : blocks) EXPECT_EQ(block.header.ident, (hw::Ident{1, 0, 0, 0}));
}

// Through the kind dispatch, each of record_layer's arguments reaches its own bits of every NP's
// image, whatever the convolution kind.
TEST(RecordConv2d, RecordLayerArgumentsReachTheirBits) {
    // word 2 bit 7, word 44 bit 2, word 32 bit 0, word 44 bit 15, word 1 bit 29, word 3 bits 24-31 = 0xFE
    using Bits = std::array<uint32_t, 6>;
    struct { char const* name; bool set_spikes, mesh_flag, next_layer, registers_only, fnp_padding; Bits bits; }
    const rows[] = {
        {"set_spikes", true, false, false, false, false, {1, 0, 0, 0, 0, 0}},
        {"mesh_flag", false, true, false, false, false, {0, 1, 0, 0, 0, 0}},
        {"next_layer", false, false, true, false, false, {0, 0, 1, 0, 0, 0}},
        {"next_layer and mesh_flag", false, true, true, false, false, {0, 1, 1, 1, 0, 0}},
        {"registers_only", false, false, false, true, false, {0, 0, 0, 0, 0, 1}},
        {"fnp_padding", false, false, false, false, true, {0, 0, 0, 0, 1, 0}},
    };
    HardwareConstraints const constraints;
    for (LayerType kind : {LT::Conv2D, LT::Conv2DTranspose, LT::DepthwiseConv2D, LT::DepthwiseConv2DTranspose,
                           LT::BufferTempConv, LT::DepthwiseBufferTempConv}) {
        for (auto const& row : rows) {
            SCOPED_TRACE(std::to_string(int(kind)) + " " + row.name);
            ConvFixture f(kind, 3, 8, {8, 8});
            LayerRecorderImpl const recorder(*f.device, constraints);
            auto const record = recorder.record_layer(
                {.layer = *f.layer, .sequence_first = *f.layer, .next_layer = row.next_layer ? f.layer : nullptr,
                 .set_spikes = row.set_spikes, .mesh_flag = row.mesh_flag, .skipped_nps = {},
                 .registers_only = row.registers_only, .fnp_padding = row.fnp_padding});
            size_t images = 0;
            for (DecodedBlock const& block : decode_blocks(*record)) {
                if (block.header.target != dma::Target::NpRegisters) continue;
                ++images;
                std::vector<uint32_t> const& w = block.words;
                Bits const bits{field_of(w[2], 7, 1),   field_of(w[44], 2, 1),  field_of(w[32], 0, 1),
                                field_of(w[44], 15, 1), field_of(w[1], 29, 1), field_of(w[3], 24, 8) == 0xFE};
                EXPECT_EQ(bits, row.bits);
            }
            EXPECT_EQ(images, 2u);
        }
    }
}

TEST(RecordConv2d, RegisterWords) {
    // Pool value 1 without pooling and for global average pooling.
    // pool_field, factor_field: word 27 bits 0-2 and 4-6
    struct { int pool_type, pool_size; uint32_t pool_field, factor_field; } const pools[] = {{0, 3, 1, 1},
                                                                                           {2, -1, 1, 2}};
    for (auto const& row : pools) {
        ConvFixture f(LT::Conv2D, 3, 8, {8});
        f.layer->set_params(LT::Conv2D, conv_params(LT::Conv2D, 3, 8, 8, 1, row.pool_type, row.pool_size));
        f.layer->set_pool_block({2, 2, 4, 4, {}, false});
        auto const pooled = f.registers().at({3, 0, 0, 0});
        EXPECT_EQ(field_of(pooled[27], 0, 3), row.pool_field) << row.pool_type;
        EXPECT_EQ(field_of(pooled[27], 4, 3), row.factor_field) << row.pool_type;
    }

    // set_spikes sets word 2 bit 7, fnp_padding word 1 bit 29; an output offset moves each NP's first channel.
    ConvFixture f(LT::Conv2D, 3, 8, {8, 8});
    f.mapping->sram_output_shift = 16;
    auto const plain = f.registers();
    auto const flagged = f.registers(nullptr, true, true);
    for (auto const& [ident, words] : plain) {
        EXPECT_EQ(field_of(words[2], 7, 1) | field_of(words[1], 29, 1) << 1, 0u);
        EXPECT_EQ(field_of(flagged.at(ident)[2], 7, 1) | field_of(flagged.at(ident)[1], 29, 1) << 1, 3u);
        EXPECT_EQ(field_of(words[26], 0, 11), ident.col == 3 ? 16u : 24u);
    }
}

TEST(RecordConv2d, InputAndFilterWords) {
    // words: 4, 11, 21, 28 and 29
    struct {
        char const* name; uint32_t channels, width, height; uint8_t bits; uint32_t ch_cont, filters; std::string error;
        std::vector<uint32_t> words = {};
    } const rows[] = {
        {"8-bit, X 5, C 3, Y 5", 3, 5, 5, 8, 6, 17, "", {30, 6u << 12, 17, 8u << 16 | 6, 3u << 16}},
        {"packet memory of 65536 words", 256, 256, 4, 8, 1, 1, overflow(65536, 16)},
        {"2048 filters", 1, 4, 1, 8, 1, 2048, overflow(2048, 11)},
        {"row of all channels of 16384 words", 16, 4096, 1, 8, 1, 1, overflow(16384, 14)},
        // In 32 bits 8 x 2^31 would wrap to 0 and pass every check.
        {"no wrap of the row bits", 1, 0x80000000u, 1, 8, 1, 1, overflow(536870912, 16)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint32_t> regs(64, 0);
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      format_cnp_input_and_filter_words(&regs, row.channels, row.width, row.height, row.bits,
                                                        row.ch_cont, row.filters);
                  }),
                  row.error);
        EXPECT_EQ((row.error.empty() ? std::vector{regs[4], regs[11], regs[21], regs[28], regs[29]}
                                     : std::vector<uint32_t>{}),
                  row.words);
    }
}

TEST(RecordConv2d, LinkedLayerDescribedOnSharedNpsOnly) {
    ConvFixture f(LT::Conv2D, 3, 8, {8, 8});
    auto linked = FakeLayer::make("linked", {ComponentKind::CNP});
    linked->set_params(LT::Conv2D, {{"kernel_size", 1}, {"filters", 8}});
    linked->set_input_dims({Shape{8, 8, 8}});
    auto linked_mapping = np_mapping(hw::Type::CNP2, {np_part(0, 8, 0, 0, 8, 8, 8)}, 0);
    linked_mapping->input_link_index = 7;
    linked_mapping->components->front().ident = {1, 0, 0, 0};
    linked->set_mapping(linked_mapping);

    auto const regs = f.registers(linked);
    EXPECT_EQ(regs.at({3, 0, 0, 0})[32], 0u);
    EXPECT_EQ(regs.at({1, 0, 0, 0})[32], 0x07000035u);  // enabled, CNP, 8-bit input, link index 7
}

TEST(RecordConv2d, Failures) {
    struct { char const* name; void (*edit)(ConvFixture&); std::string error; } const rows[] = {
        {"another layer type", [](ConvFixture& f) { f.layer->set_params(LT::DepthwiseConv2D, {{"kernel_size", 3}}); },
         "Invalid layer type for CNP recording."},
        {"not built: no convolution block",
         [](ConvFixture& f) {
             f.layer = FakeLayer::make("conv", {ComponentKind::CNP});
             f.layer->set_params(LT::Conv2D, conv_params(LT::Conv2D, 3, 8));
             f.layer->set_mapping(f.mapping);
         },
         "The layer conv is not built."},
        {"NP without its NP part", [](ConvFixture& f) { f.mapping->components->at(0).np_part.reset(); },
         "An NP of layer conv has no NP part."},
        // Parameters are narrowed checked: 256 and 264 never wrap to 0 and 8.
        {"pool size 256",
         [](ConvFixture& f) { f.layer->set_params(LT::Conv2D, conv_params(LT::Conv2D, 3, 8, 8, 1, 1, 256)); },
         overflow(256, 8)},
        {"weights_bits 264", [](ConvFixture& f) { f.layer->set_params(LT::Conv2D, conv_params(LT::Conv2D, 3, 8, 264)); },
         overflow(264, 8)},
        {"output offset past the first-channel field", [](ConvFixture& f) { f.mapping->sram_output_shift = 2048; },
         overflow(2048, 11)},
        {"transposed depthwise given to the plain recorder",
         [](ConvFixture& f) {
             f = ConvFixture(LT::DepthwiseConv2DTranspose, 3, 8, {8});
             f.type = LT::DepthwiseConv2D;
         },
         "Invalid layer type for CNP recording."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ConvFixture f(LT::Conv2D, 3, 8, {8});
        row.edit(f);
        EXPECT_EQ(error_text<std::exception>([&] { f.record(); }), row.error);
    }
}

TEST(RecordConv2dTranspose, BlocksAndRegisterWords) {
    ConvFixture f(LT::Conv2DTranspose, 4, 8, {8});
    f.add_store();
    auto const blocks = f.record();
    EXPECT_EQ(targets_of(blocks), with_skip({7, 1, 2, 5}, 5));
    EXPECT_EQ(blocks.at(1).words.size(), 144u);  // 12 100-bit words of 3 words a channel

    struct { int kernel; uint32_t filters, ch_cont; } const rows[] = {{3, 16, 12}, {4, 8, 12}};
    for (auto const& row : rows) {
        ConvFixture t(LT::Conv2DTranspose, row.kernel, 8, {row.filters});
        t.layer->set_pool_block({2, 2, 4, 4, {1, 1, 1, 1}, true});  // not read
        auto const regs = t.registers().at({3, 0, 0, 0});
        EXPECT_EQ(field_of(regs[11], 12, 18), row.ch_cont) << row.kernel;
        EXPECT_EQ(field_of(regs[27], 0, 16), 0x11u) << row.kernel;
        EXPECT_EQ(field_of(regs[20], 8, 2), 2u) << row.kernel;  // stride 1, bit 9 set
        EXPECT_EQ(field_of(regs[20], 28, 3), uint32_t(row.kernel)) << row.kernel;
        EXPECT_EQ(field_of(regs[3], 4, 2), 3u) << row.kernel;  // 8-bit weights
        EXPECT_EQ(regs[25] & 0x00FF03FF, 0x00100010u) << row.kernel;  // twice the 8 x 8 part
    }
}

TEST(RecordDwConv2d, RegisterWords) {
    struct {
        char const* name; LayerType type; int kernel, bits; uint32_t channels, x; int weight_target;
        uint32_t word11, word28;
    } const rows[] = {
        // One NP holding every channel: no channel group (word 3 bit 10 and word 22 stay 0).
        {"all channels, 8 x 8", LT::DepthwiseConv2D, 3, 8, 16, 8, 1, 16, 64u << 16 | 2},
        {"4-bit kernel 5", LT::DepthwiseConv2D, 5, 4, 16, 8, 0, 24, 64u << 16 | 2},
        // The transposed kind counts 8-bit weight words whatever its weights are.
        {"transposed, 4-bit kernel 3", LT::DepthwiseConv2DTranspose, 3, 4, 32, 10, 0, 32, 120u << 16 | 3},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ConvFixture f(row.type, row.kernel, row.bits, {row.channels}, ActivationType::ReLU, row.x, row.x);
        auto const blocks = f.record();
        ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, row.weight_target, 2, 5}));
        auto const& regs = blocks[0].words;
        EXPECT_EQ(regs[3] & 0x404, 0x4u);
        EXPECT_EQ(regs[22], 0u);
        EXPECT_EQ(field_of(regs[11], 12, 18), row.word11);
        EXPECT_EQ(regs[28], row.word28);
        EXPECT_EQ(field_of(regs[29], 16, 8), 1u);
    }
    // Rows of 200 words: 4 x 200 x 100 in word 28's upper half.
    ConvFixture wide(LT::DepthwiseConv2D, 3, 8, {1}, ActivationType::ReLU, 200, 100);
    wide.layer->set_bits(32, 8);
    EXPECT_EQ(error_text<std::runtime_error>([&] { wide.record(); }), overflow(80000, 16));
}

// The blocks after the leading skip-DMA blocks, which must be there.
std::vector<DecodedBlock> after_skip_dma(std::vector<DecodedBlock> blocks) {
    size_t skip = 0;
    while (skip < blocks.size() && blocks[skip].header.target == dma::Target::SkipDma) ++skip;
    EXPECT_GT(skip, 0u);
    return {blocks.begin() + long(skip), blocks.end()};
}

using Share = std::vector<uint32_t> (*)(Dense const& weights, uint32_t first, uint32_t count);

// Each NP records its own filters or channels; a depthwise NP marks its channel group (word 3 bits 2
// and 10, word 22) and reads its own input shifts. Unused NPs record their registers only.
TEST(RecordConvKinds, EachNpHoldsItsOwnShare) {
    struct { char const* name; LayerType type; int kernel; std::vector<uint32_t> filters; Share weights; }
    const rows[] = {
        {"depthwise, with an Add merge", LT::DepthwiseConv2D, 3, {32, 32},
         [](Dense const& w, uint32_t first, uint32_t n) { return format_depthwise_conv_cnp_weights(w, first, n, 8); }},
        {"buffered", LT::BufferTempConv, 2, {10, 6},
         [](Dense const& w, uint32_t first, uint32_t n) {
             return format_tnp_b_buffer_temp_conv_weights(w, 2, first, n);
         }},
        {"depthwise buffered", LT::DepthwiseBufferTempConv, 3, {32, 32},
         [](Dense const& w, uint32_t first, uint32_t n) {
             return format_tnp_b_depthwise_buffer_temp_conv_weights(w, first, n);
         }},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ConvFixture f(row.type, row.kernel, 8, row.filters, ActivationType::ReLU, 5, 5);
        bool const merge = row.type == LT::DepthwiseConv2D, channels = depthwise(row.type);
        if (merge) f.add_merge();
        auto blocks = f.record();
        if (temporal(row.type)) blocks = after_skip_dma(blocks);
        std::vector<int> const per_np = merge ? std::vector<int>{7, 1, 2, 5, 10} : std::vector<int>{7, 1, 2, 5};
        std::vector<int> both = per_np;
        both.insert(both.end(), per_np.begin(), per_np.end());
        ASSERT_EQ(targets_of(blocks), merge ? with_skip(both, 5) : both);  // the merge's load last
        for (uint32_t np = 0, first = 0; np < 2; first += row.filters[np++]) {
            uint32_t const count = row.filters[np];
            auto const& b = [&](size_t i) -> std::vector<uint32_t> const& {
                return blocks[per_np.size() * np + i].words;
            };
            if (channels) {
                EXPECT_EQ(b(0)[3] & 0x404, 0x404u);
                EXPECT_EQ(b(0)[22], count << 16 | first);
            } else {
                EXPECT_EQ(field_of(b(0)[1], 28, 1), 1u);
            }
            EXPECT_EQ(b(1), row.weights(f.var("weights"), first, count));
            EXPECT_EQ(b(2), format_input_shift(f.var("input_shift"), channels ? first : 0, channels ? count : 0));
            if (!merge) continue;
            auto const& m = *f.mapping->merge_info;
            EXPECT_EQ(b(4), format_merge_layer_shift(m.a_shift->ensure_dense(), m.b_shift->ensure_dense(),
                                                     m.output_shift->ensure_dense(), first, count));
        }
        EXPECT_EQ(targets_of(f.record(true)), (std::vector<int>{7, 7}));
    }
    ConvFixture wrong(LT::BufferTempConv, 3, 8, {4}, ActivationType::ReLU, 5, 5);
    wrong.type = LT::DepthwiseBufferTempConv;
    EXPECT_EQ(error_text<std::runtime_error>([&] { wrong.record(); }), "Invalid layer type for TNP-B recording.");
}

TEST(RecordBufferTempConv, TnpBWords) {
    // words: 4, 11, 21, 28, 29, 30 and 56
    struct { char const* name; TnpBNpWords w; std::string error; std::vector<uint32_t> words; } const rows[] = {
        {"C 3, X = Y = 5, 17 filters", {3, 5, 5, 8, 2, 0, 17, false, 3}, "",
         {2, 2u << 12, 3, 4u << 16 | 5, 3u << 16, 0x30202, 1u << 16}},
        {"depthwise", {3, 5, 5, 8, 14, 0, 3, true, 3}, "", {14, 1u << 12, 3, 4u << 16 | 5, 1u << 16, 0xF0E02, 1u << 16}},
        {"FIFO 15", {3, 5, 5, 8, 15, 0, 17, false, 3}, overflow(16, 4), {}},
        {"1024 of 2048 channels", {3, 5, 5, 8, 2, 1024, 1024, true, 2048}, overflow(1024, 10), {}},
        {"row of 16384 words", {64, 1024, 1, 8, 2, 0, 8, false, 64}, overflow(16384, 14), {}},
        // 1024 x 1024 x 32 x 128 bits is 2^32: in 32 bits the frame would wrap to 0 words.
        {"frame beyond 32 bits", {32, 1024, 1024, 128, 2, 0, 8, false, 32}, overflow(2097152, 9), {}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0);
        EXPECT_EQ(error_text<std::runtime_error>([&] { format_tnp_b_np_words(&regs, row.w); }), row.error);
        if (!row.error.empty()) continue;
        EXPECT_EQ((std::vector{regs[4], regs[11], regs[21], regs[28], regs[29], regs[30], regs[56]}), row.words);
    }
}

}  // namespace
}  // namespace nuvra::v2
