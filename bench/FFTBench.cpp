// Our transforms against FFTW's single-precision transforms (FFTW_MEASURE plans), and the FFT
// filter on 48 kHz stereo 16-bit audio. After the runs one summary line per size.
#include "MMFFT.h"
#include "MMFFTFilter.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <fftw3.h>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

// Transforms grow their data by about sqrt(N) each time; every this many runs both contenders
// start again from the same input, at the same small cost.
constexpr int RefillPeriod = 8;

std::vector<float> randomSingles(std::size_t count) {
    std::mt19937 generator(1234);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> values(count);
    for (float& value : values)
        value = uniform(generator);
    return values;
}

int bitsOfSize(std::int64_t n) {
    int bits = 0;
    while ((std::int64_t{1} << bits) < n)
        ++bits;
    return bits;
}

// A buffer from FFTW's allocator (aligned as its codelets like it), freed on scope exit.
struct FFTWBuffer {
    explicit FFTWBuffer(std::size_t singles)
        : data(static_cast<float*>(fftwf_malloc(singles * sizeof(float)))) {}
    ~FFTWBuffer() { fftwf_free(data); }
    FFTWBuffer(const FFTWBuffer&) = delete;
    FFTWBuffer& operator=(const FFTWBuffer&) = delete;
    float* data;
};

template <typename Transform>
void runTransform(benchmark::State& state, float* data, const std::vector<float>& input,
                  Transform transform) {
    int run = 0;
    for (auto _ : state) {
        if (run++ % RefillPeriod == 0)
            std::memcpy(data, input.data(), input.size() * sizeof(float));
        transform();
        benchmark::ClobberMemory();
    }
}

void oursComplex(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const ComplexFFTPlanPtr plan(CreateComplexFFT(bitsOfSize(state.range(0))));
    const std::vector<float> input = randomSingles(2 * n);
    FFTWBuffer data(2 * n);
    runTransform(state, data.data, input, [&] { DoComplexFFT(plan.get(), data.data, 1); });
}

void fftwComplex(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<float> input = randomSingles(2 * n);
    FFTWBuffer data(2 * n);
    auto* points = reinterpret_cast<fftwf_complex*>(data.data);
    fftwf_plan plan =
        fftwf_plan_dft_1d(static_cast<int>(n), points, points, FFTW_FORWARD, FFTW_MEASURE);
    runTransform(state, data.data, input, [&] { fftwf_execute(plan); });
    fftwf_destroy_plan(plan);
}

void oursReal(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const RealFFTPlanPtr plan(CreateRealFFT(bitsOfSize(state.range(0))));
    const std::vector<float> input = randomSingles(n);
    FFTWBuffer data(n);
    runTransform(state, data.data, input, [&] { DoRealFFT(plan.get(), data.data, 1); });
}

// FFTW's real transform at its best: out of place, N/2 + 1 bins.
void fftwReal(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<float> input = randomSingles(n);
    FFTWBuffer data(n);
    FFTWBuffer bins(n + 2);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(
        static_cast<int>(n), data.data, reinterpret_cast<fftwf_complex*>(bins.data), FFTW_MEASURE);
    runTransform(state, data.data, input, [&] { fftwf_execute(plan); });
    fftwf_destroy_plan(plan);
}

// The machine is shared: the figures are CPU time per run (time spent waiting for a processor
// does not count), the best of several repetitions, which is the one least disturbed by other
// work.
constexpr int Repetitions = 5;

BENCHMARK(oursComplex)->Arg(512)->Arg(2048)->Arg(8192)->Repetitions(Repetitions);
BENCHMARK(fftwComplex)->Arg(512)->Arg(2048)->Arg(8192)->Repetitions(Repetitions);
BENCHMARK(oursReal)->Arg(8192)->Repetitions(Repetitions);
BENCHMARK(fftwReal)->Arg(8192)->Repetitions(Repetitions);

constexpr std::uint32_t FilterRate = 48000;
constexpr std::int32_t FilterLength = 512;
constexpr std::int32_t FilterCallFrames = 2048; // about 43 ms per buffer

// The equalizer's use: 31 third-octave bands from 20 Hz up, at gains between -12 and +12 dB.
void setEqualizerCurve(TFFTFilter* filter) {
    double centre = 20.0;
    for (int band = 0; band < 31; ++band, centre *= 1.2599) {
        const float gain = static_cast<float>((band * 7) % 25 - 12);
        SetFFTFilterBand(filter, static_cast<float>(centre / 1.1225),
                         static_cast<float>(centre * 1.1225), gain);
    }
}

// Stereo 16-bit audio at 48 kHz, one buffer per call, both channels filtered.
void fftFilter(benchmark::State& state) {
    TWaveFormatEx format{};
    BuildPCMFormat(format, 16, 2, FilterRate);
    const FFTFilterPtr filter(CreateFFTFilter(&format, FilterLength, FilterCallFrames * 4));
    setEqualizerCurve(filter.get());
    std::vector<std::int16_t> input(2 * FilterCallFrames);
    std::mt19937 generator(99);
    std::uniform_int_distribution<int> uniform(-8000, 8000);
    for (auto& sample : input)
        sample = static_cast<std::int16_t>(uniform(generator));
    std::vector<std::int16_t> buffer(input.size());
    for (auto _ : state) {
        std::memcpy(buffer.data(), input.data(), input.size() * sizeof(std::int16_t));
        benchmark::DoNotOptimize(
            ProcessFFTFilter(filter.get(), chBoth, buffer.data(), FilterCallFrames * 4));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(fftFilter)->Repetitions(Repetitions);

// Shows the usual table and keeps, by run name ("function/argument"), the best CPU time per
// iteration (ns) over the repetitions.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            std::string name = run.run_name.function_name;
            name += '/';
            name += run.run_name.args;
            const double iterations = static_cast<double>(run.iterations);
            keepBest(cpuNs, name, run.cpu_accumulated_time * 1e9 / iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> cpuNs;

private:
    static void keepBest(std::map<std::string, double>& best, const std::string& name, double ns) {
        const auto [it, inserted] = best.try_emplace(name, ns);
        if (!inserted && ns < it->second)
            it->second = ns;
    }
};

// "function/argument", the name Google Benchmark gives a run.
std::string runName(const char* function, int argument) {
    char name[64];
    std::snprintf(name, sizeof name, "%s/%d", function, argument);
    return name;
}

void printComparison(const RecordingReporter& reporter, const char* kind, const char* ours,
                     const char* fftw, int n) {
    const auto oursIt = reporter.cpuNs.find(runName(ours, n));
    const auto fftwIt = reporter.cpuNs.find(runName(fftw, n));
    if (oursIt == reporter.cpuNs.end() || fftwIt == reporter.cpuNs.end())
        return;
    std::printf("fft %s N=%d ours_ns=%.1f fftw_ns=%.1f ratio=%.3f\n", kind, n, oursIt->second,
                fftwIt->second, oursIt->second / fftwIt->second);
}

} // namespace
} // namespace vantrel

int main(int argc, char** argv) {
    using namespace vantrel;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const int n : {512, 2048, 8192})
        printComparison(reporter, "complex", "oursComplex", "fftwComplex", n);
    printComparison(reporter, "real", "oursReal", "fftwReal", 8192);
    const auto filterIt = reporter.cpuNs.find("fftFilter/");
    if (filterIt != reporter.cpuNs.end()) {
        const double audioSeconds = static_cast<double>(FilterCallFrames) / FilterRate;
        std::printf("fftfilter N=%d stereo48k realtime_x=%.0f\n", FilterLength,
                    audioSeconds / (filterIt->second * 1e-9));
    }
    return 0;
}
