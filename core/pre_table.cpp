// Reference node table and the derivative of the 1-D nodal basis.
#include <iostream>
#include "core/memory.h"
#include "core/sem.h"

// Row ii holds the (ydeg-ii)-th y node, so row 0 is the top edge (y = +1), as in the mesh.
// The weight is W_x*W_y with W = 2/(N(N+1) P_N^2), formed as one quotient.
void pre_table(indices ix, i_tab** arr)
{
    auto xtable = make_array<double>(ix.xdeg + 1);
    auto ytable = make_array<double>(ix.ydeg + 1);
    gll_nodes(ix.xdeg + 1, xtable.get());
    gll_nodes(ix.ydeg + 1, ytable.get());
    double Nx = static_cast<double>((ix.xdeg + 1) * ix.xdeg);
    double Ny = static_cast<double>((ix.ydeg + 1) * ix.ydeg);
    for (unsigned int ii = 0; ii <= ix.ydeg; ++ii) {
        for (unsigned int jj = 0; jj <= ix.xdeg; ++jj) {
            arr[ii][jj].x = xtable[jj];
            arr[ii][jj].y = ytable[ix.ydeg - ii];
            double c = legendre(ix.xdeg, xtable[jj]);
            double d = legendre(ix.ydeg, ytable[ix.ydeg - ii]);
            arr[ii][jj].w = 4.0 / ((Nx * c * c) * (Ny * d * d));
        }
    }
}

// D[k][i] = l_i'(xi_k) on the GLL nodes of one axis, both indices ascending in the coordinate.
// Along y the ascending nodes are read from the bottom row of the table upward.
double dfi(indices ix, unsigned int k, unsigned int i, unsigned int axis, i_tab** nodes)
{
    int deg;
    double xi;
    double xk;
    if (axis == 1) {
        deg = static_cast<int>(ix.xdeg);
        xi = nodes[0][i].x;
        xk = nodes[0][k].x;
    } else if (axis == 2) {
        deg = static_cast<int>(ix.ydeg);
        xi = nodes[deg - static_cast<int>(i)][0].y;
        xk = nodes[deg - static_cast<int>(k)][0].y;
    } else {
        std::cout << "incorrect dimension in 'dfi'!\n";
        return 0.0;
    }
    int ik = static_cast<int>(k);
    int ii = static_cast<int>(i);
    if (ik == 0 && ii == 0) return static_cast<double>(-((deg + 1) * deg)) / 4.0;
    if (ik == deg && ii == deg) return static_cast<double>((deg + 1) * deg) / 4.0;
    if (ik == ii) return 0.0;
    unsigned int n = static_cast<unsigned int>(deg);
    double lk = legendre(n, xk);
    double li = legendre(n, xi);
    return lk / (li * (xk - xi));
}
