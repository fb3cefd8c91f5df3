// The Poisson problem: -Laplace(u) = 8 pi^2 sin(2 pi x) sin(2 pi y) on (0,1)x(0,1), u = 0 on all
// four sides. Its exact solution is sin(2 pi x) sin(2 pi y).
#include <cmath>

#include "core/poisson.h"
#include "core/sem.h"

double a1 = 0.0;
double b1 = 1.0;
double a2 = 0.0;
double d2 = 1.0;

void fill_matrix(indices ix, double****** M, i_tab** nodes, coo** msh, double eta)
{
    fill_matrices(ix, M, nodes, msh, eta, nullptr);
}

// Lumped mass times the right-hand side at the node.
void fill_rhs(indices ix, double* b, i_tab** nodes, coo** msh)
{
    lumped_mass(ix, b, nodes, msh);
    for (unsigned int i = 0; i < ix.ydim; ++i) {
        for (unsigned int j = 0; j < ix.xdim; ++j) {
            unsigned int n = i * ix.xdim + j;
            double t = ((b[n] * 8.0) * 3.141592653589793) * 3.141592653589793;
            double u = std::sin(msh[i][j].x * 6.283185307179586) * t;
            b[n] = std::sin(msh[i][j].y * 6.283185307179586) * u;
        }
    }
}

void bc(indices ix, double****** M, double* rhs, coo**, double)
{
    const side_condition plan[4] = {{true, 0.0}, {true, 0.0}, {true, 0.0}, {true, 0.0}};
    impose_sides(ix, M, rhs, plan);
}

bool gnp_data(indices ix, double const* solution, coo** msh)
{
    return write_solution(ix, solution, msh, "SINSIN.dat");
}

const problem poisson_problem = {
    "Solved problem: 2D Poisson equation\n"
    "with right hand side f(x,y)=8*pi^2*sin(2*pi*x)*sin(2*pi*y)"
    "\ncomputational domain: (0,1)x(0,1)\n",
    false,
    1.0,
    fill_matrix,
    fill_rhs,
    bc,
    gnp_data,
};
