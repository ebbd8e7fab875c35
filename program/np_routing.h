// The mesh routing words of an NP register image as both NP generations write them: where the
// NP's input packets come from, where its output goes and the columns the packets cross (words 44
// to 47), and the DMA engine the NP reports to (word 49). A generation's RoutingFormat says where
// its hardware differs; the fields are those of program/register_fields.h.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "hw/ident.h"
#include "hw/register.h"

namespace nuvra {

// Refuses an empty list of the routing: std::runtime_error "Cannot route an NP without <what>.".
void require_routing_list(std::vector<hw::Component> const& list, const char* what);

// Column span of a component list: its smallest and largest ident.col.
struct ColumnSpan {
    uint8_t low = 0;
    uint8_t high = 0;

    friend bool operator==(ColumnSpan const&, ColumnSpan const&) = default;
};

// The column span of `components`; a list of exactly one HRC component spans (1, 1). An empty
// list is std::invalid_argument "Cannot take the column span of an empty component list.".
ColumnSpan column_span(std::vector<hw::Component> const& components);

// The one-hot NP select 1 << id. Ids of 32 and above read as 4294967295, which no select field
// takes, so the overflow message still stops the write.
uint32_t np_select(uint8_t id);

// The set-up of one of the two layers that follow a split point at equal depth.
struct AlternateBranch {
    uint32_t np_count = 0;   // NP components of both layers together
    bool has_peer = false;   // the skip-branch layer, which names the main one
    uint8_t peer_index = 0;  // on that layer, the main layer's index
};

// Where a generation's image takes the alternate-branch set-up.
struct AlternateFields {
    Field marked;      // set: the layer is one of the two
    Field np_count;
    Field has_peer;
    Field peer_index;
};

// What the routing words of one NP are made of.
struct NpRouting {
    std::vector<hw::Component> const& sources;       // the components that send to the layer
    std::vector<hw::Component> const& layer_nps;     // the layer's own NP components
    std::vector<hw::Component> const& destinations;  // the components that receive its output
    // The link index of word 45: the mapping's input link index on the first generation, its
    // output link index on the second.
    uint8_t link_index = 0xFF;
    bool p2p_in = false;     // point-to-point input from the one component of `sources`
    bool p2p_out = false;    // point-to-point output to the one component of `destinations`
    bool ends_pass = false;  // the layer ends a pass before the last (LayerRecordArgs::mesh_flag)
    AlternateBranch const* alternate = nullptr;  // the layer follows a split point (second generation)
};

// Where a generation's routing words differ from the other's.
struct RoutingFormat {
    // A bit of word 44 set on every routed NP, or none.
    Field const* routing_on = nullptr;
    // The top bits of word 46 that every routing clears after the sources.
    Field source_cleared;
    // A point-to-point source's one-hot select goes after its row and column, which a select that
    // does not fit leaves written; otherwise it goes first, and word 46 then stays as it was.
    bool source_select_last = false;
    // The top bits of word 47 that every routing clears after the span, or none.
    Field const* span_cleared = nullptr;
    // Word 44's link mode says "no link" (ROUTING_NO_LINK) for a link index of 0xFF; otherwise it
    // is always ROUTING_LINKED.
    bool no_link_at_0xff = false;
    // A TNP-B destination counts its links one lower (link 0 to one has no value and fails).
    bool tnp_b_link_one_lower = false;
    // Where the alternate-branch set-up goes; null for a generation without it (which must not be
    // given one).
    AlternateFields const* alternate = nullptr;
    // The refusals of point-to-point routing with other than one peer (std::runtime_error).
    char const* p2p_out_refusal;
    char const* p2p_in_refusal;
};

// Words 44 to 47 of `image`, in this order:
//   44: the point-to-point output flag, bit 1 cleared, the end-of-pass flag, the format's
//       routing_on bit, 0x08 in bits 16-23 and the link mode in bits 24-31;
//   45: the destination (point-to-point: its row, column, then one-hot id; else the column span of
//       the destinations), then the link index;
//   46: the source (point-to-point: its one-hot id, row, then column, or with the format's
//       source_select_last its row, column, then one-hot id; else the span of the sources), then
//       the format's source_cleared bits;
//   with `routing.alternate`: the format's alternate fields (marked, NP count, peer flag, peer
//       index);
//   47: the smallest and largest column over the layer's NPs and its destinations, then the
//       format's span_cleared bits.
// Any of the three lists empty is std::runtime_error "Cannot route an NP without sources." ("...
// layer components.", "... destinations."), before anything is written; point-to-point with
// another count, the format's refusal; an alternate branch for a format without its fields,
// std::logic_error; a value too wide for its field fails through panic with the overflow message.
// The fields written before a failure stay written.
void format_routing_words(std::span<uint32_t> image, NpRouting const& routing, RoutingFormat const& format);

// Word 49: the DMA engine the NP reports to (row, column and one-hot id, bits 20-31 kept). An id
// of 4 or more fails through panic and leaves the word as it was.
void format_cfg_dma_word(std::span<uint32_t> image, hw::Ident const& dma);

}  // namespace nuvra
