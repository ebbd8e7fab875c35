// The program of one recorded layer: its DMA tracks (runs of 32-bit words, one config header per
// block), its optional FNP2 filters track, and the three records of a learning layer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/dma.h"
#include "hw/ident.h"
#include "hw/process_state.h"

namespace nuvra {

namespace program {

// Whether a block of that many payload words needs the XL header form. The engine's rule is the
// default everywhere; tests inject other thresholds.
using NeedsXl = bool (*)(uint32_t words);

// One DMA track: a concatenation of blocks, each a two-word config header, the payload and, for
// an XL block, zero padding up to a multiple of 16 payload words.
class NpTrack {
public:
    // A track never holds more words than this.
    static constexpr uint32_t max_words = 65535;

    NpTrack() = default;
    NpTrack(NpTrack const&) = default;
    NpTrack(NpTrack&&) noexcept = default;
    NpTrack& operator=(NpTrack const&) = default;
    NpTrack& operator=(NpTrack&&) noexcept = default;
    // Leaves its word buffer to the next tracks recorded on this thread (keep_spare_words).
    ~NpTrack();

    // Appends one block for `ident`, or returns false and leaves the track unchanged when the
    // block needs the XL form and `allow_xl` is false, or when it would pass max_words. The
    // header's size field is the padded length with `size_flag`, 0 without. A header the
    // encoder refuses fails through panic, with the track unchanged.
    bool append(hw::Ident const& ident, dma::Target target, uint16_t address,
                std::vector<uint32_t> const& data, bool allow_xl, bool size_flag, NeedsXl needs_xl);
    // The same with the engine's XL rule.
    bool append(hw::Ident const& ident, dma::Target target, uint16_t address,
                std::vector<uint32_t> const& data, bool allow_xl, bool size_flag);

    std::vector<uint32_t> const& words() const { return words_; }
    size_t size() const { return words_.size(); }

private:
    std::vector<uint32_t> words_;
};

// The filters of an FNP2, kept in external memory; no config header of its own.
struct Fnp2FiltersTrack {
    hw::Ident ident;
    std::vector<uint32_t> words;
};

// How Record::add_np_track places a block; the defaults are what nearly every block takes.
struct TrackOptions {
    // The header's size field holds the block's (padded) length; without it the field is 0.
    bool size_flag = true;
    // The block goes at the end of the last track when it fits there without the XL form;
    // without it the block always starts a new track.
    bool reuse_last = true;
};

// The tracks recorded for one layer on its NPs.
struct Record {
    std::vector<NpTrack> tracks;                           // in the order they were opened
    std::unique_ptr<Fnp2FiltersTrack> fnp2_filters_track;  // null when the record has none
    HwVersion hw_version;                                  // the device the record was made for
    NeedsXl needs_xl = dma::config_block_size_needs_xl;    // the XL rule of add_np_track

    explicit Record(HwVersion const& version, NeedsXl needs_xl = dma::config_block_size_needs_xl);
    virtual ~Record();

    Record(Record const&) = delete;
    Record& operator=(Record const&) = delete;

    // Appends one block holding `data`: to the last track when `options.reuse_last` is set and
    // the block fits there without the XL form, else to a new track (where an XL block always
    // starts). When no track can take the block: std::runtime_error "Error generating NP
    // program.", with the tracks opened so far, empty ones included, kept.
    void add_np_track(hw::Ident const& ident, dma::Target target, uint16_t address,
                      std::vector<uint32_t> const& data, TrackOptions options = {});
    // The same with the placement given as two flags, in TrackOptions' order.
    void add_np_track(hw::Ident const& ident, dma::Target target, uint16_t address,
                      std::vector<uint32_t> const& data, bool size_flag, bool reuse_last);

    // Sets the record's single FNP2 filters track to a copy of `data`; the last call wins.
    void add_fnp2_filters_track(hw::Ident const& ident, std::vector<uint32_t> const& data);
    // The same, taking the words over without a copy: the filters are a layer's whole weights.
    void add_fnp2_filters_track(hw::Ident const& ident, std::vector<uint32_t>&& data);
};

// The word buffers of tracks that are gone, kept for the next tracks recorded on the same thread:
// a layer's record is written and dropped before the next one is made, so its buffers serve the
// next without fresh pages. At most `max_spare_buffers` buffers of `max_spare_words` words in all
// (state::spare_track_buffers(), hw/process_state.h).
inline constexpr size_t max_spare_buffers = state::max_spare_track_buffers;
inline constexpr uint64_t max_spare_words = state::max_spare_track_words;
// A kept buffer of at least `words` words (empty), or an empty one of no capacity.
std::vector<uint32_t> take_spare_words(uint64_t words);
// Keeps `buffer` for later when there is room; its words are dropped. Never fails: a buffer that
// cannot be kept goes back to the allocator.
void keep_spare_words(std::vector<uint32_t>&& buffer) noexcept;

// A new empty record for that version.
std::unique_ptr<Record> new_record(HwVersion const& version);

// The three records of a learning layer (learning registers, inference registers, memory image)
// and a value its recorder sets. Destroys third, then second, then first.
struct LearnRecordsPtr {
    std::unique_ptr<Record> first;
    std::unique_ptr<Record> second;
    std::unique_ptr<Record> third;
    uint32_t value = 0;
};

}  // namespace program

// The two header words that dma::format_config_header writes for these values without XL, as
// one value whose low half is the first word.
uint64_t format_config_header_fb(hw::Ident const& ident, dma::Target target, uint32_t size,
                                 uint16_t address);

}  // namespace nuvra
