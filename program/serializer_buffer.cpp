#include "program/serializer_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "hw/arith.h"
#include "hw/process_state.h"

namespace nuvra::program {

namespace {

using Pages = PageRegion::Pages;
using Run = hw::PageRun;
using hw::run_bytes;
using hw::run_high;
using hw::run_low;
using hw::unmap_run;
using state::page_bytes;

// Programs are megabytes: a fresh mapping is whole huge pages and asks for them, so that writing it
// takes a handful of page faults rather than one per 4 KiB, and its pages move as huge pages.
constexpr uintptr_t huge_page_bytes = uintptr_t{2} << 20;

// Plain memory starts and ends on this boundary, which suits any value a program holds.
constexpr size_t plain_alignment = 64;

constexpr int page_protection = PROT_READ | PROT_WRITE;
constexpr int page_flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;

uintptr_t address(void const* p) { return reinterpret_cast<uintptr_t>(p); }
uint8_t* at_address(uintptr_t a) { return reinterpret_cast<uint8_t*>(a); }

// Takes the pages of `run` below `cut` (a page boundary) out of it.
Run split_below(Run& run, uint8_t* cut) {
    Run below;
    auto it = run.begin();
    for (; it != run.end() && it->base + it->size <= cut; ++it) below.push_back(*it);
    if (it != run.end() && it->base < cut) {
        below.push_back({it->base, size_t(cut - it->base)});
        it->size -= size_t(cut - it->base);
        it->base = cut;
    }
    run.erase(run.begin(), it);
    return below;
}

// What page regions did in this process (process-wide state, listed in hw/process_state.h).
struct Counts {
    std::atomic<uint64_t> mapped{0};
    std::atomic<uint64_t> reused{0};
    std::atomic<uint64_t> plain{0};
};

Counts& counts() {
    static Counts c;
    return c;
}

// A fresh mapping of `bytes` (1 or more) rounded up to whole huge pages, starting and ending on
// huge-page boundaries and asking for huge pages; empty when none can be mapped.
Run map_fresh(size_t bytes) {
    if (bytes > SIZE_MAX - 2 * huge_page_bytes) return {};
    size_t const size = align_up(bytes, huge_page_bytes);
    // A huge page less a page more, so that a huge-page boundary starts the mapping's whole pages.
    size_t const length = size + huge_page_bytes - page_bytes();
    void* const mapped = mmap(nullptr, length, page_protection, page_flags, -1, 0);
    if (mapped == MAP_FAILED) return {};
    uintptr_t const base = align_up(address(mapped), huge_page_bytes);
    if (base > address(mapped)) munmap(mapped, base - address(mapped));
    if (uintptr_t const tail = address(mapped) + length - (base + size); tail > 0) munmap(at_address(base + size), tail);
#ifdef MADV_HUGEPAGE
    madvise(at_address(base), size, MADV_HUGEPAGE);  // advice only: without huge pages, plain pages serve
#endif
    ++counts().mapped;
    return {{at_address(base), size}};
}

// Moves whole pages to `to`, inside a mapping of ours. When the kernel cannot move them, the
// destination is mapped again and the bytes copied; false when that fails too.
bool move_pages(Pages const& from, uint8_t* to) {
    if (mremap(from.base, from.size, from.size, MREMAP_MAYMOVE | MREMAP_FIXED, to) != MAP_FAILED) return true;
    if (mmap(to, from.size, page_protection, page_flags | MAP_FIXED, -1, 0) == MAP_FAILED) return false;
    std::memcpy(to, from.base, from.size);
    munmap(from.base, from.size);
    return true;
}

}  // namespace

PageRegion::PageRegion(size_t bytes) {
    size_t const wanted = bytes == 0 ? 1 : bytes;
    pages_ = state::kept_program_pages().take(wanted);
    if (!pages_.empty()) {
        ++counts().reused;
    } else {
        pages_ = map_fresh(wanted);
    }
    if (!pages_.empty()) {
        begin_ = run_high(pages_) - bytes;
        size_ = bytes;
        return;
    }
    // No address space for a mapping: plain memory, ending on an aligned address.
    size_t const length = align_up(wanted, plain_alignment);
    plain_ = static_cast<uint8_t*>(::operator new(length, std::align_val_t{plain_alignment}, std::nothrow));
    if (plain_ == nullptr) throw std::bad_alloc();
    ++counts().plain;
    begin_ = plain_ + length - bytes;
    size_ = bytes;
}

PageRegion::PageRegion(PageRegion&& other) noexcept
    : pages_(std::exchange(other.pages_, {})),
      plain_(std::exchange(other.plain_, nullptr)),
      begin_(std::exchange(other.begin_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

PageRegion& PageRegion::operator=(PageRegion&& other) noexcept {
    if (this != &other) {
        give_back();
        pages_ = std::exchange(other.pages_, {});
        plain_ = std::exchange(other.plain_, nullptr);
        begin_ = std::exchange(other.begin_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

PageRegion::~PageRegion() { give_back(); }

void PageRegion::give_back() noexcept {
    if (plain_ != nullptr) ::operator delete(plain_, std::align_val_t{plain_alignment});
    if (!pages_.empty()) {
        try {
            state::kept_program_pages().keep(pages_);
        } catch (std::bad_alloc const&) {
            unmap_run(pages_);
        }
        pages_.clear();
    }
    plain_ = nullptr;
    begin_ = nullptr;
    size_ = 0;
}

void PageRegion::grow(size_t bytes, size_t front, size_t back) {
    if (bytes < size_ || front > size_ || back > size_ - front)
        throw std::logic_error("A page region cannot grow as asked.");
    // Room below in its own pages: only the first bytes move.
    if (!pages_.empty() && size_t(end() - run_low(pages_)) >= bytes) {
        uint8_t* const begin = end() - bytes;
        std::memmove(begin, begin_, front);
        begin_ = begin;
        size_ = bytes;
        return;
    }
    PageRegion larger;
    larger.pages_ = map_fresh(bytes);
    if (larger.pages_.empty()) {
        larger = PageRegion(bytes);  // kept pages that hold it, or plain memory
    } else {
        larger.begin_ = run_high(larger.pages_) - bytes;
        larger.size_ = bytes;
    }
    if (pages_.empty() || larger.pages_.empty()) {
        if (back > 0) std::memcpy(larger.end() - back, end() - back, back);
        if (front > 0) std::memcpy(larger.begin_, begin_, front);
        *this = std::move(larger);
        return;
    }
    // Every page moves, unchanged, to the same distance below the end of the larger pages, in place
    // of those there; the larger pages below them stay.
    uintptr_t const shift = address(run_high(larger.pages_)) - address(run_high(pages_));
    Run moved = split_below(larger.pages_, at_address(address(run_low(pages_)) + shift));
    while (!pages_.empty()) {
        Pages const from = pages_.front();
        uint8_t* const to = at_address(address(from.base) + shift);
        if (!move_pages(from, to)) {
            // No memory can be mapped at all: the bytes are lost, in either place.
            unmap_run(moved);
            unmap_run(larger.pages_);
            larger.pages_.clear();
            unmap_run(pages_);
            pages_.clear();
            begin_ = nullptr;
            size_ = 0;
            throw std::bad_alloc();
        }
        pages_.erase(pages_.begin());
        moved.push_back({to, from.size});
    }
    larger.pages_ = std::move(moved);
    std::memmove(larger.begin_, at_address(address(begin_) + shift), front);
    *this = std::move(larger);
}

void PageRegion::release_below(uint8_t const* keep) {
    if (keep < begin_ || keep > end()) throw std::logic_error("A kept program byte lies outside its page region.");
    if (pages_.empty()) return;
    uint8_t* const cut = at_address(address(keep) / page_bytes() * page_bytes());
    if (cut <= run_low(pages_)) return;
    Run below = split_below(pages_, cut);
    if (begin_ < cut) {
        size_ -= size_t(cut - begin_);
        begin_ = cut;
    }
    try {
        state::kept_program_pages().keep(below);
    } catch (std::bad_alloc const&) {
        unmap_run(below);
    }
}

PageRegionCounts page_region_counts() {
    Counts const& c = counts();
    return {c.mapped.load(), c.reused.load(), c.plain.load()};
}

void release_spare_pages() { state::kept_program_pages().release(); }

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
