// Per-kind checks: one row per rule and message on real engine layers, every broken rule reported at
// once; what the engine cannot build on the layer double.
#include <gtest/gtest.h>

#include "backends/v2/check_rules.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/v2_checks.h"

namespace nuvra::v2 {
namespace {

using testing::InputSpec;
using testing::with;
using Params = std::map<std::string, int>;

constexpr LayerType conv = LayerType::Conv2D, dw = LayerType::DepthwiseConv2D, tconv = LayerType::Conv2DTranspose,
                    tdw = LayerType::DepthwiseConv2DTranspose, dense = LayerType::Dense1D,
                    hrc = LayerType::InputConv2D, btc = LayerType::BufferTempConv,
                    dwbtc = LayerType::DepthwiseBufferTempConv;

enum class Previous { none, input, cnp };  // the layer before a Dense1D in its sequence

// params: over the kind's valid defaults; shifts: elements of a replacing "input_shift"; input_bytes: of the
// mesh (the FNP input memory is a quarter of it in words). The last HRC weight is made non-zero.
struct Row {
    char const* name; LayerType type; Params params; InputSpec input; char const* expected; uint32_t shifts = 0;
    Previous previous = Previous::none; uint32_t input_bytes = 65536;
};

Params defaults(LayerType type) {
    switch (type) {
    case conv: return {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}};
    case dw: return {{"kernel_size", 3}, {"padding", 1}, {"activation", 1}};
    case tconv: case hrc: return {{"kernel_size", 3}, {"filters", 8}, {"activation", 1}};
    case tdw: return {{"kernel_size", 3}, {"activation", 1}};
    case dense: return {{"units", 10}, {"activation", 1}, {"weights_bits", 8}, {"output_bits", 8}};
    case btc: return {{"fifo_size", 3}, {"filters", 8}};
    default: return {{"fifo_size", 3}};
    }
}

MappingStatus check(Row const& row, Layer const& layer, Layer const* previous) {
    HardwareConstraints const c = testing::v2_constraints(row.input_bytes);
    switch (row.type) {
    case conv: return check_conv2d_constraints(c, layer);
    case dw: return check_dwconv2d_constraints(c, layer);
    case tconv: return check_conv2dtranspose_constraints(c, layer);
    case tdw: return check_dwconv2dtranspose_constraints(c, layer);
    case dense: return check_fnp_constraints(c, layer, previous);
    case hrc: return check_input_conv2d_constraints(layer);
    default: {
        // Both buffered kinds obey the one shared rule set.
        MappingStatus const shared = check_tnp_b_constraints(c, layer);
        EXPECT_EQ(check_buffer_temp_conv_constraints(c, layer), shared);
        EXPECT_EQ(check_depthwise_buffer_temp_conv_constraints(c, layer), shared);
        return shared;
    }
    }
}

char const* const ok = "Success.";
char const* const shift_memory = "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes).";
char const* const fnp_too_large = "Input dimensions are too large to fit in a FNP. The maximum value is 2048.";
InputSpec const flat{1, 1, 64, 8}, rgb{32, 32, 3, 8}, frame{8, 8, 16, 8};

// Weight memory of the v2 mesh: 4096 words of 100 bits; single input buffer: 16384 words.
Row const rows[] = {
    // Kernel 1 holds one filter of a channel in 2 words: 2048 channels fill the 4096 words.
    {"conv2d at the channel, filter, shift and weight limits", conv, {{"kernel_size", 1}, {"filters", 2048}},
     {8, 8, 2048, 8}, ok},
    {"16-bit activations, kernel 4, 2-bit weights", conv,
     {{"output_bits", 16}, {"kernel_size", 4}, {"weights_bits", 2}}, {},
     "With activation output bitwidth should be <= 8. Kernel size must be 1, 3, 5 or 7. With activation output "
     "bitwidth should be 4 or 8. Weights bitwidth should be 4-bit or 8-bit."},
    {"2-bit input", conv, {{"weights_bits", 4}}, {8, 8, 4, 2},
     "Input bits should be >= weights bits. Input should be 4-bit or 8-bit."},
    {"width and height 4097", conv, {}, {4097, 4097, 1, 8},
     "The maximum input width is 4096 (got 4097). The maximum input height is 4096 (got 4097)."},
    {"SameUpper stride 1, 4-bit output and weights", conv, {{"padding", 2}, {"output_bits", 4}, {"weights_bits", 4}},
     {},
     "With SameUpper padding only stride 2 is supported. With SameUpper padding only 8-bit activations are "
     "supported. With SameUpper padding only 8-bit weights are supported."},
    {"max pooling 3 with stride", conv, {{"pool_type", 1}, {"pool_size", 3}, {"kernel_stride", 2}}, {},
     "The CNP cannot support both pooling and stride. Pooling size must be 1 or 2."},
    {"max pooling wider than the input, with LUT", conv, {{"pool_type", 1}, {"pool_size", 2}, {"activation", 2}},
     {1, 8, 4, 8},
     "Pooling size cannot be greater than input dimensions. Max pooling is not supported with activation LUT."},
    {"average pooling not global, 16-bit potentials", conv,
     {{"pool_type", 2}, {"pool_size", 2}, {"activation", 0}, {"output_bits", 16}}, {},
     "With average pooling output bitwidth should be <= 8. Global Average pooling must be global. Without "
     "activation output bitwidth should be 8 or 28."},
    // 65 x 3 x 400 takes 20400 single-buffer words.
    {"average pooling over 65 x 3 x 400", conv, {{"pool_type", 2}, {"pool_size", -1}}, {65, 3, 400, 8},
     "When using Global Average Pooling, input height cannot exceed 64. When using Global Average Pooling, input "
     "dimensions width * height cannot exceed 144. When using Global Average Pooling, spatial split is impossible."},
    {"4-bit LUT output", conv, {{"output_bits", 4}, {"activation", 2}}, {},
     "4-bit activation is not supported with LUT."},
    // Kernel 7 takes 56 words a channel: 74 channels need 4144.
    {"one filter too big", conv, {{"kernel_size", 7}}, {8, 8, 74, 8},
     "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth."},
    {"4-bit weights, 8-bit potentials", conv, {{"weights_bits", 4}, {"activation", 0}}, {},
     "4-bit weights and 8-bit potential is not allowed."},

    {"depthwise kernel 1, Valid padding", dw, {{"kernel_size", 1}, {"padding", 0}}, {},
     "Only padding 'Same' and 'SameUpper' are supported. Kernel size must be 3, 5 or 7."},
    {"depthwise 4-bit weights, 8-bit activations", dw, {{"weights_bits", 4}}, {},
     "4-bit weights and 8-bit activation is not allowed."},
    {"depthwise 2049 channels count as filters", dw, {}, {8, 8, 2049, 8},
     "The maximum input channel value is 2048 (got 2049). The maximum number of filters is 2048 (got 2049). "
     "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},

    {"transposed 4-bit output and weights, kernel 5", tconv,
     {{"output_bits", 4}, {"weights_bits", 4}, {"kernel_size", 5}}, {},
     "With activation output bitwidth should be 8. Weights should be 8-bit. Kernel size must be 3 or 4."},
    {"depthwise transposed 28-bit potentials", tdw, {{"activation", 0}, {"output_bits", 28}}, {}, ok},
    // Mended: the image says only whether a stride is 2, and a transposed one always is.
    {"stride 2", conv, {{"kernel_stride", 2}}, {}, ok},
    {"stride 3 with pooling", conv, {{"kernel_stride", 3}, {"pool_type", 1}, {"pool_size", 2}}, {},
     "The CNP cannot support both pooling and stride. Convolution stride must be 1 or 2."},
    {"depthwise stride 2", dw, {{"kernel_stride", 2}}, {}, ok},
    {"depthwise stride 255", dw, {{"kernel_stride", 255}}, {}, "Convolution stride must be 1 or 2."},
    {"depthwise SameUpper stride 3", dw, {{"padding", 2}, {"kernel_stride", 3}}, {},
     "With SameUpper padding only stride 2 is supported. Convolution stride must be 1 or 2."},
    {"transposed stride 1, kernel 5", tconv, {{"kernel_stride", 1}, {"kernel_size", 5}}, {},
     "Kernel size must be 3 or 4. Kernel stride must be 2."},
    {"depthwise transposed stride 255", tdw, {{"kernel_stride", 255}}, {1, 1, 4, 8}, "Kernel stride must be 2."},
    {"depthwise transposed stride 1, kernel 5", tdw, {{"kernel_stride", 1}, {"kernel_size", 5}}, {1, 1, 4, 8},
     "Kernel size must be 3 or 4. Kernel stride must be 2."},

    {"FNP after the input layer, 4-bit weights and output, 256 shift words", dense,
     {{"weights_bits", 4}, {"output_bits", 4}}, flat, ok, 2048, Previous::input},
    {"FNP 2-bit input hides the memory rules", dense, {}, {1, 1, 64, 2},
     "Input should be 4-bit or 8-bit. Input bits should be >= weights bits.", 2049},
    {"FNP 2-bit activated output", dense, {{"output_bits", 2}}, flat,
     "Output bits should be 4, 8 or > 8. With activation output bitwidth should be 4 or 8."},
    {"FNP 16-bit potentials", dense, {{"activation", 0}, {"output_bits", 16}}, flat,
     "Without activation output bitwidth should be 8, 28 or 32."},
    {"FNP 4-bit weights, 8-bit output", dense, {{"weights_bits", 4}}, flat,
     "With 4-bit weights, output must be 4-bit or 32-bit."},
    {"FNP packed input after a CNP", dense, {}, flat, fnp_too_large, 0, Previous::cnp},
    {"FNP 257-word input shift", dense, {}, flat, shift_memory, 2049},
    {"FNP input one word too many", dense, {}, flat,
     "Input size exceeds memory. Maximum size is 60 bytes. (got 64 bytes).", 0, Previous::none, 60},

    {"HRC SameUpper k3 s2, pooling (3, 2), 512 filters, 5 x 384", hrc,
     {{"padding", 2}, {"kernel_stride", 2}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}, {"filters", 512}},
     {5, 384, 3, 8}, ok},
    {"HRC k7 s6, LUT, 1 filter, pooling values unused", hrc,
     {{"kernel_size", 7}, {"kernel_stride", 6}, {"activation", 2}, {"filters", 1}, {"pool_size", 3}, {"pool_stride", 3}},
     rgb, ok},
    {"HRC kernel 6 stride 7", hrc, {{"kernel_size", 6}, {"kernel_stride", 7}}, rgb,
     "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 6 given. "
     "For a kernel size 6, the kernel stride must be smaller than 6."},
    {"HRC kernel 7 stride 7", hrc, {{"kernel_size", 7}, {"kernel_stride", 7}}, rgb,
     "For a kernel size 7, the kernel stride must be smaller than 6."},
    {"HRC max pooling (3, 3)", hrc, {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 3}}, rgb,
     "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of "
     "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (3, 3)."},
    {"HRC input 4 x 4", hrc, {}, {4, 4, 3, 8},
     "Unsupported input size. Received: 4 as first dimension.\n The first dimension should be >= 5. Unsupported "
     "input size. Received: 4 as second dimension.\n The second dimension should be between 5 and 384."},
    {"HRC no activation hides the output rules", hrc, {{"activation", 0}, {"output_bits", 2}}, rgb,
     "The first convolutional layer of a model can only be mapped if its activations are enabled."},
    {"HRC 2-bit activations", hrc, {{"output_bits", 2}}, rgb, "Output should be 4-bit or 8-bit. 2 given."},
    // Without filters the engine creates no weights: nothing non-zero either.
    {"HRC 0 filters", hrc, {{"filters", 0}}, rgb,
     "The filters number should be set between 1 and 512. 0 given. All weights cannot be zeroes."},
    {"HRC 4-bit weights", hrc, {{"weights_bits", 4}}, rgb, "Only 8-bit weigths are supported."},
    {"HRC SameUpper kernel 4 stride 1, 4-bit output", hrc, {{"padding", 2}, {"kernel_size", 4}, {"output_bits", 4}},
     rgb,
     "With SameUpper padding only kernels 3, 5, 7 are supported. With SameUpper padding only stride 2 is "
     "supported. With SameUpper padding only 8-bit activations are supported."},

