// The NP submodule: the hardware value types, SRAM sizes and meshes. Every object is a value of
// its own or a view into a mesh, an NP info or a component (python/views.h).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hw/ident.h"
#include "hw/mesh.h"
#include "python/np_values.h"
#include "python/registration.h"
#include "python/views.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

constexpr const char* np_doc = "Neural Processor";

// A read-write property over one member of a value, written through edit() (refused on a device's
// mesh, IndexError once the value is gone).
template <auto member, class T = typename member_of<decltype(member)>::owner>
void read_write(py::class_<View<T>>& cls, const char* name, const char* doc) {
    using Field = typename member_of<decltype(member)>::type;
    cls.def_property(
        name, [](View<T> const& self) { return self.get().*member; },
        [](View<T> const& self, Field value) { self.edit().*member = std::move(value); }, doc);
}

template <auto member, class T = typename member_of<decltype(member)>::owner>
void read_only(py::class_<View<T>>& cls, const char* name, const char* doc) {
    cls.def_property_readonly(name, [](View<T> const& self) { return self.get().*member; }, doc);
}

// A read-write property whose getter is a view of the member.
template <auto member, class T = typename member_of<decltype(member)>::owner>
void view_property(py::class_<View<T>>& cls, const char* name, const char* doc) {
    using Field = typename member_of<decltype(member)>::type;
    cls.def_property(
        name, [](View<T> const& self) { return View<Field>(self, &field<member>); },
        [](View<T> const& self, Field value) { self.edit().*member = std::move(value); }, doc);
}

template <class T>
void equality(py::class_<View<T>>& cls, bool (*equal)(T const&, T const&)) {
    cls.def(
        "__eq__", [equal](View<T> const& a, View<T> const& b) { return equal(a.get(), b.get()); },
        py::is_operator());
}

template <class T>
bool same(T const& a, T const& b) {
    return a == b;
}

py::module_ np_submodule(py::module_& m) { return m.def_submodule("NP", np_doc); }

py::enum_<hw::Type> register_hw_type_enum(py::module_& np_module) {
    return py::enum_<hw::Type>(np_module, "Type", "Harwdare Component type");
}

// The generation presets: each read gives a fresh copy, so the presets themselves never change.
View<SramSize> sram_size_preset(std::string const& name) {
    struct Preset {
        const char* name;
        SramSize const& value;
    };
    static Preset const presets[] = {
        {"SramSize_v1", SramSize_v1}, {"SramSize_v2", SramSize_v2}, {"SramSize_wisp", SramSize_wisp}};
    for (auto const& preset : presets)
        if (name == preset.name) return View<SramSize>(preset.value);
    throw py::attribute_error("module 'nuvra.core.NP' has no attribute '" + name + "'");
}

SramSize sram_size(int32_t input_bytes, int32_t weight_bytes, int32_t stsram, int32_t fsram, int32_t tsram,
                   int32_t evsram) {
    // Signed arguments keep their 32-bit pattern.
    return {static_cast<uint32_t>(input_bytes), static_cast<uint32_t>(weight_bytes), static_cast<uint32_t>(stsram),
            static_cast<uint32_t>(fsram),       static_cast<uint32_t>(tsram),        static_cast<uint32_t>(evsram)};
}

// Views of the elements of a list of the mesh, each found again by its index.
template <auto list>
std::vector<View<np::Info>> element_views(View<Mesh> const& mesh) {
    size_t const count = (mesh.get().*list).size();
    std::vector<View<np::Info>> views;
    views.reserve(count);
    for (size_t i = 0; i < count; ++i) views.emplace_back(mesh, &element<list>, i);
    return views;
}

}  // namespace

