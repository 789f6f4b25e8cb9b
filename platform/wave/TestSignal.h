// The signal of the virtual "Test Signal" input: steady and program-like, with a known level and
// spectrum, so that meters, the equalizer and the automatic correction can be checked against it.
//
// It is the sum of sine tones of equal amplitude at the octave-band centres 63, 125, 250, 500,
// 1000, 2000, 4000, 8000 and 16000 Hz, taking those below 0.45 times the sample rate (all nine
// from 44100 Hz up, six at 8000 Hz). Equal amplitude per octave gives equal power per octave: a
// pink-like spectrum. The tones start with Schroeder phases, which keep the crest factor low.
// The RMS level of the sum is 0.1 of full scale (-20 dB re a full-scale amplitude) at every
// rate, so each tone has an amplitude of 0.1 * sqrt(2 / tone count) of full scale and the peak
// stays below 0.45 of full scale. Every channel carries the same signal. Full scale is 32767 for
// 16-bit samples and 127 around the offset 128 for 8-bit samples.
#pragma once

#include "MMUtils.h"

#include <array>
#include <cstddef>

namespace vantrel {

inline constexpr std::array<double, 9> TestSignalFrequencies = {63,   125,  250,  500,  1000,
                                                                2000, 4000, 8000, 16000}; // Hz
inline constexpr double TestSignalHighestFraction = 0.45; // of the sample rate
inline constexpr double TestSignalRms = 0.1;              // of full scale

class TestSignal {
public:
    // `format` is a supported PCM format (8 or 16 bits).
    explicit TestSignal(const TWaveFormatEx& format);

    // Number of tones at this format's sample rate.
    std::size_t toneCount() const { return toneCount_; }
    // Writes the next `frames` frames, in the format, to `out`.
    void render(char* out, std::size_t frames);
    // Moves on by `frames` frames without producing them.
    void skip(std::size_t frames);

private:
    struct Tone {
        double phase;     // radians
        double step;      // radians per frame
        double amplitude; // of full scale
    };

    double nextValue();

    TWaveFormatEx format_;
    std::array<Tone, TestSignalFrequencies.size()> tones_{};
    std::size_t toneCount_ = 0;
};

} // namespace vantrel
