// Running and mapping a model. Inference runs in software; the hardware mapping is not part of
// the engine yet and refuses until it is.
#include <stdexcept>

#include "engine/inference.h"
#include "engine/model.h"

namespace nuvra {

std::shared_ptr<Tensor> Model::fit(std::shared_ptr<const Tensor> const& inputs, std::vector<int32_t> const& labels,
                                   uint32_t batch_size) {
    return software_fit(*this, inputs, labels, batch_size);
}

std::shared_ptr<Tensor> Model::forward(std::shared_ptr<const Tensor> const& inputs, uint32_t batch_size) {
    return software_forward(*this, inputs, batch_size);
}

std::shared_ptr<Tensor> Model::predict(std::shared_ptr<const Tensor> const& inputs, uint32_t batch_size) {
    return software_predict(*this, inputs, batch_size);
}

void Model::map(std::shared_ptr<Device> device, bool hw_only, std::shared_ptr<MapConstraints> constraints) {
    if (!device) throw std::invalid_argument("Cannot map a model without a device.");
    throw std::runtime_error("Model::map is not available yet.");
}

}  // namespace nuvra
