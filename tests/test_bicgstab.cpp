// The solver against the plain iteration: runs that converge are the plain iteration bit for bit;
// where the plain iteration breaks down, produces non-finite values, diverges or stalls at the
// limit of rounding, the solver returns its best iterate and says how far it got.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/sem.h"
#include "core/storage.h"
#include "lsolver/bicgstab"
#include "tests/core_fixture.h"
#include "tests/direct_solve.h"
#include "tests/literal.h"
#include "tests/literal_bicgstab.h"

namespace {

// A dense operator whose product number `bad_call` (counted from 1), and every later one unless
// `once`, has a poisoned first entry.
struct faulty_op {
    dense_op A;
    int bad_call;
    bool once;
    double poison;
    mutable int calls = 0;
};

void mult(indices ix, faulty_op const& F, double const* in, double* out)
{
    mult(ix, F.A, in, out);
    ++F.calls;
    if (F.calls == F.bad_call || (!F.once && F.calls > F.bad_call)) out[0] = F.poison;
}

// The scale of the rounding is that of the matrix itself.
void mult_abs(indices ix, faulty_op const& F, double const* in, double* out)
{
    mult_abs(ix, F.A, in, out);
}

indices vector_sizes(unsigned int n)
{
    return indices{1, 1, 1, 1, 1, 1, n};
}

// A well-conditioned, non-symmetric system.
dense_op random_system(unsigned int n, unsigned int seed)
{
    std::mt19937_64 rng(seed);
    dense_op A{n, random_values(std::size_t(n) * n, rng, n / 2.0)};
    for (unsigned int i = 0; i < n; ++i) A.a[i * n + i] += 2.0 * n;
    return A;
}

std::vector<double> random_vector(unsigned int n, unsigned int seed)
{
    std::mt19937_64 rng(seed);
    return random_values(n, rng);
}

bool all_finite(std::vector<double> const& v)
{
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

double max_magnitude(std::vector<double> const& v)
{
    return max_deviation(v, std::vector<double>(v.size(), 0.0));
}

// A backward error this small is as good as double precision gives on these systems: the plain
// iteration's answers lie within 0.3 to 2.5 u on them.
const double sharp = 4 * bicgstab_unit_roundoff;

// A shifted Laplacian on an m x m grid, L - sigma I with sigma just below its least eigenvalue
// (by a relative `gap`), and a load along the eigenvector of that eigenvalue: |(|A||x| + |b|)| is
// about 8 / (gap least) times |b|, so the residual of any x in double precision is that many
// times u |b|.
struct near_singular {
    dense_op A;
    std::vector<double> b;
};

near_singular shifted_laplacian(unsigned int m, double gap)
{
    const unsigned int n = m * m;
    const double pi_ = 3.141592653589793;
    const double least = 8.0 * std::pow(std::sin(pi_ / (2.0 * (m + 1))), 2);
    const double sigma = least * (1.0 - gap);
    near_singular s{dense_op{n, std::vector<double>(std::size_t(n) * n, 0.0)}, std::vector<double>(n)};
    std::vector<double> mode(n);
    for (unsigned int i = 0; i < m; ++i)
        for (unsigned int j = 0; j < m; ++j) {
            const std::size_t k = i * m + j;
            s.A.a[k * n + k] = 4.0 - sigma;
            if (i > 0) s.A.a[k * n + k - m] = -1.0;
            if (i + 1 < m) s.A.a[k * n + k + m] = -1.0;
            if (j > 0) s.A.a[k * n + k - 1] = -1.0;
            if (j + 1 < m) s.A.a[k * n + k + 1] = -1.0;
            mode[k] = std::sin(pi_ * (i + 1.0) / (m + 1)) * std::sin(pi_ * (j + 1.0) / (m + 1));
        }
    mult(vector_sizes(n), s.A, mode.data(), s.b.data());
    return s;
}

// Runs that converge: the same count, the same per-iteration lines and the same x, bit for bit,
// as the plain iteration; b and the operator are left as they were.
TEST(Bicgstab, ConvergingRunsAreThePlainIteration)
{
    for (indices ix : {sizes(2, 2, 4, 4), sizes(4, 4, 8, 8), sizes(3, 5, 6, 3), sizes(1, 1, 2, 5)}) {
        SCOPED_TRACE(testing::Message() << ix.ney << " " << ix.nex << " " << ix.ydeg << " " << ix.xdeg);
        program_system sys(ix, 1.0);
        std::vector<double> b0 = sys.b, m0 = sys.entries();
        std::vector<double> x_plain(ix.dim, 0.0), x(ix.dim, 0.0);
        double****** M = sys.M();
        literal_run plain;
        std::string plain_lines = console_of([&] { plain = literal_bicgstab(ix, ix.dim, M, sys.b.data(), x_plain.data(), eps, true); });
        ASSERT_FALSE(plain.broke_down);
        bicgstab_report report;
        int its = 0;
        std::string lines = console_of([&] { its = bicgstab(ix, ix.dim, M, sys.b.data(), x.data(), eps, true, report); });
        EXPECT_EQ(its, plain.its);
        EXPECT_EQ(lines, plain_lines);
        EXPECT_TRUE(same_bits(x, x_plain));
        EXPECT_EQ(report.status, bicgstab_status::converged);
        EXPECT_LT(report.relative_residual, 1e-13);
        EXPECT_TRUE(same_bits(sys.b, b0));
        EXPECT_TRUE(same_bits(sys.entries(), m0));

        // The 6-argument form: the same solution, and silent.
        std::vector<double> x6(ix.dim, 0.0);
        std::string quiet = console_of([&] { its = bicgstab(ix, ix.dim, M, sys.b.data(), x6.data(), eps); });
        EXPECT_EQ(quiet, "");
        EXPECT_EQ(its, plain.its);
        EXPECT_TRUE(same_bits(x6, x_plain));
    }

    // A dense non-symmetric system: k lines numbered 0 to k-1, the last one meeting the test.
    dense_op A = random_system(40, 7);
    std::vector<double> b = random_vector(40, 8), x_plain(40, 0.0), x(40, 0.0);
    literal_run plain;
    std::string plain_lines = console_of([&] { plain = literal_bicgstab(vector_sizes(40), 40, A, b.data(), x_plain.data(), 1e-13, true); });
    int its = 0;
    std::string lines = console_of([&] { its = bicgstab(vector_sizes(40), 40, A, b.data(), x.data(), 1e-13, true); });
    ASSERT_GT(its, 2);
    EXPECT_EQ(its, plain.its);
    EXPECT_EQ(lines, plain_lines);
    EXPECT_TRUE(same_bits(x, x_plain));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), its);
    EXPECT_EQ(lines.rfind("bicgstab 0\t", 0), 0u);
    EXPECT_NE(lines.find("\nbicgstab " + std::to_string(its - 1) + "\t"), std::string::npos);
}

