// The four interfaces behind which the generations differ (checker, layer and IO recorders, memory
// sizer), the numeric limits that checks, splitters and recorders read, and the named arguments of
// their calls. Below the mapping engine, so that the program serializer may use them too.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "hw/shape.h"

namespace nuvra {

class Device;

namespace program {
struct Record;
struct LearnRecordsPtr;
}  // namespace program

// Limits of one device, filled once per mapping from the generation and the mesh's SRAM sizes.
struct HardwareConstraints {
    uint32_t fnp3_sram_words = 0;                 // FNP3 weight memory, 32-bit words (48/50 usable)
    uint32_t weight_sram_words = 0;               // NP weight memory in 50-bit (v1) or 100-bit (v2) words
    uint32_t max_input_width = 0;                 // whole-layer limits of the CNP checks
    uint32_t max_input_height = 0;
    uint32_t max_input_channels = 0;
    uint32_t max_filters = 0;
    uint32_t np_max_input_width = 0;              // per-NP input width
    uint32_t np_max_input_height = 0;
    uint32_t np_channel_limit = 0;
    uint32_t np_max_filters = 0;
    uint32_t np_max_filters_reduced = 0;
    uint32_t input_sram_dual_buffer_words = 0;    // input SRAM, 32-bit words, half of it per buffer
    uint32_t input_sram_single_buffer_words = 0;  // input SRAM, 32-bit words, one buffer
    uint32_t fnp_input_sram_words = 0;            // FNP input memory, 32-bit words
    uint32_t input_shift_memory_size = 0;         // input-shift memory, 24-bit words
    uint32_t stsram_32b_size = 0;                 // third-generation SRAMs, in their own word sizes
    uint32_t fsram_64b_size = 0;
    uint32_t tsram_51b_size = 0;
    uint32_t evsram_32b_size = 0;

    friend bool operator==(HardwareConstraints const&, HardwareConstraints const&) = default;
};

// The halo a chunk reads from its neighbours, in input elements: left and right along the width
// axis, top and bottom along the height axis.
struct Halo {
    uint32_t left = 0;
    uint32_t right = 0;
    uint32_t top = 0;
    uint32_t bottom = 0;

    friend bool operator==(Halo const&, Halo const&) = default;
};

// How a layer kind splits on one NP type: the halo of each axis, its pooling and its filters.
struct NpSplitParams {
    Halo halo;
    uint32_t pool_type = 0;
    uint32_t pool_width = 0;
    uint32_t pool_height = 0;
    uint32_t filters = 0;

    NpSplitParams() = default;
    // The eight values in their order, the four halo amounts held together as a PaddingParams:
    // its fields, in their order, carry the left, right, top and bottom halo.
    constexpr NpSplitParams(PaddingParams const& halo_amounts, uint32_t pooling_type, uint32_t pooling_width,
                            uint32_t pooling_height, uint32_t filter_count)
        : halo{.left = halo_amounts.top, .right = halo_amounts.bottom, .top = halo_amounts.left,
               .bottom = halo_amounts.right},
          pool_type(pooling_type), pool_width(pooling_width), pool_height(pooling_height), filters(filter_count) {}

    friend bool operator==(NpSplitParams const&, NpSplitParams const&) = default;
};

using LayerList = std::vector<std::shared_ptr<Layer>>;

// What program building gives the layer recorder for one layer. The flags are set as described;
// each generation gives them their effect (and may leave one unused).
struct LayerRecordArgs {
    Layer const& layer;
    Layer const& sequence_first;  // the first mappable layer of the sequence
    // The layer whose NPs partial reconfiguration readies: the first mappable layer of the next
    // pass (null for the last pass); for the NPs a pass leaves unused, that layer itself.
    std::shared_ptr<Layer> next_layer = nullptr;
    bool set_spikes = false;  // the layer starts a pass after the first: its NPs' input buffers take spikes
    bool mesh_flag = false;   // the layer ends a pass before the last: handed to the output routing
    // NPs whose program the layer leaves out; what is left out differs by generation. v1: the NP
    // of a Convolutional or SeparableConvolutional layer keeps its weight and threshold blocks
    // behind an empty register block, that of a FullyConnected layer gets nothing. v2: the NP gets
    // nothing, whatever the layer's kind. The HRC programs (v1, v2) and the wisp TNP-R program do
    // not read the list.
    std::vector<hw::Ident> const& skipped_nps;
    bool registers_only = false;  // only register images: the NPs a pass leaves unused
    // The layer feeds the next layer of its pass in a padded layout: a TNP-B layer, or an FNP
    // layer that reads 4-bit or padded rows (see LayerRecorder::records_fnp_padding and
    // fnp_input_rows_padded).
    bool fnp_padding = false;
};

// LayerRecordArgs from its members one by one, in their order: what the recorders' forms that take
// their arguments one by one hand on. The result refers to `layer`, `sequence_first` and
// `skipped_nps`.
LayerRecordArgs layer_record_args(Layer const& layer, Layer const& sequence_first, std::shared_ptr<Layer> next_layer,
                                  bool set_spikes, bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                  bool registers_only, bool fnp_padding);

// DMA descriptors that a layer's skip-DMA engines add to each pass of a multi-pass sequence.
struct SkipDmaDescriptors {
    uint32_t store = 0;              // a plain skip-DMA store
    uint32_t dual_output_store = 0;  // the store of a dual output
    uint32_t load = 0;               // a skip-DMA load

