// The blocked kernels against the reference kernels they stand for: random shapes, strides,
// paddings, bit widths and value ranges (bytes, signed bytes, spreads that need another offset or
// the reference itself, sums that saturate), on every instruction set this CPU offers.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>

#include "engine/inference.h"
#include "engine/inference_layers.h"
#include "engine/ops.h"
#include "engine/ops_blocked.h"
#include "support/error_text.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;
using namespace ops::detail;

// The instruction sets, each run where this CPU offers it.
constexpr Isa all_isas[] = {Isa::portable, Isa::avx2, Isa::avx_vnni, Isa::avx512};

// The cases below for one instruction set each; a set this CPU does not offer is reported as skipped.
class EngineBlockedKernelsOnIsa : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        if (!offers(GetParam())) GTEST_SKIP() << "this CPU does not offer " << isa_name(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(EveryIsa, EngineBlockedKernelsOnIsa, ::testing::ValuesIn(all_isas),
                         [](::testing::TestParamInfo<Isa> const& param) -> std::string {
                             switch (param.param) {
                                 case Isa::portable: return "portable";
                                 case Isa::avx2: return "avx2";
                                 case Isa::avx_vnni: return "avx_vnni";
                                 case Isa::avx512: return "avx512";
                             }
                             return "unknown";
                         });

// The value ranges of the inputs.
enum class Spread { bytes, signed_bytes, shifted_bytes, wide, huge };

int32_t value(Spread spread, std::mt19937& rng, int32_t base) {
    // shifted_bytes: 256 levels from base.
    std::pair<int64_t, int64_t> const ranges[] = {{0, 255}, {-128, 127}, {base, base + 255}, {-3000, 3000},
                                                  {INT32_MIN, INT32_MAX}};
    auto const [lo, hi] = ranges[static_cast<size_t>(spread)];
    return static_cast<int32_t>(std::uniform_int_distribution<int64_t>(lo, hi)(rng));
}

// A ReLU output stage to bytes for `filters` filters, in 32-bit lanes.
NarrowStage byte_stage(std::mt19937& rng, size_t filters) {
    std::vector<int64_t> bias(filters), low(filters, 0), high(filters), factor(filters), half(filters), right(filters);
    for (size_t f = 0; f < filters; ++f) {
        bias[f] = static_cast<int64_t>(rng() % 2001) - 1000;
        high[f] = rng() % 2 ? INT32_MAX : static_cast<int64_t>(rng() % 100000);
        factor[f] = static_cast<int64_t>(rng() % 255) + 1;
        right[f] = static_cast<int64_t>(rng() % 16);
        half[f] = right[f] > 0 ? int64_t{1} << (right[f] - 1) : 0;
    }
    StageTable const t{bias.data(), low.data(), high.data(), factor.data(), half.data(), right.data(), 0, 255};
    return *narrow_stage(t, filters);
}

// Convolutions (pointwise now and then) on even rounds, depthwise convolutions on odd ones: the
// sums the sink receives, and the bytes of an output stage, which a kernel may run itself.
TEST_P(EngineBlockedKernelsOnIsa, ConvolutionsEqualTheReference) {
    Isa const isa = GetParam();
    std::mt19937 rng(11);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto size = [&](int lo, int hi) { return static_cast<size_t>(pick(lo, hi)); };
    int taken_bytes = 0;
    for (int round = 0; round < 480; ++round) {
        bool const depthwise = round % 2 == 1;
        bool const pointwise = round % 6 == 0;
        ImageDims const d{size(1, 3), size(1, 10), size(1, 10),
                          !depthwise ? size(1, 37) : round % 8 == 1 ? size(30, 70) : size(1, 20)};
        size_t const filters = depthwise ? d.channels : round % 5 == 0 ? size(60, 140) : size(1, 40);
        size_t const kx = depthwise ? std::array<size_t, 6>{3, 3, 1, 5, 2, 7}[size(0, 5)] : size(1, 4);
        size_t const ky = depthwise && round % 5 != 0 ? kx : size(1, depthwise ? 9 : 4);
        // Outputs up to one window past the image on the right and bottom (read as `outside`).
        Window const g = pointwise ? Window{1, 1, 1, 1, 0, 0, d.x, d.y}
                                   : Window{kx, ky, pick(1, 3), pick(1, 3), pick(0, 3), pick(0, 3),
                                            size(1, static_cast<int>(d.x) + 2), size(1, static_cast<int>(d.y) + 2)};
        auto const spread = static_cast<Spread>(pick(0, 4));
        int32_t const base = pick(-400, 300);
        int const n = std::array{32, 32, 24, 16, 8}[size(0, 4)];
        int32_t const outside = round % 8 == 4 ? pick(0, 255) : 0;
        std::vector<int32_t> in(d.samples * d.x * d.y * d.channels);
        for (auto& v : in) v = value(spread, rng, base);
        std::vector<uint8_t> const bytes(in.begin(), in.end());
        Values const values = spread == Spread::bytes && round % 4 >= 2 ? Values{nullptr, bytes.data()}
                                                                       : Values{in.data(), nullptr};
        size_t const depth = g.kernel_x * g.kernel_y * d.channels;
        std::vector<int8_t> w(depthwise ? depth : depth * filters);
        for (auto& v : w) v = static_cast<int8_t>(pick(-128, 127));
        // Weights (depth, filters) or, linearized, (filters, depth).
        FilterMatrix const matrix = round % 4 == 0 ? FilterMatrix{w.data(), filters, filters, 1}
                                                   : FilterMatrix{w.data(), filters, 1, depth};
        size_t const pixels = d.samples * g.out_x * g.out_y;
        std::vector<int32_t> expected(pixels * filters);
        if (depthwise)
            convolve_depthwise(in.data(), d, w.data(), g, expected.data(), {});
        else
            convolve(in.data(), d, outside, matrix, g, n, expected.data(), {});
        NarrowStage const stage = byte_stage(rng, filters);
        std::vector<uint8_t> expected_bytes(expected.size());
        loops(Isa::portable).narrow_stage_bytes(expected.data(), pixels, filters, stage.table(), expected_bytes.data());
        std::vector<int32_t> got(expected.size(), 0x5EED);
        BlockSink const sink = [&](int32_t* sums, size_t first, size_t count) {
            std::copy_n(sums, count * filters, got.begin() + static_cast<std::ptrdiff_t>(first * filters));
        };
        std::vector<uint8_t> got_bytes(expected.size(), 0xA5);
        ByteStage const to_bytes{stage.table(), got_bytes.data()};
        if (depthwise) {
            PackedDepthwise const packed = pack_depthwise(w.data(), g.kernel_x, g.kernel_y, d.channels, isa);
            convolve_depthwise_blocked(values, d, w.data(), g, sink, isa, round % 3 == 1 ? &packed : nullptr);
            convolve_depthwise_blocked(values, d, w.data(), g, {}, isa, &packed, &to_bytes);
        } else {
            PackedFilters const packed = pack_filters(matrix, depth, isa);
            convolve_blocked(values, d, outside, matrix, g, n, sink, isa, round % 3 == 1 ? &packed : nullptr);
            convolve_blocked(values, d, outside, matrix, g, n, {}, isa, &packed, &to_bytes);
        }
        ASSERT_EQ(got, expected) << "round " << round << " " << isa_name(isa);
        ASSERT_EQ(got_bytes, expected_bytes) << "round " << round << " " << isa_name(isa);
        taken_bytes += spread != Spread::wide && spread != Spread::huge;
    }
    EXPECT_GT(taken_bytes, 160);
}

// The 64-bit stage, one value at a time, as the loops' table describes it.
int32_t staged(StageTable const& t, size_t f, int32_t v) {
    int64_t const x = std::clamp(int64_t{v} + t.bias[f], t.low[f], t.high[f]);
    return static_cast<int32_t>(std::clamp((x * t.factor[f] + t.half[f]) >> t.right[f], t.lo, t.hi));
}

TEST_P(EngineBlockedKernelsOnIsa, NarrowStageEqualsTheWideOne) {
    Isa const isa = GetParam();
    std::mt19937 rng(13);
    auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    int narrow = 0;
    for (int round = 0; round < 400; ++round) {
        size_t const filters = static_cast<size_t>(pick(1, 20));
        bool const relu = round % 2 == 0;
        int const bits = static_cast<int>(pick(1, relu ? 31 : 32));
        std::vector<int64_t> bias(filters), low(filters), high(filters), factor(filters), half(filters),
            right(filters);
        for (size_t f = 0; f < filters; ++f) {
            bias[f] = round % 7 == 0 ? pick(INT32_MIN, INT32_MAX) : pick(-300, 300);
            low[f] = relu ? 0 : INT32_MIN;
            high[f] = relu ? (round % 3 == 0 ? pick(0, 5000) : INT32_MAX) : INT32_MAX;
            right[f] = round % 5 == 0 ? pick(0, 63) : pick(0, 20);
            half[f] = right[f] > 0 ? int64_t{1} << (right[f] - 1) : 0;
            factor[f] = round % 11 == 0 ? 0 : round % 13 == 0 ? pick(1, int64_t{1} << 32) : pick(1, 255);
        }
        int64_t const lo = relu ? 0 : -(int64_t{1} << (bits - 1));
        int64_t const hi = relu ? (int64_t{1} << bits) - 1 : (int64_t{1} << (bits - 1)) - 1;
        StageTable const t{bias.data(), low.data(), high.data(), factor.data(), half.data(), right.data(), lo, hi};
        auto const n = narrow_stage(t, filters);
        if (!n) continue;
        ++narrow;
        std::vector<int32_t> values(filters * 40), expected(filters * 40);
        for (size_t i = 0; i < values.size(); ++i) {
            int32_t const edges[] = {INT32_MIN, INT32_MAX, 0, -1, 1};
            values[i] = i < 5 * filters ? edges[i / filters] : static_cast<int32_t>(pick(-70000, 70000));
            expected[i] = staged(t, i % filters, values[i]);
        }
        std::vector<int32_t> got = values;
        loops(isa).narrow_stage(got.data(), 40, filters, n->table());
        ASSERT_EQ(got, expected) << round << " " << isa_name(isa);
        if (lo < 0 || hi > 255) continue;
        std::vector<uint8_t> bytes(values.size());
        loops(isa).narrow_stage_bytes(values.data(), 40, filters, n->table(), bytes.data());
        ASSERT_EQ(std::vector<int32_t>(bytes.begin(), bytes.end()), expected) << round << " " << isa_name(isa);
    }
    EXPECT_GT(narrow, 150);
}

TEST(EngineBlockedKernels, NarrowStageRefusesWhatLeaves32Bits) {
    struct Row { char const* what; int64_t factor, right, lo, hi; bool narrow; };
    Row const rows[] = {
        {"a usual scale", 37, 9, 0, 255, true},
        {"a shift past 31 bits", 1, 40, 0, 255, false},
        {"a factor of 2^32 (a left shift capped)", int64_t{1} << 32, 0, 0, 255, false},
        {"a factor of 0 gives half >> right", 0, 40, -128, 127, true},
        {"a 32-bit output range", 1, 0, INT32_MIN, INT32_MAX, true},
    };
    for (auto const& r : rows) {
        int64_t const bias = 5, low = INT32_MIN, high = INT32_MAX, half = r.right > 0 ? int64_t{1} << (r.right - 1) : 0;
        StageTable const t{&bias, &low, &high, &r.factor, &half, &r.right, r.lo, r.hi};
        auto const n = narrow_stage(t, 1);
        ASSERT_EQ(n.has_value(), r.narrow) << r.what;
        if (!n) continue;
        for (int32_t v : {INT32_MIN, -70000, -1, 0, 1, 300, 70000, INT32_MAX}) {
            int32_t got = v;
            loops(best_isa()).narrow_stage(&got, 1, 1, n->table());
            EXPECT_EQ(got, staged(t, 0, v)) << r.what << " " << v;
        }
    }
}

// Word buffers come back to the blocks kept between runs; a set the CPU does not offer runs the
// widest offered below it.
TEST(EngineBlockedKernels, WordsComeBackToTheirBlocks) {
    uint32_t const* first = nullptr;
    {
        Words a(123457);
        first = a.data();
        a.zero(0, a.size());
        EXPECT_EQ(a[123456], 0u);
    }
    Words b(100003);  // a kept block at most twice as large serves
    EXPECT_EQ(b.data(), first);
    EXPECT_EQ(b.size(), 100003u);
    Words c(std::move(b));
    EXPECT_EQ(c.data(), first);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(pack_filters(FilterMatrix{nullptr, 0, 0, 1}, 0, Isa::avx512).isa, best_isa());
}

// Variable `name` of `layer` made of `bytes`, its type and shape kept.
void set_variable(Layer& layer, std::string const& name, std::vector<uint8_t> const& bytes) {
    auto const old = layer.variables().get(name);
    layer.variables().set(name, Dense::copy(bytes.data(), bytes.size(), old->type(), old->dimensions(),
                                            Layout::c_order));
}

// Variable `name` of `layer` with each of its bytes from next().
template <class Next>
void set_bytes(Layer& layer, std::string const& name, Next next) {
    auto const old = layer.variables().get(name);
    std::vector<uint8_t> bytes(old->size() * Tensor::item_size(old->type()));
    for (auto& b : bytes) b = static_cast<uint8_t>(next());
    set_variable(layer, name, bytes);
}

// Random bytes in every variable of `layer`: output shifts below 12, the other shifts below 3 (0
// without `shifts`), one padding value for every channel.
void randomize_variables(Layer& layer, std::mt19937& rng, bool shifts) {
    for (auto const& name : layer.variables().names()) {
        auto const old = layer.variables().get(name);
        std::vector<uint8_t> bytes(old->size() * Tensor::item_size(old->type()));
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        if (name == "output_shift" || name == "activation_shift")
            for (auto& b : bytes) b = static_cast<uint8_t>(rng() % 12);
        if (name == "input_shift" || name == "bias_shift" || name == "max_value_shift" || name == "a_shift" ||
            name == "b_shift")
            for (auto& b : bytes) b = shifts ? static_cast<uint8_t>(rng() % 3) : 0;
        if (name == "padding_value") std::fill(bytes.begin(), bytes.end(), bytes.front());
        set_variable(layer, name, bytes);
    }
}

// A small MobileNet-like chain with a Dense1D layer, a skip connection and every output stage.
std::unique_ptr<Model> chain(std::mt19937& rng, bool signed_values, bool shifts) {
    auto model = Model::create();
    model->add(make_input(9, 8, 3, 8, false));
    std::map<std::string, int> const first{
        {"kernel_size", 3}, {"filters", 12}, {"kernel_stride", 2}, {"padding", 1}, {"activation", 1}};
    auto conv = make_layer(LayerType::InputConv2D, first, "conv0");
    model->add(conv);
    model->add(make_layer(LayerType::DepthwiseConv2D,
                          {{"kernel_size", 3}, {"padding", 1}, {"activation", signed_values ? 0 : 1}}, "dw"));
    auto pw = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 12}, {"activation", 2}}, "pw");
    model->add(pw);
    model->add(make_layer(LayerType::Add, {}, "add"), {conv, pw});
    std::map<std::string, int> const pooled{
        {"kernel_size", 1}, {"filters", 20}, {"activation", 1}, {"pool_type", 2}, {"pool_size", -1}};
    model->add(make_layer(LayerType::Conv2D, pooled, "last"));
    model->add(make_layer(LayerType::Dense1D, {{"units", 7}}, "dense"));
    for (auto const& layer : model->layers()) randomize_variables(*layer, rng, shifts);
    return model;
}

