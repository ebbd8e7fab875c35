// The SCC and EPG set-up of a sequence as the first and second generation record it: the record
// of the SCC words and the list of EPG register writes, made from register images whose fields
// (program/register_fields.h) each generation fills with its own values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "hw/ident.h"
#include "program/backend.h"
#include "program/record.h"
#include "program/register_fields.h"

namespace nuvra {

// The address of a register of the SCC or the EPG: 4 x its word.
constexpr uint32_t register_address(size_t word) { return static_cast<uint32_t>(4 * word); }

// The SCC record of a sequence from the SCC register image (SCC_REGISTER_WORDS words): one-word
// blocks for the zero ident at the HRC/SCC configuration bank, the configuration word (0x4), then
// the input size (0x40) when the image's SCC_INPUT_SIZED is set and the output size (0x44) when
// its SCC_OUTPUT_SIZED is set. An image of another size is std::invalid_argument "The SCC image
// must hold 18 words.".
std::unique_ptr<program::Record> scc_record(HwVersion const& version, std::span<uint32_t const> scc);

// The EPG fields a generation sets its own way.
struct EpgSetup {
    bool fnp_input = false;    // EPG_FNP_INPUT
    bool input_sized = false;  // EPG_INPUT_SIZED
    bool last_on_hrc = false;  // EPG_LAST_ON_HRC
    uint32_t mode = fields::EPG_MODE_SINGLE_PASS;
};

// The six EPG register writes (register offset, value), always in the order 0x00, 0x0C, 0x10,
// 0x14, 0x18, 0x1C: the preset image with `setup`, the column span and the row code of `args`
// (the row code twice), and the fixed timeout.
std::vector<std::pair<uint32_t, uint32_t>> epg_register_writes(EpgArgs const& args, EpgSetup const& setup);

}  // namespace nuvra
