#include "MMFFTFilter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

using Samples = std::vector<std::int16_t>;

constexpr double Pi = 3.14159265358979323846;
const double UnityGain = std::pow(10.0, 6.0 / 20.0) / 2; // what 0 dB passes: 0.99763

TWaveFormatEx pcm16(int channels, std::uint32_t rate) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, channels, rate);
    return format;
}

FFTFilterPtr makeFilter(int channels, std::uint32_t rate, std::int32_t length,
                        std::int32_t maxBytes = 65536) {
    const TWaveFormatEx format = pcm16(channels, rate);
    FFTFilterPtr filter(CreateFFTFilter(&format, length, maxBytes));
    EXPECT_NE(filter, nullptr);
    return filter;
}

// Runs `input` (interleaved frames) through the filter in calls of the given numbers of frames,
// repeating the list until the input is used up. Collects whether each call reported clipping.
Samples runInCalls(TFFTFilter* filter, const Samples& input, const std::vector<int>& callFrames,
                   TMMChannel channel = chBoth, std::vector<bool>* clipReports = nullptr) {
    Samples output = input;
    const std::size_t channels = static_cast<std::size_t>(filter->channels);
    std::size_t frame = 0;
    for (std::size_t call = 0; frame * channels < output.size(); ++call) {
        const std::size_t frames =
            std::min<std::size_t>(static_cast<std::size_t>(callFrames[call % callFrames.size()]),
                                  output.size() / channels - frame);
        const bool clipped = ProcessFFTFilter(filter, channel, output.data() + frame * channels,
                                              static_cast<std::int32_t>(frames * channels * 2));
        if (clipReports != nullptr)
            clipReports->push_back(clipped);
        frame += frames;
    }
    return output;
}

Samples noise(std::size_t count, int amplitude, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> uniform(-amplitude, amplitude);
    Samples samples(count);
    for (auto& s : samples)
        s = static_cast<std::int16_t>(uniform(generator));
    return samples;
}

Samples sine(std::size_t frames, double frequency, double rate, double amplitude) {
    Samples samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * Pi * frequency * static_cast<double>(i) / rate)));
    return samples;
}

