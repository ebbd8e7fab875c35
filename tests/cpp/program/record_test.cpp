#include "program/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/dma.h"
#include "engine/error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

// Injected XL rules: the engine's own (more than 4095 words), one that never asks for XL, and
// one that asks for it above 16 words.
bool never_xl(uint32_t) { return false; }
bool xl_above_16(uint32_t words) { return words > 16; }

struct Block {
    uint32_t words;
    bool size_flag = true;
    bool reuse_last = true;
};

struct TrackRow {
    const char* name;
    program::NeedsXl needs_xl;
    std::vector<Block> blocks;
    std::vector<size_t> track_sizes;  // after the last block
    std::string error;                // of the last block; "" when it succeeds
};

std::vector<uint32_t> payload(uint32_t n) {
    std::vector<uint32_t> data(n);
    for (uint32_t i = 0; i < n; ++i) data[i] = 0xA0000000u + i;
    return data;
}

TEST(ProgramRecord, AddNpTrackPlacesBlocksInTracks) {
    const TrackRow rows[] = {
        {"65533 words fill a track to 65535", never_xl, {{65533, false}}, {65535}, ""},
        {"65534 words fit no track", never_xl, {{65534, false}}, {0, 0}, "Error generating NP program."},
        {"a header longer than 4095 without XL is refused by the encoder", never_xl, {{65533, true}}, {0},
         "DMA block length 65533 exceeds the 4095 words of a normal header"},
        {"17 XL words open a new track of 2 + 32", xl_above_16, {{3}, {17}}, {5, 34}, ""},
        {"16 words stay normal", xl_above_16, {{3}, {16}}, {23}, ""},
        {"engine rule: 4095 words stay normal", dma::config_block_size_needs_xl, {{4095}}, {4097}, ""},
        {"engine rule: 4096 words are XL without padding", dma::config_block_size_needs_xl, {{4096}}, {0, 4098},
         ""},
        {"engine rule: 4097 words are XL, padded to 4112", dma::config_block_size_needs_xl, {{4097}}, {0, 4114}, ""},
        {"engine rule: 65520 XL words fit a track", dma::config_block_size_needs_xl, {{65520}}, {0, 65522}, ""},
        {"engine rule: 65521 words pad to 65536 and fit nothing", dma::config_block_size_needs_xl, {{65521}}, {0, 0},
         "Error generating NP program."},
        {"engine rule: 65533 words fit nothing", dma::config_block_size_needs_xl, {{65533}}, {0, 0},
         "Error generating NP program."},
        {"reuse_last fills a track, then opens the next", dma::config_block_size_needs_xl,
         std::vector<Block>(16, Block{4095}), {15 * 4097, 4097}, ""},
        {"without reuse_last every block opens a track", never_xl, {{1, true, false}, {1, true, false}}, {3, 3}, ""},
        {"an empty block is a lone header", never_xl, {{0}}, {2}, ""},
        {"a block exactly filling the rest of the track stays there", never_xl, {{100}, {65431, false}}, {65535}, ""},
        {"one word more goes to a new track", never_xl, {{100}, {65432, false}}, {102, 65434}, ""},
    };
    for (TrackRow const& row : rows) {
        SCOPED_TRACE(row.name);
        program::Record record(HwVersion{0xBC, 0xA2, 1, 0}, row.needs_xl);
        std::string error;
        for (Block const& block : row.blocks)
            error = error_text<std::runtime_error>([&] {
                record.add_np_track(hw::Ident{1, 2, 3, 0}, dma::Target::NpRegisters, 0x10, payload(block.words),
                                    block.size_flag, block.reuse_last);
            });
        EXPECT_EQ(error, row.error);
        std::vector<size_t> sizes;
        for (auto const& track : record.tracks) sizes.push_back(track.size());
        EXPECT_EQ(sizes, row.track_sizes);
    }
}

TEST(ProgramRecord, XlBlockHeaderPayloadAndPadding) {
    program::Record record(HwVersion{}, xl_above_16);
    record.add_np_track(hw::Ident{1, 2, 3, 4}, dma::Target::Weights, 0, payload(3), true, true);
    record.add_np_track(hw::Ident{1, 2, 3, 4}, dma::Target::Variables, 0x40, payload(17), true, true);
    ASSERT_EQ(record.tracks.size(), 2u);
    std::vector<uint32_t> const& words = record.tracks[1].words();
    ASSERT_EQ(words.size(), 34u);
    dma::ConfigHeader const header = dma::parse_config_header(words.data());
    EXPECT_EQ(header, (dma::ConfigHeader{hw::Ident{1, 2, 3, 4}, dma::Target::Variables, 32, 0x40, true}));
    EXPECT_EQ(std::vector<uint32_t>(words.begin() + 2, words.begin() + 19), payload(17));
    EXPECT_EQ(std::vector<uint32_t>(words.begin() + 19, words.end()), std::vector<uint32_t>(15, 0));
}

