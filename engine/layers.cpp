// The shared part of every layer kind: parameter tables and checks, Layer::create, the accessors,
// graph links and building.
#include "engine/layers.h"

#include <algorithm>
#include <limits>
#include <map>
#include <span>
#include <stdexcept>

#include <fmt/ranges.h>

#include "engine/layer_geometry.h"
#include "engine/layers_internal.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/panic.h"
#include "hw/text.h"

namespace nuvra {

namespace {

// ---- Parameter tables ----

// What a parameter value must be.
enum class Range {
    Any,
    Count,         // >= 0
    Positive,      // >= 1
    Bits,          // 1..32
    Flag,          // 0 or 1
    Enum3,         // 0, 1 or 2 (Padding, PoolType, ActivationType)
    PoolSize,      // >= 1 or -1 (global), checked only when the layer pools
    PoolStride,    // 1..127, checked only when the layer pools
    PoolStrideV1,  // 1..127 or negative (the pool size), checked only when the layer pools
    Fifo,          // 1..14
};

// Whether a layer must be given a key, gets a default for it, or holds it only when given.
enum class Need : uint8_t { required, defaulted, given };

struct KeySpec {
    char const* key;
    Need need;
    int32_t fallback;  // the default of a defaulted key
    Range range;
};

constexpr int32_t kNoDefault = 0;

#define REQ(key, range) KeySpec{key, Need::required, kNoDefault, Range::range}
#define OPT(key, value, range) KeySpec{key, Need::defaulted, value, Range::range}
#define GIVEN(key, range) KeySpec{key, Need::given, kNoDefault, Range::range}

std::vector<KeySpec> const& key_specs(LayerType type) {
    static std::vector<KeySpec> const none;
    static std::vector<KeySpec> const input_data = {
        REQ("input_width", Positive), REQ("input_height", Positive), REQ("input_channels", Positive),
        OPT("input_bits", 8, Bits), OPT("input_signed", 0, Flag)};
    static std::vector<KeySpec> const input_conv = {
        REQ("input_width", Positive),      REQ("input_height", Positive),     REQ("input_channels", Positive),
        REQ("kernel_width", Positive),     REQ("kernel_height", Positive),    REQ("filters", Count),
        OPT("stride_x", 1, Positive),      OPT("stride_y", 1, Positive),      OPT("padding", 0, Enum3),
        OPT("padding_value", 0, Any),      OPT("weights_bits", 4, Any),       OPT("activation", 0, Enum3),
        OPT("act_bits", 4, Any),           OPT("pool_type", 0, Enum3),        OPT("pooling_width", 1, PoolSize),
        OPT("pooling_height", 1, PoolSize), OPT("pooling_stride_x", -1, PoolStrideV1),
        OPT("pooling_stride_y", -1, PoolStrideV1)};
    static std::vector<KeySpec> const fully_connected = {
        REQ("units", Count), OPT("weights_bits", 4, Any), OPT("activation", 0, Enum3), OPT("act_bits", 4, Any)};
    static std::vector<KeySpec> const convolutional = {
        REQ("kernel_width", Positive),     REQ("kernel_height", Positive), REQ("filters", Count),
        OPT("stride_x", 1, Positive),      OPT("stride_y", 1, Positive),   OPT("padding", 0, Enum3),
        OPT("weights_bits", 4, Any),       OPT("activation", 0, Enum3),    OPT("act_bits", 4, Any),
        OPT("pool_type", 0, Enum3),        OPT("pooling_width", 1, PoolSize), OPT("pooling_height", 1, PoolSize),
        OPT("pooling_stride_x", -1, PoolStrideV1), OPT("pooling_stride_y", -1, PoolStrideV1)};
    static std::vector<KeySpec> const add = {OPT("output_bits", 8, Bits)};
    static std::vector<KeySpec> const conv2d = {
        REQ("kernel_size", Positive), REQ("filters", Count),    OPT("kernel_stride", 1, Positive),
        OPT("padding", 0, Enum3),     OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3),
        OPT("output_bits", 8, Bits),  OPT("pool_type", 0, Enum3), OPT("pool_size", 1, PoolSize),
        OPT("pool_stride", 1, PoolStride)};
    // The depthwise kinds have as many filters as input channels; "filters", when given, must say so.
    static std::vector<KeySpec> const dw_conv2d = {
        REQ("kernel_size", Positive), OPT("kernel_stride", 1, Positive), OPT("padding", 0, Enum3),
        OPT("weights_bits", 8, Any),  OPT("activation", 0, Enum3),       OPT("output_bits", 8, Bits),
        OPT("pool_type", 0, Enum3),   OPT("pool_size", 1, PoolSize),     OPT("pool_stride", 1, PoolStride),
        GIVEN("filters", Count)};
    static std::vector<KeySpec> const conv2d_transpose = {
        REQ("kernel_size", Positive), REQ("filters", Count), OPT("kernel_stride", 2, Positive),
        OPT("weights_bits", 8, Any),  OPT("activation", 0, Enum3), OPT("output_bits", 8, Bits)};
    static std::vector<KeySpec> const dw_conv2d_transpose = {
        REQ("kernel_size", Positive), OPT("kernel_stride", 2, Positive), OPT("weights_bits", 8, Any),
        OPT("activation", 0, Enum3),  OPT("output_bits", 8, Bits),       GIVEN("filters", Count)};
    static std::vector<KeySpec> const buffer_temp_conv = {
        REQ("fifo_size", Fifo), REQ("filters", Count), OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3),
        OPT("output_bits", 8, Bits)};
    static std::vector<KeySpec> const dw_buffer_temp_conv = {
        REQ("fifo_size", Fifo),       OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3),
        OPT("output_bits", 8, Bits),  GIVEN("filters", Count)};
    static std::vector<KeySpec> const dense1d = {
        REQ("units", Count), OPT("weights_bits", 8, Any), OPT("activation", 0, Enum3), OPT("output_bits", 8, Bits)};
    static std::vector<KeySpec> const stateful_recurrent = {
        REQ("stateful_channels", Count), REQ("output_channels", Count), OPT("subsample", 1, Count),
        OPT("activation", 0, Enum3), OPT("output_bits", 8, Bits)};
    static std::vector<KeySpec> const quantizer = {
        OPT("output_bits", 8, Bits), OPT("output_signed", 1, Flag), OPT("channels_first", 0, Flag)};

    switch (type) {
        case LayerType::InputData: return input_data;
        case LayerType::InputConvolutional: return input_conv;
        case LayerType::FullyConnected: return fully_connected;
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional: return convolutional;
        case LayerType::Add: return add;
        case LayerType::Conv2D:
        case LayerType::InputConv2D: return conv2d;
        case LayerType::DepthwiseConv2D: return dw_conv2d;
        case LayerType::Conv2DTranspose: return conv2d_transpose;
        case LayerType::DepthwiseConv2DTranspose: return dw_conv2d_transpose;
        case LayerType::BufferTempConv: return buffer_temp_conv;
        case LayerType::DepthwiseBufferTempConv: return dw_buffer_temp_conv;
        case LayerType::Dense1D: return dense1d;
        case LayerType::StatefulRecurrent: return stateful_recurrent;
        case LayerType::Quantizer: return quantizer;
        case LayerType::Unknown:
        case LayerType::Concatenate:
        case LayerType::Dequantizer:
        case LayerType::WispPostProcessing: return none;
    }
    return none;
}

