// Bounded pools of memory kept from one call to the next, so that a call does not fault in anew
// the pages it had a moment ago. A pool knows sizes and bounds, not what its memory holds; the
// process-wide pools, their bounds and their locks are in hw/process_state.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace nuvra::hw {

// Blocks of T kept by capacity, at most `max_kept` elements in all; every call takes the pool's
// mutex.
template <class T>
class BlockPool {
public:
    explicit BlockPool(size_t max_kept) : max_kept_(max_kept) {}
    BlockPool(BlockPool const&) = delete;
    BlockPool& operator=(BlockPool const&) = delete;
    ~BlockPool() {
        for (auto const& block : free_) delete[] block.second;
    }

    // A block of at least `count` elements and its capacity: the smallest kept block that holds
    // them when it is at most twice as large, else a new one of exactly `count`.
    std::pair<T*, size_t> take(size_t count) {
        {
            std::lock_guard const lock(mutex_);
            auto const at = free_.lower_bound(count);
            if (at != free_.end() && at->first - count <= count) {
                std::pair<T*, size_t> const block{at->second, at->first};
                kept_ -= at->first;
                free_.erase(at);
                return block;
            }
        }
        return {new T[count], count};
    }

    // Keeps a block of take() for later when the kept elements stay within the bound, else (or
    // without memory to list it) frees it.
    void give(T* data, size_t capacity) noexcept {
        {
            std::lock_guard const lock(mutex_);
            if (capacity <= max_kept_ - kept_) {
                try {
                    free_.emplace(capacity, data);
                    kept_ += capacity;
                    return;
                } catch (...) {  // no memory for the list: the block goes back below
                }
            }
        }
        delete[] data;
    }

    // The elements kept now.
    size_t kept() const {
        std::lock_guard const lock(mutex_);
        return kept_;
    }

private:
    mutable std::mutex mutex_;
    std::multimap<size_t, T*> free_;  // capacity, block
    size_t kept_ = 0;
    size_t const max_kept_;
};

// Spare vectors of T, emptied with their capacity kept, for the next user of the same thread: no
// lock, each thread keeps its own list. At most `max_buffers` buffers of `max_elements` elements
// of capacity in all; a buffer of less than `min_capacity` is not kept.
template <class T>
class SpareBuffers {
public:
    struct Bounds {
        size_t max_buffers;
        uint64_t max_elements;
        uint64_t min_capacity;
    };

    explicit SpareBuffers(Bounds bounds) : bounds_(bounds) {}

    // The smallest kept buffer of a capacity of `count` or more (the first kept of equal ones),
    // else an empty vector of no capacity.
    std::vector<T> take(uint64_t count) {
        auto best = buffers_.end();
        for (auto it = buffers_.begin(); it != buffers_.end(); ++it)
            if (it->capacity() >= count && (best == buffers_.end() || it->capacity() < best->capacity())) best = it;
        if (best == buffers_.end()) return {};
        std::vector<T> buffer = std::move(*best);
        buffers_.erase(best);
        elements_ -= buffer.capacity();
        return buffer;
    }

    // Keeps `buffer` emptied when it is large enough and there is room; otherwise it stays with the
    // caller. Never fails: without memory for the list the buffer is not kept.
    void keep(std::vector<T>&& buffer) noexcept {
        uint64_t const capacity = buffer.capacity();
        if (capacity < bounds_.min_capacity || buffers_.size() >= bounds_.max_buffers ||
            capacity > bounds_.max_elements - elements_)
            return;
        try {
            if (buffers_.capacity() == 0) buffers_.reserve(bounds_.max_buffers);
            buffer.clear();
            buffers_.push_back(std::move(buffer));
            elements_ += capacity;
        } catch (...) {  // out of memory for the list: the buffer stays with the caller
        }
    }

    size_t buffers() const { return buffers_.size(); }
    // Their capacities, in elements.
    uint64_t elements() const { return elements_; }

private:
    Bounds const bounds_;
    std::vector<std::vector<T>> buffers_;  // the oldest first
    uint64_t elements_ = 0;
};

// Whole pages [base, base + size) that lie inside one mapping of the kernel's, so that they move or
// unmap with one call.
struct PageSpan {
    uint8_t* base;
    size_t size;
};
// Contiguous pages, from the lowest address, in spans.
using PageRun = std::vector<PageSpan>;

inline uint8_t* run_low(PageRun const& run) { return run.front().base; }
inline uint8_t* run_high(PageRun const& run) { return run.back().base + run.back().size; }
inline size_t run_bytes(PageRun const& run) { return size_t(run_high(run) - run_low(run)); }
// Gives the pages of `run` back to the system (nothing for an empty run).
void unmap_run(PageRun const& run) noexcept;

// Gives whole pages [base, base + size) back to the system.
void unmap_pages(uint8_t* base, size_t size) noexcept;

// Runs of mapped pages given back, kept for later: at most `max_bytes` bytes in at most `max_runs`
// runs, the oldest unmapped first. Every call takes the list's mutex. The pages the list lets go
// go to `unmap` (munmap by default; a caller that must see them, such as a test, gives its own,
// which should not throw), one call per contiguous range, outside the lock; a call that throws
// loses its range alone, and the list goes on with the others without throwing.
class PageRunList {
public:
    using Unmap = std::function<void(uint8_t* base, size_t size)>;

    PageRunList(size_t max_bytes, size_t max_runs, Unmap unmap = unmap_pages)
        : unmap_(std::move(unmap)), max_bytes_(max_bytes), max_runs_(max_runs) {}
    PageRunList(PageRunList const&) = delete;
    PageRunList& operator=(PageRunList const&) = delete;
    ~PageRunList() { release(); }

    // Keeps the pages of `run`, joined to the kept runs it continues, and empties it; past the
    // bounds, unmaps the oldest runs (and of a run larger than the bound alone, its lowest pages).
    // std::bad_alloc when memory for the list runs out: `run` and the kept runs stay as they were.
    void keep(PageRun& run);
    // The largest kept run when it holds `bytes`; empty otherwise.
    PageRun take(size_t bytes);
    // Unmaps every kept run.
    void release();

    size_t runs() const;
    size_t bytes() const;

private:
    // Lets the pages [base, base + size), or those of `run`, go through unmap_ (nothing for none).
    void unmap(uint8_t* base, size_t size) const noexcept;
    void unmap(PageRun const& run) const noexcept;

    Unmap const unmap_;
    mutable std::mutex mutex_;
    std::vector<PageRun> runs_;  // the oldest first
    size_t bytes_ = 0;
    size_t const max_bytes_;
    size_t const max_runs_;
};

}  // namespace nuvra::hw