    friend bool operator==(SkipDmaDescriptors const&, SkipDmaDescriptors const&) = default;
};

// The input and output set-up of a sequence, as program building gives it to record_scc.
struct SccFlags {
    bool first_on_hrc = false;         // the first mappable layer runs on the HRC
    bool input_type_is_zero = false;   // the program's input type is 0: the SCC carries the input size
    bool last_on_hrc = false;          // the last mappable layer runs on the HRC
    bool output_type_is_zero = false;  // the output type is 0: the SCC carries the output size
    bool narrow_output = false;        // the program's output values have 8 bits or fewer
};

// The event generator's set-up, as program building gives it to record_epg.
struct EpgArgs {
    Layer const& first;       // the first mappable layer of the sequence
    uint8_t lowest_col = 0;   // lowest and highest mesh column among the NPs of the first mappable
    uint8_t highest_col = 0;  // layers of all passes
    uint8_t row_code = 1;     // always 1 from program building
    bool last_on_hrc = false;         // the last mappable layer runs on the HRC
    bool several_passes = false;      // the sequence has more than one pass
    bool input_type_is_zero = false;  // the program's input type is 0
};

// Which buffer of a component get_external_memory_size sizes, as the mapping driver asks.
struct ExternalMemoryArgs {
    bool dual_output_store = false;  // the component is the skip-DMA store of a dual output
    bool several_passes = false;     // the sequence has more than one pass
    // The depth of a layer in the model graph (1 for an input layer), as the mapping driver works
    // the depths out once for all the questions of one mapping; unset, a sizer that needs depths
    // works them out itself.
    std::function<unsigned int(std::shared_ptr<Layer> const& layer)> layer_depth = nullptr;
};

// The texts with which a checker refuses the questions about NP memories and splitting when its
// generation has no such NPs (the defaults of the five queries below).
struct NpQueryRefusals {
    char const* single_buffer = "No single buffer mode on this generation.";
    char const* dual_buffer = "No dual buffer mode on this generation.";
    char const* weights = "No NP on this generation.";
    char const* split = "No NP to split on this generation.";
    char const* fnp3 = "No FNP3 on this generation.";
};

class CompatibilityChecker {
public:
    // `refusals`: the answers of the NP queries that the generation does not override.
    CompatibilityChecker(Device const& device, HardwareConstraints const& constraints,
                         NpQueryRefusals const& refusals = {})
        : device_(device), constraints_(constraints), refusals_(refusals) {}
    virtual ~CompatibilityChecker() = default;

    // Can this layer, after `previous` (null for the first), be mapped at all.
    virtual MappingStatus check_layer_compatibility(Layer const& layer, Layer const* previous,
                                                    HwVersion version) const = 0;
    // Rules that involve several consecutive layers.
    virtual MappingStatus check_layer_sequence(LayerList::const_iterator first,
                                               LayerList::const_iterator last,
                                               HwVersion version) const = 0;
    // Is this set of components a valid mapping of the layer; `new_pass`: the layer opens a new
    // pass.
    virtual MappingStatus check_layer_mappings(Layer const& layer,
                                               std::vector<hw::Component> const& components,
                                               bool new_pass) const = 0;
    // Does one chunk's input (window height, window width, channels, FIFO size) fit the input
    // SRAM with a single or a dual buffer, beside `reserved` words. By default refused
    // (std::runtime_error with the refusal's text), as by a generation without NP input SRAMs.
    virtual bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                 uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                                 uint32_t reserved) const {
        throw std::runtime_error(refusals_.single_buffer);
    }
    virtual bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                               uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                               uint32_t reserved) const {
        throw std::runtime_error(refusals_.dual_buffer);
    }
    // Do the weights of `filters` filters of the layer fit one NP. By default refused.
    virtual bool is_weights_size_fit_np(Layer const& layer, uint32_t filters) const {
        throw std::runtime_error(refusals_.weights);
    }
    // How a layer kind splits on one NP type. By default refused.
    virtual NpSplitParams np_split_params(hw::Type type, LayerParams const& params) const {
        throw std::runtime_error(refusals_.split);
    }
    // Whether the layer's FNP memory fits the FNP3 memory of `constraints`. By default refused.
    virtual bool check_fnp3_sram_size(HardwareConstraints const& constraints, Layer const& layer) const {
        throw std::runtime_error(refusals_.fnp3);
    }
    // Input words the NP input memory keeps free beside the layer's input when the layer is split
    // (the `reserved` of the two input-fit queries above). By default none.
    virtual uint32_t reserved_input_words(Layer const& layer) const { return 0; }

    bool is_fnp3_compatible(Layer const& layer) const {
        return check_fnp3_sram_size(constraints_, layer);
    }

    Device const& device() const { return device_; }
    HardwareConstraints const& constraints() const { return constraints_; }

