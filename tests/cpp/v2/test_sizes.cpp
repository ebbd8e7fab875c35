#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "backends/v2/sizes.h"
#include "support/split_doubles.h"

namespace nuvra::v2 {
namespace {

// Runs `call` and returns the message of the std::runtime_error it throws ("" when none).
std::string runtime_error_of(std::function<void()> const& call) {
    try {
        call();
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "";
}

constexpr const char* unexpected_kernel = "ch_cont_size: Unexpected kernel size.";

struct KernelRow {
    uint32_t kernel, count;
    uint8_t bits;
    uint32_t expected;
};

TEST(V2Sizes, Conv2dChannelContent) {
    const KernelRow rows[] = {
        // 8-bit: two words per started 24 filters (kernel 1), else 6, 12, 20, 56 per group of 8
        {1, 1, 8, 2},   {1, 24, 8, 2},   {1, 25, 8, 4},  {3, 8, 8, 6},  {3, 9, 8, 12},
        {4, 16, 8, 24}, {5, 8, 8, 20},   {7, 8, 8, 56},  {7, 600, 8, 4200},
        // every other width uses the 4-bit form
        {1, 24, 4, 1},  {1, 25, 4, 2},   {3, 9, 4, 6},   {5, 9, 4, 16}, {7, 8, 4, 21},
        {7, 9, 2, 42},
    };
    for (auto const& row : rows)
        EXPECT_EQ(conv2d_ch_cont_100b_size(row.kernel, row.count, row.bits), row.expected)
            << "k" << row.kernel << " n" << row.count << " b" << int(row.bits);
    EXPECT_EQ(runtime_error_of([] { conv2d_ch_cont_100b_size(2, 8, 8); }), unexpected_kernel);
    EXPECT_EQ(runtime_error_of([] { conv2d_ch_cont_100b_size(4, 8, 4); }), "Unsupported kernel size.");
}

TEST(V2Sizes, Conv2dFormattedWeights) {
    struct Row {
        uint32_t kernel, filters, channels;
        uint8_t bits;
        uint32_t expected;
    };
    const Row rows[] = {
        {3, 9, 3, 8, 36},    // 16 filters: 12 words a channel
        {1, 25, 2, 8, 8},
        {4, 8, 5, 8, 60},
        {7, 8, 10, 4, 210},
        {5, 1, 3, 4, 24},
    };
    for (auto const& row : rows)
        EXPECT_EQ(conv2d_cnp_formatted_weight_100b_size(row.kernel, row.filters, row.channels, row.bits),
                  row.expected)
            << "k" << row.kernel;
    EXPECT_EQ(runtime_error_of([] { conv2d_cnp_formatted_weight_100b_size(2, 8, 1, 8); }),
              unexpected_kernel);
    EXPECT_EQ(runtime_error_of([] { conv2d_cnp_formatted_weight_100b_size(4, 8, 1, 4); }),
              "Unsupported kernel size.");
    // 56 x 2^29 words a channel times 2^32 - 1 channels does not fit 32 bits.
    EXPECT_THROW(conv2d_cnp_formatted_weight_100b_size(7, 0xFFFFFFFFu, 0xFFFFFFFFu, 8),
                 std::runtime_error);
}

TEST(V2Sizes, DepthwiseChannelContent) {
    const KernelRow rows[] = {
        {3, 10, 8, 10}, {4, 10, 8, 20}, {5, 10, 8, 30}, {7, 10, 8, 70},
        {3, 5, 4, 3},   {5, 3, 4, 5},   {7, 3, 4, 11},  {3, 4, 1, 2},
    };
    for (auto const& row : rows)
        EXPECT_EQ(dwc_ch_cont_100b_size(row.kernel, row.count, row.bits), row.expected)
            << "k" << row.kernel << " c" << row.count << " b" << int(row.bits);
    EXPECT_EQ(runtime_error_of([] { dwc_ch_cont_100b_size(1, 5, 8); }), unexpected_kernel);
    EXPECT_EQ(runtime_error_of([] { dwc_ch_cont_100b_size(4, 3, 4); }), "Invalid kernel size.");
}

TEST(V2Sizes, BufferTemporalConvolution) {
    struct Row {
        uint32_t filters, expected;
    };
    for (Row row : {Row{0, 0}, Row{1, 2}, Row{24, 2}, Row{25, 4}, Row{48, 4}, Row{49, 6}})
        EXPECT_EQ(buffer_temp_conv_ch_cont_100b_size(row.filters), row.expected) << row.filters;

    EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(3, 25, 2), 32u);  // 4 x (4 x 2)
    EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(0, 1, 1), 2u);
    EXPECT_EQ(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(3, 10), 40u);
    EXPECT_EQ(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(0, 7), 7u);
    // fifo_size + 1 is worked out in 64 bits: 2^32 x 2 does not fit.
    EXPECT_THROW(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(0xFFFFFFFFu, 2),
                 std::runtime_error);
    EXPECT_THROW(buffer_temp_conv_tnp_formatted_weight_100b_size(0xFFFFFFFFu, 1, 1), std::runtime_error);
}

TEST(V2Sizes, PacketSramWords) {
    struct Row {
        uint32_t y, x, c;
        uint8_t bits;
        InputPadding padding;
        uint32_t expected;
    };
    const Row rows[] = {
        {1, 1, 2048, 8, InputPadding::Packed, 512},
        {2, 3, 5, 4, InputPadding::Packed, 4},        // 120 bits
        {4, 3, 5, 4, InputPadding::RowBytePadded, 12},  // rows of 2 bytes, 10 bytes a plane
        {4, 5, 25, 8, InputPadding::RowWordPadded, 200},
        {2, 5, 3, 4, InputPadding::RowWordPadded, 6},   // rows of 3 bytes padded to 4
    };
    for (auto const& row : rows)
        EXPECT_EQ(get_fpksram_size(row.y, row.x, row.c, row.bits, row.padding), row.expected)
            << row.y << "x" << row.x << "x" << row.c;
    EXPECT_EQ(runtime_error_of([] { get_fpksram_size(1, 1, 1, 8, InputPadding::Undefined); }),
              "Unsupported padding.");
    EXPECT_EQ(runtime_error_of([] { get_fpksram_size(1, 1, 1, 8, InputPadding(7)); }),
              "Unsupported padding.");
    EXPECT_THROW(get_fpksram_size(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 8, InputPadding::Packed),
                 std::runtime_error);
}

std::shared_ptr<Dense> tensor_of(uint32_t elements) {
    return Dense::create(TensorType::uint8, Shape{elements}, Layout::c_order);
}

TEST(V2Sizes, InputShiftWords) {
    struct Row {
        uint32_t elements, expected;
    };
    for (Row row : {Row{1, 1}, Row{8, 1}, Row{9, 2}, Row{64, 8}, Row{65, 9}})
        EXPECT_EQ(cnp_tnp_input_shift_24b_size(*tensor_of(row.elements)), row.expected) << row.elements;

    auto const shifts = tensor_of(17);
    EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{9, 9, 9}, InputPadding::Packed, 8), 3u);
    // rows of 2 bytes, 5 rows + 3 -> 3 words a plane, 2 planes, 4-bit inputs
    EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{3, 2, 5}, InputPadding::RowBytePadded, 4), 6u);
    EXPECT_EQ(fnp_input_shift_24b_size(*shifts, Shape{5, 4, 25}, InputPadding::RowWordPadded, 8), 100u);
    EXPECT_EQ(runtime_error_of([&] {
                  fnp_input_shift_24b_size(*shifts, Shape{1, 1, 1}, InputPadding::Undefined, 8);
              }),
              "Unsupported padding.");
    EXPECT_THROW(fnp_input_shift_24b_size(*shifts, Shape{3, 2, 5}, InputPadding::RowBytePadded, 0),
                 std::invalid_argument);
}

