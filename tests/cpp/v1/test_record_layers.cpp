// The first-generation layer programs recorded for mapped CNP, FNP and HRC layers.
#include <gtest/gtest.h>

#include "backends/v1/format_fnp.h"
#include "backends/v1/record_conv.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/record_hrc.h"
#include "backends/v1/record_sep_conv.h"
#include "backends/v1/registers.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/field_table.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"
#include "support/v2_checks.h"
#include "support/variable_fill.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::fill_variable;
using nuvra::testing::image_fields;
using nuvra::testing::InputSpec;
using nuvra::testing::lone_record_args;
using nuvra::testing::V1MappedLayer;
using nuvra::testing::with;
using namespace nuvra::testing;
using Params = std::map<std::string, int>;

// A 3 x 3 Convolutional layer of 24 filters over a 16 x 16 x 4 input of 4 bits; the changes
// override the parameters. Split into NPs of at most `max_filters` filters.
V1MappedLayer conv(Params const& changes = {}, uint32_t max_filters = 8, InputSpec input = {16, 16, 4, 4}) {
    Params const params{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 24}, {"padding", 1},
                        {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}};
    return nuvra::testing::map_v1_cnp_layer(LayerType::Convolutional, with(params, changes), input, 32, max_filters);
}

V1MappedLayer sep_conv(Params const& changes = {}, uint32_t max_filters = 512, uint32_t channels = 4) {
    Params const params{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 64}, {"padding", 1},
                        {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}};
    return nuvra::testing::map_v1_cnp_layer(LayerType::SeparableConvolutional, with(params, changes),
                                            {8, 8, channels, 4}, 32, max_filters);
}

std::vector<DecodedBlock> record_conv(V1MappedLayer const& m, bool registers_only = false,
                                      std::vector<hw::Ident> const& skipped = {}) {
    return decode_blocks(*record_program_conv_layer(*m.device, lone_record_args(m.layer(), skipped, registers_only)));
}

std::vector<uint32_t> conv_regs(V1MappedLayer const& m, size_t np = 0) {
    return format_conv_np_registers(m.layer(), {}).at(m.components().at(np).ident);
}

TEST(V1RecordConv, ThreeNpsInMappingOrder) {
    auto const m = conv();
    ASSERT_EQ(m.components().size(), 3u);
    auto const blocks = record_conv(m);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 0, 4, 7, 0, 4, 7, 0, 4}));
    // 2-bit weights of 8 filters of 3 x 3 over 4 channels: 16 words per channel.
    for (size_t np = 0; np < 3; ++np) {
        SCOPED_TRACE(np);
        hw::Component const& c = m.components()[np];
        for (size_t b = 3 * np; b < 3 * np + 3; ++b) {
            EXPECT_EQ(blocks[b].header.ident, c.ident);
            EXPECT_EQ(blocks[b].header.address, 0u);
        }
        EXPECT_EQ(blocks[3 * np].words, conv_regs(m, np));
        EXPECT_EQ(blocks[3 * np + 1].words.size(), 64u);
        EXPECT_EQ(blocks[3 * np + 2].words.size(), 2u * c.filters());
        // Word 11 counts the weight words of one channel in fours.
        EXPECT_EQ(field_of(blocks[3 * np].words[11], 12, 10), 64u / 4 / 4);
        EXPECT_EQ(field_of(blocks[3 * np].words[26], 0, 11), c.start_neuron());
        EXPECT_EQ(field_of(blocks[3 * np].words[3], 16, 8), 3u);  // NPs of the layer
    }

    EXPECT_EQ(targets_of(record_conv(m, true)), (std::vector<int>{7, 7, 7}));
    // A skipped NP keeps all three blocks, its register block empty.
    auto const skipped = record_conv(m, false, {m.components()[1].ident});
    ASSERT_EQ(targets_of(skipped), (std::vector<int>{7, 0, 4, 7, 0, 4, 7, 0, 4}));
    EXPECT_TRUE(skipped[3].words.empty());
    EXPECT_EQ(skipped[4].words.size(), 64u);
}

TEST(V1RecordConv, KindWords) {
    struct { char const* what; Params changes; uint32_t w3_bits_2_3, w20_filters, w21_low, w21_high; } const rows[] = {
        {"kernel 1", {{"kernel_width", 1}, {"kernel_height", 1}, {"padding", 0}}, 0, 8, 0, 0},
        {"2-bit kernel 3", {}, 0, 0, 8, 0},
        {"1-bit kernel 3", {{"weights_bits", 1}}, 0, 0, 0, 8},
        {"4-bit kernel 3", {{"weights_bits", 4}}, 2, 0, 8, 0},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto const regs = conv_regs(conv(row.changes));
        EXPECT_EQ(field_of(regs[3], 2, 2), row.w3_bits_2_3);
        EXPECT_EQ(field_of(regs[20], 16, 11), row.w20_filters);
        EXPECT_EQ(field_of(regs[21], 0, 11), row.w21_low);
        EXPECT_EQ(field_of(regs[21], 16, 11), row.w21_high);
    }
}

