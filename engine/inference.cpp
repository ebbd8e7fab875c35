// Software runs of a whole model: the layers in model order over groups of samples.
#include "engine/inference.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "engine/inference_layers.h"
#include "engine/model.h"
#include "engine/ops_support.h"
#include "hw/format.h"
#include "hw/process_state.h"

namespace nuvra {

using inference::Value;
using ops::detail::make_dense;
using ops::detail::read_all;

namespace {

// The layers of a model, checked once for a run.
std::vector<std::shared_ptr<Layer>> run_layers(Model const& model, std::shared_ptr<const Tensor> const& inputs) {
    if (!inputs) throw std::invalid_argument("Cannot run a model without inputs.");
    std::vector<std::shared_ptr<Layer>> layers = model.layers();
    if (layers.empty()) throw std::invalid_argument("Cannot run a model with no layers.");
    for (auto const& layer : layers) {
        inference::check_variables(*layer);
        inference::check_run_sizes(*layer);
    }
    return layers;
}

// A Quantizer right after the input layer that passes the samples on (InputData) reads a float
// model input as it is, unclipped; every other layer reads its inbound layer's output: the input
// layer's integers, or what an input layer that computes (a convolution) made of them.
bool reads_float_input(Layer const& layer, Layer const& inbound, Value const& x) {
    return x->type() == TensorType::float32 && layer.type() == LayerType::Quantizer &&
           layer_kind(inbound.type()).passes_samples_on();
}

// Runs `layers` over `x` (a group of samples); the values of every layer, in layer order. With
// `last_only`, a value is dropped once the last layer reading it has run (so that a run holds a
// few layers' values rather than all of them), and only the last layer's value is kept.
std::vector<Value> run_group(std::vector<std::shared_ptr<Layer>> const& layers, Value const& x,
                             inference::RunState& states, bool last_only = false) {
    std::vector<std::vector<size_t>> inbound_of(layers.size());
    std::vector<size_t> last_use(layers.size(), layers.size());  // past the end: kept
    for (size_t i = 0; i < layers.size(); ++i) {
        Layer const& layer = *layers[i];
        if (layer.is_input_layer()) continue;
        for (auto const& inbound : layer.inbound_layers()) {
            auto at = std::find(layers.begin(), layers.begin() + static_cast<std::ptrdiff_t>(i), inbound);
            if (at == layers.begin() + static_cast<std::ptrdiff_t>(i))
                break;  // refused when the layer comes to run, after the layers before it
            size_t const from = static_cast<size_t>(at - layers.begin());
            inbound_of[i].push_back(from);
            if (last_only && from + 1 < layers.size()) last_use[from] = i;
        }
    }
    std::vector<Value> values;
    values.reserve(layers.size());
    for (size_t i = 0; i < layers.size(); ++i) {
        Layer const& layer = *layers[i];
        std::vector<Value> in;
        if (layer.is_input_layer()) {
            in.push_back(x);
        } else {
            if (inbound_of[i].size() != layer.inbound_layers().size())
                inference::refuse_layer(layer, "an inbound layer does not come before it in the model");
            for (size_t from : inbound_of[i])
                in.push_back(reads_float_input(layer, *layers[from], x) ? x : values[from]);
        }
        values.push_back(inference::run_layer(layer, in, states[&layer]));
        in.clear();
        for (size_t from : inbound_of[i])
            if (last_use[from] == i) values[from].reset();
    }
    return values;
}

// Calls `group(first, count)` over the samples in groups of `batch_size` (0: all at once) and
// joins the values it returns.
template <class Group>
Value over_groups(uint32_t samples, uint32_t batch_size, Group group) {
    uint32_t const step = batch_size == 0 ? samples : batch_size;
    std::vector<Value> parts;
    for (uint32_t first = 0; first < samples; first += std::min(step, samples - first))
        parts.push_back(group(first, std::min(step, samples - first)));
    return inference::join_samples(parts);
}

// ---- learning ----

// The NuvraUnsupervised settings of one fit call.
struct Rule {
    double num_weights;
    uint32_t num_classes;
    double initial_plasticity;
    double competition;
    double min_plasticity;
    double decay;
};

double learning_value(LearningParams const& lp, char const* key, double fallback) {
    std::vector<std::string> const keys = lp.keys();
    return std::find(keys.begin(), keys.end(), key) != keys.end() ? lp.get(key) : fallback;
}

int8_t moved(int8_t w, double delta, int bits) {
    int64_t const top = (int64_t{1} << (bits - 1)) - 1;
    int64_t const next = int64_t{w} + static_cast<int64_t>(std::llround(delta));
    return static_cast<int8_t>(std::clamp<int64_t>(next, -top - 1, top));
}

// Teaches one sample: input x (I values), its potentials, its label (-1: none).
void teach(Rule const& rule, std::vector<int32_t> const& x, std::vector<int64_t> const& potentials, int32_t label,
           int bits, std::vector<int8_t>& weights, std::vector<double>& plasticity) {
    size_t const units = potentials.size();
    size_t const inputs = x.size();
    size_t first = 0, last = units;
    if (label >= 0) {
        size_t const per = units / rule.num_classes;
        first = static_cast<size_t>(label) * per;
        last = first + per;
    }
    if (first >= last) return;
    size_t winner = first;
    for (size_t n = first; n < last; ++n)
        if (potentials[n] > potentials[winner]) winner = n;
    bool has_runner_up = false;
    size_t runner_up = first;
    for (size_t n = first; n < last; ++n) {
        if (n == winner) continue;
        if (!has_runner_up || potentials[n] > potentials[runner_up]) runner_up = n;
        has_runner_up = true;
    }
    // The connections: the highest positive inputs, lower index first on a tie.
    std::vector<size_t> order;
    for (size_t i = 0; i < inputs; ++i)
        if (x[i] > 0) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return x[a] > x[b]; });
    size_t const wanted = rule.num_weights <= 0 ? 0 : static_cast<size_t>(std::min<double>(rule.num_weights, static_cast<double>(inputs)));
    order.resize(std::min(order.size(), wanted));
    std::vector<bool> connected(inputs, false);
    for (size_t i : order) connected[i] = true;

