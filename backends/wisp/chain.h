// A TNP-R chain: a run of StatefulRecurrent layers followed from the first along each layer's
// first outbound layer, closed by a Dequantizer or a WispPostProcessing layer. What the checks,
// the sizes and the recorder share to walk one and read its layers.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "engine/layer.h"
#include "engine/params.h"

namespace nuvra::wisp {

// A chain whose parameters or bit widths leave no valid size or program (a negative channel
// count, values that do not fit a 32-bit word). The checks report it as a failed status.
class InvalidChain : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

bool is_stateful_recurrent(Layer const& layer);
bool is_post_processing(Layer const& layer);

// The first of the layer's outbound layers, or null when it has none.
std::shared_ptr<Layer> first_outbound_layer(Layer const& layer);

// Whether the layer opens a chain: it has no first inbound layer, or one without hardware.
bool is_chain_head(Layer const& layer);

// A parameter that counts something (channels, a ratio). A negative value is InvalidChain
// "Parameter <key> of layer '<name>' cannot be negative (got <value>).".
uint32_t count_param(Layer const& layer, char const* key);

// How many values of `bits` bits a 32-bit word holds (32 / bits). 0 or more than 32 bits is
// InvalidChain "A 32-bit TNP-R word cannot hold <bits>-bit values.".
uint32_t values_per_word(uint32_t bits);

// 32-bit words of one packed input row of `channels` values of `bits` bits, rounded up to a
// power of 2: 1 when bits x channels <= 32.
uint64_t input_row_words(uint64_t bits, uint64_t channels);

}  // namespace nuvra::wisp
