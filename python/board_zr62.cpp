// The SPI flash of a board that carries a ZR62 chip.
#include <pybind11/pybind11.h>

#include <memory>

#include "engine/soc_driver.h"
#include "python/device_support.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

void register_board_zr62_module(py::module_& m) {
    py::module_ board = m.def_submodule("boardZr62", "Spi flash controller for the zr62meant for testing, debugging "
                                                     "and validation only.");
    // None passes the argument conversion as a missing device, which is refused like a device without flash.
    board.def("get_flash", [](PyHardwareDevice const* device) { return zr62_flash(device); });
    // Made by the board's flash driver; Python shares it.
    py::class_<SpiFlashController, std::shared_ptr<SpiFlashController>>(board, "SpiFlashController")
        .def("get_id", &SpiFlashController::get_id);
}

}  // namespace nuvra::python