#undef REQ
#undef OPT
#undef GIVEN

// Whether a value is in its range; the text describes the range in a refusal.
bool in_range(Range range, int32_t value, char const** text) {
    switch (range) {
        case Range::Any: return true;
        case Range::Count: *text = "at least 0"; return value >= 0;
        case Range::Positive: *text = "at least 1"; return value >= 1;
        case Range::Bits: *text = "between 1 and 32"; return value >= 1 && value <= 32;
        case Range::Flag: *text = "0 or 1"; return value == 0 || value == 1;
        case Range::Enum3: *text = "0, 1 or 2"; return value >= 0 && value <= 2;
        case Range::PoolSize: *text = "at least 1, or -1 for global pooling"; return value >= 1 || value == -1;
        case Range::PoolStride: *text = "between 1 and 127"; return value >= 1 && value <= 127;
        case Range::PoolStrideV1:
            *text = "between 1 and 127, or negative for the pool size";
            return value != 0 && value <= 127;
        case Range::Fifo: *text = "between 1 and 14"; return value >= 1 && value <= 14;
    }
    return false;
}

bool is_pool_range(Range range) {
    return range == Range::PoolSize || range == Range::PoolStride || range == Range::PoolStrideV1;
}

[[noreturn]] void refuse_layer(std::string const& name, std::string const& message) {
    throw std::invalid_argument(format("Layer '{}': {}", name, message));
}

