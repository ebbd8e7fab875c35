// Builds small engine models layer by layer for tests: real engine layers (Layer::create) linked
// by a real Model, found again by name. Shapes are 8 x 8 unless given; convolutions use 1 x 1
// kernels so every layer keeps the input's width and height.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/layers.h"
#include "engine/model.h"
#include "engine/params.h"

namespace nuvra::testing {

class ModelBuilder {
public:
    using LayerPtr = std::shared_ptr<Layer>;

    ModelBuilder() : model_(Model::create()) {}
    // Builds on `model`, a model of the test's own.
    explicit ModelBuilder(std::unique_ptr<Model> model) : model_(std::move(model)) {}

    // Any kind with the given parameters and inbound layers (by name).
    LayerPtr layer(LayerType type, std::string const& name, std::map<std::string, int> const& params,
                   std::vector<std::string> const& inbounds) {
        auto p = LayerParams::create(type, params);
        auto created = Layer::create(p.get(), name);
        model_->add(created, list(inbounds));
        return created;
    }

    LayerPtr input(std::string const& name, int channels = 4, int width = 8, int height = 8) {
        return layer(LayerType::InputData, name,
                     {{"input_width", width}, {"input_height", height}, {"input_channels", channels}}, {});
    }
    LayerPtr conv(std::string const& name, std::string const& inbound, int filters = 4) {
        return layer(LayerType::Conv2D, name, {{"kernel_size", 1}, {"filters", filters}}, {inbound});
    }
    LayerPtr input_conv(std::string const& name, std::string const& inbound, int filters = 4) {
        return layer(LayerType::InputConv2D, name, {{"kernel_size", 1}, {"filters", filters}}, {inbound});
    }
    LayerPtr buffer_temp_conv(std::string const& name, std::string const& inbound, int fifo_size,
                              int filters = 4) {
        return layer(LayerType::BufferTempConv, name, {{"fifo_size", fifo_size}, {"filters", filters}},
                     {inbound});
    }
    LayerPtr add(std::string const& name, std::string const& a, std::string const& b) {
        return layer(LayerType::Add, name, {}, {a, b});
    }
    LayerPtr concat(std::string const& name, std::vector<std::string> const& inbounds) {
        return layer(LayerType::Concatenate, name, {}, inbounds);
    }

    LayerPtr operator[](std::string const& name) const { return model_->get_layer(name); }
    std::vector<LayerPtr> list(std::vector<std::string> const& names) const {
        std::vector<LayerPtr> result;
        for (auto const& name : names) result.push_back(model_->get_layer(name));
        return result;
    }
    Model& model() { return *model_; }

private:
    std::unique_ptr<Model> model_;
};

}  // namespace nuvra::testing
