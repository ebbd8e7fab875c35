#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/backend.h"
#include "engine/inference.h"
#include "engine/model.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "hw/presets.h"
#include "mapping/backend.h"
#include "mapping/hardware_backend.h"
#include "mapping/map_constraints.h"
#include "tests/cpp/mapping/mapping_fixtures.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/fake_hardware_device.h"
#include "tests/cpp/support/model_builder.h"
#include "tests/cpp/support/recorder_doubles.h"
#include "tests/cpp/support/stub_checker.h"

namespace nuvra {
namespace {

using testing::FakeHostDevice;
using testing::ModelBuilder;
using Samples = std::vector<std::shared_ptr<const Tensor>>;
using Log = std::vector<std::string>;

// Puts back the hooks that were registered before the test.
struct HooksGuard {
    HooksGuard() : saved(hardware_backend_hooks()) {}
    ~HooksGuard() { register_hardware_backend(saved); }
    HardwareBackendHooks saved;
};

// ---- a back end that hands out scripted sequences ----

std::vector<std::shared_ptr<Sequence>> next_sequences;

class ScriptedBackend : public Backend {
public:
    MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>*, std::vector<std::shared_ptr<Sequence>>* sequences,
                           std::shared_ptr<MapConstraints>) override {
        sequences->insert(sequences->end(), next_sequences.begin(), next_sequences.end());
        return {};
    }
    BackendType type() const override { return BackendType::Hardware; }
};

void map_scripted(Model& model, std::shared_ptr<Device> device, std::vector<std::shared_ptr<Sequence>> sequences) {
    HardwareBackendHooks hooks;
    hooks.make_backend = []() -> std::unique_ptr<Backend> { return std::make_unique<ScriptedBackend>(); };
    hooks.make_default_constraints = [](std::shared_ptr<Device> const& d) { return std::make_shared<MapConstraints>(d); };
    register_hardware_backend(hooks);
    next_sequences = std::move(sequences);
    model.map(std::move(device));
    next_sequences.clear();
}

// Element `i` (row-major) of a uint8, int32 or float32 tensor.
double element(Tensor const& t, size_t i) {
    switch (t.type()) {
        case TensorType::uint8: return tensor_read<uint8_t>(t, i);
        case TensorType::int32: return tensor_read<int32_t>(t, i);
        case TensorType::float32: return tensor_read<float>(t, i);
        default: throw std::logic_error("unexpected element type");
    }
}

std::shared_ptr<Dense> tensor_of(TensorType type, Shape const& shape, std::vector<double> const& values) {
    auto t = Dense::create(type, shape, Layout::c_order);
    for (size_t i = 0; i < values.size(); ++i) {
        switch (type) {
            case TensorType::uint8: tensor_write<uint8_t>(*t, i, uint8_t(values[i])); break;
            case TensorType::int32: tensor_write<int32_t>(*t, i, int32_t(values[i])); break;
            case TensorType::float32: tensor_write<float>(*t, i, float(values[i])); break;
            default: throw std::logic_error("unexpected element type");
        }
    }
    return t;
}

std::vector<double> values_of(Tensor const& t) {
    std::vector<double> values;
    for (size_t i = 0; i < t.size(); ++i) values.push_back(element(t, i));
    return values;
}

// A sequence that remembers its calls ("<name> <samples>" in a shared log, and the labels) and
// answers each sample with `make(sample, index in the call)`, of which it drops the last `drop`.
class ScriptedSequence : public ForwardableSequence {
public:
    using Maker = std::function<std::shared_ptr<Tensor>(Tensor const&, size_t)>;

    ScriptedSequence(std::string name, Log* log, Maker make) : name_(std::move(name)), log_(log), make_(make) {}

    std::vector<std::optional<std::vector<int>>> labels;  // per call; none without labels
    std::vector<Shape> sample_shapes;                      // of each call's first sample
    std::vector<TensorType> sample_types;
    size_t drop = 0;

    std::vector<std::shared_ptr<Pass>> const& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Hardware; }
    std::span<const uint8_t> program() const override { return {}; }
    ProgramParts program_parts() const override { return {}; }
    std::string name() const override { return name_; }

