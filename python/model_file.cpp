// The model file codec. Compression is snappy's own; decompression is done here, so that a
// damaged block, a block that does not fill its announced length and the padding after the
// block are each checked.
#include "python/model_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include <snappy.h>

#include "hw/arith.h"

namespace nuvra::python {

namespace {

[[noreturn]] void corrupted() { throw std::invalid_argument("Cannot uncompress corrupted serialization buffer"); }

// Reads the raw block of `in` element by element.
class BlockReader {
public:
    explicit BlockReader(std::span<const uint8_t> in) : in_(in) {}

    // The little-endian base-128 length preamble: at most five bytes, a 32-bit value.
    uint64_t preamble() {
        uint64_t value = 0;
        for (int shift = 0; shift <= 28; shift += 7) {
            uint8_t const byte = next();
            value |= uint64_t{byte & 0x7Fu} << shift;
            if ((byte & 0x80u) == 0) {
                if (value > UINT32_MAX) corrupted();
                return value;
            }
        }
        corrupted();
    }

    // Fills `out` exactly, then requires zeros up to the end of the input.
    void decode(std::vector<uint8_t>& out) {
        size_t produced = 0;
        while (produced < out.size()) {
            uint8_t const tag = next();
            size_t length = 0;
            size_t offset = 0;
            switch (tag & 3u) {
                case 0: {  // literal; lengths of 61 and more bytes follow the tag in 1 to 4 bytes
                    length = tag >> 2;
                    if (length >= 60) length = little_endian(length - 59);
                    length += 1;
                    if (length > out.size() - produced || length > in_.size() - at_) corrupted();
                    std::memcpy(out.data() + produced, in_.data() + at_, length);
                    at_ += length;
                    produced += length;
                    continue;
                }
                case 1:  // copy, 4 to 11 bytes, 11-bit offset
                    length = 4 + ((tag >> 2) & 7u);
                    offset = (static_cast<size_t>(tag >> 5) << 8) | next();
                    break;
                case 2:  // copy, 1 to 64 bytes, 16-bit offset
                    length = 1 + (tag >> 2);
                    offset = little_endian(2);
                    break;
                default:  // copy, 1 to 64 bytes, 32-bit offset
                    length = 1 + (tag >> 2);
                    offset = little_endian(4);
                    break;
            }
            if (offset == 0 || offset > produced || length > out.size() - produced) corrupted();
            // Byte by byte: a copy may overlap the bytes it produces (a repeated pattern).
            for (size_t i = 0; i < length; ++i, ++produced) out[produced] = out[produced - offset];
        }
        if (std::any_of(in_.begin() + static_cast<std::ptrdiff_t>(at_), in_.end(), [](uint8_t b) { return b != 0; }))
            corrupted();
    }

private:
    uint8_t next() {
        if (at_ >= in_.size()) corrupted();
        return in_[at_++];
    }

    size_t little_endian(size_t bytes) {
        size_t value = 0;
        for (size_t i = 0; i < bytes; ++i) value |= size_t{next()} << (8 * i);
        return value;
    }

    std::span<const uint8_t> in_;
    size_t at_ = 0;
};

// A path holding a NUL byte would be cut there by the system and name another file.
void check_model_path(std::string const& path) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("The model path holds a NUL byte.");
}

[[noreturn]] void unable_to_open(std::string const& path) {
    throw std::invalid_argument("Unable to open file for saving model: " + path);
}
[[noreturn]] void unable_to_write(std::string const& path) {
    throw std::runtime_error("Unable to write model file: " + path);
}

// An open file descriptor, closed once.
struct Descriptor {
    explicit Descriptor(int f) : fd(f) {}
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;
    ~Descriptor() { close(); }

    // False when the close reports that written bytes were lost.
    bool close() {
        if (fd < 0) return true;
        int const closed = ::close(fd);
        fd = -1;
        return closed == 0;
    }

    int fd;
};

// Writes every byte, or says that some did not reach the file (a full disk, a quota, a file-size
// limit).
bool write_all(SaveSteps const& steps, int fd, std::span<const uint8_t> bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t const written = steps.write(fd, bytes.data() + at, bytes.size() - at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        at += static_cast<size_t>(written);
    }
    return true;
}

// The file that `path` names once its symbolic links are followed, each relative to the
// directory holding it: the link itself stays a link, and the file it names is replaced.
std::filesystem::path final_target(std::filesystem::path p) {
    for (int hops = 0; hops < 40; ++hops) {  // the system's own limit on a chain of links
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(p, error))) break;
        std::filesystem::path const to = std::filesystem::read_symlink(p, error);
        if (error) break;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    return p;
}

