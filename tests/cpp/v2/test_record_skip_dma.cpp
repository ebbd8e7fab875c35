#include "backends/v2/record_skip_dma.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/error_text.h"
#include "support/v2_fake_layer.h"
#include "v2/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::V2FakeLayer;
using namespace nuvra::v2::testing;

hw::Component store_at(uint8_t channel) { return make_component(hw::Type::SKIP_DMA_STORE, {5, 0, 1, channel}); }
hw::Component load_at(uint8_t channel) { return make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, channel}); }

// A Conv2D layer on one CNP in column 2, 8-bit input and output, 10 x 6 x 4 output.
struct SkipLayer {
    std::shared_ptr<V2FakeLayer> layer = V2FakeLayer::make("skip", {ComponentKind::CNP});
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(3);

    SkipLayer() {
        layer->set_params(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}});
        layer->set_input_dims({Shape{5, 4, 16}});
        layer->set_output_dims(Shape{10, 6, 4});
        mapping->components->push_back(cnp({2, 1, 0, 0}));
        layer->set_mapping(mapping);
    }

    // A buffered TNP-B layer of `fifo` frames with its store and load.
    void make_buffered(int fifo) {
        layer->set_kinds({ComponentKind::TNP_B});
        layer->set_params(LayerType::BufferTempConv, {{"fifo_size", fifo}, {"filters", 4}});
        mapping->skipdma_stores.push_back(store_at(3));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{uint8_t(fifo + 1), 1, 3});
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

TEST(RecordSkipDma, LayerWithoutSkipDmaRecordsNothing) {
    SkipLayer s;
    auto rec = program::new_record(HwVersion{});
    record_skipdma(rec.get(), *s.layer);
    EXPECT_TRUE(rec->tracks.empty());
}

TEST(RecordSkipDma, MergingLayerLoadBlocksInAddressOrder) {
    SkipLayer s;
    s.mapping->skipdma_loads.push_back(load_at(1));
    s.mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{1, 2, 2, 0});
    s.mapping->merge_info = std::make_unique<MergeLayerInfo>();
    s.mapping->merge_info->channel = 9;

    auto const blocks = s.record();
    EXPECT_EQ(addresses_of(blocks), (std::vector<uint32_t>{0x103, 0x128, 0x1001, 0x1104, 0x112B}));
    for (auto const& block : blocks) {
        EXPECT_EQ(block.header.target, dma::Target::SkipDma);
        EXPECT_EQ(block.header.ident, (hw::Ident{6, 0, 2, 1}));
    }
    ASSERT_EQ(blocks.size(), 5u);
    EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x20002}));
    EXPECT_EQ(blocks[1].words, (std::vector<uint32_t>{0x2}));
    EXPECT_EQ(blocks[2].words, (std::vector<uint32_t>{0}));
    // One NP at row 1, column 2, id 0; source = the merge channel 9; store channel 2.
    EXPECT_EQ(blocks[3].words, (std::vector<uint32_t>{0x02010012, 9u << 8, 1 | 2u << 8 | 9u << 16 | 9u << 24}));
    EXPECT_EQ(blocks[4].words, (std::vector<uint32_t>{2}));
}

TEST(RecordSkipDma, LoadWithoutMergeReadsTheLayerIndex) {
    SkipLayer s;
    s.mapping->skipdma_loads.push_back(load_at(0));
    s.mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{0, 1, 0, 0});
    auto const blocks = s.record();
    ASSERT_EQ(addresses_of(blocks), (std::vector<uint32_t>{0x3, 0x28, 0x1001, 0x1004, 0x102B}));
    EXPECT_EQ(field_of(blocks[3].words[1], 8, 8), 3u);
    EXPECT_EQ(blocks[3].words[2], 1 | 3u << 16 | 3u << 24);
}

TEST(RecordSkipDma, PlainStoreBlocks) {
    struct Row {
        const char* name;
        uint8_t delay;
        uint8_t store_flag;
        std::vector<uint32_t> addresses;
        uint32_t mode;
    };
    const Row rows[] = {
        {"not routed", 4, 0, {0x21C, 0x222, 0x23C, 0x1001, 0x1226}, 0x0400},
        {"routed to its NPs", 1, 1, {0x21C, 0x222, 0x23C, 0x1001, 0x1224, 0x1226}, 0x0101},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        SkipLayer s;
        s.mapping->skipdma_stores.push_back(store_at(2));
        s.mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{row.delay, row.store_flag, 2});
        auto const blocks = s.record();
        ASSERT_EQ(addresses_of(blocks), row.addresses);
        for (auto const& block : blocks) EXPECT_EQ(block.header.ident, (hw::Ident{5, 0, 1, 2}));
        EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x20}));
        EXPECT_EQ(blocks[1].words, (std::vector<uint32_t>{2, 2}));
        // Output 10 x 6 x 4 at 8 bits: (80 + 31) / 32 = 3 words a row, 18 a frame.
        EXPECT_EQ(blocks[2].words, (std::vector<uint32_t>{0, 3, 18}));
        EXPECT_EQ(blocks.back().words, (std::vector<uint32_t>{row.mode}));
        if (row.store_flag) {
            EXPECT_EQ(blocks[4].words, (std::vector<uint32_t>{0x02010012}));
        }
    }
}