    std::vector<std::shared_ptr<Tensor>> forward_samples(Samples const& inputs,
                                                         std::vector<int> const* given) override {
        log_->push_back(name_ + " " + std::to_string(inputs.size()));
        labels.push_back(given ? std::optional<std::vector<int>>(*given) : std::nullopt);
        sample_shapes.push_back(inputs.front()->dimensions());
        sample_types.push_back(inputs.front()->type());
        std::vector<std::shared_ptr<Tensor>> outputs;
        for (size_t i = 0; i + drop < inputs.size(); ++i) outputs.push_back(make_(*inputs[i], i));
        return outputs;
    }

private:
    std::string name_;
    Log* log_;
    Maker make_;
    std::vector<std::shared_ptr<Pass>> passes_;
};

// Each sample answered by {first element + add, last element + add} of `type` and `shape`.
ScriptedSequence::Maker echo(double add, TensorType type = TensorType::int32, Shape shape = Shape{1, 1, 2}) {
    return [=](Tensor const& sample, size_t) {
        return tensor_of(type, shape, {element(sample, 0) + add, element(sample, sample.size() - 1) + add});
    };
}

// A sequence without samples of its own.
class PlainSequence : public Sequence {
public:
    std::vector<std::shared_ptr<Pass>> const& passes() const override { return passes_; }
    BackendType backend() const override { return BackendType::Software; }
    std::span<const uint8_t> program() const override { return {}; }
    ProgramParts program_parts() const override { return {}; }
    std::string name() const override { return "SW/plain"; }

private:
    std::vector<std::shared_ptr<Pass>> passes_;
};

// in (1 x 1 x 4) -> fc (2 units, first generation, no activation), compiled.
struct FcModel {
    FcModel() {
        model.input("in", 4, 1, 1);
        model.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"in"});
        model["fc"]->variables().set("weights", Dense::copy(std::vector<int8_t>{1, 2, 3, 4, -1, 0, 1, 0}.data(), 8,
                                                            TensorType::int8, Shape{2, 4, 1, 1}, Layout::c_order));
        model.model().compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", 1}}));
    }
    Model& operator*() { return model.model(); }
    ModelBuilder model;
};

// Three samples of (1, 1, 4): sample s holds 4s, 4s + 1, 4s + 2, 4s + 3.
std::shared_ptr<Dense> three_samples(Shape shape = Shape{3, 1, 1, 4}) {
    return tensor_of(TensorType::uint8, shape, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
}

std::shared_ptr<FakeHostDevice> host_device() {
    return std::make_shared<FakeHostDevice>(hw::Tolmar_v2, fake_mesh(IpVersion::v2));
}

TEST(ModelRun, SequencesFeedEachOtherInBatches) {
    struct Row {
        uint32_t batch_size;
        Log log;
    };
    Row const rows[] = {
        {0, {"A 3", "B 3"}},
        {1, {"A 1", "A 1", "A 1", "B 1", "B 1", "B 1"}},
        {2, {"A 2", "A 1", "B 2", "B 1"}},
        {3, {"A 3", "B 3"}},
        {7, {"A 3", "B 3"}},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.batch_size);
        FcModel model;
        Log log;
        auto a = std::make_shared<ScriptedSequence>("A", &log, echo(10));
        auto b = std::make_shared<ScriptedSequence>("B", &log, echo(100, TensorType::int32, Shape{2}));
        map_scripted(*model, host_device(), {a, b});

        auto const out = (*model).forward(three_samples(), row.batch_size);
        EXPECT_EQ(log, row.log);
        EXPECT_EQ(out->type(), TensorType::int32);
        EXPECT_EQ(out->dimensions(), (Shape{3, 1, 1, 2}));
        // Sample s: A gives {4s + 10, 4s + 13}, B adds 100 to those.
        EXPECT_EQ(values_of(*out), (std::vector<double>{110, 113, 114, 117, 118, 121}));
        EXPECT_EQ(a->sample_shapes.front(), (Shape{1, 1, 4}));
        EXPECT_EQ(a->sample_types.front(), TensorType::uint8);
        EXPECT_EQ(b->sample_shapes.front(), (Shape{1, 1, 2}));
        for (auto const& labels : a->labels) EXPECT_FALSE(labels.has_value());
        for (auto const& labels : b->labels) EXPECT_FALSE(labels.has_value());
    }
}

