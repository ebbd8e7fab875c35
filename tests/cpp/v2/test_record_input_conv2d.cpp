// InputConv2D programs on the HRC: the register block, the memories as select and data blocks,
// the closing blocks, and the HRC memory sizes.
#include "backends/v2/record_input_conv2d.h"

#include <gtest/gtest.h>

#include <tuple>

#include "backends/v2/recorders.h"
#include "backends/v2/sizes.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using namespace nuvra::v2::testing;

// A 3 x 3 InputConv2D with ReLU over an 8 x 8 input of `channels` channels, 'same' padding.
struct HrcFixture {
    std::shared_ptr<FakeLayer> layer = FakeLayer::make("in_conv", {ComponentKind::HRC});
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);

    explicit HrcFixture(uint32_t channels = 3, uint32_t filters = 4) {
        set_params(filters, 1);
        layer->set_input_dims({Shape{8, 8, channels}});
        layer->set_conv_block({1, 1, 8, 8, {1, 1, 1, 1}});
        layer->vars().set("weights", zeros(TensorType::int8, Shape{3, 3, channels, filters}));
        auto padding_value = zeros(TensorType::uint8, Shape{channels});
        for (uint32_t c = 0; c < channels; ++c) tensor_write<uint8_t>(*padding_value, {c}, uint8_t(c + 1));
        layer->vars().set("padding_value", padding_value);
        for (auto [name, type] : {std::pair{"output_shift", TensorType::int8}, {"output_scales", TensorType::uint8},
                                  {"bias_shift", TensorType::uint8}, {"bias", TensorType::uint8}})
            layer->vars().set(name, zeros(type, Shape{filters}));
    }

    void set_params(uint32_t filters, int activation) {
        layer->set_params(LayerType::InputConv2D,
                          {{"kernel_size", 3}, {"filters", int(filters)}, {"activation", activation}, {"padding", 1},
                           {"pool_type", 0}, {"pool_size", 1}, {"pool_stride", 1}, {"kernel_stride", 1}});
    }

    void use_lut() {
        set_params(4, 2);
        layer->vars().set("activation_shift", zeros(TensorType::int8, Shape{4}));
        layer->vars().set("activation_scales", zeros(TensorType::uint8, Shape{4}));
        layer->vars().set("lut_values", zeros(TensorType::int32, Shape{2048}));
    }

    std::vector<DecodedBlock> record() const { return decode_blocks(*record_program_input_conv2d_layer(*device, *layer)); }
};

TEST(RecordInputConv2d, RegistersMemoriesAndClosing) {
    // The registers at 0x8: enable, 8-bit output, ReLU, pool size 1 twice; strides 1; padding values
    // 1, 2, 3; padding 1 on every side; 4 filters. Then each memory as a select block at 0x20 and
    // its data (target 9) at 0x28: the planes R, G, B, then the activation parameters. Then the
    // closing blocks: the control word without enable, a start and a stop.
    uint32_t const control = 0x11000701;
    using Words = std::vector<uint32_t>;
    auto const blocks = HrcFixture().record();
    std::vector<std::tuple<hw::Ident, int, uint32_t>> places;
    for (auto const& b : blocks) places.emplace_back(b.header.ident, int(b.header.target), b.header.address);
    std::vector<std::tuple<hw::Ident, int, uint32_t>> expected{{{}, 8, 0x8}};
    for (int memory = 0; memory < 4; ++memory) expected.insert(expected.end(), {{{}, 8, 0x20}, {{}, 9, 0x28}});
    expected.insert(expected.end(), {{{}, 8, 0x8}, {{}, 8, 0x0}, {{}, 8, 0x0}});
    ASSERT_EQ(places, expected);
    EXPECT_EQ(blocks[0].words, (Words{control, 0x01010101, 0x030201, 0x1111, 0x30000}));
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(blocks[1 + 2 * i].words, (Words{1u << (i < 3 ? i : 31), 0})) << i;
    EXPECT_EQ(blocks[9].words, Words{control - 1});
    EXPECT_EQ(blocks[10].words, Words{1});
    EXPECT_EQ(blocks[11].words, Words{0});

    // One channel: only the R plane holds weights, the empty planes record nothing. A look-up
    // table comes before the activation parameters.
    HrcFixture lut(1);
    lut.use_lut();
    auto const lut_blocks = lut.record();
    ASSERT_EQ(lut_blocks.size(), 10u);
    EXPECT_EQ(lut_blocks[0].words[0] & 0x9C00, 0x9800u);  // LUT bits 11 and 15, one channel (bit 12)
    EXPECT_EQ(lut_blocks[3].words, (Words{1u << 29, 0}));
    EXPECT_EQ(lut_blocks[4].words.size(), 2048u);
    EXPECT_EQ(lut_blocks[5].words, (Words{1u << 31, 0}));
}

