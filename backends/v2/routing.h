// Mesh routing of a second-generation NP: where its input packets come from, where its output
// goes, the columns the packets cross, the alternate-branch set-up after a split point, and the
// DMA engine the NP reports to. Written into the NP's 64-word register image
// (backends/v2/np_registers.h) with this generation's format of program/np_routing.h.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/ident.h"
#include "mapping/layer_mapping.h"
#include "mapping/routing.h"

namespace nuvra::v2 {

// Writes the routing words of one NP (words 44 to 47 through format_routing_words, with 46 bit 19
// and 52 for an alternate layer):
//   sources, own, destinations: routing_sources, the layer's components, routing_destinations;
//   alt_info: the mapping's alternate-branch record (may be null);
//   link_index: the mapping's output link index (one less when the output goes to a TNP-B);
//   p2p_in, p2p_out: point-to-point input and output (exactly one source or destination);
//   mesh_flag: the layer ends a pass before the last (LayerRecordArgs::mesh_flag; word 44 bit 2).
// Word 44 bit 3 is set on every NP; bit 31 of word 46 is cleared. Any of the three lists empty is
// std::runtime_error "Cannot route an NP without sources.", "... without layer components." or
// "... without destinations."; point-to-point with another count is std::runtime_error "Cannot
// use P2P OUT mode for multiple NPs." (or IN). Field overflows fail through panic.
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             std::vector<hw::Component> const& sources,
                                             std::vector<hw::Component> const& own,
                                             std::vector<hw::Component> const& destinations,
                                             std::unique_ptr<AltLayerInfo> const& alt_info,
                                             uint8_t link_index, bool p2p_in, bool p2p_out, bool mesh_flag);

// The same for an NP of the layer whose routing lists are `routes`, with its mapping's
// alternate-branch record, output link index and point-to-point flags.
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, LayerRoutes const& routes,
                                             bool mesh_flag);

// Word 49: the DMA engine the NP reports to (format_cfg_dma_word, after the image check).
void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma);

}  // namespace nuvra::v2
