// The second-generation recorders: kind dispatch, the HRC's InputConv2D programs, Dense1D programs on
// FNP2 and FNP3, SCC and EPG programming, and the memory sizer.
#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "backends/v2/format_fnp.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_dense1d.h"
#include "backends/v2/record_input_conv2d.h"
#include "backends/v2/recorders.h"
#include "backends/v2/registers.h"
#include "backends/v2/sizes.h"
#include "engine/dma.h"
#include "hw/presets.h"
#include "mapping/graph_utils.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/field_table.h"
#include "support/model_builder.h"
#include "support/record_test_util.h"
#include "v2/np_mapping_fixture.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using nuvra::testing::ModelBuilder;
using namespace nuvra::testing;
using namespace nuvra::v2::testing;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

struct Recorders {
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);
    HardwareConstraints hardware;
    v2::LayerRecorderImpl layer{*device, hardware};
    v2::IoRecorderImpl io{*device};

    std::unique_ptr<program::Record> record(LayerType type) const {
        FakeLayer fake("l");
        fake.set_params(type);
        return layer.record_layer({.layer = fake, .sequence_first = fake, .skipped_nps = {}});
    }
};

TEST(V2LayerRecorder, PassThroughUnsupportedAndLearning) {
    Recorders const r;
    for (LayerType type : {LayerType::InputData, LayerType::Add, LayerType::Concatenate, LayerType::Dequantizer,
                           LayerType::Quantizer}) {
        auto const result = r.record(type);
        ASSERT_TRUE(result);
        EXPECT_TRUE(result->tracks.empty()) << int(type);
        EXPECT_EQ(result->fnp2_filters_track, nullptr) << int(type);
        EXPECT_EQ(result->hw_version, hw::Tolmar_v2) << int(type);
    }
    EXPECT_EQ(error_text<std::runtime_error>([&] { r.record(LayerType::FullyConnected); }), "Unsupported layer type: 3.");
    char const* const learning = "Learning not implemented on v2.";
    EXPECT_EQ(error_text<std::runtime_error>([&] { r.layer.record_learning_layer(FakeLayer("l"), true); }), learning);
}

// Only this generation's kinds take the FNP padding flag; the others, of other generations or of
// none, are recorded without it.
TEST(V2LayerRecorder, FnpPaddingOnlyForItsKinds) {
    Recorders const r;
    struct { int format_code; bool records; } const rows[] = {{0, false}, {1, false}, {2, true}, {3, false}};
    for (auto const& row : rows) {
        FakeLayer layer("l");
        layer.set_format_code(row.format_code);
        EXPECT_EQ(r.layer.records_fnp_padding(layer), row.records) << row.format_code;
    }
}

// The words of a one-word SCC block: its two header words, then the value.
std::vector<uint32_t> scc_block(uint16_t address, uint32_t value) {
    std::vector<uint32_t> block(3);
    dma::format_config_header(block.data(), hw::Ident{}, dma::Target::HrcConfig, 1, address, false);
    block[2] = value;
    return block;
}

TEST(V2IoRecorder, SccWords) {
    // config, channels, size: at 0x4, 0x40, 0x44
    struct { char const* name; bool first_on_hrc, narrow; Shape input, output; uint32_t config, channels, size; }
    const rows[] = {
        {"dma input, wide output", false, false, Shape{8, 8, 3}, Shape{4, 5, 10}, 0x19, 3, 50 | 10u << 20},
        {"hrc input, narrow output", true, true, Shape{8, 8, 0x3FFFF}, Shape{4, 5, 10}, 0x100018, 0x3FFFF,
         50 | 10u << 20},
        {"one by one output", false, true, Shape{8, 8, 3}, Shape{1, 1, 10}, 0x100019, 3, 0},
        {"2048 channels", false, false, Shape{8, 8, 3}, Shape{2, 2, 2048}, 0x19, 3, 4096},
    };
    Recorders const r;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto const scc = r.io.record_scc({row.first_on_hrc, true, false, true, row.narrow}, row.input, row.output);
        EXPECT_EQ(scc->hw_version, hw::Tolmar_v2);
        ASSERT_EQ(scc->tracks.size(), 1u);  // the three blocks share one track
        std::vector<uint32_t> expected = scc_block(0x4, row.config);
        for (auto const& block : {scc_block(0x40, row.channels), scc_block(0x44, row.size)})
            expected.insert(expected.end(), block.begin(), block.end());
        EXPECT_EQ(scc->tracks.front().words(), expected);
    }
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { r.io.record_scc({false, true, false, true, false}, Shape{8, 8, 0x40000}, Shape{2, 2, 2}); }),
              "Attempted to write value 262144 into a 18-bit field, which will cause an overflow.");
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { r.io.record_scc({false, true, false, true, false}, Shape{8, 8, 3}, Shape{2, 1024, 1024}); }),
              "Attempted to write value 1048576 into a 20-bit field, which will cause an overflow.");
}

