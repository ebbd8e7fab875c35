// The private submodule `_sim` of the test build of nuvra.core: puts simulated boards in the
// engine's driver list (before HardwareDevice.devices() is first called) and lets the tests
// script and inspect them.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/sim/board.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

TensorType tensor_type(std::string const& name) {
    for (int32_t value = 0; value <= 10; ++value)
        if (name == Tensor::type_name(TensorType(value))) return TensorType(value);
    throw std::invalid_argument("No tensor type " + name);
}

}  // namespace

void register_test_submodules(py::module_& m) {
    py::module_ sim_module = m.def_submodule("_sim", "Simulated boards of the tests.");
    // Only Board is bound: a SocDriver or flash driver of a board stays a plain SocDriver in Python.
    py::class_<sim::Board, std::shared_ptr<sim::Board>>(sim_module, "Board")
        .def_readonly("calls", &sim::Board::calls)
        .def_readonly("labels", &sim::Board::labels)
        .def_readwrite("program_clocks", &sim::Board::program_clocks)
        .def_readwrite("memory_used", &sim::Board::memory_used)
        .def_readwrite("memory_top", &sim::Board::memory_top)
        .def_readwrite("learn_mem", &sim::Board::learn_mem)
        // Runs give `count` outputs (one per sample when negative) of that type and shape.
        .def("script_outputs",
             [](sim::Board& self, std::string const& type, std::vector<uint32_t> const& shape, int count) {
                 self.outputs = sim::Board::Outputs{tensor_type(type), Shape(shape), count};
             },
             py::arg("type"), py::arg("shape"), py::arg("count") = -1);

    // Second-generation boards: "plain", "soc" (clock and power meter) or "flash" (SPI flash).
    sim_module.def("install", [](std::vector<std::string> const& kinds) {
        std::vector<std::shared_ptr<sim::Board>> boards;
        for (std::string const& kind : kinds) {
            if (kind == "plain") boards.push_back(std::make_shared<sim::Board>(sim::tolmar_v2()));
            else if (kind == "soc") boards.push_back(std::make_shared<sim::SocBoard>(sim::tolmar_v2()));
            else if (kind == "flash") boards.push_back(std::make_shared<sim::FlashBoard>(sim::tolmar_v2()));
            else throw std::invalid_argument("No board kind " + kind);
        }
        detail::driver_list().insert(detail::driver_list().end(), boards.begin(), boards.end());
        return boards;
    });
}

}  // namespace nuvra::python
