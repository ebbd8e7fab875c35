// The third-generation device, and TNP-R chains of real engine layers: an input of 1 x timesteps x channels.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/layers.h"
#include "hw/presets.h"
#include "support/fake_device.h"
#include "support/model_builder.h"
#include "support/ops_test_util.h"

namespace nuvra::wisp::testing {

// A device without hardware on the third generation's default mesh.
inline std::shared_ptr<FakeDevice> wisp_device() { return make_fake_device(hw::Wisp_Tolmar, hw::default_wisp_mesh()); }

struct Chain {
    explicit Chain(int channels = 4, int bits = 8, int timesteps = 16) {
        m.layer(LayerType::InputData, "in",
                {{"input_width", 1}, {"input_height", timesteps}, {"input_channels", channels}, {"input_bits", bits}},
                {});
    }
    // A recurrent layer of 4 states and 4 outputs unless `params` says otherwise.
    Chain& sr(std::string const& name, std::string const& inbound, std::map<std::string, int> params = {}) {
        params.try_emplace("stateful_channels", 4);
        params.try_emplace("output_channels", 4);
        m.layer(LayerType::StatefulRecurrent, name, params, {inbound});
        return *this;
    }
    // A post-processing layer; an inbound recurrent layer gets the output scale 1 it needs.
    Chain& pp(std::string const& inbound) {
        if (m[inbound]->params()->layer_type() == LayerType::StatefulRecurrent)
            m[inbound]->variables().set("output_scales", nuvra::testing::u8({1}, {1}));
        m.layer(LayerType::WispPostProcessing, "pp", {}, {inbound});
        return *this;
    }
    // in -> sr1 -> sr2 -> pp, which passes every check.
    Chain& two_layers_and_post_processing() {
        return sr("sr1", "in").sr("sr2", "sr1", {{"output_channels", 1}}).pp("sr2");
    }

    // Gives `name` one component on the TNP-R at `ident`, as the mapping does.
    void map_on(std::string const& name, hw::Ident ident) {
        hw::Component tnpr;
        tnpr.type = hw::Type::TNP_R;
        tnpr.ident = ident;
        auto mapping = std::make_shared<Layer::Mapping>();
        mapping->components = std::make_shared<std::vector<hw::Component>>(1, tnpr);
        set_layer_mapping(*m[name], mapping);
    }

    std::shared_ptr<Layer> operator[](std::string const& name) const { return m[name]; }

    nuvra::testing::ModelBuilder m;
};

}  // namespace nuvra::wisp::testing
