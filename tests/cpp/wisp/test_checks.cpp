// Whether a layer maps on the third generation: the checker and the TNP-R chain rules.
#include <gtest/gtest.h>

#include "backends/ip_version_backend.h"
#include "backends/wisp/check_rules.h"
#include "backends/wisp/checker.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "wisp/chain_fixture.h"

namespace nuvra::wisp {
namespace {

using namespace nuvra::testing;
using testing::Chain;

struct Checker {
    std::shared_ptr<FakeDevice> device = testing::wisp_device();
    HardwareConstraints limits = make_hardware_constraints(IpVersion::wisp, device->mesh());
    CompatibilityCheckerImpl checker{*device, limits};

    std::string check(Layer const& layer) const {
        return checker.check_layer_compatibility(layer, nullptr, {}).to_string();
    }
};

TEST(WispChecker, KindsAndRefusedQueries) {
    Checker const c;
    Chain g(1);
    g.m.layer(LayerType::Quantizer, "q", {}, {"in"});
    g.m.layer(LayerType::Dequantizer, "deq", {}, {"in"});
    g.m.conv("conv", "in");
    for (auto const* name : {"in", "q", "deq"}) EXPECT_EQ(c.check(*g[name]), "Success.") << name;
    EXPECT_EQ(c.check(*g["conv"]), "Cannot map layer 'conv'. Unsupported layer type on Wisp.");
    LayerList const layers{g["conv"]};
    EXPECT_FALSE(c.checker.check_layer_sequence(layers.begin(), layers.end(), {}).failed);
    EXPECT_FALSE(c.checker.check_layer_mappings(*g["conv"], {}, true).failed);

    std::pair<std::function<void()>, std::string> const refused[] = {
        {[&] { c.checker.is_sram_input_fit_single_buffer(hw::Type::TNP_R, 1, 1, 1, 1, 8, 0); },
         "No single buffer mode on Wisp."},
        {[&] { c.checker.is_sram_input_fit_dual_buffer(hw::Type::TNP_R, 1, 1, 1, 1, 8, 0); },
         "No dual buffer mode on Wisp."},
        {[&] { c.checker.is_weights_size_fit_np(*g["conv"], 1); }, "No NP on Wisp."},
        {[&] { c.checker.np_split_params(hw::Type::TNP_R, *g["conv"]->params()); }, "Cannot split TNP-R."},
        {[&] { c.checker.is_fnp3_compatible(*g["conv"]); }, "No FNP3 on Wisp."},
    };
    for (auto const& [call, message] : refused) EXPECT_EQ(error_text<std::exception>(call), message);

    // Mended: a post-processing layer is checked with the chain it closes, not sized as a
    // recurrent layer; one without a chain fails, also when asked for its last recurrent input.
    g.two_layers_and_post_processing();
    EXPECT_EQ(c.check(*g["pp"]), "Success.");
    Chain lone(1);
    lone.pp("in");
    std::string const no_chain =
        "Cannot map layer 'pp'. A WispPostProcessing layer must follow a StatefulRecurrent layer.";
    EXPECT_EQ(c.check(*lone["pp"]), no_chain);
    EXPECT_EQ(check_post_processing_layer(*lone["pp"]).to_string(), no_chain);
    // Mended: a post-processing layer after another one read output scales that layer has not.
    lone.m.layer(LayerType::WispPostProcessing, "pp2", {}, {"pp", "in"});
    EXPECT_EQ(check_post_processing_layer(*lone["pp2"]).to_string(),
              "Cannot map layer 'pp2'. Timesteps dimension must be at least 3 (got 1). A WispPostProcessing layer must "
              "follow a StatefulRecurrent layer.");
}

TEST(WispChecks, Chains) {
    struct Row { char const* name; std::function<void(Chain&)> build; std::string status; };
    Row const rows[] = {
        {"two layers and post-processing", [](Chain& g) { g.two_layers_and_post_processing(); }, "Success."},
        {"nine layers", [](Chain& g) {  // no layer named
             g.sr("sr1", "in");
             for (int i = 2; i <= 9; ++i) g.sr("sr" + std::to_string(i), "sr" + std::to_string(i - 1)); },
         "A model cannot have more that 8 StatefulRecurrent layers."},
        {"12 channels", [](Chain& g) { g = Chain(12); g.sr("sr1", "in"); },
         "Cannot map layer 'sr1'. The packed input row (channels x input bits) must occupy a power-of-2 number of "
         "32-bit words (got 3 words for 12 channels at 8-bit)."},
        {"16-bit input of 512 channels", [](Chain& g) { g = Chain(512, 16); g.sr("sr1", "in"); },
         "Cannot map layer 'sr1'. The maximum input row size (input_channels * input_bits, padded to a power-of-2 "
         "number of 32-bit words) is 512 bytes (got 1024). The maximum input channels for 16-bit input is 128 (got "
         "512). EVSRAM size exceeds max limit of 256 32-bit words for TNP-R (got 512)."},
        {"512 states after 256",  // the memory failure is appended to the first failure
         [](Chain& g) {
             g.sr("sr1", "in", {{"stateful_channels", 256}}).sr("sr2", "sr1", {{"stateful_channels", 512}});
         },
         "Cannot map layer 'sr2'. State channels exceeds max limit of 256 for TNP-R. State channels must be the same "
         "for all stateful layers. Expected 256(got 512). STSRAM size exceeds max limit of 448 32-bit words for TNP-R "
         "(got 512)."},
        {"16-bit input of a second layer", [](Chain& g) { g.sr("sr1", "in", {{"output_bits", 16}}).sr("sr2", "sr1"); },
         "Cannot map layer 'sr2'. For intermediate StatefulRecurrent layer, input must be 8-bit. got( 16)."},
        {"16-bit outputs of the last layer", [](Chain& g) { g.sr("sr1", "in", {{"output_bits", 16}}); },
         "Cannot map layer 'sr1'. For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. "
         "(got 16)."},
        {"ReLU max values", [](Chain& g) {
             g.sr("sr1", "in", {{"activation", 1}}).m["sr1"]->variables().set("max_value", u8({3}, {127, 127, 100})); },
         "Cannot map layer 'sr1'. When activation is ReLU, all max_value elements must be 127 (got 100 at index 2)."},
        {"LUT activation", [](Chain& g) { g.sr("sr1", "in", {{"activation", 2}}); },
         "Cannot map layer 'sr1'. A LUT activation is not supported on TNP-R."},
        {"2 timesteps", [](Chain& g) { g = Chain(4, 8, 2); g.sr("sr1", "in", {{"output_channels", 1}}).pp("sr1"); },
         "Cannot map layer 'pp'. Timesteps dimension must be at least 3 (got 2)."},
        {"post-processing before another layer",
         [](Chain& g) {
             g.sr("sr1", "in", {{"output_channels", 1}}).pp("sr1").m.layer(LayerType::Dequantizer, "d", {}, {"pp"});
         },
         "Cannot map layer 'pp'. Dequantizer/WispPostProcessing must be the last layer."},
        {"output shift -1", [](Chain& g) {
             g.sr("sr1", "in", {{"output_channels", 1}}).pp("sr1");
             g["sr1"]->variables().set("output_shift", i8({1}, {-1})); },
         "Cannot map layer 'pp'. Output shift must be 0 for the last StatefulRecurrent layer before a "
         "WispPostProcessing layer (got -1)."},
        {"a convolution closes the chain", [](Chain& g) { g.sr("sr1", "in").m.conv("conv", "sr1"); },
         "Cannot map layer 'conv'. Only a Dequantizer or a WispPostProcessing is allowed a the end of a serie of "
         "StatefulRecurrent layers. WispPostProcessing layer input must have a single channel (got 4). Output scales "
         "must be 1 for the last StatefulRecurrent layer before a WispPostProcessing layer (got 0)."},
        // Mended: widths the TNP-R does not take once stopped the TSRAM sizing and lost the status.
        {"4-bit input", [](Chain& g) { g = Chain(4, 4); g.sr("sr1", "in"); },
         "Cannot map layer 'sr1'. For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 4)."},
        {"32-bit input of a second layer", [](Chain& g) { g.sr("sr1", "in", {{"output_bits", 32}}).sr("sr2", "sr1"); },
         "Cannot map layer 'sr2'. For intermediate StatefulRecurrent layer, input must be 8-bit. got( 32)."},
        // Mended: a size the walk's layers cannot give is added to what was found, not thrown over it.
        {"a first layer without a weight matrix",
         [](Chain& g) {
             g.sr("sr1", "in", {{"subsample", 5}}).sr("sr2", "sr1");
             g["sr1"]->variables().set("in_proj", i8({1}, {0}));
         },
         "Cannot map layer 'sr1'. Subsample ratio exceeds max limit of 4 for TNP-R. (got 5). Shape dimension 1 is out "
         "of range (the shape has 1 dimensions)"},
        // Mended: a later layer's own values were read by the chain's rules before its own checks,
        // and refused in the first layer's name with an internal text.
        {"a later layer without a weight matrix",
         [](Chain& g) {
             g.sr("sr1", "in", {{"subsample", 5}}).sr("sr2", "sr1");
             g["sr2"]->variables().set("in_proj", i8({1}, {0}));
         },
         "Cannot map layer 'sr2'. Variable 'in_proj' has shape (1), but the layer needs shape (4, 4)."},
        {"a third layer without a weight matrix",
         [](Chain& g) {
             g.sr("sr1", "in", {{"subsample", 5}}).sr("sr2", "sr1").sr("sr3", "sr2");
             g["sr3"]->variables().set("in_proj", i8({1}, {0}));
         },
         "Cannot map layer 'sr3'. Variable 'in_proj' has shape (1), but the layer needs shape (4, 4)."},
        {"a later layer with half a ceiling",
         [](Chain& g) {
             g.sr("sr1", "in").sr("sr2", "sr1", {{"activation", 1}});
             g["sr2"]->variables().set("max_value", u8({4}, {3, 3, 3, 3}));
         },
         "Cannot map layer 'sr2'. Variable 'max_value' is held without 'max_value_shift': a ReLU ceiling needs both."},
    };
    Checker const c;
    for (auto const& row : rows) {
        Chain g;
        row.build(g);
        EXPECT_EQ(c.check(*g["sr1"]), row.status) << row.name;
    }
}

// Mended: a first layer without an inbound layer is the first of its chain, and a chain that
// cannot be sized gives a failed status instead of a division by 0.
TEST(WispChecks, MendedChains) {
    auto const fake = [](int state_channels, uint8_t input_bits) {
        auto layer = FakeLayer::make("sr", {ComponentKind::TNP_R});
        layer->set_params(LayerType::StatefulRecurrent,
                          {{"stateful_channels", state_channels}, {"output_channels", 4}, {"subsample", 1}});
        layer->set_input_dims({Shape{1, 16, 4}});
        layer->set_output_dims(Shape{1, 16, 4});
        layer->set_bits(input_bits, 8);
        for (char const* name : {"new_state_shift", "internal_state_outputs_shift", "new_state_scale"})
            layer->variables().set(name, i8({1}, {0}));
        for (char const* name : {"in_proj", "out_proj"})
            layer->variables().set(name, i8({4, 4}, std::vector<int8_t>(16)));
        return layer;
    };
    Checker const c;
    EXPECT_EQ(c.check(*fake(4, 8)), "Success.");
    EXPECT_EQ(c.check(*fake(4, 64)),
              "Cannot map layer 'sr'. For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 64). "
              "A 32-bit TNP-R word cannot hold 64-bit values.");
    EXPECT_EQ(c.check(*fake(-1, 8)),
              "Cannot map layer 'sr'. State channels exceeds max limit of 256 for TNP-R. State channels must be a "
              "power of 2. (got 4294967295). Parameter stateful_channels of layer 'sr' cannot be negative (got -1).");
}

}  // namespace
}  // namespace nuvra::wisp