void register_np_mesh_classes(py::module_& m) {
    py::module_ np_module = np_submodule(m);
    py::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (ReadOnlyError const& e) {
            py::set_error(PyExc_AttributeError, e.what());
        }
    });

    py::class_<View<SramSize>> sram_class(np_module, "SramSize",
                                          "Size of shared SRAM available inside the mesh.\n      ");
    sram_class.def(py::init([] { return View<SramSize>(SramSize{}); }))
        .def(py::init([](int32_t input_bytes, int32_t weight_bytes) {
                 return View<SramSize>(sram_size(input_bytes, weight_bytes, 0, 0, 0, 0));
             }),
             py::arg("input_bytes"), py::arg("weight_bytes"))
        .def(py::init([](int32_t stsram_32b_size, int32_t fsram_64b_size, int32_t tsram_51b_size,
                         int32_t evsram_32b_size) {
                 return View<SramSize>(
                     sram_size(0, 0, stsram_32b_size, fsram_64b_size, tsram_51b_size, evsram_32b_size));
             }),
             py::arg("stsram_32b_size"), py::arg("fsram_64b_size"), py::arg("tsram_51b_size"),
             py::arg("evsram_32b_size"));
    read_write<&SramSize::input_bytes>(
        sram_class, "input_bytes",
        "Size of shared input packet SRAM available inside the mesh for each two NPs. (Bytes).");
    read_write<&SramSize::weight_bytes>(
        sram_class, "weight_bytes", "Size of shared filter SRAM available inside the mesh for each two NPs. (Bytes).");
    read_write<&SramSize::stsram_32b_size>(sram_class, "stsram_32b_size",
                                           "Size of STSRAM in 32-bit words (Wisp only).");
    read_write<&SramSize::fsram_64b_size>(sram_class, "fsram_64b_size", "Size of FSRAM in 64-bit words (Wisp only).");
    read_write<&SramSize::tsram_51b_size>(sram_class, "tsram_51b_size", "Size of TSRAM in 51-bit words (Wisp only).");
    read_write<&SramSize::evsram_32b_size>(sram_class, "evsram_32b_size",
                                           "Size of EVSRAM in 32-bit words (Wisp only).");
    equality<SramSize>(sram_class, &same<SramSize>);

    // SramSize_v1, SramSize_v2 and SramSize_wisp.
    np_module.def("__getattr__", &sram_size_preset, py::arg("name"));

    using MeshView = View<Mesh>;
    using Infos = std::vector<np::Info>;
    py::class_<MeshView> mesh_class(
        np_module, "Mesh",
        "\n    Represents the layout of a mesh of Neural Processors.\n\n    Contains configuration and event endpoints "
        "related to DMA (Direct Memory Access)\n    for managing data transfer across the mesh, HRC availability and "
        "sram memory sizes.\n    ");
    // Python names the event endpoint first; the mesh takes the configuration endpoint first.
    mesh_class
        .def(py::init([](IpVersion version, hw::Ident dma_event, hw::Ident dma_conf, std::optional<np::Info> hrc,
                         Infos nps, Infos skip_dmas) {
                 return MeshView(
                     Mesh(version, dma_conf, dma_event, std::move(hrc), std::move(nps), std::move(skip_dmas)));
             }),
             py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("hrc"), py::arg("nps"),
             py::arg("skip_dmas") = Infos{})
        .def(py::init([](IpVersion version, hw::Ident dma_event, hw::Ident dma_conf, std::optional<np::Info> has_hrc,
                         Infos nps, Infos skip_dmas, SramSize np_sram_size) {
                 Mesh value(version, dma_conf, dma_event, std::move(has_hrc), std::move(nps), std::move(skip_dmas));
                 value.np_sram_size = np_sram_size;
                 return MeshView(std::move(value));
             }),
             py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("has_hrc"), py::arg("nps"),
             py::arg("skip_dmas") = Infos{}, py::arg("np_sram_size"));
    view_property<&Mesh::dma_event>(mesh_class, "dma_event", "DMA event endpoint");
    view_property<&Mesh::dma_conf>(mesh_class, "dma_conf", "DMA configuration endpoint");
    mesh_class.def_property(
        "hrc",
        [](MeshView const& self) -> std::optional<View<np::Info>> {
            if (!self.get().hrc) return std::nullopt;
            return View<np::Info>(self, &mesh_hrc);
        },
        [](MeshView const& self, std::optional<np::Info> hrc) { self.edit().hrc = std::move(hrc); },
        "HRC if installed.");
    mesh_class.def_property(
        "skip_dmas", [](MeshView const& self) { return element_views<&Mesh::skip_dmas>(self); },
        [](MeshView const& self, Infos skip_dmas) { self.edit().skip_dmas = std::move(skip_dmas); }, "Skip DMAs");
    mesh_class.def_property(
        "nps", [](MeshView const& self) { return element_views<&Mesh::nps>(self); },
        [](MeshView const& self, Infos nps) { self.edit().nps = std::move(nps); }, "Neural processors");
    view_property<&Mesh::np_sram_size>(mesh_class, "np_sram_size",
                                       "Size of shared SRAM available inside the mesh for NPs.");
    equality<Mesh>(mesh_class, &same<Mesh>);
}

