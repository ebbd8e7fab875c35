// ProgramParts, Sequence and Pass: read-only views of a mapping's sequences.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <span>

#include "engine/sequence.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

py::object bytes_of(std::span<const uint8_t> view) {
    if (view.data() == nullptr) return py::none();
    return py::bytes(reinterpret_cast<const char*>(view.data()), view.size());
}

// The two parts of a program, each copied once into bytes when made: they stay readable after the
// sequence is gone, and reading them copies nothing more.
struct ProgramPartsCopy {
    explicit ProgramPartsCopy(Sequence::ProgramParts const& parts)
        : program_info(bytes_of(parts.program_info)), program_data(bytes_of(parts.program_data)) {}

    py::object program_info;
    py::object program_data;
};

}  // namespace

void register_sequence_classes(py::module_& m) {
    py::class_<ProgramPartsCopy>(
        m, "ProgramParts",
        "\n      Represents a program split in different parts.\n\n      program_info is the program part containing "
        "information on how to program the\n      device.\n      program_data is the program part containing the "
        "program data required by nuvra\n      to configure the IP.\n")
        .def_property_readonly("program_info", [](ProgramPartsCopy const& self) { return self.program_info; })
        .def_property_readonly("program_data", [](ProgramPartsCopy const& self) { return self.program_data; });

    py::class_<Sequence, std::shared_ptr<Sequence>>(
        m, "Sequence",
        "\n          Represents a sequence of layers.\n\n          Sequences can be mapped in Software or on a "
        "Device.\n          ")
        .def_property_readonly("passes", &Sequence::passes, "Get the list of passes in this sequence.")
        .def_property_readonly("backend", &Sequence::backend, "The backend type for this Sequence.")
        .def_property_readonly(
            "program", [](Sequence const& self) { return bytes_of(self.program()); },
            "\n             Get the hardware program for this sequence.\n\n             Returns None if the Sequence is "
            "not compatible with the selected\n             Device.\n\n             :return: a bytes buffer or "
            "None\n          ")
        .def_property_readonly(
            "program_parts", [](Sequence const& self) { return ProgramPartsCopy(self.program_parts()); },
            "Get the program, split in different parts")
        .def_property_readonly("name", &Sequence::name, "The name of the sequence");

    py::class_<Sequence::Pass, std::shared_ptr<Sequence::Pass>>(
        m, "Pass",
        "\n      Represents a subset of the Sequence.\n\n      Hardware Sequences can typically be split into multiple "
        "passes on devices\n      that support hardware partial reconfiguration feature, reducing the\n      "
        "intervention of the software during inference.\n      ")
        .def_property_readonly(
            "layers", [](Sequence::Pass const& self) { return self.layers; }, "Get the list of layers in this pass.");
}

}  // namespace nuvra::python
