// -eta Laplace(u) + 1.5(1-y)(1+y) du/dx = 0 on (0,750)x(0,1): the upper half of a channel with
// walls at y = +-1 and its parabolic velocity profile. u = 1 on the wall (up), u = 0 at the inlet
// (left), natural conditions on the axis (down) and at the outlet (right).
#include "problems/poiseuille/poiseuille.h"

#include "core/sem.h"

double a1 = 0.0;
double b1 = 750.0;
double a2 = 0.0;
double d2 = 1.0;

namespace {

const double wall_temperature = 1.0;

double poiseuille_profile(double y)
{
    return ((1.0 - y) * 1.5) * (y + 1.0);
}

}  // namespace

void fill_matrix(indices ix, double****** M, i_tab** nodes, coo** msh, double eta)
{
    fill_matrices(ix, M, nodes, msh, eta, poiseuille_profile);
}

// No source: the lumped mass times zero.
void fill_rhs(indices ix, double* b, i_tab** nodes, coo** msh)
{
    lumped_mass(ix, b, nodes, msh);
    for (unsigned int i = 0; i < ix.ydim; ++i)
        for (unsigned int j = 0; j < ix.xdim; ++j) b[i * ix.xdim + j] = b[i * ix.xdim + j] * 0.0;
}

void bc(indices ix, double****** M, double* rhs, coo**, double)
{
    const side_condition plan[4] = {{true, wall_temperature}, {false, 0.0}, {true, 0.0}, {false, 0.0}};
    impose_sides(ix, M, rhs, plan);
}

bool gnp_data(indices ix, double const* solution, coo** msh)
{
    return write_solution(ix, solution, msh, "POISEUILLE.dat");
}

const problem poiseuille_problem = {
    "Solved problem: Heat transfer in Poiseuille flow\n"
    "with right hand side f(x,y)=0"
    "\ncomputational domain: (0,750)x(0,1)\n",
    true,
    0.002,
    fill_matrix,
    fill_rhs,
    bc,
    gnp_data,
};
