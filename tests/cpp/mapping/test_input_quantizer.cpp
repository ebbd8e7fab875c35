// A Quantizer first in a model, given the input shape: the program describes the samples it
// quantizes, and is otherwise the program of the same model behind an InputData of the Quantizer's
// shape, output bits and sign.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "engine/layers.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/model_builder.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using testing::ModelBuilder;

template <class T>
std::vector<T> values(flatbuffers::Vector<T> const* v) {
    return v == nullptr ? std::vector<T>() : std::vector<T>(v->begin(), v->end());
}

std::string span_text(fb::TrackSpan const* span) {
    return span == nullptr ? "-" : fmt::format("{}+{}", span->offset(), span->size());
}

std::string record_text(fb::RecordSpans const* record) {
    if (record == nullptr) return "-";
    std::string text;
    if (record->tracks() != nullptr)
        for (auto const* span : *record->tracks()) text += span_text(span) + " ";
    if (auto const* fnp2 = record->fnp2_filters())
        text += fmt::format("fnp2 {}+{} at {}.{}.{}", fnp2->offset(), fnp2->size(), fnp2->ident().col(),
                            fnp2->ident().row(), fnp2->ident().id());
    return text;
}

std::string skip_dma_text(flatbuffers::Vector<fb::SKipDmaInfoTrack const*> const* tracks) {
    std::string text;
    if (tracks != nullptr)
        for (auto const* t : *tracks)
            text += fmt::format("({} {} {} {} {} {} {} {})", t->col(), t->row(), t->id(), t->channel(), t->on_tnp_b(),
                                t->delay(), t->skip_channel(), t->size());
    return text;
}

// Every field of a program header but the five of the input side (17 to 21), as text.
std::string header_but_input(fb::ProgramInfo const& h) {
    std::string text = fmt::format(
        "version {}; device {}.{}.{}.{}; in {}; out {}; types {} {}; output bits {} activation {}; params {} {}; "
        "shift {}; scales {}; descriptors {}; post-processing {}\n",
        h.version() ? h.version()->str() : "-", h.device_version()->vendor_id(), h.device_version()->product_id(),
        h.device_version()->major_rev(), h.device_version()->minor_rev(), values(h.input_dims()),
        values(h.output_dims()), int(h.input_type()), int(h.output_type()), h.output_bits(), h.output_activation(),
        h.input_param_b(), h.input_param_a(), values(h.output_shift()), values(h.output_scales()), h.num_descriptors(),
        h.post_processing());
    if (h.epg_registers() != nullptr)
        for (auto const* r : *h.epg_registers()) text += fmt::format("epg {:#x}={:#x}\n", r->reg(), r->value());
    if (h.passes() != nullptr)
        for (auto const* pass : *h.passes()) {
            text += "pass\n";
            if (pass->records() != nullptr)
                for (auto const* record : *pass->records()) text += "  record " + record_text(record) + "\n";
            text += "  stores " + skip_dma_text(pass->skipdma_stores()) + "\n";
            text += "  loads " + skip_dma_text(pass->skipdma_loads()) + "\n";
        }
    if (auto const* learning = h.learning_layer())
        text += fmt::format("learning {} {} {} at {}.{}.{}\n", span_text(learning->first_track()),
                            span_text(learning->second_track()), record_text(learning->third()),
                            learning->ident() ? learning->ident()->col() : 0,
                            learning->ident() ? learning->ident()->row() : 0,
                            learning->ident() ? learning->ident()->id() : 0);
    return text + "dummy " + span_text(h.dummy_desc_header()) + "\n";
}

// Where the mapping put each layer, with the memory it sized there: the NP components, then the
// skip-DMA engines.
std::vector<std::vector<hw::Component>> placement(Model const& model) {
    std::vector<std::vector<hw::Component>> result;
    for (auto const& layer : model.layers()) {
        auto const mapping = layer_mapping(layer);
        auto& components = result.emplace_back();
        if (!mapping) continue;
        if (mapping->components) components = *mapping->components;
        for (hw::Component const* c :
             {mapping->skipdma_load(), mapping->skipdma_store(), mapping->skipdma_store_dual_output()})
            if (c != nullptr) components.push_back(*c);
    }
    return result;
}