TEST(ProgramRecord, SizeFlagFalseWritesSizeZeroAndTheFullPayload) {
    struct Row {
        program::NeedsXl needs_xl;
        uint32_t words;
        bool xl;
        size_t track_words;
    };
    const Row rows[] = {
        {never_xl, 5, false, 7},
        {xl_above_16, 20, true, 34},
        {dma::config_block_size_needs_xl, 5000, true, 2 + 5008},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.words);
        program::Record record(HwVersion{}, row.needs_xl);
        record.add_np_track(hw::Ident{}, dma::Target::Weights, 7, payload(row.words), false, true);
        std::vector<uint32_t> const& words = record.tracks.back().words();
        ASSERT_EQ(words.size(), row.track_words);
        EXPECT_EQ(dma::parse_config_header(words.data()),
                  (dma::ConfigHeader{hw::Ident{}, dma::Target::Weights, 0, 7, row.xl}));
        EXPECT_EQ(std::vector<uint32_t>(words.begin() + 2, words.begin() + 2 + row.words), payload(row.words));
    }
}

TEST(ProgramRecord, BlocksFollowEachOtherInOneTrack) {
    auto record = program::new_record(HwVersion{});
    record->add_np_track(hw::Ident{5, 1, 0, 0}, dma::Target::NpRegisters, 0, {0x11, 0x22}, true, true);
    record->add_np_track(hw::Ident{5, 1, 0, 0}, dma::Target::InputShift, 3, {0x33}, true, true);
    ASSERT_EQ(record->tracks.size(), 1u);
    std::vector<uint32_t> const& words = record->tracks[0].words();
    ASSERT_EQ(words.size(), 7u);
    EXPECT_EQ(dma::parse_config_header(&words[0]),
              (dma::ConfigHeader{hw::Ident{5, 1, 0, 0}, dma::Target::NpRegisters, 2, 0, false}));
    EXPECT_EQ(words[2], 0x11u);
    EXPECT_EQ(words[3], 0x22u);
    EXPECT_EQ(dma::parse_config_header(&words[4]),
              (dma::ConfigHeader{hw::Ident{5, 1, 0, 0}, dma::Target::InputShift, 1, 3, false}));
    EXPECT_EQ(words[6], 0x33u);
}

TEST(ProgramRecord, NewRecordIsEmptyForItsVersion) {
    auto record = program::new_record(HwVersion{0xBC, 0xA2, 1, 2});
    EXPECT_TRUE(record->tracks.empty());
    EXPECT_EQ(record->fnp2_filters_track, nullptr);
    EXPECT_EQ(record->hw_version, (HwVersion{0xBC, 0xA2, 1, 2}));
}

TEST(ProgramRecord, TheLastFnp2FiltersTrackWins) {
    auto record = program::new_record(HwVersion{});
    record->add_fnp2_filters_track(hw::Ident{1, 1, 1, 0}, {1, 2, 3});
    record->add_fnp2_filters_track(hw::Ident{2, 3, 1, 0}, {9});
    ASSERT_NE(record->fnp2_filters_track, nullptr);
    EXPECT_EQ(record->fnp2_filters_track->ident, (hw::Ident{2, 3, 1, 0}));
    EXPECT_EQ(record->fnp2_filters_track->words, std::vector<uint32_t>{9});
    EXPECT_TRUE(record->tracks.empty());
}

TEST(ProgramRecord, LearnRecordsDestroyThirdSecondFirst) {
    std::vector<std::string> order;
    struct Logged : program::Record {
        Logged(std::vector<std::string>* log, std::string name)
            : Record(HwVersion{}), log(log), name(std::move(name)) {}
        ~Logged() override { log->push_back(name); }
        std::vector<std::string>* log;
        std::string name;
    };
    {
        program::LearnRecordsPtr records;
        records.first = std::make_unique<Logged>(&order, "first");
        records.second = std::make_unique<Logged>(&order, "second");
        records.third = std::make_unique<Logged>(&order, "third");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"third", "second", "first"}));
}

TEST(ProgramRecord, FormatConfigHeaderFbPacksBothWords) {
    struct Row {
        hw::Ident ident;
        dma::Target target;
        uint32_t size;
        uint16_t address;
        uint64_t expected;
    };
    const Row rows[] = {
        {hw::Ident{}, dma::Target::HrcConfig, 1, 0, 0x0001000080000000ull},
        {hw::Ident{1, 2, 3, 4}, dma::Target::HrcConfig, 1, 0x20, 0x0001002083040201ull},
        {hw::Ident{0xFF, 0xFF, 15, 0xFF}, dma::Target::TnprTsram, 4095, 0xFFFF, 0x0FFFFFFFFFFFFFFFull},
    };
    for (Row const& row : rows) {
        EXPECT_EQ(format_config_header_fb(row.ident, row.target, row.size, row.address), row.expected);
        uint32_t words[2];
        dma::format_config_header(words, row.ident, row.target, row.size, row.address, false);
        EXPECT_EQ(format_config_header_fb(row.ident, row.target, row.size, row.address),
                  uint64_t{words[0]} | (uint64_t{words[1]} << 32));
    }
}

}  // namespace
}  // namespace nuvra
