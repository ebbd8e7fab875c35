// The memory the serializer writes a program into, and the finished program handed on from there
// to its sequence without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hw/pools.h"

namespace nuvra::program {

// Address space mapped for one program, as large as the program needs and grown with it. Memory
// comes page by page as it is first written. The pages of a region given back are kept for the
// next regions (a bounded amount: state::kept_program_pages(), hw/process_state.h), and a region
// takes kept pages that hold what it asks for, so a program written again costs neither page
// faults nor the kernel's zeroing of fresh pages. When no address space can be mapped, a region is
// plain memory.
class PageRegion {
public:
    PageRegion() = default;
    // At least `bytes` bytes: kept pages when some hold them, else a fresh mapping of whole huge
    // pages, else plain memory; std::bad_alloc when none can be had.
    explicit PageRegion(size_t bytes);
    PageRegion(PageRegion&& other) noexcept;
    PageRegion& operator=(PageRegion&& other) noexcept;
    ~PageRegion();

    uint8_t* begin() const { return begin_; }
    uint8_t* end() const { return begin_ + size_; }
    size_t size() const { return size_; }

    // Makes the region `bytes` long (not less than now): its last `back` bytes stay its last and
    // its first `front` bytes its first. The region keeps its end when its pages have room below
    // it; otherwise its pages move, unchanged, to the end of a larger mapping (or, to or from plain
    // memory, those bytes are copied). std::bad_alloc when no memory can be had: the region is then
    // as it was, unless the kernel could not even map the place of pages it was moving, which
    // leaves it empty. std::logic_error when `front` and `back` overlap or the region would shrink.
    void grow(size_t bytes, size_t front, size_t back);

    // Gives back the whole pages below `keep`, which points inside the region.
    void release_below(uint8_t const* keep);

    // Whole pages that lie inside one mapping of the kernel's, so that they move with one call.
    using Pages = hw::PageSpan;

private:
    // The pages go to those kept for later regions (or, without memory to list them, back to the
    // system), plain memory back to the heap.
    void give_back() noexcept;

    std::vector<Pages> pages_;  // contiguous, from the lowest address; empty in plain memory
    uint8_t* plain_ = nullptr;  // plain memory, as allocated
    uint8_t* begin_ = nullptr;  // the part in use, which ends at the end of the pages
    size_t size_ = 0;
};

// What page regions did in this process so far.
struct PageRegionCounts {
    uint64_t mapped = 0;  // fresh mappings made (for a new region or a region that grew past its pages)
    uint64_t reused = 0;  // regions made of kept pages
    uint64_t plain = 0;   // regions (or growths) in plain memory after a mapping failed
};
PageRegionCounts page_region_counts();

// Unmaps the pages kept for later regions (state::kept_program_pages()).
void release_spare_pages();

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
