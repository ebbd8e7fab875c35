// Skip-DMA blocks of a layer: loads, plain and buffered stores, and the limits of their register words.
#include "backends/v2/record_skip_dma.h"

#include <gtest/gtest.h>

#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/record_test_util.h"
#include "v2/np_mapping_fixture.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using namespace nuvra::testing;
using namespace nuvra::v2::testing;
using Words = std::vector<uint32_t>;

hw::Component store_at(uint8_t channel) { return make_component(hw::Type::SKIP_DMA_STORE, {5, 0, 1, channel}); }
hw::Component load_at(uint8_t channel) { return make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, channel}); }

// A Conv2D layer on one CNP at column 2, row 1, 8-bit input and output, 10 x 6 x 4 output.
struct SkipLayer {
    std::shared_ptr<FakeLayer> layer = FakeLayer::make("skip", {ComponentKind::CNP});
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(3);

    SkipLayer() {
        layer->set_params(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}});
        layer->set_input_dims({Shape{5, 4, 16}});
        layer->set_output_dims(Shape{10, 6, 4});
        mapping->components->push_back(cnp({2, 1, 0, 0}));
        layer->set_mapping(mapping);
    }

    void store(uint8_t channel, uint8_t delay, uint8_t flag) {
        mapping->skipdma_stores.push_back(store_at(channel));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{delay, flag, channel});
    }

    // A buffered TNP-B layer of `fifo` frames with its store (channel 3) and load (channel 2).
    void make_buffered(int fifo) {
        layer->set_kinds({ComponentKind::TNP_B});
        layer->set_params(LayerType::BufferTempConv, {{"fifo_size", fifo}, {"filters", 4}});
        store(3, uint8_t(fifo + 1), 1);
        mapping->skipdma_loads.push_back(load_at(2));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, uint8_t(fifo + 1), 3, 0});
        mapping->inputs.push_back(std::make_shared<LayerMapping::ComponentList>(
            LayerMapping::ComponentList{cnp({1, 0, 0, 0}), cnp({4, 0, 1, 0})}));
    }

    std::vector<DecodedBlock> record() const {
        auto rec = program::new_record(HwVersion{});
        record_skipdma(rec.get(), *layer);
        return decode_blocks(*rec);
    }
};

TEST(RecordSkipDma, LoadBlocks) {
    EXPECT_TRUE(SkipLayer().record().empty());
    // A merging layer fed by store channel 2 on load channel 1: source = the merge channel 9.
    SkipLayer merging;
    merging.mapping->skipdma_loads.push_back(load_at(1));
    merging.mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{1, 2, 2, 0});
    merging.mapping->merge_info = std::make_unique<MergeLayerInfo>();
    merging.mapping->merge_info->channel = 9;
    auto blocks = merging.record();
    ASSERT_EQ(addresses_of(blocks), (Words{0x103, 0x128, 0x1001, 0x1104, 0x112B}));
    for (auto const& block : blocks) {
        EXPECT_EQ(block.header.target, dma::Target::SkipDma);
        EXPECT_EQ(block.header.ident, (hw::Ident{6, 0, 2, 1}));
    }
    EXPECT_EQ(blocks[0].words, (Words{0x20002}));
    EXPECT_EQ(blocks[1].words, (Words{0x2}));
    EXPECT_EQ(blocks[2].words, (Words{0}));
    // One NP at row 1, column 2, id 0; source 9; store channel 2.
    EXPECT_EQ(blocks[3].words, (Words{0x02010012, 9u << 8, 1 | 2u << 8 | 9u << 16 | 9u << 24}));
    EXPECT_EQ(blocks[4].words, (Words{2}));

    // Without a merge the source is the layer's own index.
    SkipLayer plain;
    plain.mapping->skipdma_loads.push_back(load_at(0));
    plain.mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{0, 1, 0, 0});
    blocks = plain.record();
    ASSERT_EQ(addresses_of(blocks), (Words{0x3, 0x28, 0x1001, 0x1004, 0x102B}));
    EXPECT_EQ(blocks[3].words[1], 3u << 8);
    EXPECT_EQ(blocks[3].words[2], 1 | 3u << 16 | 3u << 24);
}

