// Small builders of real engine layers and models for tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/layers.h"
#include "engine/model.h"

namespace nuvra::testing {

// A layer of `type` with `entries` (the kind adds its defaults).
inline std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries,
                                         std::string const& name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), name);
}

// An InputData layer of (width, height, channels).
inline std::shared_ptr<Layer> make_input(uint32_t width, uint32_t height, uint32_t channels, int bits = 8,
                                         bool is_signed = false, std::string const& name = "input") {
    return make_layer(LayerType::InputData,
                      {{"input_width", static_cast<int>(width)},
                       {"input_height", static_cast<int>(height)},
                       {"input_channels", static_cast<int>(channels)},
                       {"input_bits", bits},
                       {"input_signed", is_signed ? 1 : 0}},
                      name);
}

// A model holding an InputData layer of (width, height, channels) and then `layer`, linked to it.
inline std::unique_ptr<Model> model_with(std::shared_ptr<Layer> const& layer, uint32_t width, uint32_t height,
                                         uint32_t channels, int bits = 8) {
    auto model = Model::create();
    model->add(make_input(width, height, channels, bits));
    model->add(layer);
    return model;
}

// The engine implementation of a layer made by Layer::create.
inline LayerImpl& impl(Layer& layer) { return dynamic_cast<LayerImpl&>(layer); }

}  // namespace nuvra::testing
