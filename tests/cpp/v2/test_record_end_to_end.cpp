// A model mapped onto a virtual second-generation device: the mapper, the program builder and the
// recorders fit together.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "backends/ip_version_backend.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "program/hrc_input.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/model_builder.h"
#include "support/ops_test_util.h"
#include "support/record_test_util.h"
#include "support/v2_checks.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::ModelBuilder;
using namespace nuvra::testing;

// A device with the HRC, `count` NPs (16 by default), 4 a column (all in one, numbered on, with
// `one_column`), that can serve as CNP, FNP3 or TNP-B, and two skip-DMA engines of four channels.
std::shared_ptr<FakeDevice> every_kind_device(uint8_t count = 16, bool one_column = false) {
    std::vector<np::Info> nps;
    for (uint8_t i = 0; i < count; ++i)
        nps.push_back({one_column ? hw::Ident{1, 0, i, 0} : hw::Ident{uint8_t(1 + i / 4), 0, uint8_t(i % 4), 0},
                       {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3, hw::Type::TNP_B},
                       true});
    std::vector<np::Info> skip_dmas;
    for (uint8_t row = 0; row < 2; ++row)
        skip_dmas.push_back({{5, row, 0, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, true});
    return make_fake_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0},
                                                np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps, skip_dmas));
}

// Every weight of the model's layers non-zero.
void fill_weights(Model const& model) {
    for (auto const& layer : model.layers()) {
        if (!layer->variables().has("weights")) continue;
        auto weights = layer->variables().get("weights");
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 5) - 2);
    }
}

// The HRC, a depthwise convolution, the two buffered temporal kinds on TNP-Bs with their frame
// buffers, and a Dense1D on an FNP3 that reads a CNP's rows, on every_kind_device.
TEST(RecordEndToEnd, EveryNpKindOnOnePass) {
    auto const device = every_kind_device();
    // in (8 x 8 x 3) -> HRC 3 x 3 -> depthwise 3 x 3 -> BufferTempConv (FIFO 2) ->
    // DepthwiseBufferTempConv (FIFO 3) -> Conv2D 3 x 3 -> Dense1D, 8 filters each.
    ModelBuilder model;
    model.input("in", 3);
    model.layer(LayerType::InputConv2D, "ic", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}},
                {"in"});
    model.layer(LayerType::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"padding", 1}, {"activation", 1}}, {"ic"});
    model.layer(LayerType::BufferTempConv, "btc", {{"fifo_size", 2}, {"filters", 8}, {"activation", 1}}, {"dw"});
    model.layer(LayerType::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 3}, {"activation", 1}}, {"btc"});
    model.layer(LayerType::Conv2D, "c", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}},
                {"dbtc"});
    model.layer(LayerType::Dense1D, "fc", {{"units", 10}}, {"c"});
    fill_weights(model.model());
    register_mapping_backend();
    model.model().map(device);
    ASSERT_EQ(model.model().sequences().size(), 1u);
    auto const records = pass_records(model.model().sequences().front()->program());

    // SCC, the input, then the six layers; the temporal layers' skip-DMA blocks (target 11) first.
    ASSERT_EQ(records.size(), 8u);
    std::vector<std::vector<int>> const targets{{8, 8, 8}, {}, {8, 8, 9, 8, 9, 8, 9, 8, 9, 8, 8, 8},
                                                {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 1, 2, 5}, {7, 2, 6}};
    for (size_t i = 0; i < records.size(); ++i) {
        std::vector<int> np_targets = targets_of(records[i]);
        size_t skip = 0;
        while (skip < np_targets.size() && np_targets[skip] == int(dma::Target::SkipDma)) ++skip;
        EXPECT_EQ(skip > 0, i == 4 || i == 5) << i;
        EXPECT_EQ(std::vector<int>(np_targets.begin() + long(skip), np_targets.end()), targets[i]) << i;
    }
    // The Conv2D's NP sends to the Dense1D's NP, wherever the mapper put it.
    std::vector<uint32_t> const& regs = records[6][records[6].size() - 4].words;
    uint32_t const fc_col = records[7][0].header.ident.col;
    EXPECT_EQ(field_of(regs[45], 0, 16), fc_col << 8 | fc_col);
    // The HRC's weight planes (the recorder tests use zero weights).
    auto const planes = format_hrc_weights(*model["ic"]->variables().get("weights")->ensure_dense());
    for (size_t plane = 0; plane < 3; ++plane) EXPECT_EQ(records[2][2 + 2 * plane].words, planes[plane]) << plane;
}

