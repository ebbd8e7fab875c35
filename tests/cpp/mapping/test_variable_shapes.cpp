// A variable value that fits its layer in another shape (trailing dimensions of 1, or a per-filter
// value of another shape): the layer keeps it in its own shape, so that a software run and a
// mapped program are those of the exact shape.
#include <gtest/gtest.h>

#include <algorithm>

#include "backends/ip_version_backend.h"
#include "engine/inference.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

// The HRC and 16 NPs of every second-generation kind, with look-up tables.
std::shared_ptr<Device> v2_device() {
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 4; ++col)
        for (uint8_t id = 0; id < 4; ++id)
            nps.push_back({{col, 0, id, 0}, {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3, hw::Type::TNP_B}, true});
    return make_fake_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0},
                                                np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps, {}));
}

// The HRC, four CNPs and two FNP3s of the first generation.
std::shared_ptr<Device> v1_device() {
    std::vector<np::Info> nps;
    for (uint8_t id = 0; id < 4; ++id) nps.push_back({{1, 1, id, 0}, {hw::Type::CNP1}, false});
    for (uint8_t id = 0; id < 2; ++id) nps.push_back({{2, 1, id, 0}, {hw::Type::FNP3}, false});
    return make_fake_device(hw::ZR62_v1, Mesh(IpVersion::v1, {3, 1, 0, 0}, {3, 1, 1, 0},
                                              np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, false}, nps, {}));
}

// An int8 tensor of `dims` holding `values` in row-major order, in `layout`.
std::shared_ptr<Dense> laid_out(Dims const& dims, std::vector<int8_t> const& values, Layout layout) {
    auto tensor = Dense::create(TensorType::int8, Shape(dims), layout);
    for (size_t i = 0; i < values.size(); ++i) tensor_write<int8_t>(*tensor, i, values[i]);
    return tensor;
}

struct Outcome {
    std::vector<uint32_t> dims;    // of the variable as the layer keeps it
    std::vector<int32_t> outputs;  // of a software run
    std::vector<uint8_t> program;  // of the mapped model
};

TEST(VariableShapes, AValueThatFitsIsReadInTheLayersShape) {
    using Params = std::map<std::string, int>;
    // input: (width, height, channels); the variable is set once in `exact` and once in `given`
    // dimensions, with the same elements in row-major order.
    struct Row { char const* what; LayerType type; Params params; Dims input; bool v1; char const* variable;
                 Dims exact, given; Layout layout = Layout::c_order; };
    Row const rows[] = {
        // Mended: each of these ran into a kernel's shape check, and the mapping refused the first
        // three with "Tensor weights must have rank 4, not 3."
        {"Conv2D of 1 filter", LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"padding", 1}}, {8, 8, 4},
         false, "weights", {3, 3, 4, 1}, {3, 3, 4}},
        {"DepthwiseConv2D of 1 channel", LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"padding", 1}}, {8, 8, 1},
         false, "weights", {3, 3, 1, 1}, {3, 3}},
        {"Dense1D", LayerType::Dense1D, {{"units", 10}}, {2, 4, 4}, false, "weights", {32, 10}, {32, 10, 1}},
        {"Convolutional of kernel 1", LayerType::Convolutional,
         {{"kernel_width", 1}, {"kernel_height", 1}, {"filters", 3}, {"padding", 1}}, {8, 8, 4}, true, "weights",
         {3, 4, 1, 1}, {3, 4}},
        // Mended: the mapping refused it with "Tensor bias must have rank 1, not 2.".
        {"Conv2D bias of (4, 1)", LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}}, {8, 8, 4},
         false, "bias", {4}, {4, 1}},
        {"Conv2D bias of (2, 2), reversed", LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}},
         {8, 8, 4}, false, "bias", {4}, {2, 2}, Layout::reversed},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto const run = [&](Dims const& dims, Layout layout) {
            auto layer = make_layer(row.type, row.params, "l");
            auto model = model_with(layer, row.input[0], row.input[1], row.input[2], row.v1 ? 4 : 8);
            for (auto const& name : layer->variables().names()) {  // every weight and scale non-zero
                auto const t = layer->variables().get(name);
                bool const scale = name == "output_scales" || name == "act_step";
                if (name != "weights" && name != row.variable && !scale) continue;
                if (t->type() == TensorType::float32) {
                    layer->variables().set(name, f32(dims_of(*t), std::vector<float>(t->size(), 1.0f)));
                    continue;
                }
                if (scale) {
                    layer->variables().set(name, u8(dims_of(*t), std::vector<uint8_t>(t->size(), 1)));
                    continue;
                }
                std::vector<int8_t> values(t->size());
                for (size_t i = 0; i < values.size(); ++i) values[i] = int8_t(int(i % 5) - 2);
                layer->variables().set(name, i8(dims_of(*t), values));
            }
            auto const held = layer->variables().get(row.variable);
            std::vector<int8_t> values(held->size());
            for (size_t i = 0; i < values.size(); ++i) values[i] = int8_t(int(i % 3) - 1);
            layer->variables().set(row.variable, laid_out(dims, values, layout));
            std::vector<uint8_t> input(size_t{row.input[0]} * row.input[1] * row.input[2]);
            for (size_t i = 0; i < input.size(); ++i) input[i] = uint8_t(i % 4);
            auto const out = software_forward(*model, u8({1, row.input[0], row.input[1], row.input[2]}, input));
            register_mapping_backend();
            model->map(row.v1 ? v1_device() : v2_device());
            EXPECT_EQ(model->sequences().size(), 1u);
            std::span<uint8_t const> const program =
                model->sequences().empty() ? std::span<uint8_t const>{} : model->sequences().front()->program();
            return Outcome{dims_of(*layer->variables().get(row.variable)), values_of<int32_t>(*out),
                       {program.begin(), program.end()}};
        };
        Outcome const exact = run(row.exact, Layout::c_order);
        Outcome const given = run(row.given, row.layout);
        EXPECT_EQ(given.dims, row.exact);
        EXPECT_EQ(given.outputs, exact.outputs);
        EXPECT_TRUE(std::any_of(exact.outputs.begin(), exact.outputs.end(), [](int32_t v) { return v != 0; }));
        EXPECT_FALSE(exact.program.empty());
        EXPECT_TRUE(given.program == exact.program);
    }
}

TEST(VariableShapes, TheKeptValueSharesTheGivenElements) {
    auto conv = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, "c");
    conv->variables().set("weights", i8({1, 1, 2}, {3, 4}));  // before the layer is built: kept as given
    EXPECT_EQ(dims_of(*conv->variables().get("weights")), (Dims{1, 1, 2}));
    auto model = model_with(conv, 1, 1, 2);  // built: now in the layer's shape
    EXPECT_EQ(dims_of(*conv->variables().get("weights")), (Dims{1, 1, 2, 1}));
    auto const value = i8({1, 1, 2}, {5, 6});
    conv->variables().set("weights", value);
    auto const kept = conv->variables().get("weights");
    EXPECT_EQ(kept->buffer().data, value->buffer().data);  // the same elements, not a copy
    // A value that does not fit is kept as it is and refused before a run.
    conv->variables().set("weights", i8({1, 1, 2, 2}, {1, 2, 3, 4}));
    EXPECT_EQ(dims_of(*conv->variables().get("weights")), (Dims{1, 1, 2, 2}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { software_forward(*model, u8({1, 2}, {1, 1})); }),
              "Layer 'c' (Conv2D): variable 'weights' has shape (1, 1, 2, 2), but the layer needs shape (1, 1, 2, 1)");
}

}  // namespace
}  // namespace nuvra
