#include "mapping/split.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <stdexcept>

#include "hw/arith.h"

namespace nuvra {

InputDims first_input_dims(Layer const& layer) {
    Shape const s = layer.first_input();
    InputDims dims;
    if (s.rank() > 0) dims.width = s[0];
    if (s.rank() > 1) dims.height = s[1];
    if (s.rank() > 2) dims.channels = s[2];
    return dims;
}

namespace {

using u64 = uint64_t;
constexpr u64 u32_max = std::numeric_limits<uint32_t>::max();

// One dimension cut into `count` chunks of `chunk` (the last holds the rest); `largest` is the
// longest chunk once the first one is shortened by the pooling shift.
struct DimCut {
    u64 count = 0;
    u64 chunk = 0;
    u64 largest = 0;
};

// The cut of dimension `s` into k chunks as the search sees it, or nothing when k chunks leave
// one empty or the shifted last chunk outgrows the dimension's limit.
std::optional<DimCut> cut_dimension(u64 k, Split const& s, uint32_t shift) {
    u64 const t = s.total;
    if (k == 0 || k - 1 >= t) return std::nullopt;
    u64 count = k;
    u64 chunk = ceil_div(t, k);
    if (k > 1 && s.align > 1) {
        u64 const rounded = round_up(chunk, s.align);
        if (rounded > s.max_chunk) {
            chunk = rounded - s.align;
            if (chunk == 0) return std::nullopt;
            count = ceil_div(t, chunk);
        } else {
            chunk = rounded;
        }
    }
    if ((count - 1) * chunk >= t) return std::nullopt;  // the last chunk would be empty
    DimCut cut{count, chunk, chunk};
    if (count > 1 && shift != 0 && shift < chunk) {
        // The first chunk gives up `shift` elements, which the last chunk takes.
        u64 const last = t - (count - 1) * chunk + shift;
        cut.largest = std::max(chunk, last);
        if (cut.largest > s.max_chunk) return std::nullopt;
    }
    return cut;
}

// The input window of the widest chunk: one chunk reads no halo, two chunks read one side each,
// the middle chunks of three or more read both sides.
u64 window_of(DimCut const& cut, uint32_t lead, uint32_t trail) {
    if (cut.count == 1) return cut.largest;
    if (cut.count == 2) return cut.largest + std::max(lead, trail);
    return cut.largest + lead + trail;
}

// The smallest window and chunk that any cut of a dimension can give, or nothing when no cut is
// allowed at all.
struct DimFloor {
    u64 window = std::numeric_limits<u64>::max();
    u64 chunk = std::numeric_limits<u64>::max();
    bool possible = false;