// The model's outputs for `inputs`, the layers run one sample after another on the reference
// kernels.
std::vector<int32_t> reference_run(Model const& model, Tensor const& inputs) {
    std::vector<int32_t> expected;
    std::vector<std::shared_ptr<Layer>> const layers = model.layers();
    inference::Value const all = inference::model_input(inputs, model.input_shape());
    for (uint32_t s = 0; s < all->dimensions()[0]; ++s) {
        std::vector<inference::Value> values;
        inference::RunState states;
        inference::Value const x = inference::samples(all, s, 1);
        for (auto const& layer : layers) {
            std::vector<inference::Value> in;
            if (layer->is_input_layer()) in.push_back(x);
            for (auto const& from : layer->inbound_layers())
                in.push_back(
                    values[static_cast<size_t>(std::find(layers.begin(), layers.end(), from) - layers.begin())]);
            values.push_back(inference::run_layer(*layer, in, states[layer.get()], inference::Kernels::reference));
        }
        std::vector<int32_t> const out = values_of<int32_t>(*values.back());
        expected.insert(expected.end(), out.begin(), out.end());
    }
    return expected;
}

// Every thread count and batch size, and the images in the other layout, give the reference
// kernels' outputs.
TEST(EngineBlockedKernels, ModelRunsEqualTheReferenceKernels) {
    std::mt19937 rng(14);
    for (int round = 0; round < 12; ++round) {
        auto const model = chain(rng, round % 2 == 1, round % 3 == 2);
        std::vector<uint8_t> pixels(7 * 9 * 8 * 3);
        for (auto& p : pixels) p = static_cast<uint8_t>(rng());
        auto const images = u8({7, 9, 8, 3}, pixels);
        std::vector<int32_t> const expected = reference_run(*model, *images);
        for (auto [threads, batch] : {std::pair{1u, 0u}, {2u, 2u}, {4u, 0u}, {7u, 3u}, {16u, 1u}, {0u, 0u}})
            EXPECT_EQ(values_of<int32_t>(*software_forward(*model, images, batch, threads)), expected)
                << round << " " << threads << " " << batch;
        auto const reversed = Dense::create(TensorType::uint8, Shape{7, 9, 8, 3}, Layout::reversed);
        for (size_t i = 0; i < pixels.size(); ++i) tensor_write<uint8_t>(*reversed, i, pixels[i]);
        EXPECT_EQ(values_of<int32_t>(*software_forward(*model, reversed, 0, 3)), expected) << round;
    }
}