TEST(V1RecordConv, PoolingWord) {
    auto const max = conv({{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}, 24);
    EXPECT_EQ(field_of(conv_regs(max)[27], 0, 3), 2u);
    // A global average pooling (width -1) has pool size 1.
    auto const global = conv({{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}}, 24);
    EXPECT_EQ(field_of(conv_regs(global)[27], 0, 3), 1u);

    // A width of 257 once went in as its low byte, 1; it is refused in full.
    auto const wide = conv({{"pool_type", 2}, {"pooling_width", 257}, {"pooling_height", 2}, {"pooling_stride_x", 2},
                            {"pooling_stride_y", 2}}, 24);
    EXPECT_EQ(error_text<std::runtime_error>([&] { conv_regs(wide); }), overflow(257, 3));
}

TEST(V1RecordConv, ThresholdsAndSteps) {
    auto const m = conv();
    fill_variable(m.layer(), "threshold", -3);
    fill_variable(m.layer(), "act_step", 2.0);
    auto const blocks = record_conv(m);
    EXPECT_EQ(blocks[2].words[0], 0xFFFFDu);  // -3 in 20 bits
    EXPECT_EQ(blocks[2].words[1], 32u);       // steps carry four fractional bits

    struct { char const* what; float step; std::string message; } const rows[] = {
        {"0x100000", 65536.0f, "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step 65536."},
        {"-1", -0.0625f, "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step 0."},
    };
    for (auto const& row : rows) {
        fill_variable(m.layer(), "act_step", row.step);
        EXPECT_EQ(error_text<CnpError>([&] { record_conv(m); }), row.message) << row.what;
    }

    auto const same = [](uint32_t n, int32_t value) { return nuvra::testing::filled<int32_t>(TensorType::int32, n, value); };
    // Without activation every threshold word is 0x80000.
    EXPECT_EQ(format_cnp_threshold_steps(*same(4, 700000), *same(4, 5), false, 1, 2),
              (std::vector<uint32_t>{0x80000, 5, 0x80000, 5}));
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_threshold_steps(*same(4, 700000), *same(4, 5), true, 0, 1); }),
              "700000 cannot fit in a 20-bit signed integer");
    // Tensors shorter than first + count were read past their end.
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_threshold_steps(*same(4, 0), *same(2, 0), true, 1, 2); }),
              "Tensor act_step holds 2 elements, 3 are needed.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_threshold_steps(*same(2, 0), *same(4, 0), true, 1, 2); }),
              "Tensor threshold holds 2 elements, 3 are needed.");
}

TEST(V1RecordSepConv, BlocksAndWords) {
    // Two NPs of 32 filters: the same depthwise block, each its own pointwise block.
    auto const m = sep_conv({}, 32);
    ASSERT_EQ(m.components().size(), 2u);
    auto const record = record_program_sep_conv_layer(*m.device, lone_record_args(m.layer(), {}));
    auto const blocks = decode_blocks(*record);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 0, 0, 4, 7, 0, 0, 4}));
    EXPECT_EQ(blocks[1].words, blocks[5].words);
    EXPECT_EQ(blocks[2].header.address, blocks[6].header.address);
    EXPECT_EQ(blocks[3].words.size(), 64u);
    EXPECT_EQ(field_of(blocks[4].words[26], 0, 11), 32u);

    auto const registers = format_sep_conv_np_registers(m.layer(), {});
    EXPECT_SAME_IMAGE(blocks[0].words, registers.at(m.components()[0].ident), image_fields(field_table, "np"));
    struct { int bits; uint32_t w3_bits_2_9, pw_words, dw_words; } const rows[] = {
        // Word 3 from bit 2: the separable flag, then bits / 2 at bits 4-5 and 8-9. 4 channels of
        // 3 x 3: two SRAM words, rounded to 16 words, 8 SRAM words. 32 filters of 2 bits: 64 bits,
        // two 48-bit pointwise words.
        {2, 0x45, 2, 8},
        // 4 bits: a 50-bit word holds four rows, one channel takes a word (16, rounded).
        {4, 0x89, 3, 8},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.bits);
        auto const regs = format_sep_conv_np_registers(sep_conv({{"weights_bits", row.bits}}, 32).layer(), {})
                                  .begin()
                                  ->second;
        EXPECT_EQ(field_of(regs[3], 2, 8), row.w3_bits_2_9);
        EXPECT_EQ(field_of(regs[20], 0, 7), row.pw_words);
        EXPECT_EQ(field_of(regs[22], 16, 14), row.dw_words);
        EXPECT_EQ(regs[21], 0u);
    }
    EXPECT_EQ(error_text<std::runtime_error>([] {
                  auto const m8 = sep_conv({{"weights_bits", 8}});
                  format_sep_conv_np_registers(m8.layer(), {});
              }), overflow(4, 2));
}

