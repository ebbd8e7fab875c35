#include "mapping/program_builder.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/params.h"
#include "engine/version.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/sequence_builder.h"
#include "mapping/skip_dma.h"
#include "program/io_quantization.h"
#include "program/serializer.h"

namespace nuvra {

namespace {

// The IO type that the EPG does not serve.
constexpr int8_t no_epg_output_type = 3;

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
    Shape const input = first.first_input();
    if (first.type() != LayerType::Dense1D) return input;
    uint64_t const flat = uint64_t{input[0]} * input[1] * input[2];
    if (flat > std::numeric_limits<uint32_t>::max())
        throw std::runtime_error(format("The input of layer '{}' is too large to flatten.", first.get_name()));
    return Shape{1, 1, uint32_t(flat)};
}

bool dequantizes_output(LayerParams const* last) {
    return last != nullptr && last->layer_type() == LayerType::Dequantizer;
}

uint8_t program_output_bits(Layer const& last) {
    return dequantizes_output(&last.required_params()) ? last.input_bits() : last.output_bits();
}

bool program_narrow_output(Layer const& last) {
    if (dequantizes_output(&last.required_params())) return last.input_bits() <= 8;
    if (last.has_activation()) return false;
    return last.output_bits() <= 8;
}

bool fnp_padding_flag(Layer const& layer, std::shared_ptr<Layer> const& next, LayerRecorder const& recorder) {
    if (!recorder.records_fnp_padding(layer) || !next) return false;
    if (next->is_target_component(ComponentKind::TNP_B)) return true;
    if (layer.is_target_component(ComponentKind::CNP) && next->is_target_component(ComponentKind::FNP)) {
        if (layer.output_bits() == 4) return true;
        return recorder.fnp_input_rows_padded(*next);
    }
    return false;
}

void set_up_input_buffers(std::vector<std::shared_ptr<Sequence::Pass>> const& passes) {
    LayerGraph graph;
    set_up_input_buffers(passes, graph);
}

void set_up_input_buffers(std::vector<std::shared_ptr<Sequence::Pass>> const& passes, LayerGraph& graph) {
    for (auto const& pass : passes)
        for (auto const& layer : pass->layers)
            if (auto* components = mapped_components(layer))
                for (hw::Component& component : *components)
                    if (component.np_part) component.np_part->single_buffer = true;

    for (size_t i = 0; i + 1 < passes.size(); ++i) {
        auto* ending = mapped_components(graph.last_mappable_layer(passes[i]->layers));
        auto* starting = mapped_components(graph.first_mappable_layer(passes[i + 1]->layers));
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

// x * y * ceil(c * bits / 32): the 32-bit words of a frame of x by y pixels of c channels.
uint32_t frame_words(Layer const& layer, uint64_t x, uint64_t y, uint64_t c, uint64_t bits) {
    uint64_t const row_words = words_for_bits(c * bits, 32);  // c < 2^32 and bits < 2^8: no overflow
    uint64_t words = 0;
    if (__builtin_mul_overflow(x, y, &words) || __builtin_mul_overflow(words, row_words, &words) ||
        words > std::numeric_limits<uint32_t>::max())
        throw std::runtime_error(format("The skip-DMA store of layer '{}' is too large.", layer.get_name()));
    return static_cast<uint32_t>(words);
}

program::PassSkipDma pass_skip_dma(Sequence::Pass const& pass) {
    program::PassSkipDma result;
    for (std::shared_ptr<Layer> const& layer : pass.layers) {
        if (!layer) continue;
        std::shared_ptr<LayerMapping const> const mapping = layer_mapping(*layer);
        if (!mapping) continue;
        bool const on_tnp_b = layer->is_target_component(ComponentKind::TNP_B);

        if (hw::Component const* store = mapping->skipdma_store()) {
            SkipDmaStoreInfo const* info = mapping->skipdma_store_info.get();
            if (info == nullptr)
                throw std::runtime_error(
                    format("Layer '{}' has a skip-DMA store without its channel information.", layer->get_name()));
            uint32_t size = 0;
            if (on_tnp_b) {
                Shape const in = layer->first_input();
                size = frame_words(*layer, in[0], in[1], in[2], layer->input_bits());
            } else {
                Shape const out = layer->output_dimensions();
                size = frame_words(*layer, out[0], out[1], out[2], layer->output_bits());
            }
            result.stores.push_back({store->ident, on_tnp_b, info->delay, info->channel, size});
        }

        if (hw::Component const* store = mapping->skipdma_store_dual_output()) {
            SkipDmaStoreInfo const* info = mapping->skipdma_store_dual_output_info.get();
            if (info == nullptr)
                throw std::runtime_error(format(
                    "Layer '{}' has a dual-output skip-DMA store without its channel information.", layer->get_name()));
            Shape const in = layer->first_input();
            uint32_t const size = on_tnp_b ? frame_words(*layer, in[0], in[1], in[2], layer->input_bits())
                                           : frame_words(*layer, in[1], in[2], in[0], layer->input_bits());
            result.stores.push_back({store->ident, false, info->delay, info->channel, size});
        }

        if (hw::Component const* load = mapping->skipdma_load()) {
            SkipDmaLoadInfo const* info = mapping->skipdma_load_info.get();
            if (info == nullptr)
                throw std::runtime_error(
                    format("Layer '{}' has a skip-DMA load without its channel information.", layer->get_name()));
            result.loads.push_back({load->ident, on_tnp_b, info->delay, info->store_channel, 0});
        }
    }
    return result;
}

size_t SequenceSerializer::serialize_unused_nps_program(std::shared_ptr<Layer> layer,
                                                        std::shared_ptr<Layer> sequence_first,
                                                        std::vector<hw::Ident> const& skipped_nps) {
    if (!layer || !sequence_first) throw std::invalid_argument("The unused NPs of a pass need both layers.");
    std::shared_ptr<LayerMapping> const mapping = layer_mapping(layer);
    if (!mapping) MappingStatus(*layer, "Error: The layer has no hardware mapping.").throw_exception();

    // The recorder sees the layer at the index it was linked with; its own index comes back
    // however the recording ends.
    struct IndexGuard {
        LayerMapping& mapping;
        uint8_t saved;
        ~IndexGuard() { mapping.index = saved; }
    } const guard{*mapping, mapping->index};
    mapping->index = mapping->input_link_index;

    Layer const& recorded = *layer;
    return serialize_layer_program({.layer = recorded,
                                    .sequence_first = *sequence_first,
                                    .next_layer = std::move(layer),
                                    .skipped_nps = skipped_nps,
                                    .registers_only = true});
}

size_t serialize_unused_nps_program(SequenceSerializer& serializer, std::shared_ptr<Layer> layer,
                                    std::shared_ptr<Layer> other, std::vector<hw::Ident> const& nps) {
    return serializer.serialize_unused_nps_program(std::move(layer), std::move(other), nps);
}

void SequenceSerializer::finalize(const char* version, Shape const& in, Shape const& out, int8_t input_type,
                                  int8_t output_type, uint8_t output_bits, bool output_activation,
                                  uint32_t input_param_b, uint32_t input_param_a,
                                  std::vector<int32_t> const& output_shift, std::vector<float> const& output_scales,
                                  uint8_t num_descriptors, std::vector<uint8_t>* program,
                                  std::vector<std::shared_ptr<Sequence::Pass>> const& sequence_passes,
                                  uint8_t input_bits, bool input_signed, bool input_channels_first,
                                  std::vector<float> const& input_scales, std::vector<uint8_t> const& input_zero_points,
                                  bool post_processing) {
    if (program == nullptr) throw std::invalid_argument("The program needs a vector to be written into.");
    program::ProgramHeader header{.version = version ? version : "",
                                  .input_dims = in,
                                  .output_dims = out,
                                  .input_type = input_type,
                                  .output_type = output_type,
                                  .output_bits = output_bits,
                                  .output_activation = output_activation,
                                  .input_param_a = input_param_a,
                                  .input_param_b = input_param_b,
                                  .output_shift = output_shift,
                                  .output_scales = output_scales,
                                  .num_descriptors = num_descriptors,
                                  .passes = {},
                                  .input_bits = input_bits,
                                  .input_signed = input_signed,
                                  .input_channels_first = input_channels_first,
                                  .input_scales = input_scales,
                                  .input_zero_points = input_zero_points,
                                  .post_processing = post_processing};
    header.passes.reserve(sequence_passes.size());
    for (std::shared_ptr<Sequence::Pass> const& pass : sequence_passes) {
        if (!pass) throw std::invalid_argument("The passes of a program cannot be null.");
        header.passes.push_back(pass_skip_dma(*pass));
    }
    *program = finalize(header);
}

// What build_sequence reads once from the builder's layers before it serializes the passes.
struct HardwareSequenceBuilder::ProgramValues {
    std::shared_ptr<Layer> first;           // the first mappable layer
    std::shared_ptr<Layer> last;            // the last layer, mappable or not
    std::shared_ptr<Layer> last_mappable;
    std::shared_ptr<Layer> sequence_first;  // the first mappable layer of the first pass
    int8_t input_type = 0;
    int8_t output_type = 0;
    uint8_t output_bits = 0;
    bool first_on_hrc = false;
    bool last_on_hrc = false;
    Shape input_shape;
    Shape output_shape;
    uint32_t input_param_a = 0;
    uint32_t input_param_b = 0;
    bool output_activation = false;
    // The pass of each layer of the passes; the layers of a pass that could not be set up come
    // after the last, and the first mappable one of them is `unset_first`.
    std::unordered_map<Layer const*, size_t> pass_of;
    std::shared_ptr<Layer> unset_first;
};

SequenceBuildResult HardwareSequenceBuilder::build_sequence() {
    if (passes_.empty()) throw std::invalid_argument("A hardware sequence needs at least one pass.");
    flush_pending();
    // The graph does not change while the program is built: its questions are answered once.
    LayerGraph graph(&depths_);
    if (!graph.first_mappable_layer(layers_) || !graph.last_mappable_layer(layers_))
        throw std::invalid_argument("A hardware sequence needs a mappable layer.");

    SequenceSerializer serializer(*layer_recorder_, *io_recorder_);
    ProgramValues const values = start_program(serializer, graph);

    uint64_t largest = 0;
    if (MappingStatus const status = serialize_passes(serializer, graph, values, &largest); status.failed)
        return {status, nullptr};

    MappingStatus const status = finish_program(serializer, graph, values, largest + 1);
    if (status.failed) return {status, nullptr};
    // The program moves into the sequence, from where the serializer wrote it.
    auto sequence =
        std::make_shared<HardwareSequence>(device_, *constraints_, layers_, passes_, std::move(program_), learning_);
    clear();
    return {MappingStatus::success(), std::move(sequence)};
}

HardwareSequenceBuilder::ProgramValues HardwareSequenceBuilder::start_program(SequenceSerializer& serializer,
                                                                              LayerGraph& graph) {
    // Input buffers are settled before anything is recorded, so that the recorders see them.
    if (passes_.size() > 1) set_up_input_buffers(passes_, graph);
    serializer.serialize_version(device_->version());
    return program_values(graph);
}

EarlierPassesRecord HardwareSequenceBuilder::record_passes_set_up() {
    at_pass_boundary_ = false;
    // The program ends with the passes set up; the builder is emptied afterwards.
    layers_.resize(layers_.size() - std::min(layers_.size(), unset_.size()));
    LayerGraph graph(&depths_);
    if (passes_.empty() || !graph.first_mappable_layer(layers_)) {
        clear();
        return {};
    }
    EarlierPassesRecord record;
    try {
        SequenceSerializer serializer(*layer_recorder_, *io_recorder_);
        ProgramValues const values = start_program(serializer, graph);
        uint64_t largest = 0;
        record.refusal = serialize_passes(serializer, graph, values, &largest);
        record.at_pass_boundary = record.refusal.failed && at_pass_boundary_;
    } catch (ProgramOutputError const&) {
        // The program's output is that of a layer the model goes on after.
    } catch (MappingStatusError const& error) {
        record.refusal = error.status();
    } catch (...) {
        clear();
        throw;
    }
    clear();
    return record;
}

MappingStatus HardwareSequenceBuilder::serialize_passes(SequenceSerializer& serializer, LayerGraph& graph,
                                                        ProgramValues const& values, uint64_t* largest) {
    at_pass_boundary_ = false;
    for (size_t i = 0; i < passes_.size(); ++i) {
        uint64_t count = 0;
        MappingStatus const status = serialize_pass(serializer, graph, values, i, &count);
        if (status.failed) return status;
        *largest = std::max(*largest, count);
        serializer.finalize_pass();
    }
    // A cut branch whose readers no pass recorded (they are in the pass that could not be set up)
    // ends the build, as does a kept refusal of a layer that no pass recorded (one after a
    // recurrent layer, or of the pass that could not be set up): the program would list its load
    // with a channel no store writes.
    if (cut_branch_) return refused_at_boundary(cut_branch_->status);
    if (!cut_skips_.empty()) return refused_at_boundary(cut_skips_.front().status);
    return MappingStatus::success();
}

std::vector<Layer const*> HardwareSequenceBuilder::cut_off_readers(LayerGraph& graph, ProgramValues const& v,
                                                                   size_t i, std::shared_ptr<Layer> const& layer,
                                                                   std::shared_ptr<Layer> const& pass_last,
                                                                   std::shared_ptr<Layer> const& beyond_first) const {
    std::vector<Layer const*> readers;
    std::vector<hw::Component> const* components = mapped_components(layer);
    if (components == nullptr || components->empty()) return readers;
    for (std::shared_ptr<Layer> const& out : layer->outbound_layers()) {
        std::shared_ptr<Layer> const reader = graph.get_mappable_layer(out);
        auto const pass = reader ? v.pass_of.find(reader.get()) : v.pass_of.end();
        if (pass == v.pass_of.end() || pass->second <= i) continue;
        if (layer == pass_last && reader == beyond_first) continue;
        // A merge reads its shallower input back through the skip DMA, the cut skips' case.
        if (graph.previous_mappable_layer(reader) == layer) readers.push_back(reader.get());
    }
    return readers;
}

void HardwareSequenceBuilder::keep_cut_branch(LayerGraph& graph, ProgramValues const& v, size_t i,
                                              std::shared_ptr<Layer> const& layer,
                                              std::shared_ptr<Layer> const& pass_last,
                                              std::shared_ptr<Layer> const& beyond_first,
                                              std::vector<Layer const*> const& readers) {
    if (cut_branch_) {
        cut_branch_->readers.insert(readers.begin(), readers.end());
        return;
    }
    auto const pass = [this, &v](std::shared_ptr<Layer> const& l) {
        auto const it = v.pass_of.find(l.get());
        return it == v.pass_of.end() ? passes_.size() + 1 : it->second;
    };
    // A skip that the same boundary cuts, stored up to pass i and loaded after it, speaks for it,
    // in the name of the layer that loads it.
    auto const cut = std::find_if(cut_skips_.begin(), cut_skips_.end(), [&](CutSkipRefusal const& kept) {
        return pass(kept.producer) <= i && pass(kept.layer) > i;
    });
    // A pass's last layer linked past the layer a later pass reads is cut off by that layer's
    // branch, which the boundary cuts: the refusal names a layer of that branch when the pass has one.
    std::shared_ptr<Layer> named = layer;
    if (layer == pass_last)
        for (std::shared_ptr<Layer> const& other : passes_[i]->layers)
            if (other != pass_last && !cut_off_readers(graph, v, i, other, pass_last, beyond_first).empty()) {
                named = other;
                break;
            }
    cut_branch_.emplace(CutBranch{
        cut != cut_skips_.end() ? cut->status : MappingStatus(*named, second_branch_outside_pass_message),
        {readers.begin(), readers.end()}});
}

namespace {

// The answer of `question` about what the program hands out: a failure to answer is refused in the
// name of `last`, the layer whose output it is, as a layer's own fields are.
template <class Question>
auto output_answer(Layer const& last, Question&& question) {
    try {
        return question();
    } catch (MappingStatusError const&) {
        throw;
    } catch (std::runtime_error const& error) {
        throw ProgramOutputError(recording_failure(last, error));
    }
}

}  // namespace

HardwareSequenceBuilder::ProgramValues HardwareSequenceBuilder::program_values(LayerGraph& graph) const {
    ProgramValues v;
    v.first = graph.first_mappable_layer(layers_);
    v.last = layers_.back();
    v.last_mappable = graph.last_mappable_layer(layers_);
    v.sequence_first = graph.first_mappable_layer(passes_.front()->layers);
    v.input_type = io_recorder_->get_input_type(*v.first);
    // The first generation has no output type for a Quantizer or a Dequantizer left last.
    v.output_type = output_answer(*v.last, [&] { return io_recorder_->get_output_type(*v.last, v.input_type); });
    v.output_bits = program_output_bits(*v.last);
    v.first_on_hrc = v.first->is_target_component(ComponentKind::HRC);
    v.last_on_hrc = v.last_mappable->is_target_component(ComponentKind::HRC);
    v.input_shape = program_input_shape(*v.first);
    v.output_shape = v.last->output_dimensions();
    if (v.first_on_hrc) std::tie(v.input_param_a, v.input_param_b) = input_params(*v.first);
    v.output_activation = v.last->has_activation();
    for (size_t i = 0; i < passes_.size(); ++i)
        for (std::shared_ptr<Layer> const& layer : passes_[i]->layers) v.pass_of.emplace(layer.get(), i);
    for (std::shared_ptr<Layer> const& layer : unset_) v.pass_of.emplace(layer.get(), passes_.size());
    if (!unset_.empty()) v.unset_first = graph.first_mappable_layer(unset_);
    return v;
}

MappingStatus HardwareSequenceBuilder::serialize_pass(SequenceSerializer& serializer, LayerGraph& graph,
                                                      ProgramValues const& v, size_t i, uint64_t* count) {
    // Descriptor counts are summed wide and checked before anything narrows them.
    size_t const pass_count = passes_.size();
    uint64_t const k = i + 1;
    auto const& pass_layers = passes_[i]->layers;
    bool const first_of_sequence = i == 0;
    bool const last_of_sequence = k == pass_count;
    std::shared_ptr<Layer> const next_first =
        last_of_sequence ? nullptr : graph.first_mappable_layer(passes_[k]->layers);

    if (first_of_sequence) {
        // The SCC holds the size of the last layer's output (rows x channels, and its channels):
        // a value its fields cannot hold is refused in that layer's name. Its other value, the
        // first layer's input channels, the checks keep far below its field.
        *count = output_answer(*v.last, [&] {
            return serializer.serialize_scc_program({.first_on_hrc = v.first_on_hrc,
                                                     .input_type_is_zero = v.input_type == 0,
                                                     .last_on_hrc = v.last_on_hrc,
                                                     .output_type_is_zero = v.output_type == 0,
                                                     .narrow_output = program_narrow_output(*v.last)},
                                                    v.input_shape, v.output_shape);
        });
        MappingStatus status = check_num_descriptors(v.first, 1, *count);
        if (status.failed) return status;
    }

    // What a layer's skip-DMA engines add when the sequence has several passes.
    SkipDmaDescriptors const skip_dma =
        pass_count > 1 ? layer_recorder_->skip_dma_descriptors() : SkipDmaDescriptors{};
    std::shared_ptr<Layer> const pass_first = graph.first_mappable_layer(pass_layers);
    std::shared_ptr<Layer> const pass_last = graph.last_mappable_layer(pass_layers);
    std::unordered_set<Layer const*> const in_pass = [&] {
        std::unordered_set<Layer const*> set;
        for (auto const& layer : pass_layers) set.insert(layer.get());
        return set;
    }();
    // The first layer after the link that ends this pass, in a pass that could not be set up too.
    std::shared_ptr<Layer> const beyond_first = last_of_sequence ? v.unset_first : next_first;
    for (std::shared_ptr<Layer> const& layer : pass_layers) {
        if (MappingStatus status = boundary_refusal_at(layer); status.failed) return status;
        // Its NPs would send nowhere the output that a later pass reads: it is not recorded, and
        // the layers before the first that reads it are recorded for what they hold.
        if (std::vector<Layer const*> const readers = cut_off_readers(graph, v, i, layer, pass_last, beyond_first);
            !readers.empty()) {
            keep_cut_branch(graph, v, i, layer, pass_last, beyond_first, readers);
            continue;
        }
        bool const set_spikes = layer == pass_first && !first_of_sequence;
        bool const mesh_flag = layer == pass_last && !last_of_sequence;
        std::shared_ptr<Layer> next = graph.next_mappable_layer(layer);
        if (!in_pass.count(next.get())) next = nullptr;

        uint64_t n = 0;
        if (layer->can_learn()) {
            n = serializer.serialize_learning_layer_program(*layer, set_spikes);
        } else {
            n = serializer.serialize_layer_program({.layer = *layer,
                                                    .sequence_first = *v.sequence_first,
                                                    .next_layer = next_first,
                                                    .set_spikes = set_spikes,
                                                    .mesh_flag = mesh_flag,
                                                    .skipped_nps = {},
                                                    .fnp_padding = fnp_padding_flag(*layer, next, *layer_recorder_)});
            // A recurrent layer ends what this pass records.
            if (layer->is_target_component(ComponentKind::TNP_R)) break;
            if (auto mapping = pass_count > 1 ? layer_mapping(layer) : nullptr) {
                if (mapping->skipdma_store_info) n += skip_dma.store;
                if (mapping->skipdma_store_dual_output_info) n += skip_dma.dual_output_store;
                if (mapping->skipdma_load_info) n += skip_dma.load;
            }
        }
        *count += n;
        MappingStatus status = check_num_descriptors(layer, k, *count);
        if (status.failed) return status;
    }

    if (next_first) {
        // The next pass's first layer is recorded here first, for the NPs this pass leaves unused.
        if (MappingStatus status = boundary_refusal_at(next_first); status.failed) return status;
        std::vector<hw::Ident> used;
        for (std::shared_ptr<Layer> const& layer : pass_layers)
            if (auto* components = mapped_components(layer))
                for (hw::Component const& component : *components) used.push_back(component.ident);
        *count += serialize_unused_nps_program(serializer, next_first, v.sequence_first, used);
        MappingStatus status = check_num_descriptors(pass_last, k, *count);
        if (status.failed) return status;
    }
    return MappingStatus::success();
}

MappingStatus HardwareSequenceBuilder::finish_program(SequenceSerializer& serializer, LayerGraph& graph,
                                                      ProgramValues const& v, uint64_t descriptors) {
    size_t const pass_count = passes_.size();
    bool const several_passes = pass_count > 1;
    MappingStatus status =
        check_num_descriptors(graph.last_mappable_layer(passes_.back()->layers), pass_count, descriptors);
    if (status.failed) return status;

    if (v.output_type != no_epg_output_type) {
        uint8_t lowest = std::numeric_limits<uint8_t>::max();
        uint8_t highest = 0;
        for (size_t i = 0; i < pass_count; ++i) {
            auto const pass = hardware_pass(i);
            if (!pass) throw std::runtime_error("A hardware sequence holds a pass of another kind.");
            auto const [low, high] = pass_first_layer_col_range(*pass, i == 0 && v.last_on_hrc, &depths_);
            lowest = std::min(lowest, low);
            highest = std::max(highest, high);
        }
        serializer.serialize_epg_tracks({.first = *v.first,
                                         .lowest_col = lowest,
                                         .highest_col = highest,
                                         .row_code = 1,
                                         .last_on_hrc = v.last_on_hrc,
                                         .several_passes = several_passes,
                                         .input_type_is_zero = v.input_type == 0});
    }

    program::ProgramHeader header;
    Layer const& head = *layers_.front();
    header.input_scales = io::format_input_scales(head);
    header.input_zero_points = io::format_input_zero_points(head);
    header.output_shift = io::format_output_shift(*v.last);
    header.output_scales = io::format_output_scales(*v.last);
    header.input_bits = io::input_bits(head);
    header.input_signed = io::input_sign(head);
    header.input_channels_first = io::input_channels_first(head);

    serializer.record_dummy_desc_hdr(several_passes);
    header.version = version();
    header.input_dims = v.input_shape;
    header.output_dims = v.output_shape;
    header.input_type = v.input_type;
    header.output_type = v.output_type;
    header.output_bits = v.output_bits;
    header.output_activation = v.output_activation;
    header.input_param_a = v.input_param_a;
    header.input_param_b = v.input_param_b;
    header.num_descriptors = uint8_t(descriptors);  // passed the check above: at most 254
    for (auto const& pass : passes_) header.passes.push_back(pass_skip_dma(*pass));
    header.post_processing = v.last->type() == LayerType::WispPostProcessing;
    program_ = serializer.finalize_in_place(header);
    return MappingStatus::success();
}

}  // namespace nuvra
