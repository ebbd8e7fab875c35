#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tensor.h"
#include "hw/presets.h"
#include "mapping/hardware_sequence.h"
#include "mapping/layer_mapping.h"
#include "tests/cpp/mapping/mapping_fixtures.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/fake_hardware_device.h"
#include "tests/cpp/support/fake_layer.h"
#include "tests/cpp/support/model_builder.h"

namespace nuvra {
namespace {

using testing::FakeHostDevice;
using testing::FakeLayer;
using testing::ModelBuilder;
using testing::ValueTensor;

using LayerPtrs = std::vector<std::shared_ptr<Layer>>;
using Passes = std::vector<std::shared_ptr<Sequence::Pass>>;

LayerPtrs named(std::vector<std::string> const& names) {
    LayerPtrs layers;
    for (auto const& name : names) layers.push_back(FakeLayer::make(name));
    return layers;
}

// A program of `size` bytes whose first little-endian word is `length`; byte i >= 4 holds i.
std::vector<uint8_t> program_bytes(uint32_t length, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i);
    for (size_t i = 0; i < 4 && i < size; ++i) bytes[i] = uint8_t(length >> (8 * i));
    return bytes;
}

TEST(HardwareSequence, Name) {
    struct Row {
        std::vector<std::string> layers;
        const char* name;
    };
    Row const rows[] = {
        {{"conv"}, "HW/conv"},
        {{"a", "b"}, "HW/a-b"},
        {{"a", "m", "b"}, "HW/a-b"},
    };
    for (auto const& row : rows) {
        HardwareSequence const sequence(nullptr, {}, named(row.layers), {}, {});
        EXPECT_EQ(sequence.name(), row.name);
        EXPECT_EQ(sequence.backend(), BackendType::Hardware);
    }
}

TEST(HardwareSequence, ProgramParts) {
    struct Row {
        uint32_t length;
        size_t size;
        size_t info;  // bytes of program_info, length word included
    };
    Row const rows[] = {
        {100, 150, 104},
        {100, 104, 104},
        {0, 4, 4},
        {2, 10, 6},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.length);
        HardwareSequence const sequence(nullptr, {}, named({"a"}), {}, program_bytes(row.length, row.size));
        auto const whole = sequence.program();
        ASSERT_EQ(whole.size(), row.size);
        auto const parts = sequence.program_parts();
        EXPECT_EQ(parts.program_info.data(), whole.data());
        EXPECT_EQ(parts.program_info.size(), row.info);
        EXPECT_EQ(parts.program_data.data(), whole.data() + row.info);
        EXPECT_EQ(parts.program_data.size(), row.size - row.info);
    }
}

TEST(HardwareSequence, ProgramPartsRefuseALengthPastTheEnd) {
    struct Row {
        uint32_t length;
        size_t size;
        const char* message;
    };
    Row const rows[] = {
        {0, 0, "Invalid program: 0 bytes cannot hold the program_info length."},
        {0, 3, "Invalid program: 3 bytes cannot hold the program_info length."},
        {100, 103, "Invalid program: a program_info of 100 bytes does not fit 103 bytes."},
        {0xFFFFFFFF, 8, "Invalid program: a program_info of 4294967295 bytes does not fit 8 bytes."},
    };
    for (auto const& row : rows) {
        HardwareSequence const sequence(nullptr, {}, named({"a"}), {}, program_bytes(row.length, row.size));
        testing::expect_runtime_error([&] { sequence.program_parts(); }, row.message);
    }
}

std::vector<std::shared_ptr<const Tensor>> samples(size_t count) {
    std::vector<std::shared_ptr<const Tensor>> inputs;
    for (size_t i = 0; i < count; ++i) inputs.push_back(std::make_shared<ValueTensor>(int32_t(i)));
    return inputs;
}

std::vector<int32_t> values_of(std::vector<std::shared_ptr<Tensor>> const& outputs) {
    std::vector<int32_t> values;
    for (auto const& output : outputs) values.push_back(dynamic_cast<ValueTensor const&>(*output).value());
    return values;
}

TEST(HardwareSequence, ForwardNeedsHardware) {
    auto device = make_fake_device(hw::Tolmar_v2);
    HardwareSequence sequence(device, {}, named({"a"}), {}, program_bytes(0, 8));
    testing::expect_runtime_error([&] { sequence.forward_samples(samples(1), nullptr); },
                                  "An actual hardware device is required.");
}

TEST(HardwareSequence, ProgramsOnlyWhenTheDeviceHoldsOtherBytes) {
    auto device = std::make_shared<FakeHostDevice>(hw::Tolmar_v2, fake_mesh(IpVersion::v2));
    HardwareSequence first(device, {}, named({"a"}), {}, program_bytes(0, 8));
    HardwareSequence second(device, {}, named({"b"}), {}, program_bytes(0, 9));
    HardwareSequence same_size(device, {}, named({"c"}), {}, program_bytes(1, 8));

    EXPECT_EQ(values_of(first.forward_samples(samples(2), nullptr)), (std::vector<int32_t>{200, 201}));
    first.forward_samples(samples(1), nullptr);
    EXPECT_EQ(device->fake().calls,
              (std::vector<std::string>{"program", "batch 2", "forward", "batch 1", "forward"}));

    device->fake().calls.clear();
    second.forward_samples(samples(1), nullptr);
    first.forward_samples(samples(1), nullptr);
    same_size.forward_samples(samples(1), nullptr);
    same_size.forward_samples(samples(1), nullptr);
    EXPECT_EQ(device->fake().calls,
              (std::vector<std::string>{"program", "batch 1", "forward", "program", "batch 1", "forward",
                                        "program", "batch 1", "forward", "batch 1", "forward"}));
}

