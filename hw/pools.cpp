#include "hw/pools.h"

#include <sys/mman.h>

#include <algorithm>

namespace nuvra::hw {

void unmap_run(PageRun const& run) noexcept {
    if (!run.empty()) unmap_pages(run_low(run), run_bytes(run));
}

void unmap_pages(uint8_t* base, size_t size) noexcept { munmap(base, size); }

void PageRunList::unmap(uint8_t* base, size_t size) const noexcept {
    if (size == 0) return;
    // A function that throws all the same loses that range alone: the list goes on with the others.
    try {
        unmap_(base, size);
    } catch (...) {
    }
}

void PageRunList::unmap(PageRun const& run) const noexcept {
    if (!run.empty()) unmap(run_low(run), run_bytes(run));
}

void PageRunList::keep(PageRun& run) {
    if (run.empty()) return;
    std::vector<PageRun> gone;
    PageSpan cut_off{nullptr, 0};  // the lowest pages of a run larger than the bound alone
    {
        std::lock_guard const lock(mutex_);
        runs_.reserve(runs_.size() + 1);
        gone.reserve(runs_.size() + 1);
        // The kept runs just below and just above it, by index.
        size_t const none = runs_.size();
        size_t below = none, above = none;
        for (size_t i = 0; i < runs_.size(); ++i) {
            if (run_high(runs_[i]) == run_low(run)) below = i;
            if (run_low(runs_[i]) == run_high(run)) above = i;
        }
        PageRun joined;
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
            bytes_ -= run_bytes(runs_[i]);
            runs_.erase(runs_.begin() + std::ptrdiff_t(i));
        }
        if (run_bytes(joined) > max_bytes_) {
            uint8_t* const cut = run_high(joined) - max_bytes_;
            cut_off = {run_low(joined), size_t(cut - run_low(joined))};
            auto first = joined.begin();
            while (first != joined.end() && first->base + first->size <= cut) ++first;
            if (first != joined.end() && first->base < cut) {
                first->size -= size_t(cut - first->base);
                first->base = cut;
            }
            joined.erase(joined.begin(), first);
        }
        if (!joined.empty()) {
            bytes_ += run_bytes(joined);
            runs_.push_back(std::move(joined));
        }
        while (bytes_ > max_bytes_ || runs_.size() > max_runs_) {
            bytes_ -= run_bytes(runs_.front());
            gone.push_back(std::move(runs_.front()));
            runs_.erase(runs_.begin());
        }
    }
    unmap(cut_off.base, cut_off.size);
    for (PageRun const& r : gone) unmap(r);
}

PageRun PageRunList::take(size_t bytes) {
    std::lock_guard const lock(mutex_);
    auto best = runs_.end();
    for (auto it = runs_.begin(); it != runs_.end(); ++it)
        if (run_bytes(*it) >= bytes && (best == runs_.end() || run_bytes(*it) > run_bytes(*best))) best = it;
    if (best == runs_.end()) return {};
    PageRun run = std::move(*best);
    runs_.erase(best);
    bytes_ -= run_bytes(run);
    return run;
}

void PageRunList::release() {
    std::vector<PageRun> gone;
    {
        std::lock_guard const lock(mutex_);
        gone.swap(runs_);
        bytes_ = 0;
    }
    for (PageRun const& r : gone) unmap(r);
}

size_t PageRunList::runs() const {
    std::lock_guard const lock(mutex_);
    return runs_.size();
}

size_t PageRunList::bytes() const {
    std::lock_guard const lock(mutex_);
    return bytes_;
}

}  // namespace nuvra::hw
