// The HRC time-out probe: on the chip revision whose HRC may come up without answering (Vexa_v2),
// a one-layer model is mapped through the HRC and run once on one constant sample.
#pragma once

#include <memory>

#include "engine/model.h"
#include "engine/tensor.h"
#include "hw/device.h"

namespace nuvra {

// The probe model: one InputConvolutional layer "inputconv" over an 8 x 8 x 1 input (3 x 3
// kernel of ones, stride 2, 2 x 2 max pooling, 1-bit weights and activations), mapped on `device`
// in hardware-only mode with the device's default constraints. Mapping failures pass through.
std::unique_ptr<Model> build_probe_model(std::shared_ptr<Device> const& device);

// A uint8 tensor of shape (1, width, height, channels) of the model's input, every byte 1. A zero
// (or missing) dimension and a shape of more than 4294967295 elements fail through panic.
std::shared_ptr<Tensor> get_constant_inputs(Model const& model);

// Builds the probe and runs it once: true (a time-out) when the run throws a std::exception,
// false when it completes. Only the run is guarded: building or mapping failures pass through.
bool hrc_check_timeout(std::shared_ptr<Device> device);

}  // namespace nuvra
