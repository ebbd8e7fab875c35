// DepthwiseConv2D and DepthwiseConv2DTranspose programs on CNPs: each NP's own channels in its
// blocks, and the depthwise register words.
#include "backends/v2/record_dwconv2d.h"

#include <gtest/gtest.h>

#include "backends/v2/format_dwconv_weights.h"
#include "backends/v2/format_variables.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using namespace nuvra::v2::testing;

// A depthwise layer of `channels` channels over an x by y input, one NP per entry of `counts`.
struct DwFixture {
    std::shared_ptr<FakeLayer> layer = FakeLayer::make("dw", {ComponentKind::CNP});
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);
    std::shared_ptr<LayerMapping> mapping;

    DwFixture(LayerType type, uint32_t kernel, int bits, uint32_t channels, std::vector<uint32_t> const& counts,
              uint32_t x = 8, uint32_t y = 8) {
        std::map<std::string, int> params{{"kernel_size", int(kernel)}, {"weights_bits", bits}, {"activation", 1}};
        if (type == LayerType::DepthwiseConv2D)
            params.insert({{"kernel_stride", 1}, {"pool_type", 0}, {"pool_size", 1}});
        layer->set_params(type, params);
        layer->set_activation(ActivationType::ReLU);
        layer->set_input_dims({Shape{x, y, channels}});
        uint32_t const pad = kernel / 2;
        layer->set_conv_block({1, 1, x, y, {pad, pad, pad, pad}});
        layer->set_pool_block({1, 1, x, y, {}, false});

        auto weights = zeros(TensorType::int8, Shape{kernel, kernel, 1, channels});
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 7) - 3);
        layer->vars().set("weights", weights);
        auto shifts = zeros(TensorType::uint8, Shape{channels});
        for (uint32_t c = 0; c < channels; ++c) tensor_write<uint8_t>(*shifts, {c}, uint8_t(c % 8));
        layer->vars().set("input_shift", shifts);
        layer->vars().set("bias", zeros(TensorType::int8, Shape{channels}));
        layer->vars().set("output_scales", zeros(TensorType::uint8, Shape{channels}));

        std::vector<hw::NpPart> parts;
        uint32_t first = 0;
        for (uint32_t n : counts) {
            parts.push_back(np_part(first, n, 0, 0, x, y, n));
            first += n;
        }
        mapping = np_mapping(hw::Type::CNP2, parts);
        layer->set_mapping(mapping);
    }

    Dense const& var(const char* name) const { return *layer->vars().get(name)->ensure_dense(); }

    std::vector<DecodedBlock> record(bool flag_c = false) const {
        bool const transposed = layer->params()->layer_type() == LayerType::DepthwiseConv2DTranspose;
        auto const rec =
            transposed ? record_program_transposed_dwconv2d_layer(*device, *layer, nullptr, false, false, {}, flag_c, false)
                       : record_program_dwconv2d_layer(*device, *layer, nullptr, false, false, {}, flag_c, false);
        return decode_blocks(*rec);
    }
};

