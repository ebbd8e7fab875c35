// Convolutional and SeparableConvolutional layers on first-generation CNPs: the rules both kinds
// share, then each kind's kernel, bit widths, weight fit and (separable) non-zero weights.
#include "backends/v1/check_rules.h"
#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/format_fnp.h"
#include "engine/layers.h"
#include "hw/format.h"

namespace nuvra::v1 {

namespace {

constexpr int32_t max_filters = 2048;
constexpr int32_t max_stride = 2;
constexpr int32_t global_pool = -1;                  // "pooling_width" of a global average pooling
constexpr uint32_t max_average_pooling_width = 32;   // first input dimension
constexpr uint32_t min_average_pooling_rows = 3;     // rows of the convolution's output
constexpr uint64_t max_average_pooling_words = 10752;  // the whole input of one CNP, 32-bit words

// The computed blocks of a built convolution; std::runtime_error "The layer <name> is not
// built." before it is built, std::bad_cast for a kind without them.
ConvPoolLayer const& built(Layer const& layer) {
    auto const& conv = dynamic_cast<ConvPoolLayer const&>(layer);
    (void)conv.conv_calculated_params();
    (void)conv.pool_calculated_params();
    return conv;
}

// What a rule reads of its layer, for the rules of each kind (LayerCheck) and those both kinds
// share (CnpCommonCheck below).
template <class Check>
int32_t p(Check const& check, char const* key) {
    return param(check.layer, key);
}
template <class Check>
PoolType pool_type(Check const& check) {
    return static_cast<PoolType>(p(check, "pool_type"));
}
template <class Check>
bool average_pooling(Check const& check) {
    return pool_type(check) == PoolType::Average;
}

// ---- Rules both kinds share ----

// What a shared rule sees: the layer and the computed blocks it is judged with.
struct CnpCommonCheck {
    Layer const& layer;
    ConvCalculatedParams const& conv;
    PoolingCalculatedParams const& pool;
    HwVersion version;
};

using CnpCommonRule = MappingStatus (*)(CnpCommonCheck const&);

bool max_pooling(CnpCommonCheck const& check) { return pool_type(check) == PoolType::Max; }
int32_t pool_size(CnpCommonCheck const& check) { return p(check, "pooling_width"); }

MappingStatus rule_max_input_dimensions(CnpCommonCheck const& check) {
    return check_max_input_dimensions(check.layer, first_input_dims(check.layer));
}

MappingStatus rule_max_filters(CnpCommonCheck const& check) {
    int32_t const filters = p(check, "filters");
    if (filters > max_filters) return max_filters_failure(check.layer, max_filters, filters);
    return {};
}

MappingStatus rule_square_kernel(CnpCommonCheck const& check) {
    if (p(check, "kernel_width") != p(check, "kernel_height"))
        return {check.layer, "Kernel width and height must be equal."};
    return {};
}

MappingStatus rule_square_stride(CnpCommonCheck const& check) {
    if (p(check, "stride_x") != p(check, "stride_y"))
        return {check.layer, "Horizontal and vertical strides must be equal."};
    return {};
}

MappingStatus rule_stride_1_or_2(CnpCommonCheck const& check) {
    if (p(check, "stride_x") > max_stride) return {check.layer, "Convolution stride must be 1 or 2."};
    return {};
}

MappingStatus rule_stride_2_kernel_3(CnpCommonCheck const& check) {
    if (p(check, "stride_x") == 2 && p(check, "kernel_width") != 3)
        return {check.layer, "Convolution stride 2 is only supported for 3x3 kernels."};
    return {};
}

MappingStatus rule_padding_same(CnpCommonCheck const& check) {
    if (static_cast<Padding>(p(check, "padding")) != Padding::Same)
        return {check.layer, "Only padding same is supported."};
    return {};
}

MappingStatus rule_max_pool_size(CnpCommonCheck const& check) {
    int32_t const size = pool_size(check);
    if (max_pooling(check) && size != 1 && size != 2 && size != 3)
        return {check.layer, "Pooling size must be 1, 2 or 3."};
    return {};
}

MappingStatus rule_max_pool_3_on_vexa_v2(CnpCommonCheck const& check) {
    if (max_pooling(check) && is_vexa_v2(check.version) && pool_size(check) == 3)
        return {check.layer, "Pooling size 3 is not supported on Vexa_v2."};
    return {};
}

MappingStatus rule_max_pool_square(CnpCommonCheck const& check) {
    if (max_pooling(check) && p(check, "pooling_height") != pool_size(check))
        return {check.layer, "Pooling width and height must be equal."};
    return {};
}

MappingStatus rule_max_pool_square_stride(CnpCommonCheck const& check) {
    if (max_pooling(check) && check.pool.stride_x != check.pool.stride_y)
        return {check.layer, "Pooling stride x and y must be equal."};
    return {};
}

MappingStatus rule_max_pool_stride_within_size(CnpCommonCheck const& check) {
    if (max_pooling(check) && check.pool.stride_x > pool_size(check))
        return {check.layer, "Pooling stride must be equal or lower than pooling size."};
    return {};
}

MappingStatus rule_max_pool_within_input(CnpCommonCheck const& check) {
    if (!max_pooling(check)) return {};
    int64_t const size = pool_size(check);
    InputDims const input = first_input_dims(check.layer);
    if (size > int64_t{input.width} || size > int64_t{input.height})
        return {check.layer, "Pooling size cannot be greater than input dimensions."};
    return {};
}

MappingStatus rule_average_pool_global(CnpCommonCheck const& check) {
    if (average_pooling(check) && pool_size(check) != global_pool)
        return {check.layer, "Average pooling must be global."};
    return {};
}

MappingStatus rule_average_pool_width(CnpCommonCheck const& check) {
    if (average_pooling(check) && first_input_dims(check.layer).width > max_average_pooling_width)
        return {check.layer, "With average pooling, input height cannot exceed 32."};
    return {};
}

MappingStatus rule_average_pool_rows(CnpCommonCheck const& check) {
    if (!average_pooling(check)) return {};
    uint32_t const rows = check.conv.output_height;
    if (rows < min_average_pooling_rows)
        return {check.layer, format("When using Global Average Pooling, the output of the convolution must have at "
                                    "least 3 rows (currently {}).",
                                    rows)};
    return {};
}

// A global average needs the whole input on one CNP.
MappingStatus rule_average_pool_one_np(CnpCommonCheck const& check) {
    if (!average_pooling(check)) return {};
    InputDims const input = first_input_dims(check.layer);
    uint64_t const container = cnp_container_bytes(input.width, check.layer.input_bits());
    if (cnp_input_words(container, input.channels, input.height) > max_average_pooling_words)
        return {check.layer, "With average pooling, spatial split is impossible."};
    return {};
}

// ---- Bit widths the image holds ----

MappingStatus rule_input_bits(CnpCommonCheck const& check) { return check_input_bits_1_2_or_4(check.layer); }
MappingStatus rule_act_bits(CnpCommonCheck const& check) { return check_act_bits_1_2_or_4(check.layer); }

// Every rule runs; each failure is gathered.
constexpr CnpCommonRule cnp_common_rules[] = {
    rule_max_input_dimensions,  rule_max_filters,           rule_square_kernel,
    rule_square_stride,         rule_stride_1_or_2,         rule_stride_2_kernel_3,
    rule_padding_same,          rule_max_pool_size,         rule_max_pool_3_on_vexa_v2,
    rule_max_pool_square,       rule_max_pool_square_stride, rule_max_pool_stride_within_size,
    rule_max_pool_within_input, rule_average_pool_global,   rule_average_pool_width,
    rule_average_pool_rows,     rule_average_pool_one_np,   rule_input_bits,
    rule_act_bits,
};

MappingStatus rule_cnp_common(LayerCheck const& check) {
    ConvPoolLayer const& conv = built(check.layer);
    return check_cnp_common_constraints(check.layer, conv.conv_calculated_params(), conv.pool_calculated_params(),
                                        check.version);
}

// ---- Each kind ----

MappingStatus rule_std_kernel(LayerCheck const& check) {
    int32_t const k = p(check, "kernel_width");
    if (k != 1 && k != 3 && k != 5 && k != 7) return {check.layer, "Kernel size must be 1, 3, 5 or 7."};
    return {};
}

MappingStatus rule_std_weights_bits(LayerCheck const& check) {
    int32_t const bits = p(check, "weights_bits");
    if (bits != 1 && bits != 2 && bits != 4) return {check.layer, "Standard CNP weights bitwidth must be 1, 2 or 4."};
    return {};
}

// A 1- or 2-bit weight the CNP's planes do not hold would be written as 0 while the layer runs
// with it: only 1 (and -1 where a minus plane is packed) and 0 are held.
MappingStatus rule_std_weight_values(LayerCheck const& check) {
    int32_t const bits = p(check, "weights_bits");
    if (bits != 1 && bits != 2) return {};
    bool const minus = std_cnp_minus_plane(bits == 2, static_cast<uint32_t>(p(check, "kernel_width")));
    WeightRange const range{minus ? -1 : 0, 1};
    if (auto const value = first_int8_outside(*check.layer.variable("weights"), range.low, range.high))
        return {check.layer, weights_out_of_range_message(range, *value)};
    return {};
}

MappingStatus rule_sep_kernel(LayerCheck const& check) {
    int32_t const k = p(check, "kernel_width");
    if (k != 3 && k != 5 && k != 7) return {check.layer, "Kernel size must be 3, 5 or 7."};
    return {};
}

MappingStatus rule_sep_weights_bits(LayerCheck const& check) {
    int32_t const bits = p(check, "weights_bits");
    if (bits != 2 && bits != 4) return {check.layer, sep_weights_bits_message};
    return {};
}

MappingStatus rule_sep_average_pool_input(LayerCheck const& check) {
    InputDims const input = first_input_dims(check.layer);
    if (average_pooling(check) && input.width == 1 && input.height == 1)
        return {check.layer, "Separable CNP with Global Average Pooling does not support 1x1 inputs."};
    return {};
}

// One filter over every input channel must fit one CNP.
MappingStatus rule_filter_fits(LayerCheck const& check) {
    if (!check_weights_size_fit_cnp(check.constraints, check.layer, 1))
        return {check.layer, "Filter size is too big to fit in a CNP: try decreasing the input channels or the "
                             "bitwidth."};
    return {};
}

MappingStatus rule_depthwise_not_zero(LayerCheck const& check) {
    return check_sep_cnp_weights_not_zero(check.layer, *check.layer.variable("weights"));
}

MappingStatus rule_pointwise_not_zero(LayerCheck const& check) {
    return check_sep_cnp_weights_not_zero(check.layer, *check.layer.variable("weights_pw"));
}

constexpr RuleEntry std_cnp_rules[] = {
    {rule_cnp_common, RuleGate::exclusive},
    {rule_std_kernel},
    {rule_std_weights_bits},
    {rule_filter_fits, RuleGate::stop_if_failed},
    {rule_std_weight_values},
};

constexpr RuleEntry sep_cnp_rules[] = {
    {rule_cnp_common, RuleGate::exclusive},
    {rule_sep_kernel},
    {rule_sep_weights_bits},
    {rule_sep_average_pool_input},
    {rule_filter_fits, RuleGate::stop_if_failed},
    {rule_depthwise_not_zero},
    {rule_pointwise_not_zero, RuleGate::skip_if_failed},
};

}  // namespace

MappingStatus check_cnp_common_constraints(Layer const& layer, ConvCalculatedParams const& conv,
                                          PoolingCalculatedParams const& pool, HwVersion version) {
    CnpCommonCheck const check{layer, conv, pool, version};
    MappingStatus status = MappingStatus::success();
    for (CnpCommonRule const rule : cnp_common_rules) status += rule(check);
    return status;
}

MappingStatus check_std_cnp_rules(HardwareConstraints const& constraints, Layer const& layer, HwVersion version) {
    (void)built(layer);
    return gather_failures({constraints, layer, nullptr, version}, std_cnp_rules);
}

MappingStatus check_sep_cnp_rules(HardwareConstraints const& constraints, Layer const& layer, HwVersion version) {
    (void)built(layer);
    return gather_failures({constraints, layer, nullptr, version}, sep_cnp_rules);
}

}  // namespace nuvra::v1
