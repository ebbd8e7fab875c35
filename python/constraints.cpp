// Mapping constraints: the CNP limits and the two hooks the mesh mapper calls while it hands out
// NPs, which a Python subclass may override.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/device.h"
#include "hw/format.h"
#include "mapping/map_constraints.h"
#include "python/np_values.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

// Built when Python instantiates a subclass: each hook takes the interpreter lock, calls the
// subclass's override when there is one, else releases the lock and runs the base. The
// self-life support keeps the Python object, and so its overrides, alive while only C++ holds it.
class PyMapConstraints : public MapConstraints, public py::trampoline_self_life_support {
public:
    using MapConstraints::MapConstraints;

    void next_layer_handler(std::string const& layer_name) const override {
        PYBIND11_OVERRIDE(void, MapConstraints, next_layer_handler, layer_name);
    }

    // An override's answer is converted here, so that one that is not a list of NP.Ident (a None
    // in it, a number) names the hook and what it returned.
    std::vector<hw::Ident> select_nps(std::vector<hw::Ident> const& source_nps, size_t num_nps,
                                      hw::Type type) const override {
        {
            py::gil_scoped_acquire gil;
            py::function const override = py::get_override(static_cast<MapConstraints const*>(this), "select_nps");
            if (override) {
                py::object const returned = override(source_nps, num_nps, type);
                auto const refuse = [&] {
                    return std::runtime_error(format("MapConstraints.select_nps returned {}, not a list of NP.Ident.",
                                                     py::repr(returned).cast<std::string>()));
                };
                try {
                    return returned.cast<std::vector<hw::Ident>>();
                } catch (py::cast_error const&) {
                    throw refuse();
                } catch (py::reference_cast_error const&) {  // a None where a value is expected
                    throw refuse();
                }
            }
        }
        return MapConstraints::select_nps(source_nps, num_nps, type);
    }
};

}  // namespace

void register_map_constraints_class(py::module_& m) {
    py::class_<MapConstraints, PyMapConstraints, py::smart_holder>(m, "MapConstraints")
        .def(py::init<std::shared_ptr<Device> const&>(), py::arg("device"),
             "Obtain hardware constraints from a device.\n\n           Args:\n              device(nuvra.device): "
             "the device.")
        .def_property_readonly("cnp_max_width_default", &MapConstraints::cnp_max_width_default,
                               "The maximal width to map a CNP.\n\n                             Returns:\n"
                               "                                int: the maximal witdh")
        .def_property_readonly("cnp_max_height_default", &MapConstraints::cnp_max_height_default,
                               "The maximal height to map a CNP.\n\n                             Returns:\n"
                               "                                int: the maximal height")
        .def_property_readonly("cnp_max_filters_default", &MapConstraints::cnp_max_filters_default,
                               "The maximal filters number to map a CNP.\n\n                             Returns:\n"
                               "                                int: the maximal filters number")
        .def_property_readonly("device", &MapConstraints::device,
                               "Return the device used.\n\n                             Returns:\n"
                               "                                :obj:`nuvra.device`: the device.")
        .def_property("cnp_max_width", &MapConstraints::cnp_max_width, &MapConstraints::set_cnp_max_width,
                      "The width to use to map a CNP.")
        .def_property("cnp_max_height", &MapConstraints::cnp_max_height, &MapConstraints::set_cnp_max_height,
                      "The height to use to map a CNP.")
        .def_property("cnp_max_filters", &MapConstraints::cnp_max_filters, &MapConstraints::set_cnp_max_filters,
                      "The filters number to use to map a CNP.")
        .def_property("hwpr_loopitself", &MapConstraints::hwpr_loopitself, &MapConstraints::set_hwpr_loopitself,
                      "The HWPR NP loopitself feature.")
        // Both hooks go through the virtual table: on a subclass they reach its overrides.
        .def("next_layer", &MapConstraints::next_layer_handler, py::arg("layer_name"),
             "\n           Callback on the layer mapping.\n\n           Args:\n             layer_name (str): the "
             "layer name")
        .def("select_nps", &MapConstraints::select_nps, py::arg("source_nps"), py::arg("num_nps"), py::arg("type"),
             "\n           Selection from a predefined list of NPs.\n\n           Args:\n             source_nps "
             "(:obj:`list`): the predefined list of NPs\n             num_nps (int): the number of NPs needed\n"
             "             type (:obj:`nuvra.NP.Type`): the type of NPs\n\n           Returns:\n             "
             ":obj:`list`: the selected list of NPs");
}

}  // namespace nuvra::python
