#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/fake_layer.h"
#include "tests/cpp/support/model_builder.h"
#include "tests/cpp/support/stub_checker.h"

namespace nuvra {
namespace {

using hw::Ident;
using hw::Type;
using Idents = std::vector<Ident>;
using testing::FakeLayer;
using testing::ModelBuilder;

Ident at(uint8_t col) { return {col, 0, 0, 0}; }

// `count` NPs in columns 1, 2, ... offering only `type`.
std::vector<np::Info> nps_of(Type type, uint8_t count, uint8_t first_col = 1) {
    std::vector<np::Info> nps;
    for (uint8_t i = 0; i < count; ++i) nps.push_back({at(uint8_t(first_col + i)), {type}, true});
    return nps;
}

// Splits a layer by its filters alone: no halo, no pooling.
class FilterSplitChecker : public StubChecker {
public:
    using StubChecker::StubChecker;
    NpSplitParams np_split_params(Type, LayerParams const& params) const override {
        NpSplitParams split;
        split.filters = params.has("filters") ? uint32_t(params.get("filters")) : 0;
        return split;
    }
};

// Constraints whose select_nps answers as the test scripts (the default when unscripted), and
// which remember the layer names they were told.
class ScriptedConstraints : public MapConstraints {
public:
    using MapConstraints::MapConstraints;
    std::function<Idents(Idents const&, size_t)> pick;
    mutable std::vector<std::string> names;