    void consider(u64 w, u64 c) {
        window = std::min(window, w);
        chunk = std::min(chunk, c);
        possible = true;
    }
};

DimFloor dimension_floor(Split const& s, uint32_t lead, uint32_t trail, bool may_cut,
                         uint32_t shift) {
    DimFloor floor;
    u64 const lowest = s.num_chunks;
    if (lowest <= 1)
        if (auto cut = cut_dimension(1, s, shift)) floor.consider(window_of(*cut, lead, trail), cut->chunk);
    if (!may_cut) return floor;
    if (lowest <= 2)
        if (auto cut = cut_dimension(2, s, shift)) floor.consider(window_of(*cut, lead, trail), cut->chunk);
    // Three chunks or more: no chunk is below the alignment, and middle chunks read both halos.
    if (std::max<u64>(lowest, 3) <= s.total) {
        u64 const smallest = s.align > 1 ? s.align : 1;
        floor.consider(smallest + lead + trail, smallest);
    }
    return floor;
}

Split with_cut(Split const& base, DimCut const& cut) {
    Split s = base;
    s.num_chunks = uint32_t(cut.count);
    s.chunk_size = uint32_t(cut.chunk);
    return s;
}

// One chunk of a spatial axis: where it starts, its length, and the halo it reads on each side.
struct AxisChunk {
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t lead = 0;
    uint32_t trail = 0;
};

std::vector<AxisChunk> axis_chunks(uint32_t extent, Split const& s, uint32_t shift,
                                   uint32_t lead_halo, uint32_t trail_halo) {
    std::vector<AxisChunk> chunks;
    u64 pos = 0;
    for (uint32_t i = 0; i < s.num_chunks; ++i) {
        bool const first = i == 0;
        bool const last = i + 1 == s.num_chunks;
        u64 const left = pos < extent ? extent - pos : 0;
        u64 size = last ? left : std::min<u64>(s.chunk_size, left);
        // The first chunk ends on a pooling window; the last one always reaches the end.
        if (first && !last && s.chunk_size < extent && shift != 0 && shift < s.chunk_size)
            size = s.chunk_size - shift;
        AxisChunk c;
        c.start = uint32_t(std::min(pos, u32_max));
        c.size = uint32_t(size);
        c.lead = first ? 0 : std::min<uint32_t>(lead_halo, c.start);  // never before the input
        c.trail = last ? 0 : trail_halo;
        chunks.push_back(c);
        pos += size;
    }
    return chunks;
}

uint32_t checked_sum(u64 a, u64 b, u64 c) {
    u64 const sum = a + b + c;
    if (!fits_in<uint32_t>(sum)) throw std::runtime_error("Split window does not fit in 32 bits.");
    return uint32_t(sum);
}

}  // namespace

Split::Split(uint32_t total_, uint32_t max_chunk_, uint32_t align_)
    : total(total_), max_chunk(max_chunk_), align(align_) {
    if (max_chunk < align) {
        *this = Split();
        return;
    }
    if (max_chunk >= total) {
        num_chunks = total == 0 ? 0 : 1;
        chunk_size = total;
        return;
    }
    // Here max_chunk < total; a limit of 0 (alignment 0) cannot cut, and neither can a count
    // whose ceiling does not fit 32 bits.
    if (max_chunk == 0 || u64(total) + max_chunk - 1 > u32_max) {
        *this = Split();
        return;
    }
    u64 n = ceil_div(total, max_chunk);
    u64 chunk = ceil_div(total, n);
    if (n > 1 && align >= 2) {
        u64 const rounded = round_up(chunk, align);
        if (rounded <= max_chunk) {
            chunk = rounded;
        } else {
            chunk = rounded - align;
            n = ceil_div(total, chunk);
        }
    }
    num_chunks = uint32_t(n);
    chunk_size = uint32_t(chunk);
}

std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n) {
    std::set<std::pair<uint32_t, uint32_t>> pairs;
    for (u64 d = 1; d * d <= n; ++d)
        if (n % d == 0) pairs.emplace(uint32_t(n / d), uint32_t(d));
    return pairs;
}

std::set<SplitsNumChunks> SplitsNumChunks::factor_triplets(uint32_t n) {
    std::set<SplitsNumChunks> triplets;
    for (auto const& [p, q] : factor_pairs(n)) {
        for (auto const& [r, s] : factor_pairs(q)) {
            std::array<uint32_t, 3> t{p, r, s};
            std::sort(t.begin(), t.end());
            triplets.insert({t[0], t[1], t[2]});
        }
    }
    return triplets;
}

std::vector<SplitsNumChunks> SplitsNumChunks::get_splits_number(uint32_t n) {
    std::set<SplitsNumChunks> orderings;
    for (auto const& triplet : factor_triplets(n)) {
        std::array<uint32_t, 3> t{triplet.width, triplet.height, triplet.filters};
        do {
            orderings.insert({t[0], t[1], t[2]});
        } while (std::next_permutation(t.begin(), t.end()));
    }
    return {orderings.rbegin(), orderings.rend()};
}

NpSplitParams make_split_params(uint32_t left, uint32_t right, uint32_t top, uint32_t bottom,
                                uint32_t pool_type, uint32_t pool_width, uint32_t pool_height,
                                uint32_t filters) {
    NpSplitParams params;
    params.halo = {.left = left, .right = right, .top = top, .bottom = bottom};
    params.pool_type = pool_type;
    params.pool_width = pool_width;
    params.pool_height = pool_height;
    params.filters = filters;
    return params;
}

FirstChunkShift first_chunk_shift(Layer const& layer) {
    auto const* pooled = dynamic_cast<HasPoolParams const*>(&layer);
    if (pooled == nullptr) return {};
    PoolingCalculatedParams const* pool = pooled->pool_params();
    if (pool == nullptr) return {};
    return {pool->padding.left, pool->padding.top};
}

Split split_by_height(Layer const& layer, NpSplitParams const& params, uint32_t max_height) {
    uint32_t const align = params.pool_type == uint32_t(PoolType::Max) ? params.pool_width : 1;
    return Split(first_input_dims(layer).height, max_height, align);
}

