// Running and mapping a model. Inference runs in software; mapping goes through the hardware
// back end that the mapping engine registers (engine/backend.h).
#include <stdexcept>
#include <utility>

#include "engine/backend.h"
#include "engine/inference.h"
#include "engine/model.h"
#include "engine/sequence.h"

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
    HardwareBackendHooks const hooks = hardware_backend_hooks();
    if (hooks.make_backend == nullptr || hooks.make_default_constraints == nullptr)
        throw std::runtime_error("No hardware back end is registered.");

    // A dying pass detaches the mappings it made: the old sequences go before the new mapping.
    sequences_.clear();
    device_.reset();

    if (!constraints) constraints = hooks.make_default_constraints(device);
    std::unique_ptr<Backend> const backend = hooks.make_backend();
    // The back end may empty its list of layers; the model keeps its own.
    std::vector<std::shared_ptr<Layer>> layers = layers_;
    std::vector<std::shared_ptr<Sequence>> sequences;
    MappingStatusGroup const status = backend->map(&layers, &sequences, constraints);
    if (status.failed) status.throw_exception();

    sequences_ = std::move(sequences);
    device_ = std::move(device);
}

}  // namespace nuvra
