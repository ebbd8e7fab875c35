// One registration function per class family, called by the module body in its fixed order.
#pragma once

#include <pybind11/pybind11.h>

#include "python/type_names.h"

namespace nuvra::python {

void core_module_body(pybind11::module_& m);

// In the order of the module body's steps.
void register_model_class(pybind11::module_& m);                // Model
void register_layer_class(pybind11::module_& m);                // Layer, Layer.Mapping
void register_layer_params(pybind11::module_& m);               // LayerType, Padding, PoolType, ActivationType, LayerParams
void register_optimizer(pybind11::module_& m);                  // Optimizer, NuvraUnsupervised
void register_metrics_class(pybind11::module_& m);              // Metrics
void register_device_class(pybind11::module_& m);               // Device
void register_soc_driver_class(pybind11::module_& m);           // SocDriver
void register_hardware_device_class(pybind11::module_& m);      // HardwareDevice
void register_hw_version_class(pybind11::module_& m);           // HwVersion and its presets
void register_np_mesh_classes(pybind11::module_& m);            // NP: SramSize, its presets, Mesh
void register_np_types(pybind11::module_& m);                   // NP: Ident, Type, Info, NpSpace, MemoryInfo, Component
void register_map_constraints_class(pybind11::module_& m);      // MapConstraints
void register_sequence_classes(pybind11::module_& m);           // ProgramParts, Sequence, Pass
void register_power_meter_classes(pybind11::module_& m);        // PowerEvent, PowerMeter
void register_program_memory_required(pybind11::module_& m);    // ProgramMemoryRequired, get_program_memory_infos
void register_nn_module(pybind11::module_& m);                  // nn and its test operations
void register_graph_utils_functions(pybind11::module_& graph_utils);  // the functions of graph_utils
void register_board_zr62_module(pybind11::module_& m);          // boardZr62: get_flash, SpiFlashController

// Test builds define this to add private submodules (simulated boards); the shipped module has none.
[[gnu::weak]] void register_test_submodules(pybind11::module_& m);

}  // namespace nuvra::python