Split split_by_neurons(Layer const& layer, uint32_t total, uint32_t max_chunk, bool align_for_tnp_b) {
    bool const tnp_b = align_for_tnp_b && layer.is_target_component(ComponentKind::TNP_B);
    return Split(total, max_chunk, tnp_b ? 4 : 1);
}

Split split_for_weights(Layer const& layer, CompatibilityChecker const& checker, Split const& filters) {
    if (filters.failed()) return Split();
    Split cut = filters;
    u64 const total = filters.total;
    u64 tries = filters.num_chunks;
    while (!checker.is_weights_size_fit_np(layer, cut.chunk_size)) {
        // The next count whose chunks all hold filters.
        for (;;) {
            if (tries >= total) return Split();
            u64 count = tries + 1;
            u64 chunk = ceil_div(total, count);
            ++tries;
            if (count > 1 && filters.align >= 2) {
                u64 const rounded = round_up(chunk, filters.align);
                if (rounded <= filters.max_chunk) {
                    chunk = rounded;
                } else {
                    chunk = rounded - filters.align;
                    if (chunk == 0) continue;
                    count = ceil_div(total, chunk);
                }
            }
            if ((count - 1) * chunk >= total) continue;
            cut.num_chunks = uint32_t(count);
            cut.chunk_size = uint32_t(chunk);
            break;
        }
    }
    return cut;
}

SplitSearchResult find_split_chunks(uint32_t channels, uint8_t bits, NpSplitParams const& params,
                                    CompatibilityChecker const& checker, Split const& height,
                                    Split const& width, Split const& filters, uint32_t fifo_size,
                                    hw::Type type, bool hwpr_loopitself, uint32_t reserved,
                                    bool channels_follow_filters, bool height_may_be_cut,
                                    bool targets_tnp_b, FirstChunkShift shift) {
    return find_split_chunks({.channels = channels,
                              .bits = bits,
                              .params = params,
                              .height = height,
                              .width = width,
                              .filters = filters,
                              .fifo_size = fifo_size,
                              .type = type,
                              .hwpr_loopitself = hwpr_loopitself,
                              .reserved = reserved,
                              .channels_follow_filters = channels_follow_filters,
                              .height_may_be_cut = height_may_be_cut,
                              .targets_tnp_b = targets_tnp_b,
                              .shift = shift},
                             checker);
}

SplitSearchResult find_split_chunks(uint32_t channels, uint8_t bits, NpSplitParams const& params,
                                    CompatibilityChecker const& checker, Split const& height,
                                    Split const& width, Split const& filters, uint32_t fifo_size,
                                    hw::Type type, bool hwpr_loopitself, uint32_t reserved,
                                    bool channels_follow_filters, bool height_may_be_cut, bool targets_tnp_b) {
    return find_split_chunks(channels, bits, params, checker, height, width, filters, fifo_size, type,
                             hwpr_loopitself, reserved, channels_follow_filters, height_may_be_cut, targets_tnp_b,
                             FirstChunkShift{});
}

