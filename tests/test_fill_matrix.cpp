// Element matrices: exact entries, structure, the tabulated quadrature against the plain one, and
// the progress lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "tests/core_fixture.h"
#include "tests/literal.h"

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

double channel_profile(double y)
{
    return ((1.0 - y) * 1.5) * (y + 1.0);
}
double constant_profile(double)
{
    return 0.5;
}

// Element matrices of a discretisation, the array first filled with NaN so that an entry left
// unwritten shows.
struct filled {
    discretisation d;
    element_matrices m;

    filled(indices ix, double eta, velocity_profile velocity = nullptr) : d(ix), m(ix)
    {
        std::fill(m.data.get(), m.data.get() + matrix_size(ix), nan_value);
        console_of([&] { fill_matrices(ix, m.get(), d.nodes(), d.msh(), eta, velocity); });
    }
    double entry(unsigned ny, unsigned nx, unsigned s, unsigned r, unsigned q, unsigned p) const
    {
        return m.get()[ny][nx][s][r][q][p];
    }
};

TEST(FillMatrix, DegreeOneEntriesAndViscosity)
{
    filled one(sizes(1, 1, 1, 1), 1.0);
    filled thin(sizes(1, 1, 1, 1), 0.01);
    for (unsigned s = 0; s < 2; ++s)
        for (unsigned r = 0; r < 2; ++r)
            for (unsigned q = 0; q < 2; ++q)
                for (unsigned p = 0; p < 2; ++p) {
                    double expected = (s == q && r == p) ? 1.0 : (s == q || r == p) ? -0.5 : 0.0;
                    EXPECT_EQ(one.entry(0, 0, s, r, q, p), expected) << s << r << q << p;
                    EXPECT_EQ(thin.entry(0, 0, s, r, q, p), expected * 0.01) << s << r << q << p;
                }
}

// The same program stage as the Poisson program calls.
TEST(FillMatrix, ProgramStageIsTheDiffusionMatrix)
{
    indices ix = sizes(2, 3, 2, 3);
    filled ref(ix, 1.0);
    discretisation d(ix);
    element_matrices m(ix);
    console_of([&] { fill_matrix(ix, m.get(), d.nodes(), d.msh(), 1.0); });
    EXPECT_EQ(std::memcmp(m.data.get(), ref.m.data.get(), matrix_size(ix) * sizeof(double)), 0);
}

// Structure that any stiffness matrix of -eta*Laplace has: entries off the node's local row and
// column are exactly +0.0 (garbage overwritten), the matrix is symmetric, constants lie in its
// kernel, and the energy of u = x or u = y is eta times the element's area.
TEST(FillMatrix, DiffusionMatrixStructure)
{
    struct shape {
        unsigned ney, nex, ydeg, xdeg;
        double length, eta;
    };
    const shape shapes[] = {{1, 1, 2, 2, 1.0, 1.0},
                            {2, 3, 3, 5, 1.0, 1.0},
                            {3, 2, 6, 2, 1.0, 0.01},
                            {1, 4, 4, 7, 750.0, 0.002}};
    for (auto const& sh : shapes) {
        SCOPED_TRACE(testing::Message() << sh.ney << " " << sh.nex << " " << sh.ydeg << " "
                                        << sh.xdeg << " length " << sh.length);
        domain_length length(sh.length);
        indices ix = sizes(sh.ney, sh.nex, sh.ydeg, sh.xdeg);
        filled f(ix, sh.eta);
        coo** msh = f.d.msh();
        const double area = (sh.length / ix.nex) * (1.0 / ix.ney);
        for (unsigned ny = 0; ny < ix.ney; ++ny)
            for (unsigned nx = 0; nx < ix.nex; ++nx) {
                // The element's entries are consecutive.
                double const* element = &f.m.get()[ny][nx][0][0][0][0];
                double largest = 0.0;
                for (std::size_t i = 0; i < matrix_size(ix) / (ix.ney * ix.nex); ++i)
                    largest = std::max(largest, std::fabs(element[i]));
                double ex = 0.0, ey = 0.0;  // energies of u = x and u = y
                for (unsigned s = 0; s <= ix.ydeg; ++s)
                    for (unsigned r = 0; r <= ix.xdeg; ++r) {
                        coo const& a = msh[ix.ydeg * ny + s][ix.xdeg * nx + r];
                        double row_sum = 0.0;
                        for (unsigned q = 0; q <= ix.ydeg; ++q)
                            for (unsigned p = 0; p <= ix.xdeg; ++p) {
                                double v = f.entry(ny, nx, s, r, q, p);
                                coo const& b = msh[ix.ydeg * ny + q][ix.xdeg * nx + p];
                                ASSERT_FALSE(std::isnan(v)) << "entry not written";
                                if (s != q && r != p) {
                                    EXPECT_EQ(v, 0.0);
                                    EXPECT_FALSE(std::signbit(v));
                                }
                                EXPECT_NEAR(v, f.entry(ny, nx, q, p, s, r), 1e-13 * largest)
                                    << "symmetry " << s << r << q << p;
                                row_sum += v;
                                ex += a.x * v * b.x;
                                ey += a.y * v * b.y;
                            }
                        EXPECT_NEAR(row_sum, 0.0, 1e-12 * largest) << "row " << s << "," << r;
                    }
                EXPECT_NEAR(ex, sh.eta * area, 1e-10 * sh.eta * area * sh.length * sh.length);
                EXPECT_NEAR(ey, sh.eta * area, 1e-10 * sh.eta * area);
            }
    }
}

