#include "engine/dma.h"

#include "hw/arith.h"
#include "hw/format.h"
#include "hw/panic.h"

namespace nuvra::dma {

std::string to_string(Target target) {
    switch (target) {
        case Target::Weights: return "Weights";
        case Target::WeightsAlt: return "WeightsAlt";
        case Target::InputShift: return "InputShift";
        case Target::Thresholds: return "Thresholds";
        case Target::Variables: return "Variables";
        case Target::FnpMemory: return "FnpMemory";
        case Target::NpRegisters: return "NpRegisters";
        case Target::HrcConfig: return "HrcConfig";
        case Target::HrcSram: return "HrcSram";
        case Target::MergeShift: return "MergeShift";
        case Target::SkipDma: return "SkipDma";
        case Target::ActivationLut: return "ActivationLut";
        case Target::TnprRegisters: return "TnprRegisters";
        case Target::TnprFsram: return "TnprFsram";
        case Target::TnprTsram: return "TnprTsram";
    }
    return format("target {}", static_cast<unsigned>(target));
}

bool config_block_size_needs_xl(uint32_t words) { return words > max_normal_block_words; }

uint64_t xl_padded(uint64_t words) {
    return config_block_size_needs_xl(clamp_to<uint32_t>(words)) ? round_up(words, xl_unit_words) : words;
}

void format_config_header(uint32_t* out, hw::Ident const& ident, Target target, uint32_t size, uint16_t address,
                          bool xl) {
    if (out == nullptr) panic("%s", "Cannot write a DMA config header to a missing buffer.");
    uint32_t length = size;
    if (xl) {
        if (size % xl_unit_words != 0)
            panic("XL DMA block length %u is not a multiple of %u words", size, xl_unit_words);
        if (size > max_xl_block_words)
            panic("DMA block length %u exceeds the %u words of an XL header", size, max_xl_block_words);
        length = size / xl_unit_words;
    } else if (size > max_normal_block_words) {
        panic("DMA block length %u exceeds the %u words of a normal header", size, max_normal_block_words);
    }
    if (ident.id > 15) panic("DMA config header cannot address component id %u (at most 15)", unsigned{ident.id});
    if (static_cast<uint32_t>(target) > 15)
        panic("DMA config header cannot address target %u (at most 15)", static_cast<unsigned>(target));

    // Build both words before writing, so a failure leaves the buffer untouched.
    uint32_t who = 0;
    set_field(&who, header_col, ident.col);
    set_field(&who, header_row, ident.row);
    set_field(&who, header_channel, ident.channel);
    set_field(&who, header_id, ident.id);
    set_field(&who, header_target, static_cast<uint32_t>(target));
    uint32_t what = 0;
    set_field(&what, header_address, address);
    set_field(&what, header_size, length);
    set_field(&what, header_xl, xl ? 1 : 0);
    out[0] = who;
    out[1] = what;
}

ConfigHeader parse_config_header(const uint32_t* words) {
    if (words == nullptr) panic("%s", "Cannot read a DMA config header from a missing buffer.");
    uint32_t const who = words[0];
    uint32_t const what = words[1];
    if (get_field(what, header_reserved) != 0)
        panic("Malformed DMA config header: reserved bits set in word 0x%08x", what);
    ConfigHeader header;
    header.ident.col = static_cast<uint8_t>(get_field(who, header_col));
    header.ident.row = static_cast<uint8_t>(get_field(who, header_row));
    header.ident.channel = static_cast<uint8_t>(get_field(who, header_channel));
    header.ident.id = static_cast<uint8_t>(get_field(who, header_id));
    header.target = static_cast<Target>(get_field(who, header_target));
    header.address = static_cast<uint16_t>(get_field(what, header_address));
    header.xl = get_field(what, header_xl) != 0;
    uint32_t const length = get_field(what, header_size);
    header.size = header.xl ? length * xl_unit_words : length;
    return header;
}

}  // namespace nuvra::dma
