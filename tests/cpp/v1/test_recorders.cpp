// The first-generation recorder frame: kind dispatch, IO types, SCC and EPG words, memory sizes.
#include "backends/v1/recorders.h"

#include <gtest/gtest.h>

#include "backends/v1/record_hrc.h"
#include "backends/v1/sizes.h"
#include "hw/presets.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/record_test_util.h"
#include "support/v2_checks.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using nuvra::testing::overflow;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

// A fake layer of `type` running on `kinds` whose first input is `input`.
std::shared_ptr<FakeLayer> fake(LayerType type, std::set<ComponentKind> kinds = {}, Shape input = Shape{8, 8, 3}) {
    auto layer = FakeLayer::make("l", std::move(kinds));
    layer->set_params(type).set_input_dims({input});
    return layer;
}

// An NP share of `filters` filters over the spatial partition `part` and the halo window `cut`.
hw::Component np(hw::Type type, uint32_t filters = 0, Shape part = {}, Shape cut = {}) {
    hw::Component c;
    c.type = type;
    c.np_part = hw::NpPart{0, filters, {0, 0, part}, {0, 0, cut}, true};
    return c;
}

// The answer of `call` as text, or the text of the std::runtime_error it throws.
template <class F>
std::string answer(F const& call) {
    try {
        return std::to_string(call());
    } catch (std::runtime_error const& e) {
        return e.what();
    }
}

TEST(V1LayerRecorder, EmptyRecordsUnsupportedKindsAndReadBack) {
    auto const device = make_fake_device(hw::ZR62_v1);
    HardwareConstraints const constraints;
    LayerRecorderImpl const recorder(*device, constraints);
    auto const record = [&](LayerType type) {
        auto const layer = fake(type);
        return recorder.record_layer({.layer = *layer, .sequence_first = *layer, .skipped_nps = {}});
    };
    for (LayerType type : {LayerType::InputData, LayerType::Dequantizer, LayerType::Quantizer}) {
        auto const result = record(type);
        EXPECT_TRUE(result->tracks.empty() && !result->fnp2_filters_track) << int(type);
        EXPECT_EQ(result->hw_version, hw::ZR62_v1) << int(type);
    }
    EXPECT_EQ(error_text<std::runtime_error>([&] { record(LayerType::Dense1D); }), "Unsupported layer type: 25.");

    // The read-back needs a mapped layer and a device with hardware, which a virtual device lacks.
    auto const layer = fake(LayerType::FullyConnected);
    EXPECT_EQ(error_text<std::runtime_error>([&] { recorder.sync_learning_vars(layer); }),
              "The layer l has no hardware mapping.");
    auto const mapping = std::make_shared<LayerMapping>(1);
    layer->set_mapping(mapping);
    EXPECT_THROW(recorder.sync_learning_vars(layer), std::out_of_range);
    mapping->components->push_back(np(hw::Type::FNP3));
    EXPECT_EQ(error_text<std::runtime_error>([&] { recorder.sync_learning_vars(layer); }),
              "An actual hardware device is required.");
}

TEST(V1IoRecorder, InputAndOutputTypes) {
    auto const a1 = make_fake_device(hw::ZR62_v1);
    auto const zero = make_fake_device(hw::Vexa_v2);
    std::string const unsupported = "Unsupported layer type.";
    auto const cnp = fake(LayerType::Convolutional, {ComponentKind::CNP});
    auto const fc_behind_cnp = fake(LayerType::FullyConnected, {ComponentKind::FNP}, Shape{1, 1, 64});
    testing::connect(cnp, fc_behind_cnp);
    struct { Device const& device; std::shared_ptr<Layer> layer; std::string expected; } const inputs[] = {
        {*a1, fake(LayerType::Dense1D, {}, Shape{1, 1, 0x3FFFF}), "0"},  // the SCC holds the input size
        {*a1, fake(LayerType::Convolutional, {}, Shape{1, 1, 0x40000}), "2"},
        {*zero, fake(LayerType::FullyConnected, {ComponentKind::FNP}, Shape{1, 1, 64}), "1"},
        {*zero, fc_behind_cnp, "2"},
        {*zero, fake(LayerType::Dense1D), unsupported},
    };
    for (auto const& row : inputs)
        EXPECT_EQ(answer([&] { return IoRecorderImpl(row.device).get_input_type(*row.layer); }), row.expected)
            << row.layer->get_name() << " " << int(row.device.version().product_id);

    struct { Device const& device; LayerType type; bool activation; uint32_t channels; int8_t input_type; std::string expected; } const outputs[] = {
        {*a1, LayerType::Convolutional, true, 2047, 0, "0"},
        {*a1, LayerType::Convolutional, true, 2048, 0, "2"},
        {*a1, LayerType::FullyConnected, false, 8, 0, "0"},
        {*a1, LayerType::FullyConnected, false, 8, 1, "1"},
        {*a1, LayerType::InputConvolutional, true, 8, 0, "3"},
        {*a1, LayerType::Dequantizer, false, 8, 0, unsupported},
        // The first boards' SCC sizes no output.
        {*zero, LayerType::Convolutional, true, 2047, 0, "2"},
        {*zero, LayerType::FullyConnected, false, 8, 0, "1"},
    };
    for (auto const& row : outputs) {
        auto const layer = fake(row.type);
        layer->set_output_dims(Shape{4, 4, row.channels}).set_activation(row.activation);
        EXPECT_EQ(answer([&] { return IoRecorderImpl(row.device).get_output_type(*layer, row.input_type); }),
                  row.expected)
            << int(row.type) << " " << row.channels;
    }
}

