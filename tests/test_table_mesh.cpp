// The records, the reference node table with the basis derivatives, and the mesh with its metric
// factors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "tests/core_fixture.h"

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Records

TEST(Records, FieldOrderAndDerivedSizes)
{
    // ydim comes before xdim; the driver fills the record by position.
    indices ix = sizes(3, 2, 2, 5);
    unsigned int fields[7];
    static_assert(sizeof ix == sizeof fields, "seven unsigned 32-bit fields");
    std::memcpy(fields, &ix, sizeof fields);
    const unsigned int expected[7] = {3, 2, 2, 5, 7, 11, 77};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(fields[i], expected[i]) << "field " << i;

    static_assert(sizeof(i_tab) == 3 * sizeof(double), "x, y, w");
    static_assert(offsetof(i_tab, x) == 0 && offsetof(i_tab, y) == 8 && offsetof(i_tab, w) == 16,
                  "x, y, w in this order");
    static_assert(sizeof(coo) == 4 * sizeof(double), "x, y, jac, jac_inv");
    static_assert(offsetof(coo, x) == 0 && offsetof(coo, y) == 8 && offsetof(coo, jac) == 16 &&
                      offsetof(coo, jac_inv) == 24,
                  "x, y, jac, jac_inv in this order");
}

// ---------------------------------------------------------------------------------------------
// Node table

struct table_case {
    unsigned int ydeg, xdeg;
    std::vector<double> x;               // every row
    std::vector<double> y;               // every column, row 0 first
    std::vector<std::vector<double>> w;  // [row][column]
};

TEST(NodeTable, ExactEntries)
{
    const table_case cases[] = {
        {1, 1, {-1.0, 1.0}, {1.0, -1.0}, {{1.0, 1.0}, {1.0, 1.0}}},
        {2,
         2,
         {-1.0, 0.0, 1.0},
         {1.0, 0.0, -1.0},
         {{4.0 / 36.0, 4.0 / 9.0, 4.0 / 36.0},
          {4.0 / 9.0, 4.0 / 2.25, 4.0 / 9.0},
          {4.0 / 36.0, 4.0 / 9.0, 4.0 / 36.0}}},
        {2,
         1,
         {-1.0, 1.0},
         {1.0, 0.0, -1.0},
         {{4.0 / 12.0, 4.0 / 12.0}, {4.0 / 3.0, 4.0 / 3.0}, {4.0 / 12.0, 4.0 / 12.0}}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message() << "ydeg " << c.ydeg << ", xdeg " << c.xdeg);
        indices ix = sizes(1, 1, c.ydeg, c.xdeg);
        grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
        for (unsigned int r = 0; r <= ix.ydeg; ++r)
            for (unsigned int col = 0; col <= ix.xdeg; ++col)
                t.get()[r][col] = {nan_value, nan_value, nan_value};
        pre_table(ix, t.get());
        for (unsigned int r = 0; r <= ix.ydeg; ++r)
            for (unsigned int col = 0; col <= ix.xdeg; ++col) {
                i_tab e = t.get()[r][col];
                EXPECT_EQ(e.x, c.x[col]) << "[" << r << "][" << col << "]";
                EXPECT_EQ(e.y, c.y[r]) << "[" << r << "][" << col << "]";
                EXPECT_EQ(e.w, c.w[r][col]) << "[" << r << "][" << col << "]";
            }
    }
}

// The 1-D weights sum to 2 and are symmetric, so the table sums to 4 and mirrors in both
// directions; x ascends along every row, y descends down every column.
TEST(NodeTable, WeightsAndLayoutForAnyDegrees)
{
    const unsigned int degrees[][2] = {{1, 7}, {3, 3}, {5, 2}, {8, 11}, {16, 4}};
    for (auto const& d : degrees) {
        SCOPED_TRACE(testing::Message() << "ydeg " << d[0] << ", xdeg " << d[1]);
        indices ix = sizes(1, 1, d[0], d[1]);
        grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
        pre_table(ix, t.get());
        i_tab** a = t.get();
        double sum = 0.0;
        for (unsigned int r = 0; r <= ix.ydeg; ++r)
            for (unsigned int c = 0; c <= ix.xdeg; ++c) {
                sum += a[r][c].w;
                EXPECT_GT(a[r][c].w, 0.0);
                EXPECT_EQ(a[r][c].x, a[0][c].x);
                EXPECT_EQ(a[r][c].y, a[r][0].y);
                EXPECT_NEAR(a[r][c].w, a[ix.ydeg - r][ix.xdeg - c].w, 1e-15);
                if (c > 0) {
                    EXPECT_LT(a[r][c - 1].x, a[r][c].x);
                }
                if (r > 0) {
                    EXPECT_GT(a[r - 1][c].y, a[r][c].y);
                }
            }
        EXPECT_NEAR(sum, 4.0, 1e-13);
        EXPECT_EQ(a[0][0].x, -1.0);
        EXPECT_EQ(a[0][ix.xdeg].x, 1.0);
        EXPECT_EQ(a[0][0].y, 1.0);
        EXPECT_EQ(a[ix.ydeg][0].y, -1.0);
    }
}

