// Software inference and learning over real engine models.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <map>

#include "engine/inference.h"
#include "engine/model.h"
#include "support/error_text.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

void set(Layer& layer, char const* name, std::shared_ptr<Dense> value) { layer.variables().set(name, value); }

TEST(EngineInference, TwoLayerModelForwardAndPredictInAnyBatch) {
    // InputData (3, 3, 1) -> Conv2D 2x2, 2 filters, ReLU -> Dense1D of 3 units. Filter 0 sums the
    // window; filter 1 is in[x, y] - in[x + 1, y + 1]. Unit 0 sums filter 0, unit 1 sums filter 1,
    // unit 2 is filter 0 at (0, 0) minus filter 0 at (1, 1).
    auto model = Model::create();
    model->add(make_input(3, 3, 1));
    auto conv = make_layer(LayerType::Conv2D, {{"kernel_size", 2}, {"filters", 2}, {"activation", 1}}, "conv");
    model->add(conv);
    set(*conv, "weights", i8({2, 2, 1, 2}, {1, 1, 1, 0, 1, 0, 1, -1}));
    set(*conv, "output_scales", u8({2}, {1, 1}));
    auto dense = make_layer(LayerType::Dense1D, {{"units", 3}}, "dense");
    model->add(dense);
    set(*dense, "weights", i8({8, 3}, {1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, -1, 0, 1, 0}));
    set(*dense, "output_scales", u8({3}, {1, 1, 1}));
    // Sample 0 holds 1..9, sample 1 9..1: filter 0 gives 12, 16, 24, 28 (28, 24, 16, 12) and filter
    // 1 gives -4 (4), 0 after ReLU.
    auto const samples = u8({2, 3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 8, 7, 6, 5, 4, 3, 2, 1});
    for (uint32_t batch : {0u, 1u, 3u}) {
        auto out = software_forward(*model, samples, batch);
        EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{2, 1, 1, 3}));
        EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{80, 0, -16, 80, 16, 16})) << batch;
        EXPECT_EQ(values_of<float>(*software_predict(*model, samples, batch)),
                  (std::vector<float>{80, 0, -16, 80, 16, 16}));
    }
}

TEST(EngineInference, InputShapesAndTypes) {
    auto model = model_with(make_layer(LayerType::Dequantizer, {}, "deq"), 1, 1, 2);
    set(*model->get_layer(1), "scales", f32({2}, {2.0f, 0.5f}));
    struct Row { std::shared_ptr<Dense> input; std::vector<float> expected; };
    Row const rows[] = {
        {u8({1, 1, 1, 2}, {4, 3}), {2.0f, 6.0f}},
        {u8({1, 2}, {4, 3}), {2.0f, 6.0f}},          // (N, C) for a (1, 1, C) input
        {i16({1, 2}, {-4, 300}), {0.0f, 510.0f}},    // an 8-bit unsigned input saturates to 0..255
        {f32({1, 2}, {4.4f, 2.5f}), {2.0f, 6.0f}},   // floats round to nearest, halves away
    };
    for (auto const& r : rows) EXPECT_EQ(values_of<float>(*software_predict(*model, r.input)), r.expected);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, u8({1, 3}, {1, 2, 3})); }),
              "Inputs of shape (1, 3) do not fit the model's input (1, 1, 2): inputs must be 4-D with the samples "
              "first, (samples, 1, 1, 2).");
    // One sample given without its sample count.
    auto image = model_with(make_layer(LayerType::Dequantizer, {}, "deq"), 2, 2, 2);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*image, u8({2, 2, 2}, std::vector<uint8_t>(8))); }),
              "Inputs of shape (2, 2, 2) do not fit the model's input (2, 2, 2): inputs must be 4-D with the samples "
              "first, (samples, 2, 2, 2).");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*Model::create(), u8({1, 2}, {1, 2})); }),
              "Cannot run a model with no layers.");
    auto post = model_with(make_layer(LayerType::WispPostProcessing, {}, "post"), 2, 1, 1);
    EXPECT_EQ(error_text<std::runtime_error>([&] { software_forward(*post, u8({1, 2, 1, 1}, {1, 2})); }),
              "Layer 'post' (WispPostProcessing): this kind has no software implementation");
    auto const pool = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}, {"pool_type", 2},
                                                     {"pool_size", 2}}, "avg");
    auto avg = model_with(pool, 2, 2, 1);
    EXPECT_EQ(error_text<std::runtime_error>([&] { software_forward(*avg, u8({1, 2, 2, 1}, {1, 2, 3, 4})); }),
              "Layer 'avg' (Conv2D): average pooling over a window has no software implementation");
}

