// The second-generation checker: dispatch by kind with bit widths and activation, component
// rules, input-SRAM and weight fits, split parameters and the FNP3 fit.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "backends/v2/checker.h"
#include "backends/v2/sizes.h"
#include "engine/bitwidth.h"
#include "hw/format.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::InputSpec;
using testing::V2FakeLayer;

constexpr HwVersion v2_version{0xBC, 0xA2, 1, 0};

// A v2 device whose NPs all have look-up tables, or one NP without.
std::shared_ptr<FakeDevice> device(bool lut_everywhere = true) {
    std::vector<np::Info> nps{{{1, 1, 1, 0}, {hw::Type::CNP1}, true}, {{1, 1, 2, 0}, {hw::Type::CNP2}, lut_everywhere}};
    return make_fake_device(v2_version, fake_mesh(IpVersion::v2, nps));
}

// ---- check_layer_compatibility ----

struct KindRow {
    char const* name;
    LayerType type;
    std::map<std::string, int> params;
    InputSpec input;
    char const* expected;
};

void PrintTo(KindRow const& row, std::ostream* out) { *out << row.name; }

// One row per kind: a layer that breaks a rule only that kind's check has, so the row proves the
// dispatch reached it.
KindRow const kind_rows[] = {
    {"Dequantizer", LayerType::Dequantizer, {}, {}, "Success."},
    {"Quantizer", LayerType::Quantizer, {}, {}, "Success."},
    {"FullyConnected", LayerType::FullyConnected, {{"units", 4}}, {}, "Unsupported layer type on Nuvra v2."},
    {"Conv2D", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}}, {},
     "Only padding 'Same' and 'SameUpper' are supported."},
    {"DepthwiseConv2D", LayerType::DepthwiseConv2D, {{"kernel_size", 1}, {"padding", 1}, {"activation", 1}}, {},
     "Kernel size must be 3, 5 or 7."},
    {"Conv2DTranspose", LayerType::Conv2DTranspose, {{"kernel_size", 4}, {"filters", 4}, {"activation", 1}},
     {8, 8, 342, 8}, "Filter size is too big to fit in a CNP: try decreasing the input."},
    {"DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 5}, {"activation", 1}}, {},
     "Kernel size must be 3 or 4."},
    {"InputConv2D", LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}}, {},
     "All weights cannot be zeroes."},
    {"BufferTempConv", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}, {"weights_bits", 4}}, {},
     "Only 8-bit weights are supported."},
    {"DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"output_bits", 4}}, {},
     "Output should be 8-bit."},
    {"Dense1D", LayerType::Dense1D, {{"units", 4}, {"weights_bits", 2}}, {1, 1, 16, 8},
     "Weights bitwidth should be 4-bit or 8-bit."},
};

class CheckerKinds : public ::testing::TestWithParam<KindRow> {};

TEST_P(CheckerKinds, DispatchByKind) {
    KindRow const& row = GetParam();
    testing::BuiltLayer built = testing::build_after_input(row.type, row.params, row.input, "layer");
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    CompatibilityCheckerImpl const checker(*dev, constraints);
    EXPECT_EQ(checker.check_layer_compatibility(*built.layer, nullptr, v2_version).message, row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckerKinds, ::testing::ValuesIn(kind_rows), testing::RowName{});

TEST(CheckerKinds, InputData) {
    testing::BuiltLayer built = testing::build_after_input(LayerType::Dequantizer, {}, {}, "deq");
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    MappingStatus const status =
        CompatibilityCheckerImpl(*dev, constraints).check_layer_compatibility(*built.model->get_layer(0), nullptr, v2_version);
    EXPECT_FALSE(status.failed);
    EXPECT_EQ(status.message, "Success.");
}

TEST(CheckerKinds, MergeKinds) {
    struct Row {
        LayerType type;
        char const* expected;
    } const rows[] = {
        {LayerType::Add, "Must be followed by a merge layer."},
        {LayerType::Concatenate, "Must be followed by a merge layer."},
    };
    for (Row const& row : rows) {
        auto model = Model::create();
        model->add(testing::make_input(8, 8, 4));
        auto a = testing::make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, "a");
        auto b = testing::make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, "b");
        model->add(a);
        model->add(b);
        auto merge = testing::make_layer(row.type, {}, "merge");
        model->add(merge, {a, b});
        auto const dev = device();
        HardwareConstraints const constraints = testing::v2_constraints();
        CompatibilityCheckerImpl const checker(*dev, constraints);
        EXPECT_EQ(checker.check_layer_compatibility(*merge, nullptr, v2_version).message, row.expected);
    }
}

