// FullyConnected programs on first-generation FNP3s and FNP2s: the record's tracks, the register
// words and the failures.
#include "backends/v1/record_dense.h"

#include <gtest/gtest.h>

#include "backends/v1/format_fnp.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::InputSpec;
using nuvra::testing::V1MappedLayer;
using namespace nuvra::v2::testing;
using Params = std::map<std::string, int>;

// A FullyConnected layer of 10 units over a 4 x 4 x 2 input of 2 bits.
V1MappedLayer dense(Params const& changes = {}, hw::Type type = hw::Type::FNP3, InputSpec input = {4, 4, 2, 2},
                    bool single_buffer = true) {
    Params const params{{"units", 10}, {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}};
    return nuvra::testing::map_v1_fnp_layer(nuvra::testing::with(params, changes), input, type, single_buffer);
}

std::unique_ptr<program::Record> record(V1MappedLayer const& m, bool registers_only = false,
                                        std::vector<hw::Ident> const& skipped = {}) {
    return record_program_dense_layer(*m.device, m.layer(), nullptr, false, false, skipped, registers_only);
}

std::vector<uint32_t> registers(V1MappedLayer const& m) {
    return format_dense_np_registers(*m.device, m.layer(), false, nullptr, false, false).at(m.components()[0].ident);
}

TEST(V1RecordDense, TracksOnFnp3AndFnp2) {
    auto const fnp3 = dense();
    auto const r3 = record(fnp3);
    auto const blocks = decode_blocks(*r3);
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 6}));
    EXPECT_EQ(blocks[0].words, registers(fnp3));
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
        {"REG2_NP2NP_CFG", 1, 20, 2, 1, 3},
        {"REG2_CNP4FNP_NUM", 1, 24, 2, 1, 0},
        {"single buffer", 1, 22, 1, 1, 1},
        {"input bits / 2", 3, 0, 2, 1, 1},
        {"weights bits - 2, more than 1 bit", 3, 4, 4, 0x8, 0x8},
        {"act bits / 2, activation, one NP, layer index 1", 3, 12, 20, 0x1019, 0x1019},
        {"input rows and columns", 10, 0, 32, 0x00040004, 0x00040004},
        {"input pixels", 11, 0, 32, 16 << 12, 16 << 12},
        {"packet words", 14, 0, 32, 0x80000001, 0x80000001},
        {"units", 15, 0, 17, 10, 10},
        {"activation", 16, 29, 1, 1, 1},
        {"FNP4_W_SIZE_LAST", 17, 0, 16, 60, 0},
        {"FNP4_W_BLK_COUNT", 17, 20, 4, 1, 0},
        {"configuration DMA", 49, 0, 32, 0, 0x00010000},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(field_of(fnp3[row.word], row.offset, row.width), row.fnp3) << row.what;
        EXPECT_EQ(field_of(fnp2[row.word], row.offset, row.width), row.fnp2) << row.what;
    }

    auto const plain = registers(dense({{"activation", 0}, {"weights_bits", 1}}));
    EXPECT_EQ(field_of(plain[3], 15, 1), 0u);
    EXPECT_EQ(field_of(plain[16], 29, 1), 0u);
    EXPECT_EQ(field_of(plain[3], 4, 4), 0u);  // 1-bit weights
    EXPECT_EQ(field_of(registers(dense({{"units", 131071}}, hw::Type::FNP2, {1, 1, 1, 2}))[15], 0, 17), 131071u);
}

TEST(V1RecordDense, Failures) {
    EXPECT_EQ(error_text<std::runtime_error>([] { registers(dense({{"units", 131072}}, hw::Type::FNP2, {1, 1, 1, 2})); }),
              overflow(131072, 17));
    EXPECT_EQ(error_text<std::invalid_argument>([] { registers(dense({}, hw::Type::FNP3, {4, 4, 2, 4}, false)); }),
              "4-bit FNP inputs require single buffer mode.");
    EXPECT_EQ(error_text<std::runtime_error>([] { registers(dense({{"act_bits", 8}})); }), overflow(4, 2));
    EXPECT_EQ(error_text<std::runtime_error>([] { registers(dense({{"weights_bits", 6}})); }), overflow(4, 2));

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
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_dense_np_registers(*device, *wide, false, nullptr, false, false); }),
              overflow(134225392, 18));
}

}  // namespace
}  // namespace nuvra::v1
