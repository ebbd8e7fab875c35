// Turns the recorded programs of one hardware sequence into its program bytes: the
// size-prefixed `program_info` buffer followed by the size-prefixed `program_data` buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "engine/layer.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "mapping/backend.h"
#include "engine/program_generated.h"
#include "program/record.h"

namespace nuvra {

namespace program {

// The most DMA descriptors a device holds for all the passes of a sequence.
inline constexpr uint64_t max_descriptors = 254;

// Succeeds when `multiplier` x `count` descriptors fit max_descriptors; otherwise a failure of
// `layer`: "Model is too big. The maximum number of descriptors is more than allowed. {} are
// needed but {} are available." with the true product (saturated at 2^64 - 1) and 254.
MappingStatus check_num_descriptors(Layer const& layer, uint64_t multiplier, uint64_t count);

}  // namespace program

// Used once per sequence: created, fed pass by pass, finalized. The serialize_* calls return the
// number of DMA descriptors they add, uncapped; the caller sums and checks them.
class SequenceSerializer {
public:
    SequenceSerializer(LayerRecorder const& layer_recorder, IoRecorder const& io_recorder);
    ~SequenceSerializer();

    SequenceSerializer(SequenceSerializer const&) = delete;
    SequenceSerializer& operator=(SequenceSerializer const&) = delete;

    // The device the program is for; must come before finalize. A later call replaces it.
    void serialize_version(HwVersion const& version);

    // The system-configuration program of the first pass; counts as one descriptor.
    size_t serialize_scc_program(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                 bool output_type_is_zero, bool narrow_output, Shape in, Shape out);

    // Records one layer and writes its record into the current pass; returns its track count.
    // A recorder failure with text t becomes std::runtime_error "Cannot map layer '<name>'.
    // Error: t.".
    size_t serialize_layer_program(Layer const& layer, Layer const& other, std::shared_ptr<Layer> link,
                                   bool a, bool b, std::vector<hw::Ident> const& nps, bool c, bool d);

    // Records a learning layer: its three records go to the program's learning records (a later
    // call replaces them), not to the pass. Returns the track counts of the second and third
    // records. The first two records need a track each, the third a track or an FNP2 filters
    // track; a failure reads as for serialize_layer_program.
    size_t serialize_learning_layer_program(Layer const& layer, bool learn);

    // Records the registers of the NPs a pass leaves unused, through `layer`'s recorder with its
    // mapping's index set to the index it was linked with (restored afterwards, also on failure).
    size_t serialize_unused_nps_program(std::shared_ptr<Layer> layer, std::shared_ptr<Layer> other,
                                        std::vector<hw::Ident> const& nps);

    // Closes the current pass (possibly without records).
    void finalize_pass();

    // Adds the event-generator register writes that the IO recorder gives.
    void serialize_epg_tracks(Layer const& first, uint8_t lowest_col, uint8_t highest_col, uint8_t c,
                              bool last_on_hrc, bool several_passes, bool input_type_is_zero);

    // With `enabled`, the program carries a one-word config header for the zero ident at target 8.
    void record_dummy_desc_hdr(bool enabled);

    // Writes the whole program into *program, replacing its contents. `passes` are the
    // sequence's passes, one per finalize_pass call, in order.
    void finalize(const char* version, Shape const& in, Shape const& out, int8_t input_type,
                  int8_t output_type, uint8_t output_bits, bool output_activation,
                  uint32_t input_param_b, uint32_t input_param_a,
                  std::vector<int32_t> const& output_shift, std::vector<float> const& output_scales,
                  uint8_t num_descriptors, std::vector<uint8_t>* program,
                  std::vector<std::shared_ptr<Sequence::Pass>> const& passes, uint8_t input_bits,
                  bool input_signed, bool input_channels_first, std::vector<float> const& input_scales,
                  std::vector<uint8_t> const& input_zero_points, bool post_processing);

private:
    // Writes one record into the program_data builder.
    flatbuffers::Offset<fb::Record> serialize_record(program::Record const& record);
    size_t serialize_layer(Layer const& layer, Layer const& other, std::shared_ptr<Layer> link, bool a,
                           bool b, std::vector<hw::Ident> const& nps, bool c, bool d);
    // Fails when finalize already ran.
    void ensure_open() const;

    std::unique_ptr<flatbuffers::FlatBufferBuilder> data_builder;
    std::unique_ptr<flatbuffers::FlatBufferBuilder> info_builder;
    flatbuffers::Offset<fb::DeviceVersion> device_version;  // 0 until serialize_version
    bool has_device_version = false;
    flatbuffers::Offset<fb::LearningRecords> learning_records;  // 0: none
    std::vector<flatbuffers::Offset<fb::Pass>> passes;
    std::vector<flatbuffers::Offset<fb::Record>> records;  // of the pass being built
    std::vector<fb::RegisterValue> epg_registers;
    uint64_t dummy_desc_header = 0;
    LayerRecorder const& layer_recorder;
    IoRecorder const& io_recorder;
    bool finalized = false;
};

}  // namespace nuvra
