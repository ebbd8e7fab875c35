// A test-only extension: the engine's version text as C++ reads it, and constraints held by C++
// alone, through nuvra.core's own classes.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/version.h"
#include "mapping/map_constraints.h"
#include "python/np_values.h"
#include "python/type_names.h"

namespace py = pybind11;
using namespace nuvra;

namespace {

std::shared_ptr<MapConstraints> held;

}  // namespace

PYBIND11_MODULE(nuvra_probe, m) {
    py::module_::import("nuvra.core");

    m.def("engine_version", [] { return std::string(version()); });
    m.def("hold", [](std::shared_ptr<MapConstraints> constraints) { held = std::move(constraints); });
    m.def("held_select_nps", [](std::vector<hw::Ident> const& source, size_t count, hw::Type type) {
        return held->select_nps(source, count, type);
    });
    m.def("held_next_layer", [](std::string const& name) { held->next_layer_handler(name); });
    // A Python subclass must not outlive the interpreter.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { held.reset(); }));
}
