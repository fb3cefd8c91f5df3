// The matrix-free product over the unassembled element matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "tests/core_fixture.h"
#include "tests/literal.h"

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

void random_matrices(indices ix, element_matrices& m, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    for (std::size_t i = 0; i < matrix_size(ix); ++i) m.data[i] = u(rng);
}

std::vector<double> product(indices ix, element_matrices const& m, std::vector<double> const& in)
{
    std::vector<double> out(ix.dim, 0.0);
    mult(ix, m.get(), in.data(), out.data());
    return out;
}

// Identity element matrices count the elements holding each node: 2 per direction on an element
// junction inside the domain, 1 elsewhere.
TEST(Mult, IdentityMatricesCountTheElementsOfEachNode)
{
    const unsigned shapes[][4] = {
        {1, 1, 2, 3}, {2, 3, 2, 2}, {3, 2, 1, 4}, {2, 2, 4, 4}, {4, 1, 3, 1}};
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> k(-800, 800);
    for (auto const& s : shapes) {
        indices ix = sizes(s[0], s[1], s[2], s[3]);
        SCOPED_TRACE(testing::Message()
                     << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
        element_matrices m(ix);
        for (unsigned ny = 0; ny < ix.ney; ++ny)
            for (unsigned nx = 0; nx < ix.nex; ++nx)
                for (unsigned i = 0; i <= ix.ydeg; ++i)
                    for (unsigned j = 0; j <= ix.xdeg; ++j) m.get()[ny][nx][i][j][i][j] = 1.0;
        std::vector<double> in(ix.dim);
        for (double& v : in) v = k(rng) / 8.0;  // few bits: sums of up to four stay exact
        std::vector<double> out = product(ix, m, in);
        for (unsigned r = 0; r < ix.ydim; ++r)
            for (unsigned c = 0; c < ix.xdim; ++c) {
                unsigned rows = (r % ix.ydeg == 0 && r > 0 && r < ix.ydim - 1) ? 2 : 1;
                unsigned cols = (c % ix.xdeg == 0 && c > 0 && c < ix.xdim - 1) ? 2 : 1;
                unsigned g = r * ix.xdim + c;
                EXPECT_EQ(out[g], in[g] * (rows * cols)) << "node " << r << "," << c;
            }
    }
    // 2 2 4 4: the centre where four elements meet, an edge between two, a corner, an inner node.
    indices ix = sizes(2, 2, 4, 4);
    element_matrices m(ix);
    for (unsigned ny = 0; ny < 2; ++ny)
        for (unsigned nx = 0; nx < 2; ++nx)
            for (unsigned i = 0; i <= 4; ++i)
                for (unsigned j = 0; j <= 4; ++j) m.get()[ny][nx][i][j][i][j] = 1.0;
    std::vector<double> ones(ix.dim, 1.0);
    std::vector<double> out = product(ix, m, ones);
    EXPECT_EQ(out[40], 4.0);
    EXPECT_EQ(out[4], 2.0);
    EXPECT_EQ(out[36], 2.0);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[80], 1.0);
    EXPECT_EQ(out[10], 1.0);
}

// The global numbering as the product applies it: row node (first index pair) is the output,
// column node (second pair) the input. On 2 2 4 4 the centre, number 40 at (0.5, 0.5), is a local
// node of all four elements; the corners are 0, xdim-1, (ydim-1)*xdim and dim-1.
TEST(Mult, GlobalNumberingOfLocalNodes)
{
    struct node_case {
        unsigned ny, nx, i, j;  // row node
        unsigned k, l;          // column node
        unsigned out_node, in_node;
        double x, y;  // of the row node, where it lies on the element's edges
    };
    const node_case cases[] = {
        {0, 0, 4, 4, 4, 4, 40, 40, 0.5, 0.5}, {0, 1, 4, 0, 4, 0, 40, 40, 0.5, 0.5},
        {1, 0, 0, 4, 0, 4, 40, 40, 0.5, 0.5}, {1, 1, 0, 0, 0, 0, 40, 40, 0.5, 0.5},
        {0, 0, 0, 0, 0, 0, 0, 0, 0.0, 1.0},   {0, 1, 0, 4, 0, 4, 8, 8, 1.0, 1.0},
        {1, 0, 4, 0, 4, 0, 72, 72, 0.0, 0.0}, {1, 1, 4, 4, 4, 4, 80, 80, 1.0, 0.0},
        {1, 0, 0, 4, 2, 1, 40, 55, 0.5, 0.5}, {0, 1, 3, 1, 0, 2, 32, 6, nan_value, nan_value},
    };
    indices ix = sizes(2, 2, 4, 4);
    ASSERT_EQ(ix.xdim, 9u);
    ASSERT_EQ(ix.ydim, 9u);
    ASSERT_EQ(ix.dim, 81u);
    discretisation d(ix);
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "element " << c.ny << "," << c.nx << " entry " << c.i << c.j << c.k << c.l);
        coo const& node = d.msh()[ix.ydeg * c.ny + c.i][ix.xdeg * c.nx + c.j];
        if (!std::isnan(c.x)) {
            EXPECT_EQ(node.x, c.x);
            EXPECT_EQ(node.y, c.y);
        }
        element_matrices m(ix);
        m.get()[c.ny][c.nx][c.i][c.j][c.k][c.l] = 1.0;
        for (unsigned h = 0; h < ix.dim; ++h) {
            std::vector<double> in(ix.dim, 0.0);
            in[h] = 1.0;
            std::vector<double> out = product(ix, m, in);
            for (unsigned g = 0; g < ix.dim; ++g)
                if (out[g] != ((g == c.out_node && h == c.in_node) ? 1.0 : 0.0))
                    ADD_FAILURE() << "input node " << h << " gives " << out[g] << " at node " << g;
        }
    }
}

