// A test-only extension: hands the Python tests objects that only C++ makes (metrics, power
// meters, components) and holds constraints from C++, all through nuvra.core's own classes.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "mapping/map_constraints.h"
#include "python/metrics.h"
#include "python/np_values.h"

namespace py = pybind11;
using namespace nuvra;

namespace {

std::shared_ptr<MapConstraints> held;

}  // namespace

PYBIND11_MODULE(nuvra_probe, m) {
    py::module_::import("nuvra.core");

    m.def("metrics", [](std::map<std::string, int64_t> const& values) {
        auto metrics = std::make_shared<python::PyMetrics>();
        for (auto const& [name, value] : values) metrics->set(name, value);
        return metrics;
    });
    // A meter of its own that logged (ts, microvolts, milliamperes) events.
    m.def("power_meter", [](std::vector<std::tuple<int64_t, uint32_t, uint32_t>> const& events) {
        auto meter = std::make_shared<PowerMeter>();
        for (auto const& [ts, voltage, current] : events) meter->log_event({ts, voltage, current});
        return meter;
    });
    // A CNP2 at (1, 2, 0) computing filters 8..23 of a 4 x 4 x 2 window at (1, 0), or, without the
    // NP part, a skip-DMA store engine.
    m.def("component", [](bool with_part, bool single_buffer) {
        hw::Component component{hw::Type::SKIP_DMA_STORE, {1, 2, 0, 0}, std::nullopt, {}};
        component.mem_info.weight_size = 100;
        if (with_part) {
            component.type = hw::Type::CNP2;
            component.np_part = hw::NpPart{8, 16, {1, 0, Shape{4, 4, 2}}, {}, single_buffer};
        }
        return component;
    });
    m.def("hold", [](std::shared_ptr<MapConstraints> constraints) { held = std::move(constraints); });
    m.def("held_select_nps", [](std::vector<hw::Ident> const& source, size_t count, hw::Type type) {
        return held->select_nps(source, count, type);
    });
    m.def("held_next_layer", [](std::string const& name) { held->next_layer_handler(name); });
    // A Python subclass must not outlive the interpreter.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { held.reset(); }));
}