TEST(RecordInputConv2d, RegisterRefusals) {
    struct {
        char const* name;
        int32_t kernel, padding, pool_type, pool_size, kernel_stride, filters;
        uint8_t output_bits;
        uint32_t channels;
        std::string error;
    } const rows[] = {
        {"kernel 16", 16, 1, 0, -1, 1, 4, 8, 3, ""},
        {"kernel 6", 6, 1, 0, 1, 1, 4, 8, 3, "Wrong kernel size at HRC recording."},
        {"5-bit output", 3, 1, 0, 1, 1, 4, 5, 3,
         "Wrong output bitwidth when programming HRC: 5-bit found\nonly 8-bit and 4-bit are supported."},
        {"two channels", 3, 1, 0, 1, 1, 4, 8, 2, "Wrong number of channles at HRC recording."},
        {"padding 3", 3, 3, 0, 1, 1, 4, 8, 3, "Wrong padding at HRC recording."},
        {"average pooling", 3, 1, 2, 1, 1, 4, 8, 3, "Wrong pooling at HRC recording."},
        {"pool size 16", 3, 1, 1, 16, 1, 4, 8, 3, overflow(16, 4)},
        {"kernel stride 32", 3, 1, 0, 1, 32, 4, 8, 3, overflow(32, 5)},
        {"no filters", 3, 1, 0, 1, 1, 0, 8, 3, overflow(4294967295, 9)},
    };
    ConvCalculatedParams const conv{1, 1, 8, 8, {}};
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint32_t> regs{1, 0, 0, 0, 0};
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      format_input_conv2d_registers(&regs, row.kernel, row.output_bits, 1, Shape{8, 8, row.channels},
                                                    row.padding, row.pool_type, row.pool_size, 1, row.kernel_stride,
                                                    nullptr, &conv, row.filters);
                  }),
                  row.error);
        if (row.error.empty()) {
            EXPECT_EQ(regs[0], 0x00000741u);  // code 4, no pool size (-1)
        }
    }
}

// A LUT layer without one of its variables.
void lut_without(HrcFixture& f, std::string const& name) {
    f.use_lut();
    nuvra::testing::AnyVariables kept;
    for (auto const& n : f.layer->vars().names())
        if (n != name) kept.set_any(n, f.layer->vars().get(n));
    f.layer->vars() = kept;
}

TEST(RecordInputConv2d, LayerRefusals) {
    struct { char const* name; void (*edit)(HrcFixture&); std::string error; } const rows[] = {
        // A look-up-table activation names the variable it misses instead of recording an empty table.
        {"LUT without lut_values", [](HrcFixture& f) { lut_without(f, "lut_values"); }, "Variable lut_values not found"},
        {"LUT without activation_shift", [](HrcFixture& f) { lut_without(f, "activation_shift"); },
         "Variable activation_shift not found"},
        {"LUT without activation_scales", [](HrcFixture& f) { lut_without(f, "activation_scales"); },
         "Variable activation_scales not found"},
        {"bias of fewer filters", [](HrcFixture& f) { f.layer->vars().set("bias", zeros(TensorType::uint8, Shape{3})); },
         "Tensor bias has 3 elements along dimension 0, 4 are needed."},
        // The registers would announce 5 filters over a weight memory of 4.
        {"filters beside the weights", [](HrcFixture& f) { f.set_params(5, 1); },
         "Layer 'in_conv' has 5 filters but weights for 4."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        HrcFixture f;
        row.edit(f);
        EXPECT_EQ(error_text<std::exception>([&] { f.record(); }), row.error);
    }
}

TEST(RecordInputConv2d, MemorySizes) {
    // Three planes of 3 words a filter and 2 activation words a filter: 11 words a filter.
    struct { uint32_t filters, words; } const rows[] = {{4, 44}, {372, 4092}, {373, 4112}};
    for (auto const& row : rows) EXPECT_EQ(get_hrc_sram_size(*HrcFixture(3, row.filters).layer), row.words) << row.filters;
    MemorySizerImpl const sizer;
    EXPECT_EQ(sizer.get_weight_memory_size(HrcFixture().layer, hw::Component{}), 176u);

}

}  // namespace
}  // namespace nuvra::v2
