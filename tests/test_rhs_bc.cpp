// Load vector and boundary conditions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "tests/core_fixture.h"

namespace {

// The Poisson load of a node from its lumped mass m, in the order of evaluation the load uses.
double poisson_load(double m, double x, double y)
{
    double t = ((m * 8.0) * 3.141592653589793) * 3.141592653589793;
    double u = std::sin(x * 6.283185307179586) * t;
    return std::sin(y * 6.283185307179586) * u;
}

std::vector<double> lumped(discretisation const& d, std::vector<double> b)
{
    lumped_mass(d.ix, b.data(), d.nodes(), d.msh());
    return b;
}

// ---------------------------------------------------------------------------------------------
// Load vector

TEST(LumpedMass, SumsToTheArea)
{
    struct area_case {
        unsigned ney, nex, ydeg, xdeg;
        double length;
    };
    const area_case cases[] = {{1, 1, 1, 1, 1.0},   {3, 2, 2, 5, 1.0},   {4, 4, 6, 6, 1.0},
                               {1, 8, 4, 4, 750.0}, {2, 3, 5, 2, 750.0}, {7, 1, 1, 9, 1.0}};
    for (auto const& c : cases) {
        domain_length length(c.length);
        discretisation d(sizes(c.ney, c.nex, c.ydeg, c.xdeg));
        std::vector<double> b = lumped(d, std::vector<double>(d.ix.dim, 0.0));
        double sum = 0.0;
        for (double v : b) {
            EXPECT_GT(v, 0.0);
            sum += v;
        }
        EXPECT_NEAR(sum, c.length, 1e-13 * c.length)
            << c.ney << " " << c.nex << " " << c.ydeg << " " << c.xdeg << " length " << c.length;
    }
}

// Degree 1: a node collects a quarter of each element holding it, added in element order.
TEST(LumpedMass, DegreeOneValuesAndOldContents)
{
    struct mass_case {
        unsigned ney, nex;
        double before;
        std::vector<double> expected;
    };
    const mass_case cases[] = {
        {1, 1, 0.0, {0.25, 0.25, 0.25, 0.25}},
        {2, 2, 0.0, {0.0625, 0.125, 0.0625, 0.125, 0.25, 0.125, 0.0625, 0.125, 0.0625}},
        {2, 2, 1.0, {1.0625, 1.125, 1.0625, 1.125, 1.25, 1.125, 1.0625, 1.125, 1.0625}},
        {1, 1, -3.0, {-2.75, -2.75, -2.75, -2.75}},
    };
    for (auto const& c : cases) {
        discretisation d(sizes(c.ney, c.nex, 1, 1));
        std::vector<double> b = lumped(d, std::vector<double>(d.ix.dim, c.before));
        ASSERT_EQ(b.size(), c.expected.size());
        for (std::size_t n = 0; n < b.size(); ++n)
            EXPECT_EQ(b[n], c.expected[n])
                << c.ney << "x" << c.nex << " from " << c.before << ", node " << n;
    }
}

// The Poisson load is the lumped mass times 8 pi^2 sin(2 pi x) sin(2 pi y) at the node; a vector
// that is not zero has the mass added to its old contents first.
TEST(PoissonLoad, SecondPassOnEveryNode)
{
    struct load_case {
        unsigned ney, nex, ydeg, xdeg;
        double before;
    };
    const load_case cases[] = {
        {2, 2, 1, 1, 0.0}, {3, 2, 2, 5, 0.0}, {4, 4, 4, 4, 0.0}, {2, 3, 3, 2, 0.375}};
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ney << " " << c.nex << " " << c.ydeg << " " << c.xdeg
                                        << " from " << c.before);
        discretisation d(sizes(c.ney, c.nex, c.ydeg, c.xdeg));
        std::vector<double> mass = lumped(d, std::vector<double>(d.ix.dim, c.before));
        std::vector<double> b(d.ix.dim, c.before);
        fill_rhs(d.ix, b.data(), d.nodes(), d.msh());
        for (unsigned r = 0; r < d.ix.ydim; ++r)
            for (unsigned col = 0; col < d.ix.xdim; ++col) {
                unsigned n = r * d.ix.xdim + col;
                coo const& node = d.msh()[r][col];
                EXPECT_EQ(b[n], poisson_load(mass[n], node.x, node.y))
                    << "node " << r << "," << col;
                if (col == 0) {
                    EXPECT_EQ(b[n], 0.0) << "x = 0 on row " << r;
                }
            }
    }
    // The only interior node of 2x2 elements of degree 1 sits where sin(2 pi x) rounds to 1.2e-16.
    discretisation d(sizes(2, 2, 1, 1));
    std::vector<double> b(d.ix.dim, 0.0);
    fill_rhs(d.ix, b.data(), d.nodes(), d.msh());
    EXPECT_GT(std::fabs(b[4]), 1e-31);
    EXPECT_LT(std::fabs(b[4]), 1e-30);
}

