// How the NP values cross between C++ and Python: the one place that converts them.
//
// An `hw::Ident`, `np::Info`, `SramSize`, `MemoryInfo`, `hw::Component` or `Mesh` returned to Python
// becomes a new object of its NP class, owning a copy. Any object of that class, a view included,
// converts back to a value (a view of an element that is gone raises IndexError). Containers of
// them (lists, optionals) convert element by element.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <set>
#include <utility>

#include "hw/ident.h"
#include "hw/mesh.h"
#include "python/views.h"

namespace pybind11::detail {

// Signatures name the Python class, whether or not it was registered when the function was.
template <class T>
struct np_value_caster {
    using Held = nuvra::python::View<T>;

    bool load(handle source, bool convert) {
        make_caster<Held> held;
        if (!held.load(source, convert)) return false;
        value.emplace(cast_op<Held const&>(held).get());
        return true;
    }

    static handle cast(T const& source, return_value_policy, handle parent) {
        return make_caster<Held>::cast(Held(source), return_value_policy::move, parent);
    }

    operator T*() { return &*value; }
    operator T&() { return *value; }
    operator T&&() && { return std::move(*value); }
    template <class U>
    using cast_op_type = movable_cast_op_type<U>;

    std::optional<T> value;  // a mesh has no empty state
};

// Each NP class, and the value it holds, by its Python name.
#define NUVRA_NP_CLASS(Type, python_name)                                                         \
    template <>                                                                                   \
    struct type_caster<nuvra::python::View<Type>> : type_caster_base<nuvra::python::View<Type>> { \
        static constexpr auto name = const_name(python_name);                                     \
    };                                                                                            \
    template <>                                                                                   \
    struct type_caster<Type> : np_value_caster<Type> {                                            \
        static constexpr auto name = const_name(python_name);                                     \
    }

NUVRA_NP_CLASS(nuvra::hw::Ident, "nuvra.core.NP.Ident");
NUVRA_NP_CLASS(nuvra::np::Info, "nuvra.core.NP.Info");
NUVRA_NP_CLASS(nuvra::SramSize, "nuvra.core.NP.SramSize");
NUVRA_NP_CLASS(nuvra::MemoryInfo, "nuvra.core.NP.MemoryInfo");
NUVRA_NP_CLASS(nuvra::hw::Component, "nuvra.core.NP.Component");
NUVRA_NP_CLASS(nuvra::Mesh, "nuvra.core.NP.Mesh");

#undef NUVRA_NP_CLASS

}  // namespace pybind11::detail

namespace nuvra::python {

// The types of an NP from any iterable of NP.Type; an element of another type is a cast error
// (RuntimeError), a duplicate collapses.
inline std::set<hw::Type> types_from(pybind11::iterable const& types) {
    std::set<hw::Type> set;
    for (pybind11::handle type : types) set.insert(type.cast<hw::Type>());
    return set;
}

}  // namespace nuvra::python
