// Module start-up: the interpreter check, the module definition and the module body that
// registers every class, enum, function and submodule in one fixed order.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <exception>
#include <mutex>

#include "backends/ip_version_backend.h"
#include "engine/variables.h"
#include "engine/version.h"
#include "hw/clock.h"
#include "hw/types.h"
#include "python/numpy_conversion.h"
#include "python/registration.h"
#include "python/version_check.h"

namespace py = pybind11;

namespace nuvra::python {

void core_module_body(py::module_& m) {
    // 1-2: doc string and the engine's version.
    m.attr("__doc__") = "Nuvra core library";
    const char* engine_version = nuvra::version();
    m.attr("__version__") = engine_version ? py::object(py::str(engine_version)) : py::object(py::none());

    // 3
    py::enum_<nuvra::BackendType>(m, "BackendType")
        .value("Software", nuvra::BackendType::Software)
        .value("Hardware", nuvra::BackendType::Hardware)
        .value("Hybrid", nuvra::BackendType::Hybrid)
        .export_values();

    register_model_class(m);           // 4
    register_layer_class(m);           // 5
    register_layer_params(m);          // 6
    register_optimizer(m);             // 7

    // 8: a layer's variables, read and written as numpy arrays.
    py::class_<nuvra::Variables, std::shared_ptr<nuvra::Variables>>(m, "Variables")
        .def_property_readonly("names", &nuvra::Variables::names)
        .def("__getitem__",
             [](nuvra::Variables const& self, std::string const& name) { return tensor_to_numpy(self.get(name)); })
        .def("__setitem__", [](nuvra::Variables& self, std::string const& name, py::array const& value) {
            tensor_from_numpy(self, name, value);
        });

    // 9
    m.def("evaluate_bitwidth", &evaluate_array_bitwidth, py::arg("variable"),
          "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n   Args:\n       variable "
          "(:obj:`numpy.ndarray`): The variable on which the bitwidth is evaluated.\n   ");

    register_metrics_class(m);         // 10
    register_device_class(m);          // 11
    register_soc_driver_class(m);      // 12
    register_hardware_device_class(m); // 13
    register_hw_version_class(m);      // 14
    register_np_mesh_classes(m);       // 15
    register_np_types(m);              // 16
    register_map_constraints_class(m); // 17
    register_sequence_classes(m);      // 18
    register_power_meter_classes(m);   // 19

    // 20
    py::module_ soc = m.def_submodule("soc", "Nuvra Vexa specific functions");
    py::enum_<nuvra::soc::ClockMode>(soc, "ClockMode", "Clock mode configuration")
        .value("Performance", nuvra::soc::ClockMode::Performance)
        .value("Economy", nuvra::soc::ClockMode::Economy)
        .value("LowPower", nuvra::soc::ClockMode::LowPower)
        .export_values();

    register_program_memory_required(m);  // 21
    register_nn_module(m);                // 22

    // 23
    py::enum_<nuvra::IpVersion>(m, "IpVersion", "The reference Nuvra IP version")
        .value("none", nuvra::IpVersion::none)
        .value("v1", nuvra::IpVersion::v1)
        .value("v2", nuvra::IpVersion::v2)
        .value("wisp", nuvra::IpVersion::wisp)
        .export_values();

    register_board_zr62_module(m);  // 24

    // 25
    py::module_ graph_utils = m.def_submodule("graph_utils",
                                              "Nuvra graph utilities software internal functions. These are "
                                              "meant for testing, debugging and validation only.");
    register_graph_utils_functions(graph_utils);

    if (register_test_submodules) register_test_submodules(m);
}

namespace {

int core_module_exec(PyObject* module) {
    try {
        // The engine maps models through the hardware back end this module provides.
        nuvra::register_mapping_backend();
        auto m = py::reinterpret_borrow<py::module_>(module);
        core_module_body(m);
        return 0;
    } catch (py::error_already_set& e) {
        py::raise_from(e, PyExc_ImportError, "initialization failed");
    } catch (std::exception const& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&core_module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef core_def = {
    PyModuleDef_HEAD_INIT,
    "core",   // m_name
    nullptr,  // m_doc: set by the module body
    0,        // m_size: no per-module state
    nullptr,  // m_methods
    core_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace nuvra::python

extern "C" PYBIND11_EXPORT PyObject* PyInit_core() {
    using namespace nuvra::python;
    if (auto mismatch = python_version_mismatch(Py_GetVersion())) {
        PyErr_SetString(PyExc_ImportError, mismatch->c_str());
        return nullptr;
    }
    try {
        py::detail::get_internals();
    } catch (std::exception const& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
    // Process-wide state, listed in hw/process_state.h.
    static PyObject* definition = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        definition = PyModuleDef_Init(&core_def);
        Py_XINCREF(definition);
    });
    if (definition == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError,
                            "Internal error in module_::initialize_multiphase_module_def()");
        return nullptr;
    }
    return definition;
}
