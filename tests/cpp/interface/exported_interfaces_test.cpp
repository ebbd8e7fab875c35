// The interfaces the system exports under fixed names: register constants with their offsets and
// widths, and functions with their exact parameter and return types. Each is named here in that
// form, so a change that drops, renames or re-signs one does not compile. A few calls through
// these forms are compared with the named-argument forms the code uses inside.

#include <gtest/gtest.h>

namespace nuvra {
namespace {

// ---- hardware model, mapping engine, program records and the serializer, second-generation checks ----
}  // namespace
}  // namespace nuvra

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backends/ip_version_backend.h"
#include "backends/v2/check_rules.h"
#include "backends/v2/checker.h"
#include "backends/v2/sizes.h"
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
#include "support/fake_layer.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

// Compiles only when `interface` converts to Form: an overload set is resolved against Form, a
// single function or member must have exactly that type.
template <class Form>
consteval bool has_form(Form interface) {
    return interface != nullptr;
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

// (end of program records and the serializer)


// ---- second generation ----

// (end of second generation)


// ---- first generation ----

// (end of first generation)


// ---- third generation ----

// (end of third generation)

}  // namespace
}  // namespace nuvra