// An unsupported kind reports only that, even with variables too wide.
TEST(CheckerKinds, UnsupportedKindHidesBitWidths) {
    auto layer = V2FakeLayer::make("fc", {ComponentKind::FNP});
    layer->set_params(LayerType::FullyConnected, {{"units", 4}});
    layer->vars().set("output_shift", testing::filled<int8_t>(TensorType::int8, 4, 64));
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    MappingStatus const status = CompatibilityCheckerImpl(*dev, constraints).check_layer_compatibility(*layer, nullptr, v2_version);
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.layer_name, "fc");
    EXPECT_EQ(status.message, "Unsupported layer type on Nuvra v2.");
}

// A bit-width failure does not stop the kind's own check: both are reported, widths first.
TEST(CheckerKinds, BitWidthsThenKindCheck) {
    testing::BuiltLayer built = testing::build_after_input(
        LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"activation", 1}}, {}, "conv");
    // 32 takes 7 bits with its sign: one more than the NP holds.
    built.layer->variables().set("output_shift", testing::filled<int8_t>(TensorType::int8, 4, 32));
    MappingStatus const width = check_bitwidth(*built.layer, 6, "output_shift", false);
    ASSERT_TRUE(width.failed);
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    MappingStatus const status =
        CompatibilityCheckerImpl(*dev, constraints).check_layer_compatibility(*built.layer, nullptr, v2_version);
    EXPECT_EQ(status.message, width.message + " Only padding 'Same' and 'SameUpper' are supported.");
    EXPECT_EQ(status.layer_name, "conv");
}

// ---- check_supported_activation ----

TEST(CheckerActivation, OffTheCnpOnlyReLU) {
    struct Row {
        char const* name;
        LayerType type;
        std::map<std::string, int> params;
        bool lut_everywhere;
        char const* expected;
    } const rows[] = {
        {"FNP ReLU", LayerType::Dense1D, {{"units", 4}, {"activation", 1}}, false, "Success."},
        {"FNP LUT, tables everywhere", LayerType::Dense1D, {{"units", 4}, {"activation", 2}}, true,
         "Does not support activation type 'LUT'."},
        {"FNP LUT, a table missing", LayerType::Dense1D, {{"units", 4}, {"activation", 2}}, false,
         "Does not support activation type 'LUT'. Lookup tables are missing on some NPs."},
        {"CNP LUT, tables everywhere", LayerType::Conv2D,
         {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 2}}, true, "Success."},
        {"CNP LUT, a table missing", LayerType::Conv2D,
         {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 2}}, false,
         "Lookup tables are missing on some NPs."},
        {"FNP without activation", LayerType::Dense1D, {{"units", 4}}, false, "Success."},
    };
    for (auto const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(row.type, row.params, {1, 1, 16, 8}, "layer");
        auto const dev = device(row.lut_everywhere);
        HardwareConstraints const constraints = testing::v2_constraints();
        EXPECT_EQ(CompatibilityCheckerImpl(*dev, constraints).check_supported_activation(*built.layer).message,
                  row.expected)
            << row.name;
    }
}

