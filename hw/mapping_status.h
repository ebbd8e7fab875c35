// Whether a layer, or a whole model, can be mapped: a value, thrown only when the caller decides.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nuvra {

class Layer;

// Shared part of a single status and of a group; T is the derived class.
template <class T>
class MappingStatusBase {
public:
    bool failed = false;
    std::string message = "Success.";

    virtual ~MappingStatusBase() = default;

    virtual T& operator+=(T const& other) = 0;
    virtual std::string to_string() const = 0;

    // A status that did not fail, with the message "Success.".
    static T success() { return T{}; }

    // Throws std::runtime_error carrying to_string() of the derived status.
    [[noreturn]] void throw_exception() const { throw std::runtime_error(to_string()); }

protected:
    MappingStatusBase() = default;
    MappingStatusBase(bool has_failed, std::string text) : failed(has_failed), message(std::move(text)) {}
    MappingStatusBase(MappingStatusBase const&) = default;
    MappingStatusBase(MappingStatusBase&&) = default;
    MappingStatusBase& operator=(MappingStatusBase const&) = default;
    MappingStatusBase& operator=(MappingStatusBase&&) = default;
};

// The result of mapping one layer.
class MappingStatus : public MappingStatusBase<MappingStatus> {
public:
    std::string layer_name;  // the layer that failed; empty when none is named

    MappingStatus() = default;
    // A failure of `layer`, named by the layer's get_name(). A template, so that the hardware model
    // needs no layer type of its own.
    template <class NamedLayer>
        requires requires(NamedLayer const& layer) { std::string(layer.get_name()); }
    MappingStatus(NamedLayer const& layer, std::string text)
        : MappingStatusBase(true, std::move(text)), layer_name(layer.get_name()) {}

    // Gathers a failure: the first failure keeps its layer name, later messages are appended
    // after a blank; a successful `other` changes nothing.
    MappingStatus& operator+=(MappingStatus const& other) override;
    // The message alone, or "Cannot map layer '<name>'. <message>" when a layer is named.
    std::string to_string() const override;

    // Throws MappingStatusError: a std::runtime_error carrying to_string() and the status, so
    // that the mapping driver can hand it back as a status.
    [[noreturn]] void throw_exception() const;

    // A failure of `layer` for want of components: "Not enough hardware components of type
    // <type_name> available. <needed> is/are needed but <available> is/are available.". Defined
    // beside the mesh mapper that reports it (mapping/mesh_mapper.cpp), where layers are known.
    static MappingStatus component_error(Layer const& layer, std::string const& type_name, size_t needed,
                                         size_t available);

    friend bool operator==(MappingStatus const& a, MappingStatus const& b) {
        return a.failed == b.failed && a.message == b.message && a.layer_name == b.layer_name;
    }
};

// A layer's failure thrown from deep inside the mapping (where no status can be returned).
class MappingStatusError : public std::runtime_error {
public:
    explicit MappingStatusError(MappingStatus status)
        : std::runtime_error(status.to_string()), status_(std::move(status)) {}
    MappingStatus const& status() const { return status_; }

private:
    MappingStatus status_;
};

// The result of a whole mapping: the statuses of the layers that failed.
class MappingStatusGroup : public MappingStatusBase<MappingStatusGroup> {
public:
    std::vector<MappingStatus> statuses;

    MappingStatusGroup() = default;

    // Takes another group's failure: its flag and message when this one has not failed yet, and
    // its statuses appended after ours; a successful `other` changes nothing.
    MappingStatusGroup& operator+=(MappingStatusGroup const& other) override;
    // The message when empty, the single status's text, or a header with one bullet per status.
    std::string to_string() const override;
};

// Appends a copy of `status` and marks the group failed, unless an equal status is already held.
void add_unique_status(MappingStatusGroup& group, MappingStatus const& status);

}  // namespace nuvra