void register_np_types(py::module_& m) {
    py::module_ np_module = np_submodule(m);

    using IdentView = View<hw::Ident>;
    py::class_<IdentView> ident_class(
        np_module, "Ident",
        "\n    Represents the unique identifier for a Hardware Component.\n\n    This includes the component position "
        "on the mesh (row, column, id) and\n    the channel index for skip DMAs.");
    ident_class
        .def(py::init([](uint8_t col, uint8_t row, uint8_t id) { return IdentView(hw::Ident{col, row, id, 0}); }),
             py::arg("col"), py::arg("row"), py::arg("id"), py::pos_only())
        .def(py::init([](uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
                 return IdentView(hw::Ident{col, row, id, channel});
             }),
             py::arg("col"), py::arg("row"), py::arg("id"), py::arg("channel"), py::pos_only());
    read_write<&hw::Ident::col>(ident_class, "col", "Hardware Component column number");
    read_write<&hw::Ident::row>(ident_class, "row", "Hardware Component row number");
    read_write<&hw::Ident::id>(ident_class, "id", "Hardware Component id");
    read_write<&hw::Ident::channel>(ident_class, "channel", "Component channel");
    ident_class.def("__str__", [](IdentView const& self) { return hw::to_string(self.get()); })
        .def("__repr__", [](IdentView const& self) { return hw::to_string(self.get()); });
    equality<hw::Ident>(ident_class, &same<hw::Ident>);

    register_hw_type_enum(np_module)
        .value("HRC", hw::Type::HRC, hw::description(hw::Type::HRC))
        .value("CNP1", hw::Type::CNP1, hw::description(hw::Type::CNP1))
        .value("CNP2", hw::Type::CNP2, hw::description(hw::Type::CNP2))
        .value("FNP2", hw::Type::FNP2, hw::description(hw::Type::FNP2))
        .value("FNP3", hw::Type::FNP3, hw::description(hw::Type::FNP3))
        .value("TNP_B", hw::Type::TNP_B, hw::description(hw::Type::TNP_B))
        .value("TNP_R", hw::Type::TNP_R, hw::description(hw::Type::TNP_R))
        .value("SKIP_DMA_STORE", hw::Type::SKIP_DMA_STORE, hw::description(hw::Type::SKIP_DMA_STORE))
        .value("SKIP_DMA_LOAD", hw::Type::SKIP_DMA_LOAD, hw::description(hw::Type::SKIP_DMA_LOAD))
        .export_values();

    using InfoView = View<np::Info>;
    py::class_<InfoView> info_class(np_module, "Info",
                                    "\n        Describes a hardware component.\n\n        Includes its unique "
                                    "identifier and the set of hardware types it supports.\n        ");
    info_class.def(py::init([](hw::Ident ident, py::iterable const& types, bool has_lut) {
                       return InfoView(np::Info{ident, types_from(types), has_lut});
                   }),
                   py::arg("ident"), py::arg("types"), py::arg("has_lut") = false);
    view_property<&np::Info::ident>(info_class, "ident", "Hardware Component identifier");
    info_class.def_property(
        "types",
        [](InfoView const& self) {
            auto const& types = self.get().types;
            return std::vector<hw::Type>(types.begin(), types.end());
        },
        [](InfoView const& self, py::iterable const& types) {
            auto converted = types_from(types);
            self.edit().types = std::move(converted);
        },
        "Hardware Component supported types");
    read_write<&np::Info::has_lut>(info_class, "has_lut", "Indicate whether the NP has a lookup table.");
    info_class.def_static(
        "hrc", [](bool has_lut) { return InfoView(np::Info{{}, {hw::Type::HRC}, has_lut}); }, py::arg("has_lut"),
        "Construct an nuvra.NP.Info for HRC with optional LUT.");
    equality<np::Info>(info_class, &same<np::Info>);

    py::class_<NpSpace>(np_module, "NpSpace",
                        "\n      Represents the part of the input used by this Neural Processor if a layer is split "
                        "over several NPs.")
        .def(py::init<>())
        .def_readonly("x", &NpSpace::x, "X index")
        .def_readonly("y", &NpSpace::y, "Y index")
        .def_property_readonly(
            "shape", [](NpSpace const& self) { return self.shape.to_vector(); }, "Shape of the space");

    py::class_<View<MemoryInfo>> memory_class(
        np_module, "MemoryInfo",
        "Represents memory usage information for a Hardware Component.\n\n      This includes memory used by inputs, "
        "weights, and any external buffers.\n      All sizes are in bytes.\n      ");
    memory_class.def(py::init([] { return View<MemoryInfo>(MemoryInfo{}); }));
    read_only<&MemoryInfo::input_size>(memory_class, "input_size", "Input memory size. (Bytes)");
    read_only<&MemoryInfo::weight_size>(memory_class, "weight_size", "Weight memory size. (Bytes)");
    read_only<&MemoryInfo::external_size>(memory_class, "external_size", "External memory size. (Bytes)");
    read_only<&MemoryInfo::stsram_32b_size>(memory_class, "stsram_32b_size",
                                            "Stsram size for Wisp. (Number of 32-bits words)");
    read_only<&MemoryInfo::fsram_64b_size>(memory_class, "fsram_64b_size",
                                           "Fsram Wisp memory size. (Number of 64-bits words)");
    read_only<&MemoryInfo::tsram_51b_size>(memory_class, "tsram_51b_size",
                                           "Tsram Wisp memory size. (Number of 51-bits words)");
    read_only<&MemoryInfo::evsram_32b_size>(memory_class, "evsram_32b_size",
                                            "Evsram Wisp memory size. (Number of 32-bits words)");
    equality<MemoryInfo>(memory_class, &same<MemoryInfo>);

    // Made by mappings only; its identifier can still be changed through the `ident` view.
    using ComponentView = View<hw::Component>;
    py::class_<ComponentView> component_class(np_module, "Component", "\n      An Nuvra component");
    component_class
        .def_property_readonly(
            "ident",
            [](ComponentView const& self) { return IdentView(self, &field<&hw::Component::ident>); },
            "Hardware Component identifier")
        .def_property_readonly(
            "type", [](ComponentView const& self) { return self.get().type; }, "Hardware Component type")
        .def_property_readonly(
            "mem_info",
            [](ComponentView const& self) { return View<MemoryInfo>(self, &field<&hw::Component::mem_info>); },
            "Hardware Component memory information")
        .def_property_readonly(
            "filters", [](ComponentView const& self) { return self.get().filters(); },
            "Number of filters processed by the Neural Processor")
        .def_property_readonly(
            "start_neuron", [](ComponentView const& self) { return self.get().start_neuron(); },
            "Index of the first filter processed by the Neural Processor")
        .def_property_readonly(
            "spatial_partition", [](ComponentView const& self) { return self.get().spatial_partition(); },
            "Spatial partition processed by the Neural Processor")
        .def_property_readonly(
            "single_buffer", [](ComponentView const& self) { return self.get().single_buffer(); },
            "Neural Processor uses a single or dual input buffer");
    equality<hw::Component>(component_class, &hw::same_work);
}

}  // namespace nuvra::python