// A ReLU ceiling written to an InputConv2D and a Dense1D reaches the HRC's activation memory and
// the FNP's neuron records; one of zeros gives the very program of none; a shift the NPs cannot
// hold in 5 bits is refused.
TEST(RecordEndToEnd, ReluCeilingsReachTheHrcAndFnpRecords) {
    using Bytes = std::vector<uint8_t>;
    struct Ceiling { Bytes max_value, max_value_shift; };
    // in (8 x 8 x 3) -> HRC 3 x 3 -> Conv2D -> Dense1D, each of 4 filters or units, with a ReLU.
    auto const program = [](std::optional<Ceiling> const& ic, std::optional<Ceiling> const& fc) {
        ModelBuilder model;
        model.input("in", 3);
        model.layer(LayerType::InputConv2D, "ic",
                    {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}, {"activation", 1}}, {"in"});
        model.layer(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}, {"activation", 1}},
                    {"ic"});
        model.layer(LayerType::Dense1D, "fc", {{"units", 4}, {"activation", 1}}, {"c"});
        for (auto const& [name, ceiling] : {std::pair{"ic", ic}, {"fc", fc}}) {
            if (!ceiling) continue;
            model[name]->variables().assign("max_value", u8(ceiling->max_value));
            model[name]->variables().assign("max_value_shift", u8(ceiling->max_value_shift));
        }
        fill_weights(model.model());
        register_mapping_backend();
        model.model().map(every_kind_device());
        auto const bytes = model.model().sequences().front()->program();
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    };
    std::vector<uint8_t> const unset = program(std::nullopt, std::nullopt);
    Ceiling const zeros{{0, 0, 0, 0}, {0, 0, 0, 0}}, ceiling{{3, 0, 255, 128}, {2, 31, 0, 17}};
    EXPECT_EQ(program(zeros, zeros), unset);

    std::vector<uint8_t> const ceiled = program(ceiling, ceiling);
    ASSERT_EQ(ceiled.size(), unset.size());
    auto const records = pass_records(ceiled);
    ASSERT_EQ(records.size(), 5u);  // SCC, the input, ic, c, fc
    ASSERT_EQ(targets_of(records[2]), (std::vector<int>{8, 8, 9, 8, 9, 8, 9, 8, 9, 8, 8, 8}));
    // Two words per filter: max_value's bit 0 at bit 19 and the shift at bits 14-18, then the rest of
    // max_value at bits 0-6 (every other activation value is 0).
    EXPECT_EQ(records[2][8].words,
              (std::vector<uint32_t>{0x88000, 0x01, 0x7C000, 0x00, 0x80000, 0x7F, 0x44000, 0x40}));
    // Word 0 of each neuron record: max_value in bits 16-23, the shift in bits 24-31.
    ASSERT_EQ(targets_of(records[4]), (std::vector<int>{7, 2, 6}));
    std::vector<uint32_t> const& neurons = records[4][2].words;
    size_t const record_words = neurons.size() / 4;
    std::vector<uint32_t> word0;
    for (size_t n = 0; n < 4; ++n) word0.push_back(neurons[n * record_words]);
    EXPECT_EQ(word0, (std::vector<uint32_t>{0x02030000, 0x1F000000, 0x00FF0000, 0x11800000}));

    Ceiling const six_bits{{1, 1, 1, 1}, {0, 32, 0, 0}};
    std::string const refusal = "Variable max_value_shift needs 6 bits, but at most 5 bits are supported.";
    EXPECT_EQ(error_text<std::runtime_error>([&] { program(six_bits, std::nullopt); }),
              "Cannot map layer 'ic'. " + refusal);
    EXPECT_EQ(error_text<std::runtime_error>([&] { program(std::nullopt, six_bits); }),
              "Cannot map layer 'fc'. " + refusal);
}

