// Devices and hardware versions: the common face of real and virtual devices, and the version
// that fixes a device's IP generation.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "hw/device.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "python/np_values.h"
#include "python/registration.h"
#include "python/views.h"

namespace py = pybind11;

namespace nuvra::python {

void register_device_class(py::module_& m) {
    // Held by shared pointer: mapped models and constraints share the device with Python.
    py::class_<Device, std::shared_ptr<Device>>(m, "Device")
        .def(py::init([](HwVersion const& version, Mesh const& mesh) -> std::shared_ptr<Device> {
                 return make_virtual_device(version, mesh);
             }),
             py::arg("version"), py::arg("mesh"), py::pos_only())
        .def_property_readonly(
            "desc",
            [](Device const& self) -> std::optional<std::string> {
                const char* desc = self.desc();
                if (desc == nullptr) return std::nullopt;
                return desc;
            },
            "\n             Returns the Device description\n\n             :return: a string describing the "
            "Device\n           ")
        .def_property_readonly("version", &Device::version, "The device hardware version.")
        .def_property_readonly("ip_version", &Device::get_ip_version, "The device IP version.")
        // The device's own mesh, read only; the view keeps the device alive.
        .def_property_readonly(
            "mesh",
            [](std::shared_ptr<Device> const& self) {
                return View<Mesh>::read_only(std::shared_ptr<Mesh const>(self, &self->mesh()));
            },
            "The device Mesh layout");
}

void register_hw_version_class(py::module_& m) {
    py::class_<HwVersion, std::shared_ptr<HwVersion>> cls(m, "HwVersion");
    cls.def(py::init([](uint8_t vendor_id, uint8_t product_id, uint8_t major_rev, uint8_t minor_rev) {
                return HwVersion{vendor_id, product_id, major_rev, minor_rev};
            }),
            py::arg("vendor_id"), py::arg("product_id"), py::arg("major_rev"), py::arg("minor_rev"), py::pos_only())
        .def_readonly("vendor_id", &HwVersion::vendor_id, "The hardware vendor identifier")
        .def_readonly("product_id", &HwVersion::product_id, "The hardware product identifier")
        .def_readonly("major_rev", &HwVersion::major_rev, "The hardware major revision")
        .def_readonly("minor_rev", &HwVersion::minor_rev, "The hardware minor revision")
        .def_property_readonly("ip_version", &HwVersion::get_ip_version, "The IP version.")
        .def("__str__", &format_hw_version)
        .def("__repr__", &format_hw_version)
        .def(
            "__eq__", [](HwVersion const& a, HwVersion const& b) { return a == b; }, py::is_operator());

    // Known chips and boards; a version has no setters, so one object per preset serves every read.
    struct Preset {
        const char* name;
        HwVersion const& version;
    };
    Preset const presets[] = {
        {"Vexa_v1", hw::Vexa_v1},     {"Vexa_v2", hw::Vexa_v2},     {"Dorvel_v1", hw::Dorvel_v1},
        {"ZR62_v1", hw::ZR62_v1},     {"Tolmar_v2", hw::Tolmar_v2}, {"Wisp_Tolmar", hw::Wisp_Tolmar},
    };
    for (auto const& preset : presets) cls.attr(preset.name) = preset.version;
}

}  // namespace nuvra::python
