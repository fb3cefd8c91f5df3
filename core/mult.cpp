// Matrix-free product with the unassembled element matrices.
//
// The result is fixed by two orders, and both are kept: each element row is summed on its own,
// sum = M*x + sum from 0.0 with the trial nodes in order (kk outer, ll inner), before it is added
// to the output once; and a node shared by several elements receives their sums in element order
// (ny, then nx). Rows of one element are independent of each other, so the kernels run many rows
// side by side: a vector kernel keeps one row in each lane of a register and transposes small
// blocks of the matrix on the way in, so every lane still sees its own row in column order, with a
// separate multiply and add (no fused multiply-add). That makes the product a stream through the
// element matrices at close to the speed of memory.
//
// The vector kernels need an element's matrix as one block of n*n doubles, row after row. The
// driver's storage (element_matrices) lays every element out so by construction, and its product
// takes the blocks straight from it. On a bare pointer array every row pointer of an element is
// compared with that layout first, and an element laid out otherwise (rows of their own, rows in
// another order) is summed through its pointers, so the product is that of whatever the pointers
// name.
//
// The same traversal with absolute values taken on the way, of the matrix entries and of the
// input, gives |M| |x|: the scale against which the solver measures the rounding of a residual.
#include "core/mult.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/memory.h"
#include "core/sem.h"
#include "core/storage.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SEM_X86 1
#endif

namespace {

// s[r] = sum over c of E[r*n + c]*v[c], for every row r < n, each row in column order; with
// `absolute`, of |E[r*n + c]|*v[c] (the caller then gathers |x| into v). s has room for row_slack
// values past n, which a kernel may overwrite.
using rows_kernel = void (*)(double const* E, std::size_t n, double const* v, double* s);
const std::size_t row_slack = 32;

template <bool absolute>
inline double entry(double e)
{
    return absolute ? std::fabs(e) : e;
}

template <bool absolute>
void rows_portable(double const* E, std::size_t n, double const* v, double* s)
{
    std::size_t r = 0;
    for (; r + 4 <= n; r += 4) {
        double const* a = E + r * n;
        double const* b = a + n;
        double const* c = b + n;
        double const* d = c + n;
        double sa = 0.0, sb = 0.0, sc = 0.0, sd = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            sa = entry<absolute>(a[k]) * v[k] + sa;
            sb = entry<absolute>(b[k]) * v[k] + sb;
            sc = entry<absolute>(c[k]) * v[k] + sc;
            sd = entry<absolute>(d[k]) * v[k] + sd;
        }
        s[r] = sa;
        s[r + 1] = sb;
        s[r + 2] = sc;
        s[r + 3] = sd;
    }
    for (; r < n; ++r) {
        double const* a = E + r * n;
        double sa = 0.0;
        for (std::size_t k = 0; k < n; ++k) sa = entry<absolute>(a[k]) * v[k] + sa;
        s[r] = sa;
    }
}

#ifdef SEM_X86

// The rows of one pass are too short for the hardware's stream prefetch to pick them up, so the
// block that follows the pass (the next rows, or the next element's) is prefetched into the
// second-level cache as one linear stream while the pass is summed, a little further ahead than
// the next pass and at the rate the pass consumes its own. Only the address is formed, so it may
// lie past the end of the matrices.
const std::size_t prefetch_margin = 4096;  // bytes beyond the end of the pass
inline char const* address_after(double const* row, std::size_t doubles)
{
    return reinterpret_cast<char const*>(reinterpret_cast<std::uintptr_t>(row) +
                                         doubles * sizeof(double));
}

// One pass over G groups of four rows from r0 on; rows past the last are read as the last row and
// their sums land in the slack of s. Lane j of group g holds row r0 + 4g + j. Four columns at a
// time, the rows are loaded as 128-bit halves, [a0 a1 | c0 c1] and [b0 b1 | d0 d1], which one
// unpack turns into column 0 [a0 b0 | c0 d0] and column 1 [a1 b1 | c1 d1]; likewise columns 2, 3.
// The upper halves come from broadcast loads and a blend, which keeps the shuffle unit to the
// unpacks alone. With `absolute` the sign bits of the columns are cleared on the way. The loops
// over the groups are unrolled so that the sums stay in registers.
template <bool absolute>
__attribute__((target("avx2"))) inline __m256d column(__m256d c)
{
    return absolute ? _mm256_andnot_pd(_mm256_set1_pd(-0.0), c) : c;
}