// Mended: a NaN in a float input was read as 0 without a word.
TEST(EngineInference, FloatInputsRefuseNaNAndSaturateInfinities) {
    float const nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto model = Model::create();  // (2, 3, 2) signed bytes -> Conv2D 1 x 1 with identity weights
    model->add(make_input(2, 3, 2, 8, true));
    auto conv = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 2}}, "conv");
    model->add(conv);
    set(*conv, "weights", i8({1, 1, 2, 2}, {1, 0, 0, 1}));
    set(*conv, "output_scales", u8({2}, {1, 1}));
    std::pair<size_t, std::string> const rows[] = {  // the first NaN in row-major order is named
        {1, "Input sample 0 holds NaN at x 0, y 0, channel 1: NaN has no integer value."},
        {12 + 6 + 4, "Input sample 1 holds NaN at x 1, y 2, channel 0: NaN has no integer value."}};
    for (auto const& [at, message] : rows) {
        std::vector<float> x(24, 1.0f);
        x[at] = x[23] = nan;
        auto const input = f32({2, 2, 3, 2}, x);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, input); }), message);
    }
    auto const out = software_forward(*model, f32({1, 2, 3, 2}, {inf, -inf, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(values_of<int32_t>(*out)[0], 127);
    EXPECT_EQ(values_of<int32_t>(*out)[1], -128);
}

TEST(EngineInference, FirstGenerationThresholdStage) {
    // FullyConnected of 3 units over 2 inputs; potentials 10, 10, 10 for the input {1, 1}.
    struct Row { int activation; std::vector<int32_t> threshold; std::vector<float> act_step;
                 std::vector<int32_t> forward; std::vector<float> predict; };
    Row const rows[] = {
        // Without activation: the potentials; predicted as (p - threshold) x act_step.
        {0, {0, 10, 20}, {0.5f, 1.0f, 0.5f}, {10, 10, 10}, {5.0f, 0.0f, -5.0f}},
        // With it: ceil((p - threshold) x 16 / t16), at most 15 on 4 bits (a step of 0 gives the
        // cap); predicted as q x act_step.
        {1, {2, 10, 0}, {2.5f, 1.0f, 0.0f}, {4, 0, 15}, {10.0f, 0.0f, 0.0f}},
    };
    for (auto const& r : rows) {
        auto fc = make_layer(LayerType::FullyConnected, {{"units", 3}, {"activation", r.activation}}, "fc");
        auto model = model_with(fc, 1, 1, 2);
        set(*fc, "weights", i8({3, 2, 1, 1}, {5, 5, 5, 5, 5, 5}));
        set(*fc, "threshold", i32({3}, r.threshold));
        set(*fc, "act_step", f32({3}, r.act_step));
        EXPECT_EQ(values_of<int32_t>(*software_forward(*model, u8({1, 2}, {1, 1}))), r.forward);
        EXPECT_EQ(values_of<float>(*software_predict(*model, u8({1, 2}, {1, 1}))), r.predict);
    }
}

TEST(EngineInference, AddShiftsSumsAndShiftsOut) {
    auto model = Model::create();
    auto in = make_input(1, 1, 2, 8, true);
    model->add(in);
    auto add = make_layer(LayerType::Add, {}, "add");
    model->add(add, {in, in});
    set(*add, "a_shift", u8({2}, {1, 0}));
    set(*add, "b_shift", u8({2}, {0, 0}));
    set(*add, "output_shift", i8({2}, {0, 1}));
    // Channel 0: 2x + x = 3x; channel 1: (x + x) x 2 = 4x; 150 saturates to 8 bits.
    auto out = software_forward(*model, tensor_of<int8_t>(TensorType::int8, {2, 2}, {10, -3, 50, 7}));
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{30, -12, 127, 28}));
}

