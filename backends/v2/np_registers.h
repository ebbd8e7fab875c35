// The 64-word register image of a second-generation NP: its default contents, the configuration
// words shared by every CNP and TNP-B layer and the CNP pooling word. Every field goes through
// set_np_field with a constant of backends/v2/registers.h; a value too wide for its field fails
// through panic with "Attempted to write value V into a W-bit field, which will cause an
// overflow." and leaves the fields written before it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "backends/v2/registers.h"
#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "hw/np_split.h"
#include "hw/register.h"
#include "mapping/layer_mapping.h"
#include "mapping/routing.h"

namespace nuvra::v2 {

// The words of a register image, after checking that `regs` is a 64-word image: a null pointer or
// another size is std::invalid_argument "A register image must hold 64 words.".
std::span<uint32_t> np_image(std::vector<uint32_t>* regs);

// One field of a register image (checked as np_image does). A value above 4294967295 is reported
// as 4294967295, so the field's overflow check stops it instead of a wrapped value.
void set_np_field(std::vector<uint32_t>* regs, Field const& field, uint64_t value);

// `value` when it fits `width` bits, for a value checked before it is used outside a field;
// otherwise the overflow message of a field of that width (a value above 4294967295 reported as
// 4294967295).
uint32_t fitting_value(uint32_t width, uint64_t value);

// The default image of an NP: all zero but the preset words, word 3 holding the layer index
// `np_num` (0xFE for an NP the pass leaves unused, `unused_np`), and word 56 the NP's slot (id 2
// and above) and `merge_is_add`. Unless `unused_np`, np_num must fit 8 bits.
std::vector<uint32_t> default_np_regs(hw::Component const& np, uint32_t np_num, bool unused_np,
                                      bool merge_is_add);

// What the configuration words common to every CNP and TNP-B layer are made of, besides the NP's
// split.
struct CommonConfig {
    int kernel_size = 0;
    int kernel_stride = 1;
    ActivationType activation = ActivationType::NoActivation;
    uint32_t first_neuron = 0;  // the NP's first output channel
    uint32_t filters = 0;       // the filters the NP computes
    uint8_t weights_bits = 8;
    std::vector<hw::Component> const& layer_nps;  // every component of the layer
    bool single_buffer = false;                   // the NP's input buffer mode
    bool transposed = false;                      // a transposed convolution (KERNEL_TRANSPOSED)
    uint8_t input_bits = 8;
    uint8_t output_bits = 8;
    MergeLayerInfo const* merge_info = nullptr;  // the merge the layer carries, if any
    hw::Component const* skipdma_load = nullptr;
    std::vector<hw::Component> const& dual_output_stores;  // the store that carries a dual output
    bool fnp_padding = false;  // the output feeds an FNP in its padded-row input layout (CONTROL_FNP_PADDING)
    bool link_nps = true;      // the merge and skip-connection words too (not for the NPs a pass leaves unused)
};

// The words every CNP and TNP-B layer configures the same way: bit widths, activation, the NP's
// part of the input from `split`, kernel, output window and output channels, then (when
// `link_nps`) the merge, skip-DMA load and dual-output words. `dual_output_stores` must not be
// empty when the merge asks for a dual output (std::runtime_error "Dual output store should not
// be null."). A merge without `skipdma_load` is std::runtime_error "Skip DMA load should not be
// null.".
void format_cnp_tnp_common_config_registers(std::vector<uint32_t>* regs, NpSplitInterface const& split,
                                            CommonConfig const& config);
// The same with each part of the configuration as an argument, in CommonConfig's order
// (`merge_info` may hold none).
void format_cnp_tnp_common_config_registers(std::vector<uint32_t>* regs, NpSplitInterface const& split,
                                            int kernel_size, int kernel_stride, ActivationType activation,
                                            uint32_t first_neuron, uint32_t filters, uint8_t weights_bits,
                                            std::vector<hw::Component> const& layer_nps, bool single_buffer,
                                            bool transposed, uint8_t input_bits, uint8_t output_bits,
                                            std::unique_ptr<MergeLayerInfo> const& merge_info,
                                            hw::Component const* skipdma_load,
                                            std::vector<hw::Component> const& dual_output_stores, bool fnp_padding,
                                            bool link_nps);

// The CNP pooling word: pool size and factor, whether the pooling is global (it covers the whole
// output: pool size -1), and the edge padding flags of the NP's `part` of `input` (width, height
// first); `pooled_input` also marks in word 2 an input that comes from a max pooling.
void format_cnp_pooling_registers(std::vector<uint32_t>* regs, Shape const& input, NpSpace const& part,
                                  uint8_t pool_size, uint8_t pool_factor, bool global_pool,
                                  PaddingParams const& padding, bool pooled_input);

// Whether the layer's first inbound layer max-pools without an activation: the NP then reads a
// pooled input (INPUT_BUFFER_POOLED, and PR_SP_MAXPOOLING for a linked layer). False without an
// inbound layer.
bool inbound_max_pool(Layer const& layer);

// Marks the input buffer as taking spikes (word 2 bit 7); nothing else changes.
void set_ib_spikes(std::vector<uint32_t>* regs);

// The pooling block of a layer without pooling: factors 1, the output as wide and high as given,
// no padding, flag clear. Always true. A null `out` is std::invalid_argument.
bool get_no_pooling_params(PoolingCalculatedParams* out, uint32_t output_width, uint32_t output_height);

}  // namespace nuvra::v2
