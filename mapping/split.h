// Cutting a convolution-like layer over several NPs: the cut of one dimension, the first cuts by
// height, neurons and weights, the search for the fewest NPs whose input fits, and the builder
// that turns the chosen cut into components.
#pragma once

#include <compare>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "program/backend.h"

namespace nuvra {

// Width, height and channels of a layer's first input shape (Layer::first_input, with its
// failure); a dimension past its rank counts 1.
struct InputDims {
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t channels = 1;
};
InputDims first_input_dims(Layer const& layer);

// The cut of one dimension into chunks; every chunk but the last has `chunk_size` elements, the
// last holds the rest. A cut with `num_chunks` or `chunk_size` 0 failed.
struct Split {
    uint32_t num_chunks = 0;  // 0: the dimension cannot be cut
    uint32_t chunk_size = 0;
    uint32_t total = 0;       // size of the dimension
    uint32_t max_chunk = 0;   // largest chunk allowed
    uint32_t align = 0;       // chunks are multiples of this when there are several (0, 1: any)

    Split() = default;
    // The fewest chunks of at most `max_chunk`, as even as the alignment allows. `max_chunk`
    // below `align`, or a cut whose count cannot be worked out in 32 bits, cannot cut: all
    // fields 0.
    Split(uint32_t total, uint32_t max_chunk, uint32_t align);

    bool failed() const { return num_chunks == 0 || chunk_size == 0; }

    friend bool operator==(Split const&, Split const&) = default;
};

// Every pair (larger, smaller) of factors of n; empty for 0.
std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n);

// Chunk counts of a cut along width, height and filters, ordered field by field.
struct SplitsNumChunks {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t filters = 0;

    friend bool operator==(SplitsNumChunks const&, SplitsNumChunks const&) = default;
    friend std::strong_ordering operator<=>(SplitsNumChunks const&, SplitsNumChunks const&) = default;

    // Ascending triplets whose product is n: each factor pair (p, q) with the smaller member q
    // factored again. 8 gives {1, 1, 8} and {1, 2, 4}, never {2, 2, 2}.
    static std::set<SplitsNumChunks> factor_triplets(uint32_t n);
    // Every ordering of every triplet of n, in descending order: the most width chunks first,
    // then the most height chunks.
    static std::vector<SplitsNumChunks> get_splits_number(uint32_t n);
};

// Split parameters from the halo amounts (left, right, top, bottom), the pooling and the filters.
NpSplitParams make_split_params(uint32_t left, uint32_t right, uint32_t top, uint32_t bottom,
                                uint32_t pool_type, uint32_t pool_width, uint32_t pool_height,
                                uint32_t filters);

// How a split's input fits the NP input memory.
enum class BufferMode : uint32_t {
    None = 0,    // nothing fits
    Dual = 1,    // the chunk input fits with a dual input buffer
    Single = 2,  // it fits only with a single input buffer
};

// The cut chosen by find_split_chunks.
struct SplitSearchResult {
    bool found = false;
    Split width;
    Split height;
    Split filters;
    BufferMode buffer_mode = BufferMode::None;
};

// How much the first chunk of each spatial axis is shortened so that the next chunks start on a
// pooling window: the pooling's leading padding, 0 for a layer without computed pooling.
struct FirstChunkShift {
    uint32_t x = 0;
    uint32_t y = 0;
};
FirstChunkShift first_chunk_shift(Layer const& layer);

// Split(input height, max_height, pool height when the split parameters pool with max, else 1).
Split split_by_height(Layer const& layer, NpSplitParams const& params, uint32_t max_height);
// Split(total, max_chunk, 4) for a TNP-B layer when `align_for_tnp_b`, else alignment 1.
Split split_by_neurons(Layer const& layer, uint32_t total, uint32_t max_chunk, bool align_for_tnp_b);
// The filter cut made finer until the weights of one chunk fit one NP; all zero when even one
// filter per chunk does not fit.
Split split_for_weights(Layer const& layer, CompatibilityChecker const& checker, Split const& filters);

// What find_split_chunks searches over: the first cuts of the three axes and how the chunks of the
// layer are fed.
struct SplitSearch {
    uint32_t channels = 0;  // input channels of a chunk, unless they follow its filters
    uint8_t bits = 0;       // the layer's input bits
    NpSplitParams params;   // halo, pooling and filters of the layer kind on the NP type
    Split height;           // the first cuts of the three axes
    Split width;
    Split filters;
    uint32_t fifo_size = 0;
    hw::Type type = hw::Type::None;  // the NP type asked about
    bool hwpr_loopitself = false;    // an NP kept across layers: only a dual input buffer will do
    uint32_t reserved = 0;           // input words kept free beside the chunk's input
    bool channels_follow_filters = false;  // each chunk holds as many channels as filters
    bool height_may_be_cut = true;
    bool targets_tnp_b = false;  // with channels following filters: the last-chunk rule
    FirstChunkShift shift;       // the layer's first_chunk_shift
};

// The cut with the fewest NPs, then the most width chunks, then the most height chunks, whose
// chunk input fits the NP input memory. The last chunk of a shifted axis grows by the shift, and
// a cut whose grown last chunk exceeds the axis's max_chunk is passed over.
SplitSearchResult find_split_chunks(SplitSearch const& search, CompatibilityChecker const& checker);
// The same with the search's values in their usual order.
SplitSearchResult find_split_chunks(uint32_t channels, uint8_t bits, NpSplitParams const& params,
                                    CompatibilityChecker const& checker, Split const& height,
                                    Split const& width, Split const& filters, uint32_t fifo_size,
                                    hw::Type type, bool hwpr_loopitself, uint32_t reserved,
                                    bool channels_follow_filters, bool height_may_be_cut,
                                    bool targets_tnp_b, FirstChunkShift shift);
// The same for a layer whose first chunk is not shifted.
SplitSearchResult find_split_chunks(uint32_t channels, uint8_t bits, NpSplitParams const& params,
                                    CompatibilityChecker const& checker, Split const& height,
                                    Split const& width, Split const& filters, uint32_t fifo_size,
                                    hw::Type type, bool hwpr_loopitself, uint32_t reserved,
                                    bool channels_follow_filters, bool height_may_be_cut, bool targets_tnp_b);

// One component per chunk, width chunks outermost, then height, then filters. A zero dimension
// panics "Cannot have a shape with dimension %zu set to 0".
std::vector<hw::Component> build_split_components(Layer const& layer, NpSplitParams const& params,
                                                  bool single_buffer, hw::Type type, Split width,
                                                  Split height, Split filters);

}  // namespace nuvra
