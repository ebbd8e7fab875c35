#include "hw/clock.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <stdexcept>

#include "hw/driver.h"
#include "hw/format.h"
#include "hw/register.h"

namespace nuvra::soc {

namespace {

// Clock registers on the board's bus.
constexpr uint32_t CLOCK_CONTROL = 0xF0001030;    // bit 0: a change is in progress; write 1 to start one
constexpr uint32_t CLOCK_DIVIDER_2X = 0xF00011A0; // 2 x divider - 1
constexpr uint32_t CLOCK_DIVIDER_A = 0xF0001190;  // divider - 1; read back to know the mode
constexpr uint32_t CLOCK_DIVIDER_B = 0xF00011B0;  // divider - 1

constexpr RegDetail CLOCK_CONTROL_BUSY{0, 1};
constexpr RegDetail CLOCK_DIVIDER_FIELD{0, 8};

constexpr uint32_t BASE_CLOCK_HZ = 600000000;
constexpr auto CHANGE_TIMEOUT = std::chrono::nanoseconds(10000000);

bool is_clock_mode(uint32_t hz) {
    switch (static_cast<ClockMode>(hz)) {
    case ClockMode::Performance:
    case ClockMode::Economy:
    case ClockMode::LowPower: return true;
    }
    return false;
}

HardwareDriver& checked(HardwareDriver* driver) {
    if (driver == nullptr) throw std::invalid_argument("A hardware driver is required.");
    return *driver;
}

uint32_t read_word(HardwareDriver& driver, uint32_t address) {
    uint32_t word = 0;
    driver.read(address, &word, sizeof word);
    return word;
}

void write_word(HardwareDriver& driver, uint32_t address, uint32_t word) { driver.write(address, &word, sizeof word); }

bool change_in_progress(HardwareDriver& driver) {
    return (read_word(driver, CLOCK_CONTROL) >> CLOCK_CONTROL_BUSY.offset) & 1u;
}

// A divider register word holding `value`; fails with the field overflow message when it does not fit.
uint32_t divider_word(uint32_t value) {
    uint32_t word = 0;
    set_field(&word, CLOCK_DIVIDER_FIELD, value);
    return word;
}

}  // namespace

void set_clock_mode(HardwareDriver* driver_ptr, ClockMode const& mode) {
    uint32_t const hz = static_cast<uint32_t>(mode);
    if (!is_clock_mode(hz)) throw std::invalid_argument("Invalid clock mode");
    HardwareDriver& driver = checked(driver_ptr);
    if (change_in_progress(driver)) throw std::runtime_error("Clock mode is already changing.");

    uint32_t const divider = BASE_CLOCK_HZ / hz;
    // Every word is checked before the first is written, so a bad divider leaves the board as it was.
    uint32_t const word_2x = divider_word(2 * divider - 1);
    uint32_t const word_a = divider_word(divider - 1);
    uint32_t const word_b = divider_word(divider - 1);
    write_word(driver, CLOCK_DIVIDER_2X, word_2x);
    write_word(driver, CLOCK_DIVIDER_A, word_a);
    write_word(driver, CLOCK_DIVIDER_B, word_b);

    uint32_t start = 0;
    set_field(&start, CLOCK_CONTROL_BUSY, 1);
    write_word(driver, CLOCK_CONTROL, start);

    auto const started = std::chrono::steady_clock::now();
    while (change_in_progress(driver)) {
        if (std::chrono::steady_clock::now() - started >= CHANGE_TIMEOUT)
            throw std::runtime_error("Failed to apply clock mode.");
    }
}

ClockMode get_clock_mode(HardwareDriver* driver_ptr) {
    HardwareDriver& driver = checked(driver_ptr);
    uint32_t const value = read_word(driver, CLOCK_DIVIDER_A);
    // A register of all ones would make the divisor wrap to 0: no frequency follows from it, so it
    // is reported as a frequency of 0 without dividing.
    uint32_t const hz = value == 0xFFFFFFFFu ? 0 : BASE_CLOCK_HZ / (value + 1);
    if (!is_clock_mode(hz)) throw std::runtime_error(format("Unexpected frequency value detected: {}.", hz));
    return static_cast<ClockMode>(hz);
}

}  // namespace nuvra::soc

extern "C" void kick_watchdog() {}

extern "C" void msleep(uint32_t ms) {
    if (ms == 0) return;
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0) {
        if (errno != EINTR) return;
        request = remaining;
    }
}

extern "C" int64_t time_ms() {
    auto const now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}
