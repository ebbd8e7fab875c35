// The values program building derives from the layers of a sequence before it drives the
// serializer, and the input-buffer set-up of a sequence of several passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/layer.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "program/backend.h"
#include "program/serializer.h"

namespace nuvra {

class LayerGraph;

// The program's input shape: the first input of `first`, flattened to (1, 1, x*y*z) for the
// second generation's fully connected kind. A flattened size of 0 fails through panic "Cannot have a shape with dimension 2 set
// to 0"; one beyond 32 bits is std::runtime_error.
Shape program_input_shape(Layer const& first);

// Whether the parameters of a sequence's last layer (null: none) are those of the kind that
// dequantizes the program's outputs: the host then scales the integers the accelerator gives
// into floats (HardwareDevice::predict).
bool dequantizes_output(LayerParams const* last);

// The bits of the program's output: the input bits of a last layer that dequantizes, any other
// last layer's output bits.
uint8_t program_output_bits(Layer const& last);

// Whether the SCC takes the output as narrow (8 bits or fewer): from the input bits of a last
// layer that dequantizes; never for a last layer with an activation; else from the output bits.
bool program_narrow_output(Layer const& last);

// The FNP padding flag of a layer recorded in front of `next` (null: none follows in the pass);
// whether the layer takes the flag at all and whether an FNP layer's input is row-padded are the
// recorder's answers.
bool fnp_padding_flag(Layer const& layer, std::shared_ptr<Layer> const& next, LayerRecorder const& recorder);

// With several passes: every NP component of every mapped layer works with a single input buffer,
// except an NP that ends one pass and starts the next, which keeps a dual buffer in both layers.
void set_up_input_buffers(std::vector<std::shared_ptr<Sequence::Pass>> const& passes);
// The same, with the graph questions answered by `graph`.
void set_up_input_buffers(std::vector<std::shared_ptr<Sequence::Pass>> const& passes, LayerGraph& graph);

// The skip-DMA engines the mapped layers of a pass use, as program_info lists them: per layer,
// its store (sized from its output, or from its input on a TNP-B), the store of its dual output
// (from its input) and its load. An engine without its channel information is std::runtime_error
// ("Layer '<name>' has a skip-DMA load without its channel information.").
program::PassSkipDma pass_skip_dma(Sequence::Pass const& pass);

// Records the registers of the NPs a pass leaves unused (all but `nps`), through `layer`'s
// recorder with its mapping's index set to the index it was linked with (restored afterwards,
// also on failure): serializer.serialize_unused_nps_program(layer, other, nps). Returns the
// descriptors added.
size_t serialize_unused_nps_program(SequenceSerializer& serializer, std::shared_ptr<Layer> layer,
                                    std::shared_ptr<Layer> other, std::vector<hw::Ident> const& nps);

}  // namespace nuvra