// Nothing to do: a tolerance the zero guess already meets (r.r equal to eps^2 b.b ends the loop
// too), a zero load, and a load so small that its residual vanishes by the breakdown threshold.
TEST(Bicgstab, NoIterationWhenTheGuessSuffices)
{
    struct case_ {
        char const* name;
        double eps;
        double load;
        double relative_residual;
    };
    for (case_ c : {case_{"eps 1: r.r equals eps^2 b.b", 1.0, 0.5, 1.0},
                    case_{"eps 2", 2.0, 0.5, 1.0},
                    case_{"zero load", 1e-16, 0.0, 0.0},
                    case_{"load of rounding noise", 1e-16, 1e-22, 1.0}}) {
        SCOPED_TRACE(c.name);
        dense_op A = random_system(6, 1);
        std::vector<double> b(6, c.load), x(6, 0.0);
        bicgstab_report report;
        int its = -1;
        std::string lines = console_of([&] { its = bicgstab(vector_sizes(6), 6, A, b.data(), x.data(), c.eps, true, report); });
        EXPECT_EQ(its, 0);
        EXPECT_EQ(lines, "");
        EXPECT_TRUE(same_bits(x, std::vector<double>(6, 0.0)));
        EXPECT_EQ(report.status, bicgstab_status::converged);
        EXPECT_EQ(report.relative_residual, c.relative_residual);
    }
}

// A load, guess or tolerance that is not finite leaves no test a finite x could meet: the run is a
// failure without an iteration, and x stays as given. A load above 1e154 is finite, but b.b
// overflows, and so would the test.
TEST(Bicgstab, NonFiniteInputIsAFailure)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct case_ {
        char const* name;
        double load, guess, eps;  // the first entry of b and of x; the tolerance
    };
    for (case_ c : {case_{"load NaN", nan, 0.0, 1e-16}, case_{"load infinite", inf, 0.0, 1e-16},
                    case_{"b.b overflows", 1e160, 0.0, 1e-16},
                    case_{"guess NaN", 1.0, nan, 1e-16}, case_{"guess infinite", 1.0, -inf, 1e-16},
                    case_{"residual of the guess overflows", 1.0, 1e200, 1e-16},
                    case_{"tolerance NaN", 1.0, 0.0, nan}, case_{"tolerance infinite", 1.0, 0.0, inf}}) {
        SCOPED_TRACE(c.name);
        dense_op A = random_system(6, 1);
        std::vector<double> b = random_vector(6, 2), x(6, 0.0);
        b[0] = c.load;
        x[0] = c.guess;
        const std::vector<double> guess = x;
        bicgstab_report report;
        int its = -1;
        std::string lines = console_of([&] { its = bicgstab(vector_sizes(6), 6, A, b.data(), x.data(), c.eps, true, report); });
        EXPECT_EQ(its, 0);
        EXPECT_EQ(lines, "");
        EXPECT_TRUE(same_bits(x, guess));
        EXPECT_EQ(report.status, bicgstab_status::no_convergence);
        std::vector<double> x6 = guess;
        EXPECT_EQ(bicgstab(vector_sizes(6), 6, A, b.data(), x6.data(), c.eps), 0);
        EXPECT_TRUE(same_bits(x6, guess));
    }
}

