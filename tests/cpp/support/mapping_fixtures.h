// Shared pieces of the layer-mapping tests: small models written in one line or drawn at random,
// the component lists a pass's layers get from the mesh mapper, and a check of the text of a
// thrown exception.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/skip_dma.h"
#include "support/error_text.h"
#include "support/model_builder.h"

namespace nuvra::testing {

// A model written as words "name<input,input": in* an 8 x 8 x 4 input, hrc* an InputConv2D, add*
// an Add, cat* a Concatenate, t* a BufferTempConv of fifo_size 3, anything else a 1 x 1 Conv2D of
// 4 filters; "name:N" sets the filters (the fifo_size of a t* layer).
inline ModelBuilder build_model(std::string const& words) {
    ModelBuilder model;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        auto const arrow = word.find('<');
        std::string name = word.substr(0, arrow);
        int n = -1;
        if (auto const colon = name.find(':'); colon != std::string::npos) {
            n = std::stoi(name.substr(colon + 1));
            name.resize(colon);
        }
        std::vector<std::string> inputs;
        std::istringstream list(arrow == std::string::npos ? "" : word.substr(arrow + 1));
        for (std::string input; std::getline(list, input, ',');) inputs.push_back(input);
        if (inputs.empty()) model.input(name);
        else if (name.starts_with("hrc")) model.input_conv(name, inputs[0]);
        else if (name.starts_with("add")) model.add(name, inputs.at(0), inputs.at(1));
        else if (name.starts_with("cat")) model.concat(name, inputs);
        else if (name.starts_with("t")) model.buffer_temp_conv(name, inputs[0], n < 0 ? 3 : n);
        else model.conv(name, inputs[0], n < 0 ? 4 : n);
    }
    return model;
}

// A number below `n` (0 when `n` is 0).
inline size_t below(std::mt19937& rng, size_t n) { return n == 0 ? 0 : size_t(rng() % n); }

// A random model, the same for the same seed: `steps` Conv2Ds (merge layers after an Add or a
// Concatenate), TNP-B layers, Adds and Concatenates, reading mostly the last few layers, so that
// skip connections are short or long, splits lead to branches of equal or unequal depth, some
// producers feed two or more branches and some end the model. Every layer but a Concatenate has 4
// channels.
inline ModelBuilder random_model(uint32_t seed, size_t steps) {
    std::vector<std::string> produced{"in"};
    ModelBuilder model;
    model.input("in");
    std::mt19937 rng(seed);
    for (size_t i = 0; i < steps; ++i) {
        std::string const name = std::to_string(i);
        size_t const kind = below(rng, 10);
        auto const pick = [&] {
            size_t const near = std::min<size_t>(3, produced.size());
            size_t const back = below(rng, 3) == 0 ? below(rng, produced.size()) : below(rng, near);
            return produced[produced.size() - 1 - back];
        };
        std::string const a = pick();
        if (kind < 5) {
            produced.push_back(model.conv("c" + name, a)->get_name());
        } else if (kind == 5) {
            produced.push_back(model.buffer_temp_conv("t" + name, a, 1 + int(below(rng, 4)))->get_name());
        } else {
            std::string b = pick();
            for (size_t tries = 0; tries < 4 && b == a; ++tries) b = pick();
            if (b == a) continue;
            // The merge layer after the Add or Concatenate, and now and then a second reader of
            // it: a dual output, at the same depth or deeper.
            std::string const merge = kind < 8 ? "add" + name : "cat" + name;
            if (kind < 8) model.add(merge, a, b);
            else model.concat(merge, {a, b});
            produced.push_back(model.conv("m" + name, merge)->get_name());
            if (below(rng, 3) == 0)
                produced.push_back(model.conv("d" + name, below(rng, 2) == 0 ? merge : "m" + name)->get_name());
            if (kind < 8 && below(rng, 4) == 0) produced.push_back(merge);
        }
    }
    return model;
}

inline hw::Component component(hw::Type type, hw::Ident ident = {}) {
    hw::Component c;
    c.type = type;
    c.ident = ident;
    return c;
}

// What the mesh mapper gives each layer of a pass: an HRC component for an HRC layer, nothing for
// a layer without NP, otherwise one NP (in column 1, 2, ... of the pass) and the skip DMAs the
// layer needs.
inline std::vector<std::vector<hw::Component>> pass_components(LayerList const& layers) {
    std::vector<std::vector<hw::Component>> result;
    uint8_t column = 1;
    for (auto const& layer : layers) {
        std::vector<hw::Component> components;
        if (layer->is_target_component(ComponentKind::HRC)) {
            components.push_back(component(hw::Type::HRC));
        } else if (!layer->is_target_component(ComponentKind::None) &&
                   !layer->is_target_component(ComponentKind::SKIP_DMA)) {
            hw::Type np = layer->is_target_component(ComponentKind::TNP_B) ? hw::Type::TNP_B
                                                                            : hw::Type::CNP1;
            std::vector<hw::Type> types{np};
            if (layer_need_store_dma(layer)) types.push_back(hw::Type::SKIP_DMA_STORE);
            if (layer_need_load_dma(layer)) types.push_back(hw::Type::SKIP_DMA_LOAD);
            components.push_back(component(np, {column++, 0, 0, 0}));
            request_skipdma(&components, types, layer);
        }
        result.push_back(components);
    }
    return result;
}

inline hw::Ident const pass_dma{0, 0, 1, 0};

// A layer's name, "-" for none, and the names of a list of layers.
inline std::string name_of(std::shared_ptr<Layer> const& layer) { return layer ? layer->get_name() : "-"; }
inline std::vector<std::string> names_of(LayerList const& layers) {
    std::vector<std::string> names;
    for (auto const& layer : layers) names.push_back(name_of(layer));
    return names;
}

// Runs `call` and checks that it throws std::runtime_error with exactly `message`.
inline void expect_runtime_error(std::function<void()> const& call, std::string const& message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (std::runtime_error const& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

}  // namespace nuvra::testing
