// Optimizer (the learning parameters of a model's last layer) and NuvraUnsupervised.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <string>

#include "engine/params.h"
#include "python/attribute_names.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

void register_optimizer(py::module_& m) {
    auto clone = [](LearningParams const& self) { return LearningParams::clone(&self); };
    py::class_<LearningParams, std::shared_ptr<LearningParams>>(m, "Optimizer", "Optimizer generic parameters")
        .def("get", &LearningParams::get, py::arg("key"),
             "\n        Retrieve a value from the LearningParams object.\n\n        Args:\n            key (str): key of "
             "the value.\n        Returns:\n            int: value associated to the key.\n        Raises:\n            "
             "ValueError: if the value is not present in the LearningParams object.\n    ")
        .def("__copy__", clone)
        .def("__deepcopy__", [clone](LearningParams const& self, py::dict const&) { return clone(self); },
             py::arg("memo"))
        .def(
            "__getattr__",
            [](LearningParams const& self, std::string const& key) {
                if (is_protocol_name(key)) throw py::attribute_error(key);
                return self.get(key);
            },
            py::arg("key"))
        .def("__dir__", &LearningParams::keys)
        // The learning algorithm's number (0: NuvraUnsupervised).
        .def_property_readonly("learning_type",
                               [](LearningParams const& self) { return static_cast<int32_t>(self.learning_type()); });

    m.def(
        "NuvraUnsupervised",
        [](uint32_t num_weights, uint32_t num_classes, double initial_plasticity, double learning_competition,
           double min_plasticity, double plasticity_decay) {
            return LearningParams::create(LearningType::NuvraUnsupervised,
                                          {{"num_weights", static_cast<double>(num_weights)},
                                           {"num_classes", static_cast<double>(num_classes)},
                                           {"initial_plasticity", initial_plasticity},
                                           {"learning_competition", learning_competition},
                                           {"min_plasticity", min_plasticity},
                                           {"plasticity_decay", plasticity_decay}});
        },
        py::arg("num_weights"), py::arg("num_classes") = 1u, py::arg("initial_plasticity") = 1.0,
        py::arg("learning_competition") = 0.0, py::arg("min_plasticity") = static_cast<double>(0.1f),
        py::arg("plasticity_decay") = 0.25,
        "\n   Prepare the Nuvra Unsupervised optimizer for learning of the last layer.\n\n   Args:\n       num_weights "
        "(int): number of connections for each neuron.\n       num_classes (int, optional): number of classes when "
        "running in a\n           'labeled mode'.\n       initial_plasticity (float, optional): defines how easily the "
        "weights\n           will change when learning occurs.\n       learning_competition (float, optional): "
        "controls competition between\n           neurons.\n       min_plasticity (float, optional): defines the "
        "minimum level to which\n           plasticity will decay.\n       plasticity_decay (float, optional): "
        "defines the decay of plasticity\n           with each learning step.\n       optimizer(:obj:`nuvra."
        "LearningParams`): the optimizer used for\n           learning\n   ");
}

}  // namespace nuvra::python
