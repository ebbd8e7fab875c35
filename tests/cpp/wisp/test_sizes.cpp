// Words a TNP-R chain needs in each TNP-R memory, and the memory sizer that reports them.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backends/wisp/chain.h"
#include "backends/wisp/recorders.h"
#include "backends/wisp/sizes.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "wisp/chain_fixture.h"

namespace nuvra::wisp {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::FakeLayer;
using testing::Chain;

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
        nuvra::testing::connect(run[i - 1], run[i]);
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
