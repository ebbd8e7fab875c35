// Builders for the second-generation check tests: v2 limits, real engine layers behind an input
// layer, and small tensors.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/layers.h"
#include "engine/model.h"
#include "engine/tensor.h"
#include "hw/mesh.h"
#include "program/backend.h"
#include "support/fake_device.h"
#include "support/layer_fixtures.h"

namespace nuvra::testing {

// The limits of a v2 mesh with the given input and weight SRAM bytes (defaults: the v2 mesh).
inline HardwareConstraints v2_constraints(uint32_t input_bytes = SramSize_v2.input_bytes,
                                          uint32_t weight_bytes = SramSize_v2.weight_bytes) {
    Mesh mesh = fake_mesh(IpVersion::v2);
    mesh.np_sram_size.input_bytes = input_bytes;
    mesh.np_sram_size.weight_bytes = weight_bytes;
    return make_hardware_constraints(IpVersion::v2, mesh);
}

// The input a layer under test reads: (width, height, channels) of `bits` bits.
struct InputSpec {
    uint32_t width = 8;
    uint32_t height = 8;
    uint32_t channels = 4;
    int bits = 8;
};

// A real layer built in its own model behind an InputData layer; the model keeps it built.
struct BuiltLayer {
    std::unique_ptr<Model> model;
    std::shared_ptr<Layer> layer;
};

// `base` overridden key by key with `changes`.
inline std::map<std::string, int> with(std::map<std::string, int> base, std::map<std::string, int> const& changes) {
    for (auto const& [key, value] : changes) base[key] = value;
    return base;
}

inline BuiltLayer build_after_input(LayerType type, std::map<std::string, int> const& params, InputSpec input,
                                    std::string const& name = "layer") {
    BuiltLayer built;
    built.layer = make_layer(type, params, name);
    built.model = model_with(built.layer, input.width, input.height, input.channels, input.bits);
    return built;
}

// A one-dimensional tensor of `count` elements of `type`, every element `value`.
template <class T>
std::shared_ptr<Dense> filled(TensorType type, uint32_t count, T value) {
    std::shared_ptr<Dense> tensor = Dense::create(type, Shape{count}, Layout::c_order);
    for (uint32_t i = 0; i < count; ++i) tensor_write<T>(*tensor, size_t{i}, value);
    return tensor;
}

}  // namespace nuvra::testing
