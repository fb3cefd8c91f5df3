// Legendre polynomials, their first two derivatives and the Gauss-Lobatto-Legendre nodes.
// Every recurrence keeps its order of evaluation: the node table, and with it every matrix entry,
// is compared bit for bit.
#include <cmath>

#include "core/sem.h"

const double pi = 3.141592653589793;
const double eps = 1e-16;

// Bonnet: (i+1) P_{i+1} = (2i+1) x P_i - i P_{i-1}.
double legendre(unsigned int n, double x)
{
    if (n == 0) return 1.0;
    if (n == 1) return x;
    double l1 = 1.0;
    double l2 = x;
    for (unsigned int i = 1; i < n; ++i) {
        double y = l2;
        l2 = (static_cast<double>(2 * i + 1) * x * l2 - static_cast<double>(i) * l1) /
             static_cast<double>(i + 1);
        l1 = y;
    }
    return l2;
}

// P'_{n+1} = (1/n) ((2n+1) x P'_n - (n+1) P'_{n-1}).
double dlegendre(unsigned int const& p, double const& x)
{
    double dL1 = 1.0;
    double dL2 = 3.0 * x;
    double dL3 = 0.0;
    if (p == 0) return 0.0;
    if (p == 1) return dL1;
    if (p == 2) return dL2;
    for (unsigned int n = 2; n < p; ++n) {
        double dn = static_cast<double>(n);
        dL3 = (1.0 / dn) * ((2.0 * dn + 1.0) * x * dL2 - (dn + 1.0) * dL1);
        dL1 = dL2;
        dL2 = dL3;
    }
    return dL3;
}

// P''_{i+1} = (1/(i-1)) ((2i+1) x P''_i - (i+2) P''_{i-1}).
double ddlegendre(unsigned int const& p, double const& x)
{
    double ddL2 = 3.0;
    double ddL3 = 15.0 * x;
    double ddL4 = 0.0;
    if (p == 0 || p == 1) return 0.0;
    if (p == 2) return ddL2;
    if (p == 3) return ddL3;
    for (unsigned int i = 3; i < p; ++i) {
        double di = static_cast<double>(i);
        ddL4 = (1.0 / (di - 1.0)) * ((2.0 * di + 1.0) * x * ddL3 - (di + 2.0) * ddL2);
        ddL2 = ddL3;
        ddL3 = ddL4;
    }
    return ddL4;
}

// Keeps -0.0 and NaN as they are.
double abss(double xx)
{
    if (0 > xx) return -xx;
    return xx;
}

// The end points and the roots of P'_p, p = Nnode - 1, ascending. Fewer than two nodes is no
// quadrature rule; the lone node is then set to 0.
void gll_nodes(unsigned int const& Nnode, double* x)
{
    if (Nnode < 2) {
        if (Nnode == 1) x[0] = 0.0;
        return;
    }
    if (Nnode == 2) {
        x[0] = -1.0;
        x[1] = 1.0;
        return;
    }
    if (Nnode == 3) {
        x[0] = -1.0;
        x[1] = 0.0;
        x[2] = 1.0;
        return;
    }
    if (Nnode == 4) {
        x[0] = -1.0;
        x[1] = -0.447213595499958;
        x[2] = -x[1];
        x[3] = 1.0;
        return;
    }

    unsigned int p = Nnode - 1;
    unsigned int mid;
    if (p % 2 == 0) {
        mid = p / 2;
        x[mid] = 0.0;
    } else {
        mid = p / 2 + 1;
    }
    // Near |z| >= 0.5 the spacing of doubles exceeds 1e-16, so the step test can only pass when a
    // step changes nothing; there Newton may settle into hopping between neighbouring doubles. Stop
    // when a value comes back, and bound the steps for any longer cycle.
    const int max_steps = 100;
    for (unsigned int j = 1; j < mid; ++j) {
        double z = -std::cos(static_cast<double>(j) * pi / static_cast<double>(p));
        double zold = z;
        double zback = z;  // the value before zold
        for (int step = 0; step < max_steps; ++step) {
            double del = dlegendre(p, z) / ddlegendre(p, z);
            zback = zold;
            zold = z;
            z = zold - del;
            if (!(abss(z - zold) > 1e-16)) break;
            if (z == zback) break;
        }
        x[j] = z;
        x[p - j] = -z;
    }
    x[0] = -1.0;
    x[p] = 1.0;
}