// The parameters a new layer keeps: `given` with the kind's defaults added, every checked value in
// its range.
std::unique_ptr<LayerParams> normalized_params(LayerParams const& given, std::string const& name) {
    LayerType const type = given.layer_type();
    std::map<std::string, int> entries;
    for (auto const& key : given.keys()) entries.emplace(key, given.get(key));

    // A key the kind does not have is most often a misspelt one, which would leave the layer with
    // that key's default without a word.
    for (auto const& [key, value] : entries)
        if (!kind_has_key(type, key))
            refuse_layer(name, format("{} layers have no parameter '{}'.", layer_type_name(type), key));

    auto const& specs = key_specs(type);
    for (auto const& spec : specs) {
        if (entries.count(spec.key) != 0 || spec.need == Need::given) continue;
        if (spec.need == Need::required)
            refuse_layer(name, format("parameter '{}' is required for {} layers.", spec.key, layer_type_name(type)));
        int32_t value = spec.fallback;
        // A pooling stride left out follows the pool size.
        if (std::string_view(spec.key) == "pool_stride") {
            auto size = entries.find("pool_size");
            value = size != entries.end() && size->second >= 1 ? size->second : 1;
        }
        entries.emplace(spec.key, value);
    }

    bool const pools = entries.count("pool_type") != 0 && entries.at("pool_type") != 0;
    for (auto const& spec : specs) {
        if ((is_pool_range(spec.range) && !pools) || entries.count(spec.key) == 0) continue;
        int32_t const value = entries.at(spec.key);
        char const* text = "";
        if (!in_range(spec.range, value, &text))
            refuse_layer(name, format("parameter '{}' must be {} (got {}).", spec.key, text, value));
    }
    // First-generation output widths count only with an activation.
    if (kind_generation(type) == IpVersion::v1 && entries.at("activation") != 0) {
        int32_t const bits = entries.at("act_bits");
        if (bits < 1 || bits > 32)
            refuse_layer(name, format("parameter 'act_bits' must be between 1 and 32 (got {}).", bits));
    }
    return LayerParams::create(type, entries);
}

}  // namespace

// ---- Shared helpers of the kinds ----

