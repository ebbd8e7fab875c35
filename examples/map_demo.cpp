// An example in C++: build a small quantized model, run it in software, then map it onto a
// virtual second-generation device and print the mapping and the program.
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/dma.h"
#include "engine/model.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"

using namespace nuvra;

namespace {

std::shared_ptr<Device> virtual_v2_device(uint8_t columns) {
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= columns; ++col)
        for (uint8_t id = 0; id < 2; ++id) nps.push_back({{col, 0, id, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true});
    Mesh mesh(IpVersion::v2, hw::Ident{0, 0, 0, 0}, hw::Ident{0, 0, 1, 0}, std::nullopt, std::move(nps), {});
    return make_virtual_device(hw::Tolmar_v2, mesh);
}

std::shared_ptr<Layer> add_layer(Model& model, LayerType type, std::string const& name,
                                 std::map<std::string, int> const& params) {
    auto const layer_params = LayerParams::create(type, params);
    std::shared_ptr<Layer> layer = Layer::create(layer_params.get(), name);
    model.add(layer);
    return layer;
}

// Small fixed weights of both signs, unit output scales and outputs scaled down by 2^shift, so
// that the outputs stay mid-range and the program is the same every run.
void fill_weights(Layer& layer, int8_t shift) {
    auto weights = layer.variables().get("weights");
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(int(i * 7 % 5) - 2));
    auto scales = layer.variables().get("output_scales");
    for (size_t i = 0; i < scales->size(); ++i) tensor_write<uint8_t>(*scales, i, 1);
    auto shifts = layer.variables().get("output_shift");
    for (size_t i = 0; i < shifts->size(); ++i) tensor_write<int8_t>(*shifts, i, shift);
}

std::string ident_text(hw::Ident const& ident) {
    char text[32];
    std::snprintf(text, sizeof text, "(%u,%u,%u)", ident.col, ident.row, ident.id);
    return text;
}

void print_mapping(Model const& model) {
    std::printf("Mapping:\n");
    for (auto const& layer : model.layers()) {
        auto const mapping = layer->mapping();
        if (!mapping || !mapping->components || mapping->components->empty()) {
            std::printf("  %-6s runs outside the NPs\n", layer->get_name().c_str());
            continue;
        }
        std::printf("  %-6s", layer->get_name().c_str());
        for (auto const& component : *mapping->components)
            std::printf(" %s %s filters %u..%u", hw::to_string(component.type).c_str(),
                        ident_text(component.ident).c_str(), component.start_neuron(),
                        component.start_neuron() + component.filters() - 1);
        std::printf("\n");
    }
}

void print_program(Sequence const& sequence) {
    auto const bytes = sequence.program();
    ProgramInfo const info(bytes.data(), bytes.size());
    auto const parts = sequence.program_parts();
    std::printf("Program of %s: %zu bytes (program_info %zu, program_data %zu), %zu pass(es)\n",
                sequence.name().c_str(), bytes.size(), parts.program_info.size(), parts.program_data.size(),
                sequence.passes().size());
    std::printf("  memory: input %llu B, output %llu B, program data %llu B, descriptors %llu B\n",
                (unsigned long long)input_memory_required(info), (unsigned long long)output_memory_required(info),
                (unsigned long long)program_data_memory_required(info),
                (unsigned long long)program_descriptors_memory_required(info));
    int pass_index = 0;
    for (auto const* pass : *info.data().passes()) {
        std::printf("  pass %d\n", pass_index++);
        if (pass->records() == nullptr) continue;
        for (auto const* record : *pass->records()) {
            if (record->tracks() == nullptr) continue;
            for (auto const* track : *record->tracks()) {
                std::vector<uint32_t> const words(track->words()->begin(), track->words()->end());
                std::printf("    track of %zu words:", words.size());
                for (size_t at = 0; at + 2 <= words.size();) {
                    dma::ConfigHeader const header = dma::parse_config_header(&words[at]);
                    uint32_t const size = header.size;
                    std::printf(" [%s %s at 0x%x, %u words]", ident_text(header.ident).c_str(),
                                dma::to_string(header.target).c_str(), unsigned(header.address), size);
                    if (size == 0) break;
                    at += 2 + size;
                }
                std::printf("\n");
            }
        }
    }
}

}  // namespace

int main() {
    register_mapping_backend();

    // in (16 x 16 x 8) -> conv1 (3 x 3, 16 filters, ReLU) -> conv2 (3 x 3, 8 filters)
    std::unique_ptr<Model> model = Model::create();
    add_layer(*model, LayerType::InputData, "in", {{"input_width", 16}, {"input_height", 16}, {"input_channels", 8}});
    fill_weights(*add_layer(*model, LayerType::Conv2D, "conv1",
                            {{"kernel_size", 3}, {"filters", 16}, {"padding", 1}, {"activation", 1}}),
                 0);
    fill_weights(*add_layer(*model, LayerType::Conv2D, "conv2", {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}}), 3);
    std::printf("Model: %zu layers, %llu MACs\n", model->layer_count(), (unsigned long long)model->macs());

    // Two samples, run in software before mapping: a model mapped on a virtual device does not run.
    std::vector<uint8_t> pixels(2 * 16 * 16 * 8);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 13 % 16);
    auto inputs = Dense::copy(pixels.data(), pixels.size(), TensorType::uint8, Shape{2, 16, 16, 8}, Layout::c_order);
    auto const outputs = model->forward(inputs, 0);
    Shape const shape = outputs->dimensions();
    std::printf("Outputs: %s (%u, %u, %u, %u), first values:", Tensor::type_name(outputs->type()), shape[0], shape[1],
                shape[2], shape[3]);
    for (size_t i = 0; i < 8; ++i) std::printf(" %d", tensor_read<int32_t>(*outputs, i));
    std::printf("\n");

    model->map(virtual_v2_device(1));
    print_mapping(*model);
    for (auto const& sequence : model->sequences()) print_program(*sequence);
    return 0;
}
