// Model: building, loading, saving, mapping and running a network, with the runner that fills the
// model's metrics.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/model.h"
#include "engine/sequence.h"
#include "hw/device.h"
#include "hw/power_meter.h"
#include "mapping/map_constraints.h"
#include "python/metrics.h"
#include "python/model_file.h"
#include "python/model_support.h"
#include "python/numpy_conversion.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

using LayerList = std::vector<std::shared_ptr<Layer>>;

// One engine model, with what the engine does not keep: the power events of the last run and
// the metrics of every run.
struct PyModel {
    explicit PyModel(std::unique_ptr<Model> m) : model(std::move(m)) {}

    std::shared_ptr<Tensor> run_inference(py::array const& inputs, InferenceStep const& step) {
        check_can_infer(*model);
        std::shared_ptr<Dense> const dense = dense_from_input_array(inputs);
        return python::run_inference(*model, dense, step, power_events,
                                     [this](std::string const& name, int64_t value) { metrics->set(name, value); });
    }

    InferenceStep forward_step(uint32_t batch_size) {
        return [this, batch_size](std::shared_ptr<const Tensor> const& in) { return model->forward(in, batch_size); };
    }
    InferenceStep predict_step(uint32_t batch_size) {
        return [this, batch_size](std::shared_ptr<const Tensor> const& in) { return model->predict(in, batch_size); };
    }

    py::array fit(py::array const& inputs, std::vector<int32_t> const& labels, uint32_t batch_size) {
        return tensor_to_numpy(run_inference(inputs, [&](std::shared_ptr<const Tensor> const& in) {
            return model->fit(in, labels, batch_size);
        }));
    }
    py::array forward(py::array const& inputs, uint32_t batch_size) {
        return tensor_to_numpy(run_inference(inputs, forward_step(batch_size)));
    }
    py::array predict(py::array const& inputs, uint32_t batch_size) {
        return tensor_to_numpy(run_inference(inputs, predict_step(batch_size)));
    }

    float predict_labels(py::array const& inputs, py::array const& labels, uint32_t num_classes, uint32_t batch_size) {
        check_evaluate_labels(static_cast<size_t>(labels.ndim()), inputs.ndim() > 0 ? uint64_t(inputs.shape(0)) : 0,
                              labels.ndim() > 0 ? uint64_t(labels.shape(0)) : 0,
                              labels.dtype().equal(py::dtype::of<int32_t>()));
        uint32_t const classes = evaluation_classes(*model, num_classes);
        bool const forward = evaluate_runs_forward(*model);
        std::shared_ptr<Tensor> const output =
            run_inference(inputs, forward ? forward_step(batch_size) : predict_step(batch_size));
        std::vector<int32_t> const predicted = predicted_classes(*output, classes);
        auto const given = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(labels);
        return accuracy(predicted, std::span<const int32_t>(given.data(), static_cast<size_t>(given.size())));
    }

    std::unique_ptr<Model> model;
    std::vector<PowerMeter::PowerEvent> power_events;
    std::shared_ptr<PyMetrics> metrics = std::make_shared<PyMetrics>();
};

std::vector<int64_t> dims_of(Shape const& shape) { return {shape.begin(), shape.end()}; }

}  // namespace

