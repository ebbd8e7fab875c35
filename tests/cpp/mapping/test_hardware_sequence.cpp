#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/presets.h"
#include "mapping/hardware_sequence.h"
#include "mapping/program_builder.h"
#include "mapping/sequence_builder.h"
#include "support/fake_hardware_device.h"
#include "support/fake_layer.h"
#include "support/mapping_fixtures.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using hw::Type;
using namespace testing;
using LayerPtrs = std::vector<std::shared_ptr<Layer>>;
using Names = std::vector<std::string>;
using Calls = std::vector<std::string>;

LayerPtrs named(Names const& names) {
    LayerPtrs layers;
    for (auto const& name : names) layers.push_back(FakeLayer::make(name));
    return layers;
}

// A program of `size` bytes whose first little-endian word is `length`; byte i >= 4 holds i.
std::vector<uint8_t> program_bytes(uint32_t length, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = i < 4 ? uint8_t(length >> (8 * i)) : uint8_t(i);
    return bytes;
}

std::vector<std::shared_ptr<const Tensor>> samples(size_t count) {
    std::vector<std::shared_ptr<const Tensor>> inputs;
    for (size_t i = 0; i < count; ++i) inputs.push_back(std::make_shared<ValueTensor>(int32_t(i)));
    return inputs;
}

TEST(HardwareSequence, NameAndProgramParts) {
    EXPECT_EQ(HardwareSequence(nullptr, {}, named({"a", "m", "b"}), {}, {}).name(), "HW/a-b");
    struct Row { uint32_t length; size_t size, info; const char* failure; };  // info: bytes with the length word
    Row const rows[] = {
        {100, 150, 104, ""}, {0, 3, 0, "Invalid program: 3 bytes cannot hold the program_info length."},
        {100, 103, 0, "Invalid program: a program_info of 100 bytes does not fit 103 bytes."},
        {0xFFFFFFFF, 8, 0, "Invalid program: a program_info of 4294967295 bytes does not fit 8 bytes."},
    };
    for (auto const& row : rows) {
        HardwareSequence const sequence(nullptr, {}, named({"a"}), {}, program_bytes(row.length, row.size));
        if (*row.failure) {
            expect_runtime_error([&] { sequence.program_parts(); }, row.failure);
            continue;
        }
        auto const whole = sequence.program();
        auto const parts = sequence.program_parts();
        EXPECT_EQ(parts.program_info.data(), whole.data());
        EXPECT_EQ(parts.program_info.size(), row.info);
        EXPECT_EQ(parts.program_data.data(), whole.data() + row.info);
        EXPECT_EQ(parts.program_data.size(), row.size - row.info);
    }
}

TEST(HardwareSequence, ForwardProgramsTheDeviceOnlyWhenItHoldsOtherBytes) {
    HardwareSequence virtual_device(make_fake_device(hw::Tolmar_v2), {}, named({"a"}), {}, program_bytes(0, 8));
    expect_runtime_error([&] { virtual_device.forward_samples(samples(1), nullptr); },
                         "An actual hardware device is required.");

    auto device = make_fake_host_device(hw::Tolmar_v2);
    HardwareSequence first(device, {}, named({"a"}), {}, program_bytes(0, 8));
    HardwareSequence second(device, {}, named({"b"}), {}, program_bytes(0, 9));
    auto const outputs = first.forward_samples(samples(2), nullptr);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(dynamic_cast<ValueTensor const&>(*outputs[1]).value(), 201);
    first.forward_samples(samples(1), nullptr);
    second.forward_samples(samples(1), nullptr);
    first.forward_samples(samples(1), nullptr);
    EXPECT_EQ(device->fake().calls, (Calls{"program", "batch 2", "forward", "batch 1", "forward", "program", "batch 1",
                                           "forward", "program", "batch 1", "forward"}));
    // Each call hands the device all of its samples at once.
    EXPECT_EQ(device->fake().deliveries,
              std::vector<HardwareDevice::BatchDelivery>(4, HardwareDevice::BatchDelivery::in_one_call));

    // An empty program is loaded too when the device holds none; a last Dequantizer predicts.
    auto fresh = make_fake_host_device(hw::Tolmar_v2);
    LayerPtrs layers = named({"a", "dq"});
    std::static_pointer_cast<FakeLayer>(layers.back())->set_params(LayerType::Dequantizer);
    HardwareSequence dequantized(fresh, {}, layers, {}, {});
    dequantized.forward_samples(samples(1), nullptr);
    dequantized.forward_samples(samples(1), nullptr);
    EXPECT_EQ(fresh->fake().calls, (Calls{"program", "batch 1", "predict", "batch 1", "predict"}));
}

