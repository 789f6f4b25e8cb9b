#include "CompressorLimiter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vantrel::dspenh {

namespace {

constexpr float log2Of10Over20 = 0.16609640474f; // log2(10) / 20: dB to a power of two
constexpr float outputScale = 32768.0f;          // 16-bit full scale
constexpr std::int32_t maxLookAhead =
    static_cast<std::int32_t>(CompressorLimiter::maxRate * CompressorLimiter::lookAheadMs / 1000) +
    1;
constexpr std::int32_t minimumCapacity = maxLookAhead + 1;
constexpr float grFloorDb = 1e-5f; // gain reduction below this is none

// Largest 16-bit sample at or below a linear ceiling.
std::int32_t sampleLimit(float ceiling) {
    return std::min(static_cast<std::int32_t>(std::floor(ceiling * outputScale)), 32767);
}

float dbToGain(float db) {
    return std::exp2(db * log2Of10Over20);
}

float gainToDb(float gain) {
    return (1.0f / log2Of10Over20) * std::log2(std::max(gain, 1e-9f));
}

// Pole of a one-pole smoother with time constant `ms` at `rate` Hz.
float pole(float ms, std::uint32_t rate) {
    return std::exp(-1000.0f / (ms * static_cast<float>(rate)));
}

// Lanczos kernel (a = 4): the weight of the frame `distance` frames away from an interpolated
// position.
double lanczos(double distance) {
    constexpr double a = 4.0;
    if (distance == 0.0)
        return 1.0;
    if (std::abs(distance) >= a)
        return 0.0;
    const double x = std::numbers::pi * distance;
    return a * std::sin(x) * std::sin(x / a) / (x * x);
}

constexpr int oversampling = 8;
constexpr int betweenPositions = oversampling - 1;

// Weights of the 8 frames p-3 ... p+4 for the positions p + 1/8, p + 2/8, ... p + 7/8.
// largestGain: no interpolated value exceeds the largest frame of its 8 by more than this.
struct InterpolationTable {
    float weights[betweenPositions][8];
    float largestGain = 0.0f;
    InterpolationTable() {
        for (int phase = 0; phase < betweenPositions; ++phase) {
            const double fraction = (phase + 1.0) / oversampling;
            float gain = 0.0f;
            for (int tap = 0; tap < 8; ++tap) {
                weights[phase][tap] = static_cast<float>(lanczos(fraction - (tap - 3)));
                gain += std::abs(weights[phase][tap]);
            }
            largestGain = std::max(largestGain, gain);
        }
    }
};
const InterpolationTable interpolation;

// Gain reduction (dB, >= 0) the static curve asks for at `levelDb`.
float curveReduction(const Settings& s, float levelDb) {
    const float over = levelDb - s.thresholdDb;
    const float slope = 1.0f - 1.0f / s.ratio;
    if (2.0f * over <= -s.kneeDb)
        return 0.0f;
    if (2.0f * std::abs(over) < s.kneeDb) {
        const float into = over + s.kneeDb / 2.0f;
        return slope * into * into / (2.0f * s.kneeDb);
    }
    return slope * over;
}

} // namespace

Settings clamped(const Settings& settings) {
    const auto clamp = [](float value, Range range) {
        // NaN from a damaged settings file becomes the lowest value
        return std::isnan(value) ? range.minimum : std::clamp(value, range.minimum, range.maximum);
    };
    Settings s = settings;
    s.thresholdDb = clamp(s.thresholdDb, thresholdRange);
    s.ratio = clamp(s.ratio, ratioRange);
    s.kneeDb = clamp(s.kneeDb, kneeRange);
    s.attackMs = clamp(s.attackMs, attackRange);
    s.releaseMs = clamp(s.releaseMs, releaseRange);
    s.makeUpDb = clamp(s.makeUpDb, makeUpRange);
    s.ceilingDb = clamp(s.ceilingDb, ceilingRange);
    return s;
}

CompressorLimiter::CompressorLimiter()
    : history_(static_cast<std::size_t>(2 * interpolationTaps * maxChannels)),
      delay_(static_cast<std::size_t>((maxLookAhead + interpolationDelay + 1) * maxChannels)),
      minimum_(static_cast<std::size_t>(minimumCapacity)),
      ramp_(static_cast<std::size_t>(maxLookAhead)) {
    configure(rate_, channels_);
}

bool CompressorLimiter::accepts(std::uint32_t rate, int channels) {
    return rate >= minRate && rate <= maxRate && channels >= 1 && channels <= maxChannels;
}

