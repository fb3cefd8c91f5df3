// The stages of the convection-diffusion programs: the element matrices with transport 0.5 du/dx,
// the unit load with its point source, and the side plan with the natural outflow on the right.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "problems/convdiff01/convdiff.h"
#include "tests/core_fixture.h"
#include "tests/direct_check.h"
#include "lsolver/bicgstab"
#include "tests/literal.h"
#include "tests/literal_bicgstab.h"
#include "tests/transport_check.h"

namespace {

double constant_flow(double)
{
    return 0.5;
}

// One element of degree 1 on the unit square: the diffusion entries are eta*1.0, eta*(-0.5) and
// 0.0, and within a local row the transport adds -+0.125 (trial node in column 0, 1) for both
// columns of the test node: the flow goes towards +x. convdiff01 and convdiff001 differ only by eta.
TEST(ConvdiffMatrix, OneElementOfDegreeOne)
{
    for (double eta : {0.01, 0.001}) {
        SCOPED_TRACE(eta);
        discretisation d(sizes(1, 1, 1, 1));
        element_matrices M(d.ix);
        quietly([&] { fill_matrix(d.ix, M.get(), d.nodes(), d.msh(), eta); });
        double**** E = M.get()[0][0];
        for (unsigned int ss = 0; ss < 2; ++ss)
            for (unsigned int rr = 0; rr < 2; ++rr)
                for (unsigned int qq = 0; qq < 2; ++qq)
                    for (unsigned int pp = 0; pp < 2; ++pp) {
                        double expected;
                        if (qq == ss && pp == rr)
                            expected = rr == 0 ? eta * 1.0 - 0.125 : eta * 1.0 + 0.125;
                        else if (qq == ss)
                            expected = rr == 0 ? eta * (-0.5) + 0.125 : eta * (-0.5) - 0.125;
                        else if (pp == rr)
                            expected = eta * (-0.5);
                        else
                            expected = 0.0;
                        EXPECT_EQ(E[ss][rr][qq][pp], expected)
                            << "test (" << ss << "," << rr << ") trial (" << qq << "," << pp << ")";
                    }
    }
}

// On larger meshes: every entry is the plain quadrature with the velocity 0.5; the transport stays
// within the test node's local row, and its row sums vanish (a constant is not transported).
TEST(ConvdiffMatrix, TransportAgainstPlainQuadratureAndRowSums)
{
    for (indices ix : {sizes(2, 3, 3, 4), sizes(1, 2, 5, 2), sizes(3, 1, 2, 6)})
        expect_transport(ix, 0.01, fill_matrix, constant_flow, [](unsigned int, unsigned int) { return false; });
}

struct source_case {
    unsigned int ney, nex, ydeg, xdeg;
    unsigned int node;    // (ydim/4)*xdim + xdim/4
    bool on_dirichlet;    // in mesh row 0 or column 0
};

// The node gets exactly 10.0, whatever the number of elements that hold it, every other node its
// lumped mass; where it lies on a Dirichlet side the boundary conditions replace it with 0.
TEST(ConvdiffLoad, PointSource)
{
    const source_case cases[] = {
        {4, 4, 1, 1, 6, false},    // x = 0.25, y = 0.75: a corner of four elements
        {2, 2, 2, 2, 6, false},    // the middle row of the upper element row, y = 0.75
        {1, 1, 4, 4, 6, false},    // the second GLL row of the single element
        {3, 5, 2, 3, 20, false},   // ydim 7, xdim 16
        {2, 4, 2, 1, 6, false},    // shared by the two elements of a column boundary
        {1, 2, 2, 2, 1, true},     // ydim 3: mesh row 0 (up)
        {2, 1, 2, 2, 3, true},     // xdim 3: mesh column 0 (left)
        {1, 1, 1, 1, 0, true},     // the corner up left
    };
    for (source_case const& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ney << " " << c.nex << " " << c.ydeg << " " << c.xdeg);
        discretisation d(sizes(c.ney, c.nex, c.ydeg, c.xdeg));
        std::vector<double> b(d.ix.dim, 0.0), mass(d.ix.dim, 0.0);
        fill_rhs(d.ix, b.data(), d.nodes(), d.msh());
        lumped_mass(d.ix, mass.data(), d.nodes(), d.msh());
        for (unsigned int i = 0; i < d.ix.dim; ++i)
            EXPECT_EQ(b[i], i == c.node ? 10.0 : mass[i]) << "node " << i;
        if (c.ney == 4) { EXPECT_EQ(mass[c.node + 1], 0.0625); }

        element_matrices M(d.ix);
        quietly([&] {
            fill_matrix(d.ix, M.get(), d.nodes(), d.msh(), 0.01);
            bc(d.ix, M.get(), b.data(), d.msh(), 0.01);
        });
        EXPECT_EQ(b[c.node], c.on_dirichlet ? 0.0 : 10.0);
    }
}