    int64_t const target = (int64_t{1} << (bits - 1)) - 1;
    double const p = plasticity[winner];
    for (size_t i = 0; i < inputs; ++i) {
        int8_t& w = weights[winner * inputs + i];
        w = moved(w, p * static_cast<double>((connected[i] ? target : 0) - w), bits);
    }
    if (rule.competition > 0 && has_runner_up) {
        for (size_t i : order) {
            int8_t& w = weights[runner_up * inputs + i];
            w = moved(w, -rule.competition * p * w, bits);
        }
    }
    plasticity[winner] = std::max(rule.min_plasticity, p * (1.0 - rule.decay));
}

}  // namespace

std::shared_ptr<Tensor> software_forward(Model const& model, std::shared_ptr<const Tensor> const& inputs,
                                         uint32_t batch_size, uint32_t threads) {
    auto const layers = run_layers(model, inputs);
    // A uint8 input is read sample by sample as bytes by each share (from a row-major copy made
    // once when it is not laid out so); any other is converted once.
    Shape const shape = inference::model_input_shape(inputs->dimensions(), model.input_shape());
    bool const bytes = inputs->type() == TensorType::uint8;
    std::shared_ptr<const Tensor> source = inputs;
    if (bytes && !ops::detail::is_c_ordered(*inputs)) {
        std::vector<uint8_t> const row_major = ops::detail::row_major_bytes(*inputs);
        source = Dense::copy(row_major.data(), row_major.size(), TensorType::uint8, inputs->dimensions(),
                             Layout::c_order);
    }
    Value const x = bytes ? nullptr : inference::model_input(*inputs, model.input_shape());
    uint32_t const samples = shape[0];
    bool const has_state = std::any_of(layers.begin(), layers.end(), [](auto const& layer) {
        return layer_kind(layer->params()->layer_type()).state != KindState::none;
    });
    // Without state, samples run in groups that keep a layer's values near the cache's size
    // (their results do not depend on the grouping).
    uint64_t largest = 1;
    for (auto const& layer : layers) largest = std::max<uint64_t>(largest, layer->output_dimensions().product());
    uint32_t const cached = static_cast<uint32_t>(std::max<uint64_t>(1, (uint64_t{1} << 18) / largest));
    uint32_t const group = has_state ? batch_size : std::min(batch_size == 0 ? samples : batch_size, cached);
    // The blocked kinds' packed weights, made once for every thread.
    inference::RunState prepared;
    // Samples [first, first + count) in groups, with states of their own.
    auto const share = [&](uint32_t first, uint32_t count) {
        inference::RunState states = prepared;
        return over_groups(count, group, [&](uint32_t at, uint32_t size) {
            Value const in = bytes ? inference::model_bytes(*source, shape, first + at, size)
                                   : inference::samples(x, first + at, size);
            Value const out = run_group(layers, in, states, true).back();
            return out->type() == TensorType::uint8 ? inference::int32_of(*out) : out;
        });
    };
    // Unless told, a thread per CPU the process may use, each with at least state::min_thread_macs
    // multiply-accumulates to do.
    unsigned __int128 macs = 0;
    for (auto const& layer : layers) macs += layer->macs();
    auto const worth = static_cast<uint64_t>(std::min<unsigned __int128>(
        UINT32_MAX, std::max<unsigned __int128>(1, macs * samples / state::min_thread_macs)));
    uint64_t const wanted = threads != 0 ? threads : std::min<uint64_t>(worth, usable_cpus());
    uint32_t const workers = has_state ? 1 : static_cast<uint32_t>(std::min<uint64_t>(wanted, samples));
    if (workers <= 1) return share(0, samples);
    for (auto const& layer : layers) inference::prepare_layer(*layer, prepared[layer.get()]);
    // Share w holds samples [samples x w / workers, samples x (w + 1) / workers); the calling
    // thread runs the last one. A thread that cannot start leaves its share to the calling thread.
    std::vector<Value> parts(workers);
    std::vector<std::exception_ptr> errors(workers);
    auto const run_share = [&](uint32_t w) {
        try {
            uint32_t const first = static_cast<uint32_t>(uint64_t{samples} * w / workers);
            uint32_t const last = static_cast<uint32_t>(uint64_t{samples} * (w + 1) / workers);
            parts[w] = share(first, last - first);
        } catch (...) {
            errors[w] = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    std::vector<uint32_t> left;
    for (uint32_t w = 0; w + 1 < workers; ++w) {
        try {
            pool.emplace_back(run_share, w);
        } catch (std::system_error const&) {
            left.push_back(w);
        }
    }
    left.push_back(workers - 1);
    for (uint32_t w : left) run_share(w);
    for (auto& t : pool) t.join();
    for (auto const& e : errors)
        if (e) std::rethrow_exception(e);
    return inference::join_samples(parts);
}

uint32_t usable_cpus() {
    unsigned const machine = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    // A machine of more CPUs than the set holds fails the call: the machine's count serves then.
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return machine;
    return std::clamp(static_cast<unsigned>(CPU_COUNT(&allowed)), 1u, machine);
}

std::shared_ptr<Tensor> predicted_values(Layer const& last, std::shared_ptr<Tensor> const& out) {
    if (out->type() == TensorType::float32) return out;
    std::vector<int32_t> const q = read_all<int32_t>(*inference::int32_of(*out));
    std::vector<float> values(q.size());
    if (last.format_code() == 1) {
        // First generation: (p - threshold) x act_step without activation, q x act_step with it.
        std::vector<float> const step = read_all<float>(*last.variable("act_step"));
        std::vector<int32_t> const threshold = read_all<int32_t>(*last.variable("threshold"));
        size_t const channels = ops::detail::channels_of(*out);
        if (step.size() != channels || threshold.size() != channels)
            inference::refuse_layer(last, "threshold and act_step must hold one value per filter");
        bool const activation = last.has_activation();
        for (size_t i = 0; i < q.size(); ++i) {
            size_t const c = i % channels;
            double const level = static_cast<double>(q[i]) - (activation ? 0.0 : static_cast<double>(threshold[c]));
            values[i] = static_cast<float>(level * step[c]);
        }
    } else {
        std::transform(q.begin(), q.end(), values.begin(), [](int32_t v) { return static_cast<float>(v); });
    }
    return make_dense(TensorType::float32, out->dimensions(), values);
}

std::shared_ptr<Tensor> software_predict(Model const& model, std::shared_ptr<const Tensor> const& inputs,
                                         uint32_t batch_size) {
    auto const out = software_forward(model, inputs, batch_size);
    return predicted_values(*model.layers().back(), out);
}

void check_fit(Model const& model, size_t samples, size_t labels) {
    std::shared_ptr<Layer> const last = model.layer_count() == 0 ? nullptr : model.layers().back();
    // Only the kind that learns has learning parameters to see.
    if (!model.learning() || !last || !last->can_learn())
        throw std::runtime_error("Cannot fit a model that is not compiled.");
    if (labels > 1 && labels != samples)
        throw std::invalid_argument("Number of labels should be the same as number of inputs.");
}

std::shared_ptr<Tensor> software_fit(Model& model, std::shared_ptr<const Tensor> const& inputs,
                                     std::vector<int32_t> const& labels, uint32_t batch_size) {
    auto const layers = run_layers(model, inputs);
    std::shared_ptr<LearningParams> const lp = model.learning();
    Layer& last = *layers.back();
    Value const x = inference::model_input(*inputs, model.input_shape());
    uint32_t const samples = x->dimensions()[0];
    check_fit(model, samples, labels.size());

    Rule rule{};
    rule.num_weights = learning_value(*lp, "num_weights", 0);
    double const classes = learning_value(*lp, "num_classes", 1);
    rule.num_classes = classes >= 1 ? static_cast<uint32_t>(classes) : 1;
    rule.initial_plasticity = learning_value(*lp, "initial_plasticity", 1.0);
    rule.competition = learning_value(*lp, "learning_competition", 0.0);
    rule.min_plasticity = learning_value(*lp, "min_plasticity", 0.0);
    rule.decay = learning_value(*lp, "plasticity_decay", 0.0);
    int const bits = std::clamp<int>(last.params()->get("weights_bits"), 1, 8);

    std::shared_ptr<Tensor> const old_weights = last.variable("weights");  // (units, I, 1, 1)
    std::vector<int8_t> weights = read_all<int8_t>(*old_weights);
    uint32_t const units = old_weights->dimensions()[0];
    size_t const inputs_per_unit = weights.size() / units;
    std::vector<double> plasticity(units, rule.initial_plasticity);

    // Every layer but the last runs as in forward; the last is computed sample by sample with
    // the weights as they stand when the sample arrives.
    std::vector<std::shared_ptr<Layer>> const body(layers.begin(), layers.end() - 1);
    inference::RunState states;
    Value const out = over_groups(samples, batch_size, [&](uint32_t first, uint32_t count) {
        Value const group = inference::samples(x, first, count);
        Value fc_input = group;
        if (!last.is_input_layer()) {
            std::vector<Value> const values = run_group(body, group, states);
            auto const inbound = last.inbound_layers().front();
            auto at = std::find(body.begin(), body.end(), inbound);
            fc_input = values[static_cast<size_t>(at - body.begin())];
        }
        std::vector<int32_t> const flat = read_all<int32_t>(*inference::int32_of(*fc_input));
        if (flat.size() != size_t{count} * inputs_per_unit)
            inference::refuse_layer(last, "the inputs do not match the weights");
        std::vector<int32_t> potentials_all(size_t{count} * units);
        for (uint32_t s = 0; s < count; ++s) {
            std::vector<int32_t> const sample(flat.begin() + static_cast<std::ptrdiff_t>(s * inputs_per_unit),
                                              flat.begin() + static_cast<std::ptrdiff_t>((s + 1) * inputs_per_unit));
            std::vector<int64_t> potentials(units);
            for (size_t n = 0; n < units; ++n) {
                int64_t sum = 0;  // I products of int32 x int8, I < 2^32: fits 64 bits
                for (size_t i = 0; i < inputs_per_unit; ++i) sum += int64_t{sample[i]} * weights[n * inputs_per_unit + i];
                potentials[n] = sum;
                potentials_all[size_t{s} * units + n] = ops::detail::saturate(sum, 32);
            }
            int32_t const label = labels.empty() ? -1 : labels.size() == 1 ? labels.front() : labels[first + s];
            bool const skip = !labels.empty() && (label < 0 || static_cast<uint32_t>(label) >= rule.num_classes);
            if (!skip) teach(rule, sample, potentials, label, bits, weights, plasticity);
        }
        auto p = make_dense(TensorType::int32, Shape{count, 1, 1, units}, potentials_all);
        return inference::threshold_stage(last, p);
    });

    // The learned weights replace the tensor, in the shape the weights were written in; the old
    // one, which other models may share, stays.
    auto learned = Dense::copy(weights.data(), weights.size(), old_weights->type(), old_weights->dimensions(),
                               Layout::c_order);
    set_learned(last.variables(), "weights", in_written_shape(last.variables(), "weights", std::move(learned)));
    return out;
}

}  // namespace nuvra