char const* layer_type_name(LayerType type) {
    switch (type) {
        case LayerType::Unknown: return "Unknown";
        case LayerType::InputData: return "InputData";
        case LayerType::InputConvolutional: return "InputConvolutional";
        case LayerType::FullyConnected: return "FullyConnected";
        case LayerType::Convolutional: return "Convolutional";
        case LayerType::SeparableConvolutional: return "SeparableConvolutional";
        case LayerType::Add: return "Add";
        case LayerType::Concatenate: return "Concatenate";
        case LayerType::Conv2D: return "Conv2D";
        case LayerType::InputConv2D: return "InputConv2D";
        case LayerType::DepthwiseConv2D: return "DepthwiseConv2D";
        case LayerType::Conv2DTranspose: return "Conv2DTranspose";
        case LayerType::Dequantizer: return "Dequantizer";
        case LayerType::DepthwiseConv2DTranspose: return "DepthwiseConv2DTranspose";
        case LayerType::BufferTempConv: return "BufferTempConv";
        case LayerType::DepthwiseBufferTempConv: return "DepthwiseBufferTempConv";
        case LayerType::Dense1D: return "Dense1D";
        case LayerType::StatefulRecurrent: return "StatefulRecurrent";
        case LayerType::Quantizer: return "Quantizer";
        case LayerType::WispPostProcessing: return "WispPostProcessing";
    }
    return "unknown";
}

IpVersion kind_generation(LayerType type) {
    switch (type) {
        case LayerType::InputConvolutional:
        case LayerType::FullyConnected:
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional: return IpVersion::v1;
        case LayerType::StatefulRecurrent:
        case LayerType::WispPostProcessing: return IpVersion::wisp;
        case LayerType::Add:
        case LayerType::Concatenate:
        case LayerType::Conv2D:
        case LayerType::InputConv2D:
        case LayerType::DepthwiseConv2D:
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose:
        case LayerType::BufferTempConv:
        case LayerType::DepthwiseBufferTempConv:
        case LayerType::Dense1D: return IpVersion::v2;
        case LayerType::Unknown:
        case LayerType::InputData:
        case LayerType::Dequantizer:
        case LayerType::Quantizer: return IpVersion::none;
    }
    return IpVersion::none;
}

bool kind_has_key(LayerType type, std::string_view key) {
    auto const& specs = key_specs(type);
    return std::any_of(specs.begin(), specs.end(), [&](KeySpec const& spec) { return key == spec.key; });
}

// ---- Layer::create ----

std::shared_ptr<Layer> Layer::create(LayerParams const* params, std::string name) {
    // A layer's name reaches Python as str.
    if (!is_utf8(name)) throw std::invalid_argument("A layer name must be valid UTF-8.");
    if (params == nullptr) throw std::invalid_argument(format("Layer '{}': missing layer parameters.", name));
    LayerType const type = params->layer_type();
    if (!is_layer_type(static_cast<int32_t>(type)))
        throw std::invalid_argument(format("Layer '{}': unknown layer type {}.", name, static_cast<int32_t>(type)));
    auto p = normalized_params(*params, name);
    switch (type) {
        case LayerType::Unknown: return std::make_shared<UnknownLayer>(std::move(p), std::move(name));
        case LayerType::InputData: return std::make_shared<InputData>(std::move(p), std::move(name));
        case LayerType::InputConvolutional: return std::make_shared<InputConvolutional>(std::move(p), std::move(name));
        case LayerType::FullyConnected: return std::make_shared<FullyConnected>(std::move(p), std::move(name));
        case LayerType::Convolutional: return std::make_shared<Convolutional>(std::move(p), std::move(name));
        case LayerType::SeparableConvolutional:
            return std::make_shared<SeparableConvolutional>(std::move(p), std::move(name));
        case LayerType::Add: return std::make_shared<Add>(std::move(p), std::move(name));
        case LayerType::Concatenate: return std::make_shared<Concatenate>(std::move(p), std::move(name));
        case LayerType::Conv2D: return std::make_shared<Conv2D>(std::move(p), std::move(name));
        case LayerType::InputConv2D: return std::make_shared<InputConv2D>(std::move(p), std::move(name));
        case LayerType::DepthwiseConv2D: return std::make_shared<DepthwiseConv2D>(std::move(p), std::move(name));
        case LayerType::Conv2DTranspose: return std::make_shared<Conv2DTranspose>(std::move(p), std::move(name));
        case LayerType::Dequantizer: return std::make_shared<Dequantizer>(std::move(p), std::move(name));
        case LayerType::DepthwiseConv2DTranspose:
            return std::make_shared<DepthwiseConv2DTranspose>(std::move(p), std::move(name));
        case LayerType::BufferTempConv: return std::make_shared<BufferTempConv>(std::move(p), std::move(name));
        case LayerType::DepthwiseBufferTempConv:
            return std::make_shared<DepthwiseBufferTempConv>(std::move(p), std::move(name));
        case LayerType::Dense1D: return std::make_shared<Dense1D>(std::move(p), std::move(name));
        case LayerType::StatefulRecurrent: return std::make_shared<StatefulRecurrent>(std::move(p), std::move(name));
        case LayerType::Quantizer: return std::make_shared<Quantizer>(std::move(p), std::move(name));
        case LayerType::WispPostProcessing:
            return std::make_shared<WispPostProcessing>(std::move(p), std::move(name));
    }
    throw std::invalid_argument(format("Layer '{}': unknown layer type {}.", name, static_cast<int32_t>(type)));
}