TEST(CheckerActivation, UnknownActivationName) {
    auto layer = V2FakeLayer::make("tnp", {ComponentKind::TNP_B});
    layer->set_params(LayerType::BufferTempConv, {{"activation", 7}});
    layer->set_activation(static_cast<ActivationType>(7));
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    EXPECT_EQ(CompatibilityCheckerImpl(*dev, constraints).check_supported_activation(*layer).message,
              "Does not support activation type 'Unknown'.");
}

// ---- check_layer_mappings ----

hw::Component np(hw::Type type, uint32_t width = 8) {
    hw::Component c;
    c.type = type;
    c.np_part = hw::NpPart{};
    c.np_part->spatial_partition.shape = Shape{width, 8, 4};
    return c;
}

struct MappingRow {
    char const* name;
    std::vector<hw::Component> components;
    bool tnp_b_layer;
    bool first_of_pass;
    char const* expected;
};

std::vector<hw::Component> many(size_t count) { return std::vector<hw::Component>(count, np(hw::Type::CNP2)); }

TEST(CheckerMappings, FirstBrokenRule) {
    MappingRow const rows[] = {
        {"CNP width 61 counts as 64", {np(hw::Type::CNP1, 61)}, false, false, "Success."},
        {"CNP width 64", {np(hw::Type::CNP2, 64)}, false, false, "Success."},
        {"CNP width 65 counts as 68", {np(hw::Type::CNP2, 8), np(hw::Type::CNP1, 65)}, false, false,
         "The input length 68 exceeds the maximum value for NP input width: 64."},
        {"TNP-B width is not limited", {np(hw::Type::TNP_B, 100)}, true, false, "Success."},
        {"one skip-DMA store", {np(hw::Type::CNP1), np(hw::Type::SKIP_DMA_STORE)}, false, false, "Success."},
        {"two skip-DMA stores", {np(hw::Type::SKIP_DMA_STORE), np(hw::Type::SKIP_DMA_STORE)}, false, false,
         "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not supported."},
        {"127 components open a pass", many(127), false, true, "Success."},
        {"128 components open a pass", many(128), false, true,
         "First layer of pass exceeds the maximum of 127 hardware components. Needs 128."},
        {"128 components inside a pass", many(128), false, false, "Success."},
        {"TNP-B opens a pass", {np(hw::Type::TNP_B)}, true, true, "A TNP-B layer cannot be the first layer of a pass."},
        {"TNP-B inside a pass", {np(hw::Type::TNP_B)}, true, false, "Success."},
        {"count before TNP-B", many(128), true, true,
         "First layer of pass exceeds the maximum of 127 hardware components. Needs 128."},
    };
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    CompatibilityCheckerImpl const checker(*dev, constraints);
    for (MappingRow const& row : rows) {
        auto layer = V2FakeLayer::make("layer", {row.tnp_b_layer ? ComponentKind::TNP_B : ComponentKind::CNP});
        MappingStatus const status = checker.check_layer_mappings(*layer, row.components, row.first_of_pass);
        EXPECT_EQ(status.message, row.expected) << row.name;
        EXPECT_EQ(status.layer_name, status.failed ? "layer" : "") << row.name;
    }
}

// ---- input SRAM fit ----

struct SramRow {
    char const* name;
    hw::Type type;
    uint32_t height, width, channels, fifo;
    uint8_t bits;
    uint32_t reserved;
    uint32_t input_bytes;  // of the mesh: single buffer a quarter in words, dual an eighth
    bool single, dual;
};

constexpr uint32_t all = std::numeric_limits<uint32_t>::max();