TEST(V2IoRecorder, EpgRegisters) {
    Recorders const r;
    auto const fnp = FakeLayer::make("fnp", {ComponentKind::FNP});
    auto const cnp = FakeLayer::make("cnp", {ComponentKind::CNP});
    EXPECT_EQ(r.io.record_epg({*cnp, 1, 4, 1, false, false, true}),
              (Pairs{{0x0, 0x21200}, {0xC, 0x10}, {0x10, 0x04010001}, {0x14, 0x100}, {0x18, 0x01FE0001},
                     {0x1C, 0x27FFFFF}}));
    EXPECT_EQ(r.io.record_epg({*fnp, 0, 0xFF, 2, true, true, false}),
              (Pairs{{0x0, 0x31202}, {0xC, 0x10}, {0x10, 0xFF000001}, {0x14, 0x200}, {0x18, 0x02FE0001},
                     {0x1C, 0x27FFFFF}}));
}

hw::Component part(hw::Type type, uint32_t filters, Shape spatial, Shape cut) {
    hw::Component c;
    c.type = type;
    c.np_part = hw::NpPart{0, filters, {0, 0, spatial}, {0, 0, cut}, true};
    return c;
}

TEST(V2MemorySizer, Sizes) {
    // in (8 x 8 x 4) -> a (3 x 3, 4 filters) -> b -> c, and add(a, c): a's output waits two levels.
    ModelBuilder m;
    m.input("in");
    m.layer(LayerType::Conv2D, "a", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {"in"});
    m.conv("b", "a");
    m.conv("c", "b");
    m.add("add", "a", "c");
    m.conv("after_add", "add");
    m.buffer_temp_conv("btc", "in", 2);
    v2::MemorySizerImpl const sizer;
    auto const a = m["a"];
    Shape const whole{8, 8, 4};
    hw::Component const cnp = part(hw::Type::CNP1, 4, whole, Shape{10, 10, 4});
    hw::Component store;
    store.type = hw::Type::SKIP_DMA_STORE;

    // Bytes of the 100-bit words of 3 x 3 kernels, 4 filters of 4 channels, 8-bit weights.
    EXPECT_EQ(sizer.get_weight_memory_size(a, cnp), (v2::conv2d_cnp_formatted_weight_100b_size(3, 4, 4,
                                                                                               8) * 100 + 7) / 8);
    EXPECT_EQ(sizer.get_weight_memory_size(m["add"], cnp), 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { sizer.get_weight_memory_size(m["in"], cnp); }),
              "Invalid v2 layer type.");

    // Input: rows of 10 bytes rounded to 12, 4 channels: 12 words a row, 10 rows; a layer after an
    // Add reserves 512 words more.
    EXPECT_EQ(sizer.get_input_memory_size(a, cnp, m["in"]), 4u * 120);
    EXPECT_EQ(sizer.get_input_memory_size(m["after_add"], cnp, m["in"]), 4u * (120 + 512));
    // 8 x 8 x 4 (3 rounded up) x 8 bits = 64 words, already a multiple of 64; three frames.
    hw::Component const tnp = part(hw::Type::TNP_B, 4, Shape{8, 8, 3}, Shape{8, 8, 3});
    EXPECT_EQ(sizer.get_input_memory_size(m["btc"], tnp, m["in"]), 4u * 64 * 3);

    // External: a's 8 x 8 x 4 output is 2 x 8 x 4 words, kept 3 + 2 frames, or two buffers.
    EXPECT_EQ(sizer.get_external_memory_size(a, store, {}), 4u * 64 * 5);
    EXPECT_EQ(sizer.get_external_memory_size(a, store, {.several_passes = true}), 8u * 64);
    // The Add sits at c's own depth: no wait beyond the three frames.
    EXPECT_EQ(sizer.get_external_memory_size(m["c"], store, {}), 4u * 64 * 3);
    EXPECT_EQ(sizer.get_external_memory_size(a, cnp, {}), 0u);

    // The mapping's depths, worked out once for all its questions, give the same sizes as a store
    // asked alone, which walks the graph above it; depths that say otherwise are taken as they are.
    DepthMemo memo;
    int asked = 0;
    ExternalMemoryArgs const mapping_depths{.layer_depth = [&](std::shared_ptr<Layer> const& layer) {
        ++asked;
        return get_layer_depth(layer, &memo);
    }};
    for (char const* name : {"a", "b", "c", "add", "after_add"})
        EXPECT_EQ(sizer.get_external_memory_size(m[name], store, mapping_depths),
                  sizer.get_external_memory_size(m[name], store, {}))
            << name;
    EXPECT_GT(asked, 0);
    ExternalMemoryArgs const deeper{.layer_depth = [&](std::shared_ptr<Layer> const& layer) {
        return layer == a ? 2u : 9u;
    }};
    EXPECT_EQ(sizer.get_external_memory_size(a, store, deeper), 4u * 64 * (3 + 7));
}

