// The model file (.fbz): one raw snappy block around the engine's model serialization, followed
// by zero bytes up to snappy's largest compressed length for it (32 + n + n / 6 bytes in all for
// an n-byte serialization).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// The system calls through which a save makes its new file (the unnamed one and the named one
// alike), gives it the old file's owner, writes bytes, names the new file (`from` names the unnamed
// file through /proc/self/fd) and renames it over the old one; a test gives its own to make one of
// them fail or stop part-way.
struct SaveSteps {
    int (*open)(char const* path, int flags, mode_t mode) = [](char const* path, int flags, mode_t mode) {
        return ::open(path, flags, mode);
    };
    int (*fchown)(int fd, uid_t owner, gid_t group) = ::fchown;
    ssize_t (*write)(int fd, void const* bytes, size_t n) = ::write;
    int (*link)(char const* from, char const* to) = [](char const* from, char const* to) {
        return ::linkat(AT_FDCWD, from, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
    };
    int (*rename)(char const* from, char const* to) = ::rename;
};

// Writes the file image of `serialization` to `path`. A regular file, or a missing one, is written
// whole beside it (unnamed until then, where the file system allows) and renamed over it, so a
// failed save leaves the file that was there, or none; the new file has the old one's owner, group
// and permission bits, and a symbolic link, or a chain of them, stays one and the file it ends at
// is replaced. The file is written in place, as a device or a FIFO always is, where the new one
// could not take its place unseen: a file with other hard links, an owner or group the process
// cannot give, a folder that refuses a new file, no hidden name or no descriptor left for one, a
// refused rename. std::invalid_argument "The model path holds a NUL byte." before anything is
// opened, "Unable to open file for saving model: <path>" when it cannot be opened (a directory, a
// loop of links, a read-only file, an empty path) or the new file cannot be made beside it for
// another reason (no room, a failing disk), std::runtime_error "Unable to write model file:
// <path>" when the new file cannot be given the old one's owner or bits for another reason or the
// bytes do not all reach it. A refused save keeps the old file whole; a write in place that fails
// leaves it cut short.
void write_model_file(std::string const& path, std::span<const uint8_t> serialization, SaveSteps const& steps = {});

}  // namespace nuvra::python