// Why a new file cannot take the old one's place while the old one can still be written in place;
// any other failure to make the new file or give it the old one's owner (no room, a failing disk)
// refuses the save and keeps the old file.

// The file system keeps no unnamed files here: the new file is made under a hidden name instead.
bool no_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// The folder refuses a new file (a read-only folder or file system, another user's folder).
bool folder_refuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// No hidden name can be made beside the target: too long a path, or every candidate name taken.
bool no_hidden_name(int error) { return error == ENAMETOOLONG || error == EEXIST; }

// The process or the system has no descriptor left for a second file.
bool no_descriptor_left(int error) { return error == EMFILE || error == ENFILE; }

// The process may not give the new file the old one's owner, group or bits: another user's file,
// or an owner that the user namespace the process runs in has no number for.
bool owner_refused(int error) { return error == EPERM || error == EINVAL; }

// A rename the system refuses between these two names (another user's file in a sticky folder, a
// mounted file, another file system); the file can still be written in place.
bool rename_refused(int error) { return error == EPERM || error == EACCES || error == EBUSY || error == EXDEV; }

// The new file beside the target: unnamed while it is written where the file system allows, so
// that a save killed part-way leaves nothing behind, and named only to be renamed over the target.
// A name it holds is removed unless it has taken the target's place.
struct Temporary {
    Temporary() = default;
    Temporary(Temporary const&) = delete;
    Temporary& operator=(Temporary const&) = delete;
    ~Temporary() {
        out.close();
        if (!name.empty()) ::unlink(name.c_str());
    }
    Descriptor out{-1};
    std::string name;
};

// Opens the new file, again where a signal cut the open short.
int open_new_file(SaveSteps const& steps, char const* path, int flags, mode_t mode) {
    int fd = -1;
    do fd = steps.open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// How a save reaches its path.
enum class Save { replaced, in_place, named_temporary };

// Replaces the file at `path` (`old`, when there is one) by a whole new file: written beside the
// target, given the old file's owner, group and permission bits, and renamed over it, so that a
// failed save leaves the file that was there, or none. `in_place` where the new file could not take
// the old one's place unseen; throws where the new file cannot be made or given the old one's owner
// for another reason, or the bytes cannot all be written, keeping the old file.
Save replace_file(std::string const& path, std::optional<struct stat> const& old, std::span<const uint8_t> file,
                  SaveSteps const& steps, bool unnamed) {
    // Other names of the file would keep the old model.
    if (old && old->st_nlink > 1) return Save::in_place;
    std::filesystem::path const target = final_target(path);
    std::string const name = target.filename().string();
    if (name.empty() || name == "." || name == "..") return Save::in_place;
    struct stat found {};
    if (old && (::lstat(target.c_str(), &found) != 0 || found.st_dev != old->st_dev || found.st_ino != old->st_ino))
        return Save::in_place;  // the links do not lead to the file opened
    std::filesystem::path const dir = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // A hidden name after the target's and the process's, short enough beside any name the
    // directory can hold; one left behind by an earlier process of the same number is passed over.
    std::string stem(1, '.');
    stem.append(name, 0, 200).append(1, '.').append(std::to_string(::getpid())).append(1, '-');
    // Nobody else may open the replacement of an existing file before it has that file's bits.
    mode_t const created = old ? 0600 : 0666;
    Temporary temporary;
    if (unnamed) {
        temporary.out.fd = open_new_file(steps, dir.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, created);
        if (temporary.out.fd < 0 && no_unnamed_files(errno)) return Save::named_temporary;
    } else {
        for (int attempt = 0; attempt <= 100 && temporary.out.fd < 0; ++attempt) {
            temporary.name = (dir / (stem + std::to_string(attempt))).string();
            temporary.out.fd =
                open_new_file(steps, temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, created);
            if (temporary.out.fd < 0 && errno != EEXIST) break;
        }
    }
    if (temporary.out.fd < 0) {
        int const refused = errno;  // why the last open failed
        temporary.name.clear();
        // Any other reason (no room, a failing disk) refuses the save and keeps the old file.
        if (folder_refuses(refused) || no_hidden_name(refused) || no_descriptor_left(refused)) return Save::in_place;
        unable_to_open(path);
    }
    if (old) {
        struct stat made {};
        if (::fstat(temporary.out.fd, &made) != 0) unable_to_write(path);
        // As root the owner is kept; a user who cannot give it writes the file in place.
        bool const owned = (made.st_uid == old->st_uid && made.st_gid == old->st_gid) ||
                           steps.fchown(temporary.out.fd, old->st_uid, old->st_gid) == 0;
        if (!owned || ::fchmod(temporary.out.fd, old->st_mode & 07777) != 0) {
            if (owner_refused(errno)) return Save::in_place;
            unable_to_write(path);
        }
    }
    if (!write_all(steps, temporary.out.fd, file) || ::fsync(temporary.out.fd) != 0) unable_to_write(path);
    if (unnamed) {
        // Named only once whole, just before the rename.
        std::string const self = "/proc/self/fd/" + std::to_string(temporary.out.fd);
        for (int attempt = 0; temporary.name.empty(); ++attempt) {
            std::string const at = (dir / (stem + std::to_string(attempt))).string();
            if (steps.link(self.c_str(), at.c_str()) == 0)
                temporary.name = at;
            else if (errno != EEXIST || attempt == 100)
                return Save::named_temporary;
        }
    }
    if (!temporary.out.close()) unable_to_write(path);
    if (steps.rename(temporary.name.c_str(), target.c_str()) != 0) {
        if (rename_refused(errno)) return Save::in_place;
        unable_to_write(path);
    }
    temporary.name.clear();
    return Save::replaced;
}

}  // namespace

