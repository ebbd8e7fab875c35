// An argument that None does not match. pybind11 lets None through to a class or enum argument
// (an empty holder, or a reference-cast error after matching); wrapped in NotNone, None makes the
// function's arguments not match, which Python sees as the usual TypeError.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <utility>

namespace nuvra::python {

template <class T>
struct NotNone {
    T value;
};

}  // namespace nuvra::python

namespace pybind11::detail {

template <class T>
struct type_caster<nuvra::python::NotNone<T>> {
    using Wrapped = nuvra::python::NotNone<T>;
    // Signatures show the wrapped type.
    static constexpr auto name = make_caster<T>::name;

    bool load(handle source, bool convert) {
        if (source.is_none()) return false;
        make_caster<T> inner;
        if (!inner.load(source, convert)) return false;
        value.emplace(Wrapped{cast_op<T>(std::move(inner))});
        return true;
    }

    operator Wrapped&() { return *value; }
    operator Wrapped&&() && { return std::move(*value); }
    template <class U>
    using cast_op_type = movable_cast_op_type<U>;

    std::optional<Wrapped> value;
};

}  // namespace pybind11::detail
