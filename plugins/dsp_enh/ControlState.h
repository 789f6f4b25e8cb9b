// What the control window and the audio thread share: the settings one side sets and the other
// applies, and the gain reduction the meter shows. Atomics only, so neither side ever waits.
#pragma once

#include "CompressorLimiter.h"

#include <atomic>
#include <cstdint>

namespace vantrel::dspenh {

class ControlState {
public:
    ControlState() = default;
    ControlState(const ControlState&) = delete;
    ControlState& operator=(const ControlState&) = delete;

    // Any thread (the window): makes `settings` the ones the audio thread applies next.
    void publish(const Settings& settings);
    // The settings last published.
    Settings current() const;

    // Audio thread: hands settings published since the last call to `processor`.
    void applyTo(CompressorLimiter& processor);

    // Audio thread: the gain reduction of the buffer just processed, dB.
    void setGainReduction(float db) { gainReduction_.store(db, std::memory_order_relaxed); }
    // The window's meter: the latest gain reduction, dB.
    float gainReduction() const { return gainReduction_.load(std::memory_order_relaxed); }

private:
    std::atomic<float> thresholdDb_{Settings{}.thresholdDb};
    std::atomic<float> ratio_{Settings{}.ratio};
    std::atomic<float> kneeDb_{Settings{}.kneeDb};
    std::atomic<float> attackMs_{Settings{}.attackMs};
    std::atomic<float> releaseMs_{Settings{}.releaseMs};
    std::atomic<float> makeUpDb_{Settings{}.makeUpDb};
    std::atomic<float> ceilingDb_{Settings{}.ceilingDb};
    std::atomic<bool> truePeak_{Settings{}.truePeak};
    std::atomic<std::uint32_t> version_{1};
    std::uint32_t appliedVersion_ = 0; // audio thread only
    std::atomic<float> gainReduction_{0.0f};
};

} // namespace vantrel::dspenh
