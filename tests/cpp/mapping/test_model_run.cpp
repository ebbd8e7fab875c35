#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/backend.h"
#include "engine/inference.h"
#include "engine/model.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "support/fake_device.h"
#include "support/error_text.h"
#include "support/fake_hardware_device.h"
#include "support/model_builder.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;
using Samples = std::vector<std::shared_ptr<const Tensor>>;
using Sequences = std::vector<std::shared_ptr<Sequence>>;
using Log = std::vector<std::string>;
using Labels = std::vector<std::optional<std::vector<int>>>;
using Maker = std::function<std::shared_ptr<Tensor>(Tensor const&, size_t)>;

// A back end that hands out the sequences the test put in `next_sequences`, after calling
// `during_map` (when set) as a constraints hook would.
Sequences next_sequences;
std::function<void()> during_map;
struct ScriptedBackend : Backend {
    MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>*, std::vector<std::shared_ptr<Sequence>>* sequences,
                           std::shared_ptr<MapConstraints>) override {
        if (during_map) during_map();
        *sequences = std::exchange(next_sequences, {});
        return {};
    }
    BackendType type() const override { return BackendType::Hardware; }
};
std::unique_ptr<Backend> scripted_backend() { return std::make_unique<ScriptedBackend>(); }

// A sequence of the given kind that does nothing but give its name.
template <class Kind>
struct Named : Kind {
    explicit Named(std::string name) : name_(std::move(name)) {}
    std::vector<std::shared_ptr<Sequence::Pass>> const& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Hardware; }
    std::span<const uint8_t> program() const override { return {}; }
    Sequence::ProgramParts program_parts() const override { return {}; }
    std::string name() const override { return name_; }
    std::string name_;
    std::vector<std::shared_ptr<Sequence::Pass>> passes_;
};

// Logs "<name> <samples>" per call, keeps each call's labels (none without) and first sample, and
// answers each sample with `make(sample, index in the call)` unless that is null.
struct ScriptedSequence : Named<ForwardableSequence> {
    ScriptedSequence(std::string name, Log* sink, Maker answer)
        : Named(std::move(name)), log(sink), make(std::move(answer)) {}
    std::vector<std::shared_ptr<Tensor>> forward_samples(Samples const& inputs,
                                                         std::vector<int> const* given) override {
        log->push_back(name_ + " " + std::to_string(inputs.size()));
        labels.push_back(given ? std::optional(*given) : std::nullopt);
        firsts.push_back(inputs.front());
        std::vector<std::shared_ptr<Tensor>> outputs;
        for (size_t i = 0; i < inputs.size(); ++i)
            if (auto output = make(*inputs[i], i)) outputs.push_back(output);
        return outputs;
    }
    Log* log;
    Maker make;
    Labels labels;
    Samples firsts;
};

// Each sample answered by {first element + add, last element + add} of `type` and `dims`.
Maker echo(double add, TensorType type = TensorType::int32, Dims dims = {1, 1, 2}) {
    return [=](Tensor const& sample, size_t) -> std::shared_ptr<Tensor> {
        double const a = numbers(sample).front() + add, b = numbers(sample).back() + add;
        if (type == TensorType::uint8) return u8(dims, {uint8_t(a), uint8_t(b)});
        if (type == TensorType::float32) return f32(dims, {float(a), float(b)});
        return i32(dims, {int32_t(a), int32_t(b)});
    };
}

// in (1 x 1 x 4) -> fc (2 units, first generation, no activation), compiled unless asked not to,
// mapped through the scripted back end; the hooks registered before come back when it goes.
struct FcModel {
    explicit FcModel(bool compiled = true) : saved(hardware_backend_hooks()) {
        register_hardware_backend({scripted_backend, [](std::shared_ptr<Device> const& d) {
                                       return std::make_shared<MapConstraints>(d);
                                   }});
        b.input("in", 4, 1, 1);
        b.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"in"});
        b["fc"]->variables().set("weights", i8({2, 4, 1, 1}, {1, 2, 3, 4, -1, 0, 1, 0}));
        if (compiled) m.compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", 1}}));
    }
    ~FcModel() { register_hardware_backend(saved); }
    // A scripted sequence logging into `log`.
    std::shared_ptr<ScriptedSequence> sequence(std::string name, Maker make = echo(0)) {
        return std::make_shared<ScriptedSequence>(std::move(name), &log, std::move(make));
    }
    // Maps through the scripted back end, on a fake hardware device unless another is given.
    void map(Sequences sequences, std::shared_ptr<Device> device = nullptr) {
        next_sequences = std::move(sequences);
        m.map(device ? device : make_fake_host_device(hw::Tolmar_v2));
    }
    HardwareBackendHooks saved;
    ModelBuilder b;
    Model& m = b.model();
    Log log;  // what the sequences ran, in order
};

