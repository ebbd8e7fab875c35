// The model file (.fbz): one raw snappy block around the engine's model serialization, followed
// by zero bytes up to snappy's largest compressed length for it (32 + n + n / 6 bytes in all for
// an n-byte serialization).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nuvra::python {

// Files of this many bytes or more are refused before anything is read into memory.
inline constexpr uint64_t max_model_file_bytes = uint64_t{1} << 31;
// No raw snappy element yields more than 64 bytes from 3 bytes, so a block can never hold more
// than this many times its own length; a longer preamble is damage.
inline constexpr uint64_t max_expansion = 22;

// snappy's largest compressed length for `n` bytes: the length of every model file.
uint64_t model_file_size(uint64_t n);

// The whole file image of a serialization: the compressed block, then zeros.
std::vector<uint8_t> encode_model_file(std::span<const uint8_t> serialization);

// The serialization a file image holds. The block must yield exactly the length its preamble
// announces, every element must lie inside the block and copy only bytes already produced, and
// every byte after the block must be zero; anything else is std::invalid_argument "Cannot
// uncompress corrupted serialization buffer".
std::vector<uint8_t> decode_model_file(std::span<const uint8_t> file);

// Reads and decodes the file at `path`: std::invalid_argument "The model path holds a NUL byte.",
// std::runtime_error "File not found.", "The model path is not a readable file: <path>" (a
// directory, a device, a FIFO, refused before it is opened), "File is empty.", "Model file is too
// large." (2 GiB or more) or "Unable to read model file: <path>", then the failures of
// decode_model_file.
std::vector<uint8_t> read_model_file(std::string const& path);

// Writes the file image of `serialization` to `path`. A regular file, or a missing one, is written
// whole beside it and then renamed over it, so a failed save leaves the file that was there, or
// none; a symbolic link stays one and the file it names is replaced with its permission bits; a
// device or a FIFO is written in place. std::invalid_argument "The model path holds a NUL byte."
// before anything is opened, "Unable to open file for saving model: <path>" when it cannot be
// opened or no file can be made beside it, std::runtime_error "Unable to write model file: <path>"
// when the bytes do not all reach it.
void write_model_file(std::string const& path, std::span<const uint8_t> serialization);

}  // namespace nuvra::python