TEST(HardwareSequence, LearningSwitchesAndReadsBack) {
    struct Row { HwVersion version; size_t nps; const char* message; };  // nps: of the learning layer
    Row const rows[] = {
        {hw::Tolmar_v2, 1, "Learning not implemented on v2."},
        {hw::Tolmar_v2, 2, "Learning is not supported for layers mapped on more than 1 NP."},
        // The first-generation read-back reads the learning variables a Conv2D layer lacks.
        {hw::ZR62_v1, 1, "Variable threshold_learning not found"},
        {HwVersion{0xBC, 0x42, 1, 0}, 1, "Unsupported IP version in sync_learning_vars."},
    };
    for (auto const& row : rows) {
        auto device = std::make_shared<FakeHostDevice>(row.version, fake_mesh(IpVersion::v2));
        ModelBuilder model = build_model("in conv<in");
        LayerPtrs const layers = model.list({"in", "conv"});
        auto components = pass_components(layers);
        if (row.nps == 2) components[1].push_back(component(Type::CNP1, {6, 0, 0, 0}));
        HardwareSequence sequence(device, {}, layers,
                                  {std::make_shared<HardwarePass>(layers, layers, components, pass_dma, nullptr)},
                                  program_bytes(0, 4), learning_reader(row.version));
        std::vector<int> const labels{1, 2};
        EXPECT_EQ(error_text<std::exception>([&] { sequence.forward_samples(samples(2), &labels); }),
                  row.message);
        // fit ran before the read-back failed; the next run without labels turns learning off.
        sequence.forward_samples(samples(1), nullptr);
        EXPECT_EQ(device->fake().calls,
                  (Calls{"program", "batch 2", "learn on", "fit", "batch 1", "learn off", "forward"}));
    }
    // A table without the device's generation.
    auto device = make_fake_host_device(hw::ZR62_v1);
    ModelBuilder model = build_model("in conv<in");
    LayerPtrs const layers = model.list({"in", "conv"});
    HardwareSequence sequence(device, {}, layers,
                              {std::make_shared<HardwarePass>(layers, layers, pass_components(layers), pass_dma, nullptr)},
                              program_bytes(0, 4), learning_reader(hw::ZR62_v1, {}));
    expect_runtime_error([&] { sequence.sync_learning_vars(); }, "The v1 back end is not available in this build.");
}

TEST(HardwarePass, LinksToThePreviousPassAndDetachesOnDestruction) {
    ModelBuilder model = build_model("in a<in b<a");
    LayerPtrs const first_layers = model.list({"in", "a"});
    auto first = std::make_shared<HardwarePass>(first_layers, first_layers, pass_components(first_layers),
                                                pass_dma, nullptr);
    std::vector<std::vector<hw::Component>> const second_components{{component(Type::CNP1, {4, 0, 0, 0})}};
    auto second = std::make_shared<HardwarePass>(model.list({"b"}), model.list({"in", "a", "b"}), second_components,
                                                 pass_dma, first);
    EXPECT_EQ(layer_mapping(model["b"])->input_link_index, 2);
    second.reset();
    EXPECT_EQ(model["b"]->mapping(), nullptr);
    // A layer mapped again meanwhile keeps its newer mapping when the old pass goes.
    HardwarePass const newer({model["a"]}, {model["a"]}, {{component(Type::CNP1, {7, 0, 0, 0})}}, pass_dma, nullptr);
    auto const newer_mapping = model["a"]->mapping();
    first.reset();
    EXPECT_EQ(model["in"]->mapping(), nullptr);
    EXPECT_EQ(model["a"]->mapping(), newer_mapping);
}

