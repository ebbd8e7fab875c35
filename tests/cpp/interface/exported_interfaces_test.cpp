// The interfaces the system exports under fixed names: register constants with their offsets and
// widths, and functions with their exact parameter and return types. Each is named here in that
// form, so a change that drops, renames or re-signs one does not compile. A few calls through
// these forms are compared with the named-argument forms the code uses inside.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backends/ip_version_backend.h"
#include "backends/v1/check_rules.h"
#include "backends/v1/cnp_registers.h"
#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/format_fnp.h"
#include "backends/v1/learning.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/record_conv.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/record_hrc.h"
#include "backends/v1/record_sep_conv.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "backends/v2/check_rules.h"
#include "backends/v2/checker.h"
#include "backends/v2/format_conv_weights.h"
#include "backends/v2/format_fnp.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_buffer_temp_conv.h"
#include "backends/v2/record_conv2d.h"
#include "backends/v2/record_conv2d_transpose.h"
#include "backends/v2/record_dense1d.h"
#include "backends/v2/record_dwconv2d.h"
#include "backends/v2/record_input_conv2d.h"
#include "backends/v2/record_skip_dma.h"
#include "backends/v2/recorders.h"
#include "backends/v2/registers.h"
#include "backends/v2/routing.h"
#include "backends/v2/sizes.h"
#include "backends/wisp/check_rules.h"
#include "backends/wisp/format_sram.h"
#include "backends/wisp/registers.h"
#include "backends/wisp/tnpr_program.h"
#include "devices/host_device.h"
#include "devices/hrc_probe.h"
#include "devices/mesh_discovery.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/clock.h"
#include "hw/mapping_status.h"
#include "hw/mesh.h"
#include "hw/np_split.h"
#include "hw/panic.h"
#include "hw/power_meter.h"
#include "hw/presets.h"
#include "hw/register.h"
#include "hw/virtual_device.h"
#include "mapping/graph_utils.h"
#include "mapping/hardware_backend.h"
#include "mapping/hardware_sequence.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "mapping/program_builder.h"
#include "mapping/sequence_builder.h"
#include "mapping/skip_dma.h"
#include "mapping/split.h"
#include "mapping/splitters.h"
#include "program/backend.h"
#include "program/hrc_input.h"
#include "program/io_quantization.h"
#include "program/record.h"
#include "program/serializer.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"
#include "support/model_builder.h"
#include "support/ops_test_util.h"
#include "support/record_test_util.h"
#include "support/recorder_doubles.h"
#include "support/v1_mapped_layer.h"
#include "v2/np_mapping_fixture.h"

namespace nuvra {
namespace {

// ---- hardware model, mapping engine, program records and serializer, second-generation checks ----

// Compiles only when `interface` converts to Form: an overload set is resolved against Form, a
// single function or member must have exactly that type.
template <class Form>
consteval bool has_form(Form) {
    return true;
}

using Layers = std::vector<std::shared_ptr<Layer>>;
using LayerPtr = std::shared_ptr<Layer>;
using Components = std::vector<hw::Component>;
using Idents = std::vector<hw::Ident>;
using Words = std::vector<uint32_t>;
using DepthMap = std::unordered_map<std::shared_ptr<Layer>, unsigned int>;

// Hardware identifiers and versions, mesh, devices, the time-out probe.
static_assert(has_form<std::string (*)(hw::Type)>(&hw::to_string));
static_assert(has_form<bool (hw::Ident::*)(hw::Ident const&) const>(&hw::Ident::operator<));
static_assert(has_form<IpVersion (HwVersion::*)() const>(&HwVersion::get_ip_version));
static_assert(has_form<std::string (HwVersion::*)() const>(&HwVersion::to_string));
static_assert(has_form<IpVersion (Device::*)() const>(&Device::get_ip_version));
static_assert(std::is_constructible_v<Mesh, IpVersion, hw::Ident const&, hw::Ident const&, std::optional<np::Info>,
                                      std::vector<np::Info>, std::vector<np::Info>>);
static_assert(has_form<bool (Mesh::*)() const>(&Mesh::has_lut_on_all_nps));
static_assert(has_form<std::unique_ptr<Mesh> (*)(HardwareDevice*)>(&Mesh::discover));
static_assert(has_form<std::vector<np::Info> (*)(MeshInfo const&, HardwareDevice*)>(&add_nps));
static_assert(has_form<std::vector<std::shared_ptr<Device>> (*)()>(&populate_devices));
static_assert(has_form<std::vector<std::shared_ptr<Device>> const& (*)()>(&get_devices));
static_assert(has_form<bool (*)(std::shared_ptr<Device>)>(&hrc_check_timeout));
static_assert(has_form<std::shared_ptr<Tensor> (*)(Model const&)>(&get_constant_inputs));
static_assert(has_form<std::shared_ptr<VirtualDevice> (*)(HwVersion, Mesh const&)>(&make_virtual_device));
static_assert(SramSize_v1 == SramSize{43008, 44800, 0, 0, 0, 0});
static_assert(SramSize_v2 == SramSize{65536, 51200, 0, 0, 0, 0});
static_assert(SramSize_wisp == SramSize{0, 0, 448, 8192, 892, 256});
static_assert(int(hw::Type::None) == 0 && int(hw::Type::HRC) == 1 && int(hw::Type::CNP1) == 2 &&
              int(hw::Type::CNP2) == 3 && int(hw::Type::FNP2) == 4 && int(hw::Type::FNP3) == 5 &&
              int(hw::Type::SKIP_DMA_STORE) == 6 && int(hw::Type::TNP_B) == 7 && int(hw::Type::TNP_R) == 8 &&
              int(hw::Type::SKIP_DMA_LOAD) == 9 && int(hw::Type::DMA) == 10);
static_assert(int(IpVersion::none) == 0 && int(IpVersion::v1) == 1 && int(IpVersion::v2) == 2 &&
              int(IpVersion::wisp) == 3);

// Mapping status, register fields, power meter, clock modes and timing helpers, split geometry.
static_assert(has_form<MappingStatus (*)()>(&MappingStatusBase<MappingStatus>::success));
static_assert(has_form<MappingStatus& (MappingStatus::*)(MappingStatus const&)>(&MappingStatus::operator+=));
static_assert(has_form<std::string (MappingStatus::*)() const>(&MappingStatus::to_string));
static_assert(has_form<MappingStatusGroup& (MappingStatusGroup::*)(MappingStatusGroup const&)>(
    &MappingStatusGroup::operator+=));
static_assert(has_form<std::string (MappingStatusGroup::*)() const>(&MappingStatusGroup::to_string));
static_assert(has_form<void (*)(MappingStatusGroup&, MappingStatus const&)>(&add_unique_status));
static_assert(has_form<MappingStatus (*)(Layer const&, std::string const&, size_t, size_t)>(
    &MappingStatus::component_error));
static_assert(has_form<void (*)(uint32_t*, RegDetail const&, uint32_t)>(&set_field));
static_assert(has_form<void (*)(const char*, ...)>(&panic));
static_assert(has_form<PowerMeter& (*)()>(&PowerMeter::get));
static_assert(has_form<void (PowerMeter::*)(PowerMeter::PowerEvent&&)>(&PowerMeter::log_event));
static_assert(has_form<bool (PowerMeter::*)() const>(&PowerMeter::has_events));
static_assert(has_form<float (PowerMeter::*)() const>(&PowerMeter::floor));
static_assert(has_form<std::vector<PowerMeter::PowerEvent> (PowerMeter::*)() const>(&PowerMeter::events));
static_assert(has_form<void (PowerMeter::*)(int64_t)>(&PowerMeter::reset));
static_assert(has_form<std::vector<int> (CircularQueue<int>::*)(bool)>(&CircularQueue<int>::get));
static_assert(has_form<void (*)(HardwareDriver*, soc::ClockMode const&)>(&soc::set_clock_mode));
static_assert(has_form<soc::ClockMode (*)(HardwareDriver*)>(&soc::get_clock_mode));
static_assert(has_form<void (*)()>(&kick_watchdog));
static_assert(has_form<void (*)(uint32_t)>(&msleep));
static_assert(has_form<int64_t (*)()>(&time_ms));
static_assert(uint32_t(soc::ClockMode::Performance) == 300000000 && uint32_t(soc::ClockMode::Economy) == 100000000 &&
              uint32_t(soc::ClockMode::LowPower) == 5000000);
static_assert(std::is_constructible_v<NpSplit, Shape const&, NpSpace, NpSpace const&, int, int, PaddingParams const&,
                                      uint32_t, uint8_t, PaddingParams const&>);
static_assert(std::is_constructible_v<TransposedCnpSplit, NpSpace, NpSpace const&>);
static_assert(has_form<uint32_t (NpSplit::*)() const>(&NpSplit::icont_size));
static_assert(has_form<uint32_t (TransposedCnpSplit::*)() const>(&TransposedCnpSplit::icont_size));

// A member of this exact type.
template <class Member, class Type>
constexpr bool is_member = std::is_same_v<Member, Type>;

// A register constant of the interface: a RegDetail of its own (not a field bound to its word, nor
// any other type) with these bits.
template <class T>
consteval bool is_reg_detail(T const& constant, uint32_t offset, uint32_t width) {
    if constexpr (std::is_same_v<T, RegDetail>) return constant == RegDetail{offset, width};
    else return false;
}

// The split geometry of one NP, and the NP part of a component.
static_assert(is_member<decltype(NpSplitInterface::window_y), uint32_t> &&
              is_member<decltype(NpSplitInterface::window_x), uint32_t> &&
              is_member<decltype(NpSplitInterface::part_height), uint32_t> &&
              is_member<decltype(NpSplitInterface::part_width), uint32_t> &&
              is_member<decltype(NpSplitInterface::part_channels), uint32_t> &&
              is_member<decltype(NpSplitInterface::phase_y), uint32_t> &&
              is_member<decltype(NpSplitInterface::phase_x), uint32_t> &&
              is_member<decltype(NpSplitInterface::window_dy), uint32_t> &&
              is_member<decltype(NpSplitInterface::window_dx), uint32_t> &&
              is_member<decltype(NpSplitInterface::window_height), uint32_t> &&
              is_member<decltype(NpSplitInterface::window_width), uint32_t> &&
              is_member<decltype(NpSplitInterface::out_y), uint32_t> &&
              is_member<decltype(NpSplitInterface::out_x), uint32_t> &&
              is_member<decltype(NpSplitInterface::out_height), uint32_t> &&
              is_member<decltype(NpSplitInterface::out_width), uint32_t>);
static_assert(has_form<uint32_t (hw::Component::*)() const>(&hw::Component::filters));
static_assert(has_form<uint32_t (hw::Component::*)() const>(&hw::Component::start_neuron));
static_assert(has_form<NpSpace (hw::Component::*)() const>(&hw::Component::spatial_partition));
static_assert(has_form<NpSpace (hw::Component::*)() const>(&hw::Component::halo_partition));
static_assert(has_form<bool (hw::Component::*)() const>(&hw::Component::single_buffer));

// The four generation interfaces, with the positional forms beside the named-argument ones.
static_assert(has_form<MappingStatus (CompatibilityChecker::*)(Layer const&, Layer const*, HwVersion) const>(
    &CompatibilityChecker::check_layer_compatibility));
static_assert(has_form<MappingStatus (CompatibilityChecker::*)(Layers::const_iterator, Layers::const_iterator,
                                                               HwVersion) const>(
    &CompatibilityChecker::check_layer_sequence));
static_assert(has_form<MappingStatus (CompatibilityChecker::*)(Layer const&, Components const&, bool) const>(
    &CompatibilityChecker::check_layer_mappings));
static_assert(has_form<bool (CompatibilityChecker::*)(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                                      uint32_t) const>(
    &CompatibilityChecker::is_sram_input_fit_single_buffer));
static_assert(has_form<bool (CompatibilityChecker::*)(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                                      uint32_t) const>(
    &CompatibilityChecker::is_sram_input_fit_dual_buffer));
static_assert(has_form<bool (CompatibilityChecker::*)(Layer const&, uint32_t) const>(
    &CompatibilityChecker::is_weights_size_fit_np));
static_assert(has_form<NpSplitParams (CompatibilityChecker::*)(hw::Type, LayerParams const&) const>(
    &CompatibilityChecker::np_split_params));
static_assert(has_form<bool (CompatibilityChecker::*)(HardwareConstraints const&, Layer const&) const>(
    &CompatibilityChecker::check_fnp3_sram_size));
static_assert(has_form<bool (CompatibilityChecker::*)(Layer const&) const>(&CompatibilityChecker::is_fnp3_compatible));
static_assert(has_form<std::unique_ptr<program::Record> (LayerRecorder::*)(
                  Layer const&, Layer const&, LayerPtr, bool, bool, Idents const&, bool, bool) const>(
    &LayerRecorder::record_layer));
static_assert(has_form<program::LearnRecordsPtr (LayerRecorder::*)(Layer const&, bool) const>(
    &LayerRecorder::record_learning_layer));
static_assert(has_form<void (LayerRecorder::*)(LayerPtr) const>(&LayerRecorder::sync_learning_vars));
static_assert(has_form<std::unique_ptr<program::Record> (IoRecorder::*)(bool, bool, bool, bool, bool, Shape, Shape)
                           const>(&IoRecorder::record_scc));
static_assert(has_form<std::vector<std::pair<uint32_t, uint32_t>> (IoRecorder::*)(
                  Layer const&, uint8_t, uint8_t, uint8_t, bool, bool, bool) const>(&IoRecorder::record_epg));
static_assert(has_form<int8_t (IoRecorder::*)(Layer const&) const>(&IoRecorder::get_input_type));
static_assert(has_form<int8_t (IoRecorder::*)(Layer const&, int8_t) const>(&IoRecorder::get_output_type));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&, hw::Component const&, LayerPtr const&) const>(
    &MemorySizer::get_input_memory_size));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&, hw::Component const&) const>(
    &MemorySizer::get_weight_memory_size));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&, hw::Component const&, bool, bool) const>(
    &MemorySizer::get_external_memory_size));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&) const>(&MemorySizer::get_fsram_64b_memory_size));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&) const>(&MemorySizer::get_tsram_51b_memory_size));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&) const>(&MemorySizer::get_evsram_32b_memory_size));
