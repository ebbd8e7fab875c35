#include "backends/v1/learning.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "backends/v1/format_fnp.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "hw/arith.h"
#include "hw/device.h"
#include "hw/format.h"
#include "hw/register.h"
#include "mapping/layer_mapping.h"
#include "program/format_support.h"

namespace nuvra::v1 {

namespace {

constexpr int32_t max_threshold = 524287;  // the threshold is checked as a 20-bit signed value
constexpr uint32_t threshold_bits = 20;
// The learning threshold's bits 0-15 and 16-19 go to LEARN_THRESHOLD_LOW and _HIGH.
constexpr uint32_t threshold_low_bits = 16;
constexpr uint32_t threshold_low_mask = (uint32_t{1} << threshold_low_bits) - 1;
constexpr uint64_t fnp3_leading_words = 2;  // an FNP3's learning memory starts with two words

// Classes are shared by runs of units / num_classes neurons: at least one neuron each.
void check_num_classes(double num_classes, uint32_t units) {
    if (!(num_classes >= 1 && num_classes <= units))
        throw FnpError(format("num_classes should be between 1 and {}. Receives num_classes {}.", units, num_classes));
}

std::shared_ptr<Dense> zero_like(Tensor const& tensor) {
    return Dense::create(tensor.type(), tensor.dimensions(), Layout::reversed);
}

void require_per_neuron(Tensor const& tensor, uint64_t neurons, const char* name) {
    if (tensor.size() != neurons)
        throw std::runtime_error(
            format("The learning layer has {} neurons but {} has {} elements.", neurons, name, tensor.size()));
}

// The learned variables, each a new tensor of the type and shape of the one `read` gives.
struct LearnedVariables {
    std::shared_ptr<Dense> weights, threshold_learning, thswap;
};

template <class Read>
LearnedVariables read_learn_mem(HardwareDevice* hardware, Read const& read, bool fnp3) {
    if (hardware == nullptr) throw std::runtime_error(hardware_required_message);
    std::shared_ptr<Tensor> const weights = read("weights");
    std::shared_ptr<Tensor> const threshold_learning = read("threshold_learning");
    std::shared_ptr<Tensor> const thswap = read("thswap");
    FnpLayout const layout = fnp_layout(weights->dimensions(), 1);
    require_per_neuron(*threshold_learning, layout.neurons, "threshold_learning");
    require_per_neuron(*thswap, layout.neurons, "thswap");

    std::vector<uint32_t> memory(hardware->learn_mem_size(), 0u);
    if (!memory.empty()) hardware->read_learn_mem(memory.data());
    uint64_t const skip = fnp3 ? fnp3_leading_words : 0;
    if (memory.size() < skip + layout.words())
        throw std::runtime_error(format("The learning memory holds {} words; the layer's image needs {} after {}.",
                                        memory.size(), layout.words(), skip));
    std::span<uint32_t const> const image = std::span(memory).subspan(skip);

    // Every new tensor is complete before the first variable is replaced.
    std::shared_ptr<Dense> const w = zero_like(*weights);
    ByteElements<int8_t> const stored(*weights);  // weights are signed bytes
    Strides const& strides = w->strides();
    auto* const bytes = static_cast<int8_t*>(w->mutable_buffer().data);
    for (uint64_t n = 0; n < layout.neurons; ++n) {
        uint32_t const* const planes = image.data() + n * layout.block + NEURON_RECORD_WORDS;
        for (uint64_t i = 0; i < layout.inputs; ++i)
            bytes[n * strides[0] + i * strides[1]] = int8_t((planes[i >> 5] >> (i & 31)) & 1u);
    }

    std::shared_ptr<Dense> const tl = zero_like(*threshold_learning);
    std::shared_ptr<Dense> const ts = zero_like(*thswap);
    for (uint64_t n = 0; n < layout.neurons; ++n) {
        std::span<uint32_t const> const neuron = image.subspan(n * layout.block, NEURON_RECORD_WORDS);
        uint32_t const threshold =
            get(neuron, LEARN_THRESHOLD_HIGH) << threshold_low_bits | get(neuron, LEARN_THRESHOLD_LOW);
        tensor_write<int32_t>(*tl, size_t(n), int32_t(threshold));
        tensor_write<int32_t>(*ts, size_t(n), int32_t(get(neuron, LEARN_THSWAP)));
    }

    return {w, tl, ts};
}

}  // namespace

FnpLearning fnp_learning_of(Layer const& layer) {
    std::shared_ptr<LearningParams> const learning = layer.learning();
    if (!learning) throw std::invalid_argument(format("Layer '{}' has no learning parameters.", layer.get_name()));
    LayerParams const& params = layer.required_params();
    int32_t const bits = params.get("weights_bits");
    if (bits != 1) throw FnpError(format("Learning needs 1-bit weights. Receives weights_bits {}.", bits));

    FnpLearning result;
    result.units = dense_units(layer);

    // Both are truncated to integers, and range-checked before they are converted.
    double const classes = std::trunc(learning->get("num_classes"));
    check_num_classes(classes, result.units);
    result.num_classes = uint32_t(classes);

    result.num_weights = learning_field_value(std::trunc(learning->get("num_weights")), LEARN_NUM_WEIGHTS.bits.width);
    return result;
}

void format_fnp_learning_words(std::vector<uint32_t>& image, uint64_t inputs, Tensor const& threshold_learning,
                               Tensor const& thswap, FnpLearning const& learning) {
    uint64_t const block = words_for_bits(inputs, 32) + NEURON_RECORD_WORDS;
    if (image.size() / block < learning.units)
        throw std::invalid_argument(format("An FNP image of {} words cannot hold the learning words of {} neurons.",
                                           image.size(), learning.units));
    // One value per neuron, element n of each in row-major order whatever the tensor's shape.
    require_flat_elements(threshold_learning, learning.units, "threshold_learning");
    require_flat_elements(thswap, learning.units, "thswap");
    if (learning.units > 0) check_num_classes(learning.num_classes, learning.units);

    uint32_t const per_class = learning.units / std::max(learning.num_classes, 1u);
    for (uint32_t n = 0; n < learning.units; ++n) {
        std::span<uint32_t> const neuron = std::span(image).subspan(n * block, NEURON_RECORD_WORDS);
        if (learning.num_classes > 1) set(neuron, LEARN_CLASS, n / per_class + 1);
        set(neuron, LEARN_NUM_WEIGHTS, learning.num_weights);

        int32_t const t = tensor_read<int32_t>(threshold_learning, size_t{n});
        if (t < 0) throw FnpError("Negative value for threshold_learning not supported.");
        if (t > max_threshold) signed_field_overflow(t, threshold_bits);
        set(neuron, LEARN_THRESHOLD_HIGH, uint32_t(t) >> threshold_low_bits);
        set(neuron, LEARN_THRESHOLD_LOW, uint32_t(t) & threshold_low_mask);

        set(neuron, LEARN_THSWAP, uint32_t(tensor_read<int32_t>(thswap, size_t{n})));
    }
}

program::LearnRecordsPtr record_program_learning_dense_layer(Device const& device, Layer const& layer,
                                                             bool set_spikes) {
    hw::Component const np = dense_np(recorded_layer_mapping(layer));
    FnpLearning const learning = fnp_learning_of(layer);

    program::LearnRecordsPtr result{program::new_record(device.version()), program::new_record(device.version()),
                                    program::new_record(device.version()), 0};
    NpRegisterMap const learning_on = format_dense_np_registers(device, layer, {.set_spikes = set_spikes}, true);
    NpRegisterMap const learning_off = format_dense_np_registers(device, layer, {.set_spikes = set_spikes});
    result.first->add_np_track(np.ident, dma::Target::NpRegisters, 0, learning_on.at(np.ident));
    result.second->add_np_track(np.ident, dma::Target::NpRegisters, 0, learning_off.at(np.ident));

    std::vector<uint32_t> image = format_dense_fnp_image(layer);
    format_fnp_learning_words(image, fnp_layout(layer.variable("weights")->dimensions(), 1).inputs,
                              *layer.variable("threshold_learning"), *layer.variable("thswap"), learning);
    if (np.type == hw::Type::FNP3)
        result.third->add_np_track(np.ident, dma::Target::FnpMemory, 0, image);
    else
        result.third->add_fnp2_filters_track(np.ident, image);
    result.value = get_fnp_sram_size(layer);
    return result;
}

void fnp_update_learn_vars(HardwareDevice* hardware, Variables& variables, bool fnp3) {
    LearnedVariables const learned =
        read_learn_mem(hardware, [&](char const* name) { return variables.get(name); }, fnp3);
    set_learned(variables, "weights", learned.weights);
    set_learned(variables, "threshold_learning", learned.threshold_learning);
    set_learned(variables, "thswap", learned.thswap);
}

void fnp_update_learn_vars(HardwareDevice* hardware, Layer& layer, bool fnp3) {
    LearnedVariables const learned = read_learn_mem(hardware, [&](char const* name) { return layer.variable(name); },
                                                    fnp3);
    Variables& variables = layer.variables();
    // Each new tensor is complete, in the shape the user wrote, before the first is stored.
    std::shared_ptr<Dense> const weights = in_written_shape(variables, "weights", learned.weights);
    std::shared_ptr<Dense> const threshold_learning =
        in_written_shape(variables, "threshold_learning", learned.threshold_learning);
    std::shared_ptr<Dense> const thswap = in_written_shape(variables, "thswap", learned.thswap);
    set_learned(variables, "weights", weights);
    set_learned(variables, "threshold_learning", threshold_learning);
    set_learned(variables, "thswap", thswap);
}

void fnp_update_learn_vars(HardwareDevice* hardware, VariablesImpl* variables, bool fnp3) {
    if (variables == nullptr) throw std::invalid_argument("The learning layer has no variables to update.");
    fnp_update_learn_vars(hardware, static_cast<Variables&>(*variables), fnp3);
}

}  // namespace nuvra::v1
