// Dense matrices for the tests: a row-major operator the solver can apply (with its product over
// absolute values), the element matrices
// summed into one global matrix, and Gaussian elimination with partial pivoting as the
// independent truth an iterative answer is held against.
#ifndef TESTS_DIRECT_SOLVE_H
#define TESTS_DIRECT_SOLVE_H

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "lsolver/Zorva"

// A dense operator, row-major.
struct dense_op {
    unsigned int n;
    std::vector<double> a;
};

inline void mult(indices, dense_op const& A, double const* in, double* out)
{
    for (unsigned int i = 0; i < A.n; ++i) {
        double sum = 0.0;
        for (unsigned int j = 0; j < A.n; ++j) sum = A.a[i * A.n + j] * in[j] + sum;
        out[i] = sum;
    }
}

inline void mult_abs(indices, dense_op const& A, double const* in, double* out)
{
    for (unsigned int i = 0; i < A.n; ++i) {
        double sum = 0.0;
        for (unsigned int j = 0; j < A.n; ++j)
            sum = std::fabs(A.a[i * A.n + j]) * std::fabs(in[j]) + sum;
        out[i] = sum;
    }
}

// The global matrix of the element matrices: entry (test node, trial node) of every element
// added at the global numbers of its two nodes, as the matrix-free product applies it.
inline dense_op assembled(indices ix, double****** M)
{
    dense_op A{ix.dim, std::vector<double>(std::size_t(ix.dim) * ix.dim, 0.0)};
    for (unsigned int ny = 0; ny < ix.ney; ++ny)
        for (unsigned int nx = 0; nx < ix.nex; ++nx)
            for (unsigned int m = 0; m <= ix.ydeg; ++m)
                for (unsigned int q = 0; q <= ix.xdeg; ++q) {
                    std::size_t row = (ix.ydeg * ny + m) * ix.xdim + ix.xdeg * nx + q;
                    for (unsigned int k = 0; k <= ix.ydeg; ++k)
                        for (unsigned int l = 0; l <= ix.xdeg; ++l)
                            A.a[row * ix.dim + (ix.ydeg * ny + k) * ix.xdim + ix.xdeg * nx + l] +=
                                M[ny][nx][m][q][k][l];
                }
    return A;
}

// P A = L U, with whole rows swapped; solve() applies the factors to a right-hand side.
struct lu_factors {
    unsigned int n;
    std::vector<double> a;
    std::vector<unsigned int> pivot;  // the row swapped with row k at step k

    explicit lu_factors(dense_op const& A) : n(A.n), a(A.a), pivot(A.n)
    {
        for (unsigned int k = 0; k < n; ++k) {
            unsigned int p = k;
            for (unsigned int i = k + 1; i < n; ++i)
                if (std::fabs(a[std::size_t(i) * n + k]) > std::fabs(a[std::size_t(p) * n + k]))
                    p = i;
            pivot[k] = p;
            if (p != k)
                for (unsigned int j = 0; j < n; ++j)
                    std::swap(a[std::size_t(k) * n + j], a[std::size_t(p) * n + j]);
            const double diagonal = a[std::size_t(k) * n + k];
            for (unsigned int i = k + 1; i < n; ++i) {
                double& l = a[std::size_t(i) * n + k];
                if (l == 0.0) continue;
                l /= diagonal;
                for (unsigned int j = k + 1; j < n; ++j)
                    a[std::size_t(i) * n + j] -= l * a[std::size_t(k) * n + j];
            }
        }
    }

    std::vector<double> solve(std::vector<double> x) const
    {
        for (unsigned int k = 0; k < n; ++k) std::swap(x[k], x[pivot[k]]);
        for (unsigned int k = 0; k < n; ++k)
            for (unsigned int i = k + 1; i < n; ++i) x[i] -= a[std::size_t(i) * n + k] * x[k];
        for (unsigned int k = n; k-- > 0;) {
            for (unsigned int j = k + 1; j < n; ++j) x[k] -= a[std::size_t(k) * n + j] * x[j];
            x[k] /= a[std::size_t(k) * n + k];
        }
        return x;
    }
};

// b - A x, each entry summed in long double so that it is not itself rounding noise.
inline std::vector<long double> exact_residual(dense_op const& A, std::vector<double> const& x,
                                               std::vector<double> const& b)
{
    std::vector<long double> r(A.n);
    for (unsigned int i = 0; i < A.n; ++i) {
        long double sum = b[i];
        for (unsigned int j = 0; j < A.n; ++j)
            sum -= (long double)A.a[std::size_t(i) * A.n + j] * x[j];
        r[i] = sum;
    }
    return r;
}

// |A x - b| / |b| in the 2-norm.
inline double relative_residual(dense_op const& A, std::vector<double> const& x,
                                std::vector<double> const& b)
{
    long double rr = 0, bb = 0;
    std::vector<long double> r = exact_residual(A, x, b);
    for (unsigned int i = 0; i < A.n; ++i) {
        rr += r[i] * r[i];
        bb += (long double)b[i] * b[i];
    }
    return double(std::sqrt(rr / bb));
}

// The LU solution, refined once with its residual taken in long double: as close to the
// solution as double precision holds it, also where A is ill-conditioned.
inline std::vector<double> direct_solution(lu_factors const& lu, dense_op const& A,
                                           std::vector<double> const& b)
{
    std::vector<double> x = lu.solve(b);
    std::vector<long double> r = exact_residual(A, x, b);
    std::vector<double> correction = lu.solve(std::vector<double>(r.begin(), r.end()));
    for (unsigned int i = 0; i < A.n; ++i) x[i] += correction[i];
    return x;
}

// |A x - b| / |(|A||x| + |b|)|, the residual in long double: the backward error of x.
inline double backward_error(dense_op const& A, std::vector<double> const& x,
                             std::vector<double> const& b)
{
    std::vector<long double> r = exact_residual(A, x, b);
    long double rr = 0, ss = 0;
    for (unsigned int i = 0; i < A.n; ++i) {
        long double m = std::fabs(b[i]);
        for (unsigned int j = 0; j < A.n; ++j)
            m += std::fabs((long double)A.a[std::size_t(i) * A.n + j] * x[j]);
        rr += r[i] * r[i];
        ss += m * m;
    }
    return double(std::sqrt(rr / ss));
}

inline double max_deviation(std::vector<double> const& x, std::vector<double> const& y)
{
    double m = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) m = std::fmax(m, std::fabs(x[i] - y[i]));
    return m;
}

#endif
