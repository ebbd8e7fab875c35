// Test doubles for the layer splitting: a layer of a kind over an input shape, and a checker
// whose input and weight memories are simple capacities and which records every query.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/stub_checker.h"

namespace nuvra {

// A layer of `type` over `input` with the given parameters: the settable layer of fake_layer.h.
inline std::shared_ptr<testing::FakeLayer> split_layer(std::string name, LayerType type, Shape input,
                                                       std::map<std::string, int> const& entries = {}) {
    auto layer = testing::FakeLayer::make(std::move(name));
    layer->set_params(type, entries).set_input_dims({input});
    return layer;
}

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
