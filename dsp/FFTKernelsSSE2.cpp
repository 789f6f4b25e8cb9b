// The transform kernels on SSE2, which every x86-64 processor has.
#include <cstdint>
#include <emmintrin.h>

namespace vantrel {
namespace {

// Two interleaved complex points per register.
struct SSE2Vector {
    using Reg = __m128;
    static constexpr std::size_t width = 2;

    static Reg load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, Reg v) { _mm_storeu_ps(p, v); }
    static Reg set1(float f) { return _mm_set1_ps(f); }
    static Reg add(Reg a, Reg b) { return _mm_add_ps(a, b); }
    static Reg sub(Reg a, Reg b) { return _mm_sub_ps(a, b); }
    static Reg mul(Reg a, Reg b) { return _mm_mul_ps(a, b); }
    static Reg evenSign() { return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN)); }
    static Reg oddSign() { return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0)); }
    static Reg swapReIm(Reg a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)); }
    static Reg addsub(Reg a, Reg b) { return _mm_add_ps(a, _mm_xor_ps(b, evenSign())); }
    static Reg subadd(Reg a, Reg b) { return _mm_add_ps(a, _mm_xor_ps(b, oddSign())); }
    static Reg fmaddsub(Reg a, Reg b, Reg c) { return addsub(_mm_mul_ps(a, b), c); }
    static Reg fmsubadd(Reg a, Reg b, Reg c) { return subadd(_mm_mul_ps(a, b), c); }
    static Reg dupRe(Reg a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 2, 0, 0)); }
    static Reg dupIm(Reg a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 3, 1, 1)); }
    static Reg conj(Reg a) { return _mm_xor_ps(a, oddSign()); }
    static Reg negRe(Reg a) { return _mm_xor_ps(a, evenSign()); }
    static Reg takeReIm(Reg re, Reg im) {
        const Reg gathered = _mm_shuffle_ps(re, im, _MM_SHUFFLE(3, 1, 2, 0)); // re0 re2 im1 im3
        return _mm_shuffle_ps(gathered, gathered, _MM_SHUFFLE(3, 1, 2, 0));
    }
    static Reg reversePoints(Reg a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)); }
    // r0..r3 hold two runs a0..a3, b0..b3 in order: (a0 a1) (a2 a3) (b0 b1) (b2 b3).
    static void transpose4(Reg& r0, Reg& r1, Reg& r2, Reg& r3) {
        const Reg c0 = _mm_movelh_ps(r0, r2), c1 = _mm_movehl_ps(r2, r0);
        const Reg c2 = _mm_movelh_ps(r1, r3), c3 = _mm_movehl_ps(r3, r1);
        r0 = c0;
        r1 = c1;
        r2 = c2;
        r3 = c3;
    }
    static void transposeSquare(Reg (&r)[width]) {
        const Reg first = _mm_movelh_ps(r[0], r[1]), second = _mm_movehl_ps(r[1], r[0]);
        r[0] = first;
        r[1] = second;
    }
    static void untranspose4(Reg& c0, Reg& c1, Reg& c2, Reg& c3) {
        const Reg r0 = _mm_movelh_ps(c0, c1), r1 = _mm_movelh_ps(c2, c3);
        const Reg r2 = _mm_movehl_ps(c1, c0), r3 = _mm_movehl_ps(c3, c2);
        c0 = r0;
        c1 = r1;
        c2 = r2;
        c3 = r3;
    }
};

} // namespace
} // namespace vantrel

#include "FFTKernelsImpl.h"

namespace vantrel {

FFTKernels sse2FFTKernels() {
    return VectorKernels<SSE2Vector>::table();
}

} // namespace vantrel
