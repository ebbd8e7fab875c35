#include "program/np_words.h"

#include "program/format_support.h"
#include "program/register_fields.h"

namespace nuvra {

using namespace fields;

namespace {

// An offset of the cut as the field's two's complement.
uint32_t offset_value(int32_t offset, Field const& field) { return to_signed_field(offset, field.bits.width); }

}  // namespace

void format_part_words(std::span<uint32_t> image, NpSplitInterface const& split, CutOffsetFields const& offsets) {
    set(image, PART_I_SIZE, split.ii_size);
    set(image, offsets.i, offset_value(split.ii_offset, offsets.i));
    set(image, PART_J_SIZE, split.jj_size);
    set(image, offsets.j, offset_value(split.jj_offset, offsets.j));

    set(image, CUT_I_ORIG, split.i_orig_cut);
    set(image, CUT_I_PHASE, split.i_phase > 0);
    set(image, CUT_J_ORIG, split.j_orig_cut);
    set(image, CUT_J_PHASE, split.j_phase > 0);

    set(image, CUT_I_SIZE, split.i_size_cut);
    set(image, CUT_J_SIZE, split.j_size_cut);
    set(image, CONTAINER_ICONT_SIZE, split.icont_size());
}

void format_output_window_words(std::span<uint32_t> image, NpSplitInterface const& split) {
    set(image, OUTPUT_I_ORIG, split.out_i_orig);
    set(image, OUTPUT_J_ORIG, split.out_j_orig);
    set(image, OUTPUT_I_SIZE, split.out_i_size);
    set(image, OUTPUT_J_SIZE, split.out_j_size);
}

void format_pooling_word(std::span<uint32_t> image, PoolingWord const& pooling, PartPlace const& place) {
    set(image, POOL_SIZE, pooling.size);
    set(image, POOL_STRIDE, pooling.stride);
    set(image, POOL_GLOBAL, pooling.global);

    // Only the parts on the edge of the input see the pooling's padding.
    auto const pads = [](uint32_t amount) { return static_cast<int32_t>(amount) > 0; };
    PaddingParams const& padding = pooling.padding;
    set(image, POOL_PAD_LEFT, place.x == 0 && pads(padding.left));
    set(image, POOL_PAD_RIGHT, place.x + place.width == place.input_width && pads(padding.right));
    set(image, POOL_PAD_TOP, place.y == 0 && pads(padding.top));
    set(image, POOL_PAD_BOTTOM, place.y + place.height == place.input_height && pads(padding.bottom));
}

}  // namespace nuvra