TEST(V2Sizes, RowAndPlanePadding) {
    EXPECT_EQ(fnp_row_pad_slots(3, 4), 1u);
    EXPECT_EQ(fnp_plane_pad_slots(3, 1, 4), 4u);  // each plane is 8 slots
    EXPECT_EQ(fnp_row_pad_slots(4, 4), 0u);
    EXPECT_EQ(fnp_plane_pad_slots(4, 2, 4), 0u);
    EXPECT_EQ(fnp_row_pad_slots(5, 2), 3u);
    EXPECT_EQ(fnp_plane_pad_slots(5, 3, 2), 8u);  // 24 slots of 2 bits: 8 slots short of two words
    EXPECT_EQ(fnp_row_pad_slots(7, 8), 0u);
    EXPECT_THROW(fnp_row_pad_slots(3, 3), std::invalid_argument);
    EXPECT_THROW(fnp_plane_pad_slots(3, 1, 0), std::invalid_argument);
}

TEST(V2Sizes, NeuronRecordWords) {
    struct Row {
        Shape dims;
        InputPadding padding;
        uint8_t bits, weights_bits;
        uint32_t expected;
    };
    const Row rows[] = {
        {Shape{1, 1, 2048}, InputPadding::Packed, 8, 8, 514},
        {Shape{1, 1, 100}, InputPadding::Packed, 8, 4, 15},
        {Shape{3, 2, 1}, InputPadding::RowBytePadded, 4, 4, 4},
        {Shape{5, 4, 25}, InputPadding::RowWordPadded, 8, 8, 202},
    };
    for (auto const& row : rows)
        EXPECT_EQ(get_neuron_word_size(row.dims, row.padding, row.bits, row.weights_bits), row.expected);
    EXPECT_EQ(runtime_error_of([] { get_neuron_word_size(Shape{1, 1, 1}, InputPadding::Undefined, 8, 8); }),
              "Unsupported padding.");
    auto const weights = Dense::create(TensorType::int8, Shape{500, 10}, Layout::c_order);
    EXPECT_EQ(get_layer_word_size(*weights, 8, Shape{5, 4, 25}, InputPadding::RowWordPadded, 8), 2020u);
}

