#include "backends/wisp/checker.h"

#include "backends/wisp/chain.h"
#include "backends/wisp/check_rules.h"

namespace nuvra::wisp {

namespace {

// A TNP-R has no input SRAM of the other generations' NPs, no weight memory of theirs, and is
// never split.
constexpr NpQueryRefusals no_np_queries{
    .single_buffer = "No single buffer mode on Wisp.",
    .dual_buffer = "No dual buffer mode on Wisp.",
    .weights = "No NP on Wisp.",
    .split = "Cannot split TNP-R.",
    .fnp3 = "No FNP3 on Wisp.",
};

}  // namespace

CompatibilityCheckerImpl::CompatibilityCheckerImpl(Device const& device, HardwareConstraints const& constraints)
    : CompatibilityChecker(device, constraints, no_np_queries) {}

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

}  // namespace nuvra::wisp