void CompressorLimiter::configure(std::uint32_t rate, int channels) {
    rate_ = rate;
    channels_ = channels;
    lookAhead_ = std::clamp(static_cast<std::int32_t>(std::lround(rate * lookAheadMs / 1000.0f)), 1,
                            maxLookAhead);
    rampScale_ = 1.0 / lookAhead_;
    delayFrames_ = latencyFrames() + 1;
    updateCoefficients();
    reset();
}

void CompressorLimiter::setSettings(const Settings& settings) {
    const Settings next = clamped(settings);
    if (next == settings_)
        return;
    const bool ceilingChanged = next.ceilingDb != settings_.ceilingDb;
    settings_ = next;
    updateCoefficients();
    if (frameIndex_ == 0) {
        reset(); // nothing heard yet: the settings apply at once
        return;
    }
    if (ceilingChanged) {
        outputLimit_ = std::max(outputLimit_, sampleLimit(dbToGain(next.ceilingDb)));
        ceilingSettle_ = 0; // counts once the glide has arrived
    }
}

void CompressorLimiter::updateCoefficients() {
    attackCoef_ = pole(settings_.attackMs, rate_);
    releaseCoef_ = pole(settings_.releaseMs, rate_);
    makeUpCoef_ = pole(10.0f, rate_);
    limiterReleaseCoef_ = pole(limiterReleaseMs, rate_);
    ceilingCoef_ = pole(10.0f, rate_);
    kneeStart_ = dbToGain(settings_.thresholdDb - settings_.kneeDb / 2.0f);
}

[[gnu::always_inline]] inline void CompressorLimiter::followCeiling() {
    if (ceilingDb_ != settings_.ceilingDb) {
        const float target = settings_.ceilingDb;
        ceilingDb_ = target + ceilingCoef_ * (ceilingDb_ - target);
        if (std::abs(ceilingDb_ - target) < 1e-3f) {
            ceilingDb_ = target;
            ceilingSettle_ = delayFrames_;
        }
        ceiling_ = dbToGain(ceilingDb_);
    }
    if (ceilingSettle_ > 0 && --ceilingSettle_ == 0)
        outputLimit_ = sampleLimit(ceiling_);
}

void CompressorLimiter::reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    std::fill(delay_.begin(), delay_.end(), 0.0f);
    delayPos_ = 0;
    minimumHead_ = 0;
    minimumCount_ = 0;
    std::fill(ramp_.begin(), ramp_.end(), 1.0f);
    rampPos_ = 0;
    rampSum_ = lookAhead_;
    recovered_ = 1.0f;
    gr_ = 0.0f;
    makeUp_ = settings_.makeUpDb;
    ceilingDb_ = settings_.ceilingDb;
    ceiling_ = dbToGain(ceilingDb_);
    outputLimit_ = sampleLimit(ceiling_);
    ceilingSettle_ = 0;
    frameIndex_ = 0;
    lastGainReductionDb_ = 0.0f;
}

void CompressorLimiter::process(std::int16_t* samples, std::int32_t frames) {
    blockMaximumGr_ = 0.0f;
    blockMinimumLimiter_ = 1.0f;
    for (std::int32_t frame = 0; frame < frames; ++frame)
        processFrame(samples + static_cast<std::ptrdiff_t>(frame) * channels_);
    lastGainReductionDb_ = blockMaximumGr_ - gainToDb(blockMinimumLimiter_);
}

// Stereo-linked: one gain for all channels, from the loudest of them.
[[gnu::always_inline]] inline float CompressorLimiter::compressorGain(float level) {
    const float target = level > kneeStart_ ? curveReduction(settings_, gainToDb(level)) : 0.0f;
    const float coef = target > gr_ ? attackCoef_ : releaseCoef_;
    gr_ = target + coef * (gr_ - target);
    if (gr_ < grFloorDb)
        gr_ = 0.0f;
    const float makeUpTarget = settings_.makeUpDb;
    makeUp_ = makeUpTarget + makeUpCoef_ * (makeUp_ - makeUpTarget);
    if (std::abs(makeUp_ - makeUpTarget) < grFloorDb)
        makeUp_ = makeUpTarget;
    blockMaximumGr_ = std::max(blockMaximumGr_, gr_);
    const float gainDb = makeUp_ - gr_;
    return gainDb == 0.0f ? 1.0f : dbToGain(gainDb);
}

