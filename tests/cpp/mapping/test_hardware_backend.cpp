#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "backends/ip_version_backend.h"
#include "backends/v2/checker.h"
#include "backends/v2/recorders.h"
#include "engine/inference.h"
#include "engine/layers_internal.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/hardware_backend.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "support/fake_device.h"
#include "support/filter_split_checker.h"
#include "support/fake_layer.h"
#include "support/mapping_fixtures.h"
#include "support/ops_test_util.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using hw::Type;
using testing::error_text;
using testing::ModelBuilder;
using Passes = std::vector<std::vector<std::string>>;
using Sequences = std::vector<std::shared_ptr<Sequence>>;
constexpr char kUnsupported[] = "Unsupported IP version in IpVersionSpecificHardwareBackend.";

// Fields 0, 1 and 11 to 13 of the two byte-counted generations; the others are fixed.
HardwareConstraints with_sram_words(IpVersion ip, uint32_t f0, uint32_t f1, uint32_t f11, uint32_t f12, uint32_t f13) {
    bool const v1 = ip == IpVersion::v1;
    return {f0,  f1, 4096, 4096, 2048, 2048, v1 ? 32u : 64u, 256, v1 ? 2048u : 1536u, 512, v1 ? 504u : 0u,
            f11, f12, f13, v1 ? 0u : 256u, 0, 0, 0, 0};
}

TEST(IpVersionBackend, ConstraintsPerGeneration) {
    struct Row { char const* name; IpVersion ip; SramSize sram; HardwareConstraints expected; };
    uint32_t const max = std::numeric_limits<uint32_t>::max();
    uint32_t const mib512 = 512u << 20;
    Row const rows[] = {
        {"v1", IpVersion::v1, SramSize_v1, with_sram_words(IpVersion::v1, 10752, 7168, 5376, 10752, 10752)},
        {"v2", IpVersion::v2, SramSize_v2, with_sram_words(IpVersion::v2, 12288, 4096, 8192, 16384, 16384)},
        {"wisp", IpVersion::wisp, SramSize_wisp, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 448, 8192, 892, 256}},
        // 12 * W passes 32 bits from about 341 MiB on, W * 8 and I * 8 at 512 MiB.
        {"v2 400 MiB weights", IpVersion::v2, {0, 400u << 20, 0, 0, 0, 0},
         with_sram_words(IpVersion::v2, 100663296, 33554432, 0, 0, 0)},
        {"v2 512 MiB", IpVersion::v2, {mib512, mib512, 0, 0, 0, 0},
         with_sram_words(IpVersion::v2, 128849018, 42949672, 67108864, 134217728, 134217728)},
        {"v1 largest", IpVersion::v1, {max, max, 0, 0, 0, 0},
         with_sram_words(IpVersion::v1, 1030792150, 687194767, 536870911, 1073741823, 1073741823)},
    };
    for (auto const& row : rows) {
        Mesh mesh = fake_mesh(row.ip);
        mesh.np_sram_size = row.sram;
        EXPECT_EQ(make_hardware_constraints(row.ip, mesh), row.expected) << row.name;
    }
    EXPECT_EQ(error_text<std::runtime_error>([] { make_hardware_constraints(IpVersion::none, fake_mesh(IpVersion::v1)); }),
              kUnsupported);
}

TEST(MapConstraints, DefaultsAndRefusedDevices) {
    struct Row { HwVersion version; uint32_t width, height, filters; };
    Row const rows[] = {
        {hw::Vexa_v1, 32, 256, 512}, {hw::Vexa_v2, 32, 256, 504},
        {{0xBC, 0x00, 0, 3}, 32, 256, 512},  // only the exact Vexa_v2 version is reduced
        {hw::Tolmar_v2, 64, 256, 512}, {hw::Wisp_Tolmar, 0, 0, 0},
    };
    for (auto const& row : rows) {
        MapConstraints const c(make_fake_device(row.version));
        EXPECT_EQ((std::vector<uint32_t>{c.cnp_max_width(), c.cnp_max_height(), c.cnp_max_filters()}),
                  (std::vector<uint32_t>{row.width, row.height, row.filters}))
            << row.version.to_string();
    }
    EXPECT_EQ(error_text<std::invalid_argument>([] { MapConstraints c(nullptr); }), "Invalid device passed to MapConstraints.");
    EXPECT_EQ(error_text<std::invalid_argument>([] { MapConstraints c(make_fake_device({0xBC, 0x42, 1, 0})); }),
              "Unsupported IP version in MapConstraints constructor.");
}

