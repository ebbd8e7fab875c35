// How many bits the values of a tensor take, and whether a layer's variable fits a width.
#pragma once

#include <string>

#include "engine/tensor.h"
#include "hw/mapping_status.h"

namespace nuvra {

class Layer;

// The largest width any element of `tensor` needs:
// - signed types (int32, int16 and the signed byte types int8, int4, int2, bit): the two's-
//   complement width including the sign bit (1 and -2 take 2 bits, -1 takes 1, 127 and -128
//   take 8);
// - unsigned types (uint16 and the unsigned byte types uint8, uint4, uint2): the binary width
//   (1 takes 1 bit, 255 takes 8);
// - the value 0 takes 0 bits, so a tensor of zeros gives 0.
// A float32 or unknown tensor is std::invalid_argument.
int evaluate_bitwidth(Dense const& tensor);

// Whether the values of the layer's variable `variable` fit in `bits` bits, in the sense of
// evaluate_bitwidth. `required` tells what a layer without that variable gives: success when
// false (the variable does not apply to this kind), a failed status when true. A failure names
// the variable, the width it needs and the width allowed, and carries the layer's name. A
// float32 variable is std::invalid_argument, as for evaluate_bitwidth.
MappingStatus check_bitwidth(Layer const& layer, int bits, std::string const& variable, bool required);

}  // namespace nuvra