// Peak of the frame `interpolationDelay` frames back, and in true-peak mode of the seven
// positions between it and the next frame. Only peaks above the ceiling matter, so the positions
// between frames are not computed where they cannot rise above it.
[[gnu::always_inline]] inline float CompressorLimiter::detectedPeak() const {
    const std::size_t newest = frameIndex_ & (interpolationTaps - 1);
    float peak = 0.0f;
    for (int c = 0; c < channels_; ++c) {
        // frames n-7 ... n of this channel, oldest first
        const float* window = &history_[historyOffset(c) + newest + 1];
        peak = std::max(peak, std::abs(window[interpolationTaps - 1 - interpolationDelay]));
        if (!settings_.truePeak)
            continue;
        float windowPeak = 0.0f;
        for (int tap = 0; tap < interpolationTaps; ++tap)
            windowPeak = std::max(windowPeak, std::abs(window[tap]));
        if (windowPeak * interpolation.largestGain <= ceiling_)
            continue;
        for (const auto& weights : interpolation.weights) {
            float value = 0.0f;
            for (int tap = 0; tap < interpolationTaps; ++tap)
                value += weights[tap] * window[tap];
            peak = std::max(peak, std::abs(value));
        }
    }
    return peak;
}

// required: the gain the detected frame needs. Its running minimum over the look-ahead (held),
// recovered at the limiter's release rate, is ramped in over the look-ahead by a moving average:
// each averaged gain is at most the required gain of the frame that leaves the delay line now.
[[gnu::always_inline]] inline float CompressorLimiter::limiterGain(float required) {
    while (minimumCount_ > 0) {
        const auto back = (minimumHead_ + minimumCount_ - 1) % minimumCapacity;
        if (minimum_[static_cast<std::size_t>(back)].value < required)
            break;
        --minimumCount_;
    }
    minimum_[static_cast<std::size_t>((minimumHead_ + minimumCount_) % minimumCapacity)] = {
        required, frameIndex_ + static_cast<std::uint64_t>(lookAhead_)};
    ++minimumCount_;
    while (minimum_[static_cast<std::size_t>(minimumHead_)].expires <= frameIndex_) {
        minimumHead_ = (minimumHead_ + 1) % minimumCapacity;
        --minimumCount_;
    }
    const float held = minimum_[static_cast<std::size_t>(minimumHead_)].value;

    recovered_ = 1.0f - (1.0f - recovered_) * limiterReleaseCoef_;
    if (1.0f - recovered_ < 1e-6f)
        recovered_ = 1.0f;
    recovered_ = std::min(recovered_, held);

    float& slot = ramp_[static_cast<std::size_t>(rampPos_)];
    rampSum_ += static_cast<double>(recovered_) - slot;
    slot = recovered_;
    rampPos_ = rampPos_ + 1 == lookAhead_ ? 0 : rampPos_ + 1;
    const auto gain = static_cast<float>(rampSum_ * rampScale_);
    blockMinimumLimiter_ = std::min(blockMinimumLimiter_, gain);
    return gain;
}

void CompressorLimiter::processFrame(std::int16_t* frame) {
    constexpr float inputScale = 1.0f / outputScale;
    float level = 0.0f;
    for (int c = 0; c < channels_; ++c)
        level = std::max(level, std::abs(frame[c] * inputScale));
    const float compressor = compressorGain(level);

    const std::size_t newest = frameIndex_ & (interpolationTaps - 1);
    float* written = &delay_[static_cast<std::size_t>(delayPos_ * channels_)];
    for (int c = 0; c < channels_; ++c) {
        written[c] = frame[c] * inputScale * compressor;
        history_[historyOffset(c) + newest] = written[c];
        history_[historyOffset(c) + newest + interpolationTaps] = written[c];
    }

    followCeiling();
    const float peak = detectedPeak();
    const float limiter = limiterGain(peak > ceiling_ ? ceiling_ / peak : 1.0f);

    delayPos_ = delayPos_ + 1 == delayFrames_ ? 0 : delayPos_ + 1;
    const float* leaving = &delay_[static_cast<std::size_t>(delayPos_ * channels_)];
    for (int c = 0; c < channels_; ++c) {
        const float scaled = leaving[c] * limiter * outputScale;
        // halves away from zero; whole numbers stay exact, so unity gain is bit-transparent
        const auto value = static_cast<std::int32_t>(scaled + (scaled < 0.0f ? -0.5f : 0.5f));
        frame[c] = static_cast<std::int16_t>(std::clamp(value, -outputLimit_, outputLimit_));
    }
    ++frameIndex_;
}

} // namespace vantrel::dspenh
