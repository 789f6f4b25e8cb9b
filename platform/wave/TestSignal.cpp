#include "TestSignal.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

namespace vantrel {

TestSignal::TestSignal(const TWaveFormatEx& format) : format_(format) {
    const double rate = format.nSamplesPerSec;
    for (double frequency : TestSignalFrequencies)
        if (frequency < TestSignalHighestFraction * rate)
            tones_[toneCount_++].step = 2 * std::numbers::pi * frequency / rate;
    const double count = static_cast<double>(toneCount_);
    const double amplitude = TestSignalRms * std::sqrt(2.0 / count);
    for (std::size_t k = 0; k < toneCount_; ++k) {
        // Schroeder phases: -pi k (k - 1) / N.
        const double index = static_cast<double>(k);
        tones_[k].phase =
            std::remainder(-std::numbers::pi * index * (index - 1) / count, 2 * std::numbers::pi);
        tones_[k].amplitude = amplitude;
    }
}

double TestSignal::nextValue() {
    double sum = 0;
    for (std::size_t k = 0; k < toneCount_; ++k) {
        Tone& tone = tones_[k];
        sum += tone.amplitude * std::sin(tone.phase);
        tone.phase += tone.step;
        if (tone.phase > std::numbers::pi)
            tone.phase -= 2 * std::numbers::pi;
    }
    return sum;
}

void TestSignal::skip(std::size_t frames) {
    for (std::size_t k = 0; k < toneCount_; ++k) {
        Tone& tone = tones_[k];
        tone.phase = std::remainder(tone.phase + tone.step * static_cast<double>(frames),
                                    2 * std::numbers::pi);
    }
}

void TestSignal::render(char* out, std::size_t frames) {
    const int channels = format_.nChannels;
    const bool eightBit = format_.wBitsPerSample == 8;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const double value = nextValue();
        if (eightBit) {
            const auto sample = static_cast<unsigned char>(128 + std::lround(value * 127));
            std::memset(out, sample, static_cast<std::size_t>(channels));
            out += channels;
        } else {
            const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
            for (int channel = 0; channel < channels; ++channel, out += sizeof sample)
                std::memcpy(out, &sample, sizeof sample);
        }
    }
}

} // namespace vantrel
