// A whole program held against a direct solve: its system assembled from the element matrices of
// the stages the test links, solved by elimination, and compared with the solution file of the
// program's run.
#ifndef TESTS_DIRECT_CHECK_H
#define TESTS_DIRECT_CHECK_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "lsolver/bicgstab"
#include "tests/core_fixture.h"
#include "tests/direct_solve.h"
#include "tests/program_run.h"

// Runs `program` on the sizes of `ix` and holds its solution file against a direct solve of the
// same system, assembled from the element matrices of the stages the test links. A run that ends
// with exit 0 claims a backward error |Ax - b| / |(|A||x| + |b|)| within the floor of rounding; the
// file must keep that claim and lie no further from the direct solution than |A^-1| times that
// residual. Writing 15 decimals moves each value by up to 5e-16, which the residual of the file may
// add.
inline void expect_direct_agreement(char const* program, char const* file, indices ix, double eta)
{
    SCOPED_TRACE(testing::Message() << program << " " << ix.ney << " " << ix.nex << " " << ix.ydeg
                                    << " " << ix.xdeg);
    program_system sys(ix, eta);
    const dense_op A = assembled(ix, sys.M());
    const unsigned int n = ix.dim;
    const lu_factors lu(A);
    const std::vector<double> x_direct = direct_solution(lu, A, sys.b);
    double inverse_norm = 0.0, matrix_norm = 0.0, bb = 0.0;  // infinity norms of A^-1 and A
    {
        std::vector<double> row_sums(n, 0.0), e(n, 0.0);
        for (unsigned int j = 0; j < n; ++j) {
            e[j] = 1.0;
            std::vector<double> column = lu.solve(e);
            e[j] = 0.0;
            for (unsigned int i = 0; i < n; ++i) row_sums[i] += std::fabs(column[i]);
        }
        for (unsigned int i = 0; i < n; ++i) {
            inverse_norm = std::fmax(inverse_norm, row_sums[i]);
            double sum = 0.0;
            for (unsigned int j = 0; j < n; ++j) sum += std::fabs(A.a[std::size_t(i) * n + j]);
            matrix_norm = std::fmax(matrix_norm, sum);
            bb += sys.b[i] * sys.b[i];
        }
    }
    const double direct_residual = relative_residual(A, x_direct, sys.b);
    EXPECT_LT(direct_residual, 1e-14);

    program_run p;
    p.run(program, std::to_string(ix.ney) + " " + std::to_string(ix.nex) + " " +
                       std::to_string(ix.ydeg) + " " + std::to_string(ix.xdeg) + "\n");
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.err, "");
    const bool at_limit = p.out.find("\n     Tolerance ") != std::string::npos;
    solution rows = read_solution(p.dir / file, ix.xdim, ix.ydim);
    ASSERT_EQ(rows.size(), ix.ydim);
    std::vector<double> x(n);
    for (unsigned int r = 0; r < ix.ydim; ++r)
        for (unsigned int c = 0; c < ix.xdim; ++c) x[r * ix.xdim + c] = rows[r][c].u;
    // The claim as a residual relative to |b|: the multiple of the rounding of the system at x.
    std::vector<double> magnitudes(n);
    mult_abs(ix, A, x.data(), magnitudes.data());
    double scale = 0.0;
    for (unsigned int i = 0; i < n; ++i) {
        const double v = magnitudes[i] + std::fabs(sys.b[i]);
        scale += v * v;
    }
    const double bound = bicgstab_floor * bicgstab_unit_roundoff * std::sqrt(scale / bb);
    const double printing = matrix_norm * 5e-16 * std::sqrt(double(n)) / std::sqrt(bb);
    const double residual = relative_residual(A, x, sys.b);
    EXPECT_LE(residual, bound + printing) << (at_limit ? "at the limit of rounding" : "converged");
    EXPECT_LE(max_deviation(x, x_direct),
              inverse_norm * (bound + printing + direct_residual) * std::sqrt(bb))
        << "|A^-1| " << inverse_norm << ", residual " << residual;
}

#endif
