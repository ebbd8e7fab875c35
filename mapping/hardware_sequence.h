// The hardware side of a mapped sequence: a pass (the layers a device holds programmed at one
// time, whose construction attaches the layers' mappings) and the sequence that owns the program
// bytes of all its passes and runs samples on a device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "mapping/graph_utils.h"
#include "program/backend.h"
#include "program/serializer_buffer.h"

namespace nuvra {

struct CutSkipRefusal;

// Reads the learned variables of a layer back from the device, through the layer recorder of the
// generation that reads them (built for the device and the given limits at the time of reading).
// The back end that builds a sequence gives it one; it throws std::runtime_error when that
// generation's back end is not part of the build.
using LearningReader = std::function<void(Device const& device, HardwareConstraints const& constraints,
                                          std::shared_ptr<Layer> const& layer)>;

class HardwarePass : public Sequence::Pass {
public:
    // Builds and attaches a LayerMapping to every layer of `layers` (one component list per
    // layer; `all_layers` goes to the mapping builder unchanged) and, when `previous` is not null,
    // links this pass's first mappable layer to the last mappable layer of `previous`. The passes
    // of one sequence may share the layer depths found so far through `depths`. With `cut_skips`,
    // a merge whose skip input was stored in an earlier pass has its refusal kept there instead
    // of thrown (LayerMappingBuilder::build_layer_mapping).
    HardwarePass(std::vector<std::shared_ptr<Layer>> const& layers,
                 std::vector<std::shared_ptr<Layer>> const& all_layers,
                 std::vector<std::vector<hw::Component>> const& components, hw::Ident const& dma_conf,
                 std::shared_ptr<HardwarePass> const& previous, DepthMemo* depths = nullptr,
                 std::vector<CutSkipRefusal>* cut_skips = nullptr);
    // Detaches the mappings this pass attached: each layer whose mapping is still the one made
    // here is left with none (a layer mapped again since keeps its newer mapping).
    ~HardwarePass() override;

    HardwarePass(HardwarePass const&) = delete;
    HardwarePass& operator=(HardwarePass const&) = delete;

    size_t size() const { return layers.size(); }

private:
    // Per layer, the mapping made by this pass: held weakly and compared as an object, never by
    // address, so a newer mapping allocated where a freed one was is never taken for it.
    std::vector<std::weak_ptr<Layer::Mapping>> attached_;
};

class HardwareSequence : public ForwardableSequence {
public:
    // `program` is the whole program: a little-endian 32-bit length L, program_info (L bytes),
    // then the size-prefixed program_data. The constraints are copied: the back end that built
    // the sequence ends with the mapping call. `learning` reads learned variables back.
    // The program's bytes are taken over, not copied: a vector of them, or the buffer the
    // serializer wrote them into.
    HardwareSequence(std::shared_ptr<Device> device, HardwareConstraints const& constraints,
                     std::vector<std::shared_ptr<Layer>> const& layers,
                     std::vector<std::shared_ptr<Sequence::Pass>> const& passes, program::ProgramBuffer program,
                     LearningReader learning = {});

    std::vector<std::shared_ptr<Sequence::Pass>> const& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Hardware; }
    std::span<const uint8_t> program() const override { return program_.bytes(); }
    // Views of program_info (its length word included) and program_data. A program shorter than
    // its length word, or whose program_info length passes its end, is std::runtime_error.
    ProgramParts program_parts() const override;
    // "HW/<first layer>", followed by "-<last layer>" when there is more than one layer.
    std::string name() const override;

    // Runs the samples on the device's hardware ("An actual hardware device is required."
    // without one), loading the program first unless the device holds these very bytes, and
    // switching learning on exactly when labels are given. After learning, the learned
    // variables are read back into the learning layer.
    std::vector<std::shared_ptr<Tensor>> forward_samples(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                                         std::vector<int> const* labels) override;

    // Reads the learned variables of the last pass's learning layer back from the device, through
    // the sequence's learning reader (std::logic_error for a sequence built without one).
    void sync_learning_vars();

    std::shared_ptr<Device> const& device() const { return device_; }
    HardwareConstraints const& constraints() const { return constraints_; }
    std::vector<std::shared_ptr<Layer>> const& layers() const { return layers_; }

private:
    std::shared_ptr<Device> device_;
    HardwareConstraints constraints_;
    std::vector<std::shared_ptr<Layer>> layers_;
    std::vector<std::shared_ptr<Sequence::Pass>> passes_;
    program::ProgramBuffer program_;
    LearningReader learning_;
};

}  // namespace nuvra