// Shifts of one a_shift + output_shift and b_shift + output_shift, all a program holds, run alike;
// y = x x scale, 32-bit values.
TEST(EngineInference, AddRunsAlikeForOneSumOfShifts) {
    struct Row { std::vector<std::array<int, 3>> shifts; float scale; std::vector<int32_t> x, expected; };
    int32_t const big = 1 << 28, max = std::numeric_limits<int32_t>::max(), min = -max - 1;
    Row const rows[] = {
        {{{0, 0, 1}, {1, 1, 0}}, 1.0f, {3, -5}, {12, -20}},
        {{{2, 0, -1}, {3, 1, -2}}, 1.0f, {1, -1, 3, -3}, {3, -2, 8, -7}},     // 2.5x, halves up
        {{{30, 30, -30}, {0, 0, 0}}, 1.0f, {1, -7, 1 << 30}, {2, -14, max}},  // shifting by 30 first saturated
        {{{3, 3, 0}}, -1.0f, {big, -big}, {-1, -1}},  // 2^31 saturates to 2^31 - 1 before the sum, as ever
        {{{127, 0, -128}}, -1.0f, {1, -1, 3}, {0, 0, 1}},  // x / 2 + y / 2^128: y's sign decides a half
        {{{41, 42, 1}}, -0.5f, {2, min, 1}, {0, 0, min}},  // x 2^42 + y 2^43, exact
        // Shifts no program holds, run as exactly: y = 0 far above x, and y 2^-30 beside x 2^10.
        {{{0, 100, -1}}, 0.0f, {3}, {2}},
        {{{40, 0, -30}}, 2147483647.0f, {1}, {1026}},
    };
    for (auto const& r : rows) {
        auto model = Model::create();
        auto in = make_input(1, 1, 1, 32, true);
        model->add(in);
        auto y = make_layer(LayerType::Quantizer, {{"output_bits", 32}}, "y");
        model->add(y);
        set(*y, "scales", f32({1}, {r.scale}));
        auto add = make_layer(LayerType::Add, {{"output_bits", 32}}, "add");
        model->add(add, {in, y});
        for (auto const& [a, b, o] : r.shifts) {
            set(*add, "a_shift", u8({1}, {uint8_t(a)}));
            set(*add, "b_shift", u8({1}, {uint8_t(b)}));
            set(*add, "output_shift", i8({1}, {int8_t(o)}));
            auto const out = software_forward(*model, i32({uint32_t(r.x.size()), 1}, r.x));
            EXPECT_EQ(values_of<int32_t>(*out), r.expected) << a << " " << b << " " << o;
        }
    }
}

TEST(EngineInference, KindsComputeTheirArithmetic) {
    using Vars = std::vector<std::pair<char const*, std::shared_ptr<Dense>>>;
    // input_shape: (width, height, channels)
    struct Row { char const* what; LayerType type; std::map<std::string, int> params; Dims input_shape; Vars variables;
                 std::shared_ptr<Dense> input; Dims dims; std::vector<int32_t> expected; };
    std::vector<int32_t> lut(2048, 0);
    lut[5] = 42;
    lut[10] = 17;
    auto const one = i8({1, 1, 1, 1}, {1});
    auto const s1 = u8({1}, {1});
    Vars const taps{{"weights", i8({1, 1, 2, 1}, {1, 10})}, {"output_scales", s1}};
    Row const rows[] = {
        {"Conv2D with bias and output shift: (21 + 4) / 2 rounds to 13", LayerType::Conv2D,
         {{"kernel_size", 1}, {"filters", 1}}, {1, 1, 1},
         {{"weights", i8({1, 1, 1, 1}, {3})}, {"bias", i8({1}, {1})}, {"bias_shift", u8({1}, {2})},
          {"output_scales", s1}, {"output_shift", i8({1}, {1})}},
         u8({1, 1}, {7}), {1, 1, 1, 1}, {13}},
        {"Conv2D with a look-up table", LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}, {"activation", 2}},
         {1, 1, 1}, {{"weights", one}, {"activation_scales", s1}, {"lut_values", i32({2048}, lut)}},
         u8({1, 1}, {5}), {1, 1, 1, 1}, {42}},
        // Mended: the kind created no look-up table ("Variable activation_shift not found").
        {"Dense1D with a look-up table: sums 10 and 5", LayerType::Dense1D, {{"units", 2}, {"activation", 2}},
         {1, 1, 4}, {{"weights", i8({4, 2}, {1, 1, 1, 0, 1, 0, 1, 1})}, {"activation_scales", u8({2}, {1, 1})},
          {"lut_values", i32({2048}, lut)}},
         u8({1, 4}, {1, 2, 3, 4}), {1, 1, 1, 2}, {17, 42}},
        {"Convolutional reads (F, C, ky, kx) weights", LayerType::Convolutional,
         {{"kernel_width", 2}, {"kernel_height", 1}, {"filters", 1}}, {2, 1, 1},
         {{"weights", i8({1, 1, 1, 2}, {1, 2})}}, u8({1, 2, 1, 1}, {3, 4}), {1, 1, 1, 1}, {11}},
        // Taps {1, 10} over a fifo of two frames: previous + 10 x current, across batches.
        {"DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, {1, 1, 1}, taps,
         u8({3, 1}, {1, 2, 3}), {3, 1, 1, 1}, {10, 21, 32}},
        {"StatefulRecurrent halves its state each step", LayerType::StatefulRecurrent,
         {{"stateful_channels", 1}, {"output_channels", 1}}, {1, 1, 1},
         {{"in_proj", i8({1, 1}, {1})}, {"out_proj", i8({1, 1}, {1})}, {"A_real", i16({1}, {16384})},
          {"new_state_scale", s1}, {"output_scales", s1}},
         u8({3, 1}, {4, 0, 0}), {3, 1, 1, 1}, {4, 2, 1}},
        {"Quantizer of floats", LayerType::Quantizer, {{"output_signed", 0}}, {1, 1, 1},
         {{"scales", f32({1}, {2.0f})}, {"zero_points", u8({1}, {10})}}, f32({2, 1}, {1.3f, -9.0f}), {2, 1, 1, 1},
         {13, 0}},
    };
    for (auto const& r : rows) {
        auto layer = make_layer(r.type, r.params, "layer");
        auto model = model_with(layer, r.input_shape[0], r.input_shape[1], r.input_shape[2]);
        for (auto const& [name, value] : r.variables) set(*layer, name, value);
        for (uint32_t batch : {0u, 1u, 2u}) {
            auto out = software_forward(*model, r.input, batch);
            EXPECT_EQ(dims_of(*out), r.dims) << r.what;
            EXPECT_EQ(values_of<int32_t>(*out), r.expected) << r.what << ", batch " << batch;
        }
    }
}

