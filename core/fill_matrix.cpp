// Element matrices by GLL quadrature on the element's own nodes.
//
// Entry (test node (ss,rr), trial node (qq,pp)) of element (ny,nx):
//   eta * [ d(ss,qq) sum_kk w(ss,kk) |1/J| A^2 Dx[kk][rr] Dx[kk][pp]
//         + d(rr,pp) sum_ll w(ll,rr) |1/J| B^2 Dy[ll][ss] Dy[ll][qq] ]
//   - d(ss,qq) c(y) w(ss,rr) A Dx[rr][pp]                       (convection, when present)
// with A = dy/deta (negative) and B = dx/dxi. Every other entry is zero.
//
// dfi and dxdy do not change during the call, so they are tabulated once: Dx, Dy per axis, A per
// element row and B per element column, each computed by the same calls the quadrature would
// make. The leading factors of each product, ((w*jac)*A)*A, depend on fewer indices than the
// product and are formed once per element. Each product is still formed left to right and each sum
// in ascending order, so every entry is the one the plain quadrature loop gives.
#include <iostream>

#include "core/clock.h"
#include "core/memory.h"
#include "core/sem.h"

void fill_matrices(indices ix, double****** M, i_tab** nodes, coo** msh, double eta,
                   velocity_profile velocity)
{
    std::cout << "\nFilling matrix:";
    double t0 = clock_reading();

    const unsigned int nx1 = ix.xdeg + 1;
    const unsigned int ny1 = ix.ydeg + 1;
    auto Dx = make_array<double>(std::size_t(nx1) * nx1);  // Dx[k*nx1 + i] = l_i'(xi_k)
    auto Dy = make_array<double>(std::size_t(ny1) * ny1);
    auto A = make_array<double>(std::size_t(ix.ney) * ny1);  // dy/deta of element row, y node
    auto B = make_array<double>(std::size_t(ix.nex) * nx1);  // dx/dxi of element column, x node
    for (unsigned int k = 0; k < nx1; ++k)
        for (unsigned int i = 0; i < nx1; ++i) Dx[k * nx1 + i] = dfi(ix, k, i, 1, nodes);
    for (unsigned int k = 0; k < ny1; ++k)
        for (unsigned int i = 0; i < ny1; ++i) Dy[k * ny1 + i] = dfi(ix, k, i, 2, nodes);
    for (unsigned int n = 0; n < ix.ney; ++n)
        for (unsigned int q = 0; q < ny1; ++q)
            A[std::size_t(n) * ny1 + q] =
                dxdy(ix, 2, 2, static_cast<int>(n), 0, static_cast<int>(q), nodes, msh);
    for (unsigned int n = 0; n < ix.nex; ++n)
        for (unsigned int p = 0; p < nx1; ++p)
            B[std::size_t(n) * nx1 + p] =
                dxdy(ix, 1, 1, static_cast<int>(n), static_cast<int>(p), 0, nodes, msh);

    auto X = make_array<double>(std::size_t(ny1) * nx1);  // X[ss*nx1 + kk] = ((w*jac)*A)*A
    auto Y = make_array<double>(std::size_t(nx1) * ny1);  // Y[rr*ny1 + ll] = ((w*jac)*B)*B
    auto C = make_array<double>(std::size_t(ny1) * nx1);  // C[ss*nx1 + rr] = (c(y)*w)*A
    const double zero = 0.0 * eta;

    // The estimate is the element count times the first element's own duration: the tables above
    // are built once per call, so they stay out of it (the closing time still covers them).
    double t_first = clock_reading();
    for (unsigned int ny = 0; ny < ix.ney; ++ny) {
        double const* Ar = &A[std::size_t(ny) * ny1];
        for (unsigned int nx = 0; nx < ix.nex; ++nx) {
            double const* Bc = &B[std::size_t(nx) * nx1];
            double jac = msh[ix.ydeg * ny][ix.xdeg * nx].jac_inv;
            if (0 > jac) jac = -jac;

            for (unsigned int ss = 0; ss < ny1; ++ss)
                for (unsigned int kk = 0; kk < nx1; ++kk)
                    X[ss * nx1 + kk] = nodes[ix.ydeg - ss][kk].w * jac * Ar[ss] * Ar[ss];
            for (unsigned int rr = 0; rr < nx1; ++rr)
                for (unsigned int ll = 0; ll < ny1; ++ll)
                    Y[rr * ny1 + ll] = nodes[ix.ydeg - ll][rr].w * jac * Bc[rr] * Bc[rr];
            if (velocity) {
                for (unsigned int ss = 0; ss < ny1; ++ss)
                    for (unsigned int rr = 0; rr < nx1; ++rr) {
                        double y = msh[ix.ydeg * ny + ss][ix.xdeg * nx + rr].y;
                        double a = velocity(y) * nodes[ss][rr].w;
                        C[ss * nx1 + rr] = a * Ar[ss];
                    }
            }

            for (unsigned int ss = 0; ss < ny1; ++ss) {
                for (unsigned int rr = 0; rr < nx1; ++rr) {
                    double** row = M[ny][nx][ss][rr];
                    // Test and trial node share neither a local row nor a local column.
                    for (unsigned int qq = 0; qq < ny1; ++qq)
                        for (unsigned int pp = 0; pp < nx1; ++pp) row[qq][pp] = zero;
                    // Same local row: the x part, then on the diagonal the y part too.
                    for (unsigned int pp = 0; pp < nx1; ++pp) {
                        double sum = 0.0;
                        for (unsigned int kk = 0; kk < nx1; ++kk)
                            sum = X[ss * nx1 + kk] * Dx[kk * nx1 + rr] * Dx[kk * nx1 + pp] + sum;
                        if (pp == rr)
                            for (unsigned int ll = 0; ll < ny1; ++ll)
                                sum = Y[rr * ny1 + ll] * Dy[ll * ny1 + ss] * Dy[ll * ny1 + ss] + sum;
                        sum = sum * eta;
                        if (velocity) sum = sum - C[ss * nx1 + rr] * Dx[rr * nx1 + pp];
                        row[ss][pp] = sum;
                    }
                    // Same local column, other rows: the y part alone.
                    for (unsigned int qq = 0; qq < ny1; ++qq) {
                        if (qq == ss) continue;
                        double sum = 0.0;
                        for (unsigned int ll = 0; ll < ny1; ++ll)
                            sum = Y[rr * ny1 + ll] * Dy[ll * ny1 + ss] * Dy[ll * ny1 + qq] + sum;
                        row[qq][rr] = sum * eta;
                    }
                }
            }

            if (nx == 0 && ny == 0) {
                double t1 = clock_reading();
                double elements = static_cast<double>(ix.nex * ix.ney);
                std::cout << "time estimate to continue="
                          << clock_seconds(elements * (t1 - t_first)) << "s\n...";
            }
        }
    }

    double tf = clock_reading();
    std::cout << " matrix prepared after:" << clock_seconds(tf - t0) << "s\n";
}