TEST(V1IoRecorder, SccWords) {
    struct { bool first_on_hrc, input_sys, last_on_hrc, output_sys; Shape input, output;
             std::vector<uint32_t> addresses, words; std::string failure = {}; } const rows[] = {
        {true, true, true, true, Shape{8, 8, 3}, Shape{4, 5, 10}, {0x4, 0x40, 0x44}, {0x118, 3, 50 | 10u << 20}},
        {false, true, false, true, Shape{8, 8, 0x3FFFF}, Shape{1, 1, 0x7FFFF}, {0x4, 0x40, 0x44}, {0x19, 0x3FFFF, 0}},
        {false, true, false, false, Shape{8, 8, 0x40000}, Shape{4, 4, 8}, {}, {}, overflow(0x40000, 18)},
        {false, false, false, true, Shape{8, 8, 3}, Shape{2, 2, 2048}, {}, {}, overflow(2048, 11)},
        {false, false, false, true, Shape{8, 8, 3}, Shape{2, 1024, 1024}, {}, {}, overflow(1048576, 20)},
        // Worked out in 32 bits, 4194304 x 1024 once wrapped to 0.
        {false, false, false, true, Shape{8, 8, 3}, Shape{2, 4194304, 1024}, {}, {}, overflow(4294967296, 20)},
    };
    auto const device = make_fake_device(hw::ZR62_v1);
    IoRecorderImpl const io(*device);
    for (auto const& row : rows) {
        auto const record = [&] {
            return io.record_scc({row.first_on_hrc, row.input_sys, row.last_on_hrc, row.output_sys, true}, row.input,
                                 row.output);
        };
        if (!row.failure.empty()) {
            EXPECT_EQ(error_text<std::runtime_error>(record), row.failure);
            continue;
        }
        auto const scc = record();
        EXPECT_EQ(scc->tracks.size(), 1u);
        std::vector<uint32_t> addresses, words;
        for (auto const& block : nuvra::testing::decode_blocks(*scc)) {
            EXPECT_EQ(block.header.target, dma::Target::HrcConfig);
            EXPECT_EQ(block.header.ident, hw::Ident{});
            addresses.push_back(block.header.address);
            words.insert(words.end(), block.words.begin(), block.words.end());
        }
        EXPECT_EQ(addresses, row.addresses);
        EXPECT_EQ(words, row.words);
    }
}

TEST(V1IoRecorder, EpgRegisters) {
    auto const device = make_fake_device(hw::ZR62_v1);
    IoRecorderImpl const io(*device);
    auto const cnp = fake(LayerType::Convolutional, {ComponentKind::CNP});
    auto const fnp = fake(LayerType::FullyConnected, {ComponentKind::FNP}, Shape{1, 1, 100});
    EXPECT_EQ(io.record_epg({*cnp, 1, 4, 1, true, false, true}),
              (Pairs{{0x00, 0x21200}, {0x0C, 0x10}, {0x10, 0x04010001}, {0x14, 0x100}, {0x18, 0x01FE0001},
                     {0x1C, 0x027FFFFF}}));
    EXPECT_EQ(io.record_epg({*fnp, 0, 0xFF, 2, false, true, false}),
              (Pairs{{0x00, 0x20202}, {0x0C, 0x012C0010}, {0x10, 0xFF000001}, {0x14, 0x200}, {0x18, 0x02FE0001},
                     {0x1C, 0x027FFFFF}}));
}