TEST(EngineInference, StatefulRecurrentRefusesALookUpTable) {
    auto const layer = make_layer(LayerType::StatefulRecurrent,
                                  {{"stateful_channels", 1}, {"output_channels", 1}, {"activation", 2}}, "r");
    auto model = model_with(layer, 1, 1, 1);
    EXPECT_EQ(error_text<std::runtime_error>([&] { software_forward(*model, u8({1, 1}, {1})); }),
              "Layer 'r' (StatefulRecurrent): a LUT activation has no software implementation (the TNP-R has no "
              "look-up table)");
}

TEST(EngineInference, RefusesBadModelsBeforeAllocating) {
    // Each model comes back from its own small buffer, as a model file would. input: (width, height, channels)
    struct Row { LayerType type; std::map<std::string, int> params; Dims input; std::string message; };
    Row const rows[] = {
        // (16 x 241)^2 x 16 outputs from a model of about 1.4 KB.
        {LayerType::Conv2DTranspose, {{"kernel_size", 4}, {"filters", 16}, {"kernel_stride", 241}}, {16, 16, 16},
         "Layer 'bad' (Conv2DTranspose): the output of 3856 x 3856 x 16 (237899776 elements) exceeds the software "
         "limit of 67108864 elements per sample"},
        {LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}, {"kernel_stride", 241}}, {16, 16, 16},
         "Layer 'bad' (DepthwiseConv2DTranspose): the output of 3856 x 3856 x 16 (237899776 elements) exceeds the "
         "software limit of 67108864 elements per sample"},
        // A kernel larger than the input: refused before the weights are reordered.
        {LayerType::Convolutional, {{"kernel_width", 9}, {"kernel_height", 3}, {"filters", 64}}, {8, 8, 32},
         "Layer 'bad' (Convolutional): the convolution output of 0 x 6 is empty: the kernel does not fit the input"},
        {LayerType::SeparableConvolutional, {{"kernel_width", 3}, {"kernel_height", 9}, {"filters", 64}}, {8, 8, 32},
         "Layer 'bad' (SeparableConvolutional): the convolution output of 6 x 0 is empty: the kernel does not fit "
         "the input"},
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}, {"pool_type", 1}, {"pool_size", 5}}, {4, 4, 1},
         "Layer 'bad' (Conv2D): the pooling output of 0 x 0 is empty: the pool does not fit the convolution output"},
    };
    for (auto const& r : rows) {
        auto const [x, y, c] = std::array<uint32_t, 3>{r.input[0], r.input[1], r.input[2]};
        auto const bytes = model_with(make_layer(r.type, r.params, "bad"), x, y, c)->to_buffer();
        auto const model = Model::from_buffer(bytes.data(), bytes.size());
        auto const input = u8({1, x, y, c}, std::vector<uint8_t>(size_t{x} * y * c));
        EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, input); }), r.message);
    }
    // Per-channel transposed weights act alone: 8192 channels need no 8192 x 8192 kernel.
    auto up = make_layer(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, "up");
    auto model = model_with(up, 1, 1, 8192);
    set(*up, "weights", i8({4, 4, 1, 8192}, std::vector<int8_t>(4 * 4 * 8192, 1)));
    set(*up, "output_scales", u8({8192}, std::vector<uint8_t>(8192, 1)));
    auto const out = software_forward(*model, u8({1, 8192}, std::vector<uint8_t>(8192, 3)));
    EXPECT_EQ(values_of<int32_t>(*out), std::vector<int32_t>(2 * 2 * 8192, 3));
}

