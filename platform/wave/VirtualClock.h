// The clock that paces the virtual devices: the steady clock, or a multiple of it when a test
// asks for a faster run (setVirtualClockSpeed or VANTREL_VIRTUAL_CLOCK_SPEED).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace vantrel {

class VirtualClock {
public:
    static constexpr double MinSpeed = 0.01;
    static constexpr double MaxSpeed = 100.0;

    static VirtualClock& instance();

    // Microseconds of virtual time since the clock's first use.
    std::int64_t now() const;
    double speed() const;
    // Changes the speed from now on; the virtual time stays continuous. Factors outside
    // MinSpeed..MaxSpeed are ignored.
    void setSpeed(double factor);

private:
    VirtualClock();
    std::int64_t nowLocked() const;

    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point realBase_;
    std::int64_t virtualBase_ = 0; // microseconds at realBase_
    double speed_ = 1.0;
};

} // namespace vantrel
