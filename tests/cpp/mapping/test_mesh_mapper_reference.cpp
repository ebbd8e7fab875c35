// The mesh mapper against the scanning one it replaced (support/scanning_mesh_mapper.h): random
// meshes and random layer chains, placed by both through the same steps, must leave both with the
// same lists and give every layer the same NPs, statuses and pass breaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "backends/ip_version_backend.h"
#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "support/fake_device.h"
#include "support/filter_split_checker.h"
#include "support/model_builder.h"
#include "support/scanning_mesh_mapper.h"

namespace nuvra {
namespace {

using hw::Ident;
using hw::Type;
using Idents = std::vector<Ident>;
using Rng = std::mt19937;

Type const all_types[] = {Type::None,  Type::HRC,   Type::CNP1,  Type::CNP2,          Type::FNP2, Type::FNP3,
                          Type::TNP_B, Type::TNP_R, Type::DMA,   Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD};

size_t below(Rng& rng, size_t n) { return n == 0 ? 0 : size_t(rng() % n); }

// `least` to `most` NPs on a few columns of four rows and up to four ids, so that some share an FNP3
// node and, now and then, the mesh lists one ident twice; most offer CNP1 and CNP2, some also an
// FNP, some are TNPs.
Mesh random_mesh(Rng& rng, size_t least, size_t most) {
    std::vector<np::Info> nps;
    size_t const count = least + below(rng, most - least + 1);
    for (size_t i = 0; i < count; ++i) {
        Ident const ident{uint8_t(1 + below(rng, 1 + count / 8)), uint8_t(below(rng, 4)), uint8_t(below(rng, 4)), 0};
        std::set<Type> types;
        switch (below(rng, 8)) {
        case 0: types = {Type::CNP1, Type::CNP2, Type::FNP2}; break;
        case 1: types = {Type::CNP1, Type::FNP3}; break;
        case 2: types = {Type::TNP_B}; break;
        case 3: types = {Type::TNP_R, Type::CNP1}; break;
        case 4: types = {Type::FNP2}; break;
        default: types = {Type::CNP1, Type::CNP2}; break;
        }
        nps.push_back({ident, types, true});
    }
    // The first engine's channel field is the channel count of every engine (0 gives none).
    std::vector<np::Info> skip_dmas;
    size_t const engines = below(rng, 4);
    for (size_t i = 0; i < engines; ++i)
        skip_dmas.push_back({{uint8_t(i), 7, uint8_t(i % 2), uint8_t(below(rng, 4))}, {}, false});
    return fake_mesh(IpVersion::v2, std::move(nps), std::move(skip_dmas));
}

// A chain of `n` layers after an input: convolutions of 1 to 24 filters, BufferTempConvs on TNP-B
// (so that the layer before each looks ahead), fully-connected layers, and pairs of equal
// convolutions merged by an Add (so that layers store and load skip connections).
testing::ModelBuilder random_chain(Rng& rng, size_t n) {
    testing::ModelBuilder model;
    model.input("in");
    std::string last = "in";
    for (size_t i = 0; i < n; ++i) {
        std::string const name = "l" + std::to_string(i);
        int const filters = int(1 + below(rng, 24));
        switch (below(rng, 6)) {
        case 0: model.buffer_temp_conv(name, last, int(1 + below(rng, 3)), filters); break;
        case 1: model.layer(LayerType::FullyConnected, name, {{"units", filters}}, {last}); break;
        case 2:
            model.conv(name + "a", last, filters);
            model.conv(name, name + "a", filters);
            model.add(name + "m", name + "a", name);
            last = name + "m";
            continue;
        default: model.conv(name, last, filters); break;
        }
        last = name;
    }
    return model;
}

// Constraints whose select_nps answers, from its own seed, with the default choice or with a
// shuffle, one NP fewer, a duplicate or an NP it was not offered.
class RandomPicks : public MapConstraints {
public:
    RandomPicks(std::shared_ptr<Device> const& device, unsigned seed) : MapConstraints(device), rng_(seed) {}
    Idents select_nps(Idents const& source, size_t count, Type type) const override {
        Idents picks = MapConstraints::select_nps(source, count, type);
        switch (below(rng_, 10)) {
        case 0:
            picks = source;
            std::shuffle(picks.begin(), picks.end(), rng_);
            picks.resize(std::min(count, picks.size()));
            break;
        case 1:
            if (!picks.empty()) picks.pop_back();
            break;
        case 2:
            if (!picks.empty()) picks.back() = picks.front();
            break;
        case 3:
            if (!picks.empty()) picks.back() = Ident{99, 9, 9, 0};
            break;
        default: break;
        }
        return picks;
    }

private:
    mutable Rng rng_;
};

// The two mappers over the same mesh and constraints of their own (alike when both are picked
// randomly from the same seed).
struct Pair {
    Pair(std::shared_ptr<Device> const& device, bool random_picks, unsigned seed)
        : hardware(make_hardware_constraints(IpVersion::v2, device->mesh())),
          checker(*device, hardware),
          mine(random_picks ? std::make_shared<RandomPicks>(device, seed) : std::make_shared<MapConstraints>(device)),
          theirs(random_picks ? std::make_shared<RandomPicks>(device, seed) : std::make_shared<MapConstraints>(device)),
          mapper(checker, *mine),
          reference(checker, *theirs) {
        mine->set_cnp_max_filters(4);
        theirs->set_cnp_max_filters(4);
        mapper.reset();
        reference.reset();
    }

