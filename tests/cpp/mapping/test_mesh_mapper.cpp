#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/filter_split_checker.h"
#include "support/mapping_fixtures.h"

namespace nuvra {
namespace {

using hw::Ident;
using hw::Type;
using Idents = std::vector<Ident>;
using testing::FakeLayer;
using testing::ModelBuilder;

Ident at(uint8_t col) { return {col, 0, 0, 0}; }
np::Info np_of(Ident ident, std::set<Type> types) { return {ident, std::move(types), true}; }
Ident const load_channel{0, 0, 5, 0};

// Constraints whose select_nps answers as the test scripts (the default when unscripted), and
// which remember the layer names they were told.
class ScriptedConstraints : public MapConstraints {
public:
    using MapConstraints::MapConstraints;
    std::function<Idents(Idents const&)> pick;
    mutable std::vector<std::string> names;

    void next_layer_handler(std::string const& name) const override { names.push_back(name); }
    Idents select_nps(Idents const& source, size_t count, Type type) const override {
        return pick ? pick(source) : MapConstraints::select_nps(source, count, type);
    }
};

// A mapper over a v2 mesh, and the model in -> conv; each CNP part of conv takes 4 filters.
struct Fixture {
    explicit Fixture(std::vector<np::Info> nps, std::vector<np::Info> skip_dmas = {}, int filters = 4)
        : device(make_fake_device(hw::Tolmar_v2, fake_mesh(IpVersion::v2, std::move(nps), std::move(skip_dmas)))),
          constraints(std::make_shared<ScriptedConstraints>(device)),
          hardware(make_hardware_constraints(IpVersion::v2, device->mesh())),
          checker(*device, hardware),
          mapper(checker, *constraints) {
        mapper.reset();
        constraints->set_cnp_max_filters(4);
        model.input("in");
        conv = model.conv("conv", "in", filters);
    }
    // The request for conv: its status and the CNP1 NPs it got.
    std::pair<MappingStatus, Idents> request(Idents const& reserved, bool* new_pass, bool allow_new_pass) {
        auto const [components, status] = mapper.np_request(conv, reserved, false, new_pass, allow_new_pass);
        Idents chosen;  // none when the request failed
        for (auto const& c : components)
            if (c.type == Type::CNP1 && !status.failed) chosen.push_back(c.ident);
        return {status, chosen};
    }
    std::shared_ptr<FakeDevice> device;
    std::shared_ptr<ScriptedConstraints> constraints;
    HardwareConstraints hardware;
    testing::FilterSplitChecker checker;
    MeshMapper mapper;
    ModelBuilder model;
    std::shared_ptr<Layer> conv;
};

// Two CNPs and a TNP-B, and a skip-DMA engine of one channel.
std::vector<np::Info> cnps_and_tnp_b() {
    auto nps = fake_nps(Type::CNP1, 2);
    nps.push_back({at(3), {Type::TNP_B}, true});
    return nps;
}
std::vector<np::Info> const one_skip_dma{{Ident{0, 0, 5, 1}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false}};

TEST(MeshMapper, ListsLeastVersatileFirst) {
    Ident const a{1, 1, 0, 0}, b{2, 1, 0, 0};
    // An FNP3 node at (1,1): ids 0 to 2 share it; (2,1) does not.
    Ident const n0{1, 1, 0, 0}, n1{1, 1, 1, 0}, n2{1, 1, 2, 0}, other{2, 1, 0, 0};
    struct Row { std::vector<np::Info> nps; std::vector<std::pair<Type, Idents>> expected; };
    Row const rows[] = {
        {{np_of(a, {Type::CNP1, Type::FNP2}), np_of(b, {Type::CNP1})}, {{Type::CNP1, {b, a}}, {Type::FNP2, {a}}}},
        // Values: n0 3 (node + FNP3), n2 7 (node + FNP3 + FNP2), n1 1 (node), other 0.
        {{np_of(n0, {Type::CNP1, Type::FNP3}), np_of(n2, {Type::CNP1, Type::FNP2, Type::FNP3}),
          np_of(n1, {Type::CNP1}), np_of(other, {Type::CNP1, Type::TNP_B})},
         {{Type::CNP1, {other, n1, n0, n2}}, {Type::FNP3, {n0, n2}}, {Type::FNP2, {n2}}, {Type::TNP_B, {other}}}},
        // A node member (1) goes before an FNP2 NP (4), which goes before an FNP3 offering FNP2 (7).
        {{np_of(other, {Type::CNP1, Type::FNP2}), np_of(n1, {Type::CNP1}), np_of(n0, {Type::FNP3})},
         {{Type::CNP1, {n1, other}}}},
    };
    for (auto const& row : rows) {
        Fixture f(row.nps);
        for (auto const& [type, idents] : row.expected) EXPECT_EQ(f.mapper.available_nps(type), idents);
    }
    // Above 16 slots ties still keep the mesh order.
    std::vector<np::Info> nps;
    Idents plain, fnp2;
    for (uint8_t col = 0; col < 20; ++col) {
        bool const with_fnp2 = col % 2 == 0;
        nps.push_back(np_of({col, 0, 0, 0}, with_fnp2 ? std::set{Type::CNP1, Type::FNP2} : std::set{Type::CNP1}));
        (with_fnp2 ? fnp2 : plain).push_back({col, 0, 0, 0});
    }
    plain.insert(plain.end(), fnp2.begin(), fnp2.end());
    EXPECT_EQ(Fixture(nps).mapper.available_nps(Type::CNP1), plain);
}

TEST(MeshMapper, SkipDmaChannels) {
    std::pair<std::vector<np::Info>, Idents> const rows[] = {
        // Every engine gets the first engine's channel count, in engine then channel order.
        {{np_of({1, 1, 0, 2}, {}), np_of({3, 3, 0, 5}, {})}, {{1, 1, 0, 0}, {1, 1, 0, 1}, {3, 3, 0, 0}, {3, 3, 0, 1}}},
        {{np_of({1, 1, 0, 0}, {}), np_of({3, 3, 0, 3}, {})}, {}},
    };
    for (auto const& [skip_dmas, expected] : rows) {
        Fixture f({np_of({1, 1, 0, 0}, {Type::CNP1, Type::FNP2})}, skip_dmas);
        EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE), expected);
        EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), expected);
    }
}