TEST(MapConstraints, SettersBoundedByTheirDefault) {
    enum Limit { Width, Height, Filters };
    struct Row { HwVersion version; Limit limit; uint32_t value; std::string error; };  // error "": accepted
    Row const rows[] = {
        {hw::Vexa_v2, Filters, 512, "CNP max filters should be <= 504. Receives 512."},
        {hw::Vexa_v1, Filters, 512, ""}, {hw::Tolmar_v2, Filters, 0, ""},  // no lower bound
        {hw::ZR62_v1, Width, 33, "CNP max width should be <= 32. Receives 33."},
        {hw::ZR62_v1, Height, 257, "CNP max height should be <= 256. Receives 257."},
        {hw::Wisp_Tolmar, Width, 1, "CNP max width should be <= 0. Receives 1."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.version.to_string() + " " + std::to_string(row.value));
        MapConstraints c(make_fake_device(row.version));
        std::vector<uint32_t> expected{c.cnp_max_width(), c.cnp_max_height(), c.cnp_max_filters()};
        void (MapConstraints::*const setters[])(uint32_t) = {&MapConstraints::set_cnp_max_width,
                                                             &MapConstraints::set_cnp_max_height,
                                                             &MapConstraints::set_cnp_max_filters};
        EXPECT_EQ(error_text<std::invalid_argument>([&] { (c.*setters[row.limit])(row.value); }), row.error);
        if (row.error.empty()) expected[row.limit] = row.value;  // a refused value changes nothing
        EXPECT_EQ((std::vector<uint32_t>{c.cnp_max_width(), c.cnp_max_height(), c.cnp_max_filters()}), expected);
    }
}

TEST(MapConstraints, LoopItselfOnlyOnV2) {
    for (HwVersion const version : {hw::Vexa_v2, hw::ZR62_v1, hw::Tolmar_v2, hw::Wisp_Tolmar}) {
        SCOPED_TRACE(version.to_string());
        bool const v2 = version.get_ip_version() == IpVersion::v2;
        MapConstraints c(make_fake_device(version));
        EXPECT_EQ(error_text<std::invalid_argument>([&] { c.set_hwpr_loopitself(false); }), "");
        EXPECT_EQ(error_text<std::invalid_argument>([&] { c.set_hwpr_loopitself(true); }),
                  v2 ? "" : "HWPR NP loopitself feature is only supported for IP v2.");
        EXPECT_EQ(c.hwpr_loopitself(), v2);
    }
}

// Fails the layers a test names.
class ScriptedChecker : public testing::FilterSplitChecker {
public:
    using FilterSplitChecker::FilterSplitChecker;
    static inline std::set<std::string> incompatible;
    static inline std::set<std::string> breaking_sequence;

    MappingStatus check_layer_compatibility(Layer const& layer, Layer const*, HwVersion) const override {
        return incompatible.contains(layer.get_name()) ? MappingStatus(layer, "Refused.") : MappingStatus();
    }
    MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator last,
                                       HwVersion) const override {
        Layer const& layer = **(last - 1);
        return breaking_sequence.contains(layer.get_name()) ? MappingStatus(layer, "Bad run.") : MappingStatus();
    }
};

Generation const real_v2[] = {with_makers<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl,
                                           v2::LayerRecorderImpl>(generation_row(IpVersion::v2))};
// Test doubles everywhere, for a v1 and a v2 generation (no wisp).
Generation const scripted[] = {
    with_makers<ScriptedChecker, v2::MemorySizerImpl, testing::IoRecorderDouble, testing::LayerRecorderDouble>(
        generation_row(IpVersion::v2)),
    with_makers<ScriptedChecker, v2::MemorySizerImpl, testing::IoRecorderDouble, testing::LayerRecorderDouble>(
        generation_row(IpVersion::v1)),
};

TEST(IpVersionBackend, RefusesOtherGenerationsAndSharesItsLimitsWithTheChecker) {
    auto const unknown = make_fake_device({0xBC, 0x42, 0, 0}, fake_mesh(IpVersion::v2));
    EXPECT_EQ(error_text<std::runtime_error>([&] { IpVersionSpecificHardwareBackend b(*unknown, scripted); }),
              kUnsupported);
    auto const wisp = make_fake_device(hw::Wisp_Tolmar);
    EXPECT_EQ(error_text<std::runtime_error>([&] { IpVersionSpecificHardwareBackend b(*wisp, scripted); }),
              "The wisp back end is not available in this build.");

    // The limits are filled before the checker is built, and the checker reads them.
    auto const device = make_fake_device(hw::Tolmar_v2);
    device->mutable_mesh().np_sram_size = {1024, 2048, 0, 0, 0, 0};
    IpVersionSpecificHardwareBackend const backend(*device, scripted);
    EXPECT_EQ(backend.ip_version(), IpVersion::v2);
    EXPECT_EQ(&backend.checker().device(), device.get());
    EXPECT_EQ(backend.constraints().weight_sram_words, 163u);  // 2048 * 8 / 100
    auto const& checker = static_cast<StubChecker const&>(backend.checker());
    EXPECT_TRUE(checker.is_fnp3_compatible(testing::FakeLayer("dense")));
    ASSERT_EQ(checker.fnp3_queries.size(), 1u);
    EXPECT_EQ(checker.fnp3_queries[0].constraints, &backend.constraints());
}

