// A layer that has a name and answers every other query with nothing; derive from it to
// answer the few queries a test needs.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/variables.h"

namespace nuvra {

class StubLayer : public Layer {
public:
    explicit StubLayer(std::string name = "stub") : name_(std::move(name)) {}

    std::string get_name() const override { return name_; }
    std::vector<Shape> input_dimensions() const override { return {}; }
    Shape output_dimensions() const override { return {}; }
    uint8_t input_bits() const override { return 0; }
    uint8_t output_bits() const override { return 0; }
    bool output_signed() const override { return false; }
    int format_code() const override { return 0; }
    int value_mode() const override { return 0; }
    bool is_target_component(ComponentKind) const override { return false; }
    bool splittable() const override { return false; }
    bool is_depthwise() const override { return false; }
    bool is_separable() const override { return false; }
    bool is_input_layer() const override { return false; }
    LayerParams const* params() const override { return nullptr; }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables& variables() override { return variables_; }
    Variables const& variables() const override { return variables_; }
    bool has_activation() const override { return false; }
    bool has_activation_type(ActivationType) const override { return false; }
    bool has_pooling_type(PoolType) const override { return false; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return {}; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() override { return {}; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return {}; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() override { return {}; }
    std::span<std::shared_ptr<Layer> const> inbound_view() const override { return {}; }
    size_t outbound_count() const override { return 0; }
    std::shared_ptr<Mapping> mapping() const override { return nullptr; }
    std::shared_ptr<Mapping> mapping() override { return nullptr; }
    uint64_t macs() const override { return 0; }

private:
    std::string name_;
    VariablesImpl variables_;
};

}  // namespace nuvra