TEST(EngineBlockedKernels, OneLayerModels) {
    // A kind with state runs its samples in order whatever the threads: a fifo of two frames,
    // previous + 10 x current.
    auto temporal = make_layer(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, "fifo");
    auto const fifo_model = model_with(temporal, 1, 1, 1);
    temporal->variables().set("weights", i8({1, 1, 2, 1}, {1, 10}));
    temporal->variables().set("output_scales", u8({1}, {1}));
    EXPECT_EQ(values_of<int32_t>(*software_forward(*fifo_model, u8({3, 1}, {1, 2, 3}), 1, 3)),
              (std::vector<int32_t>{10, 21, 32}));

    // A layer that refuses in a worker thread refuses in the caller.
    auto input_conv = make_layer(LayerType::InputConv2D, {{"kernel_size", 1}, {"filters", 1}}, "conv");
    auto const refusing = model_with(input_conv, 1, 1, 2);
    input_conv->variables().set("padding_value", u8({2}, {1, 2}));
    auto const four = u8({4, 2}, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(error_text<std::runtime_error>([&] { software_forward(*refusing, four, 0, 4); }),
              "Layer 'conv' (InputConv2D): different padding values per channel have no software implementation");

    // An 8-bit unsigned input reaches the Quantizer as bytes.
    auto quantizer = make_layer(LayerType::Quantizer, {{"output_signed", 0}}, "q");
    auto const model = model_with(quantizer, 1, 1, 2);
    quantizer->variables().set("scales", f32({2}, {2.0f, 1.0f}));
    quantizer->variables().set("zero_points", u8({2}, {1, 0}));
    EXPECT_EQ(values_of<int32_t>(*software_forward(*model, u8({1, 2}, {100, 200}))), (std::vector<int32_t>{201, 200}));
}

TEST(EngineBlockedKernels, DenseAndInputRowsEqualTheReferenceKernels) {
    // Dense1D after InputData: (input bits and sign, weights type, input shifts, samples).
    struct Row { char const* what; int bits; bool is_signed; TensorType weights; int shift; uint32_t samples; };
    Row const rows[] = {
        {"8-bit bytes, int8 weights", 8, false, TensorType::int8, 0, 1},
        {"13 samples, more than a block of rows", 8, false, TensorType::int8, 0, 13},
        {"4-bit inputs become bytes of 0..15", 4, false, TensorType::int8, 0, 3},
        {"signed inputs keep int32 and an offset", 8, true, TensorType::int8, 0, 3},
        {"inputs shifted per element", 8, false, TensorType::int8, 2, 3},
        {"int4 weights read as int8", 8, false, TensorType::int4, 0, 2},
        {"int32 weights run the reference matmul", 8, false, TensorType::int32, 0, 2},
    };
    std::mt19937 rng(16);
    for (auto const& r : rows) {
        auto dense = make_layer(LayerType::Dense1D, {{"units", 37}}, "dense");
        auto model = Model::create();
        model->add(make_input(3, 2, 5, r.bits, r.is_signed));
        model->add(dense);
        int const top = r.weights == TensorType::int4 ? 7 : 127;
        std::vector<int32_t> w(30 * 37);
        for (auto& v : w) v = static_cast<int32_t>(rng() % static_cast<uint32_t>(2 * top + 1)) - top;
        std::vector<int8_t> const bytes(w.begin(), w.end());
        dense->variables().set("weights", r.weights == TensorType::int32 ? i32({30, 37}, w)
                                                                         : tensor_of(r.weights, {30, 37}, bytes));
        std::vector<uint8_t> shifts(30);
        for (auto& v : shifts) v = static_cast<uint8_t>(rng() % static_cast<uint32_t>(r.shift + 1));
        dense->variables().set("input_shift", u8({30}, shifts));
        dense->variables().set("output_scales", u8(std::vector<uint8_t>(37, 3)));
        dense->variables().set("output_shift", i8(std::vector<int8_t>(37, 6)));
        std::vector<int16_t> pixels(r.samples * 30);
        for (auto& p : pixels) p = static_cast<int16_t>(static_cast<int>(rng() % 600) - 300);
        auto const images = i16({r.samples, 3, 2, 5}, pixels);
        EXPECT_EQ(values_of<int32_t>(*software_forward(*model, images)), reference_run(*model, *images)) << r.what;
    }
    // Weights that do not fit the inputs are refused before any kernel reads them.
    auto dense = make_layer(LayerType::Dense1D, {{"units", 2}}, "dense");
    auto const model = model_with(dense, 2, 2, 2);
    dense->variables().set("weights", i8({7, 2}, std::vector<int8_t>(14, 1)));
    auto const image = u8({1, 2, 2, 2}, std::vector<uint8_t>(8, 1));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, image); }),
              "Layer 'dense' (Dense1D): variable 'weights' has shape (7, 2), but the layer needs shape (8, 2)");
}

