// The second-generation compatibility checker: whether a layer kind and its variables are
// supported, whether a run of layers and a set of components are acceptable, and whether a part of
// a layer fits an NP's input and weight memories or an FNP3.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/device.h"
#include "mapping/graph_utils.h"
#include "program/backend.h"

namespace nuvra::v2 {

class CompatibilityCheckerImpl final : public NpCompatibilityChecker {
public:
    // Keeps both references; the back end that owns the constraints outlives the checker.
    using NpCompatibilityChecker::NpCompatibilityChecker;

    // Bit widths of the layer's variables, its activation, then the checks of its kind, every
    // failure reported at once. A kind the second generation does not run gives only
    // "Unsupported layer type on Nuvra v2.".
    MappingStatus check_layer_compatibility(Layer const& layer, Layer const* previous,
                                            HwVersion /*version*/) const override;
    // Rules over a run of layers; the first broken one is reported.
    MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                       HwVersion /*version*/) const override;
    // Rules over the components chosen for a layer; `new_pass` when the layer opens a pass.
    MappingStatus check_layer_mappings(Layer const& layer, std::vector<hw::Component> const& components,
                                       bool new_pass) const override;
    // Whether the weights of `filters` filters (channels for the depthwise kinds) fit one NP.
    bool is_weights_size_fit_np(Layer const& layer, uint32_t filters) const override;
    // The halo (half the kernel, none on a TNP-B), pooling and filters a kind splits with.
    NpSplitParams np_split_params(hw::Type type, LayerParams const& params) const override;
    // 512 words for a layer fed by an Add (get_add_pksram_shift), else none.
    uint32_t reserved_input_words(Layer const& layer) const override;

    // "Does not support activation type '<name>'." off the CNP and HRC, and "Lookup tables are
    // missing on some NPs." for a look-up-table activation on a mesh without tables everywhere.
    MappingStatus check_supported_activation(Layer const& layer) const;

private:
    // Whether a chunk's input fits the buffer beside its reserved words (the input-fit queries: a
    // single buffer takes the whole SRAM, each of two buffers half of it). Only CNP1, CNP2 and
    // TNP_B have an input SRAM (std::runtime_error "Type of NP not supported." otherwise).
    bool input_fits(InputChunk const& chunk, uint32_t buffer_words) const override;
    // The FNP memory of a Dense1D layer (get_fnp_sram_size), for the FNP3 fit.
    uint64_t fnp_memory_words(Layer const& layer) const override;

    // The depths the layer checks ask for, each worked out once: a checker serves one mapping,
    // and a layer's depth follows from the layers before it, which adding later ones leaves as
    // they are.
    mutable DepthMemo depths_;
};

// 100-bit words of the weights of a share of the layer holding `filters` filters, on a CNP or a
// TNP-B. A kind without such weights is std::invalid_argument "Unexpected layer type for CNP or
// TNP-B."; a size beyond 32 bits, or a "fifo_size" outside [0, 254], is std::runtime_error.
uint32_t get_weights_100b_size(Layer const& layer, uint32_t filters);

}  // namespace nuvra::v2