// ---------------------------------------------------------------------------------------------
// Basis derivatives

struct dfi_case {
    unsigned int ydeg, xdeg;
    unsigned int axis;
    std::vector<std::vector<double>> rows;  // [k][i]
};

TEST(Dfi, ExactRows)
{
    const std::vector<std::vector<double>> deg1 = {{-0.5, 0.5}, {-0.5, 0.5}};
    const std::vector<std::vector<double>> deg2 = {
        {-1.5, 2.0, -0.5}, {-0.5, 0.0, 0.5}, {0.5, -2.0, 1.5}};
    const dfi_case cases[] = {
        {1, 1, 1, deg1},
        {1, 1, 2, deg1},
        {2, 2, 1, deg2},
        {2, 2, 2, deg2},
        // Unequal degrees: each axis uses its own degree.
        {1, 2, 1, deg2},
        {2, 1, 1, deg1},
        {1, 2, 2, deg1},
        {2, 1, 2, deg2},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "ydeg " << c.ydeg << ", xdeg " << c.xdeg << ", axis " << c.axis);
        indices ix = sizes(1, 1, c.ydeg, c.xdeg);
        grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
        pre_table(ix, t.get());
        for (unsigned int k = 0; k < c.rows.size(); ++k)
            for (unsigned int i = 0; i < c.rows.size(); ++i)
                EXPECT_EQ(dfi(ix, k, i, c.axis, t.get()), c.rows[k][i]) << "k=" << k << " i=" << i;
    }
}

// The corner entries are +-N(N+1)/4 of the axis's own degree; along y index 0 is the node -1 in
// the last table row.
TEST(Dfi, CornerEntriesPerAxis)
{
    indices ix = sizes(1, 1, 5, 3);
    grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
    pre_table(ix, t.get());
    EXPECT_EQ(dfi(ix, 0, 0, 1, t.get()), -3.0);
    EXPECT_EQ(dfi(ix, 3, 3, 1, t.get()), 3.0);
    EXPECT_EQ(dfi(ix, 0, 0, 2, t.get()), -7.5);
    EXPECT_EQ(dfi(ix, 5, 5, 2, t.get()), 7.5);
    EXPECT_EQ(dfi(ix, 2, 2, 2, t.get()), 0.0);
}

// Differentiation is exact on polynomials of the degree: the rows annihilate constants and map the
// coordinate to 1. Axis 1 reads row 0 of the table only, axis 2 column 0 only: poisoning the rest
// changes nothing.
TEST(Dfi, DifferentiatesPolynomialsFromItsOwnRowAndColumn)
{
    const unsigned int degrees[][2] = {{1, 4}, {3, 2}, {6, 9}, {12, 5}};
    for (auto const& d : degrees) {
        SCOPED_TRACE(testing::Message() << "ydeg " << d[0] << ", xdeg " << d[1]);
        indices ix = sizes(1, 1, d[0], d[1]);
        grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
        pre_table(ix, t.get());
        i_tab** a = t.get();
        std::vector<double> before;
        for (unsigned int axis = 1; axis <= 2; ++axis) {
            unsigned int deg = axis == 1 ? ix.xdeg : ix.ydeg;
            for (unsigned int k = 0; k <= deg; ++k) {
                double constant = 0.0, linear = 0.0, quadratic = 0.0;
                double xk = axis == 1 ? a[0][k].x : a[deg - k][0].y;
                for (unsigned int i = 0; i <= deg; ++i) {
                    double xi = axis == 1 ? a[0][i].x : a[deg - i][0].y;
                    double v = dfi(ix, k, i, axis, a);
                    before.push_back(v);
                    constant += v;
                    linear += v * xi;
                    quadratic += v * xi * xi;
                }
                double scale = deg * (deg + 1.0);
                EXPECT_NEAR(constant, 0.0, 1e-14 * scale) << "axis " << axis << " k " << k;
                EXPECT_NEAR(linear, 1.0, 1e-14 * scale) << "axis " << axis << " k " << k;
                if (deg >= 2) {
                    EXPECT_NEAR(quadratic, 2.0 * xk, 1e-14 * scale)
                        << "axis " << axis << " k " << k;
                }
            }
        }
        for (unsigned int r = 0; r <= ix.ydeg; ++r)
            for (unsigned int c = 0; c <= ix.xdeg; ++c) {
                if (r > 0) a[r][c].x = nan_value;
                if (c > 0) a[r][c].y = nan_value;
                a[r][c].w = nan_value;
            }
        std::size_t n = 0;
        for (unsigned int axis = 1; axis <= 2; ++axis) {
            unsigned int deg = axis == 1 ? ix.xdeg : ix.ydeg;
            for (unsigned int k = 0; k <= deg; ++k)
                for (unsigned int i = 0; i <= deg; ++i, ++n)
                    EXPECT_EQ(dfi(ix, k, i, axis, a), before[n])
                        << "axis " << axis << " k " << k << " i " << i;
        }
    }
}