template <int G, bool absolute>
__attribute__((target("avx2"))) inline void rows_avx2_pass(double const* E, std::size_t n,
                                                           std::size_t r0, double const* v,
                                                           double* s)
{
    double const* p[4 * G];
#pragma GCC unroll 28
    for (int i = 0; i < 4 * G; ++i) {
        std::size_t r = r0 + std::size_t(i);
        p[i] = E + (r < n ? r : n - 1) * n;
    }
    __m256d acc[G];
#pragma GCC unroll 7
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_pd();

    char const* ahead = address_after(E, (r0 + 4 * G) * n) + prefetch_margin;
    const std::size_t full = n - n % 4;
    for (std::size_t c = 0; c < full; c += 4) {
#pragma GCC unroll 14
        for (int l = 0; l < 2 * G; ++l) _mm_prefetch(ahead + 64 * l, _MM_HINT_T1);
        ahead += 128 * G;
        const __m256d v0 = _mm256_broadcast_sd(v + c);
        const __m256d v1 = _mm256_broadcast_sd(v + c + 1);
        const __m256d v2 = _mm256_broadcast_sd(v + c + 2);
        const __m256d v3 = _mm256_broadcast_sd(v + c + 3);
#pragma GCC unroll 7
        for (int g = 0; g < G; ++g) {
            double const* a = p[4 * g] + c;
            double const* b = p[4 * g + 1] + c;
            double const* cc = p[4 * g + 2] + c;
            double const* d = p[4 * g + 3] + c;
            __m256d t0 = _mm256_blend_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a)),
                                         _mm256_broadcast_pd(reinterpret_cast<__m128d const*>(cc)), 12);
            __m256d t1 = _mm256_blend_pd(_mm256_castpd128_pd256(_mm_loadu_pd(b)),
                                         _mm256_broadcast_pd(reinterpret_cast<__m128d const*>(d)), 12);
            __m256d t2 = _mm256_blend_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a + 2)),
                                         _mm256_broadcast_pd(reinterpret_cast<__m128d const*>(cc + 2)), 12);
            __m256d t3 = _mm256_blend_pd(_mm256_castpd128_pd256(_mm_loadu_pd(b + 2)),
                                         _mm256_broadcast_pd(reinterpret_cast<__m128d const*>(d + 2)), 12);
            const __m256d c0 = column<absolute>(_mm256_unpacklo_pd(t0, t1));
            const __m256d c1 = column<absolute>(_mm256_unpackhi_pd(t0, t1));
            const __m256d c2 = column<absolute>(_mm256_unpacklo_pd(t2, t3));
            const __m256d c3 = column<absolute>(_mm256_unpackhi_pd(t2, t3));
            acc[g] = _mm256_add_pd(_mm256_mul_pd(c0, v0), acc[g]);
            acc[g] = _mm256_add_pd(_mm256_mul_pd(c1, v1), acc[g]);
            acc[g] = _mm256_add_pd(_mm256_mul_pd(c2, v2), acc[g]);
            acc[g] = _mm256_add_pd(_mm256_mul_pd(c3, v3), acc[g]);
        }
    }
    for (std::size_t c = full; c < n; ++c) {
        const __m256d vc = _mm256_broadcast_sd(v + c);
#pragma GCC unroll 7
        for (int g = 0; g < G; ++g) {
            __m256d col = column<absolute>(
                _mm256_set_pd(p[4 * g + 3][c], p[4 * g + 2][c], p[4 * g + 1][c], p[4 * g][c]));
            acc[g] = _mm256_add_pd(_mm256_mul_pd(col, vc), acc[g]);
        }
    }
