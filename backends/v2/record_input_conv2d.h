// Recording of an InputConv2D layer on the HRC, the input convolution unit at the zero ident: its
// five configuration registers (target 8 at 0x8), its three weight planes, its look-up table
// when the activation is one, its activation parameters (each memory a select block and a data
// block, program/hrc_input.h), and the closing blocks that start it.
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

namespace nuvra::v2 {

// Loads one HRC memory, a select block then its data (program/hrc_input.h, shared with the first
// generation); the selects are HRC_SRAM_SELECT_R, _G, _B, _LUT and _ACT of backends/v2/registers.h.
using ::nuvra::record_hrc_sram;

// Records an InputConv2D layer. Needs the variables "weights", "padding_value", "output_shift",
// "output_scales", "bias_shift", "bias" and, with a look-up-table activation,
// "activation_shift", "activation_scales" and "lut_values" (std::invalid_argument "Variable
// <name> not found"); "max_value" and "max_value_shift" when present. "filters" other than the
// weights' filters is std::invalid_argument "Layer '<name>' has <n> filters but weights for
// <m>.", and so is a per-filter variable of fewer elements; a layer without its computed
// convolution block, std::runtime_error "The layer <name> is not built.".
std::unique_ptr<program::Record> record_program_input_conv2d_layer(Device const& device, Layer const& layer);

// Writes the five HRC registers `regs` (created as {1, 0, 0, 0, 0}). Refusals, in this order,
// each std::runtime_error: "Wrong kernel size at HRC recording." (kernels 3, 4, 5, 7 and 16
// only); "Wrong output bitwidth when programming HRC: <b>-bit found\nonly 8-bit and 4-bit are
// supported."; "Wrong number of channles at HRC recording." (1 or 3 input channels); "Wrong
// padding at HRC recording."; "Wrong pooling at HRC recording." (no pooling or max pooling). A
// pool size or stride above 15, a kernel stride above 31, a convolution padding above 3 or
// filters outside 1..512 fail through panic with the overflow message. `padding_value` (unsigned
// bytes) gives one byte per channel, at most three; `conv` the convolution's padding.
void format_input_conv2d_registers(std::vector<uint32_t>* regs, int32_t kernel_size, uint8_t output_bits,
                                   int32_t activation, Shape const& input, int32_t padding, int32_t pool_type,
                                   int32_t pool_size, int32_t pool_stride, int32_t kernel_stride,
                                   Dense const* padding_value, ConvCalculatedParams const* conv, int32_t filters);

}  // namespace nuvra::v2