// One element: local and global numbering coincide and the product is the dense product.
TEST(Mult, OneElementIsTheDenseProduct)
{
    indices ix = sizes(1, 1, 2, 3);
    std::mt19937_64 rng(3);
    element_matrices m(ix);
    random_matrices(ix, m, rng);
    std::vector<double> in = random_values(ix.dim, rng);
    std::vector<double> expected(ix.dim);
    for (unsigned ii = 0; ii <= ix.ydeg; ++ii)
        for (unsigned jj = 0; jj <= ix.xdeg; ++jj) {
            double sum = 0.0;
            for (unsigned col = 0; col < ix.dim; ++col)
                sum = m.get()[0][0][ii][jj][col / ix.xdim][col % ix.xdim] * in[col] + sum;
            expected[ii * ix.xdim + jj] = 0.0 + sum;
        }
    EXPECT_TRUE(same_bits(product(ix, m, in), expected));
}

// Whatever out held has no effect, inn stays as it was, and out may be inn itself.
TEST(Mult, GarbageInOutputAndAliasedArrays)
{
    const unsigned shapes[][4] = {{2, 3, 3, 2}, {1, 1, 1, 1}, {3, 2, 4, 4}};
    std::mt19937_64 rng(5);
    for (auto const& s : shapes) {
        indices ix = sizes(s[0], s[1], s[2], s[3]);
        SCOPED_TRACE(testing::Message()
                     << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
        element_matrices m(ix);
        random_matrices(ix, m, rng);
        std::vector<double> in = random_values(ix.dim, rng);
        std::vector<double> const kept = in;
        std::vector<double> reference = product(ix, m, in);
        EXPECT_TRUE(same_bits(in, kept)) << "input changed";

        std::vector<double> garbage(ix.dim, nan_value);
        mult(ix, m.get(), in.data(), garbage.data());
        EXPECT_TRUE(same_bits(garbage, reference)) << "NaN in the output beforehand";
        std::vector<double> huge(ix.dim, 1e300);
        mult(ix, m.get(), in.data(), huge.data());
        EXPECT_TRUE(same_bits(huge, reference)) << "1e300 in the output beforehand";

        std::vector<double> both = in;
        mult(ix, m.get(), both.data(), both.data());
        EXPECT_TRUE(same_bits(both, reference)) << "out the same array as inn";
    }
}

// With no elements the output is all zeros.
TEST(Mult, NoElementsGivesZeros)
{
    for (indices ix : {sizes(0, 2, 1, 1), sizes(2, 0, 3, 1)}) {
        element_matrices m(ix);
        std::vector<double> in(ix.dim, 1.0);
        std::vector<double> out(ix.dim, nan_value);
        mult(ix, m.get(), in.data(), out.data());
        for (double v : out) EXPECT_EQ(v, 0.0);
    }
}

// The product keeps the plain loop's order of summation: equal bit for bit on random data.
TEST(Mult, EqualsLiteralProduct)
{
    const unsigned shapes[][4] = {{1, 1, 1, 1}, {2, 3, 2, 4}, {4, 1, 3, 1}, {3, 3, 5, 5},
                                  {1, 5, 1, 7}, {5, 2, 2, 3}, {2, 2, 8, 6}};
    std::mt19937_64 rng(17);
    for (auto const& s : shapes) {
        indices ix = sizes(s[0], s[1], s[2], s[3]);
        element_matrices m(ix);
        random_matrices(ix, m, rng);
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<double> in = random_values(ix.dim, rng);
            std::vector<double> fast(ix.dim, nan_value), plain(ix.dim, nan_value);
            mult(ix, m.get(), in.data(), fast.data());
            literal_mult(ix, m.get(), in.data(), plain.data());
            std::size_t first = 0;
            while (first < ix.dim && std::memcmp(&fast[first], &plain[first], sizeof(double)) == 0)
                ++first;
            EXPECT_EQ(first, ix.dim) << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg
                                     << " trial " << trial << ": first difference at node " << first
                                     << ", " << (first < ix.dim ? fast[first] : 0.0)
                                     << " instead of " << (first < ix.dim ? plain[first] : 0.0);
        }
    }
}

}  // namespace
