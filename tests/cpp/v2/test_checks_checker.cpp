// The second-generation checker: dispatch by kind, component rules, input-SRAM and weight fits.
#include <gtest/gtest.h>

#include <limits>

#include "backends/v2/checker.h"
#include "backends/v2/sizes.h"
#include "engine/bitwidth.h"
#include "mapping/splitters.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/v2_checks.h"

namespace nuvra::v2 {
namespace {

using testing::error_text;
using testing::InputSpec;
using testing::FakeLayer;
using Params = std::map<std::string, int>;

constexpr HwVersion v2_version{0xBC, 0xA2, 1, 0};

std::shared_ptr<FakeDevice> device(bool lut_everywhere = true) {
    std::vector<np::Info> nps{{{1, 1, 1, 0}, {hw::Type::CNP1}, true}, {{1, 1, 2, 0}, {hw::Type::CNP2}, lut_everywhere}};
    return make_fake_device(v2_version, nps);
}

struct Checker {
    explicit Checker(uint32_t input_bytes = 65536, uint32_t weight_bytes = 51200, bool lut = true)
        : dev(device(lut)), constraints(testing::v2_constraints(input_bytes, weight_bytes)), impl(*dev, constraints) {}
    std::shared_ptr<FakeDevice> dev;
    HardwareConstraints constraints;
    CompatibilityCheckerImpl impl;
    CompatibilityCheckerImpl const* operator->() const { return &impl; }
};

// One built row per kind with a check of its own: a rule only that check has proves the dispatch.
TEST(V2Checker, DispatchesByKind) {
    struct { LayerType type; Params params; InputSpec input; char const* expected; } const rows[] = {
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}}, {},
         "Only padding 'Same' and 'SameUpper' are supported."},
        {LayerType::DepthwiseConv2D, {{"kernel_size", 1}, {"padding", 1}, {"activation", 1}}, {},
         "Kernel size must be 3, 5 or 7."},
        {LayerType::Conv2DTranspose, {{"kernel_size", 4}, {"filters", 4}, {"activation", 1}}, {8, 8, 342, 8},
         "Filter size is too big to fit in a CNP: try decreasing the input."},
        {LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 5}, {"activation", 1}}, {},
         "Kernel size must be 3 or 4."},
        {LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}}, {},
         "All weights cannot be zeroes."},
        {LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}, {"weights_bits", 4}}, {},
         "Only 8-bit weights are supported."},
        {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"output_bits", 4}}, {}, "Output should be 8-bit."},
        {LayerType::Dense1D, {{"units", 4}, {"weights_bits", 2}}, {1, 1, 16, 8},
         "Weights bitwidth should be 4-bit or 8-bit."},
    };
    Checker const checker;
    for (auto const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(row.type, row.params, row.input);
        EXPECT_EQ(checker->check_layer_compatibility(*built.layer, nullptr, v2_version).message, row.expected)
            << int(row.type);
    }
}

// Pass-through kinds succeed, merges reach their own check (with fewer than two inbounds a status,
// never a read past the inbound list); an unsupported kind reports only that, even with a variable
// too wide.
TEST(V2Checker, DispatchesPassThroughMergeAndUnsupportedKinds) {
    struct { LayerType type; char const* expected; int inbounds = 0; } const rows[] = {
        {LayerType::InputData, "Success."},
        {LayerType::Add, "Must be followed by a merge layer. Add needs at least 2 inbounds (got 1).", 1},
        {LayerType::Concatenate, "Must be followed by a merge layer. Concatenate needs at least 2 inbounds (got 0)."},
        {LayerType::FullyConnected, "Unsupported layer type on Nuvra v2."},
    };
    Checker const checker;
    for (auto const& row : rows) {
        auto layer = FakeLayer::make("layer", {ComponentKind::SKIP_DMA});
        layer->set_params(row.type, {{"output_bits", 8}}).set_bits(8, 8);
        for (char const* name : {"a_shift", "b_shift"})
            layer->vars().set(name, testing::filled<uint8_t>(TensorType::uint8, 1, 0));
        int8_t const too_wide = row.type == LayerType::FullyConnected ? 64 : 0;
        layer->vars().set("output_shift", testing::filled<int8_t>(TensorType::int8, 1, too_wide));
        auto const inbound = FakeLayer::make("x", {ComponentKind::CNP});  // layers hold their outbounds weakly
        if (row.inbounds) testing::connect(inbound, layer);
        MappingStatus const status = checker->check_layer_compatibility(*layer, nullptr, v2_version);
        EXPECT_EQ(status.message, row.expected) << int(row.type);
        EXPECT_EQ(status.layer_name, status.failed ? "layer" : "") << int(row.type);
    }
}

