// The transform engine: an in-place complex FFT on interleaved single-precision pairs, a real
// FFT built on a complex FFT of half the size, the analysis windows of TMMFFTWindow and the
// integer tables derived from them.
//
// All lengths are powers of two. A user creates a plan when its FFT length changes and frees it
// when done; plans are immutable, so several threads may transform different arrays with one
// plan at the same time. Transforms allocate nothing and keep no state between calls.
#pragma once

#include "FFTKernels.h"
#include "MMUtils.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vantrel {

// Tables of one complex transform of N = 2^Bits points. Only CreateComplexFFT builds one.
struct TComplexFFTPlan {
    TComplexFFTPlan() = default;
    TComplexFFTPlan(const TComplexFFTPlan&) = delete; // `tables` points into this plan
    TComplexFFTPlan& operator=(const TComplexFFTPlan&) = delete;

    std::int32_t Bits = 0;
    std::int32_t N = 0;
    float InvN = 0.0f;
    // The pairs of the permutation to natural order (see ComplexFFTTables).
    std::vector<std::uint32_t> permutationPairs;
    // Twiddles of the radix-4 passes over sub-transforms of length m = N, N/4, ... down to 64,
    // largest first. For each m, groups of four indices j hold W_m^j, W_m^2j and W_m^3j, each
    // as its four real parts and then its four imaginary parts, every value twice (48 singles
    // per group): a vector load gives a run of j with each part in both lanes of its point.
    std::vector<float> radix4Twiddles;
    // The sub-transforms of 16 and 32 points at the end: W_16^j, W_16^2j, W_16^3j for
    // j = 0 ... 3 in the layout above, then W_32^j for j = 0 ... 15 (groups of 16 singles).
    std::vector<float> leafTwiddles;
    ComplexFFTTables tables; // the above, as the kernels read them
};

// Tables of one real transform of N = 2^Bits samples.
struct TRealFFTPlan {
    TRealFFTPlan() = default;
    TRealFFTPlan(const TRealFFTPlan&) = delete;
    TRealFFTPlan& operator=(const TRealFFTPlan&) = delete;

    std::int32_t Bits = 0;
    std::int32_t N = 0; // real input samples
    float InvN = 0.0f;
    TComplexFFTPlan half; // the complex transform of N/2 points
    // Entry k - 1 for k = 1 ... N/4: (0.5 cos thetaK, 0.5 (1 - sin thetaK)), thetaK = 2 pi k / N.
    std::vector<float> postTable;
};

// A new plan for N = 2^Bits points, owned by the caller (free it with FreeComplexFFT), or null
// when Bits is outside 1 ... 30 or memory is exhausted.
TComplexFFTPlan* CreateComplexFFT(std::int32_t Bits);
// Frees the plan, if any, and empties the reference.
void FreeComplexFFT(TComplexFFTPlan*& plan) noexcept;

// Transforms N complex points (2N singles, real part of point i at 2i) in place.
// Direction -1: inverse, x[n] = (1/N) sum X[k] e^(+2 pi i kn/N). Any other value: forward,
// X[k] = sum x[n] e^(-2 pi i kn/N); a negative value other than -1 also divides it by N.
// Does nothing when plan or data is null.
void DoComplexFFT(const TComplexFFTPlan* plan, float* data, std::int32_t Direction);

// A new real plan for N = 2^Bits samples, owned by the caller, or null as for CreateComplexFFT.
TRealFFTPlan* CreateRealFFT(std::int32_t Bits);
void FreeRealFFT(TRealFFTPlan*& plan) noexcept;

// Forward real transform of N samples in place, not scaled. Positions 0 and 1 receive X[0] and
// 0; positions 2k and 2k+1 receive X[k] for k = 1 ... N/2 - 1; the Nyquist bin is dropped.
// Direction is clamped to -1 ... 1; only the forward transform is defined, so a negative
// Direction leaves the data untouched. Does nothing when plan or data is null.
void DoRealFFT(const TRealFFTPlan* plan, float* data, std::int32_t Direction);

// The window value w(Index, Length) of `Kind`, computed in extended precision; 1 for a kind
// outside the enumeration or a Length below 1.
float FFTWindowValue(TMMFFTWindow Kind, std::int32_t Index, std::int32_t Length);

// Fills 2^Bits entries of `Table` with the window in Q15: Floor(w(i, 2^Bits) * 32767 + 0.5).
void MakeWindowTable(std::int32_t* Table, TMMFFTWindow Kind, std::int32_t Bits);

// Fills 2^Bits entries of `Table` with the bit-reversed indices.
void MakeBitReverseTable(std::int32_t* Table, std::int32_t Bits);

// A[k] := A[k] * B[k] for the n complex points of the interleaved arrays A and B.
void ComplexMultiply(float* A, const float* B, std::int32_t n);

// Owners that free a plan when they go out of scope.
struct ComplexFFTPlanDeleter {
    void operator()(TComplexFFTPlan* plan) const noexcept { FreeComplexFFT(plan); }
};
struct RealFFTPlanDeleter {
    void operator()(TRealFFTPlan* plan) const noexcept { FreeRealFFT(plan); }
};
using ComplexFFTPlanPtr = std::unique_ptr<TComplexFFTPlan, ComplexFFTPlanDeleter>;
using RealFFTPlanPtr = std::unique_ptr<TRealFFTPlan, RealFFTPlanDeleter>;

} // namespace vantrel
