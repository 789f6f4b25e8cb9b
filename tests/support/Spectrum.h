// Test signals and spectrum measurements for DSP tests: pink noise and sines, 16-bit PCM
// conversion, and the level of a signal per frequency band. The measurement uses its own
// double-precision FFT, so that it stays independent of the transforms under test.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace vantrel::spectrum {

using Signal = std::vector<double>;

// A frequency range, Hz, both edges included.
struct Band {
    double low;
    double high;
};

// One band of the main window's 31-band layout: centre and edges in Hz.
struct LayoutBand {
    int centre;
    int lower;
    int upper;
};

// The 31 bands laid out from 20 Hz to 20000 Hz with Q 6, the program's defaults.
inline const std::vector<LayoutBand>& defaultEqualizerLayout() {
    static const std::vector<LayoutBand> layout{
        {20, 19, 21},          {25, 24, 26},          {31, 29, 33},         {39, 37, 41},
        {50, 47, 53},          {63, 60, 67},          {79, 75, 84},         {100, 95, 106},
        {126, 119, 133},       {158, 149, 167},       {200, 189, 211},      {251, 237, 265},
        {316, 299, 334},       {399, 377, 422},       {502, 475, 531},      {632, 598, 668},
        {796, 753, 841},       {1002, 948, 1059},     {1261, 1193, 1333},   {1588, 1502, 1679},
        {2000, 1892, 2114},    {2517, 2381, 2661},    {3169, 2998, 3350},   {3990, 3775, 4218},
        {5023, 4752, 5309},    {6324, 5983, 6685},    {7962, 7532, 8416},   {10023, 9482, 10595},
        {12619, 11938, 13339}, {15886, 15029, 16792}, {20000, 18921, 21141}};
    return layout;
}

// --- Signals -------------------------------------------------------------------------------

// Pink noise (power falling 3 dB per octave) with an RMS of `rms` (full scale 1.0): Gaussian
// white noise through Paul Kellet's economy pink filter.
inline Signal pinkNoise(std::size_t frames, double rms, unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<double> white(0.0, 1.0);
    Signal signal(frames);
    double b0 = 0, b1 = 0, b2 = 0;
    for (double& sample : signal) {
        const double w = white(generator);
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        sample = b0 + b1 + b2 + w * 0.1848;
    }
    double sum = 0;
    for (const double sample : signal)
        sum += sample * sample;
    const double scale = rms / std::sqrt(sum / static_cast<double>(frames));
    for (double& sample : signal)
        sample *= scale;
    return signal;
}

// A sine of `frequency` Hz at `rate` frames per second with peak `amplitude` (full scale 1.0).
inline Signal sine(std::size_t frames, double frequency, double rate, double amplitude,
                   double phase = 0) {
    Signal signal(frames);
    for (std::size_t i = 0; i < frames; ++i)
        signal[i] =
            amplitude *
            std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate + phase);
    return signal;
}

// 16-bit samples of `signal` scaled by 32767, rounded and clipped.
inline std::vector<std::int16_t> toPcm16(const Signal& signal) {
    std::vector<std::int16_t> samples(signal.size());
    std::transform(signal.begin(), signal.end(), samples.begin(), [](double value) {
        return static_cast<std::int16_t>(std::clamp(std::lround(value * 32767), -32768L, 32767L));
    });
    return samples;
}

// Interleaves channels of equal length into frames.
inline std::vector<std::int16_t>
interleave(const std::vector<std::vector<std::int16_t>>& channels) {
    const std::size_t frames = channels.at(0).size();
    std::vector<std::int16_t> frameData(frames * channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c)
        for (std::size_t i = 0; i < frames; ++i)
            frameData[i * channels.size() + c] = channels[c].at(i);
    return frameData;
}

// Channel `channel` of interleaved 16-bit frames, full scale 1.0.
inline Signal channelOf(const std::vector<std::int16_t>& frameData, std::size_t channels,
                        std::size_t channel) {
    Signal signal(frameData.size() / channels);
    for (std::size_t i = 0; i < signal.size(); ++i)
        signal[i] = frameData[i * channels + channel] / 32767.0;
    return signal;
}

// --- Measuring -----------------------------------------------------------------------------

// In-place radix-2 FFT (forward); the size must be a power of two.
inline void fft(std::vector<std::complex<double>>& data) {
    const std::size_t n = data.size();
    if (n == 0 || (n & (n - 1)) != 0)
        throw std::invalid_argument("FFT size must be a power of two");
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::complex<double> step =
            std::polar(1.0, -2 * std::numbers::pi / static_cast<double>(length));
        for (std::size_t start = 0; start < n; start += length) {
            std::complex<double> w = 1;
            for (std::size_t k = 0; k < length / 2; ++k, w *= step) {
                const std::complex<double> even = data[start + k];
                const std::complex<double> odd = data[start + k + length / 2] * w;
                data[start + k] = even + odd;
                data[start + k + length / 2] = even - odd;
            }
        }
    }
}

// Power spectrum (Welch: Hann-windowed frames of `fftSize`, half overlapping, averaged) of
// `signal`, bins 0 ... fftSize/2. Throws when the signal is shorter than one frame.
inline std::vector<double> powerSpectrum(const Signal& signal, std::size_t fftSize) {
    if (signal.size() < fftSize)
        throw std::invalid_argument("signal shorter than one FFT frame");
    std::vector<double> window(fftSize);
    for (std::size_t i = 0; i < fftSize; ++i)
        window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) /
                                         static_cast<double>(fftSize));
    std::vector<double> power(fftSize / 2 + 1, 0.0);
    std::vector<std::complex<double>> frame(fftSize);
    std::size_t frames = 0;
    for (std::size_t start = 0; start + fftSize <= signal.size(); start += fftSize / 2) {
        for (std::size_t i = 0; i < fftSize; ++i)
            frame[i] = signal[start + i] * window[i];
        fft(frame);
        for (std::size_t k = 0; k < power.size(); ++k)
            power[k] += std::norm(frame[k]);
        ++frames;
    }
    for (double& p : power)
        p /= static_cast<double>(frames);
    return power;
}

// The level (dB, arbitrary but common reference) of `signal` in each band: the power of the
// FFT bins whose centres lie within the band. A band narrower than one bin takes the nearest
// bin. Compare levels of two signals measured the same way, not absolute values.
inline std::vector<double> bandLevelsDb(const Signal& signal, double rate,
                                        const std::vector<Band>& bands,
                                        std::size_t fftSize = 8192) {
    const std::vector<double> power = powerSpectrum(signal, fftSize);
    const double binWidth = rate / static_cast<double>(fftSize);
    std::vector<double> levels;
    for (const Band& band : bands) {
        auto first = static_cast<std::size_t>(std::ceil(band.low / binWidth));
        auto last = static_cast<std::size_t>(std::floor(band.high / binWidth));
        last = std::min(last, power.size() - 1);
        if (first > last)
            first = last = std::min(
                static_cast<std::size_t>(std::lround((band.low + band.high) / 2 / binWidth)),
                power.size() - 1);
        double sum = 0;
        for (std::size_t k = first; k <= last; ++k)
            sum += power[k];
        levels.push_back(10 * std::log10(std::max(sum, 1e-30)));
    }
    return levels;
}

} // namespace vantrel::spectrum
