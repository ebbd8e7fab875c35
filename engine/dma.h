// The config header that opens every DMA block of an NP program, and the bank it addresses.
#pragma once

#include <cstdint>
#include <string>

#include "hw/ident.h"
#include "hw/register.h"

namespace nuvra::dma {

// The bank of an NP (or of the HRC, SCC or TNP-R) that a DMA block is written to.
enum class Target : uint8_t {
    Weights = 0,         // weights, first bank
    WeightsAlt = 1,      // weights, second bank (TNP-B, and CNP layers that pick it)
    InputShift = 2,      // per-channel input shifts
    Thresholds = 4,      // first-generation CNP thresholds and activation steps
    Variables = 5,       // per-neuron variables (bias, scales, shifts)
    FnpMemory = 6,       // FNP memory image (neurons and their weights)
    NpRegisters = 7,     // the NP's register image
    HrcConfig = 8,       // HRC and SCC configuration words
    HrcSram = 9,         // HRC SRAM data
    MergeShift = 10,     // shift of the merged input of a merge layer
    SkipDma = 11,        // skip-DMA store and load set-up
    ActivationLut = 12,  // activation look-up table
    TnprRegisters = 13,  // TNP-R register words
    TnprFsram = 14,      // TNP-R FSRAM contents
    TnprTsram = 15,      // TNP-R TSRAM contents
};

// The bank's name as written above ("NpRegisters"); a number no bank has reads "target 3".
std::string to_string(Target target);

// Header layout, two 32-bit words:
//
//   word 0  bits  0-7   column of the addressed component (hw::Ident::col)
//           bits  8-15  row (hw::Ident::row)
//           bits 16-23  channel (hw::Ident::channel)
//           bits 24-27  index at that position (hw::Ident::id, at most 15)
//           bits 28-31  target bank (dma::Target)
//   word 1  bits  0-15  address inside the bank
//           bits 16-27  block length: payload words, or 16-word units in an XL header
//           bit  28     XL: the length counts 16-word units
//           bits 29-31  reserved, 0
//
// A normal header counts up to 4095 words. A longer block needs the XL form, whose length is a
// multiple of 16 words (the block is padded with zero words), up to 4095 x 16 = 65520 words.
inline constexpr RegDetail header_col{0, 8};
inline constexpr RegDetail header_row{8, 8};
inline constexpr RegDetail header_channel{16, 8};
inline constexpr RegDetail header_id{24, 4};
inline constexpr RegDetail header_target{28, 4};
inline constexpr RegDetail header_address{0, 16};
inline constexpr RegDetail header_size{16, 12};
inline constexpr RegDetail header_xl{28, 1};
inline constexpr RegDetail header_reserved{29, 3};

inline constexpr uint32_t header_words = 2;
// Longest block a normal header describes.
inline constexpr uint32_t max_normal_block_words = 4095;
// An XL length counts units of this many words.
inline constexpr uint32_t xl_unit_words = 16;
// Longest block an XL header describes.
inline constexpr uint32_t max_xl_block_words = 4095 * xl_unit_words;

// True when a block of `words` payload words is longer than a normal header can describe.
bool config_block_size_needs_xl(uint32_t words);
// The words a block of `words` payload words takes: rounded up to whole XL units when it needs
// the XL header, else `words` (saturated at UINT64_MAX).
uint64_t xl_padded(uint64_t words);

// Writes the two header words at out[0] and out[1]. `size` is the block length in words (0 is
// allowed: a block whose length the reader does not need); with `xl` it must be a multiple of
// 16 and at most 65520, without at most 4095. A length, id or target that does not fit its
// field panics and nothing is written.
void format_config_header(uint32_t* out, hw::Ident const& ident, Target target, uint32_t size, uint16_t address,
                          bool xl);

// The values of one header.
struct ConfigHeader {
    hw::Ident ident;
    Target target = Target::Weights;
    uint32_t size = 0;  // in words, for both forms
    uint16_t address = 0;
    bool xl = false;

    friend bool operator==(ConfigHeader const&, ConfigHeader const&) = default;
};

// Reads the two header words at words[0] and words[1]. Reserved bits that are set panic.
ConfigHeader parse_config_header(const uint32_t* words);

}  // namespace nuvra::dma
