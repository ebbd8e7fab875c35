#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/dma.h"
#include "error_text.h"

namespace nuvra {
namespace {

using dma::Target;
using testing::error_text;

struct HeaderRow {
    hw::Ident ident;
    Target target;
    uint32_t size;
    uint16_t address;
    bool xl;
    uint32_t word0;
    uint32_t word1;
};

TEST(EngineDmaHeader, GoldenWordsAndRoundTrip) {
    HeaderRow const rows[] = {
        // col 1, row 2, id 3, channel 4: registers of 100 words at 0x28
        {{1, 2, 3, 4}, Target::NpRegisters, 100, 0x28, false, 0x73040201, 0x00640028},
        // the dummy descriptor header: zero ident, HRC config, one word
        {{0, 0, 0, 0}, Target::HrcConfig, 1, 0, false, 0x80000000, 0x00010000},
        // XL: 32 words are two 16-word units
        {{0, 0, 0, 0}, Target::WeightsAlt, 32, 0, true, 0x10000000, 0x10020000},
        // every field at its largest value
        {{255, 255, 15, 255}, Target::TnprTsram, 4095, 0xFFFF, false, 0xFFFFFFFF, 0x0FFFFFFF},
        {{255, 255, 15, 255}, Target::TnprTsram, 65520, 0xFFFF, true, 0xFFFFFFFF, 0x1FFFFFFF},
        // a length the reader does not need
        {{5, 1, 3, 2}, Target::SkipDma, 0, 0x0044, false, 0xB3020105, 0x00000044},
        {{5, 1, 3, 2}, Target::SkipDma, 0, 0x0044, true, 0xB3020105, 0x10000044},
        {{3, 1, 0, 0}, Target::Weights, 16, 0, true, 0x00000103, 0x10010000},
    };
    for (auto const& row : rows) {
        uint32_t words[3] = {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
        dma::format_config_header(words, row.ident, row.target, row.size, row.address, row.xl);
        EXPECT_EQ(words[0], row.word0) << std::hex << row.word0;
        EXPECT_EQ(words[1], row.word1) << std::hex << row.word1;
        EXPECT_EQ(words[2], 0xAAAAAAAAu);  // exactly two words written
        dma::ConfigHeader const header = dma::parse_config_header(words);
        EXPECT_EQ(header, (dma::ConfigHeader{row.ident, row.target, row.size, row.address, row.xl}));
    }
}

TEST(EngineDmaHeader, TargetNumbers) {
    struct Row {
        Target target;
        uint8_t number;
    };
    Row const rows[] = {
        {Target::Weights, 0},      {Target::WeightsAlt, 1},    {Target::InputShift, 2},
        {Target::Thresholds, 4},   {Target::Variables, 5},     {Target::FnpMemory, 6},
        {Target::NpRegisters, 7},  {Target::HrcConfig, 8},     {Target::HrcSram, 9},
        {Target::MergeShift, 10},  {Target::SkipDma, 11},      {Target::ActivationLut, 12},
        {Target::TnprRegisters, 13}, {Target::TnprFsram, 14},  {Target::TnprTsram, 15},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(static_cast<uint8_t>(row.target), row.number);
        uint32_t words[2];
        dma::format_config_header(words, {}, row.target, 0, 0, false);
        EXPECT_EQ(words[0] >> 28, row.number);
    }
}

TEST(EngineDmaHeader, NeedsXlAboveTheNormalLength) {
    struct Row {
        uint32_t words;
        bool xl;
    };
    Row const rows[] = {
        {0, false}, {1, false}, {17, false}, {4095, false}, {4096, true}, {4097, true}, {65520, true}, {65535, true},
    };
    for (auto const& row : rows) EXPECT_EQ(dma::config_block_size_needs_xl(row.words), row.xl) << row.words;
    // Every length that needs no XL fits a normal header, and every XL length up to the largest
    // track block fits the XL header once padded to 16 words.
    uint32_t words[2];
    EXPECT_NO_THROW(dma::format_config_header(words, {}, Target::Weights, dma::max_normal_block_words, 0, false));
    EXPECT_NO_THROW(dma::format_config_header(words, {}, Target::Weights, 65520, 0, true));
}

TEST(EngineDmaHeader, ValuesThatDoNotFitAreRefused) {
    struct Row {
        hw::Ident ident;
        uint8_t target;
        uint32_t size;
        bool xl;
        std::string message;
    };
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
                      dma::format_config_header(words, row.ident, static_cast<Target>(row.target), row.size, 0,
                                                row.xl);
                  }),
                  row.message);
        EXPECT_EQ(words[0], 0x12345678u);  // nothing written
        EXPECT_EQ(words[1], 0x9ABCDEF0u);
    }
    EXPECT_EQ(error_text<std::runtime_error>(
                  [] { dma::format_config_header(nullptr, {}, Target::Weights, 0, 0, false); }),
              "Cannot write a DMA config header to a missing buffer.");
}

TEST(EngineDmaHeader, ParseRefusesReservedBits) {
    uint32_t const words[2] = {0, 0x20000000};
    EXPECT_EQ(error_text<std::runtime_error>([&] { dma::parse_config_header(words); }),
              "Malformed DMA config header: reserved bits set in word 0x20000000");
    EXPECT_EQ(error_text<std::runtime_error>([] { dma::parse_config_header(nullptr); }),
              "Cannot read a DMA config header from a missing buffer.");
}

}  // namespace
}  // namespace nuvra
