#include "backends/wisp/recorders.h"

#include <stdexcept>

#include "backends/wisp/chain.h"
#include "backends/wisp/sizes.h"
#include "backends/wisp/tnpr_program.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::wisp {

namespace {

[[noreturn]] void no_learning() { throw std::runtime_error("Learning not implemented on wisp."); }

}  // namespace

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(Layer const& layer, Layer const& previous,
                                                                 std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                                 bool mesh_flag, std::vector<hw::Ident> const& nps,
                                                                 bool registers_only, bool extra_flag) const {
    LayerType const type = type_of(layer);
    switch (type) {
    case LayerType::StatefulRecurrent: return record_program_tnpr_layers(device_, layer);
    // Data conversions around the chain need no program.
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return program::new_record(device_.version());
    default: throw std::runtime_error(format("Unsupported layer type on wisp: {}.", static_cast<int32_t>(type)));
    }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(Layer const& layer, bool flag) const {
    no_learning();
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer> layer) const { no_learning(); }

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool first_on_hrc, bool input_type_is_zero,
                                                            bool last_on_hrc, bool output_type_is_zero,
                                                            bool narrow_output, Shape input, Shape output) const {
    return program::new_record(device_.version());
}

std::vector<std::pair<uint32_t, uint32_t>> IoRecorderImpl::record_epg(Layer const& first_layer, uint8_t lowest_col,
                                                                      uint8_t highest_col, uint8_t row_code,
                                                                      bool last_on_hrc, bool several_passes,
                                                                      bool input_type_is_zero) const {
    return {};
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
