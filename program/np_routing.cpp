#include "program/np_routing.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "hw/format.h"
#include "program/register_fields.h"

namespace nuvra {

using namespace fields;

namespace {

// The peer fields of a routing word: with point-to-point routing the one component of `list`
// (row, column, one-hot id), otherwise the column span of the list.
struct PeerFields {
    Field low;
    Field high;
    Field select;
};

// Point-to-point to or from the one component of `list`, else the list's column span. The select
// goes first or last as `select_first` says (last: a select that does not fit leaves the row and
// column written; first: the word stays as it was).
void set_peer(std::span<uint32_t> image, PeerFields const& fields, std::vector<hw::Component> const& list, bool p2p,
              char const* refusal, bool select_first) {
    if (!p2p) {
        ColumnSpan const span = column_span(list);
        set(image, fields.low, span.low);
        set(image, fields.high, span.high);
        return;
    }
    if (list.size() != 1) throw std::runtime_error(refusal);
    hw::Ident const& peer = list.front().ident;
    if (select_first) set(image, fields.select, np_select(peer.id));
    set(image, fields.low, peer.row);
    set(image, fields.high, peer.col);
    if (!select_first) set(image, fields.select, np_select(peer.id));
}

}  // namespace

void require_routing_list(std::vector<hw::Component> const& list, const char* what) {
    if (list.empty()) throw std::runtime_error(format("Cannot route an NP without {}.", what));
}

ColumnSpan column_span(std::vector<hw::Component> const& components) {
    if (components.empty())
        throw std::invalid_argument("Cannot take the column span of an empty component list.");
    if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
    ColumnSpan span{components.front().ident.col, components.front().ident.col};
    for (auto const& component : components) {
        span.low = std::min(span.low, component.ident.col);
        span.high = std::max(span.high, component.ident.col);
    }
    return span;
}

uint32_t np_select(uint8_t id) {
    return id < 32 ? uint32_t{1} << id : std::numeric_limits<uint32_t>::max();
}

void format_routing_words(std::span<uint32_t> image, NpRouting const& routing, RoutingFormat const& format) {
    // Every word below reads a column or an identifier from these lists.
    require_routing_list(routing.sources, "sources");
    require_routing_list(routing.layer_nps, "layer components");
    require_routing_list(routing.destinations, "destinations");

    set(image, ROUTING_P2P_OUT, routing.p2p_out);
    set(image, ROUTING_CLEAR_1, 0);
    set(image, ROUTING_ENDS_PASS, routing.ends_pass);
    if (format.routing_on) set(image, *format.routing_on, 1);
    set(image, ROUTING_FIXED_16_23, ROUTING_FIXED_16_23_VALUE);
    bool const no_link = format.no_link_at_0xff && routing.link_index == 0xFF;
    set(image, ROUTING_LINK_MODE, no_link ? ROUTING_NO_LINK : ROUTING_LINKED);

    set_peer(image, {DESTINATION_LOW, DESTINATION_HIGH, DESTINATION_SELECT}, routing.destinations, routing.p2p_out,
             format.p2p_out_refusal, false);
    uint64_t link = routing.link_index;
    if (format.tnp_b_link_one_lower && routing.destinations.front().type == hw::Type::TNP_B)
        link = uint32_t(link - 1);  // link 0 reads as 4294967295, which the field refuses
    set(image, DESTINATION_LINK_INDEX, link);

    set_peer(image, {SOURCE_LOW, SOURCE_HIGH, SOURCE_SELECT}, routing.sources, routing.p2p_in, format.p2p_in_refusal,
             !format.source_select_last);
    set(image, format.source_cleared, 0);

    if (AlternateBranch const* alternate = routing.alternate) {
        if (format.alternate == nullptr) throw std::logic_error("This NP image has no alternate-branch fields.");
        AlternateFields const& fields = *format.alternate;
        set(image, fields.marked, 1);
        set(image, fields.np_count, alternate->np_count);
        set(image, fields.has_peer, alternate->has_peer);
        set(image, fields.peer_index, alternate->peer_index);
    }

    ColumnSpan const layer = column_span(routing.layer_nps);
    ColumnSpan const out = column_span(routing.destinations);
    set(image, SPAN_LOW, std::min(layer.low, out.low));
    set(image, SPAN_HIGH, std::max(layer.high, out.high));
    if (format.span_cleared) set(image, *format.span_cleared, 0);
}

void format_cfg_dma_word(std::span<uint32_t> image, hw::Ident const& dma) {
    // The select is written first: when it does not fit, the word stays as it was.
    set(image, CFG_DMA_SELECT, np_select(dma.id));
    set(image, CFG_DMA_ROW, dma.row);
    set(image, CFG_DMA_COL, dma.col);
}

}  // namespace nuvra
