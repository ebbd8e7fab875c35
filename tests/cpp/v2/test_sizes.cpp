// Word counts of CNP and TNP-B weights and of the FNP input layouts, and the FNP padding choice.
#include <gtest/gtest.h>

#include <functional>

#include "backends/v2/format_conv_weights.h"
#include "backends/v2/sizes.h"
#include "support/error_text.h"
#include "support/split_doubles.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using P = InputPadding;
using K = ComponentKind;

TEST(V2Sizes, WeightWords) {
    struct { uint32_t kernel, count; uint8_t bits; uint32_t words; } const conv[] = {
        // 8-bit: two words per started 24 filters (kernel 1), else 6, 12, 20, 56 per group of 8
        {1, 24, 8, 2}, {1, 25, 8, 4}, {3, 9, 8, 12}, {4, 16, 8, 24}, {5, 8, 8, 20}, {7, 600, 8, 4200},
        // every other width uses the 4-bit form
        {1, 25, 4, 2}, {3, 9, 4, 6}, {5, 9, 4, 16}, {7, 9, 2, 42},
    };
    for (auto const& row : conv)
        EXPECT_EQ(conv2d_ch_cont_100b_size(row.kernel, row.count, row.bits), row.words)
            << "k" << row.kernel << " n" << row.count << " b" << int(row.bits);

    // Worked out in 64 bits: results beyond 32 bits are refused, fifo_size + 1 never wraps to 0.
    uint32_t const all = 0xFFFFFFFFu;
    struct { std::function<void()> call; char const* message; } const refusals[] = {
        {[] { conv2d_ch_cont_100b_size(2, 8, 8); }, "ch_cont_size: Unexpected kernel size."},
        {[] { conv2d_cnp_formatted_weight_100b_size(4, 8, 1, 4); }, "Unsupported kernel size."},
        {[] { dwc_ch_cont_100b_size(1, 5, 8); }, "ch_cont_size: Unexpected kernel size."},
        {[&] { conv2d_cnp_formatted_weight_100b_size(7, all, all, 8); },
         "conv2d_cnp_formatted_weight_100b_size: the result does not fit in 64 bits."},
        {[&] { depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(all, 2); },
         "depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size: 8589934592 words do not fit in 32 bits."},
        {[&] { buffer_temp_conv_tnp_formatted_weight_100b_size(all, 1, 1); },
         "buffer_temp_conv_tnp_formatted_weight_100b_size: 8589934592 words do not fit in 32 bits."},
    };
    for (auto const& row : refusals) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message);
}

// The per-channel counts of each width and the 4-bit block, as the weight formats lay them out.
TEST(V2Sizes, Conv2dWeightWordsOfEachWidth) {
    struct { uint32_t kernel, filters, words; } const four_bit[] = {
        {1, 24, 1}, {1, 25, 2}, {3, 9, 6}, {5, 9, 16}, {7, 1, 21}, {7, 9, 42}, {3, 0, 0},
    };
    for (auto const& row : four_bit)
        EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(row.kernel, row.filters), row.words) << row.kernel << " " << row.filters;
    // Filters rounded up to 8 first; kernel 1 takes two words per started 24.
    struct { uint32_t kernel, filters, words; } const eight_bit[] = {
        {1, 24, 2}, {1, 25, 4}, {3, 9, 12}, {4, 16, 24}, {5, 8, 20}, {7, 8, 56}, {7, 0, 0},
    };
    for (auto const& row : eight_bit)
        EXPECT_EQ(conv2d_8bit_ch_cont_100b_size(row.kernel, row.filters), row.words) << row.kernel << " " << row.filters;

    struct { uint32_t kernel, filters, channels, words; } const blocks[] = {
        {3, 9, 5, 30}, {7, 1, 1, 21}, {3, 8, 1, 3}, {5, 0, 3, 0}, {5, 9, 0, 0},
    };
    for (auto const& row : blocks) {
        EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_100b_size(row.kernel, row.filters, row.channels), row.words)
            << row.kernel << " " << row.filters << " " << row.channels;
        // Four 32-bit words carry each 100-bit word.
        EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_32b_size(row.kernel, row.filters, row.channels), 4 * row.words);
    }

    struct { std::function<void()> call; char const* message; } const refusals[] = {
        {[] { conv2d_4bit_ch_cont_100b_size(4, 8); }, "Unsupported kernel size."},
        {[] { conv2d_8bit_ch_cont_100b_size(2, 8); }, "ch_cont_size: Unexpected kernel size."},
        {[] { conv2d_cnp_formatted_4bit_weight_100b_size(4, 8, 1); }, "Unsupported kernel size."},
        {[] { conv2d_cnp_formatted_4bit_weight_100b_size(7, 8, 0x80000000u); },
         "conv2d_cnp_formatted_4bit_weight_100b_size: 45097156608 words do not fit in 32 bits."},
        {[] { conv2d_8bit_ch_cont_100b_size(7, 0xFFFFFFFFu); },
         "conv2d_8bit_ch_cont_100b_size: 30064771072 words do not fit in 32 bits."},
    };
    for (auto const& row : refusals) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message);
}