// With A = I the half step solves the system: s.t vanishes, omega is 0, the loop ends after that
// iteration and x is the alpha step, here exactly b.
TEST(Bicgstab, HalfStepThatSolvesTheSystem)
{
    dense_op I{5, std::vector<double>(25, 0.0)};
    for (unsigned int i = 0; i < 5; ++i) I.a[i * 5 + i] = 1.0;
    std::vector<double> b = random_vector(5, 3), x(5, 0.0);
    bicgstab_report report;
    int its = 0;
    std::string lines = console_of([&] { its = bicgstab(vector_sizes(5), 5, I, b.data(), x.data(), eps, true, report); });
    EXPECT_EQ(its, 1);
    EXPECT_EQ(lines, "bicgstab 0\t0\n");
    EXPECT_TRUE(same_bits(x, b));
    EXPECT_EQ(report.status, bicgstab_status::converged);
    EXPECT_EQ(report.relative_residual, 0.0);
}

// Where the very first step fails, the guess is returned untouched and the caller is told.
// Skew-symmetric A: rT.Ad = r.Ar = 0. Nearly skew A = S + 1e-25 I: alpha = 1e25 and the residual
// leaps far above the best.
TEST(Bicgstab, FirstStepFailureReturnsTheGuess)
{
    struct case_ {
        char const* name;
        double shift;
        bool plain_breaks_down;
    };
    for (case_ c : {case_{"breakdown", 0.0, true}, case_{"divergence", 1e-25, false}}) {
        SCOPED_TRACE(c.name);
        dense_op A{2, {c.shift, 1.0, -1.0, c.shift}};
        std::vector<double> b{1.0, 0.0};
        std::vector<double> x_plain(2, 0.0);
        literal_run plain = literal_bicgstab(vector_sizes(2), 2, A, b.data(), x_plain.data(), eps, false, 1);
        EXPECT_EQ(plain.broke_down, c.plain_breaks_down);
        if (!c.plain_breaks_down) {
            ASSERT_EQ(plain.rr.size(), 2u);
            EXPECT_GT(plain.rr[1], 1e40 * plain.rr[0]);
        }
        std::vector<double> x(2, 0.0);
        bicgstab_report report;
        int its = bicgstab(vector_sizes(2), 2, A, b.data(), x.data(), eps, false, report);
        EXPECT_EQ(its, c.plain_breaks_down ? 0 : 1);
        EXPECT_TRUE(same_bits(x, std::vector<double>(2, 0.0)));
        EXPECT_EQ(report.status, bicgstab_status::no_convergence);
        EXPECT_EQ(report.relative_residual, 1.0);
    }
}

// A product with a NaN or an infinity ends the round before it reaches x. Once only: the restart
// from the best iterate converges. For good: x is the best iterate before the fault, finite.
TEST(Bicgstab, NonFiniteProductsNeverReachX)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    dense_op A = random_system(30, 11);
    std::vector<double> b = random_vector(30, 12);
    // Product 1 is the initial residual; iteration k uses products 2k+2 and 2k+3. A fault in the
    // very first product of the iteration leaves no better iterate to restart from.
    struct case_ {
        int bad_call;
        bool once;
    };
    for (double poison : {nan, inf, -inf}) {
        for (case_ c : {case_{5, true}, case_{8, true}, case_{2, true}, case_{2, false},
                        case_{5, false}, case_{8, false}}) {
            SCOPED_TRACE(testing::Message() << "poison " << poison << " at product " << c.bad_call
                                            << (c.once ? " once" : " for good"));
            faulty_op F{A, c.bad_call, c.once, poison};
            std::vector<double> x(30, 0.0);
            bicgstab_report report;
            int its = bicgstab(vector_sizes(30), 30, F, b.data(), x.data(), eps, false, report);
            EXPECT_TRUE(all_finite(x));
            if (c.once) {
                // (An infinite first product makes alpha 0, a step the BLAS skips: it converges.)
                if (c.bad_call > 2) {
                    EXPECT_EQ(report.status, bicgstab_status::converged);
                    EXPECT_LT(report.relative_residual, 1e-13);
                }
                continue;
            }
            // The iterations completed before the fault, and the best of them by r.r.
            int done = (c.bad_call - 2) / 2;
            EXPECT_EQ(its, done);
            std::vector<double> x_ref(30, 0.0);
            literal_run plain = literal_bicgstab(vector_sizes(30), 30, A, b.data(), x_ref.data(), eps, false, done);
            int best = int(std::min_element(plain.rr.begin(), plain.rr.end()) - plain.rr.begin());
            std::fill(x_ref.begin(), x_ref.end(), 0.0);
            literal_bicgstab(vector_sizes(30), 30, A, b.data(), x_ref.data(), eps, false, best);
            EXPECT_TRUE(same_bits(x, x_ref));
            EXPECT_EQ(report.status, bicgstab_status::no_convergence);
        }
    }
}

// A dense operator whose products of the direction of the iterations `leaps` lose their component
// along the load, all but 1e-14 of it. Products of x, the residuals the checkpoints take afresh,
// are exact and not counted; of the others, number 2k + 1 is that of iteration k's direction (these
// runs take no other). From x = 0 the first round's shadow residual rT is -b: rT.Ad falls to 1e-14
// of its value, a near breakdown, and alpha, x and r leap by some 1e14. The part taken out,
// alpha (b.Ad / b.b) b, is a drift of r from A x - b as large as the leap: the recursive residual
// falls back and meets the test while the fresh one stays up.
struct load_blind_op {
    dense_op A;
    std::vector<double> load;
    double const* x;
    std::vector<int> leaps;
    mutable int products = 0;
};