// A builder over a v2 device with recorder doubles, for the model in -> a -> b -> c, or with a skip
// connection in -> a -> b -> add(a, b) -> c -> d (the Add a skip-DMA layer that c carries). The layer
// recorder gives each layer the number of one-word tracks the test sets by name (none by default).
struct BuilderFixture {
    explicit BuilderFixture(bool with_add = false)
        : device(make_fake_device(hw::Tolmar_v2)),
          builder(device, constraints, io, recorder),
          model(build_model(with_add ? "in a<in b<a add<a,b c<add d<c" : "in a<in b<a c<b")) {
        recorder.on_record = [this](Layer const& layer) {
            auto const it = tracks.find(layer.get_name());
            return record_with_tracks(std::vector<uint32_t>(it == tracks.end() ? 0 : it->second, 1));
        };
    }
    // Adds one group with one CNP per layer (columns from 1 in each group), in dual-buffer mode.
    void add(Names const& group) {
        LayerPtrs const layers = model.list(group);
        auto components = pass_components(layers);
        for (auto& list : components)
            for (auto& c : list)
                if (c.type == Type::CNP1) c.np_part = hw::NpPart{0, 4, {}, {}, false};
        builder.add_layers(layers, model.model().layers(), components);
    }
    std::shared_ptr<FakeDevice> device;
    HardwareConstraints constraints;
    IoRecorderDouble io;
    LayerRecorderDouble recorder;
    std::map<std::string, uint32_t> tracks;
    HardwareSequenceBuilder builder;
    ModelBuilder model;
};

// The limit and its message are the program layer's: a failure empties the builder but keeps the
// held-back layer.
TEST(SequenceBuilder, CheckNumDescriptors) {
    BuilderFixture f(true);
    f.add({"in", "a", "b", "add"});
    EXPECT_TRUE(f.builder.check_num_descriptors(f.model["a"], 2, 128).failed);
    EXPECT_TRUE(f.builder.passes().empty());
    EXPECT_TRUE(f.builder.has_pending());
}

TEST(SequenceBuilder, TrailingSkipDmaLayerMovesToTheNextGroup) {
    BuilderFixture f(true);
    f.add({"in", "a", "b", "add"});
    EXPECT_EQ(names_of(f.builder.first_pass()->layers), (Names{"in", "a", "b"}));
    f.builder.clear();  // keeps the pending layer
    EXPECT_TRUE(f.builder.passes().empty());
    // The Add opens c's group; c's set-up then refuses to load what a stored in another pass.
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.add({"c"}); }),
              "Cannot map layer 'c'. Hardware partial reconfiguration with layers on the second branch is not "
              "supported.");
    EXPECT_FALSE(f.builder.has_pending());
    EXPECT_EQ(names_of(f.builder.layers()), (Names{"add", "c"}));
    // Kept, the refusal ends the build when the program reaches c (before c's unused-NP record),
    // once the layers before it are recorded.
    BuilderFixture k(true);
    k.builder.keep_cut_skips();
    k.add({"in", "a", "b", "add"});
    k.add({"c"});
    auto const [cut, none] = k.builder.build_sequence();
    EXPECT_EQ(cut.to_string(), "Cannot map layer 'c'. Hardware partial reconfiguration with layers on the second "
                               "branch is not supported.");
    Names recorded;
    for (auto const& call : k.recorder.calls) recorded.push_back(call.layer);
    EXPECT_EQ(recorded, (Names{"in", "a", "b"}));
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(k.builder.passes().empty() && k.builder.cut_skips().empty());

    // A lone skip-DMA group makes no pass, and a pending last layer is flushed into the last pass.
    BuilderFixture g(true);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { g.builder.add_layers({}, {}, {}); }),
              "A pass needs at least one layer.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { g.builder.add_layers(g.model.list({"in", "a"}), {}, {{}}); }),
              "A pass of 2 layers needs 2 component lists, not 1.");
    g.add({"add"});
    EXPECT_TRUE(g.builder.passes().empty());
    EXPECT_EQ(error_text<std::invalid_argument>([&] { g.builder.build_sequence(); }),
              "A hardware sequence needs at least one pass.");
    BuilderFixture h(true);
    h.add({"in", "a", "b", "add"});
    auto const [status, sequence] = h.builder.build_sequence();
    ASSERT_TRUE(sequence) << status.message;
    EXPECT_EQ(names_of(sequence->passes().front()->layers), (Names{"in", "a", "b", "add"}));
    EXPECT_EQ(h.recorder.calls.back().layer, "add");
}

