// Python objects of the NP value classes: a value of their own, or a view of a place inside an
// object that owns it (a mesh, an NP info, a component).
//
// A view keeps its root owner alive and finds its place again on every access, from the root
// down a path of steps (member, index). A list of a mesh can be replaced from Python while views
// of its elements are held: the view then finds the element again by index, or reports it gone,
// and never reads released memory.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>

#include "hw/ident.h"
#include "hw/mesh.h"

namespace nuvra::python {

// A write through a view of a mesh that belongs to a device; Python sees an AttributeError.
class ReadOnlyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* info_gone_message = "This NP.Info no longer belongs to its mesh.";
inline constexpr const char* device_mesh_message = "The mesh of a device cannot be changed.";

template <class T>
class View {
public:
    // A value of its own.
    explicit View(T value) {
        auto owned = std::make_shared<T>(std::move(value));
        find_ = [owned] { return owned.get(); };
    }

    // The value owned by `root`, which may only be read through this view and its parts.
    static View read_only(std::shared_ptr<T const> root) {
        View view;
        // Never written through: edit() refuses before the pointer is used.
        view.find_ = [root] { return const_cast<T*>(root.get()); };
        view.read_only_ = true;
        return view;
    }

    // A part of the value of `parent`: `step(value, index)` finds it, or gives null when the part
    // is no longer there.
    template <class Parent>
    View(View<Parent> const& parent, T* (*step)(Parent&, size_t), size_t index = 0)
        : find_([parent, step, index] { return step(*parent.place(), index); }),
          read_only_(parent.read_only()) {}

    // std::out_of_range when the place is gone.
    T const& get() const { return *place(); }
    // As get(), and ReadOnlyError for a view of a device's mesh.
    T& edit() const {
        if (read_only_) throw ReadOnlyError(device_mesh_message);
        return *place();
    }
    bool read_only() const { return read_only_; }

private:
    template <class>
    friend class View;

    View() = default;

    T* place() const {
        T* at = find_();
        if (at == nullptr) throw std::out_of_range(info_gone_message);
        return at;
    }

    std::function<T*()> find_;
    bool read_only_ = false;
};

// Steps from an owner to its parts: a member, an element of a list member, the HRC of a mesh.
template <class Member>
struct member_of;
template <class Owner, class Type>
struct member_of<Type Owner::*> {
    using owner = Owner;
    using type = Type;
};

template <auto member>
auto* field(typename member_of<decltype(member)>::owner& owner, size_t) {
    return &(owner.*member);
}

template <auto member>
auto* element(typename member_of<decltype(member)>::owner& owner, size_t index) {
    auto& list = owner.*member;
    return index < list.size() ? &list[index] : nullptr;
}

inline np::Info* mesh_hrc(Mesh& mesh, size_t) { return mesh.hrc ? &*mesh.hrc : nullptr; }

}  // namespace nuvra::python