// in -> c1 -> ... -> cN (8 x 8 x 4, `kernel` x `kernel` Conv2D layers of four filters, 'Same'
// padding); with `skip`, a skip connection over two more, joined by an Add, then "out".
ModelBuilder conv_chain(int convs, int kernel = 3, bool skip = false) {
    ModelBuilder model;
    model.input("in");
    auto const conv = [&](std::string const& name, std::string const& inbound) {
        model.layer(LayerType::Conv2D, name, {{"kernel_size", kernel}, {"filters", 4}, {"padding", 1}}, {inbound});
    };
    for (int i = 1; i <= convs; ++i) conv(fmt::format("c{}", i), i == 1 ? "in" : fmt::format("c{}", i - 1));
    if (skip) {
        std::string const last = fmt::format("c{}", convs);
        conv("s1", last);
        conv("s2", "s1");
        model.add("add", last, "s2");
        conv("out", "add");
    }
    return model;
}

// One call of HardwareBackend::map over a model on a device.
struct Mapping {
    Mapping(std::shared_ptr<FakeDevice> on, std::span<Generation const> generations, ModelBuilder built)
        : device(std::move(on)), constraints(std::make_shared<MapConstraints>(device)),
          backend(generation_selector(generations)), model(std::move(built)) {}
    // On a mesh of `nps` CNP1s, in -> c1 -> ... -> cN of 3 x 3 kernels.
    Mapping(HwVersion version, uint8_t nps, std::span<Generation const> generations, int convs)
        : Mapping(make_fake_device(version, fake_nps(Type::CNP1, nps)), generations, conv_chain(convs)) {}
    // The named layers; none: all of the model's.
    MappingStatusGroup map(std::vector<std::string> const& names = {}) {
        layers = names.empty() ? model.model().layers() : model.list(names);
        return backend.map(&layers, &sequences, constraints);
    }
    // The passes of the one sequence, as layer names and as counts.
    Passes passes() const {
        Passes result;
        if (sequences.size() != 1) return result;
        for (auto const& pass : sequences.front()->passes()) result.push_back(testing::names_of(pass->layers));
        return result;
    }
    std::vector<size_t> pass_sizes() const {
        std::vector<size_t> sizes;
        for (auto const& pass : passes()) sizes.push_back(pass.size());
        return sizes;
    }
    std::shared_ptr<FakeDevice> device;
    std::shared_ptr<MapConstraints> constraints;
    HardwareBackend backend;
    ModelBuilder model;
    std::vector<std::shared_ptr<Layer>> layers;
    Sequences sequences;
};

TEST(HardwareBackend, RefusalsBeforeMapping) {
    HardwareBackend backend(generation_selector());
    std::vector<std::shared_ptr<Layer>> layers;
    Sequences sequences;
    testing::expect_runtime_error([&] { backend.map(&layers, &sequences, nullptr); },
                                  "Map constraints must be specified.");
    Mapping m(hw::Tolmar_v2, 2, scripted, 1);
    m.model.input_conv("x", "in");
    EXPECT_EQ(m.map({"in", "x", "c1"}).to_string(),
              "Cannot map layer 'x'. Layer should be mapped on HRC but the device does not have this hardware "
              "component.");
    EXPECT_TRUE(m.sequences.empty());
}

// Too few NPs: a second pass, starting on the NP that c1 left; the program and its parts agree.
TEST(HardwareBackend, EndToEndWithTheRealV2BackEnd) {
    Mapping m(hw::Tolmar_v2, 2, real_v2, 3);
    MappingStatusGroup const status = m.map();
    ASSERT_FALSE(status.failed) << status.to_string();
    EXPECT_EQ(m.passes(), (Passes{{"in", "c1", "c2"}, {"c3"}}));
    EXPECT_EQ(layer_mapping(m.model["c3"])->components->front().ident.col, 1);
    Sequence const& sequence = *m.sequences.front();
    EXPECT_EQ(sequence.name(), "HW/in-c3");
    auto const program = sequence.program();
    ProgramInfo const info(program.data(), program.size());
    EXPECT_EQ(info.info().passes()->size(), 2u);
    EXPECT_EQ(info.info().device_version()->product_id(), 0xA2);
    // Each component knows its memory use.
    hw::Component const& part = layer_mapping(m.model["c1"])->components->front();
    EXPECT_EQ(part.mem_info, v2::MemorySizerImpl().get_memory_info(m.model["c1"], part, m.model["in"], {}));
    EXPECT_NE(part.mem_info.weight_size, 0u);
}

