#include "program/record.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/dma.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

// Injected XL rules beside the engine's own (more than 4095 words): never, and above 16 words.
bool never_xl(uint32_t) { return false; }
bool xl_above_16(uint32_t words) { return words > 16; }
constexpr program::NeedsXl engine_xl = dma::config_block_size_needs_xl;

std::vector<uint32_t> payload(uint32_t n) {
    std::vector<uint32_t> data(n);
    for (uint32_t i = 0; i < n; ++i) data[i] = 0xA0000000u + i;
    return data;
}

TEST(ProgramRecord, AddNpTrackPlacesBlocksInTracks) {
    struct Block { uint32_t words; bool size_flag = true, reuse_last = true; };
    // sizes: of the tracks after the last block; error: of the last block
    struct Row { program::NeedsXl needs_xl; std::vector<Block> blocks; std::vector<size_t> sizes; std::string error; };
    const Row rows[] = {
        {never_xl, {{65533, false}}, {65535}, ""},  // 2 + 65533 fill a track
        {never_xl, {{65534, false}}, {0, 0}, "Error generating NP program."},
        {never_xl, {{65533, true}}, {0}, "DMA block length 65533 exceeds the 4095 words of a normal header"},
        {xl_above_16, {{3}, {17}}, {5, 34}, ""},  // 17 XL words open a new track of 2 + 32
        {engine_xl, {{4096}}, {0, 4098}, ""}, {engine_xl, {{4097}}, {0, 4114}, ""},  // padded to 4112
        {engine_xl, {{65521}}, {0, 0}, "Error generating NP program."},  // pads to 65536
        {engine_xl, std::vector<Block>(16, Block{4095}), {15 * 4097, 4097}, ""},
        {never_xl, {{1, true, false}, {1, true, false}}, {3, 3}, ""},  // without reuse_last
        {never_xl, {{0}}, {2}, ""},                                      // a lone header
        {never_xl, {{100}, {65432, false}}, {102, 65434}, ""},
    };
    for (Row const& row : rows) {
        program::Record record(HwVersion{0xBC, 0xA2, 1, 0}, row.needs_xl);
        std::string error;
        for (auto const& block : row.blocks)
            error = error_text<std::runtime_error>([&] {
                record.add_np_track(hw::Ident{1, 2, 3, 0}, dma::Target::NpRegisters, 0x10, payload(block.words),
                                    {.size_flag = block.size_flag, .reuse_last = block.reuse_last});
            });
        EXPECT_EQ(error, row.error) << row.blocks.back().words;
        std::vector<size_t> sizes;
        for (auto const& track : record.tracks) sizes.push_back(track.size());
        EXPECT_EQ(sizes, row.sizes) << row.blocks.back().words;
    }
}

TEST(ProgramRecord, BlockHeadersPayloadAndPadding) {
    program::Record record(HwVersion{}, xl_above_16);
    hw::Ident const np{1, 2, 3, 4};
    record.add_np_track(np, dma::Target::NpRegisters, 0, {0x11, 0x22});
    record.add_np_track(np, dma::Target::InputShift, 3, {0x33});
    record.add_np_track(np, dma::Target::Variables, 0x40, payload(17));
    ASSERT_EQ(record.tracks.size(), 2u);
    auto const& first = record.tracks[0].words();
    ASSERT_EQ(first.size(), 7u);
    EXPECT_EQ(dma::parse_config_header(&first[0]), (dma::ConfigHeader{np, dma::Target::NpRegisters, 2, 0, false}));
    EXPECT_EQ(dma::parse_config_header(&first[4]), (dma::ConfigHeader{np, dma::Target::InputShift, 1, 3, false}));
    EXPECT_EQ((std::vector<uint32_t>{first[2], first[3], first[6]}), (std::vector<uint32_t>{0x11, 0x22, 0x33}));
    auto const& xl = record.tracks[1].words();
    ASSERT_EQ(xl.size(), 34u);
    EXPECT_EQ(dma::parse_config_header(xl.data()), (dma::ConfigHeader{np, dma::Target::Variables, 32, 0x40, true}));
    EXPECT_EQ(std::vector<uint32_t>(xl.begin() + 2, xl.begin() + 19), payload(17));
    EXPECT_EQ(std::vector<uint32_t>(xl.begin() + 19, xl.end()), std::vector<uint32_t>(15, 0));
}

