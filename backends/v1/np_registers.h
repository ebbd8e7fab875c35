// The 50-word register image of a first-generation NP: its default contents, and the words every
// CNP and FNP image builder finishes the same way: mesh routing, the configuration DMA of an FNP2,
// input-buffer spikes, partial reconfiguration towards a linked layer, and on-chip learning. Every
// field goes through set_field with a constant of backends/v1/registers.h; a value too wide for
// its field fails through panic with "Attempted to write value V into a W-bit field, which will
// cause an overflow." and leaves the fields written before it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "hw/ident.h"
#include "hw/register.h"

namespace nuvra::v1 {

// Word `index` of a register image, after checking that `regs` is a 50-word image: a null pointer
// or another size is std::invalid_argument "An NP register image must hold 50 words.".
uint32_t* register_word(std::vector<uint32_t>* regs, size_t index);

// One field of word `index` of a register image. A value above 4294967295 is reported as
// 4294967295, so the field's overflow check stops it instead of a wrapped value.
void set_register_field(std::vector<uint32_t>* regs, size_t index, RegDetail const& field, uint64_t value);

// The default image: all words zero but 6 (0x04040000), 12 (0x52000000), 13 (0x10) and 37
// (0xFF000000).
std::vector<uint32_t> default_np_regs();

// Marks the input buffer as taking spikes (word 2 bit 7); nothing else changes.
void set_ib_spikes(std::vector<uint32_t>* regs);

// Word 49: the DMA engine an FNP2 reports to (row, column and one-hot id, bits 20-31 kept). An id
// above 3 fails (the one-hot value in a 4-bit field) and leaves the word as it was.
void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma);

// The routing words 44 to 47 of one NP:
//   list_a  the components that send to the layer (the first destination list);
//   list_b  the layer's own NP components;
//   list_c  the components that receive its output (the second destination list);
//   code    the input link index; 0xFF means none (word 44 then says so);
//   p2p_a, p2p_c  point-to-point input from the one NP of list_a, output to the one NP of list_c;
//   flag_2  word 44 bit 2 (the recording call's mesh flag).
// Any list empty is std::runtime_error "Cannot route an NP without sources." (list_a), "... without
// layer components." (list_b) or "... without destinations." (list_c), with the image unchanged.
// Point-to-point with other than one NP in its list is std::runtime_error "Cannot use P2P mode for
// multiple NPs.".
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, std::vector<hw::Component> const& list_a,
                                             std::vector<hw::Component> const& list_b,
                                             std::vector<hw::Component> const& list_c, uint8_t code, bool p2p_a,
                                             bool p2p_c, bool flag_2);

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