TEST(HardwareBackend, LayersBeforeAFailureAreStillMapped) {
    std::string const none_left =
        "Not enough hardware components of type CNP1 available. 1 is needed but 0 are available.";
    struct Row {  // passes: empty for no sequence
        const char* name; HwVersion version; uint8_t nps; bool loop_itself;
        std::set<std::string> incompatible, breaking; Passes passes; std::string text;
    };
    Row const rows[] = {
        {"refused layer", hw::Tolmar_v2, 4, false, {"c2"}, {}, {{"in", "c1"}}, "Cannot map layer 'c2'. Refused."},
        {"first generation never cuts", {0xBC, 0x00, 0, 1}, 2, false, {}, {}, {{"in", "c1", "c2"}},
         "Cannot map layer 'c3'. " + none_left},
        {"broken run is removed", hw::Tolmar_v2, 4, false, {}, {"c3"}, {{"in", "c1", "c2"}},
         "Cannot map layer 'c3'. Bad run."},
        {"a passing run clears earlier failures", hw::Tolmar_v2, 4, false, {}, {"c2"}, {{"in", "c1", "c2", "c3"}},
         "Success."},
        {"every run after the last passing one", hw::Tolmar_v2, 4, false, {}, {"c2", "c3"}, {{"in", "c1"}},
         "Cannot map layer 'c2':\n  * Layer 'c2': Bad run.\n  * Layer 'c3': Bad run."},
        {"nothing mappable", hw::Tolmar_v2, 4, false, {"c1"}, {}, {}, "Cannot map layer 'c1'. Refused."},
        {"loop itself reuses the NP", hw::Tolmar_v2, 1, true, {}, {}, {{"in", "c1"}, {"c2"}, {"c3"}}, "Success."},
        {"no loop itself", hw::Tolmar_v2, 1, false, {}, {}, {{"in", "c1"}}, "Cannot map layer 'c2'. " + none_left},
    };
    for (auto const& row : rows) {
        ScriptedChecker::incompatible = row.incompatible;
        ScriptedChecker::breaking_sequence = row.breaking;
        Mapping m(row.version, row.nps, scripted, 3);
        if (row.loop_itself) m.constraints->set_hwpr_loopitself(true);
        EXPECT_EQ(m.map({"in", "c1", "c2", "c3"}).to_string(), row.text) << row.name;
        EXPECT_EQ(m.sequences.size(), row.passes.empty() ? 0u : 1u) << row.name;
        EXPECT_EQ(m.passes(), row.passes) << row.name;
    }
    ScriptedChecker::incompatible = {};
    ScriptedChecker::breaking_sequence = {};
}

// An IO recorder whose EPG registers fail with a plain error naming no layer.
class FailingEpgRecorder : public testing::IoRecorderDouble {
public:
    using IoRecorderDouble::IoRecorderDouble;
    std::vector<std::pair<uint32_t, uint32_t>> record_epg(EpgArgs const&) const override {
        throw std::runtime_error("The EPG registers are out of reach.");
    }
};

// A failure of the program build that names no layer gives way to a layer's refusal, and without
// one reaches the caller, with nothing mapped.
TEST(HardwareBackend, ABuildFailureNamingNoLayerReachesTheCallerUnlessALayerIsRefused) {
    Generation const failing_epg[] = {
        with_makers<ScriptedChecker, v2::MemorySizerImpl, FailingEpgRecorder, testing::LayerRecorderDouble>(
            generation_row(IpVersion::v2))};
    struct Row { std::set<std::string> incompatible; std::string text, error; };
    Row const rows[] = {
        {{}, "", "The EPG registers are out of reach."},
        {{"c3"}, "Cannot map layer 'c3'. Refused.", ""},
    };
    for (Row const& row : rows) {
        ScriptedChecker::incompatible = row.incompatible;
        Mapping m(hw::Tolmar_v2, 4, failing_epg, 3);
        MappingStatusGroup status;
        EXPECT_EQ(error_text<std::runtime_error>([&] { status = m.map(); }), row.error);
        EXPECT_EQ(status.to_string(), row.text.empty() ? "Success." : row.text);
        EXPECT_TRUE(m.sequences.empty());
        for (auto const& layer : m.model.model().layers()) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
    }
    ScriptedChecker::incompatible = {};
}

std::string const dead_end = "The layer's output reaches no later layer and is not the model's output.";