LayerImpl& created_layer(Layer& layer) {
    auto* impl = dynamic_cast<LayerImpl*>(&layer);
    if (impl == nullptr)
        throw std::invalid_argument(format("Layer '{}' was not made by Layer::create.", layer.get_name()));
    return *impl;
}

void set_layer_mapping(Layer& layer, std::shared_ptr<Layer::Mapping> mapping) {
    created_layer(layer).set_mapping(std::move(mapping));
}

// ---- LayerImpl ----

LayerImpl::LayerImpl(std::unique_ptr<LayerParams> params, std::string name)
    : params_(std::move(params)), name_(std::move(name)),
      variables_([this](std::string const& variable, std::shared_ptr<Dense> value) {
          return fitted(variable, std::move(value));
      }) {
    if (!params_) throw std::invalid_argument(format("Layer '{}': missing layer parameters.", name_));
}

LayerImpl::~LayerImpl() = default;

void LayerImpl::refuse(std::string const& message) const { refuse_layer(name_, message); }

std::string LayerImpl::get_name() const { return name_; }

std::vector<Shape> LayerImpl::input_dimensions() const {
    if (!built_) throw std::runtime_error("Cannot get input size before it is set.");
    return input_shapes_;
}

Shape LayerImpl::output_dimensions() const {
    // The element count comes first: a count too large is reported before a missing shape.
    uint64_t product = 0;
    if (built_) {
        unsigned __int128 wide = 1;
        for (uint32_t dim : output_dims_) {
            wide *= dim;
            if (wide > std::numeric_limits<uint64_t>::max()) {
                wide = std::numeric_limits<uint64_t>::max();
                break;
            }
        }
        product = static_cast<uint64_t>(wide);
    }
    if (product > max_shape_size)
        panic("Tensor shape size %lu exceeds maximum shape size (%zu)", static_cast<unsigned long>(product),
              static_cast<size_t>(max_shape_size));
    if (product == 0) throw std::runtime_error("Cannot get output size before it is set.");
    return Shape(output_dims_);
}

uint8_t LayerImpl::input_bits() const { return input_bits_; }
uint8_t LayerImpl::output_bits() const { return output_bits_; }
bool LayerImpl::output_signed() const { return output_signed_; }

int LayerImpl::format_code() const { return static_cast<int>(kind_generation(layer_type())); }

int LayerImpl::value_mode() const { return 0; }

bool LayerImpl::is_target_component(ComponentKind kind) const { return kind == target_kind(); }

bool LayerImpl::splittable() const { return false; }
bool LayerImpl::is_depthwise() const { return false; }
bool LayerImpl::is_separable() const { return false; }
bool LayerImpl::is_input_layer() const { return false; }

LayerParams const* LayerImpl::params() const { return params_.get(); }

std::shared_ptr<LearningParams> LayerImpl::learning() const { return nullptr; }
bool LayerImpl::can_learn() const { return learning() != nullptr; }

