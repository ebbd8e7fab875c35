#include "program/io_registers.h"

#include <stdexcept>

namespace nuvra {

using namespace fields;

namespace {

// The EPG registers a program sets, in the order it lists them.
constexpr size_t epg_words[] = {epg_word::CONTROL, epg_word::MODE,   epg_word::COLUMNS,
                                epg_word::ROWS,    epg_word::WINDOW, epg_word::TIMEOUT};

}  // namespace

std::unique_ptr<program::Record> scc_record(HwVersion const& version, std::span<uint32_t const> scc) {
    if (scc.size() != SCC_REGISTER_WORDS) throw std::invalid_argument("The SCC image must hold 18 words.");
    auto record = program::new_record(version);
    auto const add = [&](size_t word) {
        record->add_np_track(hw::Ident{}, dma::Target::HrcConfig, static_cast<uint16_t>(register_address(word)),
                             {scc[word]});
    };
    add(scc_word::CONFIG);
    if (get(scc, SCC_INPUT_SIZED) != 0) add(scc_word::INPUT_SIZE);
    if (get(scc, SCC_OUTPUT_SIZED) != 0) add(scc_word::OUTPUT_SIZE);
    return record;
}

std::vector<std::pair<uint32_t, uint32_t>> epg_register_writes(EpgArgs const& args, EpgSetup const& setup) {
    std::vector<uint32_t> epg = preset_image(EPG_REGISTER_WORDS, epg_presets);
    set_flag(epg, EPG_FNP_INPUT, setup.fnp_input);
    set_flag(epg, EPG_INPUT_SIZED, setup.input_sized);
    set_flag(epg, EPG_LAST_ON_HRC, setup.last_on_hrc);
    set(epg, EPG_MODE, setup.mode);
    set(epg, EPG_LOWEST_COL, args.lowest_col);
    set(epg, EPG_HIGHEST_COL, args.highest_col);
    set(epg, EPG_ROW_CODE, args.row_code);
    set(epg, EPG_WINDOW_ROWS, args.row_code);
    set(epg, EPG_TIMEOUT, EPG_TIMEOUT_VALUE);

    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (size_t word : epg_words) writes.emplace_back(register_address(word), epg[word]);
    return writes;
}

}  // namespace nuvra