static_assert(has_form<uint32_t (MemorySizer::*)(LayerPtr const&) const>(&MemorySizer::get_stsram_32b_memory_size));
static_assert(has_form<MemoryInfo (MemorySizer::*)(LayerPtr const&, hw::Component const&, LayerPtr const&, bool,
                                                   bool) const>(&MemorySizer::get_memory_info));
static_assert(std::is_constructible_v<IpVersionSpecificHardwareBackend, Device const&>);
// The split parameters of a layer kind, the halo amounts held as a PaddingParams in their order:
// left and right, then top and bottom.
static_assert(NpSplitParams{PaddingParams{1, 2, 3, 4}, 5, 6, 7, 8}.halo ==
              Halo{.left = 1, .right = 2, .top = 3, .bottom = 4});
static_assert(NpSplitParams{PaddingParams{}, 5, 6, 7, 8}.filters == 8);
static_assert(has_form<void (*)(MappingStatusGroup&, IpVersionSpecificHardwareBackend&,
                                std::shared_ptr<MapConstraints> const&, Layers*,
                                std::vector<std::shared_ptr<Sequence>>*, bool)>(&build_hardware_sequences));

// Map constraints, the mapping driver, layer mappings, the mesh mapper, splitting, graph
// utilities, skip-DMA set-up, passes, sequences and their builder.
static_assert(std::is_constructible_v<MapConstraints, std::shared_ptr<Device> const&>);
static_assert(has_form<std::shared_ptr<Device> (MapConstraints::*)() const>(&MapConstraints::device));
static_assert(has_form<uint32_t (MapConstraints::*)() const>(&MapConstraints::cnp_max_width));
static_assert(has_form<uint32_t (MapConstraints::*)() const>(&MapConstraints::cnp_max_height));
static_assert(has_form<uint32_t (MapConstraints::*)() const>(&MapConstraints::cnp_max_filters));
static_assert(has_form<uint32_t (MapConstraints::*)() const>(&MapConstraints::cnp_max_width_default));
static_assert(has_form<uint32_t (MapConstraints::*)() const>(&MapConstraints::cnp_max_height_default));
static_assert(has_form<uint32_t (MapConstraints::*)() const>(&MapConstraints::cnp_max_filters_default));
static_assert(has_form<void (MapConstraints::*)(uint32_t)>(&MapConstraints::set_cnp_max_width));
static_assert(has_form<void (MapConstraints::*)(uint32_t)>(&MapConstraints::set_cnp_max_height));
static_assert(has_form<void (MapConstraints::*)(uint32_t)>(&MapConstraints::set_cnp_max_filters));
static_assert(has_form<bool (MapConstraints::*)() const>(&MapConstraints::hwpr_loopitself));
static_assert(has_form<void (MapConstraints::*)(bool)>(&MapConstraints::set_hwpr_loopitself));
static_assert(has_form<void (MapConstraints::*)(std::string const&) const>(&MapConstraints::next_layer_handler));
static_assert(has_form<Idents (MapConstraints::*)(Idents const&, size_t, hw::Type) const>(&MapConstraints::select_nps));
static_assert(has_form<MappingStatusGroup (HardwareBackend::*)(Layers*, std::vector<std::shared_ptr<Sequence>>*,
                                                               std::shared_ptr<MapConstraints>)>(
    &HardwareBackend::map));
static_assert(has_form<BackendType (HardwareBackend::*)() const>(&HardwareBackend::type));
static_assert(has_form<std::vector<Layers> (MappableLayers::*)() const>(&MappableLayers::build_mappable_layers));
static_assert(has_form<std::vector<std::vector<Components>> (MappableLayers::*)() const>(
    &MappableLayers::build_mappable_components));
static_assert(has_form<Idents (*)(Idents const&, LayerPtr const&, std::vector<Components> const&, bool, bool)>(
    &collect_layer_np_idents));
static_assert(has_form<void (*)(std::vector<MappableLayers::MappableLayer>&, Layers const&)>(
    &remove_listed_mappable_layers));
static_assert(has_form<hw::Component const* (LayerMapping::*)() const>(&LayerMapping::skipdma_load));
static_assert(has_form<int32_t (LayerMapping::*)() const>(&LayerMapping::get_skipdma_store_index));
static_assert(has_form<hw::Component const* (LayerMapping::*)() const>(&LayerMapping::skipdma_store));
static_assert(has_form<hw::Component* (LayerMapping::*)()>(&LayerMapping::skipdma_store));
static_assert(has_form<int32_t (LayerMapping::*)() const>(&LayerMapping::get_skipdma_store_dual_output_index));
static_assert(has_form<hw::Component const* (LayerMapping::*)() const>(&LayerMapping::skipdma_store_dual_output));
static_assert(has_form<hw::Component* (LayerMapping::*)()>(&LayerMapping::skipdma_store_dual_output));
static_assert(has_form<void (*)(Layers const&, Layers const&, std::vector<Components> const&, hw::Ident)>(
    &LayerMappingBuilder::build_layer_mapping));
static_assert(has_form<void (*)(Layers const&, std::vector<Components> const&, hw::Ident)>(
    &LayerMappingBuilder::map_standalone));
static_assert(has_form<void (*)(LayerPtr const&, Components const&, uint8_t, std::optional<hw::Ident>,
                                std::optional<hw::Ident>)>(&LayerMappingBuilder::map_standalone));
static_assert(has_form<void (*)(Layers const&, Layers const&, DepthMap*)>(&LayerMappingBuilder::link_layers_mapping));
static_assert(has_form<void (*)(LayerPtr const&, Layers const&, Layers const&, DepthMap*)>(
    &LayerMappingBuilder::update_layer_mapping));
static_assert(has_form<void (*)(LayerPtr, LayerPtr)>(&LayerMappingBuilder::link_to_previous_pass));
static_assert(std::is_constructible_v<MeshMapper, CompatibilityChecker const&, MapConstraints const&>);
static_assert(has_form<void (MeshMapper::*)()>(&MeshMapper::reset));
static_assert(has_form<void (MeshMapper::*)(Idents const&)>(&MeshMapper::reserve_nps));
static_assert(has_form<void (MeshMapper::*)(hw::Ident, hw::Type)>(&MeshMapper::allocate_np));
static_assert(has_form<void (MeshMapper::*)()>(&MeshMapper::deallocate_nps));
static_assert(has_form<uint32_t (MeshMapper::*)(hw::Type) const>(&MeshMapper::max_nps));
static_assert(has_form<Idents (MeshMapper::*)(hw::Type) const>(&MeshMapper::available_nps));
static_assert(has_form<hw::Type (MeshMapper::*)(Layer const&) const>(&MeshMapper::get_compatible_fnp_type));
static_assert(has_form<std::pair<Components, MappingStatus> (MeshMapper::*)(LayerPtr const&, Idents const&, bool,
                                                                            bool*, bool)>(&MeshMapper::np_request));
static_assert(has_form<MappingStatus (MeshMapper::*)(Layer const&, bool*, bool)>(&MeshMapper::sanitize_tnp_b));
static_assert(has_form<std::vector<hw::Type> (*)(LayerPtr const&)>(&layer_np_types));
static_assert(std::is_constructible_v<Split, uint32_t, uint32_t, uint32_t>);
static_assert(has_form<std::set<std::pair<uint32_t, uint32_t>> (*)(uint32_t)>(&factor_pairs));
static_assert(has_form<std::set<SplitsNumChunks> (*)(uint32_t)>(&SplitsNumChunks::factor_triplets));
static_assert(has_form<std::vector<SplitsNumChunks> (*)(uint32_t)>(&SplitsNumChunks::get_splits_number));
static_assert(has_form<Split (*)(Layer const&, NpSplitParams const&, uint32_t)>(&split_by_height));
static_assert(has_form<Split (*)(Layer const&, uint32_t, uint32_t, bool)>(&split_by_neurons));
static_assert(has_form<Split (*)(Layer const&, CompatibilityChecker const&, Split const&)>(&split_for_weights));
static_assert(has_form<SplitSearchResult (*)(uint32_t, uint8_t, NpSplitParams const&, CompatibilityChecker const&,
                                             Split const&, Split const&, Split const&, uint32_t, hw::Type, bool,
                                             uint32_t, bool, bool, bool)>(&find_split_chunks));
static_assert(has_form<Components (*)(Layer const&, NpSplitParams const&, bool, hw::Type, Split, Split, Split)>(
    &build_split_components));
static_assert(has_form<uint32_t (*)(Layer const&)>(&v2::get_add_pksram_shift));
static_assert(has_form<std::pair<Components, MappingStatus> (*)(Layer const&, CompatibilityChecker const&, uint32_t,
                                                                uint32_t, uint32_t, hw::Type, bool)>(
    &split_conv_layer));
static_assert(has_form<std::pair<Components, MappingStatus> (*)(Layer const&, CompatibilityChecker const&, uint32_t,
                                                                uint32_t, uint32_t, hw::Type, bool)>(
    &split_depthwise_conv_layer));
static_assert(has_form<std::pair<Components, MappingStatus> (*)(Layer const&, CompatibilityChecker const&, uint32_t,
                                                                uint32_t, uint32_t, bool)>(
    &split_transposed_conv2d_layer));