void mult(indices ix, load_blind_op const& P, double const* in, double* out)
{
    mult(ix, P.A, in, out);
    if (in == P.x) return;
    const int iteration = P.products++ / 2;
    if (P.products % 2 == 0 ||
        std::find(P.leaps.begin(), P.leaps.end(), iteration) == P.leaps.end())
        return;
    double along = 0.0, bb = 0.0;
    for (unsigned int i = 0; i < P.A.n; ++i) {
        along += P.load[i] * out[i];
        bb += P.load[i] * P.load[i];
    }
    const double g = (1.0 - 1e-14) * along / bb;
    for (unsigned int i = 0; i < P.A.n; ++i) out[i] -= g * P.load[i];
}

void mult_abs(indices ix, load_blind_op const& P, double const* in, double* out)
{
    mult_abs(ix, P.A, in, out);
}

// A round reaches a good best; the first leap carries x far from it and the plain iteration meets
// its test there by drift, with an x whose fresh residual is that of the leap. The solver's
// checkpoint replaces r by that fresh residual, far above the best, which it leaves as it is: the
// second leap takes r beyond 1e20 times the best, the round ends as diverged, and the next one is
// the plain iteration from the best iterate, which converges. (A replacement that made x the best
// would raise the divergence guard with it: the round would wander on from the leap.)
TEST(Bicgstab, ReplacementFarAboveTheBestLeavesTheGuardAtTheBest)
{
    struct case_ {
        unsigned int n, seed;
        int first_leap, second_leap;  // iterations
    };
    auto residuals = [](std::string const& text) {
        std::istringstream in(text);
        std::vector<double> values;
        std::string word;
        int k;
        double value;
        while (in >> word >> k >> value) values.push_back(value);
        return values;
    };
    auto first_lines = [](std::string const& text, int count) {
        std::size_t end = 0;
        for (int k = 0; k < count; ++k) {
            const std::size_t line_end = text.find('\n', end);
            if (line_end == std::string::npos) return text;
            end = line_end + 1;
        }
        return text.substr(0, end);
    };
    for (case_ c : {case_{6, 12, 5, 12}, case_{8, 20, 7, 18}, case_{12, 18, 11, 25}}) {
        SCOPED_TRACE(testing::Message() << "n " << c.n << " seed " << c.seed);
        const unsigned int n = c.n;
        const indices ix = vector_sizes(n);
        const dense_op A = random_system(n, c.seed);
        const std::vector<double> b = random_vector(n, c.seed + 1);
        const std::vector<double> x_direct = direct_solution(lu_factors(A), A, b);
        double bb = 0.0;
        for (double v : b) bb += v * v;
        const double norm_b = std::sqrt(bb);
        const std::vector<int> leaps{c.first_leap, c.second_leap};

        // The plain iteration on the same products stops at line `met`, before the second leap,
        // with an x whose fresh residual is far above its best, at line `best` before the leap.
        std::vector<double> x_plain(n, 0.0);
        load_blind_op plain_op{A, b, x_plain.data(), leaps};
        literal_run plain;
        const std::string plain_lines = console_of(
            [&] { plain = literal_bicgstab(ix, n, plain_op, b.data(), x_plain.data(), eps, true); });
        ASSERT_FALSE(plain.broke_down);
        ASSERT_GT(plain.its, c.first_leap);
        ASSERT_LE(plain.its, c.second_leap);
        const int met = plain.its - 1;
        const int best = int(std::min_element(plain.rr.begin() + 1, plain.rr.begin() + c.first_leap + 1) -
                             plain.rr.begin()) - 1;
        const double best_norm = std::sqrt(plain.rr[best + 1]);
        // The best is as good as its recursive residual says: no drift before the leap.
        std::vector<double> x_best(n, 0.0);
        load_blind_op best_op{A, b, x_best.data(), leaps};
        literal_bicgstab(ix, n, best_op, b.data(), x_best.data(), eps, false, best + 1);
        EXPECT_NEAR(relative_residual(A, x_best, b) * norm_b, best_norm, 1e-3 * best_norm);
        EXPECT_LT(best_norm, 1e-7 * norm_b);
        const double plain_fresh = relative_residual(A, x_plain, b) * norm_b;
        EXPECT_GT(plain_fresh, 1e10 * best_norm);

        std::vector<double> x(n, 0.0);
        load_blind_op op{A, b, x.data(), leaps};
        bicgstab_report report;
        int its = 0;
        const std::string lines = console_of(
            [&] { its = bicgstab(ix, n, op, b.data(), x.data(), eps, true, report); });
        const std::vector<double> path = residuals(lines);
        ASSERT_EQ(int(path.size()), its);
        ASSERT_GT(its, met);
        // The plain iteration line for line up to `met`, where the checkpoint shows the fresh
        // residual of that same x in place of the recursive one.
        EXPECT_EQ(first_lines(lines, met), first_lines(plain_lines, met));
        EXPECT_NEAR(path[met], plain_fresh, 1e-5 * plain_fresh);
        // The climb: the first line above 1e20 times the best, after the replacement.
        int climb = 0;
        while (climb < its && !(path[climb] > bicgstab_divergence_factor * best_norm)) ++climb;
        ASSERT_LT(climb + 1, its);
        EXPECT_GT(climb, met);
        // The next round is the plain iteration from the best iterate on A itself: its first line
        // back at the best's level, its lines, its count and its x.
        std::vector<double> x_restart = x_best;
        literal_run restart;
        const std::string restart_lines = console_of(
            [&] { restart = literal_bicgstab(ix, n, A, b.data(), x_restart.data(), eps, true); });
        EXPECT_LE(path[climb + 1], best_norm);
        EXPECT_EQ(std::vector<double>(path.begin() + climb + 1, path.end()), residuals(restart_lines));
        EXPECT_EQ(its, climb + 1 + restart.its);
        EXPECT_TRUE(same_bits(x, x_restart));
        EXPECT_EQ(report.status, bicgstab_status::converged);
        EXPECT_LE(report.relative_residual, 1e-15);
        EXPECT_NEAR(report.relative_residual, relative_residual(A, x, b), 1e-15);
        EXPECT_LE(max_deviation(x, x_direct), 1e-13 * max_magnitude(x_direct));
    }
}

