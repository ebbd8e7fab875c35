#include "mapping/sequence_builder.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "hw/format.h"
#include "hw/mesh.h"
#include "mapping/graph_utils.h"
#include "program/serializer.h"

namespace nuvra {

HardwareSequenceBuilder::HardwareSequenceBuilder(std::shared_ptr<Device> device,
                                                 HardwareConstraints const& constraints,
                                                 IoRecorder const& io_recorder,
                                                 LayerRecorder const& layer_recorder, LearningReader learning)
    : device_(std::move(device)),
      constraints_(&constraints),
      io_recorder_(&io_recorder),
      layer_recorder_(&layer_recorder),
      learning_(std::move(learning)) {}

void HardwareSequenceBuilder::add_layers(std::vector<std::shared_ptr<Layer>> layers,
                                         std::vector<std::shared_ptr<Layer>> const& all_layers,
                                         std::vector<std::vector<hw::Component>> components) {
    if (layers.size() != components.size())
        throw std::invalid_argument(format("A pass of {} layers needs {} component lists, not {}.",
                                           layers.size(), layers.size(), components.size()));
    if (layers.empty() && !pending_) throw std::invalid_argument("A pass needs at least one layer.");

    if (pending_) {
        layers.insert(layers.begin(), pending_->first);
        components.insert(components.begin(), std::move(pending_->second));
        pending_.reset();
    }
    // A skip-DMA layer has no mapping of its own: it opens the next group, whose first layer
    // carries it.
    if (layers.back()->is_target_component(ComponentKind::SKIP_DMA)) {
        pending_.emplace(layers.back(), std::move(components.back()));
        layers.pop_back();
        components.pop_back();
        if (layers.empty()) return;
    }
    size_t const before = layers_.size();
    try {
        make_pass({std::move(layers), all_layers, std::move(components)});
    } catch (MappingStatusError const&) {
        unset_.assign(layers_.begin() + std::ptrdiff_t(before), layers_.end());
        throw;
    }
}

void HardwareSequenceBuilder::make_pass(Group group) {
    layers_.insert(layers_.end(), group.layers.begin(), group.layers.end());
    std::shared_ptr<HardwarePass> const previous = last_pass();
    hw::Ident const dma_conf = device_->mesh().dma_conf;
    passes_.push_back(std::make_shared<HardwarePass>(group.layers, group.all_layers, group.components, dma_conf,
                                                     previous, &depths_, keep_cut_skips_ ? &cut_skips_ : nullptr));
    last_group_ = std::move(group);
}

void HardwareSequenceBuilder::flush_pending() {
    if (!pending_ || passes_.empty() || !last_group_) return;
    auto [layer, components] = std::move(*pending_);
    pending_.reset();
    Group group = std::move(*last_group_);
    last_group_.reset();
    // Drop the last pass (detaching its mappings and the refusals its set-up kept) and build it
    // again with the layer at its end.
    layers_.resize(layers_.size() - group.layers.size());
    passes_.pop_back();
    std::erase_if(cut_skips_, [&group](CutSkipRefusal const& cut) {
        return std::find(group.layers.begin(), group.layers.end(), cut.layer) != group.layers.end();
    });
    group.layers.push_back(std::move(layer));
    group.components.push_back(std::move(components));
    make_pass(std::move(group));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::hardware_pass(size_t i) const {
    return std::dynamic_pointer_cast<HardwarePass>(passes_.at(i));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::first_pass() const { return hardware_pass(0); }

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::last_pass() const {
    if (passes_.empty()) return nullptr;
    return hardware_pass(passes_.size() - 1);
}

void HardwareSequenceBuilder::clear() {
    layers_.clear();
    passes_.clear();
    depths_.clear();
    program_ = program::ProgramBuffer();
    last_group_.reset();
    cut_skips_.clear();
    unset_.clear();
    cut_branch_.reset();
}

MappingStatus HardwareSequenceBuilder::boundary_refusal_at(std::shared_ptr<Layer> const& layer) {
    auto const cut = std::find_if(cut_skips_.begin(), cut_skips_.end(),
                                  [&layer](CutSkipRefusal const& kept) { return kept.layer == layer; });
    if (cut_branch_ && (cut != cut_skips_.end() || cut_branch_->readers.count(layer.get())))
        return refused_at_boundary(cut_branch_->status);
    if (cut == cut_skips_.end()) return MappingStatus::success();
    return refused_at_boundary(cut->status);
}

MappingStatus HardwareSequenceBuilder::refused_at_boundary(MappingStatus status) {
    clear();
    at_pass_boundary_ = true;
    return status;
}

MappingStatus HardwareSequenceBuilder::check_num_descriptors(std::shared_ptr<Layer> const& layer,
                                                             uint64_t multiplier, uint64_t count) {
    MappingStatus status = program::check_num_descriptors(*layer, multiplier, count);
    if (status.failed) clear();
    return status;
}

std::pair<uint8_t, uint8_t> pass_first_layer_col_range(HardwarePass const& pass, bool first_on_hrc) {
    return pass_first_layer_col_range(pass, first_on_hrc, nullptr);
}

std::pair<uint8_t, uint8_t> pass_first_layer_col_range(HardwarePass const& pass, bool first_on_hrc,
                                                       DepthMemo* depths) {
    std::shared_ptr<Layer> first = LayerGraph(depths).first_mappable_layer(pass.layers);
    if (!first) throw std::runtime_error("A pass has no mappable layer.");
    if (first->is_target_component(ComponentKind::HRC)) {
        if (first_on_hrc) return {0, 0};
        first = first->outbound_layers().at(0);
    }
    std::shared_ptr<Layer::Mapping> const mapping = first->mapping();
    if (!mapping || !mapping->components || mapping->components->empty())
        throw std::runtime_error(format("Layer '{}' has no mapped component.", first->get_name()));
    auto const& components = *mapping->components;
    if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
    auto const [low, high] = std::minmax_element(
        components.begin(), components.end(),
        [](hw::Component const& a, hw::Component const& b) { return a.ident.col < b.ident.col; });
    return {low->ident.col, high->ident.col};
}

}  // namespace nuvra
