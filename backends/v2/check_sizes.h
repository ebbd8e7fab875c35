// 64-bit size arithmetic of the second-generation checks: input-SRAM needs of one chunk and
// weight needs of one NP's share of a layer. A need that cannot be counted in 64 bits saturates
// at UINT64_MAX, which never fits anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/layer.h"
#include "hw/arith.h"
#include "hw/ident.h"

namespace nuvra::v2 {

// Largest "fifo_size" a TNP-B layer may have: its skip DMAs count fifo_size + 1 frames in an
// 8-bit delay.
inline constexpr int32_t max_fifo_size = 254;

// 32-bit input-SRAM words one chunk needs on an NP of `type`: a CNP reads `height` rows of
// `width` x `channels` values of `bits` bits, each row padded to 4 bytes; a TNP-B keeps
// `fifo_size` + 1 frames of width x height x channels (channels rounded up to 4), each frame
// rounded up to 64 words. Any other type is std::runtime_error "Type of NP not supported.".
uint64_t chunk_input_32b_size(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                              uint32_t fifo_size, uint8_t bits);

// The layer's "fifo_size" when it lies in [0, max_fifo_size]; empty otherwise.
std::optional<uint32_t> checked_fifo_size(LayerParams const& params);
// "The FIFO size must be between 0 and 254 (got <fifo_size>)."
std::string fifo_size_out_of_range_message(int32_t fifo_size);

// 100-bit words of the weights of a share of the layer holding `filters` filters (channels for
// the depthwise kinds) on one CNP or TNP-B, in 64 bits; UINT64_MAX for a "fifo_size" out of range.
// A kind without CNP or TNP-B weights is std::invalid_argument "Unexpected layer type for CNP or
// TNP-B.".
uint64_t weights_100b_size_64(Layer const& layer, uint32_t filters);

}  // namespace nuvra::v2
