// First-generation layers mapped the way a pass maps them, for the recorder tests: a real layer
// behind an InputData layer, a CNP layer cut by the splitters with the first-generation checker
// (its parts on CNP1s in columns 1, 2, ...), an FNP layer on one FNP in column 1, the pass's
// mappings built and linked by LayerMappingBuilder.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "backends/v1/checker.h"
#include "hw/presets.h"
#include "mapping/layer_mapping.h"
#include "mapping/splitters.h"
#include "program/backend.h"
#include "support/fake_device.h"
#include "support/v2_checks.h"

namespace nuvra::testing {

struct V1MappedLayer {
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::ZR62_v1);
    BuiltLayer built;

    Layer& layer() const { return *built.layer; }
    std::vector<hw::Component> const& components() const { return *built.layer->mapping()->components; }
};

// The first-generation checker of `device`'s mesh.
struct V1Checker {
    explicit V1Checker(Device const& device)
        : constraints(make_hardware_constraints(IpVersion::v1, device.mesh())), impl(device, constraints) {}
    HardwareConstraints constraints;
    v1::CompatibilityCheckerImpl impl;
};

// The recording call of `layer` on its own: no linked layer, no spikes, not the end of a pass.
inline LayerRecordArgs lone_record_args(Layer const& layer, std::vector<hw::Ident> const& skipped_nps,
                                        bool registers_only = false) {
    return {.layer = layer, .sequence_first = layer, .skipped_nps = skipped_nps, .registers_only = registers_only};
}

// `components` placed in columns 1, 2, ... of row 0, and the pass {input, layer} mapped.
inline void map_pass(BuiltLayer const& built, std::vector<hw::Component> components) {
    uint8_t col = 1;
    for (auto& component : components) component.ident = {col++, 0, 0, 0};
    LayerMappingBuilder::build_layer_mapping(built.model->layers(), {}, {{}, components}, hw::Ident{0, 0, 1, 0});
}

// A Convolutional or SeparableConvolutional layer split over CNP1s within `max_width` columns
// and `max_filters` filters per NP.
inline V1MappedLayer map_v1_cnp_layer(LayerType type, std::map<std::string, int> const& params, InputSpec input,
                                      uint32_t max_width = 32, uint32_t max_filters = 512) {
    V1MappedLayer mapped;
    mapped.built = build_after_input(type, params, input);
    V1Checker const checker(*mapped.device);
    auto const split = split_conv_layer(*mapped.built.layer, checker.impl, 256, max_width, max_filters,
                                        hw::Type::CNP1, false);
    EXPECT_FALSE(split.second.failed) << split.second.message;
    map_pass(mapped.built, split.first);
    return mapped;
}

// A FullyConnected layer on one NP of `type` (FNP2 or FNP3).
inline V1MappedLayer map_v1_fnp_layer(std::map<std::string, int> const& params, InputSpec input,
                                      hw::Type type = hw::Type::FNP3, bool single_buffer = true) {
    V1MappedLayer mapped;
    mapped.built = build_after_input(LayerType::FullyConnected, params, input);
    hw::Component np;
    np.type = type;
    np.np_part = hw::NpPart{};
    np.np_part->filters = static_cast<uint32_t>(params.at("units"));
    np.np_part->single_buffer = single_buffer;
    map_pass(mapped.built, {np});
    return mapped;
}

}  // namespace nuvra::testing
