// The plain BiCGSTAB iteration, step for step and with no guard beyond the two breakdown checks,
// for comparison with the solver. It can also stop after a given number of iterations and record
// r.r after each one.
#ifndef TESTS_LITERAL_BICGSTAB_H
#define TESTS_LITERAL_BICGSTAB_H

#include <cmath>
#include <iostream>
#include <vector>

#include "lsolver/Zorva"
#include "lsolver/cblas"

struct literal_run {
    int its = 0;
    bool broke_down = false;    // a breakdown check failed
    std::vector<double> rr;     // r.r before the first iteration and after each one
};

template <class T>
literal_run literal_bicgstab(indices indx, unsigned int N, T const& A, double const* b, double* x,
                             double eps, bool detailed, int max_its = 1 << 30)
{
    literal_run run;
    const double breakdown_threshold = 1e-40;
    const int n = int(N);
    std::vector<double> rv(N), rTv(N), dv(N), hv(N), Adv(N), tv(N);
    double *r = rv.data(), *rT = rTv.data(), *d = dv.data(), *h = hv.data(), *s = hv.data(),
           *Ad = Adv.data(), *t = tv.data();
    int its = 0;
    double err = (eps * eps) * ddot(n, b, 1, b, 1);
    mult(indx, A, x, r);
    daxpy(n, -1.0, b, 1, r, 1);
    dcopy(n, r, 1, d, 1);
    dcopy(n, d, 1, h, 1);
    dcopy(n, h, 1, rT, 1);
    if (!(ddot(n, rT, 1, rT, 1) > breakdown_threshold)) {
        run.broke_down = true;
        return run;
    }
    double rTh = ddot(n, rT, 1, h, 1);
    double rTr = ddot(n, r, 1, r, 1);
    run.rr.push_back(rTr);
    while (rTr > err && its < max_its) {
        mult(indx, A, d, Ad);
        double rTAd = ddot(n, rT, 1, Ad, 1);
        if (!(std::fabs(rTAd) > breakdown_threshold)) {
            run.broke_down = true;
            break;
        }
        double alpha = rTh / rTAd;
        daxpy(n, -alpha, Ad, 1, r, 1);
        dcopy(n, h, 1, s, 1);
        daxpy(n, -alpha, Ad, 1, s, 1);
        mult(indx, A, s, t);
        double st = ddot(n, s, 1, t, 1);
        double tt = ddot(n, t, 1, t, 1);
        double omega;
        if (std::fabs(st) < breakdown_threshold || std::fabs(tt) < breakdown_threshold)
            omega = 0;
        else
            omega = st / tt;
        daxpy(n, -omega, t, 1, r, 1);
        daxpy(n, -alpha, d, 1, x, 1);
        daxpy(n, -omega, s, 1, x, 1);
        dcopy(n, s, 1, h, 1);
        daxpy(n, -omega, t, 1, h, 1);
        double beta = (alpha / omega) / rTh;
        rTh = ddot(n, rT, 1, h, 1);
        beta = beta * rTh;
        dscal(n, beta, d, 1);
        daxpy(n, 1.0, h, 1, d, 1);
        daxpy(n, (-beta) * omega, Ad, 1, d, 1);
        rTr = ddot(n, r, 1, r, 1);
        run.rr.push_back(rTr);
        if (detailed) std::cout << "bicgstab " << its << "\t" << std::sqrt(rTr) << std::endl;
        its = its + 1;
    }
    run.its = its;
    return run;
}

#endif
