#include "MMLevel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vantrel {

namespace {

constexpr std::int32_t maxDecay = 16;

} // namespace

TMMLevel::~TMMLevel() {
    // Copy: a notified owner removes its registration.
    const std::vector<FreeNotification> notifications = freeNotifications_;
    for (const FreeNotification& each : notifications)
        each.notify();
}

void TMMLevel::AddFreeNotification(const void* owner, std::function<void()> notify) {
    RemoveFreeNotification(owner);
    freeNotifications_.push_back({owner, std::move(notify)});
}

void TMMLevel::RemoveFreeNotification(const void* owner) {
    std::erase_if(freeNotifications_,
                  [owner](const FreeNotification& each) { return each.owner == owner; });
}

// ---------------------------------------------------------------------------------------------
// Format and block peaks

void TMMLevel::SetPCMFormat(const TWaveFormatEx* Format) {
    if (!IsValidPCMFormat(Format))
        throw EMMLevelError(LoadEngineString(62));
    bitLength_ = static_cast<TMMBits>(Format->wBitsPerSample / 8 - 1);
    channels_ = Format->nChannels;
}

TMMMode TMMLevel::GetMode() const {
    return static_cast<TMMMode>(std::min(channels_ - 1, static_cast<std::int32_t>(mMultiChannel)));
}

std::int32_t TMMLevel::Step() const {
    return (bitLength_ + 1) * channels_ * BlockFrames;
}

// The largest magnitude over the block on the 16-bit scale; chBoth shows the mean of left and
// right, 8-bit data is measured from 128 and scaled by 256. Mono shows its one channel.
std::int32_t TMMLevel::blockPeak(const unsigned char* data) const {
    const bool eightBit = bitLength_ == b8Bit;
    const std::int32_t bytesPerSample = eightBit ? 1 : 2;
    const std::int32_t frameBytes = bytesPerSample * channels_;
    const auto sample = [&](const unsigned char* frame, std::int32_t channel) {
        if (eightBit)
            return static_cast<std::int32_t>(frame[channel]);
        std::int16_t value;
        std::memcpy(&value, frame + 2 * channel, sizeof value);
        return static_cast<std::int32_t>(value);
    };
    const bool mono = channels_ == 1;
    const bool both = !mono && channel_ == chBoth;
    const std::int32_t picked = !mono && channel_ == chRight ? 1 : 0;
    const std::int32_t pickedOffset = picked == 1 ? dcOffsetR_ : dcOffsetL_;
    std::int32_t peak = 0;
    for (std::int32_t i = 0; i < BlockFrames; ++i) {
        const unsigned char* frame = data + i * frameBytes;
        std::int32_t value =
            both ? (sample(frame, 0) + dcOffsetL_ + sample(frame, 1) + dcOffsetR_) / 2
                 : sample(frame, picked) + pickedOffset;
        if (eightBit)
            value = (value - 128) * 256;
        peak = std::max(peak, std::abs(value));
    }
    return peak;
}

void TMMLevel::ProcessPCMBlock(const void* Data) {
    if (!enabled_ || !visible_)
        return;
    const std::int32_t peak = blockPeak(static_cast<const unsigned char*>(Data));
    if (peak >= FullScale && OnPcmOverflow)
        OnPcmOverflow(this);
    blockPeaks_[static_cast<std::size_t>(blockPos_)] = peak;
    if (blockPos_ == RingEnd)
        blockPos_ = 0;
    ++blockPos_;
    UpdateLevel(peak);
}

// ---------------------------------------------------------------------------------------------
// Display values

void TMMLevel::SetDecayMode(TMMDecayMode value) {
    decayMode_ = value;
    ResetLevel();
}

void TMMLevel::SetDecay(std::int32_t value) {
    decay_ = std::clamp(value, 1, maxDecay);
}

double TMMLevel::decayFactor() const {
    return std::pow(0.0001, 1.0 / std::ldexp(1.0, decay_));
}

double TMMLevel::smooth(double value) {
    switch (decayMode_) {
    case dmNone:
        return value;
    case dmStepUp:
        envelope_ = std::max(envelope_ * decayFactor(), value);
        return envelope_;
    case dmExponential: {
        const double k = decayFactor();
        envelope_ = envelope_ * k + (1 - k) * value;
        return envelope_;
    }
    case dmUniform: {
        const std::int32_t count = std::clamp(2 * decay_ - 2, 1, maxUniformValues);
        recentPos_ = (recentPos_ + 1) % maxUniformValues;
        recent_[static_cast<std::size_t>(recentPos_)] = value;
        double sum = 0;
        for (std::int32_t i = 0; i < count; ++i)
            sum += recent_[static_cast<std::size_t>((recentPos_ - i + maxUniformValues) %
                                                    maxUniformValues)];
        return sum / count;
    }
    }
    return value;
}

// Spots lit for `value`: logarithmic from Sensitivy dB up to full scale, or linear over the same
// range. May exceed the meter.
std::int32_t TMMLevel::barFor(double value) const {
    const double sensitivity = sensitivy_;
    double fraction;
    if (logAmp_) {
        const double dB = 20 * std::log10(std::max(1e-6, value / FullScale));
        fraction = (dB - sensitivity) / -sensitivity;
    } else {
        const double floor = FullScale * std::pow(10.0, sensitivity / 20);
        fraction = (value - floor) / (FullScale - floor);
    }
    return std::max(0, static_cast<std::int32_t>(std::lround(spots_ * fraction)));
}

void TMMLevel::UpdateLevel(std::int32_t Value) {
    const double magnitude = std::abs(static_cast<double>(Value));
    std::int32_t bar = barFor(smooth(magnitude));
    if (bar > spots_) {
        if (OnGainOverflow)
            OnGainOverflow(this);
        bar = spots_;
    }
    std::int32_t peak = peak_;
    if (bar >= peak && bar > 0) {
        peak = bar;
        holdTicks_ = peakDelay_ * 2 + 1;
        fallTicks_ = 0;
    }
    setDisplay(bar, peak);
}

void TMMLevel::Tick() {
    if (peak_ == 0)
        return;
    if (holdTicks_ > 0) {
        --holdTicks_;
        return;
    }
    if (peakSpeed_ == 0) {
        setDisplay(bar_, 0);
    } else if (++fallTicks_ >= peakSpeed_) {
        fallTicks_ = 0;
        setDisplay(bar_, peak_ - 1);
    }
}

void TMMLevel::ResetLevel() {
    envelope_ = 0;
    recent_.fill(0);
    holdTicks_ = 0;
    fallTicks_ = 0;
    bar_ = -1; // makes setDisplay report the change
    setDisplay(0, 0);
}

void TMMLevel::setDisplay(std::int32_t bar, std::int32_t peak) {
    if (bar == bar_ && peak == peak_)
        return;
    bar_ = bar;
    peak_ = peak;
    if (OnChange)
        OnChange(this);
}

} // namespace vantrel
