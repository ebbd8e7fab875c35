// Helpers shared by the files that implement the layer kinds; not for use outside engine/.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/params.h"
#include "hw/types.h"

namespace nuvra {

// "Conv2D", "InputData", ...: the LayerType's name.
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
