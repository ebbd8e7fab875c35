// The register words every first-generation CNP image carries, whatever its layer kind: geometry
// of the NP's share of the input, bit widths, filters and the pooling word. Fields are written in
// a fixed order through set (hw/register.h); a value too wide for its field fails through panic with
// "Attempted to write value V into a W-bit field, which will cause an overflow." and leaves the
// fields written before it in place.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/ident.h"

namespace nuvra::v1 {

// The pooling of a CNP layer, as its NPs' registers take it.
struct CnpPooling {
    uint32_t size = 1;
    uint8_t stride = 1;      // at least 1
    PaddingParams padding;   // taken as signed
    bool global = false;     // a global pooling (PoolingCalculatedParams::flag)
};

// What the common configuration of one CNP is made from.
struct CnpCommonConfig {
    Shape input;                 // the layer's input (width, height, channels)
    uint8_t layer_index = 0;
    int input_bits = 0;          // written as 8 bits, halved
    int kernel_width = 0;
    int stride_x = 1;            // at least 1
    PaddingParams conv_padding;
    bool activation = false;
    int act_bits = 0;
    NpSpace window;              // the NP's part of the input (its spatial partition)
    NpSpace cut;                 // the part widened by the halo the NP reads
    CnpPooling pool;
    uint32_t filters = 0;
    uint32_t start_neuron = 0;
    uint32_t np_count = 0;       // NPs of the layer
    bool single_buffer = false;
};

// Words 1, 3, 4, 8-11, 20, 24-26, 28, 29 and 36 of a 50-word register image (another size is
// std::invalid_argument "An NP register image must hold 50 words."). The cut's offsets from the
// part are 4-bit two's complement: outside -8..7 panics "%d cannot fit in a %d-bit signed
// integer". A stride or pool stride of 0 is std::invalid_argument.
void format_cnp_common_config_registers(std::vector<uint32_t>& regs, CnpCommonConfig const& config);

// The same with the configuration given field by field (`regs` must be a 50-word image: a null
// pointer is std::invalid_argument as another size is). A non-zero `activation` or
// `single_buffer` sets its bit.
void format_cnp_common_config_registers(std::vector<uint32_t>* regs, Shape const& input, uint8_t layer_index,
                                        int input_bits, int kernel_width, int stride_x,
                                        PaddingParams const& conv_padding, uint8_t activation, int act_bits,
                                        NpSpace window, NpSpace const& cut, uint32_t pool_size, uint8_t pool_stride,
                                        PaddingParams const& pool_padding, uint32_t filters, uint32_t start_neuron,
                                        uint32_t np_count, uint8_t single_buffer);

// Word 27: pool size and stride (3 bits each), the global pooling bit, and an edge bit for each
// side of the input that `window` touches where the pooling pads.
void format_cnp_pooling_registers(std::vector<uint32_t>& regs, Shape const& input, NpSpace const& window,
                                  CnpPooling const& pool);
// The same with the pooling given field by field; a non-zero `pool_flag` marks a global pooling.
void format_cnp_pooling_registers(std::vector<uint32_t>* regs, Shape const& input, NpSpace const& window,
                                  uint8_t pool_size, uint8_t pool_stride, uint8_t pool_flag,
                                  PaddingParams const& pool_padding);

}  // namespace nuvra::v1
