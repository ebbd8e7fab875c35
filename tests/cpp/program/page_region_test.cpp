// The page regions programs are written into: as large as the program, grown without losing a
// byte, their pages kept for programs of other sizes, and plain memory when no mapping can be made.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "program/serializer.h"
#include "program/serializer_buffer.h"
#include "support/child_process.h"
#include "support/fake_layer.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using program::PageRegion;
using program::page_region_counts;

constexpr size_t KiB = size_t{1} << 10;
constexpr size_t MiB = size_t{1} << 20;

// `records` records of one track of `words` words (16 KiB by default) each.
std::vector<std::unique_ptr<program::Record>> records_of(size_t records, uint32_t words = 4096) {
    std::vector<std::unique_ptr<program::Record>> list;
    for (size_t r = 0; r < records; ++r) list.push_back(testing::record_with_tracks({words}));
    return list;
}

// The program of those records, in one pass, finished in the memory it was written to.
program::ProgramBuffer program_of(std::vector<std::unique_ptr<program::Record>> records) {
    testing::LayerRecorderDouble layers;
    testing::IoRecorderDouble io;
    size_t next = 0;
    layers.on_record = [&](Layer const&) { return std::move(records.at(next++)); };
    auto const layer = testing::FakeLayer::make("l");
    SequenceSerializer serializer(layers, io);
    serializer.serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    for (size_t r = 0; r < records.size(); ++r)
        serializer.serialize_layer_program({.layer = *layer, .sequence_first = *layer, .skipped_nps = {}});
    serializer.finalize_pass();
    program::ProgramHeader header;
    header.version = "2.0.0";
    header.passes.emplace_back();
    return serializer.finalize_in_place(header);
}

// The address space this process holds, in bytes.
size_t address_space_bytes() {
    FILE* const statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    unsigned long pages = 0;
    if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
    std::fclose(statm);
    return pages * size_t(sysconf(_SC_PAGESIZE));
}

// Each row grows one region by steps; its first and last bytes must survive every step.
TEST(PageRegion, GrowsKeepingItsFirstAndLastBytes) {
    struct Row {
        char const* what;
        size_t kept;  // pages of this size given back first (0: none kept)
        size_t bytes;
        std::vector<size_t> steps;
        bool same_end;  // every step keeps the region's end
    };
    Row const rows[] = {
        {"in the room of kept pages", 8 * MiB, 64 * KiB, {96 * KiB, 4 * MiB}, true},
        {"past a fresh mapping: its pages move to a larger one", 0, 64 * KiB, {16 * MiB}, false},
        {"past it three times: pages moved before move again", 0, 64 * KiB, {6 * MiB, 20 * MiB, 36 * MiB}, false},
        {"past kept pages smaller than the step", 1 * MiB, 64 * KiB, {8 * MiB}, false},
    };
    size_t const front = 3000, back = 50000;
    for (Row const& r : rows) {
        SCOPED_TRACE(r.what);
        program::release_spare_pages();
        if (r.kept > 0) PageRegion(r.kept).begin()[0] = 1;
        PageRegion region(r.bytes);
        std::fill_n(region.begin(), front, uint8_t{0xF1});
        std::fill_n(region.end() - back, back, uint8_t{0xBA});
        for (size_t bytes : r.steps) {
            uint8_t* const end = region.end();
            region.grow(bytes, front, back);
            ASSERT_EQ(region.size(), bytes);
            EXPECT_EQ(region.end() == end, r.same_end);
            EXPECT_TRUE(std::all_of(region.begin(), region.begin() + front, [](uint8_t b) { return b == 0xF1; }));
            EXPECT_TRUE(std::all_of(region.end() - back, region.end(), [](uint8_t b) { return b == 0xBA; }));
            region.begin()[front] = 7;  // every byte of the grown region can be written
            region.end()[-ptrdiff_t(back) - 1] = 7;
        }
    }
    EXPECT_THROW(PageRegion(4 * KiB).grow(2 * KiB, 0, 0), std::logic_error);
    EXPECT_THROW(PageRegion(4 * KiB).grow(8 * KiB, 3 * KiB, 2 * KiB), std::logic_error);
}

// A small program between large ones takes the large ones' pages and gives them all back: every
// program after the first is written into kept pages, without a fresh mapping.
TEST(PageRegion, KeptPagesServeTheNextProgramsWhateverTheirSizes) {
    program::release_spare_pages();
    program_of(records_of(200));  // about 3 MB, grown from a fresh mapping
    program::PageRegionCounts const before = page_region_counts();
    for (int round = 0; round < 3; ++round) {
        program_of(records_of(2));
        program_of(records_of(200));
    }
    program::PageRegionCounts const after = page_region_counts();
    EXPECT_EQ(after.mapped - before.mapped, 0u);
    EXPECT_EQ(after.reused - before.reused, 6u);
    EXPECT_EQ(after.plain - before.plain, 0u);
}

// program_info goes in front of program_data, in the region program_data was written to; when
// program_data leaves too little room there, the region grows, and every span still finds its
// track's words.
TEST(PageRegion, ProgramInfoFindsRoomInFrontOfProgramData) {
    struct Row {
        char const* what;
        uint32_t words;
    };
    Row const rows[] = {
        {"room to spare", 1000},
        {"12 tracks of 5425 words fill the first 256 KiB region but for 196 bytes", 5425},
    };
    for (Row const& r : rows) {
        std::vector<uint32_t> const track = records_of(1, r.words).front()->tracks.front().words();
        program::ProgramBuffer const program = program_of(records_of(12, r.words));
        ProgramInfo const info(program.data(), program.size());
        auto const* spans = info.info().passes()->Get(0)->records();
        ASSERT_EQ(spans->size(), 12u) << r.what;
        for (fb::RecordSpans const* record : *spans) {
            fb::TrackSpan const* span = record->tracks()->Get(0);
            EXPECT_EQ(info.words(span->offset(), span->size()), track) << r.what;
        }
    }
}

// Under an address-space limit a little above what the process holds, in a child process: a
// program of a few MB maps in pages of its size, and with no room for a fresh mapping in plain
// memory; both give the bytes of the same program written without a limit.
TEST(PageRegion, ProgramsMapUnderALoweredAddressSpaceLimit) {
    struct Row {
        char const* what;
        size_t margin;  // the limit over the address space held when it is set
        size_t records;
        char const* expected;
    };
    Row const rows[] = {
        {"4 MB under 64 MB more, far below a reservation of 256 MB", 64 * MiB, 256, "pages"},
        {"no room for a fresh mapping (2 MB and more)", 2 * MiB, 24, "plain memory"},
    };
    for (Row const& r : rows) {
        std::vector<uint8_t> const expected = program_of(records_of(r.records)).to_vector();
        std::string const result = testing::in_child([&]() -> std::string {
            program::release_spare_pages();
            auto records = records_of(r.records);
            program::PageRegionCounts const before = page_region_counts();
            rlimit limit{};
            if (getrlimit(RLIMIT_AS, &limit) != 0) return "no limit to lower";
            limit.rlim_cur = address_space_bytes() + r.margin;
            if (setrlimit(RLIMIT_AS, &limit) != 0) return "the limit could not be set";
            program::ProgramBuffer const program = program_of(std::move(records));
            if (!std::equal(program.bytes().begin(), program.bytes().end(), expected.begin(), expected.end()))
                return "other bytes";
            return page_region_counts().plain > before.plain ? "plain memory" : "pages";
        });
        EXPECT_EQ(result, r.expected) << r.what;
    }
}

}  // namespace
}  // namespace nuvra
