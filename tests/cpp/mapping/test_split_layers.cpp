#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "mapping/split.h"
#include "mapping/splitters.h"
#include "support/split_doubles.h"

namespace nuvra {
namespace {

std::shared_ptr<SplitTestLayer> layer_of(LayerType type, Shape input,
                                         std::map<std::string, int> const& params) {
    return std::make_shared<SplitTestLayer>("L1", type, input, params);
}

void expect_failure(SplitOutcome const& outcome, const char* message) {
    EXPECT_TRUE(outcome.first.empty());
    EXPECT_TRUE(outcome.second.failed);
    EXPECT_EQ(outcome.second.message, message);
    EXPECT_EQ(outcome.second.layer_name, "L1");
}

void expect_success(SplitOutcome const& outcome) {
    EXPECT_FALSE(outcome.second.failed) << outcome.second.message;
    EXPECT_EQ(outcome.second.message, "Success.");
    EXPECT_TRUE(outcome.second.layer_name.empty());
}

TEST(SplitLayers, Conv2DFiltersCutBeforeTheWeightCheck) {
    auto layer = layer_of(LayerType::Conv2D, Shape{16, 16, 8}, {{"filters", 600}, {"kernel_size", 3}});
    SplitTestChecker checker;
    checker.split_params = make_split_params(1, 1, 1, 1, 0, 0, 0, 600);
    auto const outcome = split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::CNP2, false);
    expect_success(outcome);
    ASSERT_EQ(checker.weight_queries.size(), 1u);
    EXPECT_EQ(checker.weight_queries[0], 300u);
    ASSERT_EQ(outcome.first.size(), 2u);
    EXPECT_EQ(outcome.first[0].filters(), 300u);
    EXPECT_EQ(outcome.first[1].start_neuron(), 300u);
    EXPECT_EQ(outcome.first[1].type, hw::Type::CNP2);
    EXPECT_EQ(outcome.first[0].spatial_partition().shape[2], 8u);
    EXPECT_EQ(checker.split_param_queries, std::vector<hw::Type>{hw::Type::CNP2});
}

TEST(SplitLayers, FailureMessagesInStepOrder) {
    struct Row {
        const char* what;
        uint32_t max_height, max_width, max_filters;
        uint32_t max_weight_filters;
        uint64_t capacity;
        const char* message;
    };
    const Row rows[] = {
        {"no height", 0, 64, 512, 512, SplitTestChecker::unlimited, "Cannot split by height."},
        {"no width", 256, 0, 512, 512, SplitTestChecker::unlimited, "Cannot split by width."},
        {"no filters", 256, 64, 0, 512, SplitTestChecker::unlimited, "Cannot split by neurons."},
        {"weights", 256, 64, 512, 0, SplitTestChecker::unlimited, "Cannot split to fit weights in ram."},
        {"inputs", 256, 64, 512, 512, 0, "Cannot split to fit inputs in ram."},
    };
    auto layer = layer_of(LayerType::Conv2D, Shape{16, 16, 8}, {{"filters", 32}, {"kernel_size", 3}});
    for (auto const& row : rows) {
        SplitTestChecker checker;
        checker.split_params = make_split_params(1, 1, 1, 1, 0, 0, 0, 32);
        checker.max_weight_filters = row.max_weight_filters;
        checker.dual_capacity = checker.single_capacity = row.capacity;
        SCOPED_TRACE(row.what);
        expect_failure(split_conv_layer(*layer, checker, row.max_height, row.max_width,
                                        row.max_filters, hw::Type::CNP1, false),
                       row.message);
    }
}

TEST(SplitLayers, ConvPassesFifoReservedAndTnpB) {
    auto layer = layer_of(LayerType::BufferTempConv, Shape{4, 4, 8},
                          {{"filters", 16}, {"kernel_size", 1}, {"fifo_size", 8}});
    layer->kinds = {ComponentKind::TNP_B};
    layer->inbounds = {std::make_shared<SplitTestLayer>("add", LayerType::Add, Shape{4, 4, 8})};
    SplitTestChecker checker;
    checker.split_params = make_split_params(0, 0, 0, 0, 0, 0, 0, 16);
    checker.dual_capacity = 0;  // only the single buffer holds it
    auto const outcome = split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::TNP_B, false);
    expect_success(outcome);
    ASSERT_EQ(outcome.first.size(), 1u);
    EXPECT_TRUE(outcome.first[0].single_buffer());
    EXPECT_EQ(outcome.first[0].type, hw::Type::TNP_B);
    bool saw_dual = false, saw_single = false;
    for (auto const& q : checker.fit_queries) {
        EXPECT_EQ(q.fifo_size, 8u);
        EXPECT_EQ(q.reserved, 512u);
        EXPECT_EQ(q.type, hw::Type::TNP_B);
        (q.dual ? saw_dual : saw_single) = true;
    }
    EXPECT_TRUE(saw_dual && saw_single);
}

TEST(SplitLayers, DepthwiseOnTnpBWithChannelsNotWholeGroups) {
    auto layer = layer_of(LayerType::DepthwiseBufferTempConv, Shape{4, 4, 70},
                          {{"kernel_size", 1}, {"fifo_size", 2}});
    layer->kinds = {ComponentKind::TNP_B};
    layer->depthwise = true;
    SplitTestChecker checker;
    auto const outcome = split_depthwise_conv_layer(*layer, checker, 256, 64, 64, hw::Type::TNP_B, false);
    expect_failure(outcome, "Cannot split to fit inputs in ram.");
    EXPECT_EQ(checker.weight_queries, std::vector<uint32_t>{36});  // 35 rounded up to 36
}