void register_model_class(py::module_& m) {
    py::class_<PyModel>(m, "Model",
                        "\n    A quantized network: its layers, its learning parameters and, once mapped, its "
                        "sequences.\n\n    A Model takes 4-dimensional inputs whose first dimension counts the "
                        "samples.\n    It can be created empty, reloaded from a model file (.fbz), or built from a "
                        "list\n    of layers of another model; a list that does not start with an input layer "
                        "gets\n    one added automatically.\n    ")
        .def(py::init([](std::string const& filename) {
                 std::vector<uint8_t> const bytes = read_model_file(filename);
                 return std::make_unique<PyModel>(Model::from_buffer(bytes.data(), bytes.size()));
             }),
             py::arg("filename"),
             "\n        Load a model from a model file (.fbz).\n\n        Args:\n            filename (str): path of "
             "the model file.\n    ")
        .def(py::init([](LayerList const& layers) { return std::make_unique<PyModel>(model_from_layers(layers)); }),
             py::arg("layers") = LayerList{},
             "\n        Create a model from a list of layers of another model (empty by default).\n\n        Args:\n"
             "            layers (list): the layers, in order; an input layer is added in front when the\n"
             "                first one is not an input layer.\n    ")
        .def(
            "add",
            [](PyModel& self, std::shared_ptr<Layer> const& layer, LayerList const& inbound_layers) {
                for (auto const& inbound : inbound_layers)
                    if (!inbound) throw py::type_error("add(): inbound_layers must hold Layer objects, not None");
                self.model->add(layer, inbound_layers);
            },
            py::arg("layer").none(false), py::arg("inbound_layers") = LayerList{},
            "\n        Add a layer to the model.\n\n        Args:\n            layer (:obj:`Layer`): the layer to add.\n"
            "            inbound_layers (list, optional): the layers of this model that feed it; by\n"
            "                default the last layer added.\n    ")
        .def(
            "add_classes", [](PyModel& self, int32_t num_add_classes) { add_classes(*self.model, num_add_classes); },
            py::arg("num_add_classes"),
            "\n        Add new classes (new neurons) to the last layer, keeping the neurons already learned.\n\n"
            "        Args:\n            num_add_classes (int): the number of classes to add.\n        Raises:\n"
            "            RuntimeError: if the last layer is not compiled.\n    ")
        .def(
            "_map",
            [](PyModel& self, std::shared_ptr<Device> const& device, bool hw_only,
               std::shared_ptr<MapConstraints> const& constraints) {
                map_model(*self.model, device, hw_only, constraints);
            },
            py::arg("device"), py::arg("hw_only") = false, py::arg("constraints") = py::none(),
            "\n        Map the model onto a device.\n\n        Args:\n            device (:obj:`Device`): the target "
            "device.\n            hw_only (bool, optional): map only on hardware.\n            constraints "
            "(:obj:`MapConstraints`, optional): the mapping constraints, made for this\n"
            "                device or an equal one (same version and mesh, same board or none);\n"
            "                by default those of the device.\n        Raises:\n"
            "            ValueError: if the constraints were made for another device; the model then\n"
            "                keeps the mapping it had.\n    ")
        .def(
            "pop_layer", [](PyModel& self) { self.model->pop_layer(); }, "Remove the last layer of the model.")
        .def(
            "compile",
            [](PyModel& self, std::shared_ptr<LearningParams> const& optimizer) { self.model->compile(optimizer); },
            py::arg("optimizer").none(false),
            "\n        Compile the model for learning on its last layer.\n\n        Args:\n            optimizer "
            "(:obj:`Optimizer`): the learning parameters.\n    ")
        .def(
            "fit",
            [](PyModel& self, py::array const& inputs, double input_labels, uint32_t batch_size) {
                std::optional<int32_t> const label = integral_label(input_labels);
                if (!label) throw py::type_error(fit_labels_message);
                return self.fit(inputs, {*label}, batch_size);
            },
            py::arg("inputs"), py::arg("input_labels"), py::arg("batch_size") = 0u,
            "\n        Learn from inputs, all of them with the same label.\n\n        Args:\n            inputs "
            "(numpy.ndarray): the inputs, samples first.\n            input_labels (int): the label of every "
            "input.\n            batch_size (int, optional): samples per run; 0 for all.\n        Returns:\n"
            "            numpy.ndarray: the outputs.\n    ")
        .def(
            "fit",
            [](PyModel& self, py::array const& inputs, py::array const& input_labels, uint32_t batch_size) {
                std::optional<std::vector<int32_t>> const labels = integer_labels(input_labels);
                if (!labels) throw py::type_error(fit_labels_message);
                return self.fit(inputs, *labels, batch_size);
            },
            py::arg("inputs"), py::arg("input_labels"), py::arg("batch_size") = 0u,
            "\n        Learn from inputs, one integer label per input (or one for all).\n\n        Args:\n"
            "            inputs (numpy.ndarray): the inputs, samples first.\n            input_labels "
            "(numpy.ndarray): the labels.\n            batch_size (int, optional): samples per run; 0 for all.\n"
            "        Returns:\n            numpy.ndarray: the outputs.\n    ")
        .def(
            "fit",
            [](PyModel& self, py::array const& inputs, py::list const& input_labels, uint32_t batch_size) {
                std::optional<std::vector<int32_t>> const labels = list_labels(input_labels);
                if (!labels) throw py::type_error(fit_labels_message);
                return self.fit(inputs, *labels, batch_size);
            },
            py::arg("inputs"), py::arg("input_labels") = py::list(), py::arg("batch_size") = 0u,
            "\n        Learn from inputs, one integer label per input, one for all, or none.\n\n        Args:\n"
            "            inputs (numpy.ndarray): the inputs, samples first.\n            input_labels (list, "
            "optional): the labels; empty by default.\n            batch_size (int, optional): samples per run; 0 "
            "for all.\n        Returns:\n            numpy.ndarray: the outputs.\n    ")
        .def("forward", &PyModel::forward, py::arg("inputs"), py::arg("batch_size") = 0u,
             "\n        Run the model on inputs.\n\n        Args:\n            inputs (numpy.ndarray): the inputs, "
             "samples first.\n            batch_size (int, optional): samples per run; 0 for all.\n        Returns:\n"
             "            numpy.ndarray: the outputs.\n    ")
        .def("predict", &PyModel::predict, py::arg("inputs"), py::arg("batch_size") = 0u,
             "\n        Run the model on inputs and return float values.\n\n        Args:\n            inputs "
             "(numpy.ndarray): the inputs, samples first.\n            batch_size (int, optional): samples per run; "
             "0 for all.\n        Returns:\n            numpy.ndarray: the float outputs.\n    ")
        .def(
            "get_layer", [](PyModel const& self, std::string const& layer_name) { return self.model->get_layer(layer_name); },
            py::arg("layer_name"), "Get the layer of that name.")
        .def(
            "get_layer", [](PyModel const& self, uint32_t layer_index) { return self.model->get_layer(layer_index); },
            py::arg("layer_index"), "Get the layer at that index.")
        .def_property_readonly(
            "sequences", [](PyModel const& self) { return self.model->sequences(); },
            "The list of layer sequences in the Model")
        .def_property_readonly(
            "layers", [](PyModel const& self) { return self.model->layers(); }, "Get a list of layers in current model.")
        .def_property_readonly(
            "learning", [](PyModel const& self) { return self.model->learning(); }, "The learning parameters set.")
        .def_property_readonly(
            "input_shape", [](PyModel const& self) { return dims_of(self.model->input_shape()); },
            "The model input dimensions.")
        .def_property_readonly(
            "output_shape", [](PyModel const& self) { return dims_of(self.model->output_shape()); },
            "The model output dimensions.")
        .def_property_readonly(
            "metrics", [](PyModel const& self) { return self.metrics; }, "The model metrics.")
        .def_property_readonly(
            "ip_version", [](PyModel const& self) { return self.model->ip_version(); },
            "The IP version this model is compatible with.")
        .def_property_readonly(
            "device", [](PyModel const& self) { return self.model->device(); }, "The Device the Model is mapped to.")
        .def_property_readonly(
            "layer_count", [](PyModel const& self) { return self.model->layer_count(); }, "The number of layers.")
        .def_property_readonly(
            "component_count", [](PyModel const& self) { return component_count(*self.model); },
            "A dictionary with the number of components per type used in the model.")
        .def_property_readonly(
            "external_memory_size", [](PyModel const& self) { return external_memory_size(*self.model); },
            "Returns model external memory usage in Bytes.")
        .def_property_readonly(
            "macs", [](PyModel const& self) { return self.model->macs(); },
            "Returns model number of multiply-accumulate operations.")
        .def("evaluate", &PyModel::predict_labels, py::arg("inputs"), py::arg("labels"), py::arg("num_classes") = 0u,
             py::arg("batch_size") = 0u,
             "\n        Classify inputs and return the share of them whose class matches its label.\n\n        Args:\n"
             "            inputs (numpy.ndarray): the inputs, samples first.\n            labels (numpy.ndarray): "
             "one int32 label per input.\n            num_classes (int, optional): the number of classes; 0 for the "
             "output channels.\n            batch_size (int, optional): samples per run; 0 for all.\n        "
             "Returns:\n            float: the accuracy.\n    ")
        .def(
            "save",
            [](PyModel const& self, std::string const& model_file) {
                write_model_file(model_file, self.model->to_buffer());
            },
            py::arg("model_file"),
            "\n        Save the model to a .fbz file.\n\n        Args:\n            model_file (str): path of the "
            "file.\n    ")
        .def(
            "to_buffer",
            [](PyModel const& self) {
                std::vector<uint8_t> const bytes = self.model->to_buffer();
                return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            },
            "The model serialization, uncompressed.")
        .def_property_readonly(
            "power_events", [](PyModel const& self) { return self.power_events; },
            "Copy of power events logged after inference");
}

}  // namespace nuvra::python
