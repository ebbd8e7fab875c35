// Collects the passes of one hardware sequence while the mapping driver allocates NPs, and turns
// them into a HardwareSequence with its program (build_sequence, in program_builder.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/sequence.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "mapping/graph_utils.h"
#include "hw/mapping_status.h"
#include "mapping/hardware_sequence.h"
#include "mapping/skip_dma.h"
#include "program/backend.h"
#include "program/serializer_buffer.h"

namespace nuvra {

class LayerGraph;
class SequenceSerializer;

// The status of a build and the new sequence: "Success." and a sequence, or a failure and null.
using SequenceBuildResult = std::pair<MappingStatus, std::shared_ptr<HardwareSequence>>;

// What recording the passes before one that could not be set up met first: a refusal of one of
// their layers, or one that a pass boundary causes (`at_pass_boundary`: a skip or a branch the
// boundary cuts); success when none.
struct EarlierPassesRecord {
    MappingStatus refusal;
    bool at_pass_boundary = false;
};

// A refusal of what the program hands out (its output type, the output size its SCC holds), in the
// name of the sequence's last layer. When a mapping has refused later layers, the program of the
// layers before them ends where the model does not, and this gives way to those refusals.
class ProgramOutputError : public MappingStatusError {
public:
    using MappingStatusError::MappingStatusError;
};

class HardwareSequenceBuilder {
public:
    // Keeps the three references; they belong to the back end and must outlive the builder. The
    // sequences it builds read learned variables back through `learning`.
    HardwareSequenceBuilder(std::shared_ptr<Device> device, HardwareConstraints const& constraints,
                            IoRecorder const& io_recorder, LayerRecorder const& layer_recorder,
                            LearningReader learning = {});

    HardwareSequenceBuilder(HardwareSequenceBuilder const&) = delete;
    HardwareSequenceBuilder& operator=(HardwareSequenceBuilder const&) = delete;

    // Appends one pass made of `layers` (one component list per layer), preceded by the layer
    // held back from the previous group. A trailing skip-DMA layer (kind 4) is held back for the
    // next group, since the layer after it carries its mapping; a group left with nothing but
    // that layer makes no pass. An empty group with nothing held back is std::invalid_argument,
    // as are lists of different lengths. A pass that cannot be set up throws its refusal and makes
    // no pass; its layers, which layers() still lists, are kept for record_passes_set_up.
    void add_layers(std::vector<std::shared_ptr<Layer>> layers,
                    std::vector<std::shared_ptr<Layer>> const& all_layers,
                    std::vector<std::vector<hw::Component>> components);

    // The i-th pass as a HardwarePass (null when it is another kind); i must be below the count.
    std::shared_ptr<HardwarePass> hardware_pass(size_t i) const;
    std::shared_ptr<HardwarePass> first_pass() const;
    // Null when there is no pass.
    std::shared_ptr<HardwarePass> last_pass() const;

    // From now on a merge whose skip input was stored in an earlier pass does not fail
    // add_layers: its refusal is kept, and build_sequence returns it when the program reaches the
    // layer, so that the layers recorded before it are refused first for what they hold.
    void keep_cut_skips() { keep_cut_skips_ = true; }
    // The refusals kept so far, in the order of the layers.
    std::vector<CutSkipRefusal> const& cut_skips() const { return cut_skips_; }

    // Empties layers, passes, program, the kept refusals and the layers of a pass that could not be
    // set up; a held-back layer stays.
    void clear();

    // Succeeds when `multiplier` x `count` descriptors are at most 254; otherwise clears the
    // builder and fails for `layer` with "Model is too big. The maximum number of descriptors is
    // more than allowed. <multiplier x count> are needed but 254 are available.".
    MappingStatus check_num_descriptors(std::shared_ptr<Layer> const& layer, uint64_t multiplier, uint64_t count);

    // Serializes every pass into one program and hands everything to a new HardwareSequence,
    // leaving the builder empty. A layer still held back is first put into the last pass. Needs
    // at least one pass with a mappable layer (std::invalid_argument otherwise). A layer whose
    // output a later pass reads past the link between the passes (a branch the boundary cuts) is
    // not recorded; it is refused when the program reaches a layer that reads that output, so that
    // the layers recorded before are refused first for what they hold: for the skip the same
    // boundary cuts, in the name of the layer that loads it, else with
    // second_branch_outside_pass_message in its own name.
    SequenceBuildResult build_sequence();

    // After add_layers could not set up a pass: records the passes before it as build_sequence
    // does, the program ending with them, for what their layers refuse, and returns the first
    // refusal met; a layer a later pass reads, in the pass that could not be set up too, counts as
    // cut off. The answers about what the program hands out, which only the model's last layer
    // gives, are left unasked. Leaves the builder empty.
    EarlierPassesRecord record_passes_set_up();

