#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/stub_checker.h"
#include "tests/cpp/support/stub_layer.h"

namespace nuvra {
namespace {

using hw::Ident;
using hw::Type;
using Idents = std::vector<Ident>;

np::Info np_of(Ident ident, std::set<Type> types) { return {ident, std::move(types), true}; }

// A mapper over a second-generation device with the given NPs and skip DMAs, already reset.
struct MapperFixture {
    explicit MapperFixture(std::vector<np::Info> nps, std::vector<np::Info> skip_dmas = {})
        : device(make_fake_device(hw::Tolmar_v2,
                                  fake_mesh(IpVersion::v2, std::move(nps), std::move(skip_dmas)))),
          hardware(make_hardware_constraints(IpVersion::v2, device->mesh())),
          checker(*device, hardware),
          constraints(device),
          mapper(checker, constraints) {
        mapper.reset();
    }
    std::shared_ptr<FakeDevice> device;
    HardwareConstraints hardware;
    StubChecker checker;
    MapConstraints constraints;
    MeshMapper mapper;
};

Idents idents_of(std::vector<NpSlot> const& slots) {
    Idents result;
    for (auto const& slot : slots) result.push_back(slot.ident);
    return result;
}

TEST(MeshMapper, ListsLeastVersatileFirst) {
    Ident const a{1, 1, 0, 0}, b{2, 1, 0, 0};
    // An FNP3 node at (1,1): ids 0 to 2 share it; (2,1) does not.
    Ident const n0{1, 1, 0, 0}, n1{1, 1, 1, 0}, n2{1, 1, 2, 0}, other{2, 1, 0, 0};
    struct Row {
        char const* name;
        std::vector<np::Info> nps;
        std::vector<std::pair<Type, Idents>> expected;
    };
    Row const rows[] = {
        {"FNP2 capable NP goes last",
         {np_of(a, {Type::CNP1, Type::FNP2}), np_of(b, {Type::CNP1})},
         {{Type::CNP1, {b, a}}, {Type::FNP2, {a}}, {Type::FNP3, {}}}},
        {"equal values keep mesh order",
         {np_of(a, {Type::CNP1}), np_of(b, {Type::CNP1})},
         {{Type::CNP1, {a, b}}}},
        // Values: n0 3 (node + FNP3), n2 7 (node + FNP3 + FNP2), n1 1 (node), other 0.
        {"FNP3 node",
         {np_of(n0, {Type::CNP1, Type::FNP3}), np_of(n2, {Type::CNP1, Type::FNP2, Type::FNP3}),
          np_of(n1, {Type::CNP1}), np_of(other, {Type::CNP1, Type::TNP_B})},
         {{Type::CNP1, {other, n1, n0, n2}}, {Type::FNP3, {n0, n2}}, {Type::FNP2, {n2}},
          {Type::TNP_B, {other}}}},
        // An NP offering only FNP2 (4) sorts after a node member (1) in the FNP2 list.
        {"FNP2 list",
         {np_of(other, {Type::FNP2}), np_of(n0, {Type::FNP2, Type::FNP3})},
         {{Type::FNP2, {other, n0}}, {Type::FNP3, {n0}}}},
        {"an NP listed as HRC",
         {np_of(a, {Type::HRC})},
         {{Type::HRC, {a}}, {Type::CNP1, {}}}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        MapperFixture f(row.nps);
        for (auto const& [type, idents] : row.expected) {
            SCOPED_TRACE(hw::to_string(type));
            EXPECT_EQ(idents_of(f.mapper.slots(type)), idents);
            EXPECT_EQ(f.mapper.available_nps(type), idents);
            EXPECT_EQ(f.mapper.max_nps(type), idents.size());
        }
    }
}

TEST(MeshMapper, LongListsSortStably) {
    // Above 16 slots equal values still keep the mesh order.
    std::vector<np::Info> nps;
    Idents plain, fnp2;
    for (uint8_t col = 0; col < 20; ++col) {
        Ident const ident{col, 0, 0, 0};
        bool const with_fnp2 = col % 2 == 0;
        nps.push_back(np_of(ident, with_fnp2 ? std::set{Type::CNP1, Type::FNP2}
                                             : std::set{Type::CNP1}));
        (with_fnp2 ? fnp2 : plain).push_back(ident);
    }
    MapperFixture f(nps);
    Idents expected = plain;
    expected.insert(expected.end(), fnp2.begin(), fnp2.end());
    EXPECT_EQ(f.mapper.available_nps(Type::CNP1), expected);
    EXPECT_EQ(f.mapper.available_nps(Type::FNP2), fnp2);
}

TEST(MeshMapper, SkipDmaChannels) {
    // An engine at the same place as an FNP2 NP: the skip-DMA lists are never sorted.
    Ident const fnp2_np{1, 1, 0, 0};
    struct Row {
        char const* name;
        std::vector<np::Info> skip_dmas;
        Idents expected;
    };
    Row const rows[] = {
        {"two channels each, the first engine's count for all",
         {np_of({1, 1, 0, 2}, {}), np_of({3, 3, 0, 5}, {})},
         {{1, 1, 0, 0}, {1, 1, 0, 1}, {3, 3, 0, 0}, {3, 3, 0, 1}}},
        {"first engine declares no channel", {np_of({1, 1, 0, 0}, {}), np_of({3, 3, 0, 3}, {})}, {}},
        {"no skip DMA", {}, {}},
        {"one engine, three channels", {np_of({4, 2, 1, 3}, {})},
         {{4, 2, 1, 0}, {4, 2, 1, 1}, {4, 2, 1, 2}}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        MapperFixture f({np_of(fnp2_np, {Type::CNP1, Type::FNP2})}, row.skip_dmas);
        EXPECT_EQ(idents_of(f.mapper.slots(Type::SKIP_DMA_STORE)), row.expected);
        EXPECT_EQ(idents_of(f.mapper.slots(Type::SKIP_DMA_LOAD)), row.expected);
    }
}

// One step on the mapper and what the CNP1 and FNP2 lists then offer.
TEST(MeshMapper, ReserveAllocateDeallocate) {
    Ident const a{1, 1, 0, 0}, b{2, 1, 0, 0}, c{3, 1, 0, 0};
    Ident const store{5, 5, 0, 0};
    MapperFixture f(
        {np_of(a, {Type::CNP1}), np_of(b, {Type::CNP1}), np_of(c, {Type::CNP1, Type::FNP2})},
        {np_of({5, 5, 0, 1}, {})});
    enum class Op { Reserve, Allocate, Deallocate, Reset };
    struct Row {
        char const* name;
        Op op;
        Idents nps;  // reserve: the list; allocate: the one NP
        Type type;   // allocate only
        Idents cnp1_available;
        uint32_t cnp1_max;
        Idents fnp2_available;
        uint32_t fnp2_max;
    };
    Row const rows[] = {
        {"start", Op::Deallocate, {}, Type::None, {a, b, c}, 3, {c}, 1},
        {"reserve b", Op::Reserve, {b}, Type::None, {a, c}, 2, {c}, 1},
        {"reservations are replaced", Op::Reserve, {c}, Type::None, {a, b}, 2, {}, 0},
        {"all four ident fields count", Op::Reserve, {{3, 1, 0, 1}}, Type::None, {a, b, c}, 3, {c}, 1},
        {"reserve a", Op::Reserve, {a}, Type::None, {b, c}, 2, {c}, 1},
        {"allocate c as CNP1 only", Op::Allocate, {c}, Type::CNP1, {b}, 2, {c}, 1},
        {"allocate c in every list", Op::Allocate, {c}, Type::None, {b}, 2, {}, 1},
        {"unknown NP", Op::Allocate, {{9, 9, 0, 0}}, Type::None, {b}, 2, {}, 1},
        {"type without list", Op::Allocate, {b}, Type::TNP_R, {b}, 2, {}, 1},
        {"free the pass, keep reservations", Op::Deallocate, {}, Type::None, {b, c}, 2, {c}, 1},
        {"allocate b", Op::Allocate, {b}, Type::None, {c}, 2, {c}, 1},
        {"empty reservation list", Op::Reserve, {}, Type::None, {a, c}, 3, {c}, 1},
        {"reset frees everything", Op::Reset, {}, Type::None, {a, b, c}, 3, {c}, 1},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        switch (row.op) {
        case Op::Reserve: f.mapper.reserve_nps(row.nps); break;
        case Op::Allocate: f.mapper.allocate_np(row.nps.at(0), row.type); break;
        case Op::Deallocate: f.mapper.deallocate_nps(); break;
        case Op::Reset: f.mapper.reset(); break;
        }
        EXPECT_EQ(f.mapper.available_nps(Type::CNP1), row.cnp1_available);
        EXPECT_EQ(f.mapper.max_nps(Type::CNP1), row.cnp1_max);
        EXPECT_EQ(f.mapper.available_nps(Type::FNP2), row.fnp2_available);
        EXPECT_EQ(f.mapper.max_nps(Type::FNP2), row.fnp2_max);
    }
    // Skip-DMA channels are allocated by their own type; allocating them as None reaches them too.
    f.mapper.allocate_np(store, Type::SKIP_DMA_STORE);
    EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE), Idents{});
    EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), Idents{store});
    f.mapper.allocate_np(store, Type::None);
    EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_LOAD), Idents{});
    EXPECT_EQ(f.mapper.max_nps(Type::SKIP_DMA_LOAD), 1u);
    EXPECT_EQ(f.mapper.max_nps(Type::DMA), 0u);
    EXPECT_EQ(f.mapper.available_nps(Type::DMA), Idents{});
}

