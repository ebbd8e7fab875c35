// The mesh mapper against the scanning one it replaced (support/scanning_mesh_mapper.h): random
// chains placed on random meshes by both, step by step, leave the same lists and give every layer
// the same NPs, statuses and pass breaks.
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
#include "support/mapping_fixtures.h"
#include "support/model_builder.h"
#include "support/scanning_mesh_mapper.h"

namespace nuvra {
namespace {

using hw::Ident;
using hw::Type;
using Idents = std::vector<Ident>;
using Rng = std::mt19937;
using testing::below;

Type const all_types[] = {Type::None,  Type::HRC,   Type::CNP1,  Type::CNP2,          Type::FNP2, Type::FNP3,
                          Type::TNP_B, Type::TNP_R, Type::DMA,   Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD};

// `least` to `most` NPs on few columns, so that some share an FNP3 node and an ident may come twice.
Mesh random_mesh(Rng& rng, size_t least, size_t most) {
    std::set<Type> const offers[] = {{Type::CNP1, Type::CNP2, Type::FNP2}, {Type::CNP1, Type::FNP3}, {Type::TNP_B},
                                     {Type::TNP_R, Type::CNP1}, {Type::FNP2}, {Type::CNP1, Type::CNP2}};
    std::vector<np::Info> nps;
    size_t const count = least + below(rng, most - least + 1);
    for (size_t i = 0; i < count; ++i) {
        Ident const ident{uint8_t(1 + below(rng, 1 + count / 8)), uint8_t(below(rng, 4)), uint8_t(below(rng, 4)), 0};
        nps.push_back({ident, offers[std::min<size_t>(below(rng, 8), 5)], true});  // mostly CNPs
    }
    std::vector<np::Info> skip_dmas;  // the first one's channel count holds for all (0: none)
    size_t const engines = below(rng, 4);
    for (size_t i = 0; i < engines; ++i)
        skip_dmas.push_back({{uint8_t(i), 7, uint8_t(i % 2), uint8_t(below(rng, 4))}, {}, false});
    return fake_mesh(IpVersion::v2, std::move(nps), std::move(skip_dmas));
}

// Convolutions, BufferTempConvs (the layer before looks ahead), fully-connected layers and Adds of two
// convolutions (skip-DMA stores and loads).
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

// select_nps answering, from its seed, as the default, with a shuffle, one NP fewer, a duplicate or
// an NP it was not offered.
class RandomPicks : public MapConstraints {
public:
    RandomPicks(std::shared_ptr<Device> const& device, unsigned seed) : MapConstraints(device), rng_(seed) {}
    Idents select_nps(Idents const& source, size_t count, Type type) const override {
        Idents picks = MapConstraints::select_nps(source, count, type);
        size_t const answer = below(rng_, 10);
        if (answer == 0) {
            picks = source;
            std::shuffle(picks.begin(), picks.end(), rng_);
            picks.resize(std::min(count, picks.size()));
        } else if (answer <= 3 && !picks.empty()) {
            if (answer == 1) picks.pop_back();
            else picks.back() = answer == 2 ? picks.front() : Ident{99, 9, 9, 0};
        }
        return picks;
    }

private:
    mutable Rng rng_;
};

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

    void expect_same_lists(std::string const& step) const {
        for (Type type : all_types) {
            std::string const at = step + ", type " + hw::to_string(type);
            ASSERT_EQ(mapper.slots(type), reference.slots(type)) << at;
            ASSERT_EQ(mapper.max_nps(type), reference.max_nps(type)) << at;
            ASSERT_EQ(mapper.available_nps(type), reference.available_nps(type)) << at;
        }
    }

    HardwareConstraints hardware;
    testing::FilterSplitChecker checker;
    std::shared_ptr<MapConstraints> mine, theirs;
    MeshMapper mapper;
    testing::ScanningMeshMapper reference;
};

// A request's result, or the text of what it threw.
struct Answer {
    std::vector<hw::Component> components;
    MappingStatus status;
    bool need_new_pass = false;
    std::string thrown;

    friend bool operator==(Answer const&, Answer const&) = default;
};

// The NPs of the layer before (as the mapping driver keeps out), of the mesh, off the mesh, or none.
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

// Request by request, with reservations, allocations, frees and resets mixed in. Small meshes fill
// and open passes often; large ones span three 64-slot words.
TEST(MeshMapperReference, PlacesAsTheScanningMapper) {
    for (unsigned seed = 0; seed < 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        bool const random_picks = seed % 2 != 0, large = seed % 4 >= 2;
        auto const device =
            make_fake_device(hw::Tolmar_v2, large ? random_mesh(rng, 150, 200) : random_mesh(rng, 0, 24));
        Mesh const& mesh = device->mesh();
        Pair pair(device, random_picks, seed);
        testing::ModelBuilder model = random_chain(rng, 40);
        Answer previous;
        size_t step = 0;
        auto const both = [&pair](auto const& call) {
            call(pair.mapper);
            call(pair.reference);
        };
        for (auto const& layer : model.model().layers()) {
            std::string const at = layer->get_name() + " (step " + std::to_string(step++) + ")";
            bool changed = true;
            switch (below(rng, 12)) {
            case 0: {
                Idents const reserved = random_reserved(rng, mesh, previous);
                both([&](auto& m) { m.reserve_nps(reserved); });
                break;
            }
            case 1:
                if (!mesh.nps.empty()) {
                    Ident const ident = mesh.nps[below(rng, mesh.nps.size())].ident;
                    Type const type = all_types[below(rng, std::size(all_types))];
                    both([&](auto& m) { m.allocate_np(ident, type); });
                }
                break;
            case 2: both([](auto& m) { m.deallocate_nps(); }); break;
            case 3:
                if (below(rng, 4) == 0) both([](auto& m) { m.reset(); });
                break;
            default: changed = false; break;
            }
            if (changed) pair.expect_same_lists(at + ", before");
            if (HasFatalFailure()) return;
            if (layer->is_target_component(ComponentKind::None) || layer->is_target_component(ComponentKind::SKIP_DMA))
                continue;
            Idents const reserved = random_reserved(rng, mesh, previous);
            bool const loop_itself = below(rng, 4) == 0, allow_new_pass = below(rng, 4) != 0;
            pair.checker.fits_fnp3 = below(rng, 2) == 0;
            auto const request = [&](auto& mapper) {
                Answer answer;
                try {
                    std::tie(answer.components, answer.status) =
                        mapper.np_request(layer, reserved, loop_itself, &answer.need_new_pass, allow_new_pass);
                } catch (std::exception const& error) {
                    answer.thrown = error.what();
                }
                return answer;
            };
            Answer const mine = request(pair.mapper), theirs = request(pair.reference);
            ASSERT_TRUE(mine == theirs) << at << ": " << mine.status.message << mine.thrown << " / "
                                        << theirs.status.message << theirs.thrown;
            pair.expect_same_lists(at + ", after");
            if (HasFatalFailure()) return;
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
        {"both reserved", {t1, t2}, {}, "Success."},
        {"both reserved, one in the pass", {t1, t2}, {t2}, next_fails},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto nps = fake_nps(Type::CNP1, 2);
        nps.insert(nps.end(), {{t1, {Type::TNP_B}, true}, {t2, {Type::TNP_B}, true}});
        auto const device =
            make_fake_device(hw::Tolmar_v2, fake_mesh(IpVersion::v2, nps, {{Ident{0, 0, 5, 1}, {}, false}}));
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

}  // namespace
}  // namespace nuvra