// Input needs whose 64-bit products used to wrap to 0 are refused instead of reported as no memory.
TEST(V2MemorySizer, NeedsBeyond64BitsAreRefused) {
    ModelBuilder m;
    m.input("in");
    m.layer(LayerType::Conv2D, "a", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {"in"});
    m.buffer_temp_conv("btc", "in", 2);
    v2::MemorySizerImpl const sizer;
    struct { char const* layer; hw::Component component; } const rows[] = {
        // Rows of 2^32 bytes over 2^29 channels: 2^64 bits.
        {"a", part(hw::Type::CNP1, 4, Shape{8, 8, 1u << 29}, Shape{0xFFFFFFFF, 1, 4})},
        // Frames of 2^31 x 2^31 values over 4 channels of 8 bits: 2^67 bits.
        {"btc", part(hw::Type::TNP_B, 4, Shape{8, 8, 4}, Shape{1u << 31, 1u << 31, 4})},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(error_text<std::runtime_error>(
                      [&] { sizer.get_input_memory_size(m[row.layer], row.component, m["in"]); }),
                  std::string("The memory size of layer '") + row.layer + "' does not fit 32 bits.");
    }
}

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
    // Registers at 0x8; each memory (R, G, B, activation parameters) as a select block at 0x20 and
    // data at 0x28; then the control word without enable, a start and a stop.
    uint32_t const control = 0x11000701;
    using Words = std::vector<uint32_t>;
    auto const blocks = HrcFixture().record();
    std::vector<std::tuple<hw::Ident, int, uint32_t>> places;
    for (auto const& b : blocks) places.emplace_back(b.header.ident, int(b.header.target), b.header.address);
    std::vector<std::tuple<hw::Ident, int, uint32_t>> expected{{{}, 8, 0x8}};
    for (int memory = 0; memory < 4; ++memory) expected.insert(expected.end(), {{{}, 8, 0x20}, {{}, 9, 0x28}});
    expected.insert(expected.end(), {{{}, 8, 0x8}, {{}, 8, 0x0}, {{}, 8, 0x0}});
    ASSERT_EQ(places, expected);
    EXPECT_SAME_IMAGE(blocks[0].words, (Words{control, 0x01010101, 0x030201, 0x1111, 0x30000}),
                      nuvra::testing::image_fields(field_table, "hrc"));
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
        char const* name; int32_t kernel, padding, pool_type, pool_size, kernel_stride, filters; uint8_t output_bits;
        uint32_t channels; std::string error;
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
    struct { uint32_t filters, words; } const rows[] = {{372, 4092}, {373, 4112}};
    for (auto const& row : rows) EXPECT_EQ(get_hrc_sram_size(*HrcFixture(3, row.filters).layer), row.words) << row.filters;
    MemorySizerImpl const sizer;
    EXPECT_EQ(sizer.get_weight_memory_size(HrcFixture().layer, hw::Component{}), 176u);
}