struct Mapped {
    std::string refusal;           // the mapping's, when it fails
    std::string name;              // the one sequence's
    std::vector<uint8_t> program;  // its program
    std::vector<std::vector<hw::Component>> placement;
};

Mapped map_one(Model& model, std::shared_ptr<Device> const& device) {
    Mapped mapped;
    mapped.refusal = testing::error_text<std::runtime_error>([&] { model.map(device); });
    if (!mapped.refusal.empty()) return mapped;
    EXPECT_EQ(model.sequences().size(), 1u);
    if (model.sequences().size() != 1) return mapped;
    Sequence const& sequence = *model.sequences().front();
    mapped.name = sequence.name();
    mapped.program.assign(sequence.program().begin(), sequence.program().end());
    mapped.placement = placement(model);
    return mapped;
}

// The first layer "q" of a row's model: the Quantizer given the input shape, or its InputData twin.
struct Head {
    int width, height, channels, bits, is_signed, channels_first;

    // The Quantizer's scales (0.5 per channel more) and zero points (3 upwards), channel by channel.
    std::vector<float> scales() const {
        std::vector<float> v;
        for (int c = 0; c < channels; ++c) v.push_back(0.5f * float(c + 1));
        return v;
    }
    std::vector<uint8_t> zero_points() const {
        std::vector<uint8_t> v;
        for (int c = 0; c < channels; ++c) v.push_back(uint8_t(c + 3));
        return v;
    }
};

void add_head(ModelBuilder& m, Head const& h, bool quantizer) {
    std::map<std::string, int> shape{{"input_width", h.width}, {"input_height", h.height},
                                     {"input_channels", h.channels}};
    if (!quantizer) {
        shape.insert({{"input_bits", h.bits}, {"input_signed", h.is_signed}});
        m.layer(LayerType::InputData, "q", shape, {});
        return;
    }
    shape.insert({{"output_bits", h.bits}, {"output_signed", h.is_signed}, {"channels_first", h.channels_first}});
    m.layer(LayerType::Quantizer, "q", shape, {});
    uint32_t const n = uint32_t(h.channels);
    m["q"]->variables().set("scales", testing::f32({n}, h.scales()));
    m["q"]->variables().set("zero_points", testing::u8({n}, h.zero_points()));
}

std::shared_ptr<LearningParams> learning() {
    return LearningParams::create(LearningType::NuvraUnsupervised,
                                  {{"num_classes", 2}, {"num_weights", 4}, {"initial_plasticity", 0.5},
                                   {"learning_competition", 0.25}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.5}});
}

