#include "mapping/program_builder.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "backends/v2/sizes.h"
#include "engine/params.h"
#include "engine/version.h"
#include "hw/format.h"
#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/sequence_builder.h"
#include "program/descriptors.h"
#include "program/serializer.h"

namespace nuvra {

namespace {

// The IO type that the EPG does not serve.
constexpr int8_t no_epg_output_type = 3;

LayerType type_of(Layer const& layer) {
    LayerParams const* params = layer.params();
    return params != nullptr ? params->layer_type() : LayerType::Unknown;
}

bool contains(std::vector<std::shared_ptr<Layer>> const& layers, std::shared_ptr<Layer> const& layer) {
    return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

std::vector<hw::Component>* mapped_components(std::shared_ptr<Layer> const& layer) {
    if (!layer) return nullptr;
    std::shared_ptr<Layer::Mapping> const mapping = layer->mapping();
    return mapping && mapping->components ? mapping->components.get() : nullptr;
}

// The convolution block's first two values (the strides) of an HRC first layer.
std::pair<uint32_t, uint32_t> input_params(Layer const& first) {
    auto const* conv = dynamic_cast<HasConvParams const*>(&first);
    ConvCalculatedParams const* block = conv ? conv->conv_params() : nullptr;
    if (block == nullptr) return {0, 0};
    return {block->stride_x, block->stride_y};
}

}  // namespace

Shape program_input_shape(Layer const& first) {
    std::vector<Shape> const inputs = first.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    Shape const& input = inputs.front();
    if (type_of(first) != LayerType::Dense1D) return input;
    uint64_t const flat = uint64_t{input[0]} * input[1] * input[2];
    if (flat > std::numeric_limits<uint32_t>::max())
        throw std::runtime_error(format("The input of layer '{}' is too large to flatten.", first.get_name()));
    return Shape{1, 1, uint32_t(flat)};
}

uint8_t program_output_bits(Layer const& last) {
    return type_of(last) == LayerType::Dequantizer ? last.input_bits() : last.output_bits();
}

bool program_narrow_output(Layer const& last) {
    if (type_of(last) == LayerType::Dequantizer) return last.input_bits() <= 8;
    if (last.has_activation()) return false;
    return last.output_bits() <= 8;
}

bool fnp_padding_flag(Layer const& layer, std::shared_ptr<Layer> const& next) {
    if (layer.format_code() != 2 || !next) return false;
    if (next->is_target_component(ComponentKind::TNP_B)) return true;
    if (layer.is_target_component(ComponentKind::CNP) && next->is_target_component(ComponentKind::FNP)) {
        if (layer.output_bits() == 4) return true;
        return v2::get_fnp_supported_padding(*next, false) == v2::InputPadding::RowBytePadded;
    }
    return false;
}

void set_up_input_buffers(std::vector<std::shared_ptr<Sequence::Pass>> const& passes) {
    for (auto const& pass : passes)
        for (auto const& layer : pass->layers)
            if (auto* components = mapped_components(layer))
                for (hw::Component& component : *components)
                    if (component.np_part) component.np_part->single_buffer = true;

    for (size_t i = 0; i + 1 < passes.size(); ++i) {
        auto* ending = mapped_components(last_mappable_layer(passes[i]->layers));
        auto* starting = mapped_components(first_mappable_layer(passes[i + 1]->layers));
        if (ending == nullptr || starting == nullptr) continue;
        for (hw::Component& component : *ending) {
            if (!component.np_part) continue;
            auto const match = std::find_if(starting->begin(), starting->end(), [&](hw::Component const& c) {
                return c.ident == component.ident;
            });
            if (match == starting->end()) continue;
            component.np_part->single_buffer = false;
            if (match->np_part) match->np_part->single_buffer = false;
        }
    }
}

SequenceBuildResult HardwareSequenceBuilder::build_sequence() {
    if (passes_.empty()) throw std::invalid_argument("A hardware sequence needs at least one pass.");
    flush_pending();

    std::shared_ptr<Layer> const first = first_mappable_layer(layers_);
    std::shared_ptr<Layer> const last = layers_.back();
    std::shared_ptr<Layer> const last_mappable = last_mappable_layer(layers_);
    if (!first || !last_mappable) throw std::invalid_argument("A hardware sequence needs a mappable layer.");
    size_t const pass_count = passes_.size();
    bool const several_passes = pass_count > 1;

    if (several_passes) set_up_input_buffers(passes_);

    SequenceSerializer serializer(*layer_recorder_, *io_recorder_);
    serializer.serialize_version(device_->version());

    int8_t const input_type = io_recorder_->get_input_type(*first);
    int8_t const output_type = io_recorder_->get_output_type(*last, input_type);
    uint8_t const output_bits = program_output_bits(*last);
    bool const first_on_hrc = first->is_target_component(ComponentKind::HRC);
    bool const last_on_hrc = last_mappable->is_target_component(ComponentKind::HRC);
    Shape const input_shape = program_input_shape(*first);
    Shape const output_shape = last->output_dimensions();
    auto const [input_param_a, input_param_b] = first_on_hrc ? input_params(*first) : std::pair<uint32_t, uint32_t>{};
    bool const output_activation = last->has_activation();

    std::shared_ptr<Layer> const sequence_first = first_mappable_layer(passes_.front()->layers);
    // Descriptor counts are summed wide and checked before anything narrows them.
    uint64_t largest = 0;
    for (size_t i = 0; i < pass_count; ++i) {
        uint64_t const k = i + 1;
        auto const& pass_layers = passes_[i]->layers;
        bool const first_of_sequence = i == 0;
        bool const last_of_sequence = i + 1 == pass_count;
        std::shared_ptr<Layer> const next_first =
            last_of_sequence ? nullptr : first_mappable_layer(passes_[i + 1]->layers);

        uint64_t count = 0;
        if (first_of_sequence) {
            count = serializer.serialize_scc_program(first_on_hrc, input_type == 0, last_on_hrc, output_type == 0,
                                                     program_narrow_output(*last), input_shape, output_shape);
            MappingStatus status = check_num_descriptors(first, 1, count);
            if (status.failed) return {status, nullptr};
        }

        std::shared_ptr<Layer> const pass_first = first_mappable_layer(pass_layers);
        std::shared_ptr<Layer> const pass_last = last_mappable_layer(pass_layers);
        for (std::shared_ptr<Layer> const& layer : pass_layers) {
            bool const a = layer == pass_first && !first_of_sequence;
            bool const b = layer == pass_last && !last_of_sequence;
            std::shared_ptr<Layer> next = next_mappable_layer(layer);
            if (!contains(pass_layers, next)) next = nullptr;

            uint64_t n = 0;
            if (layer->can_learn()) {
                n = serializer.serialize_learning_layer_program(*layer, a);
            } else {
                n = serializer.serialize_layer_program(*layer, *sequence_first, next_first, a, b, {}, false,
                                                       fnp_padding_flag(*layer, next));
                // A recurrent layer ends what this pass records.
                if (layer->is_target_component(ComponentKind::TNP_R)) break;
                if (several_passes) {
                    if (auto mapping = layer_mapping(layer)) {
                        if (mapping->skipdma_store_info) n += 4;
                        if (mapping->skipdma_store_dual_output_info) n += 4;
                        if (mapping->skipdma_load_info) n += 1;
                    }
                }
            }
            count += n;
            MappingStatus status = check_num_descriptors(layer, k, count);
            if (status.failed) return {status, nullptr};
        }

        if (next_first) {
            std::vector<hw::Ident> used;
            for (std::shared_ptr<Layer> const& layer : pass_layers)
                if (auto* components = mapped_components(layer))
                    for (hw::Component const& component : *components) used.push_back(component.ident);
            count += serializer.serialize_unused_nps_program(next_first, sequence_first, used);
            MappingStatus status = check_num_descriptors(pass_last, k, count);
            if (status.failed) return {status, nullptr};
        }

        largest = std::max(largest, count);
        serializer.finalize_pass();
    }

    uint64_t const descriptors = largest + 1;
    MappingStatus status = check_num_descriptors(last_mappable_layer(passes_.back()->layers), pass_count, descriptors);
    if (status.failed) return {status, nullptr};

    if (output_type != no_epg_output_type) {
        uint8_t lowest = std::numeric_limits<uint8_t>::max();
        uint8_t highest = 0;
        for (size_t i = 0; i < pass_count; ++i) {
            auto const pass = hardware_pass(i);
            if (!pass) throw std::runtime_error("A hardware sequence holds a pass of another kind.");
            auto const [low, high] = pass_first_layer_col_range(*pass, i == 0 && last_on_hrc);
            lowest = std::min(lowest, low);
            highest = std::max(highest, high);
        }
        serializer.serialize_epg_tracks(*first, lowest, highest, 1, last_on_hrc, several_passes, input_type == 0);
    }

    Layer const& head = *layers_.front();
    std::vector<float> const input_scales = io::format_input_scales(head);
    std::vector<uint8_t> const input_zero_points = io::format_input_zero_points(head);
    std::vector<int32_t> const output_shift = io::format_output_shift(*last);
    std::vector<float> const output_scales = io::format_output_scales(*last);
    uint8_t const input_bits = io::input_bits(head);
    bool const input_signed = io::input_sign(head);
    bool const input_channels_first = io::input_channels_first(head);

    serializer.record_dummy_desc_hdr(several_passes);
    // descriptors passed the check above: at most 254.
    serializer.finalize(version(), input_shape, output_shape, input_type, output_type, output_bits,
                        output_activation, input_param_b, input_param_a, output_shift, output_scales,
                        uint8_t(descriptors), &program_, passes_, input_bits, input_signed, input_channels_first,
                        input_scales, input_zero_points, type_of(*last) == LayerType::WispPostProcessing);

    auto sequence = std::make_shared<HardwareSequence>(device_, *constraints_, layers_, passes_, program_);
    clear();
    return {MappingStatus::success(), std::move(sequence)};
}

}  // namespace nuvra