TEST(ModelRun, InputFormsAndOutputStacking) {
    struct Row {
        const char* name;
        std::shared_ptr<Dense> inputs;
        TensorType out_type;
        Shape sample;   // of one sample's output
        Shape stacked;  // of the model's output
    };
    // The three samples stored first dimension fastest.
    auto const reversed = Dense::copy(std::vector<uint8_t>{0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11}.data(), 12,
                                      TensorType::uint8, Shape{3, 1, 1, 4}, Layout::reversed);
    Row const rows[] = {
        {"4-D input", three_samples(), TensorType::int32, Shape{1, 1, 2}, Shape{3, 1, 1, 2}},
        {"(N, C) input", three_samples(Shape{3, 4}), TensorType::int32, Shape{1, 1, 2}, Shape{3, 1, 1, 2}},
        {"reversed layout", reversed, TensorType::int32, Shape{1, 1, 2}, Shape{3, 1, 1, 2}},
        {"uint8 outputs keep their type", three_samples(), TensorType::uint8, Shape{1, 1, 2}, Shape{3, 1, 1, 2}},
        {"a sample dimension of 1 is dropped", three_samples(), TensorType::float32, Shape{1, 1, 1, 2},
         Shape{3, 1, 1, 2}},
        {"2 x 1 samples are padded in front", three_samples(), TensorType::int32, Shape{2, 1}, Shape{3, 1, 2, 1}},
        {"1-D samples", three_samples(), TensorType::int32, Shape{2}, Shape{3, 1, 1, 2}},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        FcModel model;
        Log log;
        map_scripted(*model, host_device(),
                     {std::make_shared<ScriptedSequence>("A", &log, echo(10, row.out_type, row.sample))});
        auto const out = (*model).forward(row.inputs, 2);
        EXPECT_EQ(out->type(), row.out_type);
        EXPECT_EQ(out->dimensions(), row.stacked);
        EXPECT_EQ(values_of(*out), (std::vector<double>{10, 13, 14, 17, 18, 21}));
    }
}

TEST(ModelRun, Refusals) {
    struct Row {
        const char* name;
        std::function<void(Log*, std::vector<std::shared_ptr<Sequence>>*)> sequences;
        std::shared_ptr<Dense> inputs;
        const char* message;
        Log log;  // what ran before the refusal
    };
    Row const rows[] = {
        {"not forwardable",
         [](Log* log, auto* s) {
             s->push_back(std::make_shared<ScriptedSequence>("A", log, echo(0)));
             s->push_back(std::make_shared<PlainSequence>());
         },
         three_samples(), "Sequence 'SW/plain' cannot run samples: it is not a forwardable sequence.", {}},
        {"no inputs",
         [](Log* log, auto* s) { s->push_back(std::make_shared<ScriptedSequence>("A", log, echo(0))); }, nullptr,
         "Cannot run a model without inputs.", {}},
        {"input does not fit",
         [](Log* log, auto* s) { s->push_back(std::make_shared<ScriptedSequence>("A", log, echo(0))); },
         three_samples(Shape{3, 2, 2, 1}), "Inputs of shape (3, 2, 2, 1) do not fit the model's input (1, 1, 4).", {}},
        {"missing outputs",
         [](Log* log, auto* s) {
             auto a = std::make_shared<ScriptedSequence>("A", log, echo(0));
             a->drop = 1;
             s->push_back(a);
         },
         three_samples(), "Sequence 'A' returned 2 outputs for 3 samples.", {"A 3"}},
        {"outputs of different shapes",
         [](Log* log, auto* s) {
             s->push_back(std::make_shared<ScriptedSequence>("A", log, [](Tensor const&, size_t i) {
                 return tensor_of(TensorType::int32, i == 0 ? Shape{2} : Shape{3}, {});
             }));
         },
         three_samples(), "The output of sample 1 differs in shape or type from the first.", {"A 3"}},
        {"outputs of different types",
         [](Log* log, auto* s) {
             s->push_back(std::make_shared<ScriptedSequence>("A", log, [](Tensor const&, size_t i) {
                 return tensor_of(i == 2 ? TensorType::uint8 : TensorType::int32, Shape{2}, {});
             }));
         },
         three_samples(), "The output of sample 2 differs in shape or type from the first.", {"A 3"}},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        FcModel model;
        Log log;
        std::vector<std::shared_ptr<Sequence>> sequences;
        row.sequences(&log, &sequences);
        map_scripted(*model, host_device(), sequences);
        try {
            (*model).forward(row.inputs);
            ADD_FAILURE() << "no exception";
        } catch (std::exception const& e) {
            EXPECT_EQ(std::string(e.what()), row.message);
        }
        EXPECT_EQ(log, row.log);
    }
}

