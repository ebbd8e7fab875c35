#include "engine/layer.h"

namespace nuvra {

Layer::Mapping::~Mapping() = default;
Layer::~Layer() = default;
HasConvParams::~HasConvParams() = default;
HasPoolParams::~HasPoolParams() = default;

ComponentKind component_kind(hw::Type type) {
    switch (type) {
        case hw::Type::None: return ComponentKind::None;
        case hw::Type::HRC: return ComponentKind::HRC;
        case hw::Type::CNP1:
        case hw::Type::CNP2: return ComponentKind::CNP;
        case hw::Type::FNP2:
        case hw::Type::FNP3: return ComponentKind::FNP;
        case hw::Type::SKIP_DMA_STORE:
        case hw::Type::SKIP_DMA_LOAD: return ComponentKind::SKIP_DMA;
        case hw::Type::TNP_B: return ComponentKind::TNP_B;
        case hw::Type::TNP_R: return ComponentKind::TNP_R;
        case hw::Type::DMA: return ComponentKind::DMA;
    }
    return ComponentKind::None;
}

}  // namespace nuvra