// One step on the mapper and what the CNP1 and FNP2 lists then offer.
TEST(MeshMapper, ReserveAllocateDeallocate) {
    Ident const a{1, 1, 0, 0}, b{2, 1, 0, 0}, c{3, 1, 0, 0}, store{5, 5, 0, 0};
    Fixture f({np_of(a, {Type::CNP1}), np_of(b, {Type::CNP1}), np_of(c, {Type::CNP1, Type::FNP2})},
              {np_of({5, 5, 0, 1}, {})});
    enum class Op { Reserve, Allocate, Deallocate, Reset };
    // nps: the list to reserve, or the one NP to allocate as `type`.
    struct Row {
        char const* name; Op op; Idents nps; Type type; Idents cnp1_free; uint32_t cnp1_max; Idents fnp2_free;
    };
    Row const rows[] = {
        {"reserve b", Op::Reserve, {b}, Type::None, {a, c}, 2, {c}},
        {"reservations are replaced", Op::Reserve, {c}, Type::None, {a, b}, 2, {}},
        {"all four ident fields count", Op::Reserve, {{3, 1, 0, 1}}, Type::None, {a, b, c}, 3, {c}},
        {"reserve a", Op::Reserve, {a}, Type::None, {b, c}, 2, {c}},
        {"allocate c as CNP1 only", Op::Allocate, {c}, Type::CNP1, {b}, 2, {c}},
        {"allocate c in every list", Op::Allocate, {c}, Type::None, {b}, 2, {}},
        {"unknown NP", Op::Allocate, {{9, 9, 0, 0}}, Type::None, {b}, 2, {}},
        {"free the pass, keep reservations", Op::Deallocate, {}, Type::None, {b, c}, 2, {c}},
        {"reset frees everything", Op::Reset, {}, Type::None, {a, b, c}, 3, {c}},
    };
    for (auto const& row : rows) {
        switch (row.op) {
        case Op::Reserve: f.mapper.reserve_nps(row.nps); break;
        case Op::Allocate: f.mapper.allocate_np(row.nps.at(0), row.type); break;
        case Op::Deallocate: f.mapper.deallocate_nps(); break;
        case Op::Reset: f.mapper.allocate_np(a, Type::None); f.mapper.reset(); break;
        }
        EXPECT_EQ(f.mapper.available_nps(Type::CNP1), row.cnp1_free) << row.name;
        EXPECT_EQ(f.mapper.max_nps(Type::CNP1), row.cnp1_max) << row.name;
        EXPECT_EQ(f.mapper.available_nps(Type::FNP2), row.fnp2_free) << row.name;
    }
    // Skip-DMA channels are allocated by their own type; allocating them as None reaches both lists.
    f.mapper.allocate_np(store, Type::SKIP_DMA_STORE);
    EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE), Idents{});
    EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), Idents{store});
    f.mapper.allocate_np(store, Type::None);
    EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), Idents{});
}

