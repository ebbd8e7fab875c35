// The four interfaces behind which the generations differ, and the numeric limits that
// checks, splitters and recorders read.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"

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

// How a layer kind splits on one NP type: the halo of each axis, its pooling and its filters.
struct NpSplitParams {
    PaddingParams padding;  // leading/trailing of the width axis, then of the height axis
    uint32_t pool_type = 0;
    uint32_t pool_width = 0;
    uint32_t pool_height = 0;
    uint32_t filters = 0;

    friend bool operator==(NpSplitParams const&, NpSplitParams const&) = default;
};

using LayerList = std::vector<std::shared_ptr<Layer>>;

class CompatibilityChecker {
public:
    CompatibilityChecker(Device const& device, HardwareConstraints const& constraints)
        : device_(device), constraints_(constraints) {}
    virtual ~CompatibilityChecker() = default;

    // Can this layer, after `previous` (null for the first), be mapped at all.
    virtual MappingStatus check_layer_compatibility(Layer const& layer, Layer const* previous,
                                                    HwVersion version) const = 0;
    // Rules that involve several consecutive layers.
    virtual MappingStatus check_layer_sequence(LayerList::const_iterator first,
                                               LayerList::const_iterator last,
                                               HwVersion version) const = 0;
    // Is this set of components a valid mapping of the layer.
    virtual MappingStatus check_layer_mappings(Layer const& layer,
                                               std::vector<hw::Component> const& components,
                                               bool flag) const = 0;
    // Does one chunk's input (window height, window width, channels, FIFO size) fit the input
    // SRAM with a single or a dual buffer, beside `reserved` words.
    virtual bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                 uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                                 uint32_t reserved) const = 0;
    virtual bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                               uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                               uint32_t reserved) const = 0;
    // Do the weights of `filters` filters of the layer fit one NP.
    virtual bool is_weights_size_fit_np(Layer const& layer, uint32_t filters) const = 0;
    virtual NpSplitParams np_split_params(hw::Type type, LayerParams const& params) const = 0;
    virtual bool check_fnp3_sram_size(HardwareConstraints const& constraints,
                                      Layer const& layer) const = 0;

    bool is_fnp3_compatible(Layer const& layer) const {
        return check_fnp3_sram_size(constraints_, layer);
    }

    Device const& device() const { return device_; }
    HardwareConstraints const& constraints() const { return constraints_; }

protected:
    Device const& device_;
    HardwareConstraints const& constraints_;
};

class LayerRecorder {
public:
    virtual ~LayerRecorder() = default;
    // The program of one mapped layer on its NPs. The serializer passes the arguments; each
    // generation gives the flags their meaning (`registers_only` records the register images of
    // NPs a pass leaves unused).
    virtual std::unique_ptr<program::Record> record_layer(
        Layer const& layer, Layer const& previous, std::shared_ptr<Layer> next_layer,
        bool set_spikes, bool mesh_flag, std::vector<hw::Ident> const& nps, bool registers_only,
        bool extra_flag) const = 0;
    // The three records of an on-chip learning layer.
    virtual program::LearnRecordsPtr record_learning_layer(Layer const& layer, bool flag) const = 0;
    // After learning on the device, reads the learned variables back into the layer.
    virtual void sync_learning_vars(std::shared_ptr<Layer> layer) const = 0;
};

class IoRecorder {
public:
    virtual ~IoRecorder() = default;
    virtual std::unique_ptr<program::Record> record_scc(bool a, bool b, bool c, bool d, bool e,
                                                        Shape input, Shape output) const = 0;
    virtual std::vector<std::pair<uint32_t, uint32_t>> record_epg(Layer const& layer, uint8_t a,
                                                                  uint8_t b, uint8_t c, bool d,
                                                                  bool e, bool f) const = 0;
    virtual int8_t get_input_type(Layer const& layer) const = 0;
    virtual int8_t get_output_type(Layer const& layer, int8_t input_type) const = 0;
};

class MemorySizer {
public:
    virtual ~MemorySizer() = default;
    virtual uint32_t get_input_memory_size(std::shared_ptr<Layer> const& layer,
                                           hw::Component const& component,
                                           std::shared_ptr<Layer> const& first_layer) const = 0;
    virtual uint32_t get_weight_memory_size(std::shared_ptr<Layer> const& layer,
                                            hw::Component const& component) const = 0;
    virtual uint32_t get_external_memory_size(std::shared_ptr<Layer> const& layer,
                                              hw::Component const& component, bool a,
                                              bool b) const = 0;
    virtual uint32_t get_fsram_64b_memory_size(std::shared_ptr<Layer> const& layer) const = 0;
    virtual uint32_t get_tsram_51b_memory_size(std::shared_ptr<Layer> const& layer) const = 0;
    virtual uint32_t get_evsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const = 0;
    virtual uint32_t get_stsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const = 0;

    // All seven sizes of a layer on one component, asked in MemoryInfo's field order.
    MemoryInfo get_memory_info(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                               std::shared_ptr<Layer> const& first_layer, bool b1, bool b2) const {
        MemoryInfo info;
        info.input_size = get_input_memory_size(layer, component, first_layer);
        info.weight_size = get_weight_memory_size(layer, component);
        info.external_size = get_external_memory_size(layer, component, b1, b2);
        info.stsram_32b_size = get_stsram_32b_memory_size(layer);
        info.fsram_64b_size = get_fsram_64b_memory_size(layer);
        info.tsram_51b_size = get_tsram_51b_memory_size(layer);
        info.evsram_32b_size = get_evsram_32b_memory_size(layer);
        return info;
    }
};

}  // namespace nuvra