protected:
    Device const& device_;
    HardwareConstraints const& constraints_;

private:
    NpQueryRefusals refusals_;
};

// One chunk's input as the split search asks about it: its NP type, window height and width,
// channels, FIFO size (the frames a TNP-B keeps), bit width, and the words kept free beside it.
struct InputChunk {
    hw::Type type = hw::Type::None;
    uint32_t height = 0;
    uint32_t width = 0;
    uint32_t channels = 0;
    uint32_t fifo_size = 0;
    uint8_t bits = 0;
    uint32_t reserved = 0;
};

// The checker of a generation whose NPs read their input from an input SRAM and whose FNP3 holds a
// layer in its own memory: the two input-fit queries and the FNP3 fit are answered here from what
// the generation says of a chunk and of a layer's FNP memory.
class NpCompatibilityChecker : public CompatibilityChecker {
public:
    using CompatibilityChecker::CompatibilityChecker;

    // Whether the chunk fits the input SRAM of a single buffer or of one of two buffers.
    bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                         uint32_t fifo_size, uint8_t bits, uint32_t reserved) const final {
        return input_fits({type, height, width, channels, fifo_size, bits, reserved},
                          constraints_.input_sram_single_buffer_words);
    }
    bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t reserved) const final {
        return input_fits({type, height, width, channels, fifo_size, bits, reserved},
                          constraints_.input_sram_dual_buffer_words);
    }
    // Whether the layer's FNP memory image fits the FNP3 memory of `constraints`.
    bool check_fnp3_sram_size(HardwareConstraints const& constraints, Layer const& layer) const final {
        return fnp_memory_words(layer) <= constraints.fnp3_sram_words;
    }

protected:
    // Whether `chunk` fits `buffer_words` 32-bit words of input SRAM.
    virtual bool input_fits(InputChunk const& chunk, uint32_t buffer_words) const = 0;
    // The 32-bit words of the layer's FNP memory image.
    virtual uint64_t fnp_memory_words(Layer const& layer) const = 0;
};

// A recorder's failure as the mapping reports it, in the name of `layer`: "Cannot map layer
// '<name>'. Error: <text>.", where a text that ends a sentence keeps its own period. A recorder
// that records several layers at once (a TNP-R chain) throws it as a MappingStatusError for the
// layer that holds what failed; the serializer gives any other failure the recorded layer's name.
MappingStatus recording_failure(Layer const& layer, std::exception const& error);

class LayerRecorder {
public:
    // `no_learning`: the text with which a generation without on-chip learning refuses the two
    // learning operations (their defaults).
    explicit LayerRecorder(char const* no_learning = "Learning not implemented on this generation.")
        : no_learning_(no_learning) {}
    virtual ~LayerRecorder() = default;
    // The program of one mapped layer on its NPs.
    virtual std::unique_ptr<program::Record> record_layer(LayerRecordArgs const& args) const = 0;
    // The same with LayerRecordArgs' members as arguments, in their order.
    std::unique_ptr<program::Record> record_layer(Layer const& layer, Layer const& sequence_first,
                                                  std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                  bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                                  bool registers_only, bool fnp_padding) const;
    // The three records of an on-chip learning layer; `set_spikes` as in LayerRecordArgs. By
    // default refused: std::runtime_error with the no-learning text.
    virtual program::LearnRecordsPtr record_learning_layer(Layer const& layer, bool set_spikes) const;
    // After learning on the device, reads the learned variables back into the layer. By default
    // refused as record_learning_layer.
    virtual void sync_learning_vars(std::shared_ptr<Layer> layer) const;
    // Whether `layer` is recorded with LayerRecordArgs::fnp_padding at all: its image can lay its
    // output out padded for the next layer. By default no layer is: the flag stays false.
    virtual bool records_fnp_padding(Layer const& layer) const { return false; }
    // Whether the FNP input of `layer` is laid out in padded rows when a CNP layer feeds it; the
    // CNP layer is then recorded with LayerRecordArgs::fnp_padding. By default never: the FNPs
    // read unpadded rows.
    virtual bool fnp_input_rows_padded(Layer const& layer) const { return false; }
    // What the skip-DMA engines of a layer add to the descriptor count of a multi-pass sequence.
    // By default none: a generation without skip-DMA engines.
    virtual SkipDmaDescriptors skip_dma_descriptors() const { return {}; }

private:
    char const* no_learning_;
};