TEST(SplitLayers, DepthwiseChannelsFollowFilters) {
    auto layer = layer_of(LayerType::DepthwiseConv2D, Shape{8, 8, 16}, {{"kernel_size", 3}});
    layer->depthwise = true;
    SplitTestChecker checker;
    auto const outcome = split_depthwise_conv_layer(*layer, checker, 256, 64, 8, hw::Type::CNP1, false);
    expect_success(outcome);
    ASSERT_EQ(outcome.first.size(), 2u);
    EXPECT_EQ(outcome.first[0].spatial_partition().shape[2], 8u);
    EXPECT_EQ(outcome.first[1].start_neuron(), 8u);
    EXPECT_EQ(checker.fit_queries.back().channels, 8u);

    // A limit below the TNP-B alignment cannot cut the channels.
    layer->kinds = {ComponentKind::TNP_B};
    expect_failure(split_depthwise_conv_layer(*layer, checker, 256, 64, 3, hw::Type::TNP_B, false),
                   "Cannot split by neurons.");
}

TEST(SplitLayers, TransposedTallerThanTheLimit) {
    auto layer = layer_of(LayerType::Conv2DTranspose, Shape{8, 40, 4}, {{"filters", 8}, {"kernel_size", 3}});
    SplitTestChecker checker;
    expect_failure(split_transposed_conv2d_layer(*layer, checker, 32, 32, 512, false),
                   "Split by height is not supported.");
    expect_failure(split_transposed_dwconv2d_layer(*layer, checker, 32, 32, 512, false),
                   "Split by height is not supported.");
    EXPECT_TRUE(checker.split_param_queries.empty()) << "the transposed kinds build their own";
}

TEST(SplitLayers, TransposedHaloFromTheKernel) {
    struct Row {
        int kernel;
        uint32_t first_halo_width, second_halo_x, second_halo_width;
    };
    // Leading halo 1, trailing halo kernel - 3.
    for (Row row : {Row{3, 10, 9, 11}, Row{4, 11, 9, 11}}) {
        auto layer = layer_of(LayerType::Conv2DTranspose, Shape{20, 8, 4},
                              {{"filters", 8}, {"kernel_size", row.kernel}});
        SplitTestChecker checker;
        auto const outcome = split_transposed_conv2d_layer(*layer, checker, 32, 10, 512, false);
        expect_success(outcome);
        ASSERT_EQ(outcome.first.size(), 2u) << row.kernel;
        EXPECT_EQ(outcome.first[0].type, hw::Type::CNP1);
        EXPECT_EQ(outcome.first[0].halo_partition().shape[0], row.first_halo_width) << row.kernel;
        EXPECT_EQ(outcome.first[1].halo_partition().x, row.second_halo_x) << row.kernel;
        EXPECT_EQ(outcome.first[1].halo_partition().shape[0], row.second_halo_width) << row.kernel;
        EXPECT_EQ(outcome.first[0].halo_partition().shape[1], 8u) << "one height chunk, no halo";
        for (auto const& q : checker.fit_queries) EXPECT_EQ(q.fifo_size, 0u);
    }
}

TEST(SplitLayers, TransposedDepthwiseCutsTheChannels) {
    auto layer = layer_of(LayerType::DepthwiseConv2DTranspose, Shape{8, 8, 12}, {{"kernel_size", 3}});
    layer->depthwise = true;
    SplitTestChecker checker;
    auto const outcome = split_transposed_dwconv2d_layer(*layer, checker, 32, 32, 8, false);
    expect_success(outcome);
    ASSERT_EQ(outcome.first.size(), 2u);
    EXPECT_EQ(outcome.first[0].filters(), 6u);
    EXPECT_EQ(outcome.first[1].spatial_partition().shape[2], 6u);
    EXPECT_EQ(outcome.first[1].type, hw::Type::CNP1);
}

TEST(SplitLayers, LoopItselfNeedsADualBuffer) {
    auto layer = layer_of(LayerType::Conv2D, Shape{16, 16, 4}, {{"filters", 8}, {"kernel_size", 1}});
    SplitTestChecker checker;
    checker.split_params = make_split_params(0, 0, 0, 0, 0, 0, 0, 8);
    checker.dual_capacity = 16 * 8 * 4;
    auto const outcome = split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::CNP1, true);
    expect_success(outcome);
    ASSERT_EQ(outcome.first.size(), 2u);
    EXPECT_FALSE(outcome.first[0].single_buffer());
}

TEST(SplitLayers, LayerThatFitsNowhereFailsQuickly) {
    auto layer = layer_of(LayerType::Conv2D, Shape{4096, 4096, 2048},
                          {{"filters", 2048}, {"kernel_size", 7}});
    SplitTestChecker checker;
    checker.split_params = make_split_params(3, 3, 3, 3, 0, 0, 0, 2048);
    checker.dual_capacity = checker.single_capacity = 2047;  // not even one column of channels
    auto const start = std::chrono::steady_clock::now();
    expect_failure(split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::CNP1, false),
                   "Cannot split to fit inputs in ram.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace nuvra