    {"TNP-B at the filter and shift limits", btc, {{"filters", 2048}}, frame, ok, 2048},
    {"TNP-B 4-bit input and output", btc, {{"output_bits", 4}}, {8, 8, 16, 4},
     "Input should be 8-bit. Output should be 8-bit."},
    // 8-bit rows of 4093 channels take 1024 words.
    {"TNP-B skip DMA row of 1024 words", dwbtc, {}, {1, 1, 4093, 8},
     "The maximum input channel value is 2048 (got 4093). The maximum number of filters is 2048 (got 4093). "
     "The skip DMA horizontal dimension must be smaller than 1024 (got 1024).",
     8},
};

TEST(V2KindChecks, ReportEveryBrokenRule) {
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        testing::BuiltLayer built =
            testing::build_after_input(row.type, with(defaults(row.type), row.params), row.input, "layer");
        Variables& vars = built.layer->variables();
        if (row.shifts) vars.set("input_shift", testing::filled<uint8_t>(TensorType::uint8, row.shifts, 0));
        if (row.type == hrc && vars.has("weights")) {
            std::shared_ptr<Tensor> const weights = vars.get("weights");
            tensor_write<int8_t>(*weights, weights->size() - 1, -1);
        }
        auto const cnp = testing::FakeLayer::make("cnp", {ComponentKind::CNP});
        Layer const* previous = row.previous == Previous::input ? built.model->get_layer(0).get()
                                : row.previous == Previous::cnp ? cnp.get()
                                                                : nullptr;
        MappingStatus const status = check(row, *built.layer, previous);
        EXPECT_EQ(status.message, row.expected);
        bool const success = std::string(row.expected) == ok;
        EXPECT_EQ(status.failed, !success);
        EXPECT_EQ(status.layer_name, success ? "" : "layer");
    }
}