class IoRecorder {
public:
    virtual ~IoRecorder() = default;
    // The system-configuration program of the sequence's input and output.
    virtual std::unique_ptr<program::Record> record_scc(SccFlags const& flags, Shape input,
                                                        Shape output) const = 0;
    // The same with SccFlags' members as arguments, in their order.
    std::unique_ptr<program::Record> record_scc(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                                bool output_type_is_zero, bool narrow_output, Shape input,
                                                Shape output) const;
    // The event generator's register writes, as (register, value) pairs. By default none: a
    // generation without an event generator.
    virtual std::vector<std::pair<uint32_t, uint32_t>> record_epg(EpgArgs const& args) const { return {}; }
    // The same with EpgArgs' members as arguments, in their order.
    std::vector<std::pair<uint32_t, uint32_t>> record_epg(Layer const& first, uint8_t lowest_col,
                                                          uint8_t highest_col, uint8_t row_code, bool last_on_hrc,
                                                          bool several_passes, bool input_type_is_zero) const;
    // The program's input and output types. By default 0: the SCC carries the input and output
    // sizes.
    virtual int8_t get_input_type(Layer const& layer) const { return 0; }
    virtual int8_t get_output_type(Layer const& layer, int8_t input_type) const { return 0; }
};

// Each size is 0 by default: a generation sizes the memories it has and keeps the interface's
// answer for the others.
class MemorySizer {
public:
    virtual ~MemorySizer() = default;
    // Bytes of a layer's input, weights and external buffers on one NP component.
    virtual uint32_t get_input_memory_size(std::shared_ptr<Layer> const& layer,
                                           hw::Component const& component,
                                           std::shared_ptr<Layer> const& first_layer) const {
        return 0;
    }
    virtual uint32_t get_weight_memory_size(std::shared_ptr<Layer> const& layer,
                                            hw::Component const& component) const {
        return 0;
    }
    virtual uint32_t get_external_memory_size(std::shared_ptr<Layer> const& layer,
                                              hw::Component const& component,
                                              ExternalMemoryArgs const& args) const {
        return 0;
    }
    // The same with ExternalMemoryArgs' two flags; a sizer that needs layer depths works them out.
    uint32_t get_external_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                      bool dual_output_store, bool several_passes) const {
        return get_external_memory_size(layer, component,
                                        ExternalMemoryArgs{.dual_output_store = dual_output_store,
                                                           .several_passes = several_passes});
    }
    // The words a layer needs in the four TNP-R memories.
    virtual uint32_t get_fsram_64b_memory_size(std::shared_ptr<Layer> const& layer) const { return 0; }
    virtual uint32_t get_tsram_51b_memory_size(std::shared_ptr<Layer> const& layer) const { return 0; }
    virtual uint32_t get_evsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const { return 0; }
    virtual uint32_t get_stsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const { return 0; }

    // All seven sizes of a layer on one component, asked in MemoryInfo's field order.
    MemoryInfo get_memory_info(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                               std::shared_ptr<Layer> const& first_layer,
                               ExternalMemoryArgs const& args) const {
        MemoryInfo info;
        info.input_size = get_input_memory_size(layer, component, first_layer);
        info.weight_size = get_weight_memory_size(layer, component);
        info.external_size = get_external_memory_size(layer, component, args);
        info.stsram_32b_size = get_stsram_32b_memory_size(layer);
        info.fsram_64b_size = get_fsram_64b_memory_size(layer);
        info.tsram_51b_size = get_tsram_51b_memory_size(layer);
        info.evsram_32b_size = get_evsram_32b_memory_size(layer);
        return info;
    }
    // The same with ExternalMemoryArgs' two flags.
    MemoryInfo get_memory_info(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                               std::shared_ptr<Layer> const& first_layer, bool dual_output_store,
                               bool several_passes) const {
        return get_memory_info(
            layer, component, first_layer,
            ExternalMemoryArgs{.dual_output_store = dual_output_store, .several_passes = several_passes});
    }
};

}  // namespace nuvra