// Two unknowns whose products of the iteration's vectors come out scaled by up to 1e300 either
// way, entry by entry (the products of x are exact, so that x is judged truly): the iterates leap
// to 1e150 and beyond, where their residuals overflow. Whatever the run did, it returns a finite x
// no worse than the caller's zero guess, and its report describes that x. The first seeds are
// systems where x came back at 1e155 to 1e222 when the last fresh residual had overflowed.
struct chaotic_op {
    dense_op A;
    double const* x;
    mutable std::mt19937_64 rng;
};

void mult(indices ix, chaotic_op const& P, double const* in, double* out)
{
    mult(ix, P.A, in, out);
    if (in == P.x) return;
    std::uniform_real_distribution<double> u(-300.0, 300.0);
    for (unsigned int i = 0; i < P.A.n; ++i) out[i] *= std::pow(10.0, u(P.rng));
}

void mult_abs(indices ix, chaotic_op const& P, double const* in, double* out)
{
    mult_abs(ix, P.A, in, out);
}

TEST(Bicgstab, ChaoticProductsNeverCostTheCallersX)
{
    std::vector<unsigned int> seeds{6556, 15464, 21649, 44959};
    for (unsigned int seed = 0; seed < 2000; ++seed) seeds.push_back(seed);
    for (unsigned int seed : seeds) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937_64 rng(seed);
        std::vector<double> b = random_values(2, rng), x(2, 0.0);
        chaotic_op op{dense_op{2, random_values(4, rng)}, x.data(), std::mt19937_64(seed + 1000000)};
        bicgstab_report report;
        bicgstab(vector_sizes(2), 2, op, b.data(), x.data(), eps, false, report);
        ASSERT_TRUE(all_finite(x));
        const double truth = relative_residual(op.A, x, b);
        ASSERT_LE(truth, 1.0);
        ASSERT_NEAR(report.relative_residual, truth, 1e-15);
    }
}

// The backward error of x for the element matrices M, from the literal products.
double element_backward_error(indices ix, double****** M, std::vector<double> const& x,
                              std::vector<double> const& b)
{
    std::vector<double> ax(ix.dim), magnitudes(ix.dim);
    literal_mult(ix, M, x.data(), ax.data());
    literal_mult_abs(ix, M, x.data(), magnitudes.data());
    long double rr = 0, ss = 0;
    for (unsigned int i = 0; i < ix.dim; ++i) {
        const long double r = (long double)ax[i] - b[i];
        const long double m = (long double)magnitudes[i] + std::fabs(b[i]);
        rr += r * r;
        ss += m * m;
    }
    return double(std::sqrt(rr / ss));
}

// The first iteration count whose plain x is as good as double precision gives (a backward error
// within `sharp`), or -1 within `most`.
int plain_floor(indices ix, double****** M, std::vector<double> const& b, int most)
{
    for (int k = 1; k <= most; ++k) {
        std::vector<double> x(ix.dim, 0.0);
        literal_bicgstab(ix, ix.dim, M, b.data(), x.data(), eps, false, k);
        if (element_backward_error(ix, M, x, b) <= sharp) return k;
    }
    return -1;
}

