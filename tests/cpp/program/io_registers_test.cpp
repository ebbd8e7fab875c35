// The SCC record both NP generations make from their register image, and the shared field table
// their IO registers are written with (the EPG writes are held by each generation's recorder test).
#include "program/io_registers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hw/presets.h"
#include "support/error_text.h"
#include "support/field_table.h"
#include "support/record_test_util.h"

namespace nuvra {
namespace {

using namespace fields;
using testing::error_text;

// The shared rows lie inside their images and share bits only where an NP's input layout is either
// a CNP's or an FNP's.
TEST(SharedRegisterFields, Table) {
    std::vector<std::pair<std::string_view, size_t>> const images = {
        {"np", 50}, {"hrc", 5}, {"hrc_sram_select", 1}, {"scc", SCC_REGISTER_WORDS}, {"epg", EPG_REGISTER_WORDS},
    };
    EXPECT_EQ(testing::fields_outside_images(shared_field_table, images), std::vector<std::string>{});
    EXPECT_EQ(testing::unintended_overlaps(shared_field_table, {{"PR_INPUT_ROW_WORDS", "PR_CH_SIZE"}}),
              std::vector<std::string>{});
}

// The size words go into the record exactly when the configuration word says the SCC carries them.
TEST(SccRecord, SizeWordsFollowTheConfiguration) {
    struct { bool input_sized, output_sized; std::vector<uint32_t> addresses; } const rows[] = {
        {false, false, {0x4}},
        {true, false, {0x4, 0x40}},
        {false, true, {0x4, 0x44}},
        {true, true, {0x4, 0x40, 0x44}},
    };
    for (auto const& row : rows) {
        std::vector<uint32_t> scc(SCC_REGISTER_WORDS, 0u);
        set_flag(scc, SCC_INPUT_SIZED, row.input_sized);
        set_flag(scc, SCC_OUTPUT_SIZED, row.output_sized);
        scc[scc_word::INPUT_SIZE] = 0x40;
        scc[scc_word::OUTPUT_SIZE] = 0x44;
        auto const record = scc_record(hw::Tolmar_v2, scc);
        EXPECT_EQ(record->hw_version, hw::Tolmar_v2);
        ASSERT_EQ(record->tracks.size(), 1u);  // the blocks share one track
        std::vector<uint32_t> addresses;
        for (auto const& block : testing::decode_blocks(*record)) {
            EXPECT_EQ(block.header.target, dma::Target::HrcConfig);
            EXPECT_EQ(block.header.ident, hw::Ident{});
            ASSERT_EQ(block.words.size(), 1u);
            // Every block carries its own register: the configuration word, or the word at its address.
            EXPECT_EQ(block.words[0], block.header.address == 0x4 ? scc[scc_word::CONFIG] : block.header.address);
            addresses.push_back(block.header.address);
        }
        EXPECT_EQ(addresses, row.addresses) << row.input_sized << row.output_sized;
    }
    EXPECT_EQ(error_text<std::invalid_argument>([] { scc_record(hw::Tolmar_v2, std::vector<uint32_t>(17)); }),
              "The SCC image must hold 18 words.");
}

}  // namespace
}  // namespace nuvra
