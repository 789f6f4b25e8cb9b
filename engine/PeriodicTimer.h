// The periodic timer the high-resolution timer and the shared tick list run on: a thread of its
// own that calls a routine every `period` milliseconds, as the system's multimedia timers do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vantrel {

class PeriodicTimer {
public:
    // Runs `callback(id)` every `periodMs` milliseconds (at least 1) on the timer's own thread,
    // from the first period on. Throws EOutOfResources when no thread can be started.
    PeriodicTimer(std::uint32_t periodMs, std::function<void(std::uint32_t id)> callback);
    // Stops the timer; see stop().
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // Ends the timer. Once it returns the callback does not run again; a callback in progress
    // has finished, unless stop() is called from within the callback itself.
    void stop() noexcept;

    // The identifier of this timer, unique in the process and never 0.
    std::uint32_t id() const { return id_; }

private:
    struct State;
    std::shared_ptr<State> state_;
    std::uint32_t id_;
};

} // namespace vantrel
