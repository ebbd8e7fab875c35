// The accelerators of the host: HardwareDevice with its runner, programming, learning memory and
// memory figures, and the SoC driver of a system-on-chip board.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/soc_driver.h"
#include "python/device_support.h"
#include "python/model_support.h"
#include "python/numpy_conversion.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

using Inputs = py::array_t<uint8_t, py::array::forcecast>;

std::span<const uint8_t> bytes_of(py::bytes const& bytes) {
    std::string_view const view = bytes;
    return {reinterpret_cast<const uint8_t*>(view.data()), view.size()};
}

py::object bytes_or_none(const void* data, size_t size) {
    if (data == nullptr) return py::none();
    return py::bytes(static_cast<const char*>(data), size);
}

// The runner: the inputs as one uint8 tensor, the run, and its outputs in one new array.
py::array run_inference(PyHardwareDevice& device, Inputs const& inputs, std::vector<int32_t> const& labels,
                        InferenceMode mode) {
    std::shared_ptr<Dense> const dense = dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
    std::vector<std::unique_ptr<Tensor>> outputs = device.run(*dense, labels, mode);
    OutputArray const layout = output_array(outputs);
    py::array array(py::dtype(layout.dtype), layout.shape, layout.strides);
    copy_outputs(outputs, layout, {static_cast<uint8_t*>(array.mutable_data()), static_cast<size_t>(array.nbytes())});
    return array;
}

py::array fit_numpy_labels(PyHardwareDevice& device, Inputs const& inputs, py::array const& labels) {
    std::optional<std::vector<int32_t>> const converted = integer_labels(labels);
    if (!converted) throw std::invalid_argument(fit_labels_message);
    return run_inference(device, inputs, *converted, InferenceMode::fit);
}

}  // namespace

void register_soc_driver_class(py::module_& m) {
    // Python only sees the driver of a device's board, through HardwareDevice.soc, and never owns it.
    py::class_<SocDriver>(m, "SocDriver")
        .def_property("clock_mode", &SocDriver::clock_mode, &SocDriver::set_clock_mode, "Clock mode of the Vexa.")
        .def_property(
            "power_measurement_enabled", [](SocDriver& self) { return self.power_meter() != nullptr; },
            &SocDriver::set_power_measurement_enabled,
            "Power measurement is off by default. Toggle it on to get power information in the statistics or when "
            "calling PowerMeter.events().")
        .def_property_readonly("power_meter", &SocDriver::power_meter, "Power meter associated to the SoC.");
}