TEST(EngineInference, VariablesThatDoNotFitTheLayerAreRefusedBeforeTheRun) {
    using Params = std::map<std::string, int>;
    Params const conv{{"kernel_size", 3}, {"filters", 8}, {"padding", 1}};
    Params const lut{{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 2}};
    Params const units{{"units", 4}};
    // Each row sets one variable of a layer "l" fed (4, 4, 4) values; an empty message: it runs.
    struct Row { LayerType type; Params params; char const* variable; std::shared_ptr<Dense> value; std::string message; };
    Row const rows[] = {
        {LayerType::Conv2D, conv, "weights", i8({5, 5, 4, 8}, std::vector<int8_t>(800)),
         "Layer 'l' (Conv2D): variable 'weights' has shape (5, 5, 4, 8), but the layer needs shape (3, 3, 4, 8)"},
        {LayerType::Conv2D, conv, "weights", i8({3, 3, 4, 16}, std::vector<int8_t>(576)),
         "Layer 'l' (Conv2D): variable 'weights' has shape (3, 3, 4, 16), but the layer needs shape (3, 3, 4, 8)"},
        {LayerType::Conv2D, conv, "input_shift", u8(std::vector<uint8_t>(100)),
         "Layer 'l' (Conv2D): variable 'input_shift' has shape (100), but the layer needs shape (4), or any shape of "
         "4 values"},
        {LayerType::Conv2D, conv, "input_shift", u8({4, 1}, std::vector<uint8_t>(4)), ""},  // read in order
        {LayerType::Conv2D, lut, "lut_values", i32({2047}, std::vector<int32_t>(2047)),
         "Layer 'l' (Conv2D): variable 'lut_values' has shape (2047), but the layer needs shape (2048), or any shape "
         "of 2048 values"},
        {LayerType::FullyConnected, units, "weights", i8({4, 64}, std::vector<int8_t>(256)), ""},  // (4, 64, 1, 1)
        {LayerType::FullyConnected, units, "weights", i8({8, 32, 1, 1}, std::vector<int8_t>(256)),
         "Layer 'l' (FullyConnected): variable 'weights' has shape (8, 32, 1, 1), but the layer needs shape "
         "(4, 64, 1, 1)"},
        {LayerType::FullyConnected, units, "threshold", i32({4, 1, 1, 1}, std::vector<int32_t>(4)), ""},
        {LayerType::Dense1D, units, "max_value", u8(std::vector<uint8_t>(3)),  // optional: checked once set
         "Layer 'l' (Dense1D): variable 'max_value' has shape (3), but the layer needs shape (4), or any shape of 4 "
         "values"},
        {LayerType::StatefulRecurrent, {{"stateful_channels", 2}, {"output_channels", 4}}, "in_proj",
         i8({4, 2}, std::vector<int8_t>(8)),
         "Layer 'l' (StatefulRecurrent): variable 'in_proj' has shape (4, 2), but the layer needs shape (2, 4)"},
    };
    for (auto const& r : rows) {
        auto layer = make_layer(r.type, r.params, "l");
        auto model = model_with(layer, 4, 4, 4);
        set(*layer, r.variable, r.value);
        auto const input = u8({1, 4, 4, 4}, std::vector<uint8_t>(64));
        EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, input); }), r.message) << r.message;
    }
}

// Mended: the fifo held signed bytes, so a temporal layer after a ReLU refused every value above 127.
TEST(EngineInference, TheFifoHoldsTheInputsAtTheirBitsAndSign) {
    // InputData (2, 2, 4) -> Conv2D 1 x 1 with identity weights and a ReLU up to 255 -> a temporal
    // layer of 2 frames whose filter c is channel c of the newest frame minus that of the oldest.
    std::vector<int8_t> identity(16), full(32), depthwise(8);
    for (size_t c = 0; c < 4; ++c) {
        identity[c * 4 + c] = 1;
        full[c * 4 + c] = -1;  // rows (frame, channel), oldest frame first
        full[(4 + c) * 4 + c] = 1;
        depthwise[c] = -1;  // (frame, channel)
        depthwise[4 + c] = 1;
    }
    struct Row { LayerType type; std::map<std::string, int> params; std::shared_ptr<Dense> weights; };
    Row const rows[] = {
        {LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}, {"output_bits", 16}}, i8({1, 1, 8, 4}, full)},
        {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"output_bits", 16}}, i8({1, 1, 2, 4}, depthwise)},
    };
    for (auto const& r : rows) {
        auto model = Model::create();
        model->add(make_input(2, 2, 4));
        auto conv = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}, {"activation", 1}}, "c");
        model->add(conv);
        set(*conv, "weights", i8({1, 1, 4, 4}, identity));
        set(*conv, "output_scales", u8({4}, {1, 1, 1, 1}));
        set(*conv, "max_value", u8({4}, {255, 255, 255, 255}));
        auto temporal = make_layer(r.type, r.params, "b");
        model->add(temporal);
        set(*temporal, "weights", r.weights);
        set(*temporal, "output_scales", u8({4}, {1, 1, 1, 1}));
        // Sample 0 holds 200 everywhere, sample 1 250: 200 - 0, then 250 - 200.
        std::vector<uint8_t> x(32, 200);
        std::fill(x.begin() + 16, x.end(), uint8_t{250});
        std::vector<int32_t> expected(32, 200);
        std::fill(expected.begin() + 16, expected.end(), 50);
        EXPECT_EQ(values_of<int32_t>(*software_forward(*model, u8({2, 2, 2, 4}, x))), expected);
    }
}

