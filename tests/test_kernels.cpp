// The row kernels behind mult and mult_abs: every kernel this processor runs, and mult and mult_abs
// themselves, must give the literal product (with absolute values, the literal loop over |M| and
// |x|) bit for bit, whatever the sizes, on random matrices, on the Poisson problem's own matrices,
// with the output on top of the input, on element matrices that are not one block, and on arrays
// whose row pointers do not follow the block they start in; on the driver's storage both through
// its pointer array and on the record itself, and the solver gives the same run on both.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/mult.h"
#include "core/sem.h"
#include "core/storage.h"
#include "lsolver/bicgstab"
#include "tests/core_fixture.h"
#include "tests/literal.h"

namespace {

struct pointer_product {
    std::string name;
    std::function<void(indices, double******, double const*, double*)> run;
};

struct storage_product {
    std::string name;
    std::function<void(indices, element_matrices const&, double const*, double*)> run;
};

const std::pair<mult_kernel, char const*> kernels[] = {{mult_kernel::portable, "portable"},
                                                       {mult_kernel::avx2, "avx2"}};

// The product, or with `absolute` the product with absolute values.
enum class product_kind { plain, absolute };

// mult (mult_abs) on a pointer array, then each kernel this processor has.
std::vector<pointer_product> pointer_products(product_kind kind)
{
    const bool abs = kind == product_kind::absolute;
    std::vector<pointer_product> v{
        {abs ? "mult_abs" : "mult", [abs](indices ix, double****** M, double const* in, double* out) {
             if (abs)
                 mult_abs(ix, M, in, out);
             else
                 mult(ix, M, in, out);
         }}};
    for (auto const& k : kernels)
        if (mult_kernel_available(k.first))
            v.push_back({std::string(k.second) + (abs ? " absolute" : ""),
                         [k, abs](indices ix, double****** M, double const* in, double* out) {
                             if (abs)
                                 mult_abs_with(k.first, ix, M, in, out);
                             else
                                 mult_with(k.first, ix, M, in, out);
                         }});
    return v;
}

// On the driver's storage: mult (mult_abs) on the record as the programs call it, then each kernel
// on it, and every product through the record's pointer array.
std::vector<storage_product> storage_products(product_kind kind)
{
    const bool abs = kind == product_kind::absolute;
    std::vector<storage_product> v{
        {abs ? "mult_abs on the record" : "mult on the record",
         [abs](indices ix, element_matrices const& M, double const* in, double* out) {
             if (abs)
                 mult_abs(ix, M, in, out);
             else
                 mult(ix, M, in, out);
         }}};
    for (auto const& k : kernels)
        if (mult_kernel_available(k.first))
            v.push_back({std::string(k.second) + (abs ? " absolute" : "") + " on the record",
                         [k, abs](indices ix, element_matrices const& M, double const* in,
                                  double* out) {
                             if (abs)
                                 mult_abs_with(k.first, ix, M, in, out);
                             else
                                 mult_with(k.first, ix, M, in, out);
                         }});
    for (pointer_product const& p : pointer_products(kind))
        v.push_back({p.name + " through the pointers",
                     [p](indices ix, element_matrices const& M, double const* in, double* out) {
                         p.run(ix, M.get(), in, out);
                     }});
    return v;
}

const product_kind both_kinds[] = {product_kind::plain, product_kind::absolute};

std::string shape(indices ix)
{
    return std::to_string(ix.ney) + " " + std::to_string(ix.nex) + " " + std::to_string(ix.ydeg) +
           " " + std::to_string(ix.xdeg);
}

// Empty when a and b agree bit for bit, else the first node where they differ.
std::string first_difference(std::vector<double> const& a, std::vector<double> const& b)
{
    if (a.size() != b.size()) return "sizes differ";
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0)
            return "node " + std::to_string(i) + ": " + testing::PrintToString(a[i]) +
                   " instead of " + testing::PrintToString(b[i]);
    return "";
}

std::vector<double> literal_of(indices ix, double****** M, std::vector<double> const& in,
                               product_kind kind = product_kind::plain)
{
    std::vector<double> out(ix.dim);
    if (kind == product_kind::absolute)
        literal_mult_abs(ix, M, in.data(), out.data());
    else
        literal_mult(ix, M, in.data(), out.data());
    return out;
}

// Each product of the storage m on in, into an output full of garbage, against the literal
// product; and each product with absolute values against the literal loop over |M| and |in|.
void expect_literal(indices ix, element_matrices const& m, std::vector<double> const& in)
{
    for (product_kind kind : both_kinds) {
        const std::vector<double> expected = literal_of(ix, m.get(), in, kind);
        for (storage_product const& k : storage_products(kind)) {
            std::vector<double> out(ix.dim, 1e300);
            k.run(ix, m, in.data(), out.data());
            EXPECT_EQ(first_difference(out, expected), "") << k.name << " on " << shape(ix);
        }
    }
}

