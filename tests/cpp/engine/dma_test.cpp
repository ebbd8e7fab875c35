#include <gtest/gtest.h>

#include "engine/dma.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using dma::Target;
using testing::error_text;

TEST(EngineDmaHeader, GoldenWordsAndRoundTrip) {
    struct Row { hw::Ident ident; Target target; uint32_t size; uint16_t address; bool xl; uint32_t word0, word1; };
    Row const rows[] = {
        // col 1, row 2, id 3, channel 4: registers of 100 words at 0x28
        {{1, 2, 3, 4}, Target::NpRegisters, 100, 0x28, false, 0x73040201, 0x00640028},
        {{0, 0, 0, 0}, Target::WeightsAlt, 32, 0, true, 0x10000000, 0x10020000},  // XL: two 16-word units
        {{255, 255, 15, 255}, Target::TnprTsram, 65520, 0xFFFF, true, 0xFFFFFFFF, 0x1FFFFFFF},
    };
    for (auto const& row : rows) {
        uint32_t words[3] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
        dma::format_config_header(words, row.ident, row.target, row.size, row.address, row.xl);
        EXPECT_EQ((std::vector<uint32_t>{words[0], words[1], words[2]}),
                  (std::vector<uint32_t>{row.word0, row.word1, 0xAAAAAAAA}));  // exactly two words written
        EXPECT_EQ(dma::parse_config_header(words),
                  (dma::ConfigHeader{row.ident, row.target, row.size, row.address, row.xl}));
    }
}

TEST(EngineDmaHeader, TargetNamesAndXlThreshold) {
    EXPECT_EQ(dma::to_string(Target{3}), "target 3");
    for (auto [words, xl] : {std::pair{4095u, false}, {4096u, true}})
        EXPECT_EQ(dma::config_block_size_needs_xl(words), xl) << words;
}

TEST(EngineDmaHeader, XlPaddingOfABlock) {
    struct Row { uint64_t words, padded; };
    Row const rows[] = {
        {0, 0}, {4095, 4095},                   // a normal header: as it is
        {4096, 4096}, {4097, 4112}, {65519, 65520},  // XL: whole 16-word units
        {uint64_t{1} << 40, uint64_t{1} << 40},  // beyond 32 bits: still XL
        {~uint64_t{0}, ~uint64_t{0}},            // saturated stays saturated
    };
    for (auto const& row : rows) EXPECT_EQ(dma::xl_padded(row.words), row.padded) << row.words;
}

TEST(EngineDmaHeader, RefusesValuesThatDoNotFitWithoutWriting) {
    struct Row { hw::Ident ident; uint8_t target; uint32_t size; bool xl; std::string message; };
    Row const rows[] = {
        {{}, 0, 4096, false, "DMA block length 4096 exceeds the 4095 words of a normal header"},
        {{}, 0, 17, true, "XL DMA block length 17 is not a multiple of 16 words"},
        {{}, 0, 65536, true, "DMA block length 65536 exceeds the 65520 words of an XL header"},
        {{0, 0, 16, 0}, 0, 1, false, "DMA config header cannot address component id 16 (at most 15)"},
        {{}, 16, 1, false, "DMA config header cannot address target 16 (at most 15)"},
    };
    for (auto const& row : rows) {
        uint32_t words[2] = {0x12345678, 0x9ABCDEF0};
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      dma::format_config_header(words, row.ident, Target(row.target), row.size, 0, row.xl);
                  }),
                  row.message);
        EXPECT_EQ(words[0] ^ words[1], 0x12345678u ^ 0x9ABCDEF0u);
    }
    EXPECT_EQ(
        error_text<std::runtime_error>([] { dma::format_config_header(nullptr, {}, Target::Weights, 0, 0, false); }),
        "Cannot write a DMA config header to a missing buffer.");
    uint32_t const reserved[2] = {0, 0x20000000};
    EXPECT_EQ(error_text<std::runtime_error>([&] { dma::parse_config_header(reserved); }),
              "Malformed DMA config header: reserved bits set in word 0x20000000");
    EXPECT_EQ(error_text<std::runtime_error>([] { dma::parse_config_header(nullptr); }),
              "Cannot read a DMA config header from a missing buffer.");
}

}  // namespace
}  // namespace nuvra
