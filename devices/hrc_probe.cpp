#include "devices/hrc_probe.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/variables.h"

namespace nuvra {

std::unique_ptr<Model> build_probe_model(std::shared_ptr<Device> const& device) {
    std::unique_ptr<Model> model = Model::create();
    std::map<std::string, int> const entries{
        {"input_width", 8},    {"input_height", 8},     {"input_channels", 1},   {"kernel_width", 3},
        {"kernel_height", 3},  {"padding", 1},          {"stride_x", 2},         {"stride_y", 2},
        {"filters", 1},        {"weights_bits", 1},     {"padding_value", 0},    {"activation", 1},
        {"act_bits", 1},       {"pooling_width", 2},    {"pooling_height", 2},   {"pool_type", 1},
        {"pooling_stride_x", 2}, {"pooling_stride_y", 2},
    };
    std::unique_ptr<LayerParams> const params = LayerParams::create(LayerType::InputConvolutional, entries);
    std::shared_ptr<Layer> const layer = Layer::create(params.get(), "inputconv");
    model->add(layer, {});
    std::vector<int8_t> const ones(9, 1);
    layer->variables().set("weights", Dense::copy(ones.data(), ones.size(), TensorType::int8, Shape{3, 3, 1, 1},
                                                  Layout::c_order));
    model->map(device, true, nullptr);
    return model;
}

std::shared_ptr<Tensor> get_constant_inputs(Model const& model) {
    Shape const input = model.input_shape();
    std::vector<uint32_t> dims{1, 0, 0, 0};
    for (size_t i = 0; i < input.rank() && i < 3; ++i) dims[i + 1] = input[i];
    // The shape refuses a zero dimension (1 width, 2 height, 3 channels) and panics on a count
    // above 4294967295.
    Shape const shape(dims);
    shape.checked_size();
    std::shared_ptr<Dense> inputs = Dense::create(TensorType::uint8, shape, Layout::c_order);
    MutableBuffer const bytes = inputs->mutable_buffer();
    std::memset(bytes.data, 1, bytes.bytes);
    return inputs;
}

bool hrc_check_timeout(std::shared_ptr<Device> device) {
    std::unique_ptr<Model> const model = build_probe_model(device);
    std::shared_ptr<Tensor> const inputs = get_constant_inputs(*model);
    try {
        model->forward(inputs);
    } catch (std::exception const&) {
        return true;
    }
    return false;
}

}  // namespace nuvra
