#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "backends/v2/checker.h"
#include "backends/v2/recorders.h"
#include "engine/model.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/hardware_backend.h"
#include "mapping/hardware_sequence.h"
#include "mapping/layer_mapping.h"
#include "tests/cpp/mapping/mapping_fixtures.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/fake_layer.h"
#include "tests/cpp/support/model_builder.h"
#include "tests/cpp/support/recorder_doubles.h"
#include "tests/cpp/support/stub_checker.h"

namespace nuvra {
namespace {

using hw::Type;
using testing::ModelBuilder;
using LayerPtrs = std::vector<std::shared_ptr<Layer>>;
using Sequences = std::vector<std::shared_ptr<Sequence>>;

np::Info cnp(uint8_t col) { return {{col, 0, 0, 0}, {Type::CNP1}, true}; }

std::vector<np::Info> cnps(uint8_t count) {
    std::vector<np::Info> nps;
    for (uint8_t i = 1; i <= count; ++i) nps.push_back(cnp(i));
    return nps;
}

// Stands in for the layer kinds' recorders: a CNP layer gets one register block on its first NP,
// any other layer an empty record.
class RegisterRecorder : public LayerRecorder {
public:
    RegisterRecorder(Device const& device, HardwareConstraints const&) : device_(device) {}

    std::unique_ptr<program::Record> record_layer(Layer const& layer, Layer const&, std::shared_ptr<Layer>, bool,
                                                  bool, std::vector<hw::Ident> const&, bool, bool) const override {
        auto record = program::new_record(device_.version());
        auto const mapping = layer_mapping(layer);
        if (layer.is_target_component(ComponentKind::CNP) && mapping && !mapping->components->empty())
            record->add_np_track(mapping->components->front().ident, dma::Target::NpRegisters, 0,
                                 {mapping->index, 0xC0FFEE}, true, true);
        return record;
    }
    program::LearnRecordsPtr record_learning_layer(Layer const&, bool) const override {
        throw std::runtime_error("no learning");
    }
    void sync_learning_vars(std::shared_ptr<Layer>) const override {}

private:
    Device const& device_;
};

// Splits by filters only and fails the layers a test names.
class ScriptedChecker : public StubChecker {
public:
    using StubChecker::StubChecker;
    static inline std::set<std::string> incompatible;
    static inline std::set<std::string> breaking_sequence;

    MappingStatus check_layer_compatibility(Layer const& layer, Layer const*, HwVersion) const override {
        if (incompatible.contains(layer.get_name())) return MappingStatus(layer, "Refused.");
        return {};
    }
    MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator last,
                                       HwVersion) const override {
        Layer const& layer = **(last - 1);
        if (breaking_sequence.contains(layer.get_name())) return MappingStatus(layer, "Bad run.");
        return {};
    }
    NpSplitParams np_split_params(Type, LayerParams const& params) const override {
        NpSplitParams split;
        split.filters = params.has("filters") ? uint32_t(params.get("filters")) : 0;
        return split;
    }
};

// The real v2 checker, sizer and IO recorder; the real layer recorder once it records Conv2D
// layers, the stand-in until then.
GenerationFactory const real_v2[] = {
    {IpVersion::v2,
     [](Device const& d, HardwareConstraints const& c) -> std::unique_ptr<CompatibilityChecker> {
         return std::make_unique<v2::CompatibilityCheckerImpl>(d, c);
     },
     []() -> std::unique_ptr<MemorySizer> { return std::make_unique<v2::MemorySizerImpl>(); },
     [](Device const& d) -> std::unique_ptr<IoRecorder> { return std::make_unique<v2::IoRecorderImpl>(d); },
     [](Device const& d, HardwareConstraints const& c) -> std::unique_ptr<LayerRecorder> {
         if (v2::kind_recorder(LayerType::Conv2D) != nullptr) return std::make_unique<v2::LayerRecorderImpl>(d, c);
         return std::make_unique<RegisterRecorder>(d, c);
     }},
};

class IoDouble : public testing::IoRecorderDouble {
public:
    explicit IoDouble(Device const&) {}
};

// Test doubles everywhere, for a v1 and a v2 generation.
GenerationFactory const scripted[] = {
    generation_factory<ScriptedChecker, v2::MemorySizerImpl, IoDouble, RegisterRecorder>(IpVersion::v2),
    generation_factory<ScriptedChecker, v2::MemorySizerImpl, IoDouble, RegisterRecorder>(IpVersion::v1),
};

struct Mapping {
    Mapping(HwVersion version, Mesh mesh, std::span<GenerationFactory const> generations)
        : device(make_fake_device(version, std::move(mesh))),
          constraints(std::make_shared<MapConstraints>(device)),
          backend(generations) {}

    MappingStatusGroup map(LayerPtrs layers) {
        mapped = std::move(layers);
        return backend.map(&mapped, &sequences, constraints);
    }

