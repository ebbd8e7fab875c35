// Reading recorded programs back for the recorder tests of every generation: every DMA block of a
// record, decoded through the engine's config-header reader, and small builders of components and
// NP parts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/dma.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/ident.h"
#include "program/record.h"

namespace nuvra::testing {

// One block of a track: its header and its payload (without the XL padding words).
struct DecodedBlock {
    dma::ConfigHeader header;
    std::vector<uint32_t> words;

    friend bool operator==(DecodedBlock const&, DecodedBlock const&) = default;
};

// Every block of one track, in order. A block whose length runs past the track fails the test.
inline std::vector<DecodedBlock> decode_track(std::vector<uint32_t> const& words) {
    std::vector<DecodedBlock> blocks;
    size_t i = 0;
    while (i < words.size()) {
        EXPECT_LE(i + dma::header_words, words.size()) << "header cut short";
        if (i + dma::header_words > words.size()) break;
        DecodedBlock block{dma::parse_config_header(&words[i]), {}};
        i += dma::header_words;
        EXPECT_LE(i + block.header.size, words.size()) << "payload cut short";
        if (i + block.header.size > words.size()) break;
        block.words.assign(words.begin() + std::ptrdiff_t(i), words.begin() + std::ptrdiff_t(i + block.header.size));
        i += block.header.size;
        blocks.push_back(std::move(block));
    }
    return blocks;
}

// Every block of every track of `record`, in track order.
inline std::vector<DecodedBlock> decode_blocks(program::Record const& record) {
    std::vector<DecodedBlock> blocks;
    for (auto const& track : record.tracks) {
        auto const decoded = decode_track(track.words());
        blocks.insert(blocks.end(), decoded.begin(), decoded.end());
    }
    return blocks;
}

// Every block of every track of a record as the program stores it, in track order.
inline std::vector<DecodedBlock> decode_blocks(fb::Record const& record) {
    std::vector<DecodedBlock> blocks;
    if (record.tracks() == nullptr) return blocks;
    for (auto const* track : *record.tracks()) {
        auto const decoded = decode_track(std::vector<uint32_t>(track->words()->begin(), track->words()->end()));
        blocks.insert(blocks.end(), decoded.begin(), decoded.end());
    }
    return blocks;
}

// The blocks of each record of the first pass of a program, in program order.
inline std::vector<std::vector<DecodedBlock>> pass_records(std::span<const uint8_t> program) {
    ProgramInfo const info(program.data(), program.size());
    std::vector<std::vector<DecodedBlock>> records;
    for (auto const* record : *info.data().passes()->Get(0)->records()) records.push_back(decode_blocks(*record));
    return records;
}

// The targets of the blocks, in order.
inline std::vector<int> targets_of(std::vector<DecodedBlock> const& blocks) {
    std::vector<int> targets;
    for (auto const& block : blocks) targets.push_back(static_cast<int>(block.header.target));
    return targets;
}

// The addresses of the blocks, in order.
inline std::vector<uint32_t> addresses_of(std::vector<DecodedBlock> const& blocks) {
    std::vector<uint32_t> addresses;
    for (auto const& block : blocks) addresses.push_back(block.header.address);
    return addresses;
}

// A component of `type` at `ident`, with `part` as its NP part (none by default).
inline hw::Component make_component(hw::Type type, hw::Ident ident, std::optional<hw::NpPart> part = std::nullopt) {
    hw::Component c;
    c.type = type;
    c.ident = ident;
    c.np_part = std::move(part);
    return c;
}

// An NP part of `filters` filters from `first`, over a window at (x, y) of w x h x c, with the
// same window as its halo.
inline hw::NpPart np_part(uint32_t first, uint32_t filters, uint32_t x = 0, uint32_t y = 0, uint32_t w = 4,
                          uint32_t h = 4, uint32_t c = 4) {
    hw::NpPart part;
    part.start_neuron = first;
    part.filters = filters;
    part.spatial_partition = NpSpace{x, y, Shape{w, h, c}};
    part.halo_partition = NpSpace{x, y, Shape{w, h, c}};
    return part;
}

// A zero-filled tensor.
inline std::shared_ptr<Dense> zeros(TensorType type, Shape const& shape) {
    return Dense::create(type, shape, Layout::c_order);
}

// The register-field writer's message for a value too wide for its field.
inline std::string overflow(uint64_t value, int width) {
    return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(width) +
           "-bit field, which will cause an overflow.";
}

// The bits offset .. offset + width - 1 of a word.
inline uint32_t field_of(uint32_t word, uint32_t offset, uint32_t width) {
    return (word >> offset) & (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1);
}

}  // namespace nuvra::testing
