// The memory the serializer writes a program into, and the finished program handed on from there
// to its sequence without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nuvra::program {

// Address space mapped for one program. Memory comes page by page as it is first written, so a
// region may be reserved far larger than the program it will hold.
class PageRegion {
public:
    PageRegion() = default;
    // At least `bytes` bytes, ending on a huge-page boundary; std::bad_alloc when none can be
    // mapped.
    explicit PageRegion(size_t bytes);
    PageRegion(PageRegion&& other) noexcept;
    PageRegion& operator=(PageRegion&& other) noexcept;
    ~PageRegion();

    uint8_t* begin() const { return begin_; }
    uint8_t* end() const { return begin_ + size_; }
    size_t size() const { return size_; }

    // Gives back the whole pages below `keep`, which points inside the region.
    void release_below(uint8_t const* keep);

private:
    void unmap();

    uint8_t* base_ = nullptr;  // what was mapped
    size_t mapped_ = 0;
    uint8_t* begin_ = nullptr;  // the part in use
    size_t size_ = 0;
};

// The bytes of a finished program: either a vector's or a span of the region they were written
// into. Moves without copying the bytes.
class ProgramBuffer {
public:
    ProgramBuffer() = default;
    // Takes the vector's bytes over (implicit: a vector of bytes is a program buffer).
    ProgramBuffer(std::vector<uint8_t> bytes);
    // `bytes` lies inside `region`.
    ProgramBuffer(PageRegion region, std::span<const uint8_t> bytes);

    ProgramBuffer(ProgramBuffer&& other) noexcept;
    ProgramBuffer& operator=(ProgramBuffer&& other) noexcept;

    std::span<const uint8_t> bytes() const { return view_; }
    uint8_t const* data() const { return view_.data(); }
    size_t size() const { return view_.size(); }
    std::vector<uint8_t> to_vector() const { return {view_.begin(), view_.end()}; }

private:
    std::vector<uint8_t> vector_;
    PageRegion region_;
    std::span<const uint8_t> view_;
};

}  // namespace nuvra::program
