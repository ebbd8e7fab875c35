#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <tuple>

#include "python/model_file.h"
#include "support/child_process.h"
#include "support/error_text.h"

namespace nuvra::python {
namespace {

using Bytes = std::vector<uint8_t>;
using nuvra::testing::error_text;

std::string const corrupted = "Cannot uncompress corrupted serialization buffer";

Bytes pattern(size_t n, size_t period) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i % period) * 37 + i / 251);
    return b;
}

// The open of a save's new file, failing with `unnamed` for the unnamed one and with `named` for a
// named one; 0 lets it open.
template <int unnamed, int named>
int new_file_fails(char const* path, int flags, mode_t mode) {
    int const error = (flags & O_TMPFILE) == O_TMPFILE ? unnamed : named;
    if (error == 0) return ::open(path, flags, mode);
    return errno = error, -1;
}

TEST(ModelFile, RoundTripsAtSnappysLargestLength) {
    // pattern(100, 7): the compressor leaves scratch bytes past this block, which must not stay.
    for (Bytes const& data : {Bytes{}, pattern(100, 7), pattern(70000, 1000), pattern(5000, 5000)}) {
        Bytes const file = encode_model_file(data);
        size_t const n = data.size();
        ASSERT_EQ(file.size(), 32 + n + n / 6) << n;
        EXPECT_EQ(decode_model_file(file), data) << n;
    }
}

TEST(ModelFile, Blocks) {
    Bytes literal61{61, 60 << 2, 60};
    literal61.insert(literal61.end(), 61, 'z');
    Bytes const good = encode_model_file(pattern(3000, 300));
    Bytes flipped = good, padded = good;
    flipped[2] ^= 0x01;  // the first element's tag turns from a literal into a copy
    padded[good.size() - 5] = 0x10;
    std::pair<Bytes, std::string> const rows[] = {
        {{8, 0x04, 'a', 'b', 0x16, 2, 0, 0, 0}, "abababab"},  // an overlapping copy repeats a pattern
        {literal61, std::string(61, 'z')},                    // a literal length in one extra byte
        {{0x80}, corrupted},                                  // preamble cut short
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, corrupted},    // preamble of six bytes
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, corrupted},          // length beyond 32 bits
        {{0xFF, 0x7F}, corrupted},                            // more than the file can hold
        {{4, 0x01, 0x01}, corrupted},                         // copy before the start
        {{5, 0x00, 'a', 0x01, 0x00}, corrupted},              // copy at offset 0
        {{1, 0x04, 'a', 'b'}, corrupted},                     // literal past the length
        {{3, 0x04, 'a', 'b', 0x05, 2, 0}, corrupted},         // copy past the length
        {{3, 0x08, 'a'}, corrupted},                          // literal past the end of the file
        {{3, 0x04, 'a', 'b'}, corrupted},                     // block short of the length
        {{2, 0x04, 'a', 'b', 0, 0, 1}, corrupted},            // non-zero byte after the block
        {Bytes(good.begin(), good.begin() + 200), corrupted},
        {flipped, corrupted},
        {padded, corrupted},
    };
    for (auto const& [file, expected] : rows) {
        std::string got;
        try {
            Bytes const out = decode_model_file(file);
            got.assign(out.begin(), out.end());
        } catch (std::invalid_argument const& e) {
            got = e.what();
        }
        EXPECT_EQ(got, expected) << file.size();
    }
}

TEST(ModelFile, FilesOnDisk) {
    auto const dir = std::filesystem::temp_directory_path() / ("nuvra_model_file_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string const path = (dir / "m.fbz").string(), missing = (dir / "no" / "m.fbz").string();
    Bytes const data = pattern(999, 13);
    write_model_file(path, data);
    EXPECT_EQ(read_model_file(path), data);
    // A new file has the bits the user's umask leaves, as any file the user makes.
    std::string const fresh = (dir / "fresh.fbz").string();
    EXPECT_EQ(testing::in_child([&] {
                  ::umask(022);
                  write_model_file(fresh, data);
                  struct stat made {};
                  return ::stat(fresh.c_str(), &made) == 0 ? std::to_string(made.st_mode & 0777) : "no file";
              }),
              std::to_string(0644));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { write_model_file(missing, data); }),
              "Unable to open file for saving model: " + missing);
    // A write that does not reach the disk is a failure, not a saved model.
    EXPECT_EQ(error_text<std::runtime_error>([&] { write_model_file("/dev/full", data); }),
              "Unable to write model file: /dev/full");
    EXPECT_EQ(error_text<std::runtime_error>([&] { read_model_file(missing); }), "File not found.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { read_model_file(dir.string()); }),
              "The model path is not a readable file: " + dir.string());
    std::string const fifo = (dir / "fifo").string();  // refused before an open that would wait for a writer
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(error_text<std::runtime_error>([&] { read_model_file(fifo); }),
              "The model path is not a readable file: " + fifo);
    // The system would read the path up to the NUL byte, and so name the file at `path`.
    std::string const nul = path + std::string(1, '\0') + ".fbz";
    EXPECT_EQ(error_text<std::invalid_argument>([&] { write_model_file(nul, pattern(50, 7)); }),
              "The model path holds a NUL byte.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { read_model_file(nul); }), "The model path holds a NUL byte.");
    EXPECT_EQ(read_model_file(path), data);
    std::ofstream(path, std::ios::trunc).close();
    EXPECT_EQ(error_text<std::runtime_error>([&] { read_model_file(path); }), "File is empty.");
    std::filesystem::resize_file(path, max_model_file_bytes);  // sparse: refused before it is read
    EXPECT_EQ(error_text<std::runtime_error>([&] { read_model_file(path); }), "Model file is too large.");
    std::filesystem::remove_all(dir);
}