// A ReLU clips each output channel at max_value x 2^max_value_shift (no ceiling where max_value is
// 0, a shift of 0 where none is set), on the blocked kernels as on the reference ones.
TEST(EngineBlockedKernels, ReluCeilingsOfDenseAndInputConvolutions) {
    using Bytes = std::vector<uint8_t>;
    struct Row { char const* what; LayerType type; std::map<std::string, int> params; Dims input; Bytes x;
                 std::shared_ptr<Dense> weights; std::optional<Bytes> max_value, max_value_shift;
                 std::vector<int32_t> expected; };
    std::map<std::string, int> const dense{{"units", 3}, {"activation", 1}};
    std::map<std::string, int> const conv{{"kernel_size", 1}, {"filters", 2}, {"activation", 1}};
    auto const picks = i8({4, 3}, {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0});  // unit u reads input u
    auto const one_two = i8({1, 1, 1, 2}, {1, 2});                        // filters x and 2x
    Bytes const vector{10, 20, 30, 40, 100, 1, 2, 3}, image{10, 20, 30, 40};
    Row const rows[] = {
        {"8, none, 12", LayerType::Dense1D, dense, {2, 1, 1, 4}, vector, picks, Bytes{4, 0, 3}, Bytes{1, 5, 2},
         {8, 20, 12, 8, 1, 2}},
        {"no shift", LayerType::Dense1D, dense, {2, 1, 1, 4}, vector, picks, Bytes{4, 0, 3}, Bytes{0, 0, 0},
         {4, 20, 3, 4, 1, 2}},
        {"zeros", LayerType::Dense1D, dense, {2, 1, 1, 4}, vector, picks, Bytes{0, 0, 0}, Bytes{0, 0, 0},
         {10, 20, 30, 100, 1, 2}},
        {"no activation", LayerType::Dense1D, {{"units", 3}}, {2, 1, 1, 4}, vector, picks, Bytes{4, 0, 3},
         Bytes{0, 0, 0}, {10, 20, 30, 100, 1, 2}},
        {"25 and 48", LayerType::InputConv2D, conv, {1, 2, 2, 1}, image, one_two, Bytes{25, 3}, Bytes{0, 4},
         {10, 20, 20, 40, 25, 48, 25, 48}},
        {"max_value 0", LayerType::InputConv2D, conv, {1, 2, 2, 1}, image, one_two, Bytes{0, 0}, Bytes{4, 4},
         {10, 20, 20, 40, 30, 60, 40, 80}},
    };
    for (auto const& r : rows) {
        auto const layer = make_layer(r.type, r.params, "l");
        auto const model = model_with(layer, r.input[1], r.input[2], r.input[3]);
        Variables& variables = layer->variables();
        variables.set("weights", r.weights);
        variables.set("output_scales", u8(std::vector<uint8_t>(layer->output_dimensions().to_vector().back(), 1)));
        if (r.max_value) variables.assign("max_value", u8(*r.max_value));
        if (r.max_value_shift) variables.assign("max_value_shift", u8(*r.max_value_shift));
        auto const x = u8(r.input, r.x);
        EXPECT_EQ(reference_run(*model, *x), r.expected) << r.what;
        for (unsigned threads : {1u, 2u})
            EXPECT_EQ(values_of<int32_t>(*software_forward(*model, x, 0, threads)), r.expected) << r.what << threads;
    }
}

