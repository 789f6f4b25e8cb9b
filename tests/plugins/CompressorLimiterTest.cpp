#include "CompressorLimiter.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace vantrel::dspenh {
namespace {

using Samples = std::vector<std::int16_t>; // interleaved

constexpr double fullScale = 32768.0;

double dbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

std::int16_t toSample(double value) {
    return static_cast<std::int16_t>(std::clamp(std::lround(value * fullScale), -32768L, 32767L));
}

// `seconds` of a signal given per frame, the same on every channel.
template <typename Signal>
Samples generate(std::uint32_t rate, int channels, double seconds, Signal signal) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    Samples samples(frames * static_cast<std::size_t>(channels));
    for (std::size_t frame = 0; frame < frames; ++frame)
        for (int c = 0; c < channels; ++c)
            samples[frame * channels + c] = toSample(signal(frame, c));
    return samples;
}

Samples sine(std::uint32_t rate, int channels, double seconds, double hz, double db,
             double phase = 0.0) {
    const double amplitude = dbToGain(db);
    return generate(rate, channels, seconds, [&](std::size_t frame, int) {
        return amplitude * std::sin(2 * std::numbers::pi * hz * frame / rate + phase);
    });
}

// Runs `input` through `processor` in blocks of `blockFrames` frames.
Samples run(CompressorLimiter& processor, Samples input, std::int32_t blockFrames = 480) {
    const int channels = processor.channels();
    const auto frames = static_cast<std::int32_t>(input.size() / channels);
    for (std::int32_t done = 0; done < frames; done += blockFrames)
        processor.process(input.data() + static_cast<std::ptrdiff_t>(done) * channels,
                          std::min(blockFrames, frames - done));
    return input;
}

// --- The ceiling holds on a hostile corpus ---------------------------------------------

struct CorpusSignal {
    const char* name;
    Samples (*make)(std::uint32_t rate, int channels);
};

const CorpusSignal hostileCorpus[] = {
    {"full-scale square 50 Hz",
     [](std::uint32_t rate, int channels) {
         return generate(rate, channels, 0.4, [rate](std::size_t frame, int) {
             return (frame * 100 / rate) % 2 == 0 ? 1.0 : -1.0;
         });
     }},
    {"full-scale square 3 kHz, channels in opposition",
     [](std::uint32_t rate, int channels) {
         return generate(rate, channels, 0.3, [rate](std::size_t frame, int c) {
             const double s = (frame * 6000 / rate) % 2 == 0 ? 1.0 : -1.0;
             return c % 2 == 0 ? s : -s;
         });
     }},
    {"clipped noise",
     [](std::uint32_t rate, int channels) {
         std::mt19937 random(7);
         std::normal_distribution<double> noise(0.0, 2.0);
         return generate(rate, channels, 0.4,
                         [&](std::size_t, int) { return std::clamp(noise(random), -1.0, 1.0); });
     }},
    {"sine bursts out of silence",
     [](std::uint32_t rate, int channels) {
         return generate(rate, channels, 0.5, [rate](std::size_t frame, int) {
             const bool on = (frame * 20 / rate) % 2 == 1;
             return on ? std::sin(2 * std::numbers::pi * 1234.5 * frame / rate) : 0.0;
         });
     }},
    {"inter-sample peaks at a quarter of the rate",
     [](std::uint32_t rate, int channels) {
         // Samples at full scale, the wave between them 3 dB above it.
         return generate(rate, channels, 0.3, [rate](std::size_t frame, int) {
             return std::sqrt(2.0) * std::sin(2 * std::numbers::pi * (rate / 4.0) * frame / rate +
                                              std::numbers::pi / 4);
         });
     }},
};

struct CeilingCase {
    std::uint32_t rate;
    int channels;
    bool truePeak;
    float ceilingDb;
    float makeUpDb;
};

class CeilingTest : public ::testing::TestWithParam<CeilingCase> {};

TEST_P(CeilingTest, NoOutputSampleExceedsTheCeiling) {
    const CeilingCase& c = GetParam();
    Settings settings;
    settings.truePeak = c.truePeak;
    settings.ceilingDb = c.ceilingDb;
    settings.makeUpDb = c.makeUpDb;
    const double limit = dbToGain(c.ceilingDb) * fullScale;
    for (const CorpusSignal& signal : hostileCorpus) {
        CompressorLimiter processor;
        processor.configure(c.rate, c.channels);
        processor.setSettings(settings);
        const Samples output = run(processor, signal.make(c.rate, c.channels), 317);
        const auto peak = std::abs(static_cast<int>(
            *std::max_element(output.begin(), output.end(), [](std::int16_t a, std::int16_t b) {
                return std::abs(a) < std::abs(b);
            })));
        EXPECT_LE(peak, limit) << signal.name;
        EXPECT_GT(peak, 0.5 * limit) << signal.name << ": the signal still comes through";
    }
}

