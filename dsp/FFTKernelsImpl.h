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
//   transposeSquare(r[width]): a square of width x width points transposed in place,
//   transpose4(r0..r3): 4 * width consecutive points, i.e. `width` runs of four, become four
//   registers holding point q of each run (and back, with untranspose4).
//
// Loops over arrays of registers carry `#pragma GCC unroll`: unrolled early, the arrays live in
// registers; left as loops, GCC keeps them on the stack and every pass pays for it.
#pragma once

#include "FFTKernels.h"

namespace vantrel {
namespace {

template <class V> struct VectorKernels {
    using R = typename V::Reg;
    static constexpr std::size_t W = V::width;

    // x * w, or x * conj(w) for the inverse kernel, with w given as its real parts and its
    // imaginary parts, each already in both lanes of its point.
    template <bool Inverse> static R twiddle(R x, R wRe, R wIm) {
        const R cross = V::mul(V::swapReIm(x), wIm);
        return Inverse ? V::fmsubadd(x, wRe, cross) : V::fmaddsub(x, wRe, cross);
    }

    // x times the factors of a run of W indices j, from a table in groups of four j (see
    // TComplexFFTPlan::radix4Twiddles): `group` points at the real parts of the run's factors,
    // the imaginary parts follow 8 singles later.
    template <bool Inverse> static R twiddleFrom(R x, const float* group) {
        return twiddle<Inverse>(x, V::load(group), V::load(group + 8));
    }

    // a - i b and a + i b; the inverse kernel swaps the sign of i.
    template <bool Inverse> static R minusIB(R a, R b) {
        return Inverse ? V::addsub(a, V::swapReIm(b)) : V::subadd(a, V::swapReIm(b));
    }
    template <bool Inverse> static R plusIB(R a, R b) {
        return Inverse ? V::subadd(a, V::swapReIm(b)) : V::addsub(a, V::swapReIm(b));
    }

    // One radix-4 pass over a sub-transform of m >= 64 points. The quarters receive the
    // frequencies 0, 2, 1, 3 mod 4 in that order, which keeps the final order bit-reversed.
    // tw: groups of four j, each with W^j, W^2j, W^3j (16 singles apiece).
    template <bool Inverse> static void radix4Pass(float* d, std::size_t m, const float* tw) {
        const std::size_t q = m / 4;
        for (std::size_t j = 0; j < q; j += W) {
            float* p0 = d + 2 * j;
            float* p1 = p0 + 2 * q;
            float* p2 = p1 + 2 * q;
            float* p3 = p2 + 2 * q;
            const float* t = tw + (j / 4) * 48 + (j % 4) * 2;
            const R x0 = V::load(p0), x1 = V::load(p1), x2 = V::load(p2), x3 = V::load(p3);
            const R s02 = V::add(x0, x2), d02 = V::sub(x0, x2);
            const R s13 = V::add(x1, x3), d13 = V::sub(x1, x3);
            V::store(p0, V::add(s02, s13));
            V::store(p1, twiddleFrom<Inverse>(V::sub(s02, s13), t + 16));
            V::store(p2, twiddleFrom<Inverse>(minusIB<Inverse>(d02, d13), t));
            V::store(p3, twiddleFrom<Inverse>(plusIB<Inverse>(d02, d13), t + 32));
        }
    }

    // The 4-point transforms of four registers that hold `W` runs of four points, in place and
    // bit-reversed.
    template <bool Inverse> static void lastButterflies(R& r0, R& r1, R& r2, R& r3) {
        V::transpose4(r0, r1, r2, r3);
        const R s02 = V::add(r0, r2), d02 = V::sub(r0, r2);
        const R s13 = V::add(r1, r3), d13 = V::sub(r1, r3);
        r0 = V::add(s02, s13);
        r1 = V::sub(s02, s13);
        r2 = minusIB<Inverse>(d02, d13);
        r3 = plusIB<Inverse>(d02, d13);
        V::untranspose4(r0, r1, r2, r3);
    }

    // Sub-transforms of 16 and 32 points run in registers from load to store. `leaf` holds
    // the factors of both: W_16^j, W_16^2j, W_16^3j for j = 0 ... 3 (one group of the radix-4
    // layout), then W_32^j for j = 0 ... 15.
    static constexpr std::size_t Leaf16Registers = 16 / W;
    static constexpr std::size_t Leaf16Singles = 48;

    // The radix-4 pass over 16 points, then the 4-point transform of every run of four.
    template <bool Inverse> static void leaf16(R* y, const float* leaf) {
        constexpr std::size_t perQuarter = Leaf16Registers / 4;
#pragma GCC unroll 16
        for (std::size_t v = 0; v < perQuarter; ++v) {
            const float* t = leaf + v * 2 * W;
            const R x0 = y[v], x1 = y[perQuarter + v];
            const R x2 = y[2 * perQuarter + v], x3 = y[3 * perQuarter + v];
            const R s02 = V::add(x0, x2), d02 = V::sub(x0, x2);
            const R s13 = V::add(x1, x3), d13 = V::sub(x1, x3);
            y[v] = V::add(s02, s13);
            y[perQuarter + v] = twiddleFrom<Inverse>(V::sub(s02, s13), t + 16);
            y[2 * perQuarter + v] = twiddleFrom<Inverse>(minusIB<Inverse>(d02, d13), t);
            y[3 * perQuarter + v] = twiddleFrom<Inverse>(plusIB<Inverse>(d02, d13), t + 32);
        }
#pragma GCC unroll 16
        for (std::size_t g = 0; g < Leaf16Registers; g += 4)
            lastButterflies<Inverse>(y[g], y[g + 1], y[g + 2], y[g + 3]);
    }

    template <std::size_t Count> static void loadRegisters(const float* d, R (&y)[Count]) {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < Count; ++r)
            y[r] = V::load(d + 2 * W * r);
    }
    template <std::size_t Count> static void storeRegisters(float* d, const R (&y)[Count]) {
#pragma GCC unroll 16
        for (std::size_t r = 0; r < Count; ++r)
            V::store(d + 2 * W * r, y[r]);
    }

