// Rule tables: a block of rules shared by several tables walks as its rows would in their place.
#include "mapping/rule_table.h"

#include <gtest/gtest.h>

#include "support/error_text.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

// The rules that fail in the current case, one bit per rule.
unsigned failing = 0;

template <unsigned bit, char letter>
MappingStatus rule(LayerCheck const& check) {
    if (failing & (1u << bit)) return {check.layer, std::string(1, letter)};
    return {};
}

constexpr RuleEntry block[] = {{rule<1, 'b'>}, {rule<2, 'c'>}};
constexpr RuleEntry with_block[] = {
    {rule<0, 'a'>}, {sub_table<block>}, {rule<3, 'd'>, RuleGate::skip_if_failed}, {rule<4, 'e'>}};
constexpr RuleEntry flat[] = {
    {rule<0, 'a'>}, {rule<1, 'b'>}, {rule<2, 'c'>}, {rule<3, 'd'>, RuleGate::skip_if_failed}, {rule<4, 'e'>}};

// Every combination of failing rules gives the same status through the block as through the flat
// table, the gate after the block counting the block's failures.
TEST(RuleTable, SubTableWalksAsItsRows) {
    auto const layer = testing::FakeLayer::make("layer");
    HardwareConstraints const limits;
    for (failing = 0; failing < 32; ++failing)
        EXPECT_EQ(gather_failures({limits, *layer}, with_block).to_string(),
                  gather_failures({limits, *layer}, flat).to_string())
            << failing;
    failing = 0b01110;  // b, c and d: d is skipped after the block's failures
    EXPECT_EQ(gather_failures({limits, *layer}, with_block).to_string(), "Cannot map layer 'layer'. b c");
    failing = 0;
}

// A generation's per-kind table answers for the kinds it lists, the first row of a kind winning.
TEST(RuleTable, FindKindAndTheRecordersRefusal) {
    struct Row { LayerType type; int answer; };
    constexpr Row table[] = {{LayerType::Conv2D, 1}, {LayerType::Add, 2}, {LayerType::Conv2D, 3}};
    EXPECT_EQ(find_kind(table, LayerType::Conv2D)->answer, 1);
    EXPECT_EQ(find_kind(table, LayerType::Add)->answer, 2);
    EXPECT_EQ(find_kind(table, LayerType::Dense1D), nullptr);
    EXPECT_EQ(testing::error_text<std::runtime_error>([] { refuse_unrecorded_kind(LayerType::Dense1D); }),
              "Unsupported layer type: " + std::to_string(int32_t(LayerType::Dense1D)) + ".");
}

}  // namespace
}  // namespace nuvra
