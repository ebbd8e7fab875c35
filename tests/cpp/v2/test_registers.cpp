// Every exported second-generation field: inside one word, at its documented place.
#include <gtest/gtest.h>

#include "backends/v2/registers.h"

namespace nuvra::v2 {
namespace {

struct FieldRow {
    const char* name;
    RegDetail field;
    uint32_t offset;
    uint32_t width;
};

TEST(V2Registers, EveryExportedFieldLiesInOneWordAtItsPlace) {
    FieldRow const rows[] = {
        {"REG4_IB_CH_GRP_EN", REG4_IB_CH_GRP_EN, 10, 1},
        {"REG4_EN_ACT", REG4_EN_ACT, 15, 1},
        {"REG4_NP_NUM", REG4_NP_NUM, 16, 8},
        {"REG5_CPKSRAM_SIZE", REG5_CPKSRAM_SIZE, 0, 16},
        {"REG8_II_SIZE", REG8_II_SIZE, 0, 11},
        {"REG8_II_OFFSET", REG8_II_OFFSET, 12, 3},
        {"REG8_JJ_SIZE", REG8_JJ_SIZE, 16, 11},
        {"REG8_JJ_OFFSET", REG8_JJ_OFFSET, 28, 3},
        {"REG9_I_ORIG_CUT", REG9_I_ORIG_CUT, 0, 12},
        {"REG11_CHCONT_SIZE", REG11_CHCONT_SIZE, 12, 18},
        {"CNP2_TF_TOTAL", CNP2_TF_TOTAL, 0, 11},
        {"CNP3_CH_ORIG_CUT", CNP3_CH_ORIG_CUT, 0, 12},
        {"CNP3_CH_SIZE_CUT", CNP3_CH_SIZE_CUT, 16, 10},
        {"CNP8_CPK_CHCONT_SIZE", CNP8_CPK_CHCONT_SIZE, 16, 16},
        {"PR1_FNP_MODE", PR1_FNP_MODE, 1, 1},
        {"PR1_IB_CH_GRP_EN", PR1_IB_CH_GRP_EN, 10, 1},
        {"PR1_SP_MAXPOOLING", PR1_SP_MAXPOOLING, 11, 1},
        {"PR1_SEPARABLE", PR1_SEPARABLE, 15, 1},
        {"PR1_I_ORIG_CUT", PR1_I_ORIG_CUT, 0, 12},
        {"PR1_J_ORIG_CUT", PR1_J_ORIG_CUT, 16, 12},
        {"PR1_I_SIZE_CUT", PR1_I_SIZE_CUT, 0, 11},
        {"PR1_J_SIZE_CUT", PR1_J_SIZE_CUT, 16, 11},
        {"PR1_CH_SIZE", PR1_CH_SIZE, 0, 18},
        {"PR1_CH_ORIG_CUT", PR1_CH_ORIG_CUT, 0, 12},
        {"PR1_CH_SIZE_CUT", PR1_CH_SIZE_CUT, 16, 10},
        {"PR1_PKSRAM_SIZE", PR1_PKSRAM_SIZE, 0, 16},
        {"VARS_W1_OUT_SCALE", VARS_W1_OUT_SCALE, 0, 8},
        {"VARS_W1_BIAS", VARS_W1_BIAS, 8, 8},
        {"VARS_W1_BIAS_SHIFT", VARS_W1_BIAS_SHIFT, 16, 5},
        {"VARS_W1_OUT_SHIFT", VARS_W1_OUT_SHIFT, 21, 6},
        {"VARS_W1_MAX_SHIFT", VARS_W1_MAX_SHIFT, 27, 5},
        {"VARS_W1_ACT_SHIFT_LO", VARS_W1_ACT_SHIFT_LO, 27, 5},
        {"VARS_W2_ACT_SHIFT_HI", VARS_W2_ACT_SHIFT_HI, 0, 1},
        {"VARS_W2_ACT_SCALES", VARS_W2_ACT_SCALES, 1, 8},
        {"VARS_W2_MAX_VALUE", VARS_W2_MAX_VALUE, 0, 8},
        {"MERGE_SHIFT_DISTANCE", MERGE_SHIFT_DISTANCE, 0, 4},
        {"MERGE_SHIFT_SUM", MERGE_SHIFT_SUM, 4, 3},
        {"MERGE_SHIFT_B_LARGER", MERGE_SHIFT_B_LARGER, 7, 1},
        {"LUT_CNP_EVEN", LUT_CNP_EVEN, 0, 14},
        {"LUT_CNP_ODD", LUT_CNP_ODD, 16, 14},
        {"LUT_HRC_ENTRY", LUT_HRC_ENTRY, 0, 14},
        {"HRC_SRAM_SELECT_R", HRC_SRAM_SELECT_R, 0, 1},
        {"HRC_SRAM_SELECT_G", HRC_SRAM_SELECT_G, 1, 1},
        {"HRC_SRAM_SELECT_B", HRC_SRAM_SELECT_B, 2, 1},
        {"HRC_SRAM_SELECT_LUT", HRC_SRAM_SELECT_LUT, 29, 1},
        {"HRC_SRAM_SELECT_ACT", HRC_SRAM_SELECT_ACT, 31, 1},
        {"fnp::BIAS", fnp::BIAS, 0, 8},
        {"fnp::BIAS_SHIFT", fnp::BIAS_SHIFT, 8, 8},
        {"fnp::MAX_VALUE", fnp::MAX_VALUE, 16, 8},
        {"fnp::MAX_VALUE_SHIFT", fnp::MAX_VALUE_SHIFT, 24, 8},
        {"fnp::OUTPUT_SCALE", fnp::OUTPUT_SCALE, 0, 8},
        {"fnp::OUTPUT_SHIFT", fnp::OUTPUT_SHIFT, 8, 8},
    };
    for (auto const& row : rows) {
        EXPECT_TRUE(is_valid(row.field)) << row.name;
        EXPECT_EQ(row.field, (RegDetail{row.offset, row.width})) << row.name;
    }
}

}  // namespace
}  // namespace nuvra::v2