// A Conv2D layer double with what a built engine layer always gets right set to valid values.
std::shared_ptr<testing::FakeLayer> fake_conv(Params const& params) {
    auto layer = testing::FakeLayer::make("conv", {ComponentKind::CNP});
    layer->set_params(conv, with(with(defaults(conv), {{"kernel_stride", 1}, {"weights_bits", 8}, {"output_bits", 8},
                                                       {"pool_type", 0}}),
                                 params));
    layer->set_input_dims({Shape{8, 8, 4}}).set_bits(8, 8);
    layer->set_activation(ActivationType::ReLU);
    layer->vars().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, 4, 0));
    layer->set_conv_block({1, 1, 8, 8, {}});
    layer->set_pool_block({});
    return layer;
}

TEST(V2KindChecks, PoolingBlocksAndHugeInputs) {
    HardwareConstraints const c = testing::v2_constraints();
    auto uneven = fake_conv({{"pool_type", 1}, {"pool_size", 2}});
    uneven->set_pool_block({2, 1, 4, 8, {}, false});
    EXPECT_EQ(check_conv2d_constraints(c, *uneven).message, "Pooling stride x and y must be equal.");

    auto no_rows = fake_conv({{"pool_type", 2}, {"pool_size", -1}});
    no_rows->set_conv_block({1, 1, 8, 0, {}});
    EXPECT_EQ(check_conv2d_constraints(c, *no_rows).message,
              "When using Global Average Pooling, the output of the convolution must have at least 1 rows "
              "(currently 0).");

    // Dimensions are multiplied in 64 bits: refused, never wrapped into a fit.
    auto huge = fake_conv({{"pool_type", 2}, {"pool_size", -1}});
    huge->set_input_dims({Shape{64, 2, 0x40000000u}});
    EXPECT_EQ(check_conv2d_constraints(c, *huge).message,
              "The maximum input channel value is 2048 (got 1073741824). When using Global Average Pooling, spatial "
              "split is impossible.");
}

