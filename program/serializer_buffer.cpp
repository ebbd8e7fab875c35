#include "program/serializer_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

#include "hw/arith.h"

namespace nuvra::program {

namespace {

// Programs are megabytes: their region ends on a huge-page boundary and asks for huge pages, so
// that writing it takes a handful of page faults rather than one per 4 KiB.
constexpr uintptr_t huge_page_bytes = uintptr_t{2} << 20;

uintptr_t page_bytes() {
    static uintptr_t const size = uintptr_t(sysconf(_SC_PAGESIZE));
    return size;
}

// The pages of the last program given back, kept for the next one: a program written into pages
// already in memory costs neither page faults nor the kernel's zeroing of fresh pages. At most
// one such run is kept, and only one of at most `max_spare_bytes`.
constexpr size_t max_spare_bytes = size_t{64} << 20;

struct SparePages {
    std::mutex mutex;
    uint8_t* base = nullptr;  // ends on a huge-page boundary
    size_t size = 0;
};

SparePages& spare_pages() {
    static SparePages spare;
    return spare;
}

}  // namespace

PageRegion::PageRegion(size_t bytes) {
    if (bytes > SIZE_MAX - 2 * huge_page_bytes) throw std::bad_alloc();
    // A huge page more than the region, so that it still holds `bytes` once cut at a boundary.
    size_t const mapped = align_up(bytes + huge_page_bytes, huge_page_bytes);
    void* const base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<uint8_t*>(base);
    mapped_ = mapped;
    // The last huge-page boundary inside the mapping ends the region; what lies above it goes back.
    uintptr_t const top = (reinterpret_cast<uintptr_t>(base_) + mapped_) / huge_page_bytes * huge_page_bytes;
    size_ = bytes;
    begin_ = reinterpret_cast<uint8_t*>(top) - bytes;
    if (uintptr_t const tail = reinterpret_cast<uintptr_t>(base_) + mapped_ - top; tail > 0) {
        munmap(reinterpret_cast<void*>(top), tail);
        mapped_ -= tail;
    }
#ifdef MADV_HUGEPAGE
    madvise(base_, mapped_, MADV_HUGEPAGE);  // advice only: without huge pages, plain pages serve
#endif
#ifdef MREMAP_FIXED
    // The spare pages move to the top of the region, where program_data is written first.
    SparePages& spare = spare_pages();
    std::lock_guard const lock(spare.mutex);
    if (spare.base == nullptr) return;
    if (spare.size <= mapped_ &&
        mremap(spare.base, spare.size, spare.size, MREMAP_MAYMOVE | MREMAP_FIXED, end() - spare.size) != MAP_FAILED) {
        spare.base = nullptr;
        spare.size = 0;
    }
#endif
}

PageRegion::PageRegion(PageRegion&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      begin_(std::exchange(other.begin_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

PageRegion& PageRegion::operator=(PageRegion&& other) noexcept {
    if (this != &other) {
        unmap();
        base_ = std::exchange(other.base_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        begin_ = std::exchange(other.begin_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

PageRegion::~PageRegion() { unmap(); }

void PageRegion::unmap() {
    if (base_ != nullptr) {
        // The newest pages given back are kept for the next program, the older ones go.
        SparePages& spare = spare_pages();
        std::lock_guard const lock(spare.mutex);
        if (spare.base != nullptr) munmap(spare.base, spare.size);
        spare.base = nullptr;
        spare.size = 0;
        if (mapped_ <= max_spare_bytes && reinterpret_cast<uintptr_t>(base_ + mapped_) % huge_page_bytes == 0) {
            spare.base = base_;
            spare.size = mapped_;
        } else {
            munmap(base_, mapped_);
        }
    }
    base_ = nullptr;
    mapped_ = 0;
    begin_ = nullptr;
    size_ = 0;
}

void PageRegion::release_below(uint8_t const* keep) {
    if (keep < begin_ || keep > end()) throw std::logic_error("A kept program byte lies outside its page region.");
    uintptr_t const cut = reinterpret_cast<uintptr_t>(keep) / page_bytes() * page_bytes();
    uintptr_t const base = reinterpret_cast<uintptr_t>(base_);
    if (cut <= base) return;
    munmap(base_, cut - base);
    mapped_ -= cut - base;
    base_ = reinterpret_cast<uint8_t*>(cut);
    if (begin_ < base_) {
        size_ -= size_t(base_ - begin_);
        begin_ = base_;
    }
}

ProgramBuffer::ProgramBuffer(std::vector<uint8_t> bytes) : vector_(std::move(bytes)), view_(vector_) {}

ProgramBuffer::ProgramBuffer(PageRegion region, std::span<const uint8_t> bytes)
    : region_(std::move(region)), view_(bytes) {
    if (!bytes.empty() && (bytes.data() < region_.begin() || bytes.data() + bytes.size() > region_.end()))
        throw std::logic_error("A program lies outside its page region.");
}

ProgramBuffer::ProgramBuffer(ProgramBuffer&& other) noexcept
    : vector_(std::move(other.vector_)), region_(std::move(other.region_)), view_(std::exchange(other.view_, {})) {}

ProgramBuffer& ProgramBuffer::operator=(ProgramBuffer&& other) noexcept {
    if (this != &other) {
        vector_ = std::move(other.vector_);
        region_ = std::move(other.region_);
        view_ = std::exchange(other.view_, {});
    }
    return *this;
}

}  // namespace nuvra::program