// in -> c1 -> c2 -> c3 and c1 -> side: with every layer given, c3 ends while the model goes on
// (side is its output). That refuses the whole mapping, beside the walk's own failure.
TEST(HardwareBackend, ALayerWhoseOutputGoesNowhereRefusesTheWholeMapping) {
    struct Row { const char* name; std::set<std::string> incompatible; std::string text; };
    Row const rows[] = {
        {"alone", {}, "Cannot map layer 'c3'. " + dead_end},
        {"and a refused layer", {"c2"},
         "Cannot map layer 'c3':\n  * Layer 'c3': " + dead_end + "\n  * Layer 'c2': Refused."},
    };
    for (Row const& row : rows) {
        ScriptedChecker::incompatible = row.incompatible;
        Mapping m(hw::Tolmar_v2, 4, scripted, 3);
        m.model.conv("side", "c1");
        EXPECT_EQ(m.map().to_string(), row.text) << row.name;
        EXPECT_TRUE(m.sequences.empty()) << row.name;
    }
    ScriptedChecker::incompatible = {};
}

// Layer indexes are 8 bits per pass, and skip-DMA channels count only the layers of the passes
// before: long chains take several passes, and a hardware limit is a status, not an exception.
TEST(HardwareBackend, LongChainsTakeSeveralPasses) {
    struct Row {  // passes: empty for no sequence
        const char* name; HwVersion version; std::span<Generation const> generations; size_t nps; int convs; bool skip;
        std::vector<size_t> passes; std::string text;
    };
    Row const rows[] = {
        {"1,000 layers", hw::Tolmar_v2, scripted, 300, 1000, false, {255, 254, 254, 238}, "Success."},
        {"a skip connection after 250 layers", hw::Tolmar_v2, scripted, 16, 250, true,
         {17, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 14}, "Success."},
        {"a chip that cannot cut passes", {0xBC, 0x00, 0, 1}, scripted, 300, 256, false, {255},
         "Cannot map layer 'c255'. A pass holds layer indexes up to 254: this layer would take 255."},
        {"more descriptors than a sequence holds", hw::Tolmar_v2, real_v2, 300, 256, false, {},
         "Cannot map layer 'c254'. Model is too big. The maximum number of descriptors is more than allowed. 255 "
         "are needed but 254 are available."},
    };
    for (Row const& row : rows) {
        Mapping m(make_fake_device(row.version, roomy_mesh(row.version.get_ip_version(), row.nps)), row.generations,
                  conv_chain(row.convs, 1, row.skip));
        EXPECT_EQ(m.map().to_string(), row.text) << row.name;
        EXPECT_EQ(m.sequences.size(), row.passes.empty() ? 0u : 1u) << row.name;
        EXPECT_EQ(m.pass_sizes(), row.passes) << row.name;
    }
}

