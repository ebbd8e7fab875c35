#include "program/descriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/error_text.h"
#include "engine/stub_layer.h"

namespace nuvra {
namespace {

using testing::error_text;

// A stub whose activation and format code the test sets.
struct IoLayer : testing::StubLayer {
    IoLayer(LayerType type, std::map<std::string, int> params = {}) : StubLayer("io", type) {
        parameters = LayerParams::create(type, params);
    }
    bool activation = false;
    int code = 0;
    bool has_activation() const override { return activation; }
    int format_code() const override { return code; }

    template <class T>
    void set(std::string const& name, TensorType type, std::vector<T> const& values) {
        auto tensor = Dense::create(type, Shape{static_cast<uint32_t>(values.size())}, Layout::c_order);
        std::memcpy(tensor->mutable_buffer().data, values.data(), values.size() * sizeof(T));
        vars.set(name, tensor);
    }
};

TEST(IoDescriptors, InputSideOfAQuantizer) {
    IoLayer q(LayerType::Quantizer, {{"channels_first", 1}});
    q.in_bits = 32;
    q.out_bits = 4;
    q.out_signed = true;
    q.set<float>("scales", TensorType::float32, {0.5f, 0.25f});
    q.set<uint8_t>("zero_points", TensorType::uint8, {3, 200});
    EXPECT_EQ(io::input_bits(q), 4);
    EXPECT_TRUE(io::input_sign(q));
    EXPECT_TRUE(io::input_channels_first(q));
    EXPECT_EQ(io::format_input_scales(q), (std::vector<float>{0.5f, 0.25f}));
    EXPECT_EQ(io::format_input_zero_points(q), (std::vector<uint8_t>{3, 200}));
}

TEST(IoDescriptors, InputSideOfOtherLayers) {
    struct Row {
        uint8_t in_bits;
        bool on_hrc;
        bool sign;
    };
    const Row rows[] = {
        {4, false, false},
        {4, true, false},
        {1, false, false},
        {5, false, true},
        {8, false, true},
        {8, true, false},
    };
    for (Row const& row : rows) {
        IoLayer layer(LayerType::Conv2D);
        layer.in_bits = row.in_bits;
        layer.out_bits = 2;
        if (row.on_hrc) layer.kinds = {ComponentKind::HRC};
        // Variables with the Quantizer's names are not read for other kinds.
        layer.set<int32_t>("scales", TensorType::int32, {1});
        EXPECT_EQ(io::input_bits(layer), row.in_bits);
        EXPECT_EQ(io::input_sign(layer), row.sign) << int{row.in_bits} << " " << row.on_hrc;
        EXPECT_FALSE(io::input_channels_first(layer));
        EXPECT_TRUE(io::format_input_scales(layer).empty());
        EXPECT_TRUE(io::format_input_zero_points(layer).empty());
    }
}

TEST(IoDescriptors, OutputScalesAndShifts) {
    struct Row {
        const char* name;
        LayerType type;
        bool activation;
        int code;
        std::vector<float> scales;
        std::vector<int32_t> shifts;
    };
    const Row rows[] = {
        {"act_step {2, 0, 0.5}", LayerType::Convolutional, false, 1, {0.5f, 0.0f, 2.0f}, {7, -1, 0}},
        {"with an activation", LayerType::Convolutional, true, 1, {}, {}},
        {"another format code", LayerType::Conv2D, false, 2, {}, {}},
        {"Dequantizer", LayerType::Dequantizer, false, 0, {1.5f, 2.5f, 3.5f, 4.5f}, {0, 0, 0, 0}},
        {"Dequantizer with activation", LayerType::Dequantizer, true, 1, {1.5f, 2.5f, 3.5f, 4.5f}, {0, 0, 0, 0}},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        IoLayer layer(row.type);
        layer.activation = row.activation;
        layer.code = row.code;
        layer.set<float>("act_step", TensorType::float32, {2.0f, 0.0f, 0.5f});
        layer.set<int32_t>("threshold", TensorType::int32, {7, -1, 0});
        layer.set<float>("scales", TensorType::float32, {1.5f, 2.5f, 3.5f, 4.5f});
        EXPECT_EQ(io::format_output_scales(layer), row.scales);
        EXPECT_EQ(io::format_output_shift(layer), row.shifts);
    }
}

TEST(IoDescriptors, CountIsTheFirstDimension) {
    IoLayer layer(LayerType::Quantizer);
    auto scales = Dense::create(TensorType::float32, Shape{2, 3}, Layout::c_order);
    tensor_write<float>(*scales, size_t{0}, 1.0f);
    tensor_write<float>(*scales, size_t{1}, 2.0f);
    layer.vars.set("scales", scales);
    EXPECT_EQ(io::format_input_scales(layer), (std::vector<float>{1.0f, 2.0f}));
}

TEST(IoDescriptors, WrongElementTypesPanic) {
    struct Row {
        const char* name;
        LayerType type;
        const char* variable;
        TensorType stored;
        std::string expected;
    };
    const Row rows[] = {
        {"input scales", LayerType::Quantizer, "scales", TensorType::int32,
         "Wrong requested type float32 for a tensor of type int32"},
        {"zero points", LayerType::Quantizer, "zero_points", TensorType::int8,
         "Wrong requested type uint8 for a tensor of type int8"},
        {"act_step", LayerType::Convolutional, "act_step", TensorType::uint16,
         "Wrong requested type float32 for a tensor of type uint16"},
        {"threshold", LayerType::Convolutional, "threshold", TensorType::float32,
         "Wrong requested type int32 for a tensor of type float32"},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        IoLayer layer(row.type);
        layer.code = 1;
        layer.set<float>("scales", TensorType::float32, {1});
        layer.set<uint8_t>("zero_points", TensorType::uint8, {1});
        layer.set<float>("act_step", TensorType::float32, {1});
        layer.set<int32_t>("threshold", TensorType::int32, {1});
        layer.vars.set(row.variable, Dense::create(row.stored, Shape{1}, Layout::c_order));
        std::string const text = error_text<std::runtime_error>([&] {
            io::format_input_scales(layer);
            io::format_input_zero_points(layer);
            io::format_output_scales(layer);
            io::format_output_shift(layer);
        });
        EXPECT_EQ(text, row.expected);
    }
}

}  // namespace
}  // namespace nuvra
