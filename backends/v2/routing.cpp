#include "backends/v2/routing.h"

#include <algorithm>
#include <stdexcept>

#include "backends/v2/np_registers.h"
#include "backends/v2/registers.h"
#include "hw/format.h"

namespace nuvra::v2 {

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             std::vector<hw::Component> const& sources,
                                             std::vector<hw::Component> const& own,
                                             std::vector<hw::Component> const& destinations,
                                             std::unique_ptr<AltLayerInfo> const& alt_info,
                                             uint8_t link_index, bool p2p_in, bool p2p_out, bool mesh_flag) {
    np_image(regs);  // refuses an image that is not 64 words before anything else
    // Every step below reads a column or an identifier from these lists.
    require_routing_list(sources, "sources");
    require_routing_list(own, "layer components");
    require_routing_list(destinations, "destinations");

    set_np_field(regs, ROUTING_P2P_OUT, p2p_out);
    set_np_field(regs, ROUTING_CLEAR_1, false);
    set_np_field(regs, ROUTING_ENDS_PASS, mesh_flag);
    set_np_field(regs, ROUTING_ON, true);
    set_np_field(regs, ROUTING_FIXED_16_23, ROUTING_FIXED_16_23_VALUE);
    set_np_field(regs, ROUTING_LINK_MODE, ROUTING_LINKED);

    if (p2p_out) {
        if (destinations.size() != 1) throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs.");
        hw::Ident const& to = destinations.front().ident;
        set_np_field(regs, DESTINATION_LOW, to.row);
        set_np_field(regs, DESTINATION_HIGH, to.col);
        set_np_field(regs, DESTINATION_SELECT, np_select(to.id));
    } else {
        ColumnSpan const span = column_span(destinations);
        set_np_field(regs, DESTINATION_LOW, span.low);
        set_np_field(regs, DESTINATION_HIGH, span.high);
    }

    // A TNP-B counts its links one lower; link 0 to a TNP-B has no valid value and fails.
    uint32_t link = link_index;
    if (destinations.front().type == hw::Type::TNP_B) link -= 1;
    set_np_field(regs, DESTINATION_LINK_INDEX, link);

    if (p2p_in) {
        if (sources.size() != 1) throw std::runtime_error("Cannot use P2P IN mode for multiple NPs.");
        hw::Ident const& from = sources.front().ident;
        set_np_field(regs, SOURCE_SELECT, np_select(from.id));
        set_np_field(regs, SOURCE_LOW, from.row);
        set_np_field(regs, SOURCE_HIGH, from.col);
    } else {
        ColumnSpan const span = column_span(sources);
        set_np_field(regs, SOURCE_LOW, span.low);
        set_np_field(regs, SOURCE_HIGH, span.high);
    }
    set_np_field(regs, SOURCE_CLEAR_31, false);

    if (alt_info) {
        set_np_field(regs, SOURCE_ALTERNATE, true);
        set_np_field(regs, ALT_NP_COUNT, alt_info->nps);
        set_np_field(regs, ALT_HAS_PEER, alt_info->alternate);
        set_np_field(regs, ALT_PEER_INDEX, alt_info->main_index);
    }

    ColumnSpan const layer = column_span(own);
    ColumnSpan const out = column_span(destinations);
    set_np_field(regs, SPAN_LOW, std::min(layer.low, out.low));
    set_np_field(regs, SPAN_HIGH, std::max(layer.high, out.high));
}

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma) {
    // The select is written first: when it does not fit, the word stays as it was.
    set_np_field(regs, CFG_DMA_SELECT, np_select(dma.id));
    set_np_field(regs, CFG_DMA_ROW, dma.row);
    set_np_field(regs, CFG_DMA_COL, dma.col);
}

}  // namespace nuvra::v2
