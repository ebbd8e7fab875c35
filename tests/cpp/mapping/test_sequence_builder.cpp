#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/presets.h"
#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/program_builder.h"
#include "mapping/sequence_builder.h"
#include "tests/cpp/mapping/mapping_fixtures.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/fake_layer.h"
#include "tests/cpp/support/model_builder.h"
#include "tests/cpp/support/recorder_doubles.h"

namespace nuvra {
namespace {

using hw::Type;
using testing::component;
using testing::IoRecorderDouble;
using testing::LayerRecorderDouble;
using testing::ModelBuilder;
using LayerPtrs = std::vector<std::shared_ptr<Layer>>;
using ComponentLists = std::vector<std::vector<hw::Component>>;

// A builder over a v2 device with recorder doubles; the layer recorder gives each layer the
// number of one-word tracks the test sets by name (none by default).
struct BuilderFixture {
    BuilderFixture()
        : device(make_fake_device(hw::Tolmar_v2, fake_mesh(IpVersion::v2))),
          builder(device, constraints, io, recorder) {
        recorder.on_record = [this](Layer const& layer) {
            auto const it = tracks.find(layer.get_name());
            return testing::record_with_tracks(std::vector<uint32_t>(it == tracks.end() ? 0 : it->second, 1));
        };
    }
    std::shared_ptr<FakeDevice> device;
    HardwareConstraints constraints;
    IoRecorderDouble io;
    LayerRecorderDouble recorder;
    std::map<std::string, uint32_t> tracks;
    HardwareSequenceBuilder builder;
};

std::vector<std::string> names_of(LayerPtrs const& layers) {
    std::vector<std::string> names;
    for (auto const& layer : layers) names.push_back(layer->get_name());
    return names;
}

// in -> a -> b -> add(a, b) -> c: the Add is a skip-DMA layer that c carries.
struct SkipModel {
    SkipModel() {
        model.input("in");
        model.conv("a", "in");
        model.conv("b", "a");
        model.add("add", "a", "b");
        model.conv("c", "add");
    }
    ModelBuilder model;
};

TEST(SequenceBuilder, CheckNumDescriptors) {
    struct Row {
        uint64_t a;
        uint64_t b;
        const char* message;  // "" for success
    };
    Row const rows[] = {
        {2, 127, ""},
        {1, 254, ""},
        {254, 1, ""},
        {1, 255, "Model is too big. The maximum number of descriptors is more than allowed. 255 are needed but 254 "
                 "are available."},
        {2, 128, "Model is too big. The maximum number of descriptors is more than allowed. 256 are needed but 254 "
                 "are available."},
        {1, 260, "Model is too big. The maximum number of descriptors is more than allowed. 260 are needed but 254 "
                 "are available."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.b);
        BuilderFixture f;
        SkipModel m;
        f.builder.add_layers(m.model.list({"in", "a", "b", "add"}), {}, testing::pass_components(m.model.list({"in", "a", "b", "add"})));
        ASSERT_TRUE(f.builder.has_pending());
        MappingStatus const status = f.builder.check_num_descriptors(m.model["a"], row.a, row.b);
        EXPECT_EQ(status.failed, *row.message != '\0');
        EXPECT_EQ(status.message, *row.message ? row.message : "Success.");
        // A failure empties the builder but keeps the held-back layer.
        EXPECT_EQ(f.builder.passes().empty(), status.failed);
        EXPECT_TRUE(f.builder.has_pending());
    }
}

TEST(SequenceBuilder, TrailingSkipDmaLayerOpensTheNextGroup) {
    BuilderFixture f;
    SkipModel m;
    EXPECT_EQ(f.builder.last_pass(), nullptr);
    LayerPtrs const first = m.model.list({"in", "a", "b", "add"});
    f.builder.add_layers(first, first, testing::pass_components(first));
    EXPECT_EQ(names_of(f.builder.first_pass()->layers), (std::vector<std::string>{"in", "a", "b"}));
    EXPECT_TRUE(f.builder.has_pending());

    LayerPtrs const second = m.model.list({"c"});
    f.builder.add_layers(second, first, {{component(Type::CNP1, {9, 0, 0, 0})}});
    EXPECT_FALSE(f.builder.has_pending());
    EXPECT_EQ(names_of(f.builder.last_pass()->layers), (std::vector<std::string>{"add", "c"}));
    EXPECT_EQ(names_of(f.builder.layers()), (std::vector<std::string>{"in", "a", "b", "add", "c"}));
}

TEST(SequenceBuilder, RefusesEmptyAndMismatchedGroups) {
    BuilderFixture f;
    SkipModel m;
    EXPECT_THROW(f.builder.add_layers({}, {}, {}), std::invalid_argument);
    EXPECT_THROW(f.builder.add_layers(m.model.list({"in", "a"}), {}, {{}}), std::invalid_argument);
    EXPECT_TRUE(f.builder.passes().empty());
    // A group of a lone skip-DMA layer makes no pass; the layer waits for the next group.
    LayerPtrs const add = m.model.list({"add"});
    f.builder.add_layers(add, add, {{}});
    EXPECT_TRUE(f.builder.passes().empty());
    EXPECT_TRUE(f.builder.has_pending());
    EXPECT_THROW(f.builder.build_sequence(), std::invalid_argument);
}

TEST(SequenceBuilder, LastSkipDmaLayerIsFlushedIntoTheLastPass) {
    BuilderFixture f;
    SkipModel m;
    LayerPtrs const group = m.model.list({"in", "a", "b", "add"});
    f.builder.add_layers(group, group, testing::pass_components(group));
    auto const [status, sequence] = f.builder.build_sequence();
    ASSERT_FALSE(status.failed) << status.message;
    ASSERT_TRUE(sequence);
    EXPECT_FALSE(f.builder.has_pending());
    ASSERT_EQ(sequence->passes().size(), 1u);
    EXPECT_EQ(names_of(sequence->passes().front()->layers), (std::vector<std::string>{"in", "a", "b", "add"}));
    std::vector<std::string> recorded;
    for (auto const& call : f.recorder.calls) recorded.push_back(call.layer);
    EXPECT_EQ(recorded, (std::vector<std::string>{"in", "a", "b", "add"}));
    EXPECT_NE(m.model["add"]->mapping(), nullptr);
}

TEST(SequenceBuilder, ClearKeepsAPendingLayer) {
    BuilderFixture f;
    SkipModel m;
    LayerPtrs const group = m.model.list({"in", "a", "b", "add"});
    f.builder.add_layers(group, group, testing::pass_components(group));
    f.builder.clear();
    EXPECT_TRUE(f.builder.passes().empty());
    EXPECT_TRUE(f.builder.layers().empty());
    EXPECT_TRUE(f.builder.has_pending());
    f.builder.add_layers(m.model.list({"c"}), group, {{component(Type::CNP1, {9, 0, 0, 0})}});
    EXPECT_EQ(names_of(f.builder.first_pass()->layers), (std::vector<std::string>{"add", "c"}));
}

TEST(SequenceBuilder, FirstLayerColumnRange) {
    ModelBuilder model;
    model.input("in");
    model.input_conv("hrc", "in");
    model.conv("a", "hrc");
    LayerPtrs const hrc_pass = model.list({"in", "hrc", "a"});
    ComponentLists components{{}, {component(Type::HRC)},
                              {component(Type::CNP1, {3, 1, 0, 0}), component(Type::CNP1, {6, 0, 0, 0}),
                               component(Type::CNP1, {2, 2, 0, 0})}};
    HardwarePass const pass(hrc_pass, hrc_pass, components, testing::pass_dma, nullptr);
    EXPECT_EQ(pass_first_layer_col_range(pass, true), (std::pair<uint8_t, uint8_t>{0, 0}));
    // Not the HRC's own pass: the columns of the layer the HRC feeds.
    EXPECT_EQ(pass_first_layer_col_range(pass, false), (std::pair<uint8_t, uint8_t>{2, 6}));

    ModelBuilder alone;
    alone.input("in");
    alone.input_conv("hrc", "in");
    LayerPtrs const lone = alone.list({"in", "hrc"});
    HardwarePass const lone_pass(lone, lone, {{}, {component(Type::HRC)}}, testing::pass_dma, nullptr);
    EXPECT_THROW(pass_first_layer_col_range(lone_pass, false), std::out_of_range);
    LayerPtrs const only_a = model.list({"a"});
    HardwarePass const a_pass(only_a, only_a, {{component(Type::HRC, {4, 0, 0, 0})}}, testing::pass_dma, nullptr);
    EXPECT_EQ(pass_first_layer_col_range(a_pass, false), (std::pair<uint8_t, uint8_t>{1, 1}));
}

// pass_components with an NP part on every CNP component, in dual-buffer mode.
ComponentLists np_components(LayerPtrs const& layers) {
    ComponentLists lists = testing::pass_components(layers);
    for (auto& list : lists)
        for (auto& c : list)
            if (c.type == Type::CNP1) c.np_part = hw::NpPart{0, 4, {}, {}, false};
    return lists;
}

// in -> a -> b -> c, split into passes by the given groups, with the components of
// np_components (one CNP per layer, columns counting from 1 in each pass).
struct ChainSequence {
    explicit ChainSequence(std::vector<std::vector<std::string>> const& groups) {
        model.input("in");
        model.conv("a", "in");
        model.conv("b", "a");
        model.conv("c", "b");
        LayerPtrs const all = model.list({"in", "a", "b", "c"});
        for (auto const& group : groups) {
            LayerPtrs const layers = model.list(group);
            f.builder.add_layers(layers, all, np_components(layers));
        }
    }
    ModelBuilder model;
    BuilderFixture f;
};

TEST(ProgramBuilding, OnePass) {
    ChainSequence s({{"in", "a", "b", "c"}});
    s.f.tracks = {{"a", 3}, {"b", 2}, {"c", 1}};
    auto const [status, sequence] = s.f.builder.build_sequence();
    ASSERT_FALSE(status.failed) << status.message;
    ASSERT_TRUE(sequence);
    EXPECT_TRUE(s.f.builder.passes().empty());
    EXPECT_EQ(sequence->name(), "HW/in-c");

    // Every layer in order, with the sequence's first mappable layer and no next pass.
    ASSERT_EQ(s.f.recorder.calls.size(), 4u);
    for (auto const& call : s.f.recorder.calls) {
        EXPECT_EQ(call.other, "a");
        EXPECT_EQ(call.link, nullptr);
        EXPECT_FALSE(call.a || call.b || call.c || call.d);
    }
    ASSERT_EQ(s.f.io.epg_calls.size(), 1u);
    EXPECT_EQ(s.f.io.epg_calls[0].layer, "a");
    EXPECT_EQ(s.f.io.epg_calls[0].a, 1);  // lowest column
    EXPECT_EQ(s.f.io.epg_calls[0].b, 1);  // highest column
    EXPECT_EQ(s.f.io.epg_calls[0].c, 1);
    EXPECT_FALSE(s.f.io.epg_calls[0].e);

    auto const bytes = sequence->program();
    ProgramInfo const info(bytes.data(), bytes.size());
    // SCC 1 + 3 + 2 + 1 descriptors, plus one.
    EXPECT_EQ(info.info().num_descriptors(), 8);
    EXPECT_EQ(info.info().passes()->size(), 1u);
    EXPECT_EQ(info.data().dummy_desc_header()->first(), 0u);
    auto const parts = sequence->program_parts();
    EXPECT_EQ(std::vector<uint8_t>(parts.program_info.begin(), parts.program_info.end()), info.info_bytes());
    EXPECT_EQ(std::vector<uint8_t>(parts.program_data.begin(), parts.program_data.end()), info.data_bytes());
}

TEST(ProgramBuilding, TwoPassesShareAnNpWithDualBuffers) {
    ChainSequence s({{"in", "a", "b"}, {"c"}});
    auto const [status, sequence] = s.f.builder.build_sequence();
    ASSERT_FALSE(status.failed) << status.message;
    // b (column 2, the last of the first pass) and c (column 1, the first of the second) are on
    // different NPs: every NP works with a single buffer.
    auto const a = *s.model["a"]->mapping()->components;
    auto const b = *s.model["b"]->mapping()->components;
    auto const c = *s.model["c"]->mapping()->components;
    EXPECT_TRUE(a.front().single_buffer());
    EXPECT_TRUE(b.front().single_buffer());
    EXPECT_TRUE(c.front().single_buffer());

    // The unused-NP program of the first pass goes through c, with its link index.
    ASSERT_EQ(s.f.recorder.calls.size(), 5u);
    auto const& unused = s.f.recorder.calls[3];
    EXPECT_EQ(unused.layer, "c");
    EXPECT_TRUE(unused.c);
    EXPECT_EQ(unused.nps, (std::vector<hw::Ident>{{1, 0, 0, 0}, {2, 0, 0, 0}}));
    EXPECT_EQ(unused.index, layer_mapping(s.model["c"])->input_link_index);
    // b ends a pass that is not the last; c starts one that is not the first.
    EXPECT_TRUE(s.f.recorder.calls[2].b);
    EXPECT_EQ(s.f.recorder.calls[2].link, s.model["c"]);
    EXPECT_TRUE(s.f.recorder.calls[4].a);

    auto const bytes = sequence->program();
    ProgramInfo const info(bytes.data(), bytes.size());
    EXPECT_EQ(info.info().passes()->size(), 2u);
    EXPECT_NE(info.data().dummy_desc_header()->first(), 0u);
}

TEST(ProgramBuilding, NpEndingAndStartingPassesKeepsDualBuffer) {
    ChainSequence s({{"in", "a"}, {"b", "c"}});
    // The first pass's last layer a and the second pass's first layer b are both in column 1.
    auto const [status, sequence] = s.f.builder.build_sequence();
    ASSERT_FALSE(status.failed) << status.message;
    EXPECT_FALSE(s.model["a"]->mapping()->components->front().single_buffer());
    EXPECT_FALSE(s.model["b"]->mapping()->components->front().single_buffer());
    EXPECT_TRUE(s.model["c"]->mapping()->components->front().single_buffer());
}

TEST(ProgramBuilding, DescriptorCountsDoNotWrap) {
    struct Row {
        std::vector<std::vector<std::string>> groups;
        std::map<std::string, uint32_t> tracks;
        const char* failing;  // "" for success
        const char* message;
    };
    Row const rows[] = {
        // 1 + 250 + 10 would wrap to 5 in eight bits.
        {{{"in", "a", "b", "c"}}, {{"a", 250}, {"b", 10}}, "b",
         "Model is too big. The maximum number of descriptors is more than allowed. 261 are needed but 254 are "
         "available."},
        // One pass of 253: 254 descriptors with the final one.
        {{{"in", "a", "b", "c"}}, {{"a", 250}, {"b", 2}}, "", ""},
        {{{"in", "a", "b", "c"}}, {{"a", 250}, {"b", 3}}, "c",
         "Model is too big. The maximum number of descriptors is more than allowed. 255 are needed but 254 are "
         "available."},
        // Two passes: the largest pass holds 126 (2 x 127 = 254) or 127 (2 x 128 = 256).
        {{{"in", "a"}, {"b", "c"}}, {{"b", 100}, {"c", 26}}, "", ""},
        {{{"in", "a"}, {"b", "c"}}, {{"b", 100}, {"c", 27}}, "c",
         "Model is too big. The maximum number of descriptors is more than allowed. 256 are needed but 254 are "
         "available."},
        // A layer of the second pass counts twice: 2 x 128.
        {{{"in", "a"}, {"b", "c"}}, {{"b", 128}}, "b",
         "Model is too big. The maximum number of descriptors is more than allowed. 256 are needed but 254 are "
         "available."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.message);
        ChainSequence s(row.groups);
        s.f.tracks = row.tracks;
        auto const [status, sequence] = s.f.builder.build_sequence();
        EXPECT_EQ(status.failed, *row.failing != '\0');
        if (status.failed) {
            EXPECT_EQ(status.layer_name, row.failing);
            EXPECT_EQ(status.message, row.message);
            EXPECT_EQ(sequence, nullptr);
            EXPECT_TRUE(s.f.builder.passes().empty());
        } else {
            ASSERT_TRUE(sequence);
            auto const bytes = sequence->program();
            ProgramInfo const info(bytes.data(), bytes.size());
            EXPECT_LE(uint64_t{info.info().num_descriptors()} * info.info().passes()->size(), 254u);
        }
    }
}

TEST(ProgramBuilding, OutputValues) {
    struct Row {
        LayerType type;
        uint8_t input_bits;
        uint8_t output_bits;
        uint8_t bits;
        bool narrow;
    };
    Row const rows[] = {
        {LayerType::Dequantizer, 4, 32, 4, true},
        {LayerType::Dequantizer, 16, 8, 16, false},
        {LayerType::Conv2D, 16, 8, 8, true},
        {LayerType::Conv2D, 8, 16, 16, false},
    };
    for (auto const& row : rows) {
        testing::FakeLayer layer("last");
        layer.set_params(row.type).set_bits(row.input_bits, row.output_bits);
        EXPECT_EQ(program_output_bits(layer), row.bits);
        EXPECT_EQ(program_narrow_output(layer), row.narrow);
    }
}

TEST(ProgramBuilding, InputShapeFlattensDense1D) {
    testing::FakeLayer dense("dense");
    dense.set_params(LayerType::Dense1D, {{"units", 2}}).set_input_dims({Shape{4, 4, 8}});
    EXPECT_EQ(program_input_shape(dense), (Shape{1, 1, 128}));
    testing::FakeLayer conv("conv");
    conv.set_params(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}).set_input_dims({Shape{4, 4, 8}});
    EXPECT_EQ(program_input_shape(conv), (Shape{4, 4, 8}));
    dense.set_input_dims({Shape{65536, 65536, 2}});
    EXPECT_THROW(program_input_shape(dense), std::runtime_error);
}

TEST(ProgramBuilding, FnpPaddingFlag) {
    using testing::FakeLayer;
    auto const make = [](std::set<ComponentKind> kinds, int format, uint8_t output_bits) {
        auto layer = FakeLayer::make("l", std::move(kinds));
        layer->set_format_code(format).set_bits(8, output_bits);
        return layer;
    };
    auto const tnp = make({ComponentKind::TNP_B}, 2, 8);
    auto const fnp = make({ComponentKind::FNP}, 2, 8);
    struct Row {
        std::shared_ptr<FakeLayer> layer;
        std::shared_ptr<Layer> next;
        bool flag;
    };
    Row const rows[] = {
        {make({ComponentKind::CNP}, 2, 8), tnp, true},
        {make({ComponentKind::CNP}, 1, 8), tnp, false},
        {make({ComponentKind::CNP}, 2, 8), nullptr, false},
        {make({ComponentKind::CNP}, 2, 4), fnp, true},
        {make({ComponentKind::FNP}, 2, 4), fnp, false},
    };
    for (auto const& row : rows) EXPECT_EQ(fnp_padding_flag(*row.layer, row.next), row.flag);
}

}  // namespace
}  // namespace nuvra