TEST(SequenceBuilder, FirstLayerColumnRange) {
    ModelBuilder model = build_model("in hrc<in a<hrc");
    LayerPtrs const layers = model.list({"in", "hrc", "a"});
    HardwarePass const pass(layers, layers,
                            {{}, {component(Type::HRC)},
                             {component(Type::CNP1, {3, 1, 0, 0}), component(Type::CNP1, {6, 0, 0, 0}),
                              component(Type::CNP1, {2, 2, 0, 0})}},
                            pass_dma, nullptr);
    EXPECT_EQ(pass_first_layer_col_range(pass, true), (std::pair<uint8_t, uint8_t>{0, 0}));
    EXPECT_EQ(pass_first_layer_col_range(pass, false), (std::pair<uint8_t, uint8_t>{2, 6}));  // the layer the HRC feeds
    HardwarePass const a_pass({model["a"]}, {model["a"]}, {{component(Type::HRC, {4, 0, 0, 0})}}, pass_dma, nullptr);
    EXPECT_EQ(pass_first_layer_col_range(a_pass, false), (std::pair<uint8_t, uint8_t>{1, 1}));
}

TEST(ProgramBuilding, OnePass) {
    BuilderFixture f;
    f.tracks = {{"a", 3}, {"b", 2}, {"c", 1}};
    f.add({"in", "a", "b", "c"});
    auto const [status, sequence] = f.builder.build_sequence();
    ASSERT_TRUE(sequence) << status.message;
    // Every layer with the sequence's first mappable layer and no next pass.
    ASSERT_EQ(f.recorder.calls.size(), 4u);
    for (auto const& call : f.recorder.calls) {
        EXPECT_EQ(call.other, "a");
        EXPECT_FALSE(call.link || call.set_spikes || call.mesh_flag || call.registers_only);
    }
    ASSERT_EQ(f.io.epg_calls.size(), 1u);
    auto const& epg = f.io.epg_calls[0];
    EXPECT_EQ((std::tuple{epg.layer, epg.lowest_col, epg.highest_col}), (std::tuple{std::string("a"), 1, 1}));
    auto const bytes = sequence->program();
    ProgramInfo const info(bytes.data(), bytes.size());
    EXPECT_EQ(info.info().num_descriptors(), 8);  // SCC 1 + 3 + 2 + 1, plus one
    EXPECT_EQ(info.data().dummy_desc_header()->first(), 0u);
}

TEST(ProgramBuilding, PassesAndBuffers) {
    struct Row { std::vector<Names> groups; std::vector<bool> single_buffer; };  // of a, b and c
    Row const rows[] = {
        // b (column 2, last of the first pass) and c (column 1, first of the second) differ.
        {{{"in", "a", "b"}, {"c"}}, {true, true, true}},
        // a, last of the first pass, and b, first of the second, share column 1.
        {{{"in", "a"}, {"b", "c"}}, {false, false, true}},
    };
    for (auto const& row : rows) {
        BuilderFixture f;
        for (auto const& group : row.groups) f.add(group);
        auto const [status, sequence] = f.builder.build_sequence();
        ASSERT_TRUE(sequence) << status.message;
        std::vector<bool> single;
        for (auto const* name : {"a", "b", "c"})
            single.push_back(f.model[name]->mapping()->components->front().single_buffer());
        EXPECT_EQ(single, row.single_buffer);
        auto const bytes = sequence->program();
        ProgramInfo const info(bytes.data(), bytes.size());
        EXPECT_EQ(info.info().passes()->size(), 2u);
        EXPECT_NE(info.data().dummy_desc_header()->first(), 0u);
    }
    // The unused-NP program of the first pass goes through the second pass's first layer.
    BuilderFixture f;
    f.add({"in", "a", "b"});
    f.add({"c"});
    auto const built = f.builder.build_sequence();  // the sequence keeps the mappings alive
    auto const& unused = f.recorder.calls.at(3);
    EXPECT_EQ(unused.layer, "c");
    EXPECT_TRUE(unused.registers_only);
    EXPECT_EQ(unused.nps, (std::vector<hw::Ident>{{1, 0, 0, 0}, {2, 0, 0, 0}}));
    EXPECT_EQ(unused.index, layer_mapping(f.model["c"])->input_link_index);
    EXPECT_TRUE(f.recorder.calls[2].mesh_flag);  // b ends a pass that is not the last
    EXPECT_EQ(f.recorder.calls[2].link, f.model["c"]);
}

