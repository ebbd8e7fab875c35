#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/ops.h"
#include "error_text.h"
#include "ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

TEST(EngineOps, FifoPushesNewestLastInPlace) {
    struct Row {
        std::vector<uint32_t> fifo_dims;
        std::vector<int8_t> fifo;
        std::vector<uint32_t> input_dims;
        std::vector<int8_t> input;
        std::vector<int8_t> expected;
    };
    Row const rows[] = {
        {{3, 2}, {1, 2, 3, 4, 5, 6}, {2}, {7, 8}, {3, 4, 5, 6, 7, 8}},
        {{3, 2}, {1, 2, 3, 4, 5, 6}, {1, 2}, {-7, -8}, {3, 4, 5, 6, -7, -8}},
        {{1, 1, 2}, {1, 2}, {1, 2}, {9, 9}, {9, 9}},  // a fifo of one entry is replaced
    };
    for (auto const& r : rows) {
        auto fifo = i8(r.fifo_dims, r.fifo);
        auto input = i8(r.input_dims, r.input);
        auto out = ops::fifo_op(*fifo, *input);
        EXPECT_EQ(values_of<int8_t>(*fifo), r.expected);  // updated in place
        EXPECT_EQ(values_of<int8_t>(*out), r.expected);
        EXPECT_EQ(dims_of(*out), r.fifo_dims);
        EXPECT_EQ(values_of<int8_t>(*input), r.input);    // the input is untouched
    }
}

TEST(EngineOps, DepthwiseLikeConvSumsOverTime) {
    struct Row {
        std::vector<uint32_t> dims;
        int n;
        std::vector<uint32_t> out_dims;
        std::vector<int32_t> expected;
    };
    // a = {1, 2, 3, 4, 5, 6} as 3 steps of 2 channels; b = {1, -1, 2, 0, 1, 1}.
    Row const rows[] = {
        {{3, 2}, 32, {2}, {12, 4}},
        {{3, 1, 1, 2}, 32, {1, 1, 2}, {12, 4}},
        {{3, 2}, 4, {2}, {7, 4}},
    };
    for (auto const& r : rows) {
        auto out = ops::depthwise_like_conv(*i32(r.dims, {1, 2, 3, 4, 5, 6}), *i8({3, 2}, {1, -1, 2, 0, 1, 1}), r.n);
        EXPECT_EQ(dims_of(*out), r.out_dims);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, UpdateInternalStateRotatesAndAddsInput) {
    struct Row {
        std::vector<int32_t> re, im;
        std::vector<int16_t> e, f;
        int m, k;
        std::vector<int32_t> next_re, next_im;
    };
    // Input {10, 20} with shifts {0, 1}: u = {10, 40}. Coefficients with 2 fractional bits:
    // channel 0 is 1 (4/4), channel 1 is i (4/4 imaginary).
    Row const rows[] = {
        {{100, 8}, {0, 4}, {4, 0}, {0, 4}, 32, 2, {110, 36}, {0, 8}},
        {{100, 8}, {0, 4}, {4, 0}, {0, 4}, 6, 2, {31, 31}, {0, 8}},  // 6 bits: [-32, 31]
        {{1, 1}, {0, 0}, {3, 3}, {1, 1}, 32, 2, {11, 41}, {0, 0}},   // 0.75 -> 1, 0.25 -> 0
    };
    for (auto const& r : rows) {
        auto a = i32({1, 2}, {10, 20});
        auto b = i8({2}, {0, 1});
        auto re = i32({1, 2}, r.re);
        auto im = i32({1, 2}, r.im);
        auto e = i16({2}, r.e);
        auto f = i16({2}, r.f);
        auto [out_re, out_im] = ops::update_internal_state(*a, *b, *re, *im, *e, *f, r.m, r.k);
        EXPECT_EQ(values_of<int32_t>(*out_re), r.next_re);
        EXPECT_EQ(values_of<int32_t>(*out_im), r.next_im);
        EXPECT_EQ(values_of<int32_t>(*re), r.next_re);  // the states are updated in place
        EXPECT_EQ(values_of<int32_t>(*im), r.next_im);
        EXPECT_NE(out_re.get(), re.get());
        EXPECT_EQ(values_of<int32_t>(*a), (std::vector<int32_t>{10, 20}));  // other inputs untouched
        EXPECT_EQ(values_of<int8_t>(*b), (std::vector<int8_t>{0, 1}));
        EXPECT_EQ(values_of<int16_t>(*e), r.e);
        EXPECT_EQ(values_of<int16_t>(*f), r.f);
    }
}

TEST(EngineOps, FailedStateUpdateLeavesStatesUnchanged) {
    auto re = i32({2}, {1, 2});
    auto im = i32({2}, {3, 4});
    EXPECT_THROW(ops::update_internal_state(*i32({2}, {0, 0}), *i8({3}, {0, 0, 0}), *re, *im, *i16({1}, {1}),
                                            *i16({1}, {1}), 32, 0),
                 std::invalid_argument);
    EXPECT_EQ(values_of<int32_t>(*re), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(values_of<int32_t>(*im), (std::vector<int32_t>{3, 4}));
}

}  // namespace
}  // namespace nuvra
