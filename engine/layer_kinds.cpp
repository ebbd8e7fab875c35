// The rows of engine/layer_kinds.h as the engine reads them.
#include "engine/layer_kinds.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "hw/format.h"

namespace nuvra {

namespace {

#define NUVRA_KIND_ROW(kind, value, generation, component, placement, filtering, inbound, state, ...)            \
    LayerKind{LayerType::kind,           #kind,                          IpVersion::generation,                        \
              ComponentKind::component,  KindPlacement::placement,       KindFiltering::filtering,                     \
              KindInbound::inbound,      KindState::state},

constexpr LayerKind kinds[] = {NUVRA_LAYER_KINDS(NUVRA_KIND_ROW)};

#undef NUVRA_KIND_ROW

constexpr int32_t largest_value = [] {
    int32_t largest = 0;
    for (LayerKind const& kind : kinds) largest = std::max(largest, static_cast<int32_t>(kind.type));
    return largest;
}();

// The row of each value from 0 to the largest, -1 for the values no kind has. Two rows of one
// value, or a negative value, do not compile.
constexpr auto row_of_value = [] {
    std::array<int8_t, size_t{largest_value} + 1> rows{};
    rows.fill(-1);
    for (size_t i = 0; i < std::size(kinds); ++i) {
        int32_t const value = static_cast<int32_t>(kinds[i].type);
        if (value < 0 || rows[size_t(value)] != -1) throw "each kind has a value of its own, at least 0";
        rows[size_t(value)] = static_cast<int8_t>(i);
    }
    return rows;
}();

}  // namespace

std::span<LayerKind const> layer_kinds() { return kinds; }

bool is_layer_type(int32_t value) {
    return value >= 0 && value <= largest_value && row_of_value[size_t(value)] >= 0;
}

size_t kind_index(LayerType type) {
    int32_t const value = static_cast<int32_t>(type);
    if (!is_layer_type(value)) throw std::invalid_argument(format("Unknown layer type {}", value));
    return size_t(row_of_value[size_t(value)]);
}

LayerKind const& layer_kind(LayerType type) { return kinds[kind_index(type)]; }

}  // namespace nuvra
