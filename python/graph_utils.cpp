// The graph_utils submodule: the walks over a model's layer graph that the mapping uses, for
// testing, debugging and validation. Layers are the engine's own objects, never copies; None is
// not a layer, neither as an argument nor inside a list.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "mapping/graph_utils.h"
#include "python/not_none.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

using LayerArg = NotNone<std::shared_ptr<Layer>>;

LayerList layers_of(std::vector<LayerArg> const& layers) {
    LayerList result;
    result.reserve(layers.size());
    for (LayerArg const& layer : layers) result.push_back(layer.value);
    return result;
}

}  // namespace

void register_graph_utils_functions(py::module_& graph_utils) {
    graph_utils.def("extract_main_branch",
                    [](LayerArg const& layer) { return get_skipconnect_branch(layer.value).first; });
    graph_utils.def("extract_skip_branch",
                    [](LayerArg const& layer) { return get_skipconnect_branch(layer.value).second; });
    graph_utils.def("get_mappable_layer", [](LayerArg const& layer) { return get_mappable_layer(layer.value); });
    graph_utils.def("dual_output_to_store_dma",
                    [](LayerArg const& layer) { return is_dual_output_to_store_dma(layer.value); });
    graph_utils.def("first_mappable_layer",
                    [](std::vector<LayerArg> const& layers) { return first_mappable_layer(layers_of(layers)); });
    graph_utils.def("last_mappable_layer",
                    [](std::vector<LayerArg> const& layers) { return last_mappable_layer(layers_of(layers)); });
    graph_utils.def("next_mappable_layer", [](LayerArg const& layer) { return next_mappable_layer(layer.value); });
    graph_utils.def("previous_mappable_layer",
                    [](LayerArg const& layer) { return previous_mappable_layer(layer.value); });
    graph_utils.def("is_merge_layer", [](LayerArg const& layer) { return is_merge(layer.value); });
}

}  // namespace nuvra::python
