// Dense1D programs on FNP2 and FNP3: the blocks of each NP type and the FNP register words.
#include "backends/v2/record_dense1d.h"

#include <gtest/gtest.h>

#include "backends/v2/format_fnp.h"
#include "backends/v2/np_registers.h"
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

    std::unique_ptr<program::Record> record(bool flag_c = false, std::vector<hw::Ident> const& idents = {}) const {
        return record_program_dense1d_layer(*device, constraints, *layer, *layer, nullptr, false, false, idents, flag_c);
    }
};

TEST(RecordDense1d, BlocksPerNpType) {
    struct {
        char const* name;
        hw::Type type;
        bool flag_c;
        std::vector<hw::Ident> idents;
        std::vector<int> targets;
        bool fnp2_track;
    } const rows[] = {
        {"FNP3", hw::Type::FNP3, false, {}, {7, 2, 6}, false},
        {"FNP2: the neurons in external memory", hw::Type::FNP2, false, {}, {7, 2}, true},
        {"unused NP", hw::Type::FNP3, true, {}, {7, 2}, false},
        {"listed NP", hw::Type::FNP3, false, {{3, 0, 0, 0}}, {}, false},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        DenseFixture f(row.type);
        auto const rec = f.record(row.flag_c, row.idents);
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

TEST(RecordDense1d, RegisterWords) {
    struct {
        char const* name;
        hw::Type type;
        uint8_t input_bits, output_bits, weight_bits;
        bool activation;
        uint32_t sram_words;
        std::string error;
        uint32_t word3_bits_12_15, word17;
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