// Three samples of (1, 1, 4): sample s holds 4s, 4s + 1, 4s + 2, 4s + 3.
std::shared_ptr<Dense> three_samples(Dims dims = {3, 1, 1, 4}) {
    return u8(dims, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
}

// With labels (fit) only the last sequence learns: one label per sample goes with its sample, an
// empty list or a single label goes to every call.
TEST(ModelRun, SequencesFeedEachOtherAndTheLastOnesOutputsAreStacked) {
    // The three samples stored first dimension fastest.
    auto const reversed = Dense::copy(std::vector<uint8_t>{0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11}.data(), 12,
                                      TensorType::uint8, Shape{3, 1, 1, 4}, Layout::reversed);
    using V = std::vector<int>;
    // type and sample: of B's outputs; labels: fit with these, none: forward; last: what B got per call in fit
    struct Row {
        uint32_t batch_size; std::shared_ptr<Dense> inputs; TensorType type; Dims sample; Dims stacked; Log log;
        std::optional<std::vector<int32_t>> labels = std::nullopt; Labels last = {};
    };
    Log const in_two{"A 2", "A 1", "B 2", "B 1"};
    Row const rows[] = {
        {0, three_samples(), TensorType::int32, {2}, {3, 1, 1, 2}, {"A 3", "B 3"}},
        {1, three_samples({3, 4}), TensorType::uint8, {1, 1, 2}, {3, 1, 1, 2},
         {"A 1", "A 1", "A 1", "B 1", "B 1", "B 1"}},
        {2, reversed, TensorType::float32, {1, 1, 1, 2}, {3, 1, 1, 2}, in_two},
        {2, three_samples(), TensorType::int32, {2}, {3, 1, 1, 2}, in_two, {{7}}, {V{7}, V{7}}},
        {2, three_samples(), TensorType::int32, {2}, {3, 1, 1, 2}, in_two, {{1, 2, 3}}, {V{1, 2}, V{3}}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.batch_size << (row.labels ? " fit" : ""));
        FcModel model;
        auto a = model.sequence("A", echo(10));
        auto b = model.sequence("B", echo(100, row.type, row.sample));
        model.map({a, b});
        auto const out = row.labels ? model.m.fit(row.inputs, *row.labels, row.batch_size)
                                    : model.m.forward(row.inputs, row.batch_size);
        ASSERT_EQ(model.log, row.log);  // the sequences ran, so they saw samples
        EXPECT_EQ(out->type(), row.type);
        EXPECT_EQ(dims_of(*out), row.stacked);
        EXPECT_EQ(numbers(*out), (std::vector<double>{110, 113, 114, 117, 118, 121}));
        EXPECT_EQ(dims_of(*a->firsts.front()), (Dims{1, 1, 4}));
        EXPECT_EQ(a->firsts.front()->type(), TensorType::uint8);
        EXPECT_EQ(dims_of(*b->firsts.front()), (Dims{1, 1, 2}));
        EXPECT_EQ(a->labels, Labels(a->labels.size()));
        EXPECT_EQ(b->labels, row.labels ? row.last : Labels(b->labels.size()));
    }
}

TEST(ModelRun, Refusals) {
    // log: what ran before the refusal; plain: a second sequence that cannot run samples; labels: fit with these
    struct Row {
        const char* message; Log log = {}; std::shared_ptr<Dense> inputs = three_samples(); Maker make = echo(0);
        bool plain = false; std::optional<std::vector<int32_t>> labels = std::nullopt; bool compiled = true;
    };
    Maker const missing = [](Tensor const&, size_t i) { return i == 2 ? nullptr : i32({2}, {0, 0}); };
    Maker const sizes = [](Tensor const&, size_t i) { return i ? i32({3}, {0, 0, 0}) : i32({2}, {0, 0}); };
    Maker const types = [](Tensor const&, size_t i) { return i == 2 ? u8({2}, {0, 0}) : i32({2}, {0, 0}); };
    Row const rows[] = {
        {.message = "Sequence 'plain' cannot run samples: it is not a forwardable sequence.", .plain = true},
        {.message = "Cannot run a model without inputs.", .inputs = nullptr},
        {.message = "Inputs of shape (3, 2, 2, 1) do not fit the model's input (1, 1, 4).",
         .inputs = three_samples({3, 2, 2, 1})},
        {.message = "Sequence 'A' returned 2 outputs for 3 samples.", .log = {"A 3"}, .make = missing},
        {.message = "The output of sample 1 differs in shape or type from the first.", .log = {"A 3"}, .make = sizes},
        {.message = "The output of sample 2 differs in shape or type from the first.", .log = {"A 3"}, .make = types},
        {.message = "Number of labels should be the same as number of inputs.", .labels = {{1, 2}}},
        // Mended: a NaN reached the device, where the software run refuses it.
        {.message = "Input sample 2 holds NaN at x 0, y 0, channel 1: NaN has no integer value.",
         .inputs = f32({3, 1, 1, 4}, {0, 1, 2, 3, 4, 5, 6, 7, 8, std::numeric_limits<float>::quiet_NaN(), 10, 11})},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.message);
        FcModel model(row.compiled);
        std::shared_ptr<Sequence> const a = model.sequence("A", row.make);
        model.map(row.plain ? Sequences{a, std::make_shared<Named<Sequence>>("plain")} : Sequences{a});
        EXPECT_EQ(error_text<std::exception>([&] {
                      if (row.labels) model.m.fit(row.inputs, *row.labels);
                      else model.m.forward(row.inputs);
                  }),
                  row.message);
        EXPECT_EQ(model.log, row.log);
    }
}