TEST(V2Sizes, FnpLayoutWords) {
    struct { uint32_t y, x, c; uint8_t bits; P padding; uint32_t words; } const packets[] = {
        {1, 1, 2048, 8, P::Packed, 512},
        {2, 3, 5, 4, P::Packed, 4},          // 120 bits
        {4, 3, 5, 4, P::RowBytePadded, 12},  // rows of 2 bytes, 10 bytes a plane
        {4, 5, 25, 8, P::RowWordPadded, 200},
        {2, 5, 3, 4, P::RowWordPadded, 6},   // rows of 3 bytes padded to 4
    };
    for (auto const& r : packets)
        EXPECT_EQ(get_fpksram_size(r.y, r.x, r.c, r.bits, r.padding), r.words) << r.y << "x" << r.x << "x" << r.c;

    auto const shifts = Dense::create(TensorType::uint8, Shape{17}, Layout::c_order);
    EXPECT_EQ(cnp_tnp_input_shift_24b_size(*shifts), 3u);
    EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{9, 9, 9}, P::Packed, 8), 3u);
    EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{5, 4, 25}, P::RowWordPadded, 8), 100u);
    EXPECT_EQ(get_neuron_word_size(Shape{1, 1, 2048}, P::Packed, 8, 8), 514u);
    auto const weights = Dense::create(TensorType::int8, Shape{500, 10}, Layout::c_order);
    EXPECT_EQ(get_layer_word_size(*weights, 8, Shape{5, 4, 25}, P::RowWordPadded, 8), 2020u);

    struct { uint32_t x, y; uint8_t bits; uint32_t row_pad, plane_pad; } const pads[] = {{3, 1, 4, 1, 4},
                                                                                       {5, 3, 2, 3, 8}};
    for (auto const& p : pads) {
        EXPECT_EQ(fnp_row_pad_slots(p.x, p.bits), p.row_pad) << p.x << "/" << p.bits;
        EXPECT_EQ(fnp_plane_pad_slots(p.x, p.y, p.bits), p.plane_pad) << p.x << "/" << p.bits;
    }
    EXPECT_EQ(error_text<std::invalid_argument>([] { fnp_row_pad_slots(3, 3); }), "Unsupported input bit width 3.");
    EXPECT_EQ(error_text<std::runtime_error>([] { get_fpksram_size(1, 1, 1, 8, P::Undefined); }),
              "Unsupported padding.");
    uint32_t const all = 0xFFFFFFFFu;
    EXPECT_EQ(error_text<std::runtime_error>([&] { get_fpksram_size(all, all, all, 8, P::Packed); }),
              "get_fpksram_size: the result does not fit in 64 bits.");
}

// A Dense1D layer whose producer runs on the given kinds.
std::shared_ptr<testing::FakeLayer> dense_layer(Shape input, int weights_bits,
                                               std::set<ComponentKind> producer_kinds, uint32_t neurons = 10) {
    auto layer = split_layer("fc", LayerType::Dense1D, input, {{"weights_bits", weights_bits}, {"units", int(neurons)}});
    if (!producer_kinds.empty()) {
        auto producer = split_layer("producer", LayerType::Conv2D, input);
        producer->set_kinds(std::move(producer_kinds));
        layer->set_inbounds({producer});
    }
    layer->variables().set("weights", Dense::create(TensorType::int8, Shape{uint32_t(input.product()), neurons},
                                                    Layout::c_order));
    return layer;
}

TEST(V2Sizes, AnAddReservesInputWords) {
    auto layer = dense_layer(Shape{5, 4, 25}, 8, {K::CNP});
    EXPECT_EQ(get_add_pksram_shift(*layer), 0u);
    layer->set_inbounds({split_layer("add", LayerType::Add, Shape{5, 4, 25})});
    EXPECT_EQ(get_add_pksram_shift(*layer), 512u);
    layer->set_inbounds({nullptr});
    EXPECT_EQ(get_add_pksram_shift(*layer), 0u);
}

TEST(V2Sizes, FnpPaddingChoice) {
    struct {
        char const* what; Shape input; int weights_bits; std::set<ComponentKind> producer; bool no_previous; P expected;
    } const rows[] = {
        {"packed one over", {1, 1, 2049}, 8, {}, false, P::Undefined},
        {"CNP producer, 8-bit", {5, 4, 25}, 8, {K::CNP}, false, P::RowWordPadded},
        {"4-bit weights fall to rows", {5, 4, 25}, 4, {K::CNP}, false, P::RowBytePadded},
        {"word rows one over", {4, 1, 513}, 8, {K::CNP}, false, P::Undefined},
        {"HRC producer", {5, 4, 25}, 8, {K::HRC}, false, P::RowBytePadded},
        {"producer not consulted", {5, 4, 25}, 8, {K::CNP}, true, P::Packed},
        {"FNP producer", {5, 4, 25}, 8, {K::FNP}, false, P::Packed},
    };
    for (auto const& row : rows)
        EXPECT_EQ(get_fnp_supported_padding(*dense_layer(row.input, row.weights_bits, row.producer), row.no_previous),
                  row.expected)
            << row.what;

    auto layer = dense_layer(Shape{5, 4, 25}, 8, {K::CNP});
    EXPECT_EQ(get_fnp_input_dim(*layer, true), (Shape{1, 1, 500}));
    EXPECT_EQ(get_fnp_input_size(*layer, false), 200u);  // word-padded rows
    EXPECT_EQ(get_fnp_input_size(*layer, true), 125u);   // packed, flattened
    EXPECT_EQ(get_fnp_sram_size(*layer), 2020u);         // 10 records of 202 words
    EXPECT_EQ(get_fnp_sram_size(*dense_layer(Shape{5, 4, 25}, 8, {K::CNP}, 30)), 6064u);  // XL: 16-word blocks
    EXPECT_EQ(error_text<std::runtime_error>([] { get_fnp_sram_size(*dense_layer(Shape{1, 1, 2049}, 8, {})); }),
              "Error when formatting the FNP inputs, the padding is undefined.");
    layer->set_input_dims({Shape{65536, 65536, 1}});
    EXPECT_EQ(error_text<std::runtime_error>([&] { get_fnp_input_dim(*layer, true); }),
              "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)");
}

}  // namespace
}  // namespace nuvra::v2
