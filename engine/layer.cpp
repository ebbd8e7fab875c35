#include "engine/layer.h"

#include <stdexcept>

namespace nuvra {

Layer::Mapping::~Mapping() = default;
Layer::~Layer() = default;

Shape Layer::first_input() const {
    std::vector<Shape> const inputs = input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return inputs.front();
}

LayerParams const& Layer::required_params() const {
    LayerParams const* const own = params();
    if (own == nullptr) throw std::invalid_argument("Layer '" + get_name() + "' has no parameters.");
    return *own;
}

LayerType Layer::type() const { return required_params().layer_type(); }
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
