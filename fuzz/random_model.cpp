#include "random_model.h"

#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/layer.h"
#include "engine/params.h"
#include "hw/presets.h"
#include "support/fake_device.h"

namespace nuvra::fuzz {

namespace {

// A parameter, the values a kind takes for it and the value the hardware usually wants (the
// fuzzer also tries values outside the range). A size (kernel, stride, filters, units, channels,
// frames) sizes the variables Model::add creates, which the caller asked for (a transposed
// layer's output grows with its stride, and a dense layer after it with that): its odd values
// stay small enough to allocate and scan in a moment.
struct Key {
    char const* name;
    int32_t lo;
    int32_t hi;
    int32_t usual;
    bool size = false;
};

struct Kind {
    LayerType type;
    std::vector<Key> keys;
    size_t min_inbounds = 1;
    size_t max_inbounds = 1;
};

constexpr Key kActivation{"activation", 0, 2, 1}, kOutputBits{"output_bits", 1, 8, 8},
    kWeightsBits{"weights_bits", 1, 8, 8}, kFilters{"filters", 1, 16, 8, true}, kKernel{"kernel_size", 1, 7, 3, true},
    kStride{"kernel_stride", 1, 3, 1, true}, kPadding{"padding", 0, 2, 1}, kPoolType{"pool_type", 0, 2, 0},
    kPoolSize{"pool_size", -1, 3, 2}, kPoolStride{"pool_stride", 1, 3, 2}, kFifo{"fifo_size", 1, 14, 2, true},
    kUnits{"units", 1, 16, 8, true}, kActBits{"act_bits", 1, 4, 4}, kTransposeKernel{"kernel_size", 1, 4, 3, true};
// The first generation's convolution keys.
std::vector<Key> const kV1Conv{
    {"kernel_width", 1, 5, 3, true}, {"kernel_height", 1, 5, 3, true}, {"filters", 1, 16, 8, true},
    {"stride_x", 1, 3, 1},           {"stride_y", 1, 3, 1},            kPadding,
    kWeightsBits,                    {"activation", 0, 1, 1},          kActBits,
    kPoolType,                       {"pooling_width", -1, 3, 2},      {"pooling_height", -1, 3, 2},
    {"pooling_stride_x", -1, 3, 2},  {"pooling_stride_y", -1, 3, 2}};
std::vector<Key> const kInputShape{
    {"input_width", 1, 16, 8, true}, {"input_height", 1, 16, 8, true}, {"input_channels", 1, 8, 3, true}};
constexpr Key kPaddingValue{"padding_value", 0, 255, 0};

std::vector<Key> joined(std::vector<Key> a, std::vector<Key> const& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every kind the engine has; the input kinds first.
std::vector<Kind> const& kinds() {
    static std::vector<Kind> const table{
        {LayerType::InputData, joined(kInputShape, {{"input_bits", 1, 8, 8}, {"input_signed", 0, 1, 0}}), 0, 0},
        {LayerType::InputConvolutional, joined(kInputShape, joined(kV1Conv, {kPaddingValue})), 0, 0},
        {LayerType::FullyConnected, {kUnits, kWeightsBits, {"activation", 0, 1, 1}, kActBits}},
        {LayerType::Convolutional, kV1Conv},
        {LayerType::SeparableConvolutional, kV1Conv},
        {LayerType::Add, {kOutputBits}, 2, 2},
        {LayerType::Concatenate, {}, 2, 3},
        {LayerType::Conv2D,
         {kKernel, kFilters, kStride, kPadding, kWeightsBits, kActivation, kOutputBits, kPoolType, kPoolSize,
          kPoolStride}},
        {LayerType::InputConv2D,
         {kKernel, kFilters, kStride, kPadding, kWeightsBits, kActivation, kOutputBits, kPoolType, kPoolSize,
          kPoolStride}},
        {LayerType::DepthwiseConv2D,
         {kKernel, kFilters, kStride, kPadding, kWeightsBits, kActivation, kOutputBits, kPoolType, kPoolSize,
          kPoolStride}},
        {LayerType::Conv2DTranspose, {kTransposeKernel, kFilters, kStride, kWeightsBits, kActivation, kOutputBits}},
        {LayerType::DepthwiseConv2DTranspose, {kTransposeKernel, kFilters, kStride, kWeightsBits, kActivation,
                                               kOutputBits}},
        {LayerType::Dequantizer, {}},
        {LayerType::BufferTempConv, {kFifo, kFilters, kWeightsBits, kActivation, kOutputBits}},
        {LayerType::DepthwiseBufferTempConv, {kFifo, kFilters, kWeightsBits, kActivation, kOutputBits}},
        {LayerType::Dense1D, {kUnits, kWeightsBits, kActivation, kOutputBits}},
        {LayerType::StatefulRecurrent,
         {{"stateful_channels", 1, 8, 4, true}, {"output_channels", 1, 8, 4, true}, {"subsample", 1, 2, 1}, kActivation,
          kOutputBits}},
        {LayerType::Quantizer, {kOutputBits, {"output_signed", 0, 1, 1}, {"channels_first", 0, 1, 0}}},
        {LayerType::WispPostProcessing, {}, 1, 2},
        {LayerType::Unknown, {}},
    };
    return table;
}

constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
int32_t const kOddValues[] = {-2, -1, 0, 1, 15, 16, 127, 128, 255, 256, 65535, kMax, kMin};
int32_t const kOddSizes[] = {-1, 0, 17, kMin};

template <class T, size_t N>
T pick(FuzzedDataProvider& in, T const (&values)[N]) {
    return values[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

std::map<std::string, int> random_params(FuzzedDataProvider& in, Kind const& kind) {
    std::map<std::string, int> params;
    for (Key const& key : kind.keys) {
        int const mode = in.ConsumeIntegralInRange(0, 15);
        if (mode == 0) continue;  // left out: the kind's default, or refused when required
        if (mode == 1)
            params[key.name] = key.size ? pick(in, kOddSizes) : pick(in, kOddValues);
        else if (mode < 8)
            params[key.name] = key.usual;
        else
            params[key.name] = in.ConsumeIntegralInRange(key.lo, key.hi);
    }
    return params;
}

// The output shape of a built layer, or none.
Shape output_of(Layer const& layer) {
    try {
        return layer.output_dimensions();
    } catch (std::exception const&) {
        return Shape();
    }
}

// The layers a new layer reads: the last one most often; a merge's further inputs are, when the
// fuzzer says so, among those whose width and height (and channels for an Add) fit the first's.
std::vector<std::shared_ptr<Layer>> random_inbounds(FuzzedDataProvider& in, Kind const& kind,
                                                    std::vector<std::shared_ptr<Layer>> const& layers) {
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (kind.max_inbounds == 0 || layers.empty()) return inbounds;
    size_t const count = in.ConsumeIntegralInRange(kind.min_inbounds, kind.max_inbounds);
    auto any = [&] { return layers[in.ConsumeIntegralInRange<size_t>(0, layers.size() - 1)]; };
    inbounds.push_back(in.ConsumeIntegralInRange(0, 3) != 0 ? layers.back() : any());
    Shape const first = output_of(*inbounds.front());
    while (inbounds.size() < count) {
        std::vector<std::shared_ptr<Layer>> fitting;
        for (auto const& layer : layers) {
            if (layer == inbounds.front()) continue;  // a merge of a layer with itself maps nowhere
            Shape const s = output_of(*layer);
            if (s.rank() == 3 && first.rank() == 3 && s[0] == first[0] && s[1] == first[1] &&
                (kind.type != LayerType::Add || s[2] == first[2]))
                fitting.push_back(layer);
        }
        if (!fitting.empty() && in.ConsumeBool())
            inbounds.push_back(fitting[in.ConsumeIntegralInRange<size_t>(0, fitting.size() - 1)]);
        else
            inbounds.push_back(any());
    }
    return inbounds;
}

// Writes small values (0 to 3) into every element of a tensor.
void write_small(Tensor& tensor, std::minstd_rand& rng) {
    MutableBuffer const buffer = tensor.mutable_buffer();
    auto* bytes = static_cast<uint8_t*>(buffer.data);
    std::memset(bytes, 0, buffer.bytes);
    size_t const item = Tensor::item_size(tensor.type());
    if (item == 0) return;
    for (size_t at = 0; at + item <= buffer.bytes; at += item) {
        if (tensor.type() == TensorType::float32) {
            float const value = static_cast<float>(rng() % 4) * 0.5f;
            std::memcpy(bytes + at, &value, sizeof value);
        } else {
            bytes[at] = static_cast<uint8_t>(rng() % 4);
        }
    }
}

void write_random(Tensor& tensor, std::minstd_rand& rng) {
    MutableBuffer const buffer = tensor.mutable_buffer();
    auto* bytes = static_cast<uint8_t*>(buffer.data);
    for (size_t i = 0; i < buffer.bytes; ++i) bytes[i] = static_cast<uint8_t>(rng());
}

// A small tensor of another type and shape, random bytes.
std::shared_ptr<Dense> stranger(FuzzedDataProvider& in, std::minstd_rand& rng) {
    TensorType const types[] = {TensorType::int8, TensorType::uint8, TensorType::int16, TensorType::int32,
                                TensorType::float32};
    std::vector<uint32_t> dims(in.ConsumeIntegralInRange<size_t>(1, 4));
    for (auto& d : dims) d = in.ConsumeIntegralInRange<uint32_t>(1, 4);
    auto tensor = Dense::create(pick(in, types), Shape(dims), Layout::c_order);
    write_random(*tensor, rng);
    return tensor;
}

void fill_variables(FuzzedDataProvider& in, Layer& layer) {
    std::minstd_rand rng(in.ConsumeIntegral<uint32_t>());
    Variables& variables = layer.variables();
    for (auto const& name : variables.names()) {
        // Weights and look-up tables take any value; shifts and scales are mostly small.
        bool const any_value = name == "weights" || name == "lut_values";
        int const mode = in.ConsumeIntegralInRange(0, 15);
        if (mode == 0) continue;  // zeros, as created
        if (mode == 1)
            variables.set(name, stranger(in, rng));
        else if (mode < (any_value ? 4 : 12))
            write_small(*variables.get(name), rng);
        else
            write_random(*variables.get(name), rng);
    }
}

}  // namespace

std::unique_ptr<Model> random_model(FuzzedDataProvider& in) {
    std::vector<Kind> const& table = kinds();
    std::unique_ptr<Model> model = Model::create();
    size_t const count = in.ConsumeIntegralInRange<size_t>(2, 8);
    for (size_t i = 0; i < count; ++i) {
        // The first layer is an input layer, mostly InputData; the others may be of any kind.
        size_t const index = i == 0 ? size_t{in.ConsumeIntegralInRange(0, 7) == 0}
                                    : in.ConsumeIntegralInRange<size_t>(0, table.size() - 1);
        Kind const& kind = table[index];
        std::shared_ptr<Layer> layer;
        try {
            auto const params = LayerParams::create(kind.type, random_params(in, kind));
            layer = Layer::create(params.get(), "l" + std::to_string(i));
            model->add(layer, random_inbounds(in, kind, model->layers()));
        } catch (std::exception const&) {
            continue;
        }
        fill_variables(in, *layer);
    }
    return model;
}

std::shared_ptr<Device> random_device(FuzzedDataProvider& in) {
    // The generations whose back ends are part of this build.
    std::vector<IpVersion> generations;
    for (Generation const& row : built_generations())
        if (row.makers.complete()) generations.push_back(row.ip);
    IpVersion const ip = generations[in.ConsumeIntegralInRange<size_t>(0, generations.size() - 1)];
    HwVersion version = hw::Tolmar_v2;
    if (ip == IpVersion::v1) version = in.ConsumeBool() ? hw::Dorvel_v1 : hw::Vexa_v2;
    if (ip == IpVersion::wisp) version = hw::Wisp_Tolmar;

    hw::Type const np_types[] = {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP2,
                                 hw::Type::FNP3, hw::Type::TNP_B, hw::Type::TNP_R};
    std::vector<np::Info> nps(in.ConsumeIntegralInRange<size_t>(1, 16));
    for (size_t i = 0; i < nps.size(); ++i) {
        nps[i].ident = {static_cast<uint8_t>(1 + i / 4), 0, static_cast<uint8_t>(i % 4), 0};
        auto const mask = in.ConsumeIntegral<uint8_t>();
        for (size_t t = 0; t < std::size(np_types); ++t)
            if (mask >> t & 1) nps[i].types.insert(np_types[t]);
        if (nps[i].types.empty()) nps[i].types.insert(hw::Type::CNP1);
        nps[i].has_lut = in.ConsumeBool();
    }
    std::optional<np::Info> hrc;
    if (in.ConsumeBool()) hrc = np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, in.ConsumeBool()};
    std::vector<np::Info> skip_dmas(in.ConsumeIntegralInRange<size_t>(0, 2));
    for (size_t i = 0; i < skip_dmas.size(); ++i)
        skip_dmas[i] = {{5, static_cast<uint8_t>(i), 0, in.ConsumeIntegralInRange<uint8_t>(1, 4)},
                        {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD},
                        in.ConsumeBool()};

    Mesh mesh(ip, {0, 0, 0, 0}, {0, 0, 1, 0}, hrc, std::move(nps), std::move(skip_dmas));
    // Smaller SRAMs make the mapper split layers and open passes.
    uint32_t const divisor = uint32_t{1} << in.ConsumeIntegralInRange(0, 6);
    for (uint32_t* size : {&mesh.np_sram_size.input_bytes, &mesh.np_sram_size.weight_bytes,
                           &mesh.np_sram_size.stsram_32b_size, &mesh.np_sram_size.fsram_64b_size,
                           &mesh.np_sram_size.tsram_51b_size, &mesh.np_sram_size.evsram_32b_size})
        *size /= divisor;
    return make_fake_device(version, std::move(mesh));
}

std::shared_ptr<MapConstraints> random_constraints(FuzzedDataProvider& in, std::shared_ptr<Device> const& device) {
    auto constraints = std::make_shared<MapConstraints>(device);
    if (in.ConsumeBool()) {
        constraints->set_cnp_max_width(in.ConsumeIntegralInRange(0u, constraints->cnp_max_width_default()));
        constraints->set_cnp_max_height(in.ConsumeIntegralInRange(0u, constraints->cnp_max_height_default()));
        constraints->set_cnp_max_filters(in.ConsumeIntegralInRange(0u, constraints->cnp_max_filters_default()));
    }
    if (device->get_ip_version() == IpVersion::v2) constraints->set_hwpr_loopitself(in.ConsumeBool());
    return constraints;
}

}  // namespace nuvra::fuzz
