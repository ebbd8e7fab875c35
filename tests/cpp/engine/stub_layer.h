// A layer whose every answer the test sets: a stand-in for code that only talks to Layer.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"

namespace nuvra::testing {

class StubLayer : public Layer {
public:
    explicit StubLayer(std::string layer_name, LayerType type = LayerType::Unknown)
        : name(std::move(layer_name)), parameters(LayerParams::create(type, {})) {}

    std::string name;
    std::vector<Shape> inputs;
    Shape output;
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    bool out_signed = false;
    std::set<ComponentKind> kinds;
    std::unique_ptr<LayerParams> parameters;
    VariablesImpl vars;
    std::vector<std::shared_ptr<Layer>> inbounds;
    std::vector<std::shared_ptr<Layer>> outbounds;
    std::shared_ptr<Mapping> layer_mapping;

    std::string get_name() const override { return name; }
    std::vector<Shape> input_dimensions() const override { return inputs; }
    Shape output_dimensions() const override { return output; }
    uint8_t input_bits() const override { return in_bits; }
    uint8_t output_bits() const override { return out_bits; }
    bool output_signed() const override { return out_signed; }
    int format_code() const override { return 0; }
    int value_mode() const override { return 0; }
    bool is_target_component(ComponentKind kind) const override { return kinds.count(kind) != 0; }
    bool splittable() const override { return false; }
    bool is_depthwise() const override { return false; }
    bool is_separable() const override { return false; }
    bool is_input_layer() const override { return false; }
    LayerParams const* params() const override { return parameters.get(); }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables& variables() override { return vars; }
    Variables const& variables() const override { return vars; }
    bool has_activation() const override { return false; }
    bool has_activation_type(ActivationType) const override { return false; }
    bool has_pooling_type(PoolType) const override { return false; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbounds; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() override { return inbounds; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return outbounds; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() override { return outbounds; }
    std::span<std::shared_ptr<Layer> const> inbound_view() const override { return inbounds; }
    size_t outbound_count() const override { return outbounds.size(); }
    std::shared_ptr<Mapping> mapping() const override { return layer_mapping; }
    std::shared_ptr<Mapping> mapping() override { return layer_mapping; }
    uint64_t macs() const override { return 0; }
};

}  // namespace nuvra::testing
