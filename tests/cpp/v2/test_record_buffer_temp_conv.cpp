// BufferTempConv and DepthwiseBufferTempConv programs on TNP-Bs: skip-DMA blocks first, then each
// NP's blocks, and the TNP-B register words.
#include "backends/v2/record_buffer_temp_conv.h"

#include <gtest/gtest.h>

#include "backends/v2/format_tnp_b_weights.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/np_registers.h"
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

// A temporal layer with a FIFO of `fifo` frames over a 5 x 5 x `channels` input, one TNP-B per
// entry of `counts` (filters, or channels of the depthwise kind), with its frame-buffer skip DMAs.
struct TnpBFixture {
    std::shared_ptr<FakeLayer> layer = FakeLayer::make("btc", {ComponentKind::TNP_B});
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);
    std::shared_ptr<LayerMapping> mapping;
    bool depthwise;

    TnpBFixture(bool depthwise_kind, uint32_t fifo, uint32_t channels, std::vector<uint32_t> const& counts)
        : depthwise(depthwise_kind) {
        uint32_t total = 0;
        for (uint32_t n : counts) total += n;
        layer->set_params(depthwise ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv,
                          {{"fifo_size", int(fifo)}, {"filters", int(total)}, {"activation", 1}});
        layer->set_activation(ActivationType::ReLU);
        layer->set_input_dims({Shape{5, 5, channels}});
        auto weights = zeros(TensorType::int8, depthwise ? Shape{1, 1, fifo, channels} : Shape{1, 1, fifo * channels, total});
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 11));
        layer->vars().set("weights", weights);
        auto shifts = zeros(TensorType::uint8, Shape{channels});
        for (uint32_t c = 0; c < channels; ++c) tensor_write<uint8_t>(*shifts, {c}, uint8_t(c % 8));
        layer->vars().set("input_shift", shifts);
        layer->vars().set("bias", zeros(TensorType::int8, Shape{total}));

        std::vector<hw::NpPart> parts;
        uint32_t first = 0;
        for (uint32_t n : counts) {
            parts.push_back(np_part(first, n, 0, 0, 5, 5, depthwise ? n : channels));
            first += n;
        }
        mapping = np_mapping(hw::Type::TNP_B, parts);
        mapping->uses_skipdma_layer_flag = true;
        mapping->skipdma_stores.push_back(make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1}));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{3, 0, 1});
        mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 3, 1, 0});
        layer->set_mapping(mapping);
    }

    Dense const& var(const char* name) const { return *layer->vars().get(name)->ensure_dense(); }

    std::vector<DecodedBlock> record(bool flag_c = false, std::vector<hw::Ident> const& idents = {}) const {
        auto const rec = depthwise
            ? record_program_depthwise_buffer_temp_conv_layer(*device, *layer, nullptr, false, false, idents, flag_c, false)
            : record_program_buffer_temp_conv_layer(*device, *layer, nullptr, false, false, idents, flag_c, false);
        return decode_blocks(*rec);
    }
};

// The blocks after the leading skip-DMA blocks, which must be there.
std::vector<DecodedBlock> after_skip_dma(std::vector<DecodedBlock> blocks) {
    size_t skip = 0;
    while (skip < blocks.size() && blocks[skip].header.target == dma::Target::SkipDma) ++skip;
    EXPECT_GT(skip, 0u);
    return {blocks.begin() + long(skip), blocks.end()};
}

TEST(RecordBufferTempConv, SkipDmaFirstThenEachNp) {
    TnpBFixture f(false, 2, 3, {10, 6});
    auto const blocks = after_skip_dma(f.record());
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 1, 2, 5, 7, 1, 2, 5}));
    for (uint32_t np = 0; np < 2; ++np) {
        uint32_t const first = 10 * np, count = np == 0 ? 10 : 6;
        EXPECT_EQ(blocks[4 * np + 1].words, format_tnp_b_buffer_temp_conv_weights(f.var("weights"), 2, first, count));
        EXPECT_EQ(blocks[4 * np + 2].words, format_input_shift(f.var("input_shift"), 0, 0));
        EXPECT_EQ(field_of(blocks[4 * np].words[1], 28, 1), 1u);
    }
    EXPECT_EQ(targets_of(f.record(true)), (std::vector<int>{7, 7}));
    EXPECT_EQ(targets_of(after_skip_dma(f.record(false, {{3, 0, 0, 0}}))), (std::vector<int>{7, 1, 2, 5}));
}

TEST(RecordBufferTempConv, DepthwiseNpsHoldTheirOwnChannels) {
    TnpBFixture f(true, 3, 64, {32, 32});
    auto const blocks = after_skip_dma(f.record());
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 1, 2, 5, 7, 1, 2, 5}));
    for (uint32_t np = 0; np < 2; ++np) {
        uint32_t const first = 32 * np;
        auto const& regs = blocks[4 * np].words;
        EXPECT_EQ(regs[3] & 0x404, 0x404u);
        EXPECT_EQ(regs[22], 32u << 16 | first);
        EXPECT_EQ(field_of(regs[11], 12, 18), 1u);
        EXPECT_EQ(blocks[4 * np + 1].words, format_tnp_b_depthwise_buffer_temp_conv_weights(f.var("weights"), first, 32));
        EXPECT_EQ(blocks[4 * np + 2].words, format_input_shift(f.var("input_shift"), first, 32));
    }
    TnpBFixture whole(true, 3, 64, {64});
    EXPECT_EQ(after_skip_dma(whole.record())[0].words[22], 0u);

    TnpBFixture wrong(false, 3, 4, {4});
    EXPECT_EQ(error_text<std::runtime_error>([&] {
                  record_program_depthwise_buffer_temp_conv_layer(*wrong.device, *wrong.layer, nullptr, false, false,
                                                                  {}, false, false);
              }),
              "Invalid layer type for TNP-B recording.");
}

TEST(RecordBufferTempConv, TnpBWords) {
    struct {
        char const* name;
        TnpBNpWords w;
        std::string error;
        std::vector<uint32_t> words;  // 4, 11, 21, 28, 29, 30 and 56
    } const rows[] = {
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
