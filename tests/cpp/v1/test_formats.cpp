// First-generation sizes, CNP weight images, the FNP memory image and common CNP register words.
#include <gtest/gtest.h>

#include "backends/v1/cnp_registers.h"
#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/format_fnp.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "support/error_text.h"
#include "support/v2_checks.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;

// A zero int8 tensor of `shape` (layout 0) with `values` written at their coordinates.
struct At { std::vector<uint32_t> coords; int8_t value; };
std::shared_ptr<Dense> weights(Shape const& shape, std::vector<At> const& values = {}) {
    auto tensor = Dense::create(TensorType::int8, shape, Layout::c_order);
    for (At const& at : values) {
        size_t index = 0;
        for (size_t k = 0; k < at.coords.size(); ++k) index = index * shape[k] + at.coords[k];
        tensor_write<int8_t>(*tensor, index, at.value);
    }
    return tensor;
}

std::shared_ptr<Dense> filled(Shape const& shape, int8_t value) {
    auto tensor = weights(shape);
    for (size_t i = 0; i < tensor->size(); ++i) tensor_write<int8_t>(*tensor, i, value);
    return tensor;
}

TEST(V1Sizes, WorkedExamples) {
    struct { char const* what; std::function<uint32_t()> size; uint32_t expected; } const rows[] = {
        {"std 3-bit", [] { return get_std_cnp_sram_size(3, 1, 8, 3); }, unsupported_size},
        {"std 2-bit kernel 9 has no block", [] { return get_std_cnp_sram_size(9, 1, 8, 2); }, unsupported_size},
        {"pw 13 filters", [] { return get_nb_words_per_pw_channel(13, 4); }, 2},
        {"dw 3, 10 channels", [] { return get_dw_weights_sram_size(3, 10, 4); }, 32},
        {"dw 4 x 13 > 50 bits", [] { return get_dw_weights_sram_size(13, 1, 4); }, unsupported_size},
        {"dw 0 bits", [] { return get_dw_weights_sram_size(3, 1, 0); }, unsupported_size},
        {"container 5 x 4 bits", [] { return get_cnp_channel_container_size(5, 4); }, 3},
        {"input 3, 2, 10", [] { return get_cnp_input_sram_size(3, 2, 10); }, 20},
        // 2^33 words once wrapped to 0 in 32 bits.
        {"input 4096 x 2048 x 4096", [] { return get_cnp_input_sram_size(4096, 2048, 4096); }, unsupported_size},
    };
    for (auto const& row : rows) EXPECT_EQ(row.size(), row.expected) << row.what;
    EXPECT_THROW(fnp_sram_size({10, 100}, 0), std::invalid_argument);  // once a negative size
    EXPECT_EQ(error_text<std::runtime_error>([] { get_std_cnp_sram_size(9, 1, 8, 4); }), "Unsupported kernel size");
}

TEST(V1Sizes, WeightsFitOneCnp) {
    Mesh mesh = fake_mesh(IpVersion::v1);
    HardwareConstraints const v1 = make_hardware_constraints(IpVersion::v1, mesh);
    HardwareConstraints unlimited = v1;
    unlimited.weight_sram_words = 0xFFFFFFFF;
    struct { char const* what; LayerType type; int kernel, bits; uint32_t channels, filters, words; bool fits; } const rows[] = {
        // One channel's 8192 words are 2048 groups of four: past the 1023 a channel addresses.
        {"1 channel, 8192 words", LayerType::Convolutional, 3, 2, 1, 10240, 8192, false},
        // The unsupported size once rounded up to 16 in 32 bits, giving 0, which fitted.
        {"3-bit weights", LayerType::Convolutional, 3, 3, 1, 8, unsupported_size, false},
        {"separable, no per-channel limit", LayerType::SeparableConvolutional, 3, 4, 1, 30000, 5024, true},
    };
    for (auto const& row : rows) {
        auto const built = testing::build_after_input(
            row.type, {{"kernel_width", row.kernel}, {"kernel_height", row.kernel}, {"filters", 8}, {"weights_bits", row.bits}},
            {8, 8, row.channels, 4});
        EXPECT_EQ(get_weights_size(*built.layer, row.filters), row.words) << row.what;
        EXPECT_EQ(check_weights_size_fit_cnp(unlimited, *built.layer, row.filters), row.fits) << row.what;
    }
}

TEST(V1CnpWeights, ConversionsAndCodes) {
    EXPECT_EQ(int32_to_intN<4>(-8), 8u);
    EXPECT_EQ(error_text<std::runtime_error>([] { int32_to_intN<2>(2); }), "2 cannot fit in a 2-bit signed integer");
    EXPECT_EQ(four_bit_code(-3), 3u);
    EXPECT_EQ(four_bit_code(3), 11u);
    // -8 once became 0.
    EXPECT_EQ(error_text<std::runtime_error>([] { four_bit_code(-8); }), "-8 cannot fit in a 4-bit signed integer");
}