uint64_t model_file_size(uint64_t n) { return 32 + n + n / 6; }

std::vector<uint8_t> encode_model_file(std::span<const uint8_t> serialization) {
    size_t const n = serialization.size();
    std::vector<uint8_t> file(narrow<size_t>(model_file_size(n), "Model file length"), 0);
    size_t compressed = 0;
    snappy::RawCompress(reinterpret_cast<const char*>(serialization.data()), n, reinterpret_cast<char*>(file.data()),
                        &compressed);
    // The compressor may leave scratch bytes past the block; the padding is zeros.
    std::fill(file.begin() + static_cast<std::ptrdiff_t>(compressed), file.end(), uint8_t{0});
    return file;
}

std::vector<uint8_t> decode_model_file(std::span<const uint8_t> file) {
    BlockReader reader(file);
    uint64_t const n = reader.preamble();
    // Checked before allocating: no block yields more than max_expansion times its length.
    if (n > max_expansion * file.size()) corrupted();
    std::vector<uint8_t> out(static_cast<size_t>(n));
    reader.decode(out);
    return out;
}

std::vector<uint8_t> read_model_file(std::string const& path) {
    check_model_path(path);
    // Checked before opening: a FIFO would hold the open until a writer came, and a directory
    // opens but has no length to read. A path that cannot be looked at is left to the open.
    std::error_code error;
    std::filesystem::file_type const type = std::filesystem::status(path, error).type();
    if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::not_found &&
        type != std::filesystem::file_type::none)
        throw std::runtime_error("The model path is not a readable file: " + path);
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("File not found.");
    std::streamoff const end = in.tellg();
    if (end < 1) throw std::runtime_error("File is empty.");
    if (static_cast<uint64_t>(end) >= max_model_file_bytes) throw std::runtime_error("Model file is too large.");
    std::vector<uint8_t> file(static_cast<size_t>(end), 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(file.data()), end);
    if (in.gcount() != end) throw std::runtime_error("Unable to read model file: " + path);
    return decode_model_file(file);
}

void write_model_file(std::string const& path, std::span<const uint8_t> serialization, SaveSteps const& steps) {
    check_model_path(path);
    std::vector<uint8_t> const file = encode_model_file(serialization);
    // Opened without creating or truncating it: whether the path can be written, and what it is.
    Descriptor existing(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    std::optional<struct stat> old;
    if (existing.fd < 0) {
        if (errno != ENOENT) unable_to_open(path);
    } else {
        old.emplace();
        if (::fstat(existing.fd, &*old) != 0) unable_to_write(path);
    }
    // A device or a FIFO cannot be replaced: it takes the bytes as it always did.
    if (!old || S_ISREG(old->st_mode)) {
        Save save = replace_file(path, old, file, steps, true);
        if (save == Save::named_temporary) save = replace_file(path, old, file, steps, false);
        if (save == Save::replaced) return;
        // Written in place: the same file, with its names, owner and links, cut short by a failed write.
        if (!old) {
            existing.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (existing.fd < 0) unable_to_open(path);
        } else if (::ftruncate(existing.fd, 0) != 0) {
            unable_to_write(path);
        }
    }
    if (!write_all(steps, existing.fd, file) || !existing.close()) unable_to_write(path);
}

}  // namespace nuvra::python