// Weights without any element are refused like zeros, never read out of range; weights of another
// element type fail as the typed read says.
TEST(V2KindChecks, HrcWeightsAreReadSafely) {
    auto layer = testing::FakeLayer::make("hrc", {ComponentKind::HRC});
    layer->set_params(hrc, {{"kernel_size", 3}, {"kernel_stride", 1}, {"filters", 8}, {"activation", 1},
                            {"output_bits", 8}, {"weights_bits", 8}, {"pool_type", 0}, {"padding", 0}});
    layer->set_input_dims({Shape{32, 32, 3}}).set_bits(8, 8);
    layer->set_activation(ActivationType::ReLU);
    layer->vars().set_any("weights", std::make_shared<testing::EmptyTensor>(TensorType::int8));
    EXPECT_EQ(check_input_conv2d_constraints(*layer).message, "All weights cannot be zeroes.");

    layer->vars().set("weights", testing::filled<int32_t>(TensorType::int32, 4, 1));
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { check_input_conv2d_constraints(*layer); }),
              "Wrong requested type int8 for a tensor of type int32");
}

// The skip DMAs count fifo_size + 1 frames in 8 bits: 254 is the largest FIFO; 255 (a delay of 0)
// and negative sizes are refused.
TEST(V2KindChecks, FifoSizeFitsTheEightBitDelay) {
    struct { int fifo; char const* expected; } const fifo_rows[] = {
        {254, ok}, {255, "The FIFO size must be between 0 and 254 (got 255)."},
        {-1, "The FIFO size must be between 0 and 254 (got -1)."}};
    for (auto const& row : fifo_rows) {
        auto layer = testing::FakeLayer::make("tnp", {ComponentKind::TNP_B});
        layer->set_params(btc, {{"fifo_size", row.fifo}, {"filters", 8}, {"weights_bits", 8}});
        layer->set_input_dims({Shape{8, 8, 16}}).set_bits(8, 8);
        layer->vars().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, 16, 0));
        EXPECT_EQ(check_tnp_b_constraints(testing::v2_constraints(), *layer).message, row.expected) << row.fifo;
    }
}

}  // namespace
}  // namespace nuvra::v2
