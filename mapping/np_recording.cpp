#include "mapping/np_recording.h"

#include <algorithm>

#include "engine/dma.h"
#include "program/register_fields.h"

namespace nuvra {

NpImageArgs np_image_args(LayerRecordArgs const& args) {
    return {.next_layer = args.next_layer,
            .set_spikes = args.set_spikes,
            .ends_pass = args.mesh_flag,
            .skipped_nps = args.skipped_nps};
}

bool is_listed(std::span<hw::Ident const> idents, hw::Ident const& ident) {
    return std::find(idents.begin(), idents.end(), ident) != idents.end();
}

hw::Component const* linked_component(std::shared_ptr<Layer> const& linked, hw::Ident const& ident) {
    if (!linked) return nullptr;
    auto const mapping = linked->mapping();
    if (!mapping || !mapping->components) return nullptr;
    auto const& components = *mapping->components;
    auto const found = std::find_if(components.begin(), components.end(),
                                    [&](hw::Component const& c) { return c.ident == ident; });
    return found == components.end() ? nullptr : &*found;
}

NpRegisterMap format_np_images(std::span<hw::Component const> nps, NpImageArgs const& args,
                               NpImageSteps const& steps) {
    NpRegisterMap images;
    for (hw::Component const& np : nps) {
        if (is_listed(args.skipped_nps, np.ident)) continue;
        std::vector<uint32_t> regs = steps.layer_words(np);
        steps.routing(&regs);
        if (hw::Component const* linked = linked_component(args.next_layer, np.ident))
            steps.linked_layer(&regs, *args.next_layer, *linked);
        if (args.set_spikes) set(regs, fields::INPUT_BUFFER_SPIKES, 1);
        images[np.ident] = std::move(regs);
    }
    return images;
}

void record_np_blocks(program::Record& record, std::span<hw::Component const> nps, NpRegisterMap const& images,
                      SkippedNp skipped, bool registers_only,
                      std::function<void(hw::Component const& np)> const& other_blocks) {
    static std::vector<uint32_t> const no_image;
    for (hw::Component const& np : nps) {
        auto const image = images.find(np.ident);
        if (image == images.end() && skipped == SkippedNp::left_out) continue;
        record.add_np_track(np.ident, dma::Target::NpRegisters, 0, image == images.end() ? no_image : image->second);
        if (!registers_only) other_blocks(np);
    }
}

}  // namespace nuvra