INSTANTIATE_TEST_SUITE_P(RatesChannelsModes, CeilingTest,
                         ::testing::Values(CeilingCase{22050, 1, false, -1.0f, 0.0f},
                                           CeilingCase{22050, 2, true, -1.0f, 12.0f},
                                           CeilingCase{44100, 2, false, -0.1f, 0.0f},
                                           CeilingCase{48000, 2, false, -1.0f, 18.0f},
                                           CeilingCase{48000, 2, true, -1.0f, 0.0f},
                                           CeilingCase{48000, 1, true, -6.0f, 6.0f},
                                           CeilingCase{96000, 2, true, -1.0f, 12.0f},
                                           CeilingCase{96000, 1, false, 0.0f, 0.0f}),
                         [](const auto& info) {
                             const CeilingCase& c = info.param;
                             return std::to_string(c.rate) + "Hz" + std::to_string(c.channels) +
                                    "ch" + (c.truePeak ? "TruePeak" : "SamplePeak") + "Case" +
                                    std::to_string(info.index);
                         });

// The peak of the wave between the samples, from a long windowed-sinc 8x interpolation.
double truePeakOf(const Samples& samples, int channels) {
    constexpr int factor = 8;
    constexpr int halfSpan = 32;
    double peak = 0;
    const auto frames = static_cast<int>(samples.size() / channels);
    for (int c = 0; c < channels; ++c)
        for (int frame = halfSpan; frame < frames - halfSpan; ++frame)
            for (int phase = 0; phase < factor; ++phase) {
                const double position = frame + static_cast<double>(phase) / factor;
                double value = 0;
                for (int k = frame - halfSpan + 1; k <= frame + halfSpan; ++k) {
                    const double d = position - k;
                    const double sinc =
                        d == 0 ? 1 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
                    const double window = 0.5 + 0.5 * std::cos(std::numbers::pi * d / halfSpan);
                    value += samples[k * channels + c] * sinc * window;
                }
                peak = std::max(peak, std::abs(value));
            }
    return peak;
}

TEST(TruePeak, KeepsThePeaksBetweenSamplesNearTheCeiling) {
    constexpr std::uint32_t rate = 48000;
    const double ceiling = dbToGain(Settings{}.ceilingDb) * fullScale;
    // Sines whose wave reaches 0 dBFS between samples that sit lower.
    for (const double share : {0.25, 0.17, 0.33, 0.4, 0.45}) {
        CompressorLimiter processor;
        processor.configure(rate, 1);
        processor.setSettings({.truePeak = true});
        const Samples input = sine(rate, 1, 0.1, share * rate, 0.0, std::numbers::pi / 4);
        Samples output = run(processor, input);
        output.erase(output.begin(), output.begin() + rate / 50); // the onset rings in any filter
        const double peak = truePeakOf(output, 1);
        EXPECT_LE(20 * std::log10(peak / ceiling), 0.0) << share << " of the rate";
    }

    CompressorLimiter samplePeak;
    samplePeak.configure(rate, 1);
    const Samples input = sine(rate, 1, 0.1, rate / 4.0, 0.0, std::numbers::pi / 4);
    EXPECT_GT(truePeakOf(run(samplePeak, input), 1), dbToGain(1.0) * ceiling)
        << "without true-peak mode the inter-sample peak passes";
}

// --- Transparency below the threshold --------------------------------------------------