// Each product of the pointer array M on in against the literal product, and likewise with
// absolute values.
void expect_literal(indices ix, double****** M, std::vector<double> const& in,
                    std::string const& what)
{
    for (product_kind kind : both_kinds) {
        const std::vector<double> expected = literal_of(ix, M, in, kind);
        for (pointer_product const& k : pointer_products(kind)) {
            std::vector<double> out(ix.dim, 1e300);
            k.run(ix, M, in.data(), out.data());
            EXPECT_EQ(first_difference(out, expected), "")
                << k.name << ", " << what << ", " << shape(ix);
        }
    }
}

// Sizes that give every count of rows left over after the sixteen-row passes (n mod 16, and
// n from 4 to 169), unequal degrees both ways, one element, one row or column of elements.
TEST(MultKernels, EqualLiteralProductOnRandomMatrices)
{
    std::vector<indices> shapes;
    for (unsigned d = 1; d <= 12; ++d) {
        shapes.push_back(sizes(1, 1, d, d));
        shapes.push_back(sizes(2, 3, d, 1));
        shapes.push_back(sizes(3, 2, 1, d));
        shapes.push_back(sizes(2, 2, d, 13 - d));
    }
    for (indices ix : {sizes(1, 7, 2, 3), sizes(5, 1, 3, 2), sizes(4, 3, 4, 4), sizes(3, 4, 8, 8),
                       sizes(2, 5, 5, 7), sizes(1, 1, 3, 6)})
        shapes.push_back(ix);
    std::mt19937_64 rng(2024);
    for (indices ix : shapes) {
        element_matrices m(ix);
        std::vector<double> entries = random_values(matrix_size(ix), rng, 2.0);
        std::memcpy(m.data.get(), entries.data(), entries.size() * sizeof(double));
        expect_literal(ix, m, random_values(ix.dim, rng, 1.0));
    }
}