// Mended: a NaN on its way to an integer inside the run was read as 0.
TEST(EngineInference, ANaNThatWouldBecomeAnIntegerIsRefusedNamingItsLayer) {
    float const nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    // InputData (1, 1, 2) -> `layer`, then `next` when given.
    auto const build = [](std::shared_ptr<Layer> layer, char const* variable, std::vector<float> values,
                          std::shared_ptr<Layer> next = nullptr) {
        auto model = model_with(layer, 1, 1, 2);
        set(*layer, variable, f32({2}, values));
        if (next) model->add(next);
        return model;
    };
    auto const relu_fc = [] { return make_layer(LayerType::FullyConnected, {{"units", 2}, {"activation", 1}}, "fc"); };
    auto const conv = [] { return make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 2}}, "c"); };
    auto const quantizer = [] { return make_layer(LayerType::Quantizer, {}, "q"); };
    auto const dequantizer = [] { return make_layer(LayerType::Dequantizer, {}, "d"); };
    struct Row { std::unique_ptr<Model> model; std::vector<float> input; std::string message; };
    Row rows[] = {
        {build(quantizer(), "scales", {nan, 1.0f}), {3, 5},
         "Layer 'q' (Quantizer): variable 'scales' holds NaN at channel 0: NaN has no integer value."},
        {build(quantizer(), "scales", {1.0f, inf}), {3, 0},
         "Layer 'q' (Quantizer): variable 'scales' holds inf at channel 1: 0 x inf is NaN, which has no integer "
         "value."},
        {build(dequantizer(), "scales", {1.0f, nan}, conv()), {3, 5},
         "Layer 'c' (Conv2D): its input holds NaN at channel 1: NaN has no integer value."},
        {build(dequantizer(), "scales", {1.0f, nan}, quantizer()), {3, 5},
         "Layer 'q' (Quantizer): its input holds NaN at channel 1: NaN has no integer value."},
        {build(relu_fc(), "act_step", {1.0f, nan}), {3, 5},
         "Layer 'fc' (FullyConnected): variable 'act_step' holds NaN at channel 1: NaN has no integer value."},
    };
    for (auto const& r : rows)
        EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*r.model, f32({1, 2}, r.input)); }),
                  r.message);
}

// Mended: a size of 0 left the layer without variables, and the run stopped at "Variable in_proj
// not found" (or at its empty output) without naming the parameter.
TEST(EngineInference, ASizeOfZeroIsRefusedNamingItsParameter) {
    struct Row { LayerType type; std::map<std::string, int> params; std::string message; };
    Row const rows[] = {
        {LayerType::StatefulRecurrent, {{"stateful_channels", 0}, {"output_channels", 4}},
         "Layer 'l' (StatefulRecurrent): parameter 'stateful_channels' is 0: the layer has nothing to compute"},
        {LayerType::StatefulRecurrent, {{"stateful_channels", 2}, {"output_channels", 0}},
         "Layer 'l' (StatefulRecurrent): parameter 'output_channels' is 0: the layer has nothing to compute"},
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 0}},
         "Layer 'l' (Conv2D): parameter 'filters' is 0: the layer has nothing to compute"},
        {LayerType::InputConv2D, {{"kernel_size", 1}, {"filters", 0}},
         "Layer 'l' (InputConv2D): parameter 'filters' is 0: the layer has nothing to compute"},
        {LayerType::Conv2DTranspose, {{"kernel_size", 2}, {"filters", 0}},
         "Layer 'l' (Conv2DTranspose): parameter 'filters' is 0: the layer has nothing to compute"},
        {LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 0}},
         "Layer 'l' (BufferTempConv): parameter 'filters' is 0: the layer has nothing to compute"},
        {LayerType::Convolutional, {{"kernel_width", 1}, {"kernel_height", 1}, {"filters", 0}},
         "Layer 'l' (Convolutional): parameter 'filters' is 0: the layer has nothing to compute"},
        {LayerType::SeparableConvolutional, {{"kernel_width", 1}, {"kernel_height", 1}, {"filters", 0}},
         "Layer 'l' (SeparableConvolutional): parameter 'filters' is 0: the layer has nothing to compute"},
        {LayerType::FullyConnected, {{"units", 0}},
         "Layer 'l' (FullyConnected): parameter 'units' is 0: the layer has nothing to compute"},
        {LayerType::Dense1D, {{"units", 0}}, "Layer 'l' (Dense1D): parameter 'units' is 0: the layer has nothing to compute"},
        {LayerType::InputConvolutional,
         {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}, {"kernel_width", 1}, {"kernel_height", 1},
          {"filters", 0}},
         "Layer 'l' (InputConvolutional): parameter 'filters' is 0: the layer has nothing to compute"},
    };
    for (auto const& r : rows) {
        auto layer = make_layer(r.type, r.params, "l");
        auto model = Model::create();
        if (!layer->is_input_layer()) model->add(make_input(2, 2, 1));
        model->add(layer);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, u8({1, 2, 2, 1}, {1, 2, 3, 4})); }),
                  r.message);
    }
}

