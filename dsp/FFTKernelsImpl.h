// The transform kernels, written once over a vector type V and compiled once per instruction set
// (FFTKernelsSSE2.cpp, FFTKernelsAVX2.cpp). Everything here has internal linkage, so the two
// builds never mix at link time. Include it only from those units, after defining V.
//
// V supplies, for a register R holding V::width interleaved complex points:
//   load/store (unaligned), add, sub, mul, swapReIm (re <-> im of each point),
//   addsub(a, b): even lanes a - b, odd lanes a + b;  subadd(a, b): even a + b, odd a - b;
//   fmaddsub(a, b, c): even a*b - c, odd a*b + c;   fmsubadd(a, b, c): even a*b + c, odd a*b - c;
//   dupRe/dupIm (real or imaginary part copied to both lanes of each point), conj, negRe,
//   takeReIm(a, b) (real parts of a, imaginary parts of b), reversePoints (point order reversed),
//   transpose4(r0..r3): 4 * width consecutive points, i.e. `width` runs of four, become four
//   registers holding point q of each run (and back, with untranspose4).
#pragma once

#include "FFTKernels.h"

namespace vantrel {
namespace {

template <class V> struct VectorKernels {
    using R = typename V::Reg;
    static constexpr std::size_t W = V::width;

    // x * w, or x * conj(w) for the inverse kernel.
    template <bool Inverse> static R twiddle(R x, R w) {
        const R cross = V::mul(V::swapReIm(x), V::dupIm(w));
        return Inverse ? V::fmsubadd(x, V::dupRe(w), cross) : V::fmaddsub(x, V::dupRe(w), cross);
    }

    // a - i b and a + i b; the inverse kernel swaps the sign of i.
    template <bool Inverse> static R minusIB(R a, R b) {
        return Inverse ? V::addsub(a, V::swapReIm(b)) : V::subadd(a, V::swapReIm(b));
    }
    template <bool Inverse> static R plusIB(R a, R b) {
        return Inverse ? V::subadd(a, V::swapReIm(b)) : V::addsub(a, V::swapReIm(b));
    }

    // One radix-2 decimation-in-frequency pass over n points: sums stay in the first half (the
    // even frequencies), twiddled differences go to the second half (the odd ones).
    template <bool Inverse> static void radix2Pass(float* d, std::size_t n, const float* tw) {
        const std::size_t half = n / 2;
        for (std::size_t j = 0; j < half; j += W) {
            float* p0 = d + 2 * j;
            float* p1 = p0 + 2 * half;
            const R x0 = V::load(p0);
            const R x1 = V::load(p1);
            V::store(p0, V::add(x0, x1));
            V::store(p1, twiddle<Inverse>(V::sub(x0, x1), V::load(tw + 2 * j)));
        }
    }

    // One radix-4 pass over a sub-transform of m >= 16 points. The quarters receive the
    // frequencies 0, 2, 1, 3 mod 4 in that order, which keeps the final order bit-reversed.
    // tw: groups of four j, each W^j, W^2j, W^3j (four interleaved points apiece).
    template <bool Inverse> static void radix4Pass(float* d, std::size_t m, const float* tw) {
        const std::size_t q = m / 4;
        for (std::size_t j = 0; j < q; j += W) {
            float* p0 = d + 2 * j;
            float* p1 = p0 + 2 * q;
            float* p2 = p1 + 2 * q;
            float* p3 = p2 + 2 * q;
            const float* t = tw + (j / 4) * 24 + (j % 4) * 2;
            const R x0 = V::load(p0), x1 = V::load(p1), x2 = V::load(p2), x3 = V::load(p3);
            const R s02 = V::add(x0, x2), d02 = V::sub(x0, x2);
            const R s13 = V::add(x1, x3), d13 = V::sub(x1, x3);
            V::store(p0, V::add(s02, s13));
            V::store(p1, twiddle<Inverse>(V::sub(s02, s13), V::load(t + 8)));
            V::store(p2, twiddle<Inverse>(minusIB<Inverse>(d02, d13), V::load(t)));
            V::store(p3, twiddle<Inverse>(plusIB<Inverse>(d02, d13), V::load(t + 16)));
        }
    }

    // The last pass: every run of four points becomes its 4-point transform, bit-reversed.
    // Needs n to be a multiple of 4 * W.
    template <bool Inverse> static void radix4LastPass(float* d, std::size_t n) {
        for (std::size_t i = 0; i < n; i += 4 * W) {
            float* p = d + 2 * i;
            R c0 = V::load(p), c1 = V::load(p + 2 * W), c2 = V::load(p + 4 * W),
              c3 = V::load(p + 6 * W);
            V::transpose4(c0, c1, c2, c3);
            const R s02 = V::add(c0, c2), d02 = V::sub(c0, c2);
            const R s13 = V::add(c1, c3), d13 = V::sub(c1, c3);
            R y0 = V::add(s02, s13), y1 = V::sub(s02, s13);
            R y2 = minusIB<Inverse>(d02, d13), y3 = plusIB<Inverse>(d02, d13);
            V::untranspose4(y0, y1, y2, y3);
            V::store(p, y0);
            V::store(p + 2 * W, y1);
            V::store(p + 4 * W, y2);
            V::store(p + 6 * W, y3);
        }
    }

    // Depth first, so that sub-transforms stay in the first-level cache once they fit there.
    template <bool Inverse> static void radix4Recursive(float* d, std::size_t m, const float* tw) {
        radix4Pass<Inverse>(d, m, tw);
        const std::size_t q = m / 4;
        if (q < MinVectorFFTPoints) {
            radix4LastPass<Inverse>(d, m);
            return;
        }
        const float* next = tw + 6 * q; // m/4 indices j, three complex factors each
        for (std::size_t r = 0; r < 4; ++r)
            radix4Recursive<Inverse>(d + 2 * r * q, q, next);
    }

    static void bitReversePermute(float* d, const ComplexFFTTables& plan) {
        const std::uint32_t* pair = plan.swapPairs;
        const std::uint32_t* end = pair + 2 * plan.swapPairCount;
        for (; pair != end; pair += 2) {
            float* a = d + 2 * std::size_t{pair[0]};
            float* b = d + 2 * std::size_t{pair[1]};
            const float ar = a[0], ai = a[1];
            a[0] = b[0];
            a[1] = b[1];
            b[0] = ar;
            b[1] = ai;
        }
    }

    template <bool Inverse> static void transform(const ComplexFFTTables& plan, float* d) {
        std::size_t m = plan.points;
        if (plan.bits % 2 != 0) {
            radix2Pass<Inverse>(d, m, plan.radix2Twiddles);
            m /= 2;
            radix4Recursive<Inverse>(d, m, plan.radix4Twiddles);
            radix4Recursive<Inverse>(d + 2 * m, m, plan.radix4Twiddles);
        } else {
            radix4Recursive<Inverse>(d, m, plan.radix4Twiddles);
        }
        bitReversePermute(d, plan);
    }

    static void complexTransform(const ComplexFFTTables& plan, float* d, bool inverse) {
        if (inverse)
            transform<true>(plan, d);
        else
            transform<false>(plan, d);
    }

    static void scale(float* d, std::size_t count, float factor) {
        const R f = V::set1(factor);
        std::size_t i = 0;
        for (; i + 4 * W <= count; i += 4 * W) {
            V::store(d + i, V::mul(V::load(d + i), f));
            V::store(d + i + 2 * W, V::mul(V::load(d + i + 2 * W), f));
        }
        for (; i < count; ++i)
            d[i] *= factor;
    }

    static void complexMultiply(float* a, const float* b, std::size_t points) {
        std::size_t k = 0;
        for (; k + W <= points; k += W)
            V::store(a + 2 * k, twiddle<false>(V::load(a + 2 * k), V::load(b + 2 * k)));
        for (; k < points; ++k) {
            const float ar = a[2 * k], ai = a[2 * k + 1];
            const float br = b[2 * k], bi = b[2 * k + 1];
            a[2 * k] = ar * br - ai * bi;
            a[2 * k + 1] = ar * bi + ai * br;
        }
    }

    // Splits Z[k], Z[m] (m = N/2 - k) into X[k], X[m]; (c, s) from the post-processing table:
    // d = Re Zk - Re Zm, l = Im Zk + Im Zm, t = d s + l c, u = l s - d c,
    // X[k] = (Re Zm + t, u - Im Zm), X[m] = (Re Zk - t, u - Im Zk).
    static void realPostProcess(float* d, std::size_t realPoints, const float* table) {
        const float dc = d[0] + d[1];
        d[0] = dc;
        d[1] = 0.0f;
        const std::size_t quarter = realPoints / 4;
        if (quarter == 0)
            return;
        const std::size_t halfPoints = realPoints / 2;
        std::size_t k = 1;
        for (; k + W <= quarter; k += W) {
            float* pk = d + 2 * k;
            float* pm = d + 2 * (halfPoints - k - (W - 1));
            const R a = V::load(pk);
            const R b = V::reversePoints(V::load(pm));
            const R cs = V::load(table + 2 * (k - 1));
            const R dl = V::takeReIm(V::sub(a, b), V::add(a, b));
            const R tu = V::fmsubadd(dl, V::dupIm(cs), V::mul(V::swapReIm(dl), V::dupRe(cs)));
            V::store(pk, V::add(V::conj(b), tu));
            V::store(pm, V::reversePoints(V::add(V::conj(a), V::negRe(tu))));
        }
        for (; k < quarter; ++k) {
            float* zk = d + 2 * k;
            float* zm = d + 2 * (halfPoints - k);
            const float c = table[2 * (k - 1)], s = table[2 * (k - 1) + 1];
            const float dr = zk[0] - zm[0], l = zk[1] + zm[1];
            const float t = dr * s + l * c, u = l * s - dr * c;
            const float zkr = zk[0], zki = zk[1];
            zk[0] = zm[0] + t;
            zk[1] = u - zm[1];
            zm[0] = zkr - t;
            zm[1] = u - zki;
        }
        d[2 * quarter + 1] = -d[2 * quarter + 1];
    }

    static FFTKernels table() {
        return FFTKernels{&scale, &complexMultiply, &complexTransform, &realPostProcess};
    }
};

} // namespace
} // namespace vantrel
