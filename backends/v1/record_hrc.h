// Recording of an InputConvolutional layer on the HRC, the input processor of a first-generation
// device: its eight register words, its three weight planes (red, green, blue) and its threshold
// and activation-step memory, all sent as configuration blocks to the zero ident.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "program/hrc_input.h"
#include "program/record.h"

namespace nuvra::v1 {

// Loads one HRC memory: the select word with the memory's bit (HRC_SRAM_SELECT_R, _G, _B or
// _TH_STP), then its data; empty data records nothing.
using ::nuvra::record_hrc_sram;

// The record of an InputConvolutional layer: the register block (target 8 at 0x08), each
// non-empty weight plane and the threshold memory (select word at 0x20, data at 0x28), then the
// first register word with the enable bit cleared and the start and stop words at 0x00. Another
// layer kind is std::bad_cast; a layer that is not built, std::runtime_error "The layer <name> is
// not built.". Weights other than (kx, ky, channels, filters) are std::invalid_argument.
std::unique_ptr<program::Record> record_program_hrc_layer(Device const& device, Layer const& layer);

// 32-bit words of the layer's HRC memories (weight planes and thresholds), rounded up to 16 when
// the block needs the XL header.
uint32_t get_hrc_sram_size(Layer const& layer);

// The eight register words. Strides and paddings must fit 3 bits, "filters" - 1 9 bits (0
// filters does not), "act_bits" / 2 2 bits and "padding_value" 8 bits; they are checked in that
// order (paddings bottom, top, left, right) and fail with the overflow message.
std::vector<uint32_t> format_hrc_registers(LayerParams const& params, ConvCalculatedParams const& computed);

// Two words per threshold: the threshold as 24 bits (outside, panic "%d cannot fit in a %d-bit
// signed integer") and the step as is. Both tensors are int32 (panic "Wrong requested type %s for
// a tensor of type %s" otherwise); fewer steps than thresholds is std::runtime_error.
std::vector<uint32_t> format_hrc_threshold_steps(Tensor const& thresholds, Tensor const& steps);
// The same for two Dense tensors.
inline std::vector<uint32_t> format_hrc_threshold_steps(Dense const& thresholds, Dense const& steps) {
    return format_hrc_threshold_steps(static_cast<Tensor const&>(thresholds), static_cast<Tensor const&>(steps));
}

}  // namespace nuvra::v1
