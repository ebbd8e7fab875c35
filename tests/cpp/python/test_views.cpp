#include <gtest/gtest.h>

#include "python/views.h"
#include "support/fake_device.h"

namespace nuvra::python {
namespace {

np::Info np_info(uint8_t col) { return {{col, 0, 0, 0}, {hw::Type::CNP1}, false}; }

Mesh two_np_mesh() {
    Mesh mesh = fake_mesh(IpVersion::v2, {np_info(1), np_info(2)});
    mesh.hrc = np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true};
    return mesh;
}

// The column a view of an NP info finds, or -1 once its element is gone.
int column_of(View<np::Info> const& view) {
    try {
        return view.get().ident.col;
    } catch (std::out_of_range const& e) {
        EXPECT_STREQ(e.what(), "This NP.Info no longer belongs to its mesh.");
        return -1;
    }
}

TEST(PythonViews, FindTheirElementAgainOnEveryAccess) {
    // first_np, second_np, hrc: the columns found afterwards, -1 when gone
    struct Row { const char* change; void (*apply)(Mesh&); int first_np, second_np, hrc; };
    Row const rows[] = {
        {"nps cleared", [](Mesh& m) { m.nps.clear(); }, -1, -1, 0},
        {"nps replaced by one", [](Mesh& m) { m.nps = {np_info(7)}; }, 7, -1, 0},
        {"nps grown", [](Mesh& m) { for (uint8_t c = 3; c < 40; ++c) m.nps.push_back(np_info(c)); }, 1, 2, 0},
        {"hrc removed", [](Mesh& m) { m.hrc.reset(); }, 1, 2, -1},
        {"hrc replaced", [](Mesh& m) { m.hrc = np_info(9); }, 1, 2, 9},
    };
    for (auto const& row : rows) {
        View<Mesh> mesh(two_np_mesh());
        View<np::Info> const first(mesh, &element<&Mesh::nps>, 0);
        View<np::Info> const second(mesh, &element<&Mesh::nps>, 1);
        View<np::Info> const hrc(mesh, &mesh_hrc);
        row.apply(mesh.edit());
        EXPECT_EQ(column_of(first), row.first_np) << row.change;
        EXPECT_EQ(column_of(second), row.second_np) << row.change;
        EXPECT_EQ(column_of(hrc), row.hrc) << row.change;
    }
}

TEST(PythonViews, PartsKeepTheirRootAliveAndWriteIntoIt) {
    std::optional<View<Mesh>> mesh(std::in_place, two_np_mesh());
    View<np::Info> const np(*mesh, &element<&Mesh::nps>, 1);
    View<hw::Ident> const ident(np, &field<&np::Info::ident>);
    View<Mesh> const same_root = *mesh;
    mesh.reset();
    ident.edit().row = 5;
    EXPECT_EQ(same_root.get().nps[1].ident.row, 5);
    same_root.edit().nps.clear();
    EXPECT_THROW(ident.get(), std::out_of_range);
}

TEST(PythonViews, ADevicesMeshIsReadOnlyThroughEveryPart) {
    auto const device = make_fake_device({0xBC, 0xA2, 1, 0}, two_np_mesh());
    auto const mesh = View<Mesh>::read_only(std::shared_ptr<Mesh const>(device, &device->mesh()));
    View<SramSize> const sram(mesh, &field<&Mesh::np_sram_size>);
    View<hw::Ident> const ident(View<np::Info>(mesh, &element<&Mesh::nps>, 0), &field<&np::Info::ident>);
    EXPECT_EQ(ident.get().col, 1);
    EXPECT_EQ(sram.get(), SramSize_v2);
    EXPECT_THROW(sram.edit(), ReadOnlyError);
    EXPECT_THROW(ident.edit(), ReadOnlyError);
    EXPECT_FALSE(View<SramSize>(SramSize_v1).read_only());
}

}  // namespace
}  // namespace nuvra::python
