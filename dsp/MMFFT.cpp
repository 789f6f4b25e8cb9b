#include "MMFFT.h"

#include <cmath>
#include <complex>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace vantrel {

namespace {

using ExtendedComplex = std::complex<long double>;

constexpr long double Pi = 3.141592653589793238462643383279502884L;
constexpr std::int32_t MaxBits = 30; // 2^31 points would not fit the int32 point count

// e^(-2 pi i * steps / period), from the library functions in extended precision.
ExtendedComplex rootOfUnity(long double steps, long double period) {
    const long double angle = 2.0L * Pi * steps / period;
    return {std::cos(angle), -std::sin(angle)};
}

// Appends factors for a run of four indices j as the kernels load them: the real parts, each
// twice (8 singles), then the imaginary parts, each twice (8 singles).
void appendGroup(std::vector<float>& table, const ExtendedComplex (&factors)[4]) {
    for (const ExtendedComplex& w : factors)
        table.insert(table.end(), 2, static_cast<float>(w.real()));
    for (const ExtendedComplex& w : factors)
        table.insert(table.end(), 2, static_cast<float>(w.imag()));
}

// Groups of four j of W_m^(power j) for j = 0 ... m/4 - 1 and each power in `powers`, the
// powers of one group side by side. Every power runs its own rotation recurrence in extended
// precision.
template <std::size_t Powers>
void appendFactorGroups(std::vector<float>& table, std::size_t m, const int (&powers)[Powers]) {
    const auto period = static_cast<long double>(m);
    ExtendedComplex steps[Powers], w[Powers], group[Powers][4];
    for (std::size_t p = 0; p < Powers; ++p) {
        steps[p] = rootOfUnity(powers[p], period);
        w[p] = 1;
    }
    for (std::size_t j = 0; j < m / 4; ++j) {
        for (std::size_t p = 0; p < Powers; ++p) {
            group[p][j % 4] = w[p];
            w[p] *= steps[p];
        }
        if (j % 4 == 3)
            for (const auto& factors : group)
                appendGroup(table, factors);
    }
}

// The radix-4 factors W_m^j, W_m^2j, W_m^3j of sub-transforms of length m from `top` down to
// `last`.
std::vector<float> makeRadix4Twiddles(std::size_t top, std::size_t last) {
    std::vector<float> table;
    for (std::size_t m = top; m >= last; m /= 4)
        appendFactorGroups(table, m, {1, 2, 3});
    return table;
}

// The 16-point leaf's radix-4 factors, then the factors W_32^j = W_64^2j, j = 0 ... 15, of the
// 32-point leaf's radix-2 pass.
std::vector<float> makeLeafTwiddles() {
    std::vector<float> table = makeRadix4Twiddles(16, 16);
    appendFactorGroups(table, 64, {2});
    return table;
}

// Pairs (i, rev(i)) with i < rev(i) over 2^bits points, or, from TiledPermutationBits on,
// pairs (m, rev(m)) with m <= rev(m) over the bits - 6 middle bits that number the tiles.
std::vector<std::uint32_t> makePermutationPairs(std::int32_t bits) {
    const bool tiled = bits >= TiledPermutationBits;
    const std::int32_t pairBits = tiled ? bits - TiledPermutationBits : bits;
    std::vector<std::int32_t> reversed(std::size_t{1} << pairBits);
    MakeBitReverseTable(reversed.data(), pairBits);
    std::vector<std::uint32_t> pairs;
    for (std::size_t i = 0; i < reversed.size(); ++i) {
        const auto partner = static_cast<std::size_t>(reversed[i]);
        if (i < partner || (tiled && i == partner)) {
            pairs.push_back(static_cast<std::uint32_t>(i));
            pairs.push_back(static_cast<std::uint32_t>(partner));
        }
    }
    return pairs;
}

// Fills every table of `plan` for 2^bits points (bits may be 0 inside a real plan).
void buildComplexPlan(TComplexFFTPlan& plan, std::int32_t bits) {
    const std::size_t n = std::size_t{1} << bits;
    plan.Bits = bits;
    plan.N = static_cast<std::int32_t>(n);
    plan.InvN = 1.0f / static_cast<float>(n);
    plan.permutationPairs = makePermutationPairs(bits);
    if (n >= MinVectorFFTPoints) {
        plan.radix4Twiddles = makeRadix4Twiddles(n, 64);
        plan.leafTwiddles = makeLeafTwiddles();
    }
    plan.tables = ComplexFFTTables{bits,
                                   n,
                                   plan.radix4Twiddles.data(),
                                   plan.leafTwiddles.data(),
                                   plan.permutationPairs.data(),
                                   plan.permutationPairs.size() / 2};
}

// W_8^j = e^(-2 pi i j/8) for j = 0 ... 3: every factor the transforms below 16 points need.
constexpr float SqrtHalf = 0.70710677f;
constexpr float EighthRoots[4][2] = {
    {1, 0}, {SqrtHalf, -SqrtHalf}, {0, -1}, {-SqrtHalf, -SqrtHalf}};

// The transforms of 2, 4 and 8 points, in scalar code: radix-2 passes, then the permutation.
void smallComplexTransform(const ComplexFFTTables& plan, float* d, bool inverse) {
    const std::size_t n = plan.points;
    const float sign = inverse ? -1.0f : 1.0f;
    for (std::size_t m = n; m >= 2; m /= 2) {
        const std::size_t half = m / 2;
        for (std::size_t j = 0; j < half; ++j) {
            const float* root = EighthRoots[j * (8 / m)];
            const float wr = root[0], wi = sign * root[1];
            for (std::size_t base = 0; base < n; base += m) {
                float* a = d + 2 * (base + j);
                float* b = a + 2 * half;
                const float dr = a[0] - b[0], di = a[1] - b[1];
                a[0] += b[0];
                a[1] += b[1];
                b[0] = dr * wr - di * wi;
                b[1] = dr * wi + di * wr;
            }
        }
    }
    for (std::size_t p = 0; p < plan.permutationPairCount; ++p) {
        float* a = d + 2 * std::size_t{plan.permutationPairs[2 * p]};
        float* b = d + 2 * std::size_t{plan.permutationPairs[2 * p + 1]};
        std::swap(a[0], b[0]);
        std::swap(a[1], b[1]);
    }
}

void transformUnscaled(const TComplexFFTPlan& plan, float* data, bool inverse) {
    if (plan.tables.points >= MinVectorFFTPoints)
        fftKernels().complexTransform(plan.tables, data, inverse);
    else
        smallComplexTransform(plan.tables, data, inverse);
}

// (0.5 cos thetaK, 0.5 (1 - sin thetaK)) for thetaK = 2 pi k / N, k = 1 ... N/4.
std::vector<float> makeRealPostTable(std::size_t n) {
    std::vector<float> table;
    table.reserve(n / 2);
    const ExtendedComplex step = std::conj(rootOfUnity(1, static_cast<long double>(n)));
    ExtendedComplex w = step;
    for (std::size_t k = 1; k <= n / 4; ++k, w *= step) {
        table.push_back(static_cast<float>(0.5L * w.real()));
        table.push_back(static_cast<float>(0.5L * (1.0L - w.imag())));
    }
    return table;
}

bool validBits(std::int32_t bits) {
    return bits >= 1 && bits <= MaxBits;
}

// A new plan filled by `build`, or null when the memory for its tables is refused.
template <typename Plan, typename Build> Plan* createPlan(Build build) {
    try {
        auto plan = std::make_unique<Plan>();
        build(*plan);
        return plan.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

} // namespace

const FFTKernels& fftKernels() {
    static const FFTKernels kernels = [] {
        __builtin_cpu_init();
        const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        return wide ? avx2FFTKernels() : sse2FFTKernels();
    }();
    return kernels;
}

TComplexFFTPlan* CreateComplexFFT(std::int32_t Bits) {
    if (!validBits(Bits))
        return nullptr;
    return createPlan<TComplexFFTPlan>(
        [Bits](TComplexFFTPlan& plan) { buildComplexPlan(plan, Bits); });
}

void FreeComplexFFT(TComplexFFTPlan*& plan) noexcept {
    delete plan;
    plan = nullptr;
}

void DoComplexFFT(const TComplexFFTPlan* plan, float* data, std::int32_t Direction) {
    if (plan == nullptr || data == nullptr)
        return;
    transformUnscaled(*plan, data, Direction == -1);
    if (Direction < 0)
        fftKernels().scale(data, 2 * plan->tables.points, plan->InvN);
}

TRealFFTPlan* CreateRealFFT(std::int32_t Bits) {
    if (!validBits(Bits))
        return nullptr;
    return createPlan<TRealFFTPlan>([Bits](TRealFFTPlan& plan) {
        const std::size_t n = std::size_t{1} << Bits;
        plan.Bits = Bits;
        plan.N = static_cast<std::int32_t>(n);
        plan.InvN = 1.0f / static_cast<float>(n);
        buildComplexPlan(plan.half, Bits - 1);
        plan.postTable = makeRealPostTable(n);
    });
}

void FreeRealFFT(TRealFFTPlan*& plan) noexcept {
    delete plan;
    plan = nullptr;
}

void DoRealFFT(const TRealFFTPlan* plan, float* data, std::int32_t Direction) {
    if (plan == nullptr || data == nullptr || Direction < 0)
        return;
    transformUnscaled(plan->half, data, false);
    fftKernels().realPostProcess(data, static_cast<std::size_t>(plan->N), plan->postTable.data());
}

float FFTWindowValue(TMMFFTWindow Kind, std::int32_t Index, std::int32_t Length) {
    if (Length <= 0)
        return 1.0f;
    const long double a = Index;
    const long double b = Length;
    const long double phase = 2.0L * Pi * a / b;
    long double w = 1.0L;
    switch (Kind) {
    case fwRectangular:
        break;
    case fwHamming:
        w = 0.54L - 0.46L * std::cos(phase);
        break;
    case fwHanning:
        w = 0.5L - 0.5L * std::cos(phase);
        break;
    case fwBlackman:
        w = 0.42L - 0.5L * std::cos(phase) + 0.08L * std::cos(2.0L * phase);
        break;
    case fwGaussian:
        w = std::exp(-5.0L * (2.0L * a - b) * (2.0L * a - b) / (b * b));
        break;
    case fwWelch: {
        const long double r = (2.0L * a - b) / (b + 1.0L);
        w = 1.0L - r * r;
        break;
    }
    case fwParzen:
        w = 1.0L - std::fabs((2.0L * a - b) / (b + 1.0L));
        break;
    }
    return static_cast<float>(w);
}

void MakeWindowTable(std::int32_t* Table, TMMFFTWindow Kind, std::int32_t Bits) {
    if (Table == nullptr || Bits < 0 || Bits > MaxBits)
        return;
    const std::int32_t length = std::int32_t{1} << Bits;
    for (std::int32_t i = 0; i < length; ++i) {
        const double w = FFTWindowValue(Kind, i, length);
        Table[i] = static_cast<std::int32_t>(std::floor(w * 32767.0 + 0.5));
    }
}

void MakeBitReverseTable(std::int32_t* Table, std::int32_t Bits) {
    if (Table == nullptr || Bits < 0 || Bits > MaxBits)
        return;
    const std::uint32_t count = std::uint32_t{1} << Bits;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t reversed = 0;
        for (std::int32_t bit = 0; bit < Bits; ++bit)
            reversed |= ((i >> bit) & 1u) << (Bits - 1 - bit);
        Table[i] = static_cast<std::int32_t>(reversed);
    }
}

void ComplexMultiply(float* A, const float* B, std::int32_t n) {
    if (n > 0)
        fftKernels().complexMultiply(A, B, static_cast<std::size_t>(n));
}

} // namespace vantrel
