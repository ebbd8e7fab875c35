#include "program/serializer_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

#include "hw/arith.h"

namespace nuvra::program {

namespace {

using Pages = PageRegion::Pages;
// Contiguous pages, from the lowest address, in pieces that each move with one call.
using Run = std::vector<Pages>;

// Programs are megabytes: a fresh mapping is whole huge pages and asks for them, so that writing it
// takes a handful of page faults rather than one per 4 KiB, and its pages move as huge pages.
constexpr uintptr_t huge_page_bytes = uintptr_t{2} << 20;

// Plain memory starts and ends on this boundary, which suits any value a program holds.
constexpr size_t plain_alignment = 64;

// The pages kept for later regions: at most this many bytes in at most this many runs, the oldest
// unmapped first.
constexpr size_t max_spare_bytes = size_t{64} << 20;
constexpr size_t max_spare_runs = 8;

constexpr int page_protection = PROT_READ | PROT_WRITE;
constexpr int page_flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;

uintptr_t page_bytes() {
    static uintptr_t const size = uintptr_t(sysconf(_SC_PAGESIZE));
    return size;
}

uintptr_t address(void const* p) { return reinterpret_cast<uintptr_t>(p); }
uint8_t* at_address(uintptr_t a) { return reinterpret_cast<uint8_t*>(a); }

uint8_t* low_of(Run const& run) { return run.front().base; }
uint8_t* high_of(Run const& run) { return run.back().base + run.back().size; }
size_t bytes_of(Run const& run) { return size_t(high_of(run) - low_of(run)); }

void unmap(Run const& run) {
    if (!run.empty()) munmap(low_of(run), bytes_of(run));
}

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

struct Counts {
    std::atomic<uint64_t> mapped{0};
    std::atomic<uint64_t> reused{0};
    std::atomic<uint64_t> plain{0};
};

Counts& counts() {
    static Counts c;
    return c;
}

// The pages of the regions given back, kept for the next ones: a program written into pages
// already in memory costs neither page faults nor the kernel's zeroing of fresh pages.
class SparePages {
public:
    // Keeps the pages of `run`, joined to the kept runs it continues, and empties it; past the
    // bounds, unmaps the oldest runs (and of a run larger than the bound alone, its lowest pages).
    // When memory for the list runs out, `run` and the kept runs stay as they were.
    void keep(Run& run) {
        if (run.empty()) return;
        std::vector<Run> gone;
        {
            std::lock_guard const lock(mutex_);
            runs_.reserve(runs_.size() + 1);
            gone.reserve(runs_.size() + 1);
            // The kept runs just below and just above it, by index.
            size_t const none = runs_.size();
            size_t below = none, above = none;
            for (size_t i = 0; i < runs_.size(); ++i) {
                if (high_of(runs_[i]) == low_of(run)) below = i;
                if (low_of(runs_[i]) == high_of(run)) above = i;
            }
            Run joined;
            joined.reserve((below != none ? runs_[below].size() : 0) + run.size() +
                           (above != none ? runs_[above].size() : 0));
            // From here on nothing allocates.
            if (below != none) joined.insert(joined.end(), runs_[below].begin(), runs_[below].end());
            joined.insert(joined.end(), run.begin(), run.end());
            if (above != none) joined.insert(joined.end(), runs_[above].begin(), runs_[above].end());
            run.clear();
            // The later of the two goes first, so that the other keeps its index.
            for (size_t i : {std::max(below, above), std::min(below, above)}) {
                if (i >= none) continue;
                bytes_ -= bytes_of(runs_[i]);
                runs_.erase(runs_.begin() + std::ptrdiff_t(i));
            }
            if (bytes_of(joined) > max_spare_bytes) {
                uint8_t* const cut = high_of(joined) - max_spare_bytes;
                munmap(low_of(joined), size_t(cut - low_of(joined)));
                auto first = joined.begin();
                while (first->base + first->size <= cut) ++first;
                if (first->base < cut) {
                    first->size -= size_t(cut - first->base);
                    first->base = cut;
                }
                joined.erase(joined.begin(), first);
            }
            bytes_ += bytes_of(joined);
            runs_.push_back(std::move(joined));
            while (bytes_ > max_spare_bytes || runs_.size() > max_spare_runs) {
                bytes_ -= bytes_of(runs_.front());
                gone.push_back(std::move(runs_.front()));
                runs_.erase(runs_.begin());
            }
        }
        for (Run const& r : gone) unmap(r);
    }

    // The largest kept run when it holds `bytes`; empty otherwise.
    Run take(size_t bytes) {
        std::lock_guard const lock(mutex_);
        auto best = runs_.end();
        for (auto it = runs_.begin(); it != runs_.end(); ++it)
            if (bytes_of(*it) >= bytes && (best == runs_.end() || bytes_of(*it) > bytes_of(*best))) best = it;
        if (best == runs_.end()) return {};
        Run run = std::move(*best);
        runs_.erase(best);
        bytes_ -= bytes_of(run);
        return run;
    }

    void release() {
        std::vector<Run> gone;
        {
            std::lock_guard const lock(mutex_);
            gone.swap(runs_);
            bytes_ = 0;
        }
        for (Run const& r : gone) unmap(r);
    }

private:
    std::mutex mutex_;
    std::vector<Run> runs_;  // the oldest first
    size_t bytes_ = 0;
};

SparePages& spare_pages() {
    // Never destroyed: a program may be given back while static objects are being destroyed.
    static SparePages* const spare = new SparePages;
    return *spare;
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
    pages_ = spare_pages().take(wanted);
    if (!pages_.empty()) {
        ++counts().reused;
    } else {
        pages_ = map_fresh(wanted);
    }
    if (!pages_.empty()) {
        begin_ = high_of(pages_) - bytes;
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
            spare_pages().keep(pages_);
        } catch (std::bad_alloc const&) {
            unmap(pages_);
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
    if (!pages_.empty() && size_t(end() - low_of(pages_)) >= bytes) {
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
        larger.begin_ = high_of(larger.pages_) - bytes;
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
    uintptr_t const shift = address(high_of(larger.pages_)) - address(high_of(pages_));
    Run moved = split_below(larger.pages_, at_address(address(low_of(pages_)) + shift));
    while (!pages_.empty()) {
        Pages const from = pages_.front();
        uint8_t* const to = at_address(address(from.base) + shift);
        if (!move_pages(from, to)) {
            // No memory can be mapped at all: the bytes are lost, in either place.
            unmap(moved);
            unmap(larger.pages_);
            larger.pages_.clear();
            unmap(pages_);
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
    if (cut <= low_of(pages_)) return;
    Run below = split_below(pages_, cut);
    if (begin_ < cut) {
        size_ -= size_t(cut - begin_);
        begin_ = cut;
    }
    try {
        spare_pages().keep(below);
    } catch (std::bad_alloc const&) {
        unmap(below);
    }
}

PageRegionCounts page_region_counts() {
    Counts const& c = counts();
    return {c.mapped.load(), c.reused.load(), c.plain.load()};
}

void release_spare_pages() { spare_pages().release(); }

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