TEST(Dfi, OtherAxisPrintsAndGivesZero)
{
    indices ix = sizes(1, 1, 2, 2);
    grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
    pre_table(ix, t.get());
    for (unsigned int axis : {0u, 3u}) {
        double v = 1.0;
        std::string out = console_of([&] { v = dfi(ix, 0, 1, axis, t.get()); });
        EXPECT_EQ(out, "incorrect dimension in 'dfi'!\n") << "axis " << axis;
        EXPECT_EQ(v, 0.0) << "axis " << axis;
    }
}

// ---------------------------------------------------------------------------------------------
// Mesh

TEST(Mesh, OneElementOfDegreeOne)
{
    discretisation d(sizes(1, 1, 1, 1));
    coo** m = d.msh();
    const double expected[2][2][2] = {{{0.0, 1.0}, {1.0, 1.0}}, {{0.0, 0.0}, {1.0, 0.0}}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(m[r][c].x, expected[r][c][0]) << r << "," << c;
            EXPECT_EQ(m[r][c].y, expected[r][c][1]) << r << "," << c;
            EXPECT_EQ(m[r][c].jac, 0.25) << r << "," << c;
            EXPECT_EQ(m[r][c].jac_inv, 4.0) << r << "," << c;
        }
    for (int node = 0; node < 2; ++node) {
        EXPECT_EQ(dxdy(d.ix, 1, 1, 0, node, 0, d.nodes(), m), 0.5);
        EXPECT_EQ(dxdy(d.ix, 2, 2, 0, 0, node, d.nodes(), m), -0.5);
    }
}

// Any pair but (1,1) and (2,2) is 0.0 without touching the table or the mesh.
TEST(Mesh, OtherMetricPairsAreZero)
{
    indices ix = sizes(1, 1, 1, 1);
    const int pairs[][2] = {{1, 2}, {2, 1}, {0, 0}, {3, 3}};
    for (auto const& p : pairs)
        EXPECT_EQ(dxdy(ix, p[0], p[1], 0, 0, 0, nullptr, nullptr), 0.0) << p[0] << "," << p[1];
}

// The last row and column carry the stored edges of the last element row and column, which differ
// from the domain bounds in the last bit; only the corner carries the bounds themselves.
TEST(Mesh, LastRowAndColumnKeepTheElementEdges)
{
    {
        discretisation d(sizes(3, 2, 2, 3));
        coo** m = d.msh();
        const double y_bottom = std::ldexp(1.0, -54);
        for (unsigned int c = 0; c + 1 < d.ix.xdim; ++c)
            EXPECT_EQ(m[d.ix.ydim - 1][c].y, y_bottom) << c;
        EXPECT_EQ(m[d.ix.ydim - 1][d.ix.xdim - 1].y, 0.0);
        EXPECT_EQ(m[d.ix.ydim - 1][d.ix.xdim - 1].x, 1.0);
    }
    {
        discretisation d(sizes(2, 6, 3, 2));
        coo** m = d.msh();
        const double x_right = 1.0 - std::ldexp(1.0, -53);
        for (unsigned int r = 0; r + 1 < d.ix.ydim; ++r)
            EXPECT_EQ(m[r][d.ix.xdim - 1].x, x_right) << r;
        EXPECT_EQ(m[d.ix.ydim - 1][d.ix.xdim - 1].x, 1.0);
        EXPECT_EQ(m[d.ix.ydim - 1][d.ix.xdim - 1].y, 0.0);
    }
}

