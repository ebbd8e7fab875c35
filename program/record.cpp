#include "program/record.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "hw/arith.h"
#include "hw/process_state.h"

namespace nuvra {

namespace program {

namespace {

// The most words a track grows by beyond what a block needs.
constexpr uint64_t growth_headroom_words = 1024;

}  // namespace

std::vector<uint32_t> take_spare_words(uint64_t words) { return state::spare_track_buffers().take(words); }

void keep_spare_words(std::vector<uint32_t>&& buffer) noexcept { state::spare_track_buffers().keep(std::move(buffer)); }

NpTrack::~NpTrack() { keep_spare_words(std::move(words_)); }

bool NpTrack::append(hw::Ident const& ident, dma::Target target, uint16_t address,
                     std::vector<uint32_t> const& data, bool allow_xl, bool size_flag,
                     NeedsXl needs_xl) {
    uint64_t const n = data.size();
    // Longer than any track: it cannot fit, with or without XL.
    if (n > max_words) return false;

    bool const xl = needs_xl(static_cast<uint32_t>(n));
    if (xl && !allow_xl) return false;
    // An XL length counts whole units of 16 words; the rest is zero padding.
    uint64_t const length = xl ? round_up(n, dma::xl_unit_words) : n;

    uint64_t const needed = words_.size() + dma::header_words + length;
    if (needed > max_words) return false;

    // Encode the header before touching the track, so that a refused header leaves it unchanged.
    uint32_t header[dma::header_words];
    dma::format_config_header(header, ident, target, size_flag ? static_cast<uint32_t>(length) : 0, address,
                              xl);

    // Room for a few more small blocks (input shifts, variables) after a large one, so that the
    // large one is not copied again for each of them; bounded, since a layer's whole record is held
    // until the serializer writes it.
    if (needed > words_.capacity()) {
        std::vector<uint32_t> grown = take_spare_words(needed);
        if (grown.capacity() < needed)
            grown.reserve(std::min<uint64_t>(needed + std::min<uint64_t>(needed / 2, growth_headroom_words), max_words));
        grown.assign(words_.begin(), words_.end());
        std::swap(words_, grown);
        keep_spare_words(std::move(grown));
    }
    words_.insert(words_.end(), header, header + dma::header_words);
    words_.insert(words_.end(), data.begin(), data.end());
    words_.resize(needed, 0);
    return true;
}

bool NpTrack::append(hw::Ident const& ident, dma::Target target, uint16_t address,
                     std::vector<uint32_t> const& data, bool allow_xl, bool size_flag) {
    return append(ident, target, address, data, allow_xl, size_flag, dma::config_block_size_needs_xl);
}

Record::Record(HwVersion const& version, NeedsXl xl_rule) : hw_version(version), needs_xl(xl_rule) {
    if (needs_xl == nullptr) needs_xl = dma::config_block_size_needs_xl;
}

Record::~Record() {
    if (fnp2_filters_track) keep_spare_words(std::move(fnp2_filters_track->words));
}

void Record::add_np_track(hw::Ident const& ident, dma::Target target, uint16_t address,
                          std::vector<uint32_t> const& data, TrackOptions options) {
    if (!options.reuse_last || tracks.empty()) tracks.emplace_back();
    if (tracks.back().append(ident, target, address, data, false, options.size_flag, needs_xl)) return;
    tracks.emplace_back();
    if (tracks.back().append(ident, target, address, data, true, options.size_flag, needs_xl)) return;
    throw std::runtime_error("Error generating NP program.");
}

void Record::add_np_track(hw::Ident const& ident, dma::Target target, uint16_t address,
                          std::vector<uint32_t> const& data, bool size_flag, bool reuse_last) {
    add_np_track(ident, target, address, data, TrackOptions{.size_flag = size_flag, .reuse_last = reuse_last});
}

void Record::add_fnp2_filters_track(hw::Ident const& ident, std::vector<uint32_t> const& data) {
    std::vector<uint32_t> words = take_spare_words(data.size());
    words.assign(data.begin(), data.end());
    add_fnp2_filters_track(ident, std::move(words));
}

void Record::add_fnp2_filters_track(hw::Ident const& ident, std::vector<uint32_t>&& data) {
    if (fnp2_filters_track) keep_spare_words(std::move(fnp2_filters_track->words));
    fnp2_filters_track = std::make_unique<Fnp2FiltersTrack>(Fnp2FiltersTrack{ident, std::move(data)});
}

std::unique_ptr<Record> new_record(HwVersion const& version) { return std::make_unique<Record>(version); }

}  // namespace program

uint64_t format_config_header_fb(hw::Ident const& ident, dma::Target target, uint32_t size,
                                 uint16_t address) {
    uint32_t header[dma::header_words];
    dma::format_config_header(header, ident, target, size, address, false);
    return uint64_t{header[0]} | (uint64_t{header[1]} << 32);
}

}  // namespace nuvra
