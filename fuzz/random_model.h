// Decodes fuzzer bytes into a small model and a small virtual device to map it on.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "engine/model.h"
#include "hw/device.h"
#include "mapping/map_constraints.h"

namespace nuvra::fuzz {

// An input layer and then up to seven layers of any kind the engine has, each with parameters
// that are mostly what the hardware usually takes or drawn from the ranges the kind accepts (now
// and then a value outside them, or a key left out), linked to one or more earlier layers (merges
// prefer inputs of a fitting shape), their variables filled with zeros, small values or random
// bytes, or replaced by a tensor of another shape. A layer the model refuses is left out.
std::unique_ptr<Model> random_model(FuzzedDataProvider& in);

// A device without hardware of one of the generations this build maps: up to 16 NPs of random
// types and look-up tables, an HRC or none, up to two skip-DMA engines, default or smaller SRAMs.
std::shared_ptr<Device> random_device(FuzzedDataProvider& in);

// The device's default constraints, with the CNP limits lowered now and then.
std::shared_ptr<MapConstraints> random_constraints(FuzzedDataProvider& in, std::shared_ptr<Device> const& device);

}  // namespace nuvra::fuzz