static_assert(has_form<std::pair<Components, MappingStatus> (*)(Layer const&, CompatibilityChecker const&, uint32_t,
                                                                uint32_t, uint32_t, bool)>(
    &split_transposed_dwconv2d_layer));
static_assert(has_form<bool (*)(LayerPtr const&)>(&is_split_layer));
static_assert(has_form<unsigned int (*)(LayerPtr const&, DepthMap*)>(&get_layer_depth));
static_assert(has_form<void (*)(Layers*)>(&sort_by_depth));
static_assert(has_form<LayerPtr (*)(Layers const&, Layers const&)>(&first_common_layer));
static_assert(has_form<std::pair<Layers, Layers> (*)(LayerPtr const&)>(&get_skipconnect_branch));
static_assert(has_form<bool (*)(LayerPtr const&)>(&is_merge));
static_assert(has_form<bool (*)(LayerPtr const&)>(&is_dual_output_layer));
static_assert(has_form<bool (*)(LayerPtr const&)>(&layer_need_load_dma));
static_assert(has_form<bool (*)(LayerPtr const&)>(&is_skip_layer));
static_assert(has_form<bool (*)(LayerPtr const&)>(&is_dual_output_to_store_dma));
static_assert(has_form<bool (*)(LayerPtr const&)>(&layer_need_store_dma));
static_assert(has_form<LayerPtr (*)(LayerPtr const&)>(&get_mappable_layer));
static_assert(has_form<bool (*)(LayerPtr const&, DepthMap*)>(&is_alt_layer));
static_assert(has_form<LayerPtr (*)(Layers const&)>(&first_mappable_layer));
static_assert(has_form<LayerPtr (*)(Layers const&)>(&last_mappable_layer));
static_assert(has_form<LayerPtr (*)(LayerPtr const&)>(&next_mappable_layer));
static_assert(has_form<LayerPtr (*)(LayerPtr const&)>(&previous_mappable_layer));
static_assert(has_form<int64_t (*)(Layers const&)>(&get_out_branches_count));
static_assert(has_form<Layers (*)(Layers const&)>(&get_layers_to_map_together));
static_assert(has_form<void (*)(Components*, std::vector<hw::Type> const&, LayerPtr const&)>(&request_skipdma));
static_assert(has_form<Components (*)(LayerPtr const&)>(&request_skipdma_store));
static_assert(has_form<Components (*)()>(&request_skipdma_load));
static_assert(has_form<uint32_t (*)(LayerPtr const&, Layers const&, Layers const&)>(&skipdma_channels_for_layer));
static_assert(has_form<void (*)(LayerPtr const&, Layers const&, Layers const&, DepthMap*)>(
    &set_skipdma_store_channel_info));
static_assert(has_form<void (*)(LayerPtr const&, Layers const&, DepthMap*)>(
    &set_skipdma_store_channel_dual_output_info));
static_assert(has_form<void (*)(LayerPtr const&, Layers const&, Layers const&, DepthMap*)>(
    &set_skipdma_load_channel_info));
static_assert(has_form<void (*)(LayerPtr const&, Layers const&, Layers const&, DepthMap*)>(&set_merge_layer_info));
static_assert(has_form<void (*)(LayerPtr const&, Layers const&, std::vector<std::shared_ptr<Components>>*)>(
    &set_alt_layers));
static_assert(has_form<void (*)(LayerPtr const&, DepthMap*)>(&shift_output_into_sram));
static_assert(std::is_constructible_v<HardwarePass, Layers const&, Layers const&, std::vector<Components> const&,
                                      hw::Ident const&, std::shared_ptr<HardwarePass> const&>);
static_assert(has_form<void (HardwareSequence::*)()>(&HardwareSequence::sync_learning_vars));
static_assert(std::is_constructible_v<HardwareSequenceBuilder, std::shared_ptr<Device>, HardwareConstraints const&,
                                      IoRecorder const&, LayerRecorder const&>);
static_assert(has_form<void (HardwareSequenceBuilder::*)(Layers, Layers const&, std::vector<Components>)>(
    &HardwareSequenceBuilder::add_layers));
static_assert(has_form<std::shared_ptr<HardwarePass> (HardwareSequenceBuilder::*)(size_t) const>(
    &HardwareSequenceBuilder::hardware_pass));
static_assert(has_form<std::shared_ptr<HardwarePass> (HardwareSequenceBuilder::*)() const>(
    &HardwareSequenceBuilder::first_pass));
static_assert(has_form<std::shared_ptr<HardwarePass> (HardwareSequenceBuilder::*)() const>(
    &HardwareSequenceBuilder::last_pass));
static_assert(has_form<void (HardwareSequenceBuilder::*)()>(&HardwareSequenceBuilder::clear));
static_assert(has_form<MappingStatus (HardwareSequenceBuilder::*)(LayerPtr const&, size_t, size_t)>(
    &HardwareSequenceBuilder::check_num_descriptors));
static_assert(has_form<std::pair<MappingStatus, std::shared_ptr<HardwareSequence>> (HardwareSequenceBuilder::*)()>(
    &HardwareSequenceBuilder::build_sequence));
static_assert(has_form<std::pair<uint8_t, uint8_t> (*)(HardwarePass const&, bool)>(&pass_first_layer_col_range));

// The merge and alternate-branch records of a layer mapping.
static_assert(is_member<decltype(LayerMapping::merge_info), std::unique_ptr<MergeLayerInfo>> &&
              is_member<decltype(LayerMapping::alt_info), std::unique_ptr<AltLayerInfo>>);
static_assert(is_member<decltype(MergeLayerInfo::add), bool> &&
              is_member<decltype(MergeLayerInfo::channel), uint32_t> &&
              is_member<decltype(MergeLayerInfo::dual_output), bool> &&
              is_member<decltype(MergeLayerInfo::dual_output_target), uint8_t> &&
              is_member<decltype(MergeLayerInfo::not_first), bool>);
static_assert(is_member<decltype(AltLayerInfo::alternate), bool> && is_member<decltype(AltLayerInfo::nps), uint32_t> &&
              is_member<decltype(AltLayerInfo::main_index), uint8_t>);

// Program records, the program format, the serializer, IO descriptors, HRC input formatting.
static_assert(has_form<std::unique_ptr<program::Record> (*)(HwVersion const&)>(&program::new_record));
static_assert(std::is_constructible_v<program::Record, HwVersion const&>);
static_assert(has_form<void (program::Record::*)(hw::Ident const&, dma::Target, uint16_t, Words const&, bool, bool)>(
    &program::Record::add_np_track));
static_assert(has_form<void (program::Record::*)(hw::Ident const&, Words const&)>(
    &program::Record::add_fnp2_filters_track));
static_assert(has_form<bool (program::NpTrack::*)(hw::Ident const&, dma::Target, uint16_t, Words const&, bool, bool)>(
    &program::NpTrack::append));
static_assert(has_form<uint64_t (*)(hw::Ident const&, dma::Target, uint32_t, uint16_t)>(&format_config_header_fb));
static_assert(program::NpTrack::max_words == 65535);
static_assert(has_form<flatbuffers::Offset<fb::ProgramInfo> (*)(
                  flatbuffers::FlatBufferBuilder&, const char*, flatbuffers::Offset<fb::DeviceVersion>,
                  std::vector<uint32_t> const*, std::vector<uint32_t> const*, fb::IoType, fb::IoType, uint8_t, bool,
                  uint32_t, uint32_t, std::vector<int32_t> const*, std::vector<float> const*, uint8_t,
                  std::vector<fb::RegisterValue> const*, std::vector<flatbuffers::Offset<fb::PassSpans>> const*,
                  flatbuffers::Offset<fb::LearningLayerInfo>, fb::TrackSpan const*, uint8_t, bool, bool,
                  std::vector<float> const*, std::vector<uint8_t> const*, bool)>(&fb::CreateProgramInfoDirect));
static_assert(std::is_constructible_v<SequenceSerializer, LayerRecorder const&, IoRecorder const&>);
static_assert(has_form<void (SequenceSerializer::*)(HwVersion const&)>(&SequenceSerializer::serialize_version));
static_assert(has_form<size_t (SequenceSerializer::*)(bool, bool, bool, bool, bool, Shape, Shape)>(
    &SequenceSerializer::serialize_scc_program));
static_assert(has_form<size_t (SequenceSerializer::*)(Layer const&, Layer const&, LayerPtr, bool, bool, Idents const&,
                                                      bool, bool)>(&SequenceSerializer::serialize_layer_program));
static_assert(has_form<size_t (SequenceSerializer::*)(Layer const&, bool)>(
    &SequenceSerializer::serialize_learning_layer_program));
static_assert(has_form<size_t (SequenceSerializer::*)(LayerPtr, LayerPtr, Idents const&)>(
    &SequenceSerializer::serialize_unused_nps_program));
static_assert(has_form<void (SequenceSerializer::*)()>(&SequenceSerializer::finalize_pass));
static_assert(has_form<void (SequenceSerializer::*)(Layer const&, uint8_t, uint8_t, uint8_t, bool, bool, bool)>(
    &SequenceSerializer::serialize_epg_tracks));
static_assert(has_form<void (SequenceSerializer::*)(bool)>(&SequenceSerializer::record_dummy_desc_hdr));
static_assert(has_form<void (SequenceSerializer::*)(
                  const char*, Shape const&, Shape const&, int8_t, int8_t, uint8_t, bool, uint32_t, uint32_t,
                  std::vector<int32_t> const&, std::vector<float> const&, uint8_t, std::vector<uint8_t>*,
                  std::vector<std::shared_ptr<Sequence::Pass>> const&, uint8_t, bool, bool, std::vector<float> const&,
                  std::vector<uint8_t> const&, bool)>(&SequenceSerializer::finalize));
static_assert(has_form<uint8_t (*)(Layer const&)>(&io::input_bits));
static_assert(has_form<bool (*)(Layer const&)>(&io::input_sign));
static_assert(has_form<bool (*)(Layer const&)>(&io::input_channels_first));
static_assert(has_form<std::vector<float> (*)(Layer const&)>(&io::format_input_scales));
static_assert(has_form<std::vector<uint8_t> (*)(Layer const&)>(&io::format_input_zero_points));
static_assert(has_form<std::vector<float> (*)(Layer const&)>(&io::format_output_scales));
static_assert(has_form<std::vector<int32_t> (*)(Layer const&)>(&io::format_output_shift));
static_assert(has_form<std::vector<Words> (*)(Dense const&)>(&format_hrc_weights));
static_assert(has_form<Words (*)(Dense const&, Dense const&, Dense const*, Dense const*, Dense const&, Dense const&)>(
    &format_hrc_activations));
static_assert(has_form<Words (*)(Dense const&, Dense const&, Dense const&, Dense const&, Dense const&, Dense const&)>(
    &format_hrc_lut_variables));
static_assert(has_form<uint64_t (*)(ProgramInfo const&)>(&input_memory_required));
static_assert(has_form<uint64_t (*)(ProgramInfo const&)>(&input_descriptor_memory_required));
static_assert(has_form<uint64_t (*)(ProgramInfo const&)>(&output_memory_required));
static_assert(has_form<uint64_t (*)(ProgramInfo const&)>(&program_data_memory_required));
static_assert(has_form<uint64_t (*)(ProgramInfo const&)>(&extra_program_memory_required));
static_assert(has_form<uint64_t (*)(ProgramInfo const&)>(&program_descriptors_memory_required));

// Second-generation layer checks.
static_assert(has_form<MappingStatus (v2::CompatibilityCheckerImpl::*)(Layer const&) const>(
    &v2::CompatibilityCheckerImpl::check_supported_activation));
