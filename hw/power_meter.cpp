#include "hw/power_meter.h"

#include <cfloat>

namespace nuvra {

PowerMeter::PowerMeter() : events_(capacity), floor_(FLT_MAX) {}

void PowerMeter::log_event(PowerEvent&& event) {
    std::lock_guard lock(mutex_);
    float const power = event.power();
    if (!(power > 0.0f) || event.ts <= reset_time_) return;
    if (power < floor_) floor_ = power;
    events_.push(std::move(event));
}

bool PowerMeter::has_events() const {
    std::lock_guard lock(mutex_);
    return !events_.empty();
}

float PowerMeter::floor() const {
    std::lock_guard lock(mutex_);
    return floor_ == FLT_MAX ? 0.0f : floor_;
}

std::vector<PowerMeter::PowerEvent> PowerMeter::events() const {
    std::lock_guard lock(mutex_);
    return events_.get(false);
}

void PowerMeter::reset(int64_t time) {
    // Guarded like every other access, so a reset never races an event being logged.
    std::lock_guard lock(mutex_);
    floor_ = FLT_MAX;
    reset_time_ = time;
}

}  // namespace nuvra