void register_hardware_device_class(py::module_& m) {
    py::class_<PyHardwareDevice, Device, std::shared_ptr<PyHardwareDevice>>(m, "HardwareDevice")
        // Device's constructor makes virtual devices: a HardwareDevice comes only from devices().
        .def(py::init([](py::args const&, py::kwargs const&) -> std::shared_ptr<PyHardwareDevice> {
            throw py::type_error("HardwareDevice objects come from HardwareDevice.devices().");
        }))
        .def_property("learn_enabled", &PyHardwareDevice::learn_enabled, &PyHardwareDevice::set_learn_enabled,
                      "\n           Property that enables/disables learning on current program (if\n           "
                      "possible).\n          ")
        .def_property(
            "program",
            [](PyHardwareDevice const& self) {
                std::span<const uint8_t> const program = self.program();
                return bytes_or_none(program.data(), program.size());
            },
            [](PyHardwareDevice& self, py::bytes const& program) { self.set_program(bytes_of(program)); },
            "\n           Property that retrieves current program or programs a device using a\n           "
            "serialized program bytes object.\n          ")
        .def(
            "program_external",
            [](PyHardwareDevice& self, py::bytes const& program_info, uint32_t address) {
                self.program_external(bytes_of(program_info), address);
            },
            "\n            Program a device using a serialized program info bytes object,\n            and the "
            "address, as it is seen from nuvra on the device,\n            of corresponding program data that must "
            "have been written beforehand.\n           ")
        .def("unprogram", &PyHardwareDevice::unprogram,
             "\n            Clear current program from hardware device, restoring its initial\n            state\n"
             "           ")
        .def(
            "fit",
            // Read as the double a Python float is: a 32-bit float would turn 16777217 into 16777216.
            [](PyHardwareDevice& self, Inputs const& inputs, double input_labels) {
                std::optional<int32_t> const label = integral_label(input_labels);
                if (!label) throw std::invalid_argument(fit_labels_message);
                return run_inference(self, inputs, {*label}, InferenceMode::fit);
            },
            py::arg("inputs"), py::arg("input_labels"), "Learn from inputs on a programmed device.")
        .def("fit", &fit_numpy_labels, py::arg("inputs"), py::arg("input_labels"),
             "Learn from inputs on a programmed device.")
        .def(
            "fit",
            [](PyHardwareDevice& self, Inputs const& inputs, py::list const& input_labels) {
                std::optional<std::vector<int32_t>> const labels = list_labels(input_labels);
                if (!labels) throw std::invalid_argument(fit_labels_message);
                return run_inference(self, inputs, *labels, InferenceMode::fit);
            },
            py::arg("inputs"), py::arg("input_labels") = py::list(), "Learn from inputs on a programmed device.")
        .def(
            "forward",
            [](PyHardwareDevice& self, Inputs const& inputs) {
                return run_inference(self, inputs, {}, InferenceMode::forward);
            },
            py::arg("inputs"), py::pos_only(),
            "\n           Processes inputs on a programmed device.\n\n           :param inputs: ``numpy.ndarray`` with "
            "shape matching current program\n\n           :return: ``numpy.ndarray`` with outputs from the "
            "device\n          ")
        .def(
            "predict",
            [](PyHardwareDevice& self, Inputs const& inputs) {
                return run_inference(self, inputs, {}, InferenceMode::predict);
            },
            py::arg("inputs"), py::pos_only(),
            "\n           Processes inputs on a programmed device, returns a float array.\n\n           :param "
            "inputs: ``numpy.ndarray`` with shape matching current program\n\n           :return: ``numpy.ndarray`` "
            "with float outputs from the device\n          ")
        .def_property_readonly("memory", &PyHardwareDevice::memory, "The device memory usage and top usage (in bytes)")
        .def("reset_top_memory", &PyHardwareDevice::reset_top_memory, "Reset the device memory informations")
        // The driver is the board's own; the Python object keeps the device alive.
        .def_property_readonly(
            "soc", [](PyHardwareDevice const& self) { return soc_driver(self.hardware()); },
            py::return_value_policy::reference_internal,
            "\n            The SocDriver interface used by the device, or None if the device\n            is not a "
            "SoC\n          ")
        // The device's own map, not a copy: later runs show through it, and it keeps the device alive.
        .def_property_readonly(
            "metrics",
            [](std::shared_ptr<PyHardwareDevice> const& self) {
                return std::shared_ptr<PyMetrics>(self, &self->metrics);
            },
            "The metrics from this device")
        .def_property_readonly(
            "inference_power_events", [](PyHardwareDevice const& self) { return self.power_events; },
            "Copy of power events logged after inference")
        .def_property(
            "learn_mem",
            [](PyHardwareDevice& self) {
                std::vector<uint32_t> const words = self.read_learn_mem();
                return words.empty() ? py::object(py::none()) : bytes_or_none(words.data(), words.size() * 4);
            },
            [](PyHardwareDevice& self, py::bytes const& memory) { self.write_learn_mem(bytes_of(memory)); },
            "\n            Property that retrieves learning layer's memory or updates a device\n            using a "
            "serialized learning layer memory buffer.\n          ")
        .def(
            "__eq__",
            [](PyHardwareDevice const& self, Device const& other) {
                return static_cast<Device const*>(&self) == &other;
            },
            py::is_operator())
        .def_static(
            "devices", [] { return PyHardwareDevice::devices(); },
            "\n             Returns the full list of available hardware devices\n\n             :return: list of "
            "Device\n           ");
}

}  // namespace nuvra::python