static_assert(has_form<uint32_t (*)(Layer const&, uint32_t)>(&v2::get_weights_100b_size));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(&v2::check_conv2d_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(&v2::check_dwconv2d_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(
    &v2::check_conv2dtranspose_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(
    &v2::check_dwconv2dtranspose_constraints));
static_assert(has_form<MappingStatus (*)(Layer const&)>(&v2::check_add_constraints));
static_assert(has_form<MappingStatus (*)(Layer const&)>(&v2::check_concatenate_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&, Layer const*)>(
    &v2::check_fnp_constraints));
static_assert(has_form<MappingStatus (*)(Layer const&)>(&v2::check_input_conv2d_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(
    &v2::check_buffer_temp_conv_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(
    &v2::check_depthwise_buffer_temp_conv_constraints));
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(&v2::check_tnp_b_constraints));

std::vector<std::vector<uint32_t>> track_words(program::Record const& record) {
    std::vector<std::vector<uint32_t>> words;
    for (program::NpTrack const& track : record.tracks) words.push_back(track.words());
    return words;
}

// Blocks placed with the two flags land exactly where the same blocks placed with TrackOptions do;
// the rows tell the flags apart (a swap would change the tracks or their size fields).
TEST(ExportedInterfaces, AddNpTrackFlagsPlaceBlocksAsTheirOptions) {
    struct Row { bool size_flag; bool reuse_last; std::vector<uint32_t> blocks; size_t tracks; };
    Row const rows[] = {
        {true, true, {3, 5}, 1},
        {true, false, {3, 5}, 2},
        {false, true, {3, 5}, 1},
        {false, false, {2, 4097}, 3},  // the XL block opens one more track
    };
    for (Row const& row : rows) {
        program::Record flags(HwVersion{0xBC, 0xA2, 1, 0});
        program::Record options(HwVersion{0xBC, 0xA2, 1, 0});
        for (uint32_t words : row.blocks) {
            Words const data(words, words);
            flags.add_np_track(hw::Ident{1, 2, 0, 0}, dma::Target::Variables, 0x10, data, row.size_flag,
                               row.reuse_last);
            options.add_np_track(hw::Ident{1, 2, 0, 0}, dma::Target::Variables, 0x10, data,
                                 {.size_flag = row.size_flag, .reuse_last = row.reuse_last});
        }
        EXPECT_EQ(flags.tracks.size(), row.tracks) << row.size_flag << row.reuse_last;
        EXPECT_EQ(track_words(flags), track_words(options)) << row.size_flag << row.reuse_last;
    }
}

// A sizer that answers with what it was asked, so that the flags' order shows in the answer.
class EchoSizer : public MemorySizer {
public:
    uint32_t get_external_memory_size(LayerPtr const&, hw::Component const&,
                                      ExternalMemoryArgs const& args) const override {
        return (args.dual_output_store ? 2u : 0u) + (args.several_passes ? 1u : 0u);
    }
};

// The positional forms of the recorders and the sizer hand the recorder what the named forms do.
TEST(ExportedInterfaces, RecorderFormsPassTheirArgumentsInOrder) {
    testing::LayerRecorderDouble layers;
    testing::IoRecorderDouble io;
    LayerRecorder const& layer_recorder = layers;
    IoRecorder const& io_recorder = io;
    auto first = testing::FakeLayer::make("first");
    auto next = testing::FakeLayer::make("next");
    Idents const skipped{{3, 1, 0, 0}};

    layer_recorder.record_layer(*first, *next, next, true, false, skipped, false, true);
    layer_recorder.record_layer({.layer = *first, .sequence_first = *next, .next_layer = next, .set_spikes = true,
                                 .skipped_nps = skipped, .fnp_padding = true});
    io_recorder.record_scc(true, false, false, true, false, Shape{4, 4, 3}, Shape{1, 1, 2});
    io_recorder.record_scc({.first_on_hrc = true, .output_type_is_zero = true}, Shape{4, 4, 3}, Shape{1, 1, 2});
    io_recorder.record_epg(*first, 2, 7, 1, false, true, false);
    io_recorder.record_epg({.first = *first, .lowest_col = 2, .highest_col = 7, .row_code = 1, .several_passes = true});

    ASSERT_EQ(layers.calls.size(), 2u);
    for (auto const& call : layers.calls) {
        EXPECT_EQ((std::vector<bool>{call.set_spikes, call.mesh_flag, call.registers_only, call.fnp_padding}),
                  (std::vector<bool>{true, false, false, true}));
        EXPECT_EQ(call.other, "next");
        EXPECT_EQ(call.link, next);
        EXPECT_EQ(call.nps, skipped);
    }
    ASSERT_EQ(io.scc_calls.size(), 2u);
    for (auto const& call : io.scc_calls) {
        SccFlags const& f = call.flags;
        EXPECT_EQ((std::vector<bool>{f.first_on_hrc, f.input_type_is_zero, f.last_on_hrc, f.output_type_is_zero,
                                     f.narrow_output}),
                  (std::vector<bool>{true, false, false, true, false}));
    }
    ASSERT_EQ(io.epg_calls.size(), 2u);
    for (auto const& call : io.epg_calls) {
        EXPECT_EQ((std::vector<int>{call.lowest_col, call.highest_col, call.row_code, call.last_on_hrc,
                                    call.several_passes, call.input_type_is_zero}),
                  (std::vector<int>{2, 7, 1, 0, 1, 0}));
    }

    EchoSizer const sizer;
    hw::Component const store{hw::Type::SKIP_DMA_STORE, hw::Ident{1, 1, 3, 5}, {}, {}};
    EXPECT_EQ(sizer.MemorySizer::get_external_memory_size(first, store, true, false), 2u);
    EXPECT_EQ(sizer.get_memory_info(first, store, first, false, true).external_size, 1u);
    EXPECT_EQ(MappingStatus::component_error(*first, "CNP1", 1, 2).to_string(),
              "Cannot map layer 'first'. Not enough hardware components of type CNP1 available. 1 is needed but 2 are "
              "available.");
}

// One program serialized through the positional forms and once through the named forms: the same
// bytes. The values differ in every position, so that a swap of two of them shows.
TEST(ExportedInterfaces, SerializerFormsWriteTheSameProgram) {
    auto conv = testing::FakeLayer::make("conv");
    auto next = testing::FakeLayer::make("next");
    next->set_mapping(std::make_shared<LayerMapping>(1));
    auto pass = std::make_shared<Sequence::Pass>();
    pass->layers = {conv};
    Idents const skipped{{2, 1, 0, 0}};
    auto program_of = [&](bool positional) {
        testing::LayerRecorderDouble layers;
        testing::IoRecorderDouble io;
        io.epg = {{0x10, 7}};
        layers.on_record = [](Layer const& layer) {
            return testing::record_with_tracks({layer.get_name() == "conv" ? 3u : 1u}, hw::Ident{1, 2, 0, 0});
        };
        SequenceSerializer serializer(layers, io);
        serializer.serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
        std::vector<uint8_t> program{0xEE};  // replaced whole
        if (positional) {
            EXPECT_EQ(serializer.serialize_scc_program(true, false, false, true, true, Shape{4, 4, 3}, Shape{1, 1, 2}),
                      1u);
            EXPECT_EQ(serializer.serialize_layer_program(*conv, *conv, next, true, false, skipped, false, true), 1u);
            EXPECT_EQ(serializer.serialize_unused_nps_program(next, conv, skipped), 1u);
            serializer.finalize_pass();
            serializer.serialize_epg_tracks(*conv, 1, 3, 1, false, true, false);
            serializer.finalize("2.0.0", Shape{4, 4, 3}, Shape{1, 1, 2}, 1, 2, 8, true, 5, 6, {-1, 2}, {0.5f}, 3,
                                &program, {pass}, 4, true, false, {0.25f}, {9}, true);
        } else {
            serializer.serialize_scc_program(
                {.first_on_hrc = true, .output_type_is_zero = true, .narrow_output = true}, Shape{4, 4, 3},
                Shape{1, 1, 2});
            serializer.serialize_layer_program({.layer = *conv, .sequence_first = *conv, .next_layer = next,
                                                .set_spikes = true, .skipped_nps = skipped, .fnp_padding = true});
            serialize_unused_nps_program(serializer, next, conv, skipped);
            serializer.finalize_pass();
            serializer.serialize_epg_tracks(
                {.first = *conv, .lowest_col = 1, .highest_col = 3, .row_code = 1, .several_passes = true});
            program = serializer.finalize({.version = "2.0.0", .input_dims = Shape{4, 4, 3},
                                           .output_dims = Shape{1, 1, 2}, .input_type = 1, .output_type = 2,
                                           .output_bits = 8, .output_activation = true, .input_param_a = 6,
                                           .input_param_b = 5, .output_shift = {-1, 2}, .output_scales = {0.5f},
                                           .num_descriptors = 3, .passes = {pass_skip_dma(*pass)}, .input_bits = 4,
                                           .input_signed = true, .input_channels_first = false,
                                           .input_scales = {0.25f}, .input_zero_points = {9},
                                           .post_processing = true});
        }
        return program;
    };
    std::vector<uint8_t> const positional = program_of(true);
    EXPECT_EQ(positional, program_of(false));
    ProgramInfo const info(positional.data(), positional.size());
    EXPECT_EQ(info.info().input_param_b(), 5u);
    EXPECT_EQ(info.info().input_param_a(), 6u);

    testing::LayerRecorderDouble layers;
    testing::IoRecorderDouble io;
    SequenceSerializer serializer(layers, io);
    serializer.serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    serializer.finalize_pass();
    EXPECT_THROW(serializer.finalize("2.0.0", Shape{1}, Shape{1}, 0, 0, 8, false, 0, 0, {}, {}, 1, nullptr, {pass}, 8,
                                     false, false, {}, {}, false),
                 std::invalid_argument);
}

// One model mapped through the form over the chosen back end and through the generation form: the
// same statuses and the same program. Three convolutions take two passes on two NPs; without an NP
// the first one fails.
TEST(ExportedInterfaces, BuildHardwareSequencesOverTheChosenBackEnd) {
    struct Mapped { std::string status; std::vector<uint8_t> program; };
    auto const map = [](uint8_t nps, bool chosen_form) {
        auto const device = make_fake_device(hw::Tolmar_v2, fake_nps(hw::Type::CNP1, nps));
        auto const constraints = std::make_shared<MapConstraints>(device);
        testing::ModelBuilder model;
        model.input("in");
        for (auto [name, inbound] : {std::pair{"c1", "in"}, {"c2", "c1"}, {"c3", "c2"}})
            model.layer(LayerType::Conv2D, name, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {inbound});
        Layers layers = model.model().layers();
        std::vector<std::shared_ptr<Sequence>> sequences;
        IpVersionSpecificHardwareBackend backend(*device);
        MappingStatusGroup status;
        if (chosen_form) build_hardware_sequences(status, backend, constraints, &layers, &sequences, true);
        else status = build_hardware_sequences(backend, constraints, &layers, &sequences, true);
        Mapped result{status.to_string(), {}};
        for (auto const& sequence : sequences) {
            auto const program = sequence->program();
            result.program.insert(result.program.end(), program.data(), program.data() + program.size());
        }
        return result;
    };
    for (uint8_t const nps : {uint8_t{2}, uint8_t{0}}) {
        Mapped const chosen = map(nps, true);
        Mapped const generation = map(nps, false);
        EXPECT_EQ(chosen.status, generation.status) << int(nps);
        EXPECT_EQ(chosen.program, generation.program) << int(nps);
        EXPECT_EQ(chosen.program.empty(), nps == 0) << chosen.status;
    }
}

// ---- second generation ----

namespace second_generation {

using namespace nuvra::testing;
using LT = LayerType;
using Idents = std::vector<hw::Ident>;
using RecordPtr = std::unique_ptr<program::Record>;

static_assert(is_reg_detail(v2::REG4_IB_CH_GRP_EN, 10, 1));
static_assert(is_reg_detail(v2::REG4_EN_ACT, 15, 1));
static_assert(is_reg_detail(v2::REG4_NP_NUM, 16, 8));
static_assert(is_reg_detail(v2::REG5_CPKSRAM_SIZE, 0, 16));
static_assert(is_reg_detail(v2::REG8_II_SIZE, 0, 11));
static_assert(is_reg_detail(v2::REG8_II_OFFSET, 12, 3));
static_assert(is_reg_detail(v2::REG8_JJ_SIZE, 16, 11));
static_assert(is_reg_detail(v2::REG8_JJ_OFFSET, 28, 3));
static_assert(is_reg_detail(v2::REG9_I_ORIG_CUT, 0, 12));
static_assert(is_reg_detail(v2::REG11_CHCONT_SIZE, 12, 18));
static_assert(is_reg_detail(v2::CNP2_TF_TOTAL, 0, 11));
static_assert(is_reg_detail(v2::CNP3_CH_ORIG_CUT, 0, 12));
static_assert(is_reg_detail(v2::CNP3_CH_SIZE_CUT, 16, 10));
static_assert(is_reg_detail(v2::CNP8_CPK_CHCONT_SIZE, 16, 16));
static_assert(is_reg_detail(v2::PR1_FNP_MODE, 1, 1));
static_assert(is_reg_detail(v2::PR1_IB_CH_GRP_EN, 10, 1));
static_assert(is_reg_detail(v2::PR1_SP_MAXPOOLING, 11, 1));
static_assert(is_reg_detail(v2::PR1_SEPARABLE, 15, 1));
static_assert(is_reg_detail(v2::PR1_I_ORIG_CUT, 0, 12));
static_assert(is_reg_detail(v2::PR1_J_ORIG_CUT, 16, 12));
static_assert(is_reg_detail(v2::PR1_I_SIZE_CUT, 0, 11));
static_assert(is_reg_detail(v2::PR1_J_SIZE_CUT, 16, 11));
static_assert(is_reg_detail(v2::PR1_CH_SIZE, 0, 18));
static_assert(is_reg_detail(v2::PR1_CH_ORIG_CUT, 0, 12));
static_assert(is_reg_detail(v2::PR1_CH_SIZE_CUT, 16, 10));
static_assert(is_reg_detail(v2::PR1_PKSRAM_SIZE, 0, 16));
static_assert(is_reg_detail(v2::VARS_W1_BIAS, 8, 8));
static_assert(is_reg_detail(v2::VARS_W1_BIAS_SHIFT, 16, 5));
static_assert(is_reg_detail(v2::VARS_W1_OUT_SHIFT, 21, 6));
static_assert(is_reg_detail(v2::VARS_W1_MAX_SHIFT, 27, 5));
static_assert(is_reg_detail(v2::HRC_SRAM_SELECT_R, 0, 1));
static_assert(is_reg_detail(v2::HRC_SRAM_SELECT_G, 1, 1));
static_assert(is_reg_detail(v2::HRC_SRAM_SELECT_B, 2, 1));
static_assert(is_reg_detail(v2::HRC_SRAM_SELECT_LUT, 29, 1));
static_assert(is_reg_detail(v2::HRC_SRAM_SELECT_ACT, 31, 1));
static_assert(is_reg_detail(v2::fnp::MAX_VALUE, 16, 8));
static_assert(is_reg_detail(v2::fnp::MAX_VALUE_SHIFT, 24, 8));

// The sizes and the variable, shift, look-up-table and FNP formats, in their exact types.
using Words = std::vector<uint32_t>;
using v2::InputPadding;
static_assert(has_form<InputPadding (*)(Layer const&, bool)>(&v2::get_fnp_supported_padding));
static_assert(has_form<Shape (*)(Layer const&, bool)>(&v2::get_fnp_input_dim));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t, uint8_t, InputPadding)>(&v2::get_fpksram_size));
static_assert(has_form<uint32_t (*)(Layer const&, bool)>(&v2::get_fnp_input_size));
static_assert(has_form<uint32_t (*)(Dense const&, Shape const&, InputPadding, uint8_t)>(
    &v2::fnp_input_shift_24b_size));
static_assert(has_form<uint32_t (*)(Dense const&)>(&v2::cnp_tnp_input_shift_24b_size));
static_assert(has_form<uint32_t (*)(Shape const&, InputPadding, uint8_t, uint8_t)>(&v2::get_neuron_word_size));
static_assert(has_form<uint32_t (*)(Dense const&, uint8_t, Shape const&, InputPadding, uint8_t)>(
    &v2::get_layer_word_size));
static_assert(has_form<uint32_t (*)(Layer const&)>(&v2::get_fnp_sram_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint8_t)>(&v2::conv2d_ch_cont_100b_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t, uint8_t)>(
    &v2::conv2d_cnp_formatted_weight_100b_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint8_t)>(&v2::dwc_ch_cont_100b_size));
static_assert(has_form<uint32_t (*)(uint32_t)>(&v2::buffer_temp_conv_ch_cont_100b_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t)>(
    &v2::buffer_temp_conv_tnp_formatted_weight_100b_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t)>(
    &v2::depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size));
static_assert(has_form<uint32_t (*)(Layer const&)>(&v2::get_hrc_sram_size));
static_assert(has_form<Words (*)(Dense const&, Shape const&, InputPadding, uint8_t)>(&v2::format_input_shift_fnp));
static_assert(has_form<Words (*)(Layer const&, bool, InputPadding, uint8_t, uint8_t)>(&v2::format_fnp_ram));
static_assert(has_form<Words (*)(Dense const*, Dense const*, Dense const*, Dense const*, Dense const*, Dense const*,
                                 Dense const*, Dense const*, uint32_t, uint32_t)>(&v2::format_cnp_tnp_variables));
static_assert(has_form<Words (*)(Dense const&, uint32_t, uint32_t)>(&v2::format_input_shift));
static_assert(has_form<Words (*)(Dense const&)>(&v2::format_input_shift));
static_assert(has_form<Words (*)(std::shared_ptr<Dense const> const&, std::shared_ptr<Dense const> const&,
                                 std::shared_ptr<Dense const> const&, uint32_t, uint32_t)>(
    &v2::format_merge_layer_shift));
static_assert(has_form<Words (*)(Dense const*)>(&v2::format_lut_values_for_cnp));
static_assert(has_form<Words (*)(Dense const*)>(&v2::format_lut_values_for_hrc));
static_assert(has_form<dma::Target (*)(uint32_t, uint8_t)>(&v2::conv2d_dma_target));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t, uint8_t)>(
    &v2::conv2d_cnp_formatted_weight_32b_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t)>(&v2::conv2d_cnp_formatted_4bit_weight_32b_size));