// A sink overwrites its block: a convolution whose later sample needs another byte offset, or the
// reference kernel, hands the earlier samples' pixels to the sink again, and a sink that added
// would count them twice.
TEST(EngineBlockedKernels, ReplayedBlocksAreOverwritten) {
    // The first sample's values are bytes (0..150, which -100..100 joins in 256 levels); the
    // second's spread over later_lo..later_hi.
    struct Row { char const* what; bool depthwise; int32_t later_lo, later_hi; int first_deliveries; };
    Row const rows[] = {
        {"a later sample in bytes: every pixel once", false, 0, 255, 1},
        {"a later sample at an offset: the first sample again", false, -100, 100, 2},
        {"a later sample on the reference kernel: the first sample again", false, -3000, 3000, 2},
        {"depthwise checks every value before the first line", true, -100, 100, 1},
    };
    std::mt19937 rng(17);
    ImageDims const d{2, 5, 5, 3};
    Window const g{3, 3, 1, 1, 1, 1, 5, 5};
    size_t const filters = 3, depth = 3 * 3 * d.channels, pixels = g.out_x * g.out_y;
    for (auto const& r : rows) {
        std::vector<int32_t> in(d.samples * d.x * d.y * d.channels);
        for (size_t i = 0; i < in.size(); ++i) {
            auto const [lo, hi] = i < in.size() / 2 ? std::pair{0, 150} : std::pair{r.later_lo, r.later_hi};
            in[i] = std::uniform_int_distribution<int32_t>(lo, hi)(rng);
        }
        std::vector<int8_t> w(r.depthwise ? depth : depth * filters);
        for (auto& v : w) v = static_cast<int8_t>(rng());
        FilterMatrix const matrix{w.data(), filters, filters, 1};
        std::vector<int32_t> expected(d.samples * pixels * filters);
        if (r.depthwise)
            convolve_depthwise(in.data(), d, w.data(), g, expected.data(), {});
        else
            convolve(in.data(), d, 0, matrix, g, 32, expected.data(), {});
        for (Isa isa : all_isas) {
            if (!offers(isa)) continue;
            std::vector<int32_t> stored(expected.size(), 0x5EED), added(expected.size(), 0);
            std::vector<int> deliveries(d.samples * pixels, 0);
            BlockSink const sink = [&](int32_t* sums, size_t first, size_t count) {
                for (size_t i = 0; i < count * filters; ++i) {
                    stored[first * filters + i] = sums[i];
                    added[first * filters + i] += sums[i];
                }
                for (size_t p = first; p < first + count; ++p) ++deliveries[p];
            };
            if (r.depthwise)
                convolve_depthwise_blocked({in.data(), nullptr}, d, w.data(), g, sink, isa);
            else
                convolve_blocked({in.data(), nullptr}, d, 0, matrix, g, 32, sink, isa);
            EXPECT_EQ(stored, expected) << r.what << " " << isa_name(isa);
            EXPECT_EQ(deliveries.front(), r.first_deliveries) << r.what << " " << isa_name(isa);
            EXPECT_EQ(deliveries.back(), 1) << r.what << " " << isa_name(isa);
            EXPECT_EQ(added == expected, r.first_deliveries == 1) << r.what << " " << isa_name(isa);
        }
    }
}

