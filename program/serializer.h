// Turns the recorded programs of one hardware sequence into its program bytes: the
// size-prefixed `program_info` buffer followed by the size-prefixed `program_data` buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "engine/layer.h"
#include "engine/program_generated.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "program/backend.h"
#include "program/record.h"
#include "program/serializer_buffer.h"

namespace nuvra {

namespace program {

// The most DMA descriptors a device holds for all the passes of a sequence.
inline constexpr uint64_t max_descriptors = 254;

// Succeeds when `multiplier` x `count` descriptors fit max_descriptors; otherwise a failure of
// `layer`: "Model is too big. The maximum number of descriptors is more than allowed. {} are
// needed but {} are available." with the true product (saturated at 2^64 - 1) and 254.
MappingStatus check_num_descriptors(Layer const& layer, uint64_t multiplier, uint64_t count);

// One skip-DMA engine that a pass uses, as program_info lists it.
struct SkipDmaEntry {
    hw::Ident ident;        // the engine and its channel
    bool on_tnp_b = false;  // the layer that uses it runs on a TNP-B
    uint8_t delay = 0;
    uint8_t channel = 0;    // a store's channel, or the store channel a load reads back
    uint32_t size = 0;      // 32-bit words of the frame a store keeps; 0 for a load

    friend bool operator==(SkipDmaEntry const&, SkipDmaEntry const&) = default;
};

// The skip-DMA engines of one pass, stores and loads, in the order the pass's layers use them.
struct PassSkipDma {
    std::vector<SkipDmaEntry> stores;
    std::vector<SkipDmaEntry> loads;
};

// The program_info values that finalize writes beside what the serializer gathered itself.
struct ProgramHeader {
    std::string version;  // the engine's version text
    Shape input_dims;
    Shape output_dims;
    int8_t input_type = 0;   // IO types of the program format
    int8_t output_type = 0;
    uint8_t output_bits = 0;
    bool output_activation = false;
    uint32_t input_param_a = 0;  // the first two values of an HRC first layer's convolution block
    uint32_t input_param_b = 0;
    std::vector<int32_t> output_shift;
    std::vector<float> output_scales;
    uint8_t num_descriptors = 0;
    std::vector<PassSkipDma> passes;  // one per finalize_pass call, in order
    uint8_t input_bits = 0;
    bool input_signed = false;
    bool input_channels_first = false;
    std::vector<float> input_scales;
    std::vector<uint8_t> input_zero_points;
    bool post_processing = false;
};

}  // namespace program

// Used once per sequence: created, fed pass by pass, finalized. The serialize_* calls return the
// number of DMA descriptors they add, uncapped; the caller sums and checks them. Records go
// straight to program_data, which grows in a region of pages as large as it needs (growing moves
// pages, not bytes), and the finished program stays where it was written.
class SequenceSerializer {
public:
    SequenceSerializer(LayerRecorder const& layer_recorder, IoRecorder const& io_recorder);
    ~SequenceSerializer();

    SequenceSerializer(SequenceSerializer const&) = delete;
    SequenceSerializer& operator=(SequenceSerializer const&) = delete;

    // The device the program is for; must come before finalize. A later call replaces it.
    void serialize_version(HwVersion const& version);

    // The system-configuration program of the first pass; counts as one descriptor.
    size_t serialize_scc_program(SccFlags const& flags, Shape in, Shape out);
    // The same with SccFlags' members as arguments, in their order.
    size_t serialize_scc_program(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                 bool output_type_is_zero, bool narrow_output, Shape in, Shape out);

    // Records one layer and writes its record into the current pass; returns its track count.
    // A recorder failure with text t becomes std::runtime_error "Cannot map layer '<name>'.
    // Error: t." (no second period when t ends with one).
    size_t serialize_layer_program(LayerRecordArgs const& args);
    // The same with LayerRecordArgs' members as arguments, in their order.
    size_t serialize_layer_program(Layer const& layer, Layer const& sequence_first, std::shared_ptr<Layer> next_layer,
                                   bool set_spikes, bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                   bool registers_only, bool fnp_padding);

