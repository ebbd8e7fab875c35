// What a run measured: named metrics, power events and the power meter. Python makes none of
// them; they come from models, hardware devices and the SoC driver.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "hw/power_meter.h"
#include "python/metrics.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

void register_metrics_class(py::module_& m) {
    // Shared with its model or hardware device: later runs show through the same object.
    py::class_<PyMetrics, std::shared_ptr<PyMetrics>>(
        m, "Metrics", "\n      A set of 64-bit integer metrics indexed by name.\n      ")
        .def_property_readonly("names", &PyMetrics::names, "The list of metrics names")
        .def("__getitem__", &PyMetrics::get, py::arg("name"), py::pos_only());
}

void register_power_meter_classes(py::module_& m) {
    using PowerEvent = PowerMeter::PowerEvent;
    py::class_<PowerEvent>(m, "PowerEvent",
                           "\n    A timestamped power measurement.\n\n    Each PowerEvent contains:\n    - a voltage "
                           "value in \u00b5V (microvolt),\n    - a current value in mA (milliampere),\n    - the "
                           "corresponding power value in mW (milliwatt).\n          ")
        .def_readonly("ts", &PowerEvent::ts, "Timestamp of the event")
        .def_readonly("voltage", &PowerEvent::voltage, "Voltage value in \u00b5V")
        .def_readonly("current", &PowerEvent::current, "Current value in mA")
        .def_property_readonly("power", &PowerEvent::whole_milliwatts, "Power value in mW");

    // Shared with the engine's SoC driver, which logs into it.
    py::class_<PowerMeter, std::shared_ptr<PowerMeter>>(
        m, "PowerMeter",
        "\n    Gives access to power measurements.\n\n    When power measurements are enabled for a specific device, "
        "this object\n    stores them as a list of ``PowerEvent`` objects.\n    The events list cannot exceed a "
        "predefined size: when it is full, older\n    events are replaced by newer events.\n          ")
        .def("events", &PowerMeter::events, "Retrieve all pending events")
        .def_property_readonly("floor", &floor_power, "Get the floor power");
}

}  // namespace nuvra::python