// ---------------------------------------------------------------------------------------------
// Boundary conditions

// A Poisson system with its element matrices and load, and copies of both taken before any
// boundary condition.
struct poisson_system {
    discretisation d;
    element_matrices m;
    std::vector<double> rhs;
    std::vector<double> m0;
    std::vector<double> rhs0;

    explicit poisson_system(indices ix) : d(ix), m(ix), rhs(ix.dim, 0.0)
    {
        console_of([&] { fill_matrix(ix, m.get(), d.nodes(), d.msh(), 1.0); });
        fill_rhs(ix, rhs.data(), d.nodes(), d.msh());
        m0.assign(m.data.get(), m.data.get() + matrix_size(ix));
        rhs0 = rhs;
    }
    std::string poisson_bc()
    {
        return console_of([&] { bc(d.ix, m.get(), rhs.data(), d.msh(), 1.0); });
    }
    std::string impose(side_condition const plan[4])
    {
        return console_of([&] { impose_sides(d.ix, m.get(), rhs.data(), plan); });
    }

    // Entry of element (ny, nx), row node (s, r), column node (q, p): now and as fill_matrix left
    // it.
    double at(unsigned ny, unsigned nx, unsigned s, unsigned r, unsigned q, unsigned p) const
    {
        return m.get()[ny][nx][s][r][q][p];
    }
    double before(unsigned ny, unsigned nx, unsigned s, unsigned r, unsigned q, unsigned p) const
    {
        double const* now = &m.get()[ny][nx][s][r][q][p];
        return m0[static_cast<std::size_t>(now - m.data.get())];
    }
    unsigned global(unsigned ny, unsigned nx, unsigned s, unsigned r) const
    {
        return (d.ix.ydeg * ny + s) * d.ix.xdim + d.ix.xdeg * nx + r;
    }
    bool on_side(unsigned g) const
    {
        unsigned row = g / d.ix.xdim, col = g % d.ix.xdim;
        return row == 0 || row == d.ix.ydim - 1 || col == 0 || col == d.ix.xdim - 1;
    }
    // Number of elements holding a node: 1 or 2 per direction.
    unsigned holders(unsigned g) const
    {
        unsigned row = g / d.ix.xdim, col = g % d.ix.xdim;
        unsigned a = (row % d.ix.ydeg == 0 && row > 0 && row < d.ix.ydim - 1) ? 2 : 1;
        unsigned b = (col % d.ix.xdeg == 0 && col > 0 && col < d.ix.xdim - 1) ? 2 : 1;
        return a * b;
    }
};

TEST(BoundaryConditions, ConsoleLines)
{
    poisson_system sys(sizes(2, 2, 2, 2));
    EXPECT_EQ(sys.poisson_bc(),
              "Boundary condition\nDirichlet b.c. UP\nDirichlet b.c. DOWN\nDirichlet b.c. LEFT\n"
              "Dirichlet b.c. RIGHT\n");
}

TEST(BoundaryConditions, OneElementOfDegreeOneBecomesTheIdentity)
{
    poisson_system sys(sizes(1, 1, 1, 1));
    sys.poisson_bc();
    for (unsigned s = 0; s < 2; ++s)
        for (unsigned r = 0; r < 2; ++r)
            for (unsigned q = 0; q < 2; ++q)
                for (unsigned p = 0; p < 2; ++p)
                    EXPECT_EQ(sys.at(0, 0, s, r, q, p), (s == q && r == p) ? 1.0 : 0.0)
                        << s << r << q << p;
    for (double v : sys.rhs) EXPECT_EQ(v, 0.0);
}

// With two node rows or two node columns every node lies on a side: the load vanishes.
TEST(BoundaryConditions, EveryNodeOnASideGivesZeroLoad)
{
    const unsigned shapes[][4] = {{1, 3, 1, 4}, {3, 1, 4, 1}, {1, 1, 1, 6}};
    for (auto const& s : shapes) {
        poisson_system sys(sizes(s[0], s[1], s[2], s[3]));
        sys.poisson_bc();
        for (unsigned n = 0; n < sys.d.ix.dim; ++n)
            EXPECT_EQ(sys.rhs[n], 0.0)
                << s[0] << " " << s[1] << " " << s[2] << " " << s[3] << " node " << n;
    }
}

