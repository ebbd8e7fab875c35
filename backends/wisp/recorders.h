// The third-generation recorders: the layer recorder (one TNP-R program per chain, recorded
// through the chain's first layer), the IO recorder (nothing to configure around a chain) and the
// memory sizer (the chain's needs in the four TNP-R memories).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "hw/device.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::wisp {

class LayerRecorderImpl final : public LayerRecorder {
public:
    // Keeps the device; the constraints play no part in this generation's programs. The learning
    // operations keep the interface's refusal, with "Learning not implemented on wisp.".
    LayerRecorderImpl(Device const& device, HardwareConstraints const& constraints)
        : LayerRecorder("Learning not implemented on wisp."), device_(device) {}

    // A StatefulRecurrent layer: the program of the chain it starts. InputData, Dequantizer and
    // Quantizer: an empty record. Any other kind, the post-processing layer included:
    // std::runtime_error "Unsupported layer type on wisp: <number>.".
    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const& args) const override;
    using LayerRecorder::record_layer;  // the same with the arguments one by one
    // No FNP and no skip DMA on this generation: records_fnp_padding, fnp_input_rows_padded and
    // skip_dma_descriptors keep the interface's answers.

private:
    Device const& device_;
};

// Inputs and outputs are of type 0; no system-configuration words, no event-generator registers.
class IoRecorderImpl final : public IoRecorder {
public:
    explicit IoRecorderImpl(Device const& device) : device_(device) {}

    // An empty record for the device's version.
    std::unique_ptr<program::Record> record_scc(SccFlags const& flags, Shape input, Shape output) const override;
    using IoRecorder::record_scc;  // the same with the flags one by one
    // record_epg, get_input_type and get_output_type keep the interface's answers: no registers,
    // types 0.

private:
    Device const& device_;
};

// A chain's words in the TNP-R memories, asked of its first layer; the input, weight and external
// bytes keep the interface's 0. A size beyond 32 bits is std::runtime_error.
class MemorySizerImpl final : public MemorySizer {
public:
    uint32_t get_fsram_64b_memory_size(std::shared_ptr<Layer> const& layer) const override;
    uint32_t get_tsram_51b_memory_size(std::shared_ptr<Layer> const& layer) const override;
    uint32_t get_evsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const override;
    uint32_t get_stsram_32b_memory_size(std::shared_ptr<Layer> const& layer) const override;
};

}  // namespace nuvra::wisp
