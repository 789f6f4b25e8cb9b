#include "ControlState.h"

namespace vantrel::dspenh {

void ControlState::publish(const Settings& settings) {
    constexpr auto order = std::memory_order_relaxed;
    thresholdDb_.store(settings.thresholdDb, order);
    ratio_.store(settings.ratio, order);
    kneeDb_.store(settings.kneeDb, order);
    attackMs_.store(settings.attackMs, order);
    releaseMs_.store(settings.releaseMs, order);
    makeUpDb_.store(settings.makeUpDb, order);
    ceilingDb_.store(settings.ceilingDb, order);
    truePeak_.store(settings.truePeak, order);
    version_.fetch_add(1, std::memory_order_release);
}

Settings ControlState::current() const {
    constexpr auto order = std::memory_order_relaxed;
    Settings settings;
    settings.thresholdDb = thresholdDb_.load(order);
    settings.ratio = ratio_.load(order);
    settings.kneeDb = kneeDb_.load(order);
    settings.attackMs = attackMs_.load(order);
    settings.releaseMs = releaseMs_.load(order);
    settings.makeUpDb = makeUpDb_.load(order);
    settings.ceilingDb = ceilingDb_.load(order);
    settings.truePeak = truePeak_.load(order);
    return settings;
}

// A publish that races with this call is applied in part now and in full on the next call,
// because its version is counted only after all of its values are stored.
void ControlState::applyTo(CompressorLimiter& processor) {
    const std::uint32_t version = version_.load(std::memory_order_acquire);
    if (version == appliedVersion_)
        return;
    appliedVersion_ = version;
    processor.setSettings(current());
}

} // namespace vantrel::dspenh
