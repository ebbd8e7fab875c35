#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/layer.h"
#include "support/error_text.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::FakeLayer;

TEST(EngineLayerAccessors, ParametersKindAndFirstInput) {
    FakeLayer bare("bare");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { bare.required_params(); }), "Layer 'bare' has no parameters.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { bare.type(); }), "Layer 'bare' has no parameters.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { bare.first_input(); }), "Cannot get input size before it is set.");

    FakeLayer conv("conv");
    conv.set_params(LayerType::Convolutional, {{"filters", 8}});
    EXPECT_EQ(conv.type(), LayerType::Convolutional);
    EXPECT_EQ(&conv.required_params(), conv.params());
    conv.set_input_dims({Shape{4, 3, 2}, Shape{1, 1, 9}});
    EXPECT_EQ(conv.first_input(), (Shape{4, 3, 2}));
}

}  // namespace
}  // namespace nuvra
