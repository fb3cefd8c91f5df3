// The stages of the Poiseuille program on (0,750)x(0,1): transport by the parabolic profile
// 1.5(1-y)(1+y), the zero load, and the side plan: the wall (up) at 1, the inlet (left) at 0,
// natural conditions on the axis (down) and at the outlet (right).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "problems/poiseuille/poiseuille.h"
#include "tests/core_fixture.h"
#include "tests/direct_check.h"
#include "tests/literal.h"
#include "tests/transport_check.h"

namespace {

const double eta = 0.002;

double parabolic_profile(double y)
{
    return ((1.0 - y) * 1.5) * (y + 1.0);
}

// One element of degree 1: the upper local row lies on the wall, where the flow stands still, so its
// entries are the diffusion entries; the lower one lies on the axis (velocity 1.5) and its row
// gets -0.375 at the trial node of local column 0 and +0.375 at that of column 1.
TEST(PoiseuilleMatrix, OneElementOfDegreeOne)
{
    discretisation d(sizes(1, 1, 1, 1));
    ASSERT_EQ(d.msh()[1][1].x, 750.0);
    element_matrices M(d.ix), D(d.ix);
    quietly([&] {
        fill_matrix(d.ix, M.get(), d.nodes(), d.msh(), eta);
        fill_matrices(d.ix, D.get(), d.nodes(), d.msh(), eta, nullptr);
    });
    double**** m = M.get()[0][0];
    double**** dd = D.get()[0][0];
    for (unsigned int ss = 0; ss < 2; ++ss)
        for (unsigned int rr = 0; rr < 2; ++rr)
            for (unsigned int qq = 0; qq < 2; ++qq)
                for (unsigned int pp = 0; pp < 2; ++pp) {
                    double expected = dd[ss][rr][qq][pp];
                    if (ss == 1 && qq == 1) expected = pp == 0 ? expected - 0.375 : expected + 0.375;
                    EXPECT_EQ(m[ss][rr][qq][pp], expected)
                        << "test (" << ss << "," << rr << ") trial (" << qq << "," << pp << ")";
                }
}

// On larger meshes: every entry is the plain quadrature with the profile taken at the test node;
// the transport stays within the test node's local row and its row sums vanish.
TEST(PoiseuilleMatrix, TransportAgainstPlainQuadratureAndRowSums)
{
    // No transport on the wall, where the flow stands still.
    for (indices ix : {sizes(2, 3, 2, 2), sizes(3, 5, 4, 3), sizes(1, 4, 3, 5)})
        expect_transport(ix, eta, fill_matrix, parabolic_profile,
                         [](unsigned int ny, unsigned int ss) { return ny == 0 && ss == 0; });
}

TEST(PoiseuilleLoad, ZeroEverywhere)
{
    for (indices ix : {sizes(1, 1, 1, 1), sizes(2, 3, 2, 4), sizes(4, 2, 3, 3)}) {
        discretisation d(ix);
        std::vector<double> b(ix.dim, 0.0);
        fill_rhs(ix, b.data(), d.nodes(), d.msh());
        for (unsigned int i = 0; i < ix.dim; ++i) {
            EXPECT_EQ(b[i], 0.0) << "node " << i;
            EXPECT_FALSE(std::signbit(b[i])) << "node " << i;
        }
    }
}

// After the boundary conditions: 1.0 on the wall but at the inlet corner, 0.0 at the inlet; every
// other node of the top element row carries minus the lift of the wall value, the sum of its
// row's entries in the columns of its elements' wall nodes; below the top element row the load
// stays 0. The inlet corner on the wall ends with 0.0 and diagonal 1.0; the corner of axis and
// outlet is visited by no pass and keeps its diagonal entry.
TEST(PoiseuilleBc, SidePlanCornersAndLifts)
{
    const indices meshes[] = {sizes(2, 3, 2, 2), sizes(1, 3, 2, 3), sizes(3, 2, 3, 1)};
    for (indices ix : meshes) {
        SCOPED_TRACE(testing::Message() << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
        discretisation d(ix);
        element_matrices M(ix), before(ix);
        quietly([&] {
            fill_matrix(ix, M.get(), d.nodes(), d.msh(), eta);
            fill_matrix(ix, before.get(), d.nodes(), d.msh(), eta);
        });
        std::vector<double> b(ix.dim, 0.0);
        fill_rhs(ix, b.data(), d.nodes(), d.msh());
        std::string console = console_of([&] { bc(ix, M.get(), b.data(), d.msh(), eta); });
        EXPECT_EQ(console,
                  "Boundary condition\nDirichlet b.c. UP\nNeumann b.c. DOWN\n"
                  "Dirichlet b.c. LEFT\nNeumann b.c. RIGHT\n");

        for (unsigned int r = 0; r < ix.ydim; ++r)
            for (unsigned int c = 0; c < ix.xdim; ++c) {
                double load = b[r * ix.xdim + c];
                if (c == 0) {
                    EXPECT_EQ(load, 0.0) << "inlet node " << r;
                } else if (r == 0) {
                    EXPECT_EQ(load, 1.0) << "wall node " << c;
                } else if (r > ix.ydeg) {
                    EXPECT_EQ(load, 0.0) << "node " << r << "," << c;
                } else {
                    double lift = 0.0, size = 0.0;
                    for (unsigned int nx = 0; nx < ix.nex; ++nx) {
                        if (c < nx * ix.xdeg || c > (nx + 1) * ix.xdeg) continue;
                        double** row = before.get()[0][nx][r][c - nx * ix.xdeg];
                        for (unsigned int t = 0; t <= ix.xdeg; ++t) {
                            lift += row[0][t];
                            size += std::fabs(row[0][t]);
                        }
                    }
                    EXPECT_NEAR(load, -lift, 1e-13 * size) << "node " << r << "," << c;
                }
            }
        EXPECT_EQ(M.get()[0][0][0][0][0][0], 1.0);
        const unsigned int ny = ix.ney - 1, nx = ix.nex - 1, q = ix.ydeg, p = ix.xdeg;
        EXPECT_EQ(M.get()[ny][nx][q][p][q][p], before.get()[ny][nx][q][p][q][p]);
    }
}

// The answer of a run that exits 0 against a direct solve of the assembled system.
TEST(PoiseuilleProgram, AgreesWithADirectSolve)
{
    expect_direct_agreement("poiseuille", "POISEUILLE.dat", sizes(7, 5, 8, 3), eta);
}

}  // namespace