    template <bool Inverse> static void leaf16(float* d, const float* leaf) {
        R y[Leaf16Registers];
        loadRegisters(d, y);
        leaf16<Inverse>(y, leaf);
        storeRegisters(d, y);
    }

    // A radix-2 pass over 32 points, then both halves as 16-point leaves.
    template <bool Inverse> static void leaf32(float* d, const float* leaf) {
        R y[2 * Leaf16Registers];
        loadRegisters(d, y);
        const float* w32 = leaf + Leaf16Singles;
#pragma GCC unroll 16
        for (std::size_t v = 0; v < Leaf16Registers; ++v) {
            const R x0 = y[v], x1 = y[Leaf16Registers + v];
            y[v] = V::add(x0, x1);
            const std::size_t j = W * v;
            const float* t = w32 + (j / 4) * 16 + (j % 4) * 2;
            y[Leaf16Registers + v] = twiddleFrom<Inverse>(V::sub(x0, x1), t);
        }
        leaf16<Inverse>(y, leaf);
        leaf16<Inverse>(y + Leaf16Registers, leaf);
        storeRegisters(d, y);
    }

    // Depth first, so that sub-transforms stay in the first-level cache once they fit there.
    template <bool Inverse>
    static void radix4Recursive(float* d, std::size_t m, const float* tw, const float* leaf) {
        if (m == 16) {
            leaf16<Inverse>(d, leaf);
            return;
        }
        if (m == 32) {
            leaf32<Inverse>(d, leaf);
            return;
        }
        radix4Pass<Inverse>(d, m, tw);
        const std::size_t q = m / 4;
        const float* next = tw + 12 * q; // m/4 indices j, three factors of four singles each
        for (std::size_t r = 0; r < 4; ++r)
            radix4Recursive<Inverse>(d + 2 * r * q, q, next, leaf);
    }