// The tabulated quadrature gives the plain quadrature's entries bit for bit.
TEST(FillMatrix, TabulatedEqualsLiteral)
{
    struct bit_case {
        unsigned ney, nex, ydeg, xdeg;
        double length, eta;
        velocity_profile velocity;
        char const* what;
    };
    const bit_case cases[] = {
        {1, 1, 1, 1, 1.0, 1.0, nullptr, "degree 1"},
        {2, 3, 3, 5, 1.0, 1.0, nullptr, "unequal degrees"},
        {3, 2, 4, 2, 1.0, 0.01, nullptr, "eta 0.01"},
        {1, 1, 7, 6, 1.0, 1.0, nullptr, "higher degrees"},
        {2, 3, 2, 4, 750.0, 0.002, nullptr, "long channel"},
        {2, 3, 2, 4, 750.0, 0.002, channel_profile, "long channel with flow"},
        {3, 2, 3, 2, 1.0, 0.01, constant_profile, "constant flow"},
        {2, 2, 5, 3, 1.0, 0.001, channel_profile, "unequal degrees with flow"},
        {1, 1, 1, 1, 1.0, 0.01, constant_profile, "degree 1 with flow"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        domain_length length(c.length);
        indices ix = sizes(c.ney, c.nex, c.ydeg, c.xdeg);
        filled fast(ix, c.eta, c.velocity);
        element_matrices plain(ix);
        std::fill(plain.data.get(), plain.data.get() + matrix_size(ix), nan_value);
        literal_fill_matrices(ix, plain.get(), fast.d.nodes(), fast.d.msh(), c.eta, c.velocity);
        const double* a = fast.m.data.get();
        const double* b = plain.data.get();
        std::size_t first = matrix_size(ix);
        for (std::size_t i = 0; i < matrix_size(ix) && first == matrix_size(ix); ++i)
            if (std::memcmp(a + i, b + i, sizeof(double)) != 0) first = i;
        EXPECT_EQ(first, matrix_size(ix)) << "first difference at entry " << first << ": "
                                          << (first < matrix_size(ix) ? a[first] : 0.0) << " vs "
                                          << (first < matrix_size(ix) ? b[first] : 0.0);
    }
}

// Every number of the text, as the stream writes a double (digits, a point, an exponent), becomes
// #.
std::string masked(std::string const& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            out += text[i++];
            continue;
        }
        while (i < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.'))
            ++i;
        if (i + 1 < text.size() && text[i] == 'e' && (text[i + 1] == '-' || text[i + 1] == '+')) {
            i += 2;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        }
        out += '#';
    }
    return out;
}

TEST(FillMatrix, ProgressLines)
{
    struct progress_case {
        unsigned ney, nex;
        char const* expected;
    };
    const progress_case cases[] = {
        {1, 1, "\nFilling matrix:time estimate to continue=#s\n... matrix prepared after:#s\n"},
        {4, 4, "\nFilling matrix:time estimate to continue=#s\n... matrix prepared after:#s\n"},
        // No element: no estimate, the other two pieces still appear.
        {0, 0, "\nFilling matrix: matrix prepared after:#s\n"},
    };
    for (auto const& c : cases) {
        indices ix = sizes(c.ney, c.nex, 2, 2);
        grid<i_tab> table(ix.ydeg + 1, ix.xdeg + 1);
        pre_table(ix, table.get());
        grid<coo> mesh(ix.ydim, ix.xdim);
        if (ix.ney > 0) gen_mesh(ix, table.get(), mesh.get());
        element_matrices m(ix);
        std::string out =
            console_of([&] { fill_matrix(ix, m.get(), table.get(), mesh.get(), 1.0); });
        EXPECT_EQ(masked(out), c.expected) << c.ney << " x " << c.nex << ": " << out;
    }
}

// The number the stream wrote right after label in text (NaN when the label is missing).
double number_after(std::string const& text, char const* label)
{
    std::size_t pos = text.find(label);
    if (pos == std::string::npos) return nan_value;
    return std::strtod(text.c_str() + pos + std::strlen(label), nullptr);
}

// All elements take the same work, so the element count times the first element's duration is of
// the order of the whole preparation time; tables built once per call must stay out of the
// estimate (counted in, they made it ten times too much on this mesh). Both are clock spans of
// one call, so only their ratio is tested, as the median of a few calls against a disturbed first
// element.
TEST(FillMatrix, EstimateOfTheOrderOfThePreparationTime)
{
    indices ix = sizes(16, 16, 8, 8);
    discretisation d(ix);
    element_matrices m(ix);
    std::vector<double> ratios;
    for (int call = 0; call < 5; ++call) {
        std::string out = console_of([&] { fill_matrix(ix, m.get(), d.nodes(), d.msh(), 1.0); });
        double estimate = number_after(out, "time estimate to continue=");
        double prepared = number_after(out, " matrix prepared after:");
        ASSERT_GT(prepared, 0.0) << out;
        ASSERT_GT(estimate, 0.0) << out;
        ratios.push_back(estimate / prepared);
    }
    std::sort(ratios.begin(), ratios.end());
    const double median = ratios[ratios.size() / 2];
    EXPECT_GT(median, 1.0 / 3.0) << "estimate / preparation time";
    EXPECT_LT(median, 3.0) << "estimate / preparation time";
}

}  // namespace