// Two elements side by side: the nodes they share on UP and DOWN carry half a diagonal in each.
TEST(BoundaryConditions, HalfDiagonalsWhereTwoElementsMeet)
{
    poisson_system sys(sizes(1, 2, 2, 3));
    sys.poisson_bc();
    struct diag_case {
        unsigned nx, s, r;
        double diagonal;
    };
    const diag_case cases[] = {
        {0, 0, 3, 0.5}, {1, 0, 0, 0.5},                                  // UP, mesh column 3
        {0, 2, 3, 0.5}, {1, 2, 0, 0.5},                                  // DOWN, below it
        {0, 0, 0, 1.0}, {0, 2, 0, 1.0}, {1, 0, 3, 1.0}, {1, 2, 3, 1.0},  // the corners
        {0, 1, 0, 1.0}, {1, 1, 3, 1.0}, {0, 0, 1, 1.0}, {1, 2, 2, 1.0},  // other side nodes
    };
    for (auto const& c : cases)
        EXPECT_EQ(sys.at(0, c.nx, c.s, c.r, c.s, c.r), c.diagonal)
            << "element " << c.nx << " node " << c.s << "," << c.r;
}

// After the Poisson conditions: every side node's row and column hold only the diagonal, 0.5 in
// each of two elements sharing it along a side and 1.0 otherwise, so the assembled diagonal is 1;
// its load is 0.0. Loads off the sides and entries between nodes off the sides are untouched.
// (With nex = 1 no UP or DOWN node is shared, with ney = 1 no LEFT or RIGHT node.)
TEST(BoundaryConditions, SideRowsColumnsAndUntouchedRest)
{
    const unsigned shapes[][4] = {{1, 1, 2, 3}, {1, 2, 2, 3}, {3, 1, 2, 2},
                                  {1, 3, 3, 2}, {2, 3, 3, 2}, {3, 3, 1, 1}};
    for (auto const& sh : shapes) {
        SCOPED_TRACE(testing::Message() << sh[0] << " " << sh[1] << " " << sh[2] << " " << sh[3]);
        poisson_system sys(sizes(sh[0], sh[1], sh[2], sh[3]));
        sys.poisson_bc();
        indices ix = sys.d.ix;
        std::vector<double> assembled(ix.dim, 0.0);
        for (unsigned ny = 0; ny < ix.ney; ++ny)
            for (unsigned nx = 0; nx < ix.nex; ++nx)
                for (unsigned s = 0; s <= ix.ydeg; ++s)
                    for (unsigned r = 0; r <= ix.xdeg; ++r) {
                        unsigned g = sys.global(ny, nx, s, r);
                        for (unsigned q = 0; q <= ix.ydeg; ++q)
                            for (unsigned p = 0; p <= ix.xdeg; ++p) {
                                unsigned h = sys.global(ny, nx, q, p);
                                double v = sys.at(ny, nx, s, r, q, p);
                                if (g == h && sys.on_side(g)) {
                                    EXPECT_EQ(v, 1.0 / sys.holders(g)) << "diagonal of node " << g;
                                    assembled[g] += v;
                                } else if (sys.on_side(g) || sys.on_side(h)) {
                                    EXPECT_EQ(v, 0.0) << "entry " << g << "," << h << " in element "
                                                      << ny << "," << nx;
                                } else {
                                    EXPECT_EQ(v, sys.before(ny, nx, s, r, q, p))
                                        << "entry " << g << "," << h;
                                }
                            }
                    }
        for (unsigned g = 0; g < ix.dim; ++g) {
            if (sys.on_side(g)) {
                EXPECT_EQ(assembled[g], 1.0) << "assembled diagonal of node " << g;
                EXPECT_EQ(sys.rhs[g], 0.0) << "load of side node " << g;
            } else {
                EXPECT_EQ(sys.rhs[g], sys.rhs0[g]) << "load of inner node " << g;
            }
        }
    }
}