    // Every list, slot by slot, and what each type counts and offers.
    void expect_same_lists(std::string const& step) const {
        for (Type type : all_types) {
            ASSERT_EQ(mapper.slots(type), reference.slots(type)) << step << ", type " << hw::to_string(type);
            ASSERT_EQ(mapper.max_nps(type), reference.max_nps(type)) << step << ", type " << hw::to_string(type);
            ASSERT_EQ(mapper.available_nps(type), reference.available_nps(type))
                << step << ", type " << hw::to_string(type);
        }
    }

    HardwareConstraints hardware;
    testing::FilterSplitChecker checker;
    std::shared_ptr<MapConstraints> mine, theirs;
    MeshMapper mapper;
    testing::ScanningMeshMapper reference;
};

// The result of one request, or the text of what it threw.
struct Answer {
    std::vector<hw::Component> components;
    MappingStatus status;
    bool need_new_pass = false;
    std::string thrown;

    friend bool operator==(Answer const&, Answer const&) = default;
};

template <class Mapper>
Answer request(Mapper& mapper, std::shared_ptr<Layer> const& layer, Idents const& reserved, bool loop_itself,
               bool allow_new_pass) {
    Answer answer;
    try {
        std::tie(answer.components, answer.status) =
            mapper.np_request(layer, reserved, loop_itself, &answer.need_new_pass, allow_new_pass);
    } catch (std::exception const& error) {
        answer.thrown = error.what();
    }
    return answer;
}

// The NPs a request keeps out: those of the layer before (as the mapping driver does), some of the
// mesh, some off the mesh, or none.
Idents random_reserved(Rng& rng, Mesh const& mesh, Answer const& previous) {
    Idents reserved;
    switch (below(rng, 4)) {
    case 0: break;
    case 1:
        for (auto const& c : previous.components)
            if (c.type != Type::SKIP_DMA_STORE && c.type != Type::SKIP_DMA_LOAD) reserved.push_back(c.ident);
        break;
    default:
        for (size_t i = below(rng, 6); i > 0; --i) {
            if (!mesh.nps.empty() && below(rng, 4) != 0) reserved.push_back(mesh.nps[below(rng, mesh.nps.size())].ident);
            else reserved.push_back({uint8_t(below(rng, 3)), 7, 0, uint8_t(below(rng, 3))});  // a skip-DMA channel or none
        }
    }
    return reserved;
}

// Maps random chains on random meshes with both mappers, request by request, with direct
// reservations, allocations, frees and resets mixed in.
void place_random_chains(bool random_picks, unsigned first_seed, unsigned seeds, size_t least_nps, size_t most_nps) {
    for (unsigned seed = first_seed; seed < first_seed + seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        auto const device = make_fake_device(hw::Tolmar_v2, random_mesh(rng, least_nps, most_nps));
        Mesh const& mesh = device->mesh();
        Pair pair(device, random_picks, seed);
        testing::ModelBuilder model = random_chain(rng, 40);
        Answer previous;
        size_t step = 0;
        for (auto const& layer : model.model().layers()) {
            std::string const at = layer->get_name() + " (step " + std::to_string(step++) + ")";
            bool changed = true;
            switch (below(rng, 12)) {
            case 0: {
                Idents reserved = random_reserved(rng, mesh, previous);
                pair.mapper.reserve_nps(reserved);
                pair.reference.reserve_nps(reserved);
                break;
            }
            case 1:
                if (!mesh.nps.empty()) {
                    Ident const ident = mesh.nps[below(rng, mesh.nps.size())].ident;
                    Type const type = all_types[below(rng, std::size(all_types))];
                    pair.mapper.allocate_np(ident, type);
                    pair.reference.allocate_np(ident, type);
                }
                break;
            case 2:
                pair.mapper.deallocate_nps();
                pair.reference.deallocate_nps();
                break;
            case 3:
                if (below(rng, 4) == 0) {
                    pair.mapper.reset();
                    pair.reference.reset();
                }
                break;
            default: changed = false; break;
            }
            if (changed) pair.expect_same_lists(at + ", before");
            if (::testing::Test::HasFatalFailure()) return;
            if (layer->is_target_component(ComponentKind::None) || layer->is_target_component(ComponentKind::SKIP_DMA))
                continue;
            Idents const reserved = random_reserved(rng, mesh, previous);
            bool const loop_itself = below(rng, 4) == 0, allow_new_pass = below(rng, 4) != 0;
            pair.checker.fits_fnp3 = below(rng, 2) == 0;
            Answer const mine = request(pair.mapper, layer, reserved, loop_itself, allow_new_pass);
            Answer const theirs = request(pair.reference, layer, reserved, loop_itself, allow_new_pass);
            ASSERT_TRUE(mine == theirs) << at << ": " << mine.status.message << mine.thrown << " / "
                                        << theirs.status.message << theirs.thrown;
            pair.expect_same_lists(at + ", after");
            if (::testing::Test::HasFatalFailure()) return;
            previous = mine;
        }
    }
}

// in -> conv -> a BufferTempConv split over two TNP-Bs: TNP-Bs kept out of conv's request still
// count for the next layer, unless the pass already holds them.
TEST(MeshMapperReference, ReservedTnpBsFreeForTheNextLayer) {
    Ident const t1{3, 0, 0, 0}, t2{4, 0, 0, 0};
    char const* const next_fails = "The next BufferTempConv btc can't be mapped in the current pass.";
    struct Row { char const* name; Idents reserved, allocated; char const* message; };
    Row const rows[] = {
        {"both free", {}, {}, "Success."},
        {"one reserved", {t1}, {}, "Success."},
        {"both reserved", {t1, t2}, {}, "Success."},
        {"one reserved and in the pass", {t1}, {t1}, next_fails},
        {"both reserved, one in the pass", {t1, t2}, {t2}, next_fails},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto nps = fake_nps(Type::CNP1, 2);
        nps.push_back({t1, {Type::TNP_B}, true});
        nps.push_back({t2, {Type::TNP_B}, true});
        auto const device = make_fake_device(
            hw::Tolmar_v2, fake_mesh(IpVersion::v2, nps, {{Ident{0, 0, 5, 1}, {}, false}}));
        Pair pair(device, false, 0);
        testing::ModelBuilder model;
        model.input("in");
        auto const conv = model.conv("conv", "in");
        model.buffer_temp_conv("btc", "conv", 2, 8);
        for (Ident const& ident : row.allocated) pair.mapper.allocate_np(ident, Type::None);
        bool new_pass = false;
        auto const [components, status] = pair.mapper.np_request(conv, row.reserved, false, &new_pass, false);
        EXPECT_EQ(status.message, row.message);
        // A refused layer keeps none of the NPs it took.
        Idents const free_cnps = status.failed ? Idents{{1, 0, 0, 0}, {2, 0, 0, 0}} : Idents{{2, 0, 0, 0}};
        EXPECT_EQ(pair.mapper.available_nps(Type::CNP1), free_cnps);
    }
}

TEST(MeshMapperReference, PlacesAsTheScanningMapperWithTheDefaultChoice) {
    // Small meshes fill and open passes often; large ones span three 64-slot words.
    place_random_chains(false, 1, 10, 0, 24);
    place_random_chains(false, 1001, 5, 150, 200);
}

TEST(MeshMapperReference, PlacesAsTheScanningMapperWithChoicesOfTheCaller) {
    place_random_chains(true, 2001, 10, 0, 24);
    place_random_chains(true, 3001, 5, 150, 200);
}

}  // namespace
}  // namespace nuvra
