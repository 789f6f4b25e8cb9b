// The stream components of the live chain on its buffers: the equalizer with the main window's
// 31 bands, the output peak detector, and the connector's staging. "realtime_x" is seconds of
// audio handled per second of CPU.
#include "MMConect.h"
#include "MMEQ.h"
#include "MMPeak.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstring>
#include <random>

namespace vantrel {
namespace {

constexpr std::uint32_t Rate = 44100;

TWaveFormatEx stereo16() {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, Rate);
    return format;
}

// A buffer of `bytes` bytes of stereo noise, freed on scope exit.
struct NoiseBuffer {
    explicit NoiseBuffer(std::uint32_t bytes) : header(allocateBuffer(bytes)) {
        std::mt19937 generator(7);
        std::uniform_int_distribution<int> uniform(-8000, 8000);
        auto* samples = reinterpret_cast<std::int16_t*>(header->wh.lpData);
        for (std::uint32_t i = 0; i < bytes / 2; ++i)
            samples[i] = static_cast<std::int16_t>(uniform(generator));
        header->wh.dwBytesRecorded = bytes;
    }
    ~NoiseBuffer() { freeBuffer(header); }
    NoiseBuffer(const NoiseBuffer&) = delete;
    NoiseBuffer& operator=(const NoiseBuffer&) = delete;
    PWaveHdr header;
};

void countAudio(benchmark::State& state, std::uint32_t bytesPerIteration) {
    const double seconds = static_cast<double>(bytesPerIteration) / (Rate * 4);
    state.counters["realtime_x"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The main window's equalizer: 512 points, Hanning, 31 bands from 20 Hz to 20 kHz.
void openMainWindowEqualizer(TMMEqualizer& eq) {
    eq.SetFFTLength(512);
    eq.SetWindow(fwHanning);
    const TWaveFormatEx format = stereo16();
    eq.SetWaveFormat(&format);
    eq.SetBufferSize(8192);
    eq.NotifyOpened();
    double centre = 20;
    for (int band = 0; band < 31; ++band, centre *= std::pow(10.0, 0.1))
        eq.Filters().Add(new TMMEQFilter(static_cast<float>(centre / 1.057),
                                         static_cast<float>(centre * 1.057),
                                         static_cast<float>((band * 7) % 25 - 12)));
    eq.NotifyStarted();
}

void equalizerBuffer(benchmark::State& state) {
    TMMEqualizer eq;
    openMainWindowEqualizer(eq);
    NoiseBuffer buffer(8192);
    for (auto _ : state) {
        eq.BufferReady(buffer.header);
        benchmark::ClobberMemory();
    }
    countAudio(state, 8192);
}
BENCHMARK(equalizerBuffer);

// What a preset or the start of the stream costs: a flat reset and 31 band rebuilds.
void equalizerApplyFilters(benchmark::State& state) {
    TMMEqualizer eq;
    openMainWindowEqualizer(eq);
    for (auto _ : state)
        eq.ApplyFilters();
}
BENCHMARK(equalizerApplyFilters);

// The output detector: 8192 points, rectangular, on the output device's 32768-byte buffers.
void peakDetectBuffer(benchmark::State& state) {
    TMMPeakDetect detector;
    detector.SetFFTLength(8192);
    detector.SetWindow(fwRectangular);
    const TWaveFormatEx format = stereo16();
    detector.SetWaveFormat(&format);
    detector.NotifyOpened();
    detector.NotifyStarted();
    NoiseBuffer buffer(32768);
    for (auto _ : state) {
        detector.BufferReady(buffer.header);
        benchmark::DoNotOptimize(detector.PeakValue(100));
    }
    countAudio(state, 32768);
}
BENCHMARK(peakDetectBuffer);

// Staging on the audio thread, with two levels linked and fed on the same thread.
void connectorStageAndFeed(benchmark::State& state) {
    TMMConnector connector;
    connector.SetRealTime(false);
    connector.SetSynchronize(false);
    TMMLevel left, right;
    left.SetChannel(chLeft);
    right.SetChannel(chRight);
    connector.SetLevel1(&left);
    connector.SetLevel2(&right);
    const TWaveFormatEx format = stereo16();
    connector.SetWaveFormat(&format);
    connector.SetBufferSize(8192);
    connector.NotifyOpened();
    connector.NotifyStarted();
    NoiseBuffer buffer(8192);
    for (auto _ : state) {
        connector.BufferReady(buffer.header);
        benchmark::DoNotOptimize(left.BlockPos());
    }
    connector.NotifyStopped();
    countAudio(state, 8192);
}
BENCHMARK(connectorStageAndFeed);

} // namespace
} // namespace vantrel

BENCHMARK_MAIN();
