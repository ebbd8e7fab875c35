// How the engine quantizes the inputs it feeds to the device, and how it turns the device's
// outputs back into values: computed from the first and the last layer of a sequence.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/layer.h"

namespace nuvra::io {

// A Quantizer's output bits, any other layer's input bits.
uint8_t input_bits(Layer const& first);
// A Quantizer's output sign; otherwise signed inputs are wider than 4 bits and not read by the HRC.
bool input_sign(Layer const& first);
// A Quantizer's "channels_first" parameter; false for every other layer.
bool input_channels_first(Layer const& first);
// A Quantizer's "scales" (float32); empty for every other layer.
std::vector<float> format_input_scales(Layer const& first);
// A Quantizer's "zero_points" (uint8); empty for every other layer.
std::vector<uint8_t> format_input_zero_points(Layer const& first);
// A Dequantizer's "scales"; for a layer without activation in the first-generation format,
// 1 / act_step per channel (a 0 step stays 0); otherwise empty.
std::vector<float> format_output_scales(Layer const& last);
// A Dequantizer's: one 0 per scale; for a layer without activation in the first-generation
// format, its "threshold" (int32); otherwise empty.
std::vector<int32_t> format_output_shift(Layer const& last);

}  // namespace nuvra::io
