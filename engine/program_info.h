// The engine's reader of program bytes, and the device memory a program needs.
//
// A program is two size-prefixed FlatBuffers buffers, `program_info` then `program_data`, each led
// by a little-endian 32-bit length of what follows it. ProgramInfo copies and checks the whole
// program before anything is read from it: both lengths against the byte count (nothing may
// follow program_data), the FlatBuffers verifier on each buffer, and every word span of
// program_info against program_data. Bytes that fail any check are std::invalid_argument.
//
// Memory needed on the device, in bytes (all arithmetic in 64 bits, overflow is
// std::invalid_argument):
//   input_memory_required               product of input_dims x input_bits, rounded up to whole
//                                       32-bit words
//   input_descriptor_memory_required    one DMA descriptor (dma_descriptor_bytes)
//   output_memory_required              product of output_dims x b, rounded up to whole 32-bit
//                                       words, where b is output_bits with an output activation
//                                       and 32 (raw potentials) without
//   program_data_memory_required        4 x the words of every track of every pass, of the
//                                       learning layer's tracks, and of the dummy descriptor
//   extra_program_memory_required       4 x the words of every FNP2 filters track (kept in
//                                       external memory)
//   program_descriptors_memory_required dma_descriptor_bytes x num_descriptors x number of passes
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvra {

namespace fb {
struct ProgramInfo;
struct ProgramData;
}  // namespace fb

class ProgramInfo {
public:
    // Bytes of one DMA descriptor in device memory: config header, address and length words.
    static constexpr uint64_t dma_descriptor_bytes = 16;

    // Copies and checks `size` bytes at `data`.
    ProgramInfo(const unsigned char* data, size_t size);

    // The verified tables; they live as long as this object.
    fb::ProgramInfo const& info() const;
    fb::ProgramData const& data() const;
    // The size-prefixed buffers, each with its 4-byte length.
    std::vector<uint8_t> const& info_bytes() const { return info_bytes_; }
    std::vector<uint8_t> const& data_bytes() const { return data_bytes_; }
    // `size` words of program_data starting `offset` bytes into it, as a span of program_info
    // gives them; a run outside program_data is std::invalid_argument.
    std::vector<uint32_t> words(uint32_t offset, uint32_t size) const;

private:
    std::vector<uint8_t> info_bytes_;
    std::vector<uint8_t> data_bytes_;
};

uint64_t input_memory_required(ProgramInfo const& info);
uint64_t input_descriptor_memory_required(ProgramInfo const& info);
uint64_t output_memory_required(ProgramInfo const& info);
uint64_t program_data_memory_required(ProgramInfo const& info);
uint64_t extra_program_memory_required(ProgramInfo const& info);
uint64_t program_descriptors_memory_required(ProgramInfo const& info);

}  // namespace nuvra