TEST(V1RecordSepConv, PointwiseBlockFollowsTheDepthwiseWords) {
    // 2-bit 3 x 3 depthwise rows: two channels to an SRAM word of two 32-bit words.
    struct { uint32_t channels; uint32_t address; } const rows[] = {{48, 3}, {50, 4}};
    for (auto const& row : rows) {
        auto const m = sep_conv({{"filters", 8}}, 512, row.channels);
        auto const blocks = decode_blocks(*record_program_sep_conv_layer(*m.device, lone_record_args(m.layer(), {})));
        EXPECT_EQ(blocks.at(1).words.size(), row.channels) << row.channels;
        EXPECT_EQ(blocks.at(2).header.address, row.address) << row.channels;
    }
    auto const m = sep_conv({}, 32);
    auto const only = decode_blocks(*record_program_sep_conv_layer(*m.device, lone_record_args(m.layer(), {}, true)));
    EXPECT_EQ(targets_of(only), (std::vector<int>{7, 7}));
}

// A FullyConnected layer of 10 units over a 4 x 4 x 2 input of 2 bits.
V1MappedLayer dense(Params const& changes = {}, hw::Type type = hw::Type::FNP3, InputSpec input = {4, 4, 2, 2},
                    bool single_buffer = true) {
    Params const params{{"units", 10}, {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}};
    return nuvra::testing::map_v1_fnp_layer(with(params, changes), input, type, single_buffer);
}

std::unique_ptr<program::Record> record(V1MappedLayer const& m, bool registers_only = false,
                                        std::vector<hw::Ident> const& skipped = {}) {
    return record_program_dense_layer(*m.device, lone_record_args(m.layer(), skipped, registers_only));
}

std::vector<uint32_t> registers(V1MappedLayer const& m) {
    return format_dense_np_registers(*m.device, m.layer(), {}).at(m.components()[0].ident);
}

TEST(V1RecordDense, TracksOnFnp3AndFnp2) {
    auto const fnp3 = dense();
    auto const r3 = record(fnp3);
    auto const blocks = decode_blocks(*r3);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 6}));
    EXPECT_SAME_IMAGE(blocks[0].words, registers(fnp3), image_fields(field_table, "np"));
    // 32 inputs of 2 bits: one group, one plane per half; 6 words per neuron.
    EXPECT_EQ(blocks[1].words.size(), 60u);
    EXPECT_EQ(r3->fnp2_filters_track, nullptr);
    EXPECT_EQ(targets_of(decode_blocks(*record(fnp3, true))), (std::vector<int>{7}));
    EXPECT_TRUE(record(fnp3, false, {fnp3.components()[0].ident})->tracks.empty());

    auto const fnp2 = dense({}, hw::Type::FNP2);
    auto const r2 = record(fnp2);
    EXPECT_EQ(targets_of(decode_blocks(*r2)), (std::vector<int>{7}));
    ASSERT_NE(r2->fnp2_filters_track, nullptr);
    EXPECT_EQ(r2->fnp2_filters_track->words.size(), 60u);
    EXPECT_EQ(r2->fnp2_filters_track->ident, fnp2.components()[0].ident);
}

