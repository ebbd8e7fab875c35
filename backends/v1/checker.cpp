#include "backends/v1/checker.h"

#include "backends/v1/check_rules.h"
#include "backends/v1/sizes.h"
#include "hw/presets.h"
#include "mapping/split.h"

namespace nuvra::v1 {

namespace {

// The kinds the first generation runs, each with its check (none for the kinds that only carry
// data in or out).
struct KindCheck {
    LayerType type;
    MappingStatus (*check)(CompatibilityCheckerImpl const&, Layer const&, HwVersion);
};

constexpr KindCheck kind_checks[] = {
    {LayerType::InputData, nullptr},
    {LayerType::Dequantizer, nullptr},
    {LayerType::Quantizer, nullptr},
    {LayerType::InputConvolutional,
     [](CompatibilityCheckerImpl const&, Layer const& layer, HwVersion) {
         return check_input_convolutional_constraints(layer);
     }},
    {LayerType::FullyConnected,
     [](CompatibilityCheckerImpl const& c, Layer const& layer, HwVersion version) {
         return check_fully_connected_constraints(c.constraints(), layer, version);
     }},
    {LayerType::Convolutional,
     [](CompatibilityCheckerImpl const& c, Layer const& layer, HwVersion version) {
         return c.check_std_cnp_constraints(layer, version);
     }},
    {LayerType::SeparableConvolutional,
     [](CompatibilityCheckerImpl const& c, Layer const& layer, HwVersion version) {
         return c.check_sep_cnp_constraints(layer, version);
     }},
};

uint64_t chunk_input_words(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
    return cnp_input_words(cnp_container_bytes(width, bits), channels, height);
}

}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(Layer const& layer, Layer const*,
                                                                  HwVersion version) const {
    if (version == hw::Vexa_v1)
        return {layer, "Vexa_v1 is not supported on this version. Please install nuvra 2.0.5 instead."};
    KindCheck const* kind = find_kind(kind_checks, layer.type());
    if (!kind) return {layer, "Unsupported layer type on Nuvra v1."};
    if (!kind->check) return {};
    return kind->check(*this, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerList::const_iterator first,
                                                             LayerList::const_iterator last, HwVersion) const {
    return check_sequence_rules(first, last);
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(Layer const& layer,
                                                             std::vector<hw::Component> const& components,
                                                             bool /*new_pass*/) const {
    MappingStatus result;
    switch (layer.type()) {
    case LayerType::Convolutional: result = check_std_cnp_mappings(layer, components, device_.version()); break;
    case LayerType::SeparableConvolutional: result = check_sep_cnp_mappings(layer, components); break;
    case LayerType::InputConvolutional:
    case LayerType::FullyConnected: break;
    default: result = {layer, "unknown Layer type."};
    }
    if (result.failed) return result;
    return check_cnp_input_widths(layer, components);
}

bool CompatibilityCheckerImpl::input_fits(InputChunk const& chunk, uint32_t buffer_words) const {
    return chunk_input_words(chunk.height, chunk.width, chunk.channels, chunk.bits) <= buffer_words;
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(Layer const& layer, uint32_t filters) const {
    return check_weights_size_fit_cnp(constraints_, layer, filters);
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, LayerParams const& params) const {
    auto const get = [&](char const* key) { return static_cast<uint32_t>(params.get(key)); };
    // Half a kernel of halo on each side: left and right from its width, top and bottom from its
    // height.
    auto const half_width = static_cast<uint32_t>(params.get("kernel_width") / 2);
    auto const half_height = static_cast<uint32_t>(params.get("kernel_height") / 2);
    return make_split_params(half_width, half_width, half_height, half_height, get("pool_type"),
                             get("pooling_width"), get("pooling_height"), get("filters"));
}

uint64_t CompatibilityCheckerImpl::fnp_memory_words(Layer const& layer) const { return fnp_sram_words(layer); }

MappingStatus CompatibilityCheckerImpl::check_fnp_common_constraints(Layer const& layer, HwVersion version) const {
    return check_fnp_common_rules(constraints_, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_std_cnp_constraints(Layer const& layer, HwVersion version) const {
    return check_std_cnp_rules(constraints_, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_sep_cnp_constraints(Layer const& layer, HwVersion version) const {
    return check_sep_cnp_rules(constraints_, layer, version);
}

}  // namespace nuvra::v1