constexpr uint32_t inputs = 16;  // a 1 x 1 x 16 input of 8 bits
constexpr uint32_t units = 4;

struct DenseFixture {
    std::shared_ptr<FakeLayer> layer = FakeLayer::make("fc", {ComponentKind::FNP});
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);
    HardwareConstraints constraints;

    explicit DenseFixture(hw::Type type) {
        constraints.fnp3_sram_words = 1000;
        layer->set_params(LayerType::Dense1D, {{"units", int(units)}, {"weights_bits", 8}});
        layer->set_input_dims({Shape{1, 1, inputs}});
        auto weights = zeros(TensorType::int8, Shape{inputs, units});
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 9));
        layer->vars().set("weights", weights);
        layer->vars().set("input_shift", zeros(TensorType::uint8, Shape{inputs}));
        for (auto [name, type_of] : {std::pair{"bias", TensorType::int8}, {"bias_shift", TensorType::uint8},
                                     {"output_scales", TensorType::uint8}, {"output_shift", TensorType::int8}})
            layer->vars().set(name, zeros(type_of, Shape{units}));
        layer->set_mapping(np_mapping(type, {np_part(0, units, 0, 0, 1, 1, inputs)}));
    }

    std::unique_ptr<program::Record> record(bool registers_only = false,
                                            std::vector<hw::Ident> const& skipped_nps = {}) const {
        return record_program_dense1d_layer(
            *device, constraints,
            {.layer = *layer, .sequence_first = *layer, .skipped_nps = skipped_nps, .registers_only = registers_only});
    }
};

TEST(RecordDense1d, BlocksPerNpType) {
    struct {
        char const* name; hw::Type type; bool registers_only; std::vector<hw::Ident> skipped_nps;
        std::vector<int> targets; bool fnp2_track;
    } const rows[] = {
        {"FNP3", hw::Type::FNP3, false, {}, {7, 2, 6}, false},
        {"FNP2: the neurons in external memory", hw::Type::FNP2, false, {}, {7, 2}, true},
        {"unused NP", hw::Type::FNP3, true, {}, {7, 2}, false},
        {"listed NP", hw::Type::FNP3, false, {{3, 0, 0, 0}}, {}, false},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        DenseFixture f(row.type);
        auto const rec = f.record(row.registers_only, row.skipped_nps);
        auto const blocks = decode_blocks(*rec);
        EXPECT_EQ(targets_of(blocks), row.targets);
        ASSERT_EQ(rec->fnp2_filters_track != nullptr, row.fnp2_track);
        auto const ram = format_fnp_ram(*f.layer, true, InputPadding::Packed, 8, 8);
        if (row.fnp2_track) {
            EXPECT_EQ(rec->fnp2_filters_track->words, ram);
        }
        if (row.targets.size() == 3) {
            EXPECT_EQ(blocks[2].words, ram);
        }
        // An FNP2 reports to the configuration DMA (id 0: select 1).
        if (!blocks.empty()) {
            EXPECT_EQ(field_of(blocks[0].words[49], 16, 4), row.type == hw::Type::FNP2 ? 1u : 0u);
        }
    }
}

