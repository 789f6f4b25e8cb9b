// How much faster than real time the dsp_enh compressor/limiter runs on one core, on 48 kHz
// stereo programme material that keeps both the compressor and the limiter busy.
//
// Prints: dsp_enh stereo48k realtime_x=<audio seconds per CPU second>
//         dsp_enh stereo48k truepeak realtime_x=<audio seconds per CPU second>
#include "CompressorLimiter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <random>
#include <vector>

namespace {

using vantrel::dspenh::CompressorLimiter;
using vantrel::dspenh::Settings;

constexpr std::uint32_t rate = 48000;
constexpr int channels = 2;
constexpr int seconds = 20;
constexpr std::int32_t blockFrames = 1024;
constexpr int rounds = 3;

// Chords and noise under a slow swell from quiet to beyond full scale, so that every part of
// the path takes its turn.
std::vector<std::int16_t> programme() {
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(rate) * seconds * channels);
    for (std::size_t n = 0; n < samples.size() / channels; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double swell = 0.05 + 0.9 * (0.5 - 0.5 * std::cos(2 * std::numbers::pi * t / 5));
        for (int c = 0; c < channels; ++c) {
            double value = noise(random);
            for (const double hz : {110.0, 277.2, 329.6, 1760.0})
                value += 0.35 * std::sin(2 * std::numbers::pi * (hz + c) * t);
            samples[n * channels + c] = static_cast<std::int16_t>(
                std::clamp(std::lround(32767 * swell * value), -32768L, 32767L));
        }
    }
    return samples;
}

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Audio seconds processed per CPU second, best of a few rounds.
double realtimeFactor(const std::vector<std::int16_t>& input, const Settings& settings) {
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::int16_t> samples = input;
        CompressorLimiter processor;
        processor.configure(rate, channels);
        processor.setSettings(settings);
        const auto frames = static_cast<std::int32_t>(samples.size() / channels);
        const double start = cpuSeconds();
        for (std::int32_t done = 0; done < frames; done += blockFrames)
            processor.process(samples.data() + static_cast<std::ptrdiff_t>(done) * channels,
                              std::min(blockFrames, frames - done));
        best = std::max(best, seconds / (cpuSeconds() - start));
    }
    return best;
}

} // namespace

int main() {
    const std::vector<std::int16_t> input = programme();
    // Make-up gain drives the compressed programme into the limiter, as on air.
    std::printf("dsp_enh stereo48k realtime_x=%.0f\n",
                realtimeFactor(input, Settings{.makeUpDb = 6.0f}));
    std::printf("dsp_enh stereo48k truepeak realtime_x=%.0f\n",
                realtimeFactor(input, Settings{.makeUpDb = 6.0f, .truePeak = true}));
    return 0;
}
