// The first-generation compatibility checker: whether a layer kind and its parameters and
// variables are supported, whether a run of layers and a set of components are acceptable, and
// whether a part of a layer fits a CNP's input and weight memories or an FNP3.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/device.h"
#include "program/backend.h"

namespace nuvra::v1 {

class CompatibilityCheckerImpl final : public NpCompatibilityChecker {
public:
    // Keeps both references; the back end that owns the constraints outlives the checker.
    using NpCompatibilityChecker::NpCompatibilityChecker;

    // Refuses every layer on the first board of this generation, then checks the layer by kind.
    // InputData, Dequantizer and Quantizer pass; a kind this generation does not run gives
    // "Unsupported layer type on Nuvra v1.".
    MappingStatus check_layer_compatibility(Layer const& layer, Layer const* /*previous*/,
                                            HwVersion version) const override;
    // A CNP with max pooling must hand its output to another CNP of the run.
    MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                       HwVersion /*version*/) const override;
    // Rules of a split CNP layer (on the device's version), then the width of each CNP's share.
    MappingStatus check_layer_mappings(Layer const& layer, std::vector<hw::Component> const& components,
                                       bool /*new_pass*/) const override;
    // check_weights_size_fit_cnp with the held constraints.
    bool is_weights_size_fit_np(Layer const& layer, uint32_t filters) const override;
    // Half the kernel each side of each axis, the pooling and the filters of the parameters.
    NpSplitParams np_split_params(hw::Type type, LayerParams const& params) const override;
    // reserved_input_words keeps the interface's none: this generation keeps no input words aside
    // for an Add.

    // The input, bit-width and input-memory rules of a FullyConnected layer.
    MappingStatus check_fnp_common_constraints(Layer const& layer, HwVersion version) const;
    // The rules of a Convolutional or SeparableConvolutional layer. A layer that is not built is
    // std::runtime_error "The layer <name> is not built.".
    MappingStatus check_std_cnp_constraints(Layer const& layer, HwVersion version) const;
    MappingStatus check_sep_cnp_constraints(Layer const& layer, HwVersion version) const;

private:
    // Whether `height` rows of `width` x `channels` values of `bits` bits, each row padded to a
    // word, fit the buffer (the input-fit queries). Type, FIFO size and reserved words play no part
    // on this generation.
    bool input_fits(InputChunk const& chunk, uint32_t buffer_words) const override;
    // The FNP memory image of a FullyConnected layer (fnp_sram_words), for the FNP3 fit.
    uint64_t fnp_memory_words(Layer const& layer) const override;
};

}  // namespace nuvra::v1