// Poisson on 16x16 elements of degree 4: the plain iteration comes to the floor of rounding at
// its tenth iteration, never meets the tolerance, and later climbs away for good, many orders of
// magnitude. The solver follows it line for line to the floor, ends the round a stretch in
// proportion to that run, long before the climb reaches the divergence factor, and returns an x as
// good as double precision gives.
TEST(Bicgstab, AtTheFloorTheRoundEndsInProportionToItsRun)
{
    indices ix = sizes(16, 16, 4, 4);
    program_system sys(ix, 1.0);
    double****** M = sys.M();
    std::vector<double> x_plain(ix.dim, 0.0);
    literal_run plain;
    std::string plain_lines = console_of([&] { plain = literal_bicgstab(ix, ix.dim, M, sys.b.data(), x_plain.data(), eps, true, 1000); });
    ASSERT_FALSE(plain.broke_down);
    ASSERT_EQ(plain.its, 1000) << "the plain run converged";
    const int floor = plain_floor(ix, M, sys.b, 100);
    ASSERT_GT(floor, 0);
    // The first iteration whose residual is the divergence factor above the best before it.
    std::size_t climb = 1;
    double lowest = plain.rr[0];
    const double factor = bicgstab_divergence_factor * bicgstab_divergence_factor;
    while (climb < plain.rr.size() && !(plain.rr[climb] > factor * lowest)) lowest = std::min(lowest, plain.rr[climb++]);
    ASSERT_LT(climb, plain.rr.size());

    std::vector<double> x(ix.dim, 0.0);
    bicgstab_report report;
    int its = 0;
    std::string lines = console_of([&] { its = bicgstab(ix, ix.dim, M, sys.b.data(), x.data(), eps, true, report); });
    EXPECT_LT(its, int(climb));
    EXPECT_LE(its, 16 * floor);
    // At the floor, whether a later round meets the tolerance is the luck of rounding; the answer
    // is the same either way.
    EXPECT_NE(report.status, bicgstab_status::no_convergence);
    EXPECT_LE(report.relative_residual, 1e-13);
    EXPECT_LE(report.backward_error, sharp);
    EXPECT_NEAR(report.backward_error, element_backward_error(ix, M, x, sys.b), 1e-17);
    EXPECT_TRUE(all_finite(x));
    auto first_lines = [](std::string const& text, std::size_t count) {
        std::size_t end = 0;
        for (std::size_t k = 0; k < count && end != std::string::npos; ++k) end = text.find('\n', end) + 1;
        return text.substr(0, end);
    };
    EXPECT_EQ(first_lines(lines, floor), first_lines(plain_lines, floor));
}

// A shifted Laplacian on a 16x16 grid, L - sigma I with sigma just below its least eigenvalue,
// and a load along the eigenvector of that eigenvalue: |(|A||x| + |b|)| is ten million times
// |b|, so the residual of any x in double precision is above 1e-9 |b|. The run stops at that floor
// a stretch in proportion to its run to it, as at the limit of rounding, not as a failure, and its
// x agrees with a direct solve as far as its residual allows.
TEST(Bicgstab, SystemWhoseRoundingIsFarAboveItsLoad)
{
    const unsigned int n = 256;
    const near_singular sys = shifted_laplacian(16, 1e-5);
    dense_op const& A = sys.A;
    std::vector<double> const& b = sys.b;
    const lu_factors lu(A);
    const std::vector<double> x_direct = direct_solution(lu, A, b);

    // The floor of the plain iteration, and its backward error there.
    int floor = -1;
    for (int k = 1; k <= 100 && floor < 0; ++k) {
        std::vector<double> xk(n, 0.0);
        literal_bicgstab(vector_sizes(n), n, A, b.data(), xk.data(), eps, false, k);
        if (backward_error(A, xk, b) <= sharp) floor = k;
    }
    ASSERT_GT(floor, 0);

    std::vector<double> x(n, 0.0);
    bicgstab_report report;
    const int its = bicgstab(vector_sizes(n), n, A, b.data(), x.data(), eps, false, report);
    EXPECT_EQ(report.status, bicgstab_status::rounding_limit);
    EXPECT_LE(its, 6 * floor + 60);
    EXPECT_GT(report.relative_residual, 1e-10);
    EXPECT_LE(report.backward_error, sharp);
    EXPECT_LE(backward_error(A, x, b), sharp);
    // x - x* = A^-1 (A x - b): within |A^-1| |A x - b| in the infinity norm, and the direct
    // solution's own residual.
    double inverse_norm = 0.0;
    {
        std::vector<double> row_sums(n, 0.0), e(n, 0.0);
        for (unsigned int j = 0; j < n; ++j) {
            e[j] = 1.0;
            const std::vector<double> column = lu.solve(e);
            e[j] = 0.0;
            for (unsigned int i = 0; i < n; ++i) row_sums[i] += std::fabs(column[i]);
        }
        for (double sum : row_sums) inverse_norm = std::fmax(inverse_norm, sum);
    }
    double residual = 0.0, direct_residual = 0.0;
    for (long double r : exact_residual(A, x, b)) residual = std::fmax(residual, double(std::fabs(r)));
    for (long double r : exact_residual(A, x_direct, b))
        direct_residual = std::fmax(direct_residual, double(std::fabs(r)));
    EXPECT_LE(max_deviation(x, x_direct), inverse_norm * (residual + direct_residual));
    EXPECT_LE(max_deviation(x, x_direct), 1e-9 * max_magnitude(x_direct));
}

// A dense operator with faults of its own: its first `shifted` products are those of A + shift I,
// a slightly different matrix; every product carries a relative error of up to `noise` in each
// entry, new at every call (a product only that accurate); product number `poisoned` (counted
// from 1; 0 for none) has a NaN in its first entry.
struct inexact_op {
    dense_op A;
    int shifted;
    double shift;
    double noise;
    int poisoned = 0;
    mutable int calls = 0;
    mutable std::mt19937_64 rng{5};
};