double rms(const Samples& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(FFTFilterCreation, LengthPicksPowerOfTwoUpTo1024) {
    struct Case {
        std::int32_t length, n;
    };
    for (const Case c : {Case{4096, 1024}, Case{1000, 512}, Case{512, 512}, Case{3, 2}}) {
        const FFTFilterPtr filter = makeFilter(2, 44100, c.length);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(filter->n, c.n) << "length " << c.length;
        EXPECT_EQ(1 << filter->Bits, c.n);
        EXPECT_EQ(filter->half, c.n / 2);
    }
    const TWaveFormatEx stereo = pcm16(2, 44100);
    EXPECT_EQ(CreateFFTFilter(&stereo, 1, 4096), nullptr);
}

TEST(FFTFilterCreation, RefusesFormatsItCannotFilter) {
    const TWaveFormatEx eightBit = [] {
        TWaveFormatEx format{};
        BuildPCMFormat(format, 8, 2, 44100);
        return format;
    }();
    const TWaveFormatEx quad = pcm16(4, 44100);
    const TWaveFormatEx noRate = pcm16(2, 0);
    EXPECT_THROW(CreateFFTFilter(nullptr, 512, 4096), std::invalid_argument);
    EXPECT_THROW(CreateFFTFilter(&noRate, 512, 4096), std::invalid_argument);
    EXPECT_THROW(CreateFFTFilter(&eightBit, 512, 4096), std::invalid_argument);
    EXPECT_THROW(CreateFFTFilter(&quad, 512, 4096), std::invalid_argument);
}

// With every bin at 0 dB the kernel is its centre tap alone: the output is the input, N/4
// frames late, times 0.99763, truncated toward zero. Holds for every window.
TEST(FFTFilterResponse, FlatFilterIsScaledDelayWithinOneLsb) {
    const int n = 512;
    const std::size_t frames = 8 * n;
    const Samples input = noise(2 * frames, 30000, 7);
    for (int w = fwRectangular; w <= fwParzen; ++w) {
        const FFTFilterPtr filter = makeFilter(2, 48000, n);
        SetFFTFilterWindow(filter.get(), static_cast<TMMFFTWindow>(w));
        const Samples output = runInCalls(filter.get(), input, {n});
        int worst = 0;
        for (std::size_t i = 0; i < output.size(); ++i) {
            const std::size_t delay = 2 * (n / 4);
            const double source = i >= delay ? input[i - delay] : 0.0;
            const int expected = static_cast<int>(std::trunc(UnityGain * source));
            worst = std::max(worst, std::abs(output[i] - expected));
        }
        EXPECT_LE(worst, 1) << "window " << w;
    }
}

TEST(FFTFilterResponse, ConstantLevelComesOutScaledAndTruncated) {
    const int n = 256;
    const FFTFilterPtr filter = makeFilter(1, 44100, n);
    for (const int level : {10000, -10000}) {
        ResetFFTFilter(filter.get());
        const Samples output = runInCalls(filter.get(), Samples(4 * n, level), {n});
        for (int i = 0; i < n / 4; ++i)
            EXPECT_EQ(output[i], 0) << i;
        for (int i = n / 4; i < 4 * n; ++i)
            ASSERT_EQ(output[i], level > 0 ? 9976 : -9976) << i;
    }
}

// The gain of the filter at `frequency`, in dB, from a steady sine (transients skipped).
double gainAt(TFFTFilter* filter, double frequency) {
    ResetFFTFilter(filter);
    const std::size_t frames = 16 * static_cast<std::size_t>(filter->n);
    const Samples input = sine(frames, frequency, filter->sampleRate, 8000);
    const Samples output = runInCalls(filter, input, {filter->n});
    const std::size_t settled = 2 * static_cast<std::size_t>(filter->n);
    return 20 * std::log10(rms(output, settled, frames) / rms(input, settled, frames));
}

TEST(FFTFilterResponse, BandGainShowsAtItsCentreAndNowhereElse) {
    const double unityDb = 20 * std::log10(UnityGain);
    for (const float bandGain : {12.0f, -12.0f}) {
        const FFTFilterPtr filter = makeFilter(1, 48000, 512);
        SetFFTFilterWindow(filter.get(), fwHanning);
        SetFFTFilterBand(filter.get(), 2000, 4000, bandGain);
        // A stepped sweep from far below the band, through its centre, to far above it.
        for (const double frequency : {100.0, 400.0, 800.0, 2828.0, 3000.0, 8000.0, 16000.0}) {
            const bool inside = frequency > 2500 && frequency < 3500;
            const double expected = unityDb + (inside ? bandGain : 0.0);
            EXPECT_NEAR(gainAt(filter.get(), frequency), expected, 0.5)
                << frequency << " Hz, band at " << bandGain << " dB";
        }
    }
}

TEST(FFTFilterBands, EdgesMapToBinsAsSpecified) {
    const FFTFilterPtr filter = makeFilter(2, 44100, 512);
    const float binWidth = 44100.0f / 512.0f; // 86.13 Hz
    const float gain10 = static_cast<float>(std::pow(10.0, 16.0 / 20.0));
    const float flat = static_cast<float>(std::pow(10.0, 6.0 / 20.0));

    SetFFTFilterBand(filter.get(), 1033, 1033, 10); // 11.99 bins, widened by 1 Hz to 12.005
    EXPECT_FLOAT_EQ(filter->Gains[10], flat);
    EXPECT_FLOAT_EQ(filter->Gains[11], gain10);
    EXPECT_FLOAT_EQ(filter->Gains[12], gain10);
    EXPECT_FLOAT_EQ(filter->Gains[13], flat);

    SetFFTFilterBand(filter.get(), 40000, 30000, 10); // beyond Nyquist: 22049 ... 22050 Hz
    EXPECT_FLOAT_EQ(filter->Gains[255], gain10);
    EXPECT_FLOAT_EQ(filter->Gains[256], gain10);
    EXPECT_FLOAT_EQ(filter->Gains[254], flat);
    EXPECT_EQ(static_cast<int>(22049 / binWidth), 255);

    SetFFTFilterBand(filter.get(), -500, 100, -6); // a negative edge means the lowest bin
    const float gainMinus6 = 1.0f;
    EXPECT_FLOAT_EQ(filter->Gains[0], gainMinus6);
    EXPECT_FLOAT_EQ(filter->Gains[1], gainMinus6);
    EXPECT_FLOAT_EQ(filter->Gains[2], flat);

    // At an odd rate the top edge is rate div 2, so the Nyquist bin is never covered.
    const FFTFilterPtr odd = makeFilter(1, 11025, 512);
    EXPECT_FLOAT_EQ(odd->Gains[255], flat);
    EXPECT_EQ(odd->Gains[256], 0.0f);
}

TEST(FFTFilterStreaming, WholeBlockCallsOfAnyLengthGiveTheSameOutput) {
    const int n = 256;
    const Samples input = noise(2 * 24 * n, 20000, 11);
    const FFTFilterPtr reference = makeFilter(2, 44100, n);
    SetFFTFilterBand(reference.get(), 500, 3000, 9);
    const Samples expected = runInCalls(reference.get(), input, {24 * n});
    for (const std::vector<int>& calls :
         {std::vector<int>{n}, std::vector<int>{2 * n, n, 3 * n}, std::vector<int>{5 * n}}) {
        const FFTFilterPtr filter = makeFilter(2, 44100, n);
        SetFFTFilterBand(filter.get(), 500, 3000, 9);
        EXPECT_EQ(runInCalls(filter.get(), input, calls), expected) << calls.front();
    }
}

// Calls that are not whole blocks put the stream one block (N - 1 frames) behind, with silence
// only at its start: any such split gives the whole-block output, delayed by N - 1 frames.
TEST(FFTFilterStreaming, PartialCallsGiveLeadingSilenceThenTheSameStream) {
    const int n = 256;
    const std::size_t frames = 24 * n;
    const Samples input = noise(2 * frames, 20000, 12);
    const FFTFilterPtr reference = makeFilter(2, 44100, n);
    SetFFTFilterBand(reference.get(), 500, 3000, 9);
    const Samples wholeBlocks = runInCalls(reference.get(), input, {n});
    Samples expected(2 * (n - 1), 0);
    expected.insert(expected.end(), wholeBlocks.begin(), wholeBlocks.end() - 2 * (n - 1));

    for (const std::vector<int>& calls : {std::vector<int>{100}, std::vector<int>{1, 777, 300, 5},
                                          std::vector<int>{n + 1}, std::vector<int>{n, 3, 2 * n}}) {
        const FFTFilterPtr filter = makeFilter(2, 44100, n);
        SetFFTFilterBand(filter.get(), 500, 3000, 9);
        const Samples output = runInCalls(filter.get(), input, calls);
        if (calls.front() == n) {
            // The first whole block came out at once; the stream then falls one block behind.
            const std::size_t gapStart = 2 * n;
            EXPECT_TRUE(std::equal(output.begin(), output.begin() + gapStart, wholeBlocks.begin()));
            EXPECT_TRUE(std::equal(output.begin() + gapStart + 2 * (n - 1), output.end(),
                                   wholeBlocks.begin() + gapStart));
        } else {
            EXPECT_EQ(output, expected) << "calls starting with " << calls.front();
        }
    }
}

TEST(FFTFilterStreaming, CallsLongerThanAnnouncedAreTakenInPieces) {
    const int n = 256;
    const Samples input = noise(2 * 16 * n, 20000, 13);
    const FFTFilterPtr small = makeFilter(2, 44100, n, 4 * n); // n frames of stereo per call
    const FFTFilterPtr large = makeFilter(2, 44100, n);
    EXPECT_EQ(runInCalls(small.get(), input, {16 * n}), runInCalls(large.get(), input, {n}));
}

TEST(FFTFilterStreaming, ResetStartsANewStream) {
    const int n = 128;
    const Samples input = noise(4 * n, 20000, 14);
    const FFTFilterPtr filter = makeFilter(1, 44100, n);
    const Samples first = runInCalls(filter.get(), input, {100});
    ResetFFTFilter(filter.get());
    EXPECT_EQ(runInCalls(filter.get(), input, {100}), first);
}

TEST(FFTFilterChannels, SingleChannelModesLeaveTheOtherChannelAlone) {
    const int n = 256;
    const std::size_t frames = 8 * n;
    const Samples input = noise(2 * frames, 20000, 15);
    const FFTFilterPtr both = makeFilter(2, 44100, n);
    const Samples filtered = runInCalls(both.get(), input, {100});

    for (const TMMChannel channel : {chLeft, chRight}) {
        const FFTFilterPtr filter = makeFilter(2, 44100, n);
        const Samples output = runInCalls(filter.get(), input, {100}, channel);
        const std::size_t kept = channel == chLeft ? 1 : 0;
        for (std::size_t i = 0; i < frames; ++i) {
            ASSERT_EQ(output[2 * i + kept], input[2 * i + kept]) << "frame " << i;
            ASSERT_EQ(output[2 * i + 1 - kept], filtered[2 * i + 1 - kept]) << "frame " << i;
        }
    }

    // In mono, chRight means the only channel there is.
    const Samples mono = noise(4 * n, 20000, 16);
    const FFTFilterPtr monoBoth = makeFilter(1, 44100, n);
    const FFTFilterPtr monoRight = makeFilter(1, 44100, n);
    EXPECT_EQ(runInCalls(monoRight.get(), mono, {n}, chRight),
              runInCalls(monoBoth.get(), mono, {n}));
}

// Band changes from another thread while blocks are filtered: with flat responses every output
// sample comes from one input sample through one whole response, 0 dB or +6 dB, never a mix.
TEST(FFTFilterThreads, ResponseChangesNeverTearABlock) {
    const int n = 512;
    const FFTFilterPtr filter = makeFilter(2, 48000, n);
    std::atomic<bool> done{false};
    std::thread mover([&] {
        for (int i = 0; i < 40; ++i) {
            SetFFTFilterBand(filter.get(), 0, 24000, i % 2 == 0 ? 6.0f : 0.0f);
            std::this_thread::yield();
        }
        done = true;
    });
    bool first = true;
    while (!done) {
        Samples block(2 * n, 10000);
        ProcessFFTFilter(filter.get(), chBoth, block.data(), 4 * n);
        for (std::size_t i = first ? 2 * (n / 4) : 0; i < block.size(); ++i)
            ASSERT_TRUE(block[i] == 9976 || block[i] == 19905) << block[i] << " at " << i;
        first = false;
    }
    mover.join();
}

// At +6 dB everywhere the kernel is one tap of 10^(12/20)/2 = 1.990536: 16461 gives 32766.3,
// 16462 gives 32768.3 (clipped), -16462 gives -32768.3 (truncated to -32768, in range) and
// -16463 gives -32770.3 (clipped). Each call carries one block with one such impulse.
TEST(FFTFilterClipping, ReportedExactlyForCallsWithSaturatedOutput) {
    const int n = 256;
    const FFTFilterPtr filter = makeFilter(1, 44100, n);
    SetFFTFilterBand(filter.get(), 0, 22050, 6);
    const std::int16_t impulses[] = {16461, 16462, -16462, -16463, 1000};
    const bool saturates[] = {false, true, false, true, false};
    const std::int16_t expectedPeaks[] = {32766, 32767, -32768, -32768, 1990};
    Samples input(6 * n, 0);
    for (int i = 0; i < 5; ++i)
        input[static_cast<std::size_t>(i * n + 10)] = impulses[i];
    std::vector<bool> reports;
    const Samples output = runInCalls(filter.get(), input, {n}, chBoth, &reports);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(output[static_cast<std::size_t>(i * n + 10 + n / 4)], expectedPeaks[i]) << i;
        EXPECT_EQ(reports[static_cast<std::size_t>(i)], saturates[i]) << "call " << i;
    }
    EXPECT_FALSE(reports[5]);
}

} // namespace
} // namespace vantrel
