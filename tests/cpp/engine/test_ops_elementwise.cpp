#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/ops.h"
#include "error_text.h"
#include "ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// A kernel over (a int32, b of some type, n) with a hand-computed result.
struct ShiftRow {
    std::vector<uint32_t> dims;
    std::vector<int32_t> a;
    std::vector<int32_t> b;  // converted to the kernel's shift type
    int n;
    std::vector<int32_t> expected;
};

TEST(EngineOps, LshiftSaturatesToBitWidth) {
    ShiftRow const rows[] = {
        {{4}, {1, -3, 5, 1000}, {2}, 32, {4, -12, 20, 4000}},
        {{1, 2}, {100, -100}, {1, 3}, 8, {127, -128}},  // 200 and -800 clamp to 8 bits
        {{1}, {1}, {40}, 32, {kMax}},                    // shifting past 32 bits saturates
        {{1}, {0}, {255}, 32, {0}},
    };
    for (auto const& r : rows) {
        std::vector<uint8_t> b(r.b.begin(), r.b.end());
        auto out = ops::lshift(*i32(r.dims, r.a), *u8({static_cast<uint32_t>(b.size())}, b), r.n);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
        EXPECT_EQ(dims_of(*out), r.dims);
    }
}

TEST(EngineOps, ShiftLeftsPositiveAndFloorsNegative) {
    ShiftRow const rows[] = {
        {{3}, {8, -7, 5}, {-1, -1, 2}, 32, {4, -4, 20}},  // -7 / 2 floors to -4
        {{1}, {1000}, {4}, 12, {2047}},
        {{2, 2}, {1, 2, 3, 4}, {1, -1}, 32, {2, 1, 6, 2}},  // per channel: the last dimension
    };
    for (auto const& r : rows) {
        std::vector<int8_t> b(r.b.begin(), r.b.end());
        auto out = ops::shift(*i32(r.dims, r.a), *i8({static_cast<uint32_t>(b.size())}, b), r.n);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, ShiftOutRoundsHalvesUp) {
    ShiftRow const rows[] = {
        {{4}, {6, -6, 5, 7}, {2}, 32, {2, -1, 1, 2}},  // 1.5 -> 2, -1.5 -> -1, 1.25 -> 1, 1.75 -> 2
        {{1}, {3}, {-3}, 32, {24}},                    // a negative amount shifts left
        {{1}, {100}, {0}, 4, {7}},
        {{1}, {-1}, {127}, 32, {0}},
    };
    for (auto const& r : rows) {
        std::vector<int8_t> b(r.b.begin(), r.b.end());
        auto out = ops::shift_out(*i32(r.dims, r.a), *i8({static_cast<uint32_t>(b.size())}, b), r.n);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, MatmulWithAndWithoutTransposedB) {
    struct Row {
        std::vector<uint32_t> b_dims;
        std::vector<int32_t> b;
        bool transpose;
        int n;
        std::vector<int32_t> expected;
    };
    // a = [[1, 2, 3], [4, 5, 6]]
    Row const rows[] = {
        {{3, 2}, {1, 0, 0, 1, 1, 1}, false, 32, {4, 5, 10, 11}},
        {{2, 3}, {1, 0, 1, 0, 1, 1}, true, 32, {4, 5, 10, 11}},
        {{3, 2}, {1, 0, 0, 1, 1, 1}, false, 4, {4, 5, 7, 7}},
        {{3, 1}, {-1, -1, -1}, false, 32, {-6, -15}},
    };
    for (auto const& r : rows) {
        auto out = ops::matmul(*i32({2, 3}, {1, 2, 3, 4, 5, 6}), *i32(r.b_dims, r.b), r.n, r.transpose);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
        EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{2, static_cast<uint32_t>(r.expected.size() / 2)}));
    }
}

TEST(EngineOps, AddSameShapeOrPerChannel) {
    struct Row {
        std::vector<uint32_t> b_dims;
        std::vector<int32_t> b;
        int n;
        std::vector<int32_t> expected;
    };
    // a = (2, 2) {1, 2, 3, 4}
    Row const rows[] = {
        {{2, 2}, {10, 20, 30, 40}, 32, {11, 22, 33, 44}},
        {{2}, {100, -100}, 32, {101, -98, 103, -96}},
        {{1}, {125}, 8, {126, 127, 127, 127}},
    };
    for (auto const& r : rows) {
        auto out = ops::add(*i32({2, 2}, {1, 2, 3, 4}), *i32(r.b_dims, r.b), r.n);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, ConcatenateJoinsLastDimension) {
    auto a = i32({2, 1}, {1, 2});
    auto b = i32({2, 2}, {3, 4, 5, 6});
    auto out = ops::concatenate_last_dim({a, b});
    EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{1, 3, 4, 2, 5, 6}));
    // Byte tensors keep their type.
    auto c = ops::concatenate_last_dim({i8({1, 2}, {-1, 2}), i8({1, 1}, {3})});
    EXPECT_EQ(c->type(), TensorType::int8);
    EXPECT_EQ(values_of<int8_t>(*c), (std::vector<int8_t>{-1, 2, 3}));
}

