// Legendre polynomials, their derivatives and the Gauss-Lobatto-Legendre nodes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/sem.h"

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Distance of two finite doubles in units in the last place.
std::int64_t ulps_apart(double a, double b)
{
    auto ordered = [](double v) {
        std::int64_t i;
        std::memcpy(&i, &v, sizeof i);
        return i < 0 ? std::numeric_limits<std::int64_t>::min() - i : i;
    };
    std::int64_t d = ordered(a) - ordered(b);
    return d < 0 ? -d : d;
}

// Independent reference in extended precision: P_p and P_{p-1} by Bonnet, then the closed forms
// P' = p (P_{p-1} - x P_p) / (1 - x^2) and P'' = (2x P' - p(p+1) P_p) / (1 - x^2) inside (-1, 1).
struct legendre_ld {
    long double p, pm1;
};
legendre_ld legendre_pair(unsigned int n, long double x)
{
    long double l0 = 1.0L, l1 = x;
    for (unsigned int i = 1; i < n; ++i) {
        long double l2 = ((2.0L * i + 1.0L) * x * l1 - i * l0) / (i + 1.0L);
        l0 = l1;
        l1 = l2;
    }
    return {l1, l0};
}

// The root of P_p' next to the start value z, refined by Newton in long double.
long double refined_root(unsigned int p, double z)
{
    long double x = z;
    for (int step = 0; step < 8; ++step) {
        legendre_ld v = legendre_pair(p, x);
        long double q = 1.0L - x * x;
        long double d1 = p * (v.pm1 - x * v.p) / q;
        long double d2 = (2.0L * x * d1 - p * (p + 1.0L) * v.p) / q;
        x -= d1 / d2;
    }
    return x;
}

TEST(Legendre, LowOrdersAndEndPoints)
{
    for (double x : {-1.0, -0.3, 0.0, 0.7, 1.0, 2.5}) {
        EXPECT_EQ(legendre(0, x), 1.0) << x;
        EXPECT_EQ(legendre(1, x), x) << x;
    }
    EXPECT_EQ(legendre(2, 0.5), -0.125);
    for (unsigned int n = 0; n <= 64; ++n) {
        EXPECT_EQ(legendre(n, 1.0), 1.0) << n;
        EXPECT_EQ(legendre(n, -1.0), n % 2 ? -1.0 : 1.0) << n;
    }
}

// The recurrences against the explicit polynomials, so that a wrong coefficient or a shifted
// counter shows.
TEST(Legendre, RecurrencesMatchExplicitPolynomials)
{
    struct poly_case {
        unsigned int n;
        double (*p)(double), (*dp)(double), (*ddp)(double);
    };
    const poly_case cases[] = {
        {2, [](double x) { return (3 * x * x - 1) / 2; }, [](double x) { return 3 * x; },
         [](double) { return 3.0; }},
        {3, [](double x) { return (5 * x * x * x - 3 * x) / 2; },
         [](double x) { return (15 * x * x - 3) / 2; }, [](double x) { return 15 * x; }},
        {4, [](double x) { return (35 * x * x * x * x - 30 * x * x + 3) / 8; },
         [](double x) { return (140 * x * x * x - 60 * x) / 8; },
         [](double x) { return (420 * x * x - 60) / 8; }},
        {5, [](double x) { return (63 * std::pow(x, 5) - 70 * x * x * x + 15 * x) / 8; },
         [](double x) { return (315 * std::pow(x, 4) - 210 * x * x + 15) / 8; },
         [](double x) { return (1260 * x * x * x - 420 * x) / 8; }},
        {6,
         [](double x) {
             return (231 * std::pow(x, 6) - 315 * std::pow(x, 4) + 105 * x * x - 5) / 16;
         },
         [](double x) { return (1386 * std::pow(x, 5) - 1260 * x * x * x + 210 * x) / 16; },
         [](double x) { return (6930 * std::pow(x, 4) - 3780 * x * x + 210) / 16; }},
    };
    for (auto const& c : cases) {
        for (double x : {-0.9, -0.35, 0.1, 0.5, 0.8}) {
            EXPECT_NEAR(legendre(c.n, x), c.p(x), 1e-14) << "n=" << c.n << " x=" << x;
            EXPECT_NEAR(dlegendre(c.n, x), c.dp(x), 1e-13) << "n=" << c.n << " x=" << x;
            EXPECT_NEAR(ddlegendre(c.n, x), c.ddp(x), 1e-12) << "n=" << c.n << " x=" << x;
        }
    }
    // P_n'(1) = n(n+1)/2 and P_n''(1) = (n-1)n(n+1)(n+2)/8 for the higher orders.
    for (unsigned int n = 2; n <= 40; ++n) {
        double d1 = n * (n + 1.0) / 2.0;
        double d2 = (n - 1.0) * n * (n + 1.0) * (n + 2.0) / 8.0;
        EXPECT_NEAR(dlegendre(n, 1.0), d1, 1e-13 * d1) << n;
        EXPECT_NEAR(ddlegendre(n, 1.0), d2, 1e-13 * d2) << n;
    }
}

TEST(Legendre, DerivativesWithoutRecurrence)
{
    for (double x : {-0.75, 0.0, 0.4, 3.0}) {
        unsigned int p0 = 0, p1 = 1, p2 = 2, p3 = 3;
        EXPECT_EQ(dlegendre(p0, x), 0.0);
        EXPECT_EQ(dlegendre(p1, x), 1.0);
        EXPECT_EQ(dlegendre(p2, x), 3.0 * x);
        EXPECT_EQ(ddlegendre(p0, x), 0.0);
        EXPECT_EQ(ddlegendre(p1, x), 0.0);
        EXPECT_EQ(ddlegendre(p2, x), 3.0);
        EXPECT_EQ(ddlegendre(p3, x), 15.0 * x);
    }
    EXPECT_EQ(dlegendre(3, 0.0), -1.5);
    EXPECT_EQ(ddlegendre(4, 0.0), -7.5);
}