// A bit-width failure does not stop the kind's own check: both are reported, widths first.
TEST(V2Checker, BitWidthsThenKindCheck) {
    testing::BuiltLayer built =
        testing::build_after_input(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}}, {});
    // 32 takes 7 bits with its sign: one more than the NP holds.
    built.layer->variables().set("output_shift", testing::filled<int8_t>(TensorType::int8, 4, 32));
    MappingStatus const width = check_bitwidth(*built.layer, 6, "output_shift", false);
    ASSERT_TRUE(width.failed);
    Checker const checker;
    EXPECT_EQ(checker->check_layer_compatibility(*built.layer, nullptr, v2_version).message,
              width.message + " Only padding 'Same' and 'SameUpper' are supported.");
}

TEST(V2Checker, ActivationOffTheCnpOnlyReLU) {
    Params const conv{{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 2}};
    struct { char const* name; LayerType type; Params params; bool lut_everywhere; char const* expected; }
    const rows[] = {
        {"FNP LUT, a table missing", LayerType::Dense1D, {{"units", 4}, {"activation", 2}}, false,
         "Does not support activation type 'LUT'. Lookup tables are missing on some NPs."},
        {"CNP LUT, tables everywhere", LayerType::Conv2D, conv, true, "Success."},
        {"CNP LUT, a table missing", LayerType::Conv2D, conv, false, "Lookup tables are missing on some NPs."},
    };
    for (auto const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(row.type, row.params, {1, 1, 16, 8});
        Checker const checker(65536, 51200, row.lut_everywhere);
        EXPECT_EQ(checker->check_supported_activation(*built.layer).message, row.expected) << row.name;
    }
    auto odd = FakeLayer::make("tnp", {ComponentKind::TNP_B});
    odd->set_params(LayerType::BufferTempConv, {{"activation", 7}});
    odd->set_activation(static_cast<ActivationType>(7));
    Checker const checker;
    EXPECT_EQ(checker->check_supported_activation(*odd).message, "Does not support activation type 'Unknown'.");
}

hw::Component np(hw::Type type, uint32_t width = 8) {
    hw::Component c;
    c.type = type;
    c.np_part = hw::NpPart{};
    c.np_part->spatial_partition.shape = Shape{width, 8, 4};
    return c;
}

std::vector<hw::Component> many(size_t count) { return std::vector<hw::Component>(count, np(hw::Type::CNP2)); }

