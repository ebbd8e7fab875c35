#include "hw/process_state.h"

#include <unistd.h>

#include "hw/power_meter.h"

namespace nuvra {

namespace state {

hw::PageRunList& kept_program_pages() {
    // Never destroyed: a program may be given back while static objects are being destroyed.
    static hw::PageRunList* const kept = new hw::PageRunList(max_kept_page_bytes, max_kept_page_runs);
    return *kept;
}

hw::BlockPool<uint32_t>& kept_blocks() {
    static hw::BlockPool<uint32_t> kept(max_kept_block_words);
    return kept;
}

hw::SpareBuffers<uint32_t>& spare_track_buffers() {
    thread_local hw::SpareBuffers<uint32_t> spare({max_spare_track_buffers, max_spare_track_words,
                                                   min_spare_track_words});
    return spare;
}

uintptr_t page_bytes() {
    static uintptr_t const size = uintptr_t(sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace state

PowerMeter& PowerMeter::get() {
    static PowerMeter meter;
    return meter;
}

}  // namespace nuvra