TEST(EngineOps, ScaleOutScalesShiftsAndSaturates) {
    // Signed 8 bits: 10 x 3 / 2 = 15, -10 x 3 / 2 = -15, 3 x 3 = 9.
    auto out = ops::scale_out(*i32({1, 3}, {10, -10, 3}), *u8({3}, {3, 3, 3}), *i8({3}, {1, 1, 0}), 8, 1);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{15, -15, 9}));
    // Unsigned 4 bits clamp to [0, 15]; uint16 scales are read as such.
    out = ops::scale_out(*i32({3}, {10, -10, 100}), *u16({1}, {1}), *i8({1}, {0}), 4, 0);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{10, 0, 15}));
    out = ops::scale_out(*i32({1}, {1000}), *u16({1}, {1000}), *i8({1}, {4}), 32, 1);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{62500}));
}

TEST(EngineOps, DequantizeDividesByScale) {
    auto out = ops::dequantize(*i32({3}, {4, -6, 5}), *f32({3}, {2.0f, 0.5f, 0.0f}));
    EXPECT_EQ(out->type(), TensorType::float32);
    EXPECT_EQ(values_of<float>(*out), (std::vector<float>{2.0f, -12.0f, 0.0f}));  // a zero scale gives 0
}

TEST(EngineOps, ReluClipsAtPerChannelMaximum) {
    struct Row {
        std::vector<uint32_t> dims;
        std::vector<int32_t> a;
        std::vector<int32_t> top;
        std::vector<int32_t> expected;
    };
    Row const rows[] = {
        {{2, 2}, {-5, 3, 10, 7}, {5, 8}, {0, 3, 5, 7}},
        {{1}, {3}, {-1}, {0}},
        {{3}, {-1, 0, 9}, {100}, {0, 0, 9}},
    };
    for (auto const& r : rows) {
        auto out = ops::relu_activation(*i32(r.dims, r.a), *i32({static_cast<uint32_t>(r.top.size())}, r.top));
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, LookUpClampsTheIndex) {
    auto out = ops::look_up(*i32({6}, {-1, 0, 1, 2, 3, 100}), *i32({3}, {10, 20, 30}));
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{10, 10, 20, 30, 30, 30}));
}

TEST(EngineOps, WispPostProcessingOffsetsScalesAndClips) {
    struct Row {
        std::vector<int16_t> a;
        int16_t offset;
        uint16_t scale;  // 8 fractional bits
        int n;
        bool relu;
        std::vector<int16_t> expected;
    };
    Row const rows[] = {
        {{100, -100, 300}, 28, 128, 16, false, {64, -36, 164}},
        {{100, -100, 300}, 28, 128, 16, true, {64, 0, 164}},
        {{1000}, 0, 256, 8, false, {127}},
        {{-3}, 0, 128, 16, false, {-1}},  // -1.5 rounds up to -1
    };
    for (auto const& r : rows) {
        auto out = ops::wisp_post_processing(*i16({static_cast<uint32_t>(r.a.size())}, r.a), *i16({1}, {r.offset}),
                                             *u16({1}, {r.scale}), r.n, r.relu);
        EXPECT_EQ(out->type(), TensorType::int16);
        EXPECT_EQ(values_of<int16_t>(*out), r.expected);
    }
}

TEST(EngineOps, ThresholdT16IsStepTimesSixteen) {
    auto out = get_threshold_t16_from_act_steps(*f32({5}, {0.5f, 1.0f, 0.03125f, -0.25f, 3e9f}));
    EXPECT_EQ(out->type(), TensorType::int32);
    EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{5}));
    // 0.03125 x 16 = 0.5 rounds away from zero; 3e9 x 16 saturates.
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{8, 16, 1, -4, kMax}));
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [] { get_threshold_t16_from_act_steps(*f32({1}, {std::numeric_limits<float>::quiet_NaN()})); }),
              "act_step nan is not a finite number");
    EXPECT_EQ(error_text<std::runtime_error>([] { get_threshold_t16_from_act_steps(*i32({1}, {1})); }),
              "Wrong requested type float32 for a tensor of type int32");
}

TEST(EngineOps, InputsAreNotModified) {
    auto a = i32({2}, {5, -5});
    auto b = i8({1}, {1});
    ops::shift(*a, *b, 32);
    ops::shift_out(*a, *b, 32);
    EXPECT_EQ(values_of<int32_t>(*a), (std::vector<int32_t>{5, -5}));
    EXPECT_EQ(values_of<int8_t>(*b), (std::vector<int8_t>{1}));
}

TEST(EngineOps, ReversedLayoutIsReadInLogicalOrder) {
    // Logical (2, 3) = [[1, 2, 3], [4, 5, 6]] stored first dimension fastest.
    std::vector<int32_t> const stored{1, 4, 2, 5, 3, 6};
    auto a = Dense::copy(stored.data(), stored.size() * 4, TensorType::int32, Shape{2, 3}, Layout::reversed);
    auto out = ops::add(*a, *i32({1}, {0}), 32);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace nuvra