TEST(CheckerSram, ChunkFitsBesideReservedWords) {
    // A CNP row of 64 bytes x 4 channels takes 64 words: 128 rows fill the 8192-word dual buffer.
    SramRow const rows[] = {
        {"one word", hw::Type::CNP1, 1, 4, 1, 0, 8, 0, 65536, true, true},
        {"dual buffer full", hw::Type::CNP2, 128, 64, 4, 0, 8, 0, 65536, true, true},
        {"dual buffer full plus reserve", hw::Type::CNP2, 128, 64, 4, 0, 8, 1, 65536, true, false},
        {"single buffer full", hw::Type::CNP2, 256, 64, 4, 0, 8, 0, 65536, true, false},
        {"single buffer overflow", hw::Type::CNP2, 257, 64, 4, 0, 8, 0, 65536, false, false},
        {"after an Add, 7680 + 512 words", hw::Type::CNP2, 120, 64, 4, 0, 8, 512, 65536, true, true},
        {"after an Add, 7744 + 512 words", hw::Type::CNP2, 121, 64, 4, 0, 8, 512, 65536, true, false},
        // Two channels of one 4-bit value: each row padded to 4 bytes, 2 words in all.
        {"4-bit row padded to words", hw::Type::CNP1, 1, 1, 2, 0, 4, 0, 8, true, false},
        // 8 x 8 x 16 bytes in 256 words a frame, four frames.
        {"TNP-B four frames", hw::Type::TNP_B, 8, 8, 16, 3, 8, 0, 8192, true, true},
        {"TNP-B four frames, dual too small", hw::Type::TNP_B, 8, 8, 16, 3, 8, 0, 8184, true, false},
        {"TNP-B frame rounds to 64 words", hw::Type::TNP_B, 1, 1, 1, 0, 8, 0, 512, true, true},
        {"TNP-B frame rounds to 64 words, 63 free", hw::Type::TNP_B, 1, 1, 1, 0, 8, 0, 504, true, false},
        // A FIFO count of 0xFFFFFFFF + 1 frames is never 0 frames.
        {"TNP-B huge FIFO", hw::Type::TNP_B, 8, 8, 16, all, 8, 0, 65536, false, false},
        {"zero SRAM", hw::Type::CNP1, 1, 4, 1, 0, 8, 0, 0, false, false},
        {"zero SRAM after an Add", hw::Type::CNP1, 1, 4, 1, 0, 8, 512, 0, false, false},
        {"4095 bytes after an Add", hw::Type::CNP1, 1, 4, 1, 0, 8, 512, 4095, true, false},
        {"2047 bytes after an Add", hw::Type::CNP1, 1, 4, 1, 0, 8, 512, 2047, false, false},
        {"huge chunk", hw::Type::CNP1, all, all, all, 0, 8, 0, 65536, false, false},
        {"chunk wrapping 32 bits", hw::Type::CNP1, 2, 8, 0x40000000u, 0, 8, 0, 65536, false, false},
    };
    auto const dev = device();
    for (SramRow const& row : rows) {
        HardwareConstraints const constraints = testing::v2_constraints(row.input_bytes);
        CompatibilityCheckerImpl const checker(*dev, constraints);
        EXPECT_EQ(checker.is_sram_input_fit_single_buffer(row.type, row.height, row.width, row.channels, row.fifo,
                                                          row.bits, row.reserved),
                  row.single)
            << row.name;
        EXPECT_EQ(checker.is_sram_input_fit_dual_buffer(row.type, row.height, row.width, row.channels, row.fifo,
                                                        row.bits, row.reserved),
                  row.dual)
            << row.name;
    }
}

TEST(CheckerSram, OnlyCnpAndTnpBHaveAnInputSram) {
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    CompatibilityCheckerImpl const checker(*dev, constraints);
    for (hw::Type type : {hw::Type::FNP3, hw::Type::FNP2, hw::Type::HRC, hw::Type::SKIP_DMA_LOAD}) {
        try {
            checker.is_sram_input_fit_single_buffer(type, 1, 1, 1, 0, 8, 0);
            ADD_FAILURE() << "no exception";
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "Type of NP not supported.");
        }
        EXPECT_THROW(checker.is_sram_input_fit_dual_buffer(type, 1, 1, 1, 0, 8, 0), std::runtime_error);
    }
}

