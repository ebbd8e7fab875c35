// The process-wide store of the accelerator's most recent power measurements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "hw/process_state.h"

namespace nuvra {

// A ring of fixed capacity; a push into a full ring overwrites the oldest value.
template <class T>
class CircularQueue {
public:
    explicit CircularQueue(size_t capacity) : storage_(capacity) {
        if (capacity == 0) throw std::invalid_argument("A circular queue needs room for one value at least.");
        last_ = capacity - 1;
    }

    void push(T value) {
        storage_[write_] = std::move(value);
        if (full_) read_ = next(read_);
        write_ = next(write_);
        full_ = write_ == read_;
    }

    // The values from oldest to newest; with `clear` the queue is emptied afterwards.
    std::vector<T> get(bool clear) {
        std::vector<T> values;
        values.reserve(size());
        for (size_t i = 0, at = read_, n = size(); i < n; ++i, at = next(at)) values.push_back(storage_[at]);
        if (clear) {
            read_ = 0;
            write_ = 0;
            full_ = false;
        }
        return values;
    }

    bool empty() const { return !full_ && read_ == write_; }
    size_t capacity() const { return storage_.size(); }
    size_t size() const {
        if (full_) return storage_.size();
        return write_ >= read_ ? write_ - read_ : storage_.size() - read_ + write_;
    }

private:
    size_t next(size_t at) const { return at == last_ ? 0 : at + 1; }

    std::vector<T> storage_;
    size_t write_ = 0;
    size_t read_ = 0;
    size_t last_ = 0;  // index of the last slot of the storage
    bool full_ = false;
};

class PowerMeter {
public:
    // One measurement of the accelerator's supply.
    struct PowerEvent {
        int64_t ts = 0;        // time stamp
        uint32_t voltage = 0;  // microvolts
        uint32_t current = 0;  // milliamperes

        // Power in milliwatts, in single precision: what the meter keeps and compares.
        float power() const { return static_cast<float>(voltage) / 1e6f * static_cast<float>(current); }
        // Power in whole milliwatts, computed exactly in 64-bit integers (remainder dropped).
        uint64_t whole_milliwatts() const { return uint64_t{voltage} * uint64_t{current} / 1000000u; }

        friend bool operator==(PowerEvent const&, PowerEvent const&) = default;
    };

    static constexpr size_t capacity = state::power_meter_events;

    // A meter of its own; the process-wide one is get().
    PowerMeter();
    PowerMeter(PowerMeter const&) = delete;
    PowerMeter& operator=(PowerMeter const&) = delete;

    // The single meter of the process, made on first use (in hw/process_state.cpp).
    static PowerMeter& get();

    // Keeps an event of positive power stamped after the reset time, lowering the floor.
    void log_event(PowerEvent&& event);
    bool has_events() const;
    // The lowest power kept since the last reset, in milliwatts; 0 when none was kept.
    float floor() const;
    // The held events, oldest first; the meter keeps them.
    std::vector<PowerEvent> events() const;
    // Forgets the floor and accepts only events stamped after `time` from now on; the events
    // already held stay.
    void reset(int64_t time);

private:
    mutable CircularQueue<PowerEvent> events_;
    float floor_;
    int64_t reset_time_ = 0;
    mutable std::mutex mutex_;
};

}  // namespace nuvra