Variables& LayerImpl::variables() { return variables_; }
Variables const& LayerImpl::variables() const { return variables_; }

bool LayerImpl::has_activation() const {
    return kind_has_key(layer_type(), "activation") && params_->get("activation") != 0;
}

bool LayerImpl::has_activation_type(ActivationType type) const {
    int32_t const value = kind_has_key(layer_type(), "activation") ? params_->get("activation") : 0;
    return value == static_cast<int32_t>(type);
}

bool LayerImpl::has_pooling_type(PoolType type) const {
    int32_t const value = kind_has_key(layer_type(), "pool_type") ? params_->get("pool_type") : 0;
    return value == static_cast<int32_t>(type);
}

std::vector<std::shared_ptr<Layer>> LayerImpl::inbound_layers() const { return inbounds_; }
std::vector<std::shared_ptr<Layer>> LayerImpl::inbound_layers() { return inbounds_; }

std::vector<std::shared_ptr<Layer>> LayerImpl::outbound_layers() const {
    std::vector<std::shared_ptr<Layer>> layers;
    layers.reserve(outbounds_.size());
    for (auto const& weak : outbounds_)
        if (auto layer = weak.lock()) layers.push_back(std::move(layer));
    return layers;
}

std::vector<std::shared_ptr<Layer>> LayerImpl::outbound_layers() {
    return static_cast<LayerImpl const*>(this)->outbound_layers();
}

size_t LayerImpl::outbound_count() const {
    return size_t(std::count_if(outbounds_.begin(), outbounds_.end(), [](auto const& weak) { return !weak.expired(); }));
}

std::shared_ptr<Layer::Mapping> LayerImpl::mapping() const { return mapping_; }
std::shared_ptr<Layer::Mapping> LayerImpl::mapping() { return mapping_; }

uint64_t LayerImpl::macs() const { return macs_; }

LayerImpl::Inputs LayerImpl::own_inputs() const { refuse("this kind has no input of its own."); }

LayerImpl::Inputs LayerImpl::gather_inputs(std::vector<std::shared_ptr<Layer>> const& inbounds) const {
    auto const [min_count, max_count] = inbound_count();
    if (inbounds.size() < min_count || inbounds.size() > max_count) {
        if (max_count == 0) refuse("an input layer takes no inbound layers.");
        char const* kind = layer_type_name(layer_type());
        std::string const plural = max_count == 1 ? "" : "s";
        if (min_count == max_count)
            refuse(format("{} layers take {} inbound layer{}, not {}.", kind, min_count, plural, inbounds.size()));
        if (max_count == SIZE_MAX)
            refuse(format("{} layers take at least {} inbound layers, not {}.", kind, min_count, inbounds.size()));
        refuse(format("{} layers take {} to {} inbound layers, not {}.", kind, min_count, max_count, inbounds.size()));
    }
    Inputs inputs;
    if (max_count == 0) return own_inputs();
    for (auto const& inbound : inbounds) {
        try {
            inputs.shapes.push_back(inbound->output_dimensions());
        } catch (std::runtime_error const& e) {
            refuse(format("inbound layer '{}' has no usable output ({})", inbound->get_name(), e.what()));
        }
        inputs.any_signed = inputs.any_signed || inbound->output_signed();
    }
    inputs.bits = inbounds.front()->output_bits();
    return inputs;
}