static_assert(has_form<dma::Target (*)(uint32_t, uint8_t)>(&v2::dwc_dma_target));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t)>(&v2::dwc_4bit_ch_cont_100b_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t)>(&v2::dwc_cnp_formatted_4bit_weight_32b_size));

// The register image, the routing words and the skip-DMA blocks.
using Components = std::vector<hw::Component>;
using SkipDmaBlocks = std::map<uint16_t, std::vector<uint32_t>>;
static_assert(has_form<Words (*)(hw::Component const&, uint32_t, bool, bool)>(&v2::default_np_regs));
static_assert(has_form<void (*)(Words*, Shape const&, NpSpace const&, uint8_t, uint8_t, bool, PaddingParams const&,
                                bool)>(&v2::format_cnp_pooling_registers));
static_assert(has_form<bool (*)(PoolingCalculatedParams*, uint32_t, uint32_t)>(&v2::get_no_pooling_params));
static_assert(has_form<void (*)(Words*, Components const&, Components const&, Components const&,
                                std::unique_ptr<AltLayerInfo> const&, uint8_t, bool, bool, bool)>(
    &v2::format_mesh_registers_set_output_to_NPs));
static_assert(has_form<void (*)(program::Record*, Layer const&)>(&v2::record_skipdma));
static_assert(has_form<void (*)(SkipDmaBlocks*, uint8_t, uint8_t, uint32_t, Components const&, uint32_t)>(
    &v2::format_skipdma_load_registers));
static_assert(has_form<void (*)(program::Record*, Layer const&, bool, bool, uint32_t)>(&v2::record_skipdma_store));
static_assert(has_form<void (*)(SkipDmaBlocks*, uint8_t, uint32_t, bool, bool, Components const&)>(
    &v2::format_skipdma_store_registers));

// The functions in their positional forms, each named through a pointer of its exact type.
using KindRecorder = RecordPtr(Device const&, Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&, bool,
                               bool);
using KindRegisters = std::map<hw::Ident, std::vector<uint32_t>>(Layer const&, std::shared_ptr<Layer>, bool, bool,
                                                                 Idents const&, bool, bool);
using NamedRecorder = RecordPtr(Device const&, LayerRecordArgs const&);
using NamedRegisters = NpRegisterMap(LayerRecordArgs const&);

struct KindForms {
    LayerType type;
    KindRecorder* record;
    NamedRecorder* record_named;
    KindRegisters* registers;
    NamedRegisters* registers_named;
};
KindForms const kind_forms[] = {
    {LT::Conv2D, static_cast<KindRecorder*>(&v2::record_program_conv2d_layer), &v2::record_program_conv2d_layer,
     static_cast<KindRegisters*>(&v2::format_conv2d_np_registers), &v2::format_conv2d_np_registers},
    {LT::Conv2DTranspose, static_cast<KindRecorder*>(&v2::record_program_transposed_conv2d_layer),
     &v2::record_program_transposed_conv2d_layer,
     static_cast<KindRegisters*>(&v2::format_transposed_conv2d_np_registers),
     &v2::format_transposed_conv2d_np_registers},
    {LT::DepthwiseConv2D, static_cast<KindRecorder*>(&v2::record_program_dwconv2d_layer),
     &v2::record_program_dwconv2d_layer, static_cast<KindRegisters*>(&v2::format_dwconv2d_np_registers),
     &v2::format_dwconv2d_np_registers},
    {LT::DepthwiseConv2DTranspose, static_cast<KindRecorder*>(&v2::record_program_transposed_dwconv2d_layer),
     &v2::record_program_transposed_dwconv2d_layer,
     static_cast<KindRegisters*>(&v2::format_transposed_dwconv2d_np_registers),
     &v2::format_transposed_dwconv2d_np_registers},
    {LT::BufferTempConv, static_cast<KindRecorder*>(&v2::record_program_buffer_temp_conv_layer),
     &v2::record_program_buffer_temp_conv_layer,
     static_cast<KindRegisters*>(&v2::format_buffer_temp_conv_np_registers),
     &v2::format_buffer_temp_conv_np_registers},
    {LT::DepthwiseBufferTempConv, static_cast<KindRecorder*>(&v2::record_program_depthwise_buffer_temp_conv_layer),
     &v2::record_program_depthwise_buffer_temp_conv_layer,
     static_cast<KindRegisters*>(&v2::format_depthwise_buffer_temp_conv_np_registers),
     &v2::format_depthwise_buffer_temp_conv_np_registers},
};

auto* const dense1d_recorder = static_cast<RecordPtr (*)(Device const&, HardwareConstraints const&, Layer const&,
                                                         Layer const&, std::shared_ptr<Layer>, bool, bool,
                                                         Idents const&, bool)>(&v2::record_program_dense1d_layer);
auto* const common_config = static_cast<void (*)(
    std::vector<uint32_t>*, NpSplitInterface const&, int, int, ActivationType, uint32_t, uint32_t, uint8_t,
    std::vector<hw::Component> const&, bool, bool, uint8_t, uint8_t, std::unique_ptr<MergeLayerInfo> const&,
    hw::Component const*, std::vector<hw::Component> const&, bool, bool)>(&v2::format_cnp_tnp_common_config_registers);