TEST(MeshMapper, CompatibleFnpType) {
    // NPs offering only FNP2 and only FNP3, how many of each are allocated, and whether every FNP3 is reserved.
    struct Row {
        char const* name; int fnp2_nps, fnp2_taken, fnp3_nps, fnp3_taken; bool fnp3_reserved, fits_fnp3; Type expected;
    };
    Row const rows[] = {
        {"free FNP3 that fits", 1, 0, 1, 0, false, true, Type::FNP3},
        {"free FNP3 too small", 1, 0, 1, 0, false, false, Type::FNP2},
        {"FNP3 busy, FNP2 free", 1, 0, 1, 1, false, true, Type::FNP2},
        {"all busy, mesh has an FNP3", 1, 1, 1, 1, false, true, Type::FNP3},
        {"all busy, FNP3 reserved", 1, 1, 1, 0, true, true, Type::FNP2},
        {"no FNP3 at all", 0, 0, 0, 0, false, true, Type::FNP2},
    };
    for (auto const& row : rows) {
        std::vector<np::Info> nps;
        Idents fnp3;
        for (int i = 0; i < row.fnp2_nps; ++i) nps.push_back(np_of({uint8_t(i), 0, 0, 0}, {Type::FNP2}));
        for (int i = 0; i < row.fnp3_nps; ++i) {
            fnp3.push_back({uint8_t(i), 1, 0, 0});
            nps.push_back(np_of(fnp3.back(), {Type::FNP3}));
        }
        Fixture f(nps);
        f.checker.fits_fnp3 = row.fits_fnp3;
        if (row.fnp3_reserved) f.mapper.reserve_nps(fnp3);
        for (int i = 0; i < row.fnp2_taken; ++i) f.mapper.allocate_np({uint8_t(i), 0, 0, 0}, Type::None);
        for (int i = 0; i < row.fnp3_taken; ++i) f.mapper.allocate_np(fnp3[size_t(i)], Type::None);
        FakeLayer const layer("dense");
        EXPECT_EQ(f.mapper.get_compatible_fnp_type(layer), row.expected) << row.name;
        ASSERT_EQ(f.checker.fnp3_queries.size(), 1u) << row.name;  // asked every time, with the back end's limits
        EXPECT_EQ(f.checker.fnp3_queries[0].constraints, &f.hardware);
    }
}

char const* const three_of_two =
    "Not enough hardware components of type CNP1 available. 3 are needed but 2 are available.";