// Mended: a float input skipped the input layer's saturation (and a model of the input layer alone
// gave floats back), so the same values gave other results by element type.
TEST(EngineInference, AFloatInputMeansWhatTheSameIntegersMean) {
    // InputData (2, 1, 1) of 4 signed bits, alone or followed by a Conv2D 1 x 1 of weight 1 or by a
    // Quantizer of scale 1 on 16 bits.
    auto const model_of = [](std::shared_ptr<Layer> next, char const* variable, std::shared_ptr<Dense> value) {
        auto model = Model::create();
        model->add(make_input(2, 1, 1, 4, true));
        if (!next) return model;
        model->add(next);
        set(*next, variable, value);
        if (next->type() == LayerType::Conv2D) set(*next, "output_scales", u8({1}, {1}));
        return model;
    };
    auto const conv = [&] {
        return model_of(make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, "c"), "weights",
                        i8({1, 1, 1, 1}, {1}));
    };
    auto const quantizer = [&] {
        return model_of(make_layer(LayerType::Quantizer, {{"output_bits", 16}}, "q"), "scales", f32({1}, {1.0f}));
    };
    struct Row { char const* what; std::unique_ptr<Model> model; std::shared_ptr<Dense> input; std::vector<int32_t> out; };
    Row rows[] = {
        {"integers saturate", conv(), u8({1, 2, 1, 1}, {3, 200}), {3, 7}},
        {"floats saturate as integers do", conv(), f32({1, 2, 1, 1}, {3, 200}), {3, 7}},
        {"halves round away from zero", conv(), f32({1, 2, 1, 1}, {2.5f, -2.5f}), {3, -3}},
        {"below the range", conv(), f32({1, 2, 1, 1}, {-200.0f, 7.49f}), {-8, 7}},
        {"the input layer alone", model_of(nullptr, "", nullptr), f32({1, 2, 1, 1}, {3.25f, 200.0f}), {3, 7}},
        {"a Quantizer reads the floats", quantizer(), f32({1, 2, 1, 1}, {3.25f, 200.0f}), {3, 200}},
        {"a Quantizer reads saturated integers", quantizer(), u8({1, 2, 1, 1}, {3, 200}), {3, 7}},
    };
    for (auto const& r : rows) {
        auto const out = software_forward(*r.model, r.input);
        EXPECT_EQ(out->type(), TensorType::int32) << r.what;
        EXPECT_EQ(values_of<int32_t>(*out), r.out) << r.what;
    }
}

// Mended: a Quantizer after an input layer that computes (InputConvolutional) read a float input as
// it is, so the convolution was skipped for float32 samples and the run went on with the input's
// values and shape. Only after InputData, which passes the samples on, does it read the floats.
TEST(EngineInference, AQuantizerAfterAnInputLayerThatComputesReadsItsOutput) {
    auto const quantizer = [] {
        auto q = make_layer(LayerType::Quantizer, {{"output_bits", 16}}, "q");
        set(*q, "scales", f32({1}, {1.0f}));
        return q;
    };
    // InputConvolutional (2, 2, 1), 1 x 1, one filter of weight 2, no activation -> Quantizer.
    auto const input_convolutional = [&] {
        auto ic = make_layer(LayerType::InputConvolutional,
                             {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}, {"kernel_width", 1},
                              {"kernel_height", 1}, {"filters", 1}, {"padding", 0}, {"weights_bits", 4},
                              {"activation", 0}},
                             "ic");
        auto model = Model::create();
        model->add(ic);
        set(*ic, "weights", i8({1, 1, 1, 1}, {2}));
        set(*ic, "act_step", f32({1}, {1.0f}));
        model->add(quantizer());
        return model;
    };
    // InputData (2, 2, 1) -> InputConv2D 1 x 1, one filter of weight 2 -> Quantizer.
    auto const input_conv2d = [&] {
        auto conv = make_layer(LayerType::InputConv2D, {{"kernel_size", 1}, {"filters", 1}}, "conv");
        auto model = model_with(conv, 2, 2, 1);
        set(*conv, "weights", i8({1, 1, 1, 1}, {2}));
        set(*conv, "output_scales", u8({1}, {1}));
        model->add(quantizer());
        return model;
    };
    struct Row { char const* what; std::unique_ptr<Model> model; std::vector<int32_t> out; };
    Row rows[] = {
        {"InputConvolutional -> Quantizer", input_convolutional(), {6, 10, 14, 18}},
        {"InputData -> InputConv2D -> Quantizer", input_conv2d(), {6, 10, 14, 18}},
    };
    for (auto const& r : rows) {
        for (auto const& x : {std::shared_ptr<Dense>(u8({1, 2, 2, 1}, {3, 5, 7, 9})),
                              std::shared_ptr<Dense>(f32({1, 2, 2, 1}, {3, 5, 7, 9}))}) {
            SCOPED_TRACE(std::string(r.what) + ", " + Tensor::type_name(x->type()));
            auto const out = software_forward(*r.model, x);
            EXPECT_EQ(out->dimensions(), (Shape{1, 2, 2, 1}));
            EXPECT_EQ(values_of<int32_t>(*out), r.out);
        }
    }
}

