// The first-generation FNP memory image: per neuron a header (threshold, activation step, two
// learning words) and its weights as sign-split bit planes (layout in backends/v1/sizes.h).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::v1 {

// A refused FNP image: "Backend hardware(FullyConnected): <message>".
class FnpError : public std::runtime_error {
public:
    explicit FnpError(std::string const& message);
};

// Values a weight of `bits` bits may take in an FNP image: 0 and 1 for one bit (there is no
// negative half), else -(2^(bits-1) - 1) .. 2^(bits-1) - 1.
struct WeightRange {
    int64_t low = 0;
    int64_t high = 0;
};
WeightRange fnp_weight_range(int bits);
// "Weights contain values out of range (<low>, <high>) (e.g.: <value>).", of fnp_weight_range(bits)
// or of the range given.
std::string weights_out_of_range_message(int bits, int value);
std::string weights_out_of_range_message(WeightRange const& range, int value);
// "act_step should be between 0 and 65535. Receives act_step <step / 16>."
std::string act_step_message(int32_t step);

// The image of the neurons of `weights` (neuron n, input i at (n, i), signed bytes). With
// `activation`, word 0 of neuron n holds thresholds[n] as 20 bits (outside, panic "%d cannot fit
// in a %d-bit signed integer") and word 1 steps[n] (above 0xFFFFF, negative values too, FnpError
// with act_step_message); both are int32 tensors of any shape holding at least N elements, read in
// row-major order (std::invalid_argument "Tensor <name> holds <n> elements, <N> are needed."
// otherwise). Without, word 0 is 0x80000 and they are not read. A weight outside
// fnp_weight_range is FnpError with weights_out_of_range_message.
std::vector<uint32_t> format_fnp_ram(Tensor const& weights, Tensor const& thresholds, Tensor const& steps,
                                     int bits, bool activation);
// The same for three Dense tensors.
inline std::vector<uint32_t> format_fnp_ram(Dense const& weights, Dense const& thresholds, Dense const& steps,
                                            int bits, bool activation) {
    return format_fnp_ram(static_cast<Tensor const&>(weights), static_cast<Tensor const&>(thresholds),
                          static_cast<Tensor const&>(steps), bits, activation);
}

}  // namespace nuvra::v1