TEST(V2Checker, ComponentsFirstBrokenRule) {
    using hw::Type;
    struct {
        char const* name; std::vector<hw::Component> components; bool tnp_b_layer, first_of_pass; char const* expected;
    } const rows[] = {
        {"CNP width 61 counts as 64, TNP-B width unlimited, one store",
         {np(Type::CNP1, 61), np(Type::TNP_B, 100), np(Type::SKIP_DMA_STORE)}, false, false, "Success."},
        {"CNP width 65 counts as 68", {np(Type::CNP2, 8), np(Type::CNP1, 65)}, false, false,
         "The input length 68 exceeds the maximum value for NP input width: 64."},
        {"two skip-DMA stores", {np(Type::SKIP_DMA_STORE), np(Type::SKIP_DMA_STORE)}, false, false,
         "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not supported."},
        {"128 components open a pass", many(128), false, true,
         "First layer of pass exceeds the maximum of 127 hardware components. Needs 128."},
        {"128 TNP-B components inside a pass", many(128), true, false, "Success."},
        {"TNP-B opens a pass", {np(Type::TNP_B)}, true, true, "A TNP-B layer cannot be the first layer of a pass."},
        {"count before TNP-B", many(128), true, true,
         "First layer of pass exceeds the maximum of 127 hardware components. Needs 128."},
    };
    Checker const checker;
    for (auto const& row : rows) {
        auto layer = FakeLayer::make("layer", {row.tnp_b_layer ? ComponentKind::TNP_B : ComponentKind::CNP});
        MappingStatus const status = checker->check_layer_mappings(*layer, row.components, row.first_of_pass);
        EXPECT_EQ(status.message, row.expected) << row.name;
        EXPECT_EQ(status.layer_name, status.failed ? "layer" : "") << row.name;
    }
}

// A chunk fits only beside its reserved words: reserved <= capacity and size <= capacity - reserved,
// in 64 bits. The single buffer holds a quarter of the mesh's input bytes in words, the dual an eighth.
TEST(V2Checker, InputChunkFitsBesideReservedWords) {
    constexpr uint32_t all = std::numeric_limits<uint32_t>::max();
    using hw::Type;
    struct {
        char const* name; hw::Type type; uint32_t height, width, channels, fifo; uint8_t bits;
        uint32_t reserved, input_bytes; bool single, dual;
    } const rows[] = {
        // A CNP row of 64 bytes x 4 channels takes 64 words: 128 rows fill the 8192-word dual buffer.
        {"dual buffer full", Type::CNP2, 128, 64, 4, 0, 8, 0, 65536, true, true},
        {"dual buffer full plus one reserved", Type::CNP2, 128, 64, 4, 0, 8, 1, 65536, true, false},
        {"single buffer overflow", Type::CNP2, 257, 64, 4, 0, 8, 0, 65536, false, false},
        // Two channels of one 4-bit value: each row padded to 4 bytes, 2 words in all.
        {"4-bit row padded to words", Type::CNP1, 1, 1, 2, 0, 4, 0, 8, true, false},
        // 8 x 8 x 16 bytes in 256 words a frame, four frames.
        {"TNP-B four frames, dual one word short", Type::TNP_B, 8, 8, 16, 3, 8, 0, 8184, true, false},
        {"TNP-B frame rounds to 64 words, 63 free", Type::TNP_B, 1, 1, 1, 0, 8, 0, 504, true, false},
        // A FIFO count of 0xFFFFFFFF + 1 frames is never 0 frames.
        {"TNP-B huge FIFO", Type::TNP_B, 8, 8, 16, all, 8, 0, 65536, false, false},
        {"zero SRAM after an Add", Type::CNP1, 1, 4, 1, 0, 8, 512, 0, false, false},
        {"4095 bytes after an Add", Type::CNP1, 1, 4, 1, 0, 8, 512, 4095, true, false},
        {"chunk wrapping 32 bits", Type::CNP1, 2, 8, 0x40000000u, 0, 8, 0, 65536, false, false},
    };
    for (auto const& r : rows) {
        Checker const checker(r.input_bytes);
        EXPECT_EQ(checker->is_sram_input_fit_single_buffer(r.type, r.height, r.width, r.channels, r.fifo, r.bits,
                                                           r.reserved),
                  r.single)
            << r.name;
        EXPECT_EQ(checker->is_sram_input_fit_dual_buffer(r.type, r.height, r.width, r.channels, r.fifo, r.bits,
                                                         r.reserved),
                  r.dual)
            << r.name;
    }
    Checker const checker;
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { checker->is_sram_input_fit_single_buffer(hw::Type::FNP3, 1, 1, 1, 0, 8, 0); }),
              "Type of NP not supported.");
}

