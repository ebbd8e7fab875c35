// The second-generation recorders: the layer recorder (one program record per mapped layer,
// dispatched by layer kind), the IO recorder (the sequence's SCC record and EPG register writes)
// and the memory sizer (a layer's memory needs on one component).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v2 {

// Records the program of one layer kind: record_layer's arguments with the recorder's device and
// limits.
using KindRecorder = std::unique_ptr<program::Record> (*)(Device const& device, HardwareConstraints const& constraints,
                                                          LayerRecordArgs const& args);

// The recorder of a layer kind on this generation; null for a kind it does not record.
KindRecorder kind_recorder(LayerType type);

// The text of every learning operation on this generation.
inline constexpr char learning_not_implemented_message[] = "Learning not implemented on v2.";

class LayerRecorderImpl final : public LayerRecorder {
public:
    // The learning operations keep the interface's refusal, with "Learning not implemented on v2.".
    LayerRecorderImpl(Device const& device, HardwareConstraints const& constraints)
        : LayerRecorder(learning_not_implemented_message), device_(device), constraints_(constraints) {}

    // The record of the layer's kind; a kind without a recorder is std::runtime_error
    // "Unsupported layer type: <number>.".
    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const& args) const override;
    using LayerRecorder::record_layer;  // the same with the arguments one by one
    // The layers of this generation's kinds: their CNP and TNP-B images carry the padding bit.
    bool records_fnp_padding(Layer const& layer) const override;
    // A Dense1D layer whose input fits FNP memory only with row-byte padding.
    bool fnp_input_rows_padded(Layer const& layer) const override;
    // 4 descriptors per store (plain or dual output), 1 per load.
    SkipDmaDescriptors skip_dma_descriptors() const override { return {4, 4, 1}; }

private:
    Device const& device_;
    HardwareConstraints const& constraints_;
};

class IoRecorderImpl final : public IoRecorder {
public:
    explicit IoRecorderImpl(Device const& device) : device_(device) {}

    // Three one-word blocks for the zero ident at the HRC/SCC configuration bank: the input
    // source and output width (0x4), the input channels (0x40, 18 bits) and the output size
    // (0x44: rows x channels in 20 bits, and the channels above them when fewer than 2048; 0 for
    // a 1 x 1 output). Values that do not fit fail through panic.
    // Of the flags, only first_on_hrc and narrow_output are read: this generation's input and
    // output types are always 0.
    std::unique_ptr<program::Record> record_scc(SccFlags const& flags, Shape input, Shape output) const override;
    using IoRecorder::record_scc;  // the same with the flags one by one
    // The six EPG register writes, always in the same order; several_passes and input_type_is_zero
    // are not used here.
    std::vector<std::pair<uint32_t, uint32_t>> record_epg(EpgArgs const& args) const override;
    using IoRecorder::record_epg;  // the same with the arguments one by one
    // get_input_type and get_output_type keep the interface's 0.

private:
    Device const& device_;
};

// Bytes a layer needs on one component; the third-generation SRAMs keep the interface's 0. A layer
// kind the generation does not size is std::invalid_argument "Invalid v2 layer type.".
class MemorySizerImpl final : public MemorySizer {
public:
    uint32_t get_input_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                   std::shared_ptr<Layer> const& first_layer) const override;
    uint32_t get_weight_memory_size(std::shared_ptr<Layer> const& layer,
                                    hw::Component const& component) const override;
    // A dual-output store is sized from the layer's input; with several passes a store keeps two
    // buffers.
    uint32_t get_external_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                      ExternalMemoryArgs const& args) const override;
    using MemorySizer::get_external_memory_size;  // the same with the two flags one by one
};

}  // namespace nuvra::v2