auto* const hrc_sram = static_cast<void (*)(program::Record*, RegDetail const&, std::vector<uint32_t> const&)>(
    &v2::record_hrc_sram);
auto* const fnp_weights_into_image = static_cast<void (*)(uint8_t*, uint32_t, Dense const&, uint8_t, Shape const&,
                                                          v2::InputPadding, uint8_t)>(&v2::format_fnp_weights);
auto const record_layer = static_cast<RecordPtr (v2::LayerRecorderImpl::*)(
    Layer const&, Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&, bool, bool) const>(
    &v2::LayerRecorderImpl::record_layer);
auto const record_scc = static_cast<RecordPtr (v2::IoRecorderImpl::*)(bool, bool, bool, bool, bool, Shape, Shape)
                                        const>(&v2::IoRecorderImpl::record_scc);
auto const record_epg = static_cast<std::vector<std::pair<uint32_t, uint32_t>> (v2::IoRecorderImpl::*)(
    Layer const&, uint8_t, uint8_t, uint8_t, bool, bool, bool) const>(&v2::IoRecorderImpl::record_epg);
auto const external_memory = static_cast<uint32_t (v2::MemorySizerImpl::*)(
    std::shared_ptr<Layer> const&, hw::Component const&, bool, bool) const>(
    &v2::MemorySizerImpl::get_external_memory_size);

bool temporal(LayerType type) { return type == LT::BufferTempConv || type == LT::DepthwiseBufferTempConv; }
bool depthwise(LayerType type) {
    return type == LT::DepthwiseConv2D || type == LT::DepthwiseConv2DTranspose || type == LT::DepthwiseBufferTempConv;
}

// A layer of `type` over an 8 x 8 x 4 input on two NPs of two filters (channels) each, kernel (or
// FIFO) 3, ReLU; a temporal kind with its frame-buffer skip DMAs.
std::shared_ptr<FakeLayer> mapped_conv(LayerType type) {
    auto layer = FakeLayer::make("conv", {temporal(type) ? ComponentKind::TNP_B : ComponentKind::CNP});
    std::map<std::string, int> params{{"activation", 1}};
    if (temporal(type)) params.insert({{"fifo_size", 3}, {"filters", 4}});
    else params.insert({{"kernel_size", 3}, {"weights_bits", 8}, {"kernel_stride", 1}, {"filters", 4}});
    if (type == LT::Conv2D || type == LT::DepthwiseConv2D) params.insert({{"pool_type", 0}, {"pool_size", 1}});
    if (depthwise(type)) params.erase("filters");
    layer->set_params(type, params);
    layer->set_activation(ActivationType::ReLU);
    layer->set_input_dims({Shape{8, 8, 4}});
    layer->set_output_dims(Shape{8, 8, 4});
    layer->set_conv_block({1, 1, 8, 8, {1, 1, 1, 1}});
    layer->set_pool_block({1, 1, 8, 8, {}, false});
    Shape const kernel = !temporal(type) ? Shape{3, 3, depthwise(type) ? 1u : 4u, 4}
                         : depthwise(type) ? Shape{1, 1, 3, 4}
                                           : Shape{1, 1, 12, 4};
    auto weights = zeros(TensorType::int8, kernel);
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 7) - 3);
    layer->vars().set("weights", weights);
    layer->vars().set("input_shift", zeros(TensorType::uint8, Shape{4}));
    layer->vars().set("bias", zeros(TensorType::int8, Shape{4}));
    auto mapping = v2::testing::np_mapping(temporal(type) ? hw::Type::TNP_B : hw::Type::CNP2,
                                           {np_part(0, 2, 0, 0, 8, 8, depthwise(type) ? 2 : 4),
                                            np_part(2, 2, 0, 0, 8, 8, depthwise(type) ? 2 : 4)});
    if (temporal(type)) {
        mapping->uses_skipdma_layer_flag = true;
        mapping->skipdma_stores.push_back(make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1}));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{3, 0, 1});
        mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 3, 1, 0});
    }
    layer->set_mapping(mapping);
    return layer;
}

// One argument at a time, so that two arguments passed in each other's place show.
struct CallRow {
    char const* name;
    bool next_layer, set_spikes, mesh_flag, registers_only, fnp_padding;
    Idents skipped_nps;
};
CallRow const call_rows[] = {
    {"next_layer", true, false, false, false, false, {}},
    {"set_spikes", false, true, false, false, false, {}},
    {"mesh_flag", false, false, true, false, false, {}},
    {"registers_only", false, false, false, true, false, {}},
    {"fnp_padding", false, false, false, false, true, {}},
    {"skipped_nps", false, false, false, false, false, {{3, 0, 0, 0}}},
};

TEST(ExportedInterfacesV2, KindFormsRecordWhatTheNamedFormsRecord) {
    auto const device = make_fake_device(hw::Tolmar_v2);
    for (KindForms const& kind : kind_forms) {
        auto const layer = mapped_conv(kind.type);
        for (CallRow const& row : call_rows) {
            SCOPED_TRACE(std::to_string(int(kind.type)) + " " + row.name);
            std::shared_ptr<Layer> const next = row.next_layer ? layer : nullptr;
            LayerRecordArgs const args{.layer = *layer, .sequence_first = *layer, .next_layer = next,
                                       .set_spikes = row.set_spikes, .mesh_flag = row.mesh_flag,
                                       .skipped_nps = row.skipped_nps, .registers_only = row.registers_only,
                                       .fnp_padding = row.fnp_padding};
            auto const positional = kind.record(*device, *layer, next, row.set_spikes, row.mesh_flag,
                                                row.skipped_nps, row.registers_only, row.fnp_padding);
            auto const blocks = decode_blocks(*positional);
            EXPECT_EQ(blocks, decode_blocks(*kind.record_named(*device, args)));
            EXPECT_FALSE(blocks.empty());
            EXPECT_EQ(kind.registers(*layer, next, row.set_spikes, row.mesh_flag, row.skipped_nps,
                                     row.registers_only, row.fnp_padding),
                      kind.registers_named(args));
        }
    }
}

// The FNP recorder, the dispatch and the IO recorder and memory sizer of the generation.
TEST(ExportedInterfacesV2, RecorderFormsRecordWhatTheNamedFormsRecord) {
    auto const device = make_fake_device(hw::Tolmar_v2);
    HardwareConstraints constraints;
    constraints.fnp3_sram_words = 1000;
    auto const dense = FakeLayer::make("fc", {ComponentKind::FNP});
    dense->set_params(LT::Dense1D, {{"units", 4}, {"weights_bits", 8}});
    dense->set_input_dims({Shape{2, 2, 4}});
    dense->set_output_dims(Shape{1, 1, 4});
    auto weights = zeros(TensorType::int8, Shape{16, 4});
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 9));
    dense->vars().set("weights", weights);
    dense->vars().set("input_shift", zeros(TensorType::uint8, Shape{16}));
    for (auto [name, type] : {std::pair{"bias", TensorType::int8}, {"bias_shift", TensorType::uint8},
                              {"output_scales", TensorType::uint8}, {"output_shift", TensorType::int8}})
        dense->vars().set(name, zeros(type, Shape{4}));
    dense->set_mapping(v2::testing::np_mapping(hw::Type::FNP3, {np_part(0, 4, 0, 0, 1, 1, 16)}));
    auto const input = FakeLayer::make("in");  // another first layer: the input stays unflattened

    v2::LayerRecorderImpl const recorder(*device, constraints);
    for (CallRow const& row : call_rows) {
        for (Layer const* first : {static_cast<Layer const*>(dense.get()), static_cast<Layer const*>(input.get())}) {
            SCOPED_TRACE(std::string(row.name) + (first == dense.get() ? ", flattened" : ""));
            std::shared_ptr<Layer> const next = row.next_layer ? dense : nullptr;
            LayerRecordArgs const args{.layer = *dense, .sequence_first = *first, .next_layer = next,
                                       .set_spikes = row.set_spikes, .mesh_flag = row.mesh_flag,
                                       .skipped_nps = row.skipped_nps, .registers_only = row.registers_only};
            auto const named = decode_blocks(*v2::record_program_dense1d_layer(*device, constraints, args));
            EXPECT_EQ(decode_blocks(*dense1d_recorder(*device, constraints, *dense, *first, next, row.set_spikes,
                                                      row.mesh_flag, row.skipped_nps, row.registers_only)),
                      named);
            LayerRecordArgs with_padding = args;
            with_padding.fnp_padding = row.fnp_padding;
            EXPECT_EQ(decode_blocks(*(recorder.*record_layer)(*dense, *first, next, row.set_spikes, row.mesh_flag,
                                                              row.skipped_nps, row.registers_only, row.fnp_padding)),
                      decode_blocks(*recorder.record_layer(with_padding)));
        }
    }

    v2::IoRecorderImpl const io(*device);
    for (bool const flag : {false, true}) {
        auto const scc = (io.*record_scc)(flag, true, !flag, true, !flag, Shape{8, 8, 3}, Shape{4, 5, 10});
        EXPECT_EQ(decode_blocks(*scc),
                  decode_blocks(*io.record_scc({flag, true, !flag, true, !flag}, Shape{8, 8, 3}, Shape{4, 5, 10})));
        EXPECT_EQ((io.*record_epg)(*dense, 1, 4, 2, flag, !flag, true),
                  io.record_epg({*dense, 1, 4, 2, flag, !flag, true}));
    }

    v2::MemorySizerImpl const sizer;
    hw::Component const store = make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1});
    for (auto [use_input_shape, two_buffers] : {std::pair{false, false}, {false, true}, {true, false}, {true, true}})
        EXPECT_EQ((sizer.*external_memory)(dense, store, use_input_shape, two_buffers),
                  sizer.get_external_memory_size(dense, store, {use_input_shape, two_buffers}))
            << use_input_shape << two_buffers;
}

