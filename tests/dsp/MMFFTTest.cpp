#include "MMFFT.h"

#include "FFTKernels.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using Spectrum = std::vector<std::complex<double>>;

constexpr double Pi = 3.14159265358979323846;
constexpr double SingleEpsilon = 1.0 / (1 << 24); // half an ulp of 1.0f

// X[k] = sum x[n] e^(sign 2 pi i kn/N), in double precision, straight from the definition.
Spectrum directDFT(const std::vector<float>& interleaved, int sign) {
    const std::size_t n = interleaved.size() / 2;
    std::vector<std::complex<double>> roots(n);
    for (std::size_t k = 0; k < n; ++k)
        roots[k] =
            std::polar(1.0, sign * 2.0 * Pi * static_cast<double>(k) / static_cast<double>(n));
    Spectrum out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0;
        for (std::size_t j = 0; j < n; ++j)
            sum +=
                std::complex<double>(interleaved[2 * j], interleaved[2 * j + 1]) * roots[k * j % n];
        out[k] = sum;
    }
    return out;
}

std::vector<float> randomSignal(std::size_t singles, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> signal(singles);
    for (float& value : signal)
        value = uniform(generator);
    return signal;
}

double rms(const Spectrum& values) {
    double sum = 0;
    for (const auto& v : values)
        sum += std::norm(v);
    return std::sqrt(sum / static_cast<double>(values.size()));
}

// Largest deviation of `actual` (interleaved, `points` points) from `expected`, relative to the
// RMS of `expected`.
double relativeMaxError(const float* actual, const Spectrum& expected, std::size_t points) {
    double worst = 0;
    for (std::size_t k = 0; k < points; ++k)
        worst = std::max(
            worst, std::abs(std::complex<double>(actual[2 * k], actual[2 * k + 1]) - expected[k]));
    return worst / rms(expected);
}

// The error bound of a single-precision FFT: each of the log2 N passes adds about one rounding
// of a value as large as the RMS of the result, so the largest error of any point stays below
// 2 log2(N) half-ulps of that RMS. Measured errors reach about 0.6 log2(N) of them.
double singlePrecisionBound(int bits) {
    return 2.0 * SingleEpsilon * std::max(bits, 1);
}

struct KernelSet {
    std::string name;
    FFTKernels kernels;
};

// Every kernel set this processor can run, so that the SSE2 path is checked on AVX2 machines.
std::vector<KernelSet> runnableKernelSets() {
    std::vector<KernelSet> sets{{"sse2", sse2FFTKernels()}};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        sets.push_back({"avx2", avx2FFTKernels()});
    return sets;
}

TEST(ComplexFFT, EveryKernelSetMatchesDirectDFTBothWays) {
    for (const KernelSet& set : runnableKernelSets()) {
        for (int bits = 4; bits <= 11; ++bits) {
            SCOPED_TRACE(set.name + ", bits " + std::to_string(bits));
            const ComplexFFTPlanPtr plan(CreateComplexFFT(bits));
            ASSERT_NE(plan, nullptr);
            const std::size_t n = std::size_t{1} << bits;
            const std::vector<float> input = randomSignal(2 * n, static_cast<unsigned>(bits));
            for (const bool inverse : {false, true}) {
                std::vector<float> data = input;
                set.kernels.complexTransform(plan->tables, data.data(), inverse);
                const Spectrum expected = directDFT(input, inverse ? +1 : -1);
                EXPECT_LT(relativeMaxError(data.data(), expected, n), singlePrecisionBound(bits))
                    << (inverse ? "inverse kernel" : "forward kernel");
            }
        }
    }
}

TEST(ComplexFFT, DirectionSelectsKernelAndScaling) {
    for (int bits = 1; bits <= 11; ++bits) {
        SCOPED_TRACE("bits " + std::to_string(bits));
        const ComplexFFTPlanPtr plan(CreateComplexFFT(bits));
        ASSERT_NE(plan, nullptr);
        const std::size_t n = std::size_t{1} << bits;
        EXPECT_EQ(plan->N, static_cast<std::int32_t>(n));
        EXPECT_FLOAT_EQ(plan->InvN, 1.0f / static_cast<float>(n));
        const std::vector<float> input = randomSignal(2 * n, 100u + static_cast<unsigned>(bits));
        const Spectrum forward = directDFT(input, -1);

        std::vector<float> data = input;
        DoComplexFFT(plan.get(), data.data(), 1);
        EXPECT_LT(relativeMaxError(data.data(), forward, n), singlePrecisionBound(bits));

        DoComplexFFT(plan.get(), data.data(), -1); // back to the input, divided by N
        Spectrum original(n);
        for (std::size_t k = 0; k < n; ++k)
            original[k] = {input[2 * k], input[2 * k + 1]};
        EXPECT_LT(relativeMaxError(data.data(), original, n), 2 * singlePrecisionBound(bits));

        data = input;
        DoComplexFFT(plan.get(), data.data(), -2); // forward, divided by N
        Spectrum scaled = forward;
        for (auto& value : scaled)
            value /= static_cast<double>(n);
        EXPECT_LT(relativeMaxError(data.data(), scaled, n), singlePrecisionBound(bits));
    }
}