    std::vector<std::shared_ptr<Layer>> const& layers() const { return layers_; }
    std::vector<std::shared_ptr<Sequence::Pass>> const& passes() const { return passes_; }
    bool has_pending() const { return pending_.has_value(); }

private:
    struct ProgramValues;
    // The phases of build_sequence after the input buffers are set: the values read from the
    // layers, the program of pass i (its descriptor count in *count), and the totals, the event
    // generator and the program header.
    // `graph` answers the graph questions of the whole build.
    ProgramValues program_values(LayerGraph& graph) const;
    // Settles the passes' input buffers, writes the version into `serializer` and gives the
    // program's values: what both the build and the record of the passes before a refusal start with.
    ProgramValues start_program(SequenceSerializer& serializer, LayerGraph& graph);
    MappingStatus serialize_pass(SequenceSerializer& serializer, LayerGraph& graph, ProgramValues const& values,
                                 size_t i, uint64_t* count);
    MappingStatus finish_program(SequenceSerializer& serializer, LayerGraph& graph, ProgramValues const& values,
                                 uint64_t descriptors);
    // serialize_pass over every pass, the largest descriptor count in *largest; then a kept
    // refusal of a layer that no pass recorded.
    MappingStatus serialize_passes(SequenceSerializer& serializer, LayerGraph& graph, ProgramValues const& values,
                                   uint64_t* largest);
    // The pass-boundary refusal the program meets at `layer`, which it is about to record: a kept
    // cut branch whose output `layer` reads, or the kept cut skip it loads; a cut branch kept
    // earlier speaks for both. The builder is cleared as after a descriptor refusal; success when
    // there is none.
    MappingStatus boundary_refusal_at(std::shared_ptr<Layer> const& layer);
    // `status`, a refusal that a pass boundary causes, with the builder cleared.
    MappingStatus refused_at_boundary(MappingStatus status);
    // The layers of a later pass than pass i that read `layer`'s output directly, other than the
    // first layer of the next pass reading `pass_last` (`beyond_first`) through the pass link: none
    // unless the boundary cuts that output off.
    std::vector<Layer const*> cut_off_readers(LayerGraph& graph, ProgramValues const& values, size_t i,
                                              std::shared_ptr<Layer> const& layer,
                                              std::shared_ptr<Layer> const& pass_last,
                                              std::shared_ptr<Layer> const& beyond_first) const;
    // Keeps the refusal of such a layer of pass i until the program reaches one of its `readers`;
    // a cut branch kept before keeps its refusal, and the readers of both stop the program.
    void keep_cut_branch(LayerGraph& graph, ProgramValues const& values, size_t i, std::shared_ptr<Layer> const& layer,
                         std::shared_ptr<Layer> const& pass_last, std::shared_ptr<Layer> const& beyond_first,
                         std::vector<Layer const*> const& readers);

    // What the last pass was made of, so that a held-back layer can join it.
    struct Group {
        std::vector<std::shared_ptr<Layer>> layers;
        std::vector<std::shared_ptr<Layer>> all_layers;
        std::vector<std::vector<hw::Component>> components;
    };

    void make_pass(Group group);
    // Rebuilds the last pass with the held-back layer at its end.
    void flush_pending();

    std::shared_ptr<Device> device_;
    HardwareConstraints const* constraints_;
    IoRecorder const* io_recorder_;
    LayerRecorder const* layer_recorder_;
    LearningReader learning_;
    std::vector<std::shared_ptr<Layer>> layers_;
    std::vector<std::shared_ptr<Sequence::Pass>> passes_;
    // The depths of the layers' graph, found once for all passes: the graph must not change
    // while the builder holds passes.
    DepthMemo depths_;
    program::ProgramBuffer program_;
    std::optional<std::pair<std::shared_ptr<Layer>, std::vector<hw::Component>>> pending_;
    std::optional<Group> last_group_;
    bool keep_cut_skips_ = false;
    std::vector<CutSkipRefusal> cut_skips_;
    // The layers of the pass that add_layers could not set up.
    std::vector<std::shared_ptr<Layer>> unset_;
    // A branch the boundary cuts, met while the program is recorded: its refusal, and the layers
    // whose record ends the program with it.
    struct CutBranch {
        MappingStatus status;
        std::unordered_set<Layer const*> readers;
    };
    std::optional<CutBranch> cut_branch_;
    // Whether the last refusal returned is one that a pass boundary causes.
    bool at_pass_boundary_ = false;
};

// The lowest and highest mesh column among the components of the first mappable layer of the
// pass. An HRC first layer gives {0, 0} with `first_on_hrc`, else the range of the layer it
// feeds (std::out_of_range when it feeds none); a lone HRC component gives {1, 1}.
// Depths go to `depths` when given.
std::pair<uint8_t, uint8_t> pass_first_layer_col_range(HardwarePass const& pass, bool first_on_hrc,
                                                       DepthMemo* depths);
// The same with depths of its own.
std::pair<uint8_t, uint8_t> pass_first_layer_col_range(HardwarePass const& pass, bool first_on_hrc);

}  // namespace nuvra