#pragma GCC unroll 7
    for (int g = 0; g < G; ++g) _mm256_storeu_pd(s + r0 + 4 * g, acc[g]);
}

// Passes of sixteen rows while more than 28 remain, then one pass of up to seven groups for the
// rest, so that the last rows too have several independent sums in flight.
template <bool absolute>
__attribute__((target("avx2"))) void rows_avx2(double const* E, std::size_t n, double const* v,
                                               double* s)
{
    std::size_t r = 0;
    for (; n - r > 28; r += 16) rows_avx2_pass<4, absolute>(E, n, r, v, s);
    switch ((n - r + 3) / 4) {
        case 1: rows_avx2_pass<1, absolute>(E, n, r, v, s); break;
        case 2: rows_avx2_pass<2, absolute>(E, n, r, v, s); break;
        case 3: rows_avx2_pass<3, absolute>(E, n, r, v, s); break;
        case 4: rows_avx2_pass<4, absolute>(E, n, r, v, s); break;
        case 5: rows_avx2_pass<5, absolute>(E, n, r, v, s); break;
        case 6: rows_avx2_pass<6, absolute>(E, n, r, v, s); break;
        default: rows_avx2_pass<7, absolute>(E, n, r, v, s); break;
    }
}

#endif

template <bool absolute>
rows_kernel kernel_of(mult_kernel k)
{
#ifdef SEM_X86
    if (k == mult_kernel::avx2) return rows_avx2<absolute>;
#endif
    (void)k;
    return rows_portable<absolute>;
}

// The element's first row when each of its rows lies where one block of n*n doubles from that row
// on puts it (row (i, j, k) at ((i*nx1 + j)*ny1 + k)*nx1 doubles), else null. Every row pointer
// is compared, so that a product from the block reads exactly the rows the pointers name; the
// comparisons are gathered without an early exit so that they run as one stream of loads.
double const* block_of(double**** Me, std::size_t ny1, std::size_t nx1)
{
    const std::uintptr_t step = nx1 * sizeof(double);
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(Me[0][0][0]);
    std::uintptr_t differ = 0;
    std::uintptr_t group = first;  // where row (i, j, 0) belongs
    for (std::size_t i = 0; i < ny1; ++i)
        for (std::size_t j = 0; j < nx1; ++j, group += ny1 * step) {
            double** const rows = Me[i][j];
            for (std::size_t k = 0; k < ny1; ++k)
                differ |= reinterpret_cast<std::uintptr_t>(rows[k]) ^ (group + k * step);
        }
    return differ == 0 ? Me[0][0][0] : nullptr;
}

bool overlap(double const* a, double const* b, std::size_t count)
{
    std::uintptr_t pa = reinterpret_cast<std::uintptr_t>(a);
    std::uintptr_t pb = reinterpret_cast<std::uintptr_t>(b);
    std::uintptr_t bytes = count * sizeof(double);
    return pa < pb + bytes && pb < pa + bytes;
}

}  // namespace

bool mult_kernel_available(mult_kernel k)
{
    switch (k) {
        case mult_kernel::portable: return true;
        case mult_kernel::avx2:
#ifdef SEM_X86
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2");
#else
            return false;
#endif
    }
    return false;
}

mult_kernel mult_best_kernel()
{
    static const mult_kernel best =
        mult_kernel_available(mult_kernel::avx2) ? mult_kernel::avx2 : mult_kernel::portable;
    return best;
}

