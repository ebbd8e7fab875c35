// The device memory a program needs, read from its bytes.
#include <pybind11/pybind11.h>

#include <string_view>

#include "python/program_memory.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

void register_program_memory_required(py::module_& m) {
    using Required = ProgramMemoryRequired;
    py::class_<Required>(m, "ProgramMemoryRequired")
        .def_readonly("input_memory", &Required::input_memory, "memory required (in bytes) for one input")
        .def_readonly("input_descriptor_memory", &Required::input_descriptor_memory,
                      "memory required (in bytes) for one input descriptor")
        .def_readonly("output_memory", &Required::output_memory, "memory required (in bytes) for one output")
        .def_readonly("program_memory", &Required::program_memory, "memory required (in bytes) for program")
        .def_readonly("extra_program_memory", &Required::extra_program_memory)
        .def_readonly("program_descriptors_memory", &Required::program_descriptors_memory,
                      "memory required (in bytes) for program descriptors")
        .def("__repr__", [](Required const& self) { return to_string(self); });

    // Only bytes: the program is read where it lies, without a copy on the Python side.
    m.def(
        "get_program_memory_infos",
        [](py::bytes const& program) {
            std::string_view const bytes = program;
            return program_memory_required(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        },
        py::arg("program"), py::pos_only(), "Get the memory requirements for the given program");
}

}  // namespace nuvra::python
