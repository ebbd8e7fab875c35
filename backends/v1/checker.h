// The first-generation compatibility checker: whether a layer kind and its parameters and
// variables are supported, whether a run of layers and a set of components are acceptable, and
// whether a part of a layer fits a CNP's input and weight memories or an FNP3.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/device.h"
#include "program/backend.h"

namespace nuvra::v1 {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
public:
    // Keeps both references; the back end that owns the constraints outlives the checker.
    using CompatibilityChecker::CompatibilityChecker;

    // Refuses every layer on the first board of this generation, then checks the layer by kind.
    // InputData, Dequantizer and Quantizer pass; a kind this generation does not run gives
    // "Unsupported layer type on Nuvra v1.". `previous` is not used.
    MappingStatus check_layer_compatibility(Layer const& layer, Layer const* previous,
                                            HwVersion version) const override;
    // A CNP with max pooling must hand its output to another CNP of the run.
    MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                       HwVersion version) const override;
    // Rules of a split CNP layer (on the device's version), then the width of each CNP's share.
    MappingStatus check_layer_mappings(Layer const& layer, std::vector<hw::Component> const& components,
                                       bool new_pass) const override;
    // Whether `height` rows of `width` x `channels` values of `bits` bits, each row padded to a
    // word, fit the whole input SRAM (single) or half of it (dual). Type, FIFO size and reserved
    // words play no part on this generation.
    bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                         uint32_t fifo_size, uint8_t bits, uint32_t reserved) const override;
    bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t reserved) const override;
    // check_weights_size_fit_cnp with the held constraints.
    bool is_weights_size_fit_np(Layer const& layer, uint32_t filters) const override;
    // Half the kernel each side of each axis, the pooling and the filters of the parameters.
    NpSplitParams np_split_params(hw::Type type, LayerParams const& params) const override;
    // Whether the layer's FNP memory fits the FNP3 memory of `constraints`.
    bool check_fnp3_sram_size(HardwareConstraints const& constraints, Layer const& layer) const override;
    // None: the first generation keeps no input words aside for an Add.
    uint32_t reserved_input_words(Layer const& layer) const override { return 0; }

    // The input, bit-width and input-memory rules of a FullyConnected layer.
    MappingStatus check_fnp_common_constraints(Layer const& layer, HwVersion version) const;
    // The rules of a Convolutional or SeparableConvolutional layer. A layer that is not built is
    // std::runtime_error "The layer <name> is not built.".
    MappingStatus check_std_cnp_constraints(Layer const& layer, HwVersion version) const;
    MappingStatus check_sep_cnp_constraints(Layer const& layer, HwVersion version) const;
};

}  // namespace nuvra::v1