TEST(V1CnpWeights, Images) {
    // Filter n, channel 0 holds n + 1 and channel 1 -(n + 1): a reader that takes consecutive bytes
    // as filters would mix the channels.
    std::vector<At> distinct;
    for (uint32_t n = 0; n < 3; ++n) {
        distinct.push_back({{n, 0, 0, 0}, int8_t(n + 1)});
        distinct.push_back({{n, 1, 0, 0}, int8_t(-int(n + 1))});
    }
    auto const kernel1 = weights({3, 2, 1, 1}, distinct);
    struct { char const* what; std::function<std::vector<uint32_t>()> image; size_t words; std::vector<std::pair<size_t, uint32_t>> set; } const rows[] = {
        // 9 weight bits and a pad bit per channel; nothing else.
        {"1-bit 3x3, one filter", [] { return format_std_cnp_weights(*filled({1, 1, 3, 3}, 1), false, 0, 1); }, 16, {{0, 0x1FF}}},
        {"ternary kernel 1: plane of 1 then of -1", [] { return format_std_cnp_weights(*weights({2, 1, 1, 1}, {{{0, 0, 0, 0}, 1}, {{1, 0, 0, 0}, -1}}), true, 0, 2); }, 16, {{0, 0b1001}}},
        // Codes of filters 0, 1, 2 per channel; channel 1 starts 32 words on.
        {"4-bit kernel 1 reads filters", [&] { return format_4bits_std_cnp_weights(*kernel1, 0, 3); }, 64, {{0, 0xBA9}, {32, 0x321}}},
        // A row of eight filters takes six words, a new one after every third filter.
        {"4-bit 7x7, one filter", [] { return format_4bits_std_cnp_weights(*filled({1, 1, 7, 7}, -1), 0, 1); }, 96,
         {{0, 0x1111111}, {12, 0x1111111}, {24, 0x1111111}, {36, 0x1111111}, {48, 0x1111111}, {60, 0x1111111}, {72, 0x1111111}}},
        // One 36-bit word a channel.
        {"depthwise 4-bit 3x3", [] { return format_sep_cnp_dw_weights(*filled({1, 2, 3, 3}, 1), 4); }, 4, {{0, 0x11111111}, {1, 1}, {2, 0x11111111}, {3, 1}}},
        {"pointwise reads filters", [&] { return format_sep_cnp_pw_weights(*kernel1, 4, 0, 3); }, 4, {{0, 0x321}, {2, 0xDEF}}},
    };
    for (auto const& row : rows) {
        std::vector<uint32_t> expected(row.words, 0);
        for (auto const& [index, value] : row.set) expected[index] = value;
        EXPECT_EQ(row.image(), expected) << row.what;
    }

    struct { char const* what; std::function<void()> call; char const* message; } const refused[] = {
        {"not square", [] { format_std_cnp_weights(*weights({1, 1, 3, 1}), false, 0, 1); }, "CNP: width and height must be equal."},
        {"1-bit kernel 9", [] { format_std_cnp_weights(*weights({1, 1, 9, 9}), false, 0, 1); }, "Unsupported kernel size."},
        {"4-bit code 8", [] { format_4bits_std_cnp_weights(*filled({1, 1, 3, 3}, 8), 0, 1); }, "8 cannot fit in a 4-bit signed integer"},
        {"depthwise row past 50 bits", [] { format_sep_cnp_dw_weights(*weights({1, 1, 13, 13}), 4); }, "Unsupported kernel size."},
    };
    for (auto const& row : refused) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message) << row.what;
    EXPECT_THROW(format_sep_cnp_pw_weights(*kernel1, 3, 0, 3), std::invalid_argument);
    EXPECT_THROW(format_std_cnp_weights(*kernel1, true, 2, 2), std::invalid_argument);  // filters 2 and 3 of 3
}

