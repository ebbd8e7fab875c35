// A compatibility checker that accepts everything and records the FNP3 queries; derive from it
// to answer the few queries a test needs.
#pragma once

#include <vector>

#include "hw/device.h"
#include "program/backend.h"

namespace nuvra {

class StubChecker : public CompatibilityChecker {
public:
    using CompatibilityChecker::CompatibilityChecker;

    MappingStatus check_layer_compatibility(Layer const&, Layer const*, HwVersion) const override {
        return {};
    }
    MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator,
                                       HwVersion) const override {
        return {};
    }
    MappingStatus check_layer_mappings(Layer const&, std::vector<hw::Component> const&,
                                       bool /*new_pass*/) const override {
        return {};
    }
    bool is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                         uint32_t) const override {
        return true;
    }
    bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                       uint32_t) const override {
        return true;
    }
    bool is_weights_size_fit_np(Layer const&, uint32_t) const override { return true; }
    NpSplitParams np_split_params(hw::Type, LayerParams const&) const override { return {}; }
    uint32_t reserved_input_words(Layer const&) const override { return 0; }

    // Answers `fits_fnp3`, remembering which layer and which constraints were asked about.
    bool check_fnp3_sram_size(HardwareConstraints const& constraints,
                              Layer const& layer) const override {
        fnp3_queries.push_back({&constraints, &layer});
        return fits_fnp3;
    }

    struct Fnp3Query {
        HardwareConstraints const* constraints;
        Layer const* layer;
    };
    bool fits_fnp3 = true;
    mutable std::vector<Fnp3Query> fnp3_queries;
};

}  // namespace nuvra
