// The second-generation recorder frame: kind dispatch, SCC and EPG programming, memory sizes.
#include <gtest/gtest.h>

#include "backends/v2/recorders.h"
#include "backends/v2/sizes.h"
#include "engine/dma.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/model_builder.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::FakeLayer;
using testing::ModelBuilder;
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
    EXPECT_EQ(error_text<std::runtime_error>([&] { r.record(LayerType::StatefulRecurrent); }),
              "Unsupported layer type: 26.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { r.record(LayerType::FullyConnected); }), "Unsupported layer type: 3.");
    char const* const learning = "Learning not implemented on v2.";
    EXPECT_EQ(error_text<std::runtime_error>([&] { r.layer.record_learning_layer(FakeLayer("l"), true); }), learning);
    EXPECT_EQ(error_text<std::runtime_error>([&] { r.layer.sync_learning_vars(FakeLayer::make("l")); }), learning);
}

// The words of a one-word SCC block: its two header words, then the value.
std::vector<uint32_t> scc_block(uint16_t address, uint32_t value) {
    std::vector<uint32_t> block(3);
    dma::format_config_header(block.data(), hw::Ident{}, dma::Target::HrcConfig, 1, address, false);
    block[2] = value;
    return block;
}

TEST(V2IoRecorder, SccWords) {
    struct {
        char const* name;
        bool first_on_hrc, narrow;
        Shape input, output;
        uint32_t config, channels, size;  // at 0x4, 0x40, 0x44
    } const rows[] = {
        {"dma input, wide output", false, false, Shape{8, 8, 3}, Shape{4, 5, 10}, 0x19, 3, 50 | 10u << 20},
        {"hrc input, narrow output", true, true, Shape{8, 8, 0x3FFFF}, Shape{4, 5, 10}, 0x100018, 0x3FFFF,
         50 | 10u << 20},
        {"one by one output", false, true, Shape{8, 8, 3}, Shape{1, 1, 10}, 0x100019, 3, 0},
        {"2047 channels", false, false, Shape{8, 8, 3}, Shape{2, 2, 2047}, 0x19, 3, 4094 | 2047u << 20},
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
    hw::Component const fnp = part(hw::Type::FNP2, 4, whole, whole);
    hw::Component store;
    store.type = hw::Type::SKIP_DMA_STORE;

    // Bytes of the 100-bit words of 3 x 3 kernels, 4 filters of 4 channels, 8-bit weights.
    EXPECT_EQ(sizer.get_weight_memory_size(a, cnp), (v2::conv2d_cnp_formatted_weight_100b_size(3, 4, 4,
                                                                                               8) * 100 + 7) / 8);
    EXPECT_EQ(sizer.get_weight_memory_size(a, fnp), 0u);
    EXPECT_EQ(sizer.get_weight_memory_size(m["add"], cnp), 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { sizer.get_weight_memory_size(m["in"], cnp); }),
              "Invalid v2 layer type.");

    // Input: rows of 10 bytes rounded to 12, 4 channels: 12 words a row, 10 rows; a layer after an
    // Add reserves 512 words more.
    EXPECT_EQ(sizer.get_input_memory_size(a, cnp, m["in"]), 4u * 120);
    EXPECT_EQ(sizer.get_input_memory_size(m["after_add"], cnp, m["in"]), 4u * (120 + 512));
    EXPECT_EQ(sizer.get_input_memory_size(a, fnp, m["in"]), 0u);
    // 8 x 8 x 4 (3 rounded up) x 8 bits = 64 words, already a multiple of 64; three frames.
    hw::Component const tnp = part(hw::Type::TNP_B, 4, Shape{8, 8, 3}, Shape{8, 8, 3});
    EXPECT_EQ(sizer.get_input_memory_size(m["btc"], tnp, m["in"]), 4u * 64 * 3);

    // External: a's 8 x 8 x 4 output is 2 x 8 x 4 words, kept 3 + 2 frames, or two buffers.
    EXPECT_EQ(sizer.get_external_memory_size(a, store, {}), 4u * 64 * 5);
    EXPECT_EQ(sizer.get_external_memory_size(a, store, {.several_passes = true}), 8u * 64);
    // The Add sits at c's own depth: no wait beyond the three frames.
    EXPECT_EQ(sizer.get_external_memory_size(m["c"], store, {}), 4u * 64 * 3);
    EXPECT_EQ(sizer.get_external_memory_size(m["btc"], store, {}), 4u * 64 * 3);
    EXPECT_EQ(sizer.get_external_memory_size(a, cnp, {}), 0u);

    MemoryInfo const info = sizer.get_memory_info(a, cnp, m["in"], {});
    EXPECT_EQ(info.input_size, 480u);
    EXPECT_EQ(info.stsram_32b_size + info.fsram_64b_size + info.tsram_51b_size + info.evsram_32b_size, 0u);
}

}  // namespace
}  // namespace nuvra