TEST(MeshMapper, CompatibleFnpType) {
    struct Row {
        char const* name;
        int fnp2_nps, fnp2_taken;  // NPs offering only FNP2, and how many are allocated
        int fnp3_nps, fnp3_taken;
        bool fnp3_reserved;        // every FNP3 reserved
        bool fits_fnp3;
        Type expected;
    };
    Row const rows[] = {
        {"free FNP3 that fits", 1, 0, 1, 0, false, true, Type::FNP3},
        {"free FNP3 too small", 1, 0, 1, 0, false, false, Type::FNP2},
        {"FNP3 busy, FNP2 free", 1, 0, 1, 1, false, true, Type::FNP2},
        {"all busy, mesh has an FNP3", 1, 1, 1, 1, false, true, Type::FNP3},
        {"no FNP2 in mesh, FNP3 busy", 0, 0, 2, 2, false, true, Type::FNP3},
        {"all busy, FNP3 too small", 1, 1, 1, 1, false, false, Type::FNP2},
        {"all busy, FNP3 reserved", 1, 1, 1, 0, true, true, Type::FNP2},
        {"no FNP3 at all", 0, 0, 0, 0, false, true, Type::FNP2},
        {"both free", 2, 1, 2, 1, false, true, Type::FNP3},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<np::Info> nps;
        Idents fnp3;
        for (int i = 0; i < row.fnp2_nps; ++i)
            nps.push_back(np_of({uint8_t(i), 0, 0, 0}, {Type::FNP2}));
        for (int i = 0; i < row.fnp3_nps; ++i) {
            fnp3.push_back({uint8_t(i), 1, 0, 0});
            nps.push_back(np_of(fnp3.back(), {Type::FNP3}));
        }
        MapperFixture f(nps);
        f.checker.fits_fnp3 = row.fits_fnp3;
        if (row.fnp3_reserved) f.mapper.reserve_nps(fnp3);
        for (int i = 0; i < row.fnp2_taken; ++i)
            f.mapper.allocate_np({uint8_t(i), 0, 0, 0}, Type::None);
        for (int i = 0; i < row.fnp3_taken; ++i) f.mapper.allocate_np(fnp3[i], Type::None);

        StubLayer const layer("dense");
        EXPECT_EQ(f.mapper.get_compatible_fnp_type(layer), row.expected);
        // The checker is asked every time, about this layer with the back end's limits.
        ASSERT_EQ(f.checker.fnp3_queries.size(), 1u);
        EXPECT_EQ(f.checker.fnp3_queries[0].layer, &layer);
        EXPECT_EQ(f.checker.fnp3_queries[0].constraints, &f.hardware);
    }
}

TEST(MeshMapper, ResetReadsTheDeviceOfTheConstraints) {
    MapperFixture f({np_of({1, 1, 0, 0}, {Type::CNP1})});
    EXPECT_EQ(&f.mapper.constraints(), &f.constraints);
    EXPECT_EQ(&f.mapper.checker(), &f.checker);
    f.device->mutable_mesh().nps.push_back(np_of({2, 1, 0, 0}, {Type::CNP1}));
    EXPECT_EQ(f.mapper.max_nps(Type::CNP1), 1u);
    f.mapper.reset();
    EXPECT_EQ(f.mapper.available_nps(Type::CNP1), (Idents{{1, 1, 0, 0}, {2, 1, 0, 0}}));
}

}  // namespace
}  // namespace nuvra
