#include "VirtualClock.h"

#include "WaveDevices.h"

#include <cstdlib>

namespace vantrel {

namespace {

bool validSpeed(double factor) {
    return factor >= VirtualClock::MinSpeed && factor <= VirtualClock::MaxSpeed;
}

// The factor the environment asks for, or 1.
double speedFromEnvironment() {
    const char* text = std::getenv("VANTREL_VIRTUAL_CLOCK_SPEED");
    if (text == nullptr || *text == '\0')
        return 1.0;
    char* end = nullptr;
    const double factor = std::strtod(text, &end);
    return *end == '\0' && validSpeed(factor) ? factor : 1.0;
}

} // namespace

VirtualClock& VirtualClock::instance() {
    static VirtualClock clock;
    return clock;
}

VirtualClock::VirtualClock()
    : realBase_(std::chrono::steady_clock::now()), speed_(speedFromEnvironment()) {}

std::int64_t VirtualClock::now() const {
    std::lock_guard lock(mutex_);
    return nowLocked();
}

std::int64_t VirtualClock::nowLocked() const {
    const auto real =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - realBase_);
    return virtualBase_ + static_cast<std::int64_t>(real.count() * speed_);
}

double VirtualClock::speed() const {
    std::lock_guard lock(mutex_);
    return speed_;
}

void VirtualClock::setSpeed(double factor) {
    if (!validSpeed(factor))
        return;
    std::lock_guard lock(mutex_);
    virtualBase_ = nowLocked();
    realBase_ = std::chrono::steady_clock::now();
    speed_ = factor;
}

void setVirtualClockSpeed(double factor) {
    VirtualClock::instance().setSpeed(factor);
}

} // namespace vantrel