TEST(ModelFile, AFailedSaveKeepsThePreviousFile) {
    namespace fs = std::filesystem;
    fs::path const dir = fs::temp_directory_path() / ("nuvra_model_save_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string const kept = (dir / "kept.fbz").string(), fresh = (dir / "new.fbz").string();
    Bytes const before = pattern(999, 13), after = pattern(5000, 5000);
    write_model_file(kept, before);
    // A file-size limit stops both saves part-way, as a full disk or a quota would.
    std::string const failed = testing::in_child([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit const limit{100, 100};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("the limit could not be set");
        return error_text<std::runtime_error>([&] { write_model_file(kept, after); }) + "\n" +
               error_text<std::runtime_error>([&] { write_model_file(fresh, after); });
    });
    EXPECT_EQ(failed, "Unable to write model file: " + kept + "\nUnable to write model file: " + fresh);
    EXPECT_EQ(read_model_file(kept), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // nothing left beside it
    // A link stays a link, and the file it names keeps its permission bits; a device is written in place.
    fs::create_symlink("kept.fbz", dir / "link.fbz");
    fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    write_model_file((dir / "link.fbz").string(), after);
    EXPECT_TRUE(fs::is_symlink(dir / "link.fbz"));
    EXPECT_EQ(read_model_file(kept), after);
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    write_model_file("/dev/null", after);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    fs::remove_all(dir);
}

// Each row saves over m.fbz after planting something beside it; the save may replace the file or
// write it in place (the same file), and either way keeps its owner, group, bits and every name.
TEST(ModelFile, ASaveKeepsWhatTheFileIs) {
    namespace fs = std::filesystem;
    fs::path const dir = fs::temp_directory_path() / ("nuvra_model_kept_" + std::to_string(::getpid()));
    std::string const m = (dir / "m.fbz").string(), a = (dir / "a").string();
    std::string const first_temporary = (dir / (".m.fbz." + std::to_string(::getpid()) + "-0")).string();
    Bytes const before = pattern(999, 13), after = pattern(5000, 5000);
    Bytes const less = pattern(100, 7);  // a file shorter than the block of `after`
    SaveSteps named, no_unnamed, no_room, no_names, refused_folder, failing_disk, refused_owner, unmapped_owner,
        failed_owner, refused_rename, busy_rename, failed_rename, killed;
    named.link = [](char const*, char const*) { return errno = EOPNOTSUPP, -1; };  // no unnamed files here
    no_unnamed.open = new_file_fails<EOPNOTSUPP, 0>;
    no_room.open = new_file_fails<EOPNOTSUPP, ENOSPC>;
    no_names.open = new_file_fails<EOPNOTSUPP, EEXIST>;
    refused_folder.open = new_file_fails<EACCES, EACCES>;
    failing_disk.open = new_file_fails<EIO, EIO>;
    refused_owner.fchown = [](int, uid_t, gid_t) { return errno = EPERM, -1; };
    unmapped_owner.fchown = [](int, uid_t, gid_t) { return errno = EINVAL, -1; };
    failed_owner.fchown = [](int, uid_t, gid_t) { return errno = EIO, -1; };
    refused_rename.rename = [](char const*, char const*) { return errno = EXDEV, -1; };
    busy_rename.rename = [](char const*, char const*) { return errno = EBUSY, -1; };
    failed_rename.rename = [](char const*, char const*) { return errno = EIO, -1; };
    killed.write = [](int fd, void const* bytes, size_t n) -> ssize_t {
        ssize_t const half = ::write(fd, bytes, n / 2);
        ::raise(SIGKILL);
        return half;
    };
    bool const root = ::geteuid() == 0;
    // Who saves: this process, or only where it is root for a row that gives the file away; a child
    // process, as uid 65534 for nobody.
    enum Saver { self, child, nobody, owned_by_root };
    struct Row {
        char const* what;
        std::function<void()> plant;
        std::string saved_at;
        SaveSteps steps;
        Saver saver;
        std::string said;
        bool in_place;
        Bytes holds;
        bool saves_less = false;  // saves `less` instead of `after`
    };
    auto give_away = [&] { ASSERT_EQ(::chown(m.c_str(), 65534, 65534), 0); };
    Row const rows[] = {
        {"a chain of links", [&] { fs::create_symlink("m.fbz", dir / "b"); fs::create_symlink("b", a); }, a, {}, self,
         "", false, after},
        {"a loop of links", [&] { fs::create_symlink("a", dir / "b"); fs::create_symlink("b", a); }, a, {}, self,
         "Unable to open file for saving model: " + a, true, before},
        {"a link planted at the temporary's name", [&] { fs::create_symlink("planted", first_temporary); }, m, named,
         self, "", false, after},
        {"an earlier process's temporary", [&] { std::ofstream(first_temporary) << "stale"; }, m, {}, self, "", false,
         after},
        {"a second hard link", [&] { fs::create_hard_link(m, a); }, m, {}, self, "", true, after},
        {"another owner, kept by root", [&] { ASSERT_EQ(root ? ::chown(m.c_str(), 65534, 65534) : 0, 0); }, m, {},
         self, "", false, after},
        {"a writable file in a read-only folder", [&] { ::chmod(m.c_str(), 0666); ::chmod(dir.c_str(), 0555); }, m, {},
         nobody, "", true, after},
        {"a smaller model over a second hard link", [&] { write_model_file(m, after); fs::create_hard_link(m, a); }, m,
         {}, self, "", true, less, true},
        {"no unnamed files", [] {}, m, no_unnamed, self, "", false, after},
        {"no room for a new file", [] {}, m, no_room, self, "Unable to open file for saving model: " + m, true, before},
        {"every hidden name taken", [] {}, m, no_names, self, "", true, after},
        {"a folder that refuses a new file", [] {}, m, refused_folder, self, "", true, after},
        {"a failing disk", [] {}, m, failing_disk, self, "Unable to open file for saving model: " + m, true, before},
        {"an owner the saver cannot give", give_away, m, refused_owner, owned_by_root, "", true, after},
        {"an owner outside the user namespace", give_away, m, unmapped_owner, owned_by_root, "", true, after},
        {"an owner lost to a failing disk", give_away, m, failed_owner, owned_by_root,
         "Unable to write model file: " + m, true, before},
        {"a refused rename", [] {}, m, refused_rename, self, "", true, after},
        {"a busy rename", [] {}, m, busy_rename, self, "", true, after},
        {"a failed rename", [] {}, m, failed_rename, self, "Unable to write model file: " + m, true, before},
        {"a save killed part-way", [] {}, m, killed, child, "the child process ended abnormally (status 9)", true,
         before},
    };
    auto listing = [&] {
        std::set<std::string> names;
        for (fs::directory_entry const& e : fs::directory_iterator(dir))
            names.insert(e.path().filename().string() + (e.is_symlink() ? "@" : ""));
        return names;
    };
    for (Row const& row : rows) {
        if ((row.saver == nobody || row.saver == owned_by_root) && !root) continue;
        fs::remove_all(dir);
        fs::create_directories(dir);
        write_model_file(m, before);
        row.plant();
        struct stat was {}, is {};
        ASSERT_EQ(::stat(m.c_str(), &was), 0);
        std::set<std::string> const names = listing();
        int const held = ::open(m.c_str(), O_RDONLY | O_CLOEXEC);
        auto save = [&] { write_model_file(row.saved_at, row.saves_less ? less : after, row.steps); };
        std::string const said =
            row.saver == child || row.saver == nobody
                ? testing::in_child([&] {
                      if (row.saver == nobody &&
                          (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
                          return std::string("no other user");
                      return error_text<std::exception>(save);
                  })
                : error_text<std::exception>(save);
        EXPECT_EQ(said, row.said) << row.what;
        EXPECT_EQ(read_model_file(m), row.holds) << row.what;
        // A reader that opened the file before the save goes on reading the old one where it was replaced.
        EXPECT_EQ(read_model_file("/proc/self/fd/" + std::to_string(held)), row.in_place ? row.holds : before)
            << row.what;
        ::close(held);
        ASSERT_EQ(::stat(m.c_str(), &is), 0);
        EXPECT_EQ(is.st_ino == was.st_ino, row.in_place) << row.what;
        EXPECT_EQ(std::make_tuple(is.st_uid, is.st_gid, is.st_mode, is.st_nlink),
                  std::make_tuple(was.st_uid, was.st_gid, was.st_mode, was.st_nlink)) << row.what;
        // Nothing left beside the file, nothing taken away; a killed save leaves a named temporary
        // only where the file system has no unnamed ones.
        int const unnamed = ::open(dir.c_str(), O_WRONLY | O_TMPFILE, 0600);
        if (unnamed >= 0) ::close(unnamed);
        if (unnamed >= 0 || row.saver != child) {
            EXPECT_EQ(listing(), names) << row.what;
        }
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace nuvra::python