TEST(MeshMapperNpRequest, CountsAgainstMeshOrFreeNps) {
    // `taken` NPs are allocated from the front of the list, `reserved` reserved from its back.
    struct Row {
        const char* name; uint8_t mesh_nps, taken, reserved; int filters; bool allow_new_pass; const char* message;
        bool new_pass; Idents chosen;
    };
    Row const rows[] = {
        {"three needed two in mesh", 2, 0, 0, 12, true, three_of_two, false, {}},
        {"one needed none in mesh", 0, 0, 0, 4, true,
         "Not enough hardware components of type CNP1 available. 1 is needed but 0 are available.", false, {}},
        {"one available", 2, 0, 1, 8, true,
         "Not enough hardware components of type CNP1 available. 2 are needed but 1 is available.", false, {}},
        {"five unreserved two free opens a pass", 5, 3, 0, 12, true, "Success.", true, {at(1), at(2), at(3)}},
        {"two free without new pass", 5, 3, 0, 12, false, three_of_two, false, {}},
        {"reserved are not counted", 3, 0, 1, 12, true, three_of_two, false, {}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f(fake_nps(Type::CNP1, row.mesh_nps), {}, row.filters);
        for (uint8_t i = 0; i < row.taken; ++i) f.mapper.allocate_np(at(uint8_t(1 + i)), Type::None);
        Idents reserved;
        for (uint8_t i = 0; i < row.reserved; ++i) reserved.push_back(at(uint8_t(row.mesh_nps - i)));
        bool new_pass = true;
        auto const [status, chosen] = f.request(reserved, &new_pass, row.allow_new_pass);
        EXPECT_EQ(status.message, row.message);
        EXPECT_EQ(status.layer_name, status.failed ? "conv" : "");
        EXPECT_EQ(new_pass, row.new_pass);
        EXPECT_EQ(chosen, row.chosen);
        for (Ident const& ident : chosen) EXPECT_EQ(std::ranges::count(f.mapper.available_nps(Type::CNP1), ident), 0);
        EXPECT_EQ(f.constraints->names, std::vector<std::string>{"conv"});
    }
    EXPECT_EQ(component_error(FakeLayer("l"), "FNP2", 1, 1).to_string(),
              "Cannot map layer 'l'. Not enough hardware components of type FNP2 available. 1 is needed but 1 is "
              "available.");
}

TEST(MeshMapperNpRequest, AddLayerIsAUseErrorAndFullyConnectedTakesAWholeFnp) {
    Fixture f(fake_nps(Type::FNP2, 1));
    auto add = FakeLayer::make("add", {ComponentKind::SKIP_DMA});
    add->set_params(LayerType::Add);
    bool new_pass = true;
    testing::expect_runtime_error([&] { f.mapper.np_request(add, {}, false, &new_pass, true); },
                                  "Mapping a layer with HW backend should use HW components.");

    f.checker.fits_fnp3 = false;
    auto fc = FakeLayer::make("fc", {ComponentKind::FNP});
    fc->set_params(LayerType::FullyConnected, {{"units", 10}}).set_input_dims({Shape{4, 4, 8}});
    auto const [components, status] = f.mapper.np_request(fc, {}, false, &new_pass, true);
    ASSERT_FALSE(status.failed) << status.message;
    EXPECT_FALSE(new_pass);
    ASSERT_EQ(components.size(), 1u);  // no skip-DMA component
    EXPECT_EQ(components[0].type, Type::FNP2);
    EXPECT_EQ(components[0].filters(), 10u);
    EXPECT_EQ(components[0].spatial_partition(), (NpSpace{0, 0, Shape{4, 4, 8}}));
}

TEST(MeshMapperNpRequest, SelectNpsAnswersAreChecked) {
    char const* const not_offered = "The NPs selected for type CNP1 must be distinct free NPs of that type.";
    struct Row { const char* name; std::function<Idents(Idents const&)> pick; const char* message; Idents chosen; };
    Row const rows[] = {
        {"one fewer", [](Idents const& s) { return Idents{s[0], s[1]}; }, three_of_two, {}},
        {"duplicate", [](Idents const& s) { return Idents{s[0], s[0], s[1]}; }, not_offered, {}},
        {"off the mesh", [](Idents const& s) { return Idents{s[0], s[1], Ident{9, 9, 9, 0}}; }, not_offered, {}},
        {"already allocated", [](Idents const& s) { return Idents{s[0], s[1], at(1)}; }, not_offered, {}},
        {"reversed free ones", [](Idents const& s) { return Idents{s[2], s[1], s[0]}; }, "Success.",
         {at(4), at(3), at(2)}},
    };
    for (auto const& row : rows) {
        Fixture f(fake_nps(Type::CNP1, 5), {}, 12);
        f.mapper.allocate_np(at(1), Type::None);
        f.constraints->pick = row.pick;
        bool new_pass = false;
        auto const [status, chosen] = f.request({}, &new_pass, true);
        EXPECT_EQ(status.message, row.message) << row.name;
        EXPECT_EQ(chosen, row.chosen) << row.name;
    }
}

// Each kind is cut by the splitter of its placement and filtering: over 8 input channels, 2 filters
// make one part of 2 where the filters count, and the channels two parts of 4 where they do.
TEST(MeshMapperNpRequest, EachKindTakesTheSplitterOfItsRow) {
    struct Row { LayerType type; std::map<std::string, int> params; std::vector<uint32_t> filters; };
    Row const rows[] = {
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 2}}, {2}},
        {LayerType::DepthwiseConv2D, {{"kernel_size", 1}}, {4, 4}},
        {LayerType::Conv2DTranspose, {{"kernel_size", 2}, {"filters", 2}}, {2}},
        {LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 2}}, {4, 4}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.type));
        Fixture f(fake_nps(Type::CNP1, 4));
        f.model.input("in8", 8);
        auto const layer = f.model.layer(row.type, "l", row.params, {"in8"});
        bool new_pass = false;
        auto const [components, status] = f.mapper.np_request(layer, {}, false, &new_pass, true);
        ASSERT_FALSE(status.failed) << status.message;
        std::vector<uint32_t> filters;
        for (auto const& c : components)
            if (c.type == Type::CNP1) filters.push_back(c.filters());
        EXPECT_EQ(filters, row.filters);
    }
}