    std::shared_ptr<FakeDevice> device;
    std::shared_ptr<MapConstraints> constraints;
    HardwareBackend backend;
    LayerPtrs mapped;
    Sequences sequences;
};

// in -> c1 -> c2 -> ... -> cN, 8 x 8 x 4, 3 x 3 kernels with 'Same' padding, four filters each.
ModelBuilder chain(int convs) {
    ModelBuilder model;
    model.input("in");
    std::string previous = "in";
    for (int i = 1; i <= convs; ++i) {
        std::string const name = "c" + std::to_string(i);
        model.layer(LayerType::Conv2D, name, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {previous});
        previous = name;
    }
    return model;
}

std::vector<std::vector<std::string>> pass_names(Sequence const& sequence) {
    std::vector<std::vector<std::string>> result;
    for (auto const& pass : sequence.passes()) {
        auto& names = result.emplace_back();
        for (auto const& layer : pass->layers) names.push_back(layer->get_name());
    }
    return result;
}

TEST(HardwareBackend, RequiresConstraints) {
    HardwareBackend backend;
    EXPECT_EQ(backend.type(), BackendType::Hardware);
    LayerPtrs layers;
    Sequences sequences;
    testing::expect_runtime_error([&] { backend.map(&layers, &sequences, nullptr); },
                                  "Map constraints must be specified.");
}

TEST(HardwareBackend, HrcLayerNeedsAnHrc) {
    ScriptedChecker::incompatible = {};
    ScriptedChecker::breaking_sequence = {};
    Mapping m(hw::Tolmar_v2, fake_mesh(IpVersion::v2, cnps(2)), scripted);
    ModelBuilder model;
    model.input("in");
    model.input_conv("x", "in");
    model.conv("c1", "x");
    MappingStatusGroup const status = m.map(model.list({"in", "x", "c1"}));
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.to_string(),
              "Cannot map layer 'x'. Layer should be mapped on HRC but the device does not have this hardware "
              "component.");
    EXPECT_TRUE(m.sequences.empty());
}

TEST(HardwareBackend, EndToEndOnOnePass) {
    Mapping m(hw::Tolmar_v2, fake_mesh(IpVersion::v2, cnps(4)), real_v2);
    ModelBuilder model = chain(2);
    MappingStatusGroup const status = m.map(model.list({"in", "c1", "c2"}));
    ASSERT_FALSE(status.failed) << status.to_string();
    ASSERT_EQ(m.sequences.size(), 1u);
    Sequence const& sequence = *m.sequences.front();
    EXPECT_EQ(sequence.name(), "HW/in-c2");
    EXPECT_EQ(pass_names(sequence), (std::vector<std::vector<std::string>>{{"in", "c1", "c2"}}));

    auto const program = sequence.program();
    ProgramInfo const info(program.data(), program.size());
    EXPECT_EQ(info.info().passes()->size(), 1u);
    EXPECT_EQ(info.info().device_version()->product_id(), 0xA2);
    auto const parts = sequence.program_parts();
    std::vector<uint8_t> joined(parts.program_info.begin(), parts.program_info.end());
    joined.insert(joined.end(), parts.program_data.begin(), parts.program_data.end());
    EXPECT_EQ(joined, std::vector<uint8_t>(program.begin(), program.end()));
    EXPECT_EQ(std::vector<uint8_t>(parts.program_info.begin(), parts.program_info.end()), info.info_bytes());

    // c1 and c2 on the first two NPs; each component knows its memory use.
    auto const c1 = layer_mapping(model["c1"]);
    auto const c2 = layer_mapping(model["c2"]);
    ASSERT_TRUE(c1 && c2);
    EXPECT_EQ(c1->components->front().ident, (hw::Ident{1, 0, 0, 0}));
    EXPECT_EQ(c2->components->front().ident, (hw::Ident{2, 0, 0, 0}));
    v2::MemorySizerImpl const sizer;
    hw::Component const& part = c1->components->front();
    EXPECT_EQ(part.mem_info, sizer.get_memory_info(model["c1"], part, model["in"], false, false));
    EXPECT_NE(part.mem_info.weight_size, 0u);
}

TEST(HardwareBackend, EndToEndCutsPassesWhenNpsRunOut) {
    Mapping m(hw::Tolmar_v2, fake_mesh(IpVersion::v2, cnps(2)), real_v2);
    ModelBuilder model = chain(3);
    MappingStatusGroup const status = m.map(model.list({"in", "c1", "c2", "c3"}));
    ASSERT_FALSE(status.failed) << status.to_string();
    ASSERT_EQ(m.sequences.size(), 1u);
    EXPECT_EQ(pass_names(*m.sequences.front()),
              (std::vector<std::vector<std::string>>{{"in", "c1", "c2"}, {"c3"}}));
    auto const program = m.sequences.front()->program();
    ProgramInfo const info(program.data(), program.size());
    EXPECT_EQ(info.info().passes()->size(), 2u);
    // c3 starts the new pass on the NP that c1 left.
    EXPECT_EQ(layer_mapping(model["c3"])->components->front().ident, (hw::Ident{1, 0, 0, 0}));
}