TEST(RecordDwConv2d, TwoNpsShareTheChannels) {
    DwFixture f(LayerType::DepthwiseConv2D, 3, 8, 64, {32, 32});
    f.mapping->merge_info = std::make_unique<MergeLayerInfo>();
    f.mapping->merge_info->add = true;
    f.mapping->merge_info->a_shift = zeros(TensorType::uint8, Shape{64});
    f.mapping->merge_info->b_shift = zeros(TensorType::uint8, Shape{64});
    f.mapping->merge_info->output_shift = zeros(TensorType::int8, Shape{64});
    f.mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
    f.mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 1, 1, 0});

    auto const blocks = f.record();
    std::vector<int> targets{7, 1, 2, 5, 10, 7, 1, 2, 5, 10};
    targets.insert(targets.end(), 5, 11);  // the merge's skip-DMA load
    ASSERT_EQ(targets_of(blocks), targets);
    for (uint32_t np = 0; np < 2; ++np) {
        SCOPED_TRACE(np);
        uint32_t const first = 32 * np;
        auto const& b = [&](size_t i) -> std::vector<uint32_t> const& { return blocks[5 * np + i].words; };
        // Word 3: depthwise (bit 2) and a channel group (bit 10); word 22: the group.
        EXPECT_EQ(b(0)[3] & 0x404, 0x404u);
        EXPECT_EQ(b(0)[22], 32u << 16 | first);
        EXPECT_EQ(b(1), format_depthwise_conv_cnp_weights(f.var("weights"), first, 32, 8));
        EXPECT_EQ(b(2), format_input_shift(f.var("input_shift"), first, 32));
        EXPECT_EQ(b(3).size(), 64u);
        EXPECT_EQ(b(4), format_merge_layer_shift(f.mapping->merge_info->a_shift->ensure_dense(),
                                                 f.mapping->merge_info->b_shift->ensure_dense(),
                                                 f.mapping->merge_info->output_shift->ensure_dense(), first, 32));
    }
    EXPECT_EQ(targets_of(f.record(true)), (std::vector<int>{7, 7}));
}

TEST(RecordDwConv2d, RegisterWords) {
    struct {
        char const* name;
        LayerType type;
        uint32_t kernel;
        int bits;
        uint32_t channels, x;
        int weight_target;
        uint32_t word11, word28;
    } const rows[] = {
        // One NP holding every channel: no channel group (word 3 bit 10 and word 22 stay 0).
        {"all channels, 8 x 8", LayerType::DepthwiseConv2D, 3, 8, 16, 8, 1, 16, 64u << 16 | 2},
        {"8-bit input, X = Y = 5", LayerType::DepthwiseConv2D, 3, 8, 4, 5, 1, 4, 40u << 16 | 2},
        {"4-bit kernel 5", LayerType::DepthwiseConv2D, 5, 4, 16, 8, 0, 24, 64u << 16 | 2},
        // The transposed kind counts 8-bit weight words whatever its weights are.
        {"transposed, 4-bit kernel 3", LayerType::DepthwiseConv2DTranspose, 3, 4, 32, 10, 0, 32, 120u << 16 | 3},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        DwFixture f(row.type, row.kernel, row.bits, row.channels, {row.channels}, row.x, row.x);
        auto const blocks = f.record();
        ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, row.weight_target, 2, 5}));
        auto const& regs = blocks[0].words;
        EXPECT_EQ(regs[3] & 0x404, 0x4u);
        EXPECT_EQ(regs[22], 0u);
        EXPECT_EQ(field_of(regs[11], 12, 18), row.word11);
        EXPECT_EQ(regs[28], row.word28);
        EXPECT_EQ(field_of(regs[29], 16, 8), 1u);
    }
}

TEST(RecordDwConv2d, Refusals) {
    DwFixture dw(LayerType::DepthwiseConv2D, 3, 8, 8, {8});
    DwFixture dwt(LayerType::DepthwiseConv2DTranspose, 3, 8, 8, {8});
    DwFixture wide(LayerType::DepthwiseConv2D, 3, 8, 1, {1}, 200, 100);
    wide.layer->set_bits(32, 8);
    struct { char const* name; std::function<void()> call; std::string error; } const rows[] = {
        {"transposed given to the plain recorder",
         [&] { record_program_dwconv2d_layer(*dwt.device, *dwt.layer, nullptr, false, false, {}, false, false); },
         "Invalid layer type for CNP recording."},
        {"plain given to the transposed recorder",
         [&] { record_program_transposed_dwconv2d_layer(*dw.device, *dw.layer, nullptr, false, false, {}, false, false); },
         "Invalid layer type for CNP recording."},
        // Rows of 200 words: 4 x 200 x 100 in word 28's upper half.
        {"input row bytes of 16 bits", [&] { wide.record(); }, overflow(80000, 16)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(error_text<std::exception>(row.call), row.error);
    }
}

}  // namespace
}  // namespace nuvra::v2