TEST(V2Checker, WeightPartFitsOneNp) {
    // weight_bytes of the mesh: 51200 bytes hold 4096 words, 3276800 bytes 262144; size: get_weights_100b_size
    struct {
        char const* name; LayerType type; Params params; InputSpec input; uint32_t filters, weight_bytes; uint64_t size;
        bool fits;
    } const rows[] = {
        {"conv2d 683 channels", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 8}}, {8, 8, 683, 8}, 8, 51200, 4098,
         false},
        // The channel content of 6291433 4-bit kernel-1 filters is 0x40000 words.
        {"channel content 0x40000", LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 8}, {"weights_bits", 4}},
         {8, 8, 1, 4}, 6291433, 3276800, 0x40000, false},
        {"transposed", LayerType::Conv2DTranspose, {{"kernel_size", 4}, {"filters", 8}}, {}, 8, 51200, 48, true},
        {"depthwise 4097 channels", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {}, 4097, 51200, 4097, false},
        {"depthwise 0x3FFFF limit", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {}, 0x40000, 3276800, 0x40000,
         false},
        {"buffer temporal", LayerType::BufferTempConv, {{"fifo_size", 3}, {"filters", 8}}, {8, 8, 16, 8}, 8, 51200, 128,
         true},
        {"depthwise temporal 1025", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, {8, 8, 16, 8}, 1025, 51200,
         4100, false},
    };
    for (auto const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(row.type, row.params, row.input);
        EXPECT_EQ(get_weights_100b_size(*built.layer, row.filters), row.size) << row.name;
        Checker const checker(65536, row.weight_bytes);
        EXPECT_EQ(checker->is_weights_size_fit_np(*built.layer, row.filters), row.fits) << row.name;
    }
}

// Kinds without NP weights are refused; sizes are counted in 64 bits, so a part too big never wraps
// into a fit, and a FIFO the delay cannot count is refused.
TEST(V2Checker, WeightSizeRefusals) {
    testing::BuiltLayer dense = testing::build_after_input(LayerType::Dense1D, {{"units", 4}}, {1, 1, 16, 8});
    auto huge = FakeLayer::make("conv", {ComponentKind::CNP});
    huge->set_params(LayerType::Conv2D, {{"kernel_size", 7}, {"weights_bits", 8}});
    huge->set_input_dims({Shape{8, 8, 0x80000000u}});
    auto fifo = FakeLayer::make("tnp", {ComponentKind::TNP_B});
    fifo->set_params(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 255}});
    fifo->set_input_dims({Shape{8, 8, 16}});
    Checker const checker;
    EXPECT_EQ(error_text<std::invalid_argument>([&] { checker->is_weights_size_fit_np(*dense.layer, 4); }),
              "Unexpected layer type for CNP or TNP-B.");
    EXPECT_FALSE(checker->is_weights_size_fit_np(*huge, 8));
    EXPECT_EQ(error_text<std::runtime_error>([&] { get_weights_100b_size(*huge, 8); }),
              "The weights of layer 'conv' need more than 4294967295 100-bit words.");
    EXPECT_FALSE(checker->is_weights_size_fit_np(*fifo, 16));
    EXPECT_EQ(error_text<std::runtime_error>([&] { get_weights_100b_size(*fifo, 16); }),
              "The FIFO size must be between 0 and 254 (got 255).");
}