TEST(RecordSkipDma, BufferedLayerFifoThree) {
    SkipLayer s;
    s.make_buffered(3);
    s.layer->set_bits(4, 8);

    auto const blocks = s.record();
    ASSERT_EQ(addresses_of(blocks), (std::vector<uint32_t>{0x200, 0x200, 0x31C, 0x322, 0x33C, 0x1001, 0x1324,
                                                           0x1326, 0x203, 0x1001, 0x1204, 0x122B}));
    EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x83000601}));
    EXPECT_EQ(blocks[1].words, (std::vector<uint32_t>{0x83000601}));
    EXPECT_EQ(blocks[0].header.ident, (hw::Ident{6, 0, 2, 2}));
    EXPECT_EQ(blocks[2].header.ident, (hw::Ident{5, 0, 1, 3}));
    // Store: repeat fifo + 1; a line is one pixel of 16 channels at 4 bits (2 words), 5 per frame.
    EXPECT_EQ(blocks[3].words, (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(blocks[4].words, (std::vector<uint32_t>{3, 2, 10}));
    // Routed (store_flag) to the NPs feeding the layer and its load: columns 1 to 6.
    EXPECT_EQ(blocks[6].words, (std::vector<uint32_t>{0x06010001}));
    // Count = index - 1 = 2.
    EXPECT_EQ(blocks[7].words, (std::vector<uint32_t>{0x0201}));
    EXPECT_EQ(blocks[8].words, (std::vector<uint32_t>{0x30002}));
    EXPECT_EQ(blocks[8].header.ident, (hw::Ident{6, 0, 2, 2}));
    // The layer's own NP, source = its index 3, store channel 3; depth gap fifo + 1.
    EXPECT_EQ(blocks[10].words, (std::vector<uint32_t>{0x02010012, 3u << 8, 1 | 3u << 8 | 3u << 16 | 3u << 24}));
    EXPECT_EQ(blocks[11].words, (std::vector<uint32_t>{4}));
}

TEST(RecordSkipDma, DualOutputStoreCountsTheMergeSource) {
    SkipLayer s;
    s.mapping->skipdma_stores.push_back(store_at(2));
    s.mapping->skipdma_stores.push_back(store_at(4));
    s.mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{1, 0, 2});
    s.mapping->merge_info = std::make_unique<MergeLayerInfo>();
    s.mapping->merge_info->dual_output = true;
    s.mapping->merge_info->dual_output_target = 7;
    ASSERT_NE(s.mapping->skipdma_store_dual_output(), nullptr);

    auto rec = program::new_record(HwVersion{});
    record_skipdma_store(rec.get(), *s.layer, true, false, 0);
    auto const blocks = decode_blocks(*rec);
    ASSERT_EQ(addresses_of(blocks), (std::vector<uint32_t>{0x41C, 0x422, 0x43C, 0x1001, 0x1426}));
    EXPECT_EQ(blocks[0].header.ident, (hw::Ident{5, 0, 1, 4}));
    // The input 5 x 4 x 16 at 8 bits: (40 + 31) / 32 = 2 words a row, 8 a frame.
    EXPECT_EQ(blocks[2].words, (std::vector<uint32_t>{0, 2, 8}));
    EXPECT_EQ(blocks[4].words, (std::vector<uint32_t>{0x0700}));
}

TEST(RecordSkipDma, NpRangeWord) {
    struct Row {
        const char* name;
        std::vector<hw::Component> nps;
        uint32_t word;
        std::string error;
    };
    const Row rows[] = {
        {"one NP with id 2", {cnp({7, 3, 2, 0})}, 0x07030042, ""},
        {"two NPs in columns 1 and 3", {cnp({3, 0, 0, 0}), cnp({1, 5, 1, 0})}, 0x03010001, ""},
        {"three NPs", {cnp({2, 0, 0, 0}), cnp({9, 0, 0, 0}), cnp({4, 0, 0, 0})}, 0x09020001, ""},
        {"one NP with id 4", {cnp({1, 0, 4, 0})}, 0, overflow(16, 4)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.error.empty())
            EXPECT_EQ(skipdma_np_range_word(row.nps), row.word);
        else
            EXPECT_EQ(error_text<std::runtime_error>([&] { skipdma_np_range_word(row.nps); }), row.error);
    }
    EXPECT_EQ(error_text<std::invalid_argument>([] { skipdma_np_range_word({}); }), "Merging layer has no CNPs.");
    // Engines without an NP part join the span; a list without any NP is refused.
    EXPECT_EQ(skipdma_np_range_word({cnp({1, 0, 0, 0}), make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 0})}),
              0x06010001u);
    EXPECT_EQ(error_text<std::invalid_argument>([] {
                  skipdma_np_range_word({make_component(hw::Type::DMA, {0, 0, 1, 0})});
              }),
              "Merging layer has no CNPs.");
}