TEST(HardwareSequence, DeviceWithoutProgramIsProgrammed) {
    // An empty program compares equal only with a loaded (non-null) one.
    auto device = std::make_shared<FakeHostDevice>(hw::Tolmar_v2, fake_mesh(IpVersion::v2));
    HardwareSequence sequence(device, {}, named({"a"}), {}, {});
    sequence.forward_samples(samples(1), nullptr);
    sequence.forward_samples(samples(1), nullptr);
    EXPECT_EQ(device->fake().calls,
              (std::vector<std::string>{"program", "batch 1", "forward", "batch 1", "forward"}));
}

TEST(HardwareSequence, DequantizerLastUsesPredict) {
    auto device = std::make_shared<FakeHostDevice>(hw::Tolmar_v2, fake_mesh(IpVersion::v2));
    LayerPtrs layers = named({"a", "dq"});
    std::static_pointer_cast<FakeLayer>(layers.back())->set_params(LayerType::Dequantizer);
    HardwareSequence sequence(device, {}, layers, {}, program_bytes(0, 4));
    EXPECT_EQ(values_of(sequence.forward_samples(samples(3), nullptr)), (std::vector<int32_t>{300, 301, 302}));
    EXPECT_EQ(device->fake().calls.back(), "predict");
}

// in -> conv: one pass whose learning layer (conv) runs on one NP, or on two.
struct LearningSequence {
    LearningSequence(HwVersion version, size_t conv_nps) {
        device = std::make_shared<FakeHostDevice>(version, fake_mesh(IpVersion::v2));
        model.input("in");
        model.conv("conv", "in");
        LayerPtrs const layers = model.list({"in", "conv"});
        auto components = testing::pass_components(layers);
        for (size_t i = 1; i < conv_nps; ++i)
            components[1].push_back(testing::component(hw::Type::CNP1, {uint8_t(5 + i), 0, 0, 0}));
        Passes const passes{std::make_shared<HardwarePass>(layers, layers, components, testing::pass_dma, nullptr)};
        sequence = std::make_shared<HardwareSequence>(device, HardwareConstraints{}, layers, passes,
                                                      program_bytes(0, 4));
    }
    ModelBuilder model;
    std::shared_ptr<FakeHostDevice> device;
    std::shared_ptr<HardwareSequence> sequence;
};

TEST(HardwareSequence, LearningSwitchesAndReadsBack) {
    struct Row {
        HwVersion version;
        size_t nps;
        const char* message;
    };
    Row const rows[] = {
        {hw::Tolmar_v2, 1, "Learning not implemented on v2."},
        {hw::Wisp_Tolmar, 1, "Learning not implemented on v2."},
        {hw::Tolmar_v2, 2, "Learning is not supported for layers mapped on more than 1 NP."},
        {hw::ZR62_v1, 1, "The v1 back end is not available in this build."},
        {HwVersion{0xBC, 0x42, 1, 0}, 1, "Unsupported IP version in sync_learning_vars."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.message);
        LearningSequence s(row.version, row.nps);
        std::vector<int> const labels{1, 2};
        testing::expect_runtime_error([&] { s.sequence->forward_samples(samples(2), &labels); }, row.message);
        // The device ran fit before the read-back failed; the next run without labels turns
        // learning off again.
        s.sequence->forward_samples(samples(1), nullptr);
        EXPECT_EQ(s.device->fake().calls,
                  (std::vector<std::string>{"program", "batch 2", "learn on", "fit", "batch 1", "learn off",
                                            "forward"}));
    }
}

TEST(HardwarePass, LinksToThePreviousPassAndDetachesOnDestruction) {
    ModelBuilder model;
    model.input("in");
    model.conv("a", "in");
    model.conv("b", "a");
    LayerPtrs const first_layers = model.list({"in", "a"});
    LayerPtrs const second_layers = model.list({"b"});
    auto first = std::make_shared<HardwarePass>(first_layers, first_layers, testing::pass_components(first_layers),
                                                testing::pass_dma, nullptr);
    auto const second_components = std::vector<std::vector<hw::Component>>{
        {testing::component(hw::Type::CNP1, {4, 0, 0, 0})}};
    auto second = std::make_shared<HardwarePass>(second_layers, model.list({"in", "a", "b"}), second_components,
                                                 testing::pass_dma, first);
    EXPECT_EQ(first->size(), 2u);
    EXPECT_EQ(second->size(), 1u);

    auto const a = layer_mapping(model["a"]);
    auto const b = layer_mapping(model["b"]);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->index, 1);
    EXPECT_EQ(a->link_index, 2);
    EXPECT_EQ(b->input_link_index, 2);
    ASSERT_EQ(a->outputs.size(), 1u);
    EXPECT_EQ(a->outputs.front(), b->components);

    second.reset();
    EXPECT_EQ(model["b"]->mapping(), nullptr);
    EXPECT_NE(model["a"]->mapping(), nullptr);

    // A layer mapped again meanwhile keeps its newer mapping when the old pass goes.
    LayerPtrs const again{model["a"]};
    HardwarePass const newer(again, again, {{testing::component(hw::Type::CNP1, {7, 0, 0, 0})}}, testing::pass_dma,
                             nullptr);
    auto const newer_mapping = model["a"]->mapping();
    first.reset();
    EXPECT_EQ(model["in"]->mapping(), nullptr);
    EXPECT_EQ(model["a"]->mapping(), newer_mapping);
}

}  // namespace
}  // namespace nuvra