TEST(ModelRun, FitGivesTheLabelsToTheLastSequence) {
    using Labels = std::vector<std::optional<std::vector<int>>>;
    struct Row {
        std::vector<int32_t> labels;
        Labels last;  // what the last sequence got per call, batch size 2
    };
    Row const rows[] = {
        {{}, {std::vector<int>{}, std::vector<int>{}}},
        {{7}, {std::vector<int>{7}, std::vector<int>{7}}},
        {{1, 2, 3}, {std::vector<int>{1, 2}, std::vector<int>{3}}},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        FcModel model;
        Log log;
        auto a = std::make_shared<ScriptedSequence>("A", &log, echo(10));
        auto b = std::make_shared<ScriptedSequence>("B", &log, echo(100));
        map_scripted(*model, host_device(), {a, b});
        auto const out = (*model).fit(three_samples(), row.labels, 2);
        EXPECT_EQ(values_of(*out), (std::vector<double>{110, 113, 114, 117, 118, 121}));
        EXPECT_EQ(a->labels, (Labels{std::nullopt, std::nullopt}));
        EXPECT_EQ(b->labels, row.last);
    }
}

TEST(ModelRun, FitRefusals) {
    struct Row {
        std::vector<int32_t> labels;
        bool compiled;
        const char* message;
    };
    Row const rows[] = {
        {{1, 2}, true, "Number of labels should be the same as number of inputs."},
        {{1, 2, 3, 4}, true, "Number of labels should be the same as number of inputs."},
        {{1, 2, 3}, false, "Cannot fit a model that is not compiled."},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.message);
        ModelBuilder model;
        model.input("in", 4, 1, 1);
        model.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"in"});
        if (row.compiled)
            model.model().compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", 1}}));
        Log log;
        map_scripted(model.model(), host_device(), {std::make_shared<ScriptedSequence>("A", &log, echo(0))});
        try {
            model.model().fit(three_samples(), row.labels);
            ADD_FAILURE() << "no exception";
        } catch (std::invalid_argument const& e) {
            EXPECT_TRUE(row.compiled);
            EXPECT_EQ(std::string(e.what()), row.message);
        } catch (std::runtime_error const& e) {
            EXPECT_FALSE(row.compiled);
            EXPECT_EQ(std::string(e.what()), row.message);
        }
        EXPECT_TRUE(log.empty());
    }
}