void LayerImpl::build(Inputs const& inputs, bool create_variables) {
    Outputs outputs = compute(inputs);

    // Fresh variables for the names the layer does not hold yet; made before anything changes.
    std::vector<std::pair<std::string, std::shared_ptr<Dense>>> fresh;
    if (create_variables) {
        for (auto const& spec : outputs.variables) {
            if (spec.optional || variables_.has(spec.name)) continue;
            if (std::find(spec.dims.begin(), spec.dims.end(), 0u) != spec.dims.end()) continue;
            uint64_t elements = 1;
            for (uint32_t dim : spec.dims) elements = std::min<uint64_t>(elements * dim, max_shape_size + 1);
            if (elements > max_shape_size)
                refuse(format("variable '{}' would hold more than {} elements.", spec.name, max_shape_size));
            fresh.emplace_back(spec.name, Dense::create(spec.type, Shape(spec.dims), Layout::c_order));
        }
    }

    variable_specs_ = std::move(outputs.variables);
    input_shapes_ = inputs.shapes;
    output_dims_ = std::move(outputs.dims);
    input_bits_ = inputs.bits;
    output_bits_ = outputs.bits;
    output_signed_ = outputs.is_signed;
    macs_ = outputs.macs;
    store_blocks(outputs);
    built_ = true;
    for (auto& [name, tensor] : fresh) variables_.set(name, std::move(tensor));
    // Values set before the layer was built take its shape where they fit it.
    variables_.refit();
}

void LayerImpl::unbuild() {
    built_ = false;
    variable_specs_.clear();
    input_shapes_.clear();
    output_dims_.clear();
    input_bits_ = 0;
    output_bits_ = 0;
    output_signed_ = false;
    macs_ = 0;
    clear_blocks();
}

void LayerImpl::link(std::shared_ptr<Layer> const& self, std::vector<std::shared_ptr<Layer>> inbounds) {
    unlink();
    inbounds_ = std::move(inbounds);
    for (auto const& inbound : inbounds_) {
        auto& outs = static_cast<LayerImpl&>(*inbound).outbounds_;
        bool const listed =
            std::any_of(outs.begin(), outs.end(), [&](auto const& weak) { return weak.lock() == self; });
        if (!listed) outs.push_back(self);
    }
}

void LayerImpl::unlink() {
    for (auto const& inbound : inbounds_) {
        auto& outs = static_cast<LayerImpl&>(*inbound).outbounds_;
        outs.erase(std::remove_if(outs.begin(), outs.end(),
                                  [&](auto const& weak) {
                                      auto layer = weak.lock();
                                      return !layer || layer.get() == this;
                                  }),
                   outs.end());
    }
    inbounds_.clear();
}

namespace {

std::string dims_text(std::span<uint32_t const> dims) { return fmt::format("({})", fmt::join(dims, ", ")); }

// Whether the layer checks the variable of `spec`: not when its shape would have a zero dimension.
bool checked(LayerImpl::VariableSpec const& spec) {
    return std::find(spec.dims.begin(), spec.dims.end(), 0u) == spec.dims.end();
}

// Whether a value of `has` fits the checked variable of `spec` (see "Fit" in engine/layers.h).
bool fits(LayerImpl::VariableSpec const& spec, Shape const& has) {
    if (spec.fit == LayerImpl::Fit::shape) return has.same_but_trailing_ones(Shape(spec.dims));
    return has.product() == mul_sat(spec.dims);
}

}  // namespace

std::shared_ptr<Dense> LayerImpl::fitted(std::string const& name, std::shared_ptr<Dense> value) const {
    auto const spec = std::find_if(variable_specs_.begin(), variable_specs_.end(),
                                   [&](VariableSpec const& s) { return s.name == name; });
    if (spec == variable_specs_.end() || !checked(*spec) || !fits(*spec, value->dimensions())) return value;
    Shape const exact(spec->dims);
    return value->dimensions() == exact ? value : value->reshaped(exact);
}

std::string LayerImpl::variable_misfit() const {
    for (VariableSpec const& spec : variable_specs_) {
        if (!variables_.has(spec.name) || !checked(spec)) continue;
        Shape const& has = variables_.get(spec.name)->dimensions();
        if (fits(spec, has)) continue;
        std::span<uint32_t const> const has_dims(has.begin(), has.end());
        std::span<uint32_t const> const needs(spec.dims);
        if (spec.fit == Fit::shape)
            return format("variable '{}' has shape {}, but the layer needs shape {}", spec.name, dims_text(has_dims),
                          dims_text(needs));
        uint64_t const count = mul_sat(needs);
        return format("variable '{}' has shape {}, but the layer needs shape {}, or any shape of {} value{}",
                      spec.name, dims_text(has_dims), dims_text(needs), count, count == 1 ? "" : "s");
    }
    return {};
}

