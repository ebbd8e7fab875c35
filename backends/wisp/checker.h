// The third-generation compatibility checker. The generation runs only chains of stateful
// recurrent layers on its TNP-R: a StatefulRecurrent layer is checked with its whole chain, the
// layers that only carry data in or out pass, and every other kind is refused. The NP fitting
// and splitting questions of the other generations do not exist here: they are refused.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/device.h"
#include "program/backend.h"

namespace nuvra::wisp {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
public:
    // Keeps both references; the back end that owns the constraints outlives the checker. The NP
    // fitting and splitting queries keep the interface's refusals, with this generation's texts:
    // "No single buffer mode on Wisp.", "No dual buffer mode on Wisp.", "No NP on Wisp.", "Cannot
    // split TNP-R." and "No FNP3 on Wisp." (std::runtime_error).
    CompatibilityCheckerImpl(Device const& device, HardwareConstraints const& constraints);

    // A StatefulRecurrent layer: the checks of the chain it starts. A WispPostProcessing layer
    // passes when a chain closes with it (its checks are the chain's), else fails. InputData,
    // Dequantizer and Quantizer pass; any other kind fails with "Unsupported layer type on Wisp.".
    MappingStatus check_layer_compatibility(Layer const& layer, Layer const* previous,
                                            HwVersion version) const override;
    // Always "Success.".
    MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                       HwVersion version) const override {
        return {};
    }
    MappingStatus check_layer_mappings(Layer const& layer, std::vector<hw::Component> const& components,
                                       bool new_pass) const override {
        return {};
    }
    // reserved_input_words keeps the interface's none: a TNP-R is never split.
};

}  // namespace nuvra::wisp