    void next_layer_handler(std::string const& name) const override { names.push_back(name); }
    Idents select_nps(Idents const& source, size_t count, Type type) const override {
        return pick ? pick(source, count) : MapConstraints::select_nps(source, count, type);
    }
};

struct Fixture {
    explicit Fixture(std::vector<np::Info> nps, std::vector<np::Info> skip_dmas = {})
        : device(make_fake_device(hw::Tolmar_v2, fake_mesh(IpVersion::v2, std::move(nps), std::move(skip_dmas)))),
          constraints(std::make_shared<ScriptedConstraints>(device)),
          hardware(make_hardware_constraints(IpVersion::v2, device->mesh())),
          checker(*device, hardware),
          mapper(checker, *constraints) {
        mapper.reset();
    }
    std::shared_ptr<FakeDevice> device;
    std::shared_ptr<ScriptedConstraints> constraints;
    HardwareConstraints hardware;
    FilterSplitChecker checker;
    MeshMapper mapper;
};

Idents idents_of(std::vector<hw::Component> const& components, Type type) {
    Idents result;
    for (auto const& c : components)
        if (c.type == type) result.push_back(c.ident);
    return result;
}

// A Conv2D of `filters` filters behind an 8 x 8 x 4 input; each CNP part takes 4 filters.
struct ConvModel {
    explicit ConvModel(int filters) {
        model.input("in");
        conv = model.conv("conv", "in", filters);
    }
    ModelBuilder model;
    std::shared_ptr<Layer> conv;
};

TEST(NpRequest, CountsAgainstMeshOrFreeNps) {
    struct Row {
        const char* name;
        uint8_t mesh_nps;
        uint8_t taken;     // allocated before the request, from the front of the list
        uint8_t reserved;  // reserved by the request, from the back of the list
        int filters;
        bool allow_new_pass;
        const char* message;  // "" for success
        bool new_pass;
        Idents chosen;
    };
    Row const rows[] = {
        {"three needed two in mesh", 2, 0, 0, 12, true,
         "Not enough hardware components of type CNP1 available. 3 are needed but 2 are available.", false, {}},
        {"one needed none in mesh", 0, 0, 0, 4, true,
         "Not enough hardware components of type CNP1 available. 1 is needed but 0 are available.", false, {}},
        {"one available", 2, 0, 1, 8, true,
         "Not enough hardware components of type CNP1 available. 2 are needed but 1 is available.", false, {}},
        {"five unreserved two free opens a pass", 5, 3, 0, 12, true, "", true, {at(1), at(2), at(3)}},
        {"two free without new pass", 5, 3, 0, 12, false,
         "Not enough hardware components of type CNP1 available. 3 are needed but 2 are available.", false, {}},
        {"reserved are not counted", 3, 0, 1, 12, true,
         "Not enough hardware components of type CNP1 available. 3 are needed but 2 are available.", false, {}},
        {"enough free", 4, 1, 0, 12, false, "", false, {at(2), at(3), at(4)}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f(nps_of(Type::CNP1, row.mesh_nps));
        f.constraints->set_cnp_max_filters(4);
        for (uint8_t i = 0; i < row.taken; ++i) f.mapper.allocate_np(at(uint8_t(1 + i)), Type::None);
        Idents reserved;
        for (uint8_t i = 0; i < row.reserved; ++i) reserved.push_back(at(uint8_t(row.mesh_nps - i)));
        ConvModel m(row.filters);

        bool new_pass = true;
        auto const [components, status] = f.mapper.np_request(m.conv, reserved, false, &new_pass, row.allow_new_pass);
        EXPECT_EQ(status.failed, *row.message != '\0');
        EXPECT_EQ(status.message, *row.message ? row.message : "Success.");
        if (status.failed) {
            EXPECT_EQ(status.layer_name, "conv");
        }
        EXPECT_EQ(new_pass, row.new_pass);
        if (!status.failed) {
            EXPECT_EQ(idents_of(components, Type::CNP1), row.chosen);
            for (Ident const& ident : row.chosen) {
                Idents const free = f.mapper.available_nps(Type::CNP1);
                EXPECT_EQ(std::count(free.begin(), free.end(), ident), 0);
            }
        }
        EXPECT_EQ(f.constraints->names, std::vector<std::string>{"conv"});
    }
}

TEST(NpRequest, LayerWithoutHardwareKindIsAUseError) {
    Fixture f(nps_of(Type::CNP1, 2));
    auto add = FakeLayer::make("add", {ComponentKind::SKIP_DMA});
    add->set_params(LayerType::Add);
    bool new_pass = false;
    try {
        f.mapper.np_request(add, {}, false, &new_pass, true);
        FAIL() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Mapping a layer with HW backend should use HW components.");
    }
}

TEST(NpRequest, FullyConnectedTakesOneWholeFnp) {
    Fixture f(nps_of(Type::FNP2, 1));
    f.checker.fits_fnp3 = false;
    auto fc = FakeLayer::make("fc", {ComponentKind::FNP});
    fc->set_params(LayerType::FullyConnected, {{"units", 10}}).set_input_dims({Shape{4, 4, 8}});
    bool new_pass = true;
    auto const [components, status] = f.mapper.np_request(fc, {}, false, &new_pass, true);
    ASSERT_FALSE(status.failed) << status.message;
    EXPECT_FALSE(new_pass);
    ASSERT_EQ(components.size(), 1u);
    hw::Component const& c = components.front();
    EXPECT_EQ(c.type, Type::FNP2);
    EXPECT_EQ(c.ident, at(1));
    ASSERT_TRUE(c.np_part.has_value());
    EXPECT_EQ(c.np_part->start_neuron, 0u);
    EXPECT_EQ(c.np_part->filters, 10u);
    EXPECT_EQ(c.np_part->spatial_partition, (NpSpace{0, 0, Shape{4, 4, 8}}));
    EXPECT_EQ(c.np_part->halo_partition, (NpSpace{0, 0, Shape{4, 4, 8}}));
    EXPECT_TRUE(c.np_part->single_buffer);
    EXPECT_TRUE(f.mapper.available_nps(Type::FNP2).empty());
}

TEST(NpRequest, SelectNpsAnswersAreChecked) {
    struct Row {
        const char* name;
        std::function<Idents(Idents const&, size_t)> pick;
        const char* message;  // "" for success
        Idents chosen;
    };
    char const* const not_offered = "The NPs selected for type CNP1 must be distinct free NPs of that type.";
    Row const rows[] = {
        {"one fewer", [](Idents const& s, size_t) { return Idents{s[0], s[1]}; },
         "Not enough hardware components of type CNP1 available. 3 are needed but 2 are available.", {}},
        {"duplicate", [](Idents const& s, size_t) { return Idents{s[0], s[0], s[1]}; }, not_offered, {}},
        {"off the mesh", [](Idents const& s, size_t) { return Idents{s[0], s[1], Ident{9, 9, 9, 0}}; },
         not_offered, {}},
        {"already allocated", [](Idents const& s, size_t) { return Idents{s[0], s[1], at(1)}; }, not_offered, {}},
        {"reversed free ones", [](Idents const& s, size_t) { return Idents{s[2], s[1], s[0]}; }, "",
         {at(4), at(3), at(2)}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f(nps_of(Type::CNP1, 5));
        f.constraints->set_cnp_max_filters(4);
        f.mapper.allocate_np(at(1), Type::None);
        f.constraints->pick = row.pick;
        ConvModel m(12);
        bool new_pass = false;
        auto const [components, status] = f.mapper.np_request(m.conv, {}, false, &new_pass, true);
        EXPECT_EQ(status.message, *row.message ? row.message : "Success.");
        EXPECT_EQ(status.failed, *row.message != '\0');
        if (!status.failed) {
            EXPECT_EQ(idents_of(components, Type::CNP1), row.chosen);
        }
    }
}

// in -> conv -> btc (BufferTempConv on TNP-B), with one skip-DMA engine of one channel.
struct LookAhead {
    explicit LookAhead(std::vector<np::Info> nps)
        : f(std::move(nps), {{Ident{0, 0, 5, 1}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false}}) {
        model.input("in");
        conv = model.conv("conv", "in");
        model.buffer_temp_conv("btc", "conv", 2);
    }
    Fixture f;
    ModelBuilder model;
    std::shared_ptr<Layer> conv;
};

std::vector<np::Info> cnps_and_tnp_b() {
    auto nps = nps_of(Type::CNP1, 2);
    auto tnp = nps_of(Type::TNP_B, 1, 3);
    nps.insert(nps.end(), tnp.begin(), tnp.end());
    return nps;
}

TEST(NpRequest, LookAheadFitsNextBufferTempConv) {
    LookAhead l(cnps_and_tnp_b());
    bool new_pass = true;
    auto const [components, status] = l.f.mapper.np_request(l.conv, {}, false, &new_pass, true);
    EXPECT_FALSE(status.failed) << status.message;
    EXPECT_FALSE(new_pass);
    EXPECT_EQ(idents_of(components, Type::CNP1), Idents{at(1)});
}

TEST(NpRequest, LookAheadOpensANewPassWhenAllowed) {
    LookAhead l(cnps_and_tnp_b());
    // The only load channel is taken by an earlier layer of the pass, and one CNP too.
    l.f.mapper.allocate_np(Ident{0, 0, 5, 0}, Type::SKIP_DMA_LOAD);
    l.f.mapper.allocate_np(at(1), Type::None);
    bool new_pass = false;
    auto const [components, status] = l.f.mapper.np_request(l.conv, {}, false, &new_pass, true);
    EXPECT_FALSE(status.failed) << status.message;
    EXPECT_TRUE(new_pass);
    // Placed again at the start of the new pass: the first CNP of the list.
    EXPECT_EQ(idents_of(components, Type::CNP1), Idents{at(1)});
    EXPECT_EQ(l.f.mapper.available_nps(Type::CNP1), Idents{at(2)});
    EXPECT_EQ(l.f.mapper.available_nps(Type::SKIP_DMA_LOAD), (Idents{Ident{0, 0, 5, 0}}));
}

TEST(NpRequest, FailedLookAheadWithoutNewPassKeepsNoNps) {
    LookAhead l(cnps_and_tnp_b());
    l.f.mapper.allocate_np(Ident{0, 0, 5, 0}, Type::SKIP_DMA_LOAD);
    Idents const free_before = l.f.mapper.available_nps(Type::CNP1);
    bool new_pass = false;
    auto const [components, status] = l.f.mapper.np_request(l.conv, {}, false, &new_pass, false);
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.to_string(), "Cannot map layer 'conv'. The next BufferTempConv btc can't be mapped in the current pass.");
    EXPECT_FALSE(new_pass);
    EXPECT_EQ(l.f.mapper.available_nps(Type::CNP1), free_before);
    EXPECT_TRUE(l.f.mapper.available_nps(Type::SKIP_DMA_LOAD).empty());
}

TEST(NpRequest, LookAheadFailingInTheNewPassToo) {
    // No skip DMA at all: even an empty pass cannot take the next layer.
    Fixture f(cnps_and_tnp_b());
    ModelBuilder model;
    model.input("in");
    auto conv = model.conv("conv", "in");
    model.buffer_temp_conv("btc", "conv", 2);
    bool new_pass = false;
    auto const [components, status] = f.mapper.np_request(conv, {}, false, &new_pass, true);
    EXPECT_EQ(status.message, "The next BufferTempConv btc can't be mapped in the current pass.");
    EXPECT_TRUE(new_pass);
}

TEST(NpRequest, SanitizeIgnoresLayersNotFeedingOneTnpB) {
    Fixture f(cnps_and_tnp_b());
    ModelBuilder model;
    model.input("in");
    auto a = model.conv("a", "in");
    auto btc = model.buffer_temp_conv("btc", "a", 2);
    model.conv("c", "btc");
    bool new_pass = false;
    // The TNP-B layer itself, and a layer whose next layer is on a CNP.
    EXPECT_FALSE(f.mapper.sanitize_tnp_b(*btc, &new_pass, true).failed);
    EXPECT_FALSE(new_pass);
    auto const c = model["c"];
    EXPECT_FALSE(f.mapper.sanitize_tnp_b(*c, &new_pass, true).failed);
    // A layer feeding the TNP-B layer with no skip DMA in the mesh.
    EXPECT_TRUE(f.mapper.sanitize_tnp_b(*a, &new_pass, true).failed);
    EXPECT_TRUE(new_pass);
}

TEST(NpRequest, ComponentErrorWording) {
    FakeLayer const layer("l");
    struct Row {
        size_t needed;
        size_t available;
        const char* message;
    };
    Row const rows[] = {
        {1, 0, "Not enough hardware components of type FNP2 available. 1 is needed but 0 are available."},
        {2, 1, "Not enough hardware components of type FNP2 available. 2 are needed but 1 is available."},
        {1, 1, "Not enough hardware components of type FNP2 available. 1 is needed but 1 is available."},
    };
    for (auto const& row : rows) {
        MappingStatus const status = component_error(layer, "FNP2", row.needed, row.available);
        EXPECT_TRUE(status.failed);
        EXPECT_EQ(status.layer_name, "l");
        EXPECT_EQ(status.message, row.message);
    }
}

}  // namespace
}  // namespace nuvra