// A model the checks or the recorders refuse fails with a status naming the layer: no exception
// leaves HardwareBackend::map.
TEST(HardwareBackend, RefusedModelsFailWithAStatusNamingTheLayer) {
    using nuvra::testing::f32;
    using nuvra::testing::i8;
    using nuvra::testing::u8;
    auto const conv = [](ModelBuilder& m, std::string const& name, std::map<std::string, int> params = {}) {
        params.insert({{"kernel_size", 3}, {"filters", 4}, {"padding", 1}});
        m.layer(LayerType::Conv2D, name, params, {"in"});
    };
    auto const fully_connected = [](ModelBuilder& m, std::shared_ptr<Dense> weights) {
        m.layer(LayerType::InputData, "in", {{"input_width", 1}, {"input_height", 1}, {"input_channels", 4},
                                             {"input_bits", 4}}, {});
        m.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"in"});
        m["fc"]->variables().set("weights", std::move(weights));
    };
    auto const v1_input = [](ModelBuilder& m) {
        m.layer(LayerType::InputData, "in", {{"input_width", 8}, {"input_height", 8}, {"input_channels", 4},
                                             {"input_bits", 4}}, {});
    };
    std::map<std::string, int> const v1_conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8},
                                            {"padding", 1},      {"activation", 1},    {"act_bits", 1}};
    struct Row {
        const char* name; HwVersion version; std::span<Generation const> generations;
        std::function<void(ModelBuilder&)> build; std::string text;
    };
    Row const rows[] = {
        // A layer whose output goes nowhere while the model goes on: refused before any recorder
        // is asked to route it.
        {"v2 Dense1D after a Conv2D that goes on", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in");
             conv(m, "c", {{"activation", 1}});
             m.layer(LayerType::Dense1D, "d", {{"units", 4}}, {"c"});
             m.layer(LayerType::Conv2D, "c2", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {"c"});
         },
         "Cannot map layer 'd'. " + dead_end},
        {"v1 FullyConnected after a Convolutional that goes on", {0xBC, 0xA1, 0, 1}, built_generations(),
         [&](ModelBuilder& m) {
             v1_input(m);
             m.layer(LayerType::Convolutional, "c", v1_conv, {"in"});
             m.layer(LayerType::FullyConnected, "fc", {{"units", 10}}, {"c"});
             m.layer(LayerType::Convolutional, "c2", v1_conv, {"c"});
         },
         "Cannot map layer 'fc'. " + dead_end},
        {"v2 Dense1D weights of rank 1", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in");
             conv(m, "c", {{"activation", 1}});
             m.layer(LayerType::Dense1D, "d", {{"units", 4}}, {"c"});
             m["d"]->variables().set("weights", i8({1}, {1}));
         },
         "Cannot map layer 'd'. Variable 'weights' has shape (1), but the layer needs shape (256, 4)."},
        {"v2 Conv2D float weights", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in");
             conv(m, "c");
             m["c"]->variables().set("weights", f32({3, 3, 4, 4}, std::vector<float>(144, 1.f)));
         },
         "Cannot map layer 'c'. Error: Wrong requested type int8 for a tensor of type float32."},
        // Mended: the SCC's output size, rows x channels of the last layer, overflowed in no layer's name.
        {"v2 Conv2D output of 4096 rows of 256 channels", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in", 4, 1, 4096);
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 256}, {"padding", 1}}, {"in"});
         },
         "Cannot map layer 'c'. Error: Attempted to write value 1048576 into a 20-bit field, which will cause an "
         "overflow."},
        // The output the SCC sizes is the last layer's, here a Dequantizer's that no NP computes.
        {"v2 Conv2D output of 4096 rows of 256 channels, dequantized", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in", 4, 1, 4096);
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 256}, {"padding", 1}}, {"in"});
             m.layer(LayerType::Dequantizer, "deq", {}, {"c"});
         },
         "Cannot map layer 'deq'. Error: Attempted to write value 1048576 into a 20-bit field, which will cause an "
         "overflow."},
        // Mended: it mapped to a program holding nothing of it but its output width.
        {"v2 Quantizer of 16 bits last", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in");
             conv(m, "c");
             m.layer(LayerType::Quantizer, "q", {{"output_bits", 16}}, {"c"});
         },
         "Cannot map layer 'q'. A Quantizer is only supported as the first layer of the model."},
        {"v1 FullyConnected float weights", {0xBC, 0xA1, 0, 1}, built_generations(),
         [&](ModelBuilder& m) { fully_connected(m, f32({2, 4, 1, 1}, std::vector<float>(8, 1.f))); },
         "Cannot map layer 'fc'. Wrong requested type int8 for a tensor of type float32"},
        {"v1 FullyConnected weights of rank 1", {0xBC, 0xA1, 0, 1}, built_generations(),
         [&](ModelBuilder& m) { fully_connected(m, i8({1}, {1})); },
         "Cannot map layer 'fc'. Variable 'weights' has shape (1), but the layer needs shape (2, 4, 1, 1)."},
        // Variables that do not fit are refused before anything reads them, whatever the generation.
        {"v2 Conv2D 5 x 5 weights in a 3 x 3 layer", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in");
             conv(m, "c");
             m["c"]->variables().set("weights", i8({5, 5, 4, 4}, std::vector<int8_t>(400)));
         },
         "Cannot map layer 'c'. Variable 'weights' has shape (5, 5, 4, 4), but the layer needs shape (3, 3, 4, 4)."},
        {"v2 Conv2D 100 input shifts for 4 channels", hw::Tolmar_v2, built_generations(),
         [&](ModelBuilder& m) {
             m.input("in");
             conv(m, "c");
             m["c"]->variables().set("input_shift", u8({100}, std::vector<uint8_t>(100)));
         },
         "Cannot map layer 'c'. Variable 'input_shift' has shape (100), but the layer needs shape (4), or any shape "
         "of 4 values."},
        {"v1 Convolutional weights of 16 filters in a layer of 8", {0xBC, 0xA1, 0, 1}, built_generations(),
         [&](ModelBuilder& m) {
             v1_input(m);
             m.layer(LayerType::Convolutional, "cv", v1_conv, {"in"});
             m["cv"]->variables().set("weights", i8({16, 4, 3, 3}, std::vector<int8_t>(576)));
         },
         "Cannot map layer 'cv'. Variable 'weights' has shape (16, 4, 3, 3), but the layer needs shape (8, 4, 3, 3)."},
    };
    for (Row const& row : rows) {
        ModelBuilder model;
        row.build(model);
        Mapping m(make_fake_device(row.version, roomy_mesh(row.version.get_ip_version(), 16)), row.generations,
                  std::move(model));
        MappingStatusGroup status;
        EXPECT_NO_THROW(status = m.map()) << row.name;
        EXPECT_EQ(status.to_string(), row.text) << row.name;
        if (row.text.find(dead_end) != std::string::npos) {
            EXPECT_TRUE(m.sequences.empty()) << row.name;
        }
    }
}