TEST(V1Fnp, MemoryImage) {
    // 4-bit, 100 inputs, 10 neurons: blocks of 4 + 2 x 4 x 3 words.
    auto const w = weights({10, 100, 1, 1}, {{{1, 3, 0, 0}, -5}});
    auto const thresholds = Dense::create(TensorType::int32, Shape{10}, Layout::c_order);
    auto const steps = Dense::create(TensorType::int32, Shape{10}, Layout::c_order);
    tensor_write<int32_t>(*thresholds, size_t{0}, -1);
    tensor_write<int32_t>(*steps, size_t{0}, 0xFFFFF);
    std::vector<uint32_t> image = format_fnp_ram(*w, *thresholds, *steps, 4, true);
    ASSERT_EQ(image.size(), 280u);
    std::vector<uint32_t> expected(280, 0);
    expected[0] = 0xFFFFF;                     // threshold -1 in 20 bits
    expected[1] = 0xFFFFF;
    expected[28 + 16] = expected[28 + 18] = 8;  // magnitude 5, planes 0 and 2 of the negative half
    EXPECT_EQ(image, expected);
    EXPECT_EQ(format_fnp_ram(*w, *thresholds, *steps, 4, false)[28], 0x80000u);

    tensor_write<int32_t>(*steps, size_t{0}, 0x100000);
    struct { char const* what; std::function<void()> call; char const* message; } const refused[] = {
        {"step 0x100000", [&] { format_fnp_ram(*w, *thresholds, *steps, 4, true); },
         "Backend hardware(FullyConnected): act_step should be between 0 and 65535. Receives act_step 65536."},
        // Once written into the next neuron's block.
        {"1-bit -1", [] { format_fnp_ram(*filled({2, 8, 1, 1}, -1), *filled({1}, 0), *filled({1}, 0), 1, false); },
         "Backend hardware(FullyConnected): Weights contain values out of range (0, 1) (e.g.: -1)."},
        {"4-bit -8", [] { format_fnp_ram(*filled({2, 8, 1, 1}, -8), *filled({1}, 0), *filled({1}, 0), 4, false); },
         "Backend hardware(FullyConnected): Weights contain values out of range (-7, 7) (e.g.: -8)."},
    };
    for (auto const& row : refused) EXPECT_EQ(error_text<std::runtime_error>(row.call), row.message) << row.what;
    // Nine thresholds for ten neurons.
    auto const short_thresholds = Dense::create(TensorType::int32, Shape{9}, Layout::c_order);
    EXPECT_THROW(format_fnp_ram(*w, *short_thresholds, *steps, 4, true), std::invalid_argument);
    // Mended: thresholds and steps of any shape are read element by element; too few still fail.
    tensor_write<int32_t>(*steps, size_t{0}, 0xFFFFF);
    auto const column = Dense::create(TensorType::int32, Shape{10, 1, 1, 1}, Layout::reversed);
    tensor_write<int32_t>(*column, size_t{0}, -1);
    EXPECT_EQ(format_fnp_ram(*w, *column, *steps, 4, true), expected);
    auto const short_column = Dense::create(TensorType::int32, Shape{9, 1, 1, 1}, Layout::c_order);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_ram(*w, *short_column, *steps, 4, true); }),
              "Tensor threshold holds 9 elements, 10 are needed.");
}

CnpCommonConfig whole_input_config() {
    CnpCommonConfig c;
    c.input = Shape{8, 8, 4};
    c.layer_index = 2;
    c.input_bits = 4;
    c.kernel_width = 3;
    c.conv_padding = {1, 1, 1, 1};
    c.activation = true;
    c.act_bits = 4;
    c.window = c.cut = NpSpace{0, 0, Shape{8, 8, 4}};
    c.filters = 16;
    c.np_count = 1;
    return c;
}

TEST(V1CnpRegisters, CommonWords) {
    std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0xFFFFFFFF);
    format_cnp_common_config_registers(regs, whole_input_config());
    struct { size_t word; uint32_t value; } const words[] = {
        {1, 0xFF8FFF6F}, {3, 0x0201EFFE}, {4, 0xFFFC0020}, {8, 0x08080808}, {9, 0xE000E000},
        {10, 0xF808F808}, {11, 0xFFFFFF08}, {20, 0xBFFFFEFF}, {24, 0xF000F000}, {25, 0xFF08FC08},
        {26, 0xF810F800}, {28, 0xFE04C004}, {29, 0xFF02FFFE}, {36, 0xEFFFFFFF},
    };
    for (auto const& w : words) EXPECT_EQ(regs[w.word], w.value) << "word " << w.word;

    std::vector<uint32_t> pooling(NP_REGISTER_WORDS, 0);
    format_cnp_pooling_registers(pooling, Shape{8, 8, 4}, NpSpace{0, 0, Shape{8, 8, 4}},
                                 {.size = 2, .stride = 2, .padding = {1, 1, 1, 1}, .global = true});
    EXPECT_EQ(pooling[27], 0xF122u);
    format_cnp_pooling_registers(pooling, Shape{8, 8, 4}, NpSpace{0, 0, Shape{8, 8, 4}},
                                 {.size = 2, .stride = 2, .padding = {1, 0, 0, 1}, .global = false});
    EXPECT_EQ(pooling[27], 0x9022u);  // top and right pad, bottom and left do not

    struct { char const* what; std::function<void(CnpCommonConfig&)> change; char const* message; } const refused[] = {
        {"filters 2048", [](CnpCommonConfig& c) { c.filters = 2048; },
         "Attempted to write value 2048 into a 11-bit field, which will cause an overflow."},
        {"filters 2041: 256 groups", [](CnpCommonConfig& c) { c.filters = 2041; },
         "Attempted to write value 256 into a 8-bit field, which will cause an overflow."},
        {"input bits 8", [](CnpCommonConfig& c) { c.input_bits = 8; },
         "Attempted to write value 4 into a 2-bit field, which will cause an overflow."},
        {"cut 9 rows above the part", [](CnpCommonConfig& c) { c.window = {0, 9, Shape{8, 8, 4}}; },
         "-9 cannot fit in a 4-bit signed integer"},
    };
    for (auto const& row : refused) {
        CnpCommonConfig config = whole_input_config();
        row.change(config);
        EXPECT_EQ(error_text<std::runtime_error>([&] { format_cnp_common_config_registers(regs, config); }), row.message)
            << row.what;
    }
    std::vector<uint32_t> too_short(49);
    EXPECT_THROW(format_cnp_common_config_registers(too_short, whole_input_config()), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra::v1