TEST(ProgramRecord, SizeFlagFalseWritesSizeZeroAndTheFullPayload) {
    for (auto [needs_xl, words, xl] : {std::tuple{engine_xl, 5u, false}, {program::NeedsXl{xl_above_16}, 20u, true}}) {
        program::Record record(HwVersion{}, needs_xl);
        record.add_np_track(hw::Ident{}, dma::Target::Weights, 7, payload(words), {.size_flag = false});
        auto const& track = record.tracks.back().words();
        EXPECT_EQ(dma::parse_config_header(track.data()),
                  (dma::ConfigHeader{hw::Ident{}, dma::Target::Weights, 0, 7, xl}));
        EXPECT_EQ(std::vector<uint32_t>(track.begin() + 2, track.begin() + 2 + words), payload(words));
    }
}

TEST(ProgramRecord, FormatConfigHeaderFbPacksBothWords) {
    EXPECT_EQ(format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, 1, 0), 0x0001000080000000ull);
    EXPECT_EQ(format_config_header_fb(hw::Ident{1, 2, 3, 4}, dma::Target::HrcConfig, 1, 0x20), 0x0001002083040201ull);
}

}  // namespace
}  // namespace nuvra

namespace nuvra::program {
namespace {

TEST(ProgramRecord, Fnp2FiltersTrackTakesMovedWordsOverAndTheLastCallWins) {
    Record record(HwVersion{});
    std::vector<uint32_t> words(1000, 7);
    uint32_t const* const data = words.data();
    record.add_fnp2_filters_track(hw::Ident{1, 2, 3, 0}, std::move(words));
    EXPECT_EQ(record.fnp2_filters_track->words.data(), data);  // taken over, not copied
    EXPECT_EQ(record.fnp2_filters_track->ident, (hw::Ident{1, 2, 3, 0}));
    std::vector<uint32_t> const kept{1, 2};
    record.add_fnp2_filters_track(hw::Ident{4, 5, 6, 0}, kept);
    EXPECT_EQ(record.fnp2_filters_track->words, kept);
    EXPECT_EQ(kept.size(), 2u);  // copied from a vector the caller keeps
}

// Empties this thread's spare word buffers (a test then sees only its own); how many there were.
size_t drain_spare_words() {
    size_t kept = 0;
    while (take_spare_words(0).capacity() > 0) ++kept;
    return kept;
}

TEST(ProgramRecord, TracksTakeOverTheBuffersOfRecordsGoneWithOnlyTheirOwnWords) {
    drain_spare_words();
    auto const block = [](uint32_t words) {
        std::vector<uint32_t> data(words);
        std::iota(data.begin(), data.end(), 0xB0000000u);
        return data;
    };
    uint32_t const* buffer = nullptr;
    {
        Record gone(HwVersion{});
        gone.add_np_track(hw::Ident{}, dma::Target::Weights, 0, block(3000));
        gone.add_fnp2_filters_track(hw::Ident{}, block(2000));
        buffer = gone.tracks[0].words().data();
    }
    Record next(HwVersion{});
    next.add_np_track(hw::Ident{}, dma::Target::Weights, 0, block(2500));
    std::vector<uint32_t> const& words = next.tracks[0].words();
    EXPECT_EQ(words.data(), buffer);  // the larger of the two buffers left
    ASSERT_EQ(words.size(), 2u + 2500);
    EXPECT_EQ(std::vector<uint32_t>(words.begin() + 2, words.end()), block(2500));
    // The FNP2 filters' buffer serves a copied filters track.
    std::vector<uint32_t> const filters = block(1500);
    next.add_fnp2_filters_track(hw::Ident{}, filters);
    EXPECT_EQ(next.fnp2_filters_track->words, filters);
    EXPECT_EQ(take_spare_words(1).capacity(), 0u);
}

TEST(ProgramRecord, SpareWordBuffersAreBounded) {
    drain_spare_words();
    struct Row { uint64_t capacity; size_t count; size_t kept; };
    Row const rows[] = {
        {1023, 4, 0},                   // small buffers go back to the allocator
        {1024, 70, max_spare_buffers},  // at most 64 buffers
        {300000, 5, 3},                 // at most 2^20 words in all
    };
    for (Row const& row : rows) {
        for (size_t i = 0; i < row.count; ++i) {
            std::vector<uint32_t> buffer;
            buffer.reserve(row.capacity);
            keep_spare_words(std::move(buffer));
        }
        EXPECT_EQ(drain_spare_words(), row.kept) << row.capacity;
    }
}

}  // namespace
}  // namespace nuvra::program