// A Dense1D layer whose producer runs on the given kinds.
std::shared_ptr<SplitTestLayer> dense_layer(Shape input, uint8_t bits, int weights_bits,
                                            std::set<ComponentKind> producer_kinds,
                                            uint32_t neurons = 10) {
    auto layer = std::make_shared<SplitTestLayer>("fc", LayerType::Dense1D, input,
                                                  std::map<std::string, int>{{"weights_bits", weights_bits},
                                                                             {"units", int(neurons)}});
    layer->in_bits = bits;
    if (!producer_kinds.empty()) {
        auto producer = std::make_shared<SplitTestLayer>("producer", LayerType::Conv2D, input);
        producer->kinds = std::move(producer_kinds);
        layer->inbounds = {producer};
    }
    uint64_t const inputs = input.product();
    layer->variables().set("weights", Dense::create(TensorType::int8, Shape{uint32_t(inputs), neurons},
                                                    Layout::c_order));
    return layer;
}

TEST(V2Sizes, FnpSupportedPadding) {
    using K = ComponentKind;
    struct Row {
        const char* what;
        Shape input;
        uint8_t bits;
        int weights_bits;
        std::set<ComponentKind> producer;
        bool no_previous;
        InputPadding expected;
    };
    const Row rows[] = {
        {"packed at the limit", Shape{1, 1, 2048}, 8, 8, {}, false, InputPadding::Packed},
        {"packed one over", Shape{1, 1, 2049}, 8, 8, {}, false, InputPadding::Undefined},
        {"CNP producer, 8-bit", Shape{5, 4, 25}, 8, 8, {K::CNP}, false, InputPadding::RowWordPadded},
        {"TNP-B producer, 8-bit", Shape{5, 4, 25}, 8, 8, {K::TNP_B}, false, InputPadding::RowWordPadded},
        {"4-bit weights fall to rows", Shape{5, 4, 25}, 8, 4, {K::CNP}, false, InputPadding::RowBytePadded},
        {"word rows one over", Shape{4, 1, 513}, 8, 8, {K::CNP}, false, InputPadding::Undefined},
        {"HRC producer", Shape{5, 4, 25}, 8, 8, {K::HRC}, false, InputPadding::RowBytePadded},
        {"producer not consulted", Shape{5, 4, 25}, 8, 8, {K::CNP}, true, InputPadding::Packed},
        {"no producer at all", Shape{5, 4, 25}, 8, 8, {}, false, InputPadding::Packed},
        {"FNP producer", Shape{5, 4, 25}, 8, 8, {K::FNP}, false, InputPadding::Packed},
    };
    for (auto const& row : rows) {
        auto layer = dense_layer(row.input, row.bits, row.weights_bits, row.producer);
        EXPECT_EQ(get_fnp_supported_padding(*layer, row.no_previous), row.expected) << row.what;
    }
    auto huge = dense_layer(Shape{1, 1, 1}, 8, 8, {});
    huge->inputs = {Shape{0xFFFFFFFFu, 1, 1}};
    EXPECT_EQ(runtime_error_of([&] { get_fnp_supported_padding(*huge, false); }),
              "Error when formatting the FNP inputs, the padding is undefined.");
}

TEST(V2Sizes, FnpInputDimensionsAndSize) {
    auto layer = dense_layer(Shape{5, 4, 25}, 8, 8, {ComponentKind::CNP});
    EXPECT_EQ(get_fnp_input_dim(*layer, false), (Shape{5, 4, 25}));
    EXPECT_EQ(get_fnp_input_dim(*layer, true), (Shape{1, 1, 500}));
    EXPECT_EQ(get_fnp_input_size(*layer, false), 200u);  // word-padded rows
    EXPECT_EQ(get_fnp_input_size(*layer, true), 125u);   // packed, flattened

    layer->inputs = {Shape{65536, 65536, 1}};
    EXPECT_EQ(runtime_error_of([&] { get_fnp_input_dim(*layer, true); }),
              "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)");
}

TEST(V2Sizes, FnpSramWords) {
    auto layer = dense_layer(Shape{5, 4, 25}, 8, 8, {ComponentKind::CNP}, 10);
    EXPECT_EQ(get_fnp_sram_size(*layer), 2020u);  // 10 records of 202 words
    layer = dense_layer(Shape{5, 4, 25}, 8, 8, {ComponentKind::CNP}, 30);
    EXPECT_EQ(get_fnp_sram_size(*layer), 6064u);  // 6060 needs the XL header: 16-word blocks
    layer = dense_layer(Shape{1, 1, 2049}, 8, 8, {});
    EXPECT_EQ(runtime_error_of([&] { get_fnp_sram_size(*layer); }),
              "Error when formatting the FNP inputs, the padding is undefined.");
}

}  // namespace
}  // namespace nuvra::v2
