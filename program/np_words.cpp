#include "program/np_words.h"

#include "program/format_support.h"
#include "program/register_fields.h"

namespace nuvra {

using namespace fields;

namespace {

// An offset of the cut as the field's two's complement.
uint32_t offset_value(uint32_t offset, Field const& field) {
    return to_signed_field(static_cast<int32_t>(offset), field.bits.width);
}

}  // namespace

void format_part_words(std::span<uint32_t> image, NpSplitInterface const& split, CutOffsetFields const& offsets) {
    set(image, PART_I_SIZE, split.part_height);
    set(image, offsets.i, offset_value(split.window_dy, offsets.i));
    set(image, PART_J_SIZE, split.part_width);
    set(image, offsets.j, offset_value(split.window_dx, offsets.j));

    set(image, CUT_I_ORIG, split.window_y);
    set(image, CUT_I_PHASE, split.phase_y > 0);
    set(image, CUT_J_ORIG, split.window_x);
    set(image, CUT_J_PHASE, split.phase_x > 0);

    set(image, CUT_I_SIZE, split.window_height);
    set(image, CUT_J_SIZE, split.window_width);
    set(image, CONTAINER_ICONT_SIZE, split.icont_size());
}

void format_output_window_words(std::span<uint32_t> image, NpSplitInterface const& split) {
    set(image, OUTPUT_I_ORIG, split.out_y);
    set(image, OUTPUT_J_ORIG, split.out_x);
    set(image, OUTPUT_I_SIZE, split.out_height);
    set(image, OUTPUT_J_SIZE, split.out_width);
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