TEST(Mesh, LongChannelBounds)
{
    domain_length channel(750.0);
    discretisation d(sizes(1, 2, 1, 2));
    coo** m = d.msh();
    const double columns[] = {0.0, 187.5, 375.0, 562.5, 750.0};
    for (unsigned int r = 0; r < d.ix.ydim; ++r)
        for (unsigned int c = 0; c < d.ix.xdim; ++c) {
            EXPECT_EQ(m[r][c].x, columns[c]) << r << "," << c;
            EXPECT_EQ(m[r][c].y, r == 0 ? 1.0 : 0.0) << r << "," << c;
            EXPECT_EQ(m[r][c].jac, 93.75) << r << "," << c;
            EXPECT_EQ(m[r][c].jac_inv, 4.0 / 375.0) << r << "," << c;
        }
    for (int n = 0; n < 2; ++n)
        for (int node = 0; node <= 2; ++node)
            EXPECT_EQ(dxdy(d.ix, 1, 1, n, node, 0, d.nodes(), m), 187.5);
    for (int node = 0; node <= 1; ++node)
        EXPECT_EQ(dxdy(d.ix, 2, 2, 0, 0, node, d.nodes(), m), -0.5);
}

// For any sizes: every field of every node written, column 0 at x = 0 and row 0 at y = 1 exactly,
// x rising along the rows and y falling down the columns, one x per column and one y per row
// (the corner excepted), the node at its place in its element, the Jacobians of the element size
// and the metric factors +width/2 and -height/2.
TEST(Mesh, GeometryForAnySizes)
{
    const unsigned int shapes[][4] = {
        {1, 1, 1, 5}, {3, 2, 2, 5}, {2, 3, 4, 1}, {4, 4, 3, 3}, {1, 7, 6, 2}};
    for (auto const& s : shapes) {
        indices ix = sizes(s[0], s[1], s[2], s[3]);
        SCOPED_TRACE(testing::Message()
                     << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
        grid<i_tab> t(ix.ydeg + 1, ix.xdeg + 1);
        pre_table(ix, t.get());
        grid<coo> mesh(ix.ydim, ix.xdim);
        coo** m = mesh.get();
        for (unsigned int r = 0; r < ix.ydim; ++r)
            for (unsigned int c = 0; c < ix.xdim; ++c)
                m[r][c] = {nan_value, nan_value, nan_value, nan_value};
        gen_mesh(ix, t.get(), m);

        const double dex = 1.0 / ix.nex, dey = 1.0 / ix.ney;
        const unsigned int last_r = ix.ydim - 1, last_c = ix.xdim - 1;
        for (unsigned int r = 0; r < ix.ydim; ++r)
            for (unsigned int c = 0; c < ix.xdim; ++c) {
                coo n = m[r][c];
                ASSERT_FALSE(std::isnan(n.x) || std::isnan(n.y) || std::isnan(n.jac) ||
                             std::isnan(n.jac_inv))
                    << "node " << r << "," << c << " not written";
                if (c > 0) {
                    EXPECT_LT(m[r][c - 1].x, n.x) << r << "," << c;
                }
                if (r > 0) {
                    EXPECT_GT(m[r - 1][c].y, n.y) << r << "," << c;
                }
                if (!(r == last_r && c == last_c)) {
                    EXPECT_EQ(n.x, m[0][c].x) << r << "," << c;
                    EXPECT_EQ(n.y, m[r][0].y) << r << "," << c;
                }
                // Place within the element the node is taken from.
                unsigned int j = c == last_c ? ix.nex - 1 : c / ix.xdeg;
                unsigned int l = c - j * ix.xdeg;
                unsigned int i = r == last_r ? ix.ney - 1 : r / ix.ydeg;
                unsigned int k = r - i * ix.ydeg;
                EXPECT_NEAR(n.x, j * dex + dex * (t.get()[0][l].x + 1.0) / 2.0, 1e-15)
                    << r << "," << c;
                EXPECT_NEAR(n.y, 1.0 - i * dey - dey + dey * (t.get()[k][0].y + 1.0) / 2.0, 1e-15)
                    << r << "," << c;
                EXPECT_NEAR(n.jac, dex * dey / 4.0, 1e-15 * dex * dey);
                EXPECT_NEAR(n.jac_inv, 4.0 / (dex * dey), 1e-13 / (dex * dey));
            }
        for (unsigned int r = 0; r < ix.ydim; ++r) EXPECT_EQ(m[r][0].x, 0.0) << r;
        for (unsigned int c = 0; c < ix.xdim; ++c) EXPECT_EQ(m[0][c].y, 1.0) << c;

        for (unsigned int n = 0; n < ix.nex; ++n)
            for (unsigned int node = 0; node <= ix.xdeg; ++node)
                EXPECT_NEAR(dxdy(ix, 1, 1, int(n), int(node), 0, t.get(), m), dex / 2.0, 1e-14);
        for (unsigned int n = 0; n < ix.ney; ++n)
            for (unsigned int node = 0; node <= ix.ydeg; ++node)
                EXPECT_NEAR(dxdy(ix, 2, 2, int(n), 0, int(node), t.get(), m), -dey / 2.0, 1e-14);
    }
}

}  // namespace
