// The table of transform kernels. It is filled once, on first use, with the widest vector unit
// the processor offers (AVX2 with FMA, else SSE2) and only read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// What the kernels read of a complex plan. Plain pointers into the plan's tables: the kernel
// units are built for other instruction sets and must not instantiate library templates that
// the rest of the program would share.
struct ComplexFFTTables {
    int bits = 0;
    std::size_t points = 0;
    const float* radix4Twiddles = nullptr;
    const float* leafTwiddles = nullptr;
    // The bit-reversal permutation. Below TiledPermutationBits: point pairs (i, rev(i)) with
    // i < rev(i), two entries per swap. From there on, the points are seen as 8 x 8 tiles, one
    // per value m of the middle bits, and tile m changes places with tile rev(m), transposed:
    // pairs (m, rev(m)) with m <= rev(m), two entries each.
    const std::uint32_t* permutationPairs = nullptr;
    std::size_t permutationPairCount = 0;
};

struct FFTKernels {
    // data[i] *= factor for `count` singles.
    void (*scale)(float* data, std::size_t count, float factor);
    // a[k] *= b[k] for `points` interleaved complex points.
    void (*complexMultiply)(float* a, const float* b, std::size_t points);
    // The transform of a plan with N >= 16, in natural order, not scaled.
    void (*complexTransform)(const ComplexFFTTables& plan, float* data, bool inverse);
    // Turns the forward complex transform of N/2 points z[n] = x[2n] + i x[2n+1] into the
    // spectrum of the N real samples x (Nyquist bin dropped). `postTable` holds N/4 pairs.
    void (*realPostProcess)(float* data, std::size_t realPoints, const float* postTable);
};

// Smallest complex transform the vector kernels take; shorter ones run a scalar path.
inline constexpr std::size_t MinVectorFFTPoints = 16;
// The permutation works on tiles of 8 x 8 points from 2^6 points on: each row of a tile is one
// 64-byte cache line, so every line that is fetched is used whole.
inline constexpr int TiledPermutationBits = 6;

const FFTKernels& fftKernels();

// The kernel sets the dispatcher chooses from; each lives in a unit built for its instruction set.
FFTKernels sse2FFTKernels();
FFTKernels avx2FFTKernels();

} // namespace vantrel
