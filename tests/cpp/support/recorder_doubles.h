// Test doubles of the two recorder interfaces: each remembers its calls and answers with what the
// test scripted (by default an empty record, no register writes, IO types 0).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "mapping/layer_mapping.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::testing {

// A record holding one track per entry of `tracks`, each a single block of that many words
// (word i of a block holds i + 1), all addressed to `ident` at target 7.
inline std::unique_ptr<program::Record> record_with_tracks(std::vector<uint32_t> const& tracks,
                                                           hw::Ident ident = {}) {
    auto record = program::new_record(HwVersion{});
    for (uint32_t words : tracks) {
        std::vector<uint32_t> data(words);
        for (uint32_t i = 0; i < words; ++i) data[i] = i + 1;
        record->add_np_track(ident, dma::Target::NpRegisters, 0, data, {.reuse_last = false});
    }
    return record;
}

class LayerRecorderDouble : public LayerRecorder {
public:
    LayerRecorderDouble() = default;
    // The form a generation factory builds.
    LayerRecorderDouble(Device const&, HardwareConstraints const&) {}

    // What one record_layer call received (`other` the sequence's first layer, `link` the next
    // layer, `nps` the skipped NPs); `index` is the layer's mapping index at the time (-1 without
    // a LayerMapping).
    struct Call {
        std::string layer;
        std::string other;
        std::shared_ptr<Layer> link;
        bool set_spikes = false;
        bool mesh_flag = false;
        std::vector<hw::Ident> nps;
        bool registers_only = false;
        bool fnp_padding = false;
        int index = -1;
    };

    // Answers record_layer; null: an empty record.
    std::function<std::unique_ptr<program::Record>(Layer const&)> on_record;
    // Answers record_learning_layer; null: three records of one one-word track each.
    std::function<program::LearnRecordsPtr(Layer const&, bool)> on_learning;

    mutable std::vector<Call> calls;
    mutable std::vector<bool> learning_calls;

    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const& args) const override {
        auto mapping = layer_mapping(args.layer);
        calls.push_back({args.layer.get_name(), args.sequence_first.get_name(), args.next_layer, args.set_spikes,
                         args.mesh_flag, args.skipped_nps, args.registers_only, args.fnp_padding,
                         mapping ? int{mapping->index} : -1});
        if (on_record) return on_record(args.layer);
        return program::new_record(HwVersion{});
    }

    program::LearnRecordsPtr record_learning_layer(Layer const& layer, bool set_spikes) const override {
        learning_calls.push_back(set_spikes);
        if (on_learning) return on_learning(layer, set_spikes);
        program::LearnRecordsPtr records;
        records.first = record_with_tracks({1});
        records.second = record_with_tracks({1});
        records.third = record_with_tracks({1});
        return records;
    }

    void sync_learning_vars(std::shared_ptr<Layer>) const override {}
    // As the second generation: the layers of its kinds (format code 2).
    bool records_fnp_padding(Layer const& layer) const override { return layer.format_code() == 2; }
    bool fnp_input_rows_padded(Layer const&) const override { return rows_padded; }
    SkipDmaDescriptors skip_dma_descriptors() const override { return skip_dma; }

    bool rows_padded = false;
    SkipDmaDescriptors skip_dma{4, 4, 1};
};

class IoRecorderDouble : public IoRecorder {
public:
    IoRecorderDouble() = default;
    explicit IoRecorderDouble(Device const&) {}  // the form a generation factory builds

    struct SccCall {
        SccFlags flags;
        Shape input;
        Shape output;
    };
    struct EpgCall {
        std::string layer;
        uint8_t lowest_col = 0;
        uint8_t highest_col = 0;
        uint8_t row_code = 0;
        bool last_on_hrc = false;
        bool several_passes = false;
        bool input_type_is_zero = false;
    };

    // Answers record_scc; null: a record of one one-word track.
    std::function<std::unique_ptr<program::Record>()> on_scc;
    std::vector<std::pair<uint32_t, uint32_t>> epg;
    int8_t input_type = 0;
    int8_t output_type = 0;

    mutable std::vector<SccCall> scc_calls;
    mutable std::vector<EpgCall> epg_calls;

    std::unique_ptr<program::Record> record_scc(SccFlags const& flags, Shape input, Shape output) const override {
        scc_calls.push_back({flags, input, output});
        if (on_scc) return on_scc();
        return record_with_tracks({1});
    }

    std::vector<std::pair<uint32_t, uint32_t>> record_epg(EpgArgs const& args) const override {
        epg_calls.push_back({args.first.get_name(), args.lowest_col, args.highest_col, args.row_code,
                             args.last_on_hrc, args.several_passes, args.input_type_is_zero});
        return epg;
    }

    int8_t get_input_type(Layer const&) const override { return input_type; }
    int8_t get_output_type(Layer const&, int8_t) const override { return output_type; }
};

}  // namespace nuvra::testing