TEST(ComplexFFT, ImpulseAndRotatingPhasorFixConventions) {
    const int bits = 9;
    const std::size_t n = 512;
    const ComplexFFTPlanPtr plan(CreateComplexFFT(bits));

    std::vector<float> impulse(2 * n, 0.0f);
    impulse[0] = 1.0f;
    std::vector<float> data = impulse;
    DoComplexFFT(plan.get(), data.data(), 1);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_FLOAT_EQ(data[2 * k], 1.0f);
        EXPECT_FLOAT_EQ(data[2 * k + 1], 0.0f);
    }
    data = impulse;
    DoComplexFFT(plan.get(), data.data(), -2);
    for (std::size_t k = 0; k < n; ++k)
        EXPECT_FLOAT_EQ(data[2 * k], 1.0f / n);

    // e^(+2 pi i n/N) lands in point 1 with magnitude N.
    for (std::size_t j = 0; j < n; ++j) {
        data[2 * j] = static_cast<float>(std::cos(2 * Pi * j / n));
        data[2 * j + 1] = static_cast<float>(std::sin(2 * Pi * j / n));
    }
    DoComplexFFT(plan.get(), data.data(), 1);
    EXPECT_NEAR(data[2], static_cast<float>(n), 1e-3);
    for (std::size_t k = 0; k < n; ++k) {
        if (k != 1) {
            EXPECT_NEAR(data[2 * k], 0.0f, 1e-3) << k;
            EXPECT_NEAR(data[2 * k + 1], 0.0f, 1e-3) << k;
        }
    }
}

TEST(FFTPlans, RefuseBitsOutsideRangeAndMissingArgumentsAreIgnored) {
    for (const std::int32_t bits : {-1, 0, 31, 32}) {
        EXPECT_EQ(CreateComplexFFT(bits), nullptr) << bits;
        EXPECT_EQ(CreateRealFFT(bits), nullptr) << bits;
    }
    TComplexFFTPlan* complexPlan = CreateComplexFFT(3);
    ASSERT_NE(complexPlan, nullptr);
    std::vector<float> data(16, 7.0f);
    DoComplexFFT(nullptr, data.data(), 1);
    DoComplexFFT(complexPlan, nullptr, 1);
    EXPECT_EQ(data, std::vector<float>(16, 7.0f));
    FreeComplexFFT(complexPlan);
    EXPECT_EQ(complexPlan, nullptr);
    FreeComplexFFT(complexPlan); // an empty reference is ignored

    TRealFFTPlan* realPlan = CreateRealFFT(4);
    ASSERT_NE(realPlan, nullptr);
    DoRealFFT(nullptr, data.data(), 1);
    DoRealFFT(realPlan, nullptr, 1);
    DoRealFFT(realPlan, data.data(), -1); // only the forward transform exists
    EXPECT_EQ(data, std::vector<float>(16, 7.0f));
    FreeRealFFT(realPlan);
    EXPECT_EQ(realPlan, nullptr);
}

// The real transform's output against the direct DFT of the samples, in its packed layout.
void expectRealLayout(const std::vector<float>& samples, const std::vector<float>& packed, int bits,
                      const std::string& label) {
    std::vector<float> asComplex(2 * samples.size(), 0.0f);
    for (std::size_t i = 0; i < samples.size(); ++i)
        asComplex[2 * i] = samples[i];
    Spectrum expected = directDFT(asComplex, -1);
    expected.resize(samples.size() / 2); // the Nyquist bin is not returned
    expected[0] = expected[0].real();
    EXPECT_EQ(packed[1], 0.0f) << label;
    EXPECT_LT(relativeMaxError(packed.data(), expected, expected.size()),
              2 * singlePrecisionBound(bits))
        << label;
}

TEST(RealFFT, EveryKernelSetMatchesDirectDFTInPackedLayout) {
    for (const KernelSet& set : runnableKernelSets()) {
        for (int bits = 1; bits <= 11; ++bits) {
            const RealFFTPlanPtr plan(CreateRealFFT(bits));
            ASSERT_NE(plan, nullptr);
            const std::size_t n = std::size_t{1} << bits;
            const std::vector<float> samples = randomSignal(n, 200u + static_cast<unsigned>(bits));
            std::vector<float> data = samples;
            if (plan->half.N >= static_cast<std::int32_t>(MinVectorFFTPoints)) {
                set.kernels.complexTransform(plan->half.tables, data.data(), false);
                set.kernels.realPostProcess(data.data(), n, plan->postTable.data());
            } else { // the half transform is short enough for the scalar path
                DoRealFFT(plan.get(), data.data(), 1);
            }
            expectRealLayout(samples, data, bits, set.name + ", bits " + std::to_string(bits));
        }
    }
}

