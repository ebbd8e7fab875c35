// Test doubles for the layer splitting: a layer whose shapes, kinds, parameters and pooling the
// test sets, and a checker whose input and weight memories are simple capacities and which
// records every query.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "support/fake_device.h"
#include "support/stub_checker.h"
#include "support/stub_layer.h"

namespace nuvra {

class SplitTestLayer : public StubLayer, public HasPoolParams {
public:
    SplitTestLayer(std::string name, LayerType type, Shape input,
                   std::map<std::string, int> const& entries = {})
        : StubLayer(std::move(name)), inputs{input}, parameters(LayerParams::create(type, entries)) {}

    std::vector<Shape> inputs;
    uint8_t in_bits = 8;
    std::set<ComponentKind> kinds;
    bool depthwise = false;
    std::unique_ptr<LayerParams> parameters;
    std::vector<std::shared_ptr<Layer>> inbounds;
    std::optional<PoolingCalculatedParams> pool;

    std::vector<Shape> input_dimensions() const override { return inputs; }
    uint8_t input_bits() const override { return in_bits; }
    bool is_target_component(ComponentKind kind) const override { return kinds.count(kind) != 0; }
    bool is_depthwise() const override { return depthwise; }
    LayerParams const* params() const override { return parameters.get(); }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbounds; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() override { return inbounds; }
    PoolingCalculatedParams const* pool_params() const override { return pool ? &*pool : nullptr; }
};

// Input fits when window height x width x channels stays within the buffer's capacity; weights
// fit up to `max_weight_filters` filters.
class SplitTestChecker : public StubChecker {
public:
    SplitTestChecker() : StubChecker(device(), constraints()) {}

    static constexpr uint64_t unlimited = std::numeric_limits<uint64_t>::max();

    NpSplitParams split_params;
    uint64_t dual_capacity = unlimited;
    uint64_t single_capacity = unlimited;
    uint32_t max_weight_filters = std::numeric_limits<uint32_t>::max();
    uint32_t reserved_words = 0;

    struct FitQuery {
        bool dual;
        hw::Type type;
        uint32_t height;
        uint32_t width;
        uint32_t channels;
        uint32_t fifo_size;
        uint8_t bits;
        uint32_t reserved;
    };
    mutable std::vector<FitQuery> fit_queries;
    mutable std::vector<uint32_t> weight_queries;
    mutable std::vector<hw::Type> split_param_queries;

    bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                         uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                         uint32_t reserved) const override {
        fit_queries.push_back({false, type, height, width, channels, fifo_size, bits, reserved});
        return uint64_t(height) * width * channels <= single_capacity;
    }
    bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                       uint32_t reserved) const override {
        fit_queries.push_back({true, type, height, width, channels, fifo_size, bits, reserved});
        return uint64_t(height) * width * channels <= dual_capacity;
    }
    bool is_weights_size_fit_np(Layer const&, uint32_t filters) const override {
        weight_queries.push_back(filters);
        return filters <= max_weight_filters;
    }
    NpSplitParams np_split_params(hw::Type type, LayerParams const&) const override {
        split_param_queries.push_back(type);
        return split_params;
    }
    uint32_t reserved_input_words(Layer const&) const override { return reserved_words; }

private:
    static Device const& device() {
        static FakeDevice const dev({0xBC, 0xA2, 1, 0}, fake_mesh(IpVersion::v2));
        return dev;
    }
    static HardwareConstraints const& constraints() {
        static HardwareConstraints const limits;
        return limits;
    }
};

}  // namespace nuvra