// A value v on UP and 0.0 elsewhere: a node of the top element row off the sides loses, for each
// element holding it, v times the sum of its row's entries in the columns of that element's UP
// nodes (as fill_matrix left them); the UP nodes carry v, the corners the later side's 0.0.
TEST(BoundaryConditions, LiftOfAValueOnUp)
{
    for (double v : {0.3, -1.75}) {
        SCOPED_TRACE(testing::Message() << "v = " << v);
        poisson_system sys(sizes(2, 3, 3, 2));
        const side_condition plan[4] = {{true, v}, {true, 0.0}, {true, 0.0}, {true, 0.0}};
        sys.impose(plan);
        indices ix = sys.d.ix;
        std::vector<double> expected = sys.rhs0;
        for (unsigned nx = 0; nx < ix.nex; ++nx)
            for (unsigned s = 0; s <= ix.ydeg; ++s)
                for (unsigned r = 0; r <= ix.xdeg; ++r) {
                    unsigned g = sys.global(0, nx, s, r);
                    if (sys.on_side(g)) continue;
                    double sum = 0.0;
                    for (unsigned rr = 0; rr <= ix.xdeg; ++rr)
                        sum += sys.before(0, nx, s, r, 0, rr);
                    expected[g] = expected[g] - v * sum;
                }
        for (unsigned g = 0; g < ix.dim; ++g) {
            unsigned row = g / ix.xdim, col = g % ix.xdim;
            if (row == 0 && col > 0 && col < ix.xdim - 1)
                EXPECT_EQ(sys.rhs[g], v) << "UP node " << g;
            else if (sys.on_side(g))
                EXPECT_EQ(sys.rhs[g], 0.0) << "side node " << g;
            else
                EXPECT_EQ(sys.rhs[g], expected[g])
                    << "node " << g << " (" << (g < ix.xdim * (ix.ydeg + 1) ? "top row" : "below")
                    << ")";
        }
        // The lift is real: the inner nodes next to UP moved.
        EXPECT_NE(sys.rhs[sys.global(0, 0, 1, 1)], sys.rhs0[sys.global(0, 0, 1, 1)]);
    }
}

// Four sides of four values on one element: each corner ends with the value of the later side and
// diagonal 1.0; an inner node loses each side node's entry in its row times the value of the first
// side that visited that node, in the order UP, DOWN, LEFT, RIGHT.
TEST(BoundaryConditions, CornersTakeTheLaterSide)
{
    const double up = 0.7, down = -1.3, left = 2.9, right = 0.45;
    poisson_system sys(sizes(1, 1, 3, 4));
    const side_condition plan[4] = {{true, up}, {true, down}, {true, left}, {true, right}};
    sys.impose(plan);
    const unsigned Y = 3, X = 4;
    struct corner_case {
        unsigned s, r;
        double load;
    };
    const corner_case corners[] = {{0, 0, left}, {0, X, right}, {Y, 0, left}, {Y, X, right}};
    for (auto const& c : corners) {
        EXPECT_EQ(sys.rhs[sys.global(0, 0, c.s, c.r)], c.load) << "corner " << c.s << "," << c.r;
        for (unsigned q = 0; q <= Y; ++q)
            for (unsigned p = 0; p <= X; ++p) {
                double diagonal = (q == c.s && p == c.r) ? 1.0 : 0.0;
                EXPECT_EQ(sys.at(0, 0, c.s, c.r, q, p), diagonal)
                    << "corner row " << c.s << "," << c.r;
                EXPECT_EQ(sys.at(0, 0, q, p, c.s, c.r), diagonal)
                    << "corner column " << c.s << "," << c.r;
            }
    }
    for (unsigned p = 1; p < X; ++p) {
        EXPECT_EQ(sys.rhs[sys.global(0, 0, 0, p)], up);
        EXPECT_EQ(sys.rhs[sys.global(0, 0, Y, p)], down);
    }
    for (unsigned q = 1; q < Y; ++q) {
        EXPECT_EQ(sys.rhs[sys.global(0, 0, q, 0)], left);
        EXPECT_EQ(sys.rhs[sys.global(0, 0, q, X)], right);
    }
    for (unsigned q = 1; q < Y; ++q)
        for (unsigned p = 1; p < X; ++p) {
            double expected = sys.rhs0[sys.global(0, 0, q, p)];
            expected = expected - sys.before(0, 0, q, p, 0, p) * up;
            expected = expected - sys.before(0, 0, q, p, Y, p) * down;
            expected = expected - sys.before(0, 0, q, p, q, 0) * left;
            expected = expected - sys.before(0, 0, q, p, q, X) * right;
            EXPECT_EQ(sys.rhs[sys.global(0, 0, q, p)], expected) << "inner node " << q << "," << p;
        }
}

}  // namespace