std::string variable_misfit(Layer const& layer) {
    auto const* impl = dynamic_cast<LayerImpl const*>(&layer);
    return impl != nullptr ? impl->variable_misfit() : std::string();
}

// ---- ConvPoolLayer ----

ConvCalculatedParams const& ConvPoolLayer::conv_calculated_params() const {
    if (!conv_) throw std::runtime_error("The layer " + get_name() + " is not built.");
    return *conv_;
}

PoolingCalculatedParams const& ConvPoolLayer::pool_calculated_params() const {
    if (!pool_) throw std::runtime_error("The layer " + get_name() + " is not built.");
    return *pool_;
}

void ConvPoolLayer::store_blocks(Outputs const& outputs) {
    conv_ = outputs.conv;
    pool_ = outputs.pool;
}

void ConvPoolLayer::clear_blocks() {
    conv_.reset();
    pool_.reset();
}

// ---- Geometry ----

AxisGeometry window_axis(uint32_t size, uint32_t kernel, uint32_t stride, Padding padding) {
    AxisGeometry axis;
    uint64_t const n = size, k = std::max<uint32_t>(kernel, 1), s = std::max<uint32_t>(stride, 1);
    if (padding == Padding::Valid) {
        axis.output = n >= k ? static_cast<uint32_t>((n - k) / s + 1) : 0;
        return axis;
    }
    uint64_t const out = (n + s - 1) / s;
    uint64_t const needed = out == 0 ? 0 : (out - 1) * s + k;
    uint64_t const total = needed > n ? needed - n : 0;
    uint64_t const half = total / 2;
    axis.output = static_cast<uint32_t>(out);
    if (padding == Padding::Same) {
        axis.before = static_cast<uint32_t>(half);
        axis.after = static_cast<uint32_t>(total - half);
    } else {
        axis.before = static_cast<uint32_t>(total - half);
        axis.after = static_cast<uint32_t>(half);
    }
    return axis;
}

ConvPoolGeometry conv_pool_geometry(uint32_t width, uint32_t height, ConvPoolSpec const& spec) {
    ConvPoolGeometry g;
    AxisGeometry const x = window_axis(width, spec.kernel_x, spec.stride_x, spec.padding);
    AxisGeometry const y = window_axis(height, spec.kernel_y, spec.stride_y, spec.padding);
    g.conv.stride_x = spec.stride_x;
    g.conv.stride_y = spec.stride_y;
    g.conv.output_width = x.output;
    g.conv.output_height = y.output;
    g.conv.padding = PaddingParams{y.before, y.after, x.before, x.after};

    g.pool.output_width = x.output;
    g.pool.output_height = y.output;
    if (spec.pool_type == PoolType::NoPooling) return g;
    if (spec.global_pool) {
        g.pool.output_width = 1;
        g.pool.output_height = 1;
        g.pool.flag = true;
        return g;
    }
    AxisGeometry const px = window_axis(x.output, spec.pool_x, spec.pool_stride_x, spec.padding);
    AxisGeometry const py = window_axis(y.output, spec.pool_y, spec.pool_stride_y, spec.padding);
    g.pool.stride_x = static_cast<int8_t>(spec.pool_stride_x);
    g.pool.stride_y = static_cast<int8_t>(spec.pool_stride_y);
    g.pool.output_width = px.output;
    g.pool.output_height = py.output;
    g.pool.padding = PaddingParams{py.before, py.after, px.before, px.after};
    return g;
}

}  // namespace nuvra
