// Second-generation components and mappings for the recorder tests: a CNP2, and a layer mapping
// over NP parts as a pass builds it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/ident.h"
#include "mapping/layer_mapping.h"
#include "support/record_test_util.h"

namespace nuvra::v2::testing {

// A CNP2 at `ident` computing `part`.
inline hw::Component cnp(hw::Ident ident, hw::NpPart part = nuvra::testing::np_part(0, 8)) {
    return nuvra::testing::make_component(hw::Type::CNP2, ident, part);
}

// A mapping at `index` of one `type` component per part (NP i in column 3 - 2i, so that the
// mapping's order is not the ident order), fed by the pass's DMA and feeding one CNP in column 5.
inline std::shared_ptr<LayerMapping> np_mapping(hw::Type type, std::vector<hw::NpPart> const& parts,
                                                uint8_t index = 2) {
    using nuvra::testing::make_component;
    auto mapping = std::make_shared<LayerMapping>(index);
    uint8_t col = 3;
    for (auto const& part : parts) {
        mapping->components->push_back(make_component(type, {col, 0, 0, 0}, part));
        col = uint8_t(col - 2);
    }
    mapping->inputs.push_back(std::make_shared<LayerMapping::ComponentList>(
        LayerMapping::ComponentList{make_component(hw::Type::DMA, {0, 0, 1, 0})}));
    mapping->outputs.push_back(
        std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{cnp({5, 0, 0, 0})}));
    return mapping;
}

}  // namespace nuvra::v2::testing