// The register, HRC memory and FNP weight formatters in their positional forms.
TEST(ExportedInterfacesV2, FormatterFormsWriteWhatTheNamedFormsWrite) {
    // The common configuration, with and without a merge, each flag on its own.
    std::vector<hw::Component> const nps{v2::testing::cnp({3, 0, 0, 0}), v2::testing::cnp({1, 0, 0, 0})};
    hw::Component const load = make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2});
    NpSplit const split(Shape{8, 8, 4}, NpSpace{0, 0, Shape{8, 8, 4}}, NpSpace{0, 0, Shape{8, 8, 4}}, 3, 1,
                        PaddingParams{1, 1, 1, 1}, 1, 1, PaddingParams{});
    struct { bool merge, single_buffer, transposed, fnp_padding, link_nps; } const configs[] = {
        {false, true, false, false, true}, {false, false, true, false, true}, {true, false, false, true, true},
        {true, false, false, false, false},
    };
    for (auto const& row : configs) {
        std::unique_ptr<MergeLayerInfo> merge;
        if (row.merge) {
            merge = std::make_unique<MergeLayerInfo>();
            merge->add = true;
            merge->channel = 3;
        }
        std::vector<uint32_t> positional(v2::NP_REGISTER_WORDS, 0u), named = positional;
        common_config(&positional, split, 3, 1, ActivationType::ReLU, 2, 2, 4, nps, row.single_buffer, row.transposed,
                      8, 4, merge, &load, {}, row.fnp_padding, row.link_nps);
        v2::format_cnp_tnp_common_config_registers(
            &named, split,
            {.kernel_size = 3, .kernel_stride = 1, .activation = ActivationType::ReLU, .first_neuron = 2,
             .filters = 2, .weights_bits = 4, .layer_nps = nps, .single_buffer = row.single_buffer,
             .transposed = row.transposed, .input_bits = 8, .output_bits = 4, .merge_info = merge.get(),
             .skipdma_load = &load, .dual_output_stores = {}, .fnp_padding = row.fnp_padding,
             .link_nps = row.link_nps});
        EXPECT_EQ(positional, named) << row.merge << row.single_buffer << row.transposed << row.fnp_padding;
    }

    // An HRC memory: the select block, then the data.
    auto const by_bits = program::new_record(hw::Tolmar_v2), by_field = program::new_record(hw::Tolmar_v2);
    hrc_sram(by_bits.get(), v2::HRC_SRAM_SELECT_LUT, {5, 6});
    record_hrc_sram(by_field.get(), Field{0, 29, 1}, {5, 6});
    auto const blocks = decode_blocks(*by_bits);
    EXPECT_EQ(blocks, decode_blocks(*by_field));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].words, (std::vector<uint32_t>{0x20000000, 0}));
    EXPECT_EQ(error_text<std::runtime_error>([&] { hrc_sram(by_bits.get(), RegDetail{0, 0}, {1}); }),
              "Attempted to write value 1 into a 0-bit field, which will cause an overflow.");

    // FNP weights written into the neuron memory: each neuron's words after its two variable words.
    auto weights = zeros(TensorType::int8, Shape{6, 3});
    for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i * 37 % 255 - 127));
    Shape const s{1, 1, 6};
    uint32_t const record_words = v2::get_neuron_word_size(s, v2::InputPadding::Packed, 8, 8);
    std::vector<uint32_t> expected(3 * record_words, 0u);
    std::vector<uint8_t> image(4 * expected.size(), 0u);
    for (uint32_t n = 0; n < 3; ++n) {
        fnp_weights_into_image(image.data(), n, *weights, 8, s, v2::InputPadding::Packed, 8);
        auto const words = v2::format_fnp_weights(n, *weights, 8, s, v2::InputPadding::Packed, 8);
        std::copy(words.begin(), words.end(), expected.begin() + n * record_words + 2);
    }
    std::vector<uint32_t> written(expected.size());
    for (size_t i = 0; i < image.size(); ++i) written[i / 4] |= uint32_t{image[i]} << (8 * (i % 4));
    EXPECT_EQ(written, expected);
}

}  // namespace second_generation

// ---- first generation ----

namespace first_generation {

static_assert(is_reg_detail(v1::CNP1_CONV_STRD, 8, 1));
static_assert(is_reg_detail(v1::CNP1_KERNEL_TYPE, 28, 3));
static_assert(is_reg_detail(v1::CNP4_OB_I_ORIG, 0, 12));
static_assert(is_reg_detail(v1::CNP4_OB_J_ORIG, 16, 12));
static_assert(is_reg_detail(v1::REG10_I_SIZE_CUT, 0, 11));
static_assert(is_reg_detail(v1::REG10_J_SIZE_CUT, 16, 11));
static_assert(is_reg_detail(v1::REG11_ICONT_SIZE, 0, 8));
static_assert(is_reg_detail(v1::REG2_NP2NP_CFG, 20, 2));
static_assert(is_reg_detail(v1::REG2_CNP4FNP_NUM, 24, 2));
static_assert(is_reg_detail(v1::REG11_CH_SIZE, 12, 18));
static_assert(is_reg_detail(v1::FNP1_FPKT_WSIZE, 0, 18));
static_assert(is_reg_detail(v1::FNP4_W_SIZE_LAST, 0, 16));
static_assert(is_reg_detail(v1::FNP4_W_BLK_COUNT, 20, 4));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_R, 0, 1));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_G, 1, 1));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_B, 2, 1));
static_assert(is_reg_detail(v1::HRC_SRAM_SELECT_TH_STP, 31, 1));

using Idents = std::vector<hw::Ident>;
using Components = std::vector<hw::Component>;
using Registers = std::vector<uint32_t>;
using RegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;
using RecordPtr = std::unique_ptr<program::Record>;

// Each function in its exact type: dropping or re-signing one does not compile.
using LayerProgram = RecordPtr (*)(Device const&, Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&,
                                   bool);
using CnpImages = RegisterMap (*)(Layer const&, std::shared_ptr<Layer>, bool, bool, Idents const&);
[[maybe_unused]] constexpr auto record_program_conv_layer = static_cast<LayerProgram>(&v1::record_program_conv_layer);
[[maybe_unused]] constexpr auto record_program_sep_conv_layer =
    static_cast<LayerProgram>(&v1::record_program_sep_conv_layer);
[[maybe_unused]] constexpr auto record_program_dense_layer = static_cast<LayerProgram>(&v1::record_program_dense_layer);
[[maybe_unused]] constexpr auto format_conv_np_registers = static_cast<CnpImages>(&v1::format_conv_np_registers);
[[maybe_unused]] constexpr auto format_sep_conv_np_registers =
    static_cast<CnpImages>(&v1::format_sep_conv_np_registers);
[[maybe_unused]] constexpr auto format_dense_np_registers = static_cast<RegisterMap (*)(
    Device const&, Layer const&, bool, std::shared_ptr<Layer> const&, bool, bool)>(&v1::format_dense_np_registers);
[[maybe_unused]] constexpr auto format_cnp_common_config_registers = static_cast<void (*)(
    Registers*, Shape const&, uint8_t, int, int, int, PaddingParams const&, uint8_t, int, NpSpace, NpSpace const&,
    uint32_t, uint8_t, PaddingParams const&, uint32_t, uint32_t, uint32_t, uint8_t)>(
    &v1::format_cnp_common_config_registers);
[[maybe_unused]] constexpr auto format_cnp_pooling_registers = static_cast<void (*)(
    Registers*, Shape const&, NpSpace const&, uint8_t, uint8_t, uint8_t, PaddingParams const&)>(
    &v1::format_cnp_pooling_registers);
[[maybe_unused]] constexpr auto format_mesh_registers_set_output_to_NPs = static_cast<void (*)(
    Registers*, Components const&, Components const&, Components const&, uint8_t, bool, bool, bool)>(
    &v1::format_mesh_registers_set_output_to_NPs);
[[maybe_unused]] constexpr auto format_std_cnp_weights =
    static_cast<Registers (*)(std::shared_ptr<Dense const>, bool, uint32_t, uint32_t)>(&v1::format_std_cnp_weights);
[[maybe_unused]] constexpr auto fnp_update_learn_vars =
    static_cast<void (*)(HardwareDevice*, VariablesImpl*, bool)>(&v1::fnp_update_learn_vars);
[[maybe_unused]] constexpr auto record_hrc_sram =
    static_cast<void (*)(program::Record*, RegDetail const&, std::vector<uint32_t> const&)>(&v1::record_hrc_sram);

// The formatters over Dense tensors, beside their forms over any Tensor.
[[maybe_unused]] constexpr auto format_4bits_std_cnp_weights =
    static_cast<Registers (*)(Dense const&, uint32_t, uint32_t)>(&v1::format_4bits_std_cnp_weights);
[[maybe_unused]] constexpr auto format_sep_cnp_dw_weights =
    static_cast<Registers (*)(Dense const&, int)>(&v1::format_sep_cnp_dw_weights);
[[maybe_unused]] constexpr auto format_sep_cnp_pw_weights =
    static_cast<Registers (*)(Dense const&, int, uint32_t, uint32_t)>(&v1::format_sep_cnp_pw_weights);
[[maybe_unused]] constexpr auto format_fnp_ram =
    static_cast<Registers (*)(Dense const&, Dense const&, Dense const&, int, bool)>(&v1::format_fnp_ram);
[[maybe_unused]] constexpr auto format_hrc_threshold_steps =
    static_cast<Registers (*)(Dense const&, Dense const&)>(&v1::format_hrc_threshold_steps);

// Sizes, checks and the other recorders.
static_assert(has_form<uint32_t (*)(uint32_t, uint8_t)>(&v1::get_cnp_channel_container_size));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t)>(&v1::get_cnp_input_sram_size));
static_assert(has_form<uint32_t (*)(Layer const&, uint32_t)>(&v1::get_weights_size));
static_assert(has_form<bool (*)(HardwareConstraints const&, Layer const&, uint32_t)>(&v1::check_weights_size_fit_cnp));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t, int)>(&v1::get_std_cnp_sram_size));
static_assert(has_form<uint32_t (*)(int, uint32_t, int)>(&v1::get_dw_weights_sram_size));
static_assert(has_form<uint32_t (*)(uint32_t, int)>(&v1::get_nb_words_per_pw_channel));
static_assert(has_form<uint32_t (*)(uint32_t, uint32_t, uint32_t, int)>(&v1::get_sep_cnp_sram_size));
static_assert(has_form<uint32_t (*)(Layer const&)>(&v1::get_fnp_sram_size));
static_assert(has_form<uint32_t (*)(Layer const&)>(&v1::get_fnp_input_size));
static_assert(has_form<uint32_t (*)(Layer const&)>(&v1::get_hrc_sram_size));
static_assert(has_form<Registers (*)()>(&v1::default_np_regs));
static_assert(has_form<MappingStatus (*)(Layer const&, Components const&, HwVersion)>(&v1::check_std_cnp_mappings));
static_assert(has_form<MappingStatus (*)(Layer const&, Components const&)>(&v1::check_sep_cnp_mappings));
static_assert(has_form<MappingStatus (*)(Layer const&, Components const&)>(&v1::check_cnp_pooling_mappings));
static_assert(has_form<program::LearnRecordsPtr (*)(Device const&, Layer const&, bool)>(
    &v1::record_program_learning_dense_layer));
static_assert(has_form<RecordPtr (*)(Device const&, Layer const&)>(&v1::record_program_hrc_layer));

using nuvra::testing::decode_blocks;
using nuvra::testing::V1MappedLayer;

V1MappedLayer mapped(LayerType type) {
    if (type == LayerType::FullyConnected)
        return nuvra::testing::map_v1_fnp_layer(
            {{"units", 10}, {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}}, {4, 4, 2, 2});
    // Split over several NPs of 8 filters, so that one of them can be skipped.
    return nuvra::testing::map_v1_cnp_layer(type,
                                            {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 24},
                                             {"padding", 1}, {"weights_bits", 2}, {"activation", 1}, {"act_bits", 2}},
                                            {16, 16, 4, 4}, 32, 8);
}

// The flags are given apart, so that a form that swaps two of them gives other words.
struct CallFlags {
    bool set_spikes = false;
    bool mesh_flag = false;
    bool skip_first = false;
    bool registers_only = false;
};
constexpr CallFlags call_rows[] = {{true, false, true, false}, {false, true, false, true}};

TEST(V1ExportedInterfaces, LayerProgramsAsTheNamedForms) {
    struct { LayerType type; LayerProgram program; RecordPtr (*named)(Device const&, LayerRecordArgs const&); } const
        kinds[] = {
            {LayerType::Convolutional, record_program_conv_layer, &v1::record_program_conv_layer},
            {LayerType::SeparableConvolutional, record_program_sep_conv_layer, &v1::record_program_sep_conv_layer},
            {LayerType::FullyConnected, record_program_dense_layer, &v1::record_program_dense_layer},
        };
    for (auto const& kind : kinds) {
        V1MappedLayer const m = mapped(kind.type);
        for (CallFlags const& row : call_rows) {
            SCOPED_TRACE(::testing::Message() << static_cast<int>(kind.type) << " spikes " << row.set_spikes);
            Idents const skipped = row.skip_first ? Idents{m.components().front().ident} : Idents{};
            LayerRecordArgs const args{.layer = m.layer(), .sequence_first = m.layer(), .set_spikes = row.set_spikes,
                                       .mesh_flag = row.mesh_flag, .skipped_nps = skipped,
                                       .registers_only = row.registers_only};
            EXPECT_EQ(decode_blocks(*kind.program(*m.device, m.layer(), nullptr, row.set_spikes, row.mesh_flag,
                                                  skipped, row.registers_only)),
                      decode_blocks(*kind.named(*m.device, args)));
        }
    }
}