TEST(RecordSkipDma, PlainStoreBlocks) {
    struct { char const* name; uint8_t delay, store_flag; Words addresses; uint32_t mode; } const rows[] = {
        {"not routed", 4, 0, {0x21C, 0x222, 0x23C, 0x1001, 0x1226}, 0x0400},
        {"routed to its NPs", 1, 1, {0x21C, 0x222, 0x23C, 0x1001, 0x1224, 0x1226}, 0x0101},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        SkipLayer s;
        s.store(2, row.delay, row.store_flag);
        auto const blocks = s.record();
        ASSERT_EQ(addresses_of(blocks), row.addresses);
        for (auto const& block : blocks) EXPECT_EQ(block.header.ident, (hw::Ident{5, 0, 1, 2}));
        EXPECT_EQ(blocks[0].words, (Words{0x20}));
        EXPECT_EQ(blocks[1].words, (Words{2, 2}));
        // Output 10 x 6 x 4 at 8 bits: (80 + 31) / 32 = 3 words a row, 18 a frame.
        EXPECT_EQ(blocks[2].words, (Words{0, 3, 18}));
        EXPECT_EQ(blocks.back().words, (Words{row.mode}));
        if (row.store_flag) {
            EXPECT_EQ(blocks[4].words, (Words{0x02010012}));
        }
    }

    // The second store of a dual output carries the merge's target; its frames are the input's.
    SkipLayer dual;
    dual.mapping->skipdma_stores.push_back(store_at(2));
    dual.store(4, 1, 0);
    dual.mapping->skipdma_store_info->channel = 2;
    dual.mapping->merge_info = std::make_unique<MergeLayerInfo>();
    dual.mapping->merge_info->dual_output = true;
    dual.mapping->merge_info->dual_output_target = 7;
    auto rec = program::new_record(HwVersion{});
    record_skipdma_store(rec.get(), *dual.layer, true, false, 0);
    auto const blocks = decode_blocks(*rec);
    ASSERT_EQ(addresses_of(blocks), (Words{0x41C, 0x422, 0x43C, 0x1001, 0x1426}));
    EXPECT_EQ(blocks[0].header.ident, (hw::Ident{5, 0, 1, 4}));
    EXPECT_EQ(blocks[2].words, (Words{0, 2, 8}));  // 5 x 4 x 16 at 8 bits: 2 words a row
    EXPECT_EQ(blocks[4].words, (Words{0x0700}));
}

TEST(RecordSkipDma, BufferedLayerFifoThree) {
    SkipLayer s;
    s.make_buffered(3);
    s.layer->set_bits(4, 8);
    auto const blocks = s.record();
    ASSERT_EQ(addresses_of(blocks),
              (Words{0x200, 0x200, 0x31C, 0x322, 0x33C, 0x1001, 0x1324, 0x1326, 0x203, 0x1001, 0x1204, 0x122B}));
    EXPECT_EQ(blocks[0].words, (Words{0x83000601}));
    EXPECT_EQ(blocks[1].words, (Words{0x83000601}));
    EXPECT_EQ(blocks[0].header.ident, (hw::Ident{6, 0, 2, 2}));
    EXPECT_EQ(blocks[2].header.ident, (hw::Ident{5, 0, 1, 3}));
    // Store: repeat fifo + 1; a line is one pixel of 16 channels at 4 bits (2 words), 5 per frame.
    EXPECT_EQ(blocks[3].words, (Words{2, 4}));
    EXPECT_EQ(blocks[4].words, (Words{3, 2, 10}));
    EXPECT_EQ(blocks[6].words, (Words{0x06010001}));  // routed to the layer's sources and load: columns 1 to 6
    EXPECT_EQ(blocks[7].words, (Words{0x0201}));      // count = index - 1 = 2
    EXPECT_EQ(blocks[8].words, (Words{0x30002}));
    // The layer's own NP, source = its index 3, store channel 3; depth gap fifo + 1.
    EXPECT_EQ(blocks[10].words, (Words{0x02010012, 3u << 8, 1 | 3u << 8 | 3u << 16 | 3u << 24}));
    EXPECT_EQ(blocks[11].words, (Words{4}));
}

