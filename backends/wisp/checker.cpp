#include "backends/wisp/checker.h"

#include <stdexcept>

#include "backends/wisp/chain.h"
#include "backends/wisp/check_rules.h"

namespace nuvra::wisp {

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(Layer const& layer, Layer const* previous,
                                                                  HwVersion version) const {
    if (layer.is_target_component(ComponentKind::TNP_R)) {
        // A chain is checked from its first layer only: its post-processing layer is part of it.
        if (is_stateful_recurrent(layer)) return check_tnp_r_constraints(constraints_, layer);
        if (closes_a_chain(layer)) return {};
        return MappingStatus(layer, post_processing_without_chain_message);
    }
    switch (layer.type()) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return {};
    default: return MappingStatus(layer, "Unsupported layer type on Wisp.");
    }
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerList::const_iterator first,
                                                             LayerList::const_iterator last, HwVersion version) const {
    return {};
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(Layer const& layer,
                                                             std::vector<hw::Component> const& components,
                                                             bool new_pass) const {
    return {};
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t,
                                                               uint8_t, uint32_t) const {
    throw std::runtime_error("No single buffer mode on Wisp.");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t,
                                                             uint8_t, uint32_t) const {
    throw std::runtime_error("No dual buffer mode on Wisp.");
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(Layer const&, uint32_t) const {
    throw std::runtime_error("No NP on Wisp.");
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, LayerParams const&) const {
    throw std::runtime_error("Cannot split TNP-R.");
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(HardwareConstraints const&, Layer const&) const {
    throw std::runtime_error("No FNP3 on Wisp.");
}

}  // namespace nuvra::wisp