// Zero up, down and left, every lift by zero: the loads stay those of fill_rhs but on those three
// sides; the free nodes of the right side keep their loads and their diagonal entries, its two
// corners are Dirichlet nodes.
TEST(ConvdiffBc, SidePlan)
{
    const indices meshes[] = {sizes(3, 4, 2, 3), sizes(2, 1, 3, 1), sizes(1, 3, 1, 2)};
    for (indices ix : meshes) {
        SCOPED_TRACE(testing::Message() << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
        discretisation d(ix);
        element_matrices M(ix), before(ix);
        std::vector<double> b(ix.dim, 0.0);
        quietly([&] {
            fill_matrix(ix, M.get(), d.nodes(), d.msh(), 0.01);
            fill_matrix(ix, before.get(), d.nodes(), d.msh(), 0.01);
        });
        fill_rhs(ix, b.data(), d.nodes(), d.msh());
        std::vector<double> loads = b;
        std::string console = console_of([&] { bc(ix, M.get(), b.data(), d.msh(), 0.01); });
        EXPECT_EQ(console,
                  "Boundary condition\nDirichlet b.c. UP\nDirichlet b.c. DOWN\n"
                  "Dirichlet b.c. LEFT\nNeumann b.c. RIGHT\n");
        for (unsigned int r = 0; r < ix.ydim; ++r)
            for (unsigned int c = 0; c < ix.xdim; ++c) {
                bool dirichlet = r == 0 || r == ix.ydim - 1 || c == 0;
                unsigned int n = r * ix.xdim + c;
                EXPECT_EQ(b[n], dirichlet ? 0.0 : loads[n]) << "node " << r << "," << c;
            }
        const unsigned int ex = ix.nex - 1, lx = ix.xdeg;
        for (unsigned int ny = 0; ny < ix.ney; ++ny)
            for (unsigned int q = 0; q <= ix.ydeg; ++q) {
                unsigned int r = ny * ix.ydeg + q;
                double diagonal = M.get()[ny][ex][q][lx][q][lx];
                if (r == 0 || r == ix.ydim - 1)
                    EXPECT_EQ(diagonal, 1.0) << "corner in row " << r;
                else
                    EXPECT_EQ(diagonal, before.get()[ny][ex][q][lx][q][lx]) << "row " << r;
            }
    }
}

// 4x4 elements of degree 2: the plain iteration breaks down (rT.Ad vanishes) far from the
// solution; the solver restarts from its best iterate and brings x to the floor of rounding.
TEST(ConvdiffSolver, BreakdownFarFromTheSolutionIsRestarted)
{
    indices ix = sizes(4, 4, 2, 2);
    program_system sys(ix, 0.001);
    double****** M = sys.M();
    std::vector<double> x_plain(ix.dim, 0.0), x(ix.dim, 0.0);
    literal_run plain = literal_bicgstab(ix, ix.dim, M, sys.b.data(), x_plain.data(), eps, false);
    ASSERT_TRUE(plain.broke_down);
    double bb = ddot(int(ix.dim), sys.b.data(), 1, sys.b.data(), 1);
    EXPECT_GT(*std::min_element(plain.rr.begin(), plain.rr.end()), 1e-8 * bb);

    bicgstab_report report;
    int its = bicgstab(ix, ix.dim, M, sys.b.data(), x.data(), eps, false, report);
    EXPECT_GT(its, plain.its);
    EXPECT_NE(report.status, bicgstab_status::no_convergence);
    EXPECT_LE(report.backward_error, 16 * bicgstab_unit_roundoff);
    EXPECT_LT(report.relative_residual, 1e-12);
}

// 4x1 elements of degree 8 x 6: the plain iteration reaches about 3e-14 of |b|, never lower, and
// then climbs away from it. The solver follows it line for line to that best, ends the round a
// stretch in proportion to the run after it, not thousands of iterations, and a new round from the
// best iterate meets the tolerance.
TEST(ConvdiffSolver, StallAfterTheBestRestartsFromTheBestIterate)
{
    indices ix = sizes(4, 1, 8, 6);
    program_system sys(ix, 0.001);
    double****** M = sys.M();
    const int window = 4000;
    std::vector<double> x_plain(ix.dim, 0.0);
    literal_run plain;
    std::string plain_lines = console_of([&] { plain = literal_bicgstab(ix, ix.dim, M, sys.b.data(), x_plain.data(), eps, true, window); });
    ASSERT_FALSE(plain.broke_down);
    ASSERT_EQ(plain.its, window) << "the plain run converged";
    int best = int(std::min_element(plain.rr.begin(), plain.rr.end()) - plain.rr.begin());
    double bb = ddot(int(ix.dim), sys.b.data(), 1, sys.b.data(), 1);
    EXPECT_LE(std::sqrt(plain.rr[best] / bb), 1e-13);

    std::vector<double> x(ix.dim, 0.0);
    bicgstab_report report;
    int its = 0;
    std::string lines = console_of([&] { its = bicgstab(ix, ix.dim, M, sys.b.data(), x.data(), eps, true, report); });
    EXPECT_GT(its, best);
    EXPECT_LT(its, 2 * best);
    const std::size_t to_best = plain_lines.find("bicgstab " + std::to_string(best) + "\t");
    EXPECT_EQ(lines.substr(0, to_best), plain_lines.substr(0, to_best));
    EXPECT_EQ(report.status, bicgstab_status::converged);
    EXPECT_LE(report.relative_residual, 1e-13);
}

// The answers of runs that exit 0 against a direct solve of the assembled system: one that
// reaches the tolerance, and one that stops at the limit of rounding.
TEST(ConvdiffPrograms, AgreeWithADirectSolve)
{
    expect_direct_agreement("convdiff01", "SINGUL_01.dat", sizes(1, 6, 2, 7), 0.01);
    expect_direct_agreement("convdiff001", "SINGUL_001.dat", sizes(1, 8, 7, 3), 0.001);
}

}  // namespace