TEST(Legendre, AbsoluteValue)
{
    EXPECT_EQ(abss(-2.5), 2.5);
    EXPECT_EQ(abss(2.5), 2.5);
    EXPECT_EQ(abss(-std::numeric_limits<double>::infinity()),
              std::numeric_limits<double>::infinity());
    // 0 > -0.0 is false: negative zero comes back as it is.
    EXPECT_EQ(bits(abss(-0.0)), bits(-0.0));
    EXPECT_EQ(bits(abss(0.0)), bits(0.0));
    EXPECT_EQ(bits(abss(nan_value)), bits(nan_value));
    EXPECT_EQ(bits(abss(-nan_value)), bits(-nan_value));
}

TEST(GllNodes, FixedSets)
{
    struct fixed_case {
        unsigned int count;
        std::vector<double> nodes;
    };
    const fixed_case cases[] = {
        {2, {-1.0, 1.0}},
        {3, {-1.0, 0.0, 1.0}},
        {4, {-1.0, -0.447213595499958, 0.447213595499958, 1.0}},
    };
    for (auto const& c : cases) {
        std::vector<double> x(c.count, nan_value);
        gll_nodes(c.count, x.data());
        for (unsigned int i = 0; i < c.count; ++i)
            EXPECT_EQ(bits(x[i]), bits(c.nodes[i])) << c.count << " nodes, node " << i;
    }
    // The literal, one unit in the last place off the rounded 1/sqrt(5), not a computed value.
    std::vector<double> x(4);
    gll_nodes(4, x.data());
    const double nearest = static_cast<double>(1.0L / std::sqrt(5.0L));
    EXPECT_NE(x[2], nearest);
    EXPECT_EQ(ulps_apart(x[2], nearest), 1);
}

TEST(GllNodes, FiveAndSixNodes)
{
    std::vector<double> x5(5, nan_value);
    gll_nodes(5, x5.data());
    const long double a = std::sqrt(3.0L / 7.0L);
    EXPECT_EQ(x5[0], -1.0);
    EXPECT_EQ(x5[4], 1.0);
    EXPECT_EQ(bits(x5[2]), bits(0.0)) << "the middle node is +0.0";
    EXPECT_EQ(x5[1], -x5[3]);
    EXPECT_LE(ulps_apart(x5[3], static_cast<double>(a)), 2) << x5[3];
    EXPECT_NEAR(x5[3], 0.6546536707079771, 2e-16);

    // Roots of 21x^4 - 14x^2 + 1: x^2 = (7 -+ 2 sqrt 7) / 21.
    std::vector<double> x6(6, nan_value);
    gll_nodes(6, x6.data());
    const double inner = static_cast<double>(std::sqrt((7.0L - 2.0L * std::sqrt(7.0L)) / 21.0L));
    const double outer = static_cast<double>(std::sqrt((7.0L + 2.0L * std::sqrt(7.0L)) / 21.0L));
    EXPECT_EQ(x6[0], -1.0);
    EXPECT_EQ(x6[5], 1.0);
    EXPECT_LE(ulps_apart(x6[3], inner), 2) << x6[3];
    EXPECT_LE(ulps_apart(x6[4], outer), 2) << x6[4];
    EXPECT_EQ(x6[2], -x6[3]);
    EXPECT_EQ(x6[1], -x6[4]);
    EXPECT_NEAR(x6[3], 0.2852315164806451, 2e-16);
    EXPECT_NEAR(x6[4], 0.7650553239294647, 2e-16);
}

// Newton must end for every count (its last steps may alternate between neighbouring doubles)
// with nodes that are ascending, exactly mirror-symmetric and within two units in the last place
// of the roots of P_p'.
TEST(GllNodes, EveryCountAscendingSymmetricAndAccurate)
{
    std::vector<unsigned int> counts;
    for (unsigned int n = 2; n <= 64; ++n) counts.push_back(n);
    for (unsigned int n : {65u, 100u, 128u, 200u}) counts.push_back(n);

    for (unsigned int count : counts) {
        SCOPED_TRACE(testing::Message() << count << " nodes");
        const unsigned int p = count - 1;
        std::vector<double> x(count, nan_value);
        gll_nodes(count, x.data());

        EXPECT_EQ(x.front(), -1.0);
        EXPECT_EQ(x.back(), 1.0);
        for (unsigned int j = 0; j < count; ++j) {
            ASSERT_FALSE(std::isnan(x[j])) << "node " << j << " not written";
            if (2 * j != p) {
                EXPECT_EQ(bits(x[p - j]), bits(-x[j])) << "mirror of node " << j;
            }
            if (j + 1 < count) {
                EXPECT_LT(x[j], x[j + 1]) << "order at node " << j;
            }
        }
        if (p % 2 == 0) {
            EXPECT_EQ(bits(x[p / 2]), bits(0.0)) << "middle node";
        }
        if (count <= 4) continue;  // the fixed sets are checked on their own
        for (unsigned int j = 1; j < p; ++j) {
            if (2 * j == p) continue;
            double root = static_cast<double>(refined_root(p, x[j]));
            EXPECT_LE(ulps_apart(x[j], root), 2)
                << "node " << j << " = " << x[j] << ", root " << root;
        }
    }
}

}  // namespace