TEST(RecordSkipDma, RegisterWordLimits) {
    struct { std::vector<hw::Component> nps; uint32_t word; } const ranges[] = {
        {{cnp({7, 3, 2, 0})}, 0x07030042},                    // one NP with id 2
        {{cnp({3, 0, 0, 0}), cnp({1, 5, 1, 0})}, 0x03010001},  // two NPs in columns 1 and 3
        // engines without an NP part join the span
        {{cnp({1, 0, 0, 0}), make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 0})}, 0x06010001},
    };
    for (auto const& row : ranges) EXPECT_EQ(skipdma_np_range_word(row.nps), row.word);
    EXPECT_EQ(error_text<std::runtime_error>([] { skipdma_np_range_word({cnp({1, 0, 4, 0})}); }), overflow(16, 4));
    EXPECT_EQ(error_text<std::invalid_argument>([] { skipdma_np_range_word({}); }), "Merging layer has no CNPs.");

    std::vector<hw::Component> const nps{cnp({1, 0, 0, 0})};
    SkipDmaRegisters largest;
    format_skipdma_load_registers(&largest, 0xEF, 0, 255, nps, 4095);
    EXPECT_EQ(largest.at(0xFF2B), (Words{4095}));
    EXPECT_EQ(largest.at(0xFF04)[2], 0xFFFF0001u);
    struct { uint8_t channel; uint32_t source, depth_gap; std::string error; } const loads[] = {
        {0, 1, 4096, overflow(4096, 12)},
        {0, 256, 1, overflow(256, 8)},
        {0xF0, 1, 1, overflow(0x10004, 16)},  // (0xF0 << 8) + 0x1004 would wrap onto channel 0's blocks
    };
    for (auto const& row : loads) {
        SkipDmaRegisters blocks;
        EXPECT_EQ(error_text<std::runtime_error>(
                      [&] { format_skipdma_load_registers(&blocks, row.channel, 0, row.source, nps, row.depth_gap); }),
                  row.error);
    }

    SkipDmaRegisters store;
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_skipdma_store_registers(&store, 0, 256, false, false, {}); }),
              overflow(256, 8));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_skipdma_store_registers(&store, 0, 1, true, false, {}); }),
              "Merging layer has no CNPs.");  // a routed store needs NPs to route to
    SkipDmaRegisters buffered;  // buffered without routing: mode 1, no NP range block
    format_skipdma_store_registers(&buffered, 1, 2, false, true, {});
    EXPECT_EQ(buffered.size(), 2u);
    EXPECT_EQ(buffered.at(0x1126), (Words{0x0201}));
}

TEST(RecordSkipDma, Failures) {
    // fifo: buffered layer with this fifo_size; 0: the plain layer
    struct { char const* name; int fifo; void (*edit)(SkipLayer&); std::string error; } const rows[] = {
        {"fifo 16 overflows the 4-bit field", 16, nullptr, overflow(16, 4)},
        {"buffered without a load", 3, [](SkipLayer& s) { s.mapping->skipdma_loads.clear(); },
         "Skip DMA load should not be null."},
        {"buffered at index 0 has no layer before it", 3, [](SkipLayer& s) { s.mapping->index = 0; },
         overflow(4294967295u, 8)},
        {"store without channel information", 0,
         [](SkipLayer& s) { s.mapping->skipdma_stores.push_back(store_at(1)); },
         "The skip DMA store of layer skip has no channel information."},
        {"no mapping", 0, [](SkipLayer& s) { s.layer->set_mapping(nullptr); }, "The layer skip has no hardware mapping."},
        {"dual output before the input is known", 0,
         [](SkipLayer& s) {
             s.mapping->skipdma_stores = {store_at(1), store_at(2)};
             s.mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>();
             s.mapping->merge_info = std::make_unique<MergeLayerInfo>();
             s.mapping->merge_info->dual_output = true;
             s.layer->set_input_dims({});
         },
         "Cannot get input size before it is set."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        SkipLayer s;
        if (row.fifo) s.make_buffered(row.fifo);
        if (row.edit) row.edit(s);
        EXPECT_EQ(error_text<std::runtime_error>([&] { s.record(); }), row.error);
    }

    struct { char const* name; Shape output; uint8_t bits; std::string error; } const lines[] = {
        {"line one value past 8 x 4092 + 31 = 32767 bits", Shape{4093, 1, 1}, 8, overflow(32775, 15)},
        {"frame one row longer", Shape{4092, 2051, 1}, 8, overflow(1023u * 2051u, 21)},
        {"no wrap of the line bits", Shape{134217728, 1, 1}, 32, overflow(4294967295u, 15)},
    };
    for (auto const& row : lines) {
        SCOPED_TRACE(row.name);
        SkipLayer s;
        s.layer->set_output_dims(row.output);
        s.layer->set_bits(8, row.bits);
        s.store(2, 1, 0);
        EXPECT_EQ(error_text<std::runtime_error>([&] { s.record(); }), row.error);
    }
}

}  // namespace
}  // namespace nuvra::v2
