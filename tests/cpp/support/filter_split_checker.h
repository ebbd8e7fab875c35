// A checker that accepts everything and splits a layer by its filters alone: no halo, no pooling.
#pragma once

#include <cstdint>

#include "support/stub_checker.h"

namespace nuvra::testing {

class FilterSplitChecker : public StubChecker {
public:
    using StubChecker::StubChecker;
    NpSplitParams np_split_params(hw::Type, LayerParams const& params) const override {
        NpSplitParams split;
        split.filters = params.has("filters") ? uint32_t(params.get("filters")) : 0;
        return split;
    }
};

}  // namespace nuvra::testing