namespace {

// The product with the row kernel of `absolute`: |M| |inn| where it is set. With `data`, the
// element matrices are its blocks of n*n doubles, one element after the other in row order, and M
// is not read; without it each element is taken from M, from its block where all its row pointers
// say it has one.
template <bool absolute>
void product(mult_kernel k, indices ix, double****** const M, double const* data,
             double const* inn, double* out)
{
    const rows_kernel rows = kernel_of<absolute>(k);
    const std::size_t nx1 = ix.xdeg + std::size_t(1);
    const std::size_t ny1 = ix.ydeg + std::size_t(1);
    const std::size_t n = nx1 * ny1;
    const std::size_t xdim = ix.xdim;

    // The input is read while the output is written; only when they share storage is a copy
    // needed to keep the product that of the input on entry.
    std::unique_ptr<double[]> copy;
    double const* in = inn;
    if (overlap(inn, out, ix.dim)) {
        copy = make_array<double>(ix.dim);
        std::memcpy(copy.get(), inn, sizeof(double) * ix.dim);
        in = copy.get();
    }
    for (unsigned int i = 0; i < ix.dim; ++i) out[i] = 0.0;
    if (ix.ney == 0 || ix.nex == 0) return;

    auto work = make_array<double>(2 * n + row_slack);
    double* v = work.get();  // the element's values, in the order of its matrix columns
    double* s = v + n;       // the element's row sums
    // The first rows of a row of elements, or null for an element laid out otherwise. Found
    // before the row's products, so that the chains of pointer loads overlap each other instead
    // of each one delaying its element.
    auto blocks = make_array<double const*>(ix.nex);
    for (unsigned int ny = 0; ny < ix.ney; ++ny) {
        for (unsigned int nx = 0; nx < ix.nex; ++nx)
            blocks[nx] = data ? data + (std::size_t(ny) * ix.nex + nx) * n * n
                              : block_of(M[ny][nx], ny1, nx1);
        for (unsigned int nx = 0; nx < ix.nex; ++nx) {
            double const* x = in + std::size_t(ix.ydeg) * ny * xdim + std::size_t(ix.xdeg) * nx;
            for (std::size_t kk = 0; kk < ny1; ++kk)
                for (std::size_t ll = 0; ll < nx1; ++ll)
                    v[kk * nx1 + ll] = entry<absolute>(x[kk * xdim + ll]);

            if (blocks[nx]) {
                rows(blocks[nx], n, v, s);
            } else {
                double**** Me = M[ny][nx];
                for (std::size_t ii = 0; ii < ny1; ++ii)
                    for (std::size_t jj = 0; jj < nx1; ++jj) {
                        double sum = 0.0;
                        for (std::size_t kk = 0; kk < ny1; ++kk)
                            for (std::size_t ll = 0; ll < nx1; ++ll)
                                sum = entry<absolute>(Me[ii][jj][kk][ll]) * v[kk * nx1 + ll] + sum;
                        s[ii * nx1 + jj] = sum;
                    }
            }

            double* o = out + std::size_t(ix.ydeg) * ny * xdim + std::size_t(ix.xdeg) * nx;
            for (std::size_t ii = 0; ii < ny1; ++ii)
                for (std::size_t jj = 0; jj < nx1; ++jj)
                    o[ii * xdim + jj] = o[ii * xdim + jj] + s[ii * nx1 + jj];
        }
    }
}

}  // namespace

void mult_with(mult_kernel k, indices ix, double****** const M, double const* inn, double* out)
{
    product<false>(k, ix, M, nullptr, inn, out);
}

void mult_with(mult_kernel k, indices ix, element_matrices const& M, double const* inn,
               double* out)
{
    product<false>(k, ix, nullptr, M.data.get(), inn, out);
}

void mult_abs_with(mult_kernel k, indices ix, double****** const M, double const* inn, double* out)
{
    product<true>(k, ix, M, nullptr, inn, out);
}

void mult_abs_with(mult_kernel k, indices ix, element_matrices const& M, double const* inn,
                   double* out)
{
    product<true>(k, ix, nullptr, M.data.get(), inn, out);
}

void mult(indices ix, double****** const M, double const* inn, double* out)
{
    mult_with(mult_best_kernel(), ix, M, inn, out);
}

void mult(indices ix, element_matrices const& M, double const* inn, double* out)
{
    mult_with(mult_best_kernel(), ix, M, inn, out);
}

void mult_abs(indices ix, double****** const M, double const* inn, double* out)
{
    mult_abs_with(mult_best_kernel(), ix, M, inn, out);
}

void mult_abs(indices ix, element_matrices const& M, double const* inn, double* out)
{
    mult_abs_with(mult_best_kernel(), ix, M, inn, out);
}