TEST(ModelRun, PredictGivesFloats) {
    struct Row {
        const char* name;
        TensorType out_type;
        std::vector<double> expected;
    };
    // fc: threshold {1, 2}, act_step {0.5, 2}; sample s gives q = {4s, 4s + 3}.
    Row const rows[] = {
        {"first generation: (q - threshold) x act_step", TensorType::int32, {-0.5, 2, 1.5, 10, 3.5, 18}},
        {"uint8 outputs", TensorType::uint8, {-0.5, 2, 1.5, 10, 3.5, 18}},
        {"float outputs stay as they are", TensorType::float32, {0, 3, 4, 7, 8, 11}},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        FcModel model;
        model.model["fc"]->variables().set("threshold", tensor_of(TensorType::int32, Shape{2}, {1, 2}));
        model.model["fc"]->variables().set("act_step", tensor_of(TensorType::float32, Shape{2}, {0.5, 2}));
        Log log;
        map_scripted(*model, host_device(), {std::make_shared<ScriptedSequence>("A", &log, echo(0, row.out_type))});
        auto const out = (*model).predict(three_samples(), 1);
        EXPECT_EQ(out->type(), TensorType::float32);
        EXPECT_EQ(out->dimensions(), (Shape{3, 1, 1, 2}));
        EXPECT_EQ(values_of(*out), row.expected);
    }
}

TEST(ModelRun, WithoutHardwareOrSequencesTheSoftwareRuns) {
    struct Row {
        const char* name;
        bool hardware;
        bool sequences;
    };
    Row const rows[] = {
        {"virtual device", false, true},
        {"no sequence", true, false},
    };
    HooksGuard guard;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        FcModel model;
        auto const inputs = three_samples();
        auto const forward = values_of(*(*model).forward(inputs));
        auto const predict = values_of(*(*model).predict(inputs));
        EXPECT_EQ(forward, values_of(*software_forward(*model, inputs)));

        Log log;
        std::shared_ptr<Device> device = row.hardware ? std::shared_ptr<Device>(host_device())
                                                      : make_fake_device(hw::Tolmar_v2);
        std::vector<std::shared_ptr<Sequence>> sequences;
        if (row.sequences) sequences.push_back(std::make_shared<ScriptedSequence>("A", &log, echo(0)));
        map_scripted(*model, device, sequences);
        EXPECT_EQ((*model).sequences().size(), row.sequences ? 1u : 0u);

        EXPECT_EQ(values_of(*(*model).forward(inputs, 1)), forward);
        EXPECT_EQ(values_of(*(*model).predict(inputs)), predict);
        (*model).fit(inputs, {0});
        EXPECT_TRUE(log.empty());
    }
}

// ---- the mapping engine's hardware sequence on a fake hardware device ----

// Splits by filters only.
class FilterChecker : public StubChecker {
public:
    using StubChecker::StubChecker;
    NpSplitParams np_split_params(hw::Type, LayerParams const& params) const override {
        NpSplitParams split;
        split.filters = params.has("filters") ? uint32_t(params.get("filters")) : 0;
        return split;
    }
};

class IoDouble : public testing::IoRecorderDouble {
public:
    explicit IoDouble(Device const&) {}
};

class RecorderDouble : public testing::LayerRecorderDouble {
public:
    RecorderDouble(Device const&, HardwareConstraints const&) {}
};