// ---- weight fit ----

struct WeightRow {
    char const* name;
    LayerType type;
    std::map<std::string, int> params;
    InputSpec input;
    uint32_t filters;
    uint32_t weight_bytes;  // of the mesh: 100-bit words are weight_bytes * 8 / 100
    uint64_t size;          // get_weights_100b_size
    bool fits;
};

TEST(CheckerWeights, PartFitsOneNp) {
    // 51200 bytes hold 4096 words; 3276800 bytes hold 262144.
    WeightRow const rows[] = {
        {"conv2d", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 8}}, {8, 8, 4, 8}, 8, 51200, 24, true},
        {"conv2d 682 channels", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 8}}, {8, 8, 682, 8}, 8, 51200, 4092, true},
        {"conv2d 683 channels", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 8}}, {8, 8, 683, 8}, 8, 51200, 4098, false},
        // The channel content of 6291409 4-bit kernel-1 filters is 0x3FFFF words; 24 more make 0x40000.
        {"channel content 0x3FFFF", LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 8}, {"weights_bits", 4}},
         {8, 8, 1, 4}, 6291409, 3276800, 0x3FFFF, true},
        {"channel content 0x40000", LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 8}, {"weights_bits", 4}},
         {8, 8, 1, 4}, 6291433, 3276800, 0x40000, false},
        {"transposed", LayerType::Conv2DTranspose, {{"kernel_size", 4}, {"filters", 8}}, {8, 8, 4, 8}, 8, 51200, 48, true},
        {"depthwise 4096 channels", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {8, 8, 4, 8}, 4096, 51200, 4096, true},
        {"depthwise 4097 channels", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {8, 8, 4, 8}, 4097, 51200, 4097, false},
        {"depthwise 0x3FFFF limit", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {8, 8, 4, 8}, 0x40000, 3276800,
         0x40000, false},
        {"buffer temporal", LayerType::BufferTempConv, {{"fifo_size", 3}, {"filters", 8}}, {8, 8, 16, 8}, 8, 51200, 128, true},
        {"depthwise temporal 1024", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, {8, 8, 16, 8}, 1024, 51200,
         4096, true},
        {"depthwise temporal 1025", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, {8, 8, 16, 8}, 1025, 51200,
         4100, false},
    };
    auto const dev = device();
    for (WeightRow const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(row.type, row.params, row.input, "layer");
        HardwareConstraints const constraints = testing::v2_constraints(65536, row.weight_bytes);
        CompatibilityCheckerImpl const checker(*dev, constraints);
        EXPECT_EQ(get_weights_100b_size(*built.layer, row.filters), row.size) << row.name;
        EXPECT_EQ(checker.is_weights_size_fit_np(*built.layer, row.filters), row.fits) << row.name;
    }
}

TEST(CheckerWeights, KindsWithoutNpWeights) {
    testing::BuiltLayer built = testing::build_after_input(LayerType::Dense1D, {{"units", 4}}, {1, 1, 16, 8}, "dense");
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    CompatibilityCheckerImpl const checker(*dev, constraints);
    for (auto const& call : std::vector<std::function<void()>>{
             [&] { get_weights_100b_size(*built.layer, 4); },
             [&] { checker.is_weights_size_fit_np(*built.layer, 4); }}) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (std::invalid_argument const& e) {
            EXPECT_STREQ(e.what(), "Unexpected layer type for CNP or TNP-B.");
        }
    }
}