// The program of in (8 x 8 x 4) -> `type` "c" of 4 filters with `activation` (a TNP-B kind after a
// Conv2D), the weights of fill_weights and the variables `values` written; with `refusal`, the
// mapping's refusal text instead (and nothing left mapped).
std::vector<uint8_t> single_layer_program(LayerType type, int activation,
                                          std::vector<std::pair<char const*, std::shared_ptr<Dense>>> const& values,
                                          std::string* refusal = nullptr, int weights_bits = 8) {
    ModelBuilder model;
    model.input("in", 4);
    std::map<std::string, int> params{{"activation", activation}, {"filters", 4}, {"weights_bits", weights_bits}};
    std::string inbound = "in";
    if (type == LayerType::Dense1D) {
        params = {{"activation", activation}, {"units", 4}, {"weights_bits", weights_bits}, {"output_bits", 4}};
    } else if (type == LayerType::BufferTempConv) {
        // A TNP-B reads its frames from a CNP's output.
        params.insert({"fifo_size", 2});
        model.layer(LayerType::Conv2D, "cnp", {{"kernel_size", 1}, {"filters", 4}, {"padding", 1}, {"activation", 1}},
                    {"in"});
        inbound = "cnp";
    } else {
        params.insert({{"kernel_size", 3}, {"padding", 1}});
    }
    model.layer(type, "c", params, {inbound});
    fill_weights(model.model());
    for (auto const& [name, value] : values) model["c"]->variables().assign(name, value);
    register_mapping_backend();
    std::string const text = error_text<std::runtime_error>([&] { model.model().map(every_kind_device()); });
    if (refusal) {
        *refusal = text;
        EXPECT_EQ(model["c"]->mapping() == nullptr, !text.empty());
        return {};
    }
    EXPECT_EQ(text, "");
    if (!text.empty()) return {};
    auto const bytes = model.model().sequences().front()->program();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Mended: a ReLU's ceiling pair and a LUT's look-up pair share bits of the CNP and TNP-B variable
// image, and the pair the activation does not read overwrote the one it reads. Each row maps two
// values of one variable: the programs differ when the activation reads it.
TEST(RecordEndToEnd, TheVariableImageHoldsThePairTheActivationReads) {
    // `other`: the value mapped beside 1.
    struct Row { LayerType type; int activation; char const* name; bool read; uint8_t other = 3; };
    Row const rows[] = {
        {LayerType::Conv2D, 1, "max_value_shift", true},
        {LayerType::Conv2D, 1, "activation_scales", false},
        {LayerType::Conv2D, 1, "activation_scales", false, 129},  // bit 7 lies beyond the shared bits
        {LayerType::BufferTempConv, 1, "max_value_shift", true},
        {LayerType::Conv2D, 2, "activation_scales", true},
        {LayerType::Conv2D, 2, "max_value", false},
        {LayerType::Conv2D, 0, "max_value", true},  // without activation the image holds both pairs, as ever
    };
    for (Row const& row : rows) {
        auto const program = [&](uint8_t value) {
            return single_layer_program(row.type, row.activation,
                                        {{"max_value", u8({5, 5, 5, 5})}, {row.name, u8({value, 3, 3, 3})}});
        };
        EXPECT_EQ(program(1) != program(row.other), row.read) << row.name << " " << row.activation;
    }
}

// Mended: values a field of the program cannot hold mapped to the program of other values.
TEST(RecordEndToEnd, ValuesTheImageCannotHoldAreRefused) {
    struct Row {
        LayerType type;
        int activation, weights_bits;
        char const* name;
        std::shared_ptr<Dense> value;
        std::string refusal;
    };
    auto const conv_weights = [](int8_t weight) { return i8({3, 3, 4, 4}, std::vector<int8_t>(144, weight)); };
    Row const rows[] = {
        {LayerType::Conv2D, 2, 8, "activation_shift", i8({32, 0, 0, 0}), "32 cannot fit in a 6-bit signed integer."},
        {LayerType::Conv2D, 2, 8, "activation_shift", i8({0, -33, 0, 0}), "-33 cannot fit in a 6-bit signed integer."},
        {LayerType::Conv2D, 2, 8, "activation_shift", i8({31, -32, 0, 0}), ""},
        {LayerType::Conv2D, 1, 8, "activation_shift", i8({32, 0, 0, 0}), ""},  // a ReLU does not read it
        {LayerType::Conv2D, 1, 4, "weights", conv_weights(8), "8 cannot fit in a 4-bit signed integer."},
        {LayerType::Conv2D, 1, 4, "weights", conv_weights(-9), "-9 cannot fit in a 4-bit signed integer."},
        {LayerType::Conv2D, 1, 4, "weights", conv_weights(-8), ""},
        {LayerType::Dense1D, 1, 4, "weights", i8({256, 4}, std::vector<int8_t>(1024, 17)),
         "17 cannot fit in a 4-bit signed integer."},
    };
    for (Row const& row : rows) {
        std::string refusal;
        single_layer_program(row.type, row.activation, {{row.name, row.value}}, &refusal, row.weights_bits);
        EXPECT_EQ(refusal, row.refusal.empty() ? "" : "Cannot map layer 'c'. " + row.refusal) << row.name;
    }
}

// Mended: merges whose reader cannot tell their inputs apart mapped: inbounds of two widths read
// at one, a third inbound dropped, a deeper first inbound read where the skip data lands. And a
// merge read by two layers at one depth stopped at a register guard ("Dual output store should not
// be null."), or, when the layer that merges it also stores its own output for the next merge,
// mapped with that store writing the merged data and the next merge's load reading a channel no
// store writes.
TEST(RecordEndToEnd, MergesTheReaderCannotTellApartAreRefused) {
    using Params = std::map<std::string, int>;
    struct Node { char const* name; LayerType type; std::vector<std::string> inbounds; Params params = {}; };
    auto const conv = [](char const* name, char const* in, int kernel, Params more = {}) {
        return Node{name, LayerType::Conv2D, {in},
                      with({{"kernel_size", kernel}, {"filters", 4}, {"padding", 1}, {"activation", 1}}, more)};
    };
    auto const merge = [](LayerType type, std::vector<std::string> inbounds) {
        return Node{"merge", type, std::move(inbounds)};
    };
    std::string const branches = "Cannot map layer '':\n  * Bad mapping on skip connection. Several branches.\n"
                                 "  * Layer 'merge': ";
    std::string const read_at_one_depth =
        "Layers 'l4' and 'l5' read its output at one depth, which is not supported: besides one layer, only an Add "
        "or a Concatenate may read it. Let one layer read it and branch after that layer.";
    // l1 -> l2, `kind` "merge" of both -> l4, l5 (both read it) -> `rejoin` Add "a2" -> l7.
    auto const diamond = [&](LayerType kind, std::vector<std::string> rejoin, char const* between = nullptr) {
        std::vector<Node> nodes{conv("l1", "in", 1), conv("l2", "l1", 1), merge(kind, {"l1", "l2"})};
        if (between) nodes.push_back(conv(between, "merge", 1));
        char const* const split = between ? between : "merge";
        nodes.insert(nodes.end(), {conv("l4", split, 1), conv("l5", split, 1), Node{"a2", LayerType::Add, rejoin},
                                   conv("l7", "a2", 1)});
        return nodes;
    };
    struct Row { char const* name; int side; std::vector<Node> layers; std::string refusal; };
    Row const rows[] = {
        {"add of 8 and 4 bits", 4,
         {conv("l1", "in", 1), conv("l2", "l1", 1, {{"output_bits", 4}}), merge(LayerType::Add, {"l1", "l2"}),
          conv("l4", "merge", 1, {{"weights_bits", 4}})},
         branches + "Add inbounds must be 8-bit. Layer 'l2' is 4-bit."},
        {"add of 8 bits", 4, {conv("l1", "in", 1), conv("l2", "l1", 1), merge(LayerType::Add, {"l1", "l2"}),
                              conv("l4", "merge", 1)}, ""},
        {"concatenate of three", 12,
         {conv("l1", "in", 3), conv("l2", "l1", 1), conv("l3", "l2", 1),
          merge(LayerType::Concatenate, {"l2", "l1", "l3"}), conv("l5", "merge", 3)},
         branches + "Concatenate has 3 inbounds. A maximum of 2 inbounds is supported."},
        {"concatenate, deeper inbound first", 12,
         {conv("l1", "in", 3), conv("l2", "l1", 1, {{"filters", 8}}), merge(LayerType::Concatenate, {"l2", "l1"}),
          conv("l4", "merge", 3)},
         branches +
             "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound that is mappable on "
             "a CNP.\n  * Layer 'merge': A Concatenate's deeper inbound must come second. Layer 'l2' is deeper than "
             "layer 'l1'."},
        {"concatenate, deeper inbound second", 12,
         {conv("l1", "in", 3), conv("l2", "l1", 1, {{"filters", 8}}), merge(LayerType::Concatenate, {"l1", "l2"}),
          conv("l4", "merge", 3)},
         ""},
        {"add read by two layers at one depth", 8, diamond(LayerType::Add, {"l5", "l4"}), branches + read_at_one_depth},
        {"add read by two layers at one depth, the merging one skipped", 8, diamond(LayerType::Add, {"l4", "l5"}),
         branches + read_at_one_depth},
        {"concatenate read by two layers at one depth", 8, diamond(LayerType::Concatenate, {"l5", "l4"}),
         branches + read_at_one_depth},
        {"add read by one layer that two read", 8, diamond(LayerType::Add, {"l5", "l4"}, "l3"), ""},
        // A third reader is refused for the count of its readers alone.
        {"add read by three layers at one depth", 8,
         {conv("l1", "in", 1), conv("l2", "l1", 1), merge(LayerType::Add, {"l1", "l2"}), conv("l4", "merge", 1),
          conv("l5", "merge", 1), conv("l6", "merge", 1), Node{"a2", LayerType::Add, {"l5", "l4"}},
          conv("l8", "a2", 1), Node{"a3", LayerType::Add, {"l6", "l8"}}, conv("l9", "a3", 1)},
         branches + "Layer has 3 outbounds. A maximum of 2 outbounds is supported."},
    };
    register_mapping_backend();
    for (Row const& row : rows) {
        ModelBuilder m;
        m.input("in", 4, row.side, row.side);
        for (Node const& layer : row.layers) m.layer(layer.type, layer.name, layer.params, layer.inbounds);
        fill_weights(m.model());
        EXPECT_EQ(error_text<std::runtime_error>([&] { m.model().map(every_kind_device()); }), row.refusal) << row.name;
        EXPECT_EQ(m.model().sequences().empty(), !row.refusal.empty()) << row.name;
        for (auto const& layer : m.model().layers())
            EXPECT_EQ(layer->mapping() == nullptr, !row.refusal.empty()) << row.name << " " << layer->get_name();
    }
}

// Mended: a skip-DMA load named a store channel its producer's store does not write when the pass
// boundary fell inside the skip, or one a TNP-B frame buffer's store writes too. Such a model is
// refused and leaves nothing mapped; a model that maps has each load of a pass read a channel that
// one store of the pass writes.
TEST(RecordEndToEnd, EachSkipLoadReadsTheOneStoreOfItsChannel) {
    auto const conv = [](ModelBuilder& m, std::string const& name, int kernel, std::string const& inbound) {
        m.layer(LayerType::Conv2D, name, {{"kernel_size", kernel}, {"filters", 4}, {"padding", 1}, {"activation", 1}},
                {inbound});
    };
    // in (12 x 12 x 4) -> l1 3 x 3 -> l2, l3, l4 1 x 1 -> l5 Add(l1, l4) -> l6 3 x 3: on four NPs
    // the second pass starts at l5.
    auto const skip = [&](ModelBuilder& m) {
        m.input("in", 4, 12, 12);
        conv(m, "l1", 3, "in");
        conv(m, "l2", 1, "l1");
        conv(m, "l3", 1, "l2");
        conv(m, "l4", 1, "l3");
        m.add("l5", "l1", "l4");
        conv(m, "l6", 3, "l5");
    };
    // in (12 x 12 x 4) -> l1 3 x 3 (the skip) -> [l2 3 x 3] -> t, a DepthwiseBufferTempConv at
    // `position` in the pass -> l4 -> l5 Add(l1, l4) -> l6: the frame buffer stores on that channel.
    auto const temporal = [&](int position) {
        return [&, position](ModelBuilder& m) {
            m.input("in", 4, 12, 12);
            conv(m, "l1", 3, "in");
            if (position == 3) conv(m, "l2", 3, "l1");
            m.layer(LayerType::DepthwiseBufferTempConv, "t", {{"fifo_size", 2}, {"activation", 1}},
                    {position == 3 ? "l2" : "l1"});
            conv(m, "l4", 3, "t");
            m.add("l5", "l1", "l4");
            conv(m, "l6", 3, "l5");
        };
    };
    // in (8 x 8 x 4) -> l1, a DepthwiseBufferTempConv -> l2, l3 1 x 1 -> l4 Add(l2, l3) -> l5 1 x 1:
    // on two NPs the skip from l2 is cut too, and l1's frame buffer, fed by the host, has no NPs to
    // route its store to.
    auto const unroutable_then_cut = [&](ModelBuilder& m) {
        m.input("in", 4);
        m.layer(LayerType::DepthwiseBufferTempConv, "l1", {{"fifo_size", 2}, {"activation", 1}}, {"in"});
        conv(m, "l2", 1, "l1");
        conv(m, "l3", 1, "l2");
        m.add("l4", "l2", "l3");
        conv(m, "l5", 1, "l4");
    };
    // in (8 x 8 x 4) -> l1 -> l2 -> l3 Add(l1, l2) -> l4 -> l5 -> l6 Add(l3, l5) -> l7, all 1 x 1:
    // l4 merges l3 and stores the merged data for l6, whose reader l7 loads it.
    auto const add_read_through_a_skip = [&](ModelBuilder& m) {
        m.input("in", 4);
        conv(m, "l1", 1, "in");
        conv(m, "l2", 1, "l1");
        m.add("l3", "l1", "l2");
        conv(m, "l4", 1, "l3");
        conv(m, "l5", 1, "l4");
        m.add("l6", "l3", "l5");
        conv(m, "l7", 1, "l6");
    };
    // The same with l1 a DepthwiseBufferTempConv or a Conv2D, then l5 -> c1 1 x 1 (the skip) -> t, a
    // DepthwiseBufferTempConv -> c4 -> Add(c1, c4) -> c5: on two NPs t's frame buffer meets c1's
    // skip store on channel 1 of the last pass, which cannot be set up.
    auto const then_shared_channel = [&](bool unroutable) {
        return [&, unroutable](ModelBuilder& m) {
            if (unroutable) {
                unroutable_then_cut(m);
            } else {
                m.input("in", 4);
                conv(m, "l1", 1, "in");
                conv(m, "l2", 1, "l1");
                conv(m, "l3", 1, "l2");
                m.add("l4", "l2", "l3");
                conv(m, "l5", 1, "l4");
            }
            conv(m, "c1", 1, "l5");
            m.layer(LayerType::DepthwiseBufferTempConv, "t", {{"fifo_size", 2}, {"activation", 1}}, {"c1"});
            conv(m, "c4", 1, "t");
            m.add("add", "c1", "c4");
            conv(m, "c5", 1, "add");
        };
    };
    // in (8 x 8 x 4) -> l1 3 x 3 -> l2 -> l3 and l1 -> l4 -> l5, two equal branches, -> l6 Add or
    // Concatenate of (l3, l5) (of (l5, l3) with `swapped`) -> l7: on four NPs the second pass starts
    // at l5, so the boundary cuts the branch of l4 and l5.
    auto const equal_branches = [&](LayerType merge, bool swapped) {
        return [&, merge, swapped](ModelBuilder& m) {
            m.input("in", 4);
            conv(m, "l1", 3, "in");
            conv(m, "l2", 3, "l1");
            conv(m, "l3", 3, "l2");
            conv(m, "l4", 3, "l1");
            conv(m, "l5", 3, "l4");
            std::vector<std::string> const inbounds{"l3", "l5"};
            m.layer(merge, "l6", {}, swapped ? std::vector<std::string>(inbounds.rbegin(), inbounds.rend()) : inbounds);
            conv(m, "l7", 3, "l6");
        };
    };
    // in (8 x 8 x 4) -> l1 3 x 3 -> l2 -> l3 -> l4 and l2 -> l5 -> l6 -> l7 Add or Concatenate of
    // (l6, l4) -> l8, 1 x 1: on six NPs the second pass starts at l8, so the boundary cuts l4's
    // output, which l5 and l6 are recorded after. In one column, where the NPs are numbered 0 to 5,
    // a one-hot NP id that l6's registers hold does not fit its 4-bit field.
    auto const branch_before_a_refusal = [&](LayerType merge) {
        return [&, merge](ModelBuilder& m) {
            m.input("in", 4);
            conv(m, "l1", 3, "in");
            conv(m, "l2", 1, "l1");
            conv(m, "l3", 1, "l2");
            conv(m, "l4", 1, "l3");
            conv(m, "l5", 1, "l2");
            conv(m, "l6", 1, "l5");
            m.layer(merge, "l7", {}, {"l6", "l4"});
            conv(m, "l8", 1, "l7");
        };
    };
    // in (8 x 8 x 4) -> the equal branches, cut, rejoined by l6 Add(l5, l3) -> l7 3 x 3, then
    // l8, a DepthwiseBufferTempConv of l7 -> l9 3 x 3 -> l10 Add(l7, l9) -> l11 -> l12: on four NPs
    // the frame buffer's pass cannot be set up.
    auto const cut_branch_then_shared_channel = [&](ModelBuilder& m) {
        m.input("in", 4);
        conv(m, "l1", 3, "in");
        conv(m, "l2", 1, "l1");
        conv(m, "l3", 1, "l2");
        conv(m, "l4", 3, "l1");
        conv(m, "l5", 1, "l4");
        m.add("l6", "l5", "l3");
        conv(m, "l7", 3, "l6");
        m.layer(LayerType::DepthwiseBufferTempConv, "l8", {{"fifo_size", 2}, {"activation", 1}}, {"l7"});
        conv(m, "l9", 3, "l8");
        m.add("l10", "l7", "l9");
        conv(m, "l11", 1, "l10");
        conv(m, "l12", 1, "l11");
    };
    std::string const second_branch =
        "Hardware partial reconfiguration with layers on the second branch is not supported.";
    // loads: the skip-DMA loads of the program.
    struct Row { char const* what; std::function<void(ModelBuilder&)> build; uint8_t nps; std::string refusal;
                 size_t loads; bool one_column = false; };
    Row const rows[] = {
        {"skip over the pass boundary", skip, 4, "Cannot map layer 'l6'. " + second_branch, 0},
        // Mended: the cut skip's refusal, found as the second pass was set up, hid l1's own.
        {"a layer before the cut refused for itself", unroutable_then_cut, 2,
         "Cannot map layer 'l1'. Error: Merging layer has no CNPs.", 0},
        // Mended: the same, with a later pass that cannot be set up, named only the cut skip and that pass.
        {"a layer refused for itself before a pass that cannot be set up", then_shared_channel(true), 2,
         "Cannot map layer 'l1'. Error: Merging layer has no CNPs.", 0},
        {"a cut skip before a pass that cannot be set up", then_shared_channel(false), 2,
         "Cannot map layer 'l5':\n  * Layer 'l5': " + second_branch +
             "\n  * Layer 't': Layers 'c1' and 't' would store on one skip-DMA channel (1).",
         0},
        // Mended: l4, whose output the boundary cuts off, failed its record in the router's words
        // ("Error: Cannot route an NP without destinations.").
        {"equal branches to an Add, cut", equal_branches(LayerType::Add, false), 4,
         "Cannot map layer 'l7'. " + second_branch, 0},
        {"equal branches to a Concatenate, cut", equal_branches(LayerType::Concatenate, false), 4,
         "Cannot map layer 'l7'. " + second_branch, 0},
        {"equal branches to an Add the other way round, cut", equal_branches(LayerType::Add, true), 4,
         "Cannot map layer 'l4'. " + second_branch, 0},
        // Mended: the cut branch, refused as the program met l4, hid l6's own refusal.
        {"a branch cut before a layer refused for itself, Add", branch_before_a_refusal(LayerType::Add), 6,
         "Cannot map layer 'l6'. Error: Attempted to write value 32 into a 4-bit field, which will cause an overflow.",
         0, true},
        {"a branch cut before a layer refused for itself, Concatenate", branch_before_a_refusal(LayerType::Concatenate),
         6, "Cannot map layer 'l6'. Error: Attempted to write value 32 into a 4-bit field, which will cause an overflow.",
         0, true},
        {"a branch cut, Add", branch_before_a_refusal(LayerType::Add), 6, "Cannot map layer 'l8'. " + second_branch, 0},
        {"a branch cut that the next pass reads first", branch_before_a_refusal(LayerType::Add), 4,
         "Cannot map layer 'l2'. " + second_branch, 0},
        {"a cut branch before a pass that cannot be set up", cut_branch_then_shared_channel, 4,
         "Cannot map layer 'l8'. Layers 'l7' and 'l8' would store on one skip-DMA channel (3).", 0},
        {"equal branches in one pass", equal_branches(LayerType::Add, false), 16, "", 1},
        {"skip within one pass", skip, 16, "", 1},
        {"frame buffer on the skip's channel", temporal(3), 16,
         "Cannot map layer 't'. Layers 'l1' and 't' would store on one skip-DMA channel (3).", 0},
        {"frame buffer on a channel of its own", temporal(2), 16, "", 2},
        {"an add read by a layer and, through a skip, by the next add", add_read_through_a_skip, 16, "", 2},
    };
    register_mapping_backend();
    for (Row const& row : rows) {
        SCOPED_TRACE(row.what);
        ModelBuilder m;
        row.build(m);
        fill_weights(m.model());
        EXPECT_EQ(error_text<std::runtime_error>([&] { m.model().map(every_kind_device(row.nps, row.one_column)); }),
                  row.refusal);
        size_t mapped = 0;
        for (auto const& layer : m.model().layers()) mapped += layer->mapping() != nullptr;
        EXPECT_EQ(mapped == 0, !row.refusal.empty());
        EXPECT_EQ(m.model().sequences().empty(), !row.refusal.empty());
        size_t load_count = 0;
        for (auto const& sequence : m.model().sequences()) {
            ProgramInfo const info(sequence->program().data(), sequence->program().size());
            for (auto const* pass : *info.info().passes()) {
                std::vector<uint8_t> stored, loaded;
                if (auto const* stores = pass->skipdma_stores())
                    for (auto const* store : *stores) stored.push_back(store->skip_channel());
                if (auto const* loads = pass->skipdma_loads())
                    for (auto const* load : *loads) loaded.push_back(load->skip_channel());
                for (uint8_t channel : loaded) EXPECT_EQ(std::count(stored.begin(), stored.end(), channel), 1) << +channel;
                load_count += loaded.size();
            }
        }
        EXPECT_EQ(load_count, row.loads);
    }
}

}  // namespace
}  // namespace nuvra::v2
