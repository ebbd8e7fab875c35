#include "mapping/splitters.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>

#include "mapping/split.h"

namespace nuvra {

namespace {

constexpr const char* cannot_split_height = "Cannot split by height.";
constexpr const char* height_not_supported = "Split by height is not supported.";
constexpr const char* cannot_split_width = "Cannot split by width.";
constexpr const char* cannot_split_neurons = "Cannot split by neurons.";
constexpr const char* cannot_fit_weights = "Cannot split to fit weights in ram.";
constexpr const char* cannot_fit_inputs = "Cannot split to fit inputs in ram.";


SplitOutcome failure(Layer const& layer, const char* message) {
    return {{}, MappingStatus(layer, message)};
}

// What sets one splitter apart from the others.
struct SplitterKind {
    hw::Type type;                       // NP type of the search and of the components
    bool transposed;                     // one height chunk, width alignment 1, no FIFO
    std::function<Split()> filter_cut;   // the first cut along the filter axis
    uint32_t channels;                   // channels given to the input-fit test
    bool channels_follow_filters;        // each chunk holds as many channels as filters
};

SplitOutcome split_layer(Layer const& layer, CompatibilityChecker const& checker,
                         NpSplitParams const& params, uint32_t max_height, uint32_t max_width,
                         bool hwpr_loopitself, SplitterKind const& kind) {
    InputDims const dims = first_input_dims(layer);

    Split const height = split_by_height(layer, params, max_height);
    if (height.failed()) return failure(layer, cannot_split_height);
    if (kind.transposed && height.num_chunks != 1) return failure(layer, height_not_supported);

    uint32_t const width_align =
        !kind.transposed && params.pool_type == uint32_t(PoolType::Max) ? params.pool_width : 1;
    Split const width(dims.width, max_width, width_align);
    if (width.failed()) return failure(layer, cannot_split_width);

    Split const neurons = kind.filter_cut();
    if (neurons.failed()) return failure(layer, cannot_split_neurons);
    Split const filters = split_for_weights(layer, checker, neurons);
    if (filters.failed()) return failure(layer, cannot_fit_weights);

    uint32_t fifo_size = 0;
    if (!kind.transposed) {
        LayerParams const& lp = layer.required_params();
        if (lp.has("fifo_size")) fifo_size = uint32_t(lp.get("fifo_size"));
    }

    SplitSearchResult const found = find_split_chunks({.channels = kind.channels,
                                                       .bits = layer.input_bits(),
                                                       .params = params,
                                                       .height = height,
                                                       .width = width,
                                                       .filters = filters,
                                                       .fifo_size = fifo_size,
                                                       .type = kind.type,
                                                       .hwpr_loopitself = hwpr_loopitself,
                                                       .reserved = checker.reserved_input_words(layer),
                                                       .channels_follow_filters = kind.channels_follow_filters,
                                                       .height_may_be_cut = !kind.transposed,
                                                       .targets_tnp_b = layer.is_target_component(ComponentKind::TNP_B),
                                                       .shift = first_chunk_shift(layer)},
                                                      checker);
    if (!found.found) return failure(layer, cannot_fit_inputs);

    return {build_split_components(layer, params, found.buffer_mode == BufferMode::Single, kind.type,
                                   found.width, found.height, found.filters),
            MappingStatus()};
}

// The transposed kinds' own split parameters: a leading halo of 1 and a trailing halo of
// kernel - 3 on both axes (none for kernels of 3 and below), no pooling.
NpSplitParams transposed_split_params(Layer const& layer, uint32_t filters) {
    auto const kernel = uint32_t(layer.required_params().get("kernel_size"));
    uint32_t const trail = kernel > 3 ? kernel - 3 : 0;
    return make_split_params(1, trail, 1, trail, 0, 0, 0, filters);
}

}  // namespace

SplitOutcome split_conv_layer(Layer const& layer, CompatibilityChecker const& checker,
                              uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                              hw::Type type, bool hwpr_loopitself) {
    NpSplitParams const params = checker.np_split_params(type, layer.required_params());
    SplitterKind const kind{
        type, false, [&] { return Split(params.filters, max_filters, 1); },
        first_input_dims(layer).channels, false};
    return split_layer(layer, checker, params, max_height, max_width, hwpr_loopitself, kind);
}

SplitOutcome split_depthwise_conv_layer(Layer const& layer, CompatibilityChecker const& checker,
                                        uint32_t max_height, uint32_t max_width,
                                        uint32_t max_filters, hw::Type type, bool hwpr_loopitself) {
    NpSplitParams const params = checker.np_split_params(type, layer.required_params());
    uint32_t const channels = first_input_dims(layer).channels;
    uint32_t const align = layer.is_target_component(ComponentKind::TNP_B) ? 4 : 1;
    SplitterKind const kind{
        type, false, [&] { return Split(channels, max_filters, align); },
        std::min(channels, max_filters), true};
    return split_layer(layer, checker, params, max_height, max_width, hwpr_loopitself, kind);
}

SplitOutcome split_transposed_conv2d_layer(Layer const& layer, CompatibilityChecker const& checker,
                                           uint32_t max_height, uint32_t max_width,
                                           uint32_t max_filters, bool hwpr_loopitself) {
    auto const filters = uint32_t(layer.required_params().get("filters"));
    NpSplitParams const params = transposed_split_params(layer, filters);
    SplitterKind const kind{
        hw::Type::CNP1, true,
        [&] { return split_by_neurons(layer, filters, max_filters, false); },
        first_input_dims(layer).channels, false};
    return split_layer(layer, checker, params, max_height, max_width, hwpr_loopitself, kind);
}

SplitOutcome split_transposed_dwconv2d_layer(Layer const& layer, CompatibilityChecker const& checker,
                                             uint32_t max_height, uint32_t max_width,
                                             uint32_t max_filters, bool hwpr_loopitself) {
    uint32_t const channels = first_input_dims(layer).channels;
    NpSplitParams const params = transposed_split_params(layer, channels);
    SplitterKind const kind{
        hw::Type::CNP1, true,
        [&] { return split_by_neurons(layer, channels, max_filters, true); },
        std::min(channels, max_filters), true};
    return split_layer(layer, checker, params, max_height, max_width, hwpr_loopitself, kind);
}

}  // namespace nuvra
