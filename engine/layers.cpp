// The shared part of every layer kind: parameter checks, Layer::create, the accessors, graph links
// and building, each reading the kind's row and rules.
#include "engine/layers.h"

#include <algorithm>
#include <limits>
#include <map>
#include <span>
#include <stdexcept>
#include <typeinfo>
#include <utility>

#include <fmt/ranges.h>

#include "engine/layer_geometry.h"
#include "engine/layers_internal.h"
#include "engine/model.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/panic.h"
#include "hw/text.h"

namespace nuvra {

namespace {

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
        case Range::FifoOrNone: *text = "between 0 and 14"; return value >= 0 && value <= 14;
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
    // that key's default without a word. Keys given as bytes may not be text.
    for (auto const& [key, value] : entries)
        if (!kind_has_key(type, key))
            refuse_layer(name,
                         format("{} layers have no parameter '{}'.", layer_type_name(type), escaped_utf8(key)));

    std::span<KeySpec const> const specs = kind_rules(type).keys;
    // An input shape is given whole or not at all.
    bool const shaped = std::any_of(specs.begin(), specs.end(), [&](KeySpec const& spec) {
        return spec.need == Need::shape && entries.count(spec.key) != 0;
    });
    for (auto const& spec : specs) {
        if (spec.need == Need::shape && shaped && entries.count(spec.key) == 0)
            refuse_layer(name, format("parameter '{}' is required for {} layers given an input shape.", spec.key,
                                      layer_type_name(type)));
        if (entries.count(spec.key) != 0 || spec.need == Need::given || spec.need == Need::shape) continue;
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
    return is_layer_type(static_cast<int32_t>(type)) ? layer_kind(type).name : "unknown";
}

IpVersion kind_generation(LayerType type) {
    return is_layer_type(static_cast<int32_t>(type)) ? layer_kind(type).generation : IpVersion::none;
}

bool kind_has_key(LayerType type, std::string_view key) {
    std::span<KeySpec const> const specs = kind_rules(type).keys;
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
#define NUVRA_KIND_CLASS(kind, value, generation, component, placement, filtering, inbound, state, cls, ...) \
    case LayerType::kind: return std::make_shared<cls>(std::move(p), std::move(name));
        NUVRA_LAYER_KINDS(NUVRA_KIND_CLASS)
#undef NUVRA_KIND_CLASS
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

bool is_learning_layer(Layer const& layer) {
    auto const* impl = dynamic_cast<LayerImpl const*>(&layer);
    return impl != nullptr && impl->layer_type() == learning_kind;
}

void set_learning(Layer& layer, std::shared_ptr<LearningParams> const& learning) {
    created_layer(layer).set_learning(learning);
}

// ---- LayerImpl ----

LayerImpl::LayerImpl(std::unique_ptr<LayerParams> params, std::string name)
    : params_(std::move(params)), name_(std::move(name)),
      variables_([this](std::string const& variable,
                        std::shared_ptr<Dense> const& value) { return fitted(variable, value); },
                 [this](std::string const& variable) { return declared_variable(variable); },
                 [this] { variable_written(); }, [this] { check_writable(); }) {
    if (!params_) throw std::invalid_argument(format("Layer '{}': missing layer parameters.", name_));
    kind_ = &layer_kind(params_->layer_type());
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

int LayerImpl::format_code() const { return static_cast<int>(kind_->generation); }

int LayerImpl::value_mode() const {
    // The HRC reads bytes; an input layer's values are unsigned unless its parameters say otherwise.
    bool const unsigned_values =
        kind_->component == ComponentKind::HRC || (is_input_layer() && !own_input(*this).any_signed);
    return unsigned_values ? 1 : 0;
}

bool LayerImpl::is_target_component(ComponentKind kind) const { return kind == kind_->component; }

bool LayerImpl::splittable() const { return kind_->splittable(); }
bool LayerImpl::is_depthwise() const { return kind_->is_depthwise(); }
bool LayerImpl::is_separable() const { return kind_->is_separable(); }
bool LayerImpl::is_input_layer() const {
    return kind_->is_input_layer() || (kind_->inbound == KindInbound::one_or_own && params_->has("input_width"));
}

LayerParams const* LayerImpl::params() const { return params_.get(); }

std::shared_ptr<LearningParams> LayerImpl::learning() const { return nullptr; }
bool LayerImpl::can_learn() const { return learning() != nullptr; }
void LayerImpl::set_learning(std::shared_ptr<LearningParams> const& learning) {
    throw std::logic_error(format("Layer '{}' is not of the kind that learns.", name_));
}

std::shared_ptr<Tensor> Layer::variable(std::string const& name) const {
    auto const* impl = dynamic_cast<LayerImpl const*>(this);
    return impl != nullptr ? impl->variables_.fitted(name) : variables().get(name);
}

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
    // Only the kinds that compute a pooling block pool; the TNP-B kinds hold a given "pool_type"
    // for the split of their input alone.
    bool const pools = dynamic_cast<HasPoolParams const*>(this) != nullptr && params_->has("pool_type");
    int32_t const value = pools ? params_->get("pool_type") : 0;
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

namespace {

// The fewest and the most inbound layers a layer takes: none as an input layer, else its kind's.
std::pair<size_t, size_t> inbound_count(KindInbound inbound, bool input_layer) {
    if (input_layer) return {0, 0};
    switch (inbound) {
        case KindInbound::own: return {0, 0};
        case KindInbound::one:
        case KindInbound::one_or_own: return {1, 1};
        case KindInbound::one_or_two: return {1, 2};
        case KindInbound::sum_of_two: return {2, 2};
        case KindInbound::join: return {2, SIZE_MAX};
    }
    throw std::logic_error("a kind's inbound column holds no KindInbound value");
}

}  // namespace

LayerImpl::Inputs LayerImpl::gather_inputs(std::vector<std::shared_ptr<Layer>> const& inbounds) const {
    auto const [min_count, max_count] = inbound_count(kind_->inbound, is_input_layer());
    if (inbounds.size() < min_count || inbounds.size() > max_count) {
        if (max_count == 0) refuse("an input layer takes no inbound layers.");
        char const* kind = kind_->name;
        std::string const plural = max_count == 1 ? "" : "s";
        if (min_count == max_count)
            refuse(format("{} layers take {} inbound layer{}, not {}.", kind, min_count, plural, inbounds.size()));
        if (max_count == SIZE_MAX)
            refuse(format("{} layers take at least {} inbound layers, not {}.", kind, min_count, inbounds.size()));
        refuse(format("{} layers take {} to {} inbound layers, not {}.", kind, min_count, max_count, inbounds.size()));
    }
    Inputs inputs;
    if (max_count == 0) return own_input(*this);
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
    Outputs outputs = kind_rules(kind_->type).outputs(*this, inputs);

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
    // Values set before the layer was built are read in its shape where they fit it.
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
    // Out of its model the layer has no shape to read its values in.
    variables_.refit();
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

// The words of a value of `has` that does not fit the variable of `spec`; empty when it fits or
// the variable is not checked.
std::string misfit_text(LayerImpl::VariableSpec const& spec, Shape const& has) {
    if (!checked(spec) || fits(spec, has)) return {};
    std::span<uint32_t const> const has_dims(has.begin(), has.end());
    std::span<uint32_t const> const needs(spec.dims);
    if (spec.fit == LayerImpl::Fit::shape)
        return format("variable '{}' has shape {}, but the layer needs shape {}", spec.name, dims_text(has_dims),
                      dims_text(needs));
    uint64_t const count = mul_sat(needs);
    return format("variable '{}' has shape {}, but the layer needs shape {}, or any shape of {} value{}", spec.name,
                  dims_text(has_dims), dims_text(needs), count, count == 1 ? "" : "s");
}

}  // namespace

std::string first_layer_refusal(Layer const& layer) {
    std::string text = format("Layer '{}' needs an inbound layer, and the model has none: add an input layer first.",
                              layer.get_name());
    LayerType const type = layer.params()->layer_type();
    if (layer_kind(type).inbound != KindInbound::one_or_own) return text;
    std::vector<char const*> keys;
    for (KeySpec const& spec : kind_rules(type).keys)
        if (spec.need == Need::shape) keys.push_back(spec.key);
    std::string listed;
    for (size_t i = 0; i < keys.size(); ++i)
        listed += format("{}'{}'", i == 0 ? "" : i + 1 == keys.size() ? " and " : ", ", keys[i]);
    return text + format(" A {} given {} is an input layer.", layer_type_name(type), listed);
}

std::string layer_text(Layer const& layer, std::string const& reason) {
    return format("Layer '{}' ({}): {}", layer.get_name(), layer_type_name(layer.params()->layer_type()), reason);
}

std::shared_ptr<Dense> LayerImpl::fitted(std::string const& name, std::shared_ptr<Dense> const& value) const {
    auto const spec = std::find_if(variable_specs_.begin(), variable_specs_.end(),
                                   [&](VariableSpec const& s) { return s.name == name; });
    if (spec == variable_specs_.end() || !checked(*spec) || !fits(*spec, value->dimensions())) return value;
    Shape const exact(spec->dims);
    return value->dimensions() == exact ? value : value->reshaped(exact);
}

std::string LayerImpl::variable_misfit() const {
    for (VariableSpec const& spec : variable_specs_) {
        if (!variables_.has(spec.name)) continue;
        std::string text = misfit_text(spec, variables_.get(spec.name)->dimensions());
        if (!text.empty()) return text;
    }
    // An optional ReLU ceiling is max_value x 2^max_value_shift: the run, the HRC and the FNP would
    // each read one of the two alone in their own way, so it is refused whatever its values. (The
    // kinds that always hold a ceiling read a missing shift as 0 everywhere.)
    if (optional_spec("max_value") != nullptr && optional_spec("max_value_shift") != nullptr) {
        bool const top = variables_.has("max_value");
        if (top != variables_.has("max_value_shift"))
            return format("variable '{}' is held without '{}': a ReLU ceiling needs both",
                          top ? "max_value" : "max_value_shift", top ? "max_value_shift" : "max_value");
    }
    return {};
}

void LayerImpl::check_writable() const {
    if (owner_ != nullptr) owner_->refuse_edit_while_mapping();
}

void LayerImpl::variable_written() {
    if (owner_ != nullptr) owner_->drop_mapping();
}

LayerImpl::VariableSpec const* LayerImpl::optional_spec(std::string const& name) const {
    auto const spec = std::find_if(variable_specs_.begin(), variable_specs_.end(),
                                   [&](VariableSpec const& s) { return s.optional && s.name == name; });
    return spec == variable_specs_.end() ? nullptr : &*spec;
}

std::optional<VariablesImpl::Declared> LayerImpl::declared_variable(std::string const& name) const {
    VariableSpec const* const spec = optional_spec(name);
    if (spec == nullptr) return std::nullopt;
    return VariablesImpl::Declared{spec->type, [this, spec = *spec](Dense const& value) {
                                       std::string const misfit = misfit_text(spec, value.dimensions());
                                       if (!misfit.empty()) throw std::invalid_argument(layer_text(*this, misfit));
                                   }};
}

std::string variable_misfit(Layer const& layer) {
    auto const* impl = dynamic_cast<LayerImpl const*>(&layer);
    return impl != nullptr ? impl->variable_misfit() : std::string();
}

// ---- ConvPoolLayer ----

ConvPoolLayer const& conv_pool_layer(Layer const& layer, LayerType type) {
    auto const& built = dynamic_cast<ConvPoolLayer const&>(layer);
    if (built.layer_type() != type) throw std::bad_cast();
    return built;
}

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
