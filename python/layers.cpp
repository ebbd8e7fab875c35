// Layer, Layer.Mapping, the layer enums and LayerParams.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "hw/text.h"
#include "mapping/layer_mapping.h"
#include "python/aliases.h"
#include "python/attribute_names.h"
#include "python/np_values.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

py::list dims_list(Shape const& shape) {
    py::list dims;
    for (uint32_t d : shape) dims.append(d);
    return dims;
}

// One input: its dimensions; none or several: one list of dimensions per input.
py::list input_dims(Layer const& layer) {
    std::vector<Shape> const shapes = layer.input_dimensions();
    if (shapes.size() == 1) return dims_list(shapes.front());
    py::list all;
    for (Shape const& shape : shapes) all.append(dims_list(shape));
    return all;
}

std::vector<hw::Component> skipdma_loads(Layer::Mapping const& mapping) {
    std::vector<hw::Component> result;
    if (auto const* m = dynamic_cast<LayerMapping const*>(&mapping))
        if (hw::Component const* load = m->skipdma_load()) result.push_back(*load);
    return result;
}

// The plain store first, then the store that carries a dual output.
std::vector<hw::Component> skipdma_stores(Layer::Mapping const& mapping) {
    std::vector<hw::Component> result;
    if (auto const* m = dynamic_cast<LayerMapping const*>(&mapping)) {
        if (hw::Component const* store = m->skipdma_store()) result.push_back(*store);
        if (hw::Component const* dual = m->skipdma_store_dual_output()) result.push_back(*dual);
    }
    return result;
}

// The parameter names as str: a name given as bytes that are not UTF-8 shows its other bytes as
// \xNN.
std::vector<std::string> parameter_names(LayerParams const& params) {
    std::vector<std::string> names = params.keys();
    for (auto& name : names) name = escaped_utf8(name);
    return names;
}

}  // namespace

void register_layer_class(py::module_& m) {
    py::class_<Layer, std::shared_ptr<Layer>> layer(m, "Layer");

    constexpr const char* components_doc = "a list of ``NP.Component`` objects.";
    py::class_<Layer::Mapping, std::shared_ptr<Layer::Mapping>>(
        layer, "Mapping", "The mapping of a Layer on one or more Neural Processors.")
        .def_property_readonly(
            "nps",
            [](Layer::Mapping const& self) {
                return self.components ? *self.components : std::vector<hw::Component>{};
            },
            components_doc)
        .def_property_readonly("skipdma_loads", &skipdma_loads, components_doc)
        .def_property_readonly("skipdma_stores", &skipdma_stores, components_doc);

    layer
        .def(py::init([](LayerParams const& params, std::string const& name) { return Layer::create(&params, name); }),
             py::arg("params"), py::arg("name"))
        .def(
            "is_target_component",
            [](Layer const& self, hw::Type hw_type) { return self.is_target_component(component_kind(hw_type)); },
            py::arg("hw_type"), "Checks whether the layer can be mapped on the specified hardware component type. ")
        .def_property_readonly("name", &Layer::get_name, "The layer name.")
        .def_property_readonly("macs", &Layer::macs, "The number of multiply-accumulate operations.")
        .def_property_readonly("input_dims", &input_dims, "The layer input dimensions.")
        .def_property_readonly(
            "output_dims", [](Layer const& self) { return dims_list(self.output_dimensions()); },
            "The layer output dimensions.")
        // The store lives inside the layer: the Python object shares the layer's ownership.
        .def_property_readonly(
            "variables",
            [](std::shared_ptr<Layer> const& self) { return std::shared_ptr<Variables>(self, &self->variables()); },
            "The layer trainable variables.")
        // The layer's own parameters, not a copy; the Python object keeps the layer alive.
        .def_property_readonly(
            "parameters", [](Layer const& self) { return self.params(); }, py::return_value_policy::reference_internal,
            "The layer parameters set.")
        .def_property_readonly("input_bits", &Layer::input_bits, "The layer input bits.")
        .def_property_readonly("output_signed", &Layer::output_signed, "Whether output is signed or not.")
        .def_property_readonly(
            "inbounds", [](Layer const& self) { return self.inbound_layers(); }, "The layer inbound layers.")
        .def_property_readonly(
            "mapping", [](Layer const& self) { return self.mapping(); }, "The layer hardware mapping.")
        .def_property_readonly("splittable", &Layer::splittable, "The layer is splittable.");
}

void register_layer_params(py::module_& m) {
    // One value per row of the kinds' table, in its order.
    py::enum_<LayerType> kinds(m, "LayerType", "The layer type");
    for (LayerKind const& kind : layer_kinds()) kinds.value(kind.name, kind.type);
    kinds.export_values();

    py::enum_<Padding>(m, "Padding",
                       "Sets the effective padding of the input for convolution, thereby determining the output "
                       "dimensions. Naming conventions are the same as Keras/Tensorflow.")
        .value("Valid", Padding::Valid, "No padding")
        .value("Same", Padding::Same,
               "Padded so that output size is input size divided by the stride. It always produces a bottom right "
               "padding.")
        .value("SameUpper", Padding::SameUpper,
               "Padded so that output size is input size divided by the stride. It always produces a top left "
               "padding.")
        .export_values();

    py::enum_<PoolType>(m, "PoolType", "The pooling type")
        .value("NoPooling", PoolType::NoPooling, "No pooling applied")
        .value("Max", PoolType::Max, "Maximum pixel value is selected")
        .value("Average", PoolType::Average, "Average pixel value is selected")
        .export_values();

    py::enum_<ActivationType>(m, "ActivationType", "The activation type")
        .value("NoActivation", ActivationType::NoActivation, "No activation is applied")
        .value("ReLU", ActivationType::ReLU, "ReLU activation is selected")
        .value("LUT", ActivationType::LUT, "LUT activation is selected")
        .export_values();

    auto clone = [](LayerParams const& self) { return LayerParams::clone(&self); };
    py::class_<LayerParams>(m, "LayerParams", "Parameters dictionary for layers")
        .def(py::init([](LayerType layer_type, std::map<std::string, int> const& entries) {
                 return LayerParams::create(layer_type, entries);
             }),
             py::arg("layer_type"), py::arg("entries"),
             "\n        Create a generic LayerParams object.\n\n        Args:\n            layer_type (:obj:`LayerType`): "
             "Type of layer.\n            entries (dict): dictionary of key (string) and value (int) pairs.\n    ")
        .def("get", &layer_param, py::arg("key"),
             "\n        Retrieve a value from the LayerParams object.\n\n        Args:\n            key (str): key of the "
             "value.\n        Returns:\n            int: value associated to the key.\n        Raises:\n            "
             "ValueError: if the value is not present in the LayerParams object.\n    ")
        .def("__copy__", clone)
        // The set cannot change, so a deep copy is a copy.
        .def("__deepcopy__", [clone](LayerParams const& self, py::dict const&) { return clone(self); }, py::arg("memo"))
        .def(
            "__getattr__",
            [](LayerParams const& self, std::string const& key) {
                if (is_protocol_name(key)) throw py::attribute_error(key);
                return layer_param(self, key);
            },
            py::arg("key"))
        .def("__dir__", &parameter_names)
        .def("has", &LayerParams::has, py::arg("key"),
             "\n        Check if a key is present in the LayerParams object.\n\n        Args:\n            key (str): key "
             "to be searched.\n        Returns:\n            bool: True if the key is present, otherwise false.\n    ")
        .def_property_readonly("layer_type", &LayerParams::layer_type);
}

}  // namespace nuvra::python