// InputData (1, 1, 4) -> FullyConnected of 4 units, 2 classes, 4-bit weights.
std::unique_ptr<Model> learning_model(std::shared_ptr<Dense> const& weights) {
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 4}}, "fc");
    auto model = model_with(fc, 1, 1, 4);
    set(*fc, "weights", weights);
    model->compile(LearningParams::create(LearningType::NuvraUnsupervised,
                                          {{"num_weights", 2}, {"num_classes", 2}, {"initial_plasticity", 0.5},
                                           {"learning_competition", 0.0}, {"min_plasticity", 0.1},
                                           {"plasticity_decay", 0.25}}));
    return model;
}

TEST(EngineInference, FitTeachesTheWinnerOfEachLabelOnAFreshTensor) {
    // Sample 0 (class 0): neuron 0 wins; its connections are inputs 2 and 0 (values 5 and 3), whose
    // weights move half way to 7: round(3.5) = 4. Sample 1 (class 1): neuron 2, inputs 1 and 3.
    std::vector<int8_t> const learned{4, 0, 4, 0, 0, 0, 0, 0, 0, 4, 0, 4, 0, 0, 0, 0};
    auto const start = i8({4, 4, 1, 1}, std::vector<int8_t>(16, 0));
    auto const inputs = u8({2, 4}, {3, 0, 5, 1, 1, 4, 0, 2});
    for (uint32_t batch : {0u, 1u}) {
        auto model = learning_model(start);  // every model shares the starting tensor
        auto out = software_fit(*model, inputs, {0, 1}, batch);
        // Each output uses the weights before its own sample teaches: sample 1 sees neuron 0.
        EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{0, 0, 0, 0, 4, 0, 0, 0})) << batch;
        auto const weights = model->get_layer(1)->variables().get("weights");
        EXPECT_EQ(values_of<int8_t>(*weights), learned) << batch;
        EXPECT_NE(weights.get(), start.get());  // replaced, not written
    }
    EXPECT_EQ(values_of<int8_t>(*start), std::vector<int8_t>(16, 0));
}

// The learned weights keep the shape the weights were written in.
TEST(EngineInference, FitKeepsTheShapeTheWeightsWereWrittenIn) {
    std::vector<int8_t> const learned{4, 0, 4, 0, 0, 0, 0, 0, 0, 4, 0, 4, 0, 0, 0, 0};  // as above
    auto const inputs = u8({2, 4}, {3, 0, 5, 1, 1, 4, 0, 2});
    for (Dims const& written : {Dims{4, 4}, Dims{4, 4, 1}}) {
        auto model = learning_model(i8(written, std::vector<int8_t>(16, 0)));
        software_fit(*model, inputs, {0, 1});
        auto const fc = model->get_layer(1);
        EXPECT_EQ(dims_of(*fc->variables().get("weights")), written);
        EXPECT_EQ(values_of<int8_t>(*fc->variables().get("weights")), learned);
        EXPECT_EQ(dims_of(*fc->variable("weights")), (Dims{4, 4, 1, 1}));
    }
}

TEST(EngineInference, FitRefusals) {
    auto model = learning_model(i8({4, 4, 1, 1}, std::vector<int8_t>(16, 0)));
    auto const inputs = u8({2, 4}, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { software_fit(*model, inputs, {0, 1, 0}); }),
              "Number of labels should be the same as number of inputs.");
    auto plain = model_with(make_layer(LayerType::FullyConnected, {{"units", 2}}, "fc"), 1, 1, 4);
    EXPECT_EQ(error_text<std::runtime_error>([&] { software_fit(*plain, inputs, {}); }),
              "Cannot fit a model that is not compiled.");
    // A label outside the classes skips its sample: nothing learns.
    software_fit(*model, inputs, {5});
    EXPECT_EQ(values_of<int8_t>(*model->get_layer(1)->variables().get("weights")), std::vector<int8_t>(16, 0));
}

}  // namespace
}  // namespace nuvra