TEST(V2Checker, SplitParameters) {
    struct { hw::Type type; Params params; uint32_t halo, pool_type, pool_size, filters; } const rows[] = {
        {hw::Type::CNP2, {{"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}, {"filters", 16}}, 1, 1, 2, 16},
        {hw::Type::TNP_B, {{"fifo_size", 3}, {"filters", 32}}, 0, 0, 0, 32},  // no kernel read
    };
    Checker const checker;
    for (auto const& row : rows) {
        NpSplitParams const split = checker->np_split_params(row.type, *LayerParams::create(LayerType::Conv2D,
                                                                                            row.params));
        EXPECT_EQ(split.halo, (Halo{row.halo, row.halo, row.halo, row.halo}));
        EXPECT_EQ(split.pool_type, row.pool_type);
        EXPECT_EQ(split.pool_width, row.pool_size);
        EXPECT_EQ(split.pool_height, row.pool_size);
        EXPECT_EQ(split.filters, row.filters);
    }
}

// The TNP-B kinds keep a given pooling for their split alone: the split parameters carry it
// (without a halo), and max pooling lines the width chunks up on the pool size. A 10-wide input
// cut at most 3 wide: 4 chunks of 3, 3, 3, 1; aligned on 2, 5 chunks of 2; a pool of 4 cannot cut.
TEST(V2Checker, TemporalKindsSplitOnTheirGivenPooling) {
    using LT = LayerType;
    Params const btc{{"fifo_size", 2}, {"filters", 4}};
    Params const dw{{"fifo_size", 2}};
    struct Row {
        LT type; Params params; uint32_t pool_type, pool_size, filters; std::vector<uint32_t> widths;
        char const* failure;
    };
    Row const rows[] = {
        {LT::BufferTempConv, testing::with(btc, {{"pool_type", 1}, {"pool_size", 2}}), 1, 2, 4, {2, 2, 2, 2, 2}, ""},
        {LT::BufferTempConv, btc, 0, 0, 4, {3, 3, 3, 1}, ""},
        {LT::BufferTempConv, testing::with(btc, {{"pool_type", 2}, {"pool_size", 2}}), 2, 2, 4, {3, 3, 3, 1}, ""},
        {LT::DepthwiseBufferTempConv, testing::with(dw, {{"pool_type", 1}, {"pool_size", 2}}), 1, 2, 0,
         {2, 2, 2, 2, 2}, ""},
        {LT::BufferTempConv, testing::with(btc, {{"pool_type", 1}, {"pool_size", 4}}), 1, 4, 4, {},
         "Cannot split by width."},
    };
    Checker const checker;
    for (auto const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(row.type, row.params, {10, 4, 4, 8});
        SCOPED_TRACE("kind " + std::to_string(int(row.type)) + " pool " + std::to_string(row.pool_type) + " size " +
                     std::to_string(row.pool_size));
        NpSplitParams const split = checker->np_split_params(hw::Type::TNP_B, *built.layer->params());
        EXPECT_EQ(split.halo, (Halo{0, 0, 0, 0}));
        EXPECT_EQ(std::vector<uint32_t>({split.pool_type, split.pool_width, split.pool_height, split.filters}),
                  std::vector<uint32_t>({row.pool_type, row.pool_size, row.pool_size, row.filters}));

        auto const split_layer = built.layer->is_depthwise() ? split_depthwise_conv_layer : split_conv_layer;
        auto const outcome = split_layer(*built.layer, checker.impl, 256, 3, 512, hw::Type::TNP_B, false);
        EXPECT_EQ(outcome.second.message, *row.failure ? row.failure : "Success.");
        std::vector<uint32_t> widths;
        for (hw::Component const& c : outcome.first) widths.push_back(c.spatial_partition().shape[0]);
        EXPECT_EQ(widths, row.widths);
    }
}

TEST(V2Checker, Fnp3FitAgainstTheGivenConstraints) {
    testing::BuiltLayer built = testing::build_after_input(LayerType::Dense1D, {{"units", 10}}, {1, 1, 64, 8});
    uint32_t const need = get_fnp_sram_size(*built.layer);
    auto const dev = device();
    HardwareConstraints own = testing::v2_constraints();
    own.fnp3_sram_words = need - 1;
    CompatibilityCheckerImpl const checker(*dev, own);
    HardwareConstraints exact = own;
    exact.fnp3_sram_words = need;
    EXPECT_TRUE(checker.check_fnp3_sram_size(exact, *built.layer));
    EXPECT_FALSE(checker.check_fnp3_sram_size(own, *built.layer));
    EXPECT_FALSE(checker.is_fnp3_compatible(*built.layer));  // the checker's own constraints
}

}  // namespace
}  // namespace nuvra::v2
