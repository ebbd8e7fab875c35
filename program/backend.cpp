#include "program/backend.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "hw/format.h"
#include "program/record.h"

namespace nuvra {

MappingStatus recording_failure(Layer const& layer, std::exception const& error) {
    std::string_view const text = error.what();
    std::string message = format("Error: {}", text);
    if (!text.ends_with('.')) message += '.';
    return MappingStatus(layer, std::move(message));
}

std::unique_ptr<program::Record> LayerRecorder::record_layer(Layer const& layer, Layer const& sequence_first,
                                                             std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                             bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                                             bool registers_only, bool fnp_padding) const {
    return record_layer(layer_record_args(layer, sequence_first, std::move(next_layer), set_spikes, mesh_flag,
                                          skipped_nps, registers_only, fnp_padding));
}

LayerRecordArgs layer_record_args(Layer const& layer, Layer const& sequence_first, std::shared_ptr<Layer> next_layer,
                                  bool set_spikes, bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                  bool registers_only, bool fnp_padding) {
    return {.layer = layer,
            .sequence_first = sequence_first,
            .next_layer = std::move(next_layer),
            .set_spikes = set_spikes,
            .mesh_flag = mesh_flag,
            .skipped_nps = skipped_nps,
            .registers_only = registers_only,
            .fnp_padding = fnp_padding};
}

program::LearnRecordsPtr LayerRecorder::record_learning_layer(Layer const& layer, bool set_spikes) const {
    throw std::runtime_error(no_learning_);
}

void LayerRecorder::sync_learning_vars(std::shared_ptr<Layer> layer) const { throw std::runtime_error(no_learning_); }

std::unique_ptr<program::Record> IoRecorder::record_scc(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                                        bool output_type_is_zero, bool narrow_output, Shape input,
                                                        Shape output) const {
    return record_scc(
        SccFlags{first_on_hrc, input_type_is_zero, last_on_hrc, output_type_is_zero, narrow_output}, input, output);
}

std::vector<std::pair<uint32_t, uint32_t>> IoRecorder::record_epg(Layer const& first, uint8_t lowest_col,
                                                                  uint8_t highest_col, uint8_t row_code,
                                                                  bool last_on_hrc, bool several_passes,
                                                                  bool input_type_is_zero) const {
    return record_epg(
        EpgArgs{first, lowest_col, highest_col, row_code, last_on_hrc, several_passes, input_type_is_zero});
}

}  // namespace nuvra
