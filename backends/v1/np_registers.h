// The 50-word register image of a first-generation NP: its default contents, and the words every
// CNP and FNP image builder finishes the same way (in the steps of mapping/np_recording.h): mesh
// routing and the configuration DMA of an FNP2 (this generation's format of program/np_routing.h),
// input-buffer spikes, partial reconfiguration towards a linked layer, and on-chip learning. Every
// field goes through set_np_field, or set on the image np_image checked, with a constant of
// backends/v1/registers.h; a value too wide for its field fails through panic with "Attempted to
// write value V into a W-bit field, which will cause an overflow." and leaves the fields written
// before it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "hw/ident.h"
#include "hw/register.h"
#include "mapping/layer_mapping.h"
#include "mapping/np_recording.h"
#include "mapping/routing.h"
#include "program/backend.h"

namespace nuvra::v1 {

// The words of a register image, after checking that `regs` is a 50-word image: a null pointer or
// another size is std::invalid_argument "An NP register image must hold 50 words.".
std::span<uint32_t> np_image(std::vector<uint32_t>* regs);

// One field of a register image (checked as np_image does). A value above 4294967295 is reported
// as 4294967295, so the field's overflow check stops it instead of a wrapped value.
void set_np_field(std::vector<uint32_t>* regs, Field const& field, uint64_t value);

// The default image: all words zero but 6 (0x04040000), 12 (0x52000000), 13 (0x10) and 37
// (0xFF000000).
std::vector<uint32_t> default_np_regs();

// Marks the input buffer as taking spikes (word 2 bit 7); nothing else changes.
void set_ib_spikes(std::vector<uint32_t>* regs);

// Word 49: the DMA engine an FNP2 reports to (format_cfg_dma_word, after the image check).
void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma);

// The routing words 44 to 47 of one NP (format_routing_words), with this generation's format: no
// bit of word 44 set on every NP, the link index 0xFF marked as no link in word 44, bits 30-31 of
// word 46 and 16-31 of word 47 cleared. `routing.link_index` is the mapping's input link index.
// Point-to-point with other than one component in its list is std::runtime_error "Cannot use P2P
// mode for multiple NPs.".
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, NpRouting const& routing);
// The same with the routing given list by list: the components that send to the layer, the
// layer's NP components, those that receive its output, the link index of word 45, point-to-point
// input and output, and whether the layer ends a pass before the last.
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, std::vector<hw::Component> const& sources,
                                             std::vector<hw::Component> const& layer_nps,
                                             std::vector<hw::Component> const& destinations, uint8_t link_index,
                                             bool p2p_in, bool p2p_out, bool ends_pass);

// The steps of this generation's NP images (format_np_images): `layer_words`, the routing of
// `routes` with the mapping's input link index, and update_partial_reconfig_regs for a linked
// layer.
NpImageSteps np_image_steps(LayerRoutes const& routes, bool ends_pass,
                            std::function<std::vector<uint32_t>(hw::Component const& np)> layer_words);

// Words 4, 14 and 32 to 35: the description of `layer`, a layer linked by partial
// reconfiguration, and of its component `np` on this NP (its input width and output link index,
// the NP's cut, its input containers or pixels), and an input buffer large enough for both
// layers. A layer without a LayerMapping is std::runtime_error "The layer <name> has no hardware
// mapping."; one without input dimensions, std::runtime_error "Cannot get input size before it is
// set.".
void update_partial_reconfig_regs(std::vector<uint32_t>* regs, Layer const& layer, hw::Component const& np);

// Words 36 to 38: on-chip learning from "num_weights" (N), "initial_plasticity" (P0),
// "learning_competition" (LC), "min_plasticity" (PMIN) and "plasticity_decay" (PD): the enable
// bit, round((1 - LC) x N), ceil(PMIN x N) and ceil(round(N x P0) x PD). A value that is not a
// number, negative, or too wide for its field (round(N x P0) for 32 bits) fails with the overflow
// message naming it. Null parameters only clear the enable bit.
void format_learning_common_regs(std::vector<uint32_t>* regs, LearningParams const* params);

// A learning value worked out in double precision, as the unsigned field of `width` bits (at most
// 32) it goes to: a value that is not a number, negative or too wide fails with the overflow
// message naming the value.
uint32_t learning_field_value(double value, uint32_t width);

// Words 39 (16 bits) and 41 (12 bits) of a learning CNP.
void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t value_a, uint32_t value_b);

}  // namespace nuvra::v1
