#include <gtest/gtest.h>

#include "engine/layer.h"

namespace nuvra {
namespace {

TEST(EngineLayer, ComponentKindOfEveryHardwareType) {
    struct Row {
        uint8_t type;
        ComponentKind kind;
        uint8_t number;
    };
    Row const rows[] = {
        {0, ComponentKind::None, 0},      // None
        {1, ComponentKind::HRC, 1},       // HRC
        {2, ComponentKind::CNP, 2},       // CNP1
        {3, ComponentKind::CNP, 2},       // CNP2
        {4, ComponentKind::FNP, 3},       // FNP2
        {5, ComponentKind::FNP, 3},       // FNP3
        {6, ComponentKind::SKIP_DMA, 4},  // SKIP_DMA_STORE
        {7, ComponentKind::TNP_B, 5},     // TNP_B
        {8, ComponentKind::TNP_R, 6},     // TNP_R
        {9, ComponentKind::SKIP_DMA, 4},  // SKIP_DMA_LOAD
        {10, ComponentKind::DMA, 7},      // DMA
        {11, ComponentKind::None, 0},     // outside hw::Type
        {255, ComponentKind::None, 0},
    };
    for (auto const& row : rows) {
        ComponentKind const kind = component_kind(static_cast<hw::Type>(row.type));
        EXPECT_EQ(kind, row.kind) << int(row.type);
        EXPECT_EQ(static_cast<uint8_t>(kind), row.number) << int(row.type);
    }
}

}  // namespace
}  // namespace nuvra