    static void swapPoints(float* a, float* b) {
        const float ar = a[0], ai = a[1];
        a[0] = b[0];
        a[1] = b[1];
        b[0] = ar;
        b[1] = ai;
    }

    static void permuteByPairs(float* d, const ComplexFFTTables& plan) {
        const std::uint32_t* pair = plan.permutationPairs;
        const std::uint32_t* end = pair + 2 * plan.permutationPairCount;
        for (; pair != end; pair += 2)
            swapPoints(d + 2 * std::size_t{pair[0]}, d + 2 * std::size_t{pair[1]});
    }

    // A tile of 8 x 8 points in registers: row i, columns W*b ... W*b + W - 1 in rows[i][b].
    static constexpr std::size_t TileBlocks = 8 / W;
    using Tile = R[8][TileBlocks];
    static constexpr std::size_t Rev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};

    // Loads the rows in bit-reversed order, so that a plain transpose followed by storing the
    // rows in bit-reversed order is the whole permutation of a tile.
    static void loadTile(const float* t, std::size_t rowStride, Tile& rows) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < 8; ++i)
#pragma GCC unroll 16
            for (std::size_t b = 0; b < TileBlocks; ++b)
                rows[i][b] = V::load(t + Rev3[i] * rowStride + 2 * W * b);
    }

    static void transposeTile(Tile& rows) {
        Tile out;
#pragma GCC unroll 16
        for (std::size_t bi = 0; bi < TileBlocks; ++bi) {
#pragma GCC unroll 16
            for (std::size_t bj = 0; bj < TileBlocks; ++bj) {
                R block[W];
#pragma GCC unroll 16
                for (std::size_t k = 0; k < W; ++k)
                    block[k] = rows[bi * W + k][bj];
                V::transposeSquare(block);
#pragma GCC unroll 16
                for (std::size_t k = 0; k < W; ++k)
                    out[bj * W + k][bi] = block[k];
            }
        }
#pragma GCC unroll 16
        for (std::size_t i = 0; i < 8; ++i)
#pragma GCC unroll 16
            for (std::size_t b = 0; b < TileBlocks; ++b)
                rows[i][b] = out[i][b];
    }

    static void storeTile(float* t, std::size_t rowStride, const Tile& rows) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < 8; ++i)
#pragma GCC unroll 16
            for (std::size_t b = 0; b < TileBlocks; ++b)
                V::store(t + Rev3[i] * rowStride + 2 * W * b, rows[i][b]);
    }

    // Point (h, m, l) of 3, bits - 6 and 3 bits goes to (rev l, rev m, rev h): tile m (rows h,
    // columns l) lands transposed, rows and columns bit-reversed, on tile rev(m).
    static void permuteByTiles(float* d, const ComplexFFTTables& plan) {
        const std::size_t rowStride = 2 * (plan.points >> 3); // singles between rows h
        const std::uint32_t* pair = plan.permutationPairs;
        const std::uint32_t* end = pair + 2 * plan.permutationPairCount;
        for (; pair != end; pair += 2) {
            float* a = d + 16 * std::size_t{pair[0]};
            float* b = d + 16 * std::size_t{pair[1]};
            Tile tileA;
            loadTile(a, rowStride, tileA);
            transposeTile(tileA);
            if (a != b) {
                Tile tileB;
                loadTile(b, rowStride, tileB);
                transposeTile(tileB);
                storeTile(a, rowStride, tileB);
            }
            storeTile(b, rowStride, tileA);
        }
    }

    template <bool Inverse> static void transform(const ComplexFFTTables& plan, float* d) {
        radix4Recursive<Inverse>(d, plan.points, plan.radix4Twiddles, plan.leafTwiddles);
        if (plan.bits >= TiledPermutationBits)
            permuteByTiles(d, plan);
        else
            permuteByPairs(d, plan);
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
        for (; k + W <= points; k += W) {
            const R w = V::load(b + 2 * k);
            V::store(a + 2 * k, twiddle<false>(V::load(a + 2 * k), V::dupRe(w), V::dupIm(w)));
        }
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