TEST(HardwareBackend, CollectLayerNpIdents) {
    hw::Ident const f1{7, 0, 0, 0}, f2{8, 0, 0, 0}, n1{1, 0, 0, 0}, n2{2, 0, 0, 0};
    auto fnp = testing::FakeLayer::make("fnp", {ComponentKind::FNP});
    auto conv = testing::FakeLayer::make("conv", {ComponentKind::CNP});
    std::vector<std::vector<hw::Component>> const last_pass{
        {},
        {testing::component(Type::CNP1, n1), testing::component(Type::CNP1, n2),
         testing::component(Type::SKIP_DMA_STORE, {0, 0, 5, 0})}};
    EXPECT_EQ(collect_layer_np_idents({f1, f2}, fnp, last_pass, false, false), (std::vector<hw::Ident>{f1, f2}));
    EXPECT_EQ(collect_layer_np_idents({f1, f2}, fnp, last_pass, true, false), (std::vector<hw::Ident>{f1, f2, n1, n2}));
    EXPECT_EQ(collect_layer_np_idents({f1, f2}, conv, last_pass, true, false), (std::vector<hw::Ident>{n1, n2}));
    EXPECT_EQ(collect_layer_np_idents({f1, f2}, conv, last_pass, true, true), std::vector<hw::Ident>{});
}

// Mended: a Quantizer whose scales hold a NaN mapped. Each generation refuses what the software run
// refuses, in its words, after which the model holds no sequence and no layer a mapping; so a
// Quantizer first in the model, whose scales the program's header carries for the driver to
// quantize the samples with, never puts a NaN there. An infinite scale, which saturates, still maps
// (and reaches the header of a first Quantizer as it is), unless the Quantizer closes the model.
TEST(HardwareBackend, AQuantizerWhoseScalesHoldNaNIsRefused) {
    register_mapping_backend();
    float const nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto const input = [](ModelBuilder& m, int width, int height, int bits) {
        m.layer(LayerType::InputData, "in",
                {{"input_width", width}, {"input_height", height}, {"input_channels", 2}, {"input_bits", bits}}, {});
    };
    auto const quantizer = [](ModelBuilder& m, std::string const& inbound, int bits) {
        m.layer(LayerType::Quantizer, "q", {{"output_bits", bits}, {"output_signed", 0}}, {inbound});
    };
    auto const first_quantizer = [](ModelBuilder& m, int width, int height, int bits) {
        m.layer(LayerType::Quantizer, "q",
                {{"input_width", width}, {"input_height", height}, {"input_channels", 2}, {"output_bits", bits},
                 {"output_signed", 0}},
                {});
    };
    // refusal: the mapping's with finite scales; empty when it maps
    struct Row {
        char const* what; HwVersion version; Mesh mesh; std::function<void(ModelBuilder&)> build;
        std::string refusal = "";
    };
    Row const rows[] = {
        {"v2: in -> q -> Conv2D", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16),
         [&](ModelBuilder& m) {
             input(m, 4, 4, 8);
             quantizer(m, "in", 8);
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 2}, {"padding", 1}}, {"q"});
         }},
        {"v2: in -> Conv2D -> q, the Conv2D placed before the refusal", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16),
         [&](ModelBuilder& m) {
             input(m, 4, 4, 8);
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 2}, {"padding", 1}}, {"in"});
             quantizer(m, "c", 16);
         },
         "Cannot map layer 'q'. A Quantizer is only supported as the first layer of the model."},
        {"v1: in -> q -> FullyConnected", hw::ZR62_v1, roomy_mesh(IpVersion::v1, 16),
         [&](ModelBuilder& m) {
             input(m, 1, 1, 4);
             quantizer(m, "in", 4);
             m.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"q"});
         }},
        {"wisp: in -> q -> StatefulRecurrent", hw::Wisp_Tolmar, hw::default_wisp_mesh(),
         [&](ModelBuilder& m) {
             input(m, 1, 16, 8);
             quantizer(m, "in", 8);
             m.layer(LayerType::StatefulRecurrent, "sr", {{"stateful_channels", 4}, {"output_channels", 4}}, {"q"});
         }},
        {"v2: q first -> Conv2D", hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16),
         [&](ModelBuilder& m) {
             first_quantizer(m, 4, 4, 8);
             m.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 2}, {"padding", 1}}, {"q"});
         }},
        {"v1: q first -> FullyConnected", hw::ZR62_v1, roomy_mesh(IpVersion::v1, 16),
         [&](ModelBuilder& m) {
             first_quantizer(m, 1, 1, 4);
             m.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"q"});
         }},
        {"wisp: q first -> StatefulRecurrent", hw::Wisp_Tolmar, hw::default_wisp_mesh(),
         [&](ModelBuilder& m) {
             first_quantizer(m, 1, 16, 8);
             m.layer(LayerType::StatefulRecurrent, "sr", {{"stateful_channels", 4}, {"output_channels", 4}}, {"q"});
         }},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.what);
        auto const device = make_fake_device(row.version, row.mesh);
        auto const mapped = [&](std::vector<float> const& scales) {
            ModelBuilder m;
            row.build(m);
            m["q"]->variables().set("scales", testing::f32({2}, scales));
            std::string const error = testing::error_text<std::runtime_error>([&] { m.model().map(device); });
            size_t with_mapping = 0;
            for (auto const& layer : m.model().layers()) with_mapping += layer_mapping(*layer) != nullptr;
            EXPECT_EQ(with_mapping == 0, m.model().sequences().empty());
            // The input scales of every program made: a first Quantizer's, else none.
            std::vector<float> header_scales;
            for (auto const& sequence : m.model().sequences()) {
                ProgramInfo const info(sequence->program().data(), sequence->program().size());
                if (auto const* in = info.info().input_scales()) header_scales.assign(in->begin(), in->end());
            }
            bool const carried = m["q"]->is_input_layer() && !m.model().sequences().empty();
            EXPECT_EQ(header_scales, carried ? scales : std::vector<float>());
            return std::pair(error, m.model().sequences().size());
        };
        EXPECT_EQ(mapped({1.0f, nan}),
                  std::pair(std::string("Cannot map layer 'q'. Layer 'q' (Quantizer): variable 'scales' holds NaN at "
                                        "channel 1: NaN has no integer value."),
                            size_t{0}));
        EXPECT_EQ(mapped({1.0f, inf}), std::pair(row.refusal, size_t{row.refusal.empty()}));
    }
}