// Through the kind dispatch, record_layer's arguments reach the FNP's image; the FNP padding flag
// does not apply to a fully connected layer.
TEST(RecordDense1d, RecordLayerArgumentsReachTheirBits) {
    // word 2 bit 7, word 44 bit 2, word 1 bit 29, word 3 bits 24-31 = 0xFE
    using Bits = std::array<uint32_t, 4>;
    struct { char const* name; bool set_spikes, mesh_flag, registers_only, fnp_padding; Bits bits; } const rows[] = {
        {"set_spikes", true, false, false, false, {1, 0, 0, 0}},
        {"mesh_flag", false, true, false, false, {0, 1, 0, 0}},
        {"registers_only", false, false, true, false, {0, 0, 0, 1}},
        {"fnp_padding", false, false, false, true, {0, 0, 0, 0}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        DenseFixture f(hw::Type::FNP3);
        LayerRecorderImpl const recorder(*f.device, f.constraints);
        auto const record = recorder.record_layer({.layer = *f.layer, .sequence_first = *f.layer,
                                                   .set_spikes = row.set_spikes, .mesh_flag = row.mesh_flag,
                                                   .skipped_nps = {}, .registers_only = row.registers_only,
                                                   .fnp_padding = row.fnp_padding});
        auto const blocks = decode_blocks(*record);
        ASSERT_EQ(targets_of(blocks), (row.registers_only ? std::vector<int>{7, 2} : std::vector<int>{7, 2, 6}));
        std::vector<uint32_t> const& w = blocks[0].words;
        Bits const bits{field_of(w[2], 7, 1), field_of(w[44], 2, 1), field_of(w[1], 29, 1),
                        field_of(w[3], 24, 8) == 0xFE};
        EXPECT_EQ(bits, row.bits);
    }
}

TEST(RecordDense1d, RegisterWords) {
    struct {
        char const* name; hw::Type type; uint8_t input_bits, output_bits, weight_bits; bool activation;
        uint32_t sram_words; std::string error; uint32_t word3_bits_12_15, word17;
    } const rows[] = {
        {"4-bit output", hw::Type::FNP3, 8, 4, 8, false, 1000, "", 0x6, 24 | 1u << 20},
        {"16-bit output with activation", hw::Type::FNP3, 8, 16, 8, true, 1000, "", 0xB, 24 | 1u << 20},
        // 4 neurons of 6 words taken modulo a weight memory of 10 words.
        {"8-bit output, modulo the memory", hw::Type::FNP3, 8, 8, 8, false, 10, "", 0x7, 4 | 1u << 20},
        {"FNP2", hw::Type::FNP2, 8, 32, 8, false, 0, "", 0x3, 5},
        {"5-bit output", hw::Type::FNP3, 8, 5, 8, false, 1000, "Wrong output bitwidth at FNP recording.", 0, 0},
        {"6-bit input", hw::Type::FNP3, 6, 8, 8, false, 1000, "Wrong input_bits at FNP recording.", 0, 0},
        {"2-bit weights", hw::Type::FNP3, 8, 8, 2, false, 1000, "Wrong weight bitwidth at FNP recording.", 0, 0},
        // The modulo of an FNP3 without weight memory would divide by zero.
        {"FNP3 without weight memory", hw::Type::FNP3, 8, 8, 8, false, 0,
         "An FNP3 without weight memory cannot hold a Dense1D layer.", 0, 0},
    };
    DenseFixture const f(hw::Type::FNP3);
    auto const weights = f.layer->vars().get("weights")->ensure_dense();
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        HardwareConstraints constraints;
        constraints.fnp3_sram_words = row.sram_words;
        std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0);
        EXPECT_EQ(error_text<std::runtime_error>([&] {
                      format_dense1d_np_registers(constraints, &regs, row.type, row.input_bits, row.output_bits,
                                                  row.activation, Shape{1, 1, inputs}, true, *weights, row.weight_bits,
                                                  InputPadding::Packed);
                  }),
                  row.error);
        EXPECT_EQ(field_of(regs[1], 24, 1), row.type == hw::Type::FNP3 ? 1u : 0u);  // written before the checks
        if (!row.error.empty()) continue;
        EXPECT_EQ(field_of(regs[3], 12, 4), row.word3_bits_12_15);
        EXPECT_EQ(regs[17], row.word17);
        EXPECT_EQ(regs[15], 6u << 16 | units);
        EXPECT_EQ(regs[14], 4u | 0xA0000000u);  // 16 bytes of input; bits 29 and 31
    }
}

}  // namespace
}  // namespace nuvra::v2