TEST(RecordSkipDma, LoadRegisterLimits) {
    std::vector<hw::Component> const nps{cnp({1, 0, 0, 0})};
    struct Row {
        const char* name;
        uint8_t channel;
        uint32_t source;
        uint32_t depth_gap;
        std::string error;
    };
    const Row rows[] = {
        {"largest values", 0xEF, 255, 4095, ""},
        {"depth gap 4096", 0, 1, 4096, overflow(4096, 12)},
        {"source 256", 0, 256, 1, overflow(256, 8)},
        // (0xF0 << 8) + 0x1004 would wrap onto channel 0's blocks.
        {"channel 0xF0", 0xF0, 1, 1, overflow(0x10004, 16)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        SkipDmaRegisters blocks;
        std::string const error = error_text<std::runtime_error>(
            [&] { format_skipdma_load_registers(&blocks, row.channel, 0, row.source, nps, row.depth_gap); });
        EXPECT_EQ(error, row.error);
        if (row.error.empty()) {
            EXPECT_EQ(blocks.at(0xFF2B), (std::vector<uint32_t>{4095}));
            EXPECT_EQ(blocks.at(0xFF04)[2], 0xFFFF0001u);
        }
    }
}

TEST(RecordSkipDma, StoreRegisterLimits) {
    SkipDmaRegisters blocks;
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_skipdma_store_registers(&blocks, 0, 256, false, false, {}); }),
              overflow(256, 8));
    // A routed store needs NPs to route to.
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_skipdma_store_registers(&blocks, 0, 1, true, false, {}); }),
              "Merging layer has no CNPs.");
    // Buffered without routing: mode 1, no NP range block.
    SkipDmaRegisters buffered;
    format_skipdma_store_registers(&buffered, 1, 2, false, true, {});
    EXPECT_EQ(buffered.size(), 2u);
    EXPECT_EQ(buffered.at(0x1126), (std::vector<uint32_t>{0x0201}));
    // The first value given for an address stays.
    SkipDmaRegisters twice;
    twice[0x1001] = {7};
    format_skipdma_store_registers(&twice, 1, 2, false, false, {});
    EXPECT_EQ(twice.at(0x1001), (std::vector<uint32_t>{7}));
}

TEST(RecordSkipDma, Failures) {
    struct Row {
        const char* name;
        int fifo;          // buffered layer with this fifo_size; 0: the plain layer
        void (*edit)(SkipLayer&);
        std::string error;
    };
    const Row rows[] = {
        {"fifo 16 overflows the 4-bit field", 16, nullptr, overflow(16, 4)},
        {"buffered without a load", 3, [](SkipLayer& s) { s.mapping->skipdma_loads.clear(); },
         "Skip DMA load should not be null."},
        {"buffered at index 0 has no layer before it", 3, [](SkipLayer& s) { s.mapping->index = 0; },
         overflow(4294967295u, 8)},
        {"load without channel information", 0,
         [](SkipLayer& s) { s.mapping->skipdma_loads.push_back(load_at(1)); },
         "The skip DMA load of layer skip has no channel information."},
        {"store without channel information", 0,
         [](SkipLayer& s) { s.mapping->skipdma_stores.push_back(store_at(1)); },
         "The skip DMA store of layer skip has no channel information."},
        {"no mapping", 0, [](SkipLayer& s) { s.layer->set_mapping(nullptr); },
         "The layer skip has no hardware mapping."},
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
}

TEST(RecordSkipDma, StoreLineAndFrameLimits) {
    struct Row {
        const char* name;
        Shape output;
        uint8_t bits;
        std::string error;
    };
    const Row rows[] = {
        // 8 x 4092 + 31 = 32767 bits is the longest line.
        {"longest line", Shape{4092, 1, 1}, 8, ""},
        {"line one value longer", Shape{4093, 1, 1}, 8, overflow(32775, 15)},
        // 1023 words a line over 2050 rows: 2097150 words fit 21 bits, 2051 rows do not.
        {"largest frame", Shape{4092, 2050, 1}, 8, ""},
        {"frame one row longer", Shape{4092, 2051, 1}, 8, overflow(1023u * 2051u, 21)},
        // 32-bit values on 2^27 columns would wrap in 32 bits.
        {"no wrap of the line bits", Shape{134217728, 1, 1}, 32, overflow(4294967295u, 15)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        SkipLayer s;
        s.layer->set_output_dims(row.output);
        s.layer->set_bits(8, row.bits);
        s.mapping->skipdma_stores.push_back(store_at(2));
        s.mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{1, 0, 2});
        EXPECT_EQ(error_text<std::runtime_error>([&] { s.record(); }), row.error);
    }
}

}  // namespace
}  // namespace nuvra::v2
