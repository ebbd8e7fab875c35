#include "program/backend.h"

#include <stdexcept>

#include "program/record.h"

namespace nuvra {

program::LearnRecordsPtr LayerRecorder::record_learning_layer(Layer const& layer, bool set_spikes) const {
    throw std::runtime_error(no_learning_);
}

void LayerRecorder::sync_learning_vars(std::shared_ptr<Layer> layer) const { throw std::runtime_error(no_learning_); }

}  // namespace nuvra