    // Records the register images of the NPs a pass leaves unused: `layer` (the first mappable
    // layer of the next pass) registers only, with `skipped_nps` left out, its mapping's index set
    // for the call to the index the pass link gave it (restored however the call ends). Returns
    // the descriptors added. Defined beside the layer mappings it reads
    // (mapping/program_builder.cpp).
    size_t serialize_unused_nps_program(std::shared_ptr<Layer> layer, std::shared_ptr<Layer> sequence_first,
                                        std::vector<hw::Ident> const& skipped_nps);

    // Records a learning layer: its three records go to the program's learning records (a later
    // call replaces them), not to the pass. Returns the track counts of the second and third
    // records. The first two records need a track each, the third a track or an FNP2 filters
    // track; a failure reads as for serialize_layer_program.
    size_t serialize_learning_layer_program(Layer const& layer, bool set_spikes);

    // Closes the current pass (possibly without records).
    void finalize_pass();

    // Adds the event-generator register writes that the IO recorder gives.
    void serialize_epg_tracks(EpgArgs const& args);
    // The same with EpgArgs' members as arguments, in their order.
    void serialize_epg_tracks(Layer const& first, uint8_t lowest_col, uint8_t highest_col, uint8_t row_code,
                              bool last_on_hrc, bool several_passes, bool input_type_is_zero);

    // With `enabled`, the program carries a one-word config header for the zero ident at target 8.
    void record_dummy_desc_hdr(bool enabled);

    // The whole program, left in the memory it was written to: the size-prefixed program_info,
    // then the size-prefixed program_data. `header.passes` holds one entry per finalize_pass call.
    program::ProgramBuffer finalize_in_place(program::ProgramHeader const& header);
    // The same program, copied once into a vector of its own.
    std::vector<uint8_t> finalize(program::ProgramHeader const& header);
    // The same program written into `*program` (its earlier contents replaced), with the
    // ProgramHeader's values as arguments and the skip-DMA engines of each pass read from the
    // layer mappings of `sequence_passes` (one per finalize_pass call). A null `program` or pass is
    // std::invalid_argument. Defined beside the layer mappings it reads
    // (mapping/program_builder.cpp).
    void finalize(const char* version, Shape const& in, Shape const& out, int8_t input_type, int8_t output_type,
                  uint8_t output_bits, bool output_activation, uint32_t input_param_b, uint32_t input_param_a,
                  std::vector<int32_t> const& output_shift, std::vector<float> const& output_scales,
                  uint8_t num_descriptors, std::vector<uint8_t>* program,
                  std::vector<std::shared_ptr<Sequence::Pass>> const& sequence_passes, uint8_t input_bits,
                  bool input_signed, bool input_channels_first, std::vector<float> const& input_scales,
                  std::vector<uint8_t> const& input_zero_points, bool post_processing);

private:
    // Writes one record into the program_data builder.
    flatbuffers::Offset<fb::Record> serialize_record(program::Record const& record);
    // Fails when finalize already ran.
    void ensure_open() const;

    class RegionAllocator;
    std::unique_ptr<RegionAllocator> data_memory;  // where data_builder writes
    std::unique_ptr<flatbuffers::FlatBufferBuilder> data_builder;
    std::unique_ptr<flatbuffers::FlatBufferBuilder> info_builder;
    flatbuffers::Offset<fb::DeviceVersion> device_version;  // 0 until serialize_version
    bool has_device_version = false;
    flatbuffers::Offset<fb::LearningRecords> learning_records;  // 0: none
    std::vector<flatbuffers::Offset<fb::Pass>> passes;
    std::vector<flatbuffers::Offset<fb::Record>> records;  // of the pass being built
    std::vector<fb::RegisterValue> epg_registers;
    uint64_t dummy_desc_header = 0;
    LayerRecorder const& layer_recorder_;
    IoRecorder const& io_recorder_;
    bool finalized = false;
};

}  // namespace nuvra