TEST(HardwareBackend, LayersBeforeAFailureAreStillMapped) {
    struct Row {
        const char* name;
        HwVersion version;
        uint8_t nps;
        std::set<std::string> incompatible;
        std::set<std::string> breaking;
        std::vector<std::vector<std::string>> passes;  // empty: no sequence
        const char* text;
    };
    Row const rows[] = {
        {"refused layer", hw::Tolmar_v2, 4, {"c2"}, {}, {{"in", "c1"}}, "Cannot map layer 'c2'. Refused."},
        {"first generation never cuts", HwVersion{0xBC, 0x00, 0, 1}, 2, {}, {}, {{"in", "c1", "c2"}},
         "Cannot map layer 'c3'. Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
         "available."},
        {"broken run is removed", hw::Tolmar_v2, 4, {}, {"c3"}, {{"in", "c1", "c2"}}, "Cannot map layer 'c3'. Bad run."},
        {"a passing run clears earlier failures", hw::Tolmar_v2, 4, {}, {"c2"}, {{"in", "c1", "c2", "c3"}}, "Success."},
        {"nothing mappable", hw::Tolmar_v2, 4, {"c1"}, {}, {}, "Cannot map layer 'c1'. Refused."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedChecker::incompatible = row.incompatible;
        ScriptedChecker::breaking_sequence = row.breaking;
        IpVersion const ip = row.version.get_ip_version();
        Mapping m(row.version, fake_mesh(ip, cnps(row.nps)), scripted);
        ModelBuilder model = chain(3);
        MappingStatusGroup const status = m.map(model.list({"in", "c1", "c2", "c3"}));
        EXPECT_EQ(status.to_string(), row.text);
        if (row.passes.empty()) {
            EXPECT_TRUE(m.sequences.empty());
        } else {
            ASSERT_EQ(m.sequences.size(), 1u);
            EXPECT_EQ(pass_names(*m.sequences.front()), row.passes);
        }
    }
    ScriptedChecker::incompatible = {};
    ScriptedChecker::breaking_sequence = {};
}

TEST(HardwareBackend, LoopItselfLetsALayerReuseThePreviousNp) {
    struct Row {
        bool loop_itself;
        std::vector<std::vector<std::string>> passes;
        const char* text;
    };
    Row const rows[] = {
        {true, {{"in", "c1"}, {"c2"}}, "Success."},
        {false, {{"in", "c1"}},
         "Cannot map layer 'c2'. Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
         "available."},
    };
    for (auto const& row : rows) {
        Mapping m(hw::Tolmar_v2, fake_mesh(IpVersion::v2, cnps(1)), scripted);
        m.constraints->set_hwpr_loopitself(row.loop_itself);
        ModelBuilder model = chain(2);
        MappingStatusGroup const status = m.map(model.list({"in", "c1", "c2"}));
        EXPECT_EQ(status.to_string(), row.text);
        ASSERT_EQ(m.sequences.size(), 1u);
        EXPECT_EQ(pass_names(*m.sequences.front()), row.passes);
    }
}

TEST(HardwareBackend, CollectLayerNpIdents) {
    hw::Ident const f1{7, 0, 0, 0}, f2{8, 0, 0, 0}, n1{1, 0, 0, 0}, n2{2, 0, 0, 0}, s{0, 0, 5, 0};
    auto fnp = testing::FakeLayer::make("fnp", {ComponentKind::FNP});
    auto conv = testing::FakeLayer::make("conv", {ComponentKind::CNP});
    std::vector<std::vector<hw::Component>> const last_pass{
        {},
        {testing::component(Type::CNP1, n1), testing::component(Type::CNP1, n2),
         testing::component(Type::SKIP_DMA_STORE, s)},
        {}};
    struct Row {
        std::shared_ptr<Layer> layer;
        bool use_previous;
        bool loop_itself;
        std::vector<hw::Ident> reserved;
    };
    Row const rows[] = {
        {fnp, false, false, {f1, f2}},
        {fnp, true, false, {f1, f2, n1, n2}},
        {conv, true, false, {n1, n2}},
        {conv, true, true, {}},
        {conv, false, false, {}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(collect_layer_np_idents({f1, f2}, row.layer, last_pass, row.use_previous, row.loop_itself),
                  row.reserved);
}

TEST(HardwareBackend, ModelMapGoesThroughTheRegisteredBackend) {
    register_mapping_backend();
    auto device = make_fake_device(hw::Tolmar_v2, fake_mesh(IpVersion::v2));
    ModelBuilder model = chain(1);
    EXPECT_THROW(model.model().map(nullptr), std::invalid_argument);

    // Default constraints; no NP in the mesh.
    testing::expect_runtime_error(
        [&] { model.model().map(device); },
        "Cannot map layer 'c1'. Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
        "available.");
    EXPECT_TRUE(model.model().sequences().empty());
    EXPECT_EQ(model.model().device(), nullptr);

    // Only an input layer: nothing to put on hardware.
    ModelBuilder input_only;
    input_only.input("in");
    input_only.model().map(device, false, std::make_shared<MapConstraints>(device));
    EXPECT_TRUE(input_only.model().sequences().empty());
    EXPECT_EQ(input_only.model().device(), device);
}

}  // namespace
}  // namespace nuvra
