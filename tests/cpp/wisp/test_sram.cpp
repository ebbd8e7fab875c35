// The TNP-R memories: FSRAM and TSRAM words, and the sizes the memory sizer reports.
#include <gtest/gtest.h>

#include "backends/wisp/chain.h"
#include "backends/wisp/format_sram.h"
#include "backends/wisp/recorders.h"
#include "backends/wisp/sizes.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/ops_test_util.h"
#include "wisp/chain_fixture.h"

namespace nuvra::wisp {
namespace {

using namespace nuvra::testing;
using testing::Chain;
using Wide = std::vector<uint64_t>;

// The 64-bit memory words of an image, from its pairs of 32-bit words.
Wide wide(std::vector<uint32_t> const& words) {
    Wide result;
    for (size_t i = 0; i + 1 < words.size(); i += 2) result.push_back(words[i] | uint64_t{words[i + 1]} << 32);
    return result;
}

// Element (r, c) is 16 r + c + 1.
std::shared_ptr<Dense> numbered(uint32_t rows, uint32_t columns, Layout layout = Layout::c_order) {
    auto w = Dense::create(TensorType::int8, Shape{rows, columns}, layout);
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < columns; ++c) tensor_write<int8_t>(*w, {r, c}, int8_t(16 * r + c + 1));
    return w;
}

TEST(WispSram, WordLayouts) {
    // Columns 0-7 of rows 0, 1, 2, then columns 8-9 with bytes 2-7 zero.
    EXPECT_EQ(wide(format_fsram_weight_matrix(*numbered(3, 10))),
              (Wide{0x0807060504030201, 0x1817161514131211, 0x2827262524232221, 0x0A09, 0x1A19, 0x2A29}));
    EXPECT_EQ(fsram_matrix_64b_size(3, 10), 6u);
    EXPECT_EQ(format_fsram_weight_matrix(*numbered(3, 10, Layout::reversed)),
              format_fsram_weight_matrix(*numbered(3, 10)));
    auto expected = format_fsram_weight_matrix(*numbered(4, 8));
    for (uint32_t word : format_fsram_weight_matrix(*numbered(2, 8))) expected.push_back(word);
    EXPECT_EQ(format_fsram_weights(*numbered(4, 8), *numbered(2, 8)), expected);
    EXPECT_EQ(expected.size(), 2u * (4 + 2));

    // A_real -1, A_imag 1, outputs shift -16, scale 255, shift 31.
    EXPECT_EQ(wide(format_tsram_state_updating_var(*i16({1}, {1}), *i16({1}, {-1}), *i8({1}, {-16}), *u8({1}, {255}),
                                                   *i8({1}, {31}))),
              Wide{0xFFFF | 0x0001ull << 16 | 0x10ull << 32 | 0xFFull << 37 | 0x1Full << 45});
    // uint8 scale 3, shift -1, bias -128, bias shift 31; then a uint16 scale.
    EXPECT_EQ(wide(format_tsram_output_var(*u8({1}, {3}), *i8({1}, {-1}), *i8({1}, {-128}), *u8({1}, {31}))),
              Wide{3 | 0x3Full << 16 | 0x80ull << 22 | 31ull << 30});
    EXPECT_EQ(wide(format_tsram_output_var(*u16({1}, {0xABCD}), *i8({1}, {0}), *i8({1}, {0}), *u8({1}, {0}))),
              Wide{0xABCD});
    // Post-processing: log2 of 100 timesteps truncates to 6, a shift of -6; 16 give -4.
    EXPECT_EQ(wide(format_tsram_post_processing_output_var(100, 0)), Wide{1 | 0x3Aull << 16});
    EXPECT_EQ(wide(format_tsram_post_processing_output_var(16, 0xFFFF)), Wide{1 | 0x3Cull << 16 | 0xFFFFull << 22});
    EXPECT_EQ(wide(format_tsram_post_processing_input_shift()), Wide{0});

    // 20 shifts: 8 a word at 8 bits; 4 a word, each twice, at 16 bits.
    std::vector<uint8_t> twenty(20);
    for (size_t i = 0; i < twenty.size(); ++i) twenty[i] = uint8_t(i % 8);
    EXPECT_EQ(wide(format_tsram_input_shift(*u8({20}, twenty), 8)), (Wide{076543210, 076543210, 03210}));
    Wide const sixteen = wide(format_tsram_input_shift(*u8({20}, twenty), 16));
    EXPECT_EQ(Wide(sixteen.begin(), sixteen.begin() + 2), (Wide{033221100, 077665544}));
    EXPECT_EQ(sixteen.size(), tsram_input_shift_64b_size(20, 16));
    EXPECT_EQ(tsram_input_shift_64b_size(20, 16), 5u);
}

TEST(WispSram, Refusals) {
    auto const zeros = [](uint32_t n) { return i8({n}, std::vector<int8_t>(n, 0)); };
    std::pair<std::function<void()>, std::string> const rows[] = {
        {[&] {
             format_tsram_state_updating_var(*i16({1}, {0}), *i16({1}, {0}), *i8({1}, {16}), *u8({1}, {0}), *zeros(1));
         },
         "16 cannot fit in a 5-bit signed integer"},
        {[&] { format_tsram_output_var(*i8({1}, {1}), *zeros(1), *zeros(1), *u8({1}, {0})); },
         "Error when formattting output scale : Unsupported output scales type in TSRAM formatting."},
        {[&] { format_tsram_output_var(*u8({1}, {1}), *zeros(1), *zeros(1), *u8({1}, {32})); },
         "32 cannot fit in a 5-bit unsigned integer"},
        {[] { format_fsram_weight_matrix(*f32({1, 1}, {1})); },
         "Wrong requested type int8 for a tensor of type float32"},
        // Mended: a shift above 7 would spill into its neighbour's field.
        {[] { format_tsram_input_shift(*u8({2}, {1, 8}), 8); }, "8 cannot fit in a 3-bit unsigned integer"},
        // Mended: 12-bit inputs would drop every shift, 32-bit ones place them past bit 31.
        {[] { format_tsram_input_shift(*u8({1}, {1}), 12); }, "TNP-R inputs are 8-bit or 16-bit (got 12)."},
        {[] { format_tsram_input_shift(*u8({1}, {1}), 32); }, "TNP-R inputs are 8-bit or 16-bit (got 32)."},
        // Mended: timesteps beyond 16 bits would wrap to 0, whose logarithm has no integer value.
        {[] { format_tsram_post_processing_output_var(65536, 0); },
         "Post-processing timesteps must be from 1 to 65535 (got 65536)."},
        // Mended: per-channel tensors shorter than the count are refused, not read past their end.
        {[&] {
             auto const scales = u8({3}, {0, 0, 0});
             format_tsram_state_updating_var(*i16({2}, {1, 2}), *i16({3}, {1, 2, 3}), *zeros(3), *scales, *zeros(3));
         },
         "Tensor A_imag has 2 elements along dimension 0, 3 are needed."},
        {[&] { format_tsram_output_var(*u8({2}, {1, 1}), *zeros(2), *zeros(1), *u8({2}, {0, 0})); },
         "Tensor bias has 1 elements along dimension 0, 2 are needed."},
    };
    for (auto const& [call, message] : rows) EXPECT_EQ(error_text<std::exception>(call), message);
}

TEST(WispSizes, ChainsOfOneLayer) {
    // 8-bit input, 64 states and 32 outputs: in_proj 64 x C, out_proj 32 x 64.
    struct Row { char const* name; int channels; bool post_processing; MemoryInfo expected; };
    Row const rows[] = {
        {"16 channels", 16, false, {0, 0, 0, 64, 384, 98, 8}},
        {"closed by post-processing", 16, true, {0, 0, 0, 68, 384, 100, 16}},
        // Only the base of the EVSRAM is rounded to a power of 2: 5 words become 8.
        {"20 channels", 20, false, {0, 0, 0, 64, 448, 99, 13}},
    };
    for (auto const& row : rows) {
        Chain chain(row.channels);
        chain.sr("sr1", "in", {{"stateful_channels", 64}, {"output_channels", 32}});
        if (row.post_processing) chain.pp("sr1");
        else chain.m.layer(LayerType::Dequantizer, "deq", {}, {"sr1"});
        EXPECT_EQ(MemorySizerImpl().get_memory_info(chain["sr1"], hw::Component{}, chain["in"], {}),
                  row.expected)
            << row.name;
    }
}

// Mended: the layer count is not 8-bit, and values no 32-bit word holds or negative counts are
// refused rather than divided by.
TEST(WispSizes, MendedLimits) {
    auto const fake = [](std::string const& name, int state_channels = 1) {
        auto layer = FakeLayer::make(name, {ComponentKind::TNP_R});
        layer->set_params(LayerType::StatefulRecurrent,
                          {{"stateful_channels", state_channels}, {"output_channels", 1}});
        layer->set_input_dims({Shape{1, 1, 1}});
        return layer;
    };
    std::vector<std::shared_ptr<FakeLayer>> run{fake("sr0")};
    for (size_t i = 1; i < 256; ++i) {
        run.push_back(fake("sr" + std::to_string(i)));
        connect(run[i - 1], run[i]);
    }
    EXPECT_EQ(get_tnpr_stsram_32b_size(*run.front()), 256u);

    auto const odd = fake("odd");
    for (uint8_t bits : {uint8_t{0}, uint8_t{64}}) {
        odd->set_bits(bits, 8);
        EXPECT_EQ(error_text<InvalidChain>([&] { get_tnpr_evsram_32b_size(*odd); }),
                  "A 32-bit TNP-R word cannot hold " + std::to_string(bits) + "-bit values.");
    }
    EXPECT_EQ(error_text<InvalidChain>([&] { get_tnpr_stsram_32b_size(*fake("neg", -1)); }),
              "Parameter stateful_channels of layer 'neg' cannot be negative (got -1).");
}

}  // namespace
}  // namespace nuvra::wisp
