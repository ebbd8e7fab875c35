// Words of an NP register image that both NP generations write the same way from the NP's split
// (hw/np_split.h): the NP's part of the input, its cut and the input container (words 8 to 11),
// its output window (words 24 and 25) and the pooling word (27). The fields are those of
// program/register_fields.h, but for the cut's offsets, whose width each generation gives. A
// value too wide for its field fails through panic with the overflow message and leaves the
// fields written before it in place.
#pragma once

#include <cstdint>
#include <span>

#include "hw/np_split.h"
#include "hw/register.h"
#include "hw/shape.h"

namespace nuvra {

// The fields of word 8 that hold the cut's offsets from the part (its origin minus the part's:
// zero or small negative numbers, in two's complement of the field's width).
struct CutOffsetFields {
    Field i;
    Field j;
};

// Words 8 to 11, in this order: the part's height and the cut's row offset, the part's width and
// the cut's column offset, the cut's origin with its phase bits (set when the cut starts inside a
// stride), the cut's extent, and the input container words of one row. An offset outside its
// field panics "%d cannot fit in a %d-bit signed integer".
void format_part_words(std::span<uint32_t> image, NpSplitInterface const& split, CutOffsetFields const& offsets);

// Words 24 and 25: the first output row and column of the NP, then its output rows and columns.
void format_output_window_words(std::span<uint32_t> image, NpSplitInterface const& split);

// The pooling of a layer as the pooling word takes it.
struct PoolingWord {
    uint32_t size = 1;
    uint32_t stride = 1;
    bool global = false;    // a global pooling
    PaddingParams padding;  // taken as signed: a side pads when its amount is above 0
};

// Where an NP's part lies in its layer's input (width first).
struct PartPlace {
    uint64_t x = 0;
    uint64_t y = 0;
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t input_width = 0;
    uint64_t input_height = 0;
};

// Word 27: the pool size and stride (3 bits each), the global flag, and an edge bit for each side
// of the input that the part touches where the pooling pads.
void format_pooling_word(std::span<uint32_t> image, PoolingWord const& pooling, PartPlace const& place);

}  // namespace nuvra