void mult(indices ix, inexact_op const& P, double const* in, double* out)
{
    mult(ix, P.A, in, out);
    ++P.calls;
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (unsigned int i = 0; i < P.A.n; ++i) {
        if (P.calls <= P.shifted) out[i] += P.shift * in[i];
        if (P.noise != 0) out[i] *= 1.0 + P.noise * u(P.rng);
    }
    if (P.calls == P.poisoned) out[0] = std::numeric_limits<double>::quiet_NaN();
}

void mult_abs(indices ix, inexact_op const& P, double const* in, double* out)
{
    mult_abs(ix, P.A, in, out);
}

// The number of products of the plain run on A + shift I from x = 0: the initial residual and two
// in each iteration.
int plain_run_products(dense_op const& A, double shift, std::vector<double> const& b)
{
    inexact_op probe{A, 1 << 30, shift, 0.0};
    std::vector<double> x(b.size(), 0.0);
    const unsigned int n = A.n;
    return 2 * literal_bicgstab(vector_sizes(n), n, probe, b.data(), x.data(), eps, false).its + 1;
}

// The first products come from a slightly different matrix, A + 1e-6 I (the first ten
// iterations), or from a far different one, A - 160 I (the whole plain run, which then solves
// that matrix): the recursive residual carries the difference along and meets the test, while
// the fresh residual of that x is far above it, in the second case above |b|, where the run
// started. The solver replaces the recursive residual by the fresh one where it sees the drift
// and goes on with its directions: it reaches the solution of A in fewer iterations than the
// plain run and a restart from its x take together. The 6-argument form runs the same method.
TEST(Bicgstab, DriftIsReplacedByTheFreshResidual)
{
    struct case_ {
        char const* name;
        int shifted;  // 0: every product of the plain run
        double shift;
        double plain_residual;  // the fresh relative residual of the plain run's x is above this
    };
    const unsigned int n = 40;
    dense_op A = random_system(n, 21);
    std::vector<double> b = random_vector(n, 22);
    const std::vector<double> x_direct = direct_solution(lu_factors(A), A, b);
    for (case_ c : {case_{"slightly different products", 20, 1e-6, 1e-9},
                    case_{"far different products", 0, -160.0, 1.0}}) {
        SCOPED_TRACE(c.name);
        inexact_op faulty{A, c.shifted, c.shift, 0.0};
        if (c.shifted == 0) faulty.shifted = plain_run_products(A, c.shift, b);

        inexact_op plain_op = faulty;
        std::vector<double> x_plain(n, 0.0);
        literal_run plain = literal_bicgstab(vector_sizes(n), n, plain_op, b.data(), x_plain.data(), eps, false);
        ASSERT_FALSE(plain.broke_down);
        ASSERT_GE(2 * plain.its + 1, faulty.shifted)
            << "the shifted products must all fall into the plain run";
        EXPECT_GT(relative_residual(A, x_plain, b), c.plain_residual);
        // The restart: a new plain run from that x, on A itself.
        literal_run restart = literal_bicgstab(vector_sizes(n), n, A, b.data(), x_plain.data(), eps, false);

        inexact_op op = faulty;
        std::vector<double> x(n, 0.0);
        bicgstab_report report;
        int its = 0;
        std::string lines = console_of(
            [&] { its = bicgstab(vector_sizes(n), n, op, b.data(), x.data(), eps, true, report); });
        EXPECT_LT(its, plain.its + restart.its);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), its);
        EXPECT_EQ(report.status, bicgstab_status::converged);
        // (The replaced residual brings its own rounding along: a few u more than the plain run.)
        EXPECT_LE(report.backward_error, 4 * sharp);
        EXPECT_LE(backward_error(A, x, b), 4 * sharp);
        EXPECT_LE(max_deviation(x, x_direct), 1e-13 * max_magnitude(x_direct));

        inexact_op op6 = faulty;
        std::vector<double> x6(n, 0.0);
        EXPECT_EQ(bicgstab(vector_sizes(n), n, op6, b.data(), x6.data(), eps), its);
        EXPECT_TRUE(same_bits(x6, x));
    }
}

