#include "mapping/hardware_sequence.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "engine/hardware_device.h"
#include "engine/layers.h"
#include "engine/params.h"
#include "hw/format.h"
#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/program_builder.h"

namespace nuvra {

HardwarePass::HardwarePass(std::vector<std::shared_ptr<Layer>> const& pass_layers,
                           std::vector<std::shared_ptr<Layer>> const& all_layers,
                           std::vector<std::vector<hw::Component>> const& components,
                           hw::Ident const& dma_conf, std::shared_ptr<HardwarePass> const& previous,
                           DepthMemo* depths, std::vector<CutSkipRefusal>* cut_skips) {
    LayerMappingBuilder::build_layer_mapping(pass_layers, all_layers, components, dma_conf, depths, cut_skips);
    layers = pass_layers;
    attached_.reserve(layers.size());
    for (auto const& layer : layers) attached_.push_back(layer ? layer->mapping() : nullptr);

    if (previous) {
        LayerGraph graph(depths);
        std::shared_ptr<Layer> const first = graph.first_mappable_layer(this->layers);
        std::shared_ptr<Layer> const last = graph.last_mappable_layer(previous->layers);
        LayerMappingBuilder::link_to_previous_pass(first, last);
    }
}

HardwarePass::~HardwarePass() {
    for (size_t i = 0; i < layers.size(); ++i) {
        auto* layer = dynamic_cast<LayerImpl*>(layers[i].get());
        if (layer == nullptr) continue;
        std::shared_ptr<Layer::Mapping> const made = attached_[i].lock();
        if (made && layer->mapping() == made) layer->set_mapping(nullptr);
    }
}

HardwareSequence::HardwareSequence(std::shared_ptr<Device> device, HardwareConstraints const& constraints,
                                   std::vector<std::shared_ptr<Layer>> const& layers,
                                   std::vector<std::shared_ptr<Sequence::Pass>> const& passes,
                                   program::ProgramBuffer program, LearningReader learning)
    : device_(std::move(device)),
      constraints_(constraints),
      layers_(layers),
      passes_(passes),
      program_(std::move(program)),
      learning_(std::move(learning)) {}

Sequence::ProgramParts HardwareSequence::program_parts() const {
    std::span<const uint8_t> const all = program_.bytes();
    size_t const size = all.size();
    if (size < 4)
        throw std::runtime_error(
            format("Invalid program: {} bytes cannot hold the program_info length.", size));
    uint32_t const info_length = uint32_t{all[0]} | uint32_t{all[1]} << 8 | uint32_t{all[2]} << 16 |
                                 uint32_t{all[3]} << 24;
    uint64_t const info_end = uint64_t{info_length} + 4;
    if (info_end > size)
        throw std::runtime_error(format("Invalid program: a program_info of {} bytes does not fit {} bytes.",
                                        info_length, size));
    return {all.first(size_t(info_end)), all.subspan(size_t(info_end))};
}

std::string HardwareSequence::name() const {
    std::string text = "HW/";
    if (layers_.empty()) return text;
    text += layers_.front()->get_name();
    if (layers_.size() > 1) {
        text += '-';
        text += layers_.back()->get_name();
    }
    return text;
}

std::vector<std::shared_ptr<Tensor>> HardwareSequence::forward_samples(
    std::vector<std::shared_ptr<const Tensor>> const& inputs, std::vector<int> const* labels) {
    HardwareDevice* const hardware = device_ ? device_->hardware() : nullptr;
    if (hardware == nullptr) throw std::runtime_error(hardware_required_message);

    // Programming is costly: skip it when the device holds these very bytes.
    std::span<const uint8_t> const loaded = hardware->program();
    bool const same = loaded.data() != nullptr && loaded.size() == program_.size() &&
                      (program_.size() == 0 || std::memcmp(loaded.data(), program_.data(), program_.size()) == 0);
    if (!same) hardware->program(program_.data(), program_.size());

    if (inputs.size() > std::numeric_limits<uint32_t>::max())
        throw std::runtime_error(format("Too many samples in one call: {}.", inputs.size()));
    hardware->set_batch_size(uint32_t(inputs.size()), HardwareDevice::BatchDelivery::in_one_call);

    bool const learn = labels != nullptr;
    if (hardware->learn_enabled() != learn) hardware->set_learn_enabled(learn);

    std::vector<std::unique_ptr<Tensor>> outputs;
    if (learn) {
        outputs = hardware->fit(inputs, *labels);
        sync_learning_vars();
    } else {
        if (dequantizes_output(layers_.empty() ? nullptr : layers_.back()->params()))
            outputs = hardware->predict(inputs);
        else
            outputs = hardware->forward(inputs);
    }

    std::vector<std::shared_ptr<Tensor>> result;
    result.reserve(outputs.size());
    for (auto& output : outputs) result.push_back(std::shared_ptr<Tensor>(std::move(output)));
    return result;
}

void HardwareSequence::sync_learning_vars() {
    auto const pass = passes_.empty() ? nullptr : std::dynamic_pointer_cast<HardwarePass>(passes_.back());
    std::shared_ptr<Layer> const layer = pass ? last_mappable_layer(pass->layers) : nullptr;
    std::shared_ptr<Layer::Mapping> const mapping = layer ? layer->mapping() : nullptr;
    if (!mapping) throw std::runtime_error("The sequence has no mapped learning layer.");
    if (!mapping->components || mapping->components->size() != 1)
        throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");

    if (!learning_) throw std::logic_error("The sequence was built without a reader of learned variables.");
    learning_(*device_, constraints_, layer);
}

}  // namespace nuvra