// conv followed by a BufferTempConv on TNP-B, which needs a skip-DMA load channel.
TEST(MeshMapperNpRequest, LookAheadAtTheNextBufferTempConv) {
    char const* const next_fails = "The next BufferTempConv btc can't be mapped in the current pass.";
    // skip_dma: the mesh has the one-channel engine; busy: an earlier layer of the pass holds the
    // load channel and the first CNP.
    struct Row {
        const char* name; bool skip_dma, busy, allow_new_pass; const char* message; bool new_pass; Idents chosen;
        std::optional<Idents> cnp_free_after;
    };
    Row const rows[] = {
        {"fits", true, false, true, "Success.", false, {at(1)}, Idents{at(2)}},
        // Placed again at the start of the new pass.
        {"new pass when allowed", true, true, true, "Success.", true, {at(1)}, Idents{at(2)}},
        // The NPs allocated on the way are given back.
        {"no new pass allowed", true, true, false, next_fails, false, {}, Idents{at(2)}},
        {"fails in a new pass too", false, false, true, next_fails, true, {}, std::nullopt},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f(cnps_and_tnp_b(), row.skip_dma ? one_skip_dma : std::vector<np::Info>{});
        f.model.buffer_temp_conv("btc", "conv", 2);
        if (row.busy) {
            f.mapper.allocate_np(load_channel, Type::SKIP_DMA_LOAD);
            f.mapper.allocate_np(at(1), Type::None);
        }
        bool new_pass = false;
        auto const [status, chosen] = f.request({}, &new_pass, row.allow_new_pass);
        EXPECT_EQ(status.message, row.message);
        EXPECT_EQ(new_pass, row.new_pass);
        EXPECT_EQ(chosen, row.chosen);
        if (row.cnp_free_after) { EXPECT_EQ(f.mapper.available_nps(Type::CNP1), *row.cnp_free_after); }
    }
    // The TNP-B layer itself, or a layer whose next layer is on a CNP, is not looked past.
    Fixture f(cnps_and_tnp_b());
    f.model.buffer_temp_conv("btc", "conv", 2);
    f.model.conv("c", "btc");
    bool new_pass = false;
    EXPECT_FALSE(f.mapper.sanitize_tnp_b(*f.model["btc"], &new_pass, true).failed);
    EXPECT_FALSE(f.mapper.sanitize_tnp_b(*f.model["c"], &new_pass, true).failed);
    EXPECT_FALSE(new_pass);
}

}  // namespace
}  // namespace nuvra
