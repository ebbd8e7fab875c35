#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "hw/arith.h"

namespace nuvra {
namespace {

constexpr uint64_t max64 = std::numeric_limits<uint64_t>::max();

TEST(Arith, SaturatingAndRounding) {
    struct Row { uint64_t got, expected; };
    Row const rows[] = {
        {mul_sat(4096ull * 4096, 2048), 34359738368ull},
        {mul_sat(1ull << 32, 1ull << 32), max64},
        {mul_sat({1ull << 32, 1ull << 32, 0}), max64},  // saturated once, saturated for good
        {add_sat(max64, 1), max64},
        {ceil_div(10, 4), 3},
        {ceil_div(max64, 4), max64},
        {round_up(10, 6), 12},
        {align_up(65, 64), 128},
        {align_up(max64 - 2, 64), max64},
    };
    for (Row const& row : rows) EXPECT_EQ(row.got, row.expected);
    EXPECT_TRUE(fits_beside(10, 5, 15));
    EXPECT_FALSE(fits_beside(11, 5, 15));
    EXPECT_FALSE(fits_beside(0, 16, 15));
    EXPECT_EQ(clamp_to<uint32_t>(1ull << 40), 0xFFFFFFFFu);
}

TEST(Arith, NarrowAndCheckedRefuseWithOneMessage) {
    EXPECT_EQ(narrow<uint8_t>(255, "bits"), 255);
    EXPECT_EQ(narrow<int8_t>(-128, "shift"), -128);
    struct Row { std::string message; void (*call)(); };
    Row const rows[] = {
        {"bits: 256 does not fit in [0, 255].", [] { narrow<uint8_t>(256, "bits"); }},
        {"bits: -1 does not fit in [0, 255].", [] { narrow<uint8_t>(-1, "bits"); }},
        {"words: 4294967296 does not fit in [0, 4294967295].",
         [] { narrow<uint32_t>(uint64_t{1} << 32, "words"); }},
        {"count: 2147483648 does not fit in [-2147483648, 2147483647].",
         [] { narrow<int32_t>(uint64_t{1} << 31, "count"); }},
    };
    for (Row const& row : rows) {
        try {
            row.call();
            ADD_FAILURE() << "no exception for " << row.message;
        } catch (std::out_of_range const& e) {
            EXPECT_EQ(std::string(e.what()), row.message);
        }
    }
    EXPECT_THROW(checked_mul(1ull << 32, 1ull << 32, "size"), std::overflow_error);
    EXPECT_THROW(checked_add(max64, 1, "size"), std::overflow_error);
    EXPECT_EQ(checked_mul(3, 5, "size"), 15u);
    EXPECT_THROW((narrow<uint8_t, std::invalid_argument>(300, "bits")), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
