// Everything the library keeps from one call to the next, in one place: what each piece holds,
// how it is reached, its bound and its lock. The pools, the page size and the power meter are made
// in hw/process_state.cpp and reached through the accessors declared here; a list, cache or hook
// that an upper layer fills lives with the code that fills it, reached through the accessor named
// below. Nothing else outlives a call: constant tables (register maps, key lists, presets) are not
// state, and a call's own values (a forward's threads and prepared weights, a mapping's tables) go
// with it. State the library comes to keep joins this list, its limits as constants below.
//
// Kept memory, reached here:
//   - The pages of the last programs written: kept_program_pages(). Bound: max_kept_page_bytes
//     in max_kept_page_runs runs, the oldest unmapped first. Lock: its mutex. Never destroyed: a
//     program may be given back while static objects are being destroyed.
//   - Scratch and packed-weight blocks of the software kernels: kept_blocks(). Bound:
//     max_kept_block_words words; a kept block serves a request of at least half its size. Lock:
//     its mutex. Freed at exit.
//   - Spare word buffers of DMA tracks: spare_track_buffers(), one list per thread. Bound:
//     max_spare_track_buffers buffers of max_spare_track_words words in all, none smaller than
//     min_spare_track_words. Lock: none, a thread reaches only its own. Freed when the thread ends.
//
// Made once, then read:
//   - The host's page size: page_bytes(). One word, asked on the first call. Lock: the one-time
//     initialisation of a function-local static.
//   - The power meter: PowerMeter::get() (hw/power_meter.h), made here on first use. Bound:
//     power_meter_events events and a floor. Lock: its mutex.
//   - The instruction sets the CPU offers: ops::detail::offers() (engine/ops_blocked.cpp). One
//     word, detected on the first call. Lock: the one-time initialisation of a local static.
//   - The host's devices: get_devices() (devices/host_device.cpp). One per driver, built by the
//     first call that succeeds (a call that throws keeps nothing). Lock: as above.
//   - The Python hardware devices: PyHardwareDevice::devices() (python/device_support.cpp). One
//     per host device. Lock: as above.
//   - The Python module definition: core_def (python/module.cpp). One, filled by the first import.
//     Lock: std::call_once.
//   - The parameter aliases: layer_param_aliases (python/aliases.h). Four constant entries built
//     when the module is loaded. Lock: none, never written after.
//
// Filled at start-up, by the thread that loads the library, before a call reads them; no lock:
//   - The engine's drivers: get_drivers() (engine/driver.cpp), held by detail::driver_list().
//     Empty in this build unless the simulated boards of the test builds are put in it.
//   - The hardware back end's hooks: register_hardware_backend() and hardware_backend_hooks()
//     (engine/backend.cpp). One value.
//   - The generations' mapping defaults: register_generation_defaults()
//     (mapping/map_constraints.cpp). One function.
//
// Counted, never reset: what page regions did (fresh mappings, reuses, plain memory), three 64-bit
// atomic counters in program/serializer_buffer.cpp, read through program::page_region_counts().
//
// Chosen anew by every call, nothing kept: the threads of a batch, software_forward()
// (engine/inference.cpp). At most one per CPU usable_cpus() finds (asking the system each time),
// one per sample, and one per min_thread_macs multiply-accumulates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/pools.h"

namespace nuvra::state {

// The pages of the programs given back, kept for the next ones: a program written into pages
// already in memory costs neither page faults nor the kernel's zeroing of fresh pages.
inline constexpr size_t max_kept_page_bytes = size_t{64} << 20;
inline constexpr size_t max_kept_page_runs = 8;
hw::PageRunList& kept_program_pages();

// The blocks of the software kernels' packed weights and scratch given back, kept for the next
// run so that it does not fault their pages in anew (64 MiB).
inline constexpr size_t max_kept_block_words = size_t{16} << 20;
hw::BlockPool<uint32_t>& kept_blocks();

// The word buffers of DMA tracks that are gone, kept for the next tracks recorded on the same
// thread: a layer's record is written and dropped before the next one is made, so its buffers
// serve the next without fresh pages. Smaller buffers come and go through the allocator.
inline constexpr size_t max_spare_track_buffers = 64;
inline constexpr uint64_t max_spare_track_words = uint64_t{1} << 20;
inline constexpr uint64_t min_spare_track_words = 1024;
// This thread's list.
hw::SpareBuffers<uint32_t>& spare_track_buffers();

// The host's page size in bytes, asked of the system once.
uintptr_t page_bytes();

// The power events the meter holds, the oldest overwritten first.
inline constexpr size_t power_meter_events = 100;

// A batch's thread has at least this many multiply-accumulates to do: below that, starting it
// costs more than it saves.
inline constexpr uint64_t min_thread_macs = uint64_t{1} << 22;

}  // namespace nuvra::state