TEST(InputQuantizer, MapsAsItsInputDataTwinWithTheQuantizationInTheHeader) {
    struct Row {
        char const* what;
        HwVersion version;
        Mesh mesh;
        Head head;
        std::function<void(ModelBuilder&)> rest;  // the layers after "q"
        char const* sequence;                     // the name of the one sequence; null when refused
        char const* refusal = "";                 // the mapping's refusal; empty when it maps
    };
    Row const rows[] = {
        {"v2 Conv2D", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), {8, 8, 3, 8, 0, 1},
         [](ModelBuilder& m) {
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {"q"});
         },
         "HW/q-c"},
        {"v2 InputConv2D on the HRC", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), {8, 8, 3, 8, 0, 1},
         [](ModelBuilder& m) {
             m.layer(LayerType::InputConv2D, "h",
                     {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 1}}, {"q"});
             m["h"]->variables().set("weights", testing::i8({3, 3, 3, 4}, std::vector<int8_t>(108, 1)));
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}}, {"h"});
         },
         "HW/q-c"},
        {"v2 signed, Dense1D", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), {2, 2, 4, 8, 1, 0},
         [](ModelBuilder& m) { m.layer(LayerType::Dense1D, "d", {{"units", 3}}, {"q"}); }, "HW/q-d"},
        {"v2 Conv2D -> BufferTempConv", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), {4, 4, 2, 8, 0, 0},
         [](ModelBuilder& m) {
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}}, {"q"});
             m.buffer_temp_conv("t", "c", 3);
         },
         "HW/q-t"},
        // A frame buffer fed by the host has no NPs to route its store to, whatever the input layer.
        {"v2 BufferTempConv first", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), {4, 4, 2, 8, 0, 0},
         [](ModelBuilder& m) { m.buffer_temp_conv("t", "q", 3); }, nullptr,
         "Cannot map layer 't'. Error: Merging layer has no CNPs."},
        {"v1 FullyConnected", hw::ZR62_v1, roomy_mesh(IpVersion::v1, 16), {1, 1, 8, 4, 0, 0},
         [](ModelBuilder& m) { m.layer(LayerType::FullyConnected, "fc", {{"units", 4}}, {"q"}); }, "HW/q-fc"},
        {"v1 learning FullyConnected", hw::ZR62_v1, roomy_mesh(IpVersion::v1, 16), {1, 1, 8, 1, 0, 1},
         [](ModelBuilder& m) {
             m.layer(LayerType::FullyConnected, "fc", {{"units", 4}, {"weights_bits", 1}, {"activation", 1},
                                                        {"act_bits", 1}}, {"q"});
             // Each neuron keeps as many connections as it learns with.
             std::vector<int8_t> weights(32, 0);
             for (size_t i = 0; i < weights.size(); ++i) weights[i] = int8_t(i % 8 < 4);
             m["fc"]->variables().set("weights", testing::i8({4, 8, 1, 1}, weights));
             m.model().compile(learning());
         },
         "HW/q-fc"},
        {"v1 Convolutional", hw::ZR62_v1, roomy_mesh(IpVersion::v1, 16), {8, 8, 4, 4, 0, 0},
         [](ModelBuilder& m) {
             m.layer(LayerType::Convolutional, "cv", {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8},
                                                      {"padding", 1}, {"activation", 1}, {"act_bits", 1}}, {"q"});
         },
         "HW/q-cv"},
        {"wisp StatefulRecurrent -> Dequantizer", hw::Wisp_Tolmar, hw::default_wisp_mesh(), {1, 16, 4, 8, 1, 0},
         [](ModelBuilder& m) {
             m.layer(LayerType::StatefulRecurrent, "sr", {{"stateful_channels", 4}, {"output_channels", 4}}, {"q"});
             m.layer(LayerType::Dequantizer, "dq", {}, {"sr"});
         },
         "HW/q-dq"},
        {"wisp StatefulRecurrent -> WispPostProcessing", hw::Wisp_Tolmar, hw::default_wisp_mesh(),
         {1, 16, 4, 16, 1, 1},
         [](ModelBuilder& m) {
             m.layer(LayerType::StatefulRecurrent, "sr", {{"stateful_channels", 4}, {"output_channels", 1}}, {"q"});
             m["sr"]->variables().set("output_scales", testing::u8({1}, {1}));
             m.layer(LayerType::WispPostProcessing, "pp", {}, {"sr"});
         },
         "HW/q-pp"},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.what);
        auto const device = make_fake_device(row.version, row.mesh);
        ModelBuilder quantized, twin;
        add_head(quantized, row.head, true);
        add_head(twin, row.head, false);
        row.rest(quantized);
        row.rest(twin);
        Mapped const q = map_one(quantized.model(), device);
        Mapped const t = map_one(twin.model(), device);
        EXPECT_EQ(q.refusal, row.refusal);
        EXPECT_EQ(t.refusal, row.refusal);
        if (row.sequence == nullptr || q.program.empty() || t.program.empty()) continue;
        EXPECT_EQ(q.name, row.sequence);
        ProgramInfo const qi(q.program.data(), q.program.size()), ti(t.program.data(), t.program.size());
        EXPECT_EQ(qi.data_bytes(), ti.data_bytes());
        EXPECT_EQ(header_but_input(qi.info()), header_but_input(ti.info()));
        EXPECT_EQ(q.placement, t.placement);

        fb::ProgramInfo const& h = qi.info();
        Head const& head = row.head;
        EXPECT_EQ(h.input_bits(), head.bits);
        EXPECT_EQ(h.input_signed(), head.is_signed != 0);
        EXPECT_EQ(h.input_channels_first(), head.channels_first != 0);
        EXPECT_EQ(values(h.input_scales()), head.scales());
        EXPECT_EQ(values(h.input_zero_points()), head.zero_points());
        // The twin's header describes an InputData: no quantization.
        EXPECT_EQ(values(ti.info().input_scales()), std::vector<float>());
        EXPECT_EQ(values(ti.info().input_zero_points()), std::vector<uint8_t>());
        EXPECT_FALSE(ti.info().input_channels_first());
    }
}

}  // namespace
}  // namespace nuvra
