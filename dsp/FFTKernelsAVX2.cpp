// The transform kernels on AVX2 with FMA. This unit is compiled for those instruction sets; the
// dispatcher calls into it only after checking that the processor has them.
#include <cstdint>
#include <immintrin.h>

namespace vantrel {
namespace {

// Four interleaved complex points per register.
struct AVX2Vector {
    using Reg = __m256;
    static constexpr std::size_t width = 4;

    static Reg load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
    static Reg set1(float f) { return _mm256_set1_ps(f); }
    static Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
    static Reg sub(Reg a, Reg b) { return _mm256_sub_ps(a, b); }
    static Reg mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
    static Reg evenSign() { return _mm256_castsi256_ps(_mm256_set1_epi64x(0x80000000LL)); }
    static Reg oddSign() {
        return _mm256_castsi256_ps(
            _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL)));
    }
    static Reg swapReIm(Reg a) { return _mm256_permute_ps(a, _MM_SHUFFLE(2, 3, 0, 1)); }
    static Reg addsub(Reg a, Reg b) { return _mm256_addsub_ps(a, b); }
    static Reg subadd(Reg a, Reg b) { return _mm256_add_ps(a, _mm256_xor_ps(b, oddSign())); }
    static Reg fmaddsub(Reg a, Reg b, Reg c) { return _mm256_fmaddsub_ps(a, b, c); }
    static Reg fmsubadd(Reg a, Reg b, Reg c) { return _mm256_fmsubadd_ps(a, b, c); }
    static Reg dupRe(Reg a) { return _mm256_moveldup_ps(a); }
    static Reg dupIm(Reg a) { return _mm256_movehdup_ps(a); }
    static Reg conj(Reg a) { return _mm256_xor_ps(a, oddSign()); }
    static Reg negRe(Reg a) { return _mm256_xor_ps(a, evenSign()); }
    static Reg takeReIm(Reg re, Reg im) { return _mm256_blend_ps(re, im, 0xAA); }
    static Reg reversePoints(Reg a) {
        return _mm256_castpd_ps(
            _mm256_permute4x64_pd(_mm256_castps_pd(a), _MM_SHUFFLE(0, 1, 2, 3)));
    }
    // r0..r3 hold four runs of four points; afterwards r_q holds point q of every run.
    static void transpose4(Reg& r0, Reg& r1, Reg& r2, Reg& r3) {
        // Points are pairs of singles: shuffle_ps with (1,0,1,0) and (3,2,3,2) picks whole points.
        const Reg ab02 = _mm256_shuffle_ps(r0, r1, _MM_SHUFFLE(1, 0, 1, 0));
        const Reg ab13 = _mm256_shuffle_ps(r0, r1, _MM_SHUFFLE(3, 2, 3, 2));
        const Reg cd02 = _mm256_shuffle_ps(r2, r3, _MM_SHUFFLE(1, 0, 1, 0));
        const Reg cd13 = _mm256_shuffle_ps(r2, r3, _MM_SHUFFLE(3, 2, 3, 2));
        r0 = _mm256_permute2f128_ps(ab02, cd02, 0x20);
        r1 = _mm256_permute2f128_ps(ab13, cd13, 0x20);
        r2 = _mm256_permute2f128_ps(ab02, cd02, 0x31);
        r3 = _mm256_permute2f128_ps(ab13, cd13, 0x31);
    }
    static void untranspose4(Reg& r0, Reg& r1, Reg& r2, Reg& r3) { transpose4(r0, r1, r2, r3); }
    static void transposeSquare(Reg (&r)[width]) { transpose4(r[0], r[1], r[2], r[3]); }
};

} // namespace
} // namespace vantrel

#include "FFTKernelsImpl.h"

namespace vantrel {

FFTKernels avx2FFTKernels() {
    return VectorKernels<AVX2Vector>::table();
}

} // namespace vantrel