// Zeros of both signs among tiny and huge magnitudes: every rounding step counts, so a sum taken
// in another order, or a product fused with its sum, shows.
TEST(MultKernels, EqualLiteralProductOnWideMagnitudes)
{
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> pick(0, 5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto value = [&] {
        switch (pick(rng)) {
            case 0: return 0.0;
            case 1: return -0.0;
            case 2: return u(rng) * 1e-200;
            case 3: return u(rng) * 1e150;
            default: return u(rng);
        }
    };
    for (indices ix : {sizes(2, 2, 3, 3), sizes(1, 3, 4, 2), sizes(2, 1, 8, 5)}) {
        element_matrices m(ix);
        for (std::size_t i = 0; i < matrix_size(ix); ++i) m.data[i] = value();
        std::vector<double> in(ix.dim);
        for (double& x : in) x = value();
        expect_literal(ix, m, in);
    }
}

// The Poisson problem's matrices after its boundary conditions, applied to random values and to
// its own load.
TEST(MultKernels, EqualLiteralProductOnPoissonMatrices)
{
    std::mt19937_64 rng(99);
    for (indices ix : {sizes(4, 4, 8, 8), sizes(3, 5, 4, 6), sizes(2, 2, 12, 3), sizes(6, 2, 1, 2)}) {
        discretisation d(ix);
        element_matrices m(ix);
        std::vector<double> load(ix.dim, 0.0);
        quietly([&] {
            fill_matrix(ix, m.get(), d.nodes(), d.msh(), 1.0);
            fill_rhs(ix, load.data(), d.nodes(), d.msh());
            bc(ix, m.get(), load.data(), d.msh(), 1.0);
        });
        expect_literal(ix, m, random_values(ix.dim, rng, 1.0));
        expect_literal(ix, m, load);
    }
}

// out the same array as inn, and out overlapping inn one value further on: the product is that of
// the input as it was on entry.
TEST(MultKernels, OutputOnTopOfInput)
{
    std::mt19937_64 rng(5);
    for (indices ix : {sizes(3, 2, 4, 4), sizes(2, 3, 2, 5), sizes(1, 1, 1, 1)}) {
        element_matrices m(ix);
        std::vector<double> entries = random_values(matrix_size(ix), rng, 2.0);
        std::memcpy(m.data.get(), entries.data(), entries.size() * sizeof(double));
        const std::vector<double> in = random_values(ix.dim, rng, 1.0);
        for (product_kind kind : both_kinds) {
            const std::vector<double> expected = literal_of(ix, m.get(), in, kind);
            for (storage_product const& k : storage_products(kind)) {
                std::vector<double> both = in;
                k.run(ix, m, both.data(), both.data());
                EXPECT_EQ(first_difference(both, expected), "")
                    << k.name << " in place, " << shape(ix);
                for (std::ptrdiff_t shift : {1, -1}) {
                    std::vector<double> buffer(ix.dim + 2, 0.0);
                    double* inn = buffer.data() + 1;
                    std::memcpy(inn, in.data(), ix.dim * sizeof(double));
                    double* out = inn + shift;
                    k.run(ix, m, inn, out);
                    std::vector<double> got(out, out + ix.dim);
                    EXPECT_EQ(first_difference(got, expected), "")
                        << k.name << " out shifted by " << shift << ", " << shape(ix);
                }
            }
        }
    }
}

// Element matrices as a caller may build them: each row its own array, every pointer level its
// own allocation. Mixed with the contiguous storage, element by element, to show that each element
// is recognised on its own.
struct separate_rows {
    std::vector<std::vector<double>> rows;
    std::vector<std::vector<double*>> l5;
    std::vector<std::vector<double**>> l4;
    std::vector<std::vector<double***>> l3;
    std::vector<std::vector<double****>> l2;
    std::vector<double*****> l1;

    // Element (ny, nx) takes copies of its rows in arrays of their own where own(ny, nx), else it
    // points into m. (Moving a vector keeps its storage, so the row pointers stay valid.)
    separate_rows(indices ix, element_matrices const& m, std::function<bool(unsigned, unsigned)> own)
    {
        const unsigned ny1 = ix.ydeg + 1, nx1 = ix.xdeg + 1;
        l1.resize(ix.ney);
        l2.resize(ix.ney);
        for (unsigned ny = 0; ny < ix.ney; ++ny) {
            l2[ny].resize(ix.nex);
            for (unsigned nx = 0; nx < ix.nex; ++nx) {
                l3.emplace_back(ny1);
                for (unsigned i = 0; i < ny1; ++i) {
                    l4.emplace_back(nx1);
                    for (unsigned j = 0; j < nx1; ++j) {
                        l5.emplace_back(ny1);
                        for (unsigned k = 0; k < ny1; ++k) {
                            double* source = m.get()[ny][nx][i][j][k];
                            if (own(ny, nx)) {
                                rows.emplace_back(source, source + nx1);
                                l5.back()[k] = rows.back().data();
                            } else {
                                l5.back()[k] = source;
                            }
                        }
                        l4.back()[j] = l5.back().data();
                    }
                    l3.back()[i] = l4.back().data();
                }
                l2[ny][nx] = l3.back().data();
            }
            l1[ny] = l2[ny].data();
        }
    }
    double****** get() { return l1.data(); }
};

TEST(MultKernels, ElementMatricesNotInOneBlock)
{
    std::mt19937_64 rng(31);
    const std::pair<char const*, std::function<bool(unsigned, unsigned)>> plans[] = {
        {"every element", [](unsigned, unsigned) { return true; }},
        {"every other element", [](unsigned ny, unsigned nx) { return (ny + nx) % 2 == 0; }},
        {"the first element", [](unsigned ny, unsigned nx) { return ny == 0 && nx == 0; }},
        {"the last element", [](unsigned ny, unsigned nx) { return ny == 2 && nx == 1; }},
    };
    for (indices ix : {sizes(3, 2, 4, 4), sizes(3, 2, 2, 5), sizes(3, 2, 1, 1), sizes(3, 2, 8, 3)}) {
        for (auto const& plan : plans) {
            element_matrices m(ix);
            std::vector<double> entries = random_values(matrix_size(ix), rng, 2.0);
            std::memcpy(m.data.get(), entries.data(), entries.size() * sizeof(double));
            separate_rows s(ix, m, plan.second);
            // The block under the separate elements now holds other values: a product that read
            // it instead of the rows the pointers name would show.
            for (unsigned ny = 0; ny < ix.ney; ++ny)
                for (unsigned nx = 0; nx < ix.nex; ++nx)
                    if (plan.second(ny, nx))
                        for (unsigned i = 0; i <= ix.ydeg; ++i)
                            for (unsigned j = 0; j <= ix.xdeg; ++j)
                                for (unsigned k = 0; k <= ix.ydeg; ++k)
                                    for (unsigned l = 0; l <= ix.xdeg; ++l)
                                        m.get()[ny][nx][i][j][k][l] = 3.0;
            const std::vector<double> in = random_values(ix.dim, rng, 1.0);
            EXPECT_NE(first_difference(literal_of(ix, s.get(), in), literal_of(ix, m.get(), in)),
                      "");
            expect_literal(ix, s.get(), in, std::string(plan.first) + " separate");
        }
    }
}

// Arrays whose row pointers start and end where one block would put them, with pointers between
// that lead elsewhere: rows of the element in another order, or a row of another element. The
// product must read the rows the pointers name, like the literal one.
TEST(MultKernels, RowPointersThatLeaveTheBlockOrder)
{
    struct rewiring {
        char const* name;
        std::function<void(separate_rows&, indices)> apply;
    };
    // The trial rows of test node (i, j) of element e (counted in row order), then the test nodes
    // of its local row i, then its local rows, as separate_rows keeps them.
    auto trial_rows = [](separate_rows& s, indices ix, unsigned e, unsigned i,
                         unsigned j) -> std::vector<double*>& {
        return s.l5[(std::size_t(e) * (ix.ydeg + 1) + i) * (ix.xdeg + 1) + j];
    };
    auto test_nodes = [](separate_rows& s, indices ix, unsigned e,
                         unsigned i) -> std::vector<double**>& {
        return s.l4[std::size_t(e) * (ix.ydeg + 1) + i];
    };
    const rewiring cases[] = {
        {"two rows of one test node swapped",
         [&](separate_rows& s, indices ix) {
             std::swap(trial_rows(s, ix, 3, 1, 1)[0], trial_rows(s, ix, 3, 1, 1)[1]);
         }},
        {"rows of two test nodes swapped",
         [&](separate_rows& s, indices ix) {
             std::swap(trial_rows(s, ix, 0, 1, 2)[1], trial_rows(s, ix, 0, 2, 1)[2]);
         }},
        {"two test nodes of one local row swapped",
         [&](separate_rows& s, indices ix) {
             std::swap(test_nodes(s, ix, 5, 1)[0], test_nodes(s, ix, 5, 1)[2]);
         }},
        {"two local rows of test nodes swapped",
         [](separate_rows& s, indices) { std::swap(s.l3[2][1], s.l3[2][2]); }},
        {"a row of another element",
         [&](separate_rows& s, indices ix) {
             trial_rows(s, ix, 1, 1, 1)[1] = trial_rows(s, ix, 4, 2, 2)[2];
         }},
    };
    std::mt19937_64 rng(43);
    // Degrees of at least 3 in y and 2 in x, so that every case leaves the first and the last row
    // of its element where they were.
    for (indices ix :
         {sizes(3, 2, 4, 4), sizes(3, 2, 3, 5), sizes(3, 2, 8, 3), sizes(3, 2, 5, 3)}) {
        element_matrices m(ix);
        std::vector<double> entries = random_values(matrix_size(ix), rng, 2.0);
        std::memcpy(m.data.get(), entries.data(), entries.size() * sizeof(double));
        const std::vector<double> in = random_values(ix.dim, rng, 1.0);
        for (rewiring const& c : cases) {
            separate_rows s(ix, m, [](unsigned, unsigned) { return false; });
            c.apply(s, ix);
            double****** M = s.get();
            for (unsigned ny = 0; ny < ix.ney; ++ny)
                for (unsigned nx = 0; nx < ix.nex; ++nx) {
                    ASSERT_EQ(M[ny][nx][0][0][0], m.get()[ny][nx][0][0][0]) << c.name;
                    ASSERT_EQ(M[ny][nx][ix.ydeg][ix.xdeg][ix.ydeg],
                              m.get()[ny][nx][ix.ydeg][ix.xdeg][ix.ydeg])
                        << c.name;
                }
            EXPECT_NE(first_difference(literal_of(ix, M, in), literal_of(ix, m.get(), in)), "")
                << c.name;
            expect_literal(ix, M, in, c.name);
        }
    }
}

// The programs hand the storage record itself to the solver: the same run, bit for bit, as on its
// pointer array.
TEST(MultKernels, SolverOnTheRecordIsTheRunOnItsPointers)
{
    for (indices ix : {sizes(4, 4, 8, 8), sizes(3, 5, 4, 6)}) {
        program_system sys(ix, 1.0);
        std::vector<double> x_pointers(ix.dim, 0.0), x_record(ix.dim, 0.0);
        const int its_pointers =
            bicgstab(ix, ix.dim, sys.M(), sys.b.data(), x_pointers.data(), eps);
        const int its_record =
            bicgstab(ix, ix.dim, sys.matrix, sys.b.data(), x_record.data(), eps);
        ASSERT_GT(its_pointers, 0);
        EXPECT_EQ(its_record, its_pointers) << shape(ix);
        EXPECT_EQ(first_difference(x_record, x_pointers), "") << shape(ix);
    }
}

}  // namespace