SplitSearchResult find_split_chunks(SplitSearch const& search, CompatibilityChecker const& checker) {
    // Plain names (not a structured binding), so that the fit test below can capture them.
    uint32_t const channels = search.channels;
    NpSplitParams const& params = search.params;
    Split const& height = search.height;
    Split const& width = search.width;
    Split const& filters = search.filters;
    bool const channels_follow_filters = search.channels_follow_filters;
    bool const height_may_be_cut = search.height_may_be_cut;
    FirstChunkShift const shift = search.shift;
    SplitSearchResult const none;
    if (width.failed() || height.failed() || filters.failed()) return none;
    if (!height_may_be_cut && height.num_chunks > 1) return none;

    auto fit = [&](u64 window_height, u64 window_width, u64 chunk_channels) {
        if (window_height > u32_max || window_width > u32_max || chunk_channels > u32_max)
            return BufferMode::None;
        auto const h = uint32_t(window_height);
        auto const w = uint32_t(window_width);
        auto const c = uint32_t(chunk_channels);
        if (checker.is_sram_input_fit_dual_buffer(search.type, h, w, c, search.fifo_size, search.bits,
                                                  search.reserved))
            return BufferMode::Dual;
        if (!search.hwpr_loopitself && checker.is_sram_input_fit_single_buffer(search.type, h, w, c, search.fifo_size,
                                                                                search.bits, search.reserved))
            return BufferMode::Single;
        return BufferMode::None;
    };

    // On TNP-B with channels following filters, the last filter chunk must be whole groups of the
    // alignment. Every aligned chunk is such a group, so the last one is whole exactly when the
    // total is: otherwise only one filter chunk can pass.
    bool const last_chunk_rule = channels_follow_filters && search.targets_tnp_b;
    bool const filters_may_be_cut =
        !last_chunk_rule || (filters.align != 0 && filters.total % filters.align == 0);

    // The smallest input any cut can give; when even that does not fit, nothing will.
    Halo const& halo = params.halo;
    DimFloor const wf = dimension_floor(width, halo.left, halo.right, true, shift.x);
    DimFloor const hf = dimension_floor(height, halo.top, halo.bottom, height_may_be_cut, shift.y);
    DimFloor const ff = dimension_floor(filters, 0, 0, filters_may_be_cut, 0);
    if (!wf.possible || !hf.possible || !ff.possible) return none;
    if (fit(hf.window, wf.window, channels_follow_filters ? ff.chunk : channels) == BufferMode::None)
        return none;

    // Only counts up to each dimension's total can pass, so the search ends with their product.
    u64 const nmin = u64(width.num_chunks) * height.num_chunks * filters.num_chunks;
    u64 const nmax = std::min(
        mul_sat(mul_sat(width.total, height_may_be_cut ? height.total : 1),
                filters_may_be_cut ? filters.total : 1),
        u32_max);
    for (u64 n = nmin; n <= nmax; ++n) {
        for (auto const& t : SplitsNumChunks::get_splits_number(uint32_t(n))) {
            if (t.width < width.num_chunks || t.height < height.num_chunks ||
                t.filters < filters.num_chunks)
                continue;
            if (!height_may_be_cut && t.height != 1) continue;
            auto const wc = cut_dimension(t.width, width, shift.x);
            if (!wc) continue;
            auto const hc = cut_dimension(t.height, height, shift.y);
            if (!hc) continue;
            auto const fc = cut_dimension(t.filters, filters, 0);
            if (!fc) continue;
            if (last_chunk_rule && t.filters > 1) {
                if (filters.align == 0) continue;
                u64 const last = filters.total - (fc->count - 1) * fc->chunk;
                if (last % filters.align != 0) continue;
            }
            u64 const ww = window_of(*wc, halo.left, halo.right);
            u64 const hw = window_of(*hc, halo.top, halo.bottom);
            BufferMode const mode = fit(hw, ww, channels_follow_filters ? fc->chunk : channels);
            if (mode == BufferMode::None) continue;
            return {true, with_cut(width, *wc), with_cut(height, *hc), with_cut(filters, *fc), mode};
        }
    }
    return none;
}

std::vector<hw::Component> build_split_components(Layer const& layer, NpSplitParams const& params,
                                                  bool single_buffer, hw::Type type, Split width,
                                                  Split height, Split filters) {
    InputDims const dims = first_input_dims(layer);
    FirstChunkShift const shift = first_chunk_shift(layer);
    bool const depthwise = layer.is_depthwise();
    Halo const& halo = params.halo;
    auto const columns = axis_chunks(dims.width, width, shift.x, halo.left, halo.right);
    auto const rows = axis_chunks(dims.height, height, shift.y, halo.top, halo.bottom);

    std::vector<hw::Component> components;
    components.reserve(columns.size() * rows.size() * filters.num_chunks);
    for (AxisChunk const& col : columns) {
        for (AxisChunk const& row : rows) {
            for (uint32_t j = 0; j < filters.num_chunks; ++j) {
                u64 const start = u64(j) * filters.chunk_size;
                u64 const count = start < filters.total
                                      ? std::min<u64>(filters.chunk_size, filters.total - start)
                                      : 0;
                uint32_t const channels = depthwise ? uint32_t(count) : dims.channels;
                hw::NpPart part;
                part.start_neuron = uint32_t(std::min(start, u32_max));
                part.filters = uint32_t(count);
                part.spatial_partition = NpSpace{col.start, row.start, Shape{col.size, row.size, channels}};
                part.halo_partition = NpSpace{
                    col.start - col.lead, row.start - row.lead,
                    Shape{checked_sum(col.size, col.lead, col.trail),
                          checked_sum(row.size, row.lead, row.trail), channels}};
                part.single_buffer = single_buffer;
                hw::Component component;
                component.type = type;
                component.np_part = part;
                components.push_back(std::move(component));
            }
        }
    }
    return components;
}

}  // namespace nuvra