TEST(ModelRun, PredictTurnsTheStackedOutputsIntoValues) {
    FcModel model;
    model.b["fc"]->variables().set("threshold", i32({2}, {1, 2}));
    model.b["fc"]->variables().set("act_step", f32({2}, {0.5, 2}));
    model.map({model.sequence("A")});
    // Sample s gives q = {4s, 4s + 3}, predicted as (q - threshold) x act_step.
    auto const out = model.m.predict(three_samples(), 1);
    EXPECT_EQ(out->type(), TensorType::float32);
    EXPECT_EQ(dims_of(*out), (Dims{3, 1, 1, 2}));
    EXPECT_EQ(numbers(*out), (std::vector<double>{-0.5, 2, 1.5, 10, 3.5, 18}));
}

TEST(ModelRun, WithoutSequencesTheSoftwareRuns) {
    FcModel model;
    auto const inputs = three_samples();
    auto const forward = numbers(*software_forward(model.m, inputs));
    model.map({});
    EXPECT_TRUE(model.m.sequences().empty());
    EXPECT_EQ(numbers(*model.m.forward(inputs, 1)), forward);
    model.m.fit(inputs, {0});
    EXPECT_TRUE(model.log.empty());
    // Mapped on a virtual device, the sequences still run: a hardware sequence refuses.
    model.map({model.sequence("A")}, make_fake_device(hw::Tolmar_v2));
    model.m.forward(inputs);
    EXPECT_EQ(model.log, Log{"A 3"});
}

// A mapped program describes the graph, values and learning it was made from: changing any drops it.
TEST(ModelRun, ChangingTheModelDropsItsMapping) {
    void (*const changes[])(Model&) = {
        [](Model& m) { m.pop_layer(); },
        [](Model& m) { m.compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", 2}})); },
        [](Model& m) { m.add(Layer::create(LayerParams::create(LayerType::Dequantizer, {}).get(), "deq")); },
        [](Model& m) { m.get_layer("fc")->variables().set("weights", i8({2, 4, 1, 1}, std::vector<int8_t>(8, 1))); },
        [](Model& m) { m.get_layer("fc")->variables().assign("threshold", i32({2}, {5, 6})); },
    };
    for (auto const change : changes) {
        FcModel model;
        // The sequence's pass holds both layers, as a mapped one would; the test keeps the sequence.
        auto const held = model.sequence("A", echo(10));
        std::vector<std::shared_ptr<Layer>> const layers = model.m.layers();
        held->passes_.push_back(std::make_shared<Sequence::Pass>());
        held->passes_.back()->layers = layers;
        model.map({held});
        for (auto const& layer : layers) set_layer_mapping(*layer, std::make_shared<Layer::Mapping>());
        ASSERT_EQ(model.m.sequences().size(), 1u);
        change(model.m);
        EXPECT_TRUE(model.m.sequences().empty());
        EXPECT_EQ(model.m.device(), nullptr);
        // Its layers are unmapped too, though the sequence that mapped them lives on.
        for (auto const& layer : layers) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
    }
    // While the model is being mapped (a constraints hook), each change is refused and changes
    // nothing; so is mapping it again.
    for (auto const change : changes) {
        FcModel model;
        std::vector<uint8_t> const before = model.m.to_buffer();
        std::string refusal;
        during_map = [&] {
            refusal = error_text<std::runtime_error>([&] { change(model.m); });
            if (refusal == "The model is being mapped.")
                refusal = error_text<std::runtime_error>([&] { model.m.map(make_fake_host_device(hw::Tolmar_v2)); });
            EXPECT_EQ(model.m.to_buffer(), before);
        };
        model.map({model.sequence("A", echo(10))});
        during_map = nullptr;
        EXPECT_EQ(refusal, "The model is being mapped.");
        EXPECT_EQ(model.m.sequences().size(), 1u);
    }
    {
        FcModel model;
        during_map = [&] { model.m.fit(three_samples(), {0}); };
        EXPECT_EQ(error_text<std::runtime_error>([&] { model.map({model.sequence("A")}); }),
                  "The model is being mapped.");
        during_map = nullptr;
        next_sequences.clear();
        EXPECT_TRUE(model.m.sequences().empty());
    }
    // A refused write stores nothing and keeps the mapping.
    FcModel model;
    model.map({model.sequence("A", echo(10))});
    EXPECT_THROW(model.m.get_layer("fc")->variables().set("weights", nullptr), std::invalid_argument);
    EXPECT_EQ(model.m.sequences().size(), 1u);
}

}  // namespace
}  // namespace nuvra