// Sizes are counted in 64 bits: a part too big never wraps into a fit, and a size beyond 32 bits
// or a FIFO the delay cannot count is refused.
TEST(CheckerWeights, HugeOrInvalidPartsNeverFit) {
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    CompatibilityCheckerImpl const checker(*dev, constraints);

    auto huge = V2FakeLayer::make("conv", {ComponentKind::CNP});
    huge->set_params(LayerType::Conv2D, {{"kernel_size", 7}, {"weights_bits", 8}});
    huge->set_input_dims({Shape{8, 8, 0x80000000u}});
    EXPECT_FALSE(checker.is_weights_size_fit_np(*huge, 8));
    EXPECT_THROW(get_weights_100b_size(*huge, 8), std::runtime_error);

    for (int fifo : {255, -1}) {
        auto temporal = V2FakeLayer::make("tnp", {ComponentKind::TNP_B});
        temporal->set_params(LayerType::DepthwiseBufferTempConv, {{"fifo_size", fifo}});
        temporal->set_input_dims({Shape{8, 8, 16}});
        EXPECT_FALSE(checker.is_weights_size_fit_np(*temporal, 16)) << fifo;
        try {
            get_weights_100b_size(*temporal, 16);
            ADD_FAILURE() << "no exception";
        } catch (std::runtime_error const& e) {
            EXPECT_EQ(std::string(e.what()), nuvra::format("The FIFO size must be between 0 and 254 (got {}).", fifo));
        }
    }
}

// ---- split parameters ----

TEST(CheckerSplit, HaloPoolingAndFilters) {
    struct Row {
        char const* name;
        hw::Type type;
        std::map<std::string, int> params;
        uint32_t halo, pool_type, pool_size, filters;
    } const rows[] = {
        {"CNP kernel 3", hw::Type::CNP1, {{"kernel_size", 3}}, 1, 0, 0, 0},
        {"CNP kernel 7 with pooling and filters", hw::Type::CNP2,
         {{"kernel_size", 7}, {"pool_type", 1}, {"pool_size", 2}, {"filters", 16}}, 3, 1, 2, 16},
        {"TNP-B ignores the kernel", hw::Type::TNP_B, {{"kernel_size", 7}, {"filters", 32}}, 0, 0, 0, 32},
        {"TNP-B without a kernel", hw::Type::TNP_B, {{"fifo_size", 3}}, 0, 0, 0, 0},
    };
    auto const dev = device();
    HardwareConstraints const constraints = testing::v2_constraints();
    CompatibilityCheckerImpl const checker(*dev, constraints);
    for (auto const& row : rows) {
        auto const params = LayerParams::create(LayerType::Conv2D, row.params);
        NpSplitParams const split = checker.np_split_params(row.type, *params);
        EXPECT_EQ(split.padding, (PaddingParams{row.halo, row.halo, row.halo, row.halo})) << row.name;
        EXPECT_EQ(split.pool_type, row.pool_type) << row.name;
        EXPECT_EQ(split.pool_width, row.pool_size) << row.name;
        EXPECT_EQ(split.pool_height, row.pool_size) << row.name;
        EXPECT_EQ(split.filters, row.filters) << row.name;
    }
}

// ---- FNP3 fit ----

TEST(CheckerFnp3, LayerMemoryAgainstTheGivenConstraints) {
    testing::BuiltLayer built = testing::build_after_input(LayerType::Dense1D, {{"units", 10}}, {1, 1, 64, 8}, "dense");
    uint32_t const need = get_fnp_sram_size(*built.layer);
    ASSERT_GT(need, 0u);
    auto const dev = device();
    HardwareConstraints own = testing::v2_constraints();
    own.fnp3_sram_words = need - 1;
    CompatibilityCheckerImpl const checker(*dev, own);

    HardwareConstraints exact = own;
    exact.fnp3_sram_words = need;
    EXPECT_TRUE(checker.check_fnp3_sram_size(exact, *built.layer));
    EXPECT_FALSE(checker.check_fnp3_sram_size(own, *built.layer));
    // The interface's shortcut uses the checker's own constraints.
    EXPECT_FALSE(checker.is_fnp3_compatible(*built.layer));
}

}  // namespace
}  // namespace nuvra::v2