// Mended: half a ReLU ceiling ran clipped at max_value, failed the v2 FNP record with the engine's
// raw text and mapped a StatefulRecurrent to the program of no ceiling (127 alone passed the third
// generation's check). The run and the mapping refuse it in one text, whatever its values.
TEST(HardwareBackend, HalfAReluCeilingIsRefusedByTheRunAndTheMapping) {
    register_mapping_backend();
    struct Row { HwVersion version; Mesh mesh; LayerType type; std::map<std::string, int> params; char const* held,
                 *missing; uint8_t value; };
    Row const rows[] = {
        {hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), LayerType::Dense1D, {{"units", 2}, {"activation", 1}},
         "max_value", "max_value_shift", 3},
        {hw::Tolmar_v2, roomy_mesh(IpVersion::v2, 16), LayerType::InputConv2D,
         {{"kernel_size", 1}, {"filters", 2}, {"activation", 1}}, "max_value_shift", "max_value", 0},
        {hw::Wisp_Tolmar, hw::default_wisp_mesh(), LayerType::StatefulRecurrent,
         {{"stateful_channels", 4}, {"output_channels", 2}, {"activation", 1}}, "max_value", "max_value_shift", 127},
    };
    for (Row const& row : rows) {
        ModelBuilder m;
        m.input("in", 2, 1, 16);
        m.layer(row.type, "l", row.params, {"in"});
        m["l"]->variables().assign(row.held, testing::u8({row.value, row.value}));
        std::string const reason = fmt::format("ariable '{}' is held without '{}': a ReLU ceiling needs both",
                                               row.held, row.missing);
        auto const x = testing::u8({1, 1, 16, 2}, std::vector<uint8_t>(32, 1));
        EXPECT_EQ(testing::error_text<std::invalid_argument>([&] { software_forward(m.model(), x); }),
                  fmt::format("Layer 'l' ({}): v{}", layer_type_name(row.type), reason));
        auto const device = make_fake_device(row.version, row.mesh);
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] { m.model().map(device); }),
                  "Cannot map layer 'l'. V" + reason + ".");
        EXPECT_TRUE(m.model().sequences().empty());
    }
}

TEST(HardwareBackend, ModelMapGoesThroughTheRegisteredBackend) {
    register_mapping_backend();
    auto device = make_fake_device(hw::Tolmar_v2);
    ModelBuilder chain = conv_chain(1);
    EXPECT_THROW(chain.model().map(nullptr), std::invalid_argument);
    testing::expect_runtime_error(
        [&] { chain.model().map(device); },  // default constraints; no NP in the mesh
        "Cannot map layer 'c1'. Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
        "available.");
    EXPECT_TRUE(chain.model().sequences().empty());
    EXPECT_EQ(chain.model().device(), nullptr);
    // Only an input layer: nothing to put on hardware.
    ModelBuilder input_only;
    input_only.input("in");
    input_only.model().map(device, false, std::make_shared<MapConstraints>(device));
    EXPECT_TRUE(input_only.model().sequences().empty());
    EXPECT_EQ(input_only.model().device(), device);
}

}  // namespace
}  // namespace nuvra