TEST(ProgramBuilding, DescriptorCountsDoNotWrap) {
    std::string const too_big = "Model is too big. The maximum number of descriptors is more than allowed. ";
    struct Row {
        std::vector<Names> groups; std::map<std::string, uint32_t> tracks; const char* failing; std::string message;
    };
    Names const all{"in", "a", "b", "c"};
    Row const rows[] = {
        {{all}, {{"a", 250}, {"b", 10}}, "b", too_big + "261 are needed but 254 are available."},  // 5 in 8 bits
        {{all}, {{"a", 250}, {"b", 3}}, "c", too_big + "255 are needed but 254 are available."},
        // Two passes: a second-pass layer counts twice.
        {{{"in", "a"}, {"b", "c"}}, {{"b", 100}, {"c", 27}}, "c", too_big + "256 are needed but 254 are available."},
        {{{"in", "a"}, {"b", "c"}}, {{"b", 128}}, "b", too_big + "256 are needed but 254 are available."},
    };
    for (auto const& row : rows) {
        BuilderFixture f;
        f.tracks = row.tracks;
        for (auto const& group : row.groups) f.add(group);
        auto const [status, sequence] = f.builder.build_sequence();
        EXPECT_EQ(status.layer_name, row.failing);
        EXPECT_EQ(status.message, row.message);
        EXPECT_EQ(sequence, nullptr);
        EXPECT_TRUE(f.builder.passes().empty());
    }
}

TEST(ProgramBuilding, SkipDmaEnginesCountAsTheRecorderSays) {
    // a stores its output for the Add that c carries, which loads it back; d makes a second pass.
    for (auto const& [costs, descriptors] : {std::pair{SkipDmaDescriptors{4, 4, 1}, 7}, {{2, 0, 9}, 13}}) {
        BuilderFixture f(true);
        f.recorder.skip_dma = costs;
        f.add({"in", "a", "b", "add", "c"});
        f.add({"d"});
        auto const [status, sequence] = f.builder.build_sequence();
        ASSERT_TRUE(sequence) << status.message;
        auto const bytes = sequence->program();
        EXPECT_EQ(ProgramInfo(bytes.data(), bytes.size()).info().num_descriptors(), descriptors);
    }
}

TEST(ProgramBuilding, HeaderValues) {
    struct Row { LayerType type; uint8_t input_bits, output_bits, bits; bool narrow; };
    Row const rows[] = {
        {LayerType::Dequantizer, 4, 32, 4, true},  // a Dequantizer gives its input bits
        {LayerType::Dequantizer, 16, 8, 16, false}, {LayerType::Conv2D, 8, 16, 16, false},
    };
    for (auto const& row : rows) {
        FakeLayer layer("last");
        layer.set_params(row.type).set_bits(row.input_bits, row.output_bits);
        EXPECT_EQ(program_output_bits(layer), row.bits);
        EXPECT_EQ(program_narrow_output(layer), row.narrow);
    }
    FakeLayer dense("dense");
    dense.set_params(LayerType::Dense1D, {{"units", 2}}).set_input_dims({Shape{4, 4, 8}});
    EXPECT_EQ(program_input_shape(dense), (Shape{1, 1, 128}));
    dense.set_input_dims({Shape{65536, 65536, 2}});
    EXPECT_THROW(program_input_shape(dense), std::runtime_error);

    auto const make = [](ComponentKind kind, int format, uint8_t output_bits) {
        auto layer = FakeLayer::make("l", {kind});
        layer->set_format_code(format).set_bits(8, output_bits);
        return layer;
    };
    auto const tnp = make(ComponentKind::TNP_B, 2, 8);
    auto const fnp = make(ComponentKind::FNP, 2, 8);
    LayerRecorderDouble recorder;  // the FNP input is not row-padded
    EXPECT_TRUE(fnp_padding_flag(*make(ComponentKind::CNP, 2, 8), tnp, recorder));
    EXPECT_FALSE(fnp_padding_flag(*make(ComponentKind::CNP, 1, 8), tnp, recorder));
    EXPECT_FALSE(fnp_padding_flag(*make(ComponentKind::CNP, 2, 8), nullptr, recorder));
    EXPECT_FALSE(fnp_padding_flag(*make(ComponentKind::FNP, 2, 4), fnp, recorder));
    EXPECT_FALSE(fnp_padding_flag(*make(ComponentKind::CNP, 2, 8), fnp, recorder));
    recorder.rows_padded = true;
    EXPECT_TRUE(fnp_padding_flag(*make(ComponentKind::CNP, 2, 8), fnp, recorder));
}

}  // namespace
}  // namespace nuvra
