// Helpers shared by the files that implement the layer kinds; not for use outside engine/.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/layers.h"
#include "engine/params.h"
#include "hw/types.h"

namespace nuvra {

// What a parameter value must be.
enum class Range : uint8_t {
    Any,
    Count,         // >= 0
    Positive,      // >= 1
    Bits,          // 1..32
    Flag,          // 0 or 1
    Enum3,         // 0, 1 or 2 (Padding, PoolType, ActivationType)
    PoolSize,      // >= 1 or -1 (global), checked only when the layer pools
    PoolStride,    // 1..127, checked only when the layer pools
    PoolStrideV1,  // 1..127 or negative (the pool size), checked only when the layer pools
    Fifo,          // 1..14
    FifoOrNone,    // 0..14: 0 is a layer without a FIFO, as when the key is left out
};

// Whether a layer must be given a key, gets a default for it, holds it only when given, or holds
// it only with the other keys of an input shape (all of them or none).
enum class Need : uint8_t { required, defaulted, given, shape };

// One parameter of a kind.
struct KeySpec {
    char const* key;
    Need need;
    int32_t fallback;  // the default of a defaulted key
    Range range;
};

// A kind's rules (engine/layers_kinds.cpp): its parameters, and what a layer of the kind
// computes when it is built from its parameters and inputs (output shape, bits,
// multiply-accumulates, variables and blocks); inputs the kind cannot take are
// std::invalid_argument.
struct KindRules {
    std::span<KeySpec const> keys;
    LayerImpl::Outputs (*outputs)(LayerImpl const& layer, LayerImpl::Inputs const& inputs);
};

// The rules of `type` (std::invalid_argument for a value that names no kind).
KindRules const& kind_rules(LayerType type);

// The input of an input layer, from its parameters: its shape, bits (8 for a kind without
// "input_bits": the HRC reads bytes; a Quantizer's output bits) and sign (a Quantizer's output
// sign).
LayerImpl::Inputs own_input(LayerImpl const& layer);

// The kind's name: its row's.
char const* layer_type_name(LayerType type);

// The generation whose memory formats a layer kind uses (its format code is that generation's
// number); none for the kinds without hardware.
IpVersion kind_generation(LayerType type);

// Whether `key` is one of the parameters the kind knows (given or defaulted by Layer::create).
bool kind_has_key(LayerType type, std::string_view key);

// Whether a learning parameter "num_classes" of `classes` suits a learning layer of `units` units:
// a whole number from 1 to `units`.
bool valid_class_count(double classes, int32_t units);

}  // namespace nuvra