// The layers' own sinks (bias and output stage to int32, to bytes, or before pooling) overwrite
// the first sample's blocks when a later one needs another byte offset or the reference kernel.
TEST(EngineBlockedKernels, LayerSinksOverwriteReplayedBlocks) {
    struct Row { char const* what; int activation, pool_type; int16_t later_lo, later_hi; };
    Row const rows[] = {
        {"no activation, at an offset", 0, 0, -100, 100},
        {"ReLU to bytes, at an offset", 1, 0, -100, 100},
        {"ReLU to bytes, on the reference kernel", 1, 0, -3000, 3000},
        {"max pooling, at an offset", 1, 1, -100, 100},
    };
    std::mt19937 rng(18);
    for (auto const& r : rows) {
        auto conv = make_layer(LayerType::Conv2D,
                               {{"kernel_size", 3}, {"filters", 5}, {"padding", 1}, {"activation", r.activation},
                                {"pool_type", r.pool_type}, {"pool_size", 2}},
                               "conv");
        auto model = Model::create();
        model->add(make_input(6, 6, 4, 16, true));
        model->add(conv);
        randomize_variables(*conv, rng, false);
        // Small weights and scales, no ReLU cap: the outputs stay clear of saturation, where a
        // block counted twice would show.
        set_bytes(*conv, "weights", [&] { return static_cast<int8_t>(rng() % 7) - 3; });
        set_bytes(*conv, "output_scales", [] { return 1; });
        set_bytes(*conv, "output_shift", [] { return 2; });
        set_bytes(*conv, "max_value", [] { return 0; });
        std::vector<int16_t> pixels(2 * 6 * 6 * 4);
        for (size_t i = 0; i < pixels.size(); ++i) {
            auto const [lo, hi] = i < pixels.size() / 2 ? std::pair<int16_t, int16_t>{0, 150}
                                                        : std::pair{r.later_lo, r.later_hi};
            pixels[i] = static_cast<int16_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
        }
        auto const images = i16({2, 6, 6, 4}, pixels);
        EXPECT_EQ(values_of<int32_t>(*software_forward(*model, images, 0, 1)), reference_run(*model, *images))
            << r.what;
    }
}

TEST(EngineBlockedKernels, GlobalAveragePoolingRoundsHalvesUp) {
    struct Row { std::vector<int32_t> values; int n; int32_t expected; };
    Row const rows[] = {
        {{1, 2}, 32, 2},                                    // 1.5 rounds up
        {{-1, -2}, 32, -1},                                 // -1.5 rounds up too
        {{-3, 0, 0, 0}, 32, -1},                            // -0.75
        {{INT32_MAX, INT32_MAX, INT32_MAX}, 32, INT32_MAX},  // sums past 32 bits
        {{INT32_MIN, INT32_MIN}, 32, INT32_MIN},
        {{300, 301}, 8, 127},                                // saturated to 8 bits
    };
    for (auto const& r : rows) {
        auto const a = i32({1, static_cast<uint32_t>(r.values.size()), 1}, r.values);
        EXPECT_EQ(values_of<int32_t>(*ops::global_average_pooling(*a, r.n)), std::vector<int32_t>{r.expected})
            << r.values.front();
    }
}

}  // namespace
}  // namespace nuvra
