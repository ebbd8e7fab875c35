#include "backends/v2/routing.h"

#include <optional>
#include <span>

#include "backends/v2/np_registers.h"
#include "backends/v2/registers.h"

namespace nuvra::v2 {

namespace {

// The second generation's routing words: word 44 bit 3 set on every NP, bit 31 of word 46
// cleared, links to a TNP-B counted one lower, a refusal for each direction.
constexpr AlternateFields alternate_fields{SOURCE_ALTERNATE, ALT_NP_COUNT, ALT_HAS_PEER, ALT_PEER_INDEX};
constexpr RoutingFormat routing_format{
    .routing_on = &ROUTING_ON,
    .source_cleared = SOURCE_CLEAR_31,
    .tnp_b_link_one_lower = true,
    .alternate = &alternate_fields,
    .p2p_out_refusal = "Cannot use P2P OUT mode for multiple NPs.",
    .p2p_in_refusal = "Cannot use P2P IN mode for multiple NPs.",
};

// Writes `routing` into the image, with the alternate-branch set-up of `alt_info` (may be null).
void write_routing(std::vector<uint32_t>* regs, NpRouting routing, AltLayerInfo const* alt_info) {
    std::span<uint32_t> const image = np_image(regs);  // refuses an image that is not 64 words first
    // One of the two layers after a split point: the pair's NP count and, on the skip branch, the
    // main layer's index.
    std::optional<AlternateBranch> alternate;
    if (alt_info) alternate = AlternateBranch{alt_info->nps, alt_info->alternate, alt_info->main_index};
    routing.alternate = alternate ? &*alternate : nullptr;
    format_routing_words(image, routing, routing_format);
}

}  // namespace

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             std::vector<hw::Component> const& sources,
                                             std::vector<hw::Component> const& own,
                                             std::vector<hw::Component> const& destinations,
                                             std::unique_ptr<AltLayerInfo> const& alt_info,
                                             uint8_t link_index, bool p2p_in, bool p2p_out, bool mesh_flag) {
    write_routing(regs,
                  {.sources = sources,
                   .layer_nps = own,
                   .destinations = destinations,
                   .link_index = link_index,
                   .p2p_in = p2p_in,
                   .p2p_out = p2p_out,
                   .ends_pass = mesh_flag},
                  alt_info.get());
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, LayerRoutes const& routes,
                                             bool mesh_flag) {
    LayerMapping const& mapping = routes.mapping;
    write_routing(regs, routes.routing(mapping.link_index, mesh_flag), mapping.alt_info.get());
}

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma) {
    format_cfg_dma_word(np_image(regs), dma);
}

}  // namespace nuvra::v2
