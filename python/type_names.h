// The Python names of the module's classes and enums in the signatures that help() shows.
//
// A signature names a registered type when the function is defined; a class registered by a later
// step of the module body would show as its C++ name. These casters convert exactly as
// pybind11's own and only give the name, so every signature names the Python class whatever the
// order. Every binding file includes this header (through registration.h), so all of them cast
// with the same casters.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/sequence.h"
#include "engine/soc_driver.h"
#include "engine/variables.h"
#include "hw/clock.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "hw/power_meter.h"
#include "hw/types.h"
#include "mapping/map_constraints.h"
#include "python/metrics.h"

namespace pybind11::detail {

// A class: by value or reference, and by the shared pointer that holds it.
#define NUVRA_PYTHON_CLASS_NAME(Type, python_name)                                                          \
    template <>                                                                                             \
    class type_caster<Type> : public type_caster_base<Type> {                                               \
    public:                                                                                                 \
        static constexpr auto name = const_name(python_name);                                               \
    };                                                                                                      \
    template <>                                                                                             \
    class type_caster<std::shared_ptr<Type>> : public copyable_holder_caster<Type, std::shared_ptr<Type>> { \
    public:                                                                                                 \
        static constexpr auto name = const_name(python_name);                                               \
    }

#define NUVRA_PYTHON_ENUM_NAME(Type, python_name)                  \
    template <>                                                    \
    class type_caster<Type> : public type_caster_enum_type<Type> { \
    public:                                                        \
        static constexpr auto name = const_name(python_name);      \
    }

NUVRA_PYTHON_CLASS_NAME(nuvra::Layer, "nuvra.core.Layer");
NUVRA_PYTHON_CLASS_NAME(nuvra::LayerParams, "nuvra.core.LayerParams");
NUVRA_PYTHON_CLASS_NAME(nuvra::LearningParams, "nuvra.core.Optimizer");
NUVRA_PYTHON_CLASS_NAME(nuvra::Variables, "nuvra.core.Variables");
NUVRA_PYTHON_CLASS_NAME(nuvra::python::PyMetrics, "nuvra.core.Metrics");
NUVRA_PYTHON_CLASS_NAME(nuvra::Device, "nuvra.core.Device");
NUVRA_PYTHON_CLASS_NAME(nuvra::HwVersion, "nuvra.core.HwVersion");
NUVRA_PYTHON_CLASS_NAME(nuvra::MapConstraints, "nuvra.core.MapConstraints");
NUVRA_PYTHON_CLASS_NAME(nuvra::Sequence, "nuvra.core.Sequence");
NUVRA_PYTHON_CLASS_NAME(nuvra::Sequence::Pass, "nuvra.core.Pass");
NUVRA_PYTHON_CLASS_NAME(nuvra::PowerMeter::PowerEvent, "nuvra.core.PowerEvent");
NUVRA_PYTHON_CLASS_NAME(nuvra::PowerMeter, "nuvra.core.PowerMeter");
NUVRA_PYTHON_CLASS_NAME(SpiFlashController, "nuvra.core.boardZr62.SpiFlashController");
NUVRA_PYTHON_ENUM_NAME(nuvra::hw::Type, "nuvra.core.NP.Type");
NUVRA_PYTHON_ENUM_NAME(nuvra::soc::ClockMode, "nuvra.core.soc.ClockMode");
NUVRA_PYTHON_ENUM_NAME(nuvra::IpVersion, "nuvra.core.IpVersion");

#undef NUVRA_PYTHON_CLASS_NAME
#undef NUVRA_PYTHON_ENUM_NAME

}  // namespace pybind11::detail