// Total harmonic distortion plus noise of a sine of known frequency: what remains after the
// least-squares fit of that sine (with offset), relative to the sine.
double thdPlusN(const Samples& samples, int channel, int channels, double hz, std::uint32_t rate) {
    const std::size_t frames = samples.size() / channels;
    double ss = 0, sc = 0, cc = 0, s1 = 0, c1 = 0, ys = 0, yc = 0, y1 = 0;
    std::vector<double> s(frames), cosine(frames), y(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        const double w = 2 * std::numbers::pi * hz * n / rate;
        s[n] = std::sin(w), cosine[n] = std::cos(w), y[n] = samples[n * channels + channel];
        ss += s[n] * s[n], sc += s[n] * cosine[n], cc += cosine[n] * cosine[n];
        s1 += s[n], c1 += cosine[n], ys += y[n] * s[n], yc += y[n] * cosine[n], y1 += y[n];
    }
    // Normal equations of y ~ a sin + b cos + d, solved by Cramer's rule.
    const double m[3][3] = {{ss, sc, s1}, {sc, cc, c1}, {s1, c1, static_cast<double>(frames)}};
    const double r[3] = {ys, yc, y1};
    const auto det = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    double solution[3];
    for (int k = 0; k < 3; ++k) {
        double mk[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                mk[i][j] = j == k ? r[i] : m[i][j];
        solution[k] = det(mk) / det(m);
    }
    double residual = 0, fitted = 0;
    for (std::size_t n = 0; n < frames; ++n) {
        const double fit = solution[0] * s[n] + solution[1] * cosine[n] + solution[2];
        residual += (y[n] - fit) * (y[n] - fit);
        fitted += (fit - solution[2]) * (fit - solution[2]);
    }
    return std::sqrt(residual / fitted);
}

struct StreamShape {
    std::uint32_t rate;
    int channels;
};

class BelowThresholdTest : public ::testing::TestWithParam<StreamShape> {};

TEST_P(BelowThresholdTest, ASineComesOutUnchangedButForTheLookAheadDelay) {
    const auto [rate, channels] = GetParam();
    constexpr double hz = 997.0;
    Settings settings;
    settings.thresholdDb = -6.0f;
    CompressorLimiter processor;
    processor.configure(rate, channels);
    processor.setSettings(settings);
    const std::int32_t latency = processor.latencyFrames();
    EXPECT_LE(latency, static_cast<std::int32_t>(rate * 5 / 1000)) << "at most 5 ms look-ahead";

    const Samples input = sine(rate, channels, 0.5, hz, -10.0);
    const Samples output = run(processor, input);
    const std::size_t delay = static_cast<std::size_t>(latency) * channels;
    ASSERT_TRUE(std::equal(input.begin(), input.end() - delay, output.begin() + delay));
    EXPECT_TRUE(std::all_of(output.begin(), output.begin() + delay, [](auto s) { return s == 0; }));

    const Samples settled(output.begin() + delay, output.end());
    for (int c = 0; c < channels; ++c)
        EXPECT_LT(thdPlusN(settled, c, channels, hz, rate), 1e-4) << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(RatesAndChannels, BelowThresholdTest,
                         ::testing::Values(StreamShape{22050, 1}, StreamShape{44100, 2},
                                           StreamShape{48000, 2}, StreamShape{96000, 1},
                                           StreamShape{96000, 2}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz" +
                                    std::to_string(info.param.channels) + "ch";
                         });

// --- Attack and release -----------------------------------------------------------------

// Gain (dB) the processor applied to each frame of a constant input, with the latency removed.
std::vector<double> appliedGainDb(const Samples& input, const Samples& output, int latency) {
    std::vector<double> gain;
    for (std::size_t n = 0; n + latency < output.size(); ++n)
        gain.push_back(20 * std::log10(static_cast<double>(output[n + latency]) / input[n]));
    return gain;
}

struct TimingCase {
    std::uint32_t rate;
    float attackMs;
    float releaseMs;
};

class TimingTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(TimingTest, GainReductionFollowsTheSetAttackAndReleaseTimes) {
    const TimingCase& t = GetParam();
    Settings settings;
    settings.thresholdDb = -30.0f;
    settings.ratio = 4.0f;
    settings.kneeDb = 0.0f;
    settings.attackMs = t.attackMs;
    settings.releaseMs = t.releaseMs;
    settings.ceilingDb = 0.0f;
    CompressorLimiter processor;
    processor.configure(t.rate, 1);
    processor.setSettings(settings);

    // A constant level 20 dB above the threshold (15 dB of reduction at 4:1), then 10 dB below.
    const auto stepAt = static_cast<std::size_t>(t.rate / 10);
    const auto dropAt = stepAt + static_cast<std::size_t>(t.attackMs * 10 * t.rate / 1000);
    const auto end = dropAt + static_cast<std::size_t>(t.releaseMs * 6 * t.rate / 1000);
    const Samples input = generate(t.rate, 1, static_cast<double>(end) / t.rate, [&](auto n, int) {
        return n >= stepAt && n < dropAt ? dbToGain(-10) : dbToGain(-40);
    });
    const std::vector<double> gain =
        appliedGainDb(input, run(processor, input), processor.latencyFrames());
    constexpr double reduction = 15.0;

    // Time constants: 1 - 1/e of the change is done after one of them.
    const auto firstFrameFrom = [&](std::size_t from, auto reached) {
        for (std::size_t n = from; n < gain.size(); ++n)
            if (reached(gain[n]))
                return n - from;
        return gain.size();
    };
    const double attackFrames = static_cast<double>(
        firstFrameFrom(stepAt, [&](double g) { return -g >= reduction * (1 - std::exp(-1.0)); }));
    const double startOfRelease = -gain[dropAt - 1];
    const double releaseFrames = static_cast<double>(
        firstFrameFrom(dropAt, [&](double g) { return -g <= startOfRelease * std::exp(-1.0); }));
    EXPECT_NEAR(attackFrames / t.rate * 1000, t.attackMs, 0.1 * t.attackMs);
    EXPECT_NEAR(releaseFrames / t.rate * 1000, t.releaseMs, 0.1 * t.releaseMs);
    EXPECT_NEAR(startOfRelease, reduction, 0.1) << "the reduction settles at the static curve";
}

INSTANTIATE_TEST_SUITE_P(
    Times, TimingTest,
    ::testing::Values(TimingCase{22050, 2.0f, 50.0f}, TimingCase{48000, 10.0f, 150.0f},
                      TimingCase{48000, 1.0f, 1000.0f}, TimingCase{96000, 50.0f, 300.0f}),
    [](const auto& info) {
        return std::to_string(info.param.rate) + "HzCase" + std::to_string(info.index);
    });

// --- Smooth changes and a clean restart ----------------------------------------------------

struct ChangeCase {
    const char* name;
    double levelDb; // of the constant input
    Settings before;
    Settings after;
};
// Keeps the test listing readable: the case's name instead of its bytes.
void PrintTo(const ChangeCase& change, std::ostream* out) {
    *out << change.name;
}

class ControlChangeTest : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ControlChangeTest, MovesTheGainWithoutSteps) {
    constexpr std::uint32_t rate = 48000;
    constexpr std::int32_t framesPerHalf = rate * 3 / 10;
    const ChangeCase& c = GetParam();
    CompressorLimiter processor;
    processor.configure(rate, 2);
    processor.setSettings(c.before);
    const Samples input =
        generate(rate, 2, 0.6, [&](std::size_t, int) { return dbToGain(c.levelDb); });
    Samples output = input;
    processor.process(output.data(), framesPerHalf);
    processor.setSettings(c.after);
    processor.process(output.data() + 2 * framesPerHalf, framesPerHalf);

    const int latency = processor.latencyFrames();
    std::vector<double> gain; // dB, left channel, latency removed
    for (std::int32_t n = 0; n + latency < 2 * framesPerHalf; ++n)
        gain.push_back(20 *
                       std::log10(static_cast<double>(output[2 * (n + latency)]) / input[2 * n]));
    double largestStep = 0;
    for (std::size_t n = rate / 10; n + 1 < gain.size(); ++n)
        largestStep = std::max(largestStep, std::abs(gain[n + 1] - gain[n]));
    EXPECT_GT(std::abs(gain.back() - gain[framesPerHalf - latency - 1]), 3.0)
        << "the change took effect";
    EXPECT_LT(largestStep, 0.05) << "dB from one frame to the next";
}

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlChangeTest,
    ::testing::Values(
        ChangeCase{"MakeUp", -20.0, {}, {.makeUpDb = 12.0f}},
        ChangeCase{"Threshold", -12.0, {}, {.thresholdDb = -40.0f}},
        ChangeCase{"Ratio", -6.0, {}, {.ratio = 20.0f}},
        ChangeCase{"CeilingDown", -2.0, {.ratio = 1.0f}, {.ratio = 1.0f, .ceilingDb = -9.0f}},
        ChangeCase{"CeilingUp",
                   -2.0,
                   {.ratio = 1.0f, .ceilingDb = -9.0f},
                   {.ratio = 1.0f, .ceilingDb = 0.0f}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Restart, AResetLeavesNothingOfTheFormerSignal) {
    constexpr std::uint32_t rate = 44100;
    Settings settings;
    settings.thresholdDb = -6.0f;
    CompressorLimiter processor;
    processor.configure(rate, 2);
    processor.setSettings(settings);
    run(processor, sine(rate, 2, 0.3, 440.0, 0.0)); // loud: reduction, and a full look-ahead
    processor.reset();

    const Samples quiet = sine(rate, 2, 0.2, 440.0, -12.0);
    const Samples output = run(processor, quiet);
    const std::size_t delay = static_cast<std::size_t>(processor.latencyFrames()) * 2;
    EXPECT_TRUE(std::all_of(output.begin(), output.begin() + delay, [](auto s) { return s == 0; }));
    EXPECT_TRUE(std::equal(quiet.begin(), quiet.end() - delay, output.begin() + delay));
    EXPECT_EQ(processor.gainReductionDb(), 0.0f);
}

TEST(Meter, ReportsTheGainReductionOfTheLastBlock) {
    constexpr std::uint32_t rate = 48000;
    Settings settings;
    settings.thresholdDb = -30.0f;
    settings.ratio = 4.0f;
    settings.kneeDb = 0.0f;
    CompressorLimiter processor;
    processor.configure(rate, 2);
    processor.setSettings(settings);
    run(processor, generate(rate, 2, 0.5, [](std::size_t, int) { return dbToGain(-10); }));
    EXPECT_NEAR(processor.gainReductionDb(), 15.0, 0.1);
}

} // namespace
} // namespace vantrel::dspenh
