// A variable value that fits its layer in another shape (trailing dimensions of 1, or per-filter
// values of another shape) is kept as it was written and read in the layer's own shape: a software
// run and a mapped program are those of the exact shape.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "backends/ip_version_backend.h"
#include "engine/inference.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "support/fake_device.h"
#include "support/layer_fixtures.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

// The HRC, then 16 NPs of every kind of the generation (CNP and FNP3 on the first).
std::shared_ptr<Device> device(bool v1) {
    std::set<hw::Type> const types = v1 ? std::set{hw::Type::CNP1, hw::Type::FNP3}
                                        : std::set{hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3};
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 4; ++col)
        for (uint8_t id = 0; id < 4; ++id) nps.push_back({{col, 1, id, 0}, types, !v1});
    return make_fake_device(v1 ? hw::ZR62_v1 : hw::Tolmar_v2,
                            Mesh(v1 ? IpVersion::v1 : IpVersion::v2, {5, 1, 0, 0}, {5, 1, 1, 0},
                                 np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, !v1}, nps, {}));
}

// Mended: each ran into a kernel's shape check, and the mapping refused them ("Tensor weights must
// have rank 4, not 3.", "Tensor bias must have rank 1, not 2.").
TEST(VariableShapes, AValueThatFitsIsReadInTheLayersShape) {
    // input: (width, height, channels); the variable is set in `exact` and in `given` dimensions,
    // with the same elements in row-major order.
    struct Row { LayerType type; std::map<std::string, int> params; Dims input; char const* variable;
                 Dims exact, given; Layout layout = Layout::c_order; };
    Row const rows[] = {
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"padding", 1}}, {8, 8, 4}, "weights", {3, 3, 4, 1},
         {3, 3, 4}},
        {LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"padding", 1}}, {8, 8, 1}, "weights", {3, 3, 1, 1}, {3, 3}},
        {LayerType::Dense1D, {{"units", 10}}, {2, 4, 4}, "weights", {32, 10}, {32, 10, 1}},
        {LayerType::Convolutional, {{"kernel_width", 1}, {"kernel_height", 1}, {"filters", 3}, {"padding", 1}},
         {8, 8, 4}, "weights", {3, 4, 1, 1}, {3, 4}},
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}}, {8, 8, 4}, "bias", {4}, {4, 1}},
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}}, {8, 8, 4}, "bias", {4}, {2, 2},
         Layout::reversed},  // a row-major copy
    };
    register_mapping_backend();
    for (auto const& row : rows) {
        bool const v1 = row.type == LayerType::Convolutional;
        // The variable's dimensions as the layer reads them, the run's outputs, the program.
        auto const run = [&](Dims const& dims, Layout layout) {
            auto layer = make_layer(row.type, row.params, "l");
            auto model = model_with(layer, row.input[0], row.input[1], row.input[2], v1 ? 4 : 8);
            Variables& vars = layer->variables();
            for (auto const& name : vars.names()) {
                auto const t = vars.get(name);
                for (size_t i = 0; i < t->size(); ++i) {  // weights -2..2, every scale 1
                    if (name == "weights") tensor_write<int8_t>(*t, i, int8_t(int(i % 5) - 2));
                    if (name == "output_scales") tensor_write<uint8_t>(*t, i, 1);
                    if (name == "act_step") tensor_write<float>(*t, i, 1.0f);
                }
            }
            auto value = Dense::create(TensorType::int8, Shape(dims), layout);
            for (size_t i = 0; i < value->size(); ++i) tensor_write<int8_t>(*value, i, int8_t(int(i % 3) - 1));
            vars.set(row.variable, value);
            std::vector<uint8_t> input(size_t{row.input[0]} * row.input[1] * row.input[2]);
            for (size_t i = 0; i < input.size(); ++i) input[i] = uint8_t(i % 4);
            auto const out = software_forward(*model, u8({1, row.input[0], row.input[1], row.input[2]}, input));
            model->map(device(v1));
            auto const program = model->sequences().at(0)->program();
            EXPECT_EQ(dims_of(*vars.get(row.variable)), dims);  // kept as written
            return std::tuple(dims_of(*layer->variable(row.variable)), values_of<int32_t>(*out),
                              std::vector<uint8_t>(program.begin(), program.end()));
        };
        auto const exact = run(row.exact, Layout::c_order);
        EXPECT_EQ(run(row.given, row.layout), exact) << static_cast<int>(row.type) << " " << row.variable;
        EXPECT_NE(std::get<1>(exact), std::vector<int32_t>(std::get<1>(exact).size()));
    }
}

}  // namespace
}  // namespace nuvra
