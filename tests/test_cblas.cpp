// The BLAS level-1 wrappers: values, strides and counts reach the library unchanged.
#include <gtest/gtest.h>

#include <vector>

#include "lsolver/cblas"

namespace {

TEST(Cblas, DotProduct)
{
    std::vector<double> x{1, 2, 3}, y{4, 5, 6};
    EXPECT_EQ(ddot(3, x.data(), 1, y.data(), 1), 32.0);
    // Strides: every second element of x against every element of y.
    std::vector<double> xs{1, -7, 2, -7, 3};
    EXPECT_EQ(ddot(3, xs.data(), 2, y.data(), 1), 32.0);
    EXPECT_EQ(ddot(0, x.data(), 1, y.data(), 1), 0.0);
}

TEST(Cblas, VectorUpdatesTouchOnlyTheStridedElements)
{
    struct case_ {
        char const* name;
        int n;
        int inc;
        std::vector<double> expected;  // y after the call, from y = (10, 20, 30, 40, 50)
        void (*call)(int n, double const* x, int inc, double* y);
    };
    const std::vector<double> x{1, 2, 3, 4, 5};
    for (case_ const& c : {
             case_{"daxpy -1 subtracts", 5, 1, {9, 18, 27, 36, 45},
                   [](int n, double const* x, int inc, double* y) { daxpy(n, -1.0, x, inc, y, inc); }},
             case_{"daxpy 1 adds", 5, 1, {11, 22, 33, 44, 55},
                   [](int n, double const* x, int inc, double* y) { daxpy(n, 1.0, x, inc, y, inc); }},
             case_{"daxpy stride 2", 3, 2, {11, 20, 33, 40, 55},
                   [](int n, double const* x, int inc, double* y) { daxpy(n, 1.0, x, inc, y, inc); }},
             case_{"daxpy count 0", 0, 1, {10, 20, 30, 40, 50},
                   [](int n, double const* x, int inc, double* y) { daxpy(n, 1.0, x, inc, y, inc); }},
             case_{"dcopy", 5, 1, {1, 2, 3, 4, 5},
                   [](int n, double const* x, int inc, double* y) { dcopy(n, x, inc, y, inc); }},
             case_{"dcopy stride 2", 3, 2, {1, 20, 3, 40, 5},
                   [](int n, double const* x, int inc, double* y) { dcopy(n, x, inc, y, inc); }},
             case_{"dcopy count 0", 0, 1, {10, 20, 30, 40, 50},
                   [](int n, double const* x, int inc, double* y) { dcopy(n, x, inc, y, inc); }},
             case_{"dscal 0.5 stride 2", 3, 2, {5, 20, 15, 40, 25},
                   [](int n, double const*, int inc, double* y) { dscal(n, 0.5, y, inc); }},
             case_{"dscal count 0", 0, 1, {10, 20, 30, 40, 50},
                   [](int n, double const*, int inc, double* y) { dscal(n, 0.5, y, inc); }},
         }) {
        SCOPED_TRACE(c.name);
        std::vector<double> y{10, 20, 30, 40, 50};
        std::vector<double> x_before = x;
        c.call(c.n, x.data(), c.inc, y.data());
        EXPECT_EQ(y, c.expected);
        EXPECT_EQ(x, x_before);
    }
}

// The solver copies an array onto itself; that changes nothing.
TEST(Cblas, CopyOntoItself)
{
    std::vector<double> v{0.1, -2.5, 1e300, -0.0};
    std::vector<double> before = v;
    dcopy(4, v.data(), 1, v.data(), 1);
    EXPECT_EQ(v, before);
}

}  // namespace