// The verdict is taken from the backward error of the x returned, whatever ended the run: the
// test met at the floor, a success; short of it, within the floor, the limit of rounding; beyond
// that, a failure. Products accurate only to a relative 1e-9 or 1e-7 set a floor of their own,
// far above that of the matrix; the shifted Laplacian has its floor above 1e-9 |b|.
TEST(Bicgstab, VerdictFollowsTheBackwardError)
{
    struct case_ {
        char const* name;
        int shifted;
        double shift;
        double noise;
        int poisoned;
        bool near_singular;
        bicgstab_status status;
        double above, within;  // bounds of the backward error
    };
    const double floor = bicgstab_floor * bicgstab_unit_roundoff;
    const case_ cases[] = {
        {"exact products", 0, 0.0, 0.0, 0, false, bicgstab_status::converged, 0.0, sharp},
        {"test met by drift, then a further round", 20, 1e-6, 0.0, 0, false,
         bicgstab_status::converged, 0.0, sharp},
        {"a restart after a breakdown, then the test met by drift", 30, 1e-6, 0.0, 8, false,
         bicgstab_status::converged, 0.0, sharp},
        {"a floor above 1e-9 |b|", 0, 0.0, 0.0, 0, true, bicgstab_status::rounding_limit, 0.0,
         sharp},
        {"products accurate to 1e-9", 0, 0.0, 1e-9, 0, false, bicgstab_status::no_convergence,
         floor, 1.0},
        {"products accurate to 1e-7", 0, 0.0, 1e-7, 0, false, bicgstab_status::no_convergence,
         floor, 1.0},
    };
    const near_singular singular = shifted_laplacian(16, 1e-5);
    const dense_op random_A = random_system(40, 31);
    const std::vector<double> random_b = random_vector(40, 32);
    for (case_ const& c : cases) {
        SCOPED_TRACE(c.name);
        dense_op const& A = c.near_singular ? singular.A : random_A;
        std::vector<double> const& b = c.near_singular ? singular.b : random_b;
        const unsigned int n = A.n;
        inexact_op op{A, c.shifted, c.shift, c.noise, c.poisoned};
        std::vector<double> x(n, 0.0);
        bicgstab_report report;
        const int its = bicgstab(vector_sizes(n), n, op, b.data(), x.data(), eps, false, report);
        EXPECT_EQ(report.status, c.status);
        // Products of the iteration, two each, and of the checkpoints, one each. Where r has fallen
        // below a drift above the floor, it tells nothing until the next fall or the test: no
        // checkpoint at every iteration.
        EXPECT_LT(op.calls - 2 * its, its / 2 + 10);
        EXPECT_GT(report.backward_error, c.above);
        EXPECT_LE(report.backward_error, c.within);
        // It is the backward error of the x returned, as closely as the product tells it.
        EXPECT_NEAR(report.backward_error, backward_error(A, x, b),
                    1.5 * c.noise + bicgstab_unit_roundoff);
        EXPECT_TRUE(all_finite(x));
    }
}

// Products of the iteration's vectors with an error of 1% of their largest entry from the
// eleventh product on, those of x exact, and a tolerance of 1e-3: the run meets its test at a
// checkpoint whose fresh residual has come out below the recursive one, at an iterate that is not
// the round's best. The report describes the x returned, and that x is the one it checked.
struct noisy_op {
    dense_op A;
    double const* x;  // products of this vector are exact
    mutable int calls = 0;
    mutable std::mt19937_64 rng;
};

void mult(indices ix, noisy_op const& P, double const* in, double* out)
{
    mult(ix, P.A, in, out);
    if (++P.calls < 11 || in == P.x) return;
    double largest = 0.0;
    for (unsigned int i = 0; i < P.A.n; ++i) largest = std::fmax(largest, std::fabs(out[i]));
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (unsigned int i = 0; i < P.A.n; ++i) out[i] += largest * 0.01 * u(P.rng);
}

void mult_abs(indices ix, noisy_op const& P, double const* in, double* out)
{
    mult_abs(ix, P.A, in, out);
}

TEST(Bicgstab, ReportDescribesTheReturnedX)
{
    const unsigned int n = 7;
    // 13990 is a system where the round's best iterate and the iterate of the test differ.
    for (unsigned int seed : {13990u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        dense_op A{n, std::vector<double>(n * n)};
        for (double& a : A.a) a = u(rng);
        for (unsigned int i = 0; i < n; ++i) A.a[i * n + i] += 1.0;
        std::vector<double> b(n), x(n, 0.0);
        for (double& v : b) v = u(rng);
        noisy_op op{A, x.data(), 0, std::mt19937_64(seed)};
        bicgstab_report report;
        bicgstab(vector_sizes(n), n, op, b.data(), x.data(), 1e-3, false, report);
        const double truth = relative_residual(A, x, b);
        EXPECT_NEAR(report.relative_residual, truth, 1e-14);
        if (report.status == bicgstab_status::converged) {
            EXPECT_LE(truth, 1e-3);
        }
    }
}

// A round that ends with a worse x than the run had does not cost the caller the better one: the
// products of A - 160 I carry the run towards the solution of that matrix, whose x is far above
// |b| for A, and one product after them is NaN. The x returned is never worse than the zero guess
// it started from, nor than that x, and the residual reported is its own.
TEST(Bicgstab, RunEndsOnTheBestFreshResidualItHad)
{
    const unsigned int n = 40;
    dense_op A = random_system(n, 21);
    std::vector<double> b = random_vector(n, 22);
    const int shifted = plain_run_products(A, -160.0, b);
    inexact_op plain_op{A, 1 << 30, -160.0, 0.0};
    std::vector<double> x_plain(n, 0.0);
    literal_bicgstab(vector_sizes(n), n, plain_op, b.data(), x_plain.data(), eps, false);
    const double plain_residual = relative_residual(A, x_plain, b);
    ASSERT_GT(plain_residual, 1.0);

    inexact_op op{A, shifted, -160.0, 0.0, shifted + 2};
    std::vector<double> x(n, 0.0);
    bicgstab_report report;
    bicgstab(vector_sizes(n), n, op, b.data(), x.data(), eps, false, report);
    EXPECT_LE(report.relative_residual, 1.0);
    EXPECT_NEAR(report.relative_residual, relative_residual(A, x, b), 1e-15);
    EXPECT_TRUE(all_finite(x));
}

}  // namespace