// Every memory size 0, for any layer kind.
class ZeroSizer : public MemorySizer {
public:
    uint32_t get_input_memory_size(std::shared_ptr<Layer> const&, hw::Component const&,
                                   std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_weight_memory_size(std::shared_ptr<Layer> const&, hw::Component const&) const override { return 0; }
    uint32_t get_external_memory_size(std::shared_ptr<Layer> const&, hw::Component const&, bool,
                                      bool) const override { return 0; }
    uint32_t get_fsram_64b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_tsram_51b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_evsram_32b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_stsram_32b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
};

GenerationFactory const doubles[] = {
    generation_factory<FilterChecker, ZeroSizer, IoDouble, RecorderDouble>(IpVersion::v2),
};

void register_doubles() {
    HardwareBackendHooks hooks;
    hooks.make_backend = []() -> std::unique_ptr<Backend> { return std::make_unique<HardwareBackend>(doubles); };
    hooks.make_default_constraints = [](std::shared_ptr<Device> const& d) { return std::make_shared<MapConstraints>(d); };
    register_hardware_backend(hooks);
}

std::vector<np::Info> cnps(uint8_t count) {
    std::vector<np::Info> nps;
    for (uint8_t i = 1; i <= count; ++i) nps.push_back({{i, 0, 0, 0}, {hw::Type::CNP1}, true});
    return nps;
}

TEST(ModelRun, HardwareSequenceOnAFakeDevice) {
    HooksGuard guard;
    register_doubles();
    auto device = std::make_shared<FakeHostDevice>(hw::Tolmar_v2, fake_mesh(IpVersion::v2, cnps(2)));
    ModelBuilder model;
    model.input("in", 4, 1, 1);
    model.conv("c1", "in");
    model.model().map(device);
    ASSERT_EQ(model.model().sequences().size(), 1u);
    EXPECT_EQ(model.model().sequences().front()->name(), "HW/in-c1");

    // The fake answers 200 plus the sum of a sample's bytes: 4s, 4s + 1, 4s + 2, 4s + 3 sum to 16s + 6.
    struct Row {
        uint32_t batch_size;
        std::vector<std::string> calls;
    };
    Row const rows[] = {
        {0, {"program", "batch 3", "forward"}},  // programmed once, by the first run
        {0, {"batch 3", "forward"}},
        {1, {"batch 1", "forward", "batch 1", "forward", "batch 1", "forward"}},
        {2, {"batch 2", "forward", "batch 1", "forward"}},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.batch_size);
        device->fake().calls.clear();
        auto const out = model.model().forward(three_samples(), row.batch_size);
        EXPECT_EQ(device->fake().calls, row.calls);
        EXPECT_EQ(out->type(), TensorType::int32);
        EXPECT_EQ(out->dimensions(), (Shape{3, 1, 1, 1}));
        EXPECT_EQ(values_of(*out), (std::vector<double>{206, 222, 238}));
    }

    // A program loaded by someone else is replaced once.
    device->fake().loaded.assign({1, 2, 3});
    device->fake().calls.clear();
    model.model().forward(three_samples());
    model.model().forward(three_samples());
    EXPECT_EQ(device->fake().calls,
              (std::vector<std::string>{"program", "batch 3", "forward", "batch 3", "forward"}));
}

TEST(ModelRun, LearningIsSwitchedOnlyForFit) {
    HooksGuard guard;
    register_doubles();
    std::vector<np::Info> nps = cnps(1);
    nps.push_back({{2, 0, 0, 0}, {hw::Type::FNP3}, true});
    auto device = std::make_shared<FakeHostDevice>(hw::Tolmar_v2, fake_mesh(IpVersion::v2, nps));
    FcModel model;
    (*model).map(device);
    ASSERT_EQ((*model).sequences().size(), 1u);

    (*model).forward(three_samples());
    // The second-generation device runs fit, then refuses to read the learned variables back.
    testing::expect_runtime_error([&] { (*model).fit(three_samples(), {1}); }, "Learning not implemented on v2.");
    (*model).forward(three_samples(), 2);
    EXPECT_EQ(device->fake().calls,
              (std::vector<std::string>{"program", "batch 3", "forward", "batch 3", "learn on", "fit", "batch 2",
                                        "learn off", "forward", "batch 1", "forward"}));
}

}  // namespace
// A mapped program describes the graph and learning it was made from: changing either drops it.
TEST(ModelRun, ChangingTheModelDropsItsMapping) {
    using Change = void (*)(Model&);
    Change const changes[] = {
        [](Model& m) { m.pop_layer(); },
        [](Model& m) { m.compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", 2}})); },
        [](Model& m) {
            m.add(Layer::create(LayerParams::create(LayerType::Dequantizer, {}).get(), "deq"));
        },
    };
    HooksGuard guard;
    for (size_t i = 0; i < std::size(changes); ++i) {
        SCOPED_TRACE(i);
        FcModel model;
        Log log;
        map_scripted(*model, host_device(), {std::make_shared<ScriptedSequence>("A", &log, echo(10))});
        ASSERT_EQ((*model).sequences().size(), 1u);
        changes[i](*model);
        EXPECT_TRUE((*model).sequences().empty());
        EXPECT_EQ((*model).device(), nullptr);
    }
}

}  // namespace nuvra