TEST(V1RecordDense, RegisterWords) {
    auto const fnp3 = registers(dense());
    auto const fnp2 = registers(dense({}, hw::Type::FNP2));
    struct { char const* what; uint32_t word, offset, width, fnp3, fnp2; } const rows[] = {
        {"bits 4-6", 1, 4, 3, 7, 7},
        {"CONTROL_NP2NP_CFG", 1, 20, 2, 1, 3},
        {"CONTROL_CNP4FNP_NUM", 1, 24, 2, 1, 0},
        {"single buffer", 1, 22, 1, 1, 1},
        {"input bits / 2", 3, 0, 2, 1, 1},
        {"weights bits - 2, more than 1 bit", 3, 4, 4, 0x8, 0x8},
        {"act bits / 2, activation, one NP, layer index 1", 3, 12, 20, 0x1019, 0x1019},
        {"input rows and columns", 10, 0, 32, 0x00040004, 0x00040004},
        {"input pixels", 11, 0, 32, 16 << 12, 16 << 12},
        {"packet words", 14, 0, 32, 0x80000001, 0x80000001},
        {"units", 15, 0, 17, 10, 10},
        {"activation", 16, 29, 1, 1, 1},
        {"FNP_W_SIZE_LAST", 17, 0, 16, 60, 0},
        {"FNP_W_BLK_COUNT", 17, 20, 4, 1, 0},
        {"configuration DMA", 49, 0, 32, 0, 0x00010000},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(field_of(fnp3[row.word], row.offset, row.width), row.fnp3) << row.what;
        EXPECT_EQ(field_of(fnp2[row.word], row.offset, row.width), row.fnp2) << row.what;
    }

    auto const plain = registers(dense({{"activation", 0}, {"weights_bits", 1}}));
    EXPECT_EQ(field_of(plain[3], 15, 1), 0u);
    EXPECT_EQ(field_of(plain[16], 29, 1), 0u);
}

TEST(V1RecordDense, Failures) {
    EXPECT_EQ(error_text<std::runtime_error>([] { registers(dense({{"units", 131072}}, hw::Type::FNP2, {1, 1, 1, 2})); }),
              overflow(131072, 17));
    EXPECT_EQ(error_text<std::invalid_argument>([] { registers(dense({}, hw::Type::FNP3, {4, 4, 2, 4}, false)); }),
              "4-bit FNP inputs require single buffer mode.");
    EXPECT_EQ(error_text<std::runtime_error>([] { registers(dense({{"act_bits", 8}})); }), overflow(4, 2));

    // Weights of fewer neurons than units once programmed neurons the image lacks.
    auto const short_weights = dense();
    short_weights.layer().variables().set("weights", Dense::create(TensorType::int8, Shape{8, 32, 1, 1}, Layout::c_order));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { registers(short_weights); }),
              "Layer layer has 10 units but weights for 8 neurons.");

    // The input packet, 511 x 512 x 16417 bits, once wrapped in 32 bits to 7664 words.
    auto const wide = nuvra::testing::FakeLayer::make("wide");
    wide->set_params(LayerType::FullyConnected, {{"units", 1}, {"weights_bits", 1}, {"activation", 0}, {"act_bits", 1}})
        .set_input_dims({Shape{511, 512, 16417}})
        .set_bits(1, 1);
    wide->variables().set("weights", Dense::create(TensorType::int8, Shape{1, 1}, Layout::c_order));
    auto const mapping = std::make_shared<LayerMapping>(1);
    mapping->components->push_back(make_component(hw::Type::FNP2, {1, 0, 0, 0}, hw::NpPart{}));
    wide->set_mapping(mapping);
    auto const device = make_fake_device(hw::ZR62_v1);
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_dense_np_registers(*device, *wide, {}); }),
              overflow(134225392, 18));
}

// A built InputConvolutional layer of a 16 x 16 input; `changes` override the parameters.
struct HrcLayer {
    std::shared_ptr<Layer> layer;
    std::unique_ptr<Model> model = Model::create();

    explicit HrcLayer(std::map<std::string, int> const& changes = {}) {
        std::map<std::string, int> const params{{"input_width", 16}, {"input_height", 16}, {"input_channels", 3},
                                                {"kernel_width", 3},  {"kernel_height", 3}, {"filters", 2},
                                                {"act_bits", 1}};
        layer = nuvra::testing::make_layer(LayerType::InputConvolutional, with(params, changes), "hrc");
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
    EXPECT_SAME_IMAGE(HrcLayer().registers(), (std::vector<uint32_t>{0x00302001, 0x11, 0, 0, 0x00010000, 0, 0, 0}),
                      image_fields(field_table, "hrc"));
    struct { char const* what; std::map<std::string, int> changes; uint32_t word; size_t index; } const rows[] = {
        {"kernel 7, 1 channel, act_bits 4", {{"kernel_width", 7}, {"kernel_height", 7}, {"input_channels", 1},
                                             {"act_bits", 4}}, 0x00303221, 0},
        {"2 x 2 max pooling", {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}, 0x00332001, 0},
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
    EXPECT_SAME_IMAGE(blocks[0].words, hrc.registers(), image_fields(field_table, "hrc"));
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
}

}  // namespace
}  // namespace nuvra::v1