TEST(RealFFT, ConstantCosineAndNyquistLandInTheirBins) {
    const int bits = 10;
    const std::size_t n = 1024;
    const RealFFTPlanPtr plan(CreateRealFFT(bits));
    const float tolerance = 2e-3f;

    std::vector<float> data(n, 0.25f);
    DoRealFFT(plan.get(), data.data(), 1);
    EXPECT_NEAR(data[0], 0.25f * n, tolerance);
    for (std::size_t i = 1; i < n; ++i)
        EXPECT_NEAR(data[i], 0.0f, tolerance) << i;

    const std::size_t bin = 37;
    const float amplitude = 0.8f;
    for (std::size_t i = 0; i < n; ++i)
        data[i] = amplitude * static_cast<float>(std::cos(2 * Pi * bin * i / n));
    DoRealFFT(plan.get(), data.data(), 1);
    for (std::size_t i = 0; i < n; ++i) {
        const float expected = i == 2 * bin ? amplitude * n / 2 : 0.0f;
        EXPECT_NEAR(data[i], expected, tolerance) << i;
    }

    for (std::size_t i = 0; i < n; ++i)
        data[i] = i % 2 == 0 ? 1.0f : -1.0f;
    DoRealFFT(plan.get(), data.data(), 1);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_NEAR(data[i], 0.0f, tolerance) << i;
}

TEST(ComplexMultiply, EveryKernelSetMultipliesAndScalesIncludingTheOddRest) {
    const std::size_t points = 13;
    const std::vector<float> original = randomSignal(2 * points, 1);
    const std::vector<float> b = randomSignal(2 * points, 2);
    for (const KernelSet& set : runnableKernelSets()) {
        std::vector<float> a = original;
        set.kernels.complexMultiply(a.data(), b.data(), points);
        for (std::size_t k = 0; k < points; ++k) {
            const std::complex<float> expected =
                std::complex<float>(original[2 * k], original[2 * k + 1]) *
                std::complex<float>(b[2 * k], b[2 * k + 1]);
            EXPECT_NEAR(a[2 * k], expected.real(), 1e-6) << set.name << " point " << k;
            EXPECT_NEAR(a[2 * k + 1], expected.imag(), 1e-6) << set.name << " point " << k;
        }
        a = original;
        set.kernels.scale(a.data(), a.size(), 0.25f);
        for (std::size_t i = 0; i < a.size(); ++i)
            EXPECT_EQ(a[i], original[i] * 0.25f) << set.name << " single " << i;
    }
    std::vector<float> a = original; // the public entry takes the same path
    ComplexMultiply(a.data(), b.data(), static_cast<std::int32_t>(points));
    EXPECT_NEAR(a[2], original[2] * b[2] - original[3] * b[3], 1e-6);
}

TEST(FFTWindows, ValuesAtChosenPoints) {
    struct Case {
        TMMFFTWindow kind;
        std::int32_t index, length;
        double expected;
    };
    const Case cases[] = {
        {fwRectangular, 3, 8, 1.0},
        {fwHamming, 0, 8, 0.08},
        {fwHamming, 4, 8, 1.0},
        {fwHamming, 2, 8, 0.54},
        {fwHanning, 0, 8, 0.0},
        {fwHanning, 2, 8, 0.5},
        {fwHanning, 4, 8, 1.0},
        {fwBlackman, 0, 8, 0.0},
        {fwBlackman, 4, 8, 1.0},
        {fwBlackman, 2, 8, 0.34},
        {fwGaussian, 4, 8, 1.0},
        {fwGaussian, 0, 8, std::exp(-5.0)},
        {fwGaussian, 2, 8, std::exp(-1.25)},
        {fwWelch, 4, 8, 1.0},
        {fwWelch, 0, 8, 1.0 - (8.0 / 9.0) * (8.0 / 9.0)},
        {fwParzen, 0, 8, 1.0 - 8.0 / 9.0},
        {fwParzen, 6, 8, 1.0 - 4.0 / 9.0},
        {static_cast<TMMFFTWindow>(7), 0, 8, 1.0},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(FFTWindowValue(c.kind, c.index, c.length), c.expected, 1e-6)
            << "kind " << c.kind << " at " << c.index << " of " << c.length;
}

TEST(FFTWindows, TablesInQ15) {
    const int bits = 6;
    std::vector<std::int32_t> table(64);
    MakeWindowTable(table.data(), fwHanning, bits);
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[32], 32767);
    EXPECT_EQ(table[16], 16384); // 0.5 * 32767 + 0.5 rounds down to 16384
    MakeWindowTable(table.data(), fwHamming, bits);
    EXPECT_EQ(table[0], 2621);
    MakeWindowTable(table.data(), fwWelch, bits);
    EXPECT_GT(table[0], 0);
    MakeWindowTable(table.data(), fwRectangular, bits);
    EXPECT_EQ(table, std::vector<std::int32_t>(64, 32767));

    std::vector<std::int32_t> reversed(8);
    MakeBitReverseTable(reversed.data(), 3);
    EXPECT_EQ(reversed, (std::vector<std::int32_t>{0, 4, 2, 6, 1, 5, 3, 7}));
}

} // namespace
} // namespace vantrel
