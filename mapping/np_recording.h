// The per-NP loops that the NP layer recorders of the first and second generation share: which
// NPs of a layer get a register image and in which order the steps of an image run (the layer's
// own words, the routing, the linked layer, the input spikes), and how each NP's image and its
// other blocks go into the layer's record. What each step writes is the generation's; which NPs a
// recording call leaves out, and what a left-out NP still gets, is an argument of the loops.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra {

// Register images of the NPs of one layer, ordered by ident (column, row, id, channel).
using NpRegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

// What the register images of a layer's NPs take from the recording call (LayerRecordArgs).
struct NpImageArgs {
    // A layer linked by partial reconfiguration (may be null): an NP that also holds a component of
    // it describes that layer in its registers.
    std::shared_ptr<Layer> next_layer = nullptr;
    bool set_spikes = false;                      // the NPs' input buffers take spikes
    bool ends_pass = false;                       // the layer ends a pass before the last (routing)
    std::span<hw::Ident const> skipped_nps = {};  // NPs that get no register image
};

// The arguments of a recording call that the register images take.
NpImageArgs np_image_args(LayerRecordArgs const& args);

// Whether `ident` is one of `idents`.
bool is_listed(std::span<hw::Ident const> idents, hw::Ident const& ident);

// The component that `linked` (may be null) has on the NP at `ident`: the first component of its
// mapping there; null when the layer is null, has no mapping or components, or none there.
hw::Component const* linked_component(std::shared_ptr<Layer> const& linked, hw::Ident const& ident);

// What a generation writes into the register image of one NP of a layer, step by step.
struct NpImageSteps {
    // The NP's image with the layer's own words: the generation's default image, then the words of
    // the layer's kind (common configuration, pooling, the kind's own words).
    std::function<std::vector<uint32_t>(hw::Component const& np)> layer_words;
    // The routing words of the NP.
    std::function<void(std::vector<uint32_t>* regs)> routing;
    // The description of a linked layer whose component `component` sits on the NP.
    std::function<void(std::vector<uint32_t>* regs, Layer const& linked, hw::Component const& component)>
        linked_layer;
};

// The register images of `nps`, but those `args.skipped_nps` lists. Per NP in order: layer_words,
// routing, linked_layer when `args.next_layer` has a component on the NP (linked_component), and
// the input buffer's spike bit (INPUT_BUFFER_SPIKES) with `args.set_spikes`; a later NP of the same
// ident replaces an earlier one. The steps' failures pass through.
NpRegisterMap format_np_images(std::span<hw::Component const> nps, NpImageArgs const& args,
                               NpImageSteps const& steps);

// What a generation records for an NP that a recording call lists in skipped_nps (it has no
// register image).
enum class SkippedNp {
    left_out,         // nothing: the NP is not in the record
    empty_registers,  // an empty register block, then its other blocks all the same
};

// Records the NPs of a layer, per component of `nps` in order: its register image from `images`
// (dma::Target::NpRegisters, address 0), then, unless `registers_only`, its other blocks through
// `other_blocks`. An NP without an image is handled as `skipped` says.
void record_np_blocks(program::Record& record, std::span<hw::Component const> nps, NpRegisterMap const& images,
                      SkippedNp skipped, bool registers_only,
                      std::function<void(hw::Component const& np)> const& other_blocks);

}  // namespace nuvra