TEST(V1ExportedInterfaces, RegisterImagesAsTheNamedForms) {
    V1MappedLayer const conv = mapped(LayerType::Convolutional);
    V1MappedLayer const sep = mapped(LayerType::SeparableConvolutional);
    V1MappedLayer const dense = mapped(LayerType::FullyConnected);
    for (CallFlags const& row : call_rows) {
        SCOPED_TRACE(row.set_spikes);
        Idents const skipped = row.skip_first ? Idents{conv.components().front().ident} : Idents{};
        NpImageArgs const args{.set_spikes = row.set_spikes, .ends_pass = row.mesh_flag, .skipped_nps = skipped};
        EXPECT_EQ(format_conv_np_registers(conv.layer(), nullptr, row.set_spikes, row.mesh_flag, skipped),
                  v1::format_conv_np_registers(conv.layer(), args));
        EXPECT_EQ(format_sep_conv_np_registers(sep.layer(), nullptr, row.set_spikes, row.mesh_flag, skipped),
                  v1::format_sep_conv_np_registers(sep.layer(), args));
        NpImageArgs const dense_args{.set_spikes = row.set_spikes, .ends_pass = row.mesh_flag};
        EXPECT_EQ(format_dense_np_registers(*dense.device, dense.layer(), false, nullptr, row.set_spikes,
                                            row.mesh_flag),
                  v1::format_dense_np_registers(*dense.device, dense.layer(), dense_args));
    }
}

TEST(V1ExportedInterfaces, CnpAndRoutingWordsAsTheNamedForms) {
    // Every value differs from its neighbours, so that a form that swaps two gives other words.
    Shape const input{16, 12, 4};
    NpSpace const window{0, 0, Shape{16, 6, 4}};
    NpSpace const cut{0, 0, Shape{16, 7, 4}};
    PaddingParams const conv_padding{1, 1, 1, 1};
    PaddingParams const pool_padding{1, 0, 1, 0};
    Registers part_form = v1::default_np_regs(), named = part_form;
    format_cnp_common_config_registers(&part_form, input, 5, 4, 3, 1, conv_padding, 1, 2, window, cut, 2, 2,
                                       pool_padding, 24, 8, 3, 1);
    v1::format_cnp_common_config_registers(
        named, {.input = input, .layer_index = 5, .input_bits = 4, .kernel_width = 3, .stride_x = 1,
                .conv_padding = conv_padding, .activation = true, .act_bits = 2, .window = window, .cut = cut,
                .pool = {.size = 2, .stride = 2, .padding = pool_padding}, .filters = 24, .start_neuron = 8,
                .np_count = 3, .single_buffer = true});
    format_cnp_pooling_registers(&part_form, input, window, 2, 3, 1, pool_padding);
    v1::format_cnp_pooling_registers(named, input, window, {.size = 2, .stride = 3, .padding = pool_padding,
                                                            .global = true});
    EXPECT_EQ(part_form, named);

    auto const np = [](uint8_t col, uint8_t row, uint8_t id) {
        return nuvra::testing::make_component(hw::Type::CNP1, {col, row, id, 0});
    };
    Components const sources{np(1, 2, 1)}, layer_nps{np(3, 0, 0), np(4, 0, 0)}, destinations{np(5, 0, 2), np(7, 0, 0)};
    format_mesh_registers_set_output_to_NPs(&part_form, sources, layer_nps, destinations, 9, true, false, true);
    v1::format_mesh_registers_set_output_to_NPs(&named, {.sources = sources, .layer_nps = layer_nps,
                                                         .destinations = destinations, .link_index = 9,
                                                         .p2p_in = true, .ends_pass = true});
    EXPECT_EQ(part_form, named);
    EXPECT_NE(part_form[46], 0u);
}

TEST(V1ExportedInterfaces, OtherFormsAsTheNamedForms) {
    auto const weights = Dense::create(TensorType::int8, Shape{2, 1, 3, 3}, Layout::c_order);
    auto* const values = static_cast<int8_t*>(weights->mutable_buffer().data);
    for (size_t i = 0; i < weights->size(); ++i) values[i] = int8_t(i % 3 - 1);  // -1, 0, 1, ...
    EXPECT_EQ(format_std_cnp_weights(weights, true, 0, 2), v1::format_std_cnp_weights(*weights, true, 0, 2));
    EXPECT_EQ(nuvra::testing::error_text<std::invalid_argument>([] { format_std_cnp_weights(nullptr, true, 0, 1); }),
              "No weights to format.");
    EXPECT_EQ(nuvra::testing::error_text<std::invalid_argument>([] { fnp_update_learn_vars(nullptr, nullptr, true); }),
              "The learning layer has no variables to update.");
}

// The formatters over Dense tensors write what their forms over any Tensor write.
TEST(V1ExportedInterfaces, DenseFormsAsTheTensorForms) {
    using namespace nuvra::testing;
    auto const any = [](std::shared_ptr<Dense> const& dense) -> Tensor const& { return *dense; };
    auto const ternary = [](size_t n) {
        std::vector<int8_t> values(n);
        for (size_t i = 0; i < n; ++i) values[i] = int8_t(int(i * 7 % 3) - 1);  // -1, 0, 1 in turn
        return values;
    };
    auto const pointwise = i8({3, 2, 1, 1}, ternary(6));
    auto const neurons = i8({2, 40}, ternary(80));
    auto const thresholds = i32({2}, {100, -3});
    auto const steps = i32({2}, {16, 48});
    struct { char const* what; Registers dense, tensor; } const rows[] = {
        {"separable pointwise", format_sep_cnp_pw_weights(*pointwise, 4, 1, 2),
         v1::format_sep_cnp_pw_weights(any(pointwise), 4, 1, 2)},
        {"FNP memory", format_fnp_ram(*neurons, *thresholds, *steps, 2, true),
         v1::format_fnp_ram(any(neurons), any(thresholds), any(steps), 2, true)},
        {"HRC thresholds and steps", format_hrc_threshold_steps(*thresholds, *steps),
         v1::format_hrc_threshold_steps(any(thresholds), any(steps))},
    };
    for (auto const& row : rows) {
        EXPECT_FALSE(row.dense.empty()) << row.what;
        EXPECT_EQ(row.dense, row.tensor) << row.what;
    }
}

}  // namespace first_generation

// ---- third generation ----

namespace third_generation {

static_assert(is_reg_detail(wisp::INTERNAL_STATE_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_0_COUT_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_1_COUT_SIZE, 9, 9));
static_assert(is_reg_detail(wisp::LAYER_2_COUT_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_3_COUT_SIZE, 9, 9));
static_assert(is_reg_detail(wisp::LAYER_4_COUT_SIZE, 0, 9));
static_assert(is_reg_detail(wisp::LAYER_5_COUT_SIZE, 9, 9));

using Words = std::vector<uint32_t>;

// Each memory formatter in its exact type: dropping or re-signing one does not compile.
[[maybe_unused]] constexpr auto format_fsram_weights =
    static_cast<void (*)(Words*, Dense const&, Dense const&)>(&wisp::format_fsram_weights);
[[maybe_unused]] constexpr auto format_tsram_state_updating_var =
    static_cast<void (*)(Words*, Dense const&, Dense const&, Dense const&, Dense const&, Dense const&)>(
        &wisp::format_tsram_state_updating_var);
[[maybe_unused]] constexpr auto format_tsram_output_var =
    static_cast<void (*)(Words*, Dense const&, Dense const&, Dense const&, Dense const&)>(
        &wisp::format_tsram_output_var);
[[maybe_unused]] constexpr auto format_tsram_post_processing_output_var =
    static_cast<void (*)(Words*, uint16_t, uint16_t)>(&wisp::format_tsram_post_processing_output_var);
[[maybe_unused]] constexpr auto format_tsram_input_shift =
    static_cast<void (*)(Words*, Dense const&, uint8_t)>(&wisp::format_tsram_input_shift);
[[maybe_unused]] constexpr auto format_tsram_post_processing_input_shift =
    static_cast<void (*)(Words*)>(&wisp::format_tsram_post_processing_input_shift);

[[maybe_unused]] constexpr auto format_fsram_weight_matrix =
    static_cast<Words (*)(Dense const&)>(&wisp::format_fsram_weight_matrix);

// The chain checks and the chain's program.
static_assert(has_form<MappingStatus (*)(HardwareConstraints const&, Layer const&)>(&wisp::check_tnp_r_constraints));
static_assert(has_form<MappingStatus (*)(Layer const&)>(&wisp::check_tnpr_input_constraints));
static_assert(has_form<MappingStatus (*)(Layer const&)>(&wisp::check_tnpr_relu_max_values));
static_assert(has_form<MappingStatus (*)(Layer const&)>(&wisp::check_post_processing_layer));
static_assert(has_form<std::unique_ptr<program::Record> (*)(Device const&, Layer const&)>(
    &wisp::record_program_tnpr_layers));

TEST(WispExportedInterfaces, AppendingFormattersAsTheReturningForms) {
    using namespace nuvra::testing;
    auto const in_proj = i8({2, 9}, std::vector<int8_t>(18, 3));
    auto const out_proj = i8({1, 2}, {-1, 5});
    auto const one = i8({1}, {1});
    // Each appends after what the list holds: the words of a memory image follow each other.
    Words appended{0xAAAA};
    Words expected{0xAAAA};
    auto const add = [&expected](Words const& words) { expected.insert(expected.end(), words.begin(), words.end()); };
    format_fsram_weights(&appended, *in_proj, *out_proj);
    add(wisp::format_fsram_weights(*in_proj, *out_proj));
    // 2 rows of 9 columns: two column blocks of two 64-bit words.
    EXPECT_EQ(format_fsram_weight_matrix(*in_proj),
              wisp::format_fsram_weight_matrix(static_cast<Tensor const&>(*in_proj)));
    EXPECT_EQ(format_fsram_weight_matrix(*in_proj).size(), 8u);
    format_tsram_state_updating_var(&appended, *i16({1}, {7}), *i16({1}, {-3}), *one, *u8({1}, {9}), *one);
    add(wisp::format_tsram_state_updating_var(*i16({1}, {7}), *i16({1}, {-3}), *one, *u8({1}, {9}), *one));
    format_tsram_output_var(&appended, *u8({1}, {4}), *one, *i8({1}, {-2}), *u8({1}, {6}));
    add(wisp::format_tsram_output_var(*u8({1}, {4}), *one, *i8({1}, {-2}), *u8({1}, {6})));
    format_tsram_post_processing_output_var(&appended, 16, 300);
    add(wisp::format_tsram_post_processing_output_var(16, 300));
    format_tsram_input_shift(&appended, *u8({3}, {1, 2, 3}), 16);
    add(wisp::format_tsram_input_shift(*u8({3}, {1, 2, 3}), 16));
    format_tsram_post_processing_input_shift(&appended);
    add(wisp::format_tsram_post_processing_input_shift());
    EXPECT_EQ(appended, expected);

    // No list, or a formatter that fails: nothing is appended.
    EXPECT_EQ(error_text<std::invalid_argument>([] { format_tsram_post_processing_input_shift(nullptr); }),
              "No word list to append to.");
    Words kept{1, 2};
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_tsram_post_processing_output_var(&kept, 0, 0); }),
              "Post-processing timesteps must be from 1 to 65535 (got 0).");
    EXPECT_EQ(kept, (Words{1, 2}));
}

}  // namespace third_generation

}  // namespace
}  // namespace nuvra