TEST(V1MemorySizer, Sizes) {
    using testing::build_after_input;
    MemorySizerImpl const sizer;
    // 3 x 3 kernels of 1-bit weights, 8 filters over 2 channels: 16 words per channel.
    std::map<std::string, int> const kernel{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}};
    auto const conv = build_after_input(LayerType::Convolutional, testing::with(kernel, {{"weights_bits", 1}}),
                                        {8, 8, 2, 8});
    auto const fc = build_after_input(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, {4, 4, 2, 1});
    auto const hrc_model = Model::create();
    auto const hrc = testing::make_layer(LayerType::InputConvolutional,
                                         testing::with(kernel, {{"input_width", 8}, {"input_height", 8},
                                                                {"input_channels", 1}}), "hrc");
    hrc_model->add(hrc);
    ASSERT_EQ(get_weights_size(*conv.layer, 8), 32u);
    uint32_t const fnp_bytes = 4 * get_fnp_sram_size(*fc.layer);

    struct { std::shared_ptr<Layer> layer; hw::Component component; uint32_t input, weight, external; } const rows[] = {
        // A 32-word image is 16 SRAM words of 50 bits. Input: rows of 8 bytes for each of the
        // share's 2 channels, 16 bytes (4 words) a row, 10 rows of the halo window.
        {conv.layer, np(hw::Type::CNP1, 8, Shape{8, 8, 2}, Shape{10, 10, 2}), 4 * 40, 100, 0},
        {fc.layer, np(hw::Type::FNP3, 10), 4, fnp_bytes, 0},
        {fc.layer, np(hw::Type::FNP2, 10), 4, 0, fnp_bytes},
        {hrc, np(hw::Type::HRC), 0, 4 * get_hrc_sram_size(*hrc), 0},
        {testing::make_layer(LayerType::Dequantizer, {}, "dq"), np(hw::Type::None), 0, 0, 0},
    };
    for (auto const& row : rows) {
        MemoryInfo const info = sizer.get_memory_info(row.layer, row.component, row.layer, {});
        EXPECT_EQ(std::tie(info.input_size, info.weight_size, info.external_size),
                  std::tie(row.input, row.weight, row.external))
            << row.layer->get_name() << " " << int(row.component.type);
        EXPECT_EQ(info.fsram_64b_size + info.tsram_51b_size + info.evsram_32b_size + info.stsram_32b_size, 0u);
    }

    auto const input = conv.model->get_layer(0);
    EXPECT_EQ(sizer.get_input_memory_size(input, np(hw::Type::None), input), 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { sizer.get_weight_memory_size(input, np(hw::Type::None)); }),
              "Invalid v1 layer type.");
    // 3-bit weights have no CNP format; their size once counted 0xFFFFFFFF words.
    auto const three_bits = build_after_input(LayerType::Convolutional, testing::with(kernel, {{"weights_bits", 3}}),
                                              {8, 8, 2, 8});
    EXPECT_EQ(error_text<std::runtime_error>([&] { sizer.get_weight_memory_size(three_bits.layer, np(hw::Type::CNP1, 8)); }),
              "Layer 'layer' has weights without a CNP format.");
}

// A given "pool_size" is the pool size of the share's NP split, whose pooled outputs the input
// buffer does not read: the buffer is ((K x channels x 8 + 31) >> 5) x cut rows words, K the
// bytes of an input row's container, ((input bits x input width + 7) >> 3), whatever the pool size.
TEST(V1MemorySizer, GivenPoolSizeLeavesTheInputBufferOfAShare) {
    using testing::build_after_input;
    using testing::with;
    MemorySizerImpl const sizer;
    std::map<std::string, int> const conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}, {"padding", 1}};
    std::map<std::string, int> const max_2x2 =
        with(conv, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}});
    auto const share = [](NpSpace part, NpSpace cut) {
        hw::Component c;
        c.type = hw::Type::CNP1;
        c.np_part = hw::NpPart{0, 8, part, cut, false};
        return c;
    };
    // 8 x 8 x 2 of 8 bits, the whole input: K = 8, ((8 x 2 x 8 + 31) >> 5) x 10 = 40 words.
    hw::Component const whole = share({0, 0, Shape{8, 8, 2}}, {0, 0, Shape{10, 10, 2}});
    // 13 x 6 x 3 of 4 bits, rows 2-3 read with a row of halo each side: K = (52 + 7) >> 3 = 7,
    // ((7 x 3 x 8 + 31) >> 5) x 4 = 6 x 4 = 24 words.
    hw::Component const rows_2_3 = share({0, 2, Shape{13, 2, 3}}, {0, 1, Shape{13, 4, 3}});
    struct {
        std::map<std::string, int> params; testing::InputSpec input; hw::Component component; uint32_t bytes;
    } const rows[] = {
        {conv, {8, 8, 2, 8}, whole, 4 * 40},
        {with(conv, {{"pool_size", 2}}), {8, 8, 2, 8}, whole, 4 * 40},
        {with(max_2x2, {{"pool_size", 2}}), {8, 8, 2, 8}, whole, 4 * 40},
        {max_2x2, {13, 6, 3, 4}, rows_2_3, 4 * 24},
        {with(max_2x2, {{"pool_size", 2}}), {13, 6, 3, 4}, rows_2_3, 4 * 24},
        {with(max_2x2, {{"pool_size", 5}}), {13, 6, 3, 4}, rows_2_3, 4 * 24},  // larger than the input rows
        {with(max_2x2, {{"pool_size", -1}}), {13, 6, 3, 4}, rows_2_3, 4 * 24},
    };
    for (auto const& row : rows) {
        for (LayerType type : {LayerType::Convolutional, LayerType::SeparableConvolutional}) {
            auto const built = build_after_input(type, row.params, row.input);
            EXPECT_EQ(sizer.get_input_memory_size(built.layer, row.component, built.layer), row.bytes)
                << int(type) << " pool_size " << (row.params.count("pool_size") ? row.params.at("pool_size") : 0)
                << " input width " << row.input.width;
        }
    }
}

}  // namespace
}  // namespace nuvra::v1
