// The HRC program of a first-generation InputConvolutional layer: register words, the blocks of
// the record in order, the threshold memory and the size of the HRC memories.
#include "backends/v1/record_hrc.h"

#include <gtest/gtest.h>

#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"
#include "support/record_test_util.h"
#include "support/v2_checks.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;

// A built InputConvolutional layer of a 16 x 16 input; `changes` override the parameters.
struct HrcLayer {
    std::shared_ptr<Layer> layer;
    std::unique_ptr<Model> model = Model::create();

    explicit HrcLayer(std::map<std::string, int> const& changes = {}) {
        std::map<std::string, int> const params{{"input_width", 16}, {"input_height", 16}, {"input_channels", 3},
                                                {"kernel_width", 3},  {"kernel_height", 3}, {"filters", 2},
                                                {"act_bits", 1}};
        layer = nuvra::testing::make_layer(LayerType::InputConvolutional, nuvra::testing::with(params, changes), "hrc");
        model->add(layer);
    }
    std::vector<uint32_t> registers() const {
        auto const& built = dynamic_cast<ConvPoolLayer const&>(*layer);
        return format_hrc_registers(*layer->params(), built.conv_calculated_params());
    }
};

std::shared_ptr<Dense> int32s(std::vector<int32_t> const& values) {
    return nuvra::testing::i32({uint32_t(values.size())}, values);
}

TEST(V1RecordHrc, RegisterWords) {
    // Kernel 3, no padding, 3 channels, no pooling, act_bits 1: only bits 0, 13, 20 and 21.
    EXPECT_EQ(HrcLayer().registers(),
              (std::vector<uint32_t>{0x00302001, 0x11, 0, 0, 0x00010000, 0, 0, 0}));
    struct { char const* what; std::map<std::string, int> changes; uint32_t word; size_t index; } const rows[] = {
        {"kernel 7, 1 channel, act_bits 4", {{"kernel_width", 7}, {"kernel_height", 7}, {"input_channels", 1},
                                             {"act_bits", 4}}, 0x00303221, 0},
        {"2 x 2 max pooling", {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}, 0x00332001, 0},
        {"3 x 3 max pooling", {{"pool_type", 1}, {"pooling_width", 3}, {"pooling_height", 3}}, 0x00302001, 0},
        {"padded", {{"padding", 1}}, 0x00000001, 0},
        {"padding amounts", {{"padding", 1}}, 0x1111, 3},
        {"strides", {{"stride_x", 2}, {"stride_y", 3}}, 0x23, 1},
        {"padding value", {{"padding_value", 255}}, 0x00FFFFFF, 2},
        {"512 filters", {{"filters", 512}}, 0x01FF0000, 4},
    };
    for (auto const& row : rows) EXPECT_EQ(HrcLayer(row.changes).registers().at(row.index), row.word) << row.what;

    struct { char const* what; std::map<std::string, int> changes; uint64_t value; int width; } const failures[] = {
        {"513 filters", {{"filters", 513}}, 512, 9},
        {"act_bits 8", {{"act_bits", 8}}, 4, 2},
        {"padding value 256", {{"padding_value", 256}}, 256, 8},
    };
    for (auto const& row : failures)
        EXPECT_EQ(error_text<std::runtime_error>([&] { HrcLayer(row.changes).registers(); }),
                  overflow(row.value, row.width)) << row.what;
}

TEST(V1RecordHrc, BlocksInOrder) {
    HrcLayer hrc;
    hrc.layer->variables().set("threshold", int32s({-1, 5}));
    auto const record = record_program_hrc_layer(*make_fake_device(hw::Vexa_v2), *hrc.layer);
    EXPECT_EQ(record->hw_version, hw::Vexa_v2);
    auto const blocks = decode_blocks(*record);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{8, 8, 9, 8, 9, 8, 9, 8, 9, 8, 8, 8}));
    EXPECT_EQ(addresses_of(blocks),
              (std::vector<uint32_t>{0x08, 0x20, 0x28, 0x20, 0x28, 0x20, 0x28, 0x20, 0x28, 0x08, 0x00, 0x00}));
    for (auto const& block : blocks) EXPECT_EQ(block.header.ident, hw::Ident{});
    EXPECT_EQ(blocks[0].words, hrc.registers());
    // Select words of red, green, blue, then the thresholds; two filters of one line each.
    std::vector<uint32_t> const selects{1, 2, 4, 0x80000000};
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(blocks[1 + 2 * k].words, (std::vector<uint32_t>{selects[k], 0}));
    EXPECT_EQ(blocks[2].words.size(), 6u);
    EXPECT_EQ(blocks[8].words, (std::vector<uint32_t>{0x00FFFFFF, 0, 5, 0}));
    // The register word without its enable bit, then start and stop.
    EXPECT_EQ(blocks[9].words, (std::vector<uint32_t>{0x00302000}));
    EXPECT_EQ(blocks[10].words, (std::vector<uint32_t>{1}));
    EXPECT_EQ(blocks[11].words, (std::vector<uint32_t>{0}));

    // One channel of a 3 x 3 kernel fills only the red plane: the others record nothing.
    HrcLayer grey({{"input_channels", 1}});
    auto const grey_blocks = decode_blocks(*record_program_hrc_layer(*make_fake_device(hw::Vexa_v2), *grey.layer));
    EXPECT_EQ(targets_of(grey_blocks), (std::vector<int>{8, 8, 9, 8, 9, 8, 8, 8}));
}

TEST(V1RecordHrc, ThresholdsAndSizes) {
    auto const steps = int32s({16, -1});
    EXPECT_EQ(format_hrc_threshold_steps(*int32s({-1, 8388607}), *steps),
              (std::vector<uint32_t>{0x00FFFFFF, 16, 0x007FFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_hrc_threshold_steps(*int32s({8388608}), *steps); }),
              "8388608 cannot fit in a 24-bit signed integer");
    // Fewer steps than thresholds were read past their end.
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_hrc_threshold_steps(*int32s({1, 2, 3}), *steps); }),
              "Tensor act_step holds 2 elements, 3 are needed.");
    EXPECT_THROW(format_hrc_threshold_steps(*Dense::create(TensorType::float32, Shape{1}, Layout::c_order), *steps),
                 std::runtime_error);

    // 32 filters of 3 x 3 over 3 planes: 96 words each, and 64 threshold words. Kernel 7 and 75
    // filters: 3 x 1350 + 150 = 4200 words, past a plain header: rounded up to 16.
    EXPECT_EQ(get_hrc_sram_size(*HrcLayer({{"filters", 32}}).layer), 352u);
    EXPECT_EQ(get_hrc_sram_size(*HrcLayer({{"filters", 75}, {"kernel_width", 7}, {"kernel_height", 7}}).layer), 4208u);

    HrcLayer flat;
    flat.layer->variables().set("weights", Dense::create(TensorType::int8, Shape{3, 3, 3}, Layout::c_order));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { get_hrc_sram_size(*flat.layer); }),
              "Tensor weights must have rank 4, not 3.");
}

}  // namespace
}  // namespace nuvra::v1
