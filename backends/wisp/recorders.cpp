#include "backends/wisp/recorders.h"

#include <stdexcept>

#include "backends/wisp/chain.h"
#include "backends/wisp/sizes.h"
#include "backends/wisp/tnpr_program.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::wisp {

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(LayerRecordArgs const& args) const {
    LayerType const type = args.layer.type();
    switch (type) {
    case LayerType::StatefulRecurrent: return record_program_tnpr_layers(device_, args.layer);
    // Data conversions around the chain need no program.
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return program::new_record(device_.version());
    default: throw std::runtime_error(format("Unsupported layer type on wisp: {}.", static_cast<int32_t>(type)));
    }
}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(SccFlags const& flags, Shape input, Shape output) const {
    return program::new_record(device_.version());
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(std::shared_ptr<Layer> const& layer) const {
    return narrow_words(get_tnpr_fsram_64b_size(*layer), "FSRAM");
}

uint32_t MemorySizerImpl::get_tsram_51b_memory_size(std::shared_ptr<Layer> const& layer) const {
    return narrow_words(get_tnpr_tsram_51b_size(*layer), "TSRAM");
}

uint32_t MemorySizerImpl::get_evsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const {
    return narrow_words(get_tnpr_evsram_32b_size(*layer), "EVSRAM");
}

uint32_t MemorySizerImpl::get_stsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const {
    return narrow_words(get_tnpr_stsram_32b_size(*layer), "STSRAM");
}

}  // namespace nuvra::wisp
